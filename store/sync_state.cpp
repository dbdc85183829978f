#include "sync_state.h"

#include "contact_table.h"

#include <QDataStream>
#include <QIODevice>

using namespace Qt::StringLiterals;

namespace vinzal::syncstate {

namespace {

const QString making = u"creare le tabelle della sincronizzazione"_s;
const QString reading = u"leggere lo stato della sincronizzazione"_s;
const QString writing = u"scrivere la sincronizzazione nella rubrica"_s;

QString createSettings(Engine)
{
    return u"CREATE TABLE IF NOT EXISTS "_s + quoteIdentifier(settingsTable()) +
           u" (\"Chiave\" TEXT PRIMARY KEY, \"Valore\" TEXT)"_s;
}

// The card's text and ETag are text, as the server sends them (UTF-8 in its XML); the fields as they
// were are packed and written in Base64, so that a server book holds them in a text column too.
QString createCards(Engine engine)
{
    return u"CREATE TABLE IF NOT EXISTS "_s + quoteIdentifier(cardsTable()) + u" (\"ID\" "_s +
           (engine == Engine::Sqlite ? u"INTEGER"_s : u"bigint"_s) +
           u" PRIMARY KEY, \"Href\" TEXT NOT NULL UNIQUE, \"ETag\" TEXT, \"Testo\" TEXT, \"Base\" TEXT)"_s;
}

Result<bool> exists(sql::Database& db, const QString& name)
{
    sql::Statement query(db,
                         db.engine() == Engine::Sqlite
                             ? u"SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?"_s
                             : u"SELECT count(to_regclass(?))"_s,
                         reading);
    query.bind(Value::fromEditedText(db.engine() == Engine::Sqlite ? name : quoteIdentifier(name)));
    auto row = query.next();
    if (!row)
        return row.error();
    return row.value() && query.integer(0) > 0;
}

QString contactColumns()
{
    QStringList columns;
    for (const QString& field : contacts::fields().mid(1))
        columns.append(quoteIdentifier(field));
    return columns.join(u", "_s);
}

// Same values in the eleven fields; the ID is the row's.
bool sameFields(const Contact& a, const Contact& b)
{
    for (int i = 1; i < fieldCount; ++i)
        if (a.at(i) != b.at(i))
            return false;
    return true;
}

} // namespace

QString settingsTable()
{
    return u"VinzalSincro"_s;
}

QString cardsTable()
{
    return u"VinzalSchede"_s;
}

Status makeTables(sql::Database& db)
{
    const QList<std::pair<QString, QString>> tables{{settingsTable(), createSettings(db.engine())},
                                                    {cardsTable(), createCards(db.engine())}};
    for (const auto& [name, create] : tables) {
        // Asked first: even CREATE TABLE IF NOT EXISTS needs the right to create.
        auto found = exists(db, name);
        if (!found)
            return found.error();
        if (found.value())
            continue;
        if (Status made = db.exec(create, making); !made)
            return made;
    }
    return {};
}

Status emptyTables(sql::Database& db)
{
    for (const QString& table : {settingsTable(), cardsTable()})
        if (Status emptied = db.exec(u"DELETE FROM "_s + quoteIdentifier(table), writing); !emptied)
            return emptied;
    return {};
}

Status ensureTables(Connection& connection)
{
    if (Status ready = connection.ready(); !ready)
        return ready;
    sql::Transaction transaction(connection.db(), making, sql::Transaction::Kind::Write);
    if (!transaction.begun())
        return transaction.begun();
    if (Status made = makeTables(connection.db()); !made)
        return made;
    return transaction.commit();
}

Result<Settings> readSettings(Connection& connection)
{
    Settings settings;
    if (Status ready = connection.ready(); !ready)
        return ready.error();
    auto found = exists(connection.db(), settingsTable());
    if (!found)
        return found.error();
    if (!found.value())
        return settings;
    sql::Statement query(connection.db(),
                         u"SELECT \"Chiave\", \"Valore\" FROM "_s + quoteIdentifier(settingsTable()),
                         reading);
    for (;;) {
        auto row = query.next();
        if (!row)
            return row.error();
        if (!row.value())
            return settings;
        settings.values.insert(query.value(0).toText(), query.value(1).toText());
    }
}

Result<QHash<qint64, Card>> readCards(Connection& connection)
{
    QHash<qint64, Card> cards;
    if (Status ready = connection.ready(); !ready)
        return ready.error();
    auto found = exists(connection.db(), cardsTable());
    if (!found)
        return found.error();
    if (!found.value())
        return cards;
    sql::Statement query(connection.db(),
                         u"SELECT \"ID\", \"Href\", \"ETag\", \"Testo\", \"Base\" FROM "_s +
                             quoteIdentifier(cardsTable()),
                         reading);
    for (;;) {
        auto row = query.next();
        if (!row)
            return row.error();
        if (!row.value())
            return cards;
        Card card;
        card.id = query.integer(0);
        card.href = query.value(1).toText();
        card.etag = query.value(2).bytes();
        card.text = query.value(3).bytes();
        card.base = unpackFields(QByteArray::fromBase64(query.value(4).bytes()));
        card.base[Field::Id] = Value::integer(card.id);
        cards.insert(card.id, card);
    }
}

Batch::Batch(Connection& connection) : m_connection(connection)
{
    m_begun = connection.ready();
    if (!m_begun)
        return;
    m_transaction.emplace(connection.db(), writing, sql::Transaction::Kind::Write);
    m_begun = m_transaction->begun();
}

Batch::~Batch() = default;

const Status& Batch::begun() const
{
    return m_begun;
}

namespace {

// The contact `id` as stored now, locked against other writers to the transaction's end.
Result<std::optional<Contact>> readLocked(sql::Database& db, qint64 id)
{
    sql::Statement query(db,
                         u"SELECT "_s + contactColumns() + u" FROM "_s +
                             quoteIdentifier(contacts::tableName()) + u" WHERE "_s +
                             dialect::rowid(db.engine()) + u" = ?"_s +
                             (db.engine() == Engine::Postgres ? u" FOR UPDATE"_s : QString()),
                         writing);
    query.bind(id);
    auto row = query.next();
    if (!row)
        return row.error();
    if (!row.value())
        return std::optional<Contact>();
    Contact contact;
    contact[Field::Id] = Value::integer(id);
    for (int i = 1; i < fieldCount; ++i)
        contact.at(i) = query.value(i - 1);
    return std::optional<Contact>(contact);
}

} // namespace

Result<bool> Batch::updateContact(qint64 id, const Contact& before, const Contact& now)
{
    auto stored = readLocked(m_connection.db(), id);
    if (!stored)
        return stored.error();
    if (!stored.value() || !sameFields(*stored.value(), before))
        return false;
    QStringList sets;
    for (const QString& field : contacts::fields().mid(1))
        sets.append(quoteIdentifier(field) + u" = ?"_s);
    sql::Statement update(m_connection.db(),
                          u"UPDATE "_s + quoteIdentifier(contacts::tableName()) + u" SET "_s +
                              sets.join(u", "_s) + u" WHERE "_s + dialect::rowid(m_connection.engine()) +
                              u" = ?"_s,
                          writing);
    for (int i = 1; i < fieldCount; ++i)
        update.bind(now.at(i));
    update.bind(id);
    if (auto ran = update.run(); !ran)
        return ran.error();
    return true;
}

Result<qint64> Batch::insertContact(const Contact& contact)
{
    sql::Statement insert(m_connection.db(),
                          u"INSERT INTO "_s + quoteIdentifier(contacts::tableName()) + u" ("_s +
                              contactColumns() + u") VALUES ("_s +
                              QStringList(fieldCount - 1, u"?"_s).join(u", "_s) + u") RETURNING "_s +
                              dialect::rowid(m_connection.engine()),
                          writing);
    for (int i = 1; i < fieldCount; ++i)
        insert.bind(contact.at(i));
    auto row = insert.next();
    if (!row)
        return row.error();
    if (!row.value())
        return StoreError{StoreError::Kind::Engine, u"Il nuovo contatto non ha ricevuto un ID."_s, {}};
    return insert.integer(0);
}

Result<bool> Batch::deleteContact(qint64 id, const Contact& before)
{
    auto stored = readLocked(m_connection.db(), id);
    if (!stored)
        return stored.error();
    if (!stored.value())
        return true; // already gone
    if (!sameFields(*stored.value(), before))
        return false;
    sql::Statement remove(m_connection.db(),
                          u"DELETE FROM "_s + quoteIdentifier(contacts::tableName()) + u" WHERE "_s +
                              dialect::rowid(m_connection.engine()) + u" = ?"_s,
                          writing);
    remove.bind(id);
    if (auto ran = remove.run(); !ran)
        return ran.error();
    return true;
}

Status Batch::putCard(const Card& card)
{
    if (Status gone = forgetCard(card.id); !gone)
        return gone;
    sql::Statement insert(m_connection.db(),
                          u"INSERT INTO "_s + quoteIdentifier(cardsTable()) +
                              u" (\"ID\", \"Href\", \"ETag\", \"Testo\", \"Base\") VALUES (?, ?, ?, ?, ?)"_s,
                          writing);
    insert.bind(card.id)
        .bind(Value::fromEditedText(card.href))
        .bind(Value::text(card.etag))
        .bind(Value::text(card.text))
        .bind(Value::text(packFields(card.base).toBase64()));
    if (auto ran = insert.run(); !ran)
        return ran.error();
    return {};
}

Status Batch::forgetCard(qint64 id)
{
    sql::Statement remove(m_connection.db(),
                          u"DELETE FROM "_s + quoteIdentifier(cardsTable()) + u" WHERE \"ID\" = ?"_s,
                          writing);
    remove.bind(id);
    if (auto ran = remove.run(); !ran)
        return ran.error();
    return {};
}

Status Batch::setSetting(const char* name, const QString& value)
{
    const Value keyValue = Value::fromEditedText(QString::fromLatin1(name));
    sql::Statement remove(m_connection.db(),
                          u"DELETE FROM "_s + quoteIdentifier(settingsTable()) + u" WHERE \"Chiave\" = ?"_s,
                          writing);
    remove.bind(keyValue);
    if (auto ran = remove.run(); !ran)
        return ran.error();
    sql::Statement insert(m_connection.db(),
                          u"INSERT INTO "_s + quoteIdentifier(settingsTable()) +
                              u" (\"Chiave\", \"Valore\") VALUES (?, ?)"_s,
                          writing);
    insert.bind(keyValue).bind(Value::fromEditedText(value));
    if (auto ran = insert.run(); !ran)
        return ran.error();
    return {};
}

Status Batch::commit()
{
    if (!m_begun)
        return m_begun;
    return m_transaction->commit();
}

QByteArray packFields(const Contact& contact)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_4);
    for (int i = 1; i < fieldCount; ++i) {
        const Value& value = contact.at(i);
        out << quint8(value.kind()) << value.bytes();
    }
    return bytes;
}

Contact unpackFields(const QByteArray& bytes)
{
    Contact contact;
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_6_4);
    for (int i = 1; i < fieldCount && !in.atEnd(); ++i) {
        quint8 kind = 0;
        QByteArray stored;
        in >> kind >> stored;
        switch (Value::Kind(kind)) {
        case Value::Kind::Null:
            break;
        case Value::Kind::Integer:
            contact.at(i) = Value::integer(stored.toLongLong());
            break;
        case Value::Kind::Real:
            contact.at(i) = Value::real(stored.toDouble(), stored);
            break;
        case Value::Kind::Text:
            contact.at(i) = Value::text(stored);
            break;
        case Value::Kind::Blob:
            contact.at(i) = Value::blob(stored);
            break;
        }
    }
    return contact;
}

} // namespace vinzal::syncstate
