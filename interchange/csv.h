#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QVariant>

// Address books as CSV (RFC 4180, UTF-8): a header row with the field names, CRLF line ends, values
// quoted when they hold the separator, a quote or a line break. A NULL field is an empty unquoted
// field; an empty text is "".
namespace vinzal::csv {

struct WriteOptions
{
    QChar separator = u',';
    bool byteOrderMark = false; // what Italian spreadsheet programs expect, with ';'
};

QByteArray write(const QList<QList<QVariant>>& records, const WriteOptions& options = {});

struct ReadResult
{
    QList<QList<QVariant>> records; // the twelve values each, in contacts::fields() order
    QStringList errors;             // one per line that could not be read, with its number
};

// Reads CSV with ',' or ';' (whichever the header row uses), with or without a byte-order mark.
// Columns are matched by name; a column the address book lacks is an error, as is any bad line.
ReadResult read(const QByteArray& data);

} // namespace vinzal::csv
