#pragma once

#include "database.h"
#include "store_error.h"
#include <QString>
#include <QStringList>

#include <functional>

// How an address book is made and checked. Only vinzal-db uses it: the program itself never
// creates a file or changes its schema.
namespace vinzal::schema {

// Marks an SQLite file as a Vinzal address book ("VZL1").
constexpr qint32 applicationId = 0x565A4C31;

// What fills a new book inside its creating transaction, on its connection.
using Fill = std::function<Status(sql::Database&)>;

// Makes the table, runs `fill`, then builds the indexes, in one transaction on `db`, a new empty
// file (or one made by safe_file's PendingFile): building the indexes once at the end is much
// faster than keeping them up to date row by row.
Status build(sql::Database& db, const Fill& fill);

// Creates a new address book at `path`. `fill`, when given, runs inside the creating transaction
// before the indexes are built (building them once at the end is much faster than keeping them up to
// date row by row). The file is written under a temporary name and renamed only when complete, so
// an interrupted run leaves no half file. An existing file is refused unless `overwrite` is set.
Status create(const QString& path, bool overwrite = false, const Fill& fill = {});

// What is wrong with the address book at `path`: integrity, table, fields, collation, indexes.
// Empty when the file is sound. Indexes of the form before the Italian order are sound (the
// program still uses them, with the older order): needsUpgrade() tells about those.
QStringList check(const QString& path);

// True when some of the eleven indexes at `path` still have the form before the Italian order,
// ordering by the column's NOCASE collation: "vinzal-db upgrade" replaces them.
bool needsUpgrade(const QString& path);

// Replaces every index not in the Italian order (old, missing or of another form) with the one
// indexStatement() makes, all in one transaction: on failure the old indexes stay. Gives how many
// were replaced; 0 when the book was already up to date.
Result<int> upgradeIndexes(sql::Database& db);
// The same on the address book at `path`, which is opened and never created.
Result<int> upgrade(const QString& path);

// For filling an empty book as a restore does: drops the eleven indexes of the contact table inside
// the caller's transaction, and gives the statements that make them again exactly as they were
// (restoreIndexes()). Building an index once over all the rows is much faster than keeping it up to
// date row by row. On a server only when the role owns the table (otherwise nothing is dropped); there
// readers of the table then wait for the transaction's end.
Result<QStringList> dropIndexes(sql::Database& db);
Status restoreIndexes(sql::Database& db, const QStringList& statements);

// --- Books on a PostgreSQL server (engine.h) ----------------------------------------------------

// Makes the contact table and its indexes in the server's database named by `book`, or keeps them
// when they are there already (so that the permissions granted on them stay), in one transaction
// together with `fill`, which runs after the table is ready. A table that holds contacts is refused
// unless `replace`, which deletes them in the same transaction. Afterwards the identity column gives
// IDs past the largest stored.
Status createOnServer(const QString& book, bool replace, const Fill& fill = {});

// What is wrong with the columns of the contact table on a server (a field missing, of another type
// than text, an ID that is not an identity): the checks of "vinzal-db check" that decide whether a
// kept table can be written into without changing the values; and the refusal that names them.
QStringList serverColumnProblems(sql::Database& db);
StoreError keptTableRefused(const QString& book, const QStringList& problems);

// Whether the server's database named by `book` has the contact table (false when it cannot say).
Result<bool> serverHasTable(const QString& book);

} // namespace vinzal::schema
