#pragma once

#include "connection.h"

#include <QList>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

// Two-way synchronisation of a book with one CardDAV address book: the service both vinzal-db and
// the windows call. What the book must remember lives in the book (store/sync_state.h).
//
// Nothing is lost either way. A card is never made again from the twelve fields: a field changed in
// the book rewrites only its property in the card's last text, and a card changed on the server
// changes only the fields whose properties changed. The same field changed on both sides keeps the
// book's value in its field and the server's in "Osservazioni", under a label naming the field; the
// result names the contact. A contact deleted on one side is deleted on the other only if unchanged
// there since the last synchronisation; otherwise it is kept (and sent back). Every card the book
// makes has a UID of the book's own, and is created with If-None-Match: *, so a synchronisation that
// was interrupted finds its cards again instead of doubling them; changes and deletions are guarded by
// If-Match. The book is written in batches, each in one transaction.
namespace vinzal::sync {

struct Account
{
    QString url; // an address book's URL, or just the server's
    QString user;
    QString password;
};

struct AddressBook
{
    QUrl url;
    QString name;
};

// What went wrong, worded for the user: what happened, what to do, and whether anything was
// written (on either side) before it.
struct Failure
{
    QString cause;
    QString advice;
    bool written = false;
};

struct Progress
{
    std::function<void(const QString& step, qint64 done, qint64 total)> step;
    std::function<bool()> cancelled; // asked often: true stops at the next safe point
};

// The address books that `account.url` leads to, the standard way: the URL itself when it is one,
// else its principal's address book home, found through /.well-known/carddav when the URL is only
// the server's.
struct Discovery
{
    QList<AddressBook> books;
    std::optional<Failure> failure;
};
Discovery discover(const Account& account, const Progress& progress = {});

struct Counts
{
    int created = 0, updated = 0, deleted = 0;
};

struct Conflict
{
    qint64 id = 0;
    QString field; // as contacts::fields() names it
};

struct Result
{
    QUrl addressBook;
    Counts book, server;
    QList<Conflict> conflicts;
    // Contacts deleted on one side but changed on the other since, kept: by ID in the book.
    QList<qint64> keptDeleted;
    QStringList skipped; // what was left for the next synchronisation, and why
    bool cancelled = false;
    std::optional<Failure> failure;
    bool written = false; // anything written, on either side
    bool ok() const { return !failure && !cancelled; }
};

// Synchronises the book `book` (a file or a server book) with the address book of `account`. A book
// already synchronised keeps its address book: `account.url` may then be empty, and one leading
// elsewhere is refused.
// The address book and user the book was last synchronised with (empty when never).
Account remembered(const QString& book);

Result synchronize(const QString& book, const Account& account, const Progress& progress = {});

} // namespace vinzal::sync
