#include "sync_service.h"

#include "carddav.h"
#include "contact_rows.h"
#include "contact_table.h"
#include "sync_state.h"
#include "vcard.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>

using namespace Qt::StringLiterals;

namespace vinzal::sync {

namespace {

constexpr int fetchBatch = 200; // cards a multiget asks for at once
constexpr int writeBatch = 500; // contacts written to the book in one transaction

const QByteArray listProps = "<d:resourcetype/><d:displayname/><d:current-user-principal/>"
                             "<c:addressbook-home-set/>";

QString httpCause(const carddav::Response& response, const QUrl& url)
{
    if (response.failure)
        return u"Il server «%1» non ha risposto: %2."_s.arg(url.host(), *response.failure);
    switch (response.status) {
    case 401:
        return u"Il server «%1» non ha accettato il nome utente o la password."_s.arg(url.host());
    case 403:
        return u"Il server «%1» non permette questa operazione a questo utente."_s.arg(url.host());
    case 404:
        return u"L'indirizzo «%1» non esiste sul server."_s.arg(url.toDisplayString());
    default:
        return u"Il server «%1» ha risposto con l'errore %2."_s.arg(url.host()).arg(response.status);
    }
}

QString httpAdvice(const carddav::Response& response)
{
    if (response.failure && response.failure->startsWith(u"il certificato"_s))
        return u"Controllare l'indirizzo; se il certificato è quello giusto, farlo conoscere al sistema "
               u"(update-ca-certificates)."_s;
    if (response.failure)
        return u"Controllare la connessione e l'indirizzo, poi sincronizzare di nuovo: il lavoro già fatto "
               u"non "
               u"va perso."_s;
    if (response.status == 401)
        return u"Controllare il nome utente (--user) e la password."_s;
    return u"Controllare l'indirizzo della rubrica sul server."_s;
}

Failure failureOf(const carddav::Response& response, const QUrl& url, bool written)
{
    return Failure{httpCause(response, url), httpAdvice(response), written};
}

Failure storeFailure(const StoreError& error, bool written)
{
    return Failure{
        error.fullText(),
        u"Sincronizzare di nuovo quando la rubrica è disponibile: il lavoro già fatto non va perso."_s,
        written};
}

QUrl withPath(const QUrl& base, const QString& path)
{
    QUrl url = base;
    url.setPath(path, QUrl::DecodedMode);
    url.setQuery(QString());
    url.setFragment(QString());
    return url;
}

QUrl asFolder(QUrl url)
{
    QString path = url.path(QUrl::FullyDecoded);
    if (!path.endsWith(u'/'))
        url.setPath(path + u'/', QUrl::DecodedMode);
    return url;
}

bool cancelledBy(const Progress& progress)
{
    return progress.cancelled && progress.cancelled();
}

void step(const Progress& progress, const QString& what, qint64 done, qint64 total)
{
    if (progress.step)
        progress.step(what, done, total);
}

// The address books listed under `home` (Depth 1).
std::optional<Failure> listHome(carddav::Client& client, const QUrl& home, QList<AddressBook>& books)
{
    const carddav::Response response = client.propfind(home, 1, listProps);
    if (response.status != 207)
        return failureOf(response, home, false);
    for (const carddav::Entry& entry : carddav::parseMultiStatus(response.body, home).entries)
        if (entry.types.contains(u"addressbook"_s))
            books.append(AddressBook{asFolder(withPath(home, entry.path)), entry.name});
    return std::nullopt;
}

} // namespace

Discovery discover(const Account& account, const Progress& progress)
{
    Discovery found;
    carddav::Client client(account.user, account.password);
    client.setCancelled(progress.cancelled);
    QUrl url = QUrl::fromUserInput(account.url);
    if (!url.isValid() || (url.scheme() != u"http"_s && url.scheme() != u"https"_s)) {
        found.failure = Failure{u"«%1» non è un indirizzo http o https."_s.arg(account.url),
                                u"Scrivere l'indirizzo del server o della rubrica, per esempio "
                                u"https://server.example/dav/."_s,
                                false};
        return found;
    }
    step(progress, u"Ricerca delle rubriche sul server"_s, 0, 0);
    // The URL itself, then the standard place a server announces its service at.
    QList<QUrl> tries{url};
    if (url.path().isEmpty() || url.path() == u"/"_s)
        tries.append(url.resolved(QUrl(u"/.well-known/carddav"_s)));
    std::optional<Failure> first;
    for (const QUrl& at : tries) {
        const carddav::Response response = client.propfind(at, 0, listProps);
        if (response.cancelled) {
            found.failure = Failure{u"Sincronizzazione interrotta."_s, QString(), false};
            return found;
        }
        if (response.status != 207) {
            if (!first)
                first = failureOf(response, at, false);
            if (response.failure || response.status == 401)
                break;
            continue;
        }
        const carddav::MultiStatus status = carddav::parseMultiStatus(response.body, at);
        if (status.entries.isEmpty())
            continue;
        const carddav::Entry& entry = status.entries.first();
        if (entry.types.contains(u"addressbook"_s)) {
            found.books.append(AddressBook{asFolder(withPath(at, entry.path)), entry.name});
            return found;
        }
        QString home = entry.home;
        if (home.isEmpty() && !entry.principal.isEmpty()) {
            const QUrl principal = withPath(at, entry.principal);
            const carddav::Response asked = client.propfind(principal, 0, listProps);
            if (asked.status == 207) {
                const carddav::MultiStatus of = carddav::parseMultiStatus(asked.body, principal);
                if (!of.entries.isEmpty())
                    home = of.entries.first().home;
            }
        }
        if (home.isEmpty()) {
            // A collection that holds address books (a home given directly).
            if (auto failure = listHome(client, at, found.books); !failure && !found.books.isEmpty())
                return found;
            continue;
        }
        if (auto failure = listHome(client, asFolder(withPath(at, home)), found.books)) {
            found.failure = failure;
            return found;
        }
        if (found.books.isEmpty())
            found.failure =
                Failure{u"L'utente «%1» non ha ancora alcuna rubrica CardDAV su «%2»."_s.arg(account.user,
                                                                                             url.host()),
                        u"Crearne una sul server (o dal telefono), poi sincronizzare di nuovo."_s, false};
        return found;
    }
    if (found.books.isEmpty())
        found.failure =
            first ? *first
                  : Failure{u"All'indirizzo «%1» non si trova alcuna rubrica CardDAV."_s.arg(account.url),
                            u"Indicare l'indirizzo della rubrica sul server."_s, false};
    return found;
}

namespace {

// What the server holds now that the book does not know yet.
struct Listing
{
    QHash<QString, QByteArray> changed; // path -> ETag, of the cards whose ETag differs from the book's
    QSet<QString> removed;              // paths the book knows that are gone
    QString token;
};

bool sameFields(const Contact& a, const Contact& b)
{
    for (int i = 1; i < fieldCount; ++i)
        if (a.at(i) != b.at(i))
            return false;
    return true;
}

QList<int> differingFields(const Contact& a, const Contact& b)
{
    QList<int> fields;
    for (int i = 1; i < fieldCount; ++i)
        if (a.at(i) != b.at(i))
            fields.append(i);
    return fields;
}

Contact fieldsOf(const QByteArray& card)
{
    Contact contact = vcard::readCard(card).contact;
    contact[Field::Id] = Value();
    return contact;
}

class Synchronizer
{
public:
    Synchronizer(Connection& connection, const Account& account, const Progress& progress)
        : m_connection(connection), m_account(account), m_progress(progress),
          m_client(account.user, account.password)
    {
        m_client.setCancelled(progress.cancelled);
    }

    Result run();

private:
    bool stopped()
    {
        if (cancelledBy(m_progress))
            m_result.cancelled = true;
        return m_result.cancelled || m_result.failure;
    }
    void fail(const carddav::Response& response, const QUrl& url)
    {
        if (response.cancelled)
            m_result.cancelled = true;
        else
            m_result.failure = failureOf(response, url, m_result.written);
    }
    void fail(const StoreError& error) { m_result.failure = storeFailure(error, m_result.written); }

    bool chooseAddressBook();
    bool list();
    bool fetch(const QList<QString>& paths, QHash<QString, carddav::Entry>& into);
    bool readBook();
    bool applyServerChanges();
    bool pushBookChanges();
    bool settleToken();
    // A card the server would not take (a value it cannot store, say: Xandikos answers 500 to text
    // that is not UTF-8): noted and left, the rest goes on. A server that is down or refuses us
    // (401, 403, 502, 503, 504) stops the synchronisation instead.
    bool refusedCard(const carddav::Response& response, qint64 id)
    {
        if (response.failure || response.status < 400 || response.status > 500 || response.status == 401 ||
            response.status == 403 || response.status == 404)
            return false;
        m_result.skipped.append(
            u"il server non ha accettato la scheda del contatto con ID %1 (errore %2)"_s.arg(id).arg(
                response.status));
        return true;
    }

    // Book writes gathered and run in batches.
    struct Write
    {
        enum Kind { Update, Insert, Delete, PutCard, ForgetCard } kind;
        qint64 id = 0;
        Contact before, now;
        syncstate::Card card;
        std::function<void(qint64 newId)> inserted;
    };
    bool runWrites(QList<Write>& writes);

    QString uidFor(qint64 id) const { return u"vinzal-"_s + m_key + u'-' + QString::number(id); }

    Connection& m_connection;
    Account m_account;
    Progress m_progress;
    carddav::Client m_client;
    Result m_result;

    QUrl m_book; // the address book's URL
    QString m_key, m_token;
    syncstate::Settings m_settings;
    QHash<qint64, syncstate::Card> m_cards;
    QHash<QString, qint64> m_byPath;
    QHash<qint64, Contact> m_contacts;
    Listing m_listing;
    QHash<QString, carddav::Entry> m_fetched;
    bool m_skippedServer = false; // a server change not taken into the book this time
    bool m_pushed = false;
};

bool Synchronizer::chooseAddressBook()
{
    const QString remembered = m_settings.value(syncstate::key::address);
    if (m_account.url.isEmpty()) {
        if (remembered.isEmpty()) {
            m_result.failure = Failure{u"La rubrica non è ancora sincronizzata con una rubrica CardDAV."_s,
                                       u"Indicare l'indirizzo del server o della rubrica."_s, false};
            return false;
        }
        m_book = QUrl(remembered);
        return true;
    }
    const Discovery found = discover(m_account, m_progress);
    if (found.failure) {
        m_result.failure = found.failure;
        if (cancelledBy(m_progress)) {
            m_result.failure.reset();
            m_result.cancelled = true;
        }
        return false;
    }
    const QList<AddressBook> books = found.books;
    if (books.isEmpty()) {
        m_result.failure =
            Failure{u"All'indirizzo «%1» non si trova alcuna rubrica CardDAV."_s.arg(m_account.url),
                    u"Indicare l'indirizzo della rubrica sul server."_s, false};
        return false;
    }
    if (!remembered.isEmpty()) {
        for (const AddressBook& book : std::as_const(books))
            if (book.url == QUrl(remembered)) {
                m_book = book.url;
                return true;
            }
        m_result.failure =
            Failure{u"Questa rubrica si sincronizza con «%1», non con «%2»."_s.arg(remembered, m_account.url),
                    u"Sincronizzare con la stessa rubrica di sempre (basta non indicare l'indirizzo), o "
                    u"usare una copia della rubrica per l'altra."_s,
                    false};
        return false;
    }
    if (books.size() > 1) {
        QStringList names;
        for (const AddressBook& book : std::as_const(books))
            names.append(book.url.toString() +
                         (book.name.isEmpty() ? QString() : u" ("_s + book.name + u')'));
        m_result.failure =
            Failure{u"Sul server ci sono %1 rubriche: %2."_s.arg(books.size()).arg(names.join(u", "_s)),
                    u"Indicare l'indirizzo di quella da sincronizzare."_s, false};
        return false;
    }
    m_book = books.first().url;
    return true;
}

bool Synchronizer::list()
{
    step(m_progress, u"Lettura delle modifiche sul server"_s, 0, 0);
    const QString token = m_settings.value(syncstate::key::token);
    const auto take = [this](const QString& path, const QByteArray& etag) {
        const auto known = m_byPath.constFind(path);
        if (known == m_byPath.cend() || m_cards.value(*known).etag != etag)
            m_listing.changed.insert(path, etag);
    };
    const QString own = m_book.path(QUrl::FullyDecoded);
    // The changes since the last synchronisation, in one answer, where the server offers them.
    carddav::Response response = m_client.report(m_book, 1, carddav::syncCollectionBody(token));
    if (response.cancelled) {
        m_result.cancelled = true;
        return false;
    }
    if (response.status == 207) {
        const carddav::MultiStatus status = carddav::parseMultiStatus(response.body, m_book);
        if (status.valid) {
            QSet<QString> present;
            for (const carddav::Entry& entry : status.entries) {
                if (entry.path == own || entry.path.endsWith(u'/'))
                    continue;
                if (entry.status == 404) {
                    if (m_byPath.contains(entry.path))
                        m_listing.removed.insert(entry.path);
                    continue;
                }
                present.insert(entry.path);
                take(entry.path, entry.etag);
            }
            // With no token the answer lists every card: what the book knows and it lacks is gone.
            if (token.isEmpty())
                for (auto it = m_byPath.cbegin(); it != m_byPath.cend(); ++it)
                    if (!present.contains(it.key()))
                        m_listing.removed.insert(it.key());
            m_listing.token = status.syncToken;
            return true;
        }
    }
    // Otherwise every card with its ETag.
    response = m_client.propfind(m_book, 1, "<d:getetag/><d:resourcetype/><d:sync-token/>");
    if (response.status != 207) {
        fail(response, m_book);
        return false;
    }
    const carddav::MultiStatus status = carddav::parseMultiStatus(response.body, m_book);
    QSet<QString> present;
    for (const carddav::Entry& entry : status.entries) {
        if (entry.path == own || entry.types.contains(u"collection"_s)) {
            m_listing.token = entry.syncToken;
            continue;
        }
        present.insert(entry.path);
        take(entry.path, entry.etag);
    }
    for (auto it = m_byPath.cbegin(); it != m_byPath.cend(); ++it)
        if (!present.contains(it.key()))
            m_listing.removed.insert(it.key());
    return true;
}

bool Synchronizer::fetch(const QList<QString>& paths, QHash<QString, carddav::Entry>& into)
{
    for (qsizetype at = 0; at < paths.size(); at += fetchBatch) {
        if (stopped())
            return false;
        step(m_progress, u"Lettura delle schede dal server"_s, at, paths.size());
        const QList<QString> some = paths.mid(at, fetchBatch);
        const carddav::Response response = m_client.report(m_book, 1, carddav::multigetBody(some, m_book));
        if (response.status != 207 && !response.failure && response.status >= 400 && response.status != 401 &&
            response.status != 403) {
            // One card the server cannot give back spoils the whole batch (Xandikos answers 500 for a
            // card that is not UTF-8): each is read on its own, and those that fail are left.
            for (const QString& path : some) {
                const QUrl url = withPath(m_book, path);
                const carddav::Response one = m_client.send("GET", url);
                if (one.failure) {
                    fail(one, url);
                    return false;
                }
                if (one.ok()) {
                    carddav::Entry entry;
                    entry.path = path;
                    entry.status = one.status;
                    entry.etag = one.headers.value("etag");
                    entry.data = one.body;
                    into.insert(path, entry);
                } else {
                    m_result.skipped.append(
                        u"la scheda «%1» non si può leggere dal server (errore %2)"_s.arg(path).arg(
                            one.status));
                    m_skippedServer = true;
                }
            }
            continue;
        }
        if (response.status != 207) {
            fail(response, m_book);
            return false;
        }
        for (const carddav::Entry& entry : carddav::parseMultiStatus(response.body, m_book).entries)
            if (entry.status >= 200 && entry.status < 300 && !entry.data.isEmpty())
                into.insert(entry.path, entry);
    }
    return true;
}

bool Synchronizer::readBook()
{
    step(m_progress, u"Lettura della rubrica"_s, 0, 0);
    const Status read = contacts::readInBatches(m_connection, 2000, [this](const Contacts& batch) {
        for (const Contact& contact : batch)
            m_contacts.insert(contact[Field::Id].toInteger(), contact);
        return true;
    });
    if (!read) {
        fail(read.error());
        return false;
    }
    return true;
}

bool Synchronizer::runWrites(QList<Write>& writes)
{
    for (qsizetype at = 0, end = 0; at < writes.size(); at = end) {
        if (stopped())
            return false;
        step(m_progress, u"Scrittura nella rubrica"_s, at, writes.size());
        syncstate::Batch batch(m_connection);
        if (!batch.begun()) {
            fail(batch.begun().error());
            return false;
        }
        QList<std::function<void()>> afterCommit;
        // A contact's write and its card's go in the same transaction.
        end = std::min(writes.size(), at + writeBatch);
        while (end < writes.size() && end > at &&
               (writes[end - 1].kind == Write::Insert || writes[end - 1].kind == Write::Update ||
                writes[end - 1].kind == Write::Delete))
            ++end;
        for (qsizetype i = at; i < end; ++i) {
            Write& write = writes[i];
            Status status;
            switch (write.kind) {
            case Write::Update: {
                auto done = batch.updateContact(write.id, write.before, write.now);
                if (!done) {
                    status = done.error();
                } else if (!done.value()) {
                    // Saved by the user meanwhile: left as it is, and its card for next time.
                    m_result.skipped.append(u"il contatto con ID %1 è stato modificato durante la "
                                            u"sincronizzazione"_s.arg(write.id));
                    m_skippedServer = true;
                    // The card must not be recorded as taken in: skip the PutCard that follows.
                    if (i + 1 < end && writes[i + 1].kind == Write::PutCard &&
                        writes[i + 1].card.id == write.id)
                        ++i;
                }
                break;
            }
            case Write::Insert: {
                auto made = batch.insertContact(write.now);
                if (!made) {
                    status = made.error();
                } else {
                    const qint64 id = made.value();
                    // The card that follows belongs to the new contact.
                    if (i + 1 < end && writes[i + 1].kind == Write::PutCard)
                        writes[i + 1].card.id = id;
                    if (write.inserted)
                        afterCommit.append([f = write.inserted, id] { f(id); });
                }
                break;
            }
            case Write::Delete: {
                auto done = batch.deleteContact(write.id, write.before);
                if (!done) {
                    status = done.error();
                } else if (!done.value()) {
                    m_result.skipped.append(u"il contatto con ID %1 è stato modificato durante la "
                                            u"sincronizzazione"_s.arg(write.id));
                    m_skippedServer = true;
                    if (i + 1 < end && writes[i + 1].kind == Write::ForgetCard)
                        ++i;
                }
                break;
            }
            case Write::PutCard:
                status = batch.putCard(write.card);
                if (status)
                    afterCommit.append([this, card = write.card] {
                        m_cards.insert(card.id, card);
                        m_byPath.insert(card.href, card.id);
                    });
                break;
            case Write::ForgetCard:
                status = batch.forgetCard(write.id);
                if (status)
                    afterCommit.append([this, id = write.id] {
                        m_byPath.remove(m_cards.value(id).href);
                        m_cards.remove(id);
                    });
                break;
            }
            if (!status) {
                fail(status.error());
                return false;
            }
        }
        if (Status committed = batch.commit(); !committed) {
            fail(committed.error());
            return false;
        }
        m_result.written = true;
        for (const auto& after : afterCommit)
            after();
    }
    return true;
}

QString conflictLine(int field, const Value& server)
{
    const QString name = contacts::fields().at(field);
    const QString value = server.isNull() ? u"(vuoto)"_s : server.toText();
    if (field == int(Field::Osservazioni))
        return u"Sul server, «"_s + name + u"» era:\n"_s + value;
    return u"Sul server, «"_s + name + u"»: "_s + value;
}

bool Synchronizer::applyServerChanges()
{
    QList<Write> writes;
    QList<qint64> ids = m_cards.keys();
    std::sort(ids.begin(), ids.end());
    for (const qint64 id : std::as_const(ids)) {
        const syncstate::Card& card = m_cards[id];
        const auto bookAt = m_contacts.constFind(id);
        const bool inBook = bookAt != m_contacts.cend();
        const bool bookChanged = inBook && !sameFields(*bookAt, card.base);
        if (m_listing.removed.contains(card.href)) {
            if (!inBook) {
                writes.append({Write::ForgetCard, id, {}, {}, {}, {}});
            } else if (!bookChanged) {
                writes.append({Write::Delete, id, *bookAt, {}, {}, {}});
                writes.append({Write::ForgetCard, id, {}, {}, {}, {}});
                m_contacts.remove(id);
                ++m_result.book.deleted;
            } else {
                // Deleted on the server, changed here since: kept, and sent back as a new card.
                writes.append({Write::ForgetCard, id, {}, {}, {}, {}});
                m_result.keptDeleted.append(id);
            }
            continue;
        }
        const auto fetched = m_fetched.constFind(card.href);
        if (fetched == m_fetched.cend())
            continue;
        const Contact before = fieldsOf(card.text), after = fieldsOf(fetched->data);
        const QList<int> serverChanged = differingFields(before, after);
        syncstate::Card updated = card;
        updated.etag = fetched->etag;
        updated.text = fetched->data;
        if (!inBook) {
            if (serverChanged.isEmpty()) {
                // Only its ETag moved: deleted here, so deleted there (by pushBookChanges()).
                writes.append({Write::PutCard, id, {}, {}, updated, {}});
                continue;
            }
            // Deleted here, changed on the server since: kept, as a new contact.
            updated.base = after;
            writes.append({Write::ForgetCard, id, {}, {}, {}, {}});
            writes.append({Write::Insert, 0, {}, after, {}, [this](qint64 newId) {
                               m_result.keptDeleted.append(newId);
                           }});
            writes.append({Write::PutCard, 0, {}, {}, updated, {}});
            ++m_result.book.created;
            continue;
        }
        Contact merged = *bookAt, base = card.base;
        QStringList lines;
        for (const int field : serverChanged) {
            if (bookAt->at(field) == card.base.at(field)) {
                merged.at(field) = after.at(field);
                base.at(field) = after.at(field);
            } else if (bookAt->at(field) != after.at(field)) {
                // Changed on both sides: the book's value stays, the server's is kept in sight.
                m_result.conflicts.append(Conflict{id, contacts::fields().at(field)});
                lines.append(conflictLine(field, after.at(field)));
            } else {
                base.at(field) = after.at(field);
            }
        }
        if (!lines.isEmpty()) {
            const QString remarks = merged[Field::Osservazioni].toText();
            merged[Field::Osservazioni] = Value::fromEditedText(
                remarks.isEmpty() ? lines.join(u'\n') : remarks + u'\n' + lines.join(u'\n'));
        }
        updated.base = base;
        updated.base[Field::Id] = Value::integer(id);
        if (!sameFields(merged, *bookAt)) {
            writes.append({Write::Update, id, *bookAt, merged, {}, {}});
            ++m_result.book.updated;
        }
        writes.append({Write::PutCard, id, {}, {}, updated, {}});
        m_contacts[id] = merged;
    }
    // Cards the book does not know yet.
    QList<QString> fresh;
    for (auto it = m_fetched.cbegin(); it != m_fetched.cend(); ++it)
        if (!m_byPath.contains(it.key()))
            fresh.append(it.key());
    std::sort(fresh.begin(), fresh.end());
    const QRegularExpression ours(u"^vinzal-"_s + QRegularExpression::escape(m_key) + u"-(\\d+)$"_s);
    for (const QString& path : std::as_const(fresh)) {
        const carddav::Entry& entry = m_fetched[path];
        const Contact fields = fieldsOf(entry.data);
        syncstate::Card card{0, path, entry.etag, entry.data, fields};
        // A card this book made in a synchronisation that was interrupted before it could note it.
        if (const auto m = ours.match(vcard::cardUid(entry.data)); m.hasMatch()) {
            const qint64 id = m.captured(1).toLongLong();
            if (m_contacts.contains(id) && !m_cards.contains(id)) {
                card.id = id;
                card.base[Field::Id] = Value::integer(id);
                writes.append({Write::PutCard, id, {}, {}, card, {}});
                continue;
            }
        }
        writes.append({Write::Insert, 0, {}, fields, {}, {}});
        writes.append({Write::PutCard, 0, {}, {}, card, {}});
        ++m_result.book.created;
    }
    // The contacts added: their fields for the push that follows.
    for (qsizetype i = 0; i < writes.size(); ++i)
        if (writes[i].kind == Write::Insert) {
            const Contact fields = writes[i].now;
            auto previous = writes[i].inserted;
            writes[i].inserted = [this, fields, previous](qint64 id) {
                Contact made = fields;
                made[Field::Id] = Value::integer(id);
                m_contacts.insert(id, made);
                if (previous)
                    previous(id);
            };
        }
    return runWrites(writes);
}

bool Synchronizer::pushBookChanges()
{
    QList<qint64> ids = m_contacts.keys();
    std::sort(ids.begin(), ids.end());
    QList<qint64> written; // contacts whose card to read back
    QSet<qint64> adopted;  // of which those found already on the server
    const QString folder = m_book.path(QUrl::FullyDecoded);
    qint64 done = 0;
    const qint64 total = ids.size();
    QList<Write> writes;
    for (const qint64 id : std::as_const(ids)) {
        if (stopped())
            return false;
        if (++done % 50 == 0)
            step(m_progress, u"Invio delle modifiche al server"_s, done, total);
        const Contact& contact = m_contacts[id];
        const auto cardAt = m_cards.constFind(id);
        if (cardAt == m_cards.cend()) {
            const QString path = folder + uidFor(id) + u".vcf"_s;
            const QUrl url = withPath(m_book, path);
            const carddav::Response response =
                m_client.send("PUT", url, vcard::newCard(contact, uidFor(id)),
                              {{"Content-Type", "text/vcard; charset=utf-8"}, {"If-None-Match", "*"}});
            if (response.status == 412) {
                // Already there: made by a synchronisation that was cut off. Taken as it is; the
                // next synchronisation sends what differs.
                written.append(id);
                adopted.insert(id);
                m_cards.insert(id, syncstate::Card{id, path, {}, {}, contact});
                m_byPath.insert(path, id);
                continue;
            }
            if (refusedCard(response, id))
                continue;
            if (!response.ok()) {
                fail(response, url);
                return false;
            }
            m_result.written = true;
            m_pushed = true;
            ++m_result.server.created;
            m_cards.insert(id, syncstate::Card{id, path, {}, {}, contact});
            m_byPath.insert(path, id);
            written.append(id);
            continue;
        }
        const syncstate::Card& card = *cardAt;
        if (sameFields(contact, card.base))
            continue;
        const QList<int> fields = differingFields(contact, card.base);
        const QByteArray text = vcard::patchCard(card.text, contact, fields);
        if (text == card.text) {
            // Nothing the card can say differently: the book's values become the base.
            syncstate::Card same = card;
            same.base = contact;
            writes.append({Write::PutCard, id, {}, {}, same, {}});
            continue;
        }
        const QUrl url = withPath(m_book, card.href);
        const carddav::Response response = m_client.send(
            "PUT", url, text, {{"Content-Type", "text/vcard; charset=utf-8"}, {"If-Match", card.etag}});
        if (response.status == 412) {
            m_result.skipped.append(u"la scheda del contatto con ID %1 è cambiata sul server durante la "
                                    u"sincronizzazione"_s.arg(id));
            continue;
        }
        if (refusedCard(response, id))
            continue;
        if (!response.ok()) {
            fail(response, url);
            return false;
        }
        m_result.written = true;
        m_pushed = true;
        ++m_result.server.updated;
        written.append(id);
    }
    // Cards of contacts deleted here, unchanged on the server since.
    QList<qint64> gone;
    for (auto it = m_cards.cbegin(); it != m_cards.cend(); ++it)
        if (!m_contacts.contains(it.key()))
            gone.append(it.key());
    std::sort(gone.begin(), gone.end());
    for (const qint64 id : std::as_const(gone)) {
        if (stopped())
            return false;
        const syncstate::Card& card = m_cards[id];
        const QUrl url = withPath(m_book, card.href);
        const carddav::Response response = m_client.send("DELETE", url, {}, {{"If-Match", card.etag}});
        if (response.status == 412) {
            m_result.skipped.append(
                u"la scheda del contatto eliminato con ID %1 è cambiata sul server durante "
                u"la sincronizzazione"_s.arg(id));
            continue;
        }
        if (!response.ok() && response.status != 404) {
            fail(response, url);
            return false;
        }
        m_result.written = true;
        m_pushed = true;
        ++m_result.server.deleted;
        writes.append({Write::ForgetCard, id, {}, {}, {}, {}});
    }
    // What the server now holds for the cards written: the text and ETag noted with the fields sent.
    for (qsizetype at = 0; at < written.size(); at += fetchBatch) {
        QList<QString> paths;
        for (const qint64 id : written.mid(at, fetchBatch))
            paths.append(m_cards[id].href);
        QHash<QString, carddav::Entry> back;
        if (!fetch(paths, back))
            return false;
        for (const qint64 id : written.mid(at, fetchBatch)) {
            syncstate::Card card = m_cards[id];
            const auto entry = back.constFind(card.href);
            if (entry == back.cend())
                continue;
            card.etag = entry->etag;
            card.text = entry->data;
            card.base = adopted.contains(id) ? fieldsOf(card.text) : m_contacts[id];
            card.base[Field::Id] = Value::integer(id);
            writes.append({Write::PutCard, id, {}, {}, card, {}});
        }
    }
    return runWrites(writes);
}

// After writing, the token the server gives now covers our own writes too: taken only when
// nothing but them changed since the listing, so that nobody else's change is passed over.
bool Synchronizer::settleToken()
{
    if (!m_pushed || m_listing.token.isEmpty())
        return true;
    const carddav::Response response =
        m_client.report(m_book, 1, carddav::syncCollectionBody(m_listing.token));
    if (response.status != 207)
        return true;
    const carddav::MultiStatus status = carddav::parseMultiStatus(response.body, m_book);
    const QString own = m_book.path(QUrl::FullyDecoded);
    for (const carddav::Entry& entry : status.entries) {
        if (entry.path == own || entry.path.endsWith(u'/'))
            continue;
        const auto known = m_byPath.constFind(entry.path);
        if (entry.status == 404) {
            if (known != m_byPath.cend())
                return true;
            continue;
        }
        if (known == m_byPath.cend() || m_cards.value(*known).etag != entry.etag)
            return true;
    }
    if (!status.syncToken.isEmpty())
        m_listing.token = status.syncToken;
    return true;
}

Result Synchronizer::run()
{
    m_result.written = false;
    auto settings = syncstate::readSettings(m_connection);
    if (!settings) {
        fail(settings.error());
        return m_result;
    }
    m_settings = settings.value();
    if (!chooseAddressBook())
        return m_result;
    m_result.addressBook = m_book;
    if (Status made = syncstate::ensureTables(m_connection); !made) {
        m_result.failure = Failure{made.error().fullText(),
                                   u"Aggiornare la rubrica con «vinzal-db upgrade» (come proprietario della "
                                   u"rubrica sul server), poi sincronizzare di nuovo."_s,
                                   false};
        return m_result;
    }
    auto cards = syncstate::readCards(m_connection);
    if (!cards) {
        fail(cards.error());
        return m_result;
    }
    m_cards = cards.value();
    for (auto it = m_cards.cbegin(); it != m_cards.cend(); ++it)
        m_byPath.insert(it->href, it.key());
    m_key = m_settings.value(syncstate::key::book);
    // The address book, the user and the key of the UIDs are noted before any card is made.
    if (m_key.isEmpty() || m_settings.value(syncstate::key::address) != m_book.toString() ||
        m_settings.value(syncstate::key::user) != m_account.user) {
        if (m_key.isEmpty())
            m_key = QString::number(QRandomGenerator::system()->generate64(), 16).left(12);
        syncstate::Batch batch(m_connection);
        Status status = batch.begun();
        if (status)
            status = batch.setSetting(syncstate::key::book, m_key);
        if (status)
            status = batch.setSetting(syncstate::key::address, m_book.toString());
        if (status)
            status = batch.setSetting(syncstate::key::user, m_account.user);
        if (status)
            status = batch.commit();
        if (!status) {
            fail(status.error());
            return m_result;
        }
        m_result.written = true;
    }
    if (!list() || stopped())
        return m_result;
    if (!fetch(m_listing.changed.keys(), m_fetched) || !readBook() || stopped())
        return m_result;
    if (!applyServerChanges() || !pushBookChanges())
        return m_result;
    settleToken();
    if (stopped())
        return m_result;
    if (!m_skippedServer && m_result.skipped.isEmpty() && !m_listing.token.isEmpty() &&
        m_listing.token != m_settings.value(syncstate::key::token)) {
        syncstate::Batch batch(m_connection);
        Status status = batch.begun();
        if (status)
            status = batch.setSetting(syncstate::key::token, m_listing.token);
        if (status)
            status = batch.commit();
        if (!status) {
            fail(status.error());
            return m_result;
        }
    }
    step(m_progress, u"Sincronizzazione terminata"_s, 1, 1);
    return m_result;
}

} // namespace

Account remembered(const QString& book)
{
    Account account;
    auto connection = Connection::open(book);
    if (!connection)
        return account;
    auto settings = syncstate::readSettings(*connection.value());
    if (!settings)
        return account;
    account.url = settings.value().value(syncstate::key::address);
    account.user = settings.value().value(syncstate::key::user);
    return account;
}

Result synchronize(const QString& book, const Account& account, const Progress& progress)
{
    auto connection = Connection::open(book);
    if (!connection) {
        Result result;
        result.failure = storeFailure(connection.error(), false);
        return result;
    }
    connection.value()->db().announceWritesAs(connection.value()->path(), nullptr);
    Synchronizer synchronizer(*connection.value(), account, progress);
    return synchronizer.run();
}

} // namespace vinzal::sync
