#pragma once

#include "store_error.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace vinzal::access {

struct Options
{
    QString table = QStringLiteral("Nomelia");
    bool skipExtraColumns = false; // otherwise a column the address book lacks stops the import
};

// The rows of `table` in the Access (Jet 3, Jet 4, ACCDB where libmdb can) file at `path`, the
// twelve values each in contacts::fields() order, every ID and value kept; NULL and the empty text
// both come back NULL (libmdb does not tell them apart). `notes` receives what the user should
// know (columns left out). Runs in this process: a damaged file may crash libmdb, so callers use
// importFile, which runs it in a child process.
Result<QList<QList<QVariant>>> read(const QString& path, const Options& options, QStringList& notes);

// Converts `path` into a new address book at `target` (made as "vinzal-db create" makes it) in a
// child process, so that neither a crash of the library nor an interruption leaves a half file.
// Returns the number of contacts imported.
Result<qsizetype> importFile(const QString& path, const QString& target, const Options& options,
                             QStringList& notes);

} // namespace vinzal::access
