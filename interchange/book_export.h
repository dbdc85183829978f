#pragma once

#include "contact.h"
#include "store_error.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// Writing a book's contacts to a file in one of the formats the program exports, as `vinzal-db
// export` and the windows' "Esporta…" both do: through a pending file beside the target (every
// write checked, renamed over the target only when complete), so that a failure or a cancel keeps
// the old file byte for byte.
namespace vinzal::bookexport {

enum class Format { Csv, Spreadsheet, VCard3, VCard4, Xlsx };

// The bytes of `records` in a text format (not Xlsx), for standard output.
QByteArray bytes(Format format, const Contacts& records);

struct Request
{
    QString target;
    Format format = Format::Csv;
    QString book;                   // the book read
    const Contacts* only = nullptr; // these contacts instead of the whole book
    bool force = false;             // an existing target may be replaced
    // Called as contacts are written, with how many are done of `total`; false cancels, and the
    // target stays as it was.
    std::function<bool(qint64 done, qint64 total)> progress;
};

struct Written
{
    qint64 count = 0;
    bool cancelled = false;
    // Fields that are not UTF-8 text (written by another program) and fields that are not text,
    // with the first of each, for the warning the caller gives.
    qint64 invalidUtf8 = 0, notText = 0;
    QString firstInvalidUtf8, firstNotText;
};

// What write() says of `records` beyond their count: the fields that are not UTF-8 or not text.
Written scan(const Contacts& records);

// Writes the book's contacts in a text format (not Xlsx) to `sink` a batch at a time, the header with
// the first, so that the memory does not grow with the book (for standard output). A `sink` that
// returns false stops it; the error then says so, and `sinkFailed` is set.
Result<Written> stream(const QString& book, Format format, const std::function<bool(const QByteArray&)>& sink,
                       bool* sinkFailed = nullptr);

// Writes the contacts as `request` says. The whole book is read a batch at a time, so that a text
// format never holds more than one batch (a workbook holds them all: its writer needs them).
Result<Written> write(const Request& request);

} // namespace vinzal::bookexport
