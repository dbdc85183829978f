// Faults of the file, the disk, the process and the input: nothing typed is lost, nothing on disk is
// damaged or silently overwritten, and every failure is told in Italian while the window goes on.
#include "application.h"
#include "bound_grid.h"
#include "connection.h"
#include "contact_table.h"
#include "form1.h"
#include "form2.h"
#include "gui_support.h"
#include "record_navigator.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTest>
#include <QTextStream>
#include <QThread>

#include <cstdio>
#include <optional>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;

namespace {

void openToEveryone(const QString& path)
{
    QFile::setPermissions(path, QFile::Permissions(0x7777));
}

// --- Helper modes: the test binary started again as another process ---------------------------

int holdLock(const QString& path)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s);
    db.setDatabaseName(path);
    QSqlQuery query(db);
    if (!db.open() || !query.exec(u"BEGIN EXCLUSIVE"_s) || !query.exec(u"UPDATE Nomelia SET Fax = Fax"_s))
        return 1;
    QTextStream(stdout) << "locked" << Qt::endl;
    QThread::sleep(60);
    return 0; // ends without committing
}

// Writes through the store as fast as it can and says which writes it has been told are done.
int crashWriter(const QString& path, int first)
{
    RecordNavigator navigator;
    TextField name(nameField), town(u"Città"_s);
    navigator.bind(&name);
    navigator.bind(&town);
    navigator.setDatabaseName(path);
    if (!navigator.open())
        return 1;
    QTextStream out(stdout);
    for (int n = first;; ++n) {
        if (!navigator.addNew())
            return 1;
        name.type(u"scritto %1"_s.arg(n));
        if (!navigator.update())
            return 1;
        out << "ack " << n << Qt::endl;
        if (!navigator.moveFirst() || !navigator.edit())
            return 1;
        town.type(u"città %1"_s.arg(n));
        if (!navigator.update())
            return 1;
        out << "edit " << n << Qt::endl;
    }
}

// Another process holding the book's write lock until it is killed.
struct LockHolder
{
    QProcess process;
    explicit LockHolder(const QString& path)
    {
        process.start(QCoreApplication::applicationFilePath(), {u"--hold-lock"_s, path});
        if (!process.waitForReadyRead(10000))
            qFatal("the lock holder did not start");
    }
    ~LockHolder()
    {
        process.kill();
        process.waitForFinished();
    }
};

} // namespace

class TestReliability : public QObject
{
    Q_OBJECT

    ScriptedDialogs* m_dialogs = nullptr;

    QString lastError() const
    {
        return m_dialogs->shown.isEmpty() ? QString() : m_dialogs->shown.last().text;
    }

private slots:
    void init() { m_dialogs = &ScriptedDialogs::install(); }

    void openingFaults_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("wording");
        QTemporaryDir dir;
        const QString real = dir.filePath(u"real.mdb"_s);
        makeAddressBook(real, fourContacts());
        QTest::newRow("truncated") << fileBytes(real).left(fileBytes(real).size() / 3) << u"danneggiato"_s;
        query(real, u"ALTER TABLE Nomelia RENAME TO Rubrica"_s);
        QTest::newRow("no table") << fileBytes(real) << u"non contiene la tabella «Nomelia»"_s;
        query(dir.filePath(u"f.mdb"_s), u"CREATE TABLE Nomelia(ID INTEGER PRIMARY KEY, Genere TEXT)"_s);
        QTest::newRow("field missing") << fileBytes(dir.filePath(u"f.mdb"_s)) << u"mancano i campi"_s;
        QTest::newRow("empty") << QByteArray() << u"è vuoto"_s;
        QByteArray noise(8192, '\0');
        QRandomGenerator(3).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
        QTest::newRow("random bytes") << noise << u"non è una rubrica"_s;
        QTest::newRow("access file") << fileBytes(QFINDTESTDATA("data/jet/Vinzal-jet4.mdb"))
                                     << u"vinzal-db import"_s;
        QByteArray ace(4096, '\0');
        ace.replace(4, 15, "Standard ACE DB");
        QTest::newRow("accdb header") << ace << u"vinzal-db import"_s;
    }

    void openingFaults()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, wording);
        Card card({}, false);
        QVERIFY(writeBytes(card.path(), content));
        card.click(u"Command16"_s); // AGGIORNA opens it as the start-up does
        QVERIFY2(lastError().contains(wording) && !lastError().contains(u"SELECT"_s),
                 qPrintable(lastError()));
        QCOMPARE(m_dialogs->shown.last().icon, Dialogs::Icon::Critical);
        // Every button still answers with a message, and the file is left as it was.
        m_dialogs->textAnswers = {u"Rossi"_s};
        card.click(u"Command1"_s);
        card.click(u"MoveNext"_s);
        card.click(u"Command3"_s);
        QVERIFY(card.form().isVisible());
        QCOMPARE(fileBytes(card.path()), content);
    }

    void indexMissingAndExtraSchema()
    {
        Card card(fourContacts());
        query(card.path(), u"DROP INDEX \"Città\""_s);
        query(card.path(), u"ALTER TABLE Nomelia ADD COLUMN Compleanno TEXT"_s);
        query(card.path(), u"UPDATE Nomelia SET Compleanno = '1 marzo' WHERE ID = 1"_s);
        query(card.path(), u"CREATE INDEX Compleanno ON Nomelia(Compleanno)"_s);
        card.click(u"Command16"_s);
        m_dialogs->textAnswers = {u"Roma"_s, u"Bianchi"_s};
        card.click(u"Command8"_s);
        QVERIFY2(lastError().contains(u"non ha l'indice «Città»"_s), qPrintable(lastError()));
        card.click(u"Command1"_s); // another search still works
        QCOMPARE(card.text(u"Text12"_s), u"2"_s);
        card.type(u"Text10"_s, u"Como"_s);
        card.click(u"MoveFirst"_s, true);
        QCOMPARE(card.stored(2, u"Città"_s), u"Como"_s);
        QCOMPARE(card.stored(1, u"Compleanno"_s), u"1 marzo"_s);
    }

    // A write refused (SALVA, a move or ESCI): the message says why, the row is not left, the typed
    // values stay and the file is as it was. Once the fault is mended the same action succeeds; or the
    // user answers No, which writes nothing and goes back to browsing, and the next change is written
    // alone.
    void writeFaults_data() { rowsFrom(u"writeFaults"_s); }

    void writeFaults()
    {
        QFETCH(QString, fault);
        QFETCH(QString, wording);
        QFETCH(QString, state);
        QFETCH(QString, leave);
        QFETCH(bool, retry);
        Card card(fourContacts());
        const QString dir = QFileInfo(card.path()).absolutePath();
        std::optional<AsNobody> nobody;
        if (fault == u"file"_s || fault == u"folder"_s) {
            openToEveryone(dir);
            openToEveryone(card.path());
            QFile::setPermissions(fault == u"file"_s ? card.path() : dir, QFile::Permissions(0x5555));
            nobody.emplace();
            card.click(u"Command16"_s); // opened again by "nobody"
            QVERIFY2(card.form().navigator().isOpen(), qPrintable(lastError()));
        }
        if (state != u"Browsing"_s)
            card.click(state == u"Adding"_s ? u"Command2"_s : u"Command3"_s);
        card.type(u"Text10"_s, u"Aosta"_s);
        sql::Database& db = card.form().navigator().connection()->db();
        std::optional<LockHolder> holder;
        if (fault == u"locked"_s)
            holder.emplace(card.path());
        if (fault == u"full"_s) {
            static_cast<QPlainTextEdit*>(card.widget(u"Text8"_s))
                ->setPlainText(u"una riga\n"_s.repeated(3000));
            const auto pages = card.form().navigator().connection()->readOne(u"PRAGMA page_count"_s, {});
            QVERIFY(db.exec(u"PRAGMA max_page_count = %1"_s.arg(pages.value()->value(0).toInteger()), {}));
        }
        if (fault == u"replaced"_s) {
            makeAddressBook(card.path() + u".nuovo"_s, fourContacts());
            QVERIFY(std::rename(QFile::encodeName(card.path() + u".nuovo"_s),
                                QFile::encodeName(card.path())) == 0);
        }
        if (fault == u"changed"_s)
            query(card.path(), u"UPDATE Nomelia SET Città = 'Ostia' WHERE ID = 1"_s);
        if (fault == u"idsUsedUp"_s) // the highest ID there is, given by another program
            query(card.path(), u"INSERT INTO Nomelia (ID, Genere) VALUES (9223372036854775807, 'Altro')"_s);
        const QByteArray before = fileBytes(card.path());
        const qsizetype shown = m_dialogs->shown.size();
        card.click(leave, true);
        // Each part of the wording ("a … b"), in that order.
        QStringList parts = wording.split(u" … "_s);
        for (QString& part : parts)
            part = QRegularExpression::escape(part);
        QVERIFY2(lastError().contains(
                     QRegularExpression(parts.join(u".*"_s), QRegularExpression::DotMatchesEverythingOption)),
                 qPrintable(lastError()));
        QCOMPARE(m_dialogs->shown.last().icon, Dialogs::Icon::Critical);
        QCOMPARE(m_dialogs->shown.size(), shown + 2); // the question and the message
        QVERIFY(card.form().isVisible());
        QCOMPARE(card.state(), state);
        QCOMPARE(card.text(u"Text12"_s), state == u"Adding"_s ? QString() : u"1"_s);
        QCOMPARE(card.text(u"Text10"_s), u"Aosta"_s);
        QCOMPARE(fileBytes(card.path()), before);

        const auto mend = [&] {
            nobody.reset();
            openToEveryone(dir);
            openToEveryone(card.path());
            holder.reset();
            QVERIFY(db.exec(u"PRAGMA max_page_count = 1000000"_s, {}));
        };
        if (retry) {
            mend();
            card.click(leave, true);
            QCOMPARE(card.state(), u"Browsing"_s);
            const qint64 id = state == u"Adding"_s ? 5 : 1;
            QCOMPARE(card.stored(id, u"Città"_s), u"Aosta"_s);
            QCOMPARE(query(card.path(), u"PRAGMA integrity_check"_s).first().toString(), u"ok"_s);
            return;
        }
        holder.reset(); // the lock must be gone for the card to read the contact again
        card.click(leave, false);
        QCOMPARE(fileBytes(card.path()), before);
        if (leave == u"Command7"_s) {
            QVERIFY(!card.form().isVisible());
            return;
        }
        QCOMPARE(card.state(), u"Browsing"_s);
        QVERIFY(card.button(u"Command7"_s)->isEnabled() && card.widget(u"Data1"_s)->isEnabled());
        QCOMPARE(card.text(u"Text12"_s), u"1"_s);
        QCOMPARE(card.text(u"Text10"_s), card.stored(1, u"Città"_s)); // as stored

        mend();
        if (fault == u"replaced"_s)
            card.click(u"Command16"_s); // read again: now on the new file
        card.click(u"Command3"_s);
        card.type(u"Text2"_s, u"Rossi Mario Luigi"_s);
        card.click(u"Command6"_s, true);
        QCOMPARE(card.state(), u"Browsing"_s);
        QCOMPARE(card.stored(1, nameField), u"Rossi Mario Luigi"_s);
        QCOMPARE(card.stored(1, u"Città"_s), fault == u"changed"_s ? u"Ostia"_s : u"Torino"_s);
        QCOMPARE(query(card.path(), u"SELECT count(*) FROM Nomelia"_s).first().toInt(),
                 fault == u"idsUsedUp"_s ? 5 : 4);
    }

    // A move reads in one transaction: the file must be free for other programs the moment it
    // ends, after a search, a move at the end of the table and a move refused for a lock too.
    void movesLeaveTheFileFree()
    {
        Card card(fourContacts());
        const auto othersCanWrite = [&card] {
            bool written = false;
            {
                QSqlDatabase other = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"other"_s);
                other.setDatabaseName(card.path());
                other.setConnectOptions(u"QSQLITE_BUSY_TIMEOUT=0"_s);
                QSqlQuery query(other);
                written = other.open() && query.exec(u"BEGIN EXCLUSIVE"_s) && query.exec(u"COMMIT"_s);
            }
            QSqlDatabase::removeDatabase(u"other"_s);
            return written;
        };
        m_dialogs->textAnswers = {u"Rossi"_s};
        card.click(u"Command1"_s);
        QVERIFY(othersCanWrite());
        for (const QString& move : {u"MoveNext"_s, u"MoveLast"_s, u"MoveNext"_s, u"MovePrevious"_s}) {
            card.click(move);
            QVERIFY2(othersCanWrite(), qPrintable(move));
        }
        card.click(u"MoveFirst"_s);
        const QString first = card.text(u"Text12"_s);
        card.click(u"MoveNext"_s);
        {
            LockHolder holder(card.path());
            card.click(u"MoveFirst"_s);
            QVERIFY2(lastError().contains(u"occupato"_s), qPrintable(lastError()));
        }
        QVERIFY(othersCanWrite());
        m_dialogs->clear();
        card.click(u"MoveFirst"_s);
        QVERIFY(m_dialogs->shown.isEmpty());
        QCOMPARE(card.text(u"Text12"_s), first);
        QVERIFY(othersCanWrite());
    }

    void crashesLoseNoAcknowledgedWrite()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(contacts::fileName());
        makeAddressBook(path, fourContacts());
        QRandomGenerator random(2026);
        QSet<int> acknowledged;
        int edited = 0; // the last acknowledged edit
        int next = 1;
        for (int round = 0; round < 24; ++round) {
            QProcess writer;
            writer.start(QCoreApplication::applicationFilePath(),
                         {u"--crash-writer"_s, path, QString::number(next)});
            QVERIFY(writer.waitForStarted());
            QTest::qWait(int(60 + random.bounded(250)));
            writer.kill(); // SIGKILL
            writer.waitForFinished();
            for (const QByteArray& line : writer.readAllStandardOutput().split('\n')) {
                const QList<QByteArray> words = line.split(' ');
                if (words.size() != 2)
                    continue;
                const int n = words[1].toInt();
                if (words[0] == "ack")
                    acknowledged.insert(n);
                else
                    edited = n;
                next = std::max(next, n + 1);
            }
            QCOMPARE(query(path, u"PRAGMA integrity_check"_s).first().toString(), u"ok"_s);
        }
        QVERIFY2(acknowledged.size() > 24, "the writer was killed too soon to prove anything");
        QSet<int> stored;
        for (const QVariant& name : query(path, u"SELECT \"Cognone e nome o denominazione\" FROM Nomelia"_s))
            if (name.toString().startsWith(u"scritto "_s))
                stored.insert(name.toString().mid(8).toInt());
        QVERIFY(stored.contains(acknowledged));
        // The first row holds the last acknowledged edit, or one made after it.
        QVERIFY(fieldOf(path, 1, u"Città"_s).toString().mid(6).toInt() >= edited);
    }
};

int main(int argc, char* argv[])
{
    const QString mode = argc > 2 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode == u"--hold-lock"_s || mode == u"--crash-writer"_s) {
        QCoreApplication core(argc, argv);
        const QString path = QString::fromLocal8Bit(argv[2]);
        return mode == u"--hold-lock"_s ? holdLock(path)
                                        : crashWriter(path, QString::fromLocal8Bit(argv[3]).toInt());
    }
    QApplication app(argc, argv);
    vinzal::setUpApplication(app);
    TestReliability test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_reliability.moc"
