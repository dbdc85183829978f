#include "vcard.h"

#include "contact_table.h"

#include <QStringDecoder>

using namespace Qt::StringLiterals;

namespace vinzal::vcard {

namespace {

enum Field {
    Id,
    Genere,
    Nome,
    Ulteriore,
    Citta,
    Indirizzo,
    Email,
    Casa,
    Ufficio,
    Fax,
    Cellulare,
    Osservazioni
};

const QString kUidPrefix = u"vinzal-"_s;
const QByteArray kUlteriore = "X-VINZAL-ULTERIORE-IDENTIFICATIVO";

QString escape(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'\\' || c == u',' || c == u';')
            out += u'\\' + QString(c);
        else if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n')
            continue; // the \n that follows carries the break
        else if (c == u'\n')
            out += u"\\n"_s;
        else
            out += c;
    }
    return out;
}

// Folds a content line at 75 octets, never inside a UTF-8 sequence.
QByteArray fold(const QString& line)
{
    const QByteArray bytes = line.toUtf8();
    QByteArray out;
    qsizetype start = 0, limit = 75;
    while (bytes.size() - start > limit) {
        qsizetype cut = start + limit;
        while (cut > start && (quint8(bytes.at(cut)) & 0xC0) == 0x80)
            --cut;
        out += bytes.mid(start, cut - start) + "\r\n ";
        start = cut;
        limit = 74; // the leading blank counts
    }
    return out + bytes.mid(start) + "\r\n";
}

QString text(const QList<QVariant>& record, int field)
{
    return record.value(field).toString();
}
bool has(const QList<QVariant>& record, int field)
{
    return !record.value(field).isNull();
}
bool usesCrLf(const QList<QVariant>& record, int field)
{
    return text(record, field).contains(u"\r\n"_s);
}

} // namespace

QByteArray write(const QList<QList<QVariant>>& records, const QString& version)
{
    QByteArray out;
    for (const QList<QVariant>& r : records) {
        out += fold(u"BEGIN:VCARD"_s);
        out += fold(u"VERSION:"_s + version);
        if (has(r, Id))
            out += fold(u"UID:"_s + kUidPrefix + text(r, Id));
        // FN is required: a NULL name is written empty and marked, so that it comes back NULL.
        out += fold(u"FN"_s + (has(r, Nome) ? QString() : u";X-VINZAL-NULL=1"_s) + u":"_s +
                    escape(text(r, Nome)));
        if (has(r, Nome))
            out += fold(u"N:"_s + escape(text(r, Nome)) + u";;;;"_s);
        if (has(r, Genere))
            out += fold(u"CATEGORIES:"_s + escape(text(r, Genere)));
        if (has(r, Indirizzo) || has(r, Citta)) {
            // Which of the two is NULL rather than empty is kept in a parameter of our own.
            QString nulls;
            if (!has(r, Indirizzo))
                nulls = u";X-VINZAL-NULL=street"_s;
            else if (!has(r, Citta))
                nulls = u";X-VINZAL-NULL=locality"_s;
            out += fold(u"ADR"_s + nulls + u":;;"_s + escape(text(r, Indirizzo)) + u";"_s +
                        escape(text(r, Citta)) + u";;;"_s);
        }
        const std::pair<int, const char16_t*> phones[] = {
            {Casa, u"home"}, {Ufficio, u"work"}, {Fax, u"fax"}, {Cellulare, u"cell"}};
        for (const auto& [field, type] : phones)
            if (has(r, field))
                out += fold(u"TEL;TYPE="_s + QString::fromUtf16(type) + u":"_s + escape(text(r, field)));
        if (has(r, Email))
            out += fold(u"EMAIL:"_s + escape(text(r, Email)));
        if (has(r, Osservazioni))
            out += fold(u"NOTE"_s + (usesCrLf(r, Osservazioni) ? u";X-VINZAL-EOL=CRLF"_s : QString()) +
                        u":"_s + escape(text(r, Osservazioni)));
        if (has(r, Ulteriore))
            out += fold(QString::fromLatin1(kUlteriore) + u":"_s + escape(text(r, Ulteriore)));
        out += fold(u"END:VCARD"_s);
    }
    return out;
}

namespace {

struct Property
{
    QByteArray name;                             // upper case, without a group
    QList<QPair<QByteArray, QByteArray>> params; // upper-case names; 2.1's bare values under TYPE
    QByteArray rawValue;
    int line;

    QList<QByteArray> param(const QByteArray& key) const
    {
        QList<QByteArray> values;
        for (const auto& [k, v] : params)
            if (k == key)
                for (const QByteArray& part : v.split(','))
                    values.append(part.toUpper());
        return values;
    }
};

QByteArray decodeQuotedPrintable(const QByteArray& in)
{
    QByteArray out;
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in.at(i) == '=' && i + 2 < in.size() + 0 && isxdigit(uchar(in.at(i + 1))) &&
            isxdigit(uchar(in.at(i + 2)))) {
            out += char(in.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else {
            out += in.at(i);
        }
    }
    return out;
}

QString decodeText(const Property& p, QStringList& errors)
{
    QByteArray bytes = p.rawValue;
    const QList<QByteArray> encoding = p.param("ENCODING");
    if (encoding.contains("QUOTED-PRINTABLE") || encoding.contains("QP"))
        bytes = decodeQuotedPrintable(bytes);
    const QList<QByteArray> charset = p.param("CHARSET");
    const QByteArray name = charset.isEmpty() ? QByteArray("UTF-8") : charset.first();
    QStringDecoder decoder(name.constData());
    if (!decoder.isValid()) {
        errors.append(
            u"riga %1: insieme di caratteri sconosciuto «%2»"_s.arg(p.line).arg(QString::fromLatin1(name)));
        return QString::fromUtf8(bytes);
    }
    return decoder(bytes);
}

// Splits a structured value at unescaped `separator`, then unescapes each part.
QStringList split(const QString& value, QChar separator)
{
    QStringList parts{u""_s}; // empty, not null: an empty component is the empty text
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c == u'\\' && i + 1 < value.size()) {
            const QChar next = value.at(++i);
            parts.last() += (next == u'n' || next == u'N') ? QChar(u'\n') : next;
        } else if (c == separator) {
            parts.append(u""_s);
        } else {
            parts.last() += c;
        }
    }
    return parts;
}

QString unescape(const QString& value)
{
    QString out = u""_s; // an empty value is the empty text, not NULL
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value.at(i) == u'\\' && i + 1 < value.size()) {
            const QChar next = value.at(++i);
            out += (next == u'n' || next == u'N') ? QChar(u'\n') : next;
        } else {
            out += value.at(i);
        }
    }
    return out;
}

} // namespace

ReadResult read(const QByteArray& data)
{
    ReadResult result;
    QByteArray bytes = data;
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);

    // Unfold: a line break followed by a blank continues the line (3.0, 4.0); in quoted-printable
    // values of 2.1, a '=' at the end of a line does.
    QList<QPair<QByteArray, int>> lines;
    int number = 0;
    for (QByteArray line : bytes.split('\n')) {
        ++number;
        if (line.endsWith('\r'))
            line.chop(1);
        if (!lines.isEmpty() && (line.startsWith(' ') || line.startsWith('\t'))) {
            lines.last().first += line.mid(1);
            continue;
        }
        if (!lines.isEmpty() && lines.last().first.endsWith('=') &&
            lines.last().first.toUpper().contains("QUOTED-PRINTABLE")) {
            lines.last().first.chop(1);
            lines.last().first += line;
            continue;
        }
        lines.append({line, number});
    }

    QList<QVariant> record;
    bool inCard = false;
    for (const auto& [line, at] : lines) {
        if (line.trimmed().isEmpty())
            continue;
        const qsizetype colon = line.indexOf(':');
        if (colon < 0) {
            result.errors.append(u"riga %1: manca «:»"_s.arg(at));
            continue;
        }
        Property p{{}, {}, line.mid(colon + 1), at};
        QList<QByteArray> head = line.left(colon).split(';');
        p.name = head.takeFirst().toUpper();
        if (const qsizetype dot = p.name.lastIndexOf('.'); dot >= 0)
            p.name = p.name.mid(dot + 1);
        for (const QByteArray& param : head) {
            const qsizetype eq = param.indexOf('=');
            if (eq < 0)
                p.params.append({"TYPE", param});
            else
                p.params.append({param.left(eq).toUpper(), QByteArray(param.mid(eq + 1)).replace('"', "")});
        }
        if (p.name == "BEGIN") {
            if (inCard)
                result.errors.append(u"riga %1: BEGIN dentro un'altra scheda"_s.arg(at));
            inCard = true;
            record = QList<QVariant>(contacts::fields().size());
            continue;
        }
        if (!inCard) {
            result.errors.append(u"riga %1: proprietà fuori da una scheda BEGIN:VCARD"_s.arg(at));
            continue;
        }
        if (p.name == "END") {
            inCard = false;
            result.records.append(record);
            continue;
        }
        const QString value = decodeText(p, result.errors);
        const QList<QByteArray> types = p.param("TYPE");
        if (p.name == "UID") {
            const QString uid = unescape(value);
            if (uid.startsWith(kUidPrefix))
                record[Id] = uid.mid(kUidPrefix.size()).toLongLong();
        } else if (p.name == "FN") {
            if (!p.param("X-VINZAL-NULL").contains("1"))
                record[Nome] = unescape(value);
        } else if (p.name == "N" && record[Nome].isNull()) {
            // Without FN: family name first, as Italian address books write it.
            const QStringList parts = split(value, u';');
            const QString name = (parts.value(0) + u' ' + parts.value(1)).trimmed();
            if (!name.isEmpty())
                record[Nome] = name;
        } else if (p.name == "CATEGORIES") {
            record[Genere] = unescape(value);
        } else if (p.name == "ADR" && record[Indirizzo].isNull() && record[Citta].isNull()) {
            const QStringList parts = split(value, u';');
            const QList<QByteArray> nulls = p.param("X-VINZAL-NULL");
            if (!nulls.contains("STREET"))
                record[Indirizzo] = parts.value(2);
            if (!nulls.contains("LOCALITY"))
                record[Citta] = parts.value(3);
        } else if (p.name == "TEL") {
            const int field = types.contains("FAX")                                ? Fax
                              : types.contains("CELL") || types.contains("MOBILE") ? Cellulare
                              : types.contains("WORK")                             ? Ufficio
                              : record[Casa].isNull()                              ? Casa
                                                                                   : Ufficio;
            if (record[field].isNull())
                record[field] = unescape(value);
        } else if (p.name == "EMAIL" && record[Email].isNull()) {
            record[Email] = unescape(value);
        } else if (p.name == "NOTE") {
            QString note = unescape(value);
            if (p.param("X-VINZAL-EOL").contains("CRLF"))
                note.replace(u"\n"_s, u"\r\n"_s);
            record[Osservazioni] = note;
        } else if (p.name == kUlteriore) {
            record[Ulteriore] = unescape(value);
        }
    }
    if (inCard)
        result.errors.append(u"la scheda iniziata non finisce con END:VCARD"_s);
    return result;
}

} // namespace vinzal::vcard
