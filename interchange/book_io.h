#pragma once

#include "row.h"
#include "store_error.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <functional>

namespace vinzal::safefile {
class PendingFile;
}

namespace vinzal::book {

// The largest ID a book holds: the range of an Access AutoNumber, which the program and every
// export assume.
constexpr qint64 maxId = 2147483647;

// Fields of a file whose stored bytes do not come back from their text: bytes that are not UTF-8,
// written by another program. The records hold them as every reader shows them (with U+FFFD);
// here are the bytes themselves, by (record, field position).
using RawTexts = QHash<QPair<qsizetype, int>, QByteArray>;

// Every contact of the address book at `path`, in ID order, each as the twelve values of
// contacts::fields() ("ID" first). With `raw`, the fields whose bytes their text would not give
// back are noted there.
Result<QList<QList<QVariant>>> readAll(const QString& path, RawTexts* raw = nullptr);

// Checks the IDs of records about to be imported: each must be NULL (a new ID is given) or a whole
// number from 1 to maxId; a valid ID given as text becomes a number. `where(i)` names record i for
// the message ("la riga 4", "la scheda 2"). Returns one problem per bad record.
QStringList checkIds(QList<QList<QVariant>>& records, const std::function<QString(qsizetype)>& where);

// Makes a new address book at `target`, as "vinzal-db create" makes it, holding `records` with their
// IDs (renumbered from 1 when some are missing or repeated). Written beside the target and renamed
// only when complete and on disk: an existing target (allowed only with `force`) stays as it was
// until then, and a failure leaves no file behind. `inputs` are the files being read, which the
// target must not be.
Status create(const QString& target, const QList<QList<QVariant>>& records, bool force = false,
              const QStringList& inputs = {});

// Builds a new address book, as "vinzal-db create" makes it, in the temporary file of `file` (filled
// by `fill` inside the creating transaction); the caller commits it.
Status build(safefile::PendingFile& file, const std::function<Status(QSqlDatabase&)>& fill);
// The same, holding `records` with their IDs, as create() keeps them.
Status buildFrom(safefile::PendingFile& file, const QList<QList<QVariant>>& records);

// Makes `target` (a file, or a server's table) hold exactly `records`, each with its own ID, as
// create() does; IDs that cannot all be kept (missing, repeated, out of range) are refused rather
// than renumbered. A target that holds contacts is replaced only with `force`.
// Into a file, the fields of `raw` get their bytes back exactly; a server holds only UTF-8.
Status copy(const QList<QList<QVariant>>& records, const QString& target, bool force,
            const QStringList& inputs = {}, const RawTexts& raw = {});

struct Appended
{
    qsizetype added = 0;
    qsizetype skipped = 0; // already in the book
};

// Adds `records` (the twelve values each) to the existing address book at `path` with new IDs, in one
// transaction. Unless `keepDuplicates`, a record whose eleven fields equal those of a contact already
// in the book (exactly: case, spaces, NULL against the empty text) is left out and counted.
Result<Appended> append(const QString& path, const QList<QList<QVariant>>& records,
                        bool keepDuplicates = false);

} // namespace vinzal::book
