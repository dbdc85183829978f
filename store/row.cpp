#include "row.h"

#include "contact_table.h"

#include <limits>

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

// Reads the one row `sql` selects by rowid; a row that no longer exists is NoCurrentRow.
Result<Values> selectOne(Connection& connection, const QString& sql, qint64 rowid)
{
    auto read = connection.readOne(sql, {Value::integer(rowid)});
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

Value Row::value(const QString& field) const
{
    const int at = contacts::fieldPosition(field);
    return at < 0 ? Value() : fields.at(at);
}

QString Row::text(const QString& field) const
{
    return value(field).toText();
}

Status storable(const Connection& connection, const QList<FieldChange>& changes)
{
    if (connection.engine() == Engine::Sqlite)
        return {};
    for (const FieldChange& change : changes) {
        if (change.value.hasNul())
            return StoreError{StoreError::Kind::Engine,
                              u"Il campo «"_s + change.field +
                                  u"» contiene il carattere nullo, che la rubrica sul server non può "
                                  u"conservare. Toglierlo e riprovare."_s,
                              {},
                              true};
        if (!change.value.isValidUtf8())
            return StoreError{StoreError::Kind::Engine,
                              u"Il campo «"_s + change.field +
                                  u"» contiene byte che non sono testo UTF-8, che la rubrica sul server non "
                                  u"può conservare. Riscrivere il testo e riprovare."_s,
                              {},
                              true};
    }
    return {};
}

QString rowColumns(Engine engine)
{
    QStringList text;
    for (const QString& field : contacts::fields())
        text.append(quoteIdentifier(field));
    return dialect::rowid(engine) + u", "_s + text.join(u", "_s);
}

Row rowFromValues(const Values& columns)
{
    Row row;
    row.rowid = columns.value(0).toInteger();
    for (int i = 0; i < fieldCount; ++i)
        row.fields.at(i) = columns.value(1 + i);
    return row;
}

Result<Row> readRow(Connection& connection, qint64 rowid)
{
    static const QString sql[] = {selectRowSql(Engine::Sqlite), selectRowSql(Engine::Postgres)};
    auto found = selectOne(connection, sql[connection.engine() == Engine::Sqlite ? 0 : 1], rowid);
    if (!found)
        return found.error();
    return rowFromValues(found.value());
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
            marks.append(u"?"_s);
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
    sql::Statement insert(connection.db(), sql, u"aggiungere il contatto"_s);
    for (const FieldChange& change : changes)
        insert.bind(change.value);
    auto stepped = insert.next();
    if (!stepped)
        return insertFailure(connection.db(), stepped.error(), u"aggiungere il contatto"_s);
    const qint64 id = insert.integer(0);
    // To its end, so that the insert is complete before the statement is reset.
    if (auto rest = insert.next(); !rest)
        return rest.error();
    return id;
}

QString idsUsedUpText()
{
    return u"Gli ID della rubrica sono esauriti: un altro programma ha dato a un contatto l'ID "
           u"9223372036854775807, il più alto possibile, e dopo di esso non se ne può dare nessun altro. "
           u"Per rimediare dare a quel contatto un ID libero più basso e rimettere il contatore al più alto "
           u"ID usato, per esempio con sqlite3: UPDATE \"Nomelia\" SET \"ID\" = (SELECT max(\"ID\") + 1 "
           u"FROM \"Nomelia\" WHERE \"ID\" < 9223372036854775807) WHERE \"ID\" = 9223372036854775807; "
           u"UPDATE sqlite_sequence SET seq = (SELECT max(\"ID\") FROM \"Nomelia\") WHERE name = "
           u"'Nomelia';"_s;
}

StoreError insertFailure(sql::Database& db, StoreError error, const QString& what)
{
    if (db.engine() != Engine::Sqlite || error.kind != StoreError::Kind::DiskFull)
        return error;
    // AUTOINCREMENT gives an ID past both the largest in the table and the largest ever given.
    sql::Statement last(db,
                        u"SELECT max(\"ID\") FROM "_s + quoteIdentifier(contacts::tableName()) +
                            u" UNION ALL SELECT seq FROM sqlite_sequence WHERE name = ?"_s,
                        what);
    last.bind(Value::fromEditedText(contacts::tableName()));
    for (;;) {
        auto row = last.next();
        if (!row || !row.value())
            return error;
        if (last.integer(0) == std::numeric_limits<qint64>::max()) {
            return StoreError{StoreError::Kind::Engine,
                              u"Non è stato possibile "_s + what + u". "_s + idsUsedUpText() +
                                  u" La rubrica non è stata modificata."_s,
                              error.detail};
        }
    }
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
        sets.append(column + u" = ?"_s);
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
    sql::Statement update(connection.db(), sql, u"salvare il contatto"_s);
    for (const FieldChange& change : changes)
        update.bind(change.value);
    update.bind(rowid);
    for (const FieldChange& change : changes)
        update.bind(dialect::guardValue(engine, change.original));
    if (engine == Engine::Postgres) {
        update.bind(Value::fromEditedText(quoteIdentifier(contacts::tableName())));
        update.bind(connection.bookToken());
    }
    auto changed = update.run();
    if (!changed)
        return changed.error();
    if (changed.value() != 1) {
        if (Status same = connection.stillTheFileOpened(); !same)
            return same;
        return conflict();
    }
    return {};
}

Status deleteRow(Connection& connection, const Row& shown)
{
    const Engine engine = connection.engine();
    QStringList guards;
    for (const QString& field : contacts::fields())
        guards.append(dialect::same(engine, dialect::guarded(engine, quoteIdentifier(field)), u"?"_s));
    if (engine == Engine::Postgres)
        guards.append(dialect::bookMark() + u" IS NOT DISTINCT FROM ?"_s);
    const QString sql = u"DELETE FROM "_s + quoteIdentifier(contacts::tableName()) + u" WHERE "_s +
                        dialect::rowid(engine) + u" = ? AND "_s + guards.join(u" AND "_s);
    if (Status connected = connection.ready(); !connected)
        return connected;
    sql::Statement remove(connection.db(), sql, u"eliminare il contatto"_s);
    remove.bind(shown.rowid);
    for (const Value& value : shown.fields.values)
        remove.bind(dialect::guardValue(engine, value));
    if (engine == Engine::Postgres) {
        remove.bind(Value::fromEditedText(quoteIdentifier(contacts::tableName())));
        remove.bind(connection.bookToken());
    }
    auto removed = remove.run();
    if (!removed)
        return removed.error();
    if (removed.value() != 1) {
        if (Status same = connection.stillTheFileOpened(); !same)
            return same;
        return StoreError{StoreError::Kind::Conflict,
                          u"Il contatto non è stato eliminato: è stato modificato o eliminato da un'altra "
                          u"finestra o da un altro programma dopo che è stato mostrato qui. Rileggere la "
                          u"rubrica per vederlo com'è ora."_s,
                          {}};
    }
    return {};
}

} // namespace vinzal
