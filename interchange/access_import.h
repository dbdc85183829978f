#pragma once

#include "contact.h"
#include "store_error.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace vinzal::access {

struct Options
{
    QString table = QStringLiteral("Nomelia");
    bool skipExtraColumns = false; // otherwise a column the address book lacks stops the import
};

// The rows of `table` in the Access (Jet 3, Jet 4, ACCDB where libmdb can) file at `path`, the
// twelve values each in contacts::fields() order, every ID and value kept; NULL and the empty text
// both come back NULL (libmdb does not tell them apart). `notes` receives what the user should
// know (columns left out). What was read is checked against what the file declares (whole pages,
// pages inside the file, the table's row count, each long text's length): a damaged file is refused,
// never read in part. Runs in this process: a damaged file may crash libmdb, so callers use
// readShielded.
Result<Contacts> read(const QString& path, const Options& options, QStringList& notes);

// The same, read in a child process, so that a crash of the library on a damaged file ends in a
// message instead of ending the caller. Nothing is written.
Result<Contacts> readShielded(const QString& path, const Options& options, QStringList& notes);

} // namespace vinzal::access
