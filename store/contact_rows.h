#pragma once

#include "connection.h"
#include "contact.h"
#include "database.h"
#include "store_error.h"

#include <QSet>
#include <QString>

#include <functional>
#include <limits>

// The contact table's rows in bulk, as import, export, copy, printing and the demo book use them:
// every statement they need, written once for both engines. A write goes inside the caller's
// transaction (sql::Transaction::Kind::Write), a reading of the whole book inside its snapshot
// (sql::Transaction::Kind::Snapshot) when it must see one version of it.
namespace vinzal::contacts {

// Asked before each batch of a long write: a failure stops the write with that error (the caller
// rolls back). Import passes whether the user interrupted the program.
using Between = std::function<Status()>;

// Adds `records` to the contact table: with their IDs when `keepIds`, otherwise every ID NULL and a
// new one given. `what` says what was being done, for the error's message.
Status insert(sql::Database& db, const Contacts& records, bool keepIds, const QString& what,
              const Between& between = {});

// How many contacts the book holds. A read: on a server it connects again if the connection was lost.
Result<qint64> count(Connection& connection);
// Whether the contact table holds no row.
Result<bool> isEmpty(sql::Database& db, const QString& what);
// The largest ID stored (0 in an empty book).
Result<qint64> largestId(sql::Database& db, const QString& what);

// Every contact in ID order, handed to `take` `batch` contacts at a time so that a long book is
// never held whole; `take` returning false stops the reading. `total`, when given, is set first to
// the number of contacts (for a progress bar: a contact added meanwhile may make it one short).
Status readInBatches(Connection& connection, qsizetype batch,
                     const std::function<bool(const Contacts&)>& take, qint64* total = nullptr);

// The positions of the `records` whose eleven fields (all but the ID) equal those of a contact in the
// book whose ID is at most `upTo`, exactly: case, spaces, NULL against the empty text all count. An
// import that writes as it reads passes the largest ID from before it began, so that two equal
// contacts of the file are both added, as they would be if the file were checked before writing.
Result<QSet<qsizetype>> findExisting(sql::Database& db, const Contacts& records,
                                     qint64 upTo = std::numeric_limits<qint64>::max(),
                                     const Between& between = {});

// The same for an import that looks up batch after batch, inside its write transaction, among the
// contacts the book held before it began (ID at most `upTo`): quick however many batches come.
class Existing
{
public:
    Existing(sql::Database& db, qint64 upTo, const Between& between = {});
    ~Existing();
    Existing(const Existing&) = delete;
    Existing& operator=(const Existing&) = delete;

    Result<QSet<qsizetype>> find(const Contacts& records);

private:
    sql::Database& m_db;
    qint64 m_upTo;
    Between m_between;
    int m_batches = 0;
    bool m_copied = false;
};

// Whether the book holds a contact with one of `ids`.
Result<bool> anyIdTaken(sql::Database& db, const QList<qint64>& ids, const QString& what);

// Removes every contact; new IDs start again from 1. For a book being made, which an import fills
// again with new IDs when the file's own cannot all be kept.
Status removeAll(sql::Database& db, const QString& what);

// Inside a write transaction about to add contacts to `book`: on a server, keeps other writers off
// the table to its end (on a file the write transaction does so already), and refuses a kept table
// whose columns would change the values (schema::keptTableRefused()).
Status guardForAdding(sql::Database& db, const QString& book, const QString& what);

} // namespace vinzal::contacts
