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

// An error of `db`, worded for its engine.
StoreError sqlError(const QSqlDatabase& db, const QSqlError& error, const QString& what)
{
    return db.driverName() == u"QPSQL"_s ? StoreError::fromServer(error, what)
                                         : StoreError::fromSql(error, what);
}

StoreError failure(const QString& message)
{
    return StoreError{StoreError::Kind::Engine, message, {}};
}

StoreError interrupted()
{
    return StoreError{StoreError::Kind::Engine, u"La scrittura è stata interrotta."_s, {}};
}

Engine engineOf(const QSqlDatabase& db)
{
    return db.driverName() == u"QPSQL"_s ? Engine::Postgres : Engine::Sqlite;
}

// "(?, ?, …)" for the values of `record` from `from` on; a text that SQLite would take for one
// beginning with a byte-order mark gets the placeholder engine.h gives it.
QString placeholders(Engine engine, const QList<QVariant>& record, int from)
{
    QStringList marks;
    for (int i = from; i < int(contacts::fields().size()); ++i)
        marks.append(dialect::textPlaceholder(engine, record.value(i)));
    return u"("_s + marks.join(u", "_s) + u")"_s;
}

Status insertAll(QSqlDatabase& db, const QList<QList<QVariant>>& records, bool keepIds)
{
    const Engine engine = engineOf(db);
    const int first = keepIds ? 0 : 1;
    const int count = int(contacts::fields().size()) - first;
    // A server answers each statement over the network: rows go a batch per statement there, while
    // SQLite, in the same process, takes them one by one at no cost.
    const qsizetype batch = engine == Engine::Postgres ? 200 : 1;
    const QString marks = u"("_s + QStringList(count, u"?"_s).join(u", "_s) + u")"_s;
    const auto statement = [&](qsizetype rows, const QString& rowMarks) {
        return u"INSERT INTO "_s + quoteIdentifier(contacts::tableName()) + u" ("_s + columnList(keepIds) +
               u") VALUES "_s + QStringList(rows, rowMarks).join(u", "_s);
    };
    if (batch > 1)
        for (const QList<QVariant>& record : records)
            for (int i = 1; i < record.size(); ++i)
                if (record.at(i).toString().contains(QChar(0)))
                    return failure(
                        u"Il contatto con ID %1 contiene nel campo «%2» il carattere nullo, che "
                        u"una rubrica sul server non può conservare: non è stato scritto nulla."_s.arg(
                            record.value(0).toString(), contacts::fields().value(i)));
    QSqlQuery insert(db);
    if (!insert.prepare(statement(batch, marks)))
        return sqlError(db, insert.lastError(), u"scrivere la rubrica"_s);
    for (qsizetype at = 0; at < records.size(); at += batch) {
        if (safefile::InterruptionsDeferred::requested())
            return interrupted();
        const qsizetype rows = std::min(batch, records.size() - at);
        if (rows < batch && !insert.prepare(statement(rows, marks)))
            return sqlError(db, insert.lastError(), u"scrivere la rubrica"_s);
        // On a file (one row a statement), a row with a text that needs it gets a statement of its own.
        QSqlQuery own(db);
        QSqlQuery* run = &insert;
        if (batch == 1)
            if (const QString rowMarks = placeholders(engine, records.at(at), first); rowMarks != marks) {
                if (!own.prepare(statement(1, rowMarks)))
                    return sqlError(db, own.lastError(), u"scrivere la rubrica"_s);
                run = &own;
            }
        for (qsizetype r = at; r < at + rows; ++r)
            for (int i = first; i < contacts::fields().size(); ++i)
                run->addBindValue(dialect::textValue(engine, records.at(r).value(i)));
        if (!run->exec())
            return sqlError(db, run->lastError(), u"scrivere la rubrica"_s);
    }
    return {};
}

// The positions of the records whose eleven fields equal a contact's on a server. INTERSECT compares
// NULL with NULL as equal and text byte by byte, and the server answers it with one hash over the
// book; only the few tuples found come back, to be matched here.
Result<QSet<qsizetype>> findDuplicatesOnServer(QSqlDatabase& db, const QList<QList<QVariant>>& records)
{
    QSet<qsizetype> found;
    if (records.isEmpty())
        return found;
    const int count = int(contacts::fields().size());
    QStringList columns;
    for (int i = 1; i < count; ++i)
        columns.append(u"f%1 text"_s.arg(i));
    QSqlQuery query(db);
    const auto failed = [&] {
        return sqlError(db, query.lastError(), u"confrontare i contatti con quelli della rubrica"_s);
    };
    if (!query.exec(u"CREATE TEMP TABLE vinzal_import ("_s + columns.join(u", "_s) + u") ON COMMIT DROP"_s))
        return failed();
    const QString insert =
        u"INSERT INTO vinzal_import VALUES ("_s + QStringList(count - 1, u"?"_s).join(u", "_s) + u")"_s;
    if (!query.prepare(insert))
        return failed();
    for (const QList<QVariant>& record : records) {
        if (safefile::InterruptionsDeferred::requested())
            return interrupted();
        for (int i = 1; i < count; ++i)
            query.addBindValue(record.value(i).isNull() ? QVariant(QMetaType::fromType<QString>())
                                                        : QVariant(record.value(i).toString()));
        if (!query.exec())
            return failed();
    }
    const auto tupleOf = [count](const auto& value) {
        QString tuple;
        for (int i = 1; i < count; ++i) {
            const QVariant field = value(i);
            tuple += field.isNull() ? u"\x01"_s : u"\x02"_s + field.toString();
            tuple += u'\0';
        }
        return tuple;
    };
    query.setForwardOnly(true);
    if (!query.exec(u"SELECT * FROM vinzal_import INTERSECT SELECT "_s + columnList(false) + u" FROM "_s +
                    quoteIdentifier(contacts::tableName())))
        return failed();
    QSet<QString> present;
    while (query.next())
        present.insert(tupleOf([&](int i) { return query.value(i - 1); }));
    if (query.lastError().isValid())
        return failed();
    query.finish();
    for (qsizetype r = 0; r < records.size(); ++r)
        if (present.contains(tupleOf([&](int i) { return records.at(r).value(i); })))
            found.insert(r);
    return found;
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
    const QString insert = u"INSERT INTO temp.vinzal_import VALUES "_s;
    const QString plain = u"("_s + marks.join(u", "_s) + u")"_s;
    if (!query.prepare(insert + plain))
        return failed(query);
    for (qsizetype r = 0; r < records.size(); ++r) {
        if (safefile::InterruptionsDeferred::requested())
            return interrupted();
        // Compared as they will be stored: a text beginning with a byte-order mark by its bytes.
        QSqlQuery own(db);
        QSqlQuery* run = &query;
        if (const QString rowMarks = placeholders(Engine::Sqlite, records.at(r), 0); rowMarks != plain) {
            if (!own.prepare(insert + rowMarks))
                return failed(own);
            run = &own;
        }
        run->addBindValue(qint64(r));
        for (int i = 1; i < count; ++i)
            run->addBindValue(dialect::textValue(Engine::Sqlite, records.at(r).value(i)));
        if (!run->exec())
            return failed(*run);
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

} // namespace

Result<QList<QList<QVariant>>> readAll(const QString& path, RawTexts* raw)
{
    auto connection = Connection::open(path);
    if (!connection)
        return connection.error();
    Connection& opened = *connection.value();
    const int count = int(contacts::fields().size());
    // SQLite hands text out as it was written, UTF-8 or not; its bytes come along in the same pass.
    // Only in a file that stores its text as UTF-8: one made in UTF-16 by another program holds other
    // bytes for the same text, which would be nonsense written back as UTF-8.
    bool withBytes = raw && opened.engine() == Engine::Sqlite;
    if (withBytes) {
        QSqlQuery encoding(opened.database());
        if (!encoding.exec(u"PRAGMA encoding"_s) || !encoding.next())
            return opened.error(encoding.lastError(), u"leggere la rubrica"_s);
        withBytes = encoding.value(0).toString() == u"UTF-8"_s;
    }
    QString columns = columnList(true);
    if (withBytes)
        for (const QString& field : contacts::fields())
            columns += u", CAST("_s + quoteIdentifier(field) + u" AS BLOB)"_s;
    QSqlQuery query(opened.database());
    query.setForwardOnly(true);
    if (!query.exec(u"SELECT "_s + columns + u" FROM "_s + quoteIdentifier(contacts::tableName()) +
                    u" ORDER BY "_s + dialect::rowid(opened.engine())))
        return opened.error(query.lastError(), u"leggere la rubrica"_s);
    QList<QList<QVariant>> records;
    while (query.next()) {
        QList<QVariant> record;
        record.reserve(count);
        for (int i = 0; i < count; ++i) {
            record.append(query.value(i));
            if (!withBytes || record.last().typeId() != QMetaType::QString || record.last().isNull())
                continue;
            const QByteArray bytes = query.value(count + i).toByteArray();
            if (record.last().toString().toUtf8() != bytes)
                raw->insert({records.size(), i}, bytes);
        }
        records.append(record);
    }
    if (query.lastError().isValid())
        return opened.error(query.lastError(), u"leggere la rubrica"_s);
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

namespace {

// The IDs are kept unless some are missing or repeated.
bool idsCanBeKept(const QList<QList<QVariant>>& records)
{
    QSet<qint64> ids;
    for (const QList<QVariant>& record : records) {
        bool number = false;
        const qint64 id = record.value(0).toLongLong(&number);
        if (!number || id <= 0 || id > maxId || ids.contains(id))
            return false;
        ids.insert(id);
    }
    return true;
}

} // namespace

Status buildFrom(safefile::PendingFile& file, const QList<QList<QVariant>>& records)
{
    const bool keepIds = idsCanBeKept(records);
    return build(file, [&](QSqlDatabase& db) { return insertAll(db, records, keepIds); });
}

Status create(const QString& target, const QList<QList<QVariant>>& records, bool force,
              const QStringList& inputs)
{
    if (isServerBook(target))
        return schema::createOnServer(
            target, force, [&](QSqlDatabase& db) { return insertAll(db, records, idsCanBeKept(records)); });
    auto pending = safefile::PendingFile::begin(target, force, inputs);
    if (!pending)
        return pending.error();
    if (Status built = buildFrom(*pending.value(), records); !built)
        return built;
    return pending.value()->commit();
}

Status copy(const QList<QList<QVariant>>& records, const QString& target, bool force,
            const QStringList& inputs, const RawTexts& raw)
{
    if (!idsCanBeKept(records))
        return failure(u"Gli ID della rubrica da copiare non possono essere conservati tutti (ce ne sono "
                       u"di ripetuti o fuori dall'intervallo da 1 a 2147483647): non è stato copiato "
                       u"nulla."_s);
    if (raw.isEmpty() || isServerBook(target))
        return create(target, records, force, inputs);
    auto pending = safefile::PendingFile::begin(target, force, inputs);
    if (!pending)
        return pending.error();
    Status built = build(*pending.value(), [&](QSqlDatabase& db) -> Status {
        if (Status inserted = insertAll(db, records, true); !inserted)
            return inserted;
        // The text went in as read; the fields it would have changed get their own bytes back, as
        // text, which is what they were.
        for (auto it = raw.cbegin(); it != raw.cend(); ++it) {
            const auto [record, field] = it.key();
            QSqlQuery update(db);
            if (!update.prepare(u"UPDATE "_s + quoteIdentifier(contacts::tableName()) + u" SET "_s +
                                quoteIdentifier(contacts::fields().value(field)) +
                                u" = CAST(? AS TEXT) WHERE rowid = ?"_s))
                return sqlError(db, update.lastError(), u"scrivere la rubrica"_s);
            update.addBindValue(it.value());
            update.addBindValue(records.at(record).value(0));
            if (!update.exec())
                return sqlError(db, update.lastError(), u"scrivere la rubrica"_s);
        }
        return {};
    });
    if (!built)
        return built;
    return pending.value()->commit();
}

Result<Appended> append(const QString& path, const QList<QList<QVariant>>& records, bool keepDuplicates)
{
    auto connection = Connection::open(path);
    if (!connection)
        return connection.error();
    QSqlDatabase db = connection.value()->database();
    const Engine engine = connection.value()->engine();
    const QString table = quoteIdentifier(contacts::tableName());
    // The book is changed in place: an interruption (Ctrl+C, kill) rolls the transaction back before
    // the program ends, so the book stays as it was, with no journal left beside it.
    const safefile::InterruptionsDeferred deferred;
    QSqlQuery query(db);
    // Nobody else writes between looking for duplicates and adding the rows (readers go on).
    if (!query.exec(engine == Engine::Sqlite ? u"BEGIN IMMEDIATE"_s : u"BEGIN"_s) ||
        (engine == Engine::Postgres && !query.exec(u"LOCK TABLE "_s + table + u" IN EXCLUSIVE MODE"_s)))
        return sqlError(db, query.lastError(), u"scrivere la rubrica"_s);
    const auto rollback = [&](StoreError error) {
        QSqlQuery(db).exec(u"ROLLBACK"_s);
        return error;
    };
    Appended result;
    QList<QList<QVariant>> kept;
    if (keepDuplicates) {
        kept = records;
    } else {
        auto duplicates =
            engine == Engine::Sqlite ? findDuplicates(db, records) : findDuplicatesOnServer(db, records);
        if (!duplicates)
            return rollback(duplicates.error());
        for (qsizetype i = 0; i < records.size(); ++i)
            if (!duplicates.value().contains(i))
                kept.append(records.at(i));
        result.skipped = duplicates.value().size();
    }
    if (Status inserted = insertAll(db, kept, false); !inserted)
        return rollback(inserted.error());
    if (!query.exec(u"SELECT max("_s + dialect::rowid(engine) + u") FROM "_s + table) || !query.next())
        return rollback(sqlError(db, query.lastError(), u"scrivere la rubrica"_s));
    if (query.value(0).toLongLong() > maxId)
        return rollback(failure(u"La rubrica «"_s + shownBook(path) +
                                u"» non ha abbastanza ID liberi (l'ultimo ammesso è 2147483647): non è "
                                u"stato aggiunto nessun contatto."_s));
    query.finish();
    if (!query.exec(u"COMMIT"_s))
        return rollback(sqlError(db, query.lastError(), u"scrivere la rubrica"_s));
    result.added = kept.size();
    return result;
}

} // namespace vinzal::book
