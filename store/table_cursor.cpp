#include "table_cursor.h"

#include "contact_table.h"
#include "italian_order.h"

using namespace Qt::StringLiterals;

namespace vinzal {

namespace {

// "k0 = ? AND k1 = ?" for the first `count` keys, with `targets` on the right.
QStringList equalities(const QStringList& keys, const QStringList& targets, qsizetype count)
{
    QStringList terms;
    for (qsizetype i = 0; i < count; ++i)
        terms.append(keys[i] + u" = "_s + targets[i]);
    return terms;
}

// "ORDER BY ki, ..., rowid" from key `from` on, ascending or descending.
QString orderFrom(Engine engine, const QStringList& keys, qsizetype from, bool descending)
{
    QStringList terms;
    for (const QString& key : keys.mid(from))
        terms.append(descending ? dialect::descending(engine, key) : dialect::ascending(engine, key));
    // The key is never NULL: named plainly, as the indexes hold it, so that the server reads it in
    // order from the index instead of sorting.
    terms.append(dialect::rowid(engine) + (descending ? u" DESC"_s : QString()));
    return u" ORDER BY "_s + terms.join(u", "_s) + u" LIMIT 1"_s;
}

QString where(const QStringList& terms)
{
    return terms.isEmpty() ? QString() : u" WHERE "_s + terms.join(u" AND "_s);
}

} // namespace

void TableCursor::buildStatements(const QStringList& keys, const QString& notNull)
{
    const Engine engine = m_connection.engine();
    const QString rowid = dialect::rowid(engine);
    const auto orderFrom = [engine](const QStringList& keys, qsizetype from, bool descending) {
        return vinzal::orderFrom(engine, keys, from, descending);
    };
    const qsizetype n = keys.size();
    m_keyCount = n;
    m_sql = {};
    const QString select = u"SELECT "_s + QStringList(QStringList{rowid} + keys).join(u", "_s) + u" FROM "_s +
                           quoteIdentifier(contacts::tableName());
    const QStringList placeholders(n, u"?"_s);

    m_sql.first = select + orderFrom(keys, 0, false);
    m_sql.last = select + orderFrom(keys, 0, true);
    m_sql.byRowid = select + u" WHERE "_s + rowid + u" = ?"_s;
    for (qsizetype level = 0; level <= n; ++level) {
        for (const bool forward : {true, false}) {
            QStringList terms = equalities(keys, placeholders, level);
            if (level == n)
                terms.append(rowid + (forward ? u" > ?"_s : u" < ?"_s));
            else
                terms.append(keys[level] + (forward ? u" > ?"_s : u" < ?"_s));
            (forward ? m_sql.next : m_sql.previous)
                .append(select + where(terms) + orderFrom(keys, level == n ? n : level, !forward));
        }
    }
    if (n == 0)
        return;
    // A NULL field gives NULL keys; naming every key keeps the run of NULLs ordered by rowid in the
    // index, with no sort.
    QStringList allNull;
    for (const QString& key : keys)
        allNull.append(key + u" IS NULL"_s);
    // SQLite takes "IS NULL" as fixing a key and reads the run by rowid; PostgreSQL does not, and
    // only reads it from the index when the ORDER BY names the keys too.
    const qsizetype nullOrder = engine == Engine::Sqlite ? n : 0;
    m_sql.nullNext =
        select + where(allNull + QStringList{rowid + u" > ?"_s}) + orderFrom(keys, nullOrder, false);
    m_sql.nullPrevious =
        select + where(allNull + QStringList{rowid + u" < ?"_s}) + orderFrom(keys, nullOrder, true);
    m_sql.lastNull = select + where(allNull) + orderFrom(keys, nullOrder, true);
    m_sql.firstKeyed = select + where({notNull}) + orderFrom(keys, 0, false);
    m_sql.seekFirst = select + where({keys[0] + u" >= ?"_s}) + orderFrom(keys, 0, false);
    if (n > 1)
        m_sql.seekRun =
            select + where({keys[0] + u" = ?"_s, keys[1] + u" >= ?"_s}) + orderFrom(keys, 1, false);
}

QStringList TableCursor::statements() const
{
    QStringList all{m_sql.first, m_sql.last, m_sql.byRowid};
    all += m_sql.next;
    all += m_sql.previous;
    if (m_keyCount > 0)
        all += QStringList{m_sql.nullNext, m_sql.nullPrevious, m_sql.firstKeyed, m_sql.lastNull,
                           m_sql.seekFirst};
    if (m_keyCount > 1)
        all.append(m_sql.seekRun);
    return all;
}

Result<std::optional<TableCursor::Position>> TableCursor::fetch(const QString& sql,
                                                                const Values& bindings)
{
    auto read = m_connection.readOne(sql, bindings);
    if (!read)
        return read.error();
    std::optional<Position> position;
    // The keys are kept as read, bytes and all, and bound back as they are: a key that is not
    // UTF-8 still finds its neighbours.
    if (const std::optional<Values>& row = read.value())
        position = Position{row->value(0).toInteger(), row->mid(1, m_keyCount)};
    return position;
}

Status TableCursor::setIndex(const QString& name)
{
    order::IndexShape shape;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (Status connected = m_connection.ready(); !connected)
            return connected;
        shape = order::inspectIndex(m_connection.db(), name);
        if (!shape.error)
            break;
        // A lost server is connected again for the retry.
        if (shape.error->kind != StoreError::Kind::Disconnected || attempt == 1)
            return *shape.error;
    }
    if (shape.form == order::IndexForm::Missing)
        return StoreError{StoreError::Kind::IndexMissing,
                          u"La tabella «"_s + contacts::tableName() + u"» non ha l'indice «"_s + name +
                              u"», che serve per questa ricerca. Controllare la rubrica con "
                              u"«vinzal-db check»."_s,
                          {}};
    if (shape.form == order::IndexForm::Unknown)
        return StoreError{StoreError::Kind::IndexMissing,
                          u"L'indice «"_s + name + u"» della tabella «"_s + contacts::tableName() +
                              u"» non ha una forma che Vinzal conosce. Controllare la rubrica con "
                              u"«vinzal-db check»."_s,
                          {}};
    const QString column = quoteIdentifier(shape.column);
    m_italian = shape.form == order::IndexForm::Italian;
    if (m_italian) {
        using order::Key;
        const Engine engine = m_connection.engine();
        const auto keyExpression = [engine](const QString& column, Key which) {
            return order::keyExpression(column, which, engine);
        };
        // Every non-NULL key is text, and '' is the smallest text: unlike "IS NOT NULL", this range
        // is one SQLite answers from an index on expressions.
        buildStatements({keyExpression(column, Key::Folded), keyExpression(column, Key::LowerCase)},
                        keyExpression(column, Key::Folded) + u" >= ''"_s);
    } else {
        buildStatements({column}, column + u" IS NOT NULL"_s);
    }
    m_indexName = name;
    // The current row keeps its place; its keys in the new order are read with it.
    if (m_current)
        return moveTo(m_current->rowid);
    return {};
}

Status TableCursor::moveFirst()
{
    auto end = fetch(m_sql.first, {});
    if (!end)
        return end.error();
    m_current = end.value();
    return {};
}

Status TableCursor::moveLast()
{
    auto end = fetch(m_sql.last, {});
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

Result<std::optional<TableCursor::Position>> TableCursor::step(const Position& here, bool forward)
{
    const qsizetype n = m_keyCount;
    if (n > 0 && here.keys.value(0).isNull()) {
        // Inside the run of NULLs, which comes first.
        auto inRun = fetch(forward ? m_sql.nullNext : m_sql.nullPrevious, {Value::integer(here.rowid)});
        if (!inRun || inRun.value() || !forward)
            return inRun;
        return fetch(m_sql.firstKeyed, {});
    }
    // From the innermost run outwards: first inside the run of equal keys by rowid, then past the
    // last key, then past the one before... None of the queries scans a run.
    for (qsizetype level = n; level >= 0; --level) {
        Values bindings = here.keys.mid(0, level + (level < n ? 1 : 0));
        if (level == n)
            bindings.append(Value::integer(here.rowid));
        auto found = fetch((forward ? m_sql.next : m_sql.previous)[level], bindings);
        if (!found || found.value())
            return found;
    }
    if (forward || n == 0)
        return std::optional<Position>();
    // Before every non-NULL key lie the NULLs.
    return fetch(m_sql.lastNull, {});
}

Status TableCursor::moveStep(bool forward)
{
    auto result = step(*m_current, forward);
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
    if (m_keyCount == 0)
        return StoreError{
            StoreError::Kind::IndexMissing, u"Nessun indice è stato scelto per la ricerca."_s, {}};
    // Most searches are answered by the first query: a prefix typed, a name typed as stored, a
    // text past the last key. Only when the first row found has the text's folded key but a
    // lower-case key before the text's ("èrcoli" finding "Ercoli") does the run of that folded key
    // decide, and past it the next folded key.
    const Values target = searchKeys(key);
    auto first = fetch(m_sql.seekFirst, {target[0]});
    if (!first)
        return first.error();
    std::optional<Position> found = first.value();
    if (found && m_keyCount > 1 && found->keys[0] == target[0] && found->keys[1].bytes() < target[1].bytes()) {
        auto inRun = fetch(m_sql.seekRun, {target[0], target[1]});
        if (inRun && !inRun.value())
            inRun = fetch(m_sql.next[0], {target[0]});
        if (!inRun)
            return inRun.error();
        found = inRun.value();
    }
    m_noMatch = !found.has_value();
    m_current = found;
    return {};
}

Values TableCursor::searchKeys(const QString& text) const
{
    // The same rule as the index's expressions (italian_order.h), computed here once rather than
    // by SQLite in every query: binary comparison of the results then agrees with the index.
    if (!m_italian)
        return {Value::fromEditedText(text)};
    const Engine engine = m_connection.engine();
    return {Value::fromEditedText(order::key(text, order::Key::Folded, engine)),
            Value::fromEditedText(order::key(text, order::Key::LowerCase, engine))};
}

Status TableCursor::moveTo(qint64 rowid)
{
    auto found = fetch(m_sql.byRowid, {Value::integer(rowid)});
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
