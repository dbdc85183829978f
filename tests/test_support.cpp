#include "test_support.h"

#include "engine.h"
#include "private_server.h"

#include "connection.h"
#include "contact_table.h"
#include "schema.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>
#include <QUrl>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace vinzal::test {

bool onServer()
{
    return qEnvironmentVariable("VINZAL_TEST_ENGINE") == u"postgres"_s;
}

QString testBook(const QString& path)
{
    if (!onServer())
        return path;
    // Stopped while the application still exists, as its processes need.
    static PrivateServer* server = [] {
        auto* started = new PrivateServer;
        if (!started->start())
            qFatal("cannot start the test server: %s", qPrintable(started->errorString()));
        qAddPostRoutine([] { delete server; });
        return started;
    }();
    static int made = 0;
    const QString name = u"book%1"_s.arg(++made);
    if (!server->createDatabase(name))
        qFatal("cannot make a database: %s", qPrintable(server->errorString()));
    return server->uri(u"vinzal"_s, name);
}

void makeAddressBook(const QString& path, const QList<Contact>& contacts)
{
    const auto create = [&path](const std::function<Status(QSqlDatabase&)>& fill) {
        return isServerBook(path) ? schema::createOnServer(path, true, fill)
                                  : schema::create(path, false, fill);
    };
    const Status made = create([&](QSqlDatabase& db) -> Status {
        for (const Contact& contact : contacts) {
            QStringList columns, marks;
            for (const auto& [field, value] : contact) {
                columns.append(quoteIdentifier(field));
                marks.append(u"?"_s);
            }
            QSqlQuery query(db);
            query.prepare(contact.isEmpty() ? u"INSERT INTO \"Nomelia\" DEFAULT VALUES"_s
                                            : u"INSERT INTO \"Nomelia\" ("_s + columns.join(u","_s) +
                                                  u") VALUES ("_s + marks.join(u","_s) + u")"_s);
            for (const auto& pair : contact)
                query.addBindValue(pair.second);
            if (!query.exec())
                return StoreError::fromSql(query.lastError(), u"test"_s);
        }
        return {};
    });
    if (!made)
        qFatal("cannot make the test address book: %s", qPrintable(made.error().fullText()));
}

namespace {

QVariantList serverSql(const QString& book, QString statement, const QVariantList& bindings)
{
    static const QRegularExpression names(u"(?<![\"\\w])(Nomelia|ID|Genere)(?![\"\\w])"_s);
    statement.replace(names, u"\"\\1\""_s);
    statement.replace(QRegularExpression(u"\\browid\\b"_s), u"\"ID\""_s);
    auto connection = Connection::openServerDatabase(book);
    if (!connection)
        qFatal("cannot connect to %s", qPrintable(book));
    QSqlQuery query(connection.value()->database());
    query.prepare(statement);
    for (const QVariant& value : bindings)
        query.addBindValue(value);
    if (!query.exec())
        qFatal("%s: %s", qPrintable(statement), qPrintable(query.lastError().text()));
    QVariantList result;
    while (query.next())
        result.append(query.value(0));
    return result;
}

} // namespace

QVariantList sql(const QString& path, const QString& statement, const QVariantList& bindings)
{
    if (isServerBook(path))
        return serverSql(path, statement, bindings);
    QVariantList result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"test-direct"_s);
        db.setDatabaseName(
            QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toString(QUrl::FullyEncoded) +
            u"?mode=rwc"_s);
        db.setConnectOptions(u"QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=4000"_s);
        if (!db.open())
            qFatal("cannot open %s", qPrintable(path));
        QSqlQuery query(db);
        query.prepare(statement);
        for (const QVariant& value : bindings)
            query.addBindValue(value);
        if (!query.exec())
            qFatal("%s: %s", qPrintable(statement), qPrintable(query.lastError().text()));
        while (query.next())
            result.append(query.value(0));
    }
    QSqlDatabase::removeDatabase(u"test-direct"_s);
    return result;
}

int runVinzalDb(const QString& vinzalDb, const QString& folder, const QStringList& arguments, QString* output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(folder);
    process.start(vinzalDb, arguments);
    process.waitForFinished(120000);
    const QString text = QString::fromUtf8(process.readAll());
    if (output)
        *output = text;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QVariant fieldOf(const QString& path, qint64 id, const QString& field)
{
    const QVariantList values =
        sql(path, u"SELECT "_s + quoteIdentifier(field) + u" FROM \"Nomelia\" WHERE rowid = ?"_s, {id});
    return values.isEmpty() ? QVariant() : values.first();
}

AsNobody::AsNobody() : m_wasRoot(geteuid() == 0)
{
    // The real user too, or Qt in a program started meanwhile would take itself for setuid and stop;
    // the saved one stays root, to come back.
    if (m_wasRoot && setresuid(65534, 65534, 0) != 0)
        qFatal("cannot act as nobody");
}

AsNobody::~AsNobody()
{
    if (m_wasRoot && setresuid(0, 0, 0) != 0)
        qFatal("cannot act as root again");
}

} // namespace vinzal::test
