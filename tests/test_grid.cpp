// The table view: the grid over the whole table, opened from the card; its keyboard across windows
// and message boxes; its open, which shows the first rows before the list of ids has been read; and
// rowids anywhere in SQLite's 64-bit range, with or without gaps.
#include "application.h"
#include "bound_grid.h"
#include "connection.h"
#include "contact_table.h"
#include "dynaset.h"
#include "form1.h"
#include "form2.h"
#include "grid_model.h"
#include "gui_support.h"
#include "record_navigator.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QScrollBar>
#include <QTest>

#include <sqlite3.h>

#include <chrono>
#include <limits>
#include <thread>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;

namespace {

constexpr qint64 kMin = std::numeric_limits<qint64>::min();
constexpr qint64 kMax = std::numeric_limits<qint64>::max();

// Contacts with the ids first, first + 1, ... (count of them), leaving out every `gapEvery`-th.
QList<Person> numbered(qint64 first, int count, int gapEvery = 0)
{
    QList<Person> contacts;
    for (int i = 0; i < count; ++i)
        if (gapEvery == 0 || (i + 1) % gapEvery != 0)
            contacts.append(
                {{u"ID"_s, first + i}, {u"Genere"_s, u"Altro"_s}, {nameField(), u"n%1"_s.arg(first + i)}});
    return contacts;
}

// Releases the held lists after a while, from another thread: the window's thread is then waiting
// for them.
struct LateRelease
{
    std::thread thread{[] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        Dynaset::holdListsForTesting(Dynaset::Hold::Nowhere);
    }};
    ~LateRelease() { thread.join(); }
};

int statementsCounted = 0;
int countStatement(unsigned, void*, void*, void*)
{
    return ++statementsCounted, 0;
}

QString cell(BoundGrid* grid, int row, int column)
{
    return grid->model()->index(row, column).data().toString();
}

// Replaces the text of the current cell by typing.
void typeInto(BoundGrid* grid, const QString& text)
{
    QLineEdit* editor = cellEditor(grid);
    QVERIFY(editor);
    editor->selectAll();
    typeText(editor, text);
}

void closeTableView()
{
    QVERIFY(tableView()->close());
    QCoreApplication::processEvents();
}

} // namespace

class TestGrid : public QObject
{
    Q_OBJECT

    ScriptedDialogs* m_dialogs = nullptr;

private slots:
    void init() { m_dialogs = &ScriptedDialogs::install(); }

    void cleanup()
    {
        Dynaset::holdListsForTesting(Dynaset::Hold::Nowhere);
        deleteTableViews();
        // Every list reader has finished and its thread was joined, whatever the test did.
        QCOMPARE(Dynaset::unfinishedReaders(), 0);
    }

    void valuesAndModel()
    {
        Card card(fourContacts());
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        QAbstractItemModelTester tester(grid->model(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(grid->model()->columnCount(), 12);
        QCOMPARE(grid->model()->headerData(2, Qt::Horizontal).toString(), nameField());
        QCOMPARE(cell(grid, 2, 2), u"Verdi Luca"_s);
        QCOMPARE(cell(grid, 1, 9), QString()); // NULL is an empty cell
        QCOMPARE(grid->currentIndex(), grid->model()->index(0, 0));
        QCOMPARE(grid->model()->headerData(0, Qt::Vertical).toString(), u"▶"_s);
        Form2* form = tableView();
        QCOMPARE(form->windowTitle(), u"Tabella Nomelia"_s);
        const QRect place = grid->geometry();
        QVERIFY(form->rect().contains(place));
        form->resize(1000, 700);
        QTRY_COMPARE(form->size(), QSize(1000, 700));
        QCOMPARE(grid->geometry(), place); // keeps its place and size
        QVERIFY(form->grab().save(QCoreApplication::applicationDirPath() + u"/Form2.png"_s));
    }

    // One table view at a time; rows added on the card are seen once it is opened again, and the
    // row height dragged on one row is every row's until then.
    void oneInstanceAndReopen()
    {
        Card card(fourContacts());
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        card.click(u"Command17"_s);
        QCOMPARE(QApplication::topLevelWidgets().count(tableView()), 1);
        const int height = grid->rowHeight(0);
        QVERIFY(height >= QFontMetrics(grid->font()).height());
        grid->verticalHeader()->resizeSection(1, height + 17); // a drag of one row's border
        for (int row = 0; row < 4; ++row)
            QCOMPARE(grid->rowHeight(row), height + 17);

        card.click(u"Command2"_s);
        card.type(u"Text2"_s, u"Nuovo dal card"_s);
        card.click(u"Command6"_s, true);
        QCOMPARE(grid->model()->rowCount(), 4);
        closeTableView();
        QVERIFY(!tableView());
        grid = openTableView(card);
        QVERIFY(grid);
        QCOMPARE(grid->model()->rowCount(), 5);
        QCOMPARE(cell(grid, 4, 2), u"Nuovo dal card"_s);
        QCOMPARE(grid->rowHeight(2), height);
    }

    void editWrittenOnRowChangeAndOnClose()
    {
        Card card(fourContacts());
        BoundGrid* grid = openTableView(card);
        grid->setCurrentIndex(grid->model()->index(0, 1));
        typeInto(grid, u"cliente"_s); // not a category: stored as typed, no question
        QCOMPARE(grid->model()->headerData(0, Qt::Vertical).toString(), u"✎"_s);
        QTest::keyClick(cellEditor(grid), Qt::Key_Down);
        QCOMPARE(grid->currentIndex(), grid->model()->index(1, 1));
        QCOMPARE(card.stored(1, u"Genere"_s), u"cliente"_s);
        QCOMPARE(grid->model()->headerData(0, Qt::Vertical).toString(), QString());
        QCOMPARE(grid->model()->headerData(1, Qt::Vertical).toString(), u"▶"_s);
        typeInto(grid, u"Lavoro — «nuovo» 😀"_s);
        closeTableView();
        QCOMPARE(card.stored(2, u"Genere"_s), u"Lavoro — «nuovo» 😀"_s);
        QVERIFY(m_dialogs->shown.isEmpty());
    }

    // The keys stay inside the table and reach the cell, the key column included; none adds or
    // deletes a row.
    void keyboard_data()
    {
        QTest::addColumn<QPoint>("from"); // column, row
        QTest::addColumn<QList<int>>("keys");
        QTest::addColumn<QPoint>("to");
        const int backtab = QKeyCombination(Qt::ShiftModifier, Qt::Key_Backtab).toCombined();
        QTest::newRow("Tab at the end of a row") << QPoint(11, 0) << QList<int>{Qt::Key_Tab} << QPoint(11, 0);
        QTest::newRow("Right at the end of a row")
            << QPoint(11, 0) << QList<int>{Qt::Key_Right} << QPoint(11, 0);
        QTest::newRow("Shift+Tab into the key column, and on")
            << QPoint(1, 1) << QList<int>{backtab, Qt::Key_Down, Qt::Key_Right} << QPoint(1, 2);
        QTest::newRow("Left into the key column, and on")
            << QPoint(1, 1) << QList<int>{Qt::Key_Left, Qt::Key_Down, Qt::Key_Right} << QPoint(1, 2);
        QTest::newRow("Shift+Tab and Left at the key column")
            << QPoint(1, 1) << QList<int>{backtab, backtab, Qt::Key_Left} << QPoint(0, 1);
        QTest::newRow("Down at the last row, Delete")
            << QPoint(2, 3) << QList<int>{Qt::Key_Down, Qt::Key_Delete} << QPoint(2, 3);
    }

    void keyboard()
    {
        QFETCH(QPoint, from);
        QFETCH(QList<int>, keys);
        QFETCH(QPoint, to);
        Card card(fourContacts());
        const QByteArray before = fileBytes(card.path());
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        activate(grid->window());
        clickCell(grid, from.y(), from.x());
        for (const int key : keys)
            QTest::keyClick(vinzal::test::keys(), Qt::Key(key & ~Qt::KeyboardModifierMask),
                            Qt::KeyboardModifiers(key & Qt::KeyboardModifierMask));
        QCOMPARE(grid->currentIndex(), grid->model()->index(to.y(), to.x()));
        QVERIFY(vinzal::test::keys() && grid->isAncestorOf(vinzal::test::keys()));
        if (to.x() > 0) {
            const QString stored = cell(grid, to.y(), to.x());
            typeText(vinzal::test::keys(), u"x"_s);
            QCOMPARE(cell(grid, to.y(), to.x()), stored + u"x"_s);
            QTest::keyClick(vinzal::test::keys(), Qt::Key_Escape);
        }
        QCOMPARE(grid->gridModel()->dirtyRow(), -1);
        QCOMPARE(grid->model()->rowCount(), 4);
        closeTableView();
        QCOMPARE(fileBytes(card.path()), before);
    }

    // Type-ahead in the key column would read a page of rows after another until the whole table
    // was read.
    void typingInTheKeyColumnReadsNothing()
    {
        Card card(numbered(1, 3000));
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        activate(grid->window());
        clickCell(grid, 0, 0);
        auto* db = static_cast<sqlite3*>(tableView()->navigator().connection()->db().handle());
        sqlite3_trace_v2(db, SQLITE_TRACE_STMT, &countStatement, nullptr);
        typeText(keys(), u"a7"_s);
        sqlite3_trace_v2(db, 0, nullptr, nullptr);
        QVERIFY2(statementsCounted < 3, qPrintable(QString::number(statementsCounted)));
        QCOMPARE(grid->currentIndex(), grid->model()->index(0, 0));
    }

    void gridKeepsEveryKeyAcrossActivation()
    {
        Card card(fourContacts());
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        activate(grid->window());
        clickCell(grid, 0, 2);
        QTest::keyClick(keys(), Qt::Key_End);
        typeText(keys(), u"abc"_s);
        activate(&card.form());   // a click on the card
        activate(grid->window()); // and back on the table view's title bar
        typeText(keys(), u"def"_s);
        QTest::keyClick(keys(), Qt::Key_Down);
        QCOMPARE(card.stored(1, nameField()), u"Rossi Marioabcdef"_s);
    }

    // The card changes the contact meanwhile: the row is refused in the real message box, which takes
    // the keyboard, and the release of the mouse button, while it shows. Whether the row is left by a
    // key or by a click on the record selector, the typed value stays and every later try refuses
    // again; the table view will not close until Esc, which gives the value up at the first press.
    // A click on the record selector then makes its row current and writes the row left.
    void refusedByTheLostUpdateGuard()
    {
        Card card(fourContacts());
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        activate(grid->window());
        clickCell(grid, 0, 4);
        QTest::keyClick(keys(), Qt::Key_A, Qt::ControlModifier);
        typeText(keys(), u"Torino 2"_s);
        card.type(u"Text10"_s, u"Napoli"_s);
        card.click(u"MoveNext"_s, true);
        QCOMPARE(card.stored(1, u"Città"_s), u"Napoli"_s);

        Dialogs::install(nullptr);
        QHeaderView* selector = grid->verticalHeader();
        const auto rowAt = [selector](int row) {
            return QPoint(selector->width() / 2,
                          selector->sectionViewportPosition(row) + selector->sectionSize(row) / 2);
        };
        QStringList messages;
        for (int attempt = 0; attempt < 3; ++attempt) {
            whenModalShows([&](QWidget* modal) {
                messages.append(static_cast<QMessageBox*>(modal)->text());
                // Through the window system, which holds it back from the window behind the box.
                if (attempt > 0)
                    QTest::mouseRelease(grid->window()->windowHandle(), Qt::LeftButton, {},
                                        selector->viewport()->mapTo(grid->window(), rowAt(2)));
                static_cast<QDialog*>(modal)->accept();
            });
            activate(grid->window());
            if (attempt == 0)
                QTest::keyClick(keys(), Qt::Key_Down);
            else
                QTest::mousePress(selector->viewport(), Qt::LeftButton, {}, rowAt(2));
            QTest::qWait(20);
            activate(grid->window()); // the window manager gives the window back its activation
            QCOMPARE(messages.size(), attempt + 1);
            QCOMPARE(grid->currentIndex().row(), 0);
        }
        QVERIFY2(messages[0].contains(u"modificato o eliminato"_s) && messages[0].contains(u"Esc"_s) &&
                     !messages[0].contains(u"rilegger"_s, Qt::CaseInsensitive),
                 qPrintable(messages[0]));
        QCOMPARE(cell(grid, 0, 4), u"Torino 2"_s);
        whenModalShows([](QWidget* modal) { static_cast<QDialog*>(modal)->accept(); });
        QVERIFY(!tableView()->close());
        activate(grid->window());
        QTest::keyClick(keys(), Qt::Key_Escape);
        QCOMPARE(grid->gridModel()->dirtyRow(), -1);
        QCOMPARE(cell(grid, 0, 4), u"Napoli"_s);

        clickCell(grid, 0, 4);
        QTest::keyClick(keys(), Qt::Key_End);
        typeText(keys(), u"!"_s);
        QTest::mouseClick(selector->viewport(), Qt::LeftButton, {}, rowAt(2));
        QCoreApplication::processEvents();
        QCOMPARE(grid->currentIndex().row(), 2);
        QCOMPARE(grid->gridModel()->currentRow(), 2);
        QVERIFY(grid->selectionModel()->isRowSelected(2, {}));
        QCOMPARE(card.stored(1, u"Città"_s), u"Napoli!"_s);
        QVERIFY(messages.size() == 3);
    }

    // The rows are read as the window is shown, before any event loop turn: the first paint shows
    // them. With the list of ids held back, the first page is shown and edited meanwhile.
    void rowsShownAndEditedBeforeTheList()
    {
        Card card(numbered(1, 500));
        QCOMPARE(card.text(u"Text12"_s), u"1"_s);
        card.click(u"Command17"_s);
        QVERIFY(tableView());
        auto* first = tableView()->findChild<BoundGrid*>(u"DBGrid1"_s);
        QVERIFY(first->model()->rowCount() > 0 && first->currentIndex().isValid());
        QCOMPARE(cell(first, 0, 0), u"1"_s);
        closeTableView();

        Dynaset::holdListsForTesting(Dynaset::Hold::BeforeHandOver);
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        QAbstractItemModel* model = grid->model();
        QCOMPARE(model->rowCount(), int(Dynaset::pageSize));
        QVERIFY(model->canFetchMore({}));
        QCOMPARE(grid->indexAt(QPoint(5, 5)), model->index(0, 0));
        QCOMPARE(cell(grid, 63, 2), u"n64"_s);
        // A row changed meanwhile is written when it is left.
        grid->setCurrentIndex(model->index(2, 4));
        typeInto(grid, u"Torino"_s);
        QTest::keyClick(cellEditor(grid), Qt::Key_Down);
        QCOMPARE(card.stored(3, u"Città"_s), u"Torino"_s);
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
        QCOMPARE(cellEditor(grid)->text(), u"Bari"_s);
        QCOMPARE(model->headerData(3, Qt::Vertical).toString(), u"✎"_s);
        QTest::keyClick(cellEditor(grid), Qt::Key_Down);
        QCOMPARE(card.stored(4, u"Città"_s), u"Bari"_s);
        QCOMPARE(cell(grid, 499, 2), u"n500"_s);
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
        QCOMPARE(cell(grid, 9, 0), u"11"_s); // after the gap

        // Ctrl+End needs the whole list: it waits for it, then goes to the true last row.
        {
            LateRelease release;
            grid->setFocus();
            QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
        }
        QCOMPARE(model->rowCount(), 630);
        QCOMPARE(grid->currentIndex().row(), 629);
        QCOMPARE(cell(grid, 629, 0), u"699"_s);
        QCOMPARE(cell(grid, 621, 0), u"691"_s);
        QCOMPARE(grid->gridModel()->currentRow(), 629);
        QVERIFY(!QGuiApplication::overrideCursor()); // the busy cursor is gone
        QCoreApplication::processEvents();           // the late hand-over of the list is dropped
        QCOMPARE(model->rowCount(), 630);
        grid->setCurrentIndex(model->index(629, 2));
        typeInto(grid, u"ultimo"_s);
        QTest::keyClick(cellEditor(grid), Qt::Key_Up);
        QCOMPARE(card.stored(699, nameField()), u"ultimo"_s);
        QCOMPARE(card.stored(698, nameField()), u"n698"_s);

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
        QCOMPARE(card.stored(6, u"Genere"_s), u"Lavoro"_s);
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

    // Rowids anywhere in SQLite's 64-bit range, in both windows: with gaps (a list of ids is read) or
    // dense (positions are worked out from the first id, and must not overflow).
    void extremeIds_data()
    {
        QTest::addColumn<qint64>("first");
        QTest::addColumn<bool>("gaps");
        QTest::newRow("both ends and around 0") << qint64(1) << true;
        QTest::newRow("dense at the lowest") << kMin << false;
        QTest::newRow("dense at the highest") << kMax - 99 << false;
    }

    void extremeIds()
    {
        QFETCH(qint64, first);
        QFETCH(bool, gaps);
        QList<Person> contacts = numbered(first, 100);
        if (gaps)
            for (const qint64 id : {kMin, kMax, qint64(0), qint64(-1)})
                contacts.append({{u"ID"_s, id}, {nameField(), u"n%1"_s.arg(id)}});
        const qint64 lowest = gaps ? kMin : first, highest = gaps ? kMax : first + 99;
        const int count = int(contacts.size());
        Card card(contacts);
        card.click(u"MovePrevious"_s); // past either end, the end stays
        QCOMPARE(card.text(u"Text12"_s), QString::number(lowest));
        card.click(u"MoveNext"_s);
        QCOMPARE(card.text(u"Text12"_s), QString::number(gaps ? -1 : lowest + 1));
        card.click(u"MoveLast"_s);
        card.click(u"MoveNext"_s);
        QCOMPARE(card.text(u"Text12"_s), QString::number(highest));
        card.type(u"Text10"_s, u"Bari"_s);
        card.click(u"MovePrevious"_s, true);
        QCOMPARE(card.text(u"Text12"_s), QString::number(gaps ? 100 : highest - 1));
        QCOMPARE(card.stored(highest, u"Città"_s), u"Bari"_s);
        m_dialogs->clear();

        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        QTRY_COMPARE(grid->model()->rowCount(), count);
        QCOMPARE(cell(grid, 0, 0), QString::number(lowest));
        QCOMPARE(cell(grid, 2, 2), u"n%1"_s.arg(gaps ? 0 : lowest + 2));
        grid->setFocus();
        QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(grid->currentIndex().row(), count - 1);
        QCOMPARE(cell(grid, count - 1, 0), QString::number(highest));
        grid->setCurrentIndex(grid->model()->index(count - 1, 2));
        typeInto(grid, u"ultimo"_s);
        QTest::keyClick(cellEditor(grid), Qt::Key_Up);
        QCOMPARE(card.stored(highest, nameField()), u"ultimo"_s);
        grid->setCurrentIndex(grid->model()->index(0, 2));
        typeInto(grid, u"primo"_s);
        const Dynaset* rows = tableView()->navigator().dynaset();
        QVERIFY(rows);
        QCOMPARE(rows->positionOf(highest), count - 1);
        for (const qint64 absent : {gaps ? -2 : first == kMin ? kMin + 100 : first - 1, kMax - 100})
            QCOMPARE(rows->positionOf(absent), -1);
        closeTableView();
        QCOMPARE(card.stored(lowest, nameField()), u"primo"_s);
        QVERIFY(m_dialogs->shown.isEmpty());
    }
};

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    vinzal::setUpApplication(app);
    TestGrid test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_grid.moc"
