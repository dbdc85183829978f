#pragma once

#include "contact.h"
#include "schema.h"
#include "store_error.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace vinzal::safefile {
class PendingFile;
}
namespace vinzal::importing {
class ContactFile;
}

namespace vinzal::book {

// The largest ID a book holds: the range of an Access AutoNumber, which the program and every
// export assume.
constexpr qint64 maxId = 2147483647;

// Every contact of the address book at `path`, in ID order, each field exactly as stored.
Result<Contacts> readAll(const QString& path);
// The same, handed to `take` `batch` contacts at a time so that a long book is never held whole;
// `take` returning false stops the reading. `total`, when given, is set first to the number of
// contacts (for a progress bar: a contact added meanwhile may make it one short).
Status readInBatches(const QString& path, qsizetype batch, const std::function<bool(const Contacts&)>& take,
                     qint64* total = nullptr);

// Checks the IDs of records about to be imported: each must be NULL (a new ID is given) or a whole
// number from 1 to maxId; a valid ID given as text becomes a number. `where(i)` names record i for
// the message ("la riga 4", "la scheda 2"). Returns one problem per bad record.
QStringList checkIds(Contacts& records, const std::function<QString(qsizetype)>& where);

// What a server can hold of `records`: it stores only UTF-8 text without NUL. A field that is a
// blob, a number or a text of another kind whose bytes are valid UTF-8 is stored as that text and
// counted in `changedKind`; a field holding NUL or bytes that are not UTF-8 is refused, naming the
// contact and the field, and nothing is written.
Status fitForServer(Contacts& records, qsizetype* changedKind);

// Makes a new address book at `target`, as "vinzal-db create" makes it, holding `records` with their
// IDs (renumbered from 1 when some are missing or repeated). Written beside the target and renamed
// only when complete and on disk: an existing target (allowed only with `force`) stays as it was
// until then, and a failure leaves no file behind. `inputs` are the files being read, which the
// target must not be.
Status create(const QString& target, Contacts records, bool force = false, const QStringList& inputs = {});

// Builds a new address book, as "vinzal-db create" makes it, in the temporary file of `file` (filled
// by `fill` inside the creating transaction); the caller commits it.
Status build(safefile::PendingFile& file, const schema::Fill& fill);
// The same, holding `records` with their IDs, as create() keeps them.
Status buildFrom(safefile::PendingFile& file, const Contacts& records);

struct Copied
{
    qint64 contacts = 0;
    qsizetype changedKind = 0; // onto a server: values stored as text (fitForServer())
};

// Makes `target` (a file, or a server's table) hold exactly what the book `source` holds: each contact
// with its own ID and every field with its bytes and kind, and the book's merges and ignored groups,
// so that the copy can still undo a merge. The contacts are read and written a batch at a time under
// one snapshot of the source, so the memory does not grow with the book; the target is written in
// one transaction (a file under a temporary name, renamed when complete), so a failure leaves it as
// it was. IDs out of range are refused rather than renumbered. A target that holds contacts is
// replaced only with `force`. Onto a server, fitForServer() decides. `sourceFailed` tells whether a
// failure was reading the source.
Result<Copied> copy(const QString& source, const QString& target, bool force, bool* sourceFailed = nullptr);

struct Appended
{
    qsizetype added = 0;
    qsizetype skipped = 0;     // already in the book
    qsizetype changedKind = 0; // onto a server: fields stored as text (fitForServer())
};

// Adds `records` to the existing address book at `path` with new IDs, in one transaction. Unless
// `keepDuplicates`, a record whose eleven fields equal those of a contact already in the book
// (exactly: case, spaces, NULL against the empty text) is left out and counted. `progress`, when
// given, hears how many were added of how many; false cancels, and the book stays as it was
// (the error then says so, its kind Engine and `cancelled` set).
Result<Appended> append(const QString& path, Contacts records, bool keepDuplicates = false,
                        const std::function<bool(qint64 done, qint64 total)>& progress = {},
                        bool* cancelled = nullptr);

// What an import of a CSV or vCard file did. With `problems` (the file's errors, with their lines or
// contacts) nothing was written.
struct Imported
{
    QStringList problems;
    qsizetype read = 0;  // contacts in the file
    qsizetype added = 0; // with the book's counts as append() gives them
    qsizetype skipped = 0;
    qsizetype changedKind = 0;
    bool created = false; // the book did not exist and was made with the file's contacts and IDs
};

// Adds the contacts of `file` to the book at `path`, or makes the book from them (as create() does,
// keeping their IDs when it can) when there is none. The file is read a piece at a time and each piece
// written as it is read, inside one transaction (a new file book: under a temporary name): a problem
// anywhere in the file, a failure, an interruption or a cancel leaves the book as it was. Duplicates
// are those of append(), looked up among the contacts the book held before. `progress` hears how
// many contacts of the file were read so far; false cancels (the error then says so, `cancelled` set).
Result<Imported> importFile(const QString& path, importing::ContactFile& file, bool keepDuplicates = false,
                            const std::function<bool(qint64 read)>& progress = {}, bool* cancelled = nullptr);

// What importFile() would find, reading the whole file and writing nothing: the count, the
// problems, how many are already in the book, and the first `shown` contacts as they would be stored.
struct Previewed
{
    qsizetype total = 0;
    qsizetype duplicates = 0;
    Contacts first;
    QStringList problems;
};
Result<Previewed> previewImport(const QString& path, importing::ContactFile& file, qsizetype shown = 5);

// How many of `records` append() would skip as already in the book; nothing is written.
Result<qsizetype> countDuplicates(const QString& path, const Contacts& records);

} // namespace vinzal::book
