#include "dynaset.h"

#include "contact_table.h"

#include <QSqlError>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace vinzal {

Dynaset::Dynaset(Connection& connection) : m_connection(connection) {}

Status Dynaset::open()
{
    m_pages.clear();
    m_ids.clear();
    QSqlQuery query(m_connection.database());
    query.setForwardOnly(true);
    if (!query.exec(u"SELECT rowid FROM "_s + quoteIdentifier(contacts::tableName()) + u" ORDER BY rowid"_s))
        return StoreError::fromSql(query.lastError(), u"leggere la rubrica"_s);
    while (query.next())
        m_ids.push_back(query.value(0).toLongLong());
    if (query.lastError().isValid())
        return StoreError::fromSql(query.lastError(), u"leggere la rubrica"_s);
    return {};
}

qsizetype Dynaset::positionOf(qint64 rowid) const
{
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
    static const QString sql = [] {
        QStringList columns;
        for (const QString& field : contacts::fields())
            columns.append(quoteIdentifier(field));
        return u"SELECT rowid, "_s + columns.join(u", "_s) + u" FROM "_s +
               quoteIdentifier(contacts::tableName()) + u" WHERE rowid BETWEEN ? AND ? ORDER BY rowid"_s;
    }();
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
    const qsizetype fieldCount = contacts::fields().size();
    while (query.next()) {
        // Rows added by others inside the range are not part of this dynaset and are skipped.
        const qsizetype at = positionOf(query.value(0).toLongLong());
        if (at < first || at > last)
            continue;
        Row& row = (*rows)[at - first];
        row.rowid = query.value(0).toLongLong();
        row.values.reserve(fieldCount);
        for (qsizetype i = 0; i < fieldCount; ++i)
            row.values.append(query.value(int(i + 1)));
    }
    const QSqlError error = query.lastError();
    query.finish();
    if (error.isValid())
        return StoreError::fromSql(error, u"leggere la rubrica"_s);
    Row result = rows->at(position - first);
    m_pages.insert(page, rows.release());
    return result;
}

void Dynaset::forget(qsizetype position) { m_pages.remove(position / pageSize); }

} // namespace vinzal
