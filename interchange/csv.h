#pragma once

#include "contact.h"

#include <QByteArray>
#include <QStringList>

// Address books as CSV (RFC 4180, UTF-8): a header row with the field names, CRLF line ends, values
// quoted when they hold the separator, a quote or a line break (CR and LF alike, so every byte of a
// value comes back as it was). A NULL field is an empty unquoted field; an empty text is "".
//
// The spreadsheet variant is the one with a UTF-8 byte-order mark and ';' (what Italian spreadsheet
// programs open directly). A spreadsheet runs a cell beginning with = + - @ TAB CR or NUL as a
// formula, so in this variant such a cell gets a leading apostrophe, the spreadsheets' own "this is
// text" mark. To make that exact, a text beginning with an apostrophe followed by one of those
// characters or by another apostrophe gets one too; reading the variant takes one apostrophe off
// every cell that begins with an apostrophe followed by one of them. Nothing else is ever changed.
namespace vinzal::csv {

struct WriteOptions
{
    QChar separator = u',';
    bool byteOrderMark = false; // with ';': the spreadsheet variant
    bool header = true;         // false: the rows alone, to follow an earlier part of the same file
};

// Whether `options` give the spreadsheet variant, whose cells are neutralised.
bool isSpreadsheet(const WriteOptions& options);

QByteArray write(const Contacts& records, const WriteOptions& options = {});

struct ReadResult
{
    Contacts records;
    QStringList errors;       // one per line that could not be read, with its number
    QStringList warnings;     // what was read, but deserves to be said
    bool spreadsheet = false; // the spreadsheet variant was recognised
};

// Reads CSV with ',' or ';' (whichever the header row uses), with or without a byte-order mark.
// Columns are matched by name; a column the address book lacks or one named twice is an error, as
// is any bad line and text that is not UTF-8.
//
// A long file can be read in pieces that each begin with the file's header row and end at the end of
// a line: `linesBefore` is then how many lines of the file come between the header and the piece's
// first line after it, so that every message names the line of the file.
ReadResult read(const QByteArray& data, int linesBefore = 0);

} // namespace vinzal::csv
