// The CSV, vCard and spreadsheet writers and readers on their own: exact round trips for any text,
// no live formula in what spreadsheets open, and readers that refuse what they cannot read exactly.
#include "contact_table.h"
#include "csv.h"
#include "vcard.h"
#include "xlsx.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <cstring>
#include <functional>

#include <unistd.h>

#include "test_support.h"

using namespace Qt::StringLiterals;
using namespace vinzal;

namespace {

using Records = test::Records;
using test::csvRead, test::csvWrite, test::vcardRead, test::vcardWrite, test::xlsxWrite, test::CsvResult,
    test::VCardResult;

// Pieces that hostile text is made of: every kind of line break, NUL and other controls, the
// separators and quotes of both formats, formula starts, escapes and the words of vCard's own
// syntax, and Unicode from several planes.
const QStringList& pieces()
{
    // One piece between each pair of bars (the _s literal keeps its NUL).
    static const QStringList list =
        u"\r|\n|\r\n|\n\r|\r\r\n|\0|\x01|\x0b|\x0c|\x1c|\x1e|\x7f|\u0085|\u2028|\u2029|\t| |,|;|\"|\"\"|'|''|"
        u"\\|\\n|\\N|\\,|=|=\r\n|=0D=0A|+|-|@|:|quoted-printable|;ENCODING=QUOTED-PRINTABLE:|BEGIN:VCARD|"
        u"END:VCARD|\r\nFN:Intruso\r\n|\rEND:VCARD\rBEGIN:VCARD\r|NOTE;X-VINZAL-EOL=CR:|X-VINZAL-NULL=1|"
        u"UID:vinzal-7|CHARSET=ISO-8859-1|_x000D_|_x|_X0041_|\uFEFF|\uFFFD|\uFFFF|è|Forlì|😀|\u05e9\u05dc|"
        u"e\u0301|Rossi|Mario|+39 349 1234567|0543123456|=HYPERLINK(\"x\")|ID|Genere"_s.split(u'|') +
        QStringList{QString(80, u'é')};
    return list;
}

QVariant hostileValue(QRandomGenerator& random)
{
    const int kind = random.bounded(20);
    if (kind < 3)
        return QVariant(); // NULL
    if (kind == 3)
        return u""_s;
    QString text;
    const int count = 1 + random.bounded(kind == 4 ? 40 : 6);
    for (int i = 0; i < count; ++i)
        text += pieces().at(random.bounded(int(pieces().size())));
    return text;
}

Records hostileRows(quint64 seed, int count)
{
    const std::array<quint32, 2> seeds{quint32(seed), quint32(seed >> 32)};
    QRandomGenerator random(seeds.data(), seeds.data() + seeds.size());
    Records rows;
    for (int r = 0; r < count; ++r) {
        QList<QVariant> row;
        row.append(random.bounded(8) == 0 ? QVariant() : QVariant(qint64(1 + random.bounded(2147483647))));
        for (qsizetype f = 1; f < contacts::fields().size(); ++f)
            row.append(hostileValue(random));
        rows.append(row);
    }
    return rows;
}

// A value as a test message shows it: NULL apart, control characters visible.
QString visible(const QVariant& value)
{
    if (value.isNull())
        return u"NULL"_s;
    QString out = u"\""_s;
    for (const QChar c : value.toString())
        out += (c.unicode() < 0x20 || c.unicode() == 0x7f || c.unicode() > 0x7e)
                   ? u"\\u%1"_s.arg(c.unicode(), 4, 16, QChar(u'0'))
                   : QString(c);
    return out + u'"';
}

// The first difference between two sets of rows (values compared as text, NULL apart from empty).
QString difference(const Records& expected, const Records& actual)
{
    if (expected.size() != actual.size())
        return u"%1 righe invece di %2"_s.arg(actual.size()).arg(expected.size());
    for (qsizetype r = 0; r < expected.size(); ++r)
        for (qsizetype f = 0; f < contacts::fields().size(); ++f) {
            const QVariant a = expected.at(r).value(f), b = actual.at(r).value(f);
            if (a.isNull() != b.isNull() || a.toString() != b.toString())
                return u"riga %1, campo «%2»: atteso %3, letto %4"_s.arg(r).arg(contacts::fields().at(f),
                                                                                visible(a), visible(b));
        }
    return QString();
}

quint64 seedForThisRun()
{
    bool ok = false;
    const quint64 given = qEnvironmentVariable("VINZAL_INTERCHANGE_SEED").toULongLong(&ok);
    return ok ? given : QRandomGenerator::global()->generate64();
}

// A Python with openpyxl, or an empty string.
QString pythonWithOpenpyxl()
{
    for (const QString& candidate : {u"/usr/bin/python3"_s, u"python3"_s}) {
        QProcess probe;
        probe.start(candidate, {u"-c"_s, u"import openpyxl"_s});
        if (probe.waitForFinished(30000) && probe.exitStatus() == QProcess::NormalExit &&
            probe.exitCode() == 0)
            return candidate;
    }
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
    void roundTripsAreExact()
    {
        const quint64 seed = seedForThisRun();
        const QString replay = u" (seme %1: VINZAL_INTERCHANGE_SEED=%1 lo ripete)"_s.arg(seed);
        const Records rows = hostileRows(seed, 3000);
        struct Format
        {
            const char* name;
            std::function<QByteArray(const Records&)> write;
            std::function<std::pair<Records, QStringList>(const QByteArray&)> read;
        };
        const auto csvBack = [](const QByteArray& bytes) {
            const CsvResult read = csvRead(bytes);
            return std::pair{read.records, read.errors + read.warnings};
        };
        const auto vcardBack = [](const QByteArray& bytes) {
            const VCardResult read = vcardRead(bytes);
            return std::pair{read.records, read.errors + read.warnings};
        };
        const Format formats[] = {
            {"csv", [](const Records& r) { return csvWrite(r); }, csvBack},
            {"csv ;",
             [](const Records& r) {
                 return csvWrite(r, {u';', false});
             },
             csvBack},
            {"csv for spreadsheets",
             [](const Records& r) {
                 return csvWrite(r, {u';', true});
             },
             csvBack},
            {"vcard 3.0", [](const Records& r) { return vcardWrite(r); }, vcardBack},
            {"vcard 4.0", [](const Records& r) { return vcardWrite(r, u"4.0"_s); }, vcardBack},
        };
        for (const Format& format : formats) {
            const QByteArray written = format.write(rows);
            const auto [back, problems] = format.read(written);
            QVERIFY2(problems.isEmpty(),
                     qPrintable(QString::fromLatin1(format.name) + u": "_s + problems.value(0) + replay));
            const QString different = difference(rows, back);
            QVERIFY2(different.isEmpty(),
                     qPrintable(QString::fromLatin1(format.name) + u": "_s + different + replay));
            QVERIFY2(format.write(back) == written,
                     qPrintable(QString::fromLatin1(format.name) + u": riscritto diverso"_s + replay));
            if (QByteArray(format.name).startsWith("vcard")) {
                // What other programs read: a line is a line break of the file, never one of a value,
                // whichever characters a reader takes for the end of a line.
                QVERIFY2(written.count('\r') == written.count("\r\n"), "CR senza LF" + replay.toUtf8());
                for (const char* breaking : {"\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\xc2\x85",
                                             "\xe2\x80\xa8", "\xe2\x80\xa9", "\0"})
                    QVERIFY2(!written.contains(QByteArrayView(
                                 breaking, breaking[0] ? qsizetype(std::strlen(breaking)) : 1)),
                             "a capo nascosto" + replay.toUtf8());
            }
        }
    }

    void spreadsheetCellsAreNeutralised()
    {
        const QStringList texts = {u"=1+2"_s,
                                   u"+39 349 1234567"_s,
                                   u"-5"_s,
                                   u"@SUM(A1)"_s,
                                   u"\tx"_s,
                                   u"\rx"_s,
                                   QString(QChar(0)) + u"x"_s,
                                   u"'=x"_s,
                                   u"''"_s,
                                   u"'abc"_s,
                                   u"'"_s,
                                   u"'+'"_s,
                                   u"a=b"_s,
                                   u"0543123456"_s};
        // What a spreadsheet sees in each cell (the apostrophe is its own "text" mark).
        const QStringList cells = {u"'=1+2"_s,
                                   u"'+39 349 1234567"_s,
                                   u"'-5"_s,
                                   u"'@SUM(A1)"_s,
                                   u"'\tx"_s,
                                   u"'\rx"_s,
                                   u"'"_s + QString(QChar(0)) + u"x"_s,
                                   u"''=x"_s,
                                   u"'''"_s,
                                   u"'abc"_s,
                                   u"'"_s,
                                   u"''+'"_s,
                                   u"a=b"_s,
                                   u"0543123456"_s};
        Records rows;
        for (const QString& text : texts) {
            QList<QVariant> row(contacts::fields().size());
            row[11] = text;
            row[7] = text;
            rows.append(row);
        }
        const QByteArray spreadsheet = csvWrite(rows, {u';', true});
        // Without its byte-order mark the file reads as plain CSV: the cells as a spreadsheet has them.
        const CsvResult raw = csvRead(spreadsheet.mid(3));
        QVERIFY(raw.errors.isEmpty() && !raw.spreadsheet);
        for (qsizetype r = 0; r < texts.size(); ++r) {
            QCOMPARE(raw.records.at(r).at(11).toString(), cells.at(r));
            QCOMPARE(raw.records.at(r).at(7).toString(), cells.at(r));
        }
        const CsvResult back = csvRead(spreadsheet);
        QVERIFY(back.spreadsheet);
        QCOMPARE(difference(rows, back.records), QString());

        // Plain CSV, with or without a byte-order mark, is never changed on the way out or in.
        for (const csv::WriteOptions options :
             {csv::WriteOptions{u',', false}, csv::WriteOptions{u',', true}}) {
            const CsvResult plain = csvRead(csvWrite(rows, options));
            QVERIFY(!plain.spreadsheet);
            QCOMPARE(difference(rows, plain.records), QString());
        }

        // Over hostile rows, no cell a spreadsheet sees starts a formula.
        const Records hostile = hostileRows(seedForThisRun(), 1000);
        const CsvResult seen = csvRead(csvWrite(hostile, {u';', true}).mid(3));
        QVERIFY(seen.errors.isEmpty());
        for (const auto& row : seen.records)
            for (const QVariant& cell : row) {
                const QString text = cell.toString();
                QVERIFY2(text.isEmpty() ||
                             (!QStringView(u"=+-@\t\r").contains(text.front()) && text.front() != QChar(0)),
                         qPrintable(visible(cell)));
            }
    }

    void vcardLineBreaksAndSyntaxWords()
    {
        QList<QVariant> row(contacts::fields().size());
        row[0] = 12;
        row[2] = u"Rossi\rFN:Intruso"_s;                     // a lone CR
        row[8] = u"06 1\r\n06 2"_s;                          // CR LF outside the remark
        row[11] = u"vedi quoted-printable=0D=0A, fine: ="_s; // the words, and '=' at the end
        row[3] = u"dopo la nota"_s;                          // the property that used to vanish
        row[5] = u"uno\r\ndue\ntre\rquattro\u2028cinque"_s;  // every kind of break together
        const QByteArray cards = vcardWrite({row});
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

        const VCardResult back = vcardRead(cards);
        QVERIFY(back.errors.isEmpty() && back.warnings.isEmpty());
        QCOMPARE(difference({row}, back.records), QString());

        // A description that no longer matches the value (another program edited the note) leaves
        // the breaks as LF and says so.
        const VCardResult edited = vcardRead(
            "BEGIN:VCARD\r\nVERSION:3.0\r\nNOTE;X-VINZAL-EOL=CRLF,CR:a\\nb\\nc\\nd\r\nEND:VCARD\r\n");
        QCOMPARE(edited.records.value(0).value(11).toString(), u"a\nb\nc\nd"_s);
        QVERIFY(edited.errors.isEmpty());
        QVERIFY(edited.warnings.value(0).contains(u"riga 3"_s));
    }

    void readersValidateBeforeWriting()
    {
        // A field named twice, however it is spelled.
        CsvResult csvOut = csvRead("ID,Genere,genere\r\n1,Lavoro,Altro\r\n");
        QVERIFY2(csvOut.errors.join(u' ').contains(u"«Genere»"_s), qPrintable(csvOut.errors.join(u' ')));
        QVERIFY(csvOut.records.isEmpty());

        // Text that is not UTF-8, with the line it is on, and no rows at all.
        csvOut = csvRead("ID,Città\r\n1,Forl\xc3\xac\r\n2,\"a\r\nb\"\r\n3,Niccol\xf2\r\n");
        QCOMPARE(csvOut.errors.size(), 1);
        QVERIFY2(csvOut.errors.first().contains(u"riga 5"_s), qPrintable(csvOut.errors.first()));
        QVERIFY(csvOut.records.isEmpty());
        QVERIFY(!csvRead("ID\r\n\xed\xa0\x80\r\n").errors.isEmpty()); // a UTF-16 surrogate
        QVERIFY(!csvRead("ID\r\n\xc0\xaf\r\n").errors.isEmpty());     // an overlong form

        VCardResult cards = vcardRead("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Rossi\r\n"
                                      "NOTE:Niccol\xf2\r\nEND:VCARD\r\n");
        QCOMPARE(cards.errors.size(), 1);
        QVERIFY2(cards.errors.first().contains(u"riga 4"_s), qPrintable(cards.errors.first()));
        // What the book does not keep is not read, so it cannot stop the import.
        cards = vcardRead("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Rossi\r\nX-FOTO:\xff\xd8\r\nEND:VCARD\r\n");
        QVERIFY(cards.errors.isEmpty() && cards.warnings.isEmpty());

        // vCard 2.1 without CHARSET is Windows-1252, and the reader says so.
        cards = vcardRead("BEGIN:VCARD\r\nVERSION:2.1\r\nN:Niccol\xf2;Marco\r\nNOTE:\x80 5\r\nEND:VCARD\r\n"
                          "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Bianchi\r\nEND:VCARD\r\n"
                          "BEGIN:VCARD\r\nVERSION:2.1\r\nFN;CHARSET=UTF-8:Niccol\xc3\xb2\r\nEND:VCARD\r\n");
        QVERIFY(cards.errors.isEmpty());
        QCOMPARE(cards.records.size(), 3);
        QCOMPARE(cards.records[0][2].toString(), u"Niccolò Marco"_s);
        QCOMPARE(cards.records[0][11].toString(), u"€ 5"_s);
        QCOMPARE(cards.records[2][2].toString(), u"Niccolò"_s);
        QCOMPARE(cards.warnings.size(), 1);
        QVERIFY2(cards.warnings.first().contains(u"Windows-1252"_s) &&
                     cards.warnings.first().contains(u"riga 1"_s),
                 qPrintable(cards.warnings.first()));

        // quoted-printable only when the parameters say so: a value's own words never join lines.
        cards = vcardRead("BEGIN:VCARD\r\nVERSION:3.0\r\nNOTE:quoted-printable =\r\nTEL:1\r\nEND:VCARD\r\n");
        QCOMPARE(cards.records.value(0).value(11).toString(), u"quoted-printable ="_s);
        QCOMPARE(cards.records.value(0).value(7).toString(), u"1"_s);
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
        const QVariant null;
        // Genere, name, city, street, e-mail, home, office, fax, mobile, remarks.
        const QList<QList<QVariant>> expected{
            {null, u"Ferràri Lucia"_s, u"Forlì"_s, u"Via Emilia 5"_s, u"lucia@example.it"_s, u"0543 111111"_s,
             null, null, u"+39 347 1111111"_s,
             u"Cellulare 2: +39 348 2222222\nTelefono casa 2: 0543 222222\nCasa al mare: 0544 333333\n"
             u"E-mail 2: lucia@ufficio.example.it\nE-mail 3: l.f@example.org\nCAP: 47121\nProvincia: FC\n"
             u"Paese: Italia\nCompleanno: 17/05/1980"_s},
            {null, u"Doe John Richter James"_s, null, null, u"john@doe.example.it"_s, u"02 7654321"_s, null,
             u"02 8888888"_s, u"+39 333 0000001"_s,
             u"Titolo: Direttore\nTelefono principale: +39 02 1234567\nTelefono casa 2: 02 7654322\n"
             u"Fax ufficio: 02 9999999\nCercapersone: 06 555\nBarca: 0544 1\nSito: https://doe.example.it\n"
             u"Anniversario: 01/06/2005\nVecchia: jd@example.com\nPrefisso del nome: Mr.\n"
             u"Suffisso del nome: Sr.\nAzienda: Doe & Figli, Vendite"_s},
            {null, u"Officina Rossi S.r.l."_s, u"Forli"_s, u"Via dell'Industria 3"_s,
             u"info@officinarossi.example.it"_s, null, u"0543 700700"_s, u"0543 700799"_s, null,
             u"Telefono ufficio 2: 0543 700701\nCAP: 47122\nProvincia: FC\nPaese: Italia\n"
             u"Sito: http://www.officinarossi.example.it"_s},
            {u"Lavoro"_s, u"Verdi Anna"_s, u"Bologna"_s, u"Via Indipendenza 1"_s, u"anna@gmail.example"_s,
             null, null, null, u"+39 340 1"_s,
             u"Conosciuta al convegno\nE-mail 2: anna@lavoro.example\nStudio: +39 051 2\nCAP: 40121\n"
             u"Provincia: BO\nPaese: IT\nIndirizzo ufficio: Via Rizzoli 2, Bologna, 40125\nCategoria: Clienti"_s},
            {u"Famiglia-Amici"_s, u"Neri Paolo"_s, null, null, null, u"06 200"_s, u"06 100"_s, null,
             u"333 300"_s, u"Telefono auto: 335 500\nJabber: paolo@jabber.example\nCompleanno: 01/12/1975"_s},
            {null, u"Ferramenta Gialli"_s, null, null, null, null, u"0547 1"_s, u"0547 2"_s, null,
             u"Cercapersone: 0547 9"_s},
            {null, u"Bruni Carla"_s, null, null, u"carla.bruni@ospedale.example"_s, null, u"0546 1"_s,
             u"0546 2"_s, u"339 3"_s,
             u"Titolo: Responsabile acquisti\nSito: http://ospedale.example\nPrefisso del nome: Dott.ssa\n"
             u"Azienda: Ospedale, Farmacia"_s},
            {null, u"Gallo Marco"_s, null, null, u"marco@gallo.example"_s, u"0541 2"_s, u"0541 1"_s, null,
             u"347 3"_s,
             u"Riga uno\nRiga due\nE-mail 2: m.gallo@altro.example\nE-mail 3: mg@terzo.example\n"
             u"Cercapersone: 0541-9\nCompleanno: 28/02/1990"_s},
        };
        Records rows;
        int remarked = 0;
        for (const QList<QVariant>& e : expected) {
            rows.append({null, e[0], e[1], null, e[2], e[3], e[4], e[5], e[6], e[7], e[8], e[9]});
            remarked += int(e[9].toString().count(u": "_s));
        }
        QCOMPARE(difference(rows, test::rowsOf(read.records)), QString());
        QCOMPARE(read.remarked, remarked);

        // A card of Vinzal's own without an ID or a line break says nothing of whose it is but its
        // PRODID: its category comes back as it was, not as another program's list.
        QList<QVariant> own(contacts::fields().size());
        own[1] = u"Clienti, VIP"_s;
        own[2] = u" Rossi  Mario "_s;
        const VCardResult back = vcardRead(vcardWrite({own}));
        QCOMPARE(difference({own}, back.records), QString());
    }

    void xlsxCellsAreTextAsTyped()
    {
        const QString python = pythonWithOpenpyxl();
        if (python.isEmpty())
            QSKIP("python3 con openpyxl manca (pacchetto Debian python3-openpyxl): il foglio di calcolo "
                  "non viene riletto");
        QTemporaryDir dir;
        QList<QVariant> typed(contacts::fields().size());
        typed[0] = 1;
        typed[2] = u"=HYPERLINK(\"http://x\";\"clic\")"_s;
        typed[7] = u"0543123456"_s;
        typed[10] = u"+39 349 1234567"_s;
        typed[4] = u""_s; // the empty text is an empty cell, as NULL is
        typed[11] = u"_x0041_ resta com'è; \r\n e\r e \x01 e NUL "_s + QChar(0) + u" e _x"_s;
        // A cell holds 32,767 characters as the spreadsheet counts them, not their escaped form.
        QList<QVariant> escaped = typed;
        escaped[11] = u"_x"_s.repeated(16000) + u"\r\x01"_s.repeated(382) + u"<&>"_s;
        Records rows = {typed, escaped};
        rows += hostileRows(seedForThisRun(), 300);
        const QString path = dir.filePath(u"contatti.xlsx"_s);
        QVERIFY2(xlsxWrite(path, rows).ok(), "writeXlsx");

        QProcess reader;
        reader.start(python, {u"-c"_s, QString::fromLatin1(kReadWorkbook), path});
        QVERIFY(reader.waitForFinished(120000));
        QVERIFY2(reader.exitCode() == 0, reader.readAllStandardError().constData());
        const QJsonObject workbook = QJsonDocument::fromJson(reader.readAllStandardOutput()).object();
        QCOMPARE(workbook.value(u"sheets"_s).toInt(), 1);
        QCOMPARE(workbook.value(u"formulas"_s).toBool(), false);
        const QJsonArray sheet = workbook.value(u"rows"_s).toArray();
        QCOMPARE(sheet.size(), rows.size() + 1);
        for (qsizetype r = 0; r <= rows.size(); ++r) {
            const QJsonArray cells = sheet.at(r).toArray();
            for (qsizetype f = 0; f < contacts::fields().size(); ++f) {
                const QString expected = r == 0 ? contacts::fields().at(f) : rows.at(r - 1).at(f).toString();
                const QJsonArray cell = cells.at(f).toArray();
                const QString where = u"riga %1, colonna %2: %3"_s.arg(r).arg(f).arg(visible(expected));
                if (expected.isEmpty()) {
                    QVERIFY2(cell.at(1).isNull(), qPrintable(where));
                } else {
                    QVERIFY2(cell.at(0).toString() == u"s"_s, qPrintable(where)); // text, never a number
                    QVERIFY2(cell.at(1).toString() == expected,
                             qPrintable(where + u" letto "_s + visible(cell.at(1).toString())));
                }
            }
        }

        // Text longer than a cell holds is refused before the file is begun, never cut; the message
        // names the target and the length as the spreadsheet counts it.
        typed[11] = QString(32767, u'x') + u"\r"_s;
        const QString tooLong = dir.filePath(u"lungo.xlsx"_s);
        const Status refused = xlsxWrite(tooLong, {typed});
        QVERIFY(!refused.ok());
        QVERIFY2(refused.error().message.contains(u"«Osservazioni» un testo di 32768 caratteri"_s) &&
                     refused.error().message.contains(u"«"_s + tooLong + u"»"_s),
                 qPrintable(refused.error().message));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{u"contatti.xlsx"_s});
    }

    void xlsxOnAFullDiskLeavesNothing()
    {
        if (::geteuid() != 0)
            QSKIP("serve root per montare un piccolo tmpfs: il disco pieno non viene provato");
        QTemporaryDir dir;
        const QString small = dir.filePath(u"piccolo"_s);
        QVERIFY(QDir().mkpath(small));
        if (QProcess::execute(u"mount"_s, {u"-t"_s, u"tmpfs"_s, u"-o"_s, u"size=64k"_s, u"tmpfs"_s, small}) !=
            0)
            QSKIP("tmpfs non montabile qui: il disco pieno non viene provato");
        const auto unmount = qScopeGuard([&] { QProcess::execute(u"umount"_s, {small}); });
        // Text that does not compress, more than the disk holds.
        QRandomGenerator random(2008);
        Records rows;
        for (int r = 0; r < 3000; ++r) {
            QList<QVariant> row(contacts::fields().size());
            row[0] = r + 1;
            QString text;
            for (int k = 0; k < 100; ++k)
                text += QChar(char16_t(0x4e00 + random.bounded(20000)));
            row[11] = text;
            rows.append(row);
        }
        const Status written = xlsxWrite(small + u"/contatti.xlsx"_s, rows);
        QVERIFY(!written.ok());
        QCOMPARE(written.error().kind, StoreError::Kind::DiskFull);
        QVERIFY2(written.error().message.contains(u"disco è pieno"_s), qPrintable(written.error().message));
        QCOMPARE(QDir(small).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
                 QStringList());
    }
};

QTEST_GUILESS_MAIN(TestInterchange)
#include "test_interchange.moc"
