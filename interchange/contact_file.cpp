#include "contact_file.h"

#include <QByteArrayView>
#include <QFile>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace vinzal::importing {

namespace {

// Read from the device at a time. A piece of a megabyte is several thousand contacts, each held a
// handful of times while it is read, checked and written: about 20 MB in all.
constexpr qsizetype kRead = 1 << 20;

// Whether `line` ends a card as the vCard reader reads it: a property named END at the line's start
// (a folded continuation begins with a blank).
bool isCardEnd(QByteArrayView line)
{
    return line.size() >= 4 && qstrnicmp(line.data(), 3, "END", 3) == 0 &&
           (line.at(3) == ':' || line.at(3) == ';');
}

} // namespace

ContactFile::ContactFile(std::unique_ptr<QIODevice> device, Format format, qsizetype pieceBytes,
                         qsizetype longestRecord)
    : m_device(std::move(device)), m_format(format), m_pieceBytes(std::max<qsizetype>(pieceBytes, 1)),
      m_longestRecord(longestRecord)
{
}

QString ContactFile::fileName() const
{
    const auto* file = qobject_cast<const QFile*>(m_device.get());
    return file ? file->fileName() : QString();
}

void ContactFile::rewind()
{
    const auto restart = [this] {
        m_device->seek(0);
        m_buffer.clear();
        m_end = false;
        m_scanned = m_lineStart = m_boundary = 0;
        m_inQuotes = m_softBreak = false;
        m_fieldStart = true;
        m_linesScanned = m_boundaryLines = m_linesGiven = 0;
    };
    restart();
    m_first = m_given = 0;
    m_remarked = 0;
    m_errors.clear();
    m_warnings.clear();
    m_said.clear();
    m_finished = false;
    m_pieces = 0;
    m_cards = vcard::Reader();
    m_header.clear();
    m_headerLines = 0;
    m_fieldRule = false;
    if (m_format != Format::Csv)
        return;
    // UTF-16 has no byte of its own for a line break: csvmap reads such a file whole.
    const QByteArray start = m_device->peek(2);
    m_whole = start == "\xFF\xFE" || start == "\xFE\xFF";
    if (m_whole)
        return;
    if (m_givenEncoding) {
        m_encoding = *m_givenEncoding;
    } else {
        csvmap::EncodingClues clues;
        QByteArray piece;
        int lines = 0;
        // Any line break ends a piece here: which quotes open a field, the header read after this
        // says (a quote inside a field of the book's own file opens none).
        m_anyLine = true;
        while (nextPiece(m_pieceBytes, piece, lines))
            clues.add(piece);
        m_anyLine = false;
        m_encoding = clues.encoding();
        restart();
    }
    // The reader passes over blank lines before the header (yet the first of them, as the file's
    // first line, leaves the separator a comma): one stands for them all before every piece.
    QByteArray part;
    int before = 0;
    for (bool blank = true; blank && nextPiece(1, part, before);) {
        QByteArrayView rest(part);
        // The mark, and (as QString::fromUtf8 passes over one) a second one after it.
        for (int mark = 0; mark < (m_encoding == csvmap::Encoding::Utf8 ? 2 : 1); ++mark)
            if (m_header.isEmpty() && rest.startsWith("\xEF\xBB\xBF"))
                rest = rest.sliced(3);
        blank = std::all_of(rest.begin(), rest.end(), [](char c) { return c == '\r' || c == '\n'; });
        if (!blank) {
            m_header += part;
            m_headerLines += m_linesGiven - before;
        } else if (m_header.isEmpty()) {
            m_header = part.first(part.size() - rest.size()) + '\n';
            m_headerLines = 1;
        }
    }
    // A lone CR ending the header would make one line break with a piece's first LF.
    if (m_header.endsWith('\r'))
        m_header.back() = '\n';
    m_mapping = m_givenMapping ? *m_givenMapping : csvmap::read(m_header, &m_encoding).mapping;
    // The book's own file is read by csv::read, with its own rule for quotes and its separator: the
    // one the header uses more, ';' or ','.
    m_fieldRule = m_mapping.own && !m_givenMapping;
    m_separator = m_header.count(';') > m_header.count(',') ? ';' : ',';
}

bool ContactFile::fill()
{
    const qsizetype had = m_buffer.size();
    m_buffer.resize(had + kRead);
    const qint64 n = m_device->read(m_buffer.data() + had, kRead);
    m_buffer.resize(had + std::max<qint64>(n, 0));
    if (n < 0)
        say(m_errors, {u"il file non può essere letto per intero: errore di lettura dal disco"_s});
    return n > 0;
}

bool ContactFile::nextPiece(qsizetype atLeast, QByteArray& piece, int& linesBefore)
{
    for (;;) {
        for (; m_scanned < m_buffer.size() && (m_whole || m_boundary < atLeast); ++m_scanned) {
            const char c = m_buffer.at(m_scanned);
            bool recordEnd = false;
            if (m_format == Format::Csv) {
                if (m_inQuotes && c == '"' && m_fieldRule) {
                    // The book's own reader: "" inside quotes is a quote, a lone " closes them.
                    if (m_scanned + 1 == m_buffer.size() && !m_end)
                        break;
                    if (m_scanned + 1 < m_buffer.size() && m_buffer.at(m_scanned + 1) == '"')
                        ++m_scanned;
                    else
                        m_inQuotes = false;
                    continue;
                }
                if (c == '"') {
                    // Other programs' files open quotes anywhere (and "" closes and opens them again);
                    // the book's own reader only at the start of a field, else the quote is data.
                    m_inQuotes = m_inQuotes ? false : !m_fieldRule || m_fieldStart;
                    m_fieldStart = false;
                    continue;
                }
                const bool lineBreak = c == '\n' || c == '\r';
                if (!m_inQuotes)
                    m_fieldStart = lineBreak || c == m_separator;
                if (!lineBreak)
                    continue;
                // A line ends at CR LF, LF or a lone CR; which one a CR is, only the next byte says.
                if (c == '\r' && m_scanned + 1 == m_buffer.size() && !m_end)
                    break;
                if (c == '\r' && m_scanned + 1 < m_buffer.size() && m_buffer.at(m_scanned + 1) == '\n')
                    continue;
                ++m_linesScanned;
                recordEnd = !m_inQuotes || m_anyLine;
            } else {
                if (c != '\n')
                    continue;
                // A card's END, unless it goes on: the line before continues into it, or it into the
                // next (a quoted-printable soft break, a folded line); only the next byte says the last.
                const QByteArrayView line(m_buffer.constData() + m_lineStart, m_scanned - m_lineStart);
                // The reader joins a folded line, or one after a soft break, to the line before: one
                // that adds nothing leaves the joined line ending as it did (or, with '=' taken off,
                // maybe still with '=': it is taken to go on).
                QByteArrayView content = line.endsWith('\r') ? line.chopped(1) : line;
                if (content.startsWith(' ') || content.startsWith('\t'))
                    content = content.sliced(1);
                const bool softBreak = content.isEmpty() ? m_softBreak : content.endsWith('=');
                recordEnd = !m_softBreak && !softBreak && isCardEnd(line);
                if (recordEnd && m_scanned + 1 == m_buffer.size() && !m_end)
                    break;
                if (recordEnd && m_scanned + 1 < m_buffer.size())
                    recordEnd = m_buffer.at(m_scanned + 1) != ' ' && m_buffer.at(m_scanned + 1) != '\t';
                ++m_linesScanned;
                m_softBreak = softBreak;
                m_lineStart = m_scanned + 1;
            }
            if (recordEnd) {
                m_boundary = m_scanned + 1;
                m_boundaryLines = m_linesScanned;
            }
        }
        if (!m_whole && m_boundary >= atLeast)
            break;
        // A record this long is a quote never closed or a card never ended, and a piece this long
        // would be held several times over by its reader: the file is refused, naming the line.
        if (m_buffer.size() - m_boundary > m_longestRecord) {
            say(m_errors,
                {m_whole ? u"il file in UTF-16 è più grande di %1 MB: salvarlo in UTF-8 e riprovare"_s.arg(
                               m_longestRecord >> 20)
                         : u"riga %1: un contatto che occupa più di %2 MB (virgolette aperte e mai "
                           u"chiuse, o una scheda senza END:VCARD?): il file non è stato letto oltre"_s
                               .arg(m_linesGiven + m_boundaryLines + 1)
                               .arg(m_longestRecord >> 20)});
            m_buffer.clear();
            m_scanned = m_lineStart = 0;
            m_end = true;
            return false;
        }
        if (m_end || !fill()) {
            m_end = true;
            if (m_scanned >= m_buffer.size())
                break;
        }
    }
    const bool atBoundary = !m_whole && m_boundary >= atLeast;
    const qsizetype cut = atBoundary ? m_boundary : m_buffer.size();
    if (cut == 0)
        return false;
    const int lines = atBoundary ? m_boundaryLines : m_linesScanned;
    piece = m_buffer.left(cut);
    m_buffer.remove(0, cut);
    linesBefore = m_linesGiven;
    m_linesGiven += lines;
    m_scanned -= cut;
    m_lineStart = std::max<qsizetype>(m_lineStart - cut, 0);
    m_linesScanned -= lines;
    m_boundary = 0;
    m_boundaryLines = 0;
    return true;
}

void ContactFile::say(QStringList& into, const QStringList& what)
{
    for (const QString& each : what)
        if (!m_said.contains(each)) {
            m_said.insert(each);
            into.append(each);
        }
}

bool ContactFile::next(Contacts& batch)
{
    batch.clear();
    m_first = m_given;
    QByteArray piece;
    int linesBefore = m_linesGiven; // a CSV of its header alone: the lines it had
    while (batch.isEmpty()) {
        const bool more = nextPiece(m_pieceBytes, piece, linesBefore);
        // An empty file, or a CSV of its header alone, is still read once: the reader says what it
        // makes of it ("il file è vuoto").
        if (!more && (m_pieces > 0 || m_format == Format::VCard)) {
            if (!m_finished && m_format == Format::VCard)
                say(m_warnings, m_cards.finish());
            m_finished = true;
            return false;
        }
        ++m_pieces;
        if (m_format == Format::VCard) {
            vcard::ReadResult read = m_cards.read(piece, linesBefore);
            batch = std::move(read.records);
            say(m_errors, read.errors);
            say(m_warnings, read.warnings);
            m_remarked += read.remarked;
            continue;
        }
        const QByteArray text = m_whole ? piece : m_header + piece;
        csvmap::Result read = csvmap::read(text, m_whole && !m_givenEncoding ? nullptr : &m_encoding,
                                           m_givenMapping ? &*m_givenMapping : nullptr,
                                           m_whole ? 0 : linesBefore - m_headerLines);
        if (m_whole) {
            m_encoding = read.encoding;
            m_mapping = read.mapping;
        }
        batch = std::move(read.records);
        say(m_errors, read.errors);
        say(m_warnings, read.warnings);
        if (!more) {
            m_finished = true;
            break;
        }
    }
    m_given += batch.size();
    return !batch.isEmpty();
}

} // namespace vinzal::importing
