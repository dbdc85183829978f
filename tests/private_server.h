#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <sys/types.h>

namespace vinzal::test {

// A PostgreSQL server of the test's own: a fresh cluster in a temporary folder under /tmp, reachable
// through the Unix socket in that folder (over TCP only when asked for: on the loopback, with TLS),
// stopped and removed by the destructor. When the tests run as root the server runs as `postgres`
// (or `nobody`), since PostgreSQL refuses to run as root. The superuser is `vinzal` (trust over the
// socket); the role `pwuser`, password PrivateServer::password, must log in with it (scram-sha-256).
// A database `vinzal` exists after start(). A watchdog stops the server and removes the folder if the
// test process dies without running the destructor.
class PrivateServer
{
public:
    static inline const QString passwordUser = QStringLiteral("pwuser");
    static inline const QString password = QStringLiteral("segreto-di-prova");

    PrivateServer();
    ~PrivateServer();
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    // Before start(): the server also listens on 127.0.0.1, on a free port, and takes only TLS
    // connections there (every role without a password), showing this certificate with this key.
    void listenOnLoopbackWithTls(const QString& certificateFile, const QString& keyFile);
    QString port() const { return m_port; }

    // Makes the cluster, starts the server and waits until it takes connections; false with
    // errorString() when it cannot.
    bool start();
    bool restart();
    bool stop();

    QString errorString() const { return m_error; }
    QString socketDir() const;
    // postgresql:///DATABASE?host=SOCKETDIR&user=USER (and &port=PORT when not 5432), each part
    // percent-encoded.
    QString uri(const QString& user = QStringLiteral("vinzal"),
                const QString& database = QStringLiteral("vinzal")) const;

    bool createDatabase(const QString& name);
    // Runs SQL (one or more statements) as the superuser through psql; stops at the first error.
    bool exec(const QString& sql, const QString& database = QStringLiteral("vinzal"));
    // The rows psql -At prints: columns separated by '|'. Empty with errorString() on failure.
    QStringList query(const QString& sql, const QString& database = QStringLiteral("vinzal"));

private:
    struct Result
    {
        bool ok = false;
        QString out;
        QString err;
    };
    Result run(const QString& program, const QStringList& arguments, bool asServerUser,
               const QByteArray& input = {}, int timeoutMs = 60000) const;
    Result pgCtl(const QStringList& arguments) const;
    Result psql(const QStringList& options, const QString& sql, const QString& database) const;
    bool fail(const QString& what, const QString& detail = QString());
    QString dataDir() const;
    QString logTail() const;
    void startWatchdog();
    void stopWatchdog();

    std::unique_ptr<QTemporaryDir> m_folder;
    QString m_binDir;
    QString m_port = QStringLiteral("5432");
    QString m_certificateFile, m_keyFile;
    QString m_error;
    bool m_running = false;
    bool m_asOtherUser = false;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    qint64 m_watchdog = 0;
};

} // namespace vinzal::test
