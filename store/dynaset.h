#pragma once

#include "connection.h"
#include "row.h"
#include "store_error.h"

#include <QCache>

#include <vector>

namespace vinzal {

// The rows of the contact table as they were when it was opened: the list of their rowids, read
// once (or, when they have no gap, just the first and the count), and their values fetched by rowid a page at
// a time into a cache of bounded size. Rows added after the open are not in it until it is opened again.
class Dynaset
{
public:
    explicit Dynaset(Connection& connection);

    Status open();
    qsizetype size() const { return m_size; }
    qint64 rowidAt(qsizetype position) const
    {
        return m_ids.empty() ? m_denseFirst + position : m_ids.at(std::size_t(position));
    }
    // The position of `rowid`, or -1 (binary search: rowids are kept in ascending order).
    qsizetype positionOf(qint64 rowid) const;

    // The row at `position`. A row deleted meanwhile by another program comes back with rowid 0.
    Result<Row> rowAt(qsizetype position);
    // Drops the cached values of the row at `position` (after it was written).
    void forget(qsizetype position);

    static constexpr qsizetype pageSize = 64;
    static constexpr int maxPages = 64; // at most 4096 rows are held

private:
    Connection& m_connection;
    // The rowids in ascending order; left empty when they are m_denseFirst, m_denseFirst + 1, ...
    std::vector<qint64> m_ids;
    qint64 m_denseFirst = 0;
    qsizetype m_size = 0;
    QCache<qsizetype, QList<Row>> m_pages{maxPages};
};

} // namespace vinzal
