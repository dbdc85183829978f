#pragma once

#include "contact.h"
#include "store_error.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace vinzal::interchange {

// Writes `rows` (the twelve values each, in contacts::fields() order) to `target` as a spreadsheet
// workbook (.xlsx): one sheet, a header row of the field names, then one row per contact. Every
// value is a text cell, so "+39 349…" and "0543123456" stay as typed and nothing is ever a formula;
// NULL and the empty text are both an empty cell. Characters that XML cannot hold (controls, CR)
// are written with the format's own _xHHHH_ escape, and so is an underscore that would otherwise
// read as one, so spreadsheet programs show exactly the text. A text longer than a cell holds
// (32,767 characters, counted as the spreadsheet counts them: before the escapes) is refused rather
// than cut, before anything is written.
//
// The workbook is made here, a zip archive written front to back through safefile::PendingFile:
// every byte is a checked write into the temporary file beside `target`, which replaces `target`
// (only with `force` when it exists, never one of `inputs`) once it is whole and on disk. A failure
// (a full disk, a file size limit) leaves `target` as it was and nothing else behind.
Status writeXlsx(const QString& target, const Contacts& rows, bool force = false,
                 const QStringList& inputs = {});
// The same for rows that come a batch at a time, so that the workbook never holds the book: `batches`
// hands each batch to the function it is given, and stops when that returns false (a refusal, or
// `take` cancelling: a Status of its own, which is then what batches() returns).
using RowBatches = std::function<Status(const std::function<bool(const Contacts&)>& take)>;
Status writeXlsx(const QString& target, const RowBatches& batches, bool force = false,
                 const QStringList& inputs = {});

} // namespace vinzal::interchange
