#include "connection.h"

#include "contact_table.h"

#include <QAtomicInteger>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlRecord>
#include <QUrl>

#include <libpq-fe.h>
#include <sqlite3.h>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace vinzal {

namespace {

QAtomicInteger<quint64> connectionCounter;

QString shownName(const QString& path)
{
    const QFileInfo info(path);
    // A connection string with a misspelt keyword is taken for a file's name: shown whole, without
    // the password it holds (which may reach into the folder's part of the name).
    const QString absolute = QDir::toNativeSeparators(info.absoluteFilePath());
    if (looksLikeServerBook(path))
        return u"«"_s + shownBook(absolute) + u"»"_s;
    return u"«"_s + info.fileName() + u"» nella cartella «"_s +
           QDir::toNativeSeparators(info.absolutePath()) + u"»"_s;
}

StoreError openError(StoreError::Kind kind, const QString& text)
{
    return StoreError{kind, text, {}};
}

} // namespace

QString quoteIdentifier(const QString& name)
{
    QString quoted = name;
    quoted.replace(u'"', u"\"\""_s);
    return u'"' + quoted + u'"';
}

FileKind probeFile(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return FileKind::Missing;
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly))
        return FileKind::Unreadable;
    const QByteArray head = file.read(100);
    if (head.isEmpty())
        return FileKind::Empty;
    if (head.startsWith(QByteArrayLiteral("SQLite format 3\0")))
        return FileKind::Sqlite;
    // Jet 3/4 and ACE files carry their engine's name at byte 4.
    const QByteArray at4 = head.mid(4, 15);
    if (at4 == "Standard Jet DB" || at4 == "Standard ACE DB")
        return FileKind::Access;
    return FileKind::Other;
}

Result<std::unique_ptr<Connection>> Connection::open(const QString& path)
{
    if (isServerBook(path))
        return openServer(path, true);
    const QString where = shownName(path);
    // The advice for the book looked up in the working directory does not fit one named by path
    // (on the command line, the personal book): that one is to be found or converted where it is.
    const bool usual = path == contacts::fileName();
    const QString absolute = shownBook(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()));
    switch (probeFile(path)) {
    case FileKind::Missing:
        return openError(StoreError::Kind::FileMissing,
                         u"Il file dell'archivio "_s + where + u" non esiste. "_s +
                             (usual ? u"Avviare Vinzal dalla cartella che contiene la rubrica «Vinzal.mdb», "
                                      u"oppure crearne una nuova con «vinzal-db create»."_s
                              : looksLikeServerBook(path)
                                  ? u"Se indica una rubrica su un server, controllare che ogni parola "
                                    u"chiave sia scritta correttamente (host, port, dbname, user, sslmode, "
                                    u"service)."_s
                                  : u"Controllare il nome e la cartella del file indicato, oppure creare "
                                    u"la rubrica con «vinzal-db create \""_s +
                                        absolute + u"\"»."_s));
    case FileKind::Unreadable:
        return openError(StoreError::Kind::FileUnreadable,
                         u"Il file dell'archivio "_s + where +
                             u" non può essere letto. Controllare che sia un file e che i suoi permessi "
                             u"ne consentano la lettura."_s);
    case FileKind::Empty:
        return openError(StoreError::Kind::NotAnAddressBook,
                         u"Il file "_s + where +
                             u" è vuoto e non contiene una rubrica. Ripristinare una copia di sicurezza "
                             u"oppure crearne una nuova con «vinzal-db create»."_s);
    case FileKind::Access:
        return openError(
            StoreError::Kind::AccessFile,
            u"Il file "_s + where +
                u" è un archivio di Access (formato Jet), che Vinzal non legge direttamente. "_s +
                (usual
                     ? u"Convertirlo con il comando «vinzal-db import Vinzal.mdb»: il file "
                       u"originale viene conservato con un altro nome."_s
                     : u"Convertirlo in una nuova rubrica con il comando «vinzal-db import \""_s + absolute +
                           u"\" NUOVA.mdb», oppure aprirlo con Vinzal e rispondere "
                           u"Sì alla domanda di conversione: il file originale viene "
                           u"conservato."_s));
    case FileKind::Other:
        return openError(StoreError::Kind::NotAnAddressBook,
                         u"Il file "_s + where +
                             u" non è una rubrica di Vinzal né un archivio riconosciuto. Controllare di "
                             u"aver scelto il file giusto."_s);
    case FileKind::Sqlite:
        break;
    }

    const QString name = u"vinzal-%1"_s.arg(connectionCounter.fetchAndAddRelaxed(1));
    std::unique_ptr<Connection> connection(
        new Connection(QFileInfo(path).absoluteFilePath(), name, Engine::Sqlite));
    QSqlDatabase& db = connection->m_db;
    // mode=rw: SQLite opens the file for reading and writing and never creates it.
    const QUrl url = QUrl::fromLocalFile(connection->m_path);
    db.setDatabaseName(url.toString(QUrl::FullyEncoded) + u"?mode=rw"_s);
    db.setConnectOptions(u"QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1"_s.arg(busyTimeoutMs));
    if (!db.open())
        return StoreError::fromSql(db.lastError(), u"aprire l'archivio "_s + where);

    connection->rememberTheFile();
    QSqlQuery pragma(db);
    // A write that has returned is on disk: a crash or a power cut never loses it.
    if (!pragma.exec(u"PRAGMA synchronous = FULL"_s))
        return StoreError::fromSql(pragma.lastError(), u"aprire l'archivio "_s + where);

    if (Status read = connection->readColumns(where); !read)
        return read.error();
    return connection;
}

Status Connection::readColumns(const QString& where)
{
    QSqlQuery columns(m_db);
    columns.setForwardOnly(true);
    columns.prepare(m_engine == Engine::Sqlite
                        ? u"SELECT name FROM pragma_table_info(?)"_s
                        : u"SELECT column_name FROM information_schema.columns "
                          u"WHERE table_schema = "_s +
                              dialect::tableSchema() + u" AND table_name = ? ORDER BY ordinal_position"_s);
    if (m_engine == Engine::Postgres) // where the table lies on the search path, as psql finds it
        columns.addBindValue(quoteIdentifier(contacts::tableName()));
    columns.addBindValue(contacts::tableName());
    if (!columns.exec())
        return error(columns.lastError(), u"leggere l'archivio "_s + where);
    while (columns.next())
        m_columns.append(columns.value(0).toString());
    columns.finish();
    if (m_engine == Engine::Postgres && m_columns.isEmpty()) {
        // The table may be there but hidden: information_schema shows only what this user may read.
        QSqlQuery exists(m_db);
        exists.prepare(u"SELECT to_regclass(?) IS NOT NULL"_s);
        exists.addBindValue(quoteIdentifier(contacts::tableName()));
        if (exists.exec() && exists.next() && exists.value(0).toBool())
            return openError(
                StoreError::Kind::ReadOnly,
                u"Il server non consente a questo utente di leggere la rubrica "_s + where +
                    u". Chiedere a chi amministra il server il permesso di leggerla (SELECT)."_s);
    }
    if (m_engine == Engine::Postgres && !m_columns.isEmpty()) {
        auto mark = readMark(u"leggere la rubrica "_s + where);
        if (!mark)
            return mark.error();
        m_token = mark.value();
    }
    if (m_columns.isEmpty())
        return openError(StoreError::Kind::TableMissing,
                         (m_engine == Engine::Sqlite ? u"Il file "_s : u"La base di dati "_s) + where +
                             u" non contiene la tabella «"_s + contacts::tableName() +
                             u"». Non è una rubrica di Vinzal oppure è stata modificata da un altro "
                             u"programma."_s +
                             (m_engine == Engine::Sqlite
                                  ? QString()
                                  : u" Una rubrica sul server si crea con «vinzal-db create»."_s));
    return {};
}

Result<std::unique_ptr<Connection>> Connection::openServerDatabase(const QString& book)
{
    return openServer(book, false);
}

Result<std::unique_ptr<Connection>> Connection::openServer(const QString& book, bool needTable)
{
    const QString where = u"«"_s + shownBook(book) + u"»"_s;
    QString problem;
    const auto parameters = serverParameters(book, &problem);
    // libpq's own words quote the text whole, password and all: they are not shown.
    if (parameters.isEmpty())
        return openError(StoreError::Kind::NotAnAddressBook,
                         u"Il collegamento alla rubrica sul server non è scritto correttamente. Controllare "
                         u"l'indirizzo (postgresql://server/rubrica) o le coppie parola=valore "
                         u"(host=server dbname=rubrica)."_s);
    if (!QSqlDatabase::isDriverAvailable(u"QPSQL"_s))
        return openError(StoreError::Kind::Engine,
                         u"Per aprire la rubrica sul server "_s + where +
                             u" serve il supporto di Qt per PostgreSQL, che non è installato (pacchetto "
                             u"«libqt6sql6-psql»)."_s);
    const QString name = u"vinzal-%1"_s.arg(connectionCounter.fetchAndAddRelaxed(1));
    std::unique_ptr<Connection> connection(new Connection(book, name, Engine::Postgres));
    QSqlDatabase& db = connection->m_db;
    QStringList options;
    QStringList given;
    for (const auto& [keyword, value] : parameters) {
        given.append(keyword);
        if (keyword == u"dbname"_s)
            db.setDatabaseName(value);
        else if (keyword == u"user"_s)
            db.setUserName(value);
        else if (keyword == u"password"_s)
            db.setPassword(value);
        else if (keyword == u"host"_s)
            db.setHostName(value);
        else {
            // Qt joins the options with ";", which it turns into blanks: a value cannot hold one.
            if (value.contains(u';'))
                return openError(StoreError::Kind::NotAnAddressBook,
                                 u"Il valore di «"_s + keyword +
                                     u"» nel collegamento alla rubrica sul "
                                     u"server "_s +
                                     where +
                                     u" contiene un punto e virgola, che Vinzal non può "
                                     u"passare al server."_s);
            QString quoted = value;
            quoted.replace(u"\\"_s, u"\\\\"_s).replace(u"'"_s, u"\\'"_s);
            options.append(keyword + u"='"_s + quoted + u"'"_s);
        }
    }
    // A server that does not answer must not freeze the window for ever: neither on connecting nor,
    // over a network that went away, in the middle of a statement (TCP keepalives).
    const std::pair<QString, QString> defaults[] = {{u"connect_timeout"_s, u"10"_s},
                                                    {u"keepalives"_s, u"1"_s},
                                                    {u"keepalives_idle"_s, u"15"_s},
                                                    {u"keepalives_interval"_s, u"5"_s},
                                                    {u"keepalives_count"_s, u"3"_s}};
    for (const auto& [keyword, value] : defaults)
        if (!given.contains(keyword))
            options.append(keyword + u'=' + value);
    options.append(u"application_name=Vinzal"_s);
    db.setConnectOptions(options.join(u';'));
    if (!db.open())
        return openError(StoreError::Kind::FileMissing,
                         u"Non è stato possibile collegarsi alla rubrica sul server "_s + where +
                             u". Controllare che il server sia acceso e raggiungibile, il nome della base "
                             u"di dati e dell'utente, e la password in «~/.pgpass»."_s)
            .withDetail(db.lastError().databaseText());
    // Every text is stored as the user typed it only in a UTF-8 database: another encoding refuses
    // (or, SQL_ASCII, garbles) what it cannot hold.
    QSqlQuery encoding(db);
    if (!encoding.exec(u"SELECT current_setting('server_encoding')"_s) || !encoding.next())
        return connection->error(encoding.lastError(), u"aprire la rubrica sul server "_s + where);
    if (const QString name = encoding.value(0).toString(); name != u"UTF8"_s)
        return openError(StoreError::Kind::NotAnAddressBook,
                         u"La base di dati della rubrica sul server "_s + where + u" usa la codifica «"_s +
                             name +
                             u"», che non può conservare ogni carattere. Vinzal usa solo basi di dati in "
                             u"UTF8: crearla con «createdb --encoding=UTF8 --template=template0»."_s);
    encoding.finish();
    if (Status set = connection->prepareSession(); !set)
        return set.error();
    if (needTable)
        if (Status read = connection->readColumns(where); !read)
            return read.error();
    return connection;
}

Status Connection::prepareSession()
{
    // A row or table locked by someone else's open transaction is waited for as long as a locked
    // file is, then reported as busy, instead of freezing the window.
    QSqlQuery set(m_db);
    if (!set.exec(u"SET lock_timeout = %1"_s.arg(busyTimeoutMs)))
        return error(set.lastError(), u"aprire la rubrica sul server"_s);
    return {};
}

int Connection::serverSocket() const
{
    const QVariant handle = m_db.driver() ? m_db.driver()->handle() : QVariant();
    if (m_engine != Engine::Postgres || !handle.isValid() ||
        (qstrcmp(handle.typeName(), "PGconn*") != 0 && qstrcmp(handle.typeName(), "pg_conn*") != 0))
        return -1;
    PGconn* pg = *static_cast<PGconn* const*>(handle.data());
    return pg ? PQsocket(pg) : -1;
}

QVariant Connection::bookToken() const
{
    return m_token;
}

Status Connection::ready()
{
    if (!m_lost)
        return {};
    if (Status reopened = reopen(); !reopened)
        return reopened;
    return {};
}

StoreError Connection::error(const QSqlError& error, const QString& what)
{
    if (m_engine == Engine::Sqlite)
        return StoreError::fromSql(error, what);
    StoreError mapped = StoreError::fromServer(error, what);
    // libpq says the connection is gone when the server went away (a restart, a network fault).
    const QVariant handle = m_db.driver() ? m_db.driver()->handle() : QVariant();
    // Qt names the type by the struct behind libpq's typedef.
    if (handle.isValid() &&
        (qstrcmp(handle.typeName(), "PGconn*") == 0 || qstrcmp(handle.typeName(), "pg_conn*") == 0)) {
        PGconn* pg = *static_cast<PGconn* const*>(handle.data());
        if (!pg || PQstatus(pg) == CONNECTION_BAD)
            mapped = StoreError::disconnected(what, mapped.detail);
    }
    if (mapped.kind == StoreError::Kind::Disconnected)
        m_lost = true;
    return mapped;
}

Status Connection::reopen()
{
    finalizeStatements();
    m_db.close();
    if (!m_db.open()) {
        if (m_engine == Engine::Postgres)
            return StoreError::disconnected(u"ricollegarsi alla rubrica sul server"_s,
                                            m_db.lastError().databaseText());
        return StoreError::fromSql(m_db.lastError(), u"riaprire l'archivio"_s);
    }
    m_lost = false;
    if (m_engine == Engine::Postgres)
        return prepareSession();
    rememberTheFile();
    QSqlQuery pragma(m_db);
    if (!pragma.exec(u"PRAGMA synchronous = FULL"_s))
        return StoreError::fromSql(pragma.lastError(), u"riaprire l'archivio"_s);
    return {};
}

void Connection::rememberTheFile()
{
    struct stat info = {};
    if (::stat(QFile::encodeName(m_path).constData(), &info) == 0) {
        m_device = quint64(info.st_dev);
        m_inode = quint64(info.st_ino);
    }
}

Result<QVariant> Connection::readMark(const QString& what)
{
    QSqlQuery mark(m_db);
    mark.prepare(u"SELECT "_s + dialect::bookMark());
    mark.addBindValue(quoteIdentifier(contacts::tableName()));
    if (!mark.exec() || !mark.next())
        return error(mark.lastError(), what);
    return mark.value(0);
}

Status Connection::stillTheFileOpened()
{
    if (m_engine != Engine::Sqlite) {
        // "vinzal-db copy --force" and "create --force" mark the table anew: the rows of the book
        // opened are gone, and their IDs may now belong to other contacts.
        if (Status connected = ready(); !connected)
            return connected;
        auto mark = readMark(u"salvare il contatto"_s);
        if (!mark)
            return mark.error();
        if (mark.value().isNull() == m_token.isNull() && mark.value().toString() == m_token.toString())
            return {};
        return replacedOnServer();
    }
    struct stat info = {};
    if (::stat(QFile::encodeName(m_path).constData(), &info) == 0 && quint64(info.st_dev) == m_device &&
        quint64(info.st_ino) == m_inode)
        return {};
    return StoreError{StoreError::Kind::Conflict,
                      u"Il file della rubrica "_s + shownName(m_path) +
                          u" è stato sostituito o spostato da un altro programma dopo che Vinzal lo ha "
                          u"aperto: la modifica non è stata salvata, perché finirebbe nel file che non c'è "
                          u"più. Per lavorare sul file che ora ha quel nome, rinunciare alle modifiche "
                          u"(rispondere No, oppure Esc nella tabella) e riaprire la rubrica (AGGIORNA)."_s,
                      {}};
}

StoreError Connection::replacedOnServer() const
{
    return StoreError{
        StoreError::Kind::Conflict,
        u"La rubrica sul server «"_s + shownBook(m_path) +
            u"» è stata sostituita da un altro programma (vinzal-db copy o create con --force) "
            u"dopo che Vinzal l'ha aperta: la modifica non è stata salvata, perché finirebbe su "
            u"un altro contatto. Rinunciare alle modifiche (rispondere No, oppure Esc nella "
            u"tabella) e riaprire la rubrica (AGGIORNA)."_s,
        {}};
}

Connection::Connection(QString path, QString connectionName, Engine engine)
    : m_path(std::move(path)), m_name(std::move(connectionName)),
      m_db(QSqlDatabase::addDatabase(engine == Engine::Sqlite ? u"QSQLITE"_s : u"QPSQL"_s, m_name)),
      m_engine(engine)
{
}

Connection::~Connection()
{
    // Statements first, then the last handle on the connection, so removeDatabase finds it unused.
    finalizeStatements();
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_name);
}

struct Connection::SqliteStatements
{
    sqlite3* db = nullptr;
    QHash<QString, sqlite3_stmt*> prepared;
    ~SqliteStatements()
    {
        for (sqlite3_stmt* statement : std::as_const(prepared))
            sqlite3_finalize(statement);
    }
};

void Connection::finalizeStatements()
{
    m_statements.clear();
    m_sqlite.reset();
}

namespace {

StoreError sqliteFailure(sqlite3* db, int code, const QString& what)
{
    const QString text = QString::fromUtf8(db ? sqlite3_errmsg(db) : sqlite3_errstr(code));
    return StoreError::fromSql(QSqlError(text, text, QSqlError::StatementError,
                                         QString::number(db ? sqlite3_extended_errcode(db) : code)),
                               what);
}

int bind(sqlite3_stmt* statement, int at, const QVariant& value)
{
    if (value.isNull())
        return sqlite3_bind_null(statement, at);
    switch (value.typeId()) {
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Bool:
        return sqlite3_bind_int64(statement, at, value.toLongLong());
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return sqlite3_bind_blob64(statement, at, bytes.constData(), quint64(bytes.size()), SQLITE_TRANSIENT);
    }
    default: {
        const QByteArray text = value.toString().toUtf8();
        return sqlite3_bind_text64(statement, at, text.constData(), quint64(text.size()), SQLITE_TRANSIENT,
                                   SQLITE_UTF8);
    }
    }
}

QVariant column(sqlite3_stmt* statement, int at)
{
    switch (sqlite3_column_type(statement, at)) {
    case SQLITE_NULL:
        return QVariant(QMetaType::fromType<QString>());
    case SQLITE_INTEGER:
        return QVariant(qint64(sqlite3_column_int64(statement, at)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_column_double(statement, at));
    case SQLITE_BLOB: {
        const void* data = sqlite3_column_blob(statement, at);
        return QByteArray(static_cast<const char*>(data), sqlite3_column_bytes(statement, at));
    }
    default: {
        // As UTF-16 from SQLite itself, as Qt's driver reads text: bytes that are not UTF-8 come
        // out the same way (as U+FFFD) whichever path read them.
        const void* text = sqlite3_column_text16(statement, at);
        const int bytes = sqlite3_column_bytes16(statement, at);
        return QString(reinterpret_cast<const QChar*>(text), bytes / 2);
    }
    }
}

} // namespace

Result<std::optional<QVariantList>> Connection::readOne(const QString& sql, const QVariantList& bindings)
{
    auto read = readOnce(sql, bindings);
    // A read is safe to repeat: after a server restart it connects again and reads, rather than
    // failing once more for the user.
    if (!read && read.error().kind == StoreError::Kind::Disconnected)
        return readOnce(sql, bindings);
    return read;
}

Result<std::optional<QVariantList>> Connection::readOnce(const QString& sql, const QVariantList& bindings)
{
    const QString what = u"leggere la rubrica"_s;
    if (m_engine != Engine::Sqlite) {
        auto query = prepared(sql);
        if (!query)
            return query.error();
        QSqlQuery& run = *query.value();
        for (const QVariant& value : bindings)
            run.addBindValue(value);
        if (!run.exec())
            return error(run.lastError(), what);
        std::optional<QVariantList> row;
        if (run.next()) {
            row.emplace();
            for (int i = 0, n = run.record().count(); i < n; ++i)
                row->append(run.value(i));
        } else if (run.lastError().isValid()) {
            const QSqlError failed = run.lastError();
            run.finish();
            return error(failed, what);
        }
        run.finish();
        return row;
    }
    sqlite3* db = static_cast<sqlite3*>(sqliteHandle());
    if (!db)
        return StoreError{StoreError::Kind::NotOpen, u"La rubrica non è aperta."_s, {}};
    sqlite3_stmt*& statement = m_sqlite->prepared[sql];
    if (!statement) {
        const QByteArray text = sql.toUtf8();
        const int code = sqlite3_prepare_v3(db, text.constData(), int(text.size()), SQLITE_PREPARE_PERSISTENT,
                                            &statement, nullptr);
        if (code != SQLITE_OK) {
            m_sqlite->prepared.remove(sql);
            return sqliteFailure(db, code, what);
        }
    }
    for (int i = 0; i < int(bindings.size()); ++i)
        if (const int code = bind(statement, i + 1, bindings[i]); code != SQLITE_OK) {
            sqlite3_clear_bindings(statement);
            return sqliteFailure(db, code, what);
        }
    const int code = sqlite3_step(statement);
    std::optional<QVariantList> row;
    if (code == SQLITE_ROW) {
        row.emplace();
        const int count = sqlite3_column_count(statement);
        row->reserve(count);
        for (int i = 0; i < count; ++i)
            row->append(column(statement, i));
    }
    std::optional<StoreError> failed;
    if (code != SQLITE_ROW && code != SQLITE_DONE)
        failed = sqliteFailure(db, code, what);
    // Reset at once: a statement left running would hold a read lock on the file.
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    if (failed)
        return *failed;
    return row;
}

void* Connection::sqliteHandle()
{
    if (m_engine != Engine::Sqlite)
        return nullptr;
    if (!m_sqlite) {
        const QVariant handle = m_db.driver() ? m_db.driver()->handle() : QVariant();
        if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
            return nullptr;
        sqlite3* db = *static_cast<sqlite3* const*>(handle.data());
        if (!db) // closed, and not opened again
            return nullptr;
        m_sqlite = std::make_unique<SqliteStatements>();
        m_sqlite->db = db;
    }
    return m_sqlite->db;
}

Connection::ReadSnapshot::ReadSnapshot(Connection& connection) : m_connection(connection)
{
    auto* db = static_cast<sqlite3*>(m_connection.sqliteHandle());
    // Inside a transaction already (a write under way), the reads simply join it.
    if (!db || !sqlite3_get_autocommit(db))
        return;
    // BEGIN takes no lock yet: the first read does, and holds it to the COMMIT.
    if (m_connection.readOnce(u"BEGIN"_s, {}))
        m_handle = db;
}

Connection::ReadSnapshot::~ReadSnapshot()
{
    // The file may have been closed and opened again in between (a replaced book): that ended the
    // transaction with the old handle.
    if (!m_handle || m_connection.sqliteHandle() != m_handle)
        return;
    auto* db = static_cast<sqlite3*>(m_handle);
    // An I/O error may have rolled it back already.
    if (sqlite3_get_autocommit(db))
        return;
    // Nothing was written, so nothing can be lost either way; the lock must go in any case.
    if (!m_connection.readOnce(u"COMMIT"_s, {}) && !sqlite3_get_autocommit(db))
        static_cast<void>(m_connection.readOnce(u"ROLLBACK"_s, {}));
}

Result<QSqlQuery*> Connection::prepared(const QString& sql)
{
    if (Status connected = ready(); !connected)
        return connected.error();
    auto found = m_statements.constFind(sql);
    if (found != m_statements.cend())
        return found.value().get();
    auto query = std::make_shared<QSqlQuery>(m_db);
    query->setForwardOnly(true);
    if (!query->prepare(sql)) {
        const StoreError failed = error(query->lastError(), u"preparare una lettura dell'archivio"_s);
        // A server restarted since the last statement: connected again, the statement is prepared
        // on the new connection.
        if (failed.kind != StoreError::Kind::Disconnected || !ready())
            return failed;
        query = std::make_shared<QSqlQuery>(m_db);
        query->setForwardOnly(true);
        if (!query->prepare(sql))
            return error(query->lastError(), u"preparare una lettura dell'archivio"_s);
    }
    m_statements.insert(sql, query);
    return query.get();
}

} // namespace vinzal
