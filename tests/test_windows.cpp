// The two windows: the contact card (its layout, start-up, searches, adding, modifying and saving) and
// the table view (the grid over the whole table, its keyboard across windows and message boxes, its
// open, which shows the first rows before the list of ids has been read, and rowids anywhere in
// SQLite's 64-bit range), checked in the file afterwards.
#include "application.h"
#include "bound_grid.h"
#include "connection.h"
#include "contact_table.h"
#include "dynaset.h"
#include "form1.h"
#include "form2.h"
#include "grid_model.h"
#include "gui_support.h"
#include "look.h"
#include "record_navigator.h"

#include <QAbstractButton>
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPagedPaintDevice>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <sqlite3.h>

#include <chrono>
#include <limits>
#include <thread>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;

namespace {

const QString kQuestion = u"Salvare le modifiche apportate?"_s;
const QString kNotice = u"Nella casella [Genere] del novo record verrà inserito automaticamente [Altro]"_s;
const QString kWarning = u"ATTENZIONE: nella casella [genere] deve essere inserito obbligatoriamente"_s;
constexpr qint64 kMin = std::numeric_limits<qint64>::min();
constexpr qint64 kMax = std::numeric_limits<qint64>::max();

// Contacts with the ids first, first + 1, ... (count of them), leaving out every `gapEvery`-th.
QList<Person> numbered(qint64 first, int count, int gapEvery = 0)
{
    QList<Person> contacts;
    for (int i = 0; i < count; ++i)
        if (gapEvery == 0 || (i + 1) % gapEvery != 0)
            contacts.append(
                {{u"ID"_s, first + i}, {u"Genere"_s, u"Altro"_s}, {nameField, u"n%1"_s.arg(first + i)}});
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

// Every text a dialog shows or can show: labels, buttons, group titles, tabs, list items, tooltips, and
// the item views' headers and cells (a file list's "Tipo" column too).
QStringList dialogTexts(QWidget* dialog)
{
    QStringList texts{dialog->windowTitle()};
    const QList<QWidget*> widgets = dialog->findChildren<QWidget*>();
    for (QWidget* widget : widgets) {
        texts << widget->toolTip();
        if (auto* label = qobject_cast<QLabel*>(widget))
            texts << label->text();
        if (auto* button = qobject_cast<QAbstractButton*>(widget))
            texts << button->text();
        if (auto* group = qobject_cast<QGroupBox*>(widget))
            texts << group->title();
        if (auto* combo = qobject_cast<QComboBox*>(widget))
            for (int i = 0; i < combo->count(); ++i)
                texts << combo->itemText(i);
        if (auto* tabs = qobject_cast<QTabWidget*>(widget))
            for (int i = 0; i < tabs->count(); ++i)
                texts << tabs->tabText(i) << tabs->tabToolTip(i);
        if (auto* view = qobject_cast<QAbstractItemView*>(widget); view && view->model()) {
            const QAbstractItemModel* model = view->model();
            const QModelIndex root = view->rootIndex();
            for (int column = 0; column < model->columnCount(root); ++column) {
                texts << model->headerData(column, Qt::Horizontal).toString();
                for (int row = 0; row < model->rowCount(root); ++row)
                    texts << model->index(row, column, root).data().toString();
            }
        }
    }
    texts.removeAll(QString());
    return texts;
}

// The texts of `texts` in which a word of Qt's English dialogs is left.
QStringList english(QStringList texts)
{
    static const QRegularExpression words(
        uR"(\b(Folder|Drive|Shortcut|Unknown|Pages?|Double Sided|Off|Long side|Short side|binding|Advanced|)"
        uR"(Print|Cancel|Options?|Properties|Copies|Collate|Reverse|All|Current|Selection|Color|Grayscale|)"
        uR"(Portrait|Landscape|Paper|Margins|Name|Size|Type|Kind|Date|Modified|Open|Look in|Files|Back|)"
        uR"(Forward|View|Specify|ranges|conflicts|Please|Printer|Preview|Location|Output|Width|Height|Custom)\b)"_s);
    texts.replaceInStrings(u"&"_s, QString());
    return texts.filter(words);
}

// Answers the modal dialog that shows over `over`.
void whenModalShowsOver(QWidget* over, std::function<void(QWidget*)> answer)
{
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [over, answer, poll] {
        if (QWidget* modal = QApplication::activeModalWidget(); modal && modal != over && modal->isVisible())
            return answer(modal);
        QTimer::singleShot(10, *poll);
    };
    QTimer::singleShot(10, *poll);
}

int statementsCounted = 0;
int countStatement(unsigned, void*, void*, void*)
{
    return ++statementsCounted, 0;
}

// Replaces the text of a cell (by default the current one) by typing.
void typeInto(BoundGrid* grid, const QString& text, const QModelIndex& at = {})
{
    if (at.isValid())
        grid->setCurrentIndex(at);
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

class TestWindows : public QObject
{
    Q_OBJECT

    ScriptedDialogs* m_dialogs = nullptr;

    // Adding disables every button but SALVA and the table view's, and the bar; the boxes stay.
    void verifyLocked(Card& card, bool locked)
    {
        for (const QPushButton* button : card.form().findChildren<QPushButton*>()) {
            const QString name = button->objectName();
            QVERIFY2(button->isEnabled() == (!locked || name == u"Command6"_s || name == u"Command17"_s),
                     qPrintable(name));
        }
        QCOMPARE(card.widget(u"Data1"_s)->isEnabled(), !locked);
        QVERIFY(card.widget(u"Text2"_s)->isEnabled());
    }

    static int count(const Card& card)
    {
        return query(card.path(), u"SELECT count(*) FROM Nomelia"_s).first().toInt();
    }

private slots:
    void init() { m_dialogs = &ScriptedDialogs::install(); }

    void cleanup()
    {
        Dynaset::holdListsForTesting(Dynaset::Hold::Nowhere);
        deleteTableViews();
        // Every list reader has finished and its thread was joined, whatever the test did.
        QCOMPARE(Dynaset::unfinishedReaders(), 0);
    }

    // The window keeps its layout: nothing overlaps, nothing is cut or moves when maximized, no
    // button is pressed by Enter, and the style does not repaint the faces.
    void windowKeepsItsLayoutAndTabOrder()
    {
        Card card(fourContacts());
        Form1& form = card.form();
        QCOMPARE(form.size(), QSize(581, 499));
        QVERIFY(!(form.windowFlags() & Qt::WindowCloseButtonHint));
        QVERIFY(form.windowIcon().availableSizes().contains(QSize(32, 32)));
        // Labels may reach into their neighbours where the substitute face is wider, and lines cross
        // everything but the hint; other controls never overlap.
        QList<QWidget*> controls;
        for (QWidget* control : form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (control->isVisibleTo(&form))
                controls.append(control);
        QCOMPARE(controls.size(), 46); // SALVA and Line2 hidden
        const QRect hint = card.widget(u"Label2"_s)->geometry();
        for (QWidget* control : std::as_const(controls)) {
            const QString name = control->objectName();
            QVERIFY2(form.rect().contains(control->geometry()) && control->isEnabled(), qPrintable(name));
            if (name.startsWith(u"Line"_s))
                QVERIFY2(!control->geometry().intersects(hint), qPrintable(name));
            else if (auto* label = qobject_cast<QLabel*>(control))
                QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->width());
            else
                for (QWidget* other : std::as_const(controls))
                    QVERIFY2(control == other || qobject_cast<QLabel*>(other) ||
                                 other->objectName().startsWith(u"Line"_s) ||
                                 !control->geometry().intersects(other->geometry()),
                             qPrintable(name + u' ' + other->objectName()));
            if (auto* button = qobject_cast<QPushButton*>(control))
                QVERIFY(!button->autoDefault() && !button->text().contains(u'&'));
        }
        QCOMPARE(card.button(u"Command1"_s)->font().family(), u"Times New Roman"_s);
        const QImage face = card.button(u"Command2"_s)->grab().toImage();
        QCOMPARE(face.pixelColor(face.width() / 2, 4), look::buttonCyan);

        card.form().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&card.form()));
        QCOMPARE(QApplication::focusWidget(), card.widget(u"Command1"_s));
        QCOMPARE(card.state(), u"Browsing"_s);
        // SALVA, hidden, is passed over; labels never take the focus.
        const QString expected =
            u"Text1 Text2 Text3 Text4 Text5 Text6 Text7 Text8 Command2 Command3 Command7 Text9 "
            u"Text10 Text11 Command4 Command5 Command8 Command9 Command10 Command11 Command12 "
            u"Command13 Command14 Command15 Text12 Command16 Command17 Command1"_s;
        QStringList visited;
        while (visited.size() < expected.count(u' ') + 1) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited.append(QApplication::focusWidget()->objectName());
        }
        QCOMPARE(visited.join(u' '), expected);

        // The tests leave pictures of the window for a person to look at, one for each scale.
        const QString scale = qEnvironmentVariable("QT_SCALE_FACTOR");
        const QString folder = QCoreApplication::applicationDirPath();
        QVERIFY(form.grab().save(folder + u"/Form1"_s + (scale.isEmpty() ? QString() : u'-' + scale) +
                                 u".png"_s));
        const QRect before = card.widget(u"Text8"_s)->geometry();
        form.showMaximized();
        QTRY_VERIFY(form.width() > 581);
        QCOMPARE(card.widget(u"Text8"_s)->geometry(), before);
        const QImage maximized = form.grab().toImage();
        if (scale.isEmpty())
            QVERIFY(maximized.save(folder + u"/Form1-maximized.png"_s));
        QCOMPARE(maximized.pixelColor(maximized.width() - 5, maximized.height() - 5), look::windowCyan);
        form.showNormal();
        QTRY_COMPARE(form.size(), QSize(581, 499));
    }

    void boxesBehave()
    {
        QList<Person> book = fourContacts();
        const QString address = u"Corso Vittorio Emanuele II, 152/C, scala B, interno 7, presso lo studio "
                                u"del dottor Bianchi, citofono Rossi"_s;
        book[0].append({u"Indirizzo"_s, address});
        Card card(book);
        // The key box takes the focus and can be selected, but typing changes nothing.
        auto* key = static_cast<QLineEdit*>(card.widget(u"Text12"_s));
        QTest::keyClicks(key, u"99"_s);
        QCOMPARE(key->text(), u"1"_s);
        // A long value shows its beginning, after moves too.
        auto* box = qobject_cast<QLineEdit*>(card.widget(u"Text11"_s));
        QCOMPARE(box->text(), address);
        QCOMPARE(box->cursorPosition(), 0);
        // Remarks: Enter makes a new line, written back with the row's CR LF breaks.
        auto* memo = static_cast<QPlainTextEdit*>(card.widget(u"Text8"_s));
        QCOMPARE(memo->toPlainText(), u"Riga uno\nRiga due"_s);
        QCOMPARE(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        memo->moveCursor(QTextCursor::End);
        QTest::keyClick(memo, Qt::Key_Return);
        typeText(memo, u"Riga tre"_s);
        card.click(u"MoveNext"_s, true);
        QCOMPARE(card.stored(1, u"Osservazioni"_s), u"Riga uno\r\nRiga due\r\nRiga tre"_s);
        card.click(u"MovePrevious"_s);
        QCOMPARE(box->cursorPosition(), 0);
    }

    // A changed row left by a move, ESCI, AGGIORNA, a search or AGGIUNGI: the question, and the
    // answer obeyed. Typed while browsing, a category is stored as typed.
    void leavingAChangedRowAsks_data() { rowsFrom(u"leavingAChangedRowAsks"_s); }

    void leavingAChangedRowAsks()
    {
        QFETCH(bool, modifying);
        QFETCH(QString, leave);
        QFETCH(bool, yes);
        QFETCH(QString, id);
        Card card(fourContacts());
        if (modifying)
            card.click(u"Command3"_s);
        if (!modifying)
            card.type(u"Text1"_s, u"altro"_s);
        card.type(u"Text10"_s, u"Cantù"_s);
        // Answered No, nothing typed in any box reaches the file.
        const QByteArray before = fileBytes(card.path());
        if (!yes)
            for (int box = 2; box <= 11; ++box)
                if (box != 10)
                    card.type(u"Text%1"_s.arg(box), u"scritto nella casella %1"_s.arg(box));
        // The window manager's close is refused: only ESCI ends the program.
        QVERIFY(!card.form().close());
        QCloseEvent event;
        QApplication::sendEvent(&card.form(), &event);
        QVERIFY(!event.isAccepted() && card.form().isVisible());
        m_dialogs->textAnswers = {u"Verdi"_s};
        card.click(leave, yes);
        QCOMPARE(m_dialogs->texts().count(kQuestion), 1);
        QCOMPARE(card.stored(1, u"Città"_s), yes ? u"Cantù"_s : u"Torino"_s);
        QCOMPARE(card.stored(1, nameField), u"Rossi Mario"_s);
        QCOMPARE(card.stored(2, u"Città"_s), u"Milano"_s);
        if (!modifying)
            QCOMPARE(card.stored(1, u"Genere"_s), yes ? u"altro"_s : u"Lavoro"_s);
        if (!yes)
            QCOMPARE(fileBytes(card.path()), before);
        QCOMPARE(card.form().isVisible(), leave != u"Command7"_s);
        QCOMPARE(card.state(), leave == u"Command2"_s ? u"Adding"_s : u"Browsing"_s);
        if (!id.isEmpty())
            QCOMPARE(card.text(u"Text12"_s), id);
    }

    void missingFileAtStartUp()
    {
        Card card({}, false);
        QCOMPARE(m_dialogs->shown.size(), 1);
        QCOMPARE(m_dialogs->shown[0].icon, Dialogs::Icon::Critical);
        QVERIFY(m_dialogs->shown[0].text.contains(u"«Vinzal.mdb»"_s));
        QVERIFY(m_dialogs->shown[0].text.contains(u"non esiste"_s));
        // The window stays usable: every button reports rather than ending the program, and the
        // table view opens empty, with its message.
        card.click(u"Command16"_s);
        card.click(u"Command3"_s);
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid && tableView()->isVisible());
        QCOMPARE(grid->model()->rowCount(), 0);
        QCOMPARE(m_dialogs->shown.size(), 4);
        QVERIFY(m_dialogs->shown[3].text.contains(u"non esiste"_s));
        QVERIFY(card.form().isVisible());
        QVERIFY(!QFile::exists(card.path()));
        deleteTableViews();
        // Once the file is there, AGGIORNA opens it.
        makeAddressBook(card.path(), fourContacts());
        card.click(u"Command16"_s);
        QCOMPARE(card.text(u"Text2"_s), u"Rossi Mario"_s);
    }

    // The real message box and input box: Italian buttons, and a search box wide enough for its title.
    void realDialogs()
    {
        Card card(fourContacts());
        Dialogs::install(nullptr);
        card.type(u"Text10"_s, u"Bari"_s);
        QString text, buttons;
        whenModalShows([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            QVERIFY(box && box->icon() == QMessageBox::Question);
            text = box->windowTitle() + u": "_s + box->text();
            buttons = box->button(QMessageBox::Yes)->text() + box->button(QMessageBox::No)->text();
            box->button(QMessageBox::No)->click();
        });
        card.click(u"MoveNext"_s);
        QCOMPARE(text, u"Nomelia elettronica: "_s + kQuestion);
        QCOMPARE(buttons.remove(u'&'), u"SìNo"_s);
        QCOMPARE(card.stored(1, u"Città"_s), u"Torino"_s);

        int width = 0;
        whenModalShows([&](QWidget* modal) {
            width = modal->width();
            text = modal->windowTitle();
            if (auto* input = qobject_cast<QInputDialog*>(modal))
                input->reject();
        });
        card.click(u"Command8"_s);
        QCOMPARE(text, u"Ricerca nella nomelia elettronica"_s);
        QFont bold = QApplication::font();
        bold.setBold(true);
        // The title, and the icon and three buttons a title bar puts beside it.
        QVERIFY2(width >= QFontMetrics(bold).horizontalAdvance(text) + 3 * 24,
                 qPrintable(QString::number(width)));
    }

    // Qt's own file dialog, as import opens it, and its print dialog with the printer's properties
    // speak Italian throughout: no text, cell, header or tooltip keeps a word of Qt's English.
    void realFileAndPrintDialogs()
    {
        Dialogs::install(nullptr);
        QTemporaryDir folder;
        QVERIFY(QDir(folder.path()).mkdir(u"sottocartella"_s));
        QStringList texts;
        whenModalShows([&](QWidget* modal) {
            const auto close = qScopeGuard([modal] { modal->close(); }); // a failed check too
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            QVERIFY(dialog);
            auto* files = dialog->findChild<QTreeView*>(u"treeView"_s);
            QVERIFY(files && files->model());
            // The folder is read by another thread; its subfolder's kind comes with it.
            QTRY_VERIFY(files->model()->rowCount(files->rootIndex()) == 1 &&
                        !files->model()->index(0, 2, files->rootIndex()).data().toString().isEmpty());
            texts << dialogTexts(dialog);
        });
        QString filter = u"CSV (*.csv)"_s;
        QVERIFY(Dialogs::instance()
                    .askFileName(nullptr, Dialogs::FileMode::Open, u"Importa contatti"_s, {filter}, &filter,
                                 folder.path())
                    .isEmpty());

        bool sawProperties = false;
        whenModalShows([&](QWidget* modal) {
            const auto close = qScopeGuard([modal] { modal->close(); });
            auto* dialog = qobject_cast<QPrintDialog*>(modal);
            QVERIFY(dialog);
            texts << dialogTexts(dialog);
            whenModalShowsOver(dialog, [&](QWidget* properties) {
                texts << dialogTexts(properties);
                sawProperties = true;
                properties->close();
            });
            auto* button = dialog->findChild<QAbstractButton*>(u"properties"_s);
            QVERIFY(button);
            button->click(); // the properties show over the dialog until closed
        });
        QVERIFY(!Dialogs::instance().askPrinter(nullptr));
        QVERIFY(sawProperties);
        QVERIFY2(english(texts).isEmpty(), qPrintable(english(texts).join(u" | "_s)));
    }

    // Each search button asks for a name, finds the first contact at or after it in its index's
    // order (case aside; SQL is just text) and leaves the bar in that order until AGGIORNA.
    void search_data() { rowsFrom(u"search"_s); }

    void search()
    {
        QFETCH(QStringList, clicks);
        QFETCH(QStringList, answers);
        QFETCH(QString, foundId);
        QFETCH(QString, nextId);
        QFETCH(QString, message);
        Card card(foundId.isEmpty() ? QList<Person>() : fourContacts());
        QString behind;
        m_dialogs->onShow = [&](const ScriptedDialogs::Shown& shown) {
            if (shown.kind == u"inform"_s)
                behind = card.text(u"Text12"_s);
        };
        card.click(u"MoveLast"_s);
        m_dialogs->textAnswers = answers;
        for (const QString& button : clicks)
            card.click(button);
        QCOMPARE(m_dialogs->shown[0].kind, u"text"_s);
        QCOMPARE(card.text(u"Text12"_s), foundId);
        if (!message.isEmpty()) {
            QCOMPARE(m_dialogs->shown.last().text, message);
            QCOMPARE(m_dialogs->shown.last().title, u"Nomelia elettronica"_s);
            QCOMPARE(m_dialogs->shown.last().icon, Dialogs::Icon::Information);
            QCOMPARE(behind, foundId); // over the reloaded first row
        }
        QCOMPARE(m_dialogs->shown.size(), answers.size() + (message.isEmpty() ? 0 : 1));
        card.click(u"MoveNext"_s);
        QCOMPARE(card.text(u"Text12"_s), nextId);
        if (foundId.isEmpty()) { // MODIFICA on an empty book says so; adding still works
            card.click(u"Command3"_s);
            QVERIFY(m_dialogs->shown.last().text.contains(u"Non c'è nessun contatto da modificare"_s));
            card.click(u"Command2"_s);
            card.type(u"Text2"_s, u"Primo"_s);
            card.click(u"Command6"_s, true);
            QCOMPARE(card.stored(1, nameField), u"Primo"_s);
        }
    }

    // A new contact: the notice, "Altro" by default, everything but SALVA, the table view's button and
    // the boxes locked; SALVA answered Yes stores it and shows it, No stores nothing and shows the
    // contact before. A category that is not exactly one of the three is replaced, with a warning.
    void addNewContact_data() { rowsFrom(u"addNewContact"_s); }

    void addNewContact()
    {
        QFETCH(bool, yes);
        QFETCH(QString, category);
        Card card(fourContacts());
        card.click(u"MoveNext"_s);
        QString categoryAtNotice = u"unset"_s;
        m_dialogs->onShow = [&](const ScriptedDialogs::Shown&) { categoryAtNotice = card.text(u"Text1"_s); };
        card.click(u"Command2"_s);
        QCOMPARE(m_dialogs->shown.size(), 1);
        QVERIFY(m_dialogs->shown[0].text.startsWith(kNotice));
        QCOMPARE(m_dialogs->shown[0].title, u"Vinzal"_s);
        QCOMPARE(categoryAtNotice, QString()); // the notice comes before the default
        QCOMPARE(card.text(u"Text1"_s), u"Altro"_s);
        QCOMPARE(card.text(u"Text2"_s), QString());
        QCOMPARE(card.state(), u"Adding"_s);
        QCOMPARE(card.button(u"Command3"_s)->text(), u"MODIFICA"_s);
        verifyLocked(card, true);

        m_dialogs->onShow = nullptr;
        m_dialogs->clear();
        card.type(u"Text1"_s, category);
        card.type(u"Text2"_s, u"Esposito Gennaro"_s);
        card.type(u"Text4"_s, u"+39 333 1234567"_s);
        card.click(u"Command6"_s, yes);
        const bool warned = category != u"Altro"_s;
        QCOMPARE(m_dialogs->shown.size(), warned ? 2 : 1);
        QCOMPARE(m_dialogs->shown.last().text, kQuestion);
        if (warned) {
            QVERIFY(m_dialogs->shown[0].text.startsWith(kWarning));
            QCOMPARE(m_dialogs->shown[0].title, u"Vinzal"_s);
        }
        QCOMPARE(card.state(), u"Browsing"_s);
        verifyLocked(card, false);
        QCOMPARE(count(card), yes ? 5 : 4);
        QCOMPARE(card.text(u"Text12"_s), yes ? u"5"_s : u"2"_s);
        QCOMPARE(card.text(u"Text1"_s), yes ? u"Altro"_s : u"Famiglia-Amici"_s);
        if (yes) {
            QCOMPARE(card.stored(5, nameField), u"Esposito Gennaro"_s);
            QCOMPARE(card.stored(5, u"Genere"_s), u"Altro"_s);
            QCOMPARE(card.stored(5, u"Telefonino"_s), u"+39 333 1234567"_s);
            QVERIFY(fieldOf(card.path(), 5, u"Fax"_s).isNull());
        }
    }

    void modifyCancelAndSave()
    {
        Card card(fourContacts());
        card.click(u"Command3"_s);
        QCOMPARE(card.state(), u"Modifying"_s);
        verifyLocked(card, false); // MODIFICA disables nothing
        card.type(u"Text10"_s, u"Napoli"_s);
        card.click(u"Command3"_s); // ANNULLA: no question, the typed value is dropped
        QCOMPARE(card.state(), u"Browsing"_s);
        QCOMPARE(card.text(u"Text10"_s), u"Torino"_s);

        card.click(u"Command3"_s);
        card.click(u"Command6"_s); // unchanged, with a valid category: no dialog at all
        card.click(u"Command3"_s);
        card.click(u"MoveNext"_s); // unchanged: silently back to Browsing
        QCOMPARE(card.state(), u"Browsing"_s);
        QVERIFY(m_dialogs->shown.isEmpty());
    }

    // A value is written only where the user changed it: a Latin-1 "Forlì" written by another program
    // stays when another field is saved (its box typed into and put back too), a remark the editor
    // shows converted (no-break space, lone CR, U+2028, U+2029, CR LF) keeps every byte around what
    // is typed at both ends and after an undo; each can be corrected, on the card and in the grid.
    void untouchedBytesStay()
    {
        const QString remark = u"uno\u00a0due\rtre\u2028quattro\u2029cinque\r\nsei"_s;
        Card card({{{nameField, u"Rossi"_s}, {u"Osservazioni"_s, remark}}, {{nameField, u"Verdi"_s}}});
        const auto hex = [&](const QString& field) {
            return query(card.path(), u"SELECT hex(\"%1\") FROM Nomelia WHERE ID = 1"_s.arg(field))
                .first()
                .toString();
        };
        query(card.path(), u"UPDATE Nomelia SET \"Città\" = CAST(X'466F726CEC' AS TEXT) WHERE ID = 1"_s);
        card.click(u"Command16"_s);
        auto* memo = static_cast<QPlainTextEdit*>(card.widget(u"Text8"_s));
        activate(&card.form());
        memo->setFocus();
        QTest::keyClick(memo, Qt::Key_End, Qt::ControlModifier);
        typeText(memo, u"!\nsette"_s);
        QTest::keyClick(memo, Qt::Key_Home, Qt::ControlModifier);
        typeText(memo, u"A"_s);
        auto* town = qobject_cast<QLineEdit*>(card.widget(u"Text10"_s));
        town->end(false);
        typeText(town, u"x"_s);
        QTest::keyClick(town, Qt::Key_Backspace);
        card.click(u"Command16"_s, true); // AGGIORNA leaves the row: the change is written
        const QString written = u"A"_s + remark + u"!\r\nsette"_s; // typed breaks follow the row's CR LF
        QCOMPARE(card.stored(1, u"Osservazioni"_s), written);
        QCOMPARE(hex(u"Città"_s), u"466F726CEC"_s);
        // Replaced whole, then undone: an undo that brings the text back brings its bytes back.
        const QString shown = memo->toPlainText();
        card.click(u"Command3"_s);
        memo->setFocus();
        QTest::keyClick(memo, Qt::Key_A, Qt::ControlModifier);
        typeText(memo, u"x\ny"_s);
        for (int i = 0; i < 5 && memo->toPlainText() != shown; ++i)
            QTest::keyClick(memo, Qt::Key_Z, Qt::ControlModifier);
        card.type(u"Text2"_s, u"Rossi Mario"_s);
        card.click(u"Command6"_s, true);
        QCOMPARE(card.stored(1, u"Osservazioni"_s), written);
        QCOMPARE(hex(u"Città"_s), u"466F726CEC"_s);
        card.type(u"Text10"_s, u"Forlì"_s);
        card.click(u"MoveNext"_s, true);
        QCOMPARE(hex(u"Città"_s), u"466F726CC3AC"_s);

        // The grid: another cell of the row, then the foreign value itself.
        query(card.path(), u"UPDATE Nomelia SET Osservazioni = CAST(X'6CEC' AS TEXT) WHERE ID = 1"_s);
        BoundGrid* grid = openTableView(card);
        activate(grid->window());
        clickCell(grid, 0, 8);
        typeText(keys(), u"06 1"_s);
        QTest::keyClick(keys(), Qt::Key_Down); // the row is written as it is left
        QCOMPARE(card.stored(1, u"Telefono Ufficio"_s), u"06 1"_s);
        QCOMPARE(hex(u"Osservazioni"_s), u"6CEC"_s);
        clickCell(grid, 0, 11);
        QTest::keyClick(keys(), Qt::Key_A, Qt::ControlModifier);
        typeText(keys(), u"lì"_s);
        QTest::keyClick(keys(), Qt::Key_Down);
        QCOMPARE(card.stored(1, u"Osservazioni"_s), u"lì"_s);
        for (const auto& shown : std::as_const(m_dialogs->shown))
            QVERIFY2(shown.icon != Dialogs::Icon::Critical, qPrintable(shown.text));
    }

    // Whatever its kind, a field is written only when its text was changed, on the card and in the
    // grid alike: left alone or typed back as it was, it keeps its bytes and kind while another field
    // of the row is written.
    void editedCells_data() { rowsFrom(u"editedCells"_s); }

    void editedCells()
    {
        QFETCH(QString, value);
        QFETCH(QString, edit);
        QFETCH(QString, stored);
        Card card(fourContacts());
        // Declared without a type, as by another program, "Città" holds every kind as it is given (a
        // TEXT field turns a number into text).
        sqlite3* db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(card.path()).constData(), &db), SQLITE_OK);
        QCOMPARE(
            sqlite3_exec(db,
                         "PRAGMA writable_schema = ON; UPDATE sqlite_master SET sql = replace(sql, "
                         "'\"Città\" TEXT', '\"Città\"') WHERE name = 'Nomelia'; PRAGMA schema_version = 99",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
        sqlite3_close(db);
        const auto setTown = [&] {
            query(card.path(), u"UPDATE Nomelia SET \"Città\" = "_s + value + u" WHERE ID = 1"_s);
        };
        const auto town = [&] {
            return query(card.path(), u"SELECT typeof(\"Città\") || ':' || hex(\"Città\") FROM Nomelia "
                                      u"WHERE ID = 1"_s)
                .first()
                .toString();
        };
        // The caret stands at the end of the field's text.
        const auto editTown = [&](QWidget* editor) {
            if (edit == u"same"_s) {
                typeText(editor, u"x"_s);
                QTest::keyClick(editor, Qt::Key_Backspace);
            } else if (edit == u"changed"_s) {
                typeText(editor, u"!"_s);
            }
        };
        setTown();
        card.click(u"Command16"_s);
        activate(&card.form());
        auto* box = qobject_cast<QLineEdit*>(card.widget(u"Text10"_s));
        box->setFocus();
        box->end(false);
        editTown(box);
        card.type(u"Text2"_s, u"Rossi Maria"_s);
        card.click(u"MoveNext"_s, true);
        QCOMPARE(card.stored(1, nameField), u"Rossi Maria"_s);
        QCOMPARE(town(), stored);

        setTown();
        BoundGrid* grid = openTableView(card);
        activate(grid->window());
        clickCell(grid, 0, int(Field::Citta));
        editTown(keys());
        clickCell(grid, 0, int(Field::Nome));
        typeText(keys(), u"!"_s);
        QTest::keyClick(keys(), Qt::Key_Down); // the row is written as it is left
        QCOMPARE(card.stored(1, nameField), u"Rossi Maria!"_s);
        QCOMPARE(town(), stored);
        for (const auto& shown : std::as_const(m_dialogs->shown))
            QVERIFY2(shown.icon != Dialogs::Icon::Critical, qPrintable(shown.text));
    }

    // What a paste can bring into any box is stored as it was, and searched for without a failure.
    void pastedTextIsStoredAsTyped()
    {
        const QStringList texts{QString(100000, u'ż'),
                                u"\ufeffsegno d'ordine"_s,
                                u"\ufffeil suo rovescio"_s,
                                u"NUL\u0000 e controlli \u0001\u001b\t"_s,
                                u"😀 👨‍👩‍👧 🇮🇹 \u05e9\u202edestra"_s,
                                u"'); DROP TABLE \"Nomelia\"; --"_s,
                                u"%_\\ ? :nome @x $1"_s};
        Card card({});
        for (int box = 2; box <= 11; ++box) {
            card.click(u"Command2"_s);
            card.widget(u"Text%1"_s.arg(box))
                ->setProperty(box == 8 ? "plainText" : "text", texts[box % texts.size()]);
            card.click(u"Command6"_s, true);
        }
        card.click(u"MoveFirst"_s); // and read back whole, in the order of the IDs
        for (int box = 2; box <= 11; ++box, card.click(u"MoveNext"_s))
            QCOMPARE(card.text(u"Text%1"_s.arg(box)), texts[box % texts.size()]);
        for (const QString& text : texts) {
            m_dialogs->clear();
            m_dialogs->textAnswers = {text};
            card.click(u"Command1"_s);
            for (const auto& shown : m_dialogs->shown)
                QVERIFY(shown.icon != Dialogs::Icon::Critical);
        }
    }

    // The searched field of a contact changed and saved: the bar goes on from its new place.
    void movesContinueFromTheRowsNewKey()
    {
        Card card(fourContacts());
        m_dialogs->textAnswers = {u"Milano"_s};
        card.click(u"Command8"_s); // in "Città" order: Bari (3), Milano (2), Roma (4), Torino (1)
        card.click(u"Command3"_s);
        card.type(u"Text10"_s, u"Aosta2"_s);
        card.click(u"Command6"_s, true);
        card.click(u"MoveNext"_s); // Aosta2 (2), Bari (3), Roma (4), Torino (1)
        QCOMPARE(card.text(u"Text12"_s), u"3"_s);
        card.click(u"MovePrevious"_s);
        QCOMPARE(card.text(u"Text12"_s), u"2"_s);
        // A change written by the move itself: the move starts from the new key, here the last one.
        card.type(u"Text10"_s, u"Zara"_s);
        card.click(u"MoveNext"_s, true);
        QCOMPARE(card.text(u"Text12"_s), u"2"_s);
        card.click(u"MovePrevious"_s);
        QCOMPARE(card.text(u"Text12"_s), u"1"_s);
    }
    // The table view shows the book (a NULL as an empty cell) through a sound model, keeps its grid's
    // place, is one at a time, and writes a row as it is left or as the window closes, as typed (no
    // category rule, no question). Rows added on the card are seen once it is opened again, and the
    // row height dragged on one row is every row's until then.
    void tableViewShowsAndWrites()
    {
        Card card(fourContacts());
        BoundGrid* grid = openTableView(card);
        QAbstractItemModelTester tester(grid->model(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(grid->model()->headerData(2, Qt::Horizontal).toString(), nameField);
        QCOMPARE(cell(grid, 2, 2), u"Verdi Luca"_s);
        QCOMPARE(cell(grid, 1, 9), QString());
        QCOMPARE(grid->currentIndex(), grid->model()->index(0, 0));
        Form2* form = tableView();
        QCOMPARE(form->windowTitle(), u"Tabella Nomelia"_s);
        const QRect place = grid->geometry();
        form->resize(1000, 700);
        QTRY_COMPARE(form->size(), QSize(1000, 700));
        QCOMPARE(grid->geometry(), place);
        QVERIFY(form->grab().save(QCoreApplication::applicationDirPath() + u"/Form2.png"_s));
        card.click(u"Command17"_s);
        QCOMPARE(QApplication::topLevelWidgets().count(tableView()), 1);
        const int height = grid->rowHeight(0);
        QVERIFY(height >= QFontMetrics(grid->font()).height());
        grid->verticalHeader()->resizeSection(1, height + 17); // a drag of one row's border
        for (int row = 0; row < 4; ++row)
            QCOMPARE(grid->rowHeight(row), height + 17);

        QCOMPARE(grid->model()->headerData(0, Qt::Vertical).toString(), u"▶"_s);
        typeInto(grid, u"Lavoro — «nuovo» 😀"_s, grid->model()->index(0, 1));
        QCOMPARE(grid->model()->headerData(0, Qt::Vertical).toString(), u"✎"_s);
        QTest::keyClick(cellEditor(grid), Qt::Key_Down);
        QCOMPARE(card.stored(1, u"Genere"_s), u"Lavoro — «nuovo» 😀"_s);
        QCOMPARE(grid->model()->headerData(0, Qt::Vertical).toString(), QString());
        QCOMPARE(grid->model()->headerData(1, Qt::Vertical).toString(), u"▶"_s);
        // A row other than the first, once written, shows what it now holds, and a second edit of it
        // is not taken for another window's change.
        for (const QString& city : {u"Aosta"_s, u"Bari"_s}) {
            typeInto(grid, city, grid->model()->index(2, 4));
            QTest::keyClick(cellEditor(grid), Qt::Key_Up);
            QCOMPARE(card.stored(3, u"Città"_s), city);
            QCOMPARE(cell(grid, 2, 4), city);
        }
        closeTableView();
        QVERIFY(m_dialogs->shown.isEmpty());

        card.click(u"Command2"_s);
        card.type(u"Text2"_s, u"Nuovo dal card"_s);
        card.click(u"Command6"_s, true);
        grid = openTableView(card);
        QCOMPARE(cell(grid, 4, 2), u"Nuovo dal card"_s);
        QCOMPARE(grid->rowHeight(2), height);
    }

    // The keys stay inside the table and reach the cell, the key column included; none adds or
    // deletes a row.
    void keyboard_data() { rowsFrom(u"keyboard"_s); }

    void keyboard()
    {
        QFETCH(QPoint, from);
        QFETCH(QKeySequence, keys);
        QFETCH(QPoint, to);
        Card card(fourContacts());
        const QByteArray before = fileBytes(card.path());
        BoundGrid* grid = openTableView(card);
        activate(grid->window());
        clickCell(grid, from.y(), from.x());
        for (int i = 0; i < keys.count(); ++i)
            QTest::keyClick(vinzal::test::keys(), keys[i].key(), keys[i].keyboardModifiers());
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

    // Shift+F10 and the Menu key open, where the keyboard is, the menu a right click there opens: the
    // window's own on a button of the card and on the grid, a box's own (Qt's) in a box.
    void menuFromTheKeyboard()
    {
        Card card(fourContacts());
        BoundGrid* grid = openTableView(card);
        struct Place
        {
            QWidget* window;
            QWidget* focus;
            QString menu;
        } places[] = {{&card.form(), card.button(u"Command1"_s), u"contextMenu"_s},
                      {grid->window(), grid, u"contextMenu"_s},
                      {&card.form(), card.widget(u"Text2"_s), u"qt_edit_menu"_s}};
        for (const Place& place : places)
            for (const QKeyCombination keys : {Qt::SHIFT | Qt::Key_F10, QKeyCombination(Qt::Key_Menu)}) {
                activate(place.window);
                place.focus->setFocus();
                QCOMPARE(QApplication::focusWidget(), place.focus);
                std::optional<QString> opened;
                QWidget* owner = nullptr;
                QTimer::singleShot(0, [&] {
                    if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                        opened = menu->objectName();
                        owner = menu->parentWidget();
                        QTest::keyClick(menu, Qt::Key_Escape);
                    }
                });
                QTest::keyClick(place.focus, keys.key(), keys.keyboardModifiers());
                QCoreApplication::processEvents();
                QVERIFY2(opened, qPrintable(place.focus->objectName()));
                QCOMPARE(*opened, place.menu);
                if (place.menu == u"contextMenu"_s)
                    QCOMPARE(owner, place.window);
            }
    }

    // Type-ahead in the key column would read a page of rows after another until the whole table
    // was read.
    void typingInTheKeyColumnReadsNothing()
    {
        Card card(numbered(1, 3000));
        BoundGrid* grid = openTableView(card);
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
        activate(grid->window());
        clickCell(grid, 0, 2);
        QTest::keyClick(keys(), Qt::Key_End);
        typeText(keys(), u"abc"_s);
        activate(&card.form());   // a click on the card
        activate(grid->window()); // and back on the table view's title bar
        typeText(keys(), u"def"_s);
        QTest::keyClick(keys(), Qt::Key_Down);
        QCOMPARE(card.stored(1, nameField), u"Rossi Marioabcdef"_s);
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
        activate(grid->window());
        clickCell(grid, 0, 4);
        QTest::keyClick(keys(), Qt::Key_A, Qt::ControlModifier);
        typeText(keys(), u"Torino 2"_s);
        card.type(u"Text10"_s, u"Napoli"_s);
        card.click(u"MoveNext"_s, true);
        QCOMPARE(card.stored(1, u"Città"_s), u"Napoli"_s);

        Dialogs::install(nullptr);
        QWidget* selector = grid->verticalHeader()->viewport();
        QStringList messages;
        for (int attempt = 0; attempt < 3; ++attempt) {
            whenModalShows([&](QWidget* modal) {
                messages.append(static_cast<QMessageBox*>(modal)->text());
                // Through the window system, which holds it back from the window behind the box.
                if (attempt > 0)
                    QTest::mouseRelease(grid->window()->windowHandle(), Qt::LeftButton, {},
                                        selector->mapTo(grid->window(), selectorPoint(grid, 2)));
                static_cast<QDialog*>(modal)->accept();
            });
            activate(grid->window());
            if (attempt == 0)
                QTest::keyClick(keys(), Qt::Key_Down);
            else
                QTest::mousePress(selector, Qt::LeftButton, {}, selectorPoint(grid, 2));
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
        clickSelector(grid, 2);
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
        QAbstractItemModel* model = grid->model();
        QCOMPARE(model->rowCount(), int(Dynaset::pageSize));
        QVERIFY(model->canFetchMore({}));
        QCOMPARE(grid->indexAt(QPoint(5, 5)), model->index(0, 0));
        QCOMPARE(cell(grid, 63, 2), u"n64"_s);
        // A row changed meanwhile is written when it is left.
        typeInto(grid, u"Torino"_s, model->index(2, 4));
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
        typeInto(grid, u"Lavoro"_s, grid->model()->index(5, 1));
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
    // dense (positions are worked out from the first id, and must not overflow). The table view is
    // opened with the list held back: it shows the first page, and the last row waits for the list.
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
                contacts.append({{u"ID"_s, id}, {nameField, u"n%1"_s.arg(id)}});
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

        for (const bool byKey : {true, false}) {
            Dynaset::holdListsForTesting(Dynaset::Hold::BeforeHandOver);
            BoundGrid* grid = openTableView(card);
            QCOMPARE(grid->model()->rowCount(), int(Dynaset::pageSize));
            QCOMPARE(cell(grid, 0, 0), QString::number(lowest));
            QCOMPARE(cell(grid, 2, 2), u"n%1"_s.arg(gaps ? 0 : lowest + 2));
            {
                LateRelease release; // Ctrl+End, or the navigator as the bar moves it, waits for the list
                grid->setFocus();
                if (byKey)
                    QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
                else
                    QVERIFY(tableView()->navigator().moveLast().ok());
            }
            QCOMPARE(tableView()->navigator().currentRow()->rowid, highest);
            QCOMPARE(grid->model()->rowCount(), count);
            if (!byKey)
                break;
            QVERIFY(!QGuiApplication::overrideCursor()); // the busy cursor is gone
            QCoreApplication::processEvents();           // the late hand-over of the list is dropped
            QCOMPARE(grid->model()->rowCount(), count);
            QCOMPARE(grid->currentIndex().row(), count - 1);
            QCOMPARE(cell(grid, count - 1, 0), QString::number(highest));
            typeInto(grid, u"ultimo"_s, grid->model()->index(count - 1, 2));
            QTest::keyClick(cellEditor(grid), Qt::Key_Up);
            QCOMPARE(card.stored(highest, nameField), u"ultimo"_s);
            typeInto(grid, u"primo"_s, grid->model()->index(0, 2));
            const Dynaset* rows = tableView()->navigator().dynaset();
            QCOMPARE(rows->positionOf(highest), count - 1);
            for (const qint64 absent : {gaps ? -2 : first == kMin ? kMin + 100 : first - 1, kMax - 100})
                QCOMPARE(rows->positionOf(absent), -1);
            closeTableView();
            QCOMPARE(card.stored(lowest, nameField), u"primo"_s);
        }
        QVERIFY(m_dialogs->shown.isEmpty());
    }
};

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    vinzal::setUpApplication(app);
    TestWindows test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_windows.moc"
