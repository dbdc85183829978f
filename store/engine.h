#pragma once

#include "value.h"

#include <QString>
#include <QStringList>

#include <QList>

// A book is a file (SQLite) or a database on a PostgreSQL server. Everything that differs between
// the two engines in the SQL the store sends is here, so that the cursors, the rows and the dynaset
// are written once; what differs in connecting is in Connection.
namespace vinzal {

enum class Engine { Sqlite, Postgres };

// Whether `book` names a book on a server: a PostgreSQL connection URI ("postgresql://...",
// "postgres://...") or a keyword string ("service=ufficio", "host=... dbname=..."). An existing file
// of that name is still a file.
bool isServerBook(const QString& book);

// Whether `text` looks like a connection string, even one libpq cannot read (a misspelt keyword):
// a URI, or one of libpq's keywords followed by '='. A new file is never given such a name.
bool looksLikeServerBook(const QString& text);

// The book as messages and titles show it: a server book without any password it may hold, and a
// file name that looks like a connection string without what follows a password key in it.
QString shownBook(const QString& book);

// A server book as libpq's keywords (host, dbname, user, password, sslmode, service...), parsed by
// libpq itself so that every form it accepts is accepted here. Empty with `error` set when the text
// is not a valid connection string.
QList<std::pair<QString, QString>> serverParameters(const QString& book, QString* error);

namespace dialect {

// The column that identifies a row: SQLite's rowid (the alias of "ID" in books made by Vinzal, and
// present in any table), the identity column "ID" on a server.
QString rowid(Engine engine);

// "a IS b", true also when both are NULL.
QString same(Engine engine, const QString& a, const QString& b);

// What the lost-update guard compares, for a quoted column: the bytes as stored on SQLite (the
// column's collation would equate "rossi" and "Rossi"); the text on a server, which holds only valid
// UTF-8 and compares deterministic text byte by byte.
QString guarded(Engine engine, const QString& column);
// The value to bind against guarded().
Value guardValue(Engine engine, const Value& stored);

// An ORDER BY term for a key. NULLs come first ascending and last descending on both engines, as
// SQLite does by itself; the indexes on a server are built the same way, so that both directions are
// read from the index.
QString ascending(Engine engine, const QString& key);
QString descending(Engine engine, const QString& key);

// How a transaction begins. A write takes the file's write lock at once (readers go on), so that
// nobody else writes between what it reads and what it writes; on a server each statement locks
// what it needs. A snapshot sees one version of the book for all its reads: a read transaction on a
// file, a read-only REPEATABLE READ on a server.
QString beginWrite(Engine engine);
QString beginSnapshot(Engine engine);

// On a server: the schema in which the contact table was found on the search path (a user's own
// schema may come first), bound to the quoted table name; and the table's mark, its comment, which
// every create or replacement of the book sets anew (bound the same way).
QString tableSchema();
QString bookMark();

} // namespace dialect
} // namespace vinzal
