#include "csv_mapping.h"

#include "contact_table.h"
#include "csv.h"
#include "foreign_values.h"
#include "text_encoding.h"
#include "wording.h"

#include <QHash>
#include <QRegularExpression>
#include <QStringDecoder>

#include <array>

using namespace Qt::StringLiterals;

namespace vinzal::csvmap {

namespace {

const QByteArray kByteOrderMark = "\xEF\xBB\xBF";

struct Known
{
    const char16_t* header;
    Role role;
    Field field;
    int slot;
};

// The headers of the common contact exports, written in lower case. Home comes before work
// (slot 0 and 1): the first address with a street or a city fills the book's fields.
const Known known[] = {
    // First, middle, last name; the whole name; the company.
    {u"first name", Role::FirstName, Field::Nome, 0},
    {u"given name", Role::FirstName, Field::Nome, 0},
    {u"nome", Role::FirstName, Field::Nome, 0},
    {u"middle name", Role::MiddleName, Field::Nome, 0},
    {u"additional name", Role::MiddleName, Field::Nome, 0},
    {u"secondo nome", Role::MiddleName, Field::Nome, 0},
    {u"last name", Role::LastName, Field::Nome, 0},
    {u"family name", Role::LastName, Field::Nome, 0},
    {u"cognome", Role::LastName, Field::Nome, 0},
    {u"name", Role::FullName, Field::Nome, 0},
    {u"display name", Role::FullName, Field::Nome, 0},
    {u"nome visualizzato", Role::FullName, Field::Nome, 0},
    {u"company", Role::Company, Field::Nome, 0},
    {u"organization", Role::Company, Field::Nome, 0},
    {u"organization name", Role::Company, Field::Nome, 0},
    {u"organization 1 - name", Role::Company, Field::Nome, 0},
    {u"organizzazione", Role::Company, Field::Nome, 0},
    {u"società", Role::Company, Field::Nome, 0},
    // E-mail: the first one filled is the field; the others go to the remarks with their header.
    {u"e-mail address", Role::Field, Field::EMail, 0},
    {u"e-mail 2 address", Role::Field, Field::EMail, 0},
    {u"e-mail 3 address", Role::Field, Field::EMail, 0},
    {u"primary email", Role::Field, Field::EMail, 0},
    {u"secondary email", Role::Field, Field::EMail, 0},
    {u"e-mail primaria", Role::Field, Field::EMail, 0},
    {u"e-mail secondaria", Role::Field, Field::EMail, 0},
    {u"indirizzo posta elettronica", Role::Field, Field::EMail, 0},
    {u"indirizzo posta elettronica 2", Role::Field, Field::EMail, 0},
    {u"indirizzo posta elettronica 3", Role::Field, Field::EMail, 0},
    {u"e-mail", Role::Field, Field::EMail, 0},
    {u"email", Role::Field, Field::EMail, 0},
    // Telephones and fax.
    {u"home phone", Role::Field, Field::TelefonoCasa, 0},
    {u"telefono casa", Role::Field, Field::TelefonoCasa, 0},
    {u"abitazione", Role::Field, Field::TelefonoCasa, 0},
    {u"business phone", Role::Field, Field::TelefonoUfficio, 0},
    {u"work phone", Role::Field, Field::TelefonoUfficio, 0},
    {u"telefono lavoro", Role::Field, Field::TelefonoUfficio, 0},
    {u"ufficio", Role::Field, Field::TelefonoUfficio, 0},
    {u"mobile phone", Role::Field, Field::Telefonino, 0},
    {u"mobile number", Role::Field, Field::Telefonino, 0},
    {u"numero cellulare", Role::Field, Field::Telefonino, 0},
    {u"cellulare", Role::Field, Field::Telefonino, 0},
    {u"business fax", Role::Field, Field::Fax, 0},
    {u"home fax", Role::Field, Field::Fax, 0},
    {u"fax number", Role::Field, Field::Fax, 0},
    {u"numero fax", Role::Field, Field::Fax, 0},
    {u"fax (uff.)", Role::Field, Field::Fax, 0},
    {u"fax (ab.)", Role::Field, Field::Fax, 0},
    // Addresses: home, then work.
    {u"home street", Role::Street, Field::Indirizzo, 0},
    {u"home address", Role::Street, Field::Indirizzo, 0},
    {u"indirizzo di casa", Role::Street, Field::Indirizzo, 0},
    {u"via (ab.)", Role::Street, Field::Indirizzo, 0},
    {u"home city", Role::City, Field::Citta, 0},
    {u"città di residenza", Role::City, Field::Citta, 0},
    {u"città (ab.)", Role::City, Field::Citta, 0},
    {u"home postal code", Role::PostalCode, Field::Citta, 0},
    {u"home zipcode", Role::PostalCode, Field::Citta, 0},
    {u"cap di residenza", Role::PostalCode, Field::Citta, 0},
    {u"cap (ab.)", Role::PostalCode, Field::Citta, 0},
    {u"home state", Role::Region, Field::Citta, 0},
    {u"provincia di residenza", Role::Region, Field::Citta, 0},
    {u"provincia (ab.)", Role::Region, Field::Citta, 0},
    {u"business street", Role::Street, Field::Indirizzo, 1},
    {u"work address", Role::Street, Field::Indirizzo, 1},
    {u"indirizzo di lavoro", Role::Street, Field::Indirizzo, 1},
    {u"via (uff.)", Role::Street, Field::Indirizzo, 1},
    {u"business city", Role::City, Field::Citta, 1},
    {u"work city", Role::City, Field::Citta, 1},
    {u"città di lavoro", Role::City, Field::Citta, 1},
    {u"città (uff.)", Role::City, Field::Citta, 1},
    {u"business postal code", Role::PostalCode, Field::Citta, 1},
    {u"work zipcode", Role::PostalCode, Field::Citta, 1},
    {u"cap di lavoro", Role::PostalCode, Field::Citta, 1},
    {u"cap (uff.)", Role::PostalCode, Field::Citta, 1},
    {u"business state", Role::Region, Field::Citta, 1},
    {u"work state", Role::Region, Field::Citta, 1},
    {u"provincia di lavoro", Role::Region, Field::Citta, 1},
    {u"provincia (uff.)", Role::Region, Field::Citta, 1},
    // Notes.
    {u"notes", Role::Notes, Field::Osservazioni, 0},
    {u"note", Role::Notes, Field::Osservazioni, 0},
    // Categories and groups.
    {u"categories", Role::Categories, Field::Genere, 0},
    {u"categorie", Role::Categories, Field::Genere, 0},
    {u"labels", Role::Categories, Field::Genere, 0},
    {u"group membership", Role::Categories, Field::Genere, 0},
    {u"etichette", Role::Categories, Field::Genere, 0},
};

QString normalised(const QString& header)
{
    return header.simplified().toLower();
}

struct Choice
{
    const char16_t* name;
    Role role;
};

const Choice roleChoices[] = {
    {u"(non importare)", Role::Ignore},
    {u"Osservazioni, con l'intestazione", Role::Extra},
    {u"Nome di battesimo", Role::FirstName},
    {u"Secondo nome", Role::MiddleName},
    {u"Cognome", Role::LastName},
    {u"Nome completo", Role::FullName},
    {u"Società", Role::Company},
    {u"Via", Role::Street},
    {u"Località", Role::City},
    {u"CAP", Role::PostalCode},
    {u"Provincia", Role::Region},
    {u"Note", Role::Notes},
    {u"Categorie (il Genere, se una è tra le tre)", Role::Categories},
};

// The book's own columns: the header of its own CSV.
bool isOwnHeader(const QStringList& header)
{
    if (header.isEmpty())
        return false;
    for (const QString& name : header) {
        bool found = false;
        for (const QString& field : contacts::fields())
            found = found || field.compare(name, Qt::CaseInsensitive) == 0;
        if (!found)
            return false;
    }
    return true;
}

// RFC 4180 lines of `text`, with the line each began on; an empty unquoted field is an empty text.
QList<std::pair<QStringList, int>> parse(const QString& text, QChar separator, QStringList& errors,
                                         int linesBefore = 0)
{
    QList<std::pair<QStringList, int>> lines;
    QStringList current;
    QString value;
    bool inQuotes = false, any = false;
    int line = 1, began = 1;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (inQuotes) {
            if (c == u'"' && i + 1 < text.size() && text.at(i + 1) == u'"') {
                value += c;
                ++i;
            } else if (c == u'"') {
                inQuotes = false;
            } else {
                // A lone CR is a line as outside the quotes, and as every other message counts it.
                line += c == u'\n' || (c == u'\r' && (i + 1 == text.size() || text.at(i + 1) != u'\n')) ? 1 : 0;
                value += c;
            }
        } else if (c == u'"') {
            inQuotes = any = true;
        } else if (c == separator) {
            current.append(value);
            value.clear();
            any = true;
        } else if (c == u'\n' || c == u'\r') {
            if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n')
                ++i;
            current.append(value);
            value.clear();
            if (any || current.size() > 1 || !current.first().isEmpty())
                lines.append({current, began});
            if (began == 1)
                line += linesBefore; // the header: the rest of the piece follows that many lines
            current.clear();
            any = false;
            began = ++line;
        } else {
            value += c;
            any = true;
        }
    }
    if (inQuotes)
        errors.append(u"riga %1: virgolette aperte e mai chiuse"_s.arg(began));
    if (any || !value.isEmpty()) {
        current.append(value);
        lines.append({current, began});
    }
    return lines;
}

QString decode(const QByteArray& bytes, Encoding encoding)
{
    QByteArrayView view(bytes);
    if (view.startsWith(kByteOrderMark))
        view = view.sliced(3);
    if (encoding == Encoding::Windows1252)
        return text::fromWindows1252(view);
    return QString::fromUtf8(view);
}

// Which field a phone's label names ("* Mobile", "Work Fax", "Casa"); Osservazioni for none.
Field phoneField(QString label)
{
    label = label.toLower();
    if (label.contains(u"fax"_s))
        return Field::Fax;
    for (const char16_t* word : {u"mobile", u"cell"})
        if (label.contains(QStringView(word)))
            return Field::Telefonino;
    for (const char16_t* word : {u"home", u"casa", u"abitazione"})
        if (label.contains(QStringView(word)))
            return Field::TelefonoCasa;
    for (const char16_t* word : {u"work", u"lavoro", u"ufficio", u"business"})
        if (label.contains(QStringView(word)))
            return Field::TelefonoUfficio;
    return Field::Osservazioni;
}

// One contact being put together from its cells.
struct Builder
{
    std::array<QString, fieldCount> fields;
    std::array<bool, fieldCount> filled{};
    QString first, middle, last, full, company, notes;
    QStringList categories;
    QString fullHeader;
    std::array<std::array<QString, 4>, 8> address{}; // by slot: street, city, postal code, region
    std::array<QStringList, 8> addressLabels;        // "Header: value" of each slot's cells
    QStringList extras;

    void put(Field field, const QString& value, const QString& label)
    {
        const auto at = std::size_t(field);
        if (field != Field::Osservazioni && !filled[at]) {
            fields[at] = value;
            filled[at] = true;
        } else {
            extras.append(foreign::italianLabel(label) + u": "_s + value);
        }
    }

    Contact finish()
    {
        QStringList parts;
        for (const QString& part : {last, first, middle})
            if (!part.isEmpty())
                parts.append(part);
        QString name = parts.join(u' ');
        if (name.isEmpty())
            name = full;
        else if (!full.isEmpty() && full != name &&
                 full != QStringList{first, middle, last}.join(u' ').simplified())
            extras.append(foreign::italianLabel(fullHeader) + u": "_s +
                          full); // a display name of its own is kept
        if (name.isEmpty()) {
            name = company;
        } else if (!company.isEmpty()) {
            put(Field::Ulteriore, company, u"Società"_s);
        }
        if (!name.isEmpty())
            put(Field::Nome, name, u"Nome"_s);
        int chosen = -1;
        for (int slot = 0; slot < int(address.size()); ++slot) {
            if (chosen < 0 && (!address[slot][0].isEmpty() || !address[slot][1].isEmpty())) {
                chosen = slot;
                if (!address[slot][0].isEmpty())
                    put(Field::Indirizzo, address[slot][0], u"Indirizzo"_s);
                QString city = address[slot][1];
                if (!address[slot][2].isEmpty())
                    city = (address[slot][2] + u' ' + city).trimmed();
                QString region = address[slot][3];
                if (region.size() == 2)
                    region = region.toUpper();
                if (!region.isEmpty())
                    city = (city + u" ("_s + region + u')').trimmed();
                if (!city.isEmpty())
                    put(Field::Citta, city, u"Città"_s);
            } else {
                extras.append(addressLabels[slot]);
            }
        }
        // "Genere" by the rule every import of another program's contacts follows; when a column
        // was chosen for the field, the categories all go to the remarks.
        QStringList others;
        const QString category = foreign::category(categories, &others);
        if (!filled[std::size_t(Field::Genere)])
            put(Field::Genere, category, {});
        else if (categories.contains(category, Qt::CaseInsensitive))
            others.prepend(category);
        for (const QString& other : std::as_const(others))
            extras.append(u"Categoria: "_s + other);
        QStringList remarks;
        if (!notes.isEmpty())
            remarks.append(notes);
        remarks.append(extras);
        Contact contact;
        for (int i = 1; i < fieldCount; ++i)
            if (filled[std::size_t(i)] && i != int(Field::Osservazioni))
                contact.at(i) = Value::fromEditedText(fields[std::size_t(i)]);
        if (!remarks.isEmpty())
            contact[Field::Osservazioni] = Value::fromEditedText(remarks.join(u'\n'));
        return contact;
    }
};

} // namespace

void EncodingClues::add(QByteArrayView piece)
{
    const bool first = m_pieces++ == 0;
    if (first && piece.startsWith(kByteOrderMark))
        m_utf8Sequence = true; // a UTF-8 byte-order mark says so itself
    if (m_utf8Sequence)
        return;
    m_invalid = m_invalid || text::firstInvalidUtf8(piece) >= 0;
    // Windows-1252 text hardly ever holds a well-formed UTF-8 sequence of two or more bytes ("Ã¨").
    // A file that does is UTF-8 with a few foreign bytes (a book's own export of text another
    // program stored): read as Windows-1252, all its other letters would change, so it stays UTF-8
    // and the reader refuses it with the line, as before. The sequence and the foreign byte may be
    // in different pieces: every piece is looked at.
    for (qsizetype i = 0; i + 1 < piece.size() && !m_utf8Sequence; ++i) {
        const auto lead = quint8(piece[i]);
        const int length = lead >= 0xC2 && lead <= 0xDF   ? 2
                           : lead >= 0xE0 && lead <= 0xEF ? 3
                           : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                          : 0;
        if (length != 0 && i + length <= piece.size() && text::firstInvalidUtf8(piece.sliced(i, length)) < 0)
            m_utf8Sequence = true;
    }
}

Encoding EncodingClues::encoding() const
{
    return m_utf8Sequence || !m_invalid ? Encoding::Utf8 : Encoding::Windows1252;
}

Encoding detectEncoding(const QByteArray& bytes)
{
    EncodingClues clues;
    clues.add(bytes);
    return clues.encoding();
}

QString encodingName(Encoding encoding)
{
    return encoding == Encoding::Utf8 ? u"UTF-8"_s : u"Windows-1252"_s;
}

bool encodingFromName(const QString& name, Encoding* encoding)
{
    const QString key = name.toLower().remove(u'-').remove(u'_');
    if (key == u"utf8"_s) {
        *encoding = Encoding::Utf8;
        return true;
    }
    if (key == u"windows1252"_s || key == u"cp1252"_s || key == u"latin1"_s || key == u"iso88591"_s) {
        *encoding = Encoding::Windows1252;
        return true;
    }
    return false;
}

QStringList choices()
{
    QStringList result;
    for (const Choice& choice : roleChoices)
        result.append(QString::fromUtf16(choice.name));
    for (int i = 1; i < fieldCount; ++i)
        result.append(contacts::fields().at(i));
    return result;
}

QString choiceOf(const Column& column)
{
    if (column.role == Role::Field)
        return contacts::fields().at(int(column.field));
    if (column.role == Role::PhoneLabel)
        return u"Telefono %1, tipo"_s.arg(column.slot);
    if (column.role == Role::PhoneValue)
        return u"Telefono %1, secondo il tipo"_s.arg(column.slot);
    for (const Choice& choice : roleChoices)
        if (choice.role == column.role)
            return QString::fromUtf16(choice.name);
    return {};
}

bool setChoice(Column& column, const QString& choice)
{
    for (const Choice& each : roleChoices)
        if (choice.compare(QString::fromUtf16(each.name), Qt::CaseInsensitive) == 0) {
            column.role = each.role;
            column.slot = 0;
            return true;
        }
    for (int i = 1; i < fieldCount; ++i)
        if (choice.compare(contacts::fields().at(i), Qt::CaseInsensitive) == 0) {
            column.role = i == int(Field::Osservazioni) ? Role::Notes : Role::Field;
            column.field = Field(i);
            return true;
        }
    return false;
}

Mapping guess(const QStringList& header)
{
    static const QRegularExpression phone(
        u"^(?:phone|telefono) (\\d+) - (label|type|etichetta|tipo|value|valore)$"_s);
    static const QRegularExpression email(u"^e-?mail (\\d+) - (label|type|etichetta|tipo|value|valore)$"_s);
    static const QRegularExpression address(
        u"^(?:address|indirizzo) (\\d+) - (street|city|postal code|region|via|città|cap|provincia|formatted|type|label|tipo|etichetta)$"_s);
    Mapping mapping;
    mapping.own = isOwnHeader(header);
    for (const QString& name : header) {
        Column column;
        column.header = name;
        const QString key = normalised(name);
        bool found = false;
        for (const Known& each : known)
            if (key == QStringView(each.header)) {
                column.role = each.role;
                column.field = each.field;
                column.slot = each.slot;
                found = true;
                break;
            }
        const auto value = [](const QString& part) { return part == u"value"_s || part == u"valore"_s; };
        if (!found) {
            if (const auto m = phone.match(key); m.hasMatch()) {
                column.role = value(m.captured(2)) ? Role::PhoneValue : Role::PhoneLabel;
                column.slot = m.captured(1).toInt();
            } else if (const auto m = email.match(key); m.hasMatch()) {
                column.role = value(m.captured(2)) ? Role::Field : Role::Ignore;
                column.field = Field::EMail;
            } else if (const auto m = address.match(key); m.hasMatch()) {
                const QString part = m.captured(2);
                column.slot = std::clamp(m.captured(1).toInt() - 1, 0, 7);
                column.role = part == u"street"_s || part == u"via"_s         ? Role::Street
                              : part == u"city"_s || part == u"città"_s       ? Role::City
                              : part == u"postal code"_s || part == u"cap"_s  ? Role::PostalCode
                              : part == u"region"_s || part == u"provincia"_s ? Role::Region
                                                                              : Role::Ignore;
            }
        }
        mapping.columns.append(column);
    }
    return mapping;
}

Result read(const QByteArray& data, const Encoding* encoding, const Mapping* given, int linesBefore)
{
    Result result;
    // UTF-16 (what some programs save as "Unicode text") is known by its byte-order mark, in
    // either byte order; it is read as the same text in UTF-8, whatever encoding was asked for.
    QByteArray utf16;
    const bool littleEndian = data.startsWith("\xFF\xFE"), bigEndian = data.startsWith("\xFE\xFF");
    if (littleEndian || bigEndian) {
        QStringDecoder decoder(littleEndian ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE,
                               QStringDecoder::Flag::Stateless);
        const QString text = decoder(QByteArrayView(data).sliced(2));
        if (decoder.hasError() || data.size() % 2 != 0 || !QStringView(text).isValidUtf16()) {
            result.errors.append(
                u"il file comincia come un testo UTF-16 ma non lo è per intero (un carattere "
                u"è spezzato o non valido); salvarlo in UTF-8 e riprovare"_s);
            return result;
        }
        utf16 = text.toUtf8();
        encoding = nullptr;
    }
    const QByteArray& bytes = littleEndian || bigEndian ? utf16 : data;
    result.encoding = encoding ? *encoding : detectEncoding(bytes);
    qsizetype headerEnd = 0;
    while (headerEnd < bytes.size() && bytes.at(headerEnd) != '\n' && bytes.at(headerEnd) != '\r')
        ++headerEnd;
    const QString headerLine = decode(bytes.left(headerEnd), result.encoding);
    QChar separator = u',';
    for (QChar candidate : {u';', u'\t'})
        if (headerLine.count(candidate) > headerLine.count(separator))
            separator = candidate;
    // The book's own file: read as it was written, byte for byte, by its own reader.
    const auto readOwn = [&](const QString* text) {
        const QByteArray utf8 = result.encoding == Encoding::Utf8 ? bytes
                                : text                            ? text->toUtf8()
                                                                  : decode(bytes, result.encoding).toUtf8();
        auto own = csv::read(utf8, linesBefore);
        result.records = std::move(own.records);
        result.errors = std::move(own.errors);
        result.warnings = std::move(own.warnings);
        return result;
    };
    // The header alone tells the book's own file, which then is never decoded and split here as well:
    // that held the whole file several times over beside its contacts.
    if (!given) {
        QStringList broken; // a quoted line break in the header: known only from the whole text
        const auto header = parse(headerLine, separator, broken);
        if (broken.isEmpty() && !header.isEmpty() && guess(header.first().first).own) {
            result.mapping = guess(header.first().first);
            return readOwn(nullptr);
        }
    }
    const QString text = decode(bytes, result.encoding);
    auto lines = parse(text, separator, result.errors, linesBefore);
    if (lines.isEmpty()) {
        result.errors.append(u"il file è vuoto: manca anche la riga d'intestazione"_s);
        return result;
    }
    result.mapping = given ? *given : guess(lines.first().first);
    if (result.mapping.own && !given)
        return readOwn(&text);
    if (const qsizetype bad = text::firstInvalidUtf8(bytes); result.encoding == Encoding::Utf8 && bad >= 0)
        result.errors.append(u"riga %1: il testo non è in UTF-8 (byte 0x%2); indicare la codifica del file "
                             u"(per esempio Windows-1252)"_s
                                 .arg(text::afterHeader(text::lineOfOffset(bytes, bad), linesBefore))
                                 .arg(quint8(bytes.at(bad)), 2, 16, QChar(u'0')));
    if (!result.errors.isEmpty())
        return result;
    const QList<Column>& columns = result.mapping.columns;
    for (qsizetype l = 1; l < lines.size(); ++l) {
        const auto& [cells, number] = lines.at(l);
        if (cells.size() > columns.size()) {
            result.errors.append(u"riga %1: "_s.arg(number) +
                                 words::counted(cells.size(), u"campo"_s, u"campi"_s) +
                                 u" invece di %1"_s.arg(columns.size()));
            continue;
        }
        Builder builder;
        QHash<int, QString> phoneLabels;
        for (qsizetype c = 0; c < cells.size(); ++c)
            if (columns.at(c).role == Role::PhoneLabel)
                phoneLabels.insert(columns.at(c).slot, cells.at(c).trimmed());
        for (qsizetype c = 0; c < cells.size(); ++c) {
            const Column& column = columns.at(c);
            const QString cell = cells.at(c).trimmed();
            if (cell.isEmpty() || column.role == Role::Ignore || column.role == Role::PhoneLabel)
                continue;
            // One cell may hold several values joined by " ::: ": each is kept.
            const QStringList values = cell.split(u" ::: "_s, Qt::SkipEmptyParts);
            for (const QString& each : values) {
                const QString value = each.trimmed();
                const auto slot = std::size_t(std::clamp(column.slot, 0, 7));
                switch (column.role) {
                case Role::Ignore:
                case Role::PhoneLabel:
                    break;
                case Role::Extra: {
                    // In Italian, and left out when it only restates a default.
                    const QString label = foreign::italianLabel(column.header);
                    if (const QString shown = foreign::remarkValue(label, value); !shown.isEmpty())
                        builder.extras.append(label + u": "_s + shown);
                    break;
                }
                case Role::Categories:
                    for (const QString& category :
                         value.split(QRegularExpression(u"[;,]"_s), Qt::SkipEmptyParts))
                        builder.categories.append(category.trimmed());
                    break;
                case Role::Field:
                    builder.put(column.field, value, column.header);
                    break;
                case Role::FirstName:
                    builder.first = value;
                    break;
                case Role::MiddleName:
                    builder.middle = value;
                    break;
                case Role::LastName:
                    builder.last = value;
                    break;
                case Role::FullName:
                    builder.full = value;
                    builder.fullHeader = column.header;
                    break;
                case Role::Company:
                    builder.company = value;
                    break;
                case Role::Street:
                case Role::City:
                case Role::PostalCode:
                case Role::Region: {
                    const int part = column.role == Role::Street       ? 0
                                     : column.role == Role::City       ? 1
                                     : column.role == Role::PostalCode ? 2
                                                                       : 3;
                    QString& into = builder.address[slot][std::size_t(part)];
                    into = into.isEmpty() ? value : into + u", "_s + value;
                    builder.addressLabels[slot].append(foreign::italianLabel(column.header) + u": "_s +
                                                       value);
                    break;
                }
                case Role::Notes:
                    builder.notes = builder.notes.isEmpty() ? value : builder.notes + u'\n' + value;
                    break;
                case Role::PhoneValue: {
                    QString label = phoneLabels.value(column.slot);
                    if (label.startsWith(u"* "_s))
                        label = label.mid(2);
                    builder.put(phoneField(label), value,
                                label.isEmpty() ? column.header
                                                : u"Telefono ("_s + foreign::italianLabel(label) + u")"_s);
                    break;
                }
                }
            }
        }
        result.records.append(builder.finish());
    }
    return result;
}

bool applyMap(Mapping& mapping, const QString& pairs, QString* problem)
{
    for (const QString& pair : pairs.split(u',', Qt::SkipEmptyParts)) {
        const qsizetype equals = pair.lastIndexOf(u'=');
        if (equals <= 0 || pair.left(equals).trimmed().isEmpty()) {
            *problem = u"--map: «"_s + pair.trimmed() +
                       u"» non è nella forma attesa --map \"COLONNA=CAMPO\" (per esempio --map "
                       u"\"Cell=Telefonino\")"_s;
            return false;
        }
        const QString header = pair.left(equals).trimmed();
        const QString choice = pair.mid(equals + 1).trimmed();
        Column* column = nullptr;
        for (Column& each : mapping.columns)
            if (each.header.compare(header, Qt::CaseInsensitive) == 0)
                column = &each;
        if (!column) {
            *problem = u"--map: il file non ha la colonna «"_s + header + u"»"_s;
            return false;
        }
        if (!setChoice(*column, choice)) {
            *problem = u"--map: «"_s + choice + u"» non è un campo della rubrica né una scelta nota ("_s +
                       choices().join(u", "_s) + u")"_s;
            return false;
        }
    }
    mapping.own = false;
    return true;
}

} // namespace vinzal::csvmap
