#include "italian_order.h"

#include "connection.h"
#include "contact_table.h"


using namespace Qt::StringLiterals;

namespace vinzal::order {

// SQLite (3.40, as in Debian 12) parses at most 28 nested replace() calls as the first key of an
// index or of an ORDER BY; one more is a "parser stack overflow", and a file whose schema does not
// parse cannot be opened at all. The folded key nests both lists below, so together they must stay
// within 28: the Italian accented letters in both cases, and the foreign ones common in Italian
// address books (South Tyrol, Spain, Turkey) in both cases too.
const CharacterMap& lowerCaseMap()
{
    static const CharacterMap map{{u'À', u'à'}, {u'È', u'è'}, {u'É', u'é'}, {u'Ì', u'ì'}, {u'Ò', u'ò'},
                                  {u'Ù', u'ù'}, {u'Í', u'í'}, {u'Ó', u'ó'}, {u'Ú', u'ú'}, {u'Ä', u'ä'},
                                  {u'Ö', u'ö'}, {u'Ü', u'ü'}, {u'Ç', u'ç'}, {u'Ñ', u'ñ'}};
    return map;
}

const CharacterMap& accentMap()
{
    static const CharacterMap map{{u'à', u'a'}, {u'è', u'e'}, {u'é', u'e'}, {u'ì', u'i'}, {u'ò', u'o'},
                                  {u'ù', u'u'}, {u'í', u'i'}, {u'ó', u'o'}, {u'ú', u'u'}, {u'ä', u'a'},
                                  {u'ö', u'o'}, {u'ü', u'u'}, {u'ç', u'c'}, {u'ñ', u'n'}};
    return map;
}

QString key(const QString& text, Key which)
{
    if (text.isNull())
        return {};
    QString result = text;
    // lower() of SQLite without ICU: ASCII letters only.
    for (QChar& c : result)
        if (c >= u'A' && c <= u'Z')
            c = QChar(c.unicode() + 32);
    const auto apply = [&result](const CharacterMap& map) {
        for (const auto& [from, to] : map)
            result.replace(from, to);
    };
    apply(lowerCaseMap());
    if (which == Key::Folded)
        apply(accentMap());
    return result;
}

QString key(const QString& text, Key which, Engine engine)
{
    QString result = key(text, which);
    if (engine == Engine::Sqlite || result.isNull())
        return result;
    qsizetype at = 0;
    for (int characters = 0; at < result.size() && characters < serverKeyLength; ++characters)
        at += result.at(at).isHighSurrogate() && at + 1 < result.size() && result.at(at + 1).isLowSurrogate()
                  ? 2
                  : 1;
    result.truncate(at);
    return result;
}

QString keyExpression(const QString& operand, Key which, Engine engine)
{
    if (engine == Engine::Postgres) {
        // One translate() does both maps: a capital goes straight to what the two maps make of it.
        QString from, to;
        for (const auto& [capital, small] : lowerCaseMap()) {
            from += capital;
            to += which == Key::Folded ? key(QString(small), Key::Folded) : QString(small);
        }
        if (which == Key::Folded)
            for (const auto& [accented, base] : accentMap()) {
                from += accented;
                to += base;
            }
        return u"left(translate(lower("_s + operand + u" COLLATE \"C\"), '"_s + from + u"', '"_s + to +
               u"'), %1)"_s.arg(serverKeyLength);
    }
    QString expression = u"lower("_s + operand + u")"_s;
    const auto apply = [&expression](const CharacterMap& map) {
        for (const auto& [from, to] : map)
            expression = u"replace("_s + expression + u",'"_s + from + u"','"_s + to + u"')"_s;
    };
    apply(lowerCaseMap());
    if (which == Key::Folded)
        apply(accentMap());
    return expression;
}

QString indexStatement(const QString& field, Engine engine)
{
    const QString column = quoteIdentifier(field);
    if (engine == Engine::Postgres)
        // The identity column last, as SQLite keeps the rowid in every index: a step inside a run of
        // equal keys is then read from the index too.
        return u"CREATE INDEX "_s + quoteIdentifier(field) + u" ON "_s +
               quoteIdentifier(contacts::tableName()) + u" ("_s +
               dialect::ascending(engine, keyExpression(column, Key::Folded, engine)) + u", "_s +
               dialect::ascending(engine, keyExpression(column, Key::LowerCase, engine)) + u", "_s +
               dialect::rowid(engine) + u")"_s;
    return u"CREATE INDEX "_s + quoteIdentifier(field) + u" ON "_s + quoteIdentifier(contacts::tableName()) +
           u" ("_s + keyExpression(column, Key::Folded) + u", "_s + keyExpression(column, Key::LowerCase) +
           u")"_s;
}

IndexShape inspectIndex(sql::Database& db, const QString& name)
{
    IndexShape shape;
    const QString what = u"leggere l'indice «"_s + name + u"»"_s;
    const auto text = [](const QString& value) { return Value::fromEditedText(value); };
    if (db.engine() == Engine::Postgres) {
        // A server's book is made only in the Italian form; the server keeps the definition in its
        // own normalised words, so only its kind is checked.
        // Where the table lies on the search path (a user's own schema may come first).
        sql::Statement query(db,
                             u"SELECT indexdef FROM pg_indexes WHERE schemaname = "_s + dialect::tableSchema() +
                                 u" AND tablename = ? AND indexname = ?"_s,
                             what);
        query.bind(text(quoteIdentifier(contacts::tableName())))
            .bind(text(contacts::tableName()))
            .bind(text(name));
        auto found = query.next();
        if (!found) {
            shape.error = found.error();
            return shape;
        }
        if (!found.value())
            return shape;
        const QString definition = query.value(0).toText();
        const bool italian = definition.contains(u"\"left\"(translate(lower(("_s + quoteIdentifier(name)) &&
                             definition.contains(u"), %1) NULLS FIRST"_s.arg(serverKeyLength)) &&
                             contacts::indexNames().contains(name);
        shape.form = italian ? IndexForm::Italian : IndexForm::Unknown;
        shape.column = italian ? name : QString();
        return shape;
    }
    sql::Statement query(db,
                         u"SELECT m.sql, ii.name, ii.cid FROM sqlite_master AS m, pragma_index_info(m.name) AS ii "
                         u"WHERE m.type = 'index' AND m.name = ? AND m.tbl_name = ? COLLATE NOCASE "
                         u"AND ii.seqno = 0"_s,
                         what);
    query.bind(text(name)).bind(text(contacts::tableName()));
    auto found = query.next();
    if (!found) {
        shape.error = found.error();
        return shape;
    }
    if (!found.value())
        return shape;
    const QString sql = query.value(0).toText();
    const QString column = query.value(1).toText();
    const qint64 cid = query.value(2).toInteger();
    if (cid >= 0 && !column.isEmpty()) {
        shape.form = IndexForm::Plain;
        shape.column = column;
    } else if (sql.simplified() == indexStatement(name).simplified() &&
               contacts::indexNames().contains(name)) {
        shape.form = IndexForm::Italian;
        shape.column = name;
    } else {
        shape.form = IndexForm::Unknown;
    }
    return shape;
}

} // namespace vinzal::order
