// What the user typed and what the file holds survive the paths that only real use takes: a failed
// save followed by a "No", a write that moves the row in the current order, bytes that are not UTF-8,
// remarks edited around text the editor converts, and the grid's keyboard across focus and window
// changes and message boxes.
#include "application.h"
#include "bound_grid.h"
#include "connection.h"
#include "form1.h"
#include "form2.h"
#include "grid_model.h"
#include "gui_support.h"

#include <QApplication>
#include <QFile>
#include <QHeaderView>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QTest>
#include <QTimer>

#include <sqlite3.h>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;

namespace {

const QString kName = u"Cognone e nome o denominazione"_s;

Person contact(const QString& name, const QString& town)
{
    return {{u"Genere"_s, u"Lavoro"_s}, {kName, name}, {u"Città"_s, town}};
}

// IDs 1 to 4; in "Città" order: Bari (3), Milano (2), Roma (4), Torino (1).
QList<Person> book()
{
    return {contact(u"Rossi Mario"_s, u"Torino"_s), contact(u"Bianchi Anna"_s, u"Milano"_s),
            contact(u"Verdi Luca"_s, u"Bari"_s), contact(u"Neri Sara"_s, u"Roma"_s)};
}

QByteArray bytesOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString hexOf(const QString& path, qint64 id, const QString& field)
{
    return query(path, u"SELECT hex("_s + quoteIdentifier(field) + u") FROM Nomelia WHERE ID = ?"_s, {id})
        .first()
        .toString();
}

// Makes `window` the active window, as a click on its title bar does, and returns the widget that
// then has the keyboard.
QWidget* activate(QWidget* window)
{
    window->activateWindow();
    QApplication::setActiveWindow(window);
    if (!QTest::qWaitForWindowActive(window))
        qWarning("window not active");
    QCoreApplication::processEvents();
    return QApplication::focusWidget();
}

QWidget* keys()
{
    QWidget* focus = QApplication::focusWidget();
    if (!focus)
        qWarning("no widget has the keyboard");
    return focus;
}

// Answers the next real modal dialog with `answer` once it shows, and records its text.
void whenModalShows(std::function<void(QWidget*)> answer)
{
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [answer, poll] {
        if (QWidget* modal = QApplication::activeModalWidget(); modal && modal->isVisible()) {
            answer(modal);
            return;
        }
        QTimer::singleShot(10, *poll);
    };
    QTimer::singleShot(10, *poll);
}

// Counts the statements a connection runs.
class StatementCounter
{
public:
    explicit StatementCounter(sql::Database& db)
    {
        m_db = static_cast<sqlite3*>(db.handle());
        sqlite3_trace_v2(m_db, SQLITE_TRACE_STMT, &StatementCounter::count, &m_count);
    }
    ~StatementCounter() { sqlite3_trace_v2(m_db, 0, nullptr, nullptr); }
    int count() const { return m_count; }

private:
    static int count(unsigned, void* counter, void*, void*)
    {
        ++*static_cast<int*>(counter);
        return 0;
    }
    sqlite3* m_db = nullptr;
    int m_count = 0;
};

} // namespace

class TestEditFaults : public QObject
{
    Q_OBJECT

    ScriptedDialogs* m_dialogs = nullptr;

    QString lastMessage() const
    {
        return m_dialogs->shown.isEmpty() ? QString() : m_dialogs->shown.last().text;
    }

    void clickCell(BoundGrid* grid, int row, int column)
    {
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                          grid->visualRect(grid->model()->index(row, column)).center());
        QCoreApplication::processEvents();
    }

    QString cell(BoundGrid* grid, int row, int column)
    {
        return grid->model()->index(row, column).data().toString();
    }

private slots:
    void init() { m_dialogs = &ScriptedDialogs::install(); }

    void cleanup() { deleteTableViews(); }

    void noAfterAFailedSaveWritesNothing_data()
    {
        QTest::addColumn<bool>("adding");
        QTest::addColumn<bool>("locked");
        QTest::newRow("modifying, file refuses writes") << false << false;
        QTest::newRow("adding, file refuses writes") << true << false;
        QTest::newRow("modifying, file locked by another program") << false << true;
    }

    void noAfterAFailedSaveWritesNothing()
    {
        QFETCH(bool, adding);
        QFETCH(bool, locked);
        Card card(book());
        const QByteArray before = bytesOf(card.path());
        card.click(adding ? u"Command2"_s : u"Command3"_s);
        card.type(u"Text10"_s, u"Aosta"_s);

        QSqlDatabase other;
        if (locked) {
            other = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"holder"_s);
            other.setDatabaseName(card.path());
            QVERIFY(other.open());
            QSqlQuery hold(other);
            QVERIFY(hold.exec(u"BEGIN EXCLUSIVE"_s));
        } else {
            // What a read-only file does: every write is refused by the engine.
            QVERIFY(card.form().navigator().connection()->db().exec(u"PRAGMA query_only = 1"_s, {}));
        }
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QVERIFY2(lastMessage().contains(locked ? u"occupato"_s : u"sola lettura"_s),
                 qPrintable(lastMessage()));
        QCOMPARE(card.state(), adding ? u"Adding"_s : u"Modifying"_s);
        QCOMPARE(card.text(u"Text10"_s), u"Aosta"_s);
        if (locked) {
            QSqlQuery(other).exec(u"ROLLBACK"_s);
            other.close();
        }

        // The user gives up the change: nothing is written, and the card is back to browsing.
        m_dialogs->yesNoAnswers = {false};
        card.click(u"Command6"_s);
        QCOMPARE(card.state(), u"Browsing"_s);
        QVERIFY(card.button(u"Command7"_s)->isEnabled());
        QVERIFY(card.widget(u"Data1"_s)->isEnabled());
        QCOMPARE(card.text(u"Text12"_s), u"1"_s);
        QCOMPARE(card.text(u"Text10"_s), u"Torino"_s);
        QCOMPARE(bytesOf(card.path()), before);

        // And the next change the user confirms is written, alone.
        if (!locked) {
            QVERIFY(card.form().navigator().connection()->db().exec(u"PRAGMA query_only = 0"_s, {}));
        }
        card.click(u"Command3"_s);
        card.type(u"Text2"_s, u"Rossi Mario Luigi"_s);
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QCOMPARE(card.state(), u"Browsing"_s);
        QCOMPARE(fieldOf(card.path(), 1, kName).toString(), u"Rossi Mario Luigi"_s);
        QCOMPARE(fieldOf(card.path(), 1, u"Città"_s).toString(), u"Torino"_s);
        QCOMPARE(query(card.path(), u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 4);
        if (locked)
            QSqlDatabase::removeDatabase(u"holder"_s);
    }

    void longValuesShowTheirBeginning()
    {
        const QString address = u"Corso Vittorio Emanuele II, 152/C, scala B, interno 7, presso lo studio "
                                u"del dottor Bianchi, citofono Rossi"_s;
        Card card({{{kName, u"Rossi"_s}, {u"Indirizzo"_s, address}}, contact(u"Verdi"_s, u"Bari"_s)});
        auto* box = qobject_cast<QLineEdit*>(card.widget(u"Text11"_s));
        QCOMPARE(box->text(), address);
        QCOMPARE(box->cursorPosition(), 0);
        card.barMove(u"MoveNext"_s);
        card.barMove(u"MovePrevious"_s);
        QCOMPARE(box->cursorPosition(), 0);
    }

    void movesContinueFromTheRowsNewKey()
    {
        Card card(book());
        m_dialogs->textAnswers = {u"Milano"_s};
        card.click(u"Command8"_s); // search "Città"
        QCOMPARE(card.text(u"Text12"_s), u"2"_s);
        card.click(u"Command3"_s);
        card.type(u"Text10"_s, u"Aosta2"_s);
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QCOMPARE(fieldOf(card.path(), 2, u"Città"_s).toString(), u"Aosta2"_s);
        // Aosta2 (2), Bari (3), Roma (4), Torino (1)
        card.barMove(u"MoveNext"_s);
        QCOMPARE(card.text(u"Text12"_s), u"3"_s);
        card.barMove(u"MovePrevious"_s);
        QCOMPARE(card.text(u"Text12"_s), u"2"_s);

        // A change written by the move itself: the move starts from the new key, here the last one.
        card.type(u"Text10"_s, u"Zara"_s);
        m_dialogs->yesNoAnswers = {true};
        card.barMove(u"MoveNext"_s);
        QCOMPARE(card.text(u"Text12"_s), u"2"_s);
        QCOMPARE(card.text(u"Text10"_s), u"Zara"_s);
        card.barMove(u"MovePrevious"_s);
        QCOMPARE(card.text(u"Text12"_s), u"1"_s);
    }

    void bytesThatAreNotUtf8CanBeCorrected()
    {
        Card card(book());
        // A Latin-1 "Forlì" and remark, as another program may write them.
        query(card.path(), u"UPDATE Nomelia SET \"Città\" = CAST(X'466F726CEC' AS TEXT), "
                           u"Osservazioni = CAST(X'6CEC' AS TEXT) WHERE ID = 1"_s);
        card.click(u"Command16"_s); // AGGIORNA

        // Another field of the row is written; the foreign bytes stay as they are, even when their
        // box was typed into and put back as it was.
        card.click(u"Command3"_s);
        card.type(u"Text2"_s, u"Rossi Mario Luigi"_s);
        auto* town = qobject_cast<QLineEdit*>(card.widget(u"Text10"_s));
        town->end(false);
        typeText(town, u"x"_s);
        QTest::keyClick(town, Qt::Key_Backspace);
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QVERIFY2(m_dialogs->shown.size() == 1, qPrintable(lastMessage()));
        QCOMPARE(fieldOf(card.path(), 1, kName).toString(), u"Rossi Mario Luigi"_s);
        QCOMPARE(hexOf(card.path(), 1, u"Città"_s), u"466F726CEC"_s);

        // The field itself is corrected.
        card.click(u"Command3"_s);
        card.type(u"Text10"_s, u"Forlì"_s);
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QVERIFY2(m_dialogs->shown.size() == 2, qPrintable(lastMessage()));
        QCOMPARE(hexOf(card.path(), 1, u"Città"_s), u"466F726CC3AC"_s);

        // The grid too: a cell of that row, then the foreign remark itself.
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        activate(grid->window());
        clickCell(grid, 0, 8); // "Telefono Ufficio"
        typeText(keys(), u"06 1"_s);
        QTest::keyClick(keys(), Qt::Key_Down); // the row is written as it is left
        QCOMPARE(fieldOf(card.path(), 1, u"Telefono Ufficio"_s).toString(), u"06 1"_s);
        clickCell(grid, 0, 11);
        QCOMPARE(hexOf(card.path(), 1, u"Osservazioni"_s), u"6CEC"_s);
        QTest::keyClick(keys(), Qt::Key_A, Qt::ControlModifier);
        typeText(keys(), u"lì"_s);
        QTest::keyClick(keys(), Qt::Key_Down);
        QVERIFY2(m_dialogs->shown.size() == 2, qPrintable(lastMessage()));
        QCOMPARE(fieldOf(card.path(), 1, u"Osservazioni"_s).toString(), u"lì"_s);
    }

    void remarksKeepWhatTheUserDidNotTouch()
    {
        // A no-break space, a lone CR, U+2028, U+2029 and CR LF: QPlainTextEdit converts all of them.
        const QString remark = u"uno\u00a0due\rtre\u2028quattro\u2029cinque\r\nsei"_s;
        Card card({{{kName, u"Rossi"_s}, {u"Osservazioni"_s, remark}}});
        QWidget* memo = card.widget(u"Text8"_s);
        activate(&card.form());
        memo->setFocus();
        QTest::keyClick(keys(), Qt::Key_End, Qt::ControlModifier);
        typeText(keys(), u"!\nsette"_s);
        QTest::keyClick(keys(), Qt::Key_Home, Qt::ControlModifier);
        typeText(keys(), u"A"_s);
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command16"_s); // AGGIORNA leaves the row: the change is written
        // Typed line breaks follow the row's CR LF; everything else keeps its bytes.
        QCOMPARE(fieldOf(card.path(), 1, u"Osservazioni"_s).toString(), u"A"_s + remark + u"!\r\nsette"_s);

        // A box left untouched is not rewritten, even though the editor shows it converted.
        card.click(u"Command3"_s);
        card.type(u"Text2"_s, u"Rossi Mario"_s);
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QCOMPARE(fieldOf(card.path(), 1, u"Osservazioni"_s).toString(), u"A"_s + remark + u"!\r\nsette"_s);

        // Replaced whole, then undone: an undo that brings the text back brings its bytes back.
        const QString shown = qobject_cast<QPlainTextEdit*>(memo)->toPlainText();
        card.click(u"Command3"_s);
        memo->setFocus();
        QTest::keyClick(keys(), Qt::Key_A, Qt::ControlModifier);
        typeText(keys(), u"x\ny"_s);
        for (int i = 0; i < 5 && qobject_cast<QPlainTextEdit*>(memo)->toPlainText() != shown; ++i)
            QTest::keyClick(keys(), Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(qobject_cast<QPlainTextEdit*>(memo)->toPlainText(), shown);
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QCOMPARE(fieldOf(card.path(), 1, u"Osservazioni"_s).toString(), u"A"_s + remark + u"!\r\nsette"_s);
    }

    void searchBoxShowsItsWholeTitle()
    {
        Card card(book());
        Dialogs::install(nullptr); // the real input box
        int width = 0;
        QString title;
        whenModalShows([&](QWidget* modal) {
            width = modal->width();
            title = modal->windowTitle();
            if (auto* input = qobject_cast<QInputDialog*>(modal))
                input->reject();
        });
        card.click(u"Command8"_s);
        QCOMPARE(title, u"Ricerca nella nomelia elettronica"_s);
        QFont bold = QApplication::font();
        bold.setBold(true);
        // The title, and the icon and three buttons a title bar puts beside it.
        QVERIFY2(width >= QFontMetrics(bold).horizontalAdvance(title) + 3 * 24,
                 qPrintable(QString::number(width)));
    }

    void gridKeepsTheKeyboardInTheKeyColumn()
    {
        Card card(book());
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        activate(grid->window());
        for (const Qt::Key back : {Qt::Key_Left, Qt::Key_Backtab}) {
            clickCell(grid, 1, 1); // "Genere"
            QVERIFY(qobject_cast<QLineEdit*>(keys()));
            QTest::keyClick(keys(), back, back == Qt::Key_Backtab ? Qt::ShiftModifier : Qt::NoModifier);
            QCOMPARE(grid->currentIndex().column(), 0);
            QVERIFY(keys() && (grid->isAncestorOf(keys()) || keys() == grid));
            QTest::keyClick(keys(), Qt::Key_Down);
            QCOMPARE(grid->currentIndex().row(), 2);
            QTest::keyClick(keys(), Qt::Key_Right);
            QCOMPARE(grid->currentIndex().column(), 1);
            QVERIFY(qobject_cast<QLineEdit*>(keys()));
            typeText(keys(), u"x"_s);
            QCOMPARE(cell(grid, 2, 1), u"Lavorox"_s);
            QTest::keyClick(keys(), Qt::Key_Escape);
        }
        QCOMPARE(grid->gridModel()->dirtyRow(), -1);
    }

    void typingInTheKeyColumnReadsNothing()
    {
        QList<Person> many;
        for (int i = 0; i < 3000; ++i)
            many.append(contact(u"Contatto %1"_s.arg(i), u"Roma"_s));
        Card card(many);
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        activate(grid->window());
        auto* form2 = qobject_cast<Form2*>(grid->window());
        clickCell(grid, 0, 0);
        StatementCounter statements(form2->navigator().connection()->db());
        typeText(keys(), u"a"_s);
        typeText(keys(), u"7"_s);
        // Type-ahead would read a page of rows after another until the whole table was read.
        QVERIFY2(statements.count() < 3, qPrintable(QString::number(statements.count())));
        QCOMPARE(grid->currentIndex(), grid->model()->index(0, 0));
    }

    void gridKeepsEveryKeyAcrossActivation()
    {
        Card card(book());
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        activate(grid->window());
        clickCell(grid, 0, 2);
        QTest::keyClick(keys(), Qt::Key_End);
        typeText(keys(), u"abc"_s);
        activate(&card.form());   // a click on the card
        activate(grid->window()); // and back on the table view's title bar
        typeText(keys(), u"def"_s);
        QCOMPARE(cell(grid, 0, 2), u"Rossi Marioabcdef"_s);
        QTest::keyClick(keys(), Qt::Key_Down);
        QCOMPARE(fieldOf(card.path(), 1, kName).toString(), u"Rossi Marioabcdef"_s);
    }

    void escapeWorksAfterARefusal()
    {
        Card card(book());
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        activate(grid->window());
        Dialogs::install(nullptr); // the real message box, which takes the focus while it shows
        clickCell(grid, 0, 2);
        typeText(keys(), u" Jr."_s);
        query(card.path(),
              u"UPDATE Nomelia SET \"Cognone e nome o denominazione\" = 'Rossi M.' WHERE ID = 1"_s);
        QString message;
        whenModalShows([&](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                message = box->text();
                box->accept();
            }
        });
        QTest::keyClick(keys(), Qt::Key_Down);
        QTest::qWait(20);
        activate(grid->window()); // the window manager gives the window back its activation
        QVERIFY2(message.contains(u"modificato o eliminato"_s), qPrintable(message));
        QVERIFY2(!message.contains(u"rilegger"_s, Qt::CaseInsensitive), qPrintable(message));
        QVERIFY(message.contains(u"Esc"_s));
        QCOMPARE(grid->currentIndex().row(), 0);
        QCOMPARE(cell(grid, 0, 2), u"Rossi Mario Jr."_s);

        // The advice works on the first try: the typed values go, the row shows the file's.
        QTest::keyClick(keys(), Qt::Key_Escape);
        QCOMPARE(grid->gridModel()->dirtyRow(), -1);
        QCOMPARE(cell(grid, 0, 2), u"Rossi M."_s);
        QWidget* form2 = grid->window();
        QVERIFY(form2->close());
        QCOMPARE(fieldOf(card.path(), 1, kName).toString(), u"Rossi M."_s);
    }

    void recordSelectorMakesItsRowCurrent()
    {
        Card card(book());
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        activate(grid->window());
        clickCell(grid, 0, 2);
        typeText(keys(), u"!"_s);
        QHeaderView* selector = grid->verticalHeader();
        const auto rowAt = [selector](int row) {
            return QPoint(selector->width() / 2,
                          selector->sectionViewportPosition(row) + selector->sectionSize(row) / 2);
        };
        QTest::mouseClick(selector->viewport(), Qt::LeftButton, {}, rowAt(2));
        QCoreApplication::processEvents();
        QCOMPARE(grid->currentIndex().row(), 2);
        QCOMPARE(grid->gridModel()->currentRow(), 2);
        QVERIFY(grid->selectionModel()->isRowSelected(2, {}));
        QCOMPARE(fieldOf(card.path(), 1, kName).toString(), u"Rossi Mario!"_s); // the row left was written

        // A refused write shows the real message box while the button is still down, and the box
        // takes the release, as it does a user's: every later click still moves or refuses.
        typeText(keys(), u"?"_s);
        query(card.path(),
            u"UPDATE Nomelia SET \"Cognone e nome o denominazione\" = 'Verdi L.' WHERE ID = 3"_s);
        Dialogs::install(nullptr);
        int refusals = 0;
        for (int click = 0; click < 2; ++click) {
            whenModalShows([&](QWidget* modal) {
                ++refusals;
                // Through the window system, which holds it back from the window behind the box.
                QTest::mouseRelease(grid->window()->windowHandle(), Qt::LeftButton, {},
                                    selector->viewport()->mapTo(grid->window(), rowAt(0)));
                static_cast<QDialog*>(modal)->accept();
            });
            QTest::mousePress(selector->viewport(), Qt::LeftButton, {}, rowAt(0));
            QTest::qWait(20);
            activate(grid->window());
            QCOMPARE(refusals, click + 1);
            QCOMPARE(grid->currentIndex().row(), 2);
        }
        QTest::keyClick(keys(), Qt::Key_Escape); // gives up the row's typed values
        QTest::mouseClick(selector->viewport(), Qt::LeftButton, {}, rowAt(0));
        QCoreApplication::processEvents();
        QCOMPARE(grid->currentIndex().row(), 0);
        QCOMPARE(fieldOf(card.path(), 3, kName).toString(), u"Verdi L."_s);
    }
};

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    vinzal::setUpApplication(app);
    TestEditFaults test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_edit_faults.moc"
