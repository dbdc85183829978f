#pragma once

#include "connection.h"
#include "row.h"
#include "store_error.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace vinzal {

// A keyset cursor over the contact table: the current row is known by its rowid (and, in the order
// of an index, by its keys), and every move is one or a few indexed queries with LIMIT 1. No move
// reads the table, and a step inside a run of equal keys does not scan the run.
//
// Without an index the order is rowid. With an index in the Italian order (italian_order.h) it is
// (folded key, lower-case key, rowid); with an index of the older form, on column C, it is
// (C, rowid). NULLs come first. Which of the two an index has is read from the file's schema.
class TableCursor
{
public:
    explicit TableCursor(Connection& connection) : m_connection(connection) { buildStatements({}, {}); }

    // Chooses the index named `name` (looked up in the file's schema). The current row is kept.
    Status setIndex(const QString& name);
    QString index() const { return m_indexName; }

    Status moveFirst();
    Status moveLast();
    // At the ends the current row stays. Without a current row, next goes to the first row and
    // previous to the last.
    Status moveNext();
    Status movePrevious();

    // Makes current the first row, in index order, whose key is >= `key`. Only ">=" is known.
    // Without such a row NoMatch is set and there is no current row.
    Status seek(const QString& comparison, const QString& key);
    bool noMatch() const { return m_noMatch; }

    // Makes the row with `rowid` current (a row just added or changed, say), reading its keys
    // afresh, so that the next move starts from where the row now lies in the order.
    Status moveTo(qint64 rowid);
    void clearCurrent() { m_current.reset(); }

    bool hasCurrent() const { return m_current.has_value(); }
    qint64 currentRowid() const { return m_current ? m_current->rowid : 0; }

    // The current row, read afresh from the file.
    Result<Row> readCurrent();

    // Every statement the cursor runs in the current order, for checking their query plans.
    QStringList statements() const;

private:
    struct Position
    {
        qint64 rowid = 0;
        Values keys; // the keys of the order, as read with the row; empty without an index
    };

    // The statements of one order, made once when the order is chosen. With keys k0..kn-1, level i
    // of a step keeps k0..ki-1 equal to the current row's and moves ki past it; level n stays inside
    // the run of equal keys and moves by rowid. Each ORDER BY names only the keys not fixed by "=",
    // or SQLite would sort in a temporary B-tree instead of reading the index in order.
    struct Statements
    {
        QString first, last, byRowid;
        QStringList next, previous;     // by level, 0..n
        QString nullNext, nullPrevious; // inside the run of NULLs
        QString firstKeyed, lastNull;   // the first row past the NULLs, the last NULL
        // Seek: the first row whose first key is at or after the text's; when its first key is
        // the text's and its second key is before the text's, the run of that first key instead.
        QString seekFirst, seekRun;
    };
    void buildStatements(const QStringList& keys, const QString& notNull);
    // The keys of the searched text, as the index computes them for a row.
    Values searchKeys(const QString& text) const;

    // Runs a keyset query whose result columns are (rowid, keys...).
    Result<std::optional<Position>> fetch(const QString& sql, const Values& bindings);
    Status moveStep(bool forward);
    Result<std::optional<Position>> step(const Position& here, bool forward);

    Connection& m_connection;
    QString m_indexName;
    qsizetype m_keyCount = 0;
    bool m_italian = false;
    Statements m_sql;
    std::optional<Position> m_current;
    bool m_noMatch = false;
};

} // namespace vinzal
