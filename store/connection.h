#pragma once

#include "engine.h"
#include "store_error.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace vinzal {

// One connection to an address book: an SQLite file, opened read-write and never created, or a
// database on a PostgreSQL server (engine.h). It owns its Qt SQL connection name and its prepared
// statements; destroying it closes both.
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

    QSqlDatabase database() const { return m_db; }
    Engine engine() const { return m_engine; }
    // The socket of the connection to a server, or -1: shutting it down wakes a statement waiting
    // for a server that no longer answers.
    int serverSocket() const;

    // Maps an error of this connection's engine to a message; `what` says what was being done. A
    // lost connection to a server is noted, and the next ready() connects again.
    StoreError error(const QSqlError& error, const QString& what);
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
    QVariant bookToken() const;
    StoreError replacedOnServer() const;

    // The columns of the contact table, as the file has them.
    const QStringList& columns() const { return m_columns; }

    // A prepared statement for `sql`, prepared once and kept for the life of the connection.
    // Statements are reset after each use by the caller (QSqlQuery::finish), so that no read
    // transaction stays open and blocks other writers.
    Result<QSqlQuery*> prepared(const QString& sql);

    // Runs `sql`, which reads at most one row, with `bindings`, and gives that row's columns (or
    // nothing). The card's every move is one or a few of these: on a file they go straight to
    // SQLite's own statements, kept prepared, since Qt SQL's bookkeeping around each run (the
    // column descriptions it rebuilds, the values it converts) costs as much as SQLite's work.
    Result<std::optional<QVariantList>> readOne(const QString& sql, const QVariantList& bindings);
    // The same without trying again after a lost connection.
    Result<std::optional<QVariantList>> readOnce(const QString& sql, const QVariantList& bindings);

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
        void* m_handle = nullptr; // the sqlite3 handle it began on, if it began one
    };

    // How long a statement waits for a lock held by another connection before it reports Busy.
    static constexpr int busyTimeoutMs = 4000;

private:
    Connection(QString path, QString connectionName, Engine engine);
    static Result<std::unique_ptr<Connection>> openServer(const QString& book, bool needTable);
    Status readColumns(const QString& where);
    Status prepareSession();
    Result<QVariant> readMark(const QString& what);

    QString m_path;
    QString m_name;
    QSqlDatabase m_db;
    QStringList m_columns;
    Engine m_engine = Engine::Sqlite;
    bool m_lost = false; // the server closed the connection
    QVariant m_token;    // the server table's mark when opened
    QHash<QString, std::shared_ptr<QSqlQuery>> m_statements;
    struct SqliteStatements; // SQLite's statements for readOne(), finalized before every close
    std::unique_ptr<SqliteStatements> m_sqlite;
    void finalizeStatements();
    void* sqliteHandle();
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
