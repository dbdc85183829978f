#include "book_sync.h"

#include "dialogs.h"
#include "sync_service.h"
#include "wording.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <qt6keychain/keychain.h>

using namespace Qt::StringLiterals;

namespace vinzal {

namespace {

const QString keyringService = u"Vinzal"_s;

// The password's name in the keyring: the user on the server.
QString secretKey(const QString& address, const QString& user)
{
    return u"carddav:"_s + user + u'@' + QUrl::fromUserInput(address).host();
}

// The desktop's keyring, waited for: the password is never written anywhere else, and a keyring that
// cannot be reached simply keeps nothing.
QString readSecret(const QString& key)
{
    QKeychain::ReadPasswordJob job(keyringService);
    job.setAutoDelete(false);
    job.setInsecureFallback(false);
    job.setKey(key);
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    return job.error() == QKeychain::NoError ? job.textData() : QString();
}

bool writeSecret(const QString& key, const QString& secret)
{
    QKeychain::WritePasswordJob job(keyringService);
    job.setAutoDelete(false);
    job.setInsecureFallback(false);
    job.setKey(key);
    job.setTextData(secret);
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    return job.error() == QKeychain::NoError;
}

QString counted(int n, const QString& one, const QString& many, const QString& doneOne,
                const QString& doneMany)
{
    return words::counted(n, one, many) + u' ' + (n == 1 ? doneOne : doneMany);
}

QString countsText(const sync::Counts& c, bool cards)
{
    QStringList parts;
    const QString one = cards ? u"scheda"_s : u"contatto"_s, many = cards ? u"schede"_s : u"contatti"_s;
    if (c.created)
        parts.append(cards ? counted(c.created, one, many, u"creata"_s, u"create"_s)
                           : counted(c.created, one, many, u"aggiunto"_s, u"aggiunti"_s));
    if (c.updated)
        parts.append(cards ? counted(c.updated, one, many, u"modificata"_s, u"modificate"_s)
                           : counted(c.updated, one, many, u"modificato"_s, u"modificati"_s));
    if (c.deleted)
        parts.append(cards ? counted(c.deleted, one, many, u"eliminata"_s, u"eliminate"_s)
                           : counted(c.deleted, one, many, u"eliminato"_s, u"eliminati"_s));
    return parts.isEmpty() ? u"nessuna modifica"_s : parts.join(u", "_s);
}

QString reportText(const sync::Result& result)
{
    QString text = u"Sincronizzazione con «%1» terminata.\n\nNella rubrica: %2.\nSul server: %3."_s.arg(
        result.addressBook.toDisplayString(), countsText(result.book, false),
        countsText(result.server, true));
    if (!result.conflicts.isEmpty()) {
        QStringList which;
        for (const sync::Conflict& conflict : result.conflicts)
            which.append(u"ID %1 («%2»)"_s.arg(conflict.id).arg(conflict.field));
        text += u"\n\nCambiati sia nella rubrica sia sul server (resta il valore della rubrica; quello del "
                u"server "
                u"è nelle Osservazioni): "_s +
                which.join(u", "_s) + u'.';
    }
    if (!result.keptDeleted.isEmpty()) {
        QStringList which;
        for (const qint64 id : result.keptDeleted)
            which.append(u"ID %1"_s.arg(id));
        text += u"\n\nEliminati da una parte ma cambiati dall'altra dopo l'ultima sincronizzazione, e perciò "
                u"conservati: "_s +
                which.join(u", "_s) + u'.';
    }
    if (!result.skipped.isEmpty())
        text += u"\n\nRimandato alla prossima sincronizzazione: "_s + result.skipped.join(u"; "_s) + u'.';
    return text;
}

} // namespace

bool QtDialogs::doAskSyncAccount(QWidget* parent, SyncAccountForm& form)
{
    QDialog dialog(parent);
    dialog.setObjectName(u"syncDialog"_s);
    dialog.setWindowTitle(u"Sincronizza con una rubrica CardDAV"_s);
    auto* layout = new QVBoxLayout(&dialog);
    auto* fields = new QFormLayout;
    auto* address = new QLineEdit(form.address);
    address->setObjectName(u"syncAddress"_s);
    address->setPlaceholderText(u"https://server.example/dav/"_s);
    auto* user = new QLineEdit(form.user);
    user->setObjectName(u"syncUser"_s);
    auto* password = new QLineEdit(form.password);
    password->setObjectName(u"syncPassword"_s);
    password->setEchoMode(QLineEdit::Password);
    fields->addRow(u"&Indirizzo del server:"_s, address);
    fields->addRow(u"&Utente:"_s, user);
    fields->addRow(u"&Password:"_s, password);
    layout->addLayout(fields);
    auto* find = new QPushButton(u"&Cerca le rubriche"_s);
    find->setObjectName(u"syncFind"_s);
    // Enter synchronises once an address book is chosen; it never starts a look-up by surprise.
    find->setAutoDefault(false);
    layout->addWidget(find, 0, Qt::AlignLeft);
    auto* message = new QLabel;
    message->setObjectName(u"syncMessage"_s);
    message->setWordWrap(true);
    layout->addWidget(message);
    auto* books = new QListWidget;
    books->setObjectName(u"syncBooks"_s);
    books->setAccessibleName(u"Rubriche trovate"_s);
    layout->addWidget(books);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setText(u"&Sincronizza"_s);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    buttons->button(QDialogButtonBox::Cancel)->setText(u"&Annulla"_s);
    layout->addWidget(buttons);
    const auto fill = [&] {
        books->clear();
        books->addItems(form.books);
        if (!form.books.isEmpty())
            books->setCurrentRow(0);
        buttons->button(QDialogButtonBox::Ok)->setEnabled(books->currentItem() != nullptr);
    };
    fill();
    QObject::connect(books, &QListWidget::currentRowChanged, &dialog, [&] {
        buttons->button(QDialogButtonBox::Ok)->setEnabled(books->currentItem() != nullptr);
    });
    QObject::connect(find, &QPushButton::clicked, &dialog, [&] {
        form.address = address->text().trimmed();
        form.user = user->text().trimmed();
        form.password = password->text();
        const QString problem = form.find ? form.find() : QString();
        message->setText(
            !problem.isEmpty() ? problem
            : form.books.size() == 1
                ? u"Trovata una rubrica."_s
                : u"Trovate %1 rubriche: scegliere quella da sincronizzare."_s.arg(form.books.size()));
        fill();
    });
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() != QDialog::Accepted || !books->currentItem())
        return false;
    form.user = user->text().trimmed();
    form.password = password->text();
    form.chosen = books->currentItem()->text();
    return true;
}

void synchronizeBook(QWidget* window, const QString& book)
{
    const sync::Account before = sync::remembered(book);
    SyncAccountForm form;
    form.address = before.url;
    form.user = before.user;
    if (!before.url.isEmpty()) {
        form.books = {before.url};
        form.password = readSecret(secretKey(before.url, before.user));
    }
    form.find = [&form] {
        form.books.clear();
        const sync::Discovery found = sync::discover({form.address, form.user, form.password});
        if (found.failure)
            return found.failure->cause + u' ' + found.failure->advice;
        for (const sync::AddressBook& addressBook : found.books)
            form.books.append(addressBook.url.toString());
        return QString();
    };
    if (!Dialogs::instance().askSyncAccount(window, form))
        return;

    sync::Result result;
    {
        auto progress = Dialogs::instance().startProgress(window, u"Sincronizza"_s,
                                                          u"Sincronizzazione con «%1»…"_s.arg(form.chosen));
        bool cancelled = false;
        qint64 done = 0, total = 0;
        sync::Progress steps;
        steps.step = [&](const QString&, qint64 now, qint64 of) {
            done = now;
            total = of;
            cancelled = cancelled || !progress->advance(done, total);
        };
        // Asked while a request waits: the cancel button answers then too.
        steps.cancelled = [&] {
            cancelled = cancelled || !progress->advance(done, total);
            return cancelled;
        };
        result = sync::synchronize(book, {form.chosen, form.user, form.password}, steps);
    }
    if (result.ok() && !form.password.isEmpty())
        writeSecret(secretKey(form.chosen, form.user), form.password);
    if (result.cancelled) {
        Dialogs::instance().inform(window, u"Sincronizza"_s,
                                   result.written
                                       ? u"Sincronizzazione annullata. Una parte è già stata scritta: la "
                                         u"prossima sincronizzazione la completa, senza doppioni."_s
                                       : u"Sincronizzazione annullata. Non è stato scritto nulla."_s,
                                   Dialogs::Icon::Information);
        return;
    }
    if (result.failure) {
        Dialogs::instance().inform(
            window, u"Sincronizza"_s,
            result.failure->cause + u"\n\n"_s + result.failure->advice + u"\n\n"_s +
                (result.failure->written ? u"Una parte è già stata scritta: la prossima sincronizzazione la "
                                           u"completa, senza doppioni."_s
                                         : u"Non è stato scritto nulla."_s),
            Dialogs::Icon::Critical);
        return;
    }
    Dialogs::instance().inform(window, u"Sincronizza"_s, reportText(result), Dialogs::Icon::Information);
}

} // namespace vinzal
