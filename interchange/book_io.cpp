#include "book_io.h"

#include "connection.h"
#include "contact_table.h"
#include "safe_file.h"
#include "schema.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>

using namespace Qt::StringLiterals;

namespace vinzal::book {

namespace {

QString columnList(bool withId)
{
    QStringList columns;
    for (const QString& field : contacts::fields())
        if (withId || field != contacts::idField())
            columns.append(quoteIdentifier(field));
    return columns.join(u", "_s);
}

Status insertAll(QSqlDatabase& db, const QList<QList<QVariant>>& records, bool keepIds)
{
    const int count = int(contacts::fields().size()) - (keepIds ? 0 : 1);
    QStringList marks;
    for (int i = 0; i < count; ++i)
        marks.append(u"?"_s);
    QSqlQuery insert(db);
    if (!insert.prepare(u"INSERT INTO "_s + quoteIdentifier(contacts::tableName()) + u" ("_s +
                        columnList(keepIds) + u") VALUES ("_s + marks.join(u", "_s) + u")"_s))
        return StoreError::fromSql(insert.lastError(), u"scrivere la rubrica"_s);
    for (const QList<QVariant>& record : records) {
        for (int i = keepIds ? 0 : 1; i < contacts::fields().size(); ++i)
            insert.addBindValue(record.value(i));
        if (!insert.exec())
            return StoreError::fromSql(insert.lastError(), u"scrivere la rubrica"_s);
    }
    return {};
}

// The eleven fields of a record, NULL kept apart from the empty text, as one key.
QByteArray fieldsKey(const QList<QVariant>& record)
{
    QByteArray key;
    for (qsizetype i = 1; i < contacts::fields().size(); ++i) {
        const QVariant& value = record.value(i);
        if (value.isNull()) {
            key.append('N');
            continue;
        }
        const QString text = value.toString();
        key.append('T').append(QByteArray::number(text.size())).append(':');
        key.append(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    }
    return key;
}

bool sameFields(const QList<QVariant>& a, const QList<QVariant>& b)
{
    for (qsizetype i = 1; i < contacts::fields().size(); ++i) {
        const QVariant &x = a.value(i), &y = b.value(i);
        if (x.isNull() != y.isNull() || (!x.isNull() && x.toString() != y.toString()))
            return false;
    }
    return true;
}

// The positions of the records that are already in the book. The book is read once; only a hash of
// each contact is kept (a million contacts take some 30 MB), and a match is confirmed against the row.
Result<QSet<qsizetype>> findDuplicates(QSqlDatabase& db, const QList<QList<QVariant>>& records)
{
    QMultiHash<size_t, qsizetype> wanted;
    for (qsizetype i = 0; i < records.size(); ++i)
        wanted.insert(qHash(fieldsKey(records.at(i))), i);
    QSet<qsizetype> found;
    if (wanted.isEmpty())
        return found;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(u"SELECT "_s + columnList(true) + u" FROM "_s + quoteIdentifier(contacts::tableName())))
        return StoreError::fromSql(query.lastError(), u"leggere la rubrica"_s);
    const int count = int(contacts::fields().size());
    QList<QVariant> row(count);
    while (query.next()) {
        for (int i = 0; i < count; ++i)
            row[i] = query.value(i);
        const auto [first, last] = wanted.equal_range(qHash(fieldsKey(row)));
        for (auto it = first; it != last; ++it)
            if (sameFields(row, records.at(it.value())))
                found.insert(it.value());
    }
    if (query.lastError().isValid())
        return StoreError::fromSql(query.lastError(), u"leggere la rubrica"_s);
    return found;
}

StoreError failure(const QString& message)
{
    return StoreError{StoreError::Kind::Engine, message, {}};
}

} // namespace

Result<QList<QList<QVariant>>> readAll(const QString& path)
{
    auto connection = Connection::open(path);
    if (!connection)
        return connection.error();
    QSqlQuery query(connection.value()->database());
    query.setForwardOnly(true);
    if (!query.exec(u"SELECT "_s + columnList(true) + u" FROM "_s + quoteIdentifier(contacts::tableName()) +
                    u" ORDER BY rowid"_s))
        return StoreError::fromSql(query.lastError(), u"leggere la rubrica"_s);
    QList<QList<QVariant>> records;
    const int count = int(contacts::fields().size());
    while (query.next()) {
        QList<QVariant> record;
        record.reserve(count);
        for (int i = 0; i < count; ++i)
            record.append(query.value(i));
        records.append(record);
    }
    if (query.lastError().isValid())
        return StoreError::fromSql(query.lastError(), u"leggere la rubrica"_s);
    return records;
}

QStringList checkIds(QList<QList<QVariant>>& records, const std::function<QString(qsizetype)>& where)
{
    static const QRegularExpression digits(u"^\\s*\\+?([0-9]+)\\s*$"_s);
    QStringList problems;
    for (qsizetype i = 0; i < records.size(); ++i) {
        if (records[i].isEmpty())
            continue;
        QVariant& id = records[i][0];
        if (id.isNull())
            continue;
        bool ok = false;
        qint64 value = 0;
        if (id.typeId() == QMetaType::QString || id.typeId() == QMetaType::QByteArray) {
            const QString text = id.toString();
            if (text.trimmed().isEmpty()) {
                id = QVariant(); // an empty ID cell: a new ID is given
                continue;
            }
            const QRegularExpressionMatch match = digits.match(text);
            // More than ten digits is out of range whatever they say; toLongLong would overflow.
            if (match.hasMatch()) {
                const QString number = match.captured(1);
                ok = true;
                value = number.size() > 10 ? maxId + 1 : number.toLongLong();
            }
            if (!ok) {
                problems.append(where(i) + u": l'ID «"_s + text + u"» non è un numero intero"_s);
                continue;
            }
        } else {
            value = id.toLongLong(&ok);
            if (!ok) {
                problems.append(where(i) + u": l'ID «"_s + id.toString() + u"» non è un numero intero"_s);
                continue;
            }
        }
        if (value < 1 || value > maxId) {
            problems.append(where(i) + u": l'ID "_s + id.toString().trimmed() +
                            u" è fuori dall'intervallo ammesso, da 1 a 2147483647"_s);
            continue;
        }
        id = QVariant(value);
    }
    return problems;
}

Status build(safefile::PendingFile& file, const std::function<Status(QSqlDatabase&)>& fill)
{
    // schema::create builds the book under its own temporary name beside ours and renames it over ours.
    const QString building = file.tempPath() + u".part-%1"_s.arg(QCoreApplication::applicationPid());
    file.alsoRemove(building);
    file.alsoRemove(building + u"-journal"_s);
    return schema::create(file.tempPath(), true, fill);
}

Status buildFrom(safefile::PendingFile& file, const QList<QList<QVariant>>& records)
{
    // The IDs are kept unless some are missing or repeated.
    QSet<qint64> ids;
    bool keepIds = true;
    for (const QList<QVariant>& record : records) {
        bool number = false;
        const qint64 id = record.value(0).toLongLong(&number);
        keepIds = keepIds && number && id > 0 && id <= maxId && !ids.contains(id);
        ids.insert(id);
    }
    return build(file, [&](QSqlDatabase& db) { return insertAll(db, records, keepIds); });
}

Status create(const QString& target, const QList<QList<QVariant>>& records, bool force,
              const QStringList& inputs)
{
    auto pending = safefile::PendingFile::begin(target, force, inputs);
    if (!pending)
        return pending.error();
    if (Status built = buildFrom(*pending.value(), records); !built)
        return built;
    return pending.value()->commit();
}

Result<Appended> append(const QString& path, const QList<QList<QVariant>>& records, bool keepDuplicates)
{
    auto connection = Connection::open(path);
    if (!connection)
        return connection.error();
    QSqlDatabase db = connection.value()->database();
    QSqlQuery query(db);
    // IMMEDIATE: nobody else writes between looking for duplicates and adding the rows.
    if (!query.exec(u"BEGIN IMMEDIATE"_s))
        return StoreError::fromSql(query.lastError(), u"scrivere la rubrica"_s);
    const auto rollback = [&](StoreError error) {
        QSqlQuery(db).exec(u"ROLLBACK"_s);
        return error;
    };
    Appended result;
    QList<QList<QVariant>> kept;
    if (keepDuplicates) {
        kept = records;
    } else {
        auto duplicates = findDuplicates(db, records);
        if (!duplicates)
            return rollback(duplicates.error());
        for (qsizetype i = 0; i < records.size(); ++i)
            if (!duplicates.value().contains(i))
                kept.append(records.at(i));
        result.skipped = duplicates.value().size();
    }
    if (Status inserted = insertAll(db, kept, false); !inserted)
        return rollback(inserted.error());
    if (!query.exec(u"SELECT max(rowid) FROM "_s + quoteIdentifier(contacts::tableName())) || !query.next())
        return rollback(StoreError::fromSql(query.lastError(), u"scrivere la rubrica"_s));
    if (query.value(0).toLongLong() > maxId)
        return rollback(failure(u"La rubrica «"_s + path +
                                u"» non ha abbastanza ID liberi (l'ultimo ammesso è 2147483647): non è "
                                u"stato aggiunto nessun contatto."_s));
    query.finish();
    if (!query.exec(u"COMMIT"_s))
        return rollback(StoreError::fromSql(query.lastError(), u"scrivere la rubrica"_s));
    result.added = kept.size();
    return result;
}

} // namespace vinzal::book
