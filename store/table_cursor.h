#pragma once

#include "connection.h"
#include "row.h"
#include "store_error.h"

#include <QString>
#include <QVariant>

#include <optional>

namespace vinzal {

// A keyset cursor over the contact table: the current row is known by its rowid (and, in the order
// of an index, by its key), and every move is one or two indexed queries with LIMIT 1. No move reads
// the table, and a step inside a run of equal keys does not scan the run.
//
// Without an index the order is rowid; with an index on column C it is (C, rowid), NULLs first.
class TableCursor
{
public:
    explicit TableCursor(Connection& connection) : m_connection(connection) {}

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

    // Makes the row with `rowid` current (a row just added, say).
    Status moveTo(qint64 rowid);
    void clearCurrent() { m_current.reset(); }

    bool hasCurrent() const { return m_current.has_value(); }
    qint64 currentRowid() const { return m_current ? m_current->rowid : 0; }

    // The current row, read afresh from the file.
    Result<Row> readCurrent();

private:
    struct Position
    {
        qint64 rowid = 0;
        QVariant key; // the index column's value; unused without an index
    };

    // Runs a keyset query whose result columns are (rowid[, key]). `found` tells whether it gave a row.
    Result<std::optional<Position>> fetch(const QString& sql, const QVariantList& bindings);
    Status moveStep(bool forward);
    Status moveToEnd(bool last);
    QString select() const;
    QString from() const;

    Connection& m_connection;
    QString m_indexName;
    QString m_column; // quoted index column, empty without an index
    std::optional<Position> m_current;
    bool m_noMatch = false;
};

} // namespace vinzal
