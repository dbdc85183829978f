#include "contact_rows.h"

#include "contact_table.h"
#include "schema.h"

#include <limits>
#include <optional>

using namespace Qt::StringLiterals;

namespace vinzal::contacts {

namespace {

const QString comparing = u"confrontare i contatti con quelli della rubrica"_s;

QString columnList(bool withId)
{
    QStringList columns;
    for (const QString& field : contacts::fields())
        if (withId || field != contacts::idField())
            columns.append(quoteIdentifier(field));
    return columns.join(u", "_s);
}

QString table()
{
    return quoteIdentifier(tableName());
}

// The positions of the records whose eleven fields equal a contact's on a server. INTERSECT compares
// NULL with NULL as equal and text byte by byte, and the server answers it with one hash over the
// book; only the few tuples found come back, to be matched here. The records go as one array per
// field, so that importing needs no right beyond reading and writing the table (no temporary table).
Result<QSet<qsizetype>> findOnServer(sql::Database& db, const Contacts& records, qint64 upTo)
{
    QSet<qsizetype> found;
    if (records.isEmpty())
        return found;
    QList<QByteArray> arrays(fieldCount);
    for (int i = 1; i < fieldCount; ++i) {
        QByteArray& array = arrays[i];
        array = "{";
        for (qsizetype r = 0; r < records.size(); ++r) {
            if (r > 0)
                array += ',';
            const Value& value = records.at(r).at(i);
            if (value.isNull()) {
                array += "NULL";
                continue;
            }
            QByteArray bytes = value.bytes();
            bytes.replace('\\', "\\\\").replace('"', "\\\"");
            array += '"' + bytes + '"';
        }
        array += '}';
    }
    QStringList unnest, names;
    for (int i = 1; i < fieldCount; ++i) {
        unnest.append(u"?::text[]"_s);
        names.append(u"f%1"_s.arg(i));
    }
    sql::Statement query(db,
                         u"SELECT * FROM unnest("_s + unnest.join(u", "_s) + u") AS t("_s +
                             names.join(u", "_s) + u") INTERSECT SELECT "_s + columnList(false) +
                             u" FROM "_s + table() + u" WHERE "_s + quoteIdentifier(idField()) + u" <= ?"_s,
                         comparing);
    for (int i = 1; i < fieldCount; ++i)
        query.bind(Value::text(arrays.at(i)));
    query.bind(upTo);
    const auto tupleOf = [](const auto& value) {
        QByteArray tuple;
        for (int i = 1; i < fieldCount; ++i) {
            const Value field = value(i);
            tuple += field.isNull() ? QByteArray("\x01") : "\x02" + field.bytes();
            tuple += '\0';
        }
        return tuple;
    };
    QSet<QByteArray> present;
    for (;;) {
        auto row = query.next();
        if (!row)
            return row.error();
        if (!row.value())
            break;
        present.insert(tupleOf([&](int i) { return query.value(i - 1); }));
    }
    for (qsizetype r = 0; r < records.size(); ++r)
        if (present.contains(tupleOf([&](int i) { return records.at(r).at(i); })))
            found.insert(r);
    return found;
}

// The positions of the records that are already in the book. The records go into a temporary table
// (in memory or SQLite's temporary folder, never the book) indexed on all eleven fields, and the book
// is read once, each contact looked up in that index: one pass over the book however many rows are
// imported, and no dependence on the book's own indexes. `IS` compares NULL with NULL; the temporary
// columns have no collation, so the comparison is exact (the book's columns are NOCASE).
// With `copied`, the book's contacts are those of temp.vinzal_existing (Existing below), each
// record looked up in its index; otherwise the book itself is read once.
Result<QSet<qsizetype>> findInFile(sql::Database& db, const Contacts& records, qint64 upTo,
                                   const Between& between, bool copied = false)
{
    QSet<qsizetype> found;
    if (records.isEmpty())
        return found;
    QStringList columns, marks{u"?"_s}, matches;
    for (int i = 1; i < fieldCount; ++i) {
        columns.append(u"f%1"_s.arg(i));
        marks.append(u"?"_s);
        matches.append(u"t.f%1 IS n."_s.arg(i) + quoteIdentifier(contacts::fields().at(i)));
    }
    if (Status made =
            db.exec(u"DROP TABLE IF EXISTS temp.vinzal_import; CREATE TEMP TABLE vinzal_import(position, "_s +
                        columns.join(u", "_s) + u")"_s,
                    comparing);
        !made)
        return made.error();
    {
        sql::Statement insert(db, u"INSERT INTO temp.vinzal_import VALUES ("_s + marks.join(u", "_s) + u")"_s,
                              comparing);
        for (qsizetype r = 0; r < records.size(); ++r) {
            if (between)
                if (Status go = between(); !go)
                    return go.error();
            insert.reset();
            insert.bind(qint64(r));
            for (int i = 1; i < fieldCount; ++i)
                insert.bind(records.at(r).at(i));
            if (auto done = insert.run(); !done)
                return done.error();
        }
    }
    if (Status indexed = db.exec(u"CREATE INDEX temp.vinzal_import_fields ON vinzal_import("_s +
                                     columns.join(u", "_s) + u")"_s,
                                 comparing);
        !indexed)
        return indexed.error();
    {
        sql::Statement query(
            db,
            copied
                ? u"SELECT DISTINCT t.position FROM temp.vinzal_import AS t CROSS JOIN temp.vinzal_existing "
                  u"AS n ON "_s +
                      matches.join(u" AND "_s)
                : u"SELECT DISTINCT t.position FROM "_s + table() +
                      u" AS n JOIN temp.vinzal_import AS t ON "_s + matches.join(u" AND "_s) +
                      u" WHERE n.rowid <= ?"_s,
            comparing);
        if (!copied)
            query.bind(upTo);
        for (;;) {
            auto row = query.next();
            if (!row)
                return row.error();
            if (!row.value())
                break;
            found.insert(qsizetype(query.integer(0)));
        }
    }
    static_cast<void>(db.exec(u"DROP TABLE temp.vinzal_import"_s, comparing));
    return found;
}

} // namespace

Status insert(sql::Database& db, const Contacts& records, bool keepIds, const QString& what,
              const Between& between)
{
    const int first = keepIds ? 0 : 1;
    const int columns = fieldCount - first;
    // A server answers each statement over the network: rows go a batch per statement there, while
    // SQLite, in the same process, takes them one by one at no cost.
    const qsizetype batch = db.engine() == Engine::Postgres ? 200 : 1;
    const QString marks = u"("_s + QStringList(columns, u"?"_s).join(u", "_s) + u")"_s;
    const auto statement = [&](qsizetype rows) {
        return u"INSERT INTO "_s + table() + u" ("_s + columnList(keepIds) + u") VALUES "_s +
               QStringList(rows, marks).join(u", "_s);
    };
    std::optional<sql::Statement> insert;
    for (qsizetype at = 0; at < records.size(); at += batch) {
        if (between)
            if (Status go = between(); !go)
                return go;
        const qsizetype rows = std::min(batch, records.size() - at);
        if (!insert || rows < batch)
            insert.emplace(db, statement(rows), what);
        else
            insert->reset();
        for (qsizetype r = at; r < at + rows; ++r)
            for (int i = first; i < fieldCount; ++i)
                insert->bind(records.at(r).at(i));
        if (auto done = insert->run(); !done)
            return done.error();
    }
    return {};
}

Result<qint64> count(Connection& connection)
{
    auto counted = connection.readOne(u"SELECT count(*) FROM "_s + table(), {});
    if (!counted)
        return counted.error();
    return counted.value() ? counted.value()->value(0).toInteger() : 0;
}

Result<bool> isEmpty(sql::Database& db, const QString& what)
{
    sql::Statement any(db, u"SELECT 1 FROM "_s + table() + u" LIMIT 1"_s, what);
    auto row = any.next();
    if (!row)
        return row.error();
    return !row.value();
}

Result<qint64> largestId(sql::Database& db, const QString& what)
{
    sql::Statement last(db, u"SELECT max("_s + dialect::rowid(db.engine()) + u") FROM "_s + table(), what);
    auto row = last.next();
    if (!row)
        return row.error();
    return last.integer(0);
}

Status readInBatches(Connection& connection, qsizetype batch,
                     const std::function<bool(const Contacts&)>& take, qint64* total)
{
    // The count is for a progress bar: a contact added between it and the rows makes no harm.
    if (total) {
        auto counted = count(connection);
        if (!counted)
            return counted.error();
        *total = counted.value();
    }
    // Each batch is a short read of its own, continuing after the last key read: between batches
    // (while the caller writes or draws them) no lock is held, and a writer to the book gets in.
    const QString rowid = dialect::rowid(connection.engine());
    const QString sql = u"SELECT "_s + columnList(true) + u", "_s + rowid + u" FROM "_s + table() +
                        u" WHERE "_s + rowid + u" > ? ORDER BY "_s + rowid + u" LIMIT ?"_s;
    Contacts records;
    records.reserve(batch);
    qint64 after = std::numeric_limits<qint64>::min();
    for (;;) {
        records.clear();
        {
            sql::Statement query(connection.db(), sql, u"leggere la rubrica"_s);
            query.bind(after).bind(qint64(batch));
            for (;;) {
                auto row = query.next();
                if (!row)
                    return row.error();
                if (!row.value())
                    break;
                Contact& record = records.emplace_back();
                for (int i = 0; i < fieldCount; ++i)
                    record.at(i) = query.value(i);
                after = query.integer(fieldCount);
            }
        }
        if (!records.isEmpty() && !take(records))
            return {};
        if (records.size() < batch)
            return {};
    }
}

Result<QSet<qsizetype>> findExisting(sql::Database& db, const Contacts& records, qint64 upTo,
                                     const Between& between)
{
    return db.engine() == Engine::Sqlite ? findInFile(db, records, upTo, between)
                                         : findOnServer(db, records, upTo);
}

Existing::Existing(sql::Database& db, qint64 upTo, const Between& between)
    : m_db(db), m_upTo(upTo), m_between(between)
{
}

Existing::~Existing()
{
    if (m_copied)
        static_cast<void>(m_db.exec(u"DROP TABLE IF EXISTS temp.vinzal_existing"_s, comparing));
}

Result<QSet<qsizetype>> Existing::find(const Contacts& records)
{
    if (m_db.engine() != Engine::Sqlite)
        return findOnServer(m_db, records, m_upTo);
    // One batch: the book is read once. From the second, each further batch would read the whole book
    // again: its contacts are copied once into a temporary table (SQLite's temporary file, not memory)
    // indexed on all eleven fields, where each record is looked up. The columns have no type and no
    // collation, so every value keeps its kind and bytes and the comparison stays exact.
    if (++m_batches == 2) {
        QStringList columns;
        for (int i = 1; i < fieldCount; ++i)
            columns.append(quoteIdentifier(contacts::fields().at(i)));
        if (Status made = m_db.exec(u"DROP TABLE IF EXISTS temp.vinzal_existing; CREATE TEMP TABLE "
                                    u"vinzal_existing("_s +
                                        columns.join(u", "_s) + u")"_s,
                                    comparing);
            !made)
            return made.error();
        m_copied = true;
        sql::Statement copy(m_db,
                            u"INSERT INTO temp.vinzal_existing SELECT "_s + columnList(false) + u" FROM "_s +
                                table() + u" WHERE rowid <= ?"_s,
                            comparing);
        copy.bind(m_upTo);
        if (auto done = copy.run(); !done)
            return done.error();
        if (Status indexed = m_db.exec(u"CREATE INDEX temp.vinzal_existing_fields ON vinzal_existing("_s +
                                           columns.join(u", "_s) + u")"_s,
                                       comparing);
            !indexed)
            return indexed.error();
    }
    return findInFile(m_db, records, m_upTo, m_between, m_copied);
}

Result<bool> anyIdTaken(sql::Database& db, const QList<qint64>& ids, const QString& what)
{
    if (ids.isEmpty())
        return false;
    // One statement for the whole list: on a server each statement is a trip over the network.
    QByteArray array = "{";
    for (qsizetype i = 0; i < ids.size(); ++i)
        array += (i > 0 ? "," : "") + QByteArray::number(ids.at(i));
    array += '}';
    const QString id = dialect::rowid(db.engine());
    sql::Statement query(db,
                         db.engine() == Engine::Postgres
                             ? u"SELECT 1 FROM "_s + table() + u" WHERE "_s + id +
                                   u" = ANY(?::bigint[]) LIMIT 1"_s
                             : u"SELECT 1 FROM "_s + table() + u" WHERE "_s + id +
                                   u" IN (SELECT value FROM json_each(?)) LIMIT 1"_s,
                         what);
    query.bind(db.engine() == Engine::Postgres ? Value::text(array)
                                               : Value::text("[" + array.mid(1, array.size() - 2) + "]"));
    auto row = query.next();
    if (!row)
        return row.error();
    return row.value();
}

Status removeAll(sql::Database& db, const QString& what)
{
    if (Status removed = db.exec(u"DELETE FROM "_s + table(), what); !removed)
        return removed;
    // New IDs start again from 1, as in a book just made.
    if (db.engine() == Engine::Sqlite) {
        sql::Statement reset(db, u"DELETE FROM sqlite_sequence WHERE name = ?"_s, what);
        reset.bind(Value::text(tableName().toUtf8()));
        if (auto done = reset.run(); !done)
            return done.error();
        return {};
    }
    sql::Statement reset(db, u"SELECT setval(pg_get_serial_sequence(?, 'ID'), 1, false)"_s, what);
    reset.bind(Value::text(table().toUtf8()));
    auto row = reset.next();
    if (!row)
        return row.error();
    return {};
}

Status guardForAdding(sql::Database& db, const QString& book, const QString& what)
{
    if (db.engine() == Engine::Sqlite)
        return {};
    if (Status locked = db.exec(u"LOCK TABLE "_s + table() + u" IN EXCLUSIVE MODE"_s, what); !locked)
        return locked;
    if (const QStringList problems = schema::serverColumnProblems(db); !problems.isEmpty())
        return schema::keptTableRefused(book, problems);
    return {};
}

} // namespace vinzal::contacts
