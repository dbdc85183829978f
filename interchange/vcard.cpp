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
// Says that a card is Vinzal's own, read exactly as written (see CardReader).
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

using Notes = Reader::Notes;

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

// The record of one card, from its properties in file order, built by one reader per property.
//
// A card Vinzal wrote (its PRODID, or a UID vinzal-N) is read exactly as written: each field from
// its one property. Cards of other programs carry more than the book has fields (several numbers of
// one kind, a pager, a birthday); what has no field of its own goes into "Osservazioni" with an
// Italian label, never into a field of another kind, and never is lost.
class CardReader
{
public:
    CardReader(const QList<Property>& properties, ReadResult& result);
    Contact read(int beginLine, Notes& notes);
    // Which property (its position in the card) filled each field, or -1.
    const QList<int>& sources() const { return m_sources; }
    const QStringList& remarkLines() const { return m_remarks.lines(); }
    bool own() const { return m_own; }

private:
    // One property as its reader sees it: the decoded value, and the kind and label the phone gave it.
    struct Read
    {
        const Property& p;
        QString value;
        QList<QByteArray> types; // TYPE and what a standard label stands for
        bool customLabel;        // a label of the user's own, which names the value in the remarks
        QString ownLabel;
    };
    using Reader = void (CardReader::*)(const Read&);
    // The properties that have a field of their own; the others of remarkLabels() go to the remarks.
    static const QHash<QByteArray, Reader>& readers();

    QString unescaped(const Read& r) { return unescapeValue(r.value, r.p, m_result.warnings); }
    QStringList parts(const Read& r, QChar separator, qsizetype atLeast = 0);

    void uid(const Read& r);
    void fullName(const Read& r);
    void name(const Read& r);
    void organisation(const Read& r);
    void categories(const Read& r);
    void address(const Read& r);
    void phone(const Read& r);
    void email(const Read& r);
    void note(const Read& r);
    void ulteriore(const Read& r);
    void printedAddress(const Read& r);
    void remark(const Read& r);
    void finishName();

    const QList<Property>& m_properties;
    ReadResult& m_result;
    QList<QVariant> m_record = QList<QVariant>(fieldCount);
    bool m_version21 = false, m_own = false, m_hasAddress = false, m_legacyUsed = false;
    QHash<QByteArray, QString> m_groupLabels; // itemN -> the label of X-ABLABEL
    Remarks m_remarks;
    QString m_fromName, m_fromFullName, m_organisation;
    bool m_haveFullName = false;
    QStringList m_nameRemarks, m_notes, m_categories;
    QList<int> m_sources = QList<int>(fieldCount, -1);
    int m_at = -1; // the position of the property being read
};

const QHash<QByteArray, CardReader::Reader>& CardReader::readers()
{
    static const QHash<QByteArray, Reader> all{
        {"UID", &CardReader::uid},           {"FN", &CardReader::fullName},  {"N", &CardReader::name},
        {"ORG", &CardReader::organisation},  {"CATEGORIES", &CardReader::categories},
        {"ADR", &CardReader::address},       {"TEL", &CardReader::phone},    {"EMAIL", &CardReader::email},
        {"NOTE", &CardReader::note},         {kUlteriore, &CardReader::ulteriore},
        {"LABEL", &CardReader::printedAddress}};
    return all;
}

CardReader::CardReader(const QList<Property>& properties, ReadResult& result)
    : m_properties(properties), m_result(result)
{
    // What decides how the rest is read comes first, wherever it stands in the card.
    for (const Property& p : properties) {
        if (p.name == "VERSION")
            m_version21 = p.rawValue.trimmed() == "2.1";
        else if (p.name == "PRODID")
            m_own = m_own || p.rawValue.startsWith(kProductId);
        else if (p.name == "UID")
            m_own = m_own || p.rawValue.startsWith(kUidPrefix.toLatin1());
        else if (p.name == "ADR")
            m_hasAddress = true;
    }
    for (const Property& p : properties)
        if (p.name == "X-ABLABEL" && !p.group.isEmpty())
            m_groupLabels[p.group] =
                plainLabel(unescape(decodeText(p, m_version21, m_legacyUsed, result.errors, result.warnings)));
}

QStringList CardReader::parts(const Read& r, QChar separator, qsizetype atLeast)
{
    QStringList list = split(r.value, separator);
    restoreBreaks(list, r.p, m_result.warnings);
    while (list.size() < atLeast)
        list.append(u""_s);
    return list;
}

void CardReader::uid(const Read& r)
{
    const QString uid = unescaped(r);
    if (uid.startsWith(kUidPrefix))
        m_record[Id] = uid.mid(kUidPrefix.size()); // checked where it is written
}

void CardReader::fullName(const Read& r)
{
    if (r.p.param("X-VINZAL-NULL").contains("1") || m_haveFullName)
        return;
    m_fromFullName = unescaped(r);
    m_haveFullName = true;
}

void CardReader::name(const Read& r)
{
    if (!m_fromName.isNull())
        return;
    // Family name first, as Italian address books write it. A family name alone is taken as it is
    // (that is how Vinzal writes a name); the courtesy words go to the remarks.
    const QStringList list = parts(r, u';', 5);
    if (list.join(QString()).trimmed().isEmpty())
        return;
    if (list.mid(1).join(QString()).isEmpty()) {
        m_fromName = list.at(0);
        return;
    }
    QStringList words;
    for (int i = 0; i < 3; ++i)
        if (const QString word = QString(list.at(i)).replace(u',', u' ').simplified(); !word.isEmpty())
            words.append(word);
    if (words.isEmpty())
        return;
    m_fromName = words.join(u' ');
    m_nameRemarks = {list.at(3).trimmed(), list.at(4).trimmed()};
}

void CardReader::organisation(const Read& r)
{
    QStringList units = parts(r, u';');
    units.removeIf([](const QString& unit) { return unit.trimmed().isEmpty(); });
    if (m_organisation.isNull())
        m_organisation = units.join(u", "_s);
    else
        m_remarks.add(u"Azienda"_s, units.join(u", "_s));
}

void CardReader::categories(const Read& r)
{
    if (m_own) {
        m_record[Genere] = unescaped(r);
        return;
    }
    // Another program's categories are a list; the book knows three of them (see read()).
    m_categories += parts(r, u',');
}

void CardReader::address(const Read& r)
{
    const QStringList list = parts(r, u';', 7);
    const QString where = r.types.contains("WORK")   ? u" ufficio"_s
                          : r.types.contains("HOME") ? u" casa"_s
                                                     : QString();
    if (!m_record[Indirizzo].isNull() || !m_record[Citta].isNull()) {
        QStringList pieces;
        for (const QString& piece : list)
            if (!piece.trimmed().isEmpty())
                pieces.append(piece.trimmed());
        m_remarks.add(r.ownLabel.isEmpty() ? u"Indirizzo"_s + where : r.ownLabel, pieces.join(u", "_s));
        return;
    }
    m_remarks.countField(u"Indirizzo"_s + where);
    m_sources[Indirizzo] = m_sources[Citta] = m_at;
    const QList<QByteArray> nulls = r.p.param("X-VINZAL-NULL");
    QString street = list.at(2);
    if (!list.at(1).trimmed().isEmpty())
        street = street.trimmed().isEmpty() ? list.at(1).trimmed() : street.trimmed() + u", "_s + list.at(1).trimmed();
    if (!nulls.contains("STREET"))
        m_record[Indirizzo] = street;
    if (!nulls.contains("LOCALITY"))
        m_record[Citta] = list.at(3);
    m_remarks.add(u"Casella postale"_s, list.at(0).trimmed());
    m_remarks.add(u"CAP"_s, list.at(5).trimmed());
    m_remarks.add(u"Provincia"_s, list.at(4).trimmed());
    m_remarks.add(u"Paese"_s, foreign::remarkValue(u"Paese"_s, list.at(6).trimmed()));
}

void CardReader::phone(const Read& r)
{
    QString number = unescaped(r);
    if (r.p.param("VALUE").contains("URI") && number.startsWith(u"tel:"_s, Qt::CaseInsensitive))
        number = number.mid(4);
    // Which field a number may go to, and the label it has when that field is taken.
    const QList<QByteArray>& types = r.types;
    int field = -1;
    QString kind;
    if (types.contains("FAX")) {
        field = Fax;
        kind = types.contains("WORK") ? u"Fax ufficio"_s : types.contains("HOME") ? u"Fax casa"_s : u"Fax"_s;
    } else if (types.contains("PAGER")) {
        kind = u"Cercapersone"_s;
    } else if (types.contains("CELL") || types.contains("MOBILE") || types.contains("IPHONE")) {
        field = Cellulare;
        kind = u"Cellulare"_s;
    } else if (!r.ownLabel.isEmpty()) {
        kind = r.ownLabel;
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
    if (field >= 0 && m_record[field].isNull()) {
        m_record[field] = number;
        m_sources[field] = m_at;
        m_remarks.countField(kind);
    } else {
        m_remarks.add(kind, number);
    }
}

void CardReader::email(const Read& r)
{
    const QString address = unescaped(r);
    if (m_record[Email].isNull()) {
        m_record[Email] = address;
        m_sources[Email] = m_at;
        m_remarks.countField(u"E-mail"_s);
    } else {
        m_remarks.add(r.customLabel ? r.ownLabel : u"E-mail"_s, address);
    }
}

void CardReader::note(const Read& r)
{
    m_notes.append(unescaped(r));
}

void CardReader::ulteriore(const Read& r)
{
    m_record[Ulteriore] = unescaped(r);
}

void CardReader::printedAddress(const Read& r)
{
    if (!m_hasAddress) // otherwise the printed form of an address the card also has
        m_remarks.add(u"Indirizzo"_s, unescaped(r));
}

void CardReader::remark(const Read& r)
{
    QString text = unescaped(r);
    const QByteArray& name = r.p.name;
    if (name == "BDAY" || name == "ANNIVERSARY" || name == "X-ANNIVERSARY" || name == "X-ABDATE")
        text = italianDate(text);
    m_remarks.add(r.customLabel ? r.ownLabel : remarkLabels().value(name), text);
}

// The name: from N, else FN, else the organisation when the card is not of a person.
void CardReader::finishName()
{
    if (!m_fromName.isNull()) {
        m_record[Nome] = m_fromName;
        m_remarks.add(u"Prefisso del nome"_s, m_nameRemarks.value(0));
        m_remarks.add(u"Suffisso del nome"_s, m_nameRemarks.value(1));
    } else if (m_haveFullName && (!m_fromFullName.trimmed().isEmpty() || m_organisation.isEmpty())) {
        m_record[Nome] = m_fromFullName;
    } else if (!m_organisation.isEmpty()) {
        m_record[Nome] = m_organisation;
    }
    if (!m_organisation.isEmpty() && m_record[Nome].toString() != m_organisation)
        m_remarks.add(u"Azienda"_s, m_organisation);
}

Contact CardReader::read(int beginLine, Notes& notes)
{
    for (const Property& p : m_properties) {
        ++m_at;
        // What the address book does not keep (a photo, a key) is never decoded, so it can neither
        // stop the import nor bring a warning.
        const Reader reader = readers().value(p.name, remarkLabels().contains(p.name) ? &CardReader::remark : nullptr);
        if (!reader)
            continue;
        const QString label = m_groupLabels.value(p.group);
        const QList<QByteArray> ofLabel = typesOfLabel(label);
        const bool customLabel = !label.isEmpty() && ofLabel.isEmpty();
        QString typeLabel; // 2.1's bare X-words name a label of the user's own
        for (const auto& [key, raw] : p.params)
            if (key == "TYPE" && raw.startsWith("X-") && !raw.startsWith("X-VINZAL"))
                typeLabel = QString::fromUtf8(raw.mid(2)).trimmed();
        const Read read{p,
                        decodeText(p, m_version21, m_legacyUsed, m_result.errors, m_result.warnings),
                        p.param("TYPE") + ofLabel,
                        customLabel,
                        customLabel ? italianLabel(label) : typeLabel};
        (this->*reader)(read);
    }
    finishName();
    // "Genere" by the rule every import of another program's contacts follows.
    if (!m_own) {
        QStringList others;
        m_record[Genere] = foreign::category(m_categories, &others);
        for (const QString& other : std::as_const(others))
            m_remarks.add(u"Categoria"_s, other);
    }

    // The note as it was, then one line for each value without a field of its own.
    QStringList remark = m_notes + m_remarks.lines();
    if (remark.size() > 1)
        remark.removeAll(QString());
    if (!m_notes.isEmpty() || !remark.isEmpty())
        m_record[Osservazioni] = remark.isEmpty() ? u""_s : remark.join(u'\n');
    m_result.remarked += int(m_remarks.lines().size());
    if (m_legacyUsed && notes.legacyCards++ == 0)
        notes.firstLegacyLine = beginLine;
    Contact contact;
    for (int i = 0; i < fieldCount; ++i)
        if (!m_record.at(i).isNull())
            contact.at(i) = Value::fromEditedText(m_record.at(i).toString());
    return contact;
}

} // namespace

ReadResult Reader::read(const QByteArray& piece, int linesBefore)
{
    ReadResult result;
    QByteArray bytes = piece;
    // The file's byte-order mark; one that begins a later piece is the text it is in the whole file.
    if (linesBefore == 0 && bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);

    // Unfold: a line break followed by a blank continues the line (3.0, 4.0); in a quoted-printable
    // value (2.1) a '=' at the end of a line does. Only the parameters can say that a value is
    // quoted-printable: the value's own words never do.
    QList<QPair<QByteArray, int>> lines;
    int number = linesBefore;
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

    Notes& notes = m_notes;
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
            result.records.append(CardReader(card, result).read(cardLine, notes));
            continue;
        }
        card.append(std::move(p));
    }
    if (inCard)
        result.errors.append(u"riga %1: la scheda iniziata non finisce con END:VCARD"_s.arg(cardLine));
    return result;
}

QStringList Reader::finish() const
{
    const Notes& notes = m_notes;
    QStringList warnings;
    if (notes.legacyCards > 0) {
        const QString which =
            notes.legacyCards == 1
                ? u"la scheda vCard 2.1 della riga %1 non dichiara"_s.arg(notes.firstLegacyLine)
                : u"%1 schede vCard 2.1 (la prima alla riga %2) non dichiarano"_s.arg(notes.legacyCards)
                      .arg(notes.firstLegacyLine);
        warnings.append(which + u" l'insieme di caratteri: il testo è stato letto come Windows-1252; "
                                u"controllare le lettere accentate"_s);
    }
    return warnings;
}

ReadResult read(const QByteArray& data)
{
    Reader reader;
    ReadResult result = reader.read(data, 0);
    result.warnings += reader.finish();
    return result;
}

namespace {

// One content line of a card as it stands in the text: where its bytes begin and end (folded
// continuation lines and the line break included) and what it says, unfolded.
struct CardLine
{
    qsizetype begin = 0, end = 0;
    QByteArray content;
    Property property;
    bool isProperty = false; // not BEGIN, END or a blank line
};

struct SplitCard
{
    QList<CardLine> lines;
    QList<qsizetype> properties; // the positions in `lines` of the card's properties, in order
    QByteArray eol;              // the card's own line break
    bool version21 = false;
};

SplitCard splitCard(const QByteArray& text)
{
    SplitCard card;
    card.eol = text.contains("\r\n") ? QByteArray("\r\n") : QByteArray("\n");
    const auto softBreak = [](const QByteArray& line) {
        if (!line.endsWith('='))
            return false;
        const qsizetype colon = valueColon(line);
        return colon >= 0 && parseProperty(line, colon, 0).quotedPrintable();
    };
    qsizetype at = 0;
    int number = 0;
    while (at < text.size()) {
        qsizetype next = text.indexOf('\n', at);
        next = next < 0 ? text.size() : next + 1;
        QByteArray line = text.mid(at, next - at);
        if (line.endsWith('\n'))
            line.chop(1);
        if (line.endsWith('\r'))
            line.chop(1);
        ++number;
        if (!card.lines.isEmpty() && (line.startsWith(' ') || line.startsWith('\t'))) {
            card.lines.last().content += line.mid(1);
            card.lines.last().end = next;
        } else if (!card.lines.isEmpty() && softBreak(card.lines.last().content)) {
            card.lines.last().content.chop(1);
            card.lines.last().content += line;
            card.lines.last().end = next;
        } else {
            card.lines.append(CardLine{at, next, line, {}, false});
        }
        at = next;
    }
    for (qsizetype i = 0; i < card.lines.size(); ++i) {
        CardLine& line = card.lines[i];
        const qsizetype colon = valueColon(line.content);
        if (line.content.trimmed().isEmpty() || colon < 0)
            continue;
        line.property = parseProperty(line.content, colon, int(i + 1));
        if (line.property.name == "BEGIN" || line.property.name == "END")
            continue;
        line.isProperty = true;
        card.properties.append(i);
        if (line.property.name == "VERSION")
            card.version21 = line.property.rawValue.trimmed() == "2.1";
    }
    return card;
}

struct ReadCard
{
    Contact contact;
    QList<int> sources;
    QStringList remarks;
    bool own = false;
    QStringList errors;
};

ReadCard readSplit(const SplitCard& split)
{
    QList<Property> properties;
    for (const qsizetype i : split.properties)
        properties.append(split.lines.at(i).property);
    ReadResult result;
    Notes notes;
    CardReader reader(properties, result);
    ReadCard card;
    card.contact = reader.read(1, notes);
    card.contact[vinzal::Field::Id] = Value();
    card.sources = reader.sources();
    card.remarks = reader.remarkLines();
    card.own = reader.own();
    card.errors = result.errors;
    return card;
}

// Splits a still escaped value at the separators that are not escaped, keeping the escapes.
QStringList rawSplit(const QString& value, QChar separator)
{
    QStringList parts{u""_s};
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c == u'\\' && i + 1 < value.size()) {
            parts.last() += c;
            parts.last() += value.at(++i);
        } else if (c == separator) {
            parts.append(u""_s);
        } else {
            parts.last() += c;
        }
    }
    return parts;
}

// The name and parameters of a property as the card has them, without those that describe the old
// value's encoding.
QString keptHead(const CardLine& line)
{
    const QByteArray head = line.content.left(valueColon(line.content));
    QStringList kept;
    const QList<QByteArray> parts = head.split(';');
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QByteArray part = parts.at(i);
        const QByteArray name =
            part.left(part.indexOf('=') < 0 ? part.size() : part.indexOf('=')).trimmed().toUpper();
        if (i > 0 && (name == "ENCODING" || name == "CHARSET" || name == kEol || name == "X-VINZAL-NULL" ||
                      name == "QUOTED-PRINTABLE" || name == "QP"))
            continue;
        kept.append(QString::fromUtf8(part));
    }
    return kept.join(u';');
}

class Patcher
{
public:
    Patcher(const QByteArray& text) : m_text(text), m_split(splitCard(text)), m_read(readSplit(m_split)) {}

    // The property `name`'s first line, or -1.
    qsizetype find(const QByteArray& name) const
    {
        for (const qsizetype i : m_split.properties)
            if (m_split.lines.at(i).property.name == name)
                return i;
        return -1;
    }
    QList<qsizetype> findAll(const QByteArray& name) const
    {
        QList<qsizetype> all;
        for (const qsizetype i : m_split.properties)
            if (m_split.lines.at(i).property.name == name)
                all.append(i);
        return all;
    }
    qsizetype source(int field) const
    {
        const int at = m_read.sources.value(field, -1);
        return at < 0 ? -1 : m_split.properties.at(at);
    }

    // The value of a line decoded to its text, still escaped.
    QString escapedValue(qsizetype line) const
    {
        bool legacy = false;
        QStringList errors, warnings;
        return decodeText(m_split.lines.at(line).property, m_split.version21, legacy, errors, warnings);
    }

    // A content line in the card's own line breaks.
    QByteArray folded(const QString& line) const
    {
        QByteArray bytes = fold(line);
        if (m_split.eol != "\r\n")
            bytes.replace("\r\n", m_split.eol);
        return bytes;
    }
    QString charset(const QString& value) const
    {
        if (!m_split.version21)
            return QString();
        for (const QChar c : value)
            if (c.unicode() >= 0x80)
                return u";CHARSET=UTF-8"_s;
        return QString();
    }

    // Gives line `line` a new value, already escaped, with what its "\n" stand for.
    void replace(qsizetype line, const QString& escaped, const QStringList& breaks, const QString& extra = {})
    {
        m_replaced[line] = folded(keptHead(m_split.lines.at(line)) + extra + eolParameter(breaks) +
                                  charset(escaped) + u':' + escaped);
    }
    void replaceText(qsizetype line, const QString& value)
    {
        const Escaped e = escape(value);
        replace(line, e.value, e.breaks);
    }
    void remove(qsizetype line) { m_replaced[line] = QByteArray(); }
    void addRaw(const QString& line) { m_added += folded(line); }
    void add(const QString& name, const QString& params, const QString& value)
    {
        const Escaped e = escape(value);
        m_added += folded(name + params + eolParameter(e.breaks) + charset(e.value) + u':' + e.value);
    }

    QByteArray result() const
    {
        QByteArray out;
        out.reserve(m_text.size() + m_added.size() + 64);
        qsizetype endLine = -1;
        for (qsizetype i = m_split.lines.size() - 1; i >= 0; --i)
            if (m_split.lines.at(i).property.name == "END") {
                endLine = i;
                break;
            }
        for (qsizetype i = 0; i < m_split.lines.size(); ++i) {
            const CardLine& line = m_split.lines.at(i);
            if (i == endLine)
                out += m_added;
            if (const auto found = m_replaced.constFind(i); found != m_replaced.cend())
                out += *found;
            else
                out += m_text.mid(line.begin, line.end - line.begin);
        }
        if (endLine < 0)
            out += m_added;
        return out;
    }

    const ReadCard& read() const { return m_read; }

private:
    QByteArray m_text;
    SplitCard m_split;
    ReadCard m_read;
    QHash<qsizetype, QByteArray> m_replaced; // empty: removed
    QByteArray m_added;
};

// The note the user wrote: the remarks with what the card holds beyond the fields ("Compleanno: ...")
// taken out, each once, with the line break before it.
QString noteOf(const QString& remarks, const QStringList& cardRemarks)
{
    static const QRegularExpression breaks(u"\r\n|\n|\r"_s);
    QStringList lines, separators{QString()};
    qsizetype at = 0;
    for (auto it = breaks.globalMatch(remarks); it.hasNext();) {
        const auto m = it.next();
        lines.append(remarks.mid(at, m.capturedStart() - at));
        separators.append(m.captured());
        at = m.capturedEnd();
    }
    lines.append(remarks.mid(at));
    QStringList left = cardRemarks;
    QString note;
    bool first = true;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (left.removeOne(lines.at(i)))
            continue;
        if (!first)
            note += separators.at(i);
        note += lines.at(i);
        first = false;
    }
    return note;
}

} // namespace

Card readCard(const QByteArray& text)
{
    const ReadCard read = readSplit(splitCard(text));
    return Card{read.contact, read.remarks, read.errors};
}

QString cardUid(const QByteArray& text)
{
    const SplitCard split = splitCard(text);
    for (const qsizetype i : split.properties)
        if (split.lines.at(i).property.name == "UID")
            return QString::fromUtf8(split.lines.at(i).property.rawValue).trimmed();
    return QString();
}

QByteArray newCard(const Contact& contact, const QString& uid)
{
    Contact copy = contact;
    copy[vinzal::Field::Id] = Value();
    QByteArray card = write({copy});
    const QByteArray product = "PRODID:" + kProductId + "\r\n";
    const qsizetype at = card.indexOf(product);
    card.insert(at < 0 ? 0 : at + product.size(), property(u"UID"_s, QString(), uid));
    return card;
}

QByteArray patchCard(const QByteArray& text, const Contact& contact, const QList<int>& fields)
{
    Patcher patch(text);
    const ReadCard& read = patch.read();
    const auto value = [&](int field) { return contact.at(field).toText(); };
    const auto has = [&](int field) { return !contact.at(field).isNull(); };
    for (const int field : fields) {
        switch (field) {
        case Nome: {
            const qsizetype fn = patch.find("FN"), n = patch.find("N");
            if (fn >= 0) {
                const Escaped e = escape(value(Nome));
                patch.replace(fn, e.value, e.breaks, has(Nome) ? QString() : u";X-VINZAL-NULL=1"_s);
            } else {
                patch.add(u"FN"_s, has(Nome) ? QString() : u";X-VINZAL-NULL=1"_s, value(Nome));
            }
            if (!has(Nome)) {
                if (n >= 0)
                    patch.remove(n);
                break;
            }
            const Escaped e = escape(value(Nome));
            if (n >= 0) {
                // The family name takes the whole name; the courtesy words stay.
                QStringList parts = rawSplit(patch.escapedValue(n), u';');
                while (parts.size() < 5)
                    parts.append(QString());
                parts[0] = e.value;
                parts[1] = parts[2] = QString();
                patch.replace(n, parts.join(u';'), e.breaks);
            } else {
                patch.addRaw(u"N"_s + eolParameter(e.breaks) + patch.charset(e.value) + u':' + e.value +
                             u";;;;"_s);
            }
            break;
        }
        case Genere: {
            const qsizetype line = patch.find("CATEGORIES");
            QStringList items;
            if (line >= 0 && !read.own) {
                // Another program's categories are a list: only the one the book shows changes.
                items = rawSplit(patch.escapedValue(line), u',');
                const QString old = read.contact.at(Genere).toText();
                items.removeIf([&](const QString& item) { return unescape(item) == old || item.isEmpty(); });
            }
            if (has(Genere))
                items.prepend(escape(value(Genere)).value);
            if (items.isEmpty()) {
                if (line >= 0)
                    patch.remove(line);
            } else if (line >= 0) {
                patch.replace(line, items.join(u','), escape(value(Genere)).breaks);
            } else {
                patch.add(u"CATEGORIES"_s, QString(), value(Genere));
            }
            break;
        }
        case Indirizzo:
        case Citta: {
            const qsizetype line = patch.source(Indirizzo);
            if (!has(Indirizzo) && !has(Citta)) {
                if (line >= 0)
                    patch.remove(line);
                break;
            }
            Escaped street = escape(value(Indirizzo)), city = escape(value(Citta));
            QStringList parts = line >= 0 ? rawSplit(patch.escapedValue(line), u';') : QStringList();
            while (parts.size() < 7)
                parts.append(QString());
            parts[1] = QString();
            parts[2] = street.value;
            parts[3] = city.value;
            const QString nulls = !has(Indirizzo) ? u";X-VINZAL-NULL=street"_s
                                  : !has(Citta)   ? u";X-VINZAL-NULL=locality"_s
                                                  : QString();
            if (line >= 0) {
                patch.replace(line, parts.join(u';'), street.breaks + city.breaks, nulls);
            } else {
                Escaped adr{parts.join(u';'), street.breaks + city.breaks};
                patch.addRaw(u"ADR"_s + nulls + eolParameter(adr.breaks) + patch.charset(adr.value) + u':' +
                             adr.value);
            }
            break;
        }
        case Email:
        case Casa:
        case Ufficio:
        case Fax:
        case Cellulare: {
            const qsizetype line = patch.source(field);
            if (!has(field)) {
                if (line >= 0)
                    patch.remove(line);
            } else if (line >= 0) {
                patch.replaceText(line, value(field));
            } else if (field == Email) {
                patch.add(u"EMAIL"_s, QString(), value(field));
            } else {
                const QString type = field == Casa      ? u"home"_s
                                     : field == Ufficio ? u"work"_s
                                     : field == Fax     ? u"fax"_s
                                                        : u"cell"_s;
                patch.add(u"TEL"_s, u";TYPE="_s + type, value(field));
            }
            break;
        }
        case Osservazioni: {
            const QList<qsizetype> notes = patch.findAll("NOTE");
            const QString note = has(Osservazioni) ? noteOf(value(Osservazioni), read.remarks) : QString();
            for (qsizetype i = 1; i < notes.size(); ++i)
                patch.remove(notes.at(i));
            if (note.isEmpty() && !(has(Osservazioni) && read.remarks.isEmpty())) {
                if (!notes.isEmpty())
                    patch.remove(notes.first());
            } else if (!notes.isEmpty()) {
                patch.replaceText(notes.first(), note);
            } else {
                patch.add(u"NOTE"_s, QString(), note);
            }
            break;
        }
        case Ulteriore: {
            const qsizetype line = patch.find(kUlteriore);
            if (!has(Ulteriore)) {
                if (line >= 0)
                    patch.remove(line);
            } else if (line >= 0) {
                patch.replaceText(line, value(Ulteriore));
            } else {
                patch.add(QString::fromLatin1(kUlteriore), QString(), value(Ulteriore));
            }
            break;
        }
        default:
            break;
        }
    }
    return patch.result();
}

} // namespace vinzal::vcard
