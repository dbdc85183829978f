#include "dynaset.h"

#include "contact_table.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#endif

using namespace Qt::StringLiterals;

namespace vinzal {

// A thread that reads the count and the ids, and what it found. The thread only writes the results
// before `finished` is set, and the window's thread only reads them after.
struct Dynaset::Reader
{
    std::thread thread;
    std::atomic<bool> stopped{false};
    std::mutex mutex;
    std::condition_variable finishedCondition;
    bool finished = false; // under mutex
    sql::Database* db = nullptr; // under mutex: open while reading, so that stop() can interrupt it

    std::optional<StoreError> error;
    bool dense = false; // the ids are first, first + 1, ... first + count - 1
    qint64 first = 0;
    qint64 count = 0;
    std::vector<qint64> ids; // otherwise, in ascending order

    void stop()
    {
        stopped = true;
        {
            std::lock_guard lock(mutex);
            // Also a server that does not answer would keep the thread (and the window closing the
            // table view, which joins it) waiting.
            if (db)
                db->interrupt();
        }
        releaseHeld();
    }
    static void releaseHeld();
};

namespace {

std::mutex holdMutex;
std::condition_variable holdCondition;
Dynaset::Hold holdWhere = Dynaset::Hold::Nowhere;
std::atomic<int> unfinished{0};

void waitWhileHeld(Dynaset::Hold here, const Dynaset::Reader& reader)
{
    std::unique_lock lock(holdMutex);
    holdCondition.wait(lock, [&] { return holdWhere != here || reader.stopped; });
}

StoreError interrupted()
{
    return StoreError::fromSqlite(9 /* SQLITE_INTERRUPT */, u"interrupted"_s, u"leggere la rubrica"_s);
}

// Puts rowids in ascending order. They are mostly dense (an AUTOINCREMENT key with few deletions),
// so a bitmap over their range is far cheaper than a comparison sort. Any 64-bit rowid is valid,
// so the range is worked out without signed overflow.
void putInOrder(std::vector<qint64>& ids)
{
    if (ids.empty())
        return;
    const auto [low, high] = std::minmax_element(ids.begin(), ids.end());
    const qint64 first = *low;
    const quint64 span = quint64(*high) - quint64(first); // the range less one: never overflows
    if (span >= 8 * quint64(ids.size()) + 64) {
        std::sort(ids.begin(), ids.end());
        return;
    }
    std::vector<bool> present(std::size_t(span) + 1);
    for (qint64 id : ids)
        present[std::size_t(quint64(id) - quint64(first))] = true;
    qsizetype at = 0;
    for (std::size_t offset = 0; offset < present.size(); ++offset)
        if (present[offset])
            ids[std::size_t(at++)] = qint64(quint64(first) + offset);
}

// Runs `sql` and hands the first column of each row to `take`, until `stopped` is set.
template <typename Take>
Status selectIds(sql::Database& db, const QString& sql, const std::atomic<bool>& stopped, Take take)
{
    sql::Statement statement(db, sql, u"leggere la rubrica"_s);
    for (unsigned n = 0;; ++n) {
        if (n % 4096 == 0 && stopped)
            return interrupted();
        auto row = statement.next();
        if (!row)
            return row.error();
        if (!row.value())
            return {};
        take(statement.integer(0));
    }
}

// After the count and the ends of the ids are read: waits where a test holds readers, and takes ids
// with no gap (the program itself never deletes) as a range, which needs no list. Gives the status
// to end with, or nothing when the ids are to be read.
std::optional<Status> takeRange(Dynaset::Reader& reader, qint64 count, qint64 low, qint64 high)
{
    waitWhileHeld(Dynaset::Hold::WhileReading, reader);
    if (reader.stopped)
        return interrupted();
    if (count == 0 || quint64(high) - quint64(low) == quint64(count) - 1) {
        reader.dense = true;
        reader.first = low;
        reader.count = count;
        return Status();
    }
    reader.ids.reserve(std::size_t(count));
    return std::nullopt;
}

// The reader's work: the count, then the ids unless they have no gap, in one read transaction (so
// that they agree), through a connection of its own (read-only on a file): a file's reader holds
// no lock the window's writes would wait for, and a million ids are read in a fraction of a second.
Status readList(Dynaset::Reader& reader, const QString& book, Engine engine)
{
    const QString what = u"leggere la rubrica"_s;
    std::unique_ptr<Connection> server;
    std::unique_ptr<sql::Database> file;
    if (engine == Engine::Sqlite) {
        auto opened = sql::Database::openFile(book, sql::Database::FileMode::ReadOnly, what);
        if (!opened)
            return opened.error();
        file = std::move(opened.value());
    } else {
        auto opened = Connection::open(book);
        if (!opened)
            return opened.error();
        server = std::move(opened.value());
    }
    sql::Database& db = file ? *file : server->db();
    {
        std::lock_guard lock(reader.mutex);
        reader.db = &db;
    }
    // Forgotten before the connection closes, so that stop() never touches one closed since.
    const auto forget = [&reader](void*) {
        std::lock_guard lock(reader.mutex);
        reader.db = nullptr;
    };
    std::unique_ptr<void, decltype(forget)> forgetting(&reader, forget);
    if (reader.stopped) // before the connection could be interrupted
        return interrupted();
    sql::Transaction snapshot(db, what, sql::Transaction::Kind::Snapshot);
    if (!snapshot.begun())
        return snapshot.begun();

    const QString table = quoteIdentifier(contacts::tableName());
    const QString rowid = dialect::rowid(engine);
    const QString probes[3] = {u"SELECT count(*) FROM "_s + table,
                               u"SELECT "_s + rowid + u" FROM "_s + table + u" ORDER BY "_s + rowid + u" LIMIT 1"_s,
                               u"SELECT "_s + rowid + u" FROM "_s + table + u" ORDER BY "_s + rowid +
                                   u" DESC LIMIT 1"_s};
    qint64 values[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i)
        if (Status read = selectIds(db, probes[i], reader.stopped, [&](qint64 value) { values[i] = value; });
            !read)
            return read;
    if (const auto ended = takeRange(reader, values[0], values[1], values[2]))
        return *ended;
    // Without ORDER BY, SQLite reads them from the narrowest covering index instead of the wide
    // table; a server reads its primary key's index in order.
    const QString all = u"SELECT "_s + rowid + u" FROM "_s + table +
                        (engine == Engine::Sqlite ? QString() : u" ORDER BY "_s + rowid);
    if (Status read = selectIds(db, all, reader.stopped, [&](qint64 id) { reader.ids.push_back(id); }); !read)
        return read;
    putInOrder(reader.ids);
    return {};
}

// The reader is background work: on a machine whose cores are all busy it must not take the
// window's thread's turn while the first rows are painted. (Linux gives each thread its own nice
// value; raising it needs no privilege.)
void yieldToTheWindow()
{
#ifdef Q_OS_LINUX
    const id_t thread = id_t(syscall(SYS_gettid));
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, thread);
    if (errno == 0)
        setpriority(PRIO_PROCESS, thread, std::min(nice + 5, 19));
#endif
}

} // namespace

void Dynaset::Reader::releaseHeld()
{
    {
        std::lock_guard lock(holdMutex);
    }
    holdCondition.notify_all();
}

void Dynaset::holdListsForTesting(Hold where)
{
    {
        std::lock_guard lock(holdMutex);
        holdWhere = where;
    }
    holdCondition.notify_all();
}

int Dynaset::unfinishedReaders()
{
    return unfinished;
}

Dynaset::Dynaset(Connection& connection, QObject* parent) : QObject(parent), m_connection(connection) {}

Dynaset::~Dynaset()
{
    stopReader();
}

void Dynaset::stopReader()
{
    if (!m_reader)
        return;
    m_reader->stop();
    m_reader->thread.join();
    --unfinished;
    m_reader.reset();
}

namespace {

QString selectColumns(Engine engine)
{
    return u"SELECT "_s + rowColumns(engine) + u" FROM "_s + quoteIdentifier(contacts::tableName());
}

// Reads the rows `sql` selects with `bindings` into `rows`, each at its position given by `place`
// (-1: not ours). After a server restart the rows are read again on a new connection rather than
// shown empty.
template <typename Place>
Status readRows(Connection& connection, const QString& sql, const Values& bindings, QList<Row>& rows,
                Place place)
{
    for (int attempt = 0;; ++attempt) {
        if (Status connected = connection.ready(); !connected)
            return connected;
        sql::Statement query(connection.db(), sql, u"leggere la rubrica"_s);
        for (const Value& value : bindings)
            query.bind(value);
        Values values(1 + fieldCount);
        for (;;) {
            auto row = query.next();
            if (!row) {
                if (row.error().kind == StoreError::Kind::Disconnected && attempt == 0)
                    break;
                return row.error();
            }
            if (!row.value())
                return {};
            const qsizetype at = place(query.integer(0));
            if (at < 0)
                continue;
            if (at >= rows.size())
                rows.resize(at + 1);
            for (int i = 0; i <= fieldCount; ++i)
                values[i] = query.value(i);
            rows[at] = rowFromValues(values);
        }
    }
}

} // namespace

Status Dynaset::open()
{
    stopReader();
    ++m_generation;
    m_pages.clear();
    m_ids.clear();
    m_denseFirst = 0;
    m_size = 0;
    m_listStatus = {};

    // The first page at once, and one row more to know whether there is anything after it.
    const Engine engine = m_connection.engine();
    auto rows = std::make_unique<QList<Row>>();
    qsizetype next = 0;
    if (Status read = readRows(m_connection,
                               selectColumns(engine) + u" ORDER BY "_s + dialect::rowid(engine) + u" LIMIT ?"_s,
                               {Value::integer(pageSize + 1)}, *rows,
                               [&next](qint64) { return next++; });
        !read)
        return read;
    const bool more = rows->size() > pageSize;
    if (more)
        rows->resize(pageSize);
    for (const Row& row : std::as_const(*rows))
        m_ids.push_back(row.rowid);
    m_size = rows->size();
    if (m_size > 0)
        m_pages.insert(0, rows.release());
    if (!more)
        return {}; // the whole table

    // The rest on the reader's thread, handed over through the event loop of this one.
    m_reader = std::make_unique<Reader>();
    ++unfinished;
    Reader* reader = m_reader.get();
    const quint64 generation = m_generation;
    reader->thread = std::thread([this, reader, generation, engine, book = m_connection.path()] {
        yieldToTheWindow();
        if (Status read = readList(*reader, book, engine); !read)
            reader->error = read.error();
        waitWhileHeld(Hold::BeforeHandOver, *reader);
        {
            std::lock_guard lock(reader->mutex);
            reader->finished = true;
        }
        reader->finishedCondition.notify_all();
        // This object outlives the thread (its destructor joins it), and an event posted to it is
        // dropped if it is destroyed before the event is delivered.
        if (!reader->stopped)
            QMetaObject::invokeMethod(
                this, [this, generation] { takeList(generation); }, Qt::QueuedConnection);
    });
    return {};
}

Status Dynaset::waitForList()
{
    if (!m_reader)
        return m_listStatus;
    {
        std::unique_lock lock(m_reader->mutex);
        m_reader->finishedCondition.wait(lock, [this] { return m_reader->finished; });
    }
    takeList(m_generation);
    return m_listStatus;
}

void Dynaset::takeList(quint64 generation)
{
    if (!m_reader || generation != m_generation)
        return; // taken already by waitForList(), or read for an earlier open
    {
        std::lock_guard lock(m_reader->mutex);
        if (!m_reader->finished)
            return;
    }
    m_reader->thread.join();
    --unfinished;
    const std::unique_ptr<Reader> reader = std::move(m_reader);
    if (reader->error) {
        m_listStatus = StoreError{reader->error->kind,
                                  u"Non è stato possibile leggere l'elenco completo dei contatti: sono "
                                  u"mostrati solo i primi %1. Chiudere la tabella e riaprirla."_s.arg(m_size),
                                  reader->error->fullText()};
        emit listFailed(m_listStatus.error());
        return;
    }

    // The rows already known keep their places: the list read later adds the rows after the last
    // of them. A row another program added or deleted between the two reads is treated as one added
    // or deleted after the open.
    const std::size_t shown = m_ids.size();
    const qint64 lastShown = m_ids.back();
    std::vector<qint64> ids;
    qint64 denseFirst = 0;
    qsizetype size = 0;
    if (reader->dense) {
        const qint64 last = qint64(quint64(reader->first) + quint64(reader->count) - 1);
        const bool shownAreItsHead = reader->count > 0 && quint64(reader->count) >= shown &&
                                     m_ids.front() == reader->first &&
                                     quint64(lastShown) - quint64(reader->first) == shown - 1;
        if (shownAreItsHead) {
            denseFirst = reader->first;
            size = qsizetype(reader->count);
        } else {
            ids = m_ids;
            if (reader->count > 0 && lastShown < last) {
                for (qint64 id = std::max(reader->first, lastShown + 1);; ++id) {
                    ids.push_back(id);
                    if (id == last)
                        break;
                }
            }
            size = qsizetype(ids.size());
        }
    } else {
        const auto after = std::upper_bound(reader->ids.begin(), reader->ids.end(), lastShown);
        if (std::size_t(after - reader->ids.begin()) == shown &&
            std::equal(m_ids.begin(), m_ids.end(), reader->ids.begin())) {
            ids = std::move(reader->ids);
        } else {
            ids.reserve(shown + std::size_t(reader->ids.end() - after));
            ids.assign(m_ids.begin(), m_ids.end());
            ids.insert(ids.end(), after, reader->ids.end());
        }
        size = qsizetype(ids.size());
    }
    const bool grows = size > m_size;
    if (grows)
        emit aboutToGrow(size);
    m_ids = std::move(ids);
    m_ids.shrink_to_fit();
    m_denseFirst = denseFirst;
    m_size = size;
    if (grows)
        emit grown();
}

qsizetype Dynaset::positionOf(qint64 rowid) const
{
    if (m_ids.empty())
        return rowid >= m_denseFirst && quint64(rowid) - quint64(m_denseFirst) < quint64(m_size)
                   ? qsizetype(quint64(rowid) - quint64(m_denseFirst))
                   : -1;
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
    const QString rowid = dialect::rowid(m_connection.engine());
    const QString sql =
        selectColumns(m_connection.engine()) + u" WHERE "_s + rowid + u" BETWEEN ? AND ? ORDER BY "_s + rowid;
    auto rows = std::make_unique<QList<Row>>();
    rows->resize(last - first + 1);
    // Rows added by others inside the range are not part of this dynaset and are skipped. A row
    // deleted meanwhile comes back with rowid 0; a write to it is refused as for any deleted row.
    Status read = readRows(m_connection, sql, {Value::integer(rowidAt(first)), Value::integer(rowidAt(last))},
                           *rows, [&](qint64 rowid) {
                               const qsizetype at = positionOf(rowid);
                               return at < first || at > last ? -1 : at - first;
                           });
    if (!read)
        return read.error();
    Row result = rows->at(position - first);
    m_pages.insert(page, rows.release());
    return result;
}

void Dynaset::forget(qsizetype position)
{
    m_pages.remove(position / pageSize);
}

} // namespace vinzal
