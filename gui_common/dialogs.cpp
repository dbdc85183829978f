#include "dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QFontMetrics>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>

#include <algorithm>
#include <limits>

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

bool Dialogs::askYesNo(QWidget* parent, const QString& title, const QString& text)
{
    return doAskYesNo(parent, titleOrApplication(title), text);
}

void Dialogs::inform(QWidget* parent, const QString& title, const QString& text, Icon icon)
{
    doInform(parent, titleOrApplication(title), text, icon);
}

void Dialogs::reportError(QWidget* parent, const StoreError& error)
{
    inform(parent, QString(), error.fullText(), Icon::Critical);
}

QString QtDialogs::doAskText(QWidget* parent, const QString& title, const QString& prompt)
{
    QInputDialog dialog(parent);
    dialog.setWindowTitle(title);
    dialog.setLabelText(prompt);
    dialog.setInputMode(QInputDialog::TextInput);
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
    bool chosen = false;
    const QString item = QInputDialog::getItem(parent, title, prompt, items, 0, false, &chosen);
    return chosen ? item : QString();
}

QString QtDialogs::doAskSaveFile(QWidget* parent, const QString& title, const QString& proposed,
                                 const QString& filter)
{
    return QFileDialog::getSaveFileName(parent, title, proposed, filter);
}

bool QtDialogs::doAskYesNo(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, parent);
    return box.exec() == QMessageBox::Yes;
}

void QtDialogs::doInform(QWidget* parent, const QString& title, const QString& text, Icon icon)
{
    static constexpr QMessageBox::Icon icons[] = {QMessageBox::NoIcon, QMessageBox::Information,
                                                  QMessageBox::Question, QMessageBox::Warning,
                                                  QMessageBox::Critical};
    QMessageBox box(icons[int(icon)], title, text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace vinzal
