#include "xlsx.h"

#include "contact_table.h"
#include "safe_file.h"

#include <QtEndian>

#include <zlib.h>

#include <cstring>

using namespace Qt::StringLiterals;

namespace vinzal::interchange {

namespace {

constexpr qsizetype kMaxCellText = 32767;  // what a spreadsheet cell holds
constexpr qint64 kMaxRows = 1048576;       // what a sheet holds, the header included
constexpr qint64 kZipLimit = 0xFFFFFFFFLL; // sizes and offsets of a zip file without its 64-bit extension
constexpr qsizetype kFlushAt = 1 << 20;    // bytes gathered before they are written

// The text of a cell with the _xHHHH_ escape of the workbook format (ST_Xstring) applied where
// needed: to what XML 1.0 cannot hold, to CR (an XML reader would make it LF) and to an underscore
// followed by x, which a reader would otherwise take for the start of an escape. A spreadsheet
// counts the characters of the text, not of its escaped form. A byte that is not UTF-8 (a lone
// surrogate of Value::toText()) becomes U+FFFD, as the export's warning says.
QString cellText(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        const bool underscore =
            c == u'_' && i + 1 < text.size() && (text.at(i + 1) == u'x' || text.at(i + 1) == u'X');
        if (underscore || (c < 0x20 && c != u'\t' && c != u'\n') || c == 0xFFFE || c == 0xFFFF)
            out += u"_x%1_"_s.arg(uint(c), 4, 16, QChar(u'0')).toUpper().replace(u"_X"_s, u"_x"_s);
        else if (c == u'&')
            out += u"&amp;"_s;
        else if (c == u'<')
            out += u"&lt;"_s;
        else if (c == u'>')
            out += u"&gt;"_s;
        else if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            out += QStringView(text).sliced(i++, 2);
        else if (QChar::isSurrogate(c))
            out += QChar(QChar::ReplacementCharacter);
        else
            out += QChar(c);
    }
    return out;
}

// "A".."L": the column of a cell reference.
QByteArray columnName(qsizetype column)
{
    QByteArray name;
    for (qsizetype c = column + 1; c > 0; c = (c - 1) / 26)
        name.prepend(char('A' + (c - 1) % 26));
    return name;
}

StoreError failure(const QString& path, const QString& cause, const QString& detail = QString())
{
    return StoreError{
        StoreError::Kind::Engine,
        u"Il foglio di calcolo «%1» non può essere scritto: %2. Non è stato scritto nulla."_s.arg(path,
                                                                                                  cause),
        detail};
}

const QByteArray kXmlHead = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)"
                            "\n";
const QByteArray kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
const QByteArray kRelationships = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
const QByteArray kPackageRelationships = "http://schemas.openxmlformats.org/package/2006/relationships";

// The small parts of the workbook besides its one sheet.
QList<std::pair<QByteArray, QByteArray>> fixedParts(const QByteArray& sheetName)
{
    const QByteArray type = "application/vnd.openxmlformats-officedocument.spreadsheetml.";
    return {
        {"[Content_Types].xml",
         kXmlHead + R"(<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">)" +
             R"(<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>)" +
             R"(<Default Extension="xml" ContentType="application/xml"/>)" +
             R"(<Override PartName="/xl/workbook.xml" ContentType=")" + type + R"(sheet.main+xml"/>)" +
             R"(<Override PartName="/xl/worksheets/sheet1.xml" ContentType=")" + type +
             R"(worksheet+xml"/>)" + R"(<Override PartName="/xl/styles.xml" ContentType=")" + type +
             R"(styles+xml"/></Types>)"},
        {"_rels/.rels", kXmlHead + R"(<Relationships xmlns=")" + kPackageRelationships +
                            R"("><Relationship Id="rId1" Type=")" + kRelationships +
                            R"(/officeDocument" Target="xl/workbook.xml"/></Relationships>)"},
        {"xl/workbook.xml", kXmlHead + R"(<workbook xmlns=")" + kMain + R"(" xmlns:r=")" + kRelationships +
                                R"("><sheets><sheet name=")" + sheetName +
                                R"(" sheetId="1" r:id="rId1"/></sheets></workbook>)"},
        {"xl/_rels/workbook.xml.rels",
         kXmlHead + R"(<Relationships xmlns=")" + kPackageRelationships +
             R"("><Relationship Id="rId1" Type=")" + kRelationships +
             R"(/worksheet" Target="worksheets/sheet1.xml"/><Relationship Id="rId2" Type=")" +
             kRelationships + R"(/styles" Target="styles.xml"/></Relationships>)"},
        {"xl/styles.xml",
         kXmlHead + R"(<styleSheet xmlns=")" + kMain +
             R"("><fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts>)"
             R"(<fills count="2"><fill><patternFill patternType="none"/></fill>)"
             R"(<fill><patternFill patternType="gray125"/></fill></fills>)"
             R"(<borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders>)"
             R"(<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>)"
             R"(<cellXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/></cellXfs>)"
             R"(<cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/></cellStyles>)"
             R"(</styleSheet>)"},
    };
}

void put16(QByteArray& out, quint32 value)
{
    const quint16 le = qToLittleEndian(quint16(value));
    out.append(reinterpret_cast<const char*>(&le), 2);
}
void put32(QByteArray& out, quint32 value)
{
    const quint32 le = qToLittleEndian(value);
    out.append(reinterpret_cast<const char*>(&le), 4);
}

// A zip archive written front to back through a pending file: each member deflated as it comes,
// its sizes and checksum in a data descriptor after it and in the central directory at the end.
// Every write is checked by the pending file; a member or an offset past what a plain zip holds
// is refused rather than written wrong.
class ZipWriter
{
public:
    ZipWriter(safefile::PendingFile& file, const QString& shown) : m_file(file), m_shown(shown) {}
    ~ZipWriter()
    {
        if (m_open)
            deflateEnd(&m_stream);
    }

    Status begin(const QByteArray& name)
    {
        m_current = {name, m_offset, crc32(0, nullptr, 0), 0, 0};
        QByteArray header;
        put32(header, 0x04034b50);
        put16(header, 20);     // version needed: deflate
        put16(header, 0x0008); // sizes and checksum in the data descriptor
        put16(header, 8);      // deflate
        put16(header, 0);      // 00:00
        put16(header, 0x21);   // 1 January 1980: no date, so the same book gives the same bytes
        put32(header, 0);
        put32(header, 0);
        put32(header, 0);
        put16(header, quint32(name.size()));
        put16(header, 0);
        header += name;
        m_stream = {};
        if (deflateInit2(&m_stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) !=
            Z_OK)
            return failure(m_shown, u"la compressione non ha potuto cominciare (memoria esaurita)"_s);
        m_open = true;
        return queue(header);
    }

    Status add(const QByteArray& bytes) { return deflateSome(bytes, Z_NO_FLUSH); }

    Status end()
    {
        if (Status done = deflateSome(QByteArray(), Z_FINISH); !done)
            return done;
        deflateEnd(&m_stream);
        m_open = false;
        if (m_current.compressed > kZipLimit || m_current.size > kZipLimit)
            return tooLarge();
        QByteArray descriptor;
        put32(descriptor, 0x08074b50);
        put32(descriptor, quint32(m_current.crc));
        put32(descriptor, quint32(m_current.compressed));
        put32(descriptor, quint32(m_current.size));
        m_members.append(m_current);
        return queue(descriptor);
    }

    Status finish()
    {
        const qint64 directoryAt = m_offset;
        QByteArray directory;
        for (const Member& m : std::as_const(m_members)) {
            put32(directory, 0x02014b50);
            put16(directory, 20);
            put16(directory, 20);
            put16(directory, 0x0008);
            put16(directory, 8);
            put16(directory, 0);
            put16(directory, 0x21);
            put32(directory, quint32(m.crc));
            put32(directory, quint32(m.compressed));
            put32(directory, quint32(m.size));
            put16(directory, quint32(m.name.size()));
            put16(directory, 0); // extra
            put16(directory, 0); // comment
            put16(directory, 0); // disk
            put16(directory, 0); // internal attributes
            put32(directory, 0); // external attributes
            put32(directory, quint32(m.offset));
            directory += m.name;
        }
        if (directoryAt + directory.size() > kZipLimit)
            return tooLarge();
        const quint32 directorySize = quint32(directory.size());
        put32(directory, 0x06054b50);
        put16(directory, 0);
        put16(directory, 0);
        put16(directory, quint32(m_members.size()));
        put16(directory, quint32(m_members.size()));
        put32(directory, directorySize);
        put32(directory, quint32(directoryAt));
        put16(directory, 0);
        if (Status written = queue(directory); !written)
            return written;
        return flush();
    }

private:
    struct Member
    {
        QByteArray name;
        qint64 offset;
        uLong crc;
        qint64 size, compressed;
    };

    Status tooLarge() const
    {
        return failure(m_shown, u"i contatti sono più di quanto un foglio di calcolo tenga (4 GB di testo); "
                                u"esportarli in CSV"_s);
    }

    Status deflateSome(const QByteArray& bytes, int flush)
    {
        m_current.size += bytes.size();
        m_current.crc =
            crc32_z(m_current.crc, reinterpret_cast<const Bytef*>(bytes.constData()), size_t(bytes.size()));
        m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.constData()));
        m_stream.avail_in = uInt(bytes.size());
        char chunk[1 << 16];
        int result = Z_OK;
        do {
            m_stream.next_out = reinterpret_cast<Bytef*>(chunk);
            m_stream.avail_out = sizeof chunk;
            result = deflate(&m_stream, flush);
            if (result == Z_STREAM_ERROR)
                return failure(m_shown, u"la compressione non è riuscita"_s);
            const qsizetype produced = qsizetype(sizeof chunk - m_stream.avail_out);
            m_current.compressed += produced;
            if (Status written = queue(QByteArray::fromRawData(chunk, produced)); !written)
                return written;
        } while (m_stream.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
        return {};
    }

    Status queue(const QByteArray& bytes)
    {
        m_pending += bytes;
        m_offset += bytes.size();
        return m_pending.size() >= kFlushAt ? flush() : Status();
    }

    Status flush()
    {
        Status written = m_file.write(m_pending);
        m_pending.clear();
        return written;
    }

    safefile::PendingFile& m_file;
    QString m_shown;
    QByteArray m_pending;
    qint64 m_offset = 0;
    z_stream m_stream{};
    bool m_open = false;
    Member m_current{};
    QList<Member> m_members;
};

// One row of the sheet: a text cell for each value that is not empty.
QByteArray rowXml(qint64 number, const QStringList& texts)
{
    const QByteArray r = QByteArray::number(number);
    QByteArray xml = "<row r=\"" + r + "\">";
    for (qsizetype c = 0; c < texts.size(); ++c) {
        if (texts.at(c).isEmpty())
            continue; // an empty cell
        // Spreadsheets drop blanks at either end of a text unless told to keep them.
        const QString& text = texts.at(c);
        const bool blankEnds = text.front().isSpace() || text.back().isSpace();
        xml += "<c r=\"" + columnName(c) + r + R"(" t="inlineStr"><is>)" +
               (blankEnds ? R"(<t xml:space="preserve">)" : "<t>") + text.toUtf8() + "</t></is></c>";
    }
    return xml + "</row>";
}

} // namespace

Status writeXlsx(const QString& target, const Contacts& rows, bool force, const QStringList& inputs)
{
    return writeXlsx(
        target,
        [&rows](const std::function<bool(const Contacts&)>& take) {
            static_cast<void>(take(rows));
            return Status();
        },
        force, inputs);
}

Status writeXlsx(const QString& target, const RowBatches& batches, bool force, const QStringList& inputs)
{
    const QStringList& fields = contacts::fields();
    const qsizetype columns = std::min<qsizetype>(fieldCount, fields.size());

    auto pending = safefile::PendingFile::begin(target, force, inputs);
    if (!pending)
        return pending.error();
    // Written front to back through the pending file, every write checked: the target is replaced
    // only by a whole workbook, and nothing goes through a temporary file of another library. What
    // is refused on the way (too many contacts, too long a text) leaves the target as it was.
    ZipWriter zip(*pending.value(), target);
    const auto part = [&zip](const QByteArray& name, const QByteArray& content) -> Status {
        if (Status begun = zip.begin(name); !begun)
            return begun;
        if (Status added = zip.add(content); !added)
            return added;
        return zip.end();
    };
    for (const auto& [name, content] : fixedParts(contacts::tableName().toUtf8()))
        if (Status written = part(name, content); !written)
            return written;

    if (Status begun = zip.begin("xl/worksheets/sheet1.xml"); !begun)
        return begun;
    // No <dimension>: it is optional, and the rows are counted only as they come.
    QByteArray xml =
        kXmlHead + R"(<worksheet xmlns=")" + kMain + R"(" xmlns:r=")" + kRelationships + R"("><sheetData>)";
    QStringList texts;
    for (qsizetype c = 0; c < columns; ++c)
        texts.append(cellText(fields.at(c)));
    xml += rowXml(1, texts);
    qint64 written = 0;
    Status failed;
    const auto take = [&](const Contacts& rows) {
        for (const Contact& row : rows) {
            if (written + 2 > kMaxRows) {
                failed = failure(target, u"un foglio tiene al massimo %1 contatti"_s.arg(kMaxRows - 1));
                return false;
            }
            // The length is the one a spreadsheet counts: the characters of the text, not of the
            // escapes it travels in.
            for (qsizetype c = 0; c < columns; ++c) {
                texts[c] = row.at(int(c)).toText();
                if (texts[c].size() > kMaxCellText) {
                    failed =
                        failure(target, u"il contatto con ID %1 ha nel campo «%2» un testo di %3 caratteri e "
                                        u"una cella ne tiene al massimo %4; esportarlo in CSV o vCard"_s
                                            .arg(row.at(0).toText(), fields.at(c))
                                            .arg(texts[c].size())
                                            .arg(kMaxCellText));
                    return false;
                }
                texts[c] = cellText(texts[c]);
            }
            xml += rowXml(++written + 1, texts);
            if (xml.size() >= kFlushAt) {
                if (failed = zip.add(xml); !failed)
                    return false;
                xml.clear();
            }
        }
        return true;
    };
    if (Status read = batches(take); !read)
        return read;
    if (!failed)
        return failed;
    xml += "</sheetData></worksheet>";
    if (Status added = zip.add(xml); !added)
        return added;
    if (Status ended = zip.end(); !ended)
        return ended;
    if (Status finished = zip.finish(); !finished)
        return finished;
    return pending.value()->commit();
}

} // namespace vinzal::interchange
