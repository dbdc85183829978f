#pragma once

#include "engine.h"
#include "store_error.h"
#include "value.h"

#include <QHash>
#include <QString>

#include <memory>
#include <optional>
#include <utility>

// The store's one way to an engine: a connection (Database) and its statements (Statement), each
// engine through its own client library, the sqlite3 C API for files and libpq for servers. Values
// are bound and read as their stored bytes and kind (value.h), so nothing converts text on the way.
// Every error of either engine becomes a StoreError here, and nowhere else.
namespace vinzal::sql {

class StatementImpl;

class Database
{
public:
    enum class FileMode { ReadWrite, ReadOnly, Create };

    // Opens an SQLite file. ReadWrite and ReadOnly never create it; a file SQLite may only read is
    // opened read-only by ReadWrite too, and writes to it then fail as ReadOnly.
    static Result<std::unique_ptr<Database>> openFile(const QString& path, FileMode mode,
                                                      const QString& what);
    // Connects to a PostgreSQL server with libpq's keyword/value pairs (engine.h parses a book into
    // them). Secrets in them are never shown: the message names the server only by `shown`.
    static Result<std::unique_ptr<Database>> openServer(const QList<std::pair<QString, QString>>& parameters,
                                                        const QString& what);

    virtual ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    virtual Engine engine() const = 0;

    // Runs statements that take no parameters and return no rows (BEGIN, PRAGMA, DDL; several may be
    // separated by ';').
    virtual Status exec(const QString& sql, const QString& what) = 0;
    virtual bool inTransaction() const = 0;

    // Whether the connection to a server was lost (a restart, a network fault): the next
    // reconnect() makes a new one. Never true for a file.
    virtual bool lost() const { return false; }
    // Closes and connects (or opens the same file) again. Kept statements are prepared anew.
    virtual Status reconnect(const QString& what) = 0;
    // Whether a Transaction on this connection has begun and not ended. A connection lost inside one
    // must not be made anew under it: the server has rolled the transaction back, and what followed
    // would run outside it, each statement committed on its own.
    bool transactionUnderWay() const { return m_transactions > 0; }

    // The socket of a server connection, or -1: shutting it down wakes a statement waiting for a
    // server that no longer answers.
    virtual int socket() const { return -1; }
    // Stops what a statement of this connection is doing, from another thread: the statement fails
    // as interrupted, and a wait for a lock ends at once.
    virtual void interrupt() = 0;
    // The engine's own handle (sqlite3* or PGconn*), for the benchmark's floors and the tests.
    virtual void* handle() const = 0;

    // How long a statement waits for a lock held by another connection before it reports Busy.
    static constexpr int busyTimeoutMs = 4000;

    // Rows this connection adds, changes or removes are told to the listeners of notices (book_notices.h)
    // under `book` and `origin`, once committed. Without this, nothing is told (a book being made).
    void announceWritesAs(const QString& book, const void* origin);

protected:
    Database() = default;
    friend class Statement;
    // Makes a statement for `sql`; null with `error` set when the engine refuses it.
    virtual std::shared_ptr<StatementImpl> prepare(const QString& sql, const QString& what,
                                                   StoreError* error) = 0;
    // Statements are prepared once per connection and kept; reconnect() drops them.
    QHash<QString, std::shared_ptr<StatementImpl>> m_kept;

private:
    friend class Transaction;
    // A statement changed rows: told now outside a transaction, else when it commits.
    void noteWritten();
    void announce();
    int m_transactions = 0;
    QString m_book;
    const void* m_origin = nullptr;
    bool m_unannounced = false; // rows changed in the transaction under way
};

// One statement: prepared once per connection (and kept), bound with values, stepped through its rows.
// The statement is reset when this object goes, so that no read lock stays on a file. `what` says
// what was being done, for the error's message ("salvare il contatto").
class Statement
{
public:
    Statement(Database& database, const QString& sql, const QString& what);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Binds the next placeholder ("?", in order).
    Statement& bind(const Value& value);
    Statement& bind(qint64 number) { return bind(Value::integer(number)); }

    // Runs the statement on the first call and steps to its next row: true when there is one.
    Result<bool> next();
    // Runs the statement to its end; the number of rows it changed.
    Result<qint64> run();

    // Ends the run and clears the bindings, for the next run of the same statement (a row at a time).
    void reset();

    int columnCount() const;
    Value value(int column) const;
    qint64 integer(int column) const;

private:
    std::shared_ptr<StatementImpl> m_impl;
    QString m_what;
    Database& m_database;
    std::optional<StoreError> m_error; // from preparing
    int m_bound = 0;
};

// A transaction that is rolled back unless committed.
class Transaction
{
public:
    // Plain: BEGIN. Write and Snapshot: as each engine begins them (dialect::beginWrite(),
    // dialect::beginSnapshot()).
    enum class Kind { Plain, Write, Snapshot };
    Transaction(Database& database, const QString& what, Kind kind = Kind::Plain);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    // Whether BEGIN succeeded; its error otherwise.
    const Status& begun() const { return m_begun; }
    Status commit();

private:
    Database& m_database;
    QString m_what;
    Status m_begun;
    bool m_open = false;
};

// What each engine's statement does; one implementation per client library.
class StatementImpl
{
public:
    virtual ~StatementImpl() = default;
    virtual Status bind(int position, const Value& value, const QString& what) = 0; // 1-based
    virtual Result<bool> step(const QString& what) = 0;
    virtual qint64 changes() const = 0;
    virtual int columnCount() const = 0;
    virtual Value column(int at) const = 0;
    virtual qint64 integer(int at) const = 0;
    virtual void reset() = 0; // ends the run and clears the bindings
    bool busy = false;        // held by a Statement
};

} // namespace vinzal::sql
