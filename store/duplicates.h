#pragma once

#include "connection.h"
#include "contact.h"
#include "row.h"
#include "store_error.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

// Likely duplicates: finding them, merging a group into one contact, and undoing a merge.
//
// What counts as a likely duplicate is decided here and nowhere else. Two contacts are likely the
// same person when
//   - their names are equal after the Italian folding of the indexes (italian_order.h: case and the
//     accented letters folded) with everything that is not a letter or a digit left out (spaces,
//     apostrophes, punctuation): "ROSSI MARIO", "Rossi  Mario" and "Rossi, Mario" are one name, and
//     so are "Niccolò" and "Niccolo'"; "Rossi Mario" and "Rossi Marco" are not;
//   - any of their four phone fields holds the same number as any of the other's four, the number
//     being its digits only, a leading "+" read as "00" and the Italian "0039" then dropped, and
//     compared whole, never a part of it: "+39 333 1234567", "333/1234567" and "0039 3331234567"
//     are one number, "333 1234567" and "333 12345678" are two. A field with fewer than
//     minPhoneDigits digits ("interno 12") is not a number to compare;
//   - their e-mail addresses are equal, case and the blanks around them ignored.
// A group is a connected set of such pairs: A and B share a phone and B and C a name, so A, B and C
// are one group, with both reasons shown.
//
// Finding reads the book once, computes these keys for each contact and sorts compact pairs of a
// key's 64-bit hash and a row's position: no pair of contacts is ever compared, and memory grows by
// a few dozen bytes per contact. Hashes only choose the candidates; their keys are then compared
// exactly on the rows read again, so a collision of hashes never joins anyone.
//
// Nothing here joins contacts by itself: merge() is called only when the user asks for it, and
// every merge can be undone, with every contact and field back byte for byte (see merge()).
namespace vinzal::duplicates {

// A number with fewer digits than this is not compared (extensions, "interno 12", a stray digit).
constexpr int minPhoneDigits = 6;

// The keys of one field, as the rules above define them; empty when the field gives none.
QByteArray nameKey(const Value& name);
QByteArray phoneKey(const Value& phone);
QByteArray mailKey(const Value& mail);

enum class Reason { Name, Phone, EMail };

// One reason for a group: the contacts (IDs) that share `key`.
struct Link
{
    Reason reason = Reason::Name;
    QByteArray key;
    QList<qint64> ids;
    // "stesso nome (rossimario): ID 3, 17", "stesso numero 3331234567: ID 3, 17".
    QString text() const;
    // The same without the IDs: "stesso nome (rossimario)".
    QString what() const;
};

// One group of likely duplicates: its IDs in order with their names as stored, and why they are
// together. The rows themselves are read when the group is shown (readRow()), and the merge's
// lost-update guard compares with what was shown then.
struct Group
{
    QList<qint64> ids;
    QList<Value> names;
    QList<Link> links;
    QString reasonsText() const; // the links' texts, joined by "; "
};

// Called with each group as soon as it is known; false stops the search. `reading` says how many rows
// have been read of how many, `checking` how many of the similar contacts have been compared exactly.
struct Progress
{
    std::function<bool(const Group&)> group;
    std::function<void(qint64 done, qint64 total)> reading;
    std::function<void(qint64 done, qint64 total)> checking;
};

// Finds every group of likely duplicates of the book, in the order of their lowest ID, leaving out
// the groups the user has ignored (ignore()). Works on a file and on a server alike.
Status find(Connection& connection, const Progress& progress);
// The same, gathered.
Result<QList<Group>> findAll(Connection& connection);

// The groups of likely duplicates among the contacts `ids` alone, as they are now (the ones no longer in
// the book left out), whether or not they were ignored: what a window lists again after an undo.
Result<QList<Group>> groupsAmong(Connection& connection, QList<qint64> ids);

// Whether the contacts `ids` are one group of likely duplicates by themselves (every one reached from
// every other through shared keys), as they are now.
Result<bool> alike(Connection& connection, const QList<qint64>& ids);

// What a merge keeps by default, field by field: the value most of the contacts agree on, compared as
// the duplicate rules compare ("+39 333 1234567" and "333/1234567" agree), then the longest once
// trimmed, then the lowest ID's; of its spellings the most common, then one without blanks around it.
// The address and the city come from the same contact. The remarks are mergedRemarks(). The ID is the
// lowest.
Contact defaultChoice(const QList<Row>& rows);
// The remarks of a merge keeping `kept`: joinedRemarks(), then under a line "— valori non tenuti —"
// each value of the others that `kept` does not hold (compared as above), as "Campo, da ID N: valore",
// so that no number or address is lost from sight with the merge.
Value mergedRemarks(const QList<Row>& rows, const Contact& kept);
// The remarks of `rows` in ID order, each after the first under a line "— unito da ID N —"; the
// empty ones are left out, and the line breaks are those of the first remark that has any (CR LF
// unless none has).
Value joinedRemarks(const QList<Row>& rows);

// Merges `rows` (as shown to the user, lowest ID first) into the lowest ID, which takes the values
// of `kept`; the others are deleted. One transaction, guarded like every write: when any of the
// contacts no longer holds exactly what `rows` says (changed or deleted by another window or
// program since), nothing is written and the error (Conflict) names it. The merged contacts and the
// surviving contact's fields before and after are kept in the book's table "VinzalUniti" (made
// when first needed), so that unmerge() can give them back. Gives the merge's number.
Result<qint64> merge(Connection& connection, const QList<Row>& rows, const Contact& kept);

// Undoes the latest merge that `id` took part in (as the survivor or as a merged contact): the merged
// contacts come back with their IDs and every field as it was, and the survivor gets its fields
// before the merge back. Refused, naming the field, when the survivor was changed since the merge;
// nothing is written then. Gives the IDs given back (the survivor first).
Result<QList<qint64>> unmerge(Connection& connection, qint64 id);

// Remembers that `ids` are not duplicates of each other: find() no longer shows a group made only of
// them. Kept in the book's table "VinzalIgnorati" (made when first needed).
Status ignore(Connection& connection, QList<qint64> ids);
// Takes back ignore() of exactly `ids`: the groups remembered with those contacts and no others are
// forgotten, so that find() shows them again. Nothing to forget is no failure.
Status unignore(Connection& connection, QList<qint64> ids);

// The two tables of the book's own, which other programs may ignore.
QString mergedTable();  // "VinzalUniti"
QString ignoredTable(); // "VinzalIgnorati"

// Makes both tables where they are missing. Done where a book is made or upgraded, so that merging
// and ignoring never need the right to create tables (a server's writers do not have it).
Status makeTables(sql::Database& db);
// Empties both: a book made anew over an old one does not inherit its merges.
Status emptyTables(sql::Database& db);
// Copies the rows of both tables from `source` into `target` (made by makeTables()), each value as
// stored; onto a server, text that is not UTF-8 or holds NUL is refused naming the merge, and a value of
// another kind stored as its text (counted in `changedKind`).
Status copyTables(Connection& source, sql::Database& target, qsizetype* changedKind = nullptr);

} // namespace vinzal::duplicates
