// vinzal-bench --sync [--rows N,...]: `vinzal-db sync` against a Radicale of the bench's own, beside
// Debian's vdirsyncer doing the same with a folder of .vcf files: the first synchronisation of an
// address book of N cards into an empty book, one with nothing changed, and one after 1% of the
// contacts changed on our side. Radicale (and vdirsyncer, when installed) come from Debian.
#include "carddav.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <sqlite3.h>

#include <algorithm>

using namespace Qt::StringLiterals;
using namespace vinzal;

namespace {

QTextStream syncSay(stdout);

// Runs a program with HOME at `home` (where .netrc is); its time in seconds, or -1 on failure.
double timed(const QString& program, const QStringList& arguments, const QString& home, const QString& folder)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"HOME"_s, home);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    process.write("y\ny\ny\n");
    process.closeWriteChannel();
    if (!process.waitForFinished(3600000) || process.exitCode() != 0) {
        syncSay << "  " << program << " failed: " << process.readAll() << "\n";
        return -1;
    }
    return double(timer.elapsed()) / 1000.0;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? -1 : values.at(values.size() / 2);
}

QString seconds(double value)
{
    return value < 0 ? u"—"_s : QString::number(value, 'f', 2);
}

bool changeBook(const QString& book)
{
    sqlite3* db = nullptr;
    if (sqlite3_open(QFile::encodeName(book).constData(), &db) != SQLITE_OK)
        return false;
    const int done =
        sqlite3_exec(db, "UPDATE Nomelia SET Telefonino = COALESCE(Telefonino, '') || '9' WHERE ID % 100 = 0",
                     nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return done == SQLITE_OK;
}

// Changes the mobile number of 1% of the .vcf files in `folder`, as an edit on that side would.
void changeFolder(const QString& folder)
{
    QStringList files;
    for (QDirIterator it(folder, {u"*.vcf"_s}, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
        files.append(it.next());
    std::sort(files.begin(), files.end());
    for (qsizetype i = 0; i < files.size(); i += 100) {
        QFile file(files.at(i));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        QByteArray text = file.readAll();
        file.close();
        text.replace("TEL;TYPE=cell:", "TEL;TYPE=cell:9");
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(text);
    }
}

} // namespace

int benchSync(const QList<qint64>& sizes)
{
    const QString radicale = QStandardPaths::findExecutable(u"radicale"_s);
    const QString vdirsyncer = QStandardPaths::findExecutable(u"vdirsyncer"_s);
    if (radicale.isEmpty()) {
        syncSay << "radicale is not installed (apt install radicale)\n";
        return 1;
    }
    syncSay << "| cards | operation | vinzal-db sync (s) | vdirsyncer (s) |\n|---:|---|---:|---:|\n";
    for (const qint64 rows : sizes) {
        QTemporaryDir dir;
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 port = probe.serverPort();
        probe.close();
        QFile(dir.filePath(u"users"_s)).open(QIODevice::WriteOnly);
        {
            QFile users(dir.filePath(u"users"_s));
            users.open(QIODevice::WriteOnly);
            users.write("mario:segreta\n");
            QFile config(dir.filePath(u"config"_s));
            config.open(QIODevice::WriteOnly);
            config.write(
                u"[server]\nhosts = 127.0.0.1:%1\n[auth]\ntype = htpasswd\nhtpasswd_filename = %2\n"
                u"htpasswd_encryption = plain\n[storage]\nfilesystem_folder = %3\n[logging]\nlevel = "
                u"warning\n"_s.arg(port)
                    .arg(dir.filePath(u"users"_s), dir.filePath(u"data"_s))
                    .toUtf8());
            QDir(dir.path()).mkpath(u"home"_s);
            QFile netrc(dir.filePath(u"home/.netrc"_s));
            netrc.open(QIODevice::WriteOnly);
            netrc.write("machine 127.0.0.1 login mario password segreta\n");
        }
        QProcess server;
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.setStandardOutputFile(dir.filePath(u"radicale.log"_s));
        server.start(radicale, {u"--config"_s, dir.filePath(u"config"_s)});
        carddav::Client client(u"mario"_s, u"segreta"_s);
        const QString root = u"http://127.0.0.1:%1/"_s.arg(port);
        for (int i = 0; i < 100 && client.propfind(QUrl(root), 0, "<d:resourcetype/>").status != 207; ++i)
            QThread::msleep(100);
        const QString collection = root + u"mario/rubrica/"_s;
        client.send(
            "MKCOL", QUrl(collection),
            "<?xml version=\"1.0\"?><mkcol xmlns=\"DAV:\" xmlns:C=\"urn:ietf:params:xml:ns:carddav\"><set>"
            "<prop><resourcetype><collection/><C:addressbook/></resourcetype></prop></set></mkcol>");
        // The phone's address book: N cards, put where Radicale keeps them.
        const QString home = dir.filePath(u"home"_s);
        timed(QStringLiteral(VINZAL_DB), {u"demo"_s, u"fonte.mdb"_s, u"--rows"_s, QString::number(rows)},
              home, dir.path());
        timed(QStringLiteral(VINZAL_DB), {u"export"_s, u"--vcard"_s, u"tutte.vcf"_s, u"fonte.mdb"_s}, home,
              dir.path());
        QFile all(dir.filePath(u"tutte.vcf"_s));
        all.open(QIODevice::ReadOnly);
        const QByteArray cards = all.readAll();
        qsizetype at = 0;
        int number = 0;
        while ((at = cards.indexOf("BEGIN:VCARD", at)) >= 0) {
            const qsizetype end = cards.indexOf("END:VCARD\r\n", at) + 11;
            QFile card(dir.filePath(u"data/collection-root/mario/rubrica/t%1.vcf"_s.arg(number++)));
            card.open(QIODevice::WriteOnly);
            card.write(cards.mid(at, end - at).replace("UID:vinzal-", "UID:telefono-"));
            at = end;
        }
        // Radicale indexes the cards on the first listing: done before anything is timed.
        client.propfind(QUrl(collection), 1, "<d:getetag/>");

        timed(QStringLiteral(VINZAL_DB), {u"create"_s, u"rubrica.mdb"_s}, home, dir.path());
        const QStringList sync{u"sync"_s, u"rubrica.mdb"_s, collection};
        const double first = timed(QStringLiteral(VINZAL_DB), sync, home, dir.path());
        QList<double> still;
        for (int i = 0; i < 3; ++i)
            still.append(timed(QStringLiteral(VINZAL_DB), sync, home, dir.path()));
        changeBook(dir.filePath(u"rubrica.mdb"_s));
        const double changed = timed(QStringLiteral(VINZAL_DB), sync, home, dir.path());

        double otherFirst = -1, otherStill = -1, otherChanged = -1;
        if (!vdirsyncer.isEmpty()) {
            QDir(dir.path()).mkpath(u"vcf"_s);
            QFile config(dir.filePath(u"vdirsyncer.conf"_s));
            config.open(QIODevice::WriteOnly);
            config.write(
                u"[general]\nstatus_path = \"%1/stato/\"\n\n[pair rubrica]\na = \"locale\"\nb = \"server\"\n"
                u"collections = null\nconflict_resolution = \"a wins\"\n\n[storage locale]\ntype = "
                u"\"filesystem\"\npath = \"%1/vcf/\"\nfileext = \".vcf\"\n\n[storage server]\ntype = "
                u"\"carddav\"\nurl = \"%2\"\nusername = \"mario\"\npassword = \"segreta\"\n"_s
                    .arg(dir.path(), collection)
                    .toUtf8());
            config.close();
            const QStringList with{u"-c"_s, dir.filePath(u"vdirsyncer.conf"_s)};
            timed(vdirsyncer, with + QStringList{u"discover"_s}, home, dir.path());
            otherFirst = timed(vdirsyncer, with + QStringList{u"sync"_s}, home, dir.path());
            QList<double> times;
            for (int i = 0; i < 3; ++i)
                times.append(timed(vdirsyncer, with + QStringList{u"sync"_s}, home, dir.path()));
            otherStill = median(times);
            changeFolder(dir.filePath(u"vcf"_s));
            otherChanged = timed(vdirsyncer, with + QStringList{u"sync"_s}, home, dir.path());
        }
        syncSay << "| " << rows << " | first sync (the server's cards into an empty book) | "
                << seconds(first) << " | " << seconds(otherFirst) << " |\n";
        syncSay << "| " << rows << " | nothing changed | " << seconds(median(still)) << " | "
                << seconds(otherStill) << " |\n";
        syncSay << "| " << rows << " | 1% changed on our side | " << seconds(changed) << " | "
                << seconds(otherChanged) << " |\n";
        syncSay.flush();
        server.kill();
        server.waitForFinished();
    }
    return 0;
}
