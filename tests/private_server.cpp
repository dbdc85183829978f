#include "private_server.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>
#include <QVersionNumber>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace vinzal::test {

namespace {

const QString superuser = u"vinzal"_s;
// The socket lives in our own folder, so every server can keep the default port and the URIs need
// none; the port is still set explicitly so that PGPORT in the environment cannot move it. A server
// that listens on the loopback takes a port that is free at the time.
QString freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return QString::number(port);
}

// Debian keeps each major version's programs in /usr/lib/postgresql/N/bin and puts only wrappers
// (or nothing) on PATH, and pg_config may belong to another version than the server: take the highest
// version installed, then PATH as other systems have it. VINZAL_PG_BINDIR overrides both.
QString findBinDir()
{
    const QString forced = qEnvironmentVariable("VINZAL_PG_BINDIR");
    if (!forced.isEmpty())
        return forced;
    QDir versions(u"/usr/lib/postgresql"_s);
    QStringList names = versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        return QVersionNumber::fromString(a) > QVersionNumber::fromString(b);
    });
    for (const QString& name : names) {
        const QString bin = versions.filePath(name + u"/bin"_s);
        if (QFile::exists(bin + u"/initdb"_s) && QFile::exists(bin + u"/pg_ctl"_s))
            return bin;
    }
    const QString initdb = QStandardPaths::findExecutable(u"initdb"_s);
    return initdb.isEmpty() ? QString() : QFileInfo(initdb).absolutePath();
}

// Whatever the developer's shell points libpq and the server at must not reach our server or psql.
QProcessEnvironment cleanEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& name : environment.keys())
        if (name.startsWith(u"PG"_s))
            environment.remove(name);
    environment.insert(u"PGCLIENTENCODING"_s, u"UTF8"_s);
    environment.insert(u"PGCONNECT_TIMEOUT"_s, u"10"_s);
    return environment;
}

QString quoted(const QString& identifier)
{
    return u'"' + QString(identifier).replace(u'"', u"\"\""_s) + u'"';
}

} // namespace

PrivateServer::PrivateServer() = default;

PrivateServer::~PrivateServer()
{
    if (m_running)
        stop();
    stopWatchdog();
}

QString PrivateServer::socketDir() const
{
    return m_folder ? m_folder->path() : QString();
}

QString PrivateServer::dataDir() const
{
    return socketDir() + u"/data"_s;
}

QString PrivateServer::uri(const QString& user, const QString& database) const
{
    return u"postgresql:///"_s + QString::fromLatin1(QUrl::toPercentEncoding(database)) + u"?host="_s +
           QString::fromLatin1(QUrl::toPercentEncoding(socketDir())) + u"&user="_s +
           QString::fromLatin1(QUrl::toPercentEncoding(user)) +
           (m_port == u"5432"_s ? QString() : u"&port="_s + m_port);
}

void PrivateServer::listenOnLoopbackWithTls(const QString& certificateFile, const QString& keyFile)
{
    m_certificateFile = certificateFile;
    m_keyFile = keyFile;
}

PrivateServer::Result PrivateServer::run(const QString& program, const QStringList& arguments,
                                         bool asServerUser, const QByteArray& input, int timeoutMs) const
{
    QProcess process;
    process.setProcessEnvironment(cleanEnvironment());
    // The server's user may not be allowed into the test's working directory.
    process.setWorkingDirectory(socketDir());
    QString command = program;
    QStringList all = arguments;
    if (asServerUser && m_asOtherUser) {
        // setpriv (util-linux) changes the ids and nothing else (no PAM, no session), which is all a
        // container offers reliably.
        command = QStandardPaths::findExecutable(u"setpriv"_s);
        all = QStringList{u"--reuid=%1"_s.arg(m_uid), u"--regid=%1"_s.arg(m_gid), u"--clear-groups"_s,
                          u"--"_s, program} +
              arguments;
    }
    process.start(command, all);
    Result result;
    if (!process.waitForStarted()) {
        result.err = command + u": "_s + process.errorString();
        return result;
    }
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.err =
            u"%1 did not finish within %2 s"_s.arg(QFileInfo(program).fileName()).arg(timeoutMs / 1000);
    }
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err += QString::fromUtf8(process.readAllStandardError());
    // psql and pg_ctl print notices and warnings on success too: only the exit status decides.
    result.ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return result;
}

bool PrivateServer::fail(const QString& what, const QString& detail)
{
    m_error = what;
    if (!detail.trimmed().isEmpty())
        m_error += u": "_s + detail.trimmed();
    return false;
}

QString PrivateServer::logTail() const
{
    QFile log(socketDir() + u"/server.log"_s);
    if (!log.open(QIODevice::ReadOnly))
        return {};
    const QStringList lines = QString::fromUtf8(log.readAll()).split(u'\n', Qt::SkipEmptyParts);
    return u"\n"_s + lines.mid(std::max<qsizetype>(0, lines.size() - 10)).join(u'\n');
}

bool PrivateServer::start()
{
    if (m_running)
        return true;
    m_error.clear();
    m_binDir = findBinDir();
    if (m_binDir.isEmpty())
        return fail(
            u"no PostgreSQL server programs (initdb, pg_ctl) found; install the postgresql package"_s);

    // Short and under /tmp whatever TMPDIR says: a socket path must fit in 107 bytes.
    m_folder = std::make_unique<QTemporaryDir>(u"/tmp/vinzal-pg-XXXXXX"_s);
    if (!m_folder->isValid())
        return fail(u"cannot make a temporary folder: "_s + m_folder->errorString());

    // PostgreSQL refuses to run as root: the server runs as the user the Debian package makes, or as
    // nobody, and owns the (empty) folder it will fill.
    m_asOtherUser = geteuid() == 0;
    if (m_asOtherUser) {
        const passwd* account = getpwnam("postgres");
        if (!account)
            account = getpwnam("nobody");
        if (!account)
            return fail(u"running as root and there is neither a postgres nor a nobody user"_s);
        m_uid = account->pw_uid;
        m_gid = account->pw_gid;
        if (::chown(QFile::encodeName(socketDir()).constData(), m_uid, m_gid) != 0)
            return fail(u"cannot give the temporary folder to the server's user"_s);
    }

    // C.UTF-8 keeps sorting independent of the machine's locales; plain C where it is missing.
    Result made;
    for (const QString& locale : {u"C.UTF-8"_s, u"C"_s}) {
        QDir(dataDir()).removeRecursively();
        made = run(m_binDir + u"/initdb"_s,
                   {u"-D"_s, dataDir(), u"-U"_s, superuser, u"--auth-local=trust"_s, u"--auth-host=reject"_s,
                    u"-E"_s, u"UTF8"_s, u"--locale="_s + locale, u"--no-sync"_s},
                   true);
        if (made.ok)
            break;
    }
    if (!made.ok)
        return fail(u"initdb failed"_s, made.err);

    // The server reads its key only when the key belongs to it and no one else may read it.
    QString listen, tls, hostLines;
    if (!m_certificateFile.isEmpty()) {
        m_port = freeLoopbackPort();
        if (m_port == u"0"_s)
            return fail(u"no free port on 127.0.0.1"_s);
        const std::pair<QString, QString> files[] = {{m_certificateFile, u"server.crt"_s},
                                                     {m_keyFile, u"server.key"_s}};
        for (const auto& [from, to] : files) {
            const QByteArray copy = QFile::encodeName(dataDir() + u'/' + to);
            if (!QFile::copy(from, dataDir() + u'/' + to) || ::chmod(copy.constData(), 0600) != 0 ||
                (m_asOtherUser && ::chown(copy.constData(), m_uid, m_gid) != 0))
                return fail(u"cannot give the server its certificate: "_s + from);
        }
        listen = u"127.0.0.1"_s;
        tls = u"ssl = on\nssl_cert_file = 'server.crt'\nssl_key_file = 'server.key'\n"_s;
        hostLines = u"hostssl all all 127.0.0.1/32 trust\n"_s;
    }
    // The socket in our folder, the loopback only when asked for; a test server keeps nothing worth
    // an fsync. The password role is matched first, so that it really has to give its password.
    const auto write = [](const QString& path, QIODevice::OpenMode mode, const QString& text) {
        QFile file(path);
        return file.open(mode | QIODevice::Text) && file.write(text.toUtf8()) > 0;
    };
    if (!write(dataDir() + u"/postgresql.conf"_s, QIODevice::Append,
               u"\nlisten_addresses = '%3'\nunix_socket_directories = '%1'\nport = %2\nmax_connections = 30\n"
               u"shared_buffers = 16MB\nfsync = off\nsynchronous_commit = off\nfull_page_writes = off\n"
               u"logging_collector = off\n"_s.arg(socketDir(), m_port, listen) +
                   tls) ||
        !write(dataDir() + u"/pg_hba.conf"_s, QIODevice::WriteOnly | QIODevice::Truncate,
               u"local all %1 scram-sha-256\nlocal all all trust\n"_s.arg(passwordUser) + hostLines))
        return fail(u"cannot write the server's configuration"_s);

    const Result started = pgCtl({u"start"_s});
    if (!started.ok) {
        // A server still starting when pg_ctl gave up must not outlive us.
        m_running = QFile::exists(dataDir() + u"/postmaster.pid"_s);
        stop();
        return fail(u"pg_ctl start failed"_s, started.err + logTail());
    }
    m_running = true;
    startWatchdog();

    const Result prepared = psql(
        {}, u"CREATE DATABASE vinzal;\nCREATE ROLE %1 LOGIN PASSWORD '%2';\n"_s.arg(passwordUser, password),
        u"postgres"_s);
    return prepared.ok || fail(u"cannot prepare the server"_s, prepared.err);
}

bool PrivateServer::restart()
{
    if (!m_running)
        return fail(u"the server is not running"_s);
    const Result restarted = pgCtl({u"-m"_s, u"fast"_s, u"restart"_s});
    return restarted.ok || (fail(u"pg_ctl restart failed"_s, restarted.err + logTail()), false);
}

bool PrivateServer::stop()
{
    if (!m_running)
        return true;
    Result stopped = pgCtl({u"-m"_s, u"fast"_s, u"stop"_s});
    if (!stopped.ok)
        stopped = pgCtl({u"-m"_s, u"immediate"_s, u"stop"_s});
    m_running = false; // what pg_ctl could not stop, the watchdog does once this process ends
    return stopped.ok || fail(u"pg_ctl stop failed"_s, stopped.err);
}

PrivateServer::Result PrivateServer::pgCtl(const QStringList& arguments) const
{
    return run(m_binDir + u"/pg_ctl"_s,
               QStringList{u"-D"_s, dataDir(), u"-l"_s, socketDir() + u"/server.log"_s, u"-w"_s, u"-t"_s,
                           u"60"_s, u"-s"_s} +
                   arguments,
               true, {}, 90000);
}

PrivateServer::Result PrivateServer::psql(const QStringList& options, const QString& sql,
                                          const QString& database) const
{
    // The SQL goes through standard input, so that each statement runs on its own (CREATE DATABASE
    // cannot share a transaction) and nothing of it lands on a command line.
    return run(m_binDir + u"/psql"_s,
               QStringList{u"-X"_s, u"-q"_s, u"-v"_s, u"ON_ERROR_STOP=1"_s, u"-h"_s, socketDir(), u"-p"_s,
                           m_port, u"-U"_s, superuser, u"-d"_s, database} +
                   options + QStringList{u"-f"_s, u"-"_s},
               false, sql.toUtf8());
}

bool PrivateServer::createDatabase(const QString& name)
{
    return exec(u"CREATE DATABASE "_s + quoted(name) + u";"_s, u"postgres"_s);
}

bool PrivateServer::exec(const QString& sql, const QString& database)
{
    const Result result = psql({}, sql, database);
    return result.ok || fail(u"psql failed"_s, result.err);
}

QStringList PrivateServer::query(const QString& sql, const QString& database)
{
    const Result result = psql({u"-A"_s, u"-t"_s}, sql, database);
    if (!result.ok) {
        fail(u"psql failed"_s, result.err);
        return {};
    }
    QString out = result.out;
    if (out.endsWith(u'\n'))
        out.chop(1);
    return out.isEmpty() ? QStringList() : out.split(u'\n');
}

// If the test process dies (a crash, an abort, a CTest timeout) the destructor never runs: a small
// shell, detached in its own session, waits for it to go and then shuts the server down at once and
// removes the folder. The postmaster quits at once on SIGQUIT and deletes its
// postmaster.pid on the way out; its process may linger as a zombie, so the file is what is awaited.
void PrivateServer::startWatchdog()
{
    const QString script = uR"(parent=$1 data=$2 folder=$3
while kill -0 "$parent" 2>/dev/null; do sleep 1; done
if [ -f "$data/postmaster.pid" ]; then
    pid=$(head -n 1 "$data/postmaster.pid")
    kill -QUIT "$pid" 2>/dev/null
    i=0
    while [ -f "$data/postmaster.pid" ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
    [ -f "$data/postmaster.pid" ] && kill -KILL "$pid" 2>/dev/null
fi
rm -rf "$folder"
)"_s;
    // Its output goes nowhere: holding the test's stdout open would keep CTest waiting for it.
    QProcess watchdog;
    watchdog.setProgram(u"/bin/sh"_s);
    watchdog.setArguments(
        {u"-c"_s, script, u"vinzal-pg-watchdog"_s, QString::number(::getpid()), dataDir(), socketDir()});
    watchdog.setWorkingDirectory(u"/"_s);
    watchdog.setStandardInputFile(QProcess::nullDevice());
    watchdog.setStandardOutputFile(QProcess::nullDevice());
    watchdog.setStandardErrorFile(QProcess::nullDevice());
    watchdog.startDetached(&m_watchdog);
}

void PrivateServer::stopWatchdog()
{
    if (m_watchdog > 0)
        ::kill(static_cast<pid_t>(m_watchdog), SIGKILL);
    m_watchdog = 0;
}

} // namespace vinzal::test
