// vinzal-db as a user runs it, on real files: what each command makes, and that it never loses,
// truncates or alters a file whatever goes wrong: a refusal, a full disk, an interruption, a special
// file, the same file twice, a damaged Access file, bad IDs, a book left half written.
#include "contact_table.h"
#include "gui_support.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
constexpr bool underAddressSanitizer = true; // its shadow memory alone needs terabytes of addresses
#else
constexpr bool underAddressSanitizer = false;
#endif

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QStringList namesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

int mode(const QString& path)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

int rowsIn(const QString& book)
{
    return query(book, u"SELECT count(*) FROM Nomelia"_s).first().toInt();
}

// Messages of every kind are Italian words only, and speak of no window.
const QRegularExpression foreign(u"\\b(No such|Permission denied|Unknown option|Missing value|error|"
                                 u"finestra|window)\\b"_s,
                                 QRegularExpression::CaseInsensitiveOption);

// The Access fixture: 28 pages of 4096 bytes; the table "Nomelia" has its definition on page 24, its
// rows on pages 25 and 26 and its long remarks on page 27; pages 6 and 14 hold the catalog.
const QList<std::pair<qsizetype, int>> damages{{100000, -1}, {27 * 4096, -1}, {26 * 4096, -1}, {-1, 24},
                                               {-1, 25},     {-1, 27},        {-1, 6},         {-1, 10}};

} // namespace

class TestVinzalDb : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir; // every kind of target a refusal must leave alone
    SmallDisk m_disk{256};

    QString path(const QString& name) const { return m_dir.filePath(name); }
    Run db(const QStringList& arguments, const QString& folder = {})
    {
        return vinzalDb(arguments, folder.isEmpty() ? m_dir.path() : folder);
    }

    // Starts `arguments` in `folder` and returns once `started` says it is in the middle of writing.
    static void startWriting(QProcess& process, const QString& folder, const QStringList& arguments,
                             const std::function<bool()>& started)
    {
        process.setWorkingDirectory(folder);
        process.start(QStringLiteral(VINZAL_DB), arguments);
        QVERIFY(process.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(started(), 60000);
        QTest::qWait(100);
        QCOMPARE(process.state(), QProcess::Running);
    }

private slots:
    void initTestCase()
    {
        QCOMPARE(db({u"demo"_s, u"small.mdb"_s, u"--rows"_s, u"5"_s}).code, 0);
        QCOMPARE(db({u"demo"_s, u"big.mdb"_s, u"--rows"_s, u"3000"_s}).code, 0);
        for (const QString& format : {u"csv"_s, u"vcard"_s, u"xlsx"_s})
            QCOMPARE(db({u"export"_s, u"--"_s + format, u"old."_s + format, u"small.mdb"_s}).code, 0);
        QCOMPARE(db({u"export"_s, u"--csv"_s, u"big.csv"_s, u"big.mdb"_s}).code, 0);
        QVERIFY(QFile::copy(path(u"small.mdb"_s), path(u"Vinzal.mdb"_s)));
        QVERIFY(QFile::copy(path(u"small.mdb"_s), path(u"kept.mdb"_s)));
        const QByteArray jet = fileBytes(QFINDTESTDATA("data/jet/Vinzal-jet4.mdb"));
        writeFile(path(u"access.mdb"_s), jet);
        writeFile(path(u"other.mdb"_s), fileBytes(QFINDTESTDATA("data/jet/testUnicodeCompV2003.mdb")));
        for (qsizetype d = 0; d < damages.size(); ++d) {
            QByteArray bytes = jet;
            if (damages[d].first >= 0)
                bytes.truncate(damages[d].first);
            if (damages[d].second >= 0)
                bytes.replace(damages[d].second * 4096, 4096, QByteArray(4096, '\0'));
            writeFile(path(u"damaged%1.mdb"_s.arg(d)), bytes);
        }
        QByteArray scrambled = jet;
        for (qsizetype i = 4096; i < scrambled.size(); i += 7)
            scrambled[i] = char(scrambled[i] ^ 0x5a);
        writeFile(path(u"scrambled.mdb"_s), scrambled);
        writeFile(path(u"bad.mdb"_s), QByteArray(8192, 'x'));
        writeFile(path(u"bad.csv"_s), "Genere,Fax\nLavoro,1\nAltro\n");
        writeFile(path(u"ids.csv"_s), "ID,Genere\r\n0,a\r\n-1,b\r\n2147483648,c\r\n9223372036854775807,d\r\n"
                                      "abc,e\r\n1,f\r\n2147483647,g\r\n,h\r\n");
        writeFile(path(u"huge.vcf"_s),
                  "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:a\r\nEND:VCARD\r\nBEGIN:VCARD\r\n"
                  "VERSION:3.0\r\nFN:b\r\nUID:vinzal-9223372036854775807\r\nEND:VCARD\r\n");
        // A book whose IDs are used up: the edges of the range are kept.
        writeFile(path(u"edges.csv"_s), "ID,Genere\r\n1,f\r\n2147483647,g\r\n");
        QCOMPARE(db({u"import"_s, u"--csv"_s, u"edges.csv"_s, u"edges.mdb"_s}).code, 0);
        QCOMPARE(query(path(u"edges.mdb"_s), u"SELECT max(ID) FROM Nomelia"_s).first().toLongLong(),
                 2147483647);
        writeFile(path(u"lone.csv"_s), "Genere\r\nnuovo\r\n");
        // Another program gave a contact the highest ID there is: no ID is left to give.
        QVERIFY(QFile::copy(path(u"small.mdb"_s), path(u"usedup.mdb"_s)));
        query(path(u"usedup.mdb"_s),
              u"INSERT INTO Nomelia (ID, Genere) VALUES (9223372036854775807, 'Altro')"_s);
        QVERIFY(::mkfifo(QFile::encodeName(path(u"fifo"_s)).constData(), 0600) == 0);
        QVERIFY(QDir(m_dir.path()).mkdir(u"cartella"_s));
        QVERIFY(QFile::link(path(u"Vinzal.mdb"_s), path(u"alias.csv"_s)));
        QVERIFY(QFile::link(path(u"nowhere"_s), path(u"dangling.csv"_s)));
    }

    // Every refusal: its exit code, an Italian message saying why (never a hint to use --force), and
    // not one byte changed nor one file added in the folder. The cases are rows of data/refusals.txt.
    void refusalsChangeNothing_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("said");
        const QString folder = QFileInfo(m_dir.path()).fileName();
        for (QStringList row : tableRows(QFINDTESTDATA("data/refusals.txt")))
            QTest::newRow(qPrintable(row[0]))
                << row[2].replace(u"DIR"_s, folder).split(u' ', Qt::SkipEmptyParts) << row[1].toInt()
                << listIn(row[3]);
    }

    void refusalsChangeNothing()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QStringList, said);
        const auto before = snapshot(m_dir.path());
        const Run refused =
            run(QStringLiteral(VINZAL_DB), arguments, m_dir.path(), {}, [](QProcess& process) {
                // Far more than a refusal needs, far less than reading /dev/zero would take.
                if (!underAddressSanitizer)
                    process.setChildProcessModifier([] {
                        const struct rlimit limit = {qint64(1) << 30, qint64(1) << 30};
                        ::setrlimit(RLIMIT_AS, &limit);
                    });
            });
        const QByteArray shownRun = (arguments.join(u' ') + u" → "_s + refused.err).toUtf8();
        QVERIFY2(refused.code == code, shownRun);
        QVERIFY2(refused.out.isEmpty() && !refused.err.isEmpty(), shownRun);
        for (const QString& words : said)
            QVERIFY2(words.startsWith(u'!') ? !refused.err.contains(words.mid(1))
                                            : refused.err.contains(words),
                     shownRun);
        QVERIFY2(code == 2 || !refused.err.contains(u"--force"_s), shownRun);
        QVERIFY2(!foreign.match(refused.err).hasMatch(), shownRun);
        QCOMPARE(snapshot(m_dir.path()), before);
        struct stat null = {};
        QVERIFY(::stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode));
    }

    // A write that fails on the way (a full disk, a file size limit, standard output that takes
    // nothing or is the book read): exit 1 with an Italian message naming the file, the old files
    // byte for byte, and nothing else left in the folder.
    void writeFailuresKeepTheOldFiles_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QStringList>("attempt");
        const QString big = path(u"big.mdb"_s), csv = path(u"big.csv"_s);
        const QList<QStringList> attempts{
            {u"demo"_s, u"Vinzal.mdb"_s, u"--rows"_s, u"5000"_s, u"--force"_s},
            {u"export"_s, u"--csv"_s, u"old.csv"_s, big, u"--force"_s},
            {u"export"_s, u"--vcard"_s, u"new.vcf"_s, big},
            // A workbook's parts are compressed: the limit is met by what is written, not by the XML
            // it is made of, and no temporary file outside the target's folder may hide it.
            {u"export"_s, u"--xlsx"_s, u"old.xlsx"_s, big, u"--force"_s},
            {u"import"_s, u"--csv"_s, csv, u"new.mdb"_s},
            {u"import"_s, u"--csv"_s, csv, u"Vinzal.mdb"_s}};
        for (const QString& how : {u"disco pieno"_s, u"limite"_s})
            for (const QStringList& attempt : attempts)
                if (how == u"disco pieno"_s || attempt.last() != u"Vinzal.mdb"_s)
                    QTest::addRow("%s: %s %s", qPrintable(how), qPrintable(attempt[0]),
                                  qPrintable(attempt[2]))
                        << how << attempt;
        QTest::newRow("standard output full")
            << u"/dev/full"_s << QStringList{u"export"_s, u"--csv"_s, u"-"_s, u"Vinzal.mdb"_s};
        QTest::newRow("standard output on the book")
            << u"Vinzal.mdb"_s << QStringList{u"export"_s, u"--csv"_s, u"-"_s, u"Vinzal.mdb"_s};
    }

    void writeFailuresKeepTheOldFiles()
    {
        QFETCH(QString, how);
        QFETCH(QStringList, attempt);
        if (how == u"disco pieno"_s && !m_disk.mounted())
            QSKIP("A full disk is a 256 kB tmpfs, which only root can mount: not tested here.");
        QTemporaryDir other;
        const QString folder = how == u"disco pieno"_s ? m_disk.path() : other.path();
        for (const QString& name : namesIn(folder))
            QVERIFY(QFile::remove(folder + u'/' + name));
        for (const QString& name : {u"old.csv"_s, u"old.vcard"_s, u"old.xlsx"_s, u"Vinzal.mdb"_s})
            QVERIFY(QFile::copy(path(name), folder + u'/' + name));
        const auto before = snapshot(folder);
        const Run failed = run(QStringLiteral(VINZAL_DB), attempt, folder, {}, [&](QProcess& process) {
            if (how == u"limite"_s)
                process.setChildProcessModifier([] {
                    const struct rlimit limit = {96 * 1024, 96 * 1024};
                    ::setrlimit(RLIMIT_FSIZE, &limit);
                });
            else if (how != u"disco pieno"_s)
                process.setStandardOutputFile(how.startsWith(u'/') ? how : folder + u'/' + how,
                                              QIODevice::Append);
        });
        const QByteArray shownRun = (attempt.join(u' ') + u" → "_s + failed.err).toUtf8();
        QVERIFY2(failed.code == 1 && failed.out.isEmpty(), shownRun);
        const QString target = attempt.at(attempt[0] == u"demo"_s ? 1 : attempt[0] == u"export"_s ? 2 : 3);
        if (how == u"disco pieno"_s)
            QVERIFY2(failed.err.contains(u"disco è pieno"_s) && failed.err.contains(target + u"»"_s),
                     shownRun);
        QVERIFY2(failed.err.contains(u"non è stato"_s, Qt::CaseInsensitive) ||
                     failed.err.contains(u"uscita standard"_s),
                 shownRun);
        QCOMPARE(snapshot(folder), before);
    }

    // Killed while writing: the old book stays byte for byte, and no temporary file or journal is
    // left. A new book is built aside; rows added to a book go in one transaction, rolled back.
    void interruptionKeepsTheOldFile_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("import");
        QTest::newRow("demo, SIGTERM") << int(SIGTERM) << false;
        QTest::newRow("demo, SIGINT") << int(SIGINT) << false;
        QTest::newRow("import, SIGTERM") << int(SIGTERM) << true;
        QTest::newRow("import, SIGINT") << int(SIGINT) << true;
    }

    void interruptionKeepsTheOldFile()
    {
        QFETCH(int, signal);
        QFETCH(bool, import);
        const QString many = path(u"many.csv"_s);
        if (import && !QFile::exists(many)) {
            QCOMPARE(db({u"demo"_s, u"many.mdb"_s, u"--rows"_s, u"200000"_s}).code, 0);
            QCOMPARE(db({u"export"_s, u"--csv"_s, many, u"many.mdb"_s}).code, 0);
            QVERIFY(QFile::remove(path(u"many.mdb"_s)));
        }
        QTemporaryDir folder;
        QVERIFY(QFile::copy(path(u"small.mdb"_s), folder.filePath(u"Vinzal.mdb"_s)));
        const auto before = snapshot(folder.path());
        QProcess process;
        if (import)
            startWriting(process, folder.path(), {u"import"_s, u"--csv"_s, many},
                         [&] { return QFileInfo::exists(folder.filePath(u"Vinzal.mdb-journal"_s)); });
        else
            startWriting(process, folder.path(), {u"demo"_s, u"--rows"_s, u"5000000"_s, u"--force"_s},
                         [&] { return namesIn(folder.path()).size() > 2; });
        if (QTest::currentTestFailed())
            return;
        ::kill(pid_t(process.processId()), signal);
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::CrashExit);
        QCOMPARE(snapshot(folder.path()), before);
    }

    // SIGKILL gives no chance to tidy up. The next run for the same name removes what a dead run left
    // (its temporary book, the half-built one, their journals), and nothing else: not the files of a
    // run still alive (here one stopped), not a family written a moment ago, not another name's, not
    // a link, not one read as the source of a copy onto that name.
    void leftoversOfAKilledRunAreRemoved()
    {
        QTemporaryDir folder;
        const auto in = [&](const QString& name) { return folder.filePath(name); };
        QVERIFY(QFile::copy(path(u"small.mdb"_s), in(u"Vinzal.mdb"_s)));
        QProcess process;
        startWriting(process, folder.path(), {u"demo"_s, u"--rows"_s, u"5000000"_s, u"--force"_s},
                     [&] { return namesIn(folder.path()).size() > 2; });
        if (QTest::currentTestFailed())
            return;
        ::kill(pid_t(process.processId()), SIGSTOP);
        QTest::qWait(100);
        const QStringList left = namesIn(folder.path());
        const auto age = [&](const QString& name) {
            struct timespec times[2] = {{::time(nullptr) - 120, 0}, {::time(nullptr) - 120, 0}};
            return ::utimensat(AT_FDCWD, QFile::encodeName(in(name)).constData(), times,
                               AT_SYMLINK_NOFOLLOW) == 0;
        };
        const QString fresh = u".Vinzal.mdb.89abcdef.vinzal-tmp"_s,
                      other = u".Altro.mdb.01234567.vinzal-tmp"_s,
                      link = u".Vinzal.mdb.11111111.vinzal-tmp"_s;
        for (const QString& name : {fresh, other, u"prezioso"_s})
            writeFile(in(name), "dati");
        QVERIFY(QFile::link(in(u"prezioso"_s), in(link)));
        for (const QString& name : left + QStringList{other, link, u"prezioso"_s})
            QVERIFY(age(name));
        const auto makeBook = [&] {
            return db({u"demo"_s, in(u"Vinzal.mdb"_s), u"--rows"_s, u"10"_s, u"--force"_s}).code;
        };
        QCOMPARE(makeBook(), 0);
        QStringList all = left + QStringList{fresh, other, link, u"prezioso"_s};
        all.sort();
        QCOMPARE(namesIn(folder.path()), all); // the stopped run's files are still its own

        ::kill(pid_t(process.processId()), SIGKILL);
        QVERIFY(process.waitForFinished(20000));
        for (const QString& name : left)
            QVERIFY(age(name));
        QCOMPARE(makeBook(), 0);
        QStringList expected{u"Vinzal.mdb"_s, fresh, other, link, u"prezioso"_s};
        expected.sort();
        QCOMPARE(namesIn(folder.path()), expected);
        QCOMPARE(fileBytes(in(u"prezioso"_s)), QByteArray("dati"));
        QCOMPARE(rowsIn(in(u"Vinzal.mdb"_s)), 10);
        const QString saved = u".Vinzal.mdb.2468ace0.vinzal-tmp"_s;
        QVERIFY(QFile::copy(in(u"Vinzal.mdb"_s), in(saved)) && age(saved));
        QCOMPARE(db({u"copy"_s, in(saved), in(u"Vinzal.mdb"_s), u"--force"_s}).code, 0);
        QVERIFY(QFileInfo::exists(in(saved)));
    }

    // create, demo and the reports: an empty book of ours, never over another unless --force; a demo
    // the same for the same seed and realistic; singular and plural. (--help is compared with the
    // manual page and --version with the project's by the packaging tests.)
    void createDemoAndReports()
    {
        QTemporaryDir folder;
        const QString book = folder.filePath(contacts::fileName());
        QCOMPARE(db({u"create"_s}, folder.path()).code, 0);
        QCOMPARE(rowsIn(book), 0);
        QCOMPARE(query(book, u"PRAGMA application_id"_s).first().toInt(), 0x565A4C31);
        query(book, u"INSERT INTO Nomelia(Genere) VALUES ('Lavoro')"_s);
        QCOMPARE(db({u"create"_s, u"--force"_s}, folder.path()).code, 0);
        QCOMPARE(rowsIn(book), 0);
        QCOMPARE(snapshot(folder.path()).keys(), QStringList{contacts::fileName()}); // no temporary file

        for (const QString& name : {u"a.mdb"_s, u"b.mdb"_s})
            QCOMPARE(db({u"demo"_s, name, u"--rows"_s, u"500"_s, u"--seed"_s, u"7"_s}, folder.path()).code,
                     0);
        const QString a = folder.filePath(u"a.mdb"_s);
        const QString all =
            u"SELECT group_concat(coalesce(Genere,'') || Città || coalesce(Telefonino,''), '|') FROM Nomelia"_s;
        QCOMPARE(query(a, all), query(folder.filePath(u"b.mdb"_s), all));
        QCOMPARE(rowsIn(a), 500);
        const auto count = [&](const QString& where) {
            return query(a, u"SELECT count(*) FROM Nomelia WHERE "_s + where).first().toInt();
        };
        const int valid = count(u"Genere COLLATE BINARY IN ('Famiglia-Amici','Lavoro','Altro')"_s);
        QVERIFY2(valid > 400 && valid < 500, qPrintable(QString::number(valid)));
        QVERIFY(count(u"Osservazioni LIKE '%' || char(10) || '%'"_s) > 0);
        QVERIFY(count(u"\"E-Mail\" IS NULL"_s) > 0);
        QVERIFY(count(u"\"E-Mail\" LIKE '%@%.%'"_s) > 200);
        QCOMPARE(db({u"check"_s, u"a.mdb"_s}, folder.path()).code, 0);

        QVERIFY(QFile::copy(path(u"small.mdb"_s), folder.filePath(u"-dash.mdb"_s)));
        QCOMPARE(db({u"check"_s, u"--"_s, u"-dash.mdb"_s}, folder.path()).code, 0);
        const auto said = [&](const QStringList& arguments) { return db(arguments, folder.path()).out; };
        QVERIFY(said({u"demo"_s, u"one.mdb"_s, u"--rows"_s, u"1"_s, u"--seed"_s, u"99"_s})
                    .contains(u"con 1 contatto in"_s));
        QVERIFY(said({u"export"_s, u"--csv"_s, u"one.csv"_s, u"one.mdb"_s})
                    .startsWith(u"Esportato 1 contatto "_s));
        QVERIFY(said({u"export"_s, u"--csv"_s, u"five.csv"_s, path(u"small.mdb"_s)})
                    .startsWith(u"Esportati 5 contatti "_s));
        QVERIFY(said({u"import"_s, u"--csv"_s, u"five.csv"_s, u"one.mdb"_s})
                    .startsWith(u"Aggiunti 5 contatti "_s));
        QVERIFY(said({u"import"_s, u"--csv"_s, u"one.csv"_s, u"one.mdb"_s})
                    .contains(u"Saltato 1 contatto già presente"_s));
    }

    // check tells what is wrong, and changes nothing: a missing index, another collation, a column
    // that is not TEXT, a book left with a hot journal (played back only once opened for writing),
    // a book another program is writing, bytes that are no book.
    void checkTellsTheTruth()
    {
        QTemporaryDir folder;
        const auto in = [&](const QString& name) { return folder.filePath(name); };
        // Reading the folder would drop the locks SQLite holds in this process (POSIX locks go with
        // any descriptor closed), so a held book is not compared.
        const auto check = [&](const QString& book, const QString& said, bool held = false) {
            const auto before = held ? decltype(snapshot({})){} : snapshot(folder.path());
            const Run checked = db({u"check"_s, book}, folder.path());
            QVERIFY2(checked.code == 1 && checked.err.contains(said), qPrintable(checked.err));
            QVERIFY2(!foreign.match(checked.err).hasMatch(), qPrintable(checked.err));
            if (!held)
                QCOMPARE(snapshot(folder.path()), before);
        };
        QCOMPARE(db({u"create"_s, in(u"c.mdb"_s)}).code, 0);
        query(in(u"c.mdb"_s), u"DROP INDEX \"Città\""_s);
        query(in(u"c.mdb"_s), u"CREATE INDEX \"Fax2\" ON Nomelia(Indirizzo)"_s);
        query(in(u"c.mdb"_s), u"DROP INDEX \"Telefonino\""_s);
        query(in(u"c.mdb"_s), u"CREATE INDEX \"Telefonino\" ON Nomelia(Telefonino COLLATE BINARY)"_s);
        check(u"c.mdb"_s, u"manca l'indice «Città»"_s);
        check(u"c.mdb"_s, u"«Telefonino» non usa la collazione NOCASE"_s);
        check(path(u"usedup.mdb"_s), u"gli ID della rubrica sono esauriti"_s);

        QString table = query(in(u"c.mdb"_s), u"SELECT sql FROM sqlite_master WHERE name = 'Nomelia'"_s)
                            .first()
                            .toString();
        query(in(u"integer.mdb"_s), u"PRAGMA application_id = 1448758321"_s);
        query(in(u"integer.mdb"_s), table.replace(u"\"Telefonino\" TEXT"_s, u"\"Telefonino\" INTEGER"_s));
        check(u"integer.mdb"_s, u"«Telefonino» è dichiarato di tipo «INTEGER»"_s);
        writeFile(in(u"junk.mdb"_s), "not a database at all");
        check(u"junk.mdb"_s, u"junk.mdb"_s);

        // A writer caught in the middle of a transaction, its pages already spilled into the file:
        // a copy of the file and its journal is what a crash leaves.
        QCOMPARE(db({u"demo"_s, in(u"live.mdb"_s), u"--rows"_s, u"2000"_s}).code, 0);
        const QString towns = u"SELECT group_concat(Città, '|') FROM Nomelia"_s;
        const QVariantList original = query(in(u"live.mdb"_s), towns);
        const auto holding = [&](const QStringList& statements, const std::function<void()>& meanwhile) {
            {
                QSqlDatabase sqlite = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"writer"_s);
                sqlite.setDatabaseName(in(u"live.mdb"_s));
                QVERIFY(sqlite.open());
                QSqlQuery writer(sqlite);
                for (const QString& statement : statements)
                    QVERIFY(writer.exec(statement));
                meanwhile();
                QVERIFY(writer.exec(u"ROLLBACK"_s));
            }
            QSqlDatabase::removeDatabase(u"writer"_s);
        };
        holding({u"PRAGMA cache_size = 2"_s, u"BEGIN"_s,
                 u"UPDATE Nomelia SET Città = 'X' || Città, Osservazioni = hex(randomblob(200))"_s},
                [&] {
                    QVERIFY(QFile::copy(in(u"live.mdb-journal"_s), in(u"crashed.mdb-journal"_s)));
                    QVERIFY(QFile::copy(in(u"live.mdb"_s), in(u"crashed.mdb"_s)));
                });
        check(u"crashed.mdb"_s, u"va ripristinata"_s);
        check(u"crashed.mdb"_s, u"crashed.mdb-journal"_s);
        QCOMPARE(query(in(u"crashed.mdb"_s), towns), original); // opened for writing: put back
        QVERIFY(!QFile::exists(in(u"crashed.mdb-journal"_s)));
        QCOMPARE(db({u"check"_s, u"crashed.mdb"_s}, folder.path()).code, 0);
        holding({u"BEGIN EXCLUSIVE"_s},
                [&] { check(u"live.mdb"_s, u"un altro programma vi sta scrivendo"_s, true); });
    }

    // An Access file imports exactly (the empty text read as NULL, as libmdb does), also with a
    // page it does not use damaged; new rows continue after the highest ID. Converted in place, the
    // original is kept aside byte for byte; never through a link, which would replace its target.
    void accessFilesImport()
    {
        // The expected values with the empty text read as NULL, as libmdb does.
        const QString expected =
            QString::fromUtf8(fileBytes(QFINDTESTDATA("data/jet/Vinzal-jet4.expected.csv")))
                .replace(QRegularExpression(u",\"\"(?=,|\r\n)"_s), u","_s);
        QTemporaryDir folder;
        for (const QString& source : {path(u"access.mdb"_s), path(u"damaged7.mdb"_s)}) {
            const QString book = folder.filePath(QFileInfo(source).fileName());
            const Run imported = db({u"import"_s, source, book});
            QVERIFY2(imported.code == 0 && imported.out.contains(u"Importati 12 contatti"_s),
                     qPrintable(imported.err));
            QCOMPARE(db({u"export"_s, u"--csv"_s, u"-"_s, book}).out, expected);
            QCOMPARE(db({u"check"_s, book}).code, 0);
            query(book, u"INSERT INTO Nomelia(Genere) VALUES ('Lavoro')"_s);
            QCOMPARE(query(book, u"SELECT max(ID) FROM Nomelia"_s).first().toInt(), 31);
        }
        QTemporaryDir here;
        QVERIFY(QFile::copy(path(u"access.mdb"_s), here.filePath(u"Vinzal.mdb"_s)));
        QCOMPARE(db({u"import"_s, u"Vinzal.mdb"_s}, here.path()).code, 0);
        const auto files = snapshot(here.path());
        QCOMPARE(files.size(), 2);
        QCOMPARE(files.value(files.keys().filter(u"Vinzal-access-"_s).value(0)),
                 fileBytes(path(u"access.mdb"_s)));
        QCOMPARE(rowsIn(here.filePath(u"Vinzal.mdb"_s)), 12);

        QTemporaryDir linked;
        QVERIFY(QFile::copy(path(u"access.mdb"_s), linked.filePath(u"real.mdb"_s)));
        QVERIFY(QFile::link(u"real.mdb"_s, linked.filePath(u"Vinzal.mdb"_s)));
        const auto before = snapshot(linked.path());
        const Run refused = db({u"import"_s, u"Vinzal.mdb"_s}, linked.path());
        QVERIFY2(refused.code == 1 && refused.err.contains(u"collegamento simbolico"_s),
                 qPrintable(refused.err));
        QCOMPARE(snapshot(linked.path()), before);
    }

    // Rows already in the book (all eleven fields equal, exactly) are skipped and counted, unless
    // --keep-duplicates; the rows added get new IDs after the highest.
    void duplicatesAreSkipped()
    {
        QTemporaryDir folder;
        const QString book = folder.filePath(u"dup.mdb"_s);
        makeAddressBook(book, {{{u"Genere"_s, u"Lavoro"_s}, {u"Città"_s, u"Forlì"_s}},
                               {{u"Cognone e nome o denominazione"_s, u"Rossi"_s}}});
        // The first two are in the book; the others differ by case, by an empty text against NULL,
        // or altogether.
        writeFile(folder.filePath(u"dup.csv"_s), "ID,Genere,Città,Cognone e nome o denominazione,Fax\r\n"
                                                 "7,Lavoro,Forlì,,\r\n,,,Rossi,\r\n,,,rossi,\r\n"
                                                 ",,,Rossi,\"\"\r\n,Altro,,Bianchi,\r\n");
        const auto import = [&](const QStringList& more) {
            return db(QStringList{u"import"_s, u"--csv"_s, u"dup.csv"_s, book} + more, folder.path()).out;
        };
        QString said = import({});
        QVERIFY2(said.contains(u"Aggiunti 3 contatti"_s) &&
                     said.contains(u"Saltati 2 contatti già presenti"_s),
                 qPrintable(said));
        said = import({});
        QVERIFY2(said.contains(u"Aggiunti 0 contatti"_s) && said.contains(u"Saltati 5"_s), qPrintable(said));
        QCOMPARE(rowsIn(book), 5);
        said = import({u"--keep-duplicates"_s});
        QVERIFY2(said.contains(u"Aggiunti 5 contatti"_s) && !said.contains(u"Saltat"_s), qPrintable(said));
        QCOMPARE(query(book, u"SELECT group_concat(ID) FROM Nomelia"_s).first().toString(),
                 u"1,2,3,4,5,6,7,8,9,10"_s);

        // Into an empty book the indexes are built once, after the rows: all there, the book sound.
        const QString empty = folder.filePath(u"vuota.mdb"_s);
        QCOMPARE(db({u"create"_s, empty}).code, 0);
        QCOMPARE(db({u"import"_s, u"--csv"_s, path(u"big.csv"_s), empty}).code, 0);
        QCOMPARE(rowsIn(empty), 3000);
        QCOMPARE(db({u"check"_s, empty}).code, 0);
    }

    // Bytes that are not UTF-8 and blobs, put into a book by another program, are exported as they
    // are, and the export says how many; a book another program made in UTF-16 is valid text: copied
    // into UTF-8 with nothing to say, a U+FFFE in front kept, not taken for a byte order.
    void bytesThatAreNotUtf8()
    {
        QTemporaryDir folder;
        const QString book = folder.filePath(u"raw.mdb"_s);
        QCOMPARE(db({u"demo"_s, book, u"--rows"_s, u"4"_s}).code, 0);
        query(book, u"UPDATE Nomelia SET \"Città\" = CAST(x'466f726cec' AS TEXT) WHERE ID = 2"_s);
        query(book,
              u"UPDATE Nomelia SET Osservazioni = CAST(x'41a042c0af' AS TEXT), Fax = 'già' WHERE ID = 3"_s);
        // A byte-order mark is valid UTF-8, but SQLite drops it from a text bound as UTF-16.
        query(book, u"UPDATE Nomelia SET Fax = CAST(x'efbbbf41' AS TEXT) WHERE ID = 4"_s);
        query(book, u"UPDATE Nomelia SET Indirizzo = x'', Telefonino = x'00ff' WHERE ID = 1"_s);
        const Run exported = db({u"export"_s, u"--csv"_s, folder.filePath(u"raw.csv"_s), book});
        QCOMPARE(exported.code, 0);
        QVERIFY(fileBytes(folder.filePath(u"raw.csv"_s)).contains(",Forl\xec,"));
        QVERIFY2(exported.err.contains(u"3 campi non sono testo UTF-8 valido (li ha scritti"_s) &&
                     exported.err.contains(u"i loro byte sono scritti come sono"_s) &&
                     exported.err.contains(u"2 campi non sono testo ma dati di altro tipo"_s),
                 qPrintable(exported.err));
        // One field is worded as one.
        const QString one = folder.filePath(u"one.mdb"_s);
        QCOMPARE(db({u"demo"_s, one, u"--rows"_s, u"1"_s}).code, 0);
        query(one, u"UPDATE Nomelia SET \"Città\" = CAST(x'466f726cec' AS TEXT)"_s);
        const QString said = db({u"export"_s, u"--vcard"_s, u"-"_s, one}).err;
        QVERIFY2(said.contains(u"un campo non è testo UTF-8 valido (lo ha scritto un altro programma)"_s) &&
                     said.contains(u"i suoi byte sono scritti come sono"_s),
                 qPrintable(said));

        const QString wide = folder.filePath(u"utf16.mdb"_s), wideCopy = folder.filePath(u"utf16-copy.mdb"_s);
        {
            QSqlDatabase sqlite = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"utf16"_s);
            sqlite.setDatabaseName(wide);
            QVERIFY(sqlite.open());
            QSqlQuery create(sqlite);
            QStringList columns{u"ID INTEGER PRIMARY KEY"_s};
            for (const QString& field : contacts::fields().mid(1))
                columns.append(quoteIdentifier(field) + u" TEXT"_s);
            QVERIFY(create.exec(u"PRAGMA encoding = 'UTF-16le'"_s));
            QVERIFY(create.exec(u"CREATE TABLE Nomelia ("_s + columns.join(u", "_s) + u")"_s));
            QVERIFY(create.exec(
                u"INSERT INTO Nomelia (ID, \"Città\", Fax) VALUES (7, 'Forlì', CAST(x'feff5800' AS TEXT))"_s));
        }
        QSqlDatabase::removeDatabase(u"utf16"_s);
        const Run copied = db({u"copy"_s, wide, wideCopy});
        QVERIFY2(copied.code == 0 && copied.err.isEmpty(), qPrintable(copied.err));
        QCOMPARE(query(wideCopy, u"SELECT hex(\"Città\") || hex(Fax) FROM Nomelia WHERE ID = 7"_s)
                     .first()
                     .toString(),
                 u"466F726CC3ACEFBFBE58"_s);
        QVERIFY(!db({u"export"_s, u"--csv"_s, u"-"_s, wide}).err.contains(u"UTF-8"_s));
    }

    // The contact exports of web mail and mail programs, in English and Italian, in UTF-8 and
    // Windows-1252: every value in its field, what has no field in "Osservazioni" with its header.
    // A column set by --map, and an encoding given, win over the guesses. The book imported is
    // compared, exported, with the one expected (data/csv/*.expected.csv).
    void foreignCsvHeaders_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("said"); // on standard error
        for (const QStringList& row : tableRows(QFINDTESTDATA("data/csv/imports.txt")))
            QTest::newRow(qPrintable(row[0])) << row[1] << listIn(row[2]) << row[3];
    }

    void foreignCsvHeaders()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, options);
        QFETCH(QString, said);
        QTemporaryDir folder;
        const QString book = folder.filePath(u"estera.mdb"_s);
        QCOMPARE(db({u"create"_s, book}).code, 0);
        const QString data = QFINDTESTDATA(u"data/csv/"_s + file);
        const QString format = data.endsWith(u".vcf"_s) ? u"--vcard"_s : u"--csv"_s;
        const Run imported = db(QStringList{u"import"_s, format, data, book} + options);
        QVERIFY2(imported.code == 0, qPrintable(imported.err));
        QVERIFY2(said.isEmpty() ? imported.err.isEmpty() : imported.err.contains(said),
                 qPrintable(imported.err));
        // Beside the file imported; compared byte for byte, as text that is not UTF-8 is kept.
        const QString expected =
            QFileInfo(data).path() + u'/' + QString::fromLatin1(QTest::currentDataTag()) + u".expected.csv"_s;
        QCOMPARE(db({u"export"_s, u"--csv"_s, u"exported.csv"_s, book}, folder.path()).code, 0);
        QCOMPARE(fileBytes(folder.filePath(u"exported.csv"_s)), fileBytes(expected));
    }

    // export --pdf: the list holds the contacts in the book's order with "pagina N di M" on every
    // page; the labels stand where the sheet puts them, from the start position on.
    void printedPages_data()
    {
        QTest::addColumn<int>("contacts");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("pages");
        QTest::addColumn<QList<QPointF>>("corners"); // of the first contacts' names, in mm
        // A field and its value on every contact ("10MB": a name of 10 MB on the first), and the
        // list's column it is printed in, from and to in mm: wrapped inside it, never cut short. On
        // labels, every word of it printed.
        QTest::addColumn<QString>("extra");
        QTest::addColumn<QPointF>("column");
        QTest::addColumn<QString>("said"); // after the line saying where the pages were written
        const QStringList labels3x8{u"--etichette"_s, u"3x8"_s};
        QTest::newRow("list") << 130 << QStringList{} << -1 << QList<QPointF>{} << QString() << QPointF()
                              << QString(); // more than one page
        QTest::newRow("labels 3x8") << 25 << labels3x8 << 2
                                    << QList<QPointF>{{4, 4.5}, {74, 4.5}, {144, 4.5}, {4, 41.5}} << QString()
                                    << QPointF() << QString();
        QTest::newRow("labels 2x7") << 15 << QStringList{u"--etichette"_s, u"2x7"_s} << 2
                                    << QList<QPointF>{{4, 4.45}, {109, 4.45}, {4, 46.75}} << QString()
                                    << QPointF() << QString();
        QTest::newRow("list, long phone numbers wrap")
            << 70 << QStringList{} << -1 << QList<QPointF>{}
            << u"Telefono Ufficio=0543 123456 interno 7, 0543 654321 centralino"_s << QPointF(133.8, 162.6)
            << QString();
        QTest::newRow("list, a long e-mail wraps inside the word")
            << 70 << QStringList{} << -1 << QList<QPointF>{}
            << u"E-Mail=mario.rossi.amministrazione@studio-legale-esempio.example.it"_s << QPointF(162.6, 195)
            << QString();
        QTest::newRow("list, a name of 10 MB")
            << 3 << QStringList{} << 1 << QList<QPointF>{} << u"10MB"_s << QPointF(15, 65.4) << QString();
        QTest::newRow("labels, a long address wraps")
            << 25 << labels3x8 << 2 << QList<QPointF>{{4, 4.5}}
            << u"Indirizzo=Via del Lavoro 1234/B scala C interno 56 presso lo studio associato Bianchi"_s
            << QPointF() << QString();
        QTest::newRow("labels, an address too long for the smallest type")
            << 3 << labels3x8 << 1 << QList<QPointF>{} << u"Indirizzo="_s + u"parola "_s.repeated(200)
            << QPointF() << u"3 etichette non entrano per intero"_s;
        QTest::newRow("labels, contacts without an address left off")
            << 3 << labels3x8 << 1 << QList<QPointF>{} << u"Indirizzo="_s << QPointF()
            << u"Lasciati fuori 3 contatti senza indirizzo."_s;
    }

    void printedPages()
    {
        QFETCH(int, contacts);
        QFETCH(QStringList, options);
        QFETCH(int, pages);
        QFETCH(QList<QPointF>, corners);
        QFETCH(QString, extra);
        QFETCH(QPointF, column);
        QFETCH(QString, said);
        QList<Person> people;
        QStringList names;
        const bool huge = extra == u"10MB"_s;
        for (int i = 0; i < contacts; ++i) {
            names.append(u"Nome%1"_s.arg(i, 3, 10, QChar(u'0')));
            people.append(
                {{u"Cognone e nome o denominazione"_s,
                  names.last() + u" Rossi"_s +
                      (huge && i == 0 ? u" "_s + u"lunghissimo"_s.repeated((10 << 20) / 11) : QString())},
                 {u"Città"_s, u"Forlì"_s}});
            if (!extra.isEmpty() && !huge)
                people.last().append({extra.section(u'=', 0, 0), extra.section(u'=', 1)});
            if (!extra.startsWith(u"Indirizzo="_s))
                people.last().append({u"Indirizzo"_s, u"Via Roma 1"_s});
        }
        QTemporaryDir folder;
        const QString book = folder.filePath(u"stampa.mdb"_s), pdf = folder.filePath(u"stampa.pdf"_s);
        makeAddressBook(book, people);
        const Run printed = db(QStringList{u"export"_s, u"--pdf"_s, pdf, book} + options);
        QVERIFY2(printed.code == 0 && printed.err.isEmpty(), qPrintable(printed.err));
        QVERIFY2(said.isEmpty() ? printed.out.count(u'\n') == 1 : printed.out.contains(said),
                 qPrintable(printed.out));
        const Run text = run(u"pdftotext"_s, {u"-bbox"_s, pdf, u"-"_s});
        QVERIFY2(text.code == 0, "pdftotext (poppler-utils) is needed");
        const QString& page = text.out;
        if (pages < 0) {
            pages = int(page.count(u"<page "_s));
            QVERIFY(pages > 1);
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
        if (said.contains(u"Lasciat"_s))
            names.clear();
        QCOMPARE(order, names);
        if (!options.isEmpty() && !extra.isEmpty() && said.isEmpty()) {
            QVERIFY(!page.contains(u"…"_s));
            for (const QString& each : extra.section(u'=', 1).split(u' ', Qt::SkipEmptyParts))
                QCOMPARE(page.count(u">"_s + each + u"</word>"_s),
                         contacts * extra.section(u'=', 1).split(u' ').count(each));
        }
        if (!column.isNull()) {
            // What stands in the column below its heading, in reading order, each word inside it.
            static const QRegularExpression boxed(
                u"<word xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\" xMax=\"([0-9.]+)\"[^>]*>([^<]*)</word>"_s);
            QList<std::pair<QPointF, QString>> inColumn;
            int pageAt = 0;
            for (const QString& onPage : page.split(u"<page "_s).mid(1)) {
                ++pageAt;
                for (auto m = boxed.globalMatch(onPage); m.hasNext();) {
                    const auto w = m.next();
                    const double x = w.captured(1).toDouble() * 25.4 / 72,
                                 y = w.captured(2).toDouble() * 25.4 / 72,
                                 right = w.captured(3).toDouble() * 25.4 / 72;
                    QVERIFY2(!w.captured(4).contains(u"lunghissimo"_s) ||
                                 (x >= column.x() - 0.5 && right <= column.y()),
                             qPrintable(u"%1 at %2-%3 mm"_s.arg(w.captured(4)).arg(x).arg(right)));
                    if (x >= column.x() - 0.5 && x < column.y() - 0.5 && y > 25) {
                        QVERIFY2(right <= column.y(),
                                 qPrintable(u"%1 ends at %2 mm"_s.arg(w.captured(4)).arg(right)));
                        inColumn.append({{y + pageAt * 1000.0, x}, w.captured(4)});
                    }
                }
            }
            std::stable_sort(inColumn.begin(), inColumn.end(),
                             [](const auto& a, const auto& b) { return a.first.x() < b.first.x(); });
            for (qsizetype line = 0; line < inColumn.size();) { // the words of a line, from the left
                qsizetype end = line + 1;
                while (end < inColumn.size() && inColumn[end].first.x() - inColumn[line].first.x() < 2)
                    ++end;
                std::stable_sort(inColumn.begin() + line, inColumn.begin() + end,
                                 [](const auto& a, const auto& b) { return a.first.y() < b.first.y(); });
                line = end;
            }
            QString shown;
            for (const auto& each : std::as_const(inColumn))
                shown += each.second;
            if (huge) {
                QVERIFY2(shown.startsWith(u"Nome000Rossilunghissimo"_s) && shown.contains(u"…"_s),
                         qPrintable(shown.left(300)));
            } else {
                QVERIFY(!page.contains(u"…"_s));
                QCOMPARE(shown, QString(extra.section(u'=', 1)).remove(u' ').repeated(contacts));
            }
        }
        for (qsizetype i = 0; i < corners.size(); ++i)
            QVERIFY2(std::abs(placed.at(i).x() - corners.at(i).x()) < 1.0 &&
                         std::abs(placed.at(i).y() - corners.at(i).y()) < 1.5,
                     qPrintable(u"%1: %2,%3"_s.arg(i).arg(placed.at(i).x()).arg(placed.at(i).y())));
        if (options.isEmpty()) { // "pagina N di M" on every page, in order
            QStringList numbers, expected;
            static const QRegularExpression numbered(
                u">pagina</word>\\s*<word[^>]*>(\\d+)</word>\\s*<word[^>]*>di</word>\\s*<word[^>]*>(\\d+)</word>"_s);
            for (auto m = numbered.globalMatch(page); m.hasNext();) {
                const auto found = m.next();
                numbers.append(found.captured(1) + u'/' + found.captured(2));
            }
            for (int n = 1; n <= pages; ++n)
                expected.append(u"%1/%2"_s.arg(n).arg(pages));
            QCOMPARE(numbers, expected);
        }
    }

    // Any name the folder accepts can be written: the temporary file beside it (and SQLite's files
    // beside that) must not need a longer name than the target's own, nor read a "%1" in it as a
    // placeholder. A replaced file keeps its permissions, a symbolic link stays a link, a new book
    // follows the umask, and a pipe is read to its end.
    void namesLinksPermissionsAndPipes()
    {
        QTemporaryDir folder;
        const auto in = [&](const QString& name) { return folder.filePath(name); };
        const QString longest = QString(250, u'a') + u".csv"_s;       // 254 bytes; the limit is 255
        const QString accented = QString(120, u'\u00e0') + u".mdb"_s; // 244 bytes in UTF-8
        for (const QStringList& command :
             QList<QStringList>{{u"export"_s, u"--csv"_s, longest, path(u"small.mdb"_s)},
                                {u"export"_s, u"--csv"_s, longest, path(u"small.mdb"_s), u"--force"_s},
                                {u"create"_s, accented},
                                {u"demo"_s, accented, u"--rows"_s, u"3"_s, u"--force"_s},
                                {u"export"_s, u"--vcard"_s, u"%1%2.vcf"_s, path(u"small.mdb"_s)}}) {
            const Run done = db(command, folder.path());
            QVERIFY2(done.code == 0, qPrintable(command.join(u' ') + u"\n"_s + done.err));
        }
        QCOMPARE(snapshot(folder.path()).keys(), (QStringList{u"%1%2.vcf"_s, longest, accented}));
        QVERIFY(fileBytes(in(longest)).startsWith("ID,Genere,"));
        QCOMPARE(rowsIn(in(accented)), 3);

        writeFile(in(u"shared.csv"_s), "vecchio");
        QVERIFY(::chmod(QFile::encodeName(in(u"shared.csv"_s)).constData(), 0640) == 0);
        QVERIFY(QFile::link(in(u"shared.csv"_s), in(u"link.csv"_s)));
        QCOMPARE(
            db({u"export"_s, u"--csv"_s, u"link.csv"_s, path(u"small.mdb"_s), u"--force"_s}, folder.path())
                .code,
            0);
        QVERIFY(QFileInfo(in(u"link.csv"_s)).isSymLink());
        QVERIFY(fileBytes(in(u"shared.csv"_s)).startsWith("ID,"));
        QCOMPARE(mode(in(u"shared.csv"_s)), 0640);
        const mode_t umask = ::umask(027);
        const int created = db({u"create"_s, u"umask.mdb"_s}, folder.path()).code;
        ::umask(umask);
        QCOMPARE(created, 0);
        QCOMPARE(mode(in(u"umask.mdb"_s)), 0640);

        const Run piped =
            run(QStringLiteral(VINZAL_DB), {u"import"_s, u"--csv"_s, u"/dev/stdin"_s, u"piped.mdb"_s},
                folder.path(), fileBytes(path(u"big.csv"_s)));
        QVERIFY2(piped.code == 0, qPrintable(piped.err));
        QCOMPARE(rowsIn(in(u"piped.mdb"_s)), 3000);
    }
};

QTEST_GUILESS_MAIN(TestVinzalDb)
#include "test_vinzal_db.moc"
