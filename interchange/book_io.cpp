#include "book_io.h"

#include "connection.h"
#include "contact_table.h"
#include "safe_file.h"
#include "schema.h"

#include <QCoreApplication>
#include <QFileInfo>
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

StoreError interrupted()
{
    return StoreError{StoreError::Kind::Engine, u"La scrittura è stata interrotta."_s, {}};
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
        if (safefile::InterruptionsDeferred::requested())
            return interrupted();
        for (int i = keepIds ? 0 : 1; i < contacts::fields().size(); ++i)
            insert.addBindValue(record.value(i));
        if (!insert.exec())
            return StoreError::fromSql(insert.lastError(), u"scrivere la rubrica"_s);
    }
    return {};
}

// The positions of the records that are already in the book. The records go into a temporary table
// (in memory or SQLite's temporary folder, never the book) indexed on all eleven fields, and the book
// is read once, each contact looked up in that index: one pass over the book however many rows are
// imported, and no dependence on the book's own indexes. `IS` compares NULL with NULL; the temporary
// columns have no collation, so the comparison is exact (the book's columns are NOCASE).
Result<QSet<qsizetype>> findDuplicates(QSqlDatabase& db, const QList<QList<QVariant>>& records)
{
    QSet<qsizetype> found;
    if (records.isEmpty())
        return found;
    const int count = int(contacts::fields().size());
    QStringList columns, marks{u"?"_s}, matches;
    for (int i = 1; i < count; ++i) {
        columns.append(u"f%1"_s.arg(i));
        marks.append(u"?"_s);
        matches.append(u"t.f%1 IS n."_s.arg(i) + quoteIdentifier(contacts::fields().at(i)));
    }
    const auto failed = [](const QSqlQuery& query) {
        return StoreError::fromSql(query.lastError(), u"confrontare i contatti con quelli della rubrica"_s);
    };
    QSqlQuery query(db);
    if (!query.exec(u"DROP TABLE IF EXISTS temp.vinzal_import"_s) ||
        !query.exec(u"CREATE TEMP TABLE vinzal_import(position, "_s + columns.join(u", "_s) + u")"_s))
        return failed(query);
    if (!query.prepare(u"INSERT INTO temp.vinzal_import VALUES ("_s + marks.join(u", "_s) + u")"_s))
        return failed(query);
    for (qsizetype r = 0; r < records.size(); ++r) {
        if (safefile::InterruptionsDeferred::requested())
            return interrupted();
        query.addBindValue(qint64(r));
        for (int i = 1; i < count; ++i)
            query.addBindValue(records.at(r).value(i));
        if (!query.exec())
            return failed(query);
    }
    query.finish();
    if (!query.exec(u"CREATE INDEX temp.vinzal_import_fields ON vinzal_import("_s + columns.join(u", "_s) +
                    u")"_s))
        return failed(query);
    query.setForwardOnly(true);
    if (!query.exec(u"SELECT DISTINCT t.position FROM "_s + quoteIdentifier(contacts::tableName()) +
                    u" AS n JOIN temp.vinzal_import AS t ON "_s + matches.join(u" AND "_s)))
        return failed(query);
    while (query.next())
        found.insert(qsizetype(query.value(0).toLongLong()));
    if (query.lastError().isValid())
        return failed(query);
    query.finish();
    query.exec(u"DROP TABLE temp.vinzal_import"_s);
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
    // The book is changed in place: an interruption (Ctrl+C, kill) rolls the transaction back before
    // the program ends, so the book stays as it was, with no journal left beside it.
    const safefile::InterruptionsDeferred deferred;
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
