#include "connection.h"

#include "contact_table.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace vinzal {

namespace {

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

    std::unique_ptr<Connection> connection(new Connection(QFileInfo(path).absoluteFilePath(), Engine::Sqlite));
    const QString what = u"aprire l'archivio "_s + where;
    auto opened = sql::Database::openFile(connection->m_path, sql::Database::FileMode::ReadWrite, what);
    if (!opened)
        return opened.error();
    connection->m_db = std::move(opened.value());
    connection->m_db->announceWritesAs(connection->m_path, connection.get());
    if (Status prepared = connection->prepareFile(what); !prepared)
        return prepared.error();
    if (Status read = connection->readColumns(where); !read)
        return read.error();
    return connection;
}

Status Connection::prepareFile(const QString& what)
{
    rememberTheFile();
    // A write that has returned is on disk: a crash or a power cut never loses it.
    return m_db->exec(u"PRAGMA synchronous = FULL"_s, what);
}

Status Connection::readColumns(const QString& where)
{
    const QString what = u"leggere l'archivio "_s + where;
    {
        sql::Statement columns(*m_db,
                               m_engine == Engine::Sqlite
                                   ? u"SELECT name FROM pragma_table_info(?)"_s
                                   : u"SELECT column_name FROM information_schema.columns "
                                     u"WHERE table_schema = "_s +
                                         dialect::tableSchema() +
                                         u" AND table_name = ? ORDER BY ordinal_position"_s,
                               what);
        if (m_engine == Engine::Postgres) // where the table lies on the search path, as psql finds it
            columns.bind(Value::fromEditedText(quoteIdentifier(contacts::tableName())));
        columns.bind(Value::fromEditedText(contacts::tableName()));
        for (;;) {
            auto row = columns.next();
            if (!row)
                return row.error();
            if (!row.value())
                break;
            m_columns.append(columns.value(0).toText());
        }
    }
    if (m_engine == Engine::Postgres && m_columns.isEmpty()) {
        // The table may be there but hidden: information_schema shows only what this user may read.
        auto exists = readOne(u"SELECT to_regclass(?) IS NOT NULL"_s,
                              {Value::fromEditedText(quoteIdentifier(contacts::tableName()))});
        if (exists && exists.value() && exists.value()->value(0).toInteger() == 1)
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
    std::unique_ptr<Connection> connection(new Connection(book, Engine::Postgres));
    auto opened = sql::Database::openServer(parameters, u"collegarsi alla rubrica sul server "_s + where);
    if (!opened)
        return openError(StoreError::Kind::FileMissing,
                         u"Non è stato possibile collegarsi alla rubrica sul server "_s + where +
                             u". Controllare che il server sia acceso e raggiungibile, il nome della base "
                             u"di dati e dell'utente, e la password in «~/.pgpass»."_s)
            .withDetail(opened.error().detail);
    connection->m_db = std::move(opened.value());
    connection->m_db->announceWritesAs(connection->m_path, connection.get());
    // Every text is stored as the user typed it only in a UTF-8 database: another encoding refuses
    // (or, SQL_ASCII, garbles) what it cannot hold.
    auto encoding = connection->readOne(u"SELECT current_setting('server_encoding')"_s, {});
    if (!encoding)
        return encoding.error();
    if (const QString name = encoding.value() ? encoding.value()->value(0).toText() : QString();
        name != u"UTF8"_s)
        return openError(StoreError::Kind::NotAnAddressBook,
                         u"La base di dati della rubrica sul server "_s + where + u" usa la codifica «"_s +
                             name +
                             u"», che non può conservare ogni carattere. Vinzal usa solo basi di dati in "
                             u"UTF8: crearla con «createdb --encoding=UTF8 --template=template0»."_s);
    if (needTable)
        if (Status read = connection->readColumns(where); !read)
            return read.error();
    return connection;
}

int Connection::serverSocket() const
{
    return m_db ? m_db->socket() : -1;
}

Status Connection::ready()
{
    if (!m_db || !m_db->lost())
        return {};
    // Inside a transaction the server has already rolled back what was done: connecting again would
    // run the rest of the operation outside it. The whole operation fails; the next one reconnects.
    if (m_db->transactionUnderWay())
        return StoreError{StoreError::Kind::Disconnected,
                          u"Il collegamento con il server della rubrica si è interrotto a metà "
                          u"dell'operazione: il server l'ha annullata per intero e la rubrica è rimasta "
                          u"com'era. Riprovare tra qualche istante, Vinzal si ricollega da sé."_s,
                          {}};
    return reopen();
}

Status Connection::reopen()
{
    if (m_engine == Engine::Postgres)
        return m_db->reconnect(u"ricollegarsi alla rubrica sul server"_s);
    if (Status opened = m_db->reconnect(u"riaprire l'archivio"_s); !opened)
        return opened;
    return prepareFile(u"riaprire l'archivio"_s);
}

void Connection::rememberTheFile()
{
    struct stat info = {};
    if (::stat(QFile::encodeName(m_path).constData(), &info) == 0) {
        m_device = quint64(info.st_dev);
        m_inode = quint64(info.st_ino);
    }
}

Result<Value> Connection::readMark(const QString& what)
{
    sql::Statement mark(*m_db, u"SELECT "_s + dialect::bookMark(), what);
    mark.bind(Value::fromEditedText(quoteIdentifier(contacts::tableName())));
    auto row = mark.next();
    if (!row)
        return row.error();
    return row.value() ? mark.value(0) : Value();
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
        if (mark.value() == m_token)
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

Connection::Connection(QString path, Engine engine) : m_path(std::move(path)), m_engine(engine) {}

Connection::~Connection() = default;

Result<std::optional<Values>> Connection::readOne(const QString& sql, const Values& bindings)
{
    if (Status connected = ready(); !connected)
        return connected.error();
    auto read = readOnce(sql, bindings);
    // A read is safe to repeat: after a server restart it connects again and reads, rather than
    // failing once more for the user; but not inside a transaction (ready()).
    if (!read && read.error().kind == StoreError::Kind::Disconnected) {
        if (Status connected = ready(); !connected)
            return m_db->transactionUnderWay() ? connected.error() : read.error();
        return readOnce(sql, bindings);
    }
    return read;
}

Result<std::optional<Values>> Connection::readOnce(const QString& sql, const Values& bindings)
{
    if (!m_db)
        return StoreError{StoreError::Kind::NotOpen, u"La rubrica non è aperta."_s, {}};
    sql::Statement statement(*m_db, sql, u"leggere la rubrica"_s);
    for (const Value& value : bindings)
        statement.bind(value);
    auto stepped = statement.next();
    if (!stepped)
        return stepped.error();
    std::optional<Values> row;
    if (stepped.value()) {
        row.emplace();
        const int count = statement.columnCount();
        row->reserve(count);
        for (int i = 0; i < count; ++i)
            row->append(statement.value(i));
    }
    return row;
}

Connection::ReadSnapshot::ReadSnapshot(Connection& connection) : m_connection(connection)
{
    sql::Database* db = m_connection.m_db.get();
    // On a server each statement is one round trip already; inside a transaction (a write under
    // way) the reads simply join it.
    if (!db || m_connection.m_engine != Engine::Sqlite || db->inTransaction())
        return;
    // BEGIN takes no lock yet: the first read does, and holds it to the COMMIT.
    if (db->exec(u"BEGIN"_s, u"leggere la rubrica"_s))
        m_began = db;
}

Connection::ReadSnapshot::~ReadSnapshot()
{
    // The file may have been closed and opened again in between (a replaced book): that ended the
    // transaction with the old handle. An I/O error may have rolled it back already.
    if (!m_began || m_connection.m_db.get() != m_began || !m_began->inTransaction())
        return;
    // Nothing was written, so nothing can be lost either way; the lock must go in any case.
    if (!m_began->exec(u"COMMIT"_s, u"leggere la rubrica"_s) && m_began->inTransaction())
        static_cast<void>(m_began->exec(u"ROLLBACK"_s, u"leggere la rubrica"_s));
}

} // namespace vinzal
