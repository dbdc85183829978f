// A book on a PostgreSQL server, through libpq. Parameters go as text in the extended protocol (no
// value is ever written into SQL text) and results come back as text in single-row mode, so a
// million rows are never held at once. Text is read as the server's bytes: nothing decodes it on the
// way, so a leading U+FEFF stays.
#include "database.h"

#include <QHash>

#include <libpq-fe.h>

#include <sys/socket.h>

#include <cmath>

using namespace Qt::StringLiterals;

namespace vinzal::sql {

namespace {

// Type OIDs of the results we read (pg_type.h is a server header).
constexpr Oid boolOid = 16, byteaOid = 17, int8Oid = 20, int2Oid = 21, int4Oid = 23, oidOid = 26,
              float4Oid = 700, float8Oid = 701, numericOid = 1700;

// Our statements use "?" for parameters, as SQLite does; the server wants $1, $2... Quoted names and
// literals are copied as they are.
QByteArray numbered(const QString& sql)
{
    const QByteArray text = sql.toUtf8();
    QByteArray out;
    out.reserve(text.size() + 16);
    char quote = 0;
    int n = 0;
    for (char c : text) {
        if (quote) {
            if (c == quote)
                quote = 0;
            out.append(c);
        } else if (c == '\'' || c == '"') {
            quote = c;
            out.append(c);
        } else if (c == '?') {
            out.append('$').append(QByteArray::number(++n));
        } else {
            out.append(c);
        }
    }
    return out;
}

void ignoreNotices(void*, const char*) {}

class PostgresDatabase;

class PostgresStatement final : public StatementImpl
{
public:
    PostgresStatement(PostgresDatabase& database, QByteArray name, int parameters)
        : m_database(database), m_name(std::move(name)), m_values(parameters)
    {
    }
    ~PostgresStatement() override { reset(); }

    Status bind(int position, const Value& value, const QString& what) override;
    Result<bool> step(const QString& what) override;
    qint64 changes() const override { return m_changes; }
    int columnCount() const override { return m_row ? PQnfields(m_row) : m_columns; }
    Value column(int at) const override;
    qint64 integer(int at) const override
    {
        return m_row && !PQgetisnull(m_row, 0, at) ? QByteArray(PQgetvalue(m_row, 0, at)).toLongLong() : 0;
    }
    void reset() override;

private:
    PostgresDatabase& m_database;
    QByteArray m_name;
    QList<std::optional<QByteArray>> m_values;
    bool m_sent = false;
    bool m_done = false;
    PGresult* m_row = nullptr;
    int m_columns = 0;
    qint64 m_changes = 0;
};

class PostgresDatabase final : public Database
{
public:
    explicit PostgresDatabase(QList<std::pair<QString, QString>> parameters) : m_parameters(std::move(parameters))
    {
    }
    ~PostgresDatabase() override { close(); }

    Status open(const QString& what)
    {
        QList<QByteArray> keywords, values;
        QStringList given;
        for (const auto& [keyword, value] : m_parameters) {
            given.append(keyword);
            keywords.append(keyword.toUtf8());
            values.append(value.toUtf8());
        }
        // A server that does not answer must not freeze the window for ever: neither on connecting
        // nor, over a network that went away, in the middle of a statement (TCP keepalives).
        const std::pair<QString, QString> defaults[] = {
            {u"connect_timeout"_s, u"10"_s},     {u"keepalives"_s, u"1"_s},
            {u"keepalives_idle"_s, u"15"_s},     {u"keepalives_interval"_s, u"5"_s},
            {u"keepalives_count"_s, u"3"_s},     {u"application_name"_s, u"Vinzal"_s},
            {u"client_encoding"_s, u"UTF8"_s}};
        for (const auto& [keyword, value] : defaults)
            if (!given.contains(keyword)) {
                keywords.append(keyword.toUtf8());
                values.append(value.toUtf8());
            }
        std::vector<const char*> k, v;
        for (qsizetype i = 0; i < keywords.size(); ++i) {
            k.push_back(keywords[i].constData());
            v.push_back(values[i].constData());
        }
        k.push_back(nullptr);
        v.push_back(nullptr);
        m_conn = PQconnectdbParams(k.data(), v.data(), 0);
        if (!m_conn || PQstatus(m_conn) != CONNECTION_OK) {
            StoreError error = StoreError::disconnected(what, m_conn ? message() : QString());
            error.kind = StoreError::Kind::FileMissing;
            close();
            return error;
        }
        // libpq would print the server's notices (English) on standard error.
        PQsetNoticeProcessor(m_conn, ignoreNotices, nullptr);
        m_lost = false;
        // A row or table locked by someone else's open transaction is waited for as long as a
        // locked file is, then reported as busy, instead of freezing the window.
        return exec(u"SET lock_timeout = %1"_s.arg(busyTimeoutMs), what);
    }

    Engine engine() const override { return Engine::Postgres; }

    Status exec(const QString& sql, const QString& what) override
    {
        if (!m_conn)
            return StoreError::disconnected(what, {});
        PGresult* result = PQexec(m_conn, sql.toUtf8().constData());
        const Status status = check(result, what);
        PQclear(result);
        return status;
    }

    bool inTransaction() const override
    {
        return m_conn && PQtransactionStatus(m_conn) != PQTRANS_IDLE &&
               PQtransactionStatus(m_conn) != PQTRANS_UNKNOWN;
    }
    bool lost() const override { return m_lost; }

    Status reconnect(const QString& what) override
    {
        close();
        if (Status opened = open(what); !opened)
            return StoreError::disconnected(what, opened.error().detail);
        return {};
    }

    int socket() const override { return m_conn ? PQsocket(m_conn) : -1; }
    void* handle() const override { return m_conn; }
    // A server that does not answer would keep the statement waiting: the connection is cut under
    // it (the statement then fails as disconnected).
    void interrupt() override
    {
        if (const int fd = socket(); fd >= 0)
            ::shutdown(fd, SHUT_RDWR);
    }
    PGconn* conn() const { return m_conn; }

    QString message() const { return QString::fromUtf8(PQerrorMessage(m_conn)).trimmed(); }

    // The error of `result` (or of the connection when there is none) as a StoreError; an empty
    // Status when the result is a success. A lost connection is noted.
    Status check(const PGresult* result, const QString& what)
    {
        const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_SINGLE_TUPLE ||
            status == PGRES_EMPTY_QUERY)
            return {};
        const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
        const char* text = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
        const QString detail = text ? QString::fromUtf8(text) : message();
        if (!m_conn || PQstatus(m_conn) == CONNECTION_BAD) {
            m_lost = true;
            return StoreError::disconnected(what, detail);
        }
        StoreError error = StoreError::fromServer(QString::fromLatin1(state ? state : ""), detail, what);
        if (error.kind == StoreError::Kind::Disconnected)
            m_lost = true;
        return error;
    }

    // The statement whose rows are being read: the protocol runs one at a time on a connection.
    PostgresStatement* running = nullptr;

protected:
    std::shared_ptr<StatementImpl> prepare(const QString& sql, const QString& what, StoreError* error) override
    {
        if (!m_conn) {
            *error = StoreError::disconnected(what, {});
            m_lost = true;
            return nullptr;
        }
        const QByteArray name = "vinzal_" + QByteArray::number(++m_counter);
        const QByteArray text = numbered(sql);
        PGresult* result = PQprepare(m_conn, name.constData(), text.constData(), 0, nullptr);
        Status status = check(result, what);
        PQclear(result);
        if (!status) {
            *error = status.error();
            return nullptr;
        }
        PGresult* described = PQdescribePrepared(m_conn, name.constData());
        status = check(described, what);
        const int parameters = described ? PQnparams(described) : 0;
        PQclear(described);
        if (!status) {
            *error = status.error();
            return nullptr;
        }
        return std::make_shared<PostgresStatement>(*this, name, parameters);
    }

private:
    void close()
    {
        m_kept.clear();
        if (m_conn)
            PQfinish(m_conn);
        m_conn = nullptr;
        running = nullptr;
    }

    QList<std::pair<QString, QString>> m_parameters;
    PGconn* m_conn = nullptr;
    bool m_lost = false;
    quint64 m_counter = 0;
};

Status PostgresStatement::bind(int position, const Value& value, const QString& what)
{
    if (position < 1 || position > m_values.size())
        return StoreError{StoreError::Kind::Engine, u"Errore interno: parametro in più."_s, {}};
    if (value.isNull()) {
        m_values[position - 1].reset();
        return {};
    }
    QByteArray bytes = value.bytes();
    // Parameters go as C strings: the server could not be told of a NUL, and would cut the text at it.
    if (bytes.contains('\0'))
        return StoreError::fromServer(u"22021"_s, u"null character"_s, what);
    if (value.kind() == Value::Kind::Real && std::isinf(value.toReal()))
        bytes = value.toReal() > 0 ? "Infinity" : "-Infinity";
    else if (value.kind() == Value::Kind::Real && std::isnan(value.toReal()))
        bytes = "NaN";
    m_values[position - 1] = bytes;
    return {};
}

Result<bool> PostgresStatement::step(const QString& what)
{
    if (m_done)
        return false;
    PGconn* conn = m_database.conn();
    if (!conn)
        return StoreError::disconnected(what, {});
    if (!m_sent) {
        if (m_database.running && m_database.running != this)
            return StoreError{StoreError::Kind::Engine,
                              u"Errore interno: due letture insieme sulla stessa connessione."_s,
                              {}};
        std::vector<const char*> values;
        for (const auto& value : std::as_const(m_values))
            values.push_back(value ? value->constData() : nullptr);
        if (!PQsendQueryPrepared(conn, m_name.constData(), int(values.size()), values.data(), nullptr, nullptr, 0) ||
            !PQsetSingleRowMode(conn)) {
            m_done = true;
            return m_database.check(nullptr, what).error();
        }
        m_sent = true;
        m_database.running = this;
    }
    PQclear(m_row);
    m_row = nullptr;
    PGresult* result = PQgetResult(conn);
    if (result && PQresultStatus(result) == PGRES_SINGLE_TUPLE) {
        m_row = result;
        return true;
    }
    // The end: a success carries the count of rows changed; then the protocol's closing null.
    Status status = m_database.check(result, what);
    if (result) {
        m_columns = PQnfields(result);
        // PQcmdTuples() counts the rows a SELECT returned too: only a write changes rows.
        const QByteArray command = PQcmdStatus(result);
        const bool write =
            command.startsWith("INSERT ") || command.startsWith("UPDATE ") || command.startsWith("DELETE ");
        m_changes = write ? QByteArray(PQcmdTuples(result)).toLongLong() : 0;
    }
    PQclear(result);
    while (PGresult* rest = PQgetResult(conn)) {
        if (status)
            status = m_database.check(rest, what);
        PQclear(rest);
    }
    m_done = true;
    m_database.running = nullptr;
    if (!status)
        return status.error();
    return false;
}

Value PostgresStatement::column(int at) const
{
    if (!m_row || PQgetisnull(m_row, 0, at))
        return {};
    const char* text = PQgetvalue(m_row, 0, at);
    const int length = PQgetlength(m_row, 0, at);
    switch (PQftype(m_row, at)) {
    case int2Oid:
    case int4Oid:
    case int8Oid:
    case oidOid:
        return Value::integer(QByteArray(text, length).toLongLong());
    case float4Oid:
    case float8Oid:
    case numericOid:
        return Value::real(QByteArray(text, length).toDouble(), QByteArray(text, length));
    case boolOid:
        return Value::integer(text[0] == 't' ? 1 : 0);
    case byteaOid: {
        size_t size = 0;
        unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &size);
        Value value = Value::blob(QByteArray(reinterpret_cast<const char*>(bytes), qsizetype(size)));
        PQfreemem(bytes);
        return value;
    }
    default:
        return Value::text(QByteArray(text, length));
    }
}

void PostgresStatement::reset()
{
    PQclear(m_row);
    m_row = nullptr;
    // A run left before its end: the rest of its rows are read and dropped, so that the connection
    // is free for the next statement.
    if (m_sent && !m_done && m_database.conn()) {
        while (PGresult* rest = PQgetResult(m_database.conn()))
            PQclear(rest);
    }
    if (m_database.running == this)
        m_database.running = nullptr;
    m_sent = false;
    m_done = false;
    m_changes = 0;
    for (auto& value : m_values)
        value.reset();
}

} // namespace

Result<std::unique_ptr<Database>> Database::openServer(const QList<std::pair<QString, QString>>& parameters,
                                                       const QString& what)
{
    auto database = std::make_unique<PostgresDatabase>(parameters);
    if (Status opened = database->open(what); !opened)
        return opened.error();
    return std::unique_ptr<Database>(std::move(database));
}

} // namespace vinzal::sql
