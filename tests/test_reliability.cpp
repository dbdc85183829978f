// Faults of the file, the disk, the process and the input: nothing typed is lost, nothing on disk is
// damaged or silently overwritten, and every failure is told in Italian while the window goes on.
#include "application.h"
#include "bound_grid.h"
#include "contact_table.h"
#include "form1.h"
#include "form2.h"
#include "gui_support.h"
#include "record_navigator.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QTest>

#include <QTextStream>
#include <QThread>
#include <cstdio>

#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;

namespace {

const QString kName = u"Cognone e nome o denominazione"_s;

QList<Person> book()
{
    return {{{u"Genere"_s, u"Lavoro"_s}, {kName, u"Rossi Mario"_s}, {u"Città"_s, u"Roma"_s}},
            {{u"Genere"_s, u"Altro"_s}, {kName, u"Bianchi Anna"_s}, {u"Città"_s, u"Milano"_s}}};
}

QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void openToEveryone(const QString& path)
{
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther |
                                    QFile::WriteOther | QFile::ExeOther | QFile::ReadGroup |
                                    QFile::WriteGroup | QFile::ExeGroup);
}

// Hostile texts: what a paste can bring into any box.
QStringList hostileTexts()
{
    return {QString(1 << 20, u'ż'),
            u"\ufeffall'inizio un segno d'ordine dei byte"_s,
            u"\ufffeall'inizio il suo rovescio"_s,
            u"NUL\u0000 e controlli \u0001\u0007\u001b\t fine"_s,
            u"😀 emoji 👨‍👩‍👧 e bandiere 🇮🇹"_s,
            u"\u05e9\u05dc\u05d5\u05dd \u0645\u0631\u062d\u0628\u0627 \u202edestra\u202c"_s,
            u"l'apostrofo \"doppie\" «caporali» `accenti gravi`"_s,
            u"'); DROP TABLE \"Nomelia\"; --"_s,
            u"%_\\ ? :nome @x $1"_s};
}

// --- Helper modes: the test binary started again as another process ---------------------------

int holdLock(const QString& path, int ms)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s);
    db.setDatabaseName(path);
    if (!db.open())
        return 1;
    QSqlQuery query(db);
    if (!query.exec(u"BEGIN EXCLUSIVE"_s) || !query.exec(u"UPDATE Nomelia SET Fax = Fax"_s))
        return 1;
    QTextStream(stdout) << "locked" << Qt::endl;
    QThread::msleep(ulong(ms));
    return 0; // ends without committing
}

int writeField(const QString& path, qint64 id, const QString& field, const QString& value)
{
    return query(path, u"UPDATE Nomelia SET "_s + quoteIdentifier(field) + u" = ? WHERE ID = ?"_s,
                 {value, id}),
           0;
}

// Writes through the store as fast as it can and says which writes it has been told are done.
int crashWriter(const QString& path, int first)
{
    RecordNavigator navigator;
    TextField name(kName), town(u"Città"_s);
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
        makeAddressBook(real, book());
        QByteArray truncated = contentOf(real);
        truncated.truncate(truncated.size() / 3);
        QByteArray noTable = contentOf(real);
        query(real, u"ALTER TABLE Nomelia RENAME TO Rubrica"_s);
        noTable = contentOf(real);
        const QString other = dir.filePath(u"fields.mdb"_s);
        query(other, u"CREATE TABLE Nomelia(ID INTEGER PRIMARY KEY, Genere TEXT)"_s);

        QTest::newRow("empty") << QByteArray() << u"è vuoto"_s;
        QByteArray noise(8192, '\0');
        QRandomGenerator(3).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
        QTest::newRow("random bytes") << noise << u"non è una rubrica"_s;
        QTest::newRow("truncated") << truncated << u"danneggiato"_s;
        QTest::newRow("access file") << contentOf(QFINDTESTDATA("data/jet/Vinzal-jet4.mdb"))
                                     << u"vinzal-db import"_s;
        QByteArray ace(4096, '\0');
        ace.replace(4, 15, "Standard ACE DB");
        QTest::newRow("accdb header") << ace << u"vinzal-db import"_s;
        QTest::newRow("no table") << noTable << u"non contiene la tabella «Nomelia»"_s;
        QTest::newRow("field missing") << contentOf(other) << u"mancano i campi"_s;
    }

    void openingFaults()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, wording);
        QTemporaryDir dir;
        const QString path = dir.filePath(contacts::fileName());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        Card card({}, false);
        QFile::remove(card.path());
        QVERIFY(QFile::copy(path, card.path()));
        card.click(u"Command16"_s); // AGGIORNA opens it as the start-up does
        QVERIFY2(lastError().contains(wording), qPrintable(lastError()));
        QCOMPARE(m_dialogs->shown.last().icon, Dialogs::Icon::Critical);
        QVERIFY(!lastError().contains(u"SELECT"_s));
        QVERIFY(card.form().isVisible());
        // Every button still answers with a message, and the file is left as it was.
        m_dialogs->textAnswers = {u"Rossi"_s};
        card.click(u"Command1"_s);
        card.barMove(u"MoveNext"_s);
        card.click(u"Command3"_s);
        QVERIFY(card.form().isVisible());
        QCOMPARE(contentOf(card.path()), content);
    }

    void indexMissingAndExtraSchema()
    {
        Card card(book());
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
        m_dialogs->yesNoAnswers = {true};
        card.barMove(u"MoveFirst"_s);
        QCOMPARE(fieldOf(card.path(), 2, u"Città"_s).toString(), u"Como"_s);
        QCOMPARE(fieldOf(card.path(), 1, u"Compleanno"_s).toString(), u"1 marzo"_s);
    }

    void readOnlyFileAndFolder_data()
    {
        QTest::addColumn<bool>("folder");
        QTest::newRow("read-only file") << false;
        QTest::newRow("read-only folder") << true;
    }

    void readOnlyFileAndFolder()
    {
        QFETCH(bool, folder);
        Card card(book());
        const QString dir = QFileInfo(card.path()).absolutePath();
        openToEveryone(dir);
        openToEveryone(card.path());
        const QByteArray before = contentOf(card.path());
        if (folder)
            QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                           QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
        else
            QFile::setPermissions(card.path(), QFile::ReadOwner | QFile::ReadOther | QFile::ReadGroup);
        {
            AsNobody nobody;
            card.click(u"Command16"_s);
            QVERIFY2(card.form().navigator().isOpen(), qPrintable(lastError()));
            card.type(u"Text10"_s, u"Pisa"_s);
            m_dialogs->yesNoAnswers = {true};
            card.barMove(u"MoveNext"_s);
            QVERIFY2(lastError().contains(u"sola lettura"_s) || lastError().contains(u"permessi"_s),
                     qPrintable(lastError()));
            QCOMPARE(card.text(u"Text10"_s), u"Pisa"_s); // typed value still there, row not left
            QCOMPARE(card.text(u"Text12"_s), u"1"_s);
        }
        openToEveryone(dir);
        openToEveryone(card.path());
        QCOMPARE(contentOf(card.path()), before);
        m_dialogs->yesNoAnswers = {true};
        card.barMove(u"MoveNext"_s); // writable again: the retry succeeds
        QCOMPARE(fieldOf(card.path(), 1, u"Città"_s).toString(), u"Pisa"_s);
    }

    // Another program puts a new file in the book's place (vinzal-db ... --force renames one over
    // it). A save is refused with a message that says so (not one about permissions, which are
    // fine), the typed values stay, nothing goes into the new file until the book is read again,
    // and then the card works on the new file.
    void bookReplacedWhileOpen()
    {
        Card card(book());
        card.click(u"Command3"_s);
        card.type(u"Text10"_s, u"Aosta"_s);
        const QString replacement = card.path() + u".nuovo"_s;
        makeAddressBook(replacement, book());
        const QByteArray fresh = contentOf(replacement);
        QVERIFY(::rename(QFile::encodeName(replacement).constData(),
                         QFile::encodeName(card.path()).constData()) == 0);
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QVERIFY2(lastError().contains(u"sostituito"_s), qPrintable(lastError()));
        QCOMPARE(card.text(u"Text10"_s), u"Aosta"_s);
        QCOMPARE(card.state(), u"Modifying"_s);
        QCOMPARE(contentOf(card.path()), fresh);

        m_dialogs->yesNoAnswers = {false};
        card.click(u"Command6"_s);
        QCOMPARE(card.state(), u"Browsing"_s);
        QCOMPARE(contentOf(card.path()), fresh);
        card.click(u"Command16"_s);
        card.click(u"Command3"_s);
        card.type(u"Text10"_s, u"Aosta"_s);
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QCOMPARE(card.state(), u"Browsing"_s);
        QCOMPARE(fieldOf(card.path(), 1, u"Città"_s).toString(), u"Aosta"_s);
    }

    void lockedByAnotherProcess()
    {
        Card card(book());
        card.click(u"Command3"_s);
        card.type(u"Text2"_s, u"Rossi Mario Luigi"_s);
        QProcess holder;
        holder.start(QCoreApplication::applicationFilePath(), {u"--hold-lock"_s, card.path(), u"30000"_s});
        QVERIFY(holder.waitForReadyRead(10000));
        QElapsedTimer waited;
        waited.start();
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QVERIFY(waited.elapsed() >= 3000); // it waited for the lock before giving up
        QVERIFY2(lastError().contains(u"occupato"_s), qPrintable(lastError()));
        QCOMPARE(card.text(u"Text2"_s), u"Rossi Mario Luigi"_s);
        QCOMPARE(card.state(), u"Modifying"_s);
        holder.kill();
        holder.waitForFinished();
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QCOMPARE(card.state(), u"Browsing"_s);
        QCOMPARE(fieldOf(card.path(), 1, kName).toString(), u"Rossi Mario Luigi"_s);
        QCOMPARE(query(card.path(), u"PRAGMA integrity_check"_s).first().toString(), u"ok"_s);
    }

    // A move reads in one transaction: the file must be free for other programs the moment it
    // ends, after a search, a move at the end of the table and a move refused for a lock too.
    void movesLeaveTheFileFree()
    {
        Card card(book());
        const auto othersCanWrite = [&card] {
            QSqlDatabase other = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"other"_s);
            other.setDatabaseName(card.path());
            other.setConnectOptions(u"QSQLITE_BUSY_TIMEOUT=0"_s);
            bool written = other.open();
            {
                QSqlQuery query(other);
                written = written && query.exec(u"BEGIN EXCLUSIVE"_s) && query.exec(u"COMMIT"_s);
            }
            other = QSqlDatabase();
            QSqlDatabase::removeDatabase(u"other"_s);
            return written;
        };
        m_dialogs->textAnswers = {u"Rossi"_s};
        card.click(u"Command1"_s);
        QVERIFY(othersCanWrite());
        for (const QString& move : {u"MoveNext"_s, u"MoveLast"_s, u"MoveNext"_s, u"MovePrevious"_s}) {
            card.barMove(move);
            QVERIFY2(othersCanWrite(), qPrintable(move));
        }
        card.barMove(u"MoveFirst"_s);
        const QString first = card.text(u"Text12"_s);
        card.barMove(u"MoveNext"_s);
        QProcess holder;
        holder.start(QCoreApplication::applicationFilePath(), {u"--hold-lock"_s, card.path(), u"30000"_s});
        QVERIFY(holder.waitForReadyRead(10000));
        card.barMove(u"MoveFirst"_s);
        QVERIFY2(lastError().contains(u"occupato"_s), qPrintable(lastError()));
        holder.kill();
        holder.waitForFinished();
        QVERIFY(othersCanWrite());
        m_dialogs->clear();
        card.barMove(u"MoveFirst"_s);
        QVERIFY(m_dialogs->shown.isEmpty());
        QCOMPARE(card.text(u"Text12"_s), first);
        QVERIFY(othersCanWrite());
    }

    void diskFull()
    {
        Card card(book());
        sql::Database& limit = card.form().navigator().connection()->db();
        auto pages = card.form().navigator().connection()->readOne(u"PRAGMA page_count"_s, {});
        QVERIFY(pages && pages.value());
        QVERIFY(limit.exec(u"PRAGMA max_page_count = %1"_s.arg(pages.value()->value(0).toInteger()), {}));
        card.click(u"Command2"_s);
        card.type(u"Text2"_s, u"Contatto grande"_s);
        static_cast<QPlainTextEdit*>(card.widget(u"Text8"_s))->setPlainText(QString(300000, u'x'));
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QVERIFY2(lastError().contains(u"disco è pieno"_s), qPrintable(lastError()));
        QCOMPARE(card.state(), u"Adding"_s);
        QCOMPARE(card.text(u"Text2"_s), u"Contatto grande"_s);
        QCOMPARE(query(card.path(), u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 2);
        QVERIFY(limit.exec(u"PRAGMA max_page_count = 1000000"_s, {}));
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QCOMPARE(card.state(), u"Browsing"_s);
        QCOMPARE(fieldOf(card.path(), 3, u"Osservazioni"_s).toString().size(), 300000);
    }

    void lostUpdateBetweenTwoPrograms()
    {
        Card card(book());
        card.click(u"Command3"_s);
        card.type(u"Text10"_s, u"Lecce"_s);
        QProcess other;
        other.start(QCoreApplication::applicationFilePath(),
                    {u"--write"_s, card.path(), u"1"_s, u"Città"_s, u"Ostia"_s});
        QVERIFY(other.waitForFinished(10000));
        QCOMPARE(other.exitCode(), 0);
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QVERIFY(lastError().contains(u"modificato o eliminato"_s));
        QCOMPARE(fieldOf(card.path(), 1, u"Città"_s).toString(), u"Ostia"_s);
        QCOMPARE(card.text(u"Text10"_s), u"Lecce"_s);
    }

    void crashesLoseNoAcknowledgedWrite()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(contacts::fileName());
        makeAddressBook(path, book());
        QRandomGenerator random(2026);
        QSet<int> acknowledged;
        QMap<int, int> editedAt; // the last acknowledged edit
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
                else if (words[0] == "edit")
                    editedAt[0] = n;
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
        const QString town = fieldOf(path, 1, u"Città"_s).toString();
        QVERIFY(town.mid(6).toInt() >= editedAt.value(0));
    }

    void hostileInputInBoxesGridAndSearch()
    {
        Card card(book());
        const QStringList texts = hostileTexts();
        for (int box = 1; box <= 11; ++box) {
            QString text = texts[box % texts.size()];
            card.click(u"Command2"_s);
            if (auto* line = qobject_cast<QLineEdit*>(card.widget(u"Text%1"_s.arg(box))))
                line->setText(text); // as a paste would
            else
                static_cast<QPlainTextEdit*>(card.widget(u"Text%1"_s.arg(box)))->setPlainText(text);
            m_dialogs->yesNoAnswers = {true};
            card.click(u"Command6"_s);
            if (box == 1) // the category rule applies to the category box
                QCOMPARE(fieldOf(card.path(), card.text(u"Text12"_s).toLongLong(), u"Genere"_s).toString(),
                         u"Altro"_s);
        }
        // Every field, read back byte for byte (the category box aside).
        const QVariantList rows = query(card.path(), u"SELECT ID FROM Nomelia WHERE ID > 2 ORDER BY ID"_s);
        QCOMPARE(rows.size(), 11);
        const QStringList boxFields{u"Genere"_s,
                                    kName,
                                    u"Telelefono casa"_s,
                                    u"Telefonino"_s,
                                    u"Fax"_s,
                                    u"E-Mail"_s,
                                    u"Telefono Ufficio"_s,
                                    u"Osservazioni"_s,
                                    u"ulteriore identificativo"_s,
                                    u"Città"_s,
                                    u"Indirizzo"_s};
        // SQLite hands U+FFFE out as U+FFFD: the bytes tell what was stored.
        const auto stored = [&](const QVariant& id, const QString& field) {
            return query(card.path(),
                         u"SELECT hex(%1) FROM Nomelia WHERE ID = ?"_s.arg(quoteIdentifier(field)), {id})
                .value(0)
                .toString();
        };
        const auto utf8 = [](const QString& text) {
            return QString::fromLatin1(text.toUtf8().toHex().toUpper());
        };
        for (int box = 2; box <= 11; ++box)
            QCOMPARE(stored(rows[box - 1], boxFields[box - 1]), utf8(texts[box % texts.size()]));
        // Searches on any of them never fail.
        for (const QString& text : texts) {
            m_dialogs->clear();
            m_dialogs->textAnswers = {text};
            card.click(u"Command1"_s);
            for (const auto& shown : m_dialogs->shown)
                QVERIFY(shown.icon != Dialogs::Icon::Critical);
        }
        // A grid cell takes them too.
        card.click(u"Command17"_s);
        Form2* table = tableView();
        QVERIFY(table);
        QCoreApplication::processEvents();
        auto* grid = table->findChild<BoundGrid*>(u"DBGrid1"_s);
        for (int i = 0; i < texts.size(); ++i) {
            grid->setCurrentIndex(grid->model()->index(i % 2, 3));
            auto* cell = qobject_cast<QLineEdit*>(grid->indexWidget(grid->currentIndex()));
            QVERIFY(cell);
            cell->setText(texts[i]);
            emit cell->textEdited(texts[i]);
            grid->setCurrentIndex(grid->model()->index((i + 1) % 2, 3));
            QCOMPARE(stored(1 + i % 2, u"ulteriore identificativo"_s), utf8(texts[i]));
        }
        table->close();
    }
};

int main(int argc, char* argv[])
{
    const QStringList words = [&] {
        QStringList list;
        for (int i = 1; i < argc; ++i)
            list.append(QString::fromLocal8Bit(argv[i]));
        return list;
    }();
    if (words.value(0).startsWith(u"--"_s) && words.value(0) != u"--help"_s &&
        !words.value(0).startsWith(u"-platform"_s)) {
        QCoreApplication core(argc, argv);
        if (words[0] == u"--hold-lock"_s)
            return holdLock(words.value(1), words.value(2).toInt());
        if (words[0] == u"--write"_s)
            return writeField(words.value(1), words.value(2).toLongLong(), words.value(3), words.value(4));
        if (words[0] == u"--crash-writer"_s)
            return crashWriter(words.value(1), words.value(2).toInt());
    }
    QApplication app(argc, argv);
    vinzal::setUpApplication(app);
    TestReliability test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_reliability.moc"
