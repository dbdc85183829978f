#include "vcard.h"

#include "contact_table.h"
#include "foreign_values.h"
#include "text_encoding.h"

#include <QHash>
#include <QRegularExpression>
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
// Says that a card is Vinzal's own, read exactly as written (see readCard).
const QByteArray kProductId = "-//Vinzal//Vinzal//IT";

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
        out += fold(u"PRODID:"_s + QString::fromLatin1(kProductId));
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
    QByteArray group;                            // upper case: "ITEM1" of "item1.TEL"
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
    if (const qsizetype dot = p.name.lastIndexOf('.'); dot >= 0) {
        p.group = p.name.left(dot);
        p.name = p.name.mid(dot + 1);
    }
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
QString decodeText(const Property& p, bool version21, bool& legacyUsed, QStringList& errors,
                   QStringList& warnings)
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
            // The book holds any bytes: the value is kept as it is (its bytes that are not UTF-8
            // travel as the escapes of value.h), and the user is told where to look.
            warnings.append(u"riga %1: il testo di %2 non è in UTF-8 (byte 0x%3): i suoi byte sono stati "
                            u"importati come sono"_s.arg(p.line)
                                .arg(QString::fromLatin1(p.name))
                                .arg(quint8(bytes.at(bad)), 2, 16, QChar(u'0')));
            return decodeStoredText(bytes);
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

// What another program's label says, without the markers some of them put around their own
// labels ("_$!<Mobile>!$_").
QString plainLabel(const QString& label)
{
    const QString trimmed = label.trimmed();
    if (trimmed.startsWith(u"_$!<"_s) && trimmed.endsWith(u">!$_"_s))
        return trimmed.mid(4, trimmed.size() - 8);
    return trimmed;
}

// The types a standard label stands for; empty for a label of the user's own.
QList<QByteArray> typesOfLabel(const QString& label)
{
    static const QHash<QString, QList<QByteArray>> types{
        {u"mobile"_s, {"CELL"}},  {u"iphone"_s, {"CELL"}},         {u"home"_s, {"HOME"}},
        {u"work"_s, {"WORK"}},    {u"homefax"_s, {"HOME", "FAX"}}, {u"workfax"_s, {"WORK", "FAX"}},
        {u"otherfax"_s, {"FAX"}}, {u"pager"_s, {"PAGER"}},         {u"main"_s, {"MAIN"}},
        {u"other"_s, {"OTHER"}},  {u"internet"_s, {"INTERNET"}},   {u"pref"_s, {"PREF"}}};
    return types.value(label.toLower());
}

// The Italian words for a standard label of dates, people and sites; the label itself otherwise.
QString italianLabel(const QString& label)
{
    static const QHash<QString, QString> words{{u"homepage"_s, u"Sito"_s},
                                               {u"anniversary"_s, u"Anniversario"_s},
                                               {u"spouse"_s, u"Coniuge"_s},
                                               {u"child"_s, u"Figlio"_s},
                                               {u"mother"_s, u"Madre"_s},
                                               {u"father"_s, u"Padre"_s},
                                               {u"parent"_s, u"Genitore"_s},
                                               {u"brother"_s, u"Fratello"_s},
                                               {u"sister"_s, u"Sorella"_s},
                                               {u"friend"_s, u"Amico"_s},
                                               {u"partner"_s, u"Partner"_s},
                                               {u"assistant"_s, u"Assistente"_s},
                                               {u"manager"_s, u"Responsabile"_s},
                                               {u"other"_s, u"Altro"_s},
                                               {u"home"_s, u"Casa"_s},
                                               {u"work"_s, u"Ufficio"_s}};
    return words.value(label.toLower(), label);
}

// A date as an Italian reader writes it (17/05/1980, 17/05 without the year); anything else as given.
QString italianDate(const QString& value)
{
    static const QRegularExpression full(u"^(\\d{4})-?(\\d{2})-?(\\d{2})(T.*)?$"_s);
    static const QRegularExpression noYear(u"^--(\\d{2})-?(\\d{2})$"_s);
    const QString trimmed = value.trimmed();
    if (const auto m = full.match(trimmed); m.hasMatch())
        return m.captured(3) + u'/' + m.captured(2) + u'/' + m.captured(1);
    if (const auto m = noYear.match(trimmed); m.hasMatch())
        return m.captured(2) + u'/' + m.captured(1);
    return value;
}

// The properties of other programs that hold something worth keeping but have no field of their own,
// with the label their value gets in "Osservazioni".
const QHash<QByteArray, QString>& remarkLabels()
{
    static const QHash<QByteArray, QString> labels{{"TITLE", u"Titolo"_s},
                                                   {"ROLE", u"Ruolo"_s},
                                                   {"BDAY", u"Compleanno"_s},
                                                   {"ANNIVERSARY", u"Anniversario"_s},
                                                   {"X-ANNIVERSARY", u"Anniversario"_s},
                                                   {"URL", u"Sito"_s},
                                                   {"NICKNAME", u"Soprannome"_s},
                                                   {"IMPP", u"Messaggistica"_s},
                                                   {"X-AIM", u"AIM"_s},
                                                   {"X-ICQ", u"ICQ"_s},
                                                   {"X-JABBER", u"Jabber"_s},
                                                   {"X-MSN", u"MSN"_s},
                                                   {"X-YAHOO", u"Yahoo"_s},
                                                   {"X-SKYPE", u"Skype"_s},
                                                   {"X-SKYPE-USERNAME", u"Skype"_s},
                                                   {"X-GOOGLE-TALK", u"Google Talk"_s},
                                                   {"X-GADUGADU", u"Gadu-Gadu"_s},
                                                   {"X-QQ", u"QQ"_s},
                                                   {"X-TWITTER", u"Twitter"_s},
                                                   {"X-ASSISTANT", u"Assistente"_s},
                                                   {"X-MANAGER", u"Responsabile"_s},
                                                   {"X-SPOUSE", u"Coniuge"_s},
                                                   {"X-ABDATE", u"Data"_s},
                                                   {"X-ABRELATEDNAMES", u"Persona collegata"_s},
                                                   {"LABEL", u"Indirizzo"_s}};
    return labels;
}

// What a card gives "Osservazioni" besides its note: one "Label: value" line per value that has no
// field of its own, numbered when a label comes again ("Cellulare 2").
class Remarks
{
public:
    // Counts a value of `label` that went into its own field, so that the next is number 2.
    void countField(const QString& label) { ++m_seen[label]; }
    void add(const QString& label, const QString& value)
    {
        if (value.trimmed().isEmpty())
            return;
        const int number = ++m_seen[label];
        m_lines.append((number == 1 ? label : label + u' ' + QString::number(number)) + u": "_s + value);
    }
    const QStringList& lines() const { return m_lines; }

private:
    QHash<QString, int> m_seen;
    QStringList m_lines;
};

// The record of one card, from its properties in file order.
//
// A card Vinzal wrote (its PRODID, or a UID vinzal-N) is read exactly as written: each field from
// its one property. Cards of other programs carry more than the book has fields (several numbers of
// one kind, a pager, a birthday); what has no field of its own goes into "Osservazioni" with an
// Italian label, never into a field of another kind, and never is lost.
Contact readCard(const QList<Property>& properties, int beginLine, ReadResult& result, Notes& notes)
{
    QList<QVariant> record(fieldCount);
    bool version21 = false, own = false, hasAddress = false;
    QHash<QByteArray, QString> groupLabels; // itemN -> the label of X-ABLABEL
    bool legacyUsed = false;
    for (const Property& p : properties) {
        if (p.name == "VERSION")
            version21 = p.rawValue.trimmed() == "2.1";
        else if (p.name == "PRODID")
            own = own || p.rawValue.startsWith(kProductId);
        else if (p.name == "UID")
            own = own || p.rawValue.startsWith(kUidPrefix.toLatin1());
        else if (p.name == "ADR")
            hasAddress = true;
    }
    for (const Property& p : properties)
        if (p.name == "X-ABLABEL" && !p.group.isEmpty())
            groupLabels[p.group] =
                plainLabel(unescape(decodeText(p, version21, legacyUsed, result.errors, result.warnings)));

    static const QList<QByteArray> used = {"UID", "FN",    "N",    "CATEGORIES", "ADR",
                                           "TEL", "EMAIL", "NOTE", "ORG",        kUlteriore};
    Remarks remarks;
    QString fromName, fromFullName, organisation;
    bool haveFullName = false;
    QStringList nameRemarks, notesRead, categories;
    for (const Property& p : properties) {
        // What the address book does not keep (a photo, a key) is never decoded, so it can neither
        // stop the import nor bring a warning.
        if (!used.contains(p.name) && !remarkLabels().contains(p.name))
            continue;
        const QString value = decodeText(p, version21, legacyUsed, result.errors, result.warnings);
        const QString label = groupLabels.value(p.group);
        QList<QByteArray> types = p.param("TYPE") + typesOfLabel(label);
        const bool customLabel = !label.isEmpty() && typesOfLabel(label).isEmpty();
        QString typeLabel; // 2.1's bare X-words name a label of the user's own
        for (const auto& [key, raw] : p.params)
            if (key == "TYPE" && raw.startsWith("X-") && !raw.startsWith("X-VINZAL"))
                typeLabel = QString::fromUtf8(raw.mid(2)).trimmed();
        const QString ownLabel = customLabel ? italianLabel(label) : typeLabel;
        if (p.name == "UID") {
            const QString uid = unescapeValue(value, p, result.warnings);
            if (uid.startsWith(kUidPrefix))
                record[Id] = uid.mid(kUidPrefix.size()); // checked where it is written
        } else if (p.name == "FN") {
            if (!p.param("X-VINZAL-NULL").contains("1") && !haveFullName) {
                fromFullName = unescapeValue(value, p, result.warnings);
                haveFullName = true;
            }
        } else if (p.name == "N" && fromName.isNull()) {
            // Family name first, as Italian address books write it. A family name alone is taken
            // as it is (that is how Vinzal writes a name); the courtesy words go to the remarks.
            QStringList parts = split(value, u';');
            restoreBreaks(parts, p, result.warnings);
            while (parts.size() < 5)
                parts.append(u""_s);
            if (parts.join(QString()).trimmed().isEmpty())
                continue;
            if (parts.mid(1).join(QString()).isEmpty()) {
                fromName = parts.at(0);
                continue;
            }
            QStringList words;
            for (int i = 0; i < 3; ++i)
                if (const QString word = QString(parts.at(i)).replace(u',', u' ').simplified();
                    !word.isEmpty())
                    words.append(word);
            if (words.isEmpty())
                continue;
            fromName = words.join(u' ');
            nameRemarks = {parts.at(3).trimmed(), parts.at(4).trimmed()};
        } else if (p.name == "ORG") {
            QStringList units = split(value, u';');
            restoreBreaks(units, p, result.warnings);
            units.removeIf([](const QString& unit) { return unit.trimmed().isEmpty(); });
            if (organisation.isNull())
                organisation = units.join(u", "_s);
            else
                remarks.add(u"Azienda"_s, units.join(u", "_s));
        } else if (p.name == "CATEGORIES") {
            if (own) {
                record[Genere] = unescapeValue(value, p, result.warnings);
                continue;
            }
            // Another program's categories are a list; the book knows three of them (see the end).
            QStringList list = split(value, u',');
            restoreBreaks(list, p, result.warnings);
            categories += list;
        } else if (p.name == "ADR") {
            QStringList parts = split(value, u';');
            restoreBreaks(parts, p, result.warnings);
            while (parts.size() < 7)
                parts.append(u""_s);
            const QString where = types.contains("WORK")   ? u" ufficio"_s
                                  : types.contains("HOME") ? u" casa"_s
                                                           : QString();
            if (!record[Indirizzo].isNull() || !record[Citta].isNull()) {
                QStringList pieces;
                for (const QString& piece : std::as_const(parts))
                    if (!piece.trimmed().isEmpty())
                        pieces.append(piece.trimmed());
                remarks.add(ownLabel.isEmpty() ? u"Indirizzo"_s + where : ownLabel, pieces.join(u", "_s));
                continue;
            }
            remarks.countField(u"Indirizzo"_s + where);
            const QList<QByteArray> nulls = p.param("X-VINZAL-NULL");
            QString street = parts.at(2);
            if (!parts.at(1).trimmed().isEmpty())
                street = street.trimmed().isEmpty() ? parts.at(1).trimmed()
                                                    : street.trimmed() + u", "_s + parts.at(1).trimmed();
            if (!nulls.contains("STREET"))
                record[Indirizzo] = street;
            if (!nulls.contains("LOCALITY"))
                record[Citta] = parts.at(3);
            remarks.add(u"Casella postale"_s, parts.at(0).trimmed());
            remarks.add(u"CAP"_s, parts.at(5).trimmed());
            remarks.add(u"Provincia"_s, parts.at(4).trimmed());
            remarks.add(u"Paese"_s, foreign::remarkValue(u"Paese"_s, parts.at(6).trimmed()));
        } else if (p.name == "TEL") {
            QString number = unescapeValue(value, p, result.warnings);
            if (p.param("VALUE").contains("URI") && number.startsWith(u"tel:"_s, Qt::CaseInsensitive))
                number = number.mid(4);
            // Which field a number may go to, and the label it has when that field is taken.
            int field = -1;
            QString kind;
            if (types.contains("FAX")) {
                field = Fax;
                kind = types.contains("WORK")   ? u"Fax ufficio"_s
                       : types.contains("HOME") ? u"Fax casa"_s
                                                : u"Fax"_s;
            } else if (types.contains("PAGER")) {
                kind = u"Cercapersone"_s;
            } else if (types.contains("CELL") || types.contains("MOBILE") || types.contains("IPHONE")) {
                field = Cellulare;
                kind = u"Cellulare"_s;
            } else if (!ownLabel.isEmpty()) {
                kind = ownLabel;
            } else if (types.contains("WORK")) {
                field = Ufficio;
                kind = u"Telefono ufficio"_s;
            } else if (types.contains("HOME")) {
                field = Casa;
                kind = u"Telefono casa"_s;
            } else if (types.contains("MAIN")) {
                kind = u"Telefono principale"_s;
            } else if (types.contains("OTHER")) {
                kind = u"Altro telefono"_s;
            } else if (types.contains("CAR")) {
                kind = u"Telefono auto"_s;
            } else {
                field = Casa; // a number without a kind: the home number, as it always was
                kind = u"Telefono"_s;
            }
            if (field >= 0 && record[field].isNull()) {
                record[field] = number;
                remarks.countField(kind);
            } else {
                remarks.add(kind, number);
            }
        } else if (p.name == "EMAIL") {
            const QString address = unescapeValue(value, p, result.warnings);
            if (record[Email].isNull()) {
                record[Email] = address;
                remarks.countField(u"E-mail"_s);
            } else {
                remarks.add(customLabel ? ownLabel : u"E-mail"_s, address);
            }
        } else if (p.name == "NOTE") {
            notesRead.append(unescapeValue(value, p, result.warnings));
        } else if (p.name == kUlteriore) {
            record[Ulteriore] = unescapeValue(value, p, result.warnings);
        } else if (p.name == "LABEL") {
            if (!hasAddress) // otherwise the printed form of an address the card also has
                remarks.add(u"Indirizzo"_s, unescapeValue(value, p, result.warnings));
        } else {
            QString text = unescapeValue(value, p, result.warnings);
            const QString generic = remarkLabels().value(p.name);
            if (p.name == "BDAY" || p.name == "ANNIVERSARY" || p.name == "X-ANNIVERSARY" ||
                p.name == "X-ABDATE")
                text = italianDate(text);
            remarks.add(customLabel ? italianLabel(label) : generic, text);
        }
    }

    // The name: from N, else FN, else the organisation when the card is not of a person.
    if (!fromName.isNull()) {
        record[Nome] = fromName;
        remarks.add(u"Prefisso del nome"_s, nameRemarks.value(0));
        remarks.add(u"Suffisso del nome"_s, nameRemarks.value(1));
    } else if (haveFullName && (!fromFullName.trimmed().isEmpty() || organisation.isEmpty())) {
        record[Nome] = fromFullName;
    } else if (!organisation.isEmpty()) {
        record[Nome] = organisation;
    }
    if (!organisation.isEmpty() && record[Nome].toString() != organisation)
        remarks.add(u"Azienda"_s, organisation);
    // "Genere" by the rule every import of another program's contacts follows.
    if (!own) {
        QStringList others;
        record[Genere] = foreign::category(categories, &others);
        for (const QString& other : std::as_const(others))
            remarks.add(u"Categoria"_s, other);
    }

    // The note as it was, then one line for each value without a field of its own.
    QStringList remark = notesRead + remarks.lines();
    if (remark.size() > 1)
        remark.removeAll(QString());
    if (!notesRead.isEmpty() || !remark.isEmpty())
        record[Osservazioni] = remark.isEmpty() ? u""_s : remark.join(u'\n');
    result.remarked += int(remarks.lines().size());
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
