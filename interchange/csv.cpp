#include "csv.h"

#include "contact_table.h"

#include <QStringDecoder>

using namespace Qt::StringLiterals;

namespace vinzal::csv {

namespace {

QString field(const QVariant& value, QChar separator)
{
    if (value.isNull())
        return QString();
    QString text = value.toString();
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

QByteArray write(const QList<QList<QVariant>>& records, const WriteOptions& options)
{
    QString text;
    QStringList header;
    for (const QString& name : contacts::fields())
        header.append(field(name, options.separator));
    text += header.join(options.separator) + u"\r\n"_s;
    for (const QList<QVariant>& record : records) {
        QStringList values;
        for (const QVariant& value : record)
            values.append(field(value, options.separator));
        text += values.join(options.separator) + u"\r\n"_s;
    }
    QByteArray bytes = text.toUtf8();
    if (options.byteOrderMark)
        bytes.prepend("\xEF\xBB\xBF");
    return bytes;
}

ReadResult read(const QByteArray& data)
{
    ReadResult result;
    QByteArray bytes = data;
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    auto decoder = QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    if (decoder.hasError()) {
        result.errors.append(u"il file non è in UTF-8"_s);
        return result;
    }

    // The separator is the one the header row uses.
    const qsizetype headerEnd = text.indexOf(u'\n');
    const QString headerLine = text.left(headerEnd < 0 ? text.size() : headerEnd);
    const QChar separator = headerLine.count(u';') > headerLine.count(u',') ? u';' : u',';

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
                if (c == u'\n')
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
        } else if (c == u'\n') {
            endField();
            lines.append(current);
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
    QStringList unknown;
    for (const QVariant& name : lines.first().values) {
        int at = contacts::fieldPosition(name.toString());
        for (qsizetype f = 0; at < 0 && f < contacts::fields().size(); ++f)
            if (contacts::fields().at(f).compare(name.toString(), Qt::CaseInsensitive) == 0)
                at = int(f);
        if (at < 0)
            unknown.append(u"«"_s + name.toString() + u"»"_s);
        positions.append(at);
    }
    if (!unknown.isEmpty()) {
        result.errors.append(u"riga 1: colonne che la rubrica non ha: "_s + unknown.join(u", "_s));
        return result;
    }
    for (qsizetype l = 1; l < lines.size(); ++l) {
        const Line& line = lines.at(l);
        if (line.values.size() == 1 && line.values.first().isNull())
            continue; // a blank line
        if (line.values.size() != positions.size()) {
            result.errors.append(u"riga %1: %2 campi invece di %3"_s.arg(line.number)
                                     .arg(line.values.size())
                                     .arg(positions.size()));
            continue;
        }
        QList<QVariant> record(contacts::fields().size());
        for (qsizetype c = 0; c < positions.size(); ++c)
            record[positions.at(c)] = line.values.at(c);
        result.records.append(record);
    }
    return result;
}

} // namespace vinzal::csv
