#include "schema.h"

#include "connection.h"
#include "contact_table.h"
#include "duplicates.h"
#include "italian_order.h"
#include "row.h"
#include "sync_state.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <cstdio>
#include <limits>

#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace vinzal::schema {

namespace {

QStringList statements()
{
    QStringList columns{u"\"ID\" INTEGER PRIMARY KEY AUTOINCREMENT"_s};
    for (const QString& field : contacts::fields().mid(1))
        columns.append(quoteIdentifier(field) + u" TEXT COLLATE NOCASE"_s);
    return {u"PRAGMA application_id = %1"_s.arg(applicationId),
            u"CREATE TABLE "_s + quoteIdentifier(contacts::tableName()) + u" (\n  "_s +
                columns.join(u",\n  "_s) + u"\n)"_s};
}

QStringList indexStatements()
{
    QStringList result;
    for (const QString& index : contacts::indexNames())
        result.append(order::indexStatement(index));
    return result;
}

Status run(sql::Database& db, const QString& sql, const QString& what = u"creare la rubrica"_s)
{
    return db.exec(sql, what);
}

// Opens a file for check (read-only) or upgrade, never creating it.
Result<std::unique_ptr<sql::Database>> openFile(const QString& path, sql::Database::FileMode mode)
{
    return sql::Database::openFile(QFileInfo(path).absoluteFilePath(), mode, u"aprire la rubrica"_s);
}

// The rows of `sql` with `bindings`, each as its values (for the schema's small reads).
Result<QList<Values>> select(sql::Database& db, const QString& sql, const Values& bindings,
                             const QString& what = u"leggere la rubrica"_s)
{
    sql::Statement query(db, sql, what);
    for (const Value& value : bindings)
        query.bind(value);
    QList<Values> rows;
    for (;;) {
        auto row = query.next();
        if (!row)
            return row.error();
        if (!row.value())
            return rows;
        Values values;
        for (int i = 0; i < query.columnCount(); ++i)
            values.append(query.value(i));
        rows.append(values);
    }
}

Value text(const QString& value)
{
    return Value::fromEditedText(value);
}

} // namespace

Status build(sql::Database& db, const Fill& fill)
{
    sql::Transaction transaction(db, u"creare la rubrica"_s);
    if (!transaction.begun())
        return transaction.begun();
    QStringList all = statements();
    for (const QString& sql : std::as_const(all))
        if (Status status = run(db, sql); !status)
            return status;
    if (Status made = duplicates::makeTables(db); !made)
        return made;
    if (Status made = syncstate::makeTables(db); !made)
        return made;
    if (fill)
        if (Status status = fill(db); !status)
            return status;
    all = indexStatements();
    for (const QString& sql : std::as_const(all))
        if (Status status = run(db, sql); !status)
            return status;
    return transaction.commit();
}

namespace {

// A book whose writer was interrupted (a crash, a power cut, a killed process) has a "hot" journal
// beside it: the pages to put back. SQLite puts them back the next time the book is opened for
// writing; opened read-only it can only fail. So `check` looks for one without opening the book, and
// never touches it.
QString recoveryProblem(const QString& path)
{
    const QString journal = path + u"-journal"_s;
    QFile file(journal);
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0)
        return {};
    // journal_mode=PERSIST leaves a journal whose header is zeroed: nothing to put back.
    const QByteArray head = file.read(28);
    if (head.count('\0') == head.size())
        return {};
    // A program writing the book right now holds SQLite's RESERVED lock (one byte past the
    // 0x40000000 of its PENDING lock): then the journal is in use, not left over.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = 0x40000001;
        lock.l_len = 1;
        const bool busy = ::fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
        ::close(fd);
        if (busy)
            return u"un altro programma sta scrivendo la rubrica in questo momento: ripetere il controllo "
                   u"quando ha finito"_s;
    }
    return u"la rubrica è stata interrotta durante una scrittura e va ripristinata: il file «"_s +
           QFileInfo(journal).fileName() +
           u"» accanto a essa contiene ciò che serve per riportarla all'ultima scrittura completa. Per "
           u"ripristinarla basta aprirla una volta con Vinzal (o con un altro programma SQLite che possa "
           u"scriverla); fino ad allora non cancellare, spostare o rinominare quel file e non copiare la "
           u"rubrica senza di esso. Gli altri controlli si fanno dopo il ripristino; la rubrica non è "
           u"stata modificata"_s;
}

// Every field but "ID" is declared TEXT: with another type SQLite converts what looks like a number
// ("0333123456" would be stored as 333123456).
QStringList declaredTypeProblems(sql::Database& db, const QString& table)
{
    QStringList problems;
    auto rows = select(db, u"SELECT name, type FROM pragma_table_info(?)"_s, {text(table)});
    if (!rows)
        return problems;
    for (const Values& row : std::as_const(rows.value())) {
        const QString name = row.value(0).toText(), type = row.value(1).toText();
        if (name == contacts::idField() || !contacts::fields().contains(name))
            continue;
        if (type.trimmed().compare(u"TEXT"_s, Qt::CaseInsensitive) != 0)
            problems.append(u"il campo «"_s + name + u"» è dichiarato di tipo «"_s + type +
                            u"» invece di TEXT: un numero di telefono come «0333123456» vi perderebbe "
                            u"lo zero iniziale"_s);
    }
    return problems;
}

} // namespace

Status create(const QString& path, bool overwrite, const Fill& fill)
{
    if (QFileInfo::exists(path) && !overwrite)
        return StoreError{StoreError::Kind::Engine,
                          u"Il file «"_s + path + u"» esiste già e non viene sovrascritto."_s,
                          {}};
    const QString partial = path + u".part-%1"_s.arg(QCoreApplication::applicationPid());
    QFile::remove(partial);
    Status built;
    {
        auto opened =
            sql::Database::openFile(partial, sql::Database::FileMode::Create, u"creare la rubrica"_s);
        built = opened ? build(*opened.value(), fill) : Status(opened.error());
    }
    if (built) {
        // Without `overwrite`, QFile::rename refuses an existing target; with it, rename(2) replaces
        // the old file in one step, so there is never a moment without an address book.
        const bool renamed = overwrite ? std::rename(QFile::encodeName(partial).constData(),
                                                     QFile::encodeName(path).constData()) == 0
                                       : QFile::rename(partial, path);
        if (!renamed)
            built = StoreError{StoreError::Kind::Engine,
                               u"Non è stato possibile dare il nome «"_s + path + u"» alla nuova rubrica."_s,
                               {}};
    }
    if (!built)
        QFile::remove(partial);
    QFile::remove(partial + u"-journal"_s);
    return built;
}

namespace {

QStringList checkServer(const QString& book);
Result<int> upgradeServer(const QString& book);

} // namespace

QStringList check(const QString& path)
{
    if (isServerBook(path))
        return checkServer(path);
    switch (probeFile(path)) {
    case FileKind::Missing:
        return {u"il file «"_s + shownBook(path) + u"» non esiste"_s};
    case FileKind::Unreadable:
        return {u"il file «"_s + shownBook(path) + u"» non può essere letto"_s};
    case FileKind::Empty:
        return {u"il file «"_s + shownBook(path) + u"» è vuoto"_s};
    case FileKind::Access:
        return {u"il file «"_s + shownBook(path) +
                u"» è un archivio di Access: convertirlo con «vinzal-db import»"_s};
    case FileKind::Other:
        return {u"il file «"_s + shownBook(path) + u"» non è un archivio SQLite"_s};
    case FileKind::Sqlite:
        break;
    }
    if (const QString recovery = recoveryProblem(path); !recovery.isEmpty())
        return {recovery};
    auto opened = openFile(path, sql::Database::FileMode::ReadOnly);
    if (!opened)
        return {u"il file non può essere aperto: "_s + opened.error().detail};
    sql::Database& db = *opened.value();

    QStringList problems;
    // One read transaction for the whole check: the read lock taken by the first query is held to the
    // end, so a program that writes meanwhile cannot make a later query fail and a sound index look
    // missing.
    sql::Transaction snapshot(db, u"controllare la rubrica"_s);
    auto integrity = select(db, u"PRAGMA integrity_check"_s, {});
    if (!integrity) {
        if (integrity.error().kind == StoreError::Kind::Busy)
            return {
                u"la rubrica è in uso: un altro programma vi sta scrivendo. Riprovare quando ha finito"_s};
        return {u"il controllo di integrità non è riuscito: "_s + integrity.error().detail};
    }
    for (const Values& row : std::as_const(integrity.value()))
        if (const QString line = row.value(0).toText(); line != u"ok"_s)
            problems.append(u"integrità: "_s + line);
    if (auto id = select(db, u"PRAGMA application_id"_s, {});
        id && !id.value().isEmpty() && id.value().first().value(0).toInteger() != applicationId)
        problems.append(
            u"il file non porta il contrassegno delle rubriche di Vinzal (application_id %1)"_s.arg(
                id.value().first().value(0).toInteger()));

    const QString table = contacts::tableName();
    QString tableSql;
    if (auto found =
            select(db, u"SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ?"_s, {text(table)});
        found && !found.value().isEmpty())
        tableSql = found.value().first().value(0).toText();
    if (tableSql.isEmpty()) {
        problems.append(u"manca la tabella «"_s + table + u"»"_s);
        return problems;
    }

    QStringList columns;
    bool idIsKey = false;
    if (auto rows = select(db, u"SELECT name, type, pk FROM pragma_table_info(?)"_s, {text(table)}))
        for (const Values& row : std::as_const(rows.value())) {
            columns.append(row.value(0).toText());
            if (row.value(0).toText() == contacts::idField())
                idIsKey = row.value(1).toText().compare(u"INTEGER"_s, Qt::CaseInsensitive) == 0 &&
                          row.value(2).toInteger() == 1;
        }
    for (const QString& field : contacts::fields()) {
        if (!columns.contains(field)) {
            problems.append(u"manca il campo «"_s + field + u"»"_s);
            continue;
        }
        if (field == contacts::idField())
            continue;
        const QRegularExpression collated(QRegularExpression::escape(quoteIdentifier(field)) +
                                              uR"(\s+[^,]*COLLATE\s+NOCASE)"_s,
                                          QRegularExpression::CaseInsensitiveOption);
        if (!collated.match(tableSql).hasMatch())
            problems.append(u"il campo «"_s + field + u"» non ha la collazione NOCASE"_s);
    }
    problems += declaredTypeProblems(db, table);
    if (!idIsKey || !tableSql.contains(u"AUTOINCREMENT"_s, Qt::CaseInsensitive))
        problems.append(u"il campo «ID» non è una chiave INTEGER PRIMARY KEY AUTOINCREMENT"_s);
    // A book where no contact can be added any more: AUTOINCREMENT gives no ID past the largest.
    if (auto last = select(db,
                           u"SELECT max(\"ID\") FROM "_s + quoteIdentifier(table) +
                               u" UNION ALL SELECT seq FROM sqlite_sequence WHERE name = ?"_s,
                           {text(table)})) {
        for (const Values& row : std::as_const(last.value()))
            if (row.value(0).kind() == Value::Kind::Integer &&
                row.value(0).toInteger() == std::numeric_limits<qint64>::max()) {
                QString usedUp = idsUsedUpText();
                usedUp[0] = usedUp[0].toLower();
                problems.append(usedUp);
                break;
            }
    }

    for (const QString& index : contacts::indexNames()) {
        const order::IndexShape shape = order::inspectIndex(db, index);
        switch (shape.form) {
        case order::IndexForm::Missing:
            problems.append(!shape.error ? u"manca l'indice «"_s + index + u"»"_s
                                         : u"l'indice «"_s + index + u"» non può essere letto: "_s +
                                               shape.error->detail);
            break;
        case order::IndexForm::Unknown:
            problems.append(u"l'indice «"_s + index + u"» non ha la forma degli indici di Vinzal"_s);
            break;
        case order::IndexForm::Italian:
            break;
        case order::IndexForm::Plain:
            // The form before the Italian order: sound when on its own field with NOCASE.
            if (shape.column != index) {
                problems.append(u"l'indice «"_s + index + u"» non è sul campo omonimo"_s);
                break;
            }
            auto collation =
                select(db, u"SELECT coll FROM pragma_index_xinfo(?) WHERE seqno = 0"_s, {text(index)});
            if (!collation || collation.value().isEmpty() ||
                collation.value().first().value(0).toText().compare(u"NOCASE"_s, Qt::CaseInsensitive) != 0)
                problems.append(u"l'indice «"_s + index + u"» non usa la collazione NOCASE"_s);
            break;
        }
    }
    return problems;
}

namespace {

Result<bool> hasOldIndexes(sql::Database& db)
{
    for (const QString& index : contacts::indexNames()) {
        const order::IndexShape shape = order::inspectIndex(db, index);
        if (shape.error)
            return *shape.error;
        if (shape.form == order::IndexForm::Plain)
            return true;
    }
    return false;
}

} // namespace

bool needsUpgrade(const QString& path)
{
    if (isServerBook(path))
        return false; // made only in the Italian form
    if (probeFile(path) != FileKind::Sqlite)
        return false;
    auto opened = openFile(path, sql::Database::FileMode::ReadOnly);
    if (!opened)
        return false;
    const Result<bool> old = hasOldIndexes(*opened.value());
    return old && old.value();
}

Result<int> upgradeIndexes(sql::Database& db)
{
    // IMMEDIATE: the write lock is taken before the schema is read, so that what is read is what
    // gets replaced. The indexes are derived from the rows: a failure rolls back to the old ones.
    const QString what = u"aggiornare gli indici della rubrica"_s;
    sql::Transaction transaction(db, what, sql::Transaction::Kind::Write);
    if (!transaction.begun())
        return transaction.begun().error();
    int replaced = 0;
    for (const QString& index : contacts::indexNames()) {
        const order::IndexShape shape = order::inspectIndex(db, index);
        if (shape.error)
            return *shape.error;
        if (shape.form == order::IndexForm::Italian)
            continue;
        if (shape.form != order::IndexForm::Missing)
            if (Status dropped = run(db, u"DROP INDEX "_s + quoteIdentifier(index), what); !dropped)
                return dropped.error();
        if (Status made = run(db, order::indexStatement(index), what); !made)
            return made.error();
        ++replaced;
    }
    // Books made before the tables of merges came with them get them here, where the owner is.
    if (Status made = duplicates::makeTables(db); !made)
        return made.error();
    if (Status made = syncstate::makeTables(db); !made)
        return made.error();
    if (Status committed = transaction.commit(); !committed)
        return committed.error();
    return replaced;
}

namespace {

// On a server the indexes go only where the role may drop them: as the table's owner (or a member of
// its role). Another role that may write fills the table with its indexes in place.
Result<QStringList> dropServerIndexes(sql::Database& db, const QString& what)
{
    QStringList statements;
    const Value table = text(quoteIdentifier(contacts::tableName()));
    auto owner = select(db,
                        u"SELECT count(*) FROM pg_class WHERE oid = to_regclass(?) AND "
                        u"pg_has_role(relowner, 'USAGE')"_s,
                        {table}, what);
    if (!owner)
        return owner.error();
    if (owner.value().isEmpty() || owner.value().first().value(0).toInteger() != 1)
        return statements;
    for (const QString& index : contacts::indexNames()) {
        // In the table's schema, which may not be the first on the search path; the definition names
        // the table with its schema.
        auto found = select(db,
                            u"SELECT schemaname, indexdef FROM pg_indexes WHERE schemaname = "_s +
                                dialect::tableSchema() + u" AND tablename = ? AND indexname = ?"_s,
                            {table, text(contacts::tableName()), text(index)}, what);
        if (!found)
            return found.error();
        if (found.value().isEmpty())
            continue;
        const Values& row = found.value().first();
        if (Status dropped = run(db,
                                 u"DROP INDEX "_s + quoteIdentifier(row.value(0).toText()) + u"."_s +
                                     quoteIdentifier(index),
                                 what);
            !dropped)
            return dropped.error();
        statements.append(row.value(1).toText());
    }
    return statements;
}

} // namespace

Result<QStringList> dropIndexes(sql::Database& db)
{
    QStringList statements;
    const QString what = u"importare i contatti"_s;
    if (db.engine() != Engine::Sqlite)
        return dropServerIndexes(db, what);
    for (const QString& index : contacts::indexNames()) {
        auto found =
            select(db, u"SELECT sql FROM sqlite_master WHERE type = 'index' AND name = ? AND tbl_name = ?"_s,
                   {text(index), text(contacts::tableName())});
        if (!found)
            return found.error();
        if (found.value().isEmpty() || found.value().first().value(0).isNull())
            continue;
        if (Status dropped = run(db, u"DROP INDEX "_s + quoteIdentifier(index), what); !dropped)
            return dropped.error();
        statements.append(found.value().first().value(0).toText());
    }
    return statements;
}

Status restoreIndexes(sql::Database& db, const QStringList& statements)
{
    for (const QString& sql : statements)
        if (Status made = run(db, sql, u"importare i contatti"_s); !made)
            return made;
    return {};
}

Result<int> upgrade(const QString& path)
{
    if (isServerBook(path))
        return upgradeServer(path);
    auto connection = Connection::open(path);
    if (!connection)
        return connection.error();
    return upgradeIndexes(connection.value()->db());
}

// --- Books on a server ------------------------------------------------------------------------

namespace {

QString shownServer(const QString& book)
{
    return u"«"_s + shownBook(book) + u"»"_s;
}

// The statements that make the table on a server: the same twelve fields, "ID" an identity column
// that a copy may set (BY DEFAULT) and every other field text, compared byte by byte in the indexes.
QStringList serverTableStatements()
{
    QStringList columns{u"\"ID\" bigint GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"_s};
    for (const QString& field : contacts::fields().mid(1))
        columns.append(quoteIdentifier(field) + u" text"_s);
    return {u"CREATE TABLE "_s + quoteIdentifier(contacts::tableName()) + u" (\n  "_s +
            columns.join(u",\n  "_s) + u"\n)"_s};
}

// Opens the database of `book` with no need for the contact table, in a transaction.
class ServerSession
{
public:
    explicit ServerSession(const QString& book) : m_book(book) {}
    Status begin()
    {
        auto opened = Connection::openServerDatabase(m_book);
        if (!opened)
            return opened.error();
        m_connection = std::move(opened.value());
        m_transaction.emplace(m_connection->db(), u"preparare la rubrica sul server"_s);
        return m_transaction->begun();
    }
    Status run(const QString& sql, const Values& bindings = {}, Values* first = nullptr)
    {
        if (bindings.isEmpty() && !first)
            return m_connection->db().exec(sql, u"preparare la rubrica sul server"_s);
        auto rows = select(m_connection->db(), sql, bindings, u"preparare la rubrica sul server"_s);
        if (!rows)
            return rows.error();
        if (first && !rows.value().isEmpty())
            *first = rows.value().first();
        return {};
    }
    Status commit() { return m_transaction->commit(); }
    sql::Database& database() { return m_connection->db(); }

private:
    QString m_book;
    std::unique_ptr<Connection> m_connection;
    std::optional<sql::Transaction> m_transaction; // before the connection goes
};

Result<bool> tableExists(ServerSession& session)
{
    Values found;
    if (Status asked = session.run(u"SELECT to_regclass(?) IS NOT NULL"_s,
                                   {text(quoteIdentifier(contacts::tableName()))}, &found);
        !asked)
        return asked.error();
    return !found.isEmpty() && found.first().toInteger() == 1;
}

} // namespace

QStringList serverColumnProblems(sql::Database& db)
{
    QStringList problems;
    auto rows = select(db,
                       u"SELECT column_name, data_type, is_identity FROM information_schema.columns "
                       u"WHERE table_schema = "_s +
                           dialect::tableSchema() + u" AND table_name = ?"_s,
                       {text(quoteIdentifier(contacts::tableName())), text(contacts::tableName())});
    if (!rows)
        return {u"i campi della tabella non possono essere letti: "_s + rows.error().detail};
    QHash<QString, std::pair<QString, bool>> columns;
    for (const Values& row : std::as_const(rows.value()))
        columns.insert(row.value(0).toText(), {row.value(1).toText(), row.value(2).toText() == u"YES"_s});
    for (const QString& field : contacts::fields()) {
        const auto found = columns.constFind(field);
        if (found == columns.cend())
            problems.append(u"manca il campo «"_s + field + u"»"_s);
        else if (field == contacts::idField() && !found->second)
            problems.append(u"il campo «ID» non è una colonna di identità"_s);
        else if (field != contacts::idField() && found->first != u"text"_s)
            problems.append(u"il campo «"_s + field + u"» è di tipo «"_s + found->first +
                            u"» invece di text"_s);
    }
    return problems;
}

StoreError keptTableRefused(const QString& book, const QStringList& problems)
{
    return StoreError{
        StoreError::Kind::Engine,
        u"La tabella «"_s + contacts::tableName() + u"» della rubrica sul server «"_s + shownBook(book) +
            u"» non è come la fa Vinzal, e i valori vi sarebbero cambiati: "_s + problems.join(u"; "_s) +
            u". Controllarla con «vinzal-db check»; non è stato scritto nulla."_s,
        {}};
}

namespace {

QStringList checkServer(const QString& book)
{
    ServerSession session(book);
    if (Status began = session.begin(); !began)
        return {began.error().message + (began.error().detail.isEmpty()
                                             ? QString()
                                             : u" ("_s + began.error().detail.trimmed() + u")"_s)};
    auto exists = tableExists(session);
    if (!exists)
        return {exists.error().fullText()};
    if (!exists.value())
        return {u"manca la tabella «"_s + contacts::tableName() + u"»: crearla con «vinzal-db create"_s +
                u" \""_s + shownBook(book) + u"\"»"_s};
    QStringList problems = serverColumnProblems(session.database());
    for (const QString& index : contacts::indexNames()) {
        const order::IndexShape shape = order::inspectIndex(session.database(), index);
        if (shape.error)
            problems.append(u"l'indice «"_s + index + u"» non può essere letto: "_s + shape.error->detail);
        else if (shape.form == order::IndexForm::Missing)
            problems.append(u"manca l'indice «"_s + index + u"»"_s);
        else if (shape.form != order::IndexForm::Italian)
            problems.append(u"l'indice «"_s + index + u"» non ha la forma degli indici di Vinzal"_s);
    }
    return problems;
}

// Makes the indexes that are missing or of another form; gives how many.
Result<int> makeServerIndexes(ServerSession& session)
{
    int made = 0;
    for (const QString& index : contacts::indexNames()) {
        const order::IndexShape shape = order::inspectIndex(session.database(), index);
        if (shape.error)
            return *shape.error;
        if (shape.form == order::IndexForm::Italian)
            continue;
        if (shape.form != order::IndexForm::Missing)
            if (Status dropped = session.run(u"DROP INDEX "_s + quoteIdentifier(index)); !dropped)
                return dropped.error();
        if (Status built = session.run(order::indexStatement(index, Engine::Postgres)); !built)
            return built.error();
        ++made;
    }
    return made;
}

Result<int> upgradeServer(const QString& book)
{
    ServerSession session(book);
    if (Status began = session.begin(); !began)
        return began.error();
    auto made = makeServerIndexes(session);
    if (!made)
        return made;
    if (Status tables = duplicates::makeTables(session.database()); !tables)
        return tables.error();
    if (Status tables = syncstate::makeTables(session.database()); !tables)
        return tables.error();
    if (Status committed = session.commit(); !committed)
        return committed.error();
    return made;
}

} // namespace

Result<bool> serverHasTable(const QString& book)
{
    ServerSession session(book);
    if (Status began = session.begin(); !began)
        return began.error();
    return tableExists(session);
}

Status createOnServer(const QString& book, bool replace, const Fill& fill)
{
    ServerSession session(book);
    if (Status began = session.begin(); !began)
        return began;
    auto exists = tableExists(session);
    if (!exists)
        return exists.error();
    const QString table = quoteIdentifier(contacts::tableName());
    if (exists.value()) {
        // Nobody writes the table from here to the end: what is counted is what gets replaced.
        if (Status locked = session.run(u"LOCK TABLE "_s + table + u" IN EXCLUSIVE MODE"_s); !locked)
            return locked;
        // A kept table whose columns someone changed (char(20) pads every value) is not written into.
        if (const QStringList problems = serverColumnProblems(session.database()); !problems.isEmpty())
            return keptTableRefused(book, problems);
        Values count;
        if (Status counted = session.run(u"SELECT count(*) FROM "_s + table, {}, &count); !counted)
            return counted;
        const qint64 held = count.value(0).toInteger();
        if (held > 0 && !replace)
            return StoreError{StoreError::Kind::Engine,
                              u"La rubrica sul server "_s + shownServer(book) + u" contiene già "_s +
                                  (held == 1 ? u"1 contatto"_s : u"%1 contatti"_s.arg(held)) +
                                  u" e non viene sostituita. Per sostituirne il contenuto aggiungere "
                                  u"--force."_s,
                              {}};
        // TRUNCATE, not DELETE: a million dead rows would stay in the table and its indexes until
        // autovacuum came, and every step of the card would wade through them.
        if (held > 0)
            if (Status emptied = session.run(u"TRUNCATE "_s + table); !emptied)
                return emptied;
    } else {
        for (const QString& sql : serverTableStatements())
            if (Status made = session.run(sql); !made)
                return made;
    }
    // The merges of the contacts replaced are not this book's.
    if (Status made = duplicates::makeTables(session.database()); !made)
        return made;
    if (Status emptied = duplicates::emptyTables(session.database()); !emptied)
        return emptied;
    // Nor its synchronisation: the cards belong to the contacts replaced.
    if (Status made = syncstate::makeTables(session.database()); !made)
        return made;
    if (Status emptied = syncstate::emptyTables(session.database()); !emptied)
        return emptied;
    if (fill) {
        // A kept table is filled as a new one is, with no index to keep up to date row by row: they
        // are made again below, once over all the rows.
        if (exists.value())
            if (auto dropped = dropServerIndexes(session.database(), u"preparare la rubrica sul server"_s);
                !dropped)
                return dropped.error();
        if (Status filled = fill(session.database()); !filled)
            return filled;
    }
    if (auto indexes = makeServerIndexes(session); !indexes)
        return indexes.error();
    // A new mark (our own text, with no quote in it): a program that opened the table before can
    // tell that it now holds another book.
    const QString mark =
        u"Rubrica di Vinzal, %1 %2"_s.arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs),
                                          QString::number(QRandomGenerator::system()->generate64(), 16));
    if (Status marked = session.run(u"COMMENT ON TABLE "_s + table + u" IS '"_s + mark + u"'"_s); !marked)
        return marked;
    // Statistics for the planner, which would otherwise plan for the table as it was.
    if (Status analysed = session.run(u"ANALYZE "_s + table); !analysed)
        return analysed;
    // Rows stored with their own IDs leave the identity where it was: new ones start past them.
    if (Status moved = session.run(u"SELECT setval(pg_get_serial_sequence(?, 'ID'), "
                                   u"COALESCE((SELECT max(\"ID\") FROM "_s +
                                       table + u"), 0) + 1, false)"_s,
                                   {text(table)});
        !moved)
        return moved;
    return session.commit();
}

} // namespace vinzal::schema
