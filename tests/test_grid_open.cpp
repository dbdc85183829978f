// The table view's open: the first rows are shown before the list of ids has been read, and the
// window works meanwhile; rowids anywhere in SQLite's 64-bit range, with or without gaps.
#include "application.h"
#include "bound_grid.h"
#include "contact_table.h"
#include "dynaset.h"
#include "form1.h"
#include "form2.h"
#include "grid_model.h"
#include "gui_support.h"
#include "record_navigator.h"

#include <QApplication>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>

#include <chrono>
#include <limits>
#include <thread>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;

namespace {

const QString kName = u"Cognone e nome o denominazione"_s;
constexpr qint64 kMin = std::numeric_limits<qint64>::min();
constexpr qint64 kMax = std::numeric_limits<qint64>::max();

// Contacts with the ids first, first + 1, ... (count of them), leaving out every `gapEvery`-th.
QList<Person> numbered(qint64 first, int count, int gapEvery = 0)
{
    QList<Person> contacts;
    for (int i = 0; i < count; ++i) {
        const qint64 id = first + i;
        if (gapEvery > 0 && (i + 1) % gapEvery == 0)
            continue;
        contacts.append({{u"ID"_s, id}, {u"Genere"_s, u"Altro"_s}, {kName, u"n%1"_s.arg(id)}});
    }
    return contacts;
}

// Releases the held lists after a while, from another thread: the window's thread is then waiting
// for them.
class LateRelease
{
public:
    LateRelease()
        : m_thread([] {
              std::this_thread::sleep_for(std::chrono::milliseconds(150));
              Dynaset::holdListsForTesting(Dynaset::Hold::Nowhere);
          })
    {
    }
    ~LateRelease() { m_thread.join(); }

private:
    std::thread m_thread;
};

} // namespace

class TestGridOpen : public QObject
{
    Q_OBJECT

    ScriptedDialogs* m_dialogs = nullptr;

    QLineEdit* editor(BoundGrid* grid)
    {
        return qobject_cast<QLineEdit*>(grid->indexWidget(grid->currentIndex()));
    }

    // Replaces the text of the current cell by typing.
    void typeInto(BoundGrid* grid, const QString& text)
    {
        QLineEdit* cell = editor(grid);
        QVERIFY(cell);
        cell->selectAll();
        typeText(cell, text);
    }

    void closeTableView()
    {
        QVERIFY(tableView()->close());
        QCoreApplication::processEvents();
    }

private slots:
    void init() { m_dialogs = &ScriptedDialogs::install(); }

    void cleanup()
    {
        Dynaset::holdListsForTesting(Dynaset::Hold::Nowhere);
        while (Form2* form = tableView())
            delete form;
        // Every list reader has finished and its thread was joined, whatever the test did.
        QCOMPARE(Dynaset::unfinishedReaders(), 0);
    }

    void firstPaintAlreadyHasTheRows()
    {
        // The rows are read as the window is shown, before any event loop turn: the first paint of
        // either window shows them rather than an empty grid or card that is painted again.
        Card card(numbered(1, 500));
        QCOMPARE(card.text(u"Text12"_s), u"1"_s);
        card.click(u"Command17"_s);
        Form2* form = tableView();
        QVERIFY(form);
        auto* grid = form->findChild<BoundGrid*>(u"DBGrid1"_s);
        QVERIFY(grid->model()->rowCount() > 0);
        QCOMPARE(grid->model()->index(0, 0).data().toString(), u"1"_s);
        QVERIFY(grid->currentIndex().isValid());
    }

    void rowsShownAndEditedBeforeTheList()
    {
        Card card(numbered(1, 500));
        Dynaset::holdListsForTesting(Dynaset::Hold::BeforeHandOver);
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        QAbstractItemModel* model = grid->model();
        // The first page is there, and shown, while the rest is still on its way.
        QCOMPARE(model->rowCount(), int(Dynaset::pageSize));
        QVERIFY(model->canFetchMore({}));
        QCOMPARE(grid->indexAt(QPoint(5, 5)), model->index(0, 0));
        QCOMPARE(model->index(0, 2).data().toString(), u"n1"_s);
        QCOMPARE(model->index(63, 2).data().toString(), u"n64"_s);
        QVERIFY(m_dialogs->shown.isEmpty());

        // A row changed meanwhile is written when it is left.
        grid->setCurrentIndex(model->index(2, 4));
        typeInto(grid, u"Torino"_s);
        QTest::keyClick(editor(grid), Qt::Key_Down);
        QCOMPARE(grid->currentIndex(), model->index(3, 4));
        QCOMPARE(fieldOf(card.path(), 3, u"Città"_s).toString(), u"Torino"_s);
        // And one still being typed when the list arrives is written after it.
        typeInto(grid, u"Bari"_s);
        grid->verticalScrollBar()->setValue(2);
        const QModelIndex top = grid->indexAt(QPoint(5, 5));
        const int maximum = grid->verticalScrollBar()->maximum();

        Dynaset::holdListsForTesting(Dynaset::Hold::Nowhere);
        QTRY_COMPARE(model->rowCount(), 500);
        QVERIFY(!model->canFetchMore({}));
        QVERIFY(grid->verticalScrollBar()->maximum() > maximum);
        // The rows shown did not move, nor did the current cell, and the typed text is still there.
        QCOMPARE(grid->verticalScrollBar()->value(), 2);
        QCOMPARE(grid->indexAt(QPoint(5, 5)), top);
        QCOMPARE(grid->currentIndex(), model->index(3, 4));
        QCOMPARE(editor(grid)->text(), u"Bari"_s);
        QCOMPARE(model->headerData(3, Qt::Vertical, Qt::DisplayRole).toString(), u"✎"_s);
        QTest::keyClick(editor(grid), Qt::Key_Down);
        QCOMPARE(fieldOf(card.path(), 4, u"Città"_s).toString(), u"Bari"_s);
        QCOMPARE(model->index(499, 2).data().toString(), u"n500"_s);
        QVERIFY(m_dialogs->shown.isEmpty());
    }

    void jumpToTheLastRowBeforeTheListWithGaps()
    {
        // A tenth of the rows deleted by another program: ids 1..700 without 10, 20, ...
        Card card(numbered(1, 700, 10));
        Dynaset::holdListsForTesting(Dynaset::Hold::BeforeHandOver);
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        QAbstractItemModel* model = grid->model();
        QCOMPARE(model->rowCount(), int(Dynaset::pageSize));
        QCOMPARE(model->index(9, 0).data().toString(), u"11"_s); // after the gap

        // Ctrl+End needs the whole list: it waits for it, then goes to the true last row.
        {
            LateRelease release;
            grid->setFocus();
            QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
        }
        QCOMPARE(model->rowCount(), 630);
        QCOMPARE(grid->currentIndex().row(), 629);
        QCOMPARE(model->index(629, 0).data().toString(), u"699"_s);
        QCOMPARE(model->index(630 - 9, 0).data().toString(), u"691"_s);
        QCOMPARE(static_cast<GridModel*>(model)->currentRow(), 629);
        QVERIFY(!QGuiApplication::overrideCursor()); // the busy cursor is gone
        QCoreApplication::processEvents();           // the late hand-over of the list is dropped
        QCOMPARE(model->rowCount(), 630);

        // The last row is edited and written in place.
        grid->setCurrentIndex(model->index(629, 2));
        typeInto(grid, u"ultimo"_s);
        QTest::keyClick(editor(grid), Qt::Key_Up);
        QCOMPARE(fieldOf(card.path(), 699, kName).toString(), u"ultimo"_s);
        QCOMPARE(fieldOf(card.path(), 698, kName).toString(), u"n698"_s);
        QTest::keyClick(grid, Qt::Key_Home, Qt::ControlModifier);
        QCOMPARE(grid->currentIndex().row(), 0);

        // The same through the navigator, as the card's bar moves it: the last row waits for the list.
        closeTableView();
        Dynaset::holdListsForTesting(Dynaset::Hold::BeforeHandOver);
        grid = openTableView(card);
        QCOMPARE(grid->model()->rowCount(), int(Dynaset::pageSize));
        {
            LateRelease release;
            QVERIFY(tableView()->navigator().moveLast().ok());
        }
        QCOMPARE(tableView()->navigator().currentRow()->rowid, 699);
        QCOMPARE(grid->model()->rowCount(), 630);
    }

    void closedWhileTheListIsRead()
    {
        Card card(numbered(1, 700, 10));
        // Closed while the reader is inside its read transaction: it is stopped, and leaves no lock.
        Dynaset::holdListsForTesting(Dynaset::Hold::WhileReading);
        QVERIFY(openTableView(card));
        QCOMPARE(Dynaset::unfinishedReaders(), 1);
        closeTableView();
        QCOMPARE(Dynaset::unfinishedReaders(), 0);
        query(card.path(), u"UPDATE Nomelia SET \"Fax\" = '1' WHERE ID = 1"_s); // no lock left behind

        // Closed with a changed row before the list was handed over: the row is written.
        Dynaset::holdListsForTesting(Dynaset::Hold::BeforeHandOver);
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        grid->setCurrentIndex(grid->model()->index(5, 1));
        typeInto(grid, u"Lavoro"_s);
        closeTableView();
        QCOMPARE(Dynaset::unfinishedReaders(), 0);
        QCOMPARE(fieldOf(card.path(), 6, u"Genere"_s).toString(), u"Lavoro"_s);
        Dynaset::holdListsForTesting(Dynaset::Hold::Nowhere);

        // A large book with gaps, closed at once: most likely while the ids are being read.
        query(card.path(),
              u"WITH RECURSIVE n(i) AS (SELECT 1000 UNION ALL SELECT i + 1 FROM n WHERE i < ?) "
              u"INSERT INTO Nomelia(ID, Genere) SELECT i, 'Altro' FROM n WHERE i % 10 <> 0"_s,
              {200000});
        for (int i = 0; i < 3; ++i) {
            QVERIFY(openTableView(card));
            closeTableView();
            QCOMPARE(Dynaset::unfinishedReaders(), 0);
        }
        QVERIFY(m_dialogs->shown.isEmpty());
    }

    void extremeIdsInBothWindows()
    {
        QList<Person> contacts = numbered(1, 100);
        contacts.append({{u"ID"_s, kMin}, {kName, u"primo"_s}});
        contacts.append({{u"ID"_s, kMax}, {kName, u"ultimo"_s}});
        contacts.append({{u"ID"_s, qint64(0)}, {kName, u"zero"_s}});
        contacts.append({{u"ID"_s, qint64(-1)}, {kName, u"meno uno"_s}});
        Card card(contacts);

        // The card: first, last, a step from each end, and a change written to the extreme row.
        QCOMPARE(card.text(u"Text12"_s), QString::number(kMin));
        card.barMove(u"MoveNext"_s);
        QCOMPARE(card.text(u"Text12"_s), u"-1"_s);
        card.barMove(u"MoveLast"_s);
        QCOMPARE(card.text(u"Text12"_s), QString::number(kMax));
        card.type(u"Text10"_s, u"Bari"_s);
        m_dialogs->yesNoAnswers = {true};
        card.barMove(u"MovePrevious"_s);
        QCOMPARE(card.text(u"Text12"_s), u"100"_s);
        QCOMPARE(fieldOf(card.path(), kMax, u"Città"_s).toString(), u"Bari"_s);
        card.barMove(u"MoveFirst"_s);
        QCOMPARE(card.text(u"Text12"_s), QString::number(kMin));
        m_dialogs->clear();

        // The grid: all 104 rows in rowid order, both ends reached and written.
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        QAbstractItemModel* model = grid->model();
        QTRY_COMPARE(model->rowCount(), 104);
        QCOMPARE(model->index(0, 0).data().toString(), QString::number(kMin));
        QCOMPARE(model->index(1, 2).data().toString(), u"meno uno"_s);
        QCOMPARE(model->index(2, 2).data().toString(), u"zero"_s);
        grid->setFocus();
        QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(grid->currentIndex().row(), 103);
        QCOMPARE(model->index(103, 0).data().toString(), QString::number(kMax));
        QCOMPARE(model->index(103, 4).data().toString(), u"Bari"_s);
        grid->setCurrentIndex(model->index(103, 2));
        typeInto(grid, u"ultimo bis"_s);
        QTest::keyClick(editor(grid), Qt::Key_Up);
        QCOMPARE(fieldOf(card.path(), kMax, kName).toString(), u"ultimo bis"_s);
        QTest::keyClick(grid, Qt::Key_Home, Qt::ControlModifier);
        grid->setCurrentIndex(model->index(0, 2));
        typeInto(grid, u"primo bis"_s);
        closeTableView();
        QCOMPARE(fieldOf(card.path(), kMin, kName).toString(), u"primo bis"_s);
        QCOMPARE(query(card.path(), u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 104);
        QVERIFY(m_dialogs->shown.isEmpty());
    }

    void denseIdsAtTheEndsOfTheRange()
    {
        // No gap, so no list: positions are worked out from the first id, and must not overflow.
        for (const qint64 first : {kMin, kMax - 99}) {
            QTemporaryDir dir;
            const QString path = dir.filePath(contacts::fileName());
            makeAddressBook(path, numbered(first, 100));
            RecordNavigator navigator;
            TextFields fields(navigator);
            navigator.setRecordsetType(RecordNavigator::RecordsetType::Dynaset);
            navigator.setDatabaseName(path);
            QVERIFY(navigator.open().ok());
            QVERIFY(navigator.moveLast().ok());
            Dynaset& rows = *navigator.dynaset();
            QCOMPARE(rows.size(), 100);
            QCOMPARE(navigator.currentRow()->rowid, first + 99);
            QCOMPARE(rows.rowAt(99).value().rowid, first + 99);
            QCOMPARE(rows.positionOf(first), 0);
            QCOMPARE(rows.positionOf(first + 99), 99);
            QCOMPARE(rows.positionOf(first == kMin ? kMax : kMin), -1);
            QCOMPARE(rows.positionOf(first == kMin ? qint64(0) : qint64(-1)), -1);
            QVERIFY(navigator.storeRow(99, {{u"Fax"_s, Value::fromEditedText(u"123"_s), Value()}}).ok());
            QCOMPARE(fieldOf(path, first + 99, u"Fax"_s).toString(), u"123"_s);
        }
    }
};

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    vinzal::setUpApplication(app);
    TestGridOpen test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_grid_open.moc"
