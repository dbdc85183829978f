#pragma once

#include "dialogs.h"
#include "test_support.h"

#include <QLineEdit>
#include <QList>
#include <QPushButton>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <optional>

namespace vinzal {
class BoundGrid;
class Form1;
class Form2;
} // namespace vinzal

namespace vinzal::test {

// Adds the columns and rows of the table tests/data/rows/NAME.txt to the current test's data: cells
// split by '|' and trimmed, a cell in double quotes kept as written (\n in it a line break); the first
// line names the columns after the tag, as NAME or NAME:TYPE, TYPE one of bool (yes/no), int, int64,
// list (strings split by ','), ints (split by blanks), point and pointf ("x y"), keys (a QKeySequence);
// lines starting with '#' explain.
void rowsFrom(const QString& name);
// The contacts of tests/data/rows/NAME.txt: the first line names the fields; an empty cell, no value.
QList<Person> contactsFrom(const QString& name);

// Types `text` into `widget` key by key, any Unicode included; a newline is the Enter key.
void typeText(QWidget* widget, const QString& text);

// Answers the program's dialogs from a script and records each one.
class ScriptedDialogs : public Dialogs
{
public:
    struct Shown
    {
        QString kind; // "text", "item", "save", "yesno", "inform", "file", "progress" or "document"
        QString title;
        QString text;
        Icon icon = Icon::None;
        QStringList offered;    // the items of a list; the file a save or file dialog proposes
        bool defaultNo = false; // a yes/no question whose Enter means No
    };

    // Installs a fresh script for the whole process and returns it; what the windows remember
    // (QSettings, in the tests' own folder) is forgotten, so that each case starts as a first run.
    static ScriptedDialogs& install();

    QList<Shown> shown;
    QStringList textAnswers;      // consumed in order; the empty text once they run out (cancel)
    QList<bool> yesNoAnswers;     // consumed in order; No once they run out (Cancel, as Esc gives, for a
                                  // question with Cancel)
    QStringList fileAnswers;      // file names, consumed in order; cancel once they run out
    QStringList filterAnswers;    // the filter chosen with each file name, when given
    qint64 cancelProgressAt = -1; // a progress dialog is cancelled once this many are done
    // Looks at an import's preview and changes it as a user would; the answer is whether to import.
    std::function<bool(ImportPreview&)> onPreview;
    // What to print (none: cancel), and the PDF file the print dialog's "printer" writes.
    std::function<bool(PrintChoice&)> onPrintOptions;
    QString printFile;
    QStringList itemAnswers; // consumed in order; the empty text once they run out (cancel)
    QStringList saveAnswers; // consumed in order; the empty text once they run out (cancel)
    // Fills in the account of «Sincronizza…» as a user would (none: cancel).
    std::function<bool(SyncAccountForm&)> onSyncAccount;
    // Called as each dialog appears, to look at the window behind it.
    std::function<void(const Shown&)> onShow;

    QStringList texts() const;
    void clear() { shown.clear(); }

protected:
    QString doAskText(QWidget*, const QString& title, const QString& prompt) override
    {
        return record(QStringLiteral("text"), title, prompt), take(textAnswers);
    }
    QString doAskItem(QWidget*, const QString& title, const QString& prompt,
                      const QStringList& items) override
    {
        return record(QStringLiteral("item"), title, prompt, Icon::None, items), take(itemAnswers);
    }
    QString doAskSaveFile(QWidget*, const QString& title, const QString& proposed, const QString&) override
    {
        return record(QStringLiteral("save"), title, {}, Icon::None, {proposed}), take(saveAnswers);
    }
    bool doAskYesNo(QWidget*, const QString& title, const QString& text, bool defaultNo) override
    {
        record(QStringLiteral("yesno"), title, text, Icon::Question, {}, defaultNo);
        return !yesNoAnswers.isEmpty() && yesNoAnswers.takeFirst();
    }
    Answer doAskYesNoCancel(QWidget*, const QString& title, const QString& text) override
    {
        record(QStringLiteral("yesno"), title, text, Icon::Question);
        return yesNoAnswers.isEmpty() ? Answer::Cancel : yesNoAnswers.takeFirst() ? Answer::Yes : Answer::No;
    }
    void doInform(QWidget*, const QString& title, const QString& text, Icon icon) override
    {
        record(QStringLiteral("inform"), title, text, icon);
    }
    void doShowDocument(QWidget*, const QString& title, const QString& markdown) override
    {
        record(QStringLiteral("document"), title, markdown);
    }
    QString doAskFileName(QWidget* parent, FileMode mode, const QString& title, const QStringList& filters,
                          QString* filter, const QString& suggested) override;
    std::unique_ptr<Progress> doStartProgress(QWidget* parent, const QString& title,
                                              const QString& label) override;
    bool doReviewImport(QWidget* parent, ImportPreview& preview) override;
    bool doAskPrintOptions(QWidget* parent, PrintChoice& choice) override;
    std::unique_ptr<QPagedPaintDevice> doAskPrinter(QWidget* parent) override;
    bool doAskSyncAccount(QWidget*, SyncAccountForm& form) override
    {
        record(QStringLiteral("sync"), QStringLiteral("Sincronizza"), form.address);
        return onSyncAccount && onSyncAccount(form);
    }

private:
    void record(const QString& kind, const QString& title, const QString& text = {}, Icon icon = Icon::None,
                const QStringList& offered = {}, bool defaultNo = false);
    static QString take(QStringList& answers) { return answers.isEmpty() ? QString() : answers.takeFirst(); }
};

// A working directory of its own holding Vinzal.mdb, and a shown Form1 opened on it.
class Card
{
public:
    explicit Card(const QList<Person>& contacts, bool makeFile = true);
    // A card opened on a book (a server's, say) rather than on the working directory's file.
    struct Book
    {
        explicit Book(QString book) : name(std::move(book)) {}
        QString name;
    };
    explicit Card(const Book& book);
    // In a working directory of its own holding Vinzal.mdb with `contacts` when `makeFile`, a card
    // opened on `book` ("": the working directory's Vinzal.mdb).
    Card(const QString& book, const QList<Person>& contacts, bool makeFile);
    ~Card();

    Form1& form() { return *m_form; }
    QString path() const;
    QPushButton* button(const QString& name) const;
    QWidget* widget(const QString& name) const;
    QString text(const QString& box) const;
    // Replaces the text of a box by typing, as a user would.
    void type(const QString& box, const QString& text);
    // Clicks a button, or a move of the bar ("MoveNext"...); with `answer`, the answer to the question
    // that follows.
    void click(const QString& button, std::optional<bool> answer = {});
    // A field of a contact as the book holds it, as text.
    QString stored(qint64 id, const QString& field) const;
    // The bar's moves: "MoveFirst", "MovePrevious", "MoveNext", "MoveLast".
    void barMove(const QString& move);

    // The state the controls show: "Browsing", "Adding" or "Modifying"; with what a screen reader
    // hears added when the window's description says otherwise.
    QString state() const;

private:
    QTemporaryDir m_dir;
    QString m_previousDir;
    std::unique_ptr<Form1> m_form;
};

// Right-clicks `target` through its window, as the mouse does, and picks the entry named `action`
// of the menu that opens with the arrow keys and Enter (none: Esc). Returns the menu's entries as
// "text<TAB>shortcut", or an empty list when no menu of the program opened.
QStringList pickFromMenu(QWidget* target, const QString& action);

// The bytes of a file ("" when missing).
QByteArray fileBytes(const QString& path);
// Writes a file whole; false when it cannot.
bool writeBytes(const QString& path, const QByteArray& bytes);

// The table view that is shown, if any.
Form2* tableView();
// Presses "Visualizza Tabella" on the card and returns the grid once the window is exposed (a test
// that cannot open it stops).
BoundGrid* openTableView(Card& card);
// Deletes every table view, shown or not (a test's clean-up).
void deleteTableViews();

// Four contacts, IDs 1 to 4, in an order that differs from every index's: 1 Lavoro, Rossi Mario,
// Torino (with a two-line remark); 2 Famiglia-Amici, Bianchi Anna, Milano; 3 Altro, Verdi Luca, Bari;
// 4 Lavoro, Neri Sara, Roma; each with a further identifier and two phone numbers.
QList<Person> fourContacts();

// Makes `window` the active window, as a click on its title bar does, and returns the widget that
// then has the keyboard.
QWidget* activate(QWidget* window);
// The widget that has the keyboard.
QWidget* keys();
// Answers the next real modal dialog with `answer` once it shows.
void whenModalShows(std::function<void(QWidget*)> answer);
// Clicks a cell of the grid with the mouse.
void clickCell(BoundGrid* grid, int row, int column);
// The middle of the record selector beside a row, and a click there with the given keys held.
QPoint selectorPoint(BoundGrid* grid, int row);
void clickSelector(BoundGrid* grid, int row, Qt::KeyboardModifiers modifiers = {});
// The text a cell shows.
QString cell(BoundGrid* grid, int row, int column);
// The editor of the grid's current cell, if any.
QLineEdit* cellEditor(BoundGrid* grid);

} // namespace vinzal::test
