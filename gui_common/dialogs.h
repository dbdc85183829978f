#pragma once

#include "contact.h"
#include "store_error.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QPagedPaintDevice;
class QImage;
class QWidget;

namespace vinzal {

// What to print, as chosen before the print dialog.
struct PrintChoice
{
    enum class Layout { Elenco, Etichette, Scheda };
    Layout layout = Layout::Elenco;
    QString sheet = QStringLiteral("3x8"); // labels: "3x8" or "2x7"
    double margin = 4;                     // labels: mm inside each label
    int start = 1;                         // labels: the first free label of the first sheet
    qsizetype selected = 0;                // rows selected in the grid (0: the choice is not offered)
    bool onlySelected = false;             // the list or labels: only the selected rows
    bool ulteriore = false;                // labels: the «ulteriore identificativo» line too
    bool withoutAddress = false;           // labels: contacts without an address too
    bool haveCard = true;                  // whether Scheda can be chosen
    // Draws page `page` (0 = the first; past the last, the last) of what the choice prints on
    // `image`, an A4 page at the image's resolution, and sets `pages` to how many there are (negative
    // when only about so many are known: the rest of the book is not laid out yet); the message when
    // the book cannot be read, else empty. What the preview shows.
    std::function<QString(const PrintChoice& choice, qint64 page, QImage& image, qint64* pages)> drawPage;
};

// What the preview of an import shows before anything is written, and what the user may change
// there: the CSV columns' fields, the encoding, whether contacts already present are added anyway.
struct ImportPreview
{
    QString file;
    qsizetype total = 0;      // contacts read from the file
    qsizetype duplicates = 0; // of them, already in the book
    Contacts first;           // the first ones, as they will be stored
    QStringList problems;     // why the file cannot be imported (nothing is, then)
    QStringList notes;        // what was read, but deserves to be said
    bool keepDuplicates = false;
    // A CSV only: its columns, each with the field it goes into (one of `choices`), and the encoding.
    QStringList headers, columnChoices, choices;
    QString encoding;
    QStringList encodings;
    // Reads the file again after the user changed a column's field or the encoding; fills the rest.
    std::function<void()> reread;
};

// The account of a synchronisation with a CardDAV address book, as the user fills it in: the server's
// (or the address book's) address, the user and the password; find() looks the address books up with
// them and fills `books` (an error message, or the empty text); `chosen` is the one to synchronise.
// A book already synchronised has `address` set to its address book, which it keeps.
struct SyncAccountForm
{
    QString address, user, password;
    QStringList books;
    QString chosen;
    std::function<QString()> find;
};

// Every modal dialog of the program goes through here, so that tests can answer them: they install
// a scripted implementation that records each dialog and gives the scripted answer.
class Dialogs
{
public:
    enum class Icon { None, Information, Question, Warning, Critical };

    virtual ~Dialogs() = default;

    // The implementation in use; the Qt one unless a test installed another.
    static Dialogs& instance();
    // Installs `dialogs` (a test's); nullptr restores the Qt one.
    static void install(std::unique_ptr<Dialogs> dialogs);

    // An input box: the text typed, or the empty text when cancelled.
    QString askText(QWidget* parent, const QString& title, const QString& prompt);
    // A list to choose from: the item chosen, or the empty text when cancelled.
    QString askItem(QWidget* parent, const QString& title, const QString& prompt, const QStringList& items);
    // A save dialog opened on `proposed`, showing the files that match `filter`: the file chosen
    // (replacing one that exists confirmed), or the empty text when cancelled.
    QString askSaveFile(QWidget* parent, const QString& title, const QString& proposed,
                        const QString& filter);
    // Yes and No with the question icon: true for Yes. `defaultNo` makes No the button Enter presses
    // (a question whose Yes cannot be undone).
    bool askYesNo(QWidget* parent, const QString& title, const QString& text, bool defaultNo = false);
    // Yes, No and Cancel, Yes the default: a question whose No still goes on, so that Esc (Cancel)
    // must stop.
    enum class Answer { Yes, No, Cancel };
    Answer askYesNoCancel(QWidget* parent, const QString& title, const QString& text);
    // OK alone. An empty title is the application's, "Vinzal".
    void inform(QWidget* parent, const QString& title, const QString& text, Icon icon);
    // The error dialog: critical, titled "Vinzal", the message with the engine's words quoted; when
    // the book is unchanged, that what was typed is still in the window.
    void reportError(QWidget* parent, const StoreError& error);

    // The file dialogs. `filters` are Qt's ("CSV (*.csv)"); `filter` is the one chosen first and
    // comes back as the one chosen. Saving asks the usual question before an existing file is
    // named. The empty text when cancelled.
    enum class FileMode { Open, Save };
    QString askFileName(QWidget* parent, FileMode mode, const QString& title, const QStringList& filters,
                        QString* filter, const QString& suggested = {});

    // A long task's progress: a bar, the count done, a cancel button. The window behind stays
    // painted: advance() lets it.
    class Progress
    {
    public:
        virtual ~Progress() = default;
        // `done` of `total` (which may become known only once the work has begun): false once the
        // user has cancelled.
        virtual bool advance(qint64 done, qint64 total) = 0;
    };
    std::unique_ptr<Progress> startProgress(QWidget* parent, const QString& title, const QString& label);

    // A text document (Markdown) in a window of its own, such as the user guide.
    void showDocument(QWidget* parent, const QString& title, const QString& markdown);

    // The preview of an import: true when the user chose to import.
    bool reviewImport(QWidget* parent, ImportPreview& preview);

    // What to print: true to go on.
    bool askPrintOptions(QWidget* parent, PrintChoice& choice);
    // The account of «Sincronizza…»: true to synchronise with `form.chosen`.
    bool askSyncAccount(QWidget* parent, SyncAccountForm& form);
    // Qt's print dialog: the printer (or PDF file) chosen, set to A4 and the whole sheet; nullptr
    // when cancelled.
    std::unique_ptr<QPagedPaintDevice> askPrinter(QWidget* parent);

protected:
    virtual QString doAskText(QWidget* parent, const QString& title, const QString& prompt) = 0;
    virtual QString doAskItem(QWidget* parent, const QString& title, const QString& prompt,
                              const QStringList& items) = 0;
    virtual QString doAskSaveFile(QWidget* parent, const QString& title, const QString& proposed,
                                  const QString& filter) = 0;
    virtual bool doAskYesNo(QWidget* parent, const QString& title, const QString& text, bool defaultNo) = 0;
    virtual Answer doAskYesNoCancel(QWidget* parent, const QString& title, const QString& text) = 0;
    virtual void doInform(QWidget* parent, const QString& title, const QString& text, Icon icon) = 0;
    virtual QString doAskFileName(QWidget* parent, FileMode mode, const QString& title,
                                  const QStringList& filters, QString* filter, const QString& suggested) = 0;
    virtual std::unique_ptr<Progress> doStartProgress(QWidget* parent, const QString& title,
                                                      const QString& label) = 0;
    virtual void doShowDocument(QWidget* parent, const QString& title, const QString& markdown) = 0;
    virtual bool doReviewImport(QWidget* parent, ImportPreview& preview) = 0;
    virtual bool doAskPrintOptions(QWidget* parent, PrintChoice& choice) = 0;
    virtual bool doAskSyncAccount(QWidget* parent, SyncAccountForm& form) = 0;
    virtual std::unique_ptr<QPagedPaintDevice> doAskPrinter(QWidget* parent) = 0;
};

// The real dialogs: QInputDialog, QMessageBox, QFileDialog, QProgressDialog.
class QtDialogs : public Dialogs
{
protected:
    QString doAskText(QWidget* parent, const QString& title, const QString& prompt) override;
    QString doAskItem(QWidget* parent, const QString& title, const QString& prompt,
                      const QStringList& items) override;
    QString doAskSaveFile(QWidget* parent, const QString& title, const QString& proposed,
                          const QString& filter) override;
    bool doAskYesNo(QWidget* parent, const QString& title, const QString& text, bool defaultNo) override;
    Answer doAskYesNoCancel(QWidget* parent, const QString& title, const QString& text) override;
    void doInform(QWidget* parent, const QString& title, const QString& text, Icon icon) override;
    QString doAskFileName(QWidget* parent, FileMode mode, const QString& title, const QStringList& filters,
                          QString* filter, const QString& suggested) override;
    std::unique_ptr<Progress> doStartProgress(QWidget* parent, const QString& title,
                                              const QString& label) override;
    void doShowDocument(QWidget* parent, const QString& title, const QString& markdown) override;
    bool doReviewImport(QWidget* parent, ImportPreview& preview) override; // import_preview.cpp
    bool doAskPrintOptions(QWidget* parent, PrintChoice& choice) override; // print_options.cpp
    bool doAskSyncAccount(QWidget* parent, SyncAccountForm& form) override; // book_sync.cpp
    std::unique_ptr<QPagedPaintDevice> doAskPrinter(QWidget* parent) override;
};

} // namespace vinzal
