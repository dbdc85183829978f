// vinzal-db never loses, truncates or alters a file, whatever goes wrong: full disks, interruptions,
// special files, the same file twice, damaged Access files, bad IDs, a book left half written, and a
// command line used wrongly. Every case runs the real program on real files.
#include "contact_table.h"
#include "safe_file.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <csignal>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool underAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool underAddressSanitizer = true;
#else
constexpr bool underAddressSanitizer = false;
#endif
#else
constexpr bool underAddressSanitizer = false;
#endif

namespace {

QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Every name in a folder, hidden ones too: what a failed command must not have added to.
QStringList namesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

int rowsIn(const QString& book)
{
    return query(book, u"SELECT count(*) FROM Nomelia"_s).first().toInt();
}

// A tmpfs of `kilobytes`, mounted for the life of the object; only root may mount one.
class SmallDisk
{
public:
    explicit SmallDisk(int kilobytes)
    {
        if (::geteuid() != 0)
            return;
        m_mounted = QProcess::execute(u"mount"_s, {u"-t"_s, u"tmpfs"_s, u"-o"_s, u"size=%1k"_s.arg(kilobytes),
                                                   u"tmpfs"_s, m_dir.path()}) == 0;
    }
    ~SmallDisk()
    {
        if (m_mounted)
            QProcess::execute(u"umount"_s, {m_dir.path()});
    }
    bool mounted() const { return m_mounted; }
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QString folder() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
};

} // namespace

class TestVinzalDbSafety : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    struct Run
    {
        int exitCode;
        QString out, err;
    };

    Run run(const QStringList& arguments, const QString& folder = {})
    {
        QProcess process;
        process.setWorkingDirectory(folder.isEmpty() ? m_dir.path() : folder);
        process.start(QString::fromUtf8(VINZAL_DB), arguments);
        if (!process.waitForFinished(300000))
            qFatal("vinzal-db did not finish");
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }

    QString path(const QString& name) const { return m_dir.filePath(name); }

    // A fresh folder holding a copy of an Access fixture, damaged by `damage`.
    QString damagedCopy(const QString& name, const std::function<void(QByteArray&)>& damage)
    {
        QByteArray bytes = contentOf(QFINDTESTDATA("data/jet/Vinzal-jet4.mdb"));
        damage(bytes);
        writeFile(path(name), bytes);
        return path(name);
    }

    // A demo of five million contacts over the Vinzal.mdb of `folder`, caught in the middle of
    // writing: its temporary file and the book it builds exist.
    static void startLongDemo(QProcess& process, const QString& folder)
    {
        process.setWorkingDirectory(folder);
        process.start(QString::fromUtf8(VINZAL_DB), {u"demo"_s, u"--rows"_s, u"5000000"_s, u"--force"_s});
        QVERIFY(process.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(namesIn(folder).size() > 2, 20000);
        QTest::qWait(200);
        QCOMPARE(process.state(), QProcess::Running);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // Two small books to export and import.
        QCOMPARE(run({u"demo"_s, u"small.mdb"_s, u"--rows"_s, u"5"_s}).exitCode, 0);
        QCOMPARE(run({u"demo"_s, u"big.mdb"_s, u"--rows"_s, u"3000"_s}).exitCode, 0);
        QCOMPARE(run({u"export"_s, u"--csv"_s, u"big.csv"_s, u"big.mdb"_s}).exitCode, 0);
    }

    // A full disk: exit 1 with an Italian message naming the file and the cause; the old file byte
    // for byte as it was, and nothing else left on the disk.
    void fullDiskKeepsTheOldFile()
    {
        // Standard output that takes nothing, as a full disk behind a redirection does, fails too.
        QProcess full;
        full.setWorkingDirectory(m_dir.path());
        full.setStandardOutputFile(u"/dev/full"_s);
        full.start(QString::fromUtf8(VINZAL_DB), {u"export"_s, u"--csv"_s, u"-"_s, u"small.mdb"_s});
        QVERIFY(full.waitForFinished(60000));
        QCOMPARE(full.exitCode(), 1);
        QVERIFY(QString::fromUtf8(full.readAllStandardError()).contains(u"l'uscita standard non ha preso"_s));
        // Nor is the book read written into when standard output was opened on it by mistake.
        const QByteArray bookBytes = contentOf(path(u"small.mdb"_s));
        QProcess onTheBook;
        onTheBook.setWorkingDirectory(m_dir.path());
        onTheBook.setStandardOutputFile(path(u"small.mdb"_s), QIODevice::Append);
        onTheBook.start(QString::fromUtf8(VINZAL_DB), {u"export"_s, u"--csv"_s, u"-"_s, u"small.mdb"_s});
        QVERIFY(onTheBook.waitForFinished(60000));
        QCOMPARE(onTheBook.exitCode(), 1);
        QCOMPARE(contentOf(path(u"small.mdb"_s)), bookBytes);

        SmallDisk disk(256);
        if (!disk.mounted())
            QSKIP(
                "A full disk is simulated with a 256 kB tmpfs, which only root can mount: not tested here.");
        // A good earlier export, and a book, on the small disk.
        QCOMPARE(run({u"export"_s, u"--csv"_s, disk.path(u"rubrica.csv"_s), u"small.mdb"_s}).exitCode, 0);
        QCOMPARE(run({u"export"_s, u"--vcard"_s, disk.path(u"rubrica.vcf"_s), u"small.mdb"_s}).exitCode, 0);
        QVERIFY(QFile::copy(path(u"small.mdb"_s), disk.path(u"book.mdb"_s)));
        const QStringList before = namesIn(disk.folder());
        const QByteArray csv = contentOf(disk.path(u"rubrica.csv"_s)),
                         vcf = contentOf(disk.path(u"rubrica.vcf"_s));
        const QByteArray book = contentOf(disk.path(u"book.mdb"_s));

        const QList<QStringList> attempts{
            {u"export"_s, u"--csv"_s, disk.path(u"rubrica.csv"_s), u"big.mdb"_s, u"--force"_s},
            {u"export"_s, u"--vcard"_s, disk.path(u"rubrica.vcf"_s), u"big.mdb"_s, u"--force"_s},
            {u"export"_s, u"--csv"_s, disk.path(u"nuova.csv"_s), u"big.mdb"_s},
            {u"demo"_s, disk.path(u"book.mdb"_s), u"--rows"_s, u"5000"_s, u"--force"_s},
            {u"import"_s, u"--csv"_s, path(u"big.csv"_s), disk.path(u"book.mdb"_s)},
            {u"import"_s, u"--csv"_s, path(u"big.csv"_s), disk.path(u"nuova.mdb"_s)},
        };
        for (const QStringList& attempt : attempts) {
            const Run failed = run(attempt);
            const QString said = attempt.join(u' ') + u"\n"_s + failed.err;
            QVERIFY2(failed.exitCode == 1, qPrintable(said));
            QVERIFY2(failed.err.contains(u"disco è pieno"_s), qPrintable(said));
            // The message names the file written: the one on the small disk.
            const QString written = attempt.filter(disk.folder()).value(0);
            QVERIFY2(failed.err.contains(u"«"_s + written + u"»"_s), qPrintable(said));
            QVERIFY2(!failed.err.contains(u"finestra"_s), qPrintable(said));
            QVERIFY2(failed.out.isEmpty(), qPrintable(failed.out));
            QCOMPARE(namesIn(disk.folder()), before);
            QCOMPARE(contentOf(disk.path(u"rubrica.csv"_s)), csv);
            QCOMPARE(contentOf(disk.path(u"rubrica.vcf"_s)), vcf);
            QCOMPARE(contentOf(disk.path(u"book.mdb"_s)), book);
        }
    }

    // Killed while writing: the old file stays, and no temporary file is left behind.
    void interruptionKeepsTheOldFile_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }

    void interruptionKeepsTheOldFile()
    {
        QFETCH(int, signal);
        QTemporaryDir folder;
        QVERIFY(QFile::copy(path(u"small.mdb"_s), folder.filePath(u"Vinzal.mdb"_s)));
        const QByteArray old = contentOf(folder.filePath(u"Vinzal.mdb"_s));
        QProcess process;
        startLongDemo(process, folder.path());
        if (QTest::currentTestFailed())
            return;
        ::kill(pid_t(process.processId()), signal);
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::CrashExit);
        QCOMPARE(namesIn(folder.path()), QStringList{u"Vinzal.mdb"_s});
        QCOMPARE(contentOf(folder.filePath(u"Vinzal.mdb"_s)), old);
    }

    // SIGKILL gives no chance to tidy up. The next run for the same name removes what a dead run left
    // (its temporary book, the half-built one, their journals), and nothing else: not the files of a
    // run still alive (here one stopped), not a family written a moment ago, not another name's, not
    // a link.
    void leftoversOfAKilledRunAreRemoved()
    {
        QTemporaryDir folder;
        const auto in = [&](const QString& name) { return folder.filePath(name); };
        QVERIFY(QFile::copy(path(u"small.mdb"_s), in(u"Vinzal.mdb"_s)));
        QProcess process;
        startLongDemo(process, folder.path());
        if (QTest::currentTestFailed())
            return;
        ::kill(pid_t(process.processId()), SIGSTOP);
        QTest::qWait(100);
        const QStringList left = namesIn(folder.path());
        QVERIFY2(left.size() > 2, qPrintable(left.join(u' ')));

        const auto age = [&](const QString& name) {
            struct timespec times[2] = {{::time(nullptr) - 120, 0}, {::time(nullptr) - 120, 0}};
            return ::utimensat(AT_FDCWD, QFile::encodeName(in(name)).constData(), times,
                               AT_SYMLINK_NOFOLLOW) == 0;
        };
        for (const QString& name : left)
            QVERIFY(age(name));
        const QString fresh = u".Vinzal.mdb.89abcdef.vinzal-tmp"_s,
                      other = u".Altro.mdb.01234567.vinzal-tmp"_s,
                      link = u".Vinzal.mdb.11111111.vinzal-tmp"_s;
        for (const QString& name : {fresh, other, u"prezioso"_s})
            writeFile(in(name), "dati");
        QVERIFY(QFile::link(in(u"prezioso"_s), in(link)));
        for (const QString& name : {other, link, u"prezioso"_s})
            QVERIFY(age(name));
        const auto makeBook = [&] {
            return run({u"demo"_s, in(u"Vinzal.mdb"_s), u"--rows"_s, u"10"_s, u"--force"_s}).exitCode;
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
        QCOMPARE(contentOf(in(u"prezioso"_s)), QByteArray("dati"));
        QCOMPARE(rowsIn(in(u"Vinzal.mdb"_s)), 10);

        // One read as the source of a copy onto that name (a book saved from a run killed just
        // before its last rename) is the user's now: it stays.
        const QString saved = u".Vinzal.mdb.2468ace0.vinzal-tmp"_s;
        QVERIFY(QFile::copy(in(u"Vinzal.mdb"_s), in(saved)));
        QVERIFY(age(saved));
        QCOMPARE(run({u"copy"_s, in(saved), in(u"Vinzal.mdb"_s), u"--force"_s}).exitCode, 0);
        QVERIFY(QFileInfo::exists(in(saved)));
    }

    // Adding to a book is done in place, in one transaction: interrupted in the middle, the
    // transaction is rolled back before the program ends, so the book is byte for byte as it was and
    // no journal is left beside it (one that a user might delete, or leave behind when copying).
    void interruptedImportKeepsTheBook()
    {
        QTemporaryDir folder;
        const auto in = [&](const QString& name) { return folder.filePath(name); };
        QCOMPARE(run({u"demo"_s, in(u"many.mdb"_s), u"--rows"_s, u"200000"_s}).exitCode, 0);
        QCOMPARE(run({u"export"_s, u"--csv"_s, in(u"many.csv"_s), in(u"many.mdb"_s)}).exitCode, 0);
        QFile::remove(in(u"many.mdb"_s));
        for (const int signal : {SIGINT, SIGTERM}) {
            QFile::remove(in(u"Vinzal.mdb"_s));
            QVERIFY(QFile::copy(path(u"small.mdb"_s), in(u"Vinzal.mdb"_s)));
            const QByteArray old = contentOf(in(u"Vinzal.mdb"_s));
            const QStringList before = namesIn(folder.path());
            QProcess process;
            process.setWorkingDirectory(folder.path());
            process.start(QString::fromUtf8(VINZAL_DB), {u"import"_s, u"--csv"_s, u"many.csv"_s});
            QVERIFY(process.waitForStarted());
            // Once the journal exists, rows are being written into the book.
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(in(u"Vinzal.mdb-journal"_s)), 60000);
            QTest::qWait(100);
            QCOMPARE(process.state(), QProcess::Running);
            ::kill(pid_t(process.processId()), signal);
            QVERIFY(process.waitForFinished(20000));
            QCOMPARE(process.exitStatus(), QProcess::CrashExit);
            QCOMPARE(namesIn(folder.path()), before);
            QCOMPARE(contentOf(in(u"Vinzal.mdb"_s)), old);
        }
    }

    // A file size limit (ulimit -f) is a full disk of another kind. The kernel's SIGXFSZ would end
    // the program in the middle of the write, silently and leaving its temporary files; the write
    // must fail instead, with a message, the old file as it was and nothing else on the disk.
    void fileSizeLimitKeepsTheOldFile()
    {
        QTemporaryDir folder;
        QVERIFY(QFile::copy(path(u"small.mdb"_s), folder.filePath(u"Vinzal.mdb"_s)));
        QCOMPARE(run({u"export"_s, u"--csv"_s, folder.filePath(u"old.csv"_s), u"small.mdb"_s}).exitCode, 0);
        QCOMPARE(run({u"export"_s, u"--xlsx"_s, folder.filePath(u"old.xlsx"_s), u"small.mdb"_s}).exitCode, 0);
        const QStringList before = namesIn(folder.path());
        const QByteArray book = contentOf(folder.filePath(u"Vinzal.mdb"_s)),
                         csv = contentOf(folder.filePath(u"old.csv"_s)),
                         xlsx = contentOf(folder.filePath(u"old.xlsx"_s));
        const QList<QStringList> attempts{
            {u"demo"_s, u"--rows"_s, u"5000"_s, u"--force"_s},
            {u"export"_s, u"--csv"_s, u"old.csv"_s, path(u"big.mdb"_s), u"--force"_s},
            {u"export"_s, u"--vcard"_s, u"new.vcf"_s, path(u"big.mdb"_s)},
            // A workbook's parts are compressed: the limit is met by what is written, not by the
            // XML it is made of, and no temporary file outside the target's folder may hide it.
            {u"export"_s, u"--xlsx"_s, u"old.xlsx"_s, path(u"big.mdb"_s), u"--force"_s},
            {u"import"_s, u"--csv"_s, path(u"big.csv"_s), u"new.mdb"_s},
        };
        for (const QStringList& attempt : attempts) {
            QProcess process;
            process.setWorkingDirectory(folder.path());
            process.setChildProcessModifier([] {
                const struct rlimit limit = {96 * 1024, 96 * 1024};
                ::setrlimit(RLIMIT_FSIZE, &limit);
            });
            process.start(QString::fromUtf8(VINZAL_DB), attempt);
            QVERIFY(process.waitForFinished(120000));
            const QString said =
                attempt.join(u' ') + u"\n"_s + QString::fromUtf8(process.readAllStandardError());
            QVERIFY2(process.exitStatus() == QProcess::NormalExit, qPrintable(said));
            QVERIFY2(process.exitCode() == 1, qPrintable(said));
            QVERIFY2(said.contains(u"Non è stato"_s) || said.contains(u"non è stato"_s), qPrintable(said));
            QVERIFY2(process.readAllStandardOutput().isEmpty(), qPrintable(said));
            QCOMPARE(namesIn(folder.path()), before);
            QCOMPARE(contentOf(folder.filePath(u"Vinzal.mdb"_s)), book);
            QCOMPARE(contentOf(folder.filePath(u"old.csv"_s)), csv);
            QCOMPARE(contentOf(folder.filePath(u"old.xlsx"_s)), xlsx);
        }
    }

    // Any name the folder accepts can be written: the temporary file beside it (and SQLite's files
    // beside that) must not need a longer name than the target's own, nor read a "%1" in it as a
    // placeholder.
    void longAndOddNamesAreWritten()
    {
        QTemporaryDir folder;
        const QString longest = QString(250, u'a') + u".csv"_s;       // 254 bytes; the limit is 255
        const QString accented = QString(120, u'\u00e0') + u".mdb"_s; // 244 bytes in UTF-8
        const QList<QStringList> commands{
            {u"export"_s, u"--csv"_s, longest, path(u"small.mdb"_s)},
            {u"export"_s, u"--csv"_s, longest, path(u"small.mdb"_s), u"--force"_s},
            {u"create"_s, accented},
            {u"demo"_s, accented, u"--rows"_s, u"3"_s, u"--force"_s},
            {u"export"_s, u"--vcard"_s, u"%1%2.vcf"_s, path(u"small.mdb"_s)},
        };
        for (const QStringList& command : commands) {
            const Run done = run(command, folder.path());
            QVERIFY2(done.exitCode == 0, qPrintable(command.join(u' ') + u"\n"_s + done.err));
        }
        QStringList names = namesIn(folder.path()), expected{u"%1%2.vcf"_s, longest, accented};
        names.sort();
        expected.sort();
        QCOMPARE(names, expected);
        QVERIFY(contentOf(folder.filePath(longest)).startsWith("ID,Genere,"));
        QCOMPARE(rowsIn(folder.filePath(accented)), 3);
    }

    // Data that never ends (a device such as /dev/zero) is refused at once rather than read until the
    // memory runs out and the program is killed; a pipe of ordinary data is still read.
    void endlessInputsAreRefused()
    {
        QTemporaryDir folder;
        for (const QString& format : {u"--csv"_s, u"--vcard"_s}) {
            QProcess process;
            process.setWorkingDirectory(folder.path());
            // Far more than the refusal needs, far less than reading /dev/zero would take; not under
            // AddressSanitizer, whose shadow memory alone needs terabytes of address space.
            if (!underAddressSanitizer)
                process.setChildProcessModifier([] {
                    const struct rlimit limit = {qint64(1) << 30, qint64(1) << 30};
                    ::setrlimit(RLIMIT_AS, &limit);
                });
            process.start(QString::fromUtf8(VINZAL_DB), {u"import"_s, format, u"/dev/zero"_s, u"new.mdb"_s});
            QVERIFY(process.waitForFinished(120000));
            const QString said = QString::fromUtf8(process.readAllStandardError());
            QVERIFY2(process.exitStatus() == QProcess::NormalExit, qPrintable(said));
            QCOMPARE(process.exitCode(), 1);
            QVERIFY2(said.contains(u"«/dev/zero» è un dispositivo"_s), qPrintable(said));
            QVERIFY(namesIn(folder.path()).isEmpty());
        }
        QProcess piped;
        piped.setWorkingDirectory(folder.path());
        piped.start(QString::fromUtf8(VINZAL_DB), {u"import"_s, u"--csv"_s, u"/dev/stdin"_s, u"new.mdb"_s});
        QVERIFY(piped.waitForStarted());
        piped.write(contentOf(path(u"big.csv"_s)));
        piped.closeWriteChannel();
        QVERIFY(piped.waitForFinished(120000));
        QVERIFY2(piped.exitCode() == 0, piped.readAllStandardError().constData());
        QCOMPARE(rowsIn(folder.filePath(u"new.mdb"_s)), 3000);
    }

    // The library's writer for the other formats: bytes streamed into a device, or a file written
    // by name (as SQLite does) into the temporary path. Until commit the target is untouched;
    // a failed or abandoned writer leaves it as it was; a file that appears meanwhile is not replaced.
    void pendingFilesReplaceOnlyWhenCommitted()
    {
        QTemporaryDir folder;
        const QString target = folder.filePath(u"out.txt"_s);
        writeFile(target, "prima");
        const auto failing = [](QIODevice& device) -> Status {
            device.write("mezzo file");
            return StoreError{StoreError::Kind::Engine, u"interrotto"_s, {}};
        };
        QVERIFY(!safefile::writeFileAtomically(target, failing, true));
        QCOMPARE(namesIn(folder.path()), QStringList{u"out.txt"_s});
        QCOMPARE(contentOf(target), QByteArray("prima"));
        QVERIFY(safefile::writeFileAtomically(
            target,
            [](QIODevice& device) { return device.write("dopo") == 4 ? Status() : Status(StoreError{}); },
            true));
        QCOMPARE(contentOf(target), QByteArray("dopo"));
        {
            auto pending = safefile::PendingFile::begin(target, true);
            QVERIFY(pending);
            writeFile(pending.value()->tempPath(), "abbandonato");
        }
        QCOMPARE(namesIn(folder.path()), QStringList{u"out.txt"_s});
        auto pending = safefile::PendingFile::begin(target, true);
        QVERIFY(pending);
        writeFile(pending.value()->tempPath(), "per nome");
        QCOMPARE(contentOf(target), QByteArray("dopo"));
        QVERIFY(pending.value()->commit());
        QCOMPARE(contentOf(target), QByteArray("per nome"));

        const QString fresh = folder.filePath(u"fresh.txt"_s);
        auto racing = safefile::PendingFile::begin(fresh, false);
        QVERIFY(racing);
        QVERIFY(racing.value()->write("nostro"));
        writeFile(fresh, "altrui");
        const Status refused = racing.value()->commit();
        QVERIFY(!refused);
        QVERIFY(refused.error().message.contains(u"esiste già"_s));
        QCOMPARE(contentOf(fresh), QByteArray("altrui"));

        SmallDisk disk(64);
        if (!disk.mounted())
            QSKIP("A full disk is simulated with a 64 kB tmpfs, which only root can mount: not tested here.");
        const Status full = safefile::writeFileAtomically(
            disk.path(u"big.txt"_s),
            [](QIODevice& device) {
                for (int i = 0; i < 100; ++i)
                    device.write(QByteArray(4096, 'x')); // the return values ignored, as careless writers do
                return Status();
            },
            false);
        QVERIFY(!full);
        QVERIFY2(full.error().message.contains(u"disco è pieno"_s), qPrintable(full.error().message));
        QVERIFY(namesIn(disk.folder()).isEmpty());
    }

    // --force replaces only once the new file is complete: a failed import leaves the book as it
    // was. A replaced file keeps its permissions, and a symbolic link stays a link.
    void forceNeverDeletesFirst()
    {
        QVERIFY(QFile::copy(path(u"small.mdb"_s), path(u"precious.mdb"_s)));
        const QByteArray precious = contentOf(path(u"precious.mdb"_s));
        writeFile(path(u"bad.mdb"_s), QByteArray(8192, 'x'));
        const Run failed = run({u"import"_s, u"bad.mdb"_s, u"precious.mdb"_s, u"--force"_s});
        QCOMPARE(failed.exitCode, 1);
        QCOMPARE(contentOf(path(u"precious.mdb"_s)), precious);

        writeFile(path(u"shared.csv"_s), "vecchio");
        QVERIFY(::chmod(QFile::encodeName(path(u"shared.csv"_s)).constData(), 0640) == 0);
        QVERIFY(QFile::link(path(u"shared.csv"_s), path(u"link.csv"_s)));
        QCOMPARE(run({u"export"_s, u"--csv"_s, u"link.csv"_s, u"small.mdb"_s, u"--force"_s}).exitCode, 0);
        QVERIFY(QFileInfo(path(u"link.csv"_s)).isSymLink());
        QVERIFY(contentOf(path(u"shared.csv"_s)).startsWith("ID,"));
        struct stat info = {};
        QVERIFY(::stat(QFile::encodeName(path(u"shared.csv"_s)).constData(), &info) == 0);
        QCOMPARE(int(info.st_mode & 07777), 0640);
        QVERIFY(!namesIn(m_dir.path()).join(u' ').contains(u".vinzal-tmp"_s));
        // A new book follows the user's umask.
        const mode_t umask = ::umask(027);
        const int created = run({u"create"_s, u"umask.mdb"_s}).exitCode;
        ::umask(umask);
        QCOMPARE(created, 0);
        QVERIFY(::stat(QFile::encodeName(path(u"umask.mdb"_s)).constData(), &info) == 0);
        QCOMPARE(int(info.st_mode & 07777), 0640);
    }

    // Special files and the file being read are never written over, with or without --force, and
    // no message suggests --force.
    void dangerousTargetsAreRefused()
    {
        QTemporaryDir folder;
        const auto in = [&](const QString& name) { return folder.filePath(name); };
        QVERIFY(QFile::copy(path(u"small.mdb"_s), in(u"Vinzal.mdb"_s)));
        QVERIFY(QFile::copy(QFINDTESTDATA("data/jet/Vinzal-jet4.mdb"), in(u"access.mdb"_s)));
        QFile::setPermissions(in(u"access.mdb"_s), QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY(::mkfifo(QFile::encodeName(in(u"fifo"_s)).constData(), 0600) == 0);
        QVERIFY(QDir(folder.path()).mkdir(u"cartella"_s));
        QVERIFY(QFile::link(in(u"Vinzal.mdb"_s), in(u"alias.csv"_s)));
        QVERIFY(QFile::link(in(u"nowhere"_s), in(u"dangling.csv"_s)));
        const QStringList before = namesIn(folder.path());
        const QByteArray book = contentOf(in(u"Vinzal.mdb"_s)), access = contentOf(in(u"access.mdb"_s));

        struct Case
        {
            QStringList arguments;
            QString said;
        };
        const QList<Case> cases{
            {{u"export"_s, u"--csv"_s, u"fifo"_s, u"--force"_s}, u"FIFO"_s},
            {{u"export"_s, u"--vcard"_s, u"/dev/null"_s, u"--force"_s}, u"dispositivo"_s},
            {{u"export"_s, u"--csv"_s, u"cartella"_s, u"--force"_s}, u"cartella"_s},
            {{u"create"_s, u"fifo"_s, u"--force"_s}, u"FIFO"_s},
            {{u"demo"_s, u"/dev/null"_s, u"--force"_s}, u"dispositivo"_s},
            {{u"import"_s, u"access.mdb"_s, u"fifo"_s, u"--force"_s}, u"FIFO"_s},
            {{u"export"_s, u"--csv"_s, u"dangling.csv"_s, u"--force"_s}, u"collegamento simbolico"_s},
            // The output name forgotten: the book itself would be the output.
            {{u"export"_s, u"--csv"_s, u"Vinzal.mdb"_s, u"--force"_s}, u"stesso file"_s},
            {{u"export"_s, u"--csv"_s, u"./Vinzal.mdb"_s, u"Vinzal.mdb"_s, u"--force"_s}, u"stesso file"_s},
            {{u"export"_s, u"--vcard"_s, u"alias.csv"_s, u"--force"_s}, u"stesso file"_s},
            {{u"import"_s, u"access.mdb"_s, u"access.mdb"_s}, u"stesso file"_s},
            {{u"import"_s, u"access.mdb"_s, u"../"_s + QFileInfo(folder.path()).fileName() + u"/access.mdb"_s,
              u"--force"_s},
             u"stesso file"_s},
            {{u"import"_s, u"Vinzal.mdb"_s, u"Vinzal.mdb"_s}, u"stesso file"_s},
            {{u"import"_s, u"--csv"_s, u"Vinzal.mdb"_s, u"Vinzal.mdb"_s}, u"stesso file"_s},
            {{u"import"_s, u"--vcard"_s, u"alias.csv"_s}, u"stesso file"_s},
            {{u"create"_s}, u"esiste già"_s},
            {{u"import"_s, u"access.mdb"_s}, u"esiste già"_s},
        };
        for (const Case& c : cases) {
            const Run refused = run(c.arguments, folder.path());
            const QString shown = c.arguments.join(u' ') + u"\n"_s + refused.err;
            QVERIFY2(refused.exitCode == 1, qPrintable(shown));
            QVERIFY2(refused.err.contains(c.said), qPrintable(shown));
            QVERIFY2(!refused.err.contains(u"--force"_s), qPrintable(shown));
            QCOMPARE(namesIn(folder.path()), before);
            QCOMPARE(contentOf(in(u"Vinzal.mdb"_s)), book);
            QCOMPARE(contentOf(in(u"access.mdb"_s)), access);
            QVERIFY(QFileInfo(in(u"fifo"_s)).exists() && !QFileInfo(in(u"fifo"_s)).isFile());
        }
        struct stat null = {};
        QVERIFY(::stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode));

        // Converting in place through a link would replace the Access file the link points to.
        QTemporaryDir linked;
        QVERIFY(QFile::copy(in(u"access.mdb"_s), linked.filePath(u"real.mdb"_s)));
        QVERIFY(QFile::link(u"real.mdb"_s, linked.filePath(u"Vinzal.mdb"_s)));
        const Run refused = run({u"import"_s, u"Vinzal.mdb"_s}, linked.path());
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(refused.err.contains(u"collegamento simbolico"_s), qPrintable(refused.err));
        QCOMPARE(namesIn(linked.path()), (QStringList{u"Vinzal.mdb"_s, u"real.mdb"_s}));
        QCOMPARE(contentOf(linked.filePath(u"real.mdb"_s)), access);
    }

    // Damaged Access files are called damaged, say where, and nothing is written, not even over a
    // book given with --force.
    void damagedAccessFilesAreRefused_data()
    {
        // The fixture: 28 pages of 4096 bytes; the table "Nomelia" has its definition on page 24, its
        // rows on pages 25 and 26 and its long remarks on page 27; pages 6 and 14 hold the catalog.
        QTest::addColumn<qsizetype>("keep"); // bytes kept from the start (-1: all)
        QTest::addColumn<int>("zeroedPage"); // a page overwritten with zeros (-1: none)
        QTest::addColumn<QString>("where");
        QTest::newRow("cut inside a page") << qsizetype(100000) << -1 << u"numero intero di pagine"_s;
        QTest::newRow("last page missing") << qsizetype(27 * 4096) << -1 << u"oltre la fine del file"_s;
        QTest::newRow("two pages missing") << qsizetype(26 * 4096) << -1 << u"oltre la fine del file"_s;
        QTest::newRow("table definition lost") << qsizetype(-1) << 24 << u"definizione della tabella"_s;
        QTest::newRow("rows lost") << qsizetype(-1) << 25 << u"dichiara 12 righe"_s;
        QTest::newRow("remarks lost") << qsizetype(-1) << 27 << u"«Osservazioni» della riga"_s;
        QTest::newRow("catalog lost") << qsizetype(-1) << 6 << u"elenco delle sue tabelle"_s;
    }

    void damagedAccessFilesAreRefused()
    {
        QFETCH(qsizetype, keep);
        QFETCH(int, zeroedPage);
        QFETCH(QString, where);
        const QString damaged = damagedCopy(u"damaged.mdb"_s, [&](QByteArray& bytes) {
            if (keep >= 0)
                bytes.truncate(keep);
            if (zeroedPage >= 0)
                bytes.replace(zeroedPage * 4096, 4096, QByteArray(4096, '\0'));
        });
        QVERIFY(QFile::copy(path(u"small.mdb"_s), path(u"kept.mdb"_s)) || QFile::exists(path(u"kept.mdb"_s)));
        const QByteArray kept = contentOf(path(u"kept.mdb"_s));
        const QStringList before = namesIn(m_dir.path());
        for (const QString& target : {u"new.mdb"_s, u"kept.mdb"_s}) {
            const Run refused = run({u"import"_s, damaged, target, u"--force"_s});
            QVERIFY2(refused.exitCode == 1, qPrintable(refused.out + refused.err));
            QVERIFY2(refused.err.contains(u"è danneggiato"_s) && refused.err.contains(where),
                     qPrintable(refused.err));
            QVERIFY2(!refused.err.contains(u"non ha la tabella"_s), qPrintable(refused.err));
            QCOMPARE(namesIn(m_dir.path()), before);
            QCOMPARE(contentOf(path(u"kept.mdb"_s)), kept);
        }
    }

    // The undamaged fixture still imports every row (the checks do not refuse sound files), and a
    // page the table does not use may be damaged without harm.
    void soundAccessFilesStillImport()
    {
        damagedCopy(u"other-page.mdb"_s,
                    [](QByteArray& bytes) { bytes.replace(10 * 4096, 4096, QByteArray(4096, '\0')); });
        for (const QString& source : {QFINDTESTDATA("data/jet/Vinzal-jet4.mdb"), path(u"other-page.mdb"_s)}) {
            QFile::remove(path(u"sound.mdb"_s));
            const Run imported = run({u"import"_s, source, u"sound.mdb"_s});
            QVERIFY2(imported.exitCode == 0, qPrintable(imported.err));
            QVERIFY(imported.out.contains(u"Importati 12 contatti"_s));
            QCOMPARE(rowsIn(path(u"sound.mdb"_s)), 12);
        }
    }

    // IDs outside 1..2147483647 are refused with the number of the contact; nothing is written.
    void idsOutsideTheAccessRangeAreRefused()
    {
        writeFile(path(u"ids.csv"_s), "ID,Genere\r\n0,a\r\n-1,b\r\n2147483648,c\r\n9223372036854775807,d\r\n"
                                      "abc,e\r\n1,f\r\n2147483647,g\r\n,h\r\n");
        Run refused = run({u"import"_s, u"--csv"_s, u"ids.csv"_s, u"ids.mdb"_s});
        QCOMPARE(refused.exitCode, 1);
        for (int bad = 1; bad <= 5; ++bad)
            QVERIFY2(refused.err.contains(u"il contatto n. %1 del file"_s.arg(bad)), qPrintable(refused.err));
        for (int good = 6; good <= 8; ++good)
            QVERIFY2(!refused.err.contains(u"n. %1 "_s.arg(good)), qPrintable(refused.err));
        QVERIFY(!QFile::exists(path(u"ids.mdb"_s)));

        writeFile(path(u"huge.vcf"_s),
                  "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:a\r\nEND:VCARD\r\n"
                  "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:b\r\nUID:vinzal-9223372036854775807\r\n"
                  "END:VCARD\r\n");
        QVERIFY(QFile::copy(path(u"small.mdb"_s), path(u"ids-book.mdb"_s)));
        const QByteArray book = contentOf(path(u"ids-book.mdb"_s));
        refused = run({u"import"_s, u"--vcard"_s, u"huge.vcf"_s, u"ids-book.mdb"_s});
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(refused.err.contains(u"la scheda n. 2"_s) && refused.err.contains(u"2147483647"_s),
                 qPrintable(refused.err));
        QCOMPARE(contentOf(path(u"ids-book.mdb"_s)), book);

        // The edges of the range are kept; a book whose IDs are used up says so and stays as it was.
        writeFile(path(u"edges.csv"_s), "ID,Genere\r\n1,f\r\n2147483647,g\r\n");
        QCOMPARE(run({u"import"_s, u"--csv"_s, u"edges.csv"_s, u"edges.mdb"_s}).exitCode, 0);
        QCOMPARE(query(path(u"edges.mdb"_s), u"SELECT max(ID) FROM Nomelia"_s).first().toLongLong(),
                 2147483647);
        QCOMPARE(run({u"check"_s, u"edges.mdb"_s}).exitCode, 0);
        writeFile(path(u"lone.csv"_s), "Genere\r\nnuovo\r\n");
        const QByteArray edges = contentOf(path(u"edges.mdb"_s));
        refused = run({u"import"_s, u"--csv"_s, u"lone.csv"_s, u"edges.mdb"_s});
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(refused.err.contains(u"ID liberi"_s), qPrintable(refused.err));
        QCOMPARE(contentOf(path(u"edges.mdb"_s)), edges);
    }

    // Rows already in the book (all eleven fields equal, exactly) are skipped and counted, unless
    // --keep-duplicates.
    void duplicatesAreSkipped()
    {
        makeAddressBook(path(u"dup.mdb"_s), {{{u"Genere"_s, u"Lavoro"_s}, {u"Città"_s, u"Forlì"_s}},
                                             {{u"Cognone e nome o denominazione"_s, u"Rossi"_s}}});
        // The first two are in the book; the others differ by case, by an empty text against NULL,
        // or altogether.
        writeFile(path(u"dup.csv"_s), "ID,Genere,Città,Cognone e nome o denominazione,Fax\r\n"
                                      "7,Lavoro,Forlì,,\r\n"
                                      ",,,Rossi,\r\n"
                                      ",,,rossi,\r\n"
                                      ",,,Rossi,\"\"\r\n"
                                      ",Altro,,Bianchi,\r\n");
        Run imported = run({u"import"_s, u"--csv"_s, u"dup.csv"_s, u"dup.mdb"_s});
        QCOMPARE(imported.exitCode, 0);
        QVERIFY2(imported.out.contains(u"Aggiunti 3 contatti"_s), qPrintable(imported.out));
        QVERIFY2(imported.out.contains(u"Saltati 2 contatti già presenti"_s), qPrintable(imported.out));
        QCOMPARE(rowsIn(path(u"dup.mdb"_s)), 5);
        imported = run({u"import"_s, u"--csv"_s, u"dup.csv"_s, u"dup.mdb"_s});
        QVERIFY2(imported.out.contains(u"Aggiunti 0 contatti"_s) && imported.out.contains(u"Saltati 5"_s),
                 qPrintable(imported.out));
        QCOMPARE(rowsIn(path(u"dup.mdb"_s)), 5);
        imported = run({u"import"_s, u"--csv"_s, u"dup.csv"_s, u"dup.mdb"_s, u"--keep-duplicates"_s});
        QVERIFY2(imported.out.contains(u"Aggiunti 5 contatti"_s) && !imported.out.contains(u"Saltat"_s),
                 qPrintable(imported.out));
        QCOMPARE(rowsIn(path(u"dup.mdb"_s)), 10);
    }

    // check reports a column that is not TEXT, and a book left with a hot journal, which it
    // neither opens nor changes; once the book is opened for writing the journal is played back.
    void checkTellsTheTruth()
    {
        QCOMPARE(run({u"create"_s, u"typed.mdb"_s}).exitCode, 0);
        QString table = query(path(u"typed.mdb"_s), u"SELECT sql FROM sqlite_master WHERE name = 'Nomelia'"_s)
                            .first()
                            .toString();
        const QVariantList indexes =
            query(path(u"typed.mdb"_s),
                  u"SELECT sql FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL"_s);
        table.replace(u"\"Telefonino\" TEXT"_s, u"\"Telefonino\" INTEGER"_s);
        query(path(u"integer.mdb"_s), u"PRAGMA application_id = 1448758321"_s);
        query(path(u"integer.mdb"_s), table);
        for (const QVariant& index : indexes)
            query(path(u"integer.mdb"_s), index.toString());
        Run checked = run({u"check"_s, u"integer.mdb"_s});
        QCOMPARE(checked.exitCode, 1);
        QVERIFY2(checked.err.contains(u"«Telefonino» è dichiarato di tipo «INTEGER»"_s),
                 qPrintable(checked.err));
        QVERIFY2(checked.err.contains(u"1 problema"_s), qPrintable(checked.err));

        // A writer caught in the middle of a transaction, its pages already spilled into the file:
        // a copy of the file and its journal is what a crash leaves.
        QCOMPARE(run({u"demo"_s, u"live.mdb"_s, u"--rows"_s, u"2000"_s}).exitCode, 0);
        const QVariantList original =
            query(path(u"live.mdb"_s), u"SELECT group_concat(Città, '|') FROM Nomelia"_s);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"writer"_s);
            db.setDatabaseName(path(u"live.mdb"_s));
            QVERIFY(db.open());
            QSqlQuery query(db);
            QVERIFY(query.exec(u"PRAGMA cache_size = 2"_s));
            QVERIFY(query.exec(u"BEGIN"_s));
            QVERIFY(query.exec(
                u"UPDATE Nomelia SET Città = 'X' || Città, Osservazioni = hex(randomblob(200))"_s));
            QFile::remove(path(u"crashed.mdb"_s));
            QFile::remove(path(u"crashed.mdb-journal"_s));
            QVERIFY(QFile::copy(path(u"live.mdb-journal"_s), path(u"crashed.mdb-journal"_s)));
            QVERIFY(QFile::copy(path(u"live.mdb"_s), path(u"crashed.mdb"_s)));
            QVERIFY(query.exec(u"ROLLBACK"_s));
            query = QSqlQuery();
            db.close();
        }
        QSqlDatabase::removeDatabase(u"writer"_s);
        const QByteArray file = contentOf(path(u"crashed.mdb"_s)),
                         journal = contentOf(path(u"crashed.mdb-journal"_s));
        QVERIFY(!journal.isEmpty());
        checked = run({u"check"_s, u"crashed.mdb"_s});
        QCOMPARE(checked.exitCode, 1);
        QVERIFY2(checked.err.contains(u"va ripristinata"_s) && checked.err.contains(u"crashed.mdb-journal"_s),
                 qPrintable(checked.err));
        QVERIFY2(!checked.err.contains(u"readonly"_s), qPrintable(checked.err));
        QCOMPARE(contentOf(path(u"crashed.mdb"_s)), file);
        QCOMPARE(contentOf(path(u"crashed.mdb-journal"_s)), journal);
        // Opened for writing, as the program opens it, the book is put back as it was.
        QCOMPARE(query(path(u"crashed.mdb"_s), u"SELECT group_concat(Città, '|') FROM Nomelia"_s), original);
        QVERIFY(!QFile::exists(path(u"crashed.mdb-journal"_s)));
        QCOMPARE(run({u"check"_s, u"crashed.mdb"_s}).exitCode, 0);

        // A book another program is writing: said so, in Italian, never as a missing index.
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"holder"_s);
            db.setDatabaseName(path(u"live.mdb"_s));
            QVERIFY(db.open());
            QSqlQuery query(db);
            QVERIFY(query.exec(u"BEGIN EXCLUSIVE"_s));
            checked = run({u"check"_s, u"live.mdb"_s});
            QVERIFY(query.exec(u"ROLLBACK"_s));
            query = QSqlQuery();
            db.close();
        }
        QSqlDatabase::removeDatabase(u"holder"_s);
        QCOMPARE(checked.exitCode, 1);
        QVERIFY2(checked.err.contains(u"un altro programma vi sta scrivendo"_s), qPrintable(checked.err));
        QVERIFY2(!checked.err.contains(u"locked"_s) && !checked.err.contains(u"manca"_s),
                 qPrintable(checked.err));
        QCOMPARE(run({u"check"_s, u"live.mdb"_s}).exitCode, 0);
    }

    // Conventions: --version, options that do not belong to the command refused with exit 2, a name
    // starting with '-' after "--", singular and plural, Italian words only, no window.
    void commandLineConventions()
    {
        const Run version = run({u"--version"_s});
        QCOMPARE(version.exitCode, 0);
        QVERIFY(version.out.startsWith(u"vinzal-db 1."_s));

        QStringList messages;
        for (const QStringList& wrong :
             QList<QStringList>{{u"create"_s, u"x.mdb"_s, u"--rows"_s, u"3"_s},
                                {u"check"_s, u"small.mdb"_s, u"--force"_s},
                                {u"import"_s, u"--csv"_s, u"a.csv"_s, u"--table"_s, u"T"_s},
                                {u"import"_s, u"--csv"_s, u"a.csv"_s, u"--force"_s},
                                {u"import"_s, u"old.mdb"_s, u"--keep-duplicates"_s},
                                {u"export"_s, u"--vcard"_s, u"a.vcf"_s, u"--spreadsheet"_s},
                                {u"export"_s, u"--csv"_s, u"a.csv"_s, u"--vcard-version"_s, u"4.0"_s},
                                {u"export"_s, u"--csv"_s, u"--vcard"_s, u"a"_s},
                                {u"demo"_s, u"--rows"_s},
                                {u"demo"_s, u"--rows"_s, u"1"_s, u"--rows"_s, u"2"_s},
                                {u"check"_s, u"-small.mdb"_s},
                                {u"create"_s, u"--frobnicate"_s},
                                {u"frobnicate"_s},
                                {}}) {
            const Run refused = run(wrong);
            QVERIFY2(refused.exitCode == 2, qPrintable(wrong.join(u' ') + u" → "_s + refused.err));
            QVERIFY(refused.out.isEmpty());
            QVERIFY(QFileInfo::exists(path(u"small.mdb"_s)));
            messages.append(refused.err);
        }
        QVERIFY2(messages.at(10).contains(u"«-small.mdb»"_s) && messages.at(10).contains(u"«--»"_s),
                 qPrintable(messages.at(10)));
        QVERIFY(!QFile::exists(path(u"x.mdb"_s)));

        // A file whose name starts with '-', after "--".
        QVERIFY(QFile::copy(path(u"small.mdb"_s), path(u"-dash.mdb"_s)));
        QCOMPARE(run({u"check"_s, u"--"_s, u"-dash.mdb"_s}).exitCode, 0);

        // One contact, several contacts.
        QCOMPARE(run({u"demo"_s, u"one.mdb"_s, u"--rows"_s, u"1"_s, u"--seed"_s, u"99"_s})
                     .out.contains(u"con 1 contatto in"_s),
                 true);
        QVERIFY(run({u"export"_s, u"--csv"_s, u"single.csv"_s, u"one.mdb"_s})
                    .out.startsWith(u"Esportato 1 contatto "_s));
        QVERIFY(run({u"export"_s, u"--csv"_s, u"five.csv"_s, u"small.mdb"_s})
                    .out.startsWith(u"Esportati 5 contatti "_s));
        QVERIFY(run({u"import"_s, u"--csv"_s, u"five.csv"_s, u"one.mdb"_s})
                    .out.startsWith(u"Aggiunti 5 contatti "_s));
        QVERIFY(run({u"import"_s, u"--csv"_s, u"single.csv"_s, u"one.mdb"_s})
                    .out.contains(u"Saltato 1 contatto già presente"_s));

        // Failures of every kind, in Italian and without a window.
        for (const QStringList& failing :
             QList<QStringList>{{u"import"_s, u"--csv"_s, u"nowhere.csv"_s, u"one.mdb"_s},
                                {u"import"_s, u"--csv"_s, u"/"_s, u"one.mdb"_s},
                                {u"export"_s, u"--csv"_s, u"/nonexistent-folder/a.csv"_s, u"small.mdb"_s},
                                {u"export"_s, u"--csv"_s, u"/proc/a.csv"_s, u"small.mdb"_s},
                                {u"check"_s, u"nowhere.mdb"_s},
                                {u"import"_s, u"nowhere.mdb"_s, u"z.mdb"_s}}) {
            messages.append(run(failing).err);
            QVERIFY2(!messages.last().isEmpty(), qPrintable(failing.join(u' ')));
        }
        const QRegularExpression foreign(u"\\b(No such|Permission denied|Unknown option|Missing value|error|"
                                         u"finestra|window)\\b"_s,
                                         QRegularExpression::CaseInsensitiveOption);
        for (const QString& message : std::as_const(messages))
            QVERIFY2(!foreign.match(message).hasMatch(), qPrintable(message));
    }
};

QTEST_GUILESS_MAIN(TestVinzalDbSafety)
#include "test_vinzal_db_safety.moc"
