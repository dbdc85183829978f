// The table view: the grid over the whole table, opened from the card.
#include "application.h"
#include "bound_grid.h"
#include "form1.h"
#include "form2.h"
#include "grid_model.h"
#include "gui_support.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;

namespace {

const QString kName = u"Cognone e nome o denominazione"_s;

QList<Person> book()
{
    return {{{u"Genere"_s, u"Lavoro"_s}, {kName, u"Rossi Mario"_s}, {u"Città"_s, u"Roma"_s}},
            {{u"Genere"_s, u"Altro"_s}, {kName, u"Bianchi Anna"_s}},
            {{u"Genere"_s, u"Famiglia-Amici"_s}, {kName, u"Verdi Luca"_s}, {u"Osservazioni"_s, u"Nota"_s}}};
}

int openTableViews()
{
    int count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        count += qobject_cast<Form2*>(widget) && widget->isVisible() ? 1 : 0;
    return count;
}

} // namespace

class TestForm2 : public QObject
{
    Q_OBJECT

    ScriptedDialogs* m_dialogs = nullptr;

    QLineEdit* editor(BoundGrid* grid)
    {
        return qobject_cast<QLineEdit*>(grid->indexWidget(grid->currentIndex()));
    }

private slots:
    void init() { m_dialogs = &ScriptedDialogs::install(); }

    void cleanup()
    {
        while (Form2* form = tableView())
            delete form;
    }

    void headingsValuesAndModel()
    {
        Card card(book());
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        QAbstractItemModelTester tester(grid->model(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QStringList headings;
        for (int column = 0; column < grid->model()->columnCount(); ++column)
            headings.append(grid->model()->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString());
        QCOMPARE(headings,
                 (QStringList{u"ID"_s, u"Genere"_s, kName, u"ulteriore identificativo"_s, u"Città"_s,
                              u"Indirizzo"_s, u"E-Mail"_s, u"Telelefono casa"_s, u"Telefono Ufficio"_s,
                              u"Fax"_s, u"Telefonino"_s, u"Osservazioni"_s}));
        QCOMPARE(grid->model()->rowCount(), 3);
        QCOMPARE(grid->model()->index(2, 2).data().toString(), u"Verdi Luca"_s);
        QCOMPARE(grid->model()->index(1, 4).data().toString(), QString()); // NULL is an empty cell
        QCOMPARE(grid->columnWidth(2), 202);
        QCOMPARE(grid->currentIndex(), grid->model()->index(0, 0));
        QCOMPARE(grid->model()->headerData(0, Qt::Vertical, Qt::DisplayRole).toString(), u"▶"_s);

        Form2* form = tableView();
        QCOMPARE(form->windowTitle(), u"Tabella Nomelia"_s);
        QCOMPARE(form->size(), QSize(792, 544));
        QCOMPARE(grid->geometry(), QRect(16, 56, 769, 465));
        form->resize(1000, 700);
        QTRY_COMPARE(form->size(), QSize(1000, 700));
        QCOMPARE(grid->geometry(), QRect(16, 56, 769, 465)); // keeps its place and size
        QVERIFY(form->grab().save(QCoreApplication::applicationDirPath() + u"/Form2.png"_s));
    }

    void oneInstanceAndReopen()
    {
        Card card(book());
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        card.click(u"Command17"_s);
        QCOMPARE(openTableViews(), 1);
        QCOMPARE(grid->model()->rowCount(), 3);

        // Rows added on the card after the open are seen after the table view is opened again.
        card.click(u"Command2"_s);
        card.type(u"Text2"_s, u"Nuovo dal card"_s);
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QCOMPARE(grid->model()->rowCount(), 3);
        tableView()->close();
        QCoreApplication::processEvents();
        QCOMPARE(openTableViews(), 0);
        grid = openTableView(card);
        QVERIFY(grid);
        QCOMPARE(openTableViews(), 1);
        QCOMPARE(grid->model()->rowCount(), 4);
        QCOMPARE(grid->model()->index(3, 2).data().toString(), u"Nuovo dal card"_s);
    }

    void editWrittenOnRowChangeAndOnClose()
    {
        Card card(book());
        BoundGrid* grid = openTableView(card);
        grid->setCurrentIndex(grid->model()->index(0, 1));
        QLineEdit* cell = editor(grid);
        QVERIFY(cell);
        cell->selectAll();
        typeText(cell, u"cliente"_s); // not a category: stored as typed, no question
        QCOMPARE(grid->model()->headerData(0, Qt::Vertical, Qt::DisplayRole).toString(), u"✎"_s);
        QTest::keyClick(cell, Qt::Key_Down);
        QCOMPARE(grid->currentIndex(), grid->model()->index(1, 1));
        QCOMPARE(fieldOf(card.path(), 1, u"Genere"_s).toString(), u"cliente"_s);
        QVERIFY(m_dialogs->shown.isEmpty());
        QCOMPARE(grid->model()->headerData(0, Qt::Vertical, Qt::DisplayRole).toString(), QString());
        QCOMPARE(grid->model()->headerData(1, Qt::Vertical, Qt::DisplayRole).toString(), u"▶"_s);

        cell = editor(grid);
        cell->selectAll();
        typeText(cell, u"Lavoro — «nuovo» 😀"_s);
        tableView()->close();
        QCoreApplication::processEvents();
        QCOMPARE(fieldOf(card.path(), 2, u"Genere"_s).toString(), u"Lavoro — «nuovo» 😀"_s);
        QCOMPARE(openTableViews(), 0);
    }

    void movesStayInsideTheRow()
    {
        Card card(book());
        BoundGrid* grid = openTableView(card);
        const int last = grid->model()->columnCount() - 1;
        grid->setCurrentIndex(grid->model()->index(0, last));
        QTest::keyClick(editor(grid), Qt::Key_Tab);
        QCOMPARE(grid->currentIndex(), grid->model()->index(0, last));
        QTest::keyClick(editor(grid), Qt::Key_Right);
        QCOMPARE(grid->currentIndex(), grid->model()->index(0, last));
        QVERIFY(grid->hasFocus() || editor(grid)->hasFocus() || !tableView()->isActiveWindow());
        grid->setCurrentIndex(grid->model()->index(1, 1));
        QTest::keyClick(editor(grid), Qt::Key_Backtab);
        QCOMPARE(grid->currentIndex(), grid->model()->index(1, 0));
        QTest::keyClick(grid, Qt::Key_Backtab);
        QTest::keyClick(grid, Qt::Key_Left);
        QCOMPARE(grid->currentIndex(), grid->model()->index(1, 0));
        // Down at the last row adds nothing; Delete deletes nothing.
        grid->setCurrentIndex(grid->model()->index(2, 2));
        QTest::keyClick(editor(grid), Qt::Key_Down);
        QTest::keyClick(grid, Qt::Key_Delete);
        QCOMPARE(grid->model()->rowCount(), 3);
        tableView()->close();
        QCoreApplication::processEvents();
        QCOMPARE(query(card.path(), u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 3);
        QCOMPARE(fieldOf(card.path(), 3, kName).toString(), u"Verdi Luca"_s);
    }

    void refusedByTheLostUpdateGuard()
    {
        Card card(book());
        BoundGrid* grid = openTableView(card);
        grid->setCurrentIndex(grid->model()->index(0, 4));
        QLineEdit* cell = editor(grid);
        cell->selectAll();
        typeText(cell, u"Torino"_s);
        // Meanwhile the card changes the same field of the same contact.
        card.type(u"Text10"_s, u"Napoli"_s);
        m_dialogs->yesNoAnswers = {true};
        card.barMove(u"MoveNext"_s);
        QCOMPARE(fieldOf(card.path(), 1, u"Città"_s).toString(), u"Napoli"_s);

        m_dialogs->clear();
        QTest::keyClick(editor(grid), Qt::Key_Down);
        QCOMPARE(m_dialogs->shown.size(), 1);
        QCOMPARE(m_dialogs->shown[0].icon, Dialogs::Icon::Critical);
        QVERIFY(m_dialogs->shown[0].text.contains(u"Esc"_s));
        QCOMPARE(fieldOf(card.path(), 1, u"Città"_s).toString(), u"Napoli"_s);
        QTRY_COMPARE(grid->currentIndex().row(), 0); // back on the refused row
        QCOMPARE(grid->model()->index(0, 4).data().toString(), u"Torino"_s);

        // Closing would lose the typed value: refused until Esc gives it up.
        QVERIFY(!tableView()->close());
        QVERIFY(editor(grid));
        QTest::keyClick(editor(grid), Qt::Key_Escape);
        QCOMPARE(grid->model()->index(0, 4).data().toString(), u"Napoli"_s);
        QVERIFY(tableView()->close());
    }

    void rowHeightIsOneForAllRows()
    {
        Card card(book());
        BoundGrid* grid = openTableView(card);
        const int initial = grid->rowHeight(0);
        QVERIFY(initial >= QFontMetrics(grid->font()).height());
        grid->verticalHeader()->resizeSection(1, initial + 17); // a drag of one row's border
        for (int row = 0; row < grid->model()->rowCount(); ++row)
            QCOMPARE(grid->rowHeight(row), initial + 17);
        tableView()->close();
        QCoreApplication::processEvents();
        grid = openTableView(card); // the next load starts again from one text line
        QCOMPARE(grid->rowHeight(2), initial);
    }

    void missingFile()
    {
        Card card({}, false);
        m_dialogs->clear();
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        QCOMPARE(m_dialogs->shown.size(), 1);
        QVERIFY(m_dialogs->shown[0].text.contains(u"non esiste"_s));
        QCOMPARE(grid->model()->rowCount(), 0);
        QVERIFY(grid->horizontalHeader()->isVisible());
        QVERIFY(tableView()->isVisible());
    }
};

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    vinzal::setUpApplication(app);
    TestForm2 test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_form2.moc"
