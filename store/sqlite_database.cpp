// A book in a file, through SQLite's own C API. Text is bound and read as its UTF-8 bytes
// (sqlite3_bind_text64 with SQLITE_UTF8, sqlite3_column_text): SQLite keeps them as they are, so a
// leading U+FEFF, U+FFFE anywhere or bytes that are not UTF-8 come back unchanged. (Through UTF-16,
// SQLite would read a leading U+FEFF or U+FFFE as a byte-order mark and turn U+FFFE and U+FFFF
// into U+FFFD.)
#include "database.h"

#include <QFile>

#include <sqlite3.h>

#include <atomic>

using namespace Qt::StringLiterals;

namespace vinzal::sql {

namespace {

StoreError failure(sqlite3* db, int code, const QString& what)
{
    const int extended = db ? sqlite3_extended_errcode(db) : code;
    const char* text = db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    return StoreError::fromSqlite(extended ? extended : code, QString::fromUtf8(text), what);
}

class SqliteStatement final : public StatementImpl
{
public:
    SqliteStatement(sqlite3* db, sqlite3_stmt* statement) : m_db(db), m_statement(statement) {}
    ~SqliteStatement() override { sqlite3_finalize(m_statement); }

    Status bind(int position, const Value& value, const QString& what) override
    {
        int code = SQLITE_OK;
        switch (value.kind()) {
        case Value::Kind::Null:
            code = sqlite3_bind_null(m_statement, position);
            break;
        case Value::Kind::Integer:
            code = sqlite3_bind_int64(m_statement, position, value.toInteger());
            break;
        case Value::Kind::Real:
            code = sqlite3_bind_double(m_statement, position, value.toReal());
            break;
        case Value::Kind::Text: {
            const QByteArray bytes = value.bytes();
            code = sqlite3_bind_text64(m_statement, position, bytes.constData(), quint64(bytes.size()),
                                       SQLITE_TRANSIENT, SQLITE_UTF8);
            break;
        }
        case Value::Kind::Blob: {
            const QByteArray bytes = value.bytes();
            // A null pointer would bind NULL: the empty blob is a zero-length one.
            code = bytes.isEmpty() ? sqlite3_bind_zeroblob(m_statement, position, 0)
                                   : sqlite3_bind_blob64(m_statement, position, bytes.constData(),
                                                         quint64(bytes.size()), SQLITE_TRANSIENT);
            break;
        }
        }
        if (code != SQLITE_OK)
            return failure(m_db, code, what);
        return {};
    }

    Result<bool> step(const QString& what) override
    {
        if (m_done)
            return false;
        const int code = sqlite3_step(m_statement);
        if (code == SQLITE_ROW)
            return true;
        m_done = true;
        if (code == SQLITE_DONE) {
            // sqlite3_changes64() keeps the count of the connection's last write: a read changed nothing.
            m_changes = sqlite3_stmt_readonly(m_statement) ? 0 : sqlite3_changes64(m_db);
            return false;
        }
        StoreError error = failure(m_db, code, what);
        sqlite3_reset(m_statement);
        return error;
    }

    qint64 changes() const override { return m_changes; }
    int columnCount() const override { return sqlite3_column_count(m_statement); }

    Value column(int at) const override
    {
        switch (sqlite3_column_type(m_statement, at)) {
        case SQLITE_NULL:
            return {};
        case SQLITE_INTEGER:
            return Value::integer(sqlite3_column_int64(m_statement, at));
        case SQLITE_FLOAT: {
            // SQLite's own digits too ("1.0e+20"), which CAST(... AS BLOB) in a guard gives back.
            const double number = sqlite3_column_double(m_statement, at);
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, at));
            return Value::real(number, QByteArray(text, sqlite3_column_bytes(m_statement, at)));
        }
        case SQLITE_BLOB: {
            const void* data = sqlite3_column_blob(m_statement, at);
            return Value::blob(QByteArray(static_cast<const char*>(data), sqlite3_column_bytes(m_statement, at)));
        }
        default: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, at));
            return Value::text(QByteArray(text, sqlite3_column_bytes(m_statement, at)));
        }
        }
    }

    qint64 integer(int at) const override { return sqlite3_column_int64(m_statement, at); }

    void reset() override
    {
        // At once: a statement left running would hold a read lock on the file.
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
        m_done = false;
        m_changes = 0;
    }

private:
    sqlite3* m_db;
    sqlite3_stmt* m_statement;
    bool m_done = false;
    qint64 m_changes = 0;
};

class SqliteDatabase final : public Database
{
public:
    SqliteDatabase(QString path, FileMode mode) : m_path(std::move(path)), m_mode(mode) {}
    ~SqliteDatabase() override { close(); }

    Status open(const QString& what)
    {
        int flags = SQLITE_OPEN_READWRITE;
        if (m_mode == FileMode::ReadOnly)
            flags = SQLITE_OPEN_READONLY;
        else if (m_mode == FileMode::Create)
            flags |= SQLITE_OPEN_CREATE;
        const QByteArray name = QFile::encodeName(m_path);
        const int code = sqlite3_open_v2(name.constData(), &m_db, flags, nullptr);
        if (code != SQLITE_OK) {
            StoreError error = failure(m_db, code, what);
            close();
            return error;
        }
        sqlite3_extended_result_codes(m_db, 1);
        m_interrupted = false;
        sqlite3_busy_handler(m_db, waitWhileBusy, this);
        return {};
    }

    Engine engine() const override { return Engine::Sqlite; }

    Status exec(const QString& sql, const QString& what) override
    {
        if (!m_db)
            return StoreError{StoreError::Kind::NotOpen, u"La rubrica non è aperta."_s, {}};
        const QByteArray text = sql.toUtf8();
        const int code = sqlite3_exec(m_db, text.constData(), nullptr, nullptr, nullptr);
        if (code != SQLITE_OK)
            return failure(m_db, code, what);
        return {};
    }

    bool inTransaction() const override { return m_db && !sqlite3_get_autocommit(m_db); }

    Status reconnect(const QString& what) override
    {
        close();
        return open(what);
    }

    void* handle() const override { return m_db; }

    void interrupt() override
    {
        m_interrupted = true;
        if (m_db)
            sqlite3_interrupt(m_db);
    }

protected:
    std::shared_ptr<StatementImpl> prepare(const QString& sql, const QString& what, StoreError* error) override
    {
        if (!m_db) {
            *error = StoreError{StoreError::Kind::NotOpen, u"La rubrica non è aperta."_s, {}};
            return nullptr;
        }
        const QByteArray text = sql.toUtf8();
        sqlite3_stmt* statement = nullptr;
        const int code = sqlite3_prepare_v3(m_db, text.constData(), int(text.size()), SQLITE_PREPARE_PERSISTENT,
                                            &statement, nullptr);
        if (code != SQLITE_OK || !statement) {
            *error = failure(m_db, code == SQLITE_OK ? SQLITE_MISUSE : code, what);
            sqlite3_finalize(statement);
            return nullptr;
        }
        return std::make_shared<SqliteStatement>(m_db, statement);
    }

private:
    // Waits for a lock held by another connection up to busyTimeoutMs, as sqlite3_busy_timeout
    // would, but gives up at once when interrupted.
    static int waitWhileBusy(void* data, int attempts)
    {
        const auto* database = static_cast<const SqliteDatabase*>(data);
        if (database->m_interrupted || attempts * 10 >= busyTimeoutMs)
            return 0;
        sqlite3_sleep(10);
        return 1;
    }

    void close()
    {
        // Statements first: a connection with statements left cannot close.
        m_kept.clear();
        if (m_db)
            sqlite3_close_v2(m_db);
        m_db = nullptr;
    }

    QString m_path;
    FileMode m_mode;
    sqlite3* m_db = nullptr;
    std::atomic<bool> m_interrupted{false};
};

} // namespace

Result<std::unique_ptr<Database>> Database::openFile(const QString& path, FileMode mode, const QString& what)
{
    auto database = std::make_unique<SqliteDatabase>(path, mode);
    if (Status opened = database->open(what); !opened)
        return opened.error();
    return std::unique_ptr<Database>(std::move(database));
}

} // namespace vinzal::sql
