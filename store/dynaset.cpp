#include "dynaset.h"

#include "contact_table.h"

#include <QFile>
#include <QSqlError>

#include <sqlite3.h>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace vinzal {

Dynaset::Dynaset(Connection& connection) : m_connection(connection) {}

namespace {

StoreError sqliteError(sqlite3* db, int code)
{
    const QString text = QString::fromUtf8(db ? sqlite3_errmsg(db) : sqlite3_errstr(code));
    return StoreError::fromSql(QSqlError(text, text, QSqlError::StatementError, QString::number(code)),
                               u"leggere la rubrica"_s);
}

// Puts rowids in ascending order. They are mostly dense (an AUTOINCREMENT key with few deletions),
// so a bitmap over their range is far cheaper than a comparison sort.
void putInOrder(std::vector<qint64>& ids)
{
    if (ids.empty())
        return;
    const auto [low, high] = std::minmax_element(ids.begin(), ids.end());
    const qint64 first = *low;
    const quint64 range = quint64(*high - first) + 1;
    if (range > 8 * quint64(ids.size()) + 64) {
        std::sort(ids.begin(), ids.end());
        return;
    }
    std::vector<bool> present(range);
    for (qint64 id : ids)
        present[quint64(id - first)] = true;
    qsizetype at = 0;
    for (quint64 offset = 0; offset < range; ++offset)
        if (present[offset])
            ids[std::size_t(at++)] = first + qint64(offset);
}

// Runs `sql` and hands the first column of each row to `take`.
template <typename Take> Status selectIds(sqlite3* db, const QString& sql, Take take)
{
    const QByteArray text = sql.toUtf8();
    sqlite3_stmt* statement = nullptr;
    int code = sqlite3_prepare_v2(db, text.constData(), int(text.size()), &statement, nullptr);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> finalizer(statement, sqlite3_finalize);
    if (code != SQLITE_OK)
        return sqliteError(db, code);
    while ((code = sqlite3_step(statement)) == SQLITE_ROW)
        take(sqlite3_column_int64(statement, 0));
    if (code != SQLITE_DONE)
        return sqliteError(db, code);
    return {};
}

} // namespace

Status Dynaset::open()
{
    m_pages.clear();
    m_ids.clear();
    m_denseFirst = 0;
    m_size = 0;
    // Read through a short-lived read-only connection of our own, straight from the C API and
    // without mutexes (one thread uses it): a million ids through QSqlQuery cost ten times as much.
    sqlite3* db = nullptr;
    int code = sqlite3_open_v2(QFile::encodeName(m_connection.path()).constData(), &db,
                               SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(db, sqlite3_close);
    if (code != SQLITE_OK)
        return sqliteError(db, code);
    sqlite3_busy_timeout(db, Connection::busyTimeoutMs);
    // One read transaction, so that the count and the ids agree.
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);

    const QString table = quoteIdentifier(contacts::tableName());
    qint64 values[3] = {0, 0, 0};
    const QString probes[3] = {u"SELECT count(*) FROM "_s + table,
                               u"SELECT rowid FROM "_s + table + u" ORDER BY rowid LIMIT 1"_s,
                               u"SELECT rowid FROM "_s + table + u" ORDER BY rowid DESC LIMIT 1"_s};
    for (int i = 0; i < 3; ++i) {
        auto first = selectIds(db, probes[i], [&](qint64 value) { values[i] = value; });
        if (!first)
            return first;
    }
    const auto [count, low, high] = values;
    // Ids with no gap (nothing was ever deleted: the program never deletes) need no list at all.
    if (count == 0 || high - low + 1 == count) {
        m_denseFirst = low;
        m_size = count;
        return {};
    }
    // Without ORDER BY, SQLite reads them from the narrowest covering index instead of the wide table.
    m_ids.reserve(std::size_t(count));
    auto read = selectIds(db, u"SELECT rowid FROM "_s + table, [this](qint64 id) { m_ids.push_back(id); });
    if (!read) {
        m_ids.clear();
        return read;
    }
    putInOrder(m_ids);
    m_size = qsizetype(m_ids.size());
    return {};
}

qsizetype Dynaset::positionOf(qint64 rowid) const
{
    if (m_ids.empty())
        return rowid >= m_denseFirst && rowid - m_denseFirst < m_size ? qsizetype(rowid - m_denseFirst) : -1;
    const auto found = std::lower_bound(m_ids.begin(), m_ids.end(), rowid);
    return found != m_ids.end() && *found == rowid ? qsizetype(found - m_ids.begin()) : -1;
}

Result<Row> Dynaset::rowAt(qsizetype position)
{
    const qsizetype page = position / pageSize;
    if (QList<Row>* cached = m_pages.object(page))
        return cached->at(position % pageSize);

    const qsizetype first = page * pageSize;
    const qsizetype last = std::min(size(), first + pageSize) - 1;
    static const QString sql = u"SELECT "_s + rowColumns() + u" FROM "_s +
                               quoteIdentifier(contacts::tableName()) +
                               u" WHERE rowid BETWEEN ? AND ? ORDER BY rowid"_s;
    auto prepared = m_connection.prepared(sql);
    if (!prepared)
        return prepared.error();
    QSqlQuery& query = *prepared.value();
    query.addBindValue(rowidAt(first));
    query.addBindValue(rowidAt(last));
    if (!query.exec())
        return StoreError::fromSql(query.lastError(), u"leggere la rubrica"_s);
    auto rows = std::make_unique<QList<Row>>();
    rows->resize(last - first + 1);
    while (query.next()) {
        // Rows added by others inside the range are not part of this dynaset and are skipped.
        const qsizetype at = positionOf(query.value(0).toLongLong());
        if (at < first || at > last)
            continue;
        (*rows)[at - first] = rowFromQuery(query);
    }
    const QSqlError error = query.lastError();
    query.finish();
    if (error.isValid())
        return StoreError::fromSql(error, u"leggere la rubrica"_s);
    Row result = rows->at(position - first);
    m_pages.insert(page, rows.release());
    return result;
}

void Dynaset::forget(qsizetype position)
{
    m_pages.remove(position / pageSize);
}

} // namespace vinzal
