// The CSV, vCard and spreadsheet writers and readers on their own: exact round trips for any text,
// no live formula in what spreadsheets open, and readers that refuse what they cannot read exactly.
#include "book_io.h"
#include "contact_file.h"
#include "contact_table.h"
#include "csv.h"
#include "csv_mapping.h"
#include "safe_file.h"
#include "vcard.h"
#include "xlsx.h"

#include <QBuffer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

#include "test_support.h"

using namespace Qt::StringLiterals;
using namespace vinzal;

namespace {

// A row as a test writes one: field position to value (a QString is text, a number a number).
Contact contact(std::initializer_list<std::pair<int, QVariant>> fields)
{
    Contact made;
    for (const auto& [field, value] : fields)
        made.at(field) = test::toValue(value);
    return made;
}

// Rows of values drawn to break the formats (test_support.h), NUL included: a file holds it, a
// server does not.
Contacts hostileRows(QRandomGenerator& random, int count)
{
    Contacts rows;
    for (int r = 0; r < count; ++r) {
        Contact& row = rows.emplace_back();
        if (random.bounded(8))
            row[Field::Id] = Value::integer(1 + random.bounded(2147483647));
        for (int f = 1; f < fieldCount; ++f) {
            row.at(f) = test::hostileValue(random, true, false);
            if (row.at(f).isText() && random.bounded(10) == 0) // between two letters, never inside one
                row.at(f) =
                    Value::text(random.bounded(2) ? row.at(f).bytes() + '\0' : '\0' + row.at(f).bytes());
        }
    }
    for (const Value& value : test::hardValues(true))
        rows[random.bounded(count)].at(1 + random.bounded(fieldCount - 1)) = value;
    return rows;
}

// The first difference between two sets of rows, with the seed that replays it.
QString difference(const Contacts& expected, const Contacts& actual, quint64 seed = 0)
{
    const QString replay = u" (seme %1: VINZAL_TEST_SEED=%1 lo ripete)"_s.arg(seed);
    if (expected.size() != actual.size())
        return u"%1 righe invece di %2"_s.arg(actual.size()).arg(expected.size()) + replay;
    for (qsizetype r = 0; r < expected.size(); ++r)
        for (int f = 0; f < fieldCount; ++f)
            if (expected[r].at(f).isNull() != actual[r].at(f).isNull() ||
                expected[r].at(f).bytes() != actual[r].at(f).bytes())
                return u"riga %1, campo «%2»: atteso %3, letto %4"_s.arg(r).arg(
                           contacts::fields().at(f), test::shownValue(expected[r].at(f)),
                           test::shownValue(actual[r].at(f))) +
                       replay;
    return QString();
}

// A Python with openpyxl, or an empty string.
QString pythonWithOpenpyxl()
{
    for (const QString& candidate : {u"/usr/bin/python3"_s, u"python3"_s})
        if (test::run(candidate, {u"-c"_s, u"import openpyxl"_s}).code == 0)
            return candidate;
    return QString();
}

// Reads a workbook with openpyxl: every cell of the first sheet as [type, text or null], the
// workbook format's _xHHHH_ escapes decoded by openpyxl's own function, and whether any sheet
// holds a formula element.
const char* const kReadWorkbook = R"(
import json, sys, zipfile
import openpyxl
from openpyxl.utils.escape import unescape
book = openpyxl.load_workbook(sys.argv[1])
sheet = book.worksheets[0]
rows = [[[c.data_type, None if c.value is None else unescape(c.value)] for c in row]
        for row in sheet.iter_rows(min_row=1, max_row=sheet.max_row, max_col=12)]
formulas = any(b"<f>" in zipfile.ZipFile(sys.argv[1]).read(n) or b"<f " in zipfile.ZipFile(sys.argv[1]).read(n)
               for n in zipfile.ZipFile(sys.argv[1]).namelist() if n.startswith("xl/worksheets/"))
json.dump({"sheets": len(book.worksheets), "rows": rows, "formulas": formulas}, sys.stdout)
)";

} // namespace

class TestInterchange : public QObject
{
    Q_OBJECT

private slots:
    // Hostile rows through every variant of both formats: read back exactly, written again byte for
    // byte, and what other programs read stays whole: a line of a vCard is a line of the file, at
    // most 75 octets, never a letter cut in two.
    void roundTripsAreExact()
    {
        quint64 seed = 0;
        QRandomGenerator random = test::seededRandom(&seed);
        const Contacts rows = hostileRows(random, 3000);
        for (const auto& [name, options] :
             {std::pair{"csv", csv::WriteOptions{u',', false}},
              std::pair{"csv ;", csv::WriteOptions{u';', false}},
              std::pair{"csv for spreadsheets", csv::WriteOptions{u';', true}}}) {
            const QByteArray written = csv::write(rows, options);
            const csv::ReadResult back = csv::read(written);
            QVERIFY2(back.errors.isEmpty() && back.warnings.isEmpty(),
                     qPrintable((back.errors + back.warnings).join(u'\n').left(300)));
            QVERIFY2(difference(rows, back.records, seed).isEmpty(),
                     qPrintable(QString::fromLatin1(name) + u": "_s + difference(rows, back.records, seed)));
            QVERIFY2(csv::write(back.records, options) == written, name);
        }
        for (const QString& version : {u"3.0"_s, u"4.0"_s}) {
            const QByteArray written = vcard::write(rows, version);
            const vcard::ReadResult back = vcard::read(written);
            QVERIFY2(back.errors.isEmpty() && back.warnings.isEmpty(), qPrintable(version));
            QVERIFY2(difference(rows, back.records, seed).isEmpty(),
                     qPrintable(version + u": "_s + difference(rows, back.records, seed)));
            QVERIFY2(vcard::write(back.records, version) == written, qPrintable(version));
            QVERIFY2(written.count('\r') == written.count("\r\n"), "CR senza LF");
            for (const char* breaking :
                 {"\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\xc2\x85", "\xe2\x80\xa8", "\xe2\x80\xa9", "\0"})
                QVERIFY2(!written.contains(
                             QByteArrayView(breaking, breaking[0] ? qsizetype(std::strlen(breaking)) : 1)),
                         "a capo nascosto");
            for (const QByteArray& line : written.split('\n'))
                QVERIFY2(line.size() <= 76 && QByteArrayView(line).isValidUtf8(), line.constData());
        }
    }

    void spreadsheetCellsAreNeutralised()
    {
        // What a spreadsheet sees in each cell: the apostrophe is its own "text" mark.
        const QList<std::pair<QString, QString>> cells{{u"=1+2"_s, u"'=1+2"_s},
                                                       {u"+39 349"_s, u"'+39 349"_s},
                                                       {u"-5"_s, u"'-5"_s},
                                                       {u"@SUM(A1)"_s, u"'@SUM(A1)"_s},
                                                       {u"\tx"_s, u"'\tx"_s},
                                                       {u"\rx"_s, u"'\rx"_s},
                                                       {QChar(0) + u"x"_s, u"'"_s + QChar(0) + u"x"_s},
                                                       {u"'=x"_s, u"''=x"_s},
                                                       {u"''"_s, u"'''"_s},
                                                       {u"'abc"_s, u"'abc"_s},
                                                       {u"'"_s, u"'"_s},
                                                       {u"'+'"_s, u"''+'"_s},
                                                       {u"a=b"_s, u"a=b"_s},
                                                       {u"0543123456"_s, u"0543123456"_s}};
        Contacts rows;
        for (const auto& [text, cell] : cells)
            rows.append(contact({{11, text}, {7, text}}));
        const QByteArray spreadsheet = csv::write(rows, {u';', true});
        // Without its byte-order mark the file reads as plain CSV: the cells as a spreadsheet has them.
        const csv::ReadResult raw = csv::read(spreadsheet.mid(3));
        QVERIFY(raw.errors.isEmpty() && !raw.spreadsheet);
        for (qsizetype r = 0; r < cells.size(); ++r) {
            QCOMPARE(raw.records.at(r).at(11).toText(), cells.at(r).second);
            QCOMPARE(raw.records.at(r).at(7).toText(), cells.at(r).second);
        }
        const csv::ReadResult back = csv::read(spreadsheet);
        QVERIFY(back.spreadsheet);
        QCOMPARE(difference(rows, back.records), QString());
        // Plain CSV, with or without a byte-order mark, is never changed on the way out or in.
        for (const csv::WriteOptions options :
             {csv::WriteOptions{u',', false}, csv::WriteOptions{u',', true}}) {
            const csv::ReadResult plain = csv::read(csv::write(rows, options));
            QVERIFY(!plain.spreadsheet);
            QCOMPARE(difference(rows, plain.records), QString());
        }

        // Over hostile rows, no cell a spreadsheet sees starts a formula.
        quint64 seed = 0;
        QRandomGenerator random = test::seededRandom(&seed);
        const csv::ReadResult seen = csv::read(csv::write(hostileRows(random, 1000), {u';', true}).mid(3));
        QVERIFY(seen.errors.isEmpty());
        for (const Contact& row : seen.records)
            for (const Value& cell : row.values) {
                const QString text = cell.toText();
                QVERIFY2(text.isEmpty() ||
                             (!QStringView(u"=+-@\t\r").contains(text.front()) && text.front() != QChar(0)),
                         qPrintable(test::shownValue(cell) + u" seme "_s + QString::number(seed)));
            }
    }

    void vcardLineBreaksAndSyntaxWords()
    {
        // A lone CR; CR LF outside the remark; the words and '=' at the end; the property that used
        // to vanish after the note; every kind of break together.
        const Contact row = contact({{0, 12},
                                     {2, u"Rossi\rFN:Intruso"_s},
                                     {8, u"06 1\r\n06 2"_s},
                                     {11, u"vedi quoted-printable=0D=0A, fine: ="_s},
                                     {3, u"dopo la nota"_s},
                                     {5, u"uno\r\ndue\ntre\rquattro\u2028cinque"_s}});
        const QByteArray cards = vcard::write({row});
        const QByteArray unfolded = QByteArray(cards).replace("\r\n ", "");

        // Other programs see plain "\n" breaks, never a bare CR nor a line that splits a value.
        QCOMPARE(cards.count('\r'), cards.count("\r\n"));
        for (const QByteArray& line : cards.split('\n')) {
            const QByteArray text = line.chopped(line.endsWith('\r') ? 1 : 0);
            QVERIFY2(!text.contains("\xe2\x80\xa8") && !text.contains('\x0b'), text.constData());
            if (!text.isEmpty() && text.front() != ' ')
                QVERIFY2(QRegularExpression(u"^[A-Z-]+[;:]"_s).match(QString::fromUtf8(text)).hasMatch(),
                         text.constData());
        }
        QVERIFY(unfolded.contains("\nFN;X-VINZAL-EOL=CR:Rossi\\nFN:Intruso\r\n"));
        QVERIFY(unfolded.contains("\nTEL;TYPE=work;X-VINZAL-EOL=CRLF:06 1\\n06 2\r\n"));
        QVERIFY(unfolded.contains("\nADR;X-VINZAL-NULL=locality;X-VINZAL-EOL=CRLF,LF,CR,U+2028:"
                                  ";;uno\\ndue\\ntre\\nquattro\\ncinque;;;;\r\n"));
        QCOMPARE(unfolded.count("\nFN"), 1);

        const vcard::ReadResult back = vcard::read(cards);
        QVERIFY(back.errors.isEmpty() && back.warnings.isEmpty());
        QCOMPARE(difference({row}, back.records), QString());

        // A description that no longer matches the value (another program edited the note) leaves
        // the breaks as LF and says so.
        const vcard::ReadResult edited = vcard::read(
            "BEGIN:VCARD\r\nVERSION:3.0\r\nNOTE;X-VINZAL-EOL=CRLF,CR:a\\nb\\nc\\nd\r\nEND:VCARD\r\n");
        QCOMPARE(edited.records.value(0).at(11).toText(), u"a\nb\nc\nd"_s);
        QVERIFY(edited.errors.isEmpty());
        QVERIFY(edited.warnings.value(0).contains(u"riga 3"_s));
    }

    void readersValidateBeforeWriting()
    {
        // A field named twice, however it is spelled.
        csv::ReadResult csvOut = csv::read("ID,Genere,genere\r\n1,Lavoro,Altro\r\n");
        QVERIFY2(csvOut.errors.join(u' ').contains(u"«Genere»"_s), qPrintable(csvOut.errors.join(u' ')));
        QVERIFY(csvOut.records.isEmpty());

        // Text that is not UTF-8, with the line it is on, and no rows at all.
        csvOut = csv::read("ID,Città\r\n1,Forl\xc3\xac\r\n2,\"a\r\nb\"\r\n3,Niccol\xf2\r\n");
        QCOMPARE(csvOut.errors.size(), 1);
        QVERIFY2(csvOut.errors.first().contains(u"riga 5"_s), qPrintable(csvOut.errors.first()));
        QVERIFY(csvOut.records.isEmpty());
        QVERIFY(!csv::read("ID\r\n\xed\xa0\x80\r\n").errors.isEmpty()); // a UTF-16 surrogate
        QVERIFY(!csv::read("ID\r\n\xc0\xaf\r\n").errors.isEmpty());     // an overlong form
        // Lines that break the format, each named; a column the book does not have.
        csvOut = csv::read("Genere,Fax\nLavoro,1\nAltro\n\"aperte,2\n");
        QVERIFY2(csvOut.errors.join(u' ').contains(u"riga 3: 1 campo invece di 2"_s) &&
                     csvOut.errors.join(u' ').contains(u"riga 4"_s),
                 qPrintable(csvOut.errors.join(u' ')));
        QVERIFY(csv::read("Compleanno,Genere\n1,Lavoro\n").errors.value(0).contains(u"«Compleanno»"_s));
        QVERIFY(!vcard::read("BEGIN:VCARD\r\nsenza due punti\r\nEND:VCARD\r\n").errors.isEmpty());
        QVERIFY(!vcard::read("BEGIN:VCARD\r\nFN:x\r\n").errors.isEmpty());

        // A card's text that is not the UTF-8 it declares (or that its version implies) does not
        // stop the others: the value keeps its bytes, and the line and property are said.
        vcard::ReadResult cards = vcard::read("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Rossi\r\n"
                                              "NOTE:Niccol\xf2\r\nEND:VCARD\r\n"
                                              "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Bianchi\r\n"
                                              "ORG;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:Caff=E8 =\r\n"
                                              "Sport\r\nEND:VCARD\r\n");
        QVERIFY2(cards.errors.isEmpty(), qPrintable(cards.errors.join(u'\n')));
        QCOMPARE(cards.records.size(), 2);
        QCOMPARE(cards.records[0].at(11).bytes(), QByteArray("Niccol\xf2"));
        QCOMPARE(cards.records[1].at(11).bytes(), QByteArray("Azienda: Caff\xe8 Sport"));
        QCOMPARE(cards.warnings.size(), 2);
        QVERIFY2(cards.warnings[0].contains(u"riga 4: il testo di NOTE non è in UTF-8"_s) &&
                     cards.warnings[1].contains(u"riga 9: il testo di ORG non è in UTF-8"_s),
                 qPrintable(cards.warnings.join(u'\n')));
        // What the book does not keep is not read, so it cannot stop the import.
        cards = vcard::read("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Rossi\r\nX-FOTO:\xff\xd8\r\nEND:VCARD\r\n");
        QVERIFY(cards.errors.isEmpty() && cards.warnings.isEmpty());

        // A CSV of another program is UTF-8 when it is, or when a well-formed sequence of two, three
        // or four bytes shows UTF-8 with a few foreign bytes (refused above, with the line); else
        // Windows-1252, as a spreadsheet in Italy saves it.
        for (const auto& [bytes, utf8] : {std::pair{QByteArray("Citt\xc3\xa0 \xe8\r\n"), true},
                                          {QByteArray("Caff\xe8 \xe2\x82\xac\r\n"), true},
                                          {QByteArray("\xf0\x9f\x98\x80 \xf2\r\n"), true},
                                          {QByteArray("Niccol\xf2 \x80 5\r\n"), false}})
            QVERIFY2((csvmap::detectEncoding(bytes) == csvmap::Encoding::Utf8) == utf8, bytes.constData());

        // vCard 2.1 without CHARSET is Windows-1252, and the reader says so.
        cards = vcard::read("BEGIN:VCARD\r\nVERSION:2.1\r\nN:Niccol\xf2;Marco\r\nNOTE:\x80 5\r\nEND:VCARD\r\n"
                            "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Bianchi\r\nEND:VCARD\r\n"
                            "BEGIN:VCARD\r\nVERSION:2.1\r\nFN;CHARSET=UTF-8:Niccol\xc3\xb2\r\nEND:VCARD\r\n");
        QVERIFY(cards.errors.isEmpty());
        QCOMPARE(cards.records.size(), 3);
        QCOMPARE(cards.records[0].at(2).toText(), u"Niccolò Marco"_s);
        QCOMPARE(cards.records[0].at(11).toText(), u"€ 5"_s);
        QCOMPARE(cards.records[2].at(2).toText(), u"Niccolò"_s);
        QCOMPARE(cards.warnings.size(), 1);
        QVERIFY2(cards.warnings.first().contains(u"Windows-1252"_s) &&
                     cards.warnings.first().contains(u"riga 1"_s),
                 qPrintable(cards.warnings.first()));

        // quoted-printable only when the parameters say so: a value's own words never join lines.
        cards =
            vcard::read("BEGIN:VCARD\r\nVERSION:3.0\r\nNOTE:quoted-printable =\r\nTEL:1\r\nEND:VCARD\r\n");
        QCOMPARE(cards.records.value(0).at(11).toText(), u"quoted-printable ="_s);
        QCOMPARE(cards.records.value(0).at(7).toText(), u"1"_s);
    }

    // The same CSV with its lines ended by CR LF, LF or a lone CR, or saved as UTF-16 in either
    // byte order, reads the same; a CR or LF inside quotes stays data, byte for byte.
    void csvLineEndsAndUtf16()
    {
        // Each line end outside quotes (CR LF, LF or CR) replaced by `end`.
        const auto withLineEnds = [](const QByteArray& bytes, const QByteArray& end) {
            QByteArray out;
            bool quoted = false;
            for (qsizetype i = 0; i < bytes.size(); ++i) {
                const char c = bytes.at(i);
                if (c == '"')
                    quoted = !quoted;
                if (quoted || (c != '\r' && c != '\n')) {
                    out += c;
                } else {
                    out += end;
                    i += c == '\r' && i + 1 < bytes.size() && bytes.at(i + 1) == '\n' ? 1 : 0;
                }
            }
            return out;
        };
        const auto utf16 = [](const QByteArray& bytes, bool bigEndian) {
            QByteArray out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
            for (const QChar c : QString::fromUtf8(bytes)) {
                const char high = char(c.unicode() >> 8), low = char(c.unicode() & 0xFF);
                out += bigEndian ? high : low;
                out += bigEndian ? low : high;
            }
            return out;
        };
        const Contacts own = {contact({{0, 3}, {2, u"a\rb"_s}, {11, u"x\r\ny\nz\r"_s}, {5, u"\rvia"_s}}),
                              contact({{2, u"Forlì 😀"_s}, {7, u""_s}})};
        QList<std::pair<QString, QByteArray>> files{{u"own"_s, csv::write(own)},
                                                    {u"own ;"_s, csv::write(own, {u';', true})}};
        for (const QString& name : {u"google_en.csv"_s, u"thunderbird_it.csv"_s, u"outlook_it.csv"_s}) {
            QFile file(QFINDTESTDATA(u"data/csv/"_s + name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            files.append({name, file.readAll()});
        }
        for (const auto& [name, bytes] : std::as_const(files)) {
            const csvmap::Result original = csvmap::read(bytes);
            QVERIFY2(original.errors.isEmpty(), qPrintable(name));
            QList<std::pair<QString, QByteArray>> variants{{u"CR"_s, withLineEnds(bytes, "\r")},
                                                           {u"LF"_s, withLineEnds(bytes, "\n")}};
            // (The spreadsheet variant is known by its UTF-8 mark: in UTF-16 it is another file.)
            if (QByteArrayView(bytes).isValidUtf8() && !bytes.startsWith("\xEF\xBB\xBF"))
                variants += {{u"UTF-16LE"_s, utf16(bytes, false)}, {u"UTF-16BE"_s, utf16(bytes, true)}};
            for (const auto& [variant, changed] : std::as_const(variants)) {
                const csvmap::Result read = csvmap::read(changed);
                const QString where = name + u", "_s + variant + u": "_s;
                QVERIFY2(read.errors.isEmpty(), qPrintable(where + read.errors.join(u' ')));
                QVERIFY2(difference(original.records, read.records).isEmpty(),
                         qPrintable(where + difference(original.records, read.records)));
            }
        }
        QCOMPARE(difference(own, csvmap::read(files.first().second).records), QString());
        // A line that cannot be read is named by its number however the lines end.
        const QStringList errors = csv::read("ID,Fax\r\"1\r\",2\r3,4,5\r").errors;
        QVERIFY2(errors.size() == 1 && errors.first().startsWith(u"riga 4:"_s),
                 qPrintable(errors.join(u' ')));
        // UTF-16 cut in the middle of a character is refused, saying so.
        const csvmap::Result cut = csvmap::read(utf16("ID,Fax\r\n1,2\r\n", false).chopped(1));
        QVERIFY2(cut.errors.value(0).contains(u"UTF-16"_s), qPrintable(cut.errors.join(u' ')));
    }

    // An import reads its file a piece at a time: whatever the size of a piece, the contacts, the
    // problems with their line numbers and the warnings are those of the whole file read at once.
    // The files are the book's own (hostile values), other programs' exports, and broken ones.
    void piecesReadAsTheWholeFile()
    {
        quint64 seed = 0;
        QRandomGenerator random = test::seededRandom(&seed);
        const Contacts rows = hostileRows(random, 300);
        using Format = importing::ContactFile::Format;
        QList<std::tuple<QString, Format, QByteArray>> files{
            {u"own"_s, Format::Csv, csv::write(rows)},
            {u"own for spreadsheets"_s, Format::Csv, csv::write(rows, {u';', true})},
            {u"vCard 3.0"_s, Format::VCard, vcard::write(rows)},
            {u"vCard 4.0"_s, Format::VCard, vcard::write(rows, u"4.0"_s)},
            {u"own, quotes inside fields, lone CR"_s, Format::Csv,
             "ID,Fax,Genere\r1,a\"b\r\"c\nd\",\"\"\"x\"\r\n\r\n2,\"y\r\n\"\"z\",e\"\rf,g,h\n3,\"open"},
            {u"other program, quotes anywhere"_s, Format::Csv,
             "Name,Notes,E-mail\r\nA,x\"y\nz\",w\nB,\"q\r\nr\",s\nC,1,2,3\n\nD,\"\"\"\""},
            {u"cards broken and folded"_s, Format::VCard,
             "BEGIN:VCARD\r\nFN:a\r\n END:VCARD\r\nEND:VCARD\r\nsenza\r\nBEGIN:VCARD\r\nVERSION:2.1\r\n"
             "NOTE;ENCODING=QUOTED-PRINTABLE:x=\r\nEND:VCARD\r\nN:Nicol\xf2\r\nend;x:VCARD\r\nBEGIN:VCARD\r\n"
             "VERSION:2.1\r\nN:\xe8\r\nEND:VCARD\r\nBEGIN:VCARD\r\nFN:b"},
            {u"other program, blank lines before the header"_s, Format::Csv,
             "\r\n\nName,Notes\r\nA,x\r\nB,y\r\nC,z\r\n"},
            {u"two byte-order marks, then a blank line"_s, Format::Csv,
             "\xef\xbb\xbf\xef\xbb\xbf\r\r\nName,Notes\r\nA,x\r\nB,y\r\n"},
            {u"a UTF-8 letter, then a byte that is not UTF-8"_s, Format::Csv,
             "Name,Notes\r\nA,\xc3\xa8\r\nB,x\r\nC,\xe8\r\n"},
            {u"a byte that is not UTF-8, then a UTF-8 letter"_s, Format::Csv,
             "Name,Notes\r\nA,\xe8\r\nB,x\r\nC,\xc3\xa8\r\n"},
            {u"other program, lone CR inside quotes"_s, Format::Csv,
             "Name,Notes\r\nA,\"x\ry\"\r\nB,c,d,e\r\n"},
            {u"header ending with a lone CR, a piece with a blank line"_s, Format::Csv,
             "Name,Notes\rA,x\r\n\nB,1,2\r\n"},
            {u"a blank line, then a header with a quote never closed"_s, Format::Csv, "\r\nName,\"x\r\n"},
            {u"card after a byte-order mark in the middle"_s, Format::VCard,
             "BEGIN:VCARD\r\nFN:a\r\nEND:VCARD\r\n\xef\xbb\xbf" "BEGIN:VCARD\r\nFN:b\r\nEND:VCARD\r\n"},
            {u"END folded, or continued by quoted-printable"_s, Format::VCard,
             "BEGIN:VCARD\r\nFN:a\r\nEND:VCARD\r\n x:y\r\nBEGIN:VCARD\r\nFN:b\r\n"
             "END;ENCODING=QUOTED-PRINTABLE:VCARD=\r\nX-A:b\r\nBEGIN:VCARD\r\nFN:c\r\nEND:VCARD\n\tz\n"},
            {u"END after a soft break and a line that adds nothing"_s, Format::VCard,
             "BEGIN:VCARD\r\nNOTE;ENCODING=QUOTED-PRINTABLE:x=\r\n\t\r\nEND:VCARD\r\nFN:a\r\nEND:VCARD\r\n"
             "BEGIN:VCARD\r\nNOTE;ENCODING=QUOTED-PRINTABLE:y==\r\n\r\nEND:VCARD\r\nFN:b\r\nEND:VCARD\r\n"},
        };
        for (const QString& name :
             {u"csv/google_en.csv"_s, u"csv/thunderbird_it.csv"_s, u"csv/outlook_it.csv"_s,
              u"vcard/other-programs.vcf"_s, u"vcard/phone-not-utf8.vcf"_s}) {
            QFile file(QFINDTESTDATA(u"data/"_s + name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            files.append({name, name.endsWith(u".vcf"_s) ? Format::VCard : Format::Csv, file.readAll()});
        }
        for (const auto& [name, format, bytes] : std::as_const(files)) {
            Contacts whole;
            QStringList errors, warnings;
            if (format == Format::Csv) {
                csvmap::Result read = csvmap::read(bytes);
                std::tie(whole, errors, warnings) = std::tuple(read.records, read.errors, read.warnings);
            } else {
                vcard::ReadResult read = vcard::read(bytes);
                std::tie(whole, errors, warnings) = std::tuple(read.records, read.errors, read.warnings);
            }
            for (const qsizetype piece : {qsizetype(1), qsizetype(2), qsizetype(5), qsizetype(64),
                                          qsizetype(4096), qsizetype(1) << 20}) {
                auto buffer = std::make_unique<QBuffer>();
                buffer->setData(bytes);
                QVERIFY(buffer->open(QIODevice::ReadOnly));
                importing::ContactFile file(std::move(buffer), format, piece);
                file.rewind();
                Contacts pieces, batch;
                while (file.next(batch)) {
                    QCOMPARE(file.first(), pieces.size());
                    pieces += batch;
                }
                const QString where = name + u", pezzi di %1 byte: "_s.arg(piece);
                // A reader that gives up at an error gives no contacts, the pieces those of the other
                // pieces: either way the import writes none.
                if (!whole.isEmpty() || errors.isEmpty())
                    QVERIFY2(difference(whole, pieces, seed).isEmpty(),
                             qPrintable(where + difference(whole, pieces, seed)));
                // (A reader lists an unclosed quote after the lines it read; pieces may name it first.)
                QStringList sorted = file.errors(), expected = errors;
                sorted.sort();
                expected.sort();
                QCOMPARE(sorted, expected);
                QCOMPARE(file.warnings(), warnings);
            }
        }
        // A quote never closed is not read to the end of a long file: the file is refused there.
        auto buffer = std::make_unique<QBuffer>();
        buffer->setData("ID,Genere\r\n1,Lavoro\r\n2,\"open\r\n" + QByteArray(4000, '\n'));
        QVERIFY(buffer->open(QIODevice::ReadOnly));
        importing::ContactFile file(std::move(buffer), Format::Csv, 16, 1000);
        file.rewind();
        Contacts batch;
        while (file.next(batch))
            ;
        QVERIFY2(file.errors().size() == 1 &&
                     file.errors().first().startsWith(u"riga 3: un contatto che occupa"_s),
                 qPrintable(file.errors().join(u'\n')));
        // A quote inside a field of the book's own file is a letter: it opens nothing, however long
        // the rest of the file.
        auto own = std::make_unique<QBuffer>();
        own->setData("ID,Fax\r\n1,5\" floppy\r\n" + QByteArray(2000, '\n'));
        QVERIFY(own->open(QIODevice::ReadOnly));
        importing::ContactFile ownFile(std::move(own), Format::Csv, 16, 1000);
        ownFile.rewind();
        while (ownFile.next(batch))
            ;
        QVERIFY2(ownFile.errors().isEmpty() && ownFile.given() == 1, qPrintable(ownFile.errors().join(u'\n')));
    }

    // An import writes each piece as it reads it, in one transaction: the duplicates are those of
    // the book before it began (two equal contacts of the file are both added), the IDs of a new
    // book are kept until one repeats (then the book is filled again with new ones), and a problem in
    // the last piece, or a cancel, leaves the book's bytes as they were.
    void importWritesAsItReads()
    {
        QTemporaryDir dir;
        const auto person = [](qint64 id, const QString& name) {
            return contact({{0, id}, {1, u"Lavoro"_s}, {2, name}});
        };
        const auto fileOf = [](const Contacts& rows, const QByteArray& tail = {}) {
            auto buffer = std::make_unique<QBuffer>();
            buffer->setData(csv::write(rows) + tail);
            buffer->open(QIODevice::ReadOnly);
            // A piece of a byte: each contact is a piece of its own.
            return importing::ContactFile(std::move(buffer), importing::ContactFile::Format::Csv, 1);
        };
        const auto names = [](const QString& book) {
            QStringList got;
            for (const Contact& row : test::must(book::readAll(book)))
                got.append(row[Field::Id].toText() + u' ' + row.at(2).toText());
            return got;
        };
        const QString book = dir.filePath(u"Vinzal.mdb"_s);
        auto made = fileOf({person(7, u"Rossi"_s), person(9, u"Bianchi"_s)});
        QCOMPARE(test::must(book::importFile(book, made)).created, true);
        QCOMPARE(names(book), (QStringList{u"7 Rossi"_s, u"9 Bianchi"_s}));

        const QString renumbered = dir.filePath(u"altra.mdb"_s);
        auto repeated = fileOf({person(7, u"Rossi"_s), person(8, u"Verdi"_s), person(7, u"Neri"_s)});
        QCOMPARE(test::must(book::importFile(renumbered, repeated)).added, 3);
        QCOMPARE(names(renumbered), (QStringList{u"1 Rossi"_s, u"2 Verdi"_s, u"3 Neri"_s}));

        auto added = fileOf({person(1, u"Verdi"_s), person(2, u"Rossi"_s), person(3, u"Verdi"_s)});
        const book::Imported done = test::must(book::importFile(book, added));
        QCOMPARE(std::pair(done.added, done.skipped), std::pair(qsizetype(2), qsizetype(1)));
        QCOMPARE(names(book), (QStringList{u"7 Rossi"_s, u"9 Bianchi"_s, u"10 Verdi"_s, u"11 Verdi"_s}));

        const QMap<QString, QByteArray> before = test::snapshot(dir.path());
        auto broken = fileOf({person(1, u"Gialli"_s), person(2, u"Blu"_s)}, "3,Lavoro\r\n");
        QVERIFY(test::must(book::importFile(book, broken)).problems.value(0).startsWith(u"riga 4:"_s));
        auto cancelled = fileOf({person(1, u"Gialli"_s), person(2, u"Blu"_s)});
        bool wasCancelled = false;
        QVERIFY(!book::importFile(
            book, cancelled, false, [](qint64 read) { return read < 1; }, &wasCancelled));
        QVERIFY(wasCancelled);
        QCOMPARE(test::snapshot(dir.path()), before);
    }

    // Cards as phones and mail programs write them (grouped items with labels, TYPE lists, 2.1's
    // bare types, quoted-printable): every number, address and date is kept, in its own field or
    // in a labelled line of "Osservazioni", never in a field of another kind.
    void vcardsOfOtherProgramsKeepEverything()
    {
        QFile file(QStringLiteral(VINZAL_SOURCE_DIR "/tests/data/vcard/other-programs.vcf"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const vcard::ReadResult read = vcard::read(file.readAll());
        QVERIFY2(read.errors.isEmpty() && read.warnings.isEmpty(), qPrintable(read.errors.join(u'\n')));
        // What is expected, as CSV: the remarks hold a "label: value" line for each value moved there.
        QFile expectedFile(QFINDTESTDATA("data/vcard/other-programs.expected.csv"));
        QVERIFY(expectedFile.open(QIODevice::ReadOnly));
        const QByteArray expected = expectedFile.readAll();
        QCOMPARE(QString::fromUtf8(csv::write(read.records)), QString::fromUtf8(expected));
        int remarked = 0;
        for (const Contact& row : csv::read(expected).records)
            remarked += int(row.at(11).toText().count(u": "_s));
        QCOMPARE(read.remarked, remarked);

        // A card of Vinzal's own without an ID or a line break says nothing of whose it is but its
        // PRODID: its category comes back as it was, not as another program's list.
        const Contact own = contact({{1, u"Clienti, VIP"_s}, {2, u" Rossi  Mario "_s}});
        const vcard::ReadResult back = vcard::read(vcard::write({own}));
        QCOMPARE(difference({own}, back.records), QString());
    }

    // Another program's categories give one Genere, and the same remarks, from a vCard and a CSV.
    void categoriesOfOtherProgramsGiveOneGenere()
    {
        for (const auto& [given, genere, remark] :
             {std::tuple{"", u"Altro"_s, u""_s},
              {"Lavoro", u"Lavoro"_s, u""_s},
              {"VIP,famiglia-amici", u"Famiglia-Amici"_s, u"Categoria: VIP"_s},
              {"* myContacts", u"Altro"_s, u""_s},
              {"Clienti", u"Altro"_s, u"Categoria: Clienti"_s}}) {
            const vcard::ReadResult card = vcard::read(QByteArray("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Rossi\r\n"
                                                                  "CATEGORIES:") +
                                                       given + "\r\nEND:VCARD\r\n");
            const csvmap::Result row =
                csvmap::read(QByteArray("Name,Categories\r\nRossi,\"") + given + "\"\r\n");
            for (const Contacts& read : {card.records, row.records}) {
                QCOMPARE(read.value(0).at(1).toText(), genere);
                QCOMPARE(read.value(0).at(11).toText(), remark);
            }
        }
    }

    void xlsxCellsAreTextAsTyped()
    {
        // A byte that is not UTF-8 is the «\uFFFD» the export's warning names, a letter beside it stays.
        {
            QTemporaryDir dir;
            const QString path = dir.filePath(u"grezzo.xlsx"_s);
            Contact raw = contact({{0, 1}});
            raw.at(4) = Value::text("Forl\xEC \xF0\x9F\x98\x80 \xC3");
            QVERIFY(interchange::writeXlsx(path, {raw}).ok());
            const test::Run sheet = test::run(u"unzip"_s, {u"-p"_s, path, u"xl/worksheets/sheet1.xml"_s});
            if (sheet.code != 0)
                QSKIP("unzip manca: il foglio non viene letto");
            QVERIFY2(sheet.out.contains(u">Forl\uFFFD \U0001F600 \uFFFD<"_s), qPrintable(sheet.out));
        }
        const QString python = pythonWithOpenpyxl();
        if (python.isEmpty())
            QSKIP("python3 con openpyxl manca (pacchetto Debian python3-openpyxl): il foglio di calcolo "
                  "non viene riletto");
        QTemporaryDir dir;
        // The empty text is an empty cell, as NULL is.
        Contact typed =
            contact({{0, 1},
                     {2, u"=HYPERLINK(\"http://x\";\"clic\")"_s},
                     {7, u"0543123456"_s},
                     {10, u"+39 349 1234567"_s},
                     {4, u""_s},
                     {11, u"_x0041_ resta com'è; \r\n e\r e \x01 e NUL "_s + QChar(0) + u" e _x"_s}});
        // A cell holds 32,767 characters as the spreadsheet counts them, not their escaped form.
        Contact escaped = typed;
        escaped.at(11) =
            Value::fromEditedText(u"_x"_s.repeated(16000) + u"\r\x01"_s.repeated(382) + u"<&>"_s);
        Contacts rows = {typed, escaped};
        quint64 seed = 0;
        QRandomGenerator random = test::seededRandom(&seed);
        Contacts hostile = hostileRows(random, 300);
        for (Contact& row : hostile)
            for (Value& value : row.values)
                if (value.bytes().size() > 30000) // longer than a cell: refused, below
                    value = Value::text("lungo");
        rows += hostile;
        const QString path = dir.filePath(u"contatti.xlsx"_s);
        QVERIFY2(interchange::writeXlsx(path, rows).ok(), "writeXlsx");

        const test::Run read = test::run(python, {u"-c"_s, QString::fromLatin1(kReadWorkbook), path});
        QVERIFY2(read.code == 0, qPrintable(read.err));
        const QJsonObject workbook = QJsonDocument::fromJson(read.out.toUtf8()).object();
        QCOMPARE(workbook.value(u"sheets"_s).toInt(), 1);
        QCOMPARE(workbook.value(u"formulas"_s).toBool(), false);
        const QJsonArray sheet = workbook.value(u"rows"_s).toArray();
        QCOMPARE(sheet.size(), rows.size() + 1);
        for (qsizetype r = 0; r <= rows.size(); ++r) {
            const QJsonArray cells = sheet.at(r).toArray();
            for (qsizetype f = 0; f < contacts::fields().size(); ++f) {
                const QString expected = r == 0 ? contacts::fields().at(f) : rows.at(r - 1).at(f).toText();
                const QJsonArray cell = cells.at(f).toArray();
                const QString where = u"riga %1, colonna %2: %3 (seme %4)"_s.arg(r)
                                          .arg(f)
                                          .arg(test::shownValue(Value::fromEditedText(expected)))
                                          .arg(seed);
                if (expected.isEmpty()) {
                    QVERIFY2(cell.at(1).isNull(), qPrintable(where));
                } else {
                    QVERIFY2(cell.at(0).toString() == u"s"_s, qPrintable(where)); // text, never a number
                    QVERIFY2(cell.at(1).toString() == expected,
                             qPrintable(where + u" letto "_s +
                                        test::shownValue(Value::fromEditedText(cell.at(1).toString()))));
                }
            }
        }

        // Text longer than a cell holds is refused before the file is begun, never cut; the message
        // names the target and the length as the spreadsheet counts it.
        typed.at(11) = Value::fromEditedText(QString(32767, u'x') + u"\r"_s);
        const QString tooLong = dir.filePath(u"lungo.xlsx"_s);
        const Status refused = interchange::writeXlsx(tooLong, {typed});
        QVERIFY(!refused.ok());
        QVERIFY2(refused.error().message.contains(u"«Osservazioni» un testo di 32768 caratteri"_s) &&
                     refused.error().message.contains(u"«"_s + tooLong + u"»"_s),
                 qPrintable(refused.error().message));
        QCOMPARE(test::snapshot(dir.path()).keys(), QStringList{u"contatti.xlsx"_s});
    }

    // The writer for the other formats: bytes streamed into a device, or a file written by name (as
    // SQLite does) into the temporary path. Until commit the target is untouched; a failed or
    // abandoned writer leaves it as it was; a file that appears meanwhile is not replaced; a full
    // disk is said, and leaves nothing, also when the workbook writer meets it.
    void pendingFilesReplaceOnlyWhenCommitted()
    {
        QTemporaryDir folder;
        const QString target = folder.filePath(u"out.txt"_s);
        const auto write = [](const QString& path, const QByteArray& bytes) {
            QFile file(path);
            return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
        };
        QVERIFY(write(target, "prima"));
        const auto before = test::snapshot(folder.path());
        QVERIFY(!safefile::writeFileAtomically(
            target,
            [](QIODevice& device) -> Status {
                device.write("mezzo file");
                return StoreError{StoreError::Kind::Engine, u"interrotto"_s, {}};
            },
            true));
        QCOMPARE(test::snapshot(folder.path()), before);
        {
            auto abandoned = safefile::PendingFile::begin(target, true);
            QVERIFY(abandoned && write(abandoned.value()->tempPath(), "abbandonato"));
        }
        QCOMPARE(test::snapshot(folder.path()), before);
        auto pending = safefile::PendingFile::begin(target, true);
        QVERIFY(pending && write(pending.value()->tempPath(), "per nome"));
        QCOMPARE(test::snapshot(folder.path()).value(u"out.txt"_s), QByteArray("prima"));
        QVERIFY(pending.value()->commit());
        QCOMPARE(test::snapshot(folder.path()).value(u"out.txt"_s), QByteArray("per nome"));

        const QString fresh = folder.filePath(u"fresh.txt"_s);
        auto racing = safefile::PendingFile::begin(fresh, false);
        QVERIFY(racing && racing.value()->write("nostro"));
        QVERIFY(write(fresh, "altrui"));
        const Status refused = racing.value()->commit();
        QVERIFY(!refused && refused.error().message.contains(u"esiste già"_s));
        QCOMPARE(test::snapshot(folder.path()).value(u"fresh.txt"_s), QByteArray("altrui"));

        test::SmallDisk disk(64);
        if (!disk.mounted())
            QSKIP("A full disk is a 64 kB tmpfs, which only root can mount: not tested here.");
        const Status full = safefile::writeFileAtomically(
            disk.path(u"big.txt"_s),
            [](QIODevice& device) {
                for (int i = 0; i < 100; ++i)
                    device.write(QByteArray(4096, 'x')); // the return values ignored, as careless writers do
                return Status();
            },
            false);
        QVERIFY2(!full && full.error().message.contains(u"disco è pieno"_s),
                 qPrintable(full.error().message));
        // Text that does not compress, more than the disk holds.
        Contacts rows;
        QRandomGenerator random(2008);
        for (int r = 0; r < 3000; ++r) {
            QString text;
            for (int k = 0; k < 100; ++k)
                text += QChar(char16_t(0x4e00 + random.bounded(20000)));
            rows.append(contact({{0, r + 1}, {11, text}}));
        }
        const Status written = interchange::writeXlsx(disk.path(u"contatti.xlsx"_s), rows);
        QVERIFY(!written.ok());
        QCOMPARE(written.error().kind, StoreError::Kind::DiskFull);
        QVERIFY2(written.error().message.contains(u"disco è pieno"_s), qPrintable(written.error().message));
        QVERIFY(test::snapshot(disk.path()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestInterchange)
#include "test_interchange.moc"
