#pragma once

#include "contact.h"
#include "csv_mapping.h"
#include "vcard.h"

#include <QByteArray>
#include <QIODevice>
#include <QSet>
#include <QStringList>

#include <memory>
#include <optional>

namespace vinzal::importing {

// A CSV or vCard file read a piece at a time, so that an import holds one piece and its contacts
// however long the file is. Each piece ends where a record ends (a line break outside quotes, the line
// after a card's END) and is read by the format's own reader, which numbers the lines as in the whole
// file; a CSV piece is read after the file's header row. A file beginning with a UTF-16 byte-order
// mark is read whole, in one piece.
class ContactFile
{
public:
    enum class Format { Csv, VCard };

    // Reads `device`, open for reading and able to go back to its start (a file, or a buffer holding
    // what a pipe gave), in pieces of about `pieceBytes`. A record longer than `longestRecord` (by
    // default a hundred times the longest name anyone typed, far less than the memory a reader
    // needs for it) is a quote never closed or a card never ended: the file is refused there.
    ContactFile(std::unique_ptr<QIODevice> device, Format format, qsizetype pieceBytes = 1 << 20,
                qsizetype longestRecord = qsizetype(256) << 20);

    Format format() const { return m_format; }
    // The file's name, when the device is a file.
    QString fileName() const;

    // CSV: read with `encoding`, instead of the one the whole file's bytes suggest
    // (csvmap::detectEncoding), and with `mapping` instead of the one its header suggests. Both take
    // effect at the next rewind().
    void setEncoding(csvmap::Encoding encoding) { m_givenEncoding = encoding; }
    void setMapping(const csvmap::Mapping& mapping) { m_givenMapping = mapping; }

    // Goes back to the start: the counts, errors and warnings start anew. A CSV's encoding is decided
    // here (a first pass over the file when none was given) and its header read.
    void rewind();
    // The next contacts in the file's order; false, with `batch` empty, after the last. What a piece
    // could not read is added to errors().
    bool next(Contacts& batch);

    // The position in the file of the first contact of the last batch (from 0).
    qsizetype first() const { return m_first; }
    // The contacts given so far.
    qsizetype given() const { return m_given; }

    // Why the file cannot be imported, with line numbers: nothing is, when there is one.
    const QStringList& errors() const { return m_errors; }
    // What was read, but deserves to be said; complete after the last batch.
    const QStringList& warnings() const { return m_warnings; }
    // vCard: values without a field of their own, written into "Osservazioni".
    int remarked() const { return m_remarked; }
    // CSV: as read (after rewind()).
    csvmap::Encoding encoding() const { return m_encoding; }
    const csvmap::Mapping& mapping() const { return m_mapping; }
    bool encodingGiven() const { return m_givenEncoding.has_value(); }

private:
    // The next piece of at least `atLeast` bytes that ends where a record ends (shorter at the end of
    // the file), and how many line breaks of the file came before it; false at the end.
    bool nextPiece(qsizetype atLeast, QByteArray& piece, int& linesBefore);
    bool fill();
    void say(QStringList& into, const QStringList& what);

    std::unique_ptr<QIODevice> m_device;
    Format m_format;
    qsizetype m_pieceBytes, m_longestRecord;
    std::optional<csvmap::Encoding> m_givenEncoding;
    std::optional<csvmap::Mapping> m_givenMapping;

    // The bytes read from the device and not yet given, and the scan of them for the next record end.
    QByteArray m_buffer;
    bool m_end = false;
    bool m_whole = false; // UTF-16: one piece
    qsizetype m_scanned = 0, m_lineStart = 0, m_boundary = 0;
    bool m_inQuotes = false, m_softBreak = false, m_fieldStart = true;
    bool m_fieldRule = false; // quotes open only at a field's start (the book's own files)
    bool m_anyLine = false;   // deciding the encoding: every line break ends a piece
    char m_separator = ',';
    int m_linesScanned = 0, m_boundaryLines = 0, m_linesGiven = 0;

    QByteArray m_header; // a CSV's header row, with its line break, read before every piece
    int m_headerLines = 0;
    csvmap::Encoding m_encoding = csvmap::Encoding::Utf8;
    csvmap::Mapping m_mapping;
    vcard::Reader m_cards;

    int m_pieces = 0;
    qsizetype m_first = 0, m_given = 0;
    int m_remarked = 0;
    QStringList m_errors, m_warnings;
    QSet<QString> m_said; // a header's problem is found again in every piece: said once
    bool m_finished = false;
};

} // namespace vinzal::importing
