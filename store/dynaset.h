#pragma once

#include "connection.h"
#include "row.h"
#include "store_error.h"

#include <QCache>
#include <QObject>

#include <memory>
#include <vector>

namespace vinzal {

// The rows of the contact table as they were when it was opened: the list of their rowids and their
// values fetched by rowid a page at a time into a cache of bounded size. Rows added after the open
// are not in it until it is opened again.
//
// Counting a million rows or reading their ids takes longer than showing the first ones, so open()
// reads only the first page; the count and the ids are read on a thread of their own, through a
// read-only connection of their own, and taken in when they arrive: until then size() is the number
// of rows of the first page, and it only ever grows (aboutToGrow/grown), at the end, so rows already
// shown keep their positions. waitForList() takes the list in at once for a move that needs it.
class Dynaset : public QObject
{
    Q_OBJECT
public:
    explicit Dynaset(Connection& connection, QObject* parent = nullptr);
    ~Dynaset() override; // stops a list still being read, and waits for its thread

    Status open();
    // The rows known so far: the first page until the whole list has been taken in.
    qsizetype size() const { return m_size; }
    // Whether size() is the number of rows of the table (the whole list has been taken in).
    bool isComplete() const { return !m_reader; }
    // Waits until the list has been read and takes it in; the error, if reading it failed.
    Status waitForList();

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

    // For tests: where list readers stop and wait until released (or stopped), so that a window
    // can be driven while its list is still on its way.
    enum class Hold { Nowhere, WhileReading, BeforeHandOver };
    static void holdListsForTesting(Hold where);
    // For tests: how many list readers have not finished yet (threads not yet joined included).
    static int unfinishedReaders();

    struct Reader;

signals:
    // The list has arrived and size() is about to grow to `size`: rows are added at the end only.
    void aboutToGrow(qsizetype size);
    void grown();
    // Reading the list failed: the rows known so far stay, and no more come.
    void listFailed(const vinzal::StoreError& error);

private:
    void stopReader();
    // Takes in the list read by the reader of `generation`, unless it is stale or already taken.
    void takeList(quint64 generation);

    Connection& m_connection;
    // The rowids in ascending order; left empty when they are m_denseFirst, m_denseFirst + 1, ...
    std::vector<qint64> m_ids;
    qint64 m_denseFirst = 0;
    qsizetype m_size = 0;
    QCache<qsizetype, QList<Row>> m_pages{maxPages};
    // Each open() starts a new generation: a list read for an earlier one is dropped.
    quint64 m_generation = 0;
    std::unique_ptr<Reader> m_reader;
    Status m_listStatus;
};

} // namespace vinzal
