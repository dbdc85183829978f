#include "vcard.h"

#include "contact_table.h"
#include "text_encoding.h"

#include <QStringDecoder>
#include <QVariant>

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
const QByteArray kEol = "X-VINZAL-EOL";

// Characters written as "\n" (see vcard.h): line breaks, what some programs split lines at, and
// the controls a vCard value may not hold.
bool writtenAsBreak(QChar c)
{
    const char16_t u = c.unicode();
    return (u < 0x20 && u != u'\t') || u == 0x85 || u == 0x2028 || u == 0x2029;
}

// A value escaped for a content line, with what each of its "\n" stands for.
struct Escaped
{
    QString value;
    QStringList breaks;
};

void escapeInto(Escaped& out, const QString& text)
{
    out.value.reserve(out.value.size() + text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'\\' || c == u',' || c == u';') {
            out.value += u'\\';
            out.value += c;
        } else if (writtenAsBreak(c)) {
            out.value += u"\\n"_s;
            if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n') {
                out.breaks.append(u"CRLF"_s);
                ++i;
            } else if (c == u'\r') {
                out.breaks.append(u"CR"_s);
            } else if (c == u'\n') {
                out.breaks.append(u"LF"_s);
            } else {
                out.breaks.append(u"U+%1"_s.arg(c.unicode(), 4, 16, QChar(u'0')).toUpper());
            }
        } else {
            out.value += c;
        }
    }
}

Escaped escape(const QString& text)
{
    Escaped out;
    escapeInto(out, text);
    return out;
}

// ";X-VINZAL-EOL=..." when some "\n" of the value is not a plain LF.
QString eolParameter(const QStringList& breaks)
{
    if (breaks.isEmpty() || breaks.count(u"LF"_s) == breaks.size())
        return QString();
    if (breaks.count(breaks.first()) == breaks.size())
        return u";"_s + QString::fromLatin1(kEol) + u'=' + breaks.first();
    return u";"_s + QString::fromLatin1(kEol) + u'=' + breaks.join(u',');
}

// Folds a content line at 75 octets, never inside a UTF-8 sequence.
QByteArray fold(const QString& line)
{
    // Each field's bytes as stored, those that are not UTF-8 included (value.h).
    const QByteArray bytes = encodeEditedText(line);
    QByteArray out;
    qsizetype start = 0, limit = 75;
    while (bytes.size() - start > limit) {
        qsizetype cut = start + limit;
        while (cut > start && (quint8(bytes.at(cut)) & 0xC0) == 0x80)
            --cut;
        if (cut == start) // a run of bytes that are not UTF-8: cut anywhere
            cut = start + limit;
        out += bytes.mid(start, cut - start) + "\r\n ";
        start = cut;
        limit = 74; // the leading blank counts
    }
    return out + bytes.mid(start) + "\r\n";
}

// One property: NAME;PARAMS:value, with the value escaped and its line breaks described.
QByteArray property(const QString& name, const QString& params, const QString& value)
{
    const Escaped escaped = escape(value);
    return fold(name + params + eolParameter(escaped.breaks) + u':' + escaped.value);
}

QString text(const Contact& record, int field)
{
    return record.at(field).toText();
}
bool has(const Contact& record, int field)
{
    return !record.at(field).isNull();
}

} // namespace

QByteArray write(const Contacts& records, const QString& version)
{
    QByteArray out;
    for (const Contact& r : records) {
        out += fold(u"BEGIN:VCARD"_s);
        out += fold(u"VERSION:"_s + version);
        if (has(r, Id))
            out += property(u"UID"_s, QString(), kUidPrefix + text(r, Id));
        // FN is required: a NULL name is written empty and marked, so that it comes back NULL.
        out += property(u"FN"_s, has(r, Nome) ? QString() : u";X-VINZAL-NULL=1"_s, text(r, Nome));
        if (has(r, Nome)) {
            const Escaped name = escape(text(r, Nome));
            out += fold(u"N"_s + eolParameter(name.breaks) + u':' + name.value + u";;;;"_s);
        }
        if (has(r, Genere))
            out += property(u"CATEGORIES"_s, QString(), text(r, Genere));
        if (has(r, Indirizzo) || has(r, Citta)) {
            // Which of the two is NULL rather than empty is kept in a parameter of our own.
            QString nulls;
            if (!has(r, Indirizzo))
                nulls = u";X-VINZAL-NULL=street"_s;
            else if (!has(r, Citta))
                nulls = u";X-VINZAL-NULL=locality"_s;
            Escaped adr{u";;"_s, {}};
            escapeInto(adr, text(r, Indirizzo));
            adr.value += u';';
            escapeInto(adr, text(r, Citta));
            out += fold(u"ADR"_s + nulls + eolParameter(adr.breaks) + u':' + adr.value + u";;;"_s);
        }
        const std::pair<int, const char16_t*> phones[] = {
            {Casa, u"home"}, {Ufficio, u"work"}, {Fax, u"fax"}, {Cellulare, u"cell"}};
        for (const auto& [field, type] : phones)
            if (has(r, field))
                out += property(u"TEL"_s, u";TYPE="_s + QString::fromUtf16(type), text(r, field));
        if (has(r, Email))
            out += property(u"EMAIL"_s, QString(), text(r, Email));
        if (has(r, Osservazioni))
            out += property(u"NOTE"_s, QString(), text(r, Osservazioni));
        if (has(r, Ulteriore))
            out += property(QString::fromLatin1(kUlteriore), QString(), text(r, Ulteriore));
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
    int line = 0;

    QList<QByteArray> param(const QByteArray& key) const
    {
        QList<QByteArray> values;
        for (const auto& [k, v] : params)
            if (k == key)
                for (const QByteArray& part : v.split(','))
                    values.append(part.trimmed().toUpper());
        return values;
    }
    bool quotedPrintable() const
    {
        const QList<QByteArray> encoding = param("ENCODING") + param("TYPE");
        return encoding.contains("QUOTED-PRINTABLE") || encoding.contains("QP");
    }
};

// The colon that ends the name and parameters: the first one outside a quoted parameter value.
qsizetype valueColon(const QByteArray& line)
{
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line.at(i) == '"')
            quoted = !quoted;
        else if (line.at(i) == ':' && !quoted)
            return i;
    }
    return -1;
}

// Parses NAME;PARAM=V;BARE: of a content line (`colon` from valueColon).
Property parseProperty(const QByteArray& line, qsizetype colon, int number)
{
    Property p;
    p.rawValue = line.mid(colon + 1);
    p.line = number;
    QList<QByteArray> head = line.left(colon).split(';');
    p.name = head.takeFirst().trimmed().toUpper();
    if (const qsizetype dot = p.name.lastIndexOf('.'); dot >= 0)
        p.name = p.name.mid(dot + 1);
    for (const QByteArray& param : head) {
        const qsizetype eq = param.indexOf('=');
        if (eq < 0)
            p.params.append({"TYPE", param.trimmed()});
        else
            p.params.append(
                {param.left(eq).trimmed().toUpper(), QByteArray(param.mid(eq + 1)).replace('"', "")});
    }
    return p;
}

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

// What the reader has to say about the whole file besides the errors.
struct Notes
{
    int legacyCards = 0; // 2.1 cards whose text was taken as Windows-1252
    int firstLegacyLine = 0;
};

bool isAscii(const QByteArray& bytes)
{
    for (const char c : bytes)
        if (quint8(c) >= 0x80)
            return false;
    return true;
}

// The text of a property's value, still escaped. `legacy` says whether the card is vCard 2.1,
// where text without a CHARSET is Windows-1252; it is set to true when that was needed.
QString decodeText(const Property& p, bool version21, bool& legacyUsed, QStringList& errors)
{
    QByteArray bytes = p.rawValue;
    if (p.quotedPrintable())
        bytes = decodeQuotedPrintable(bytes);
    const QList<QByteArray> charset = p.param("CHARSET");
    const QByteArray name = charset.isEmpty() ? QByteArray() : charset.first();
    if (name == "WINDOWS-1252" || name == "CP1252" || (name.isEmpty() && version21 && !isAscii(bytes))) {
        legacyUsed = legacyUsed || name.isEmpty();
        return text::fromWindows1252(bytes);
    }
    if (name.isEmpty() || name == "UTF-8" || name == "UTF8") {
        if (const qsizetype bad = text::firstInvalidUtf8(bytes); bad >= 0) {
            errors.append(u"riga %1: il testo di %2 non è in UTF-8 (byte 0x%3)"_s.arg(p.line)
                              .arg(QString::fromLatin1(p.name))
                              .arg(quint8(bytes.at(bad)), 2, 16, QChar(u'0')));
            return QString();
        }
        return QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom)(bytes);
    }
    QStringDecoder decoder(name.constData(), QStringDecoder::Flag::ConvertInitialBom);
    if (!decoder.isValid()) {
        errors.append(
            u"riga %1: insieme di caratteri sconosciuto «%2»"_s.arg(p.line).arg(QString::fromLatin1(name)));
        return QString();
    }
    QString decoded = decoder(bytes);
    if (decoder.hasError())
        errors.append(
            u"riga %1: il testo non è nell'insieme di caratteri «%2» che dichiara"_s.arg(p.line).arg(
                QString::fromLatin1(name)));
    return decoded;
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

// What one entry of X-VINZAL-EOL stands for, or a null string for an entry we do not know.
QString breakText(const QByteArray& entry)
{
    if (entry == "LF")
        return u"\n"_s;
    if (entry == "CRLF")
        return u"\r\n"_s;
    if (entry == "CR")
        return u"\r"_s;
    if (entry.startsWith("U+") && entry.size() == 6) {
        bool ok = false;
        const uint code = entry.mid(2).toUInt(&ok, 16);
        if (ok && writtenAsBreak(QChar(char16_t(code))))
            return QString(QChar(char16_t(code)));
    }
    return QString();
}

// Gives each "\n" of the parts, in order, the bytes X-VINZAL-EOL says it stood for.
void restoreBreaks(QStringList& parts, const Property& p, QStringList& warnings)
{
    const QList<QByteArray> entries = p.param(kEol);
    if (entries.isEmpty())
        return;
    qsizetype count = 0;
    for (const QString& part : std::as_const(parts))
        count += part.count(u'\n');
    QStringList texts;
    for (const QByteArray& entry : entries)
        texts.append(breakText(entry));
    if (texts.contains(QString()) || (texts.size() != 1 && texts.size() != count)) {
        warnings.append(u"riga %1: il parametro %2 non corrisponde agli a capo di %3, che restano semplici "
                        u"a capo"_s.arg(p.line)
                            .arg(QString::fromLatin1(kEol), QString::fromLatin1(p.name)));
        return;
    }
    qsizetype next = 0;
    for (QString& part : parts) {
        if (!part.contains(u'\n'))
            continue;
        QString restored;
        restored.reserve(part.size() + part.size() / 8);
        for (const QChar c : std::as_const(part)) {
            if (c == u'\n')
                restored += texts.at(texts.size() == 1 ? 0 : next++);
            else
                restored += c;
        }
        part = restored;
    }
}

QString unescapeValue(const QString& value, const Property& p, QStringList& warnings)
{
    QStringList parts{unescape(value)};
    restoreBreaks(parts, p, warnings);
    return parts.first();
}

// The record of one card, from its properties in file order.
Contact readCard(const QList<Property>& properties, int beginLine, ReadResult& result, Notes& notes)
{
    QList<QVariant> record(fieldCount);
    bool version21 = false;
    for (const Property& p : properties)
        if (p.name == "VERSION")
            version21 = p.rawValue.trimmed() == "2.1";
    bool legacyUsed = false;
    static const QList<QByteArray> used = {"UID", "FN",    "N",    "CATEGORIES", "ADR",
                                           "TEL", "EMAIL", "NOTE", kUlteriore};
    for (const Property& p : properties) {
        // What the address book does not keep (a photo, a birthday) is never decoded, so it can
        // neither stop the import nor bring a warning.
        if (!used.contains(p.name))
            continue;
        const QString value = decodeText(p, version21, legacyUsed, result.errors);
        const QList<QByteArray> types = p.param("TYPE");
        if (p.name == "UID") {
            const QString uid = unescapeValue(value, p, result.warnings);
            if (uid.startsWith(kUidPrefix))
                record[Id] = uid.mid(kUidPrefix.size()); // checked where it is written
        } else if (p.name == "FN") {
            if (!p.param("X-VINZAL-NULL").contains("1"))
                record[Nome] = unescapeValue(value, p, result.warnings);
        } else if (p.name == "N" && record[Nome].isNull()) {
            // Without FN: family name first, as Italian address books write it.
            QStringList parts = split(value, u';');
            restoreBreaks(parts, p, result.warnings);
            const QString name = (parts.value(0) + u' ' + parts.value(1)).trimmed();
            if (!name.isEmpty())
                record[Nome] = name;
        } else if (p.name == "CATEGORIES") {
            record[Genere] = unescapeValue(value, p, result.warnings);
        } else if (p.name == "ADR" && record[Indirizzo].isNull() && record[Citta].isNull()) {
            QStringList parts = split(value, u';');
            restoreBreaks(parts, p, result.warnings);
            const QList<QByteArray> nulls = p.param("X-VINZAL-NULL");
            if (!nulls.contains("STREET"))
                record[Indirizzo] = parts.value(2, u""_s);
            if (!nulls.contains("LOCALITY"))
                record[Citta] = parts.value(3, u""_s);
        } else if (p.name == "TEL") {
            const int field = types.contains("FAX")                                ? Fax
                              : types.contains("CELL") || types.contains("MOBILE") ? Cellulare
                              : types.contains("WORK")                             ? Ufficio
                              : record[Casa].isNull()                              ? Casa
                                                                                   : Ufficio;
            if (record[field].isNull())
                record[field] = unescapeValue(value, p, result.warnings);
        } else if (p.name == "EMAIL" && record[Email].isNull()) {
            record[Email] = unescapeValue(value, p, result.warnings);
        } else if (p.name == "NOTE") {
            record[Osservazioni] = unescapeValue(value, p, result.warnings);
        } else if (p.name == kUlteriore) {
            record[Ulteriore] = unescapeValue(value, p, result.warnings);
        }
    }
    if (legacyUsed && notes.legacyCards++ == 0)
        notes.firstLegacyLine = beginLine;
    Contact contact;
    for (int i = 0; i < fieldCount; ++i)
        if (!record.at(i).isNull())
            contact.at(i) = Value::fromEditedText(record.at(i).toString());
    return contact;
}

} // namespace

ReadResult read(const QByteArray& data)
{
    ReadResult result;
    QByteArray bytes = data;
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);

    // Unfold: a line break followed by a blank continues the line (3.0, 4.0); in a quoted-printable
    // value (2.1) a '=' at the end of a line does. Only the parameters can say that a value is
    // quoted-printable: the value's own words never do.
    QList<QPair<QByteArray, int>> lines;
    int number = 0;
    const auto softBreak = [](const QByteArray& line) {
        if (!line.endsWith('='))
            return false;
        const qsizetype colon = valueColon(line);
        return colon >= 0 && parseProperty(line, colon, 0).quotedPrintable();
    };
    for (QByteArray line : bytes.split('\n')) {
        ++number;
        if (line.endsWith('\r'))
            line.chop(1);
        if (!lines.isEmpty() && (line.startsWith(' ') || line.startsWith('\t'))) {
            lines.last().first += line.mid(1);
            continue;
        }
        if (!lines.isEmpty() && softBreak(lines.last().first)) {
            lines.last().first.chop(1);
            lines.last().first += line;
            continue;
        }
        lines.append({line, number});
    }

    Notes notes;
    QList<Property> card;
    int cardLine = 0;
    bool inCard = false;
    for (const auto& [line, at] : lines) {
        if (line.trimmed().isEmpty())
            continue;
        const qsizetype colon = valueColon(line);
        if (colon < 0) {
            result.errors.append(u"riga %1: manca «:»"_s.arg(at));
            continue;
        }
        Property p = parseProperty(line, colon, at);
        if (p.name == "BEGIN") {
            if (inCard)
                result.errors.append(u"riga %1: BEGIN dentro un'altra scheda"_s.arg(at));
            inCard = true;
            card.clear();
            cardLine = at;
            continue;
        }
        if (!inCard) {
            result.errors.append(u"riga %1: proprietà fuori da una scheda BEGIN:VCARD"_s.arg(at));
            continue;
        }
        if (p.name == "END") {
            inCard = false;
            result.records.append(readCard(card, cardLine, result, notes));
            continue;
        }
        card.append(std::move(p));
    }
    if (inCard)
        result.errors.append(u"riga %1: la scheda iniziata non finisce con END:VCARD"_s.arg(cardLine));
    if (notes.legacyCards > 0) {
        const QString which =
            notes.legacyCards == 1
                ? u"la scheda vCard 2.1 della riga %1 non dichiara"_s.arg(notes.firstLegacyLine)
                : u"%1 schede vCard 2.1 (la prima alla riga %2) non dichiarano"_s.arg(notes.legacyCards)
                      .arg(notes.firstLegacyLine);
        result.warnings.append(which + u" l'insieme di caratteri: il testo è stato letto come Windows-1252; "
                                       u"controllare le lettere accentate"_s);
    }
    return result;
}

} // namespace vinzal::vcard
