#include "table_cursor.h"

#include "contact_table.h"

#include <QSqlError>

using namespace Qt::StringLiterals;

namespace vinzal {

QString TableCursor::select() const
{
    return m_column.isEmpty() ? u"SELECT rowid FROM "_s : u"SELECT rowid, "_s + m_column + u" FROM "_s;
}

QString TableCursor::from() const
{
    return quoteIdentifier(contacts::tableName());
}

Result<std::optional<TableCursor::Position>> TableCursor::fetch(const QString& sql,
                                                                const QVariantList& bindings)
{
    auto prepared = m_connection.prepared(sql);
    if (!prepared)
        return prepared.error();
    QSqlQuery& query = *prepared.value();
    for (const QVariant& value : bindings)
        query.addBindValue(value);
    if (!query.exec())
        return StoreError::fromSql(query.lastError(), u"spostarsi nella rubrica"_s);
    std::optional<Position> position;
    if (query.next()) {
        position = Position{query.value(0).toLongLong(), m_column.isEmpty() ? QVariant() : query.value(1)};
    } else if (query.lastError().isValid()) {
        const QSqlError error = query.lastError();
        query.finish();
        return StoreError::fromSql(error, u"spostarsi nella rubrica"_s);
    }
    // Ends the statement at once: a statement left open would hold a read lock on the file.
    query.finish();
    return position;
}

Status TableCursor::setIndex(const QString& name)
{
    // The index must belong to the contact table; its first column gives the order.
    auto prepared = m_connection.prepared(
        u"SELECT ii.name FROM sqlite_master AS m, pragma_index_info(m.name) AS ii "
        u"WHERE m.type = 'index' AND m.name = ? AND m.tbl_name = ? COLLATE NOCASE AND ii.seqno = 0"_s);
    if (!prepared)
        return prepared.error();
    QSqlQuery& query = *prepared.value();
    query.addBindValue(name);
    query.addBindValue(contacts::tableName());
    if (!query.exec())
        return StoreError::fromSql(query.lastError(), u"scegliere l'indice «"_s + name + u"»"_s);
    const bool found = query.next();
    const QString column = found ? query.value(0).toString() : QString();
    query.finish();
    if (!found || column.isEmpty())
        return StoreError{StoreError::Kind::IndexMissing,
                          u"La tabella «"_s + contacts::tableName() + u"» non ha l'indice «"_s + name +
                              u"», che serve per questa ricerca. Controllare la rubrica con "
                              u"«vinzal-db check»."_s,
                          {}};
    m_indexName = name;
    m_column = quoteIdentifier(column);
    // The current row keeps its place; its key in the new order is read with it.
    if (m_current)
        return moveTo(m_current->rowid);
    return {};
}

Status TableCursor::moveFirst()
{
    return moveToEnd(false);
}

Status TableCursor::moveLast()
{
    return moveToEnd(true);
}

Status TableCursor::moveToEnd(bool last)
{
    QString order = m_column.isEmpty() ? u"rowid"_s : m_column + u", rowid"_s;
    if (last)
        order = m_column.isEmpty() ? u"rowid DESC"_s : m_column + u" DESC, rowid DESC"_s;
    auto end = fetch(select() + from() + u" ORDER BY "_s + order + u" LIMIT 1"_s, {});
    if (!end)
        return end.error();
    m_current = end.value();
    return {};
}

Status TableCursor::moveNext()
{
    if (!m_current)
        return moveFirst();
    return moveStep(true);
}

Status TableCursor::movePrevious()
{
    if (!m_current)
        return moveLast();
    return moveStep(false);
}

Status TableCursor::moveStep(bool forward)
{
    const Position here = *m_current;
    const QString base = select() + from() + u" WHERE "_s;
    const QString byRowid = forward ? u" ORDER BY rowid LIMIT 1"_s : u" ORDER BY rowid DESC LIMIT 1"_s;
    const QString rowidStep = forward ? u"rowid > ?"_s : u"rowid < ?"_s;
    auto result = [&]() -> Result<std::optional<Position>> {
        if (m_column.isEmpty())
            return fetch(base + rowidStep + byRowid, {here.rowid});
        const QString byKey = forward ? u" ORDER BY "_s + m_column + u", rowid LIMIT 1"_s
                                      : u" ORDER BY "_s + m_column + u" DESC, rowid DESC LIMIT 1"_s;
        if (here.key.isNull()) {
            // Inside the run of NULLs, which comes first.
            auto inRun = fetch(base + m_column + u" IS NULL AND "_s + rowidStep + byRowid, {here.rowid});
            if (!inRun || inRun.value() || !forward)
                return inRun;
            return fetch(base + m_column + u" IS NOT NULL"_s + byKey, {});
        }
        // First inside the run of equal keys, by rowid, then past it: neither query scans the run.
        auto inRun = fetch(base + m_column + u" = ? AND "_s + rowidStep + byRowid, {here.key, here.rowid});
        if (!inRun || inRun.value())
            return inRun;
        auto past = fetch(base + m_column + (forward ? u" > ?"_s : u" < ?"_s) + byKey, {here.key});
        if (!past || past.value() || forward)
            return past;
        // Before every non-NULL key lie the NULLs.
        return fetch(base + m_column + u" IS NULL"_s + byRowid, {});
    }();
    if (!result)
        return result.error();
    if (result.value())
        m_current = result.value();
    return {}; // at an end the current row stays
}

Status TableCursor::seek(const QString& comparison, const QString& key)
{
    if (comparison != u">="_s)
        return StoreError{
            StoreError::Kind::Engine, u"Confronto di ricerca non previsto: «"_s + comparison + u"»."_s, {}};
    if (m_column.isEmpty())
        return StoreError{
            StoreError::Kind::IndexMissing, u"Nessun indice è stato scelto per la ricerca."_s, {}};
    auto found = fetch(select() + from() + u" WHERE "_s + m_column + u" >= ? ORDER BY "_s + m_column +
                           u", rowid LIMIT 1"_s,
                       {key});
    if (!found)
        return found.error();
    m_noMatch = !found.value().has_value();
    m_current = found.value();
    return {};
}

Status TableCursor::moveTo(qint64 rowid)
{
    auto found = fetch(select() + from() + u" WHERE rowid = ?"_s, {rowid});
    if (!found)
        return found.error();
    if (!found.value())
        return StoreError{StoreError::Kind::NoCurrentRow,
                          u"Il contatto non esiste più: è stato eliminato da un altro programma. "
                          u"Rileggere la rubrica."_s,
                          {}};
    m_current = found.value();
    return {};
}

Result<Row> TableCursor::readCurrent()
{
    if (!m_current)
        return StoreError{StoreError::Kind::NoCurrentRow, u"Nessun contatto è selezionato."_s, {}};
    return readRow(m_connection, m_current->rowid);
}

} // namespace vinzal
