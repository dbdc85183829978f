#pragma once

#include "store_error.h"

#include <QString>
#include <QStringList>

#include <memory>

class QWidget;

namespace vinzal {

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
    // Yes and No with the question icon: true for Yes.
    bool askYesNo(QWidget* parent, const QString& title, const QString& text);
    // OK alone. An empty title is the application's, "Vinzal".
    void inform(QWidget* parent, const QString& title, const QString& text, Icon icon);
    // The error dialog: critical, titled "Vinzal", the message with the engine's words quoted.
    void reportError(QWidget* parent, const StoreError& error);

protected:
    virtual QString doAskText(QWidget* parent, const QString& title, const QString& prompt) = 0;
    virtual QString doAskItem(QWidget* parent, const QString& title, const QString& prompt,
                              const QStringList& items) = 0;
    virtual QString doAskSaveFile(QWidget* parent, const QString& title, const QString& proposed,
                                  const QString& filter) = 0;
    virtual bool doAskYesNo(QWidget* parent, const QString& title, const QString& text) = 0;
    virtual void doInform(QWidget* parent, const QString& title, const QString& text, Icon icon) = 0;
};

// The real dialogs: QInputDialog, QFileDialog and QMessageBox.
class QtDialogs : public Dialogs
{
protected:
    QString doAskText(QWidget* parent, const QString& title, const QString& prompt) override;
    QString doAskItem(QWidget* parent, const QString& title, const QString& prompt,
                      const QStringList& items) override;
    QString doAskSaveFile(QWidget* parent, const QString& title, const QString& proposed,
                          const QString& filter) override;
    bool doAskYesNo(QWidget* parent, const QString& title, const QString& text) override;
    void doInform(QWidget* parent, const QString& title, const QString& text, Icon icon) override;
};

} // namespace vinzal
