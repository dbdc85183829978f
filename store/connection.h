#pragma once

#include "database.h"
#include "engine.h"
#include "store_error.h"
#include "value.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace vinzal {

// One connection to an address book: an SQLite file, opened read-write and never created, or a
// database on a PostgreSQL server (engine.h), through the engine's own client (database.h). It owns
// the connection and its kept statements; destroying it closes both.
class Connection
{
public:
    // Opens `book` (a file's path or a server's connection string) as an address book holding the
    // contact table. Every way this can fail (missing file, not an SQLite file, an Access file, a
    // damaged file, no table, a server that does not answer or refuses us) has its own message.
    static Result<std::unique_ptr<Connection>> open(const QString& book);
    // Connects to the server's database named by `book`, whether or not it has the contact table
    // yet (for making it).
    static Result<std::unique_ptr<Connection>> openServerDatabase(const QString& book);

    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    sql::Database& db() { return *m_db; }
    Engine engine() const { return m_engine; }
    // The socket of the connection to a server, or -1: shutting it down wakes a statement waiting
    // for a server that no longer answers.
    int serverSocket() const;

    // Connects again if the connection to the server was lost; call before any statement.
    Status ready();

    // Closes and opens the same file again, keeping this object (and the cursors that refer to it).
    // SQLite opens a write-protected file read-only and keeps it so; after the user has mended the
    // permissions, only a new open can write.
    Status reopen();
    // The file's absolute path, or the server book as given.
    const QString& path() const { return m_path; }

    // Whether the file at path() is still the one opened. Another program may have put a new file in
    // its place (a rename, as "vinzal-db ... --force" does). SQLite then refuses to write with an
    // error that reads as a permissions problem, and the retry after one reopens the path: the change
    // made on a row of the old file would go into the new one.
    // A server book's table is marked anew whenever it is replaced; the same check compares marks.
    Status stillTheFileOpened();
    // The mark of the server's table when it was opened (its comment), for the write's own guard.
    Value bookToken() const { return m_token; }
    StoreError replacedOnServer() const;

    // The columns of the contact table, as the file has them.
    const QStringList& columns() const { return m_columns; }

    // Runs `sql`, which reads at most one row, with `bindings`, and gives that row's columns (or
    // nothing). The card's every move is one or a few of these, each kept prepared. A read is safe
    // to repeat: after a lost connection to a server it connects again and reads once more.
    Result<std::optional<Values>> readOne(const QString& sql, const Values& bindings);

    // Runs the reads of its lifetime in one read transaction on a file: one lock and one check of
    // the file instead of one per statement, and every row read sees the same version of the book.
    // Only for readOne(): the lock is let go at its end, so keep it as short as the reads and never
    // across a dialog or a signal. Nothing on a server, where each statement is one round trip.
    class ReadSnapshot
    {
    public:
        explicit ReadSnapshot(Connection& connection);
        ~ReadSnapshot();
        ReadSnapshot(const ReadSnapshot&) = delete;
        ReadSnapshot& operator=(const ReadSnapshot&) = delete;

    private:
        Connection& m_connection;
        sql::Database* m_began = nullptr; // the connection it began on, if it began one
    };

    // How long a statement waits for a lock held by another connection before it reports Busy.
    static constexpr int busyTimeoutMs = sql::Database::busyTimeoutMs;

private:
    Connection(QString path, Engine engine);
    static Result<std::unique_ptr<Connection>> openServer(const QString& book, bool needTable);
    Status readColumns(const QString& where);
    Status prepareFile(const QString& what);
    Result<Value> readMark(const QString& what);
    Result<std::optional<Values>> readOnce(const QString& sql, const Values& bindings);

    QString m_path;
    std::unique_ptr<sql::Database> m_db;
    QStringList m_columns;
    Engine m_engine = Engine::Sqlite;
    Value m_token; // the server table's mark when opened
    quint64 m_device = 0, m_inode = 0; // the file opened, as stat(2) names it
    void rememberTheFile();
};

// Quotes an identifier taken from the schema (a field or table name) for use in SQL text.
// Only names that come from the file's own schema or from the fixed contact names are quoted:
// values from the user are always bound.
QString quoteIdentifier(const QString& name);

// What kind of file lies at `path`, from its first bytes.
enum class FileKind { Missing, Unreadable, Empty, Sqlite, Access, Other };
FileKind probeFile(const QString& path);

} // namespace vinzal
