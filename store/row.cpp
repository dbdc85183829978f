#include "row.h"

#include "contact_table.h"

#include <QSqlError>

using namespace Qt::StringLiterals;

namespace vinzal {

namespace {

QString selectRowSql(Engine engine)
{
    return u"SELECT "_s + rowColumns(engine) + u" FROM "_s + quoteIdentifier(contacts::tableName()) +
           u" WHERE "_s + dialect::rowid(engine) + u" = ?"_s;
}

StoreError conflict()
{
    return StoreError{StoreError::Kind::Conflict,
                      u"Il contatto è stato modificato o eliminato da un'altra finestra o da un altro "
                      u"programma dopo che è stato mostrato qui. Le modifiche non sono state salvate, per "
                      u"non sovrascrivere quelle altrui, e i valori digitati sono ancora nella finestra. "
                      u"Per vedere il contatto com'è ora, rinunciare alle modifiche e rileggere la "
                      u"rubrica."_s,
                      {}};
}

// A value as the bytes the guard compares with; NULL stays NULL, and the empty text must not become
// a null QByteArray, which the driver would bind as NULL.
QVariant asBytes(const QVariant& value)
{
    return dialect::guardValue(Engine::Sqlite, value);
}

// Reads the one row `sql` selects by rowid; a row that no longer exists is NoCurrentRow.
Result<QVariantList> selectOne(Connection& connection, const QString& sql, qint64 rowid)
{
    auto read = connection.readOne(sql, {rowid});
    if (!read)
        return read.error();
    if (!read.value())
        return StoreError{StoreError::Kind::NoCurrentRow,
                          u"Il contatto non esiste più: è stato eliminato da un altro programma. "
                          u"Rileggere la rubrica."_s,
                          {}};
    return std::move(*read.value());
}

} // namespace

QVariant Row::value(const QString& field) const
{
    const int at = contacts::fieldPosition(field);
    return at < 0 || at >= values.size() ? QVariant() : values.at(at);
}

QVariant Row::storedBytes(const QString& field) const
{
    const int at = contacts::fieldPosition(field);
    return at < 0 || at >= stored.size() ? QVariant() : stored.at(at);
}

QString Row::text(const QString& field) const
{
    return value(field).toString();
}

Status storable(const Connection& connection, const QList<FieldChange>& changes)
{
    if (connection.engine() == Engine::Sqlite)
        return {};
    for (const FieldChange& change : changes)
        if (change.value.toString().contains(QChar(0)))
            return StoreError{StoreError::Kind::Engine,
                              u"Il campo «"_s + change.field +
                                  u"» contiene il carattere nullo, che la rubrica sul server non può "
                                  u"conservare. Toglierlo e riprovare: i dati inseriti sono ancora nella "
                                  u"finestra."_s,
                              {}};
    return {};
}

QVariant storedValue(const QString& text)
{
    return text.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(text);
}

QString rowColumns(Engine engine)
{
    QStringList text;
    for (const QString& field : contacts::fields())
        text.append(quoteIdentifier(field));
    return dialect::rowid(engine) + u", "_s + text.join(u", "_s);
}

Row rowFromQuery(const QSqlQuery& query)
{
    QVariantList values;
    const int count = 1 + int(contacts::fields().size());
    values.reserve(count);
    for (int i = 0; i < count; ++i)
        values.append(query.value(i));
    return rowFromValues(values);
}

Row rowFromValues(const QVariantList& columns)
{
    Row row;
    row.rowid = columns.value(0).toLongLong();
    const int count = int(contacts::fields().size());
    row.values.reserve(count);
    row.stored.reserve(count);
    for (int i = 0; i < count; ++i) {
        const QVariant value = columns.value(1 + i);
        row.values.append(value);
        // Valid UTF-8 comes back from QString byte for byte; SQLite shows every byte sequence that
        // is not valid UTF-8 as U+FFFD, so text without it needs no second look.
        const int type = value.typeId();
        if (value.isNull())
            row.stored.append(value);
        else if ((type == QMetaType::QString && !value.toString().contains(QChar::ReplacementCharacter)) ||
                 type == QMetaType::LongLong || type == QMetaType::Int) // an integer's text is its digits
            row.stored.append(asBytes(value));
        else {
            row.stored.append(QVariant());
            row.exact = false;
        }
    }
    return row;
}

Status completeRow(Connection& connection, Row& row)
{
    if (row.exact)
        return {};
    if (connection.engine() == Engine::Postgres) {
        // A server holds only valid UTF-8: the text is the bytes, even where it holds U+FFFD.
        for (qsizetype i = 0; i < row.values.size(); ++i)
            row.stored[i] =
                row.values[i].isNull() ? row.values[i] : asBytes(row.values[i].toString().toUtf8());
        row.exact = true;
        return {};
    }
    static const QString sql = [] {
        QStringList bytes;
        for (const QString& field : contacts::fields())
            bytes.append(u"CAST("_s + quoteIdentifier(field) + u" AS BLOB)"_s);
        return u"SELECT "_s + rowColumns(Engine::Sqlite) + u", "_s + bytes.join(u", "_s) + u" FROM "_s +
               quoteIdentifier(contacts::tableName()) + u" WHERE rowid = ?"_s;
    }();
    auto found = selectOne(connection, sql, row.rowid);
    if (!found)
        return found.error();
    const QVariantList& columns = found.value();
    // Text and bytes from the same statement, so that they describe the same version of the row.
    const int count = int(contacts::fields().size());
    for (int i = 0; i < count; ++i) {
        row.values[i] = columns.value(1 + i);
        row.stored[i] = asBytes(columns.value(1 + count + i));
    }
    row.exact = true;
    return {};
}

Result<Row> readRow(Connection& connection, qint64 rowid)
{
    static const QString sql[] = {selectRowSql(Engine::Sqlite), selectRowSql(Engine::Postgres)};
    auto found = selectOne(connection, sql[connection.engine() == Engine::Sqlite ? 0 : 1], rowid);
    if (!found)
        return found.error();
    Row row = rowFromValues(found.value());
    if (Status completed = completeRow(connection, row); !completed)
        return completed.error();
    return row;
}

Result<qint64> insertRow(Connection& connection, const QList<FieldChange>& changes)
{
    const QString table = quoteIdentifier(contacts::tableName());
    QString sql;
    if (changes.isEmpty()) {
        sql = u"INSERT INTO "_s + table + u" DEFAULT VALUES"_s;
    } else {
        QStringList columns, marks;
        for (const FieldChange& change : changes) {
            columns.append(quoteIdentifier(change.field));
            marks.append(dialect::textPlaceholder(connection.engine(), change.value));
        }
        sql = u"INSERT INTO "_s + table + u" ("_s + columns.join(u", "_s) + u") VALUES ("_s +
              marks.join(u", "_s) + u")"_s;
    }
    if (Status allowed = storable(connection, changes); !allowed)
        return allowed.error();
    // Both engines give the new row's key back from the statement itself.
    sql += u" RETURNING "_s + dialect::rowid(connection.engine());
    if (Status connected = connection.ready(); !connected)
        return connected.error();
    QSqlQuery query(connection.database());
    if (!query.prepare(sql))
        return connection.error(query.lastError(), u"aggiungere il contatto"_s);
    for (const FieldChange& change : changes)
        query.addBindValue(dialect::textValue(connection.engine(), change.value));
    if (!query.exec() || !query.next())
        return connection.error(query.lastError(), u"aggiungere il contatto"_s);
    const qint64 id = query.value(0).toLongLong();
    query.finish();
    return id;
}

Status updateRow(Connection& connection, qint64 rowid, const QList<FieldChange>& changes)
{
    if (changes.isEmpty())
        return {};
    if (Status allowed = storable(connection, changes); !allowed)
        return allowed;
    const Engine engine = connection.engine();
    QStringList sets, guards;
    for (const FieldChange& change : changes) {
        const QString column = quoteIdentifier(change.field);
        sets.append(column + u" = "_s + dialect::textPlaceholder(engine, change.value));
        // The value as stored, compared as engine.h explains.
        guards.append(dialect::same(engine, dialect::guarded(engine, column), u"?"_s));
    }
    // On a server, in the same statement: the table is still the one opened (engine.h), even if it
    // was replaced between the check before the write and the write itself.
    if (engine == Engine::Postgres)
        guards.append(dialect::bookMark() + u" IS NOT DISTINCT FROM ?"_s);
    const QString sql = u"UPDATE "_s + quoteIdentifier(contacts::tableName()) + u" SET "_s +
                        sets.join(u", "_s) + u" WHERE "_s + dialect::rowid(engine) + u" = ? AND "_s +
                        guards.join(u" AND "_s);
    if (Status connected = connection.ready(); !connected)
        return connected;
    QSqlQuery query(connection.database());
    if (!query.prepare(sql))
        return connection.error(query.lastError(), u"salvare il contatto"_s);
    for (const FieldChange& change : changes)
        query.addBindValue(dialect::textValue(engine, change.value));
    query.addBindValue(rowid);
    for (const FieldChange& change : changes)
        query.addBindValue(dialect::guardValue(engine, change.original));
    if (engine == Engine::Postgres) {
        query.addBindValue(quoteIdentifier(contacts::tableName()));
        const QVariant token = connection.bookToken();
        query.addBindValue(token.isNull() ? QVariant(QMetaType::fromType<QString>())
                                          : QVariant(token.toString()));
    }
    if (!query.exec())
        return connection.error(query.lastError(), u"salvare il contatto"_s);
    if (query.numRowsAffected() != 1) {
        if (Status same = connection.stillTheFileOpened(); !same)
            return same;
        return conflict();
    }
    return {};
}

} // namespace vinzal
