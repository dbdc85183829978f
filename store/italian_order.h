#pragma once

#include "database.h"
#include "engine.h"
#include "store_error.h"

#include <optional>
#include <QString>
#include <QStringList>

#include <utility>

// The order of names in Italian, as the card's indexes keep it: case and accents set apart only
// names that are otherwise equal. "Eco, Ercoli, ERCOLI, Èrcoli, Ésposito, Forlì, Forlimpopoli".
//
// Each index is on two keys of its field: the folded key (case and accents folded) and the
// lower-case key (case folded, accents kept), then rowid. Both keys are built only from functions
// every SQLite has (lower, replace), so that any SQLite tool can still write the file and compute
// the same index; no collation or function of our own is registered. The rule is kept here as
// plain character lists, which another engine can express too (translate and lower in PostgreSQL).
namespace vinzal::order {

// One character mapped to another.
using CharacterMap = QList<std::pair<QChar, QChar>>;

// What the lower-case key maps after lower() (which folds ASCII A-Z only): the accented capitals
// to their small letters.
const CharacterMap& lowerCaseMap();
// What the folded key maps after the lower-case key: the accented small letters to their base.
const CharacterMap& accentMap();

enum class Key { Folded, LowerCase };

// The key of `text` as the indexes compute it, for tests and for other engines to compare with.
// A null text gives a null key.
QString key(const QString& text, Key which);

// A PostgreSQL index entry must fit in a third of a page (2,704 bytes), and a remark may be far
// longer: on a server each key is the first characters of the field's key only, 300 characters of
// at most 4 bytes each for the two keys together. Texts that differ only past them keep the order
// of their IDs there.
constexpr int serverKeyLength = 300;
// The key of `text` on `engine`: key(), cut to serverKeyLength characters (not UTF-16 units) on a
// server.
QString key(const QString& text, Key which, Engine engine);

// The SQL expression of a key over `operand` (a quoted column or a parameter "?"). Every query
// must repeat it exactly: an engine uses an index on expressions only for the same expression.
// SQLite nests replace() calls; PostgreSQL has translate(), and its lower() of text in the "C"
// collation folds ASCII letters only, as SQLite's does, whatever the server's locale. The "C"
// collation also makes the keys compare byte by byte, as SQLite compares them.
QString keyExpression(const QString& operand, Key which, Engine engine = Engine::Sqlite);

// The statement that makes the index of `field` in the Italian order, named as the field.
QString indexStatement(const QString& field, Engine engine = Engine::Sqlite);

// How an index of the contact table is built, read from the file's schema.
enum class IndexForm {
    Missing, // no index of that name on the table
    Plain,   // on a column (the form before the Italian order): `column` gives the order
    Italian, // on the two keys of `column`, exactly as indexStatement() makes it
    Unknown, // anything else: expressions of another kind, or on another field
};
struct IndexShape
{
    IndexForm form = IndexForm::Missing;
    QString column; // the field the index orders by (Plain and Italian)
    std::optional<StoreError> error; // set when the schema could not be read
};
IndexShape inspectIndex(sql::Database& db, const QString& name);

} // namespace vinzal::order
