#pragma once

#include "contact.h"
#include "store_error.h"

#include <QString>

namespace vinzal::interchange {

// Writes `rows` (the twelve values each, in contacts::fields() order) to `path` as a spreadsheet
// workbook (.xlsx): one sheet, a header row of the field names, then one row per contact. Every
// value is a text cell, so "+39 349…" and "0543123456" stay as typed and nothing is ever a formula;
// NULL and the empty text are both an empty cell. Characters that XML cannot hold (controls, CR)
// are written with the format's own _xHHHH_ escape, and so is an underscore that would otherwise
// read as one, so spreadsheet programs show exactly the text. A text longer than a cell holds
// (32,767 characters) is refused rather than cut, before anything is written. The file is written
// to `path` itself and synced to disk; when writing fails (a full disk) nothing is left at `path`.
// Putting it in its final place is the caller's business.
Status writeXlsx(const QString& path, const Contacts& rows);

} // namespace vinzal::interchange
