// vinzal-db: usage, create, demo and check; import and export of Access files, CSV and vCard.
#include "contact_table.h"
#include "csv.h"
#include "test_support.h"
#include "vcard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;

namespace {

using test::Records;

QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Values as text, NULL kept apart from the empty text.
QStringList shown(const Records& records)
{
    QStringList lines;
    for (const auto& record : records) {
        QStringList values;
        for (const QVariant& value : record)
            values.append(value.isNull() ? u"<NULL>"_s : value.toString());
        lines.append(values.join(u'|'));
    }
    return lines;
}

Records rowsOf(const QString& path)
{
    Records records;
    const QStringList fields = contacts::fields();
    QStringList columns;
    for (const QString& f : fields)
        columns.append(u'"' + f + u'"');
    const QVariantList ids = query(path, u"SELECT ID FROM Nomelia ORDER BY ID"_s);
    for (const QVariant& id : ids) {
        QList<QVariant> record;
        for (const QString& f : fields)
            record.append(fieldOf(path, id.toLongLong(), f));
        records.append(record);
    }
    return records;
}

// Awkward rows: NULL and empty texts, separators, quotes, line breaks of both kinds, long text.
Records awkward()
{
    return {{1, u"Lavoro"_s, u"Rossi; Mario, \"il Rosso\""_s, QVariant(), u"Città di Castello"_s, u""_s,
             u"a@b.it"_s, u"06 1"_s, QVariant(), u"06 3"_s, u"+39 333"_s, u"riga 1\r\nriga 2\r\n"_s},
            {2, QVariant(), QVariant(), u"\\ back, slash; e punto:due"_s, QVariant(), u"Via Roma 1"_s,
             QVariant(), QVariant(), u""_s, QVariant(), QVariant(), u"solo LF\nqui 😀 \u05e9"_s},
            {5, u"Altro"_s, u"Ditta S.r.l."_s, u"P.IVA 1"_s, u""_s, QVariant(), u""_s, QVariant(), QVariant(),
             u"fax"_s, QVariant(), QString(2000, u'x')}};
}

} // namespace

class TestVinzalDb : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    struct Run
    {
        int exitCode;
        QString out, err;
    };

    Run run(const QStringList& arguments)
    {
        QProcess process;
        process.setWorkingDirectory(m_dir.path());
        process.start(QString::fromUtf8(VINZAL_DB), arguments);
        if (!process.waitForFinished(300000))
            qFatal("vinzal-db did not finish");
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }

    QString path(const QString& name) { return m_dir.filePath(name); }

    void copyFixture(const QString& name, const QString& as)
    {
        QFile::remove(path(as));
        QVERIFY(QFile::copy(QFINDTESTDATA(u"data/jet/"_s + name), path(as)));
        QFile::setPermissions(path(as), QFile::ReadOwner | QFile::WriteOwner);
    }

private slots:
    void usage()
    {
        Run help = run({u"--help"_s});
        QCOMPARE(help.exitCode, 0);
        QVERIFY(help.out.contains(u"create"_s) && help.out.contains(u"demo"_s) &&
                help.out.contains(u"check"_s));
        for (const QStringList& wrong :
             {QStringList{}, QStringList{u"frobnicate"_s}, QStringList{u"create"_s, u"--rows"_s, u"3"_s},
              QStringList{u"demo"_s, u"--rows"_s, u"many"_s}, QStringList{u"check"_s, u"a"_s, u"b"_s},
              QStringList{u"demo"_s, u"--duplicates"_s, u"80%"_s}, QStringList{u"duplicates"_s, u"--force"_s},
              QStringList{u"merge"_s, u"a.mdb"_s, u"3"_s},
              QStringList{u"merge"_s, u"a.mdb"_s, u"3"_s, u"x"_s}, QStringList{u"unmerge"_s, u"a.mdb"_s}}) {
            Run bad = run(wrong);
            QCOMPARE(bad.exitCode, 2);
            QVERIFY(bad.out.isEmpty());
            QVERIFY(!bad.err.isEmpty());
        }
    }

    void createRefusesToOverwrite()
    {
        Run made = run({u"create"_s});
        QCOMPARE(made.exitCode, 0);
        const QString path = m_dir.filePath(vinzal::contacts::fileName());
        QVERIFY(QFile::exists(path));
        QCOMPARE(query(path, u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 0);
        QCOMPARE(query(path, u"PRAGMA application_id"_s).first().toInt(), 0x565A4C31);
        query(path, u"INSERT INTO Nomelia(Genere) VALUES ('Lavoro')"_s);

        Run again = run({u"create"_s});
        QCOMPARE(again.exitCode, 1);
        QVERIFY(again.err.contains(u"esiste già"_s));
        QCOMPARE(query(path, u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 1); // untouched
        QCOMPARE(run({u"create"_s, u"--force"_s}).exitCode, 0);
        QCOMPARE(query(path, u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 0);
        // No temporary file or journal is left beside it.
        QVERIFY(QDir(m_dir.path())
                    .entryList({u"*.part-*"_s, u"*-journal"_s, u"*.vinzal-tmp"_s}, QDir::Files | QDir::Hidden)
                    .isEmpty());
    }

    void demoIsRealisticAndRepeatable()
    {
        QCOMPARE(run({u"demo"_s, u"a.mdb"_s, u"--rows"_s, u"500"_s, u"--seed"_s, u"7"_s}).exitCode, 0);
        QCOMPARE(run({u"demo"_s, u"b.mdb"_s, u"--rows"_s, u"500"_s, u"--seed"_s, u"7"_s}).exitCode, 0);
        const QString a = m_dir.filePath(u"a.mdb"_s);
        const QString all =
            u"SELECT group_concat(coalesce(Genere,'') || Città || coalesce(Telefonino,''), '|') FROM Nomelia"_s;
        QCOMPARE(query(a, all), query(m_dir.filePath(u"b.mdb"_s), all));
        QCOMPARE(query(a, u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 500);
        // Mostly valid categories, some not; some multi-line remarks; some empty fields.
        const int valid = query(a, u"SELECT count(*) FROM Nomelia WHERE Genere COLLATE BINARY IN "
                                   u"('Famiglia-Amici','Lavoro','Altro')"_s)
                              .first()
                              .toInt();
        QVERIFY2(valid > 400 && valid < 500, qPrintable(QString::number(valid)));
        QVERIFY(query(a, u"SELECT count(*) FROM Nomelia WHERE Osservazioni LIKE '%' || char(10) || '%'"_s)
                    .first()
                    .toInt() > 0);
        QVERIFY(query(a, u"SELECT count(*) FROM Nomelia WHERE \"E-Mail\" IS NULL"_s).first().toInt() > 0);
        QVERIFY(query(a, u"SELECT count(*) FROM Nomelia WHERE \"E-Mail\" LIKE '%@%.%'"_s).first().toInt() >
                200);
        QCOMPARE(run({u"check"_s, u"a.mdb"_s}).exitCode, 0);
    }

    void checkFindsProblems()
    {
        QCOMPARE(run({u"create"_s, u"c.mdb"_s}).exitCode, 0);
        const QString path = m_dir.filePath(u"c.mdb"_s);
        query(path, u"DROP INDEX \"Città\""_s);
        query(path, u"CREATE INDEX \"Fax\" ON Nomelia(Indirizzo)"_s.replace(u"\"Fax\""_s, u"\"Fax2\""_s));
        query(path, u"DROP INDEX \"Telefonino\""_s);
        query(path, u"CREATE INDEX \"Telefonino\" ON Nomelia(Telefonino COLLATE BINARY)"_s);
        Run checked = run({u"check"_s, u"c.mdb"_s});
        QCOMPARE(checked.exitCode, 1);
        QVERIFY2(checked.err.contains(u"manca l'indice «Città»"_s), qPrintable(checked.err));
        QVERIFY2(checked.err.contains(u"«Telefonino» non usa la collazione NOCASE"_s),
                 qPrintable(checked.err));
        QVERIFY(!checked.err.contains(u"«Fax»"_s));

        QFile junk(m_dir.filePath(u"junk.mdb"_s));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("not a database at all");
        junk.close();
        QCOMPARE(run({u"check"_s, u"junk.mdb"_s}).exitCode, 1);
        Run missing = run({u"check"_s, u"nowhere.mdb"_s});
        QCOMPARE(missing.exitCode, 1);
        QVERIFY(!QFile::exists(m_dir.filePath(u"nowhere.mdb"_s)));
    }

    void accessFileImportsExactly()
    {
        copyFixture(u"Vinzal-jet4.mdb"_s, u"old.mdb"_s);
        Run imported = run({u"import"_s, u"old.mdb"_s, u"new.mdb"_s});
        QCOMPARE(imported.exitCode, 0);
        QVERIFY(schemaIsSound(path(u"new.mdb"_s)));
        // The expected values, with the empty text read as NULL, as libmdb does.
        CsvResult expected = csvRead(contentOf(QFINDTESTDATA("data/jet/Vinzal-jet4.expected.csv")));
        QVERIFY(expected.errors.isEmpty());
        for (auto& record : expected.records) {
            record[0] = record[0].toLongLong();
            for (QVariant& value : record)
                if (!value.isNull() && value.toString().isEmpty())
                    value = QVariant();
        }
        QCOMPARE(shown(rowsOf(path(u"new.mdb"_s))), shown(expected.records));
        // New rows continue after the highest kept ID.
        query(path(u"new.mdb"_s), u"INSERT INTO Nomelia(Genere) VALUES ('Lavoro')"_s);
        QCOMPARE(query(path(u"new.mdb"_s), u"SELECT max(ID) FROM Nomelia"_s).first().toInt(), 31);
    }

    bool schemaIsSound(const QString& file) { return run({u"check"_s, file}).exitCode == 0; }

    void accessFileInPlaceKeepsTheOriginal()
    {
        QTemporaryDir here;
        QFile::copy(QFINDTESTDATA("data/jet/Vinzal-jet4.mdb"), here.filePath(u"Vinzal.mdb"_s));
        QFile::setPermissions(here.filePath(u"Vinzal.mdb"_s), QFile::ReadOwner | QFile::WriteOwner);
        const QByteArray original = contentOf(here.filePath(u"Vinzal.mdb"_s));
        QProcess process;
        process.setWorkingDirectory(here.path());
        process.start(QString::fromUtf8(VINZAL_DB), {u"import"_s, u"Vinzal.mdb"_s});
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitCode(), 0);
        const QStringList files = QDir(here.path()).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(files.size(), 2); // no temporary file left
        const QString kept = files.filter(u"Vinzal-access-"_s).value(0);
        QVERIFY2(!kept.isEmpty(), qPrintable(files.join(u' ')));
        QCOMPARE(contentOf(here.filePath(kept)), original);
        QCOMPARE(query(here.filePath(u"Vinzal.mdb"_s), u"SELECT count(*) FROM Nomelia"_s).first().toInt(),
                 12);
    }

    void accessRefusals()
    {
        copyFixture(u"testUnicodeCompV2003.mdb"_s, u"other.mdb"_s);
        Run noTable = run({u"import"_s, u"other.mdb"_s, u"out1.mdb"_s});
        QCOMPARE(noTable.exitCode, 1);
        QVERIFY2(noTable.err.contains(u"«Table»"_s), qPrintable(noTable.err));
        QVERIFY(!QFile::exists(path(u"out1.mdb"_s)));

        // The other table can be asked for, but its columns are not the address book's.
        Run extra = run({u"import"_s, u"other.mdb"_s, u"out2.mdb"_s, u"--table"_s, u"Table"_s});
        QCOMPARE(extra.exitCode, 1);
        QVERIFY2(extra.err.contains(u"--skip-extra-columns"_s), qPrintable(extra.err));
        QVERIFY(!QFile::exists(path(u"out2.mdb"_s)));

        // A damaged file: a message, no crash, nothing written.
        QByteArray damaged = contentOf(QFINDTESTDATA("data/jet/Vinzal-jet4.mdb"));
        for (qsizetype i = 4096; i < damaged.size(); i += 7)
            damaged[i] = char(damaged[i] ^ 0x5a);
        QFile file(path(u"damaged.mdb"_s));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(damaged);
        file.close();
        Run broken = run({u"import"_s, u"damaged.mdb"_s, u"out3.mdb"_s});
        QCOMPARE(broken.exitCode, 1);
        QVERIFY2(broken.err.contains(u"danneggiato"_s), qPrintable(broken.err));
        QVERIFY(!QFile::exists(path(u"out3.mdb"_s)));
        QVERIFY(QDir(m_dir.path())
                    .entryList({u"*.part-*"_s, u"*.vinzal-tmp"_s}, QDir::Files | QDir::Hidden)
                    .isEmpty());

        makeAddressBook(path(u"taken.mdb"_s), {});
        QVERIFY(
            run({u"import"_s, u"taken.mdb"_s, u"out4.mdb"_s}).err.contains(u"è già una rubrica di Vinzal"_s));
        QVERIFY(run({u"import"_s, u"nowhere.mdb"_s, u"out5.mdb"_s}).err.contains(u"non esiste"_s));
        copyFixture(u"Vinzal-jet4.mdb"_s, u"old2.mdb"_s);
        QCOMPARE(run({u"import"_s, u"old2.mdb"_s, u"taken.mdb"_s}).exitCode, 1); // never overwritten
    }

    void csvAndVCardRoundTrips_data()
    {
        QTest::addColumn<QStringList>("exportOptions");
        QTest::newRow("csv") << QStringList{u"--csv"_s};
        QTest::newRow("csv for spreadsheets") << QStringList{u"--csv"_s, u"--spreadsheet"_s};
        QTest::newRow("vcard 3.0") << QStringList{u"--vcard"_s};
        QTest::newRow("vcard 4.0") << QStringList{u"--vcard"_s, u"--vcard-version"_s, u"4.0"_s};
    }

    void csvAndVCardRoundTrips()
    {
        QFETCH(QStringList, exportOptions);
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-');
        const QString book = path(tag + u".mdb"_s), data = path(tag + u".data"_s);
        const QString again = path(tag + u"-again.mdb"_s), dataAgain = path(tag + u"-again.data"_s);
        makeAddressBook(book, {});
        QFile seed(path(u"seed.csv"_s));
        QVERIFY(seed.open(QIODevice::WriteOnly));
        seed.write(csvWrite(awkward()));
        seed.close();
        QFile::remove(book);
        QCOMPARE(run({u"import"_s, u"--csv"_s, u"seed.csv"_s, book}).exitCode, 0);
        QCOMPARE(shown(rowsOf(book)), shown(awkward()));

        const QByteArray bookBefore = contentOf(book);
        QCOMPARE(run(QStringList{u"export"_s} + exportOptions + QStringList{data, book}).exitCode, 0);
        QCOMPARE(contentOf(book), bookBefore); // exports never change the address book
        // "-" is standard output: the same bytes there, the report on the other channel.
        const Run piped = run(QStringList{u"export"_s} + exportOptions + QStringList{u"-"_s, book});
        QCOMPARE(piped.exitCode, 0);
        QCOMPARE(piped.out, QString::fromUtf8(contentOf(data)));
        QVERIFY2(piped.err.contains(u"Esportati 3 contatti sull'uscita standard"_s), qPrintable(piped.err));
        QVERIFY(!QFileInfo::exists(path(u"-"_s)));
        QCOMPARE(run({u"import"_s, exportOptions.first(), data, again}).exitCode, 0);
        QCOMPARE(shown(rowsOf(again)), shown(awkward()));
        QCOMPARE(run(QStringList{u"export"_s} + exportOptions + QStringList{dataAgain, again}).exitCode, 0);
        QCOMPARE(contentOf(dataAgain), contentOf(data));
        // Exports never overwrite a file unless told to.
        QCOMPARE(run(QStringList{u"export"_s} + exportOptions + QStringList{data, book}).exitCode, 1);

        // Into an existing book the rows are appended with new IDs; rows already there are skipped
        // unless asked for.
        Run skipped = run({u"import"_s, exportOptions.first(), data, again});
        QCOMPARE(skipped.exitCode, 0);
        QVERIFY2(skipped.out.contains(u"Saltati 3 contatti già presenti"_s), qPrintable(skipped.out));
        QCOMPARE(query(again, u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 3);
        QCOMPARE(run({u"import"_s, exportOptions.first(), data, again, u"--keep-duplicates"_s}).exitCode, 0);
        QCOMPARE(query(again, u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 6);
        QCOMPARE(query(again, u"SELECT max(ID) FROM Nomelia"_s).first().toInt(), 8);
    }

    // Bytes that are not UTF-8, put into a book by another program (Latin-1 "Forlì", a lone
    // continuation byte, an overlong form), are copied into a file byte for byte and still as text;
    // an export, which holds only UTF-8, says which fields it had to change.
    void bytesThatAreNotUtf8()
    {
        const QString book = path(u"raw.mdb"_s), copy = path(u"raw-copy.mdb"_s);
        QCOMPARE(run({u"demo"_s, book, u"--rows"_s, u"4"_s}).exitCode, 0);
        query(book, u"UPDATE Nomelia SET \"Città\" = CAST(x'466f726cec' AS TEXT) WHERE ID = 2"_s);
        query(book,
              u"UPDATE Nomelia SET Osservazioni = CAST(x'41a042c0af' AS TEXT), Fax = 'già' WHERE ID = 3"_s);
        // A byte-order mark is valid UTF-8, but SQLite drops it from a text bound as UTF-16.
        query(book, u"UPDATE Nomelia SET Fax = CAST(x'efbbbf41' AS TEXT) WHERE ID = 4"_s);
        // Blobs, empty or not, that another program put in text fields stay blobs, never NULL.
        query(book, u"UPDATE Nomelia SET Indirizzo = x'', Telefonino = x'00ff' WHERE ID = 1"_s);
        QStringList cells;
        for (const QString& field : contacts::fields())
            cells.append(u"typeof(%1) || ':' || hex(%1)"_s.arg(quoteIdentifier(field)));
        const auto bytes = [&](const QString& file) {
            return query(file, u"SELECT "_s + cells.join(u" || '|' || "_s) + u" FROM Nomelia ORDER BY ID"_s);
        };
        const Run copied = run({u"copy"_s, book, copy});
        QCOMPARE(copied.exitCode, 0);
        QCOMPARE(copied.err, QString());
        QCOMPARE(bytes(copy), bytes(book));
        QCOMPARE(query(copy, u"PRAGMA integrity_check"_s).first().toString(), u"ok"_s);

        // A CSV keeps their bytes too, and says so; blobs become text there, and that is said as well.
        const Run exported = run({u"export"_s, u"--csv"_s, path(u"raw.csv"_s), book});
        QCOMPARE(exported.exitCode, 0);
        QVERIFY2(exported.err.contains(u"3 campi non sono testo UTF-8 valido"_s) &&
                     exported.err.contains(u"2 campi non sono testo ma dati di altro tipo"_s),
                 qPrintable(exported.err));
        QVERIFY(contentOf(path(u"raw.csv"_s)).contains(",Forl\xec,"));

        // A book another program made in UTF-16 holds valid text in other bytes: the copy has the same
        // text in UTF-8, and nothing is reported; a U+FFFE in front stays, not taken for a byte order.
        const QString wide = path(u"utf16.mdb"_s), wideCopy = path(u"utf16-copy.mdb"_s);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"utf16"_s);
            db.setDatabaseName(wide);
            QVERIFY(db.open());
            QSqlQuery query(db);
            QStringList columns{u"ID INTEGER PRIMARY KEY"_s};
            for (const QString& field : contacts::fields().mid(1))
                columns.append(quoteIdentifier(field) + u" TEXT"_s);
            QVERIFY(query.exec(u"PRAGMA encoding = 'UTF-16le'"_s));
            QVERIFY(query.exec(u"CREATE TABLE Nomelia ("_s + columns.join(u", "_s) + u")"_s));
            QVERIFY(query.exec(
                u"INSERT INTO Nomelia (ID, \"Città\", Fax) VALUES (7, 'Forlì', CAST(x'feff5800' AS TEXT))"_s));
        }
        QSqlDatabase::removeDatabase(u"utf16"_s);
        const Run wideCopied = run({u"copy"_s, wide, wideCopy});
        QCOMPARE(wideCopied.exitCode, 0);
        QCOMPARE(wideCopied.err, QString());
        QCOMPARE(query(wideCopy, u"SELECT hex(\"Città\") FROM Nomelia WHERE ID = 7"_s).first().toString(),
                 u"466F726CC3AC"_s);
        QCOMPARE(query(wideCopy, u"SELECT hex(Fax) FROM Nomelia WHERE ID = 7"_s).first().toString(),
                 u"EFBFBE58"_s);
        const Run wideExported = run({u"export"_s, u"--csv"_s, u"-"_s, wide});
        QVERIFY2(!wideExported.err.contains(u"UTF-8"_s), qPrintable(wideExported.err));
    }

    // The contact exports of web mail and mail programs, in English and Italian, in UTF-8 and
    // Windows-1252: every value in its field, what has no field in "Osservazioni" with its header.
    // A column set by --map, and an encoding given, win over the guesses.
    void foreignCsvHeaders_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QStringList>("rows"); // the eleven fields joined by '|', <NULL> for NULL
        QTest::addColumn<QString>("said");     // on standard error
        QTest::newRow("Google, English")
            << u"google_en.csv"_s << QStringList{}
            << QStringList{u"Altro|Esposito Giulia Maria|<NULL>|80134 Napoli (NA)|Via Toledo "
                           u"12|giulia.esposito@example.it|"
                           u"081 555 1234|<NULL>|<NULL>|+39 333 123 4567|Conosciuta a Napoli\nNickname: "
                           u"Giuli\nBirthday: "
                           u"1985-04-12\nLabels: * myContacts\nE-mail 2 - Value: g.esposito@studio.example\n"
                           u"Telefono (Mobile): +39 340 765 4321\nAddress 1 - Country: Italia"_s,
                           u"Altro|Ferramenta Rossi S.r.l.|<NULL>|20124 Milano (MI)|Corso Buenos Aires 3|"
                           u"info@ferramentarossi.example|<NULL>|02 5555 998|02 5555 999|<NULL>|Labels: * "
                           u"myContacts\n"
                           u"Address 1 - Country: Italia"_s}
            << QString();
        QTest::newRow("Outlook, Italian, Windows-1252")
            << u"outlook_it.csv"_s << QStringList{}
            << QStringList{u"Altro|Bianchi Niccolò|Studio Bianchi|47121 Forlì (FC)|Via Garibaldi "
                           u"5|niccolo@bianchi.example|"
                           u"<NULL>|0543 111223|0543 111222|347 1112223|Cliente dal 2001;\r\npreferisce il "
                           u"telefono\n"
                           u"Reparto: Contabilità\nIndirizzo posta elettronica 2: nb@altro.example"_s,
                           u"Altro|Verdi Anna|<NULL>|10123 Torino (TO)|Via Po 1|<NULL>|011 222333|<NULL>|<NULL>|<NULL>|<NULL>"_s}
            << u"Windows-1252"_s;
        QTest::newRow("Thunderbird, Italian")
            << u"thunderbird_it.csv"_s << QStringList{}
            << QStringList{u"Altro|Ferrari Luca|<NULL>|40121 Bologna (BO)|Via Indipendenza "
                           u"8|luca.ferrari@example.it|"
                           u"051 333445|051 333444|<NULL>|<NULL>|Amico di università\n"
                           u"Paese di residenza: Italia"_s,
                           u"Altro|Circolo Scacchi "
                           u"Città|<NULL>|<NULL>|<NULL>|circolo@scacchi.example|<NULL>|<NULL>|"
                           u"<NULL>|<NULL>|<NULL>"_s}
            << QString();
        QTest::newRow("--map and --encoding")
            << u"outlook_it.csv"_s
            << QStringList{u"--encoding"_s, u"cp1252"_s, u"--map"_s,
                           u"Reparto=ulteriore identificativo,Note=(non importare)"_s}
            << QStringList{u"Altro|Bianchi Niccolò|Contabilità|47121 Forlì (FC)|Via Garibaldi "
                           u"5|niccolo@bianchi.example|"
                           u"<NULL>|0543 111223|0543 111222|347 1112223|Indirizzo posta elettronica 2: "
                           u"nb@altro.example\nSocietà: Studio Bianchi"_s,
                           u"Altro|Verdi Anna|<NULL>|10123 Torino (TO)|Via Po 1|<NULL>|011 222333|<NULL>|<NULL>|<NULL>|<NULL>"_s}
            << QString();
    }

    void foreignCsvHeaders()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, options);
        QFETCH(QStringList, rows);
        QFETCH(QString, said);
        const QString book = path(u"estera.mdb"_s);
        QFile::remove(book);
        QCOMPARE(run({u"create"_s, book}).exitCode, 0);
        const Run imported =
            run(QStringList{u"import"_s, u"--csv"_s, QFINDTESTDATA(u"data/csv/"_s + file), book} + options);
        QVERIFY2(imported.exitCode == 0, qPrintable(imported.err));
        QVERIFY2(said.isEmpty() ? imported.err.isEmpty() : imported.err.contains(said),
                 qPrintable(imported.err));
        QStringList got;
        for (const QString& line : shown(rowsOf(book)))
            got.append(line.section(u'|', 1)); // without the ID
        QCOMPARE(got, rows);
    }

    // export --pdf: the list holds the contacts in the book's order with "pagina N di M" on every
    // page; the labels stand where the sheet puts them, from the start position on.
    void printedPages_data()
    {
        QTest::addColumn<int>("contacts");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("pages");
        QTest::addColumn<QList<QPointF>>("corners"); // of the first contacts' names, in mm
        QTest::newRow("list") << 130 << QStringList{} << -1 << QList<QPointF>{}; // more than one page
        QTest::newRow("labels 3x8") << 25 << QStringList{u"--etichette"_s, u"3x8"_s} << 2
                                    << QList<QPointF>{{4, 4.5}, {74, 4.5}, {144, 4.5}, {4, 41.5}};
        QTest::newRow("labels 2x7") << 15 << QStringList{u"--etichette"_s, u"2x7"_s} << 2
                                    << QList<QPointF>{{4, 4.45}, {109, 4.45}, {4, 46.75}};
    }

    void printedPages()
    {
        QFETCH(int, contacts);
        QFETCH(QStringList, options);
        QFETCH(int, pages);
        QFETCH(QList<QPointF>, corners);
        QList<Person> people;
        QStringList names;
        for (int i = 0; i < contacts; ++i) {
            names.append(u"Nome%1"_s.arg(i, 3, 10, QChar(u'0')));
            people.append({{u"Cognone e nome o denominazione"_s, names.last() + u" Rossi"_s},
                           {u"Città"_s, u"Forlì"_s}});
        }
        const QString book = path(u"stampa.mdb"_s), pdf = path(u"stampa.pdf"_s);
        QFile::remove(book);
        QFile::remove(pdf);
        makeAddressBook(book, people);
        const Run printed = run(QStringList{u"export"_s, u"--pdf"_s, pdf, book} + options);
        QVERIFY2(printed.exitCode == 0 && printed.err.isEmpty(), qPrintable(printed.err));
        QProcess text;
        text.start(u"pdftotext"_s, {u"-bbox"_s, pdf, u"-"_s});
        QVERIFY2(text.waitForFinished(60000) && text.exitCode() == 0, "pdftotext (poppler-utils) is needed");
        const QString page = QString::fromUtf8(text.readAllStandardOutput());
        if (pages < 0) {
            pages = int(page.count(u"<page "_s));
            QVERIFY(pages > 1);
            QCOMPARE(page.count(u">pagina</word>"_s), pages);
        }
        QCOMPARE(page.count(u"<page "_s), pages);
        // The words in the order printed, each with its place.
        static const QRegularExpression word(
            u"<word xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\"[^>]*>([^<]*)</word>"_s);
        QStringList order;
        QList<QPointF> placed;
        for (auto m = word.globalMatch(page); m.hasNext();) {
            const auto w = m.next();
            if (w.captured(3).startsWith(u"Nome"_s)) {
                order.append(w.captured(3));
                placed.append({w.captured(1).toDouble() * 25.4 / 72, w.captured(2).toDouble() * 25.4 / 72});
            }
        }
        QCOMPARE(order, names);
        for (qsizetype i = 0; i < corners.size(); ++i)
            QVERIFY2(std::abs(placed.at(i).x() - corners.at(i).x()) < 1.0 &&
                         std::abs(placed.at(i).y() - corners.at(i).y()) < 1.5,
                     qPrintable(u"%1: %2,%3"_s.arg(i).arg(placed.at(i).x()).arg(placed.at(i).y())));
        if (options.isEmpty()) { // "pagina N di M" on every page, in order
            static const QRegularExpression numbered(
                u">pagina</word>\\s*<word[^>]*>(\\d+)</word>\\s*<word[^>]*>di</word>\\s*<word[^>]*>(\\d+)</word>"_s);
            int expected = 0;
            for (auto m = numbered.globalMatch(page); m.hasNext();) {
                const auto found = m.next();
                QCOMPARE(found.captured(1).toInt(), ++expected);
                QCOMPARE(found.captured(2).toInt(), pages);
            }
            QCOMPARE(expected, pages);
        }
    }

    void csvReading()
    {
        // A byte-order mark, ';', a quoted multi-line value, columns in another order and a subset.
        const QByteArray italian = "\xEF\xBB\xBF"
                                   "Città;Genere;Osservazioni\r\n"
                                   "Forlì;Lavoro;\"due\r\nrighe; e \"\"virgolette\"\"\"\r\n"
                                   ";\"\";\r\n";
        CsvResult read = csvRead(italian);
        QVERIFY2(read.errors.isEmpty(), qPrintable(read.errors.join(u'\n')));
        QCOMPARE(read.records.size(), 2);
        QCOMPARE(read.records[0][4].toString(), u"Forlì"_s);
        QCOMPARE(read.records[0][11].toString(), u"due\r\nrighe; e \"virgolette\""_s);
        QVERIFY(read.records[1][4].isNull());
        QVERIFY(!read.records[1][1].isNull() && read.records[1][1].toString().isEmpty());

        // Bad lines are reported with their numbers, and nothing is imported.
        read = csvRead("Genere,Fax\nLavoro,1\nAltro\n\"aperte,2\n");
        QVERIFY(read.errors.size() >= 2);
        QVERIFY2(read.errors.join(u' ').contains(u"riga 3"_s), qPrintable(read.errors.join(u' ')));
        QVERIFY2(read.errors.join(u' ').contains(u"riga 4"_s), qPrintable(read.errors.join(u' ')));
        QVERIFY(csvRead("Compleanno,Genere\n1,Lavoro\n").errors.first().contains(u"«Compleanno»"_s));

        makeAddressBook(path(u"kept.mdb"_s), {{{u"Genere"_s, u"Lavoro"_s}}});
        QFile bad(path(u"bad.csv"_s));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("Genere,Fax\nLavoro,1\nAltro\n");
        bad.close();
        Run refused = run({u"import"_s, u"--csv"_s, u"bad.csv"_s, u"kept.mdb"_s});
        QCOMPARE(refused.exitCode, 1);
        QVERIFY(refused.err.contains(u"riga 3"_s));
        QCOMPARE(query(path(u"kept.mdb"_s), u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 1);
    }

    void vcardReading()
    {
        // 2.1 with quoted-printable in Latin-1 and bare types; 3.0 folded, grouped, escaped; 4.0.
        const QByteArray cards =
            "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Bianchi;Anna\r\n"
            "TEL;HOME;VOICE:02 555\r\nTEL;CELL:333 1\r\nTEL;WORK;FAX:02 9\r\n"
            "NOTE;ENCODING=QUOTED-PRINTABLE;CHARSET=ISO-8859-1:Citt=E0 di mare=0D=0A=\r\nseconda riga\r\n"
            "ADR;WORK:;;Via Po 1;Torino;;10100;Italia\r\nEND:VCARD\r\n"
            "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Rossi\\, Mario\r\nitem1.EMAIL;TYPE=INTERNET:m@r\r\n .it\r\n"
            "CATEGORIES:Lavoro\r\nTEL;TYPE=WORK,VOICE:06 1\r\nNOTE:a\\nb\\;c\r\nEND:VCARD\r\n"
            "BEGIN:VCARD\nVERSION:4.0\nFN:Verdi Luca\nTEL;VALUE=uri;TYPE=\"cell,voice\":+39 347\nEND:VCARD\n";
        VCardResult read = vcardRead(cards);
        QVERIFY2(read.errors.isEmpty(), qPrintable(read.errors.join(u'\n')));
        QCOMPARE(read.records.size(), 3);
        const auto& anna = read.records[0];
        QCOMPARE(anna[2].toString(), u"Bianchi Anna"_s);
        QCOMPARE(anna[7].toString(), u"02 555"_s);
        QCOMPARE(anna[10].toString(), u"333 1"_s);
        QCOMPARE(anna[9].toString(), u"02 9"_s);
        QCOMPARE(anna[11].toString(), u"Città di mare\r\nseconda riga\nCAP: 10100\nPaese: Italia"_s);
        QCOMPARE(anna[5].toString(), u"Via Po 1"_s);
        QCOMPARE(anna[4].toString(), u"Torino"_s);
        const auto& mario = read.records[1];
        QCOMPARE(mario[2].toString(), u"Rossi, Mario"_s);
        QCOMPARE(mario[6].toString(), u"m@r.it"_s);
        QCOMPARE(mario[1].toString(), u"Lavoro"_s);
        QCOMPARE(mario[8].toString(), u"06 1"_s);
        QCOMPARE(mario[11].toString(), u"a\nb;c"_s);
        QCOMPARE(read.records[2][10].toString(), u"+39 347"_s);
        // The import says how many values went into the remarks.
        QFile file(path(u"cards.vcf"_s));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(cards) == cards.size());
        file.close();
        const Run imported = run({u"import"_s, u"--vcard"_s, u"cards.vcf"_s, u"cards.mdb"_s});
        QVERIFY2(imported.out.contains(u"2 valori senza un campo proprio"_s), qPrintable(imported.out));
        QVERIFY(!vcardRead("BEGIN:VCARD\r\nsenza due punti\r\nEND:VCARD\r\n").errors.isEmpty());
        QVERIFY(!vcardRead("BEGIN:VCARD\r\nFN:x\r\n").errors.isEmpty());
        // Folding never splits a letter: every line is at most 75 octets.
        const QByteArray written =
            vcardWrite({{1, QVariant(), QString(200, u'è'), {}, {}, {}, {}, {}, {}, {}, {}, {}}});
        for (const QByteArray& line : written.split('\n'))
            QVERIFY(line.size() <= 76);
        QCOMPARE(vcardRead(written).records.first()[2].toString(), QString(200, u'è'));
    }
};

QTEST_GUILESS_MAIN(TestVinzalDb)
#include "test_vinzal_db.moc"
