#include "book_io.h"

#include "connection.h"
#include "contact_table.h"
#include "duplicates.h"
#include "row.h"
#include "safe_file.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <limits>

using namespace Qt::StringLiterals;

namespace vinzal::book {

namespace {

const QString writing = u"scrivere la rubrica"_s;
const QString comparing = u"confrontare i contatti con quelli della rubrica"_s;

QString columnList(bool withId)
{
    QStringList columns;
    for (const QString& field : contacts::fields())
        if (withId || field != contacts::idField())
            columns.append(quoteIdentifier(field));
    return columns.join(u", "_s);
}

StoreError failure(const QString& message)
{
    return StoreError{StoreError::Kind::Engine, message, {}};
}

StoreError interrupted()
{
    return StoreError{StoreError::Kind::Engine, u"La scrittura è stata interrotta."_s, {}};
}

// "contatto con ID 12" or, for one that has no ID yet, "contatto numero 3 («Rossi Mario»)".
QString contactName(const Contact& contact, qsizetype position)
{
    if (!contact[Field::Id].isNull())
        return u"contatto con ID "_s + contact[Field::Id].toText();
    QString name = contact[Field::Nome].toText();
    if (name.size() > 40)
        name = name.left(40) + u'…';
    return u"contatto numero %1"_s.arg(position + 1) +
           (name.isEmpty() ? QString() : u" («"_s + name + u"»)"_s);
}

Status insertAll(sql::Database& db, const Contacts& records, bool keepIds)
{
    const int first = keepIds ? 0 : 1;
    const int count = fieldCount - first;
    // A server answers each statement over the network: rows go a batch per statement there, while
    // SQLite, in the same process, takes them one by one at no cost.
    const qsizetype batch = db.engine() == Engine::Postgres ? 200 : 1;
    const QString marks = u"("_s + QStringList(count, u"?"_s).join(u", "_s) + u")"_s;
    const auto statement = [&](qsizetype rows) {
        return u"INSERT INTO "_s + quoteIdentifier(contacts::tableName()) + u" ("_s + columnList(keepIds) +
               u") VALUES "_s + QStringList(rows, marks).join(u", "_s);
    };
    std::optional<sql::Statement> insert;
    for (qsizetype at = 0; at < records.size(); at += batch) {
        if (safefile::InterruptionsDeferred::requested())
            return interrupted();
        const qsizetype rows = std::min(batch, records.size() - at);
        if (!insert || rows < batch)
            insert.emplace(db, statement(rows), writing);
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

// The positions of the records whose eleven fields equal a contact's on a server. INTERSECT compares
// NULL with NULL as equal and text byte by byte, and the server answers it with one hash over the
// book; only the few tuples found come back, to be matched here. The records go as one array per
// field, so that importing needs no right beyond reading and writing the table (no temporary table).
Result<QSet<qsizetype>> findDuplicatesOnServer(sql::Database& db, const Contacts& records)
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
                             u" FROM "_s + quoteIdentifier(contacts::tableName()),
                         comparing);
    for (int i = 1; i < fieldCount; ++i)
        query.bind(Value::text(arrays.at(i)));
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
Result<QSet<qsizetype>> findDuplicates(sql::Database& db, const Contacts& records)
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
            if (safefile::InterruptionsDeferred::requested())
                return interrupted();
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
        sql::Statement query(db,
                             u"SELECT DISTINCT t.position FROM "_s + quoteIdentifier(contacts::tableName()) +
                                 u" AS n JOIN temp.vinzal_import AS t ON "_s + matches.join(u" AND "_s),
                             comparing);
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

// The IDs are kept unless some are missing or repeated.
bool idsCanBeKept(const Contacts& records)
{
    QSet<qint64> ids;
    for (const Contact& record : records) {
        const Value& id = record[Field::Id];
        if (id.kind() != Value::Kind::Integer || id.toInteger() <= 0 || id.toInteger() > maxId ||
            ids.contains(id.toInteger()))
            return false;
        ids.insert(id.toInteger());
    }
    return true;
}

} // namespace

Result<Contacts> readAll(const QString& path)
{
    Contacts records;
    const Status read = readInBatches(
        path, 4096, [&](const Contacts& batch) { return records.append(batch), true; }, nullptr);
    if (!read)
        return read.error();
    return records;
}

Status readInBatches(const QString& path, qsizetype batch, const std::function<bool(const Contacts&)>& take,
                     qint64* total)
{
    auto connection = Connection::open(path);
    if (!connection)
        return connection.error();
    return readInBatches(*connection.value(), batch, take, total);
}

Status readInBatches(Connection& opened, qsizetype batch, const std::function<bool(const Contacts&)>& take,
                     qint64* total)
{
    // The count is for a progress bar: a contact added between it and the rows makes no harm.
    if (total) {
        auto counted =
            opened.readOne(u"SELECT count(*) FROM "_s + quoteIdentifier(contacts::tableName()), {});
        if (!counted)
            return counted.error();
        *total = counted.value() ? counted.value()->value(0).toInteger() : 0;
    }
    // Each batch is a short read of its own, continuing after the last key read: between batches
    // (while the caller writes or draws them) no lock is held, and a writer to the book gets in.
    const QString rowid = dialect::rowid(opened.engine());
    const QString sql = u"SELECT "_s + columnList(true) + u", "_s + rowid + u" FROM "_s +
                        quoteIdentifier(contacts::tableName()) + u" WHERE "_s + rowid + u" > ? ORDER BY "_s +
                        rowid + u" LIMIT ?"_s;
    Contacts records;
    records.reserve(batch);
    qint64 after = std::numeric_limits<qint64>::min();
    for (;;) {
        records.clear();
        {
            sql::Statement query(opened.db(), sql, u"leggere la rubrica"_s);
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

QStringList checkIds(Contacts& records, const std::function<QString(qsizetype)>& where)
{
    static const QRegularExpression digits(u"^\\s*\\+?([0-9]+)\\s*$"_s);
    QStringList problems;
    for (qsizetype i = 0; i < records.size(); ++i) {
        Value& id = records[i][Field::Id];
        if (id.isNull())
            continue;
        qint64 value = 0;
        const QString text = id.toText();
        if (id.kind() == Value::Kind::Integer) {
            value = id.toInteger();
        } else {
            if (text.trimmed().isEmpty()) {
                id = Value(); // an empty ID cell: a new ID is given
                continue;
            }
            const QRegularExpressionMatch match = digits.match(text);
            if (!match.hasMatch() || id.kind() == Value::Kind::Blob) {
                problems.append(where(i) + u": l'ID «"_s + text + u"» non è un numero intero"_s);
                continue;
            }
            // More than ten digits is out of range whatever they say; toLongLong would overflow.
            const QString number = match.captured(1);
            value = number.size() > 10 ? maxId + 1 : number.toLongLong();
        }
        if (value < 1 || value > maxId) {
            problems.append(where(i) + u": l'ID "_s + text.trimmed() +
                            u" è fuori dall'intervallo ammesso, da 1 a 2147483647"_s);
            continue;
        }
        id = Value::integer(value);
    }
    return problems;
}

Status fitForServer(Contacts& records, qsizetype* changedKind)
{
    qsizetype changed = 0;
    for (qsizetype r = 0; r < records.size(); ++r) {
        for (int i = 1; i < fieldCount; ++i) {
            Value& value = records[r].at(i);
            if (value.isNull() || (value.isText() && value.isValidUtf8() && !value.hasNul()))
                continue;
            const QString where =
                u"Il campo «"_s + contacts::fields().at(i) + u"» del "_s + contactName(records.at(r), r);
            if (value.hasNul())
                return failure(where + u" contiene il carattere nullo, che una rubrica sul server non può "
                                       u"conservare: non è stato scritto nulla."_s);
            if (!value.isValidUtf8())
                return failure(where + u" contiene byte che non sono testo UTF-8, che una rubrica sul server "
                                       u"non può conservare: non è stato scritto nulla."_s);
            // A blob or a number whose bytes are text: stored as that text, and counted.
            value = Value::text(value.bytes());
            ++changed;
        }
    }
    if (changedKind)
        *changedKind = changed;
    return {};
}

Status build(safefile::PendingFile& file, const schema::Fill& fill)
{
    // The temporary file PendingFile made beside the target becomes the book itself.
    auto opened =
        sql::Database::openFile(file.tempPath(), sql::Database::FileMode::ReadWrite, u"creare la rubrica"_s);
    if (!opened)
        return opened.error();
    file.alsoRemove(file.tempPath() + u"-journal"_s);
    return schema::build(*opened.value(), fill);
}

Status buildFrom(safefile::PendingFile& file, const Contacts& records)
{
    const bool keepIds = idsCanBeKept(records);
    return build(file, [&](sql::Database& db) { return insertAll(db, records, keepIds); });
}

Status create(const QString& target, Contacts records, bool force, const QStringList& inputs)
{
    if (isServerBook(target))
        if (Status fits = fitForServer(records, nullptr); !fits)
            return fits;
    if (isServerBook(target))
        return schema::createOnServer(
            target, force, [&](sql::Database& db) { return insertAll(db, records, idsCanBeKept(records)); });
    auto pending = safefile::PendingFile::begin(target, force, inputs);
    if (!pending)
        return pending.error();
    if (Status built = buildFrom(*pending.value(), records); !built)
        return built;
    return pending.value()->commit();
}

Result<Copied> copy(const QString& source, const QString& target, bool force, bool* sourceFailed)
{
    auto opened = Connection::open(source);
    if (!opened) {
        if (sourceFailed)
            *sourceFailed = true;
        return opened.error();
    }
    Connection& from = *opened.value();
    // One snapshot of the source for the contacts and the merges alike: a copy whose history did not
    // match its contacts could not undo a merge. The batches alone would each see the book anew.
    sql::Transaction snapshot(
        from.db(), u"leggere la rubrica"_s,
        from.engine() == Engine::Sqlite ? u"BEGIN"_s : u"BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"_s);
    if (!snapshot.begun()) {
        if (sourceFailed)
            *sourceFailed = true;
        return snapshot.begun().error();
    }
    const bool toServer = isServerBook(target);
    Copied copied;
    bool readFailed = false;
    const schema::Fill fill = [&](sql::Database& db) -> Status {
        Status written;
        const Status read = readInBatches(from, 4096, [&](const Contacts& batch) {
            Contacts rows = batch;
            for (const Contact& row : std::as_const(rows)) {
                const Value& id = row[Field::Id];
                if (id.kind() != Value::Kind::Integer || id.toInteger() < 1 || id.toInteger() > maxId) {
                    written = failure(u"Gli ID della rubrica da copiare non possono essere conservati tutti "
                                      u"(l'ID %1 è fuori dall'intervallo da 1 a 2147483647): non è stato "
                                      u"copiato nulla."_s.arg(id.toText()));
                    return false;
                }
            }
            qsizetype changed = 0;
            if (toServer)
                if (written = fitForServer(rows, &changed); !written)
                    return false;
            copied.changedKind += changed;
            if (written = insertAll(db, rows, true); !written)
                return false;
            copied.contacts += rows.size();
            return true;
        });
        if (!read) {
            readFailed = true;
            return read;
        }
        if (!written)
            return written;
        return duplicates::copyTables(from, db, &copied.changedKind);
    };
    Status done;
    if (toServer) {
        done = schema::createOnServer(target, force, fill);
    } else {
        auto pending = safefile::PendingFile::begin(target, force, {source});
        if (!pending)
            return pending.error();
        done = build(*pending.value(), fill);
        if (done)
            done = pending.value()->commit();
    }
    if (!done) {
        if (sourceFailed)
            *sourceFailed = readFailed;
        return done.error();
    }
    return copied;
}

Result<qsizetype> countDuplicates(const QString& path, const Contacts& records)
{
    auto connection = Connection::open(path);
    if (!connection)
        return connection.error();
    sql::Database& db = connection.value()->db();
    auto duplicates = connection.value()->engine() == Engine::Sqlite ? findDuplicates(db, records)
                                                                     : findDuplicatesOnServer(db, records);
    if (!duplicates)
        return duplicates.error();
    return qsizetype(duplicates.value().size());
}

Result<Appended> append(const QString& path, Contacts records, bool keepDuplicates,
                        const std::function<bool(qint64 done, qint64 total)>& progress, bool* cancelled)
{
    auto connection = Connection::open(path);
    if (!connection)
        return connection.error();
    sql::Database& db = connection.value()->db();
    const Engine engine = connection.value()->engine();
    const QString table = quoteIdentifier(contacts::tableName());
    Appended result;
    if (engine == Engine::Postgres)
        if (Status fits = fitForServer(records, &result.changedKind); !fits)
            return fits.error();
    // The book is changed in place: an interruption (Ctrl+C, kill) rolls the transaction back before
    // the program ends, so the book stays as it was, with no journal left beside it.
    const safefile::InterruptionsDeferred deferred;
    // Nobody else writes between looking for duplicates and adding the rows (readers go on).
    sql::Transaction transaction(db, writing, engine == Engine::Sqlite ? u"BEGIN IMMEDIATE"_s : u"BEGIN"_s);
    if (!transaction.begun())
        return transaction.begun().error();
    if (engine == Engine::Postgres) {
        if (Status locked = db.exec(u"LOCK TABLE "_s + table + u" IN EXCLUSIVE MODE"_s, writing); !locked)
            return locked.error();
        if (const QStringList problems = schema::serverColumnProblems(db); !problems.isEmpty())
            return schema::keptTableRefused(path, problems);
    }
    Contacts kept;
    if (keepDuplicates) {
        kept = records;
    } else {
        auto duplicates =
            engine == Engine::Sqlite ? findDuplicates(db, records) : findDuplicatesOnServer(db, records);
        if (!duplicates)
            return duplicates.error();
        for (qsizetype i = 0; i < records.size(); ++i)
            if (!duplicates.value().contains(i))
                kept.append(records.at(i));
        result.skipped = duplicates.value().size();
    }
    // Into an empty book, as a restore does: the indexes are dropped and built once over all the rows
    // at the end, in the same transaction (a failure or a cancel rolls them back with the rows).
    QStringList indexes;
    if (kept.size() >= 1000) {
        sql::Statement any(db, u"SELECT 1 FROM "_s + table + u" LIMIT 1"_s, writing);
        auto row = any.next();
        if (!row)
            return row.error();
        any.reset();
        if (!row.value()) {
            auto dropped = schema::dropIndexes(db);
            if (!dropped)
                return dropped.error();
            indexes = dropped.value();
        }
    }
    // A batch at a time when someone is shown the progress, and may cancel.
    const qsizetype step = progress ? 2000 : std::max<qsizetype>(kept.size(), 1);
    for (qsizetype at = 0; at < kept.size(); at += step) {
        if (Status inserted =
                insertAll(db, at == 0 && step >= kept.size() ? kept : kept.mid(at, step), false);
            !inserted)
            return insertFailure(db, inserted.error(), u"importare i contatti"_s);
        if (progress && !progress(std::min(at + step, kept.size()), kept.size())) {
            if (cancelled)
                *cancelled = true;
            return failure(u"Importazione annullata: la rubrica è rimasta com'era."_s);
        }
    }
    if (Status rebuilt = schema::restoreIndexes(db, indexes); !rebuilt)
        return rebuilt.error();
    {
        sql::Statement last(db, u"SELECT max("_s + dialect::rowid(engine) + u") FROM "_s + table, writing);
        auto row = last.next();
        if (!row)
            return row.error();
        if (last.integer(0) > maxId)
            return failure(u"La rubrica «"_s + shownBook(path) +
                           u"» non ha abbastanza ID liberi (l'ultimo ammesso è 2147483647): non è "
                           u"stato aggiunto nessun contatto."_s);
    }
    if (Status committed = transaction.commit(); !committed)
        return committed.error();
    result.added = kept.size();
    return result;
}

} // namespace vinzal::book
