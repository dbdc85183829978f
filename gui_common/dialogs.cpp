#include "dialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFontMetrics>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPagedPaintDevice>
#include <QProgressDialog>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>
#include <utility>

using namespace Qt::StringLiterals;

namespace vinzal {

namespace {

std::unique_ptr<Dialogs>& installed()
{
    static std::unique_ptr<Dialogs> dialogs = std::make_unique<QtDialogs>();
    return dialogs;
}

// Room for the window manager's icon and buttons around a title, and for the dialog's margins.
constexpr int titleBarButtons = 160;

QString titleOrApplication(const QString& title)
{
    return title.isEmpty() ? QApplication::applicationDisplayName() : title;
}

// Every button of a message box is reached by Alt and a letter; Qt's own Italian OK and Annulla have
// none.
void giveAccessKeys(QMessageBox& box)
{
    static constexpr std::pair<QMessageBox::StandardButton, const char16_t*> texts[] = {
        {QMessageBox::Ok, u"&OK"},
        {QMessageBox::Yes, u"&Sì"},
        {QMessageBox::No, u"&No"},
        {QMessageBox::Cancel, u"&Annulla"}};
    for (const auto& [which, text] : texts)
        if (QAbstractButton* button = box.button(which))
            button->setText(QString::fromUtf16(text));
}

void giveAccessKeys(QInputDialog& dialog)
{
    dialog.setOkButtonText(u"&OK"_s);
    dialog.setCancelButtonText(u"&Annulla"_s);
}

} // namespace

Dialogs& Dialogs::instance()
{
    return *installed();
}

void Dialogs::install(std::unique_ptr<Dialogs> dialogs)
{
    installed() = dialogs ? std::move(dialogs) : std::make_unique<QtDialogs>();
}

QString Dialogs::askText(QWidget* parent, const QString& title, const QString& prompt)
{
    return doAskText(parent, titleOrApplication(title), prompt);
}

QString Dialogs::askItem(QWidget* parent, const QString& title, const QString& prompt,
                         const QStringList& items)
{
    return doAskItem(parent, titleOrApplication(title), prompt, items);
}

QString Dialogs::askSaveFile(QWidget* parent, const QString& title, const QString& proposed,
                             const QString& filter)
{
    return doAskSaveFile(parent, titleOrApplication(title), proposed, filter);
}

bool Dialogs::askYesNo(QWidget* parent, const QString& title, const QString& text, bool defaultNo)
{
    return doAskYesNo(parent, titleOrApplication(title), text, defaultNo);
}

Dialogs::Answer Dialogs::askYesNoCancel(QWidget* parent, const QString& title, const QString& text)
{
    return doAskYesNoCancel(parent, titleOrApplication(title), text);
}

QString Dialogs::askFileName(QWidget* parent, FileMode mode, const QString& title, const QStringList& filters,
                             QString* filter, const QString& suggested)
{
    return doAskFileName(parent, mode, titleOrApplication(title), filters, filter, suggested);
}

std::unique_ptr<Dialogs::Progress> Dialogs::startProgress(QWidget* parent, const QString& title,
                                                          const QString& label)
{
    return doStartProgress(parent, titleOrApplication(title), label);
}

void Dialogs::showDocument(QWidget* parent, const QString& title, const QString& markdown)
{
    doShowDocument(parent, titleOrApplication(title), markdown);
}

bool Dialogs::reviewImport(QWidget* parent, ImportPreview& preview)
{
    return doReviewImport(parent, preview);
}

bool Dialogs::askPrintOptions(QWidget* parent, PrintChoice& choice)
{
    return doAskPrintOptions(parent, choice);
}

bool Dialogs::askSyncAccount(QWidget* parent, SyncAccountForm& form)
{
    return doAskSyncAccount(parent, form);
}

std::unique_ptr<QPagedPaintDevice> Dialogs::askPrinter(QWidget* parent)
{
    return doAskPrinter(parent);
}

void Dialogs::inform(QWidget* parent, const QString& title, const QString& text, Icon icon)
{
    doInform(parent, titleOrApplication(title), text, icon);
}

void Dialogs::reportError(QWidget* parent, const StoreError& error)
{
    StoreError shown = error;
    // A write that failed without touching the book leaves the typed values where they were.
    if (error.unchanged)
        shown.message += u" I dati inseriti sono ancora nella finestra."_s;
    inform(parent, QString(), shown.fullText(), Icon::Critical);
}

QString QtDialogs::doAskText(QWidget* parent, const QString& title, const QString& prompt)
{
    QInputDialog dialog(parent);
    dialog.setWindowTitle(title);
    dialog.setLabelText(prompt);
    dialog.setInputMode(QInputDialog::TextInput);
    giveAccessKeys(dialog);
    // A search text has no length limit of its own (QLineEdit's default is 32767 characters).
    auto* edit = dialog.findChild<QLineEdit*>();
    if (edit)
        edit->setMaxLength(std::numeric_limits<int>::max());
    // Wide enough that the window manager shows the whole title beside its buttons: QInputDialog
    // sizes itself for the prompt only, and its layout overrides the dialog's own minimum width, so
    // the input line sets it.
    QFont titleFont = dialog.font(); // title bars commonly use a bold face of the same size
    titleFont.setBold(true);
    const int widest = std::max(QFontMetrics(titleFont).horizontalAdvance(title),
                                QFontMetrics(dialog.font()).horizontalAdvance(prompt));
    if (edit)
        edit->setMinimumWidth(widest + titleBarButtons);
    return dialog.exec() == QDialog::Accepted ? dialog.textValue() : QString();
}

QString QtDialogs::doAskItem(QWidget* parent, const QString& title, const QString& prompt,
                             const QStringList& items)
{
    QInputDialog dialog(parent);
    dialog.setWindowTitle(title);
    dialog.setLabelText(prompt);
    dialog.setComboBoxItems(items);
    dialog.setComboBoxEditable(false);
    giveAccessKeys(dialog);
    return dialog.exec() == QDialog::Accepted ? dialog.textValue() : QString();
}

QString QtDialogs::doAskSaveFile(QWidget* parent, const QString& title, const QString& proposed,
                                 const QString& filter)
{
    return QFileDialog::getSaveFileName(parent, title, proposed, filter);
}

bool QtDialogs::doAskYesNo(QWidget* parent, const QString& title, const QString& text, bool defaultNo)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(defaultNo ? QMessageBox::No : QMessageBox::Yes);
    giveAccessKeys(box);
    return box.exec() == QMessageBox::Yes;
}

Dialogs::Answer QtDialogs::doAskYesNoCancel(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::Question, title, text,
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, parent);
    box.setObjectName(u"question"_s);
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::Cancel);
    giveAccessKeys(box);
    const int answer = box.exec();
    return answer == QMessageBox::Yes ? Answer::Yes : answer == QMessageBox::No ? Answer::No : Answer::Cancel;
}

QString QtDialogs::doAskFileName(QWidget* parent, FileMode mode, const QString& title,
                                 const QStringList& filters, QString* filter, const QString& suggested)
{
    QFileDialog dialog(parent, title, suggested);
    dialog.setAcceptMode(mode == FileMode::Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(mode == FileMode::Save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setNameFilters(filters);
    if (filter && !filter->isEmpty())
        dialog.selectNameFilter(*filter);
    // Qt's own dialog leaves its folder and file-type lists without the label beside them, and a
    // screen reader names a list box by that label (its own name is the value chosen).
    for (const auto& [label, box] :
         {std::pair{"lookInLabel", "lookInCombo"}, {"fileTypeLabel", "fileTypeCombo"}})
        if (auto* shown = dialog.findChild<QLabel*>(QLatin1StringView(label)))
            shown->setBuddy(dialog.findChild<QWidget*>(QLatin1StringView(box)));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    if (filter)
        *filter = dialog.selectedNameFilter();
    return dialog.selectedFiles().first();
}

namespace {

class QtProgress : public Dialogs::Progress
{
public:
    QtProgress(QWidget* parent, const QString& title, const QString& label)
        : m_dialog(label, u"&Annulla"_s, 0, 1000, parent), m_label(label)
    {
        m_dialog.setObjectName(u"progressDialog"_s);
        m_dialog.setWindowTitle(title);
        m_dialog.setWindowModality(Qt::WindowModal);
        m_dialog.setAutoClose(false);
        m_dialog.setAutoReset(false);
        m_dialog.setMinimumDuration(400);
        m_dialog.setValue(0);
    }
    bool advance(qint64 done, qint64 total) override
    {
        if (total <= 0) { // how much is left is not known: a busy bar
            m_dialog.setMaximum(0);
            m_dialog.setLabelText(done > 0 ? m_label + u"\n"_s + u"%L1"_s.arg(done) : m_label);
            QCoreApplication::processEvents();
            return !m_dialog.wasCanceled();
        }
        m_dialog.setMaximum(1000);
        m_dialog.setLabelText(m_label + u"\n"_s + u"%L1 di %L2"_s.arg(done).arg(total));
        // A modal progress dialog processes events as its value changes: the windows stay painted
        // and the cancel button answers.
        m_dialog.setValue(total > 0 ? int(std::min(done, total) * 1000 / total) : 0);
        return !m_dialog.wasCanceled();
    }

private:
    QProgressDialog m_dialog;
    QString m_label;
};

} // namespace

std::unique_ptr<Dialogs::Progress> QtDialogs::doStartProgress(QWidget* parent, const QString& title,
                                                              const QString& label)
{
    return std::make_unique<QtProgress>(parent, title, label);
}

void QtDialogs::doShowDocument(QWidget* parent, const QString& title, const QString& markdown)
{
    // A window of its own, not modal: the guide can stay open beside the card.
    auto* window = new QDialog(parent);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setObjectName(u"documentWindow"_s);
    window->setWindowTitle(title);
    auto* layout = new QVBoxLayout(window);
    auto* text = new QTextBrowser(window);
    text->setOpenExternalLinks(true);
    text->setMarkdown(markdown);
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, window);
    buttons->button(QDialogButtonBox::Close)->setText(u"&Chiudi"_s);
    QObject::connect(buttons, &QDialogButtonBox::rejected, window, &QDialog::close);
    layout->addWidget(buttons);
    window->resize(640, 560);
    window->show();
}

void QtDialogs::doInform(QWidget* parent, const QString& title, const QString& text, Icon icon)
{
    static constexpr QMessageBox::Icon icons[] = {QMessageBox::NoIcon, QMessageBox::Information,
                                                  QMessageBox::Question, QMessageBox::Warning,
                                                  QMessageBox::Critical};
    QMessageBox box(icons[int(icon)], title, text, QMessageBox::Ok, parent);
    box.setObjectName(u"message"_s);
    giveAccessKeys(box);
    box.exec();
}

} // namespace vinzal
