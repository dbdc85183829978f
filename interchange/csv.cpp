#include "csv.h"

#include "contact_table.h"
#include "text_encoding.h"
#include "wording.h"

#include <QStringDecoder>
#include <QVariant>

using namespace Qt::StringLiterals;

namespace vinzal::csv {

namespace {

const QByteArray kByteOrderMark = "\xEF\xBB\xBF";

// What a spreadsheet takes as the start of a formula (OWASP's list, with NUL as ASVS adds).
bool startsFormula(QChar c)
{
    return c == u'=' || c == u'+' || c == u'-' || c == u'@' || c == u'\t' || c == u'\r' || c == QChar(0);
}

// Whether the spreadsheet variant writes `text` with a leading apostrophe (see csv.h).
bool needsApostrophe(const QString& text)
{
    if (text.isEmpty())
        return false;
    if (startsFormula(text.front()))
        return true;
    return text.size() > 1 && text.front() == u'\'' && (startsFormula(text.at(1)) || text.at(1) == u'\'');
}

QString field(const Value& value, QChar separator, bool spreadsheet)
{
    if (value.isNull())
        return QString();
    QString text = value.toText();
    if (spreadsheet && needsApostrophe(text))
        text.prepend(u'\'');
    if (text.isEmpty() || text.contains(separator) || text.contains(u'"') || text.contains(u'\n') ||
        text.contains(u'\r')) {
        text.replace(u"\""_s, u"\"\""_s);
        return u'"' + text + u'"';
    }
    return text;
}

// One parsed line: its values (null for an empty unquoted field) and the number of the line it
// began on.
struct Line
{
    QList<QVariant> values;
    int number;
};

} // namespace

bool isSpreadsheet(const WriteOptions& options)
{
    return options.byteOrderMark && options.separator == u';';
}

QByteArray write(const Contacts& records, const WriteOptions& options)
{
    const bool spreadsheet = isSpreadsheet(options);
    QString text;
    QStringList header;
    for (const QString& name : contacts::fields())
        header.append(field(Value::fromEditedText(name), options.separator, false));
    if (options.header)
        text += header.join(options.separator) + u"\r\n"_s;
    for (const Contact& record : records) {
        QStringList values;
        for (const Value& value : record.values)
            values.append(field(value, options.separator, spreadsheet));
        text += values.join(options.separator) + u"\r\n"_s;
    }
    // Each field's bytes as stored, those that are not UTF-8 included (value.h).
    QByteArray bytes = encodeEditedText(text);
    if (options.byteOrderMark && options.header)
        bytes.prepend(kByteOrderMark);
    return bytes;
}

ReadResult read(const QByteArray& data, int linesBefore)
{
    ReadResult result;
    QByteArray bytes = data;
    const bool byteOrderMark = bytes.startsWith(kByteOrderMark);
    if (byteOrderMark)
        bytes.remove(0, 3);
    if (const qsizetype bad = text::firstInvalidUtf8(bytes); bad >= 0) {
        result.errors.append(
            u"riga %1: il testo non è in UTF-8 (byte 0x%2); salvare il file in UTF-8 e "
            u"riprovare"_s.arg(text::afterHeader(text::lineOfOffset(bytes, bad), linesBefore))
                .arg(quint8(bytes.at(bad)), 2, 16, QChar(u'0')));
        return result;
    }
    // A second byte-order mark is text, not a mark.
    auto decoder = QStringDecoder(QStringDecoder::Utf8,
                                  QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = decoder(bytes);

    // The separator is the one the header row uses; a line ends at CR LF, LF or a lone CR.
    const QString headerLine = text::firstLine(text);
    const QChar separator = headerLine.count(u';') > headerLine.count(u',') ? u';' : u',';
    result.spreadsheet = isSpreadsheet({separator, byteOrderMark});

    QList<Line> lines;
    Line current{{}, 1};
    QString value;
    bool quoted = false, inQuotes = false, fieldStarted = false;
    int lineNumber = 1;
    const auto endField = [&] {
        // "" is the empty text, an empty unquoted field is NULL (a cleared QString would be null).
        current.values.append(quoted            ? QVariant(value.isEmpty() ? u""_s : value)
                              : value.isEmpty() ? QVariant()
                                                : QVariant(value));
        value.clear();
        quoted = false;
        fieldStarted = false;
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (inQuotes) {
            if (c == u'"') {
                if (i + 1 < text.size() && text.at(i + 1) == u'"') {
                    value += u'"';
                    ++i;
                } else {
                    inQuotes = false;
                }
            } else {
                // Inside the quotes every character is data; only the count of lines follows it.
                if (c == u'\n' || (c == u'\r' && (i + 1 == text.size() || text.at(i + 1) != u'\n')))
                    ++lineNumber;
                value += c;
            }
            continue;
        }
        if (c == u'"' && !fieldStarted) {
            inQuotes = quoted = fieldStarted = true;
        } else if (c == separator) {
            endField();
        } else if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n') {
            continue;
        } else if (c == u'\n' || c == u'\r') {
            endField();
            lines.append(current);
            if (lines.size() == 1)
                lineNumber += linesBefore; // the header: the rest of the piece follows that many lines
            current = Line{{}, ++lineNumber};
        } else if (quoted) {
            const QString error = u"riga %1: testo dopo le virgolette di chiusura"_s.arg(lineNumber);
            if (result.errors.isEmpty() || result.errors.last() != error)
                result.errors.append(error);
            value += c;
        } else {
            value += c;
            fieldStarted = true;
        }
    }
    if (inQuotes)
        result.errors.append(u"riga %1: virgolette aperte e mai chiuse"_s.arg(current.number));
    if (fieldStarted || !current.values.isEmpty() || !value.isEmpty()) {
        endField();
        lines.append(current);
    }
    if (lines.isEmpty()) {
        result.errors.append(u"il file è vuoto: manca anche la riga d'intestazione"_s);
        return result;
    }

    // Columns by name.
    QList<int> positions;
    QStringList unknown, twice;
    for (const QVariant& name : lines.first().values) {
        int at = contacts::fieldPosition(name.toString());
        for (qsizetype f = 0; at < 0 && f < contacts::fields().size(); ++f)
            if (contacts::fields().at(f).compare(name.toString(), Qt::CaseInsensitive) == 0)
                at = int(f);
        if (at < 0)
            unknown.append(u"«"_s + name.toString() + u"»"_s);
        else if (positions.contains(at))
            twice.append(u"«"_s + contacts::fields().at(at) + u"»"_s);
        positions.append(at);
    }
    if (!unknown.isEmpty())
        result.errors.append(u"riga 1: colonne che la rubrica non ha: "_s + unknown.join(u", "_s));
    if (!twice.isEmpty())
        result.errors.append(u"riga 1: colonne indicate due volte (non si sa quale valga): "_s +
                             twice.join(u", "_s));
    if (!unknown.isEmpty() || !twice.isEmpty())
        return result;
    for (qsizetype l = 1; l < lines.size(); ++l) {
        const Line& line = lines.at(l);
        if (line.values.size() == 1 && line.values.first().isNull())
            continue; // a blank line
        if (line.values.size() != positions.size()) {
            result.errors.append(u"riga %1: "_s.arg(line.number) +
                                 words::counted(line.values.size(), u"campo"_s, u"campi"_s) +
                                 u" invece di %1"_s.arg(positions.size()));
            continue;
        }
        Contact record;
        for (qsizetype c = 0; c < positions.size(); ++c) {
            const QVariant& value = line.values.at(c);
            if (value.isNull())
                continue;
            QString cell = value.toString();
            if (result.spreadsheet && cell.size() > 1 && cell.front() == u'\'' &&
                (startsFormula(cell.at(1)) || cell.at(1) == u'\''))
                cell = cell.mid(1);
            record.at(positions.at(c)) = Value::fromEditedText(cell);
        }
        result.records.append(record);
    }
    return result;
}

} // namespace vinzal::csv
