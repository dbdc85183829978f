#include "book_io.h"

#include "connection.h"
#include "contact_file.h"
#include "contact_rows.h"
#include "contact_table.h"
#include "duplicates.h"
#include "row.h"
#include "safe_file.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

using namespace Qt::StringLiterals;

namespace vinzal::book {

namespace {

const QString writing = u"scrivere la rubrica"_s;

StoreError failure(const QString& message)
{
    return StoreError{StoreError::Kind::Engine, message, {}};
}

StoreError interrupted()
{
    return StoreError{StoreError::Kind::Engine, u"La scrittura è stata interrotta."_s, {}};
}

// Between the batches of a write: whether the user interrupted the program (Ctrl+C, kill).
Status notInterrupted()
{
    if (safefile::InterruptionsDeferred::requested())
        return interrupted();
    return {};
}

Status insertAll(sql::Database& db, const Contacts& records, bool keepIds)
{
    return contacts::insert(db, records, keepIds, writing, notInterrupted);
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

// "il contatto n. 4 del file", "la scheda n. 4": how the file's own format counts its records.
QString recordName(const importing::ContactFile& file, qsizetype position)
{
    return (file.format() == importing::ContactFile::Format::Csv ? u"il contatto n. %1 del file"_s
                                                                 : u"la scheda n. %1"_s)
        .arg(position + 1);
}

// The next contacts of `file` with their IDs checked (checkIds()); false after the last.
bool nextChecked(importing::ContactFile& file, Contacts& batch, QStringList& idProblems)
{
    if (!file.next(batch))
        return false;
    const qsizetype first = file.first();
    idProblems += checkIds(batch, [&](qsizetype i) { return recordName(file, first + i); });
    return true;
}

// The file's problems: those of its text first; the IDs count only in a file that reads well.
QStringList problemsOf(const importing::ContactFile& file, const QStringList& idProblems)
{
    return file.errors().isEmpty() ? idProblems : file.errors();
}

// Whether the contacts of `batch` can keep their IDs in a book being made: every one has one, and
// none is repeated or already given to an earlier contact.
Result<bool> idsStillKept(sql::Database& db, const Contacts& batch)
{
    QList<qint64> ids;
    QSet<qint64> seen;
    for (const Contact& record : batch) {
        const Value& id = record[Field::Id];
        if (id.kind() != Value::Kind::Integer || seen.contains(id.toInteger()))
            return false;
        seen.insert(id.toInteger());
        ids.append(id.toInteger());
    }
    auto taken = contacts::anyIdTaken(db, ids, writing);
    if (!taken)
        return taken.error();
    return !taken.value();
}

// importFile() into a book that does not exist yet.
Result<Imported> createFrom(const QString& path, importing::ContactFile& file)
{
    const bool server = isServerBook(path);
    Imported result;
    result.created = true;
    QStringList idProblems;
    bool refused = false;
    const schema::Fill fill = [&](sql::Database& db) -> Status {
        // The IDs are kept unless some are missing or repeated; that is known only on the way, and then
        // the book is filled again from the start with new ones.
        bool keepIds = true;
        for (;;) {
            bool renumber = false;
            Contacts batch;
            while (nextChecked(file, batch, idProblems)) {
                if (!file.errors().isEmpty() || !idProblems.isEmpty())
                    continue; // nothing more is written, but every problem is listed
                if (server)
                    if (Status fits = fitForServer(batch, nullptr); !fits)
                        return fits;
                if (keepIds) {
                    auto kept = idsStillKept(db, batch);
                    if (!kept)
                        return kept.error();
                    if (!kept.value()) {
                        renumber = true;
                        break;
                    }
                }
                if (Status inserted = insertAll(db, batch, keepIds); !inserted)
                    return inserted;
                result.added += batch.size();
            }
            if (!renumber)
                break;
            keepIds = false;
            if (Status removed = contacts::removeAll(db, writing); !removed)
                return removed;
            file.rewind();
            idProblems.clear();
            result.added = 0;
        }
        result.read = file.given();
        refused = !problemsOf(file, idProblems).isEmpty();
        return refused ? failure(u"refused"_s) : Status();
    };
    Status done;
    if (server) {
        done = schema::createOnServer(path, false, fill);
    } else {
        QStringList inputs;
        if (!file.fileName().isEmpty())
            inputs.append(file.fileName());
        auto pending = safefile::PendingFile::begin(path, false, inputs);
        if (!pending)
            return pending.error();
        done = build(*pending.value(), fill);
        if (done)
            done = pending.value()->commit();
    }
    if (refused) {
        result.problems = problemsOf(file, idProblems);
        result.added = 0;
        return result;
    }
    if (!done)
        return done.error();
    return result;
}

// Adds the contacts `next` gives, a batch at a time, to the book at `path` with new IDs, in one
// transaction: the shared body of append() and importFile(). `next` returns false after the last
// batch, and an error to give up (the book stays as it was); `progress`, after each batch written,
// returns false to cancel. Duplicates are those of the contacts the book held before.
Result<Appended> appendBatches(const QString& path, bool keepDuplicates,
                               const std::function<Result<bool>(Contacts&)>& next,
                               const std::function<bool()>& progress, bool* cancelled)
{
    auto connection = Connection::open(path);
    if (!connection)
        return connection.error();
    sql::Database& db = connection.value()->db();
    const bool server = isServerBook(path);
    Appended result;
    // The book is changed in place: an interruption (Ctrl+C, kill) rolls the transaction back before
    // the program ends, so the book stays as it was, with no journal left beside it.
    const safefile::InterruptionsDeferred deferred;
    // Nobody else writes between looking for duplicates and adding the rows (readers go on).
    sql::Transaction transaction(db, writing, sql::Transaction::Kind::Write);
    if (!transaction.begun())
        return transaction.begun().error();
    if (Status guarded = contacts::guardForAdding(db, path, writing); !guarded)
        return guarded.error();
    // Duplicates are looked for among the contacts the book held before: two equal contacts being
    // added are both added.
    auto before = contacts::largestId(db, writing);
    if (!before)
        return before.error();
    QStringList indexes;
    bool first = true;
    contacts::Existing existing(db, before.value(), notInterrupted);
    Contacts batch;
    for (;;) {
        auto more = next(batch);
        if (!more)
            return more.error();
        if (!more.value())
            break;
        qsizetype changed = 0;
        if (server)
            if (Status fits = fitForServer(batch, &changed); !fits)
                return fits.error();
        result.changedKind += changed;
        // The contacts already in the book are taken out in place: a batch is the largest thing an
        // import holds, and a second list of it would double it.
        if (!keepDuplicates && before.value() > 0 && !batch.isEmpty()) {
            auto duplicates = existing.find(batch);
            if (!duplicates)
                return duplicates.error();
            qsizetype to = 0;
            for (qsizetype i = 0; i < batch.size(); ++i)
                if (!duplicates.value().contains(i)) {
                    if (to != i)
                        batch[to] = std::move(batch[i]);
                    ++to;
                }
            batch.resize(to);
            result.skipped += duplicates.value().size();
        }
        // Into an empty book, as a restore does: the indexes are dropped and built once over all the
        // rows at the end, in the same transaction (a failure or a cancel rolls them back with the rows).
        if (first && before.value() == 0 && batch.size() >= 1000) {
            auto dropped = schema::dropIndexes(db);
            if (!dropped)
                return dropped.error();
            indexes = dropped.value();
        }
        first = first && batch.isEmpty();
        if (Status inserted = insertAll(db, batch, false); !inserted)
            return insertFailure(db, inserted.error(), u"importare i contatti"_s);
        result.added += batch.size();
        if (progress && !progress()) {
            if (cancelled)
                *cancelled = true;
            return failure(u"Importazione annullata: la rubrica è rimasta com'era."_s);
        }
    }
    if (Status rebuilt = schema::restoreIndexes(db, indexes); !rebuilt)
        return rebuilt.error();
    auto last = contacts::largestId(db, writing);
    if (!last)
        return last.error();
    if (last.value() > maxId)
        return failure(u"La rubrica «"_s + shownBook(path) +
                       u"» non ha abbastanza ID liberi (l'ultimo ammesso è 2147483647): non è "
                       u"stato aggiunto nessun contatto."_s);
    if (Status committed = transaction.commit(); !committed)
        return committed.error();
    return result;
}

// importFile() into a book that exists.
Result<Imported> appendFrom(const QString& path, importing::ContactFile& file, bool keepDuplicates,
                            const std::function<bool(qint64 read)>& progress, bool* cancelled)
{
    QStringList idProblems;
    bool refused = false;
    const auto next = [&](Contacts& batch) -> Result<bool> {
        if (!nextChecked(file, batch, idProblems)) {
            // Read to the end: a problem anywhere gives up the contacts written.
            refused = !problemsOf(file, idProblems).isEmpty();
            return refused ? Result<bool>(failure(u"refused"_s)) : Result<bool>(false);
        }
        if (!file.errors().isEmpty() || !idProblems.isEmpty())
            batch.clear(); // nothing more is written, but every problem is listed
        return true;
    };
    const auto advance = [&] { return !progress || progress(file.given()); };
    auto appended = appendBatches(path, keepDuplicates, next, advance, cancelled);
    Imported result;
    result.read = file.given();
    if (refused) {
        result.problems = problemsOf(file, idProblems);
        return result;
    }
    if (!appended)
        return appended.error();
    result.added = appended.value().added;
    result.skipped = appended.value().skipped;
    result.changedKind = appended.value().changedKind;
    return result;
}

} // namespace

Result<Imported> importFile(const QString& path, importing::ContactFile& file, bool keepDuplicates,
                            const std::function<bool(qint64 read)>& progress, bool* cancelled)
{
    bool exists = QFileInfo::exists(path);
    if (isServerBook(path)) {
        const Result<bool> has = schema::serverHasTable(path);
        if (!has)
            return has.error();
        exists = has.value();
    }
    file.rewind();
    return exists ? appendFrom(path, file, keepDuplicates, progress, cancelled) : createFrom(path, file);
}

Result<Previewed> previewImport(const QString& path, importing::ContactFile& file, qsizetype shown)
{
    auto connection = Connection::open(path);
    if (!connection)
        return connection.error();
    file.rewind();
    Previewed previewed;
    QStringList idProblems;
    Contacts batch;
    while (nextChecked(file, batch, idProblems)) {
        if (previewed.first.size() < shown)
            previewed.first += batch.mid(0, shown - previewed.first.size());
        if (!file.errors().isEmpty() || !idProblems.isEmpty())
            continue;
        auto duplicates = contacts::findExisting(connection.value()->db(), batch);
        if (!duplicates)
            return duplicates.error();
        previewed.duplicates += duplicates.value().size();
    }
    previewed.total = file.given();
    previewed.problems = problemsOf(file, idProblems);
    if (!previewed.problems.isEmpty())
        previewed.duplicates = 0;
    return previewed;
}

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
    return contacts::readInBatches(*connection.value(), batch, take, total);
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
    sql::Transaction snapshot(from.db(), u"leggere la rubrica"_s, sql::Transaction::Kind::Snapshot);
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
        const Status read = contacts::readInBatches(from, 4096, [&](const Contacts& batch) {
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
    auto duplicates = contacts::findExisting(connection.value()->db(), records,
                                             std::numeric_limits<qint64>::max(), notInterrupted);
    if (!duplicates)
        return duplicates.error();
    return qsizetype(duplicates.value().size());
}

Result<Appended> append(const QString& path, Contacts records, bool keepDuplicates,
                        const std::function<bool(qint64 done, qint64 total)>& progress, bool* cancelled)
{
    // In batches when someone is shown the progress, and may cancel; else all at once.
    const qsizetype step = progress ? 20000 : std::max<qsizetype>(records.size(), 1);
    qsizetype at = 0;
    const auto next = [&](Contacts& batch) -> Result<bool> {
        if (at >= records.size())
            return false;
        batch = at == 0 && step >= records.size() ? std::move(records) : records.mid(at, step);
        at += step;
        return true;
    };
    const qsizetype total = records.size();
    const auto advance = [&] { return !progress || progress(std::min(at, total), total); };
    return appendBatches(path, keepDuplicates, next, advance, cancelled);
}

} // namespace vinzal::book
