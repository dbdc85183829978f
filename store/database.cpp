#include "database.h"

#include "book_notices.h"

using namespace Qt::StringLiterals;

namespace vinzal::sql {

Database::~Database() = default;

void Database::announceWritesAs(const QString& book, const void* origin)
{
    m_book = book;
    m_origin = origin;
}

void Database::noteWritten()
{
    if (m_transactions > 0)
        m_unannounced = true;
    else
        announce();
}

void Database::announce()
{
    m_unannounced = false;
    if (!m_book.isEmpty())
        notices::written(m_book, m_origin);
}

Statement::Statement(Database& database, const QString& sql, const QString& what)
    : m_what(what), m_database(database)
{
    auto kept = database.m_kept.constFind(sql);
    if (kept != database.m_kept.cend() && !kept.value()->busy) {
        m_impl = kept.value();
    } else {
        // A statement already running (a read inside a read of the same text) gets one of its own.
        StoreError error;
        m_impl = database.prepare(sql, what, &error);
        if (!m_impl) {
            m_error = error;
            return;
        }
        if (kept == database.m_kept.cend())
            database.m_kept.insert(sql, m_impl);
    }
    m_impl->busy = true;
}

Statement::~Statement()
{
    if (!m_impl)
        return;
    m_impl->reset();
    m_impl->busy = false;
}

Statement& Statement::bind(const Value& value)
{
    ++m_bound;
    if (m_impl && !m_error)
        if (Status bound = m_impl->bind(m_bound, value, m_what); !bound)
            m_error = bound.error();
    return *this;
}

Result<bool> Statement::next()
{
    if (m_error)
        return *m_error;
    auto stepped = m_impl->step(m_what);
    if (stepped && !stepped.value() && m_impl->changes() > 0)
        m_database.noteWritten();
    return stepped;
}

Result<qint64> Statement::run()
{
    if (m_error)
        return *m_error;
    for (;;) {
        auto stepped = m_impl->step(m_what);
        if (!stepped)
            return stepped.error();
        if (!stepped.value()) {
            if (m_impl->changes() > 0)
                m_database.noteWritten();
            return m_impl->changes();
        }
    }
}

void Statement::reset()
{
    if (m_impl)
        m_impl->reset();
    m_bound = 0;
}

int Statement::columnCount() const
{
    return m_impl ? m_impl->columnCount() : 0;
}

Value Statement::value(int column) const
{
    return m_impl ? m_impl->column(column) : Value();
}

qint64 Statement::integer(int column) const
{
    return m_impl ? m_impl->integer(column) : 0;
}

Transaction::Transaction(Database& database, const QString& what, Kind kind)
    : m_database(database), m_what(what)
{
    const Engine engine = m_database.engine();
    m_begun = m_database.exec(kind == Kind::Write      ? dialect::beginWrite(engine)
                              : kind == Kind::Snapshot ? dialect::beginSnapshot(engine)
                                                       : u"BEGIN"_s,
                              what);
    m_open = m_begun.ok();
    if (m_open)
        ++m_database.m_transactions;
}

Transaction::~Transaction()
{
    if (m_open && m_database.inTransaction())
        static_cast<void>(m_database.exec(u"ROLLBACK"_s, m_what));
    if (m_open && --m_database.m_transactions == 0)
        m_database.m_unannounced = false; // rolled back: nothing was written
}

Status Transaction::commit()
{
    if (!m_begun)
        return m_begun;
    Status done = m_database.exec(u"COMMIT"_s, m_what);
    // A COMMIT that fails (a full disk, a lock) leaves the transaction open on SQLite: the
    // destructor rolls it back, so nothing half written stays.
    if (done) {
        m_open = false;
        if (--m_database.m_transactions == 0 && m_database.m_unannounced)
            m_database.announce();
    }
    return done;
}

} // namespace vinzal::sql
