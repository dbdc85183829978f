#pragma once

#include "contact.h"
#include "store_error.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace vinzal::access {

struct Options
{
    QString table = QStringLiteral("Nomelia");
    bool skipExtraColumns = false; // otherwise a column the address book lacks stops the import
};

// What a reading tells besides its rows, for the caller to word: a front end names its own way out
// (an option, a question).
struct Report
{
    bool tableMissing = false; // the file has no table of that name; `tables` lists those it has
    QStringList tables;
    QStringList extraColumns; // columns the address book lacks, each as «Name»: refused, or left out
    bool cancelled = false;   // `carryOn` said to stop: nothing was read
};

// The rows of `table` in the Access (Jet 3, Jet 4, ACCDB where libmdb can) file at `path`, the
// twelve values each in contacts::fields() order, every ID and value kept; NULL and the empty text
// both come back NULL (libmdb does not tell them apart). `notes` receives what the user should
// know (columns left out). What was read is checked against what the file declares (whole pages,
// pages inside the file, the table's row count, each long text's length): a damaged file is refused,
// never read in part. Runs in this process: a damaged file may crash libmdb, so callers use
// readShielded.
Result<Contacts> read(const QString& path, const Options& options, QStringList& notes,
                      Report* report = nullptr);

// The same, read in a child process, so that a crash of the library on a damaged file ends in a
// message instead of ending the caller. Nothing is written. `carryOn`, when given, is asked at least
// every tenth of a second while the child reads; false stops it (`report->cancelled`).
Result<Contacts> readShielded(const QString& path, const Options& options, QStringList& notes,
                              Report* report = nullptr, const std::function<bool()>& carryOn = {});

// Converting an Access file into a new address book: what `vinzal-db import` does with an Access file
// and what the windows do with one opened from the file manager.
struct ConversionRequest
{
    QString source;
    // The new book: a file or a server book. Empty: in place, the new book takes the source's name
    // and the source is kept in its folder as NAME-access-YYYYMMDD-HHMMSS.EXT.
    QString target;
    Options options;
    bool force = false; // an existing target (never the source) is replaced once the new book is whole
};

struct Conversion
{
    enum class Outcome { Converted, Cancelled, Failed };
    // What stopped a failed conversion; the front end words it. In every case the source is as it
    // was and nothing is left beside it.
    enum class Problem {
        None,
        SourceIsLink, // in place, the source is a symbolic link: its new book would replace the link
        Target,       // the target may not be written (`error`)
        NoSuchTable,  // `tables` lists the file's tables (`error` says it)
        ExtraColumns, // `extraColumns` lists the columns refused (`error` says it)
        Reading,      // the source cannot be read (`error`: missing, damaged, not an Access file...)
        BadIds,       // `badIds` has one problem per row
        Creating,     // the new book's temporary file cannot be made (`error`)
        Writing,      // the new book cannot be written (`error`)
        Keeping,      // in place, the source cannot be given the name `kept`
        Replacing,    // the new book cannot take its name (`error`)
    };
    Outcome outcome = Outcome::Failed;
    Problem problem = Problem::None;
    StoreError error;
    QStringList tables;
    QStringList extraColumns; // Converted: the columns left out (Options::skipExtraColumns)
    QStringList badIds;
    qint64 written = 0; // Converted: the contacts the new book holds
    QString kept;       // in place: the name the source is kept under
};

// Converts as `request` says. `progress`, when given, hears (0, 0) while the file is read, at least
// every tenth of a second, then (0, n) and (n, n) once the n contacts are read and written; false
// cancels, up to the moment the new book takes its name. In place, the source gets its kept name (a
// hard link where the file system has them) before the new book is renamed over it: at every moment
// a whole book or the Access file is under the source's name. May run in any thread.
Conversion convert(const ConversionRequest& request,
                   const std::function<bool(qint64 done, qint64 total)>& progress = {});

} // namespace vinzal::access
