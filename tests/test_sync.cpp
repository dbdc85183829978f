// Two-way synchronisation with a CardDAV address book, against real servers started privately on
// 127.0.0.1 in a temporary folder (Radicale with HTTP basic auth, Xandikos), with cards written as
// phones write them. Each case compares the server's cards and the book's values before and after.
// Runs on files and, with VINZAL_TEST_ENGINE=postgres, on a book on a private PostgreSQL server.
#include "application.h"
#include "carddav.h"
#include "contact_table.h"
#include "form1.h"
#include "gui_support.h"
#include "sync_service.h"
#include "sync_state.h"
#include "test_support.h"
#include "vcard.h"

#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QScopeGuard>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <sys/prctl.h>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;

namespace {

const QString user = u"mario"_s;
const QString password = u"segreta"_s;

QByteArray dataFile(const QString& name)
{
    QFile file(QStringLiteral(VINZAL_SOURCE_DIR "/tests/data/vcard/") + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing %s", qPrintable(name));
    return file.readAll();
}

// The cards of a file, each with a UID (phones give every card one; the two old files lack some).
QList<QByteArray> cardsOf(const QByteArray& file)
{
    QList<QByteArray> cards;
    const QByteArray eol = file.contains("\r\n") ? "\r\n" : "\n";
    qsizetype at = 0;
    while ((at = file.indexOf("BEGIN:VCARD", at)) >= 0) {
        const qsizetype end = file.indexOf("END:VCARD", at) + 9 + eol.size();
        QByteArray card = file.mid(at, end - at);
        if (!card.contains("\nUID:")) {
            const qsizetype version = card.indexOf(eol, card.indexOf("VERSION:")) + eol.size();
            card.insert(version, "UID:prova-" + QByteArray::number(cards.size()) + eol);
        }
        cards.append(card);
        at = end;
    }
    return cards;
}

// The logical lines of a card (continuations joined), each once per occurrence.
QStringList unfoldedLines(const QByteArray& card)
{
    QByteArray text = card;
    text.replace("\r\n ", "").replace("\r\n\t", "").replace("\n ", "").replace("\n\t", "");
    QStringList lines;
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (!line.isEmpty())
            lines.append(QString::fromUtf8(line));
    }
    lines.sort();
    return lines;
}

// What is in `a` and not in `b`, counting repeats.
QStringList minus(QStringList a, const QStringList& b)
{
    for (const QString& line : b)
        a.removeOne(line);
    return a;
}

QString propertyName(const QString& line)
{
    QString name = line.section(u':', 0, 0).section(u';', 0, 0).toUpper();
    return name.contains(u'.') ? name.section(u'.', -1) : name;
}

// A CardDAV server of the test's own, in a temporary folder, on a free port of 127.0.0.1.
class DavServer
{
public:
    explicit DavServer(const QString& kind) : m_kind(kind), m_client(user, password) {}
    // Before start(): Radicale answers only HTTPS, with this certificate and key.
    void useTls(const QString& certificate, const QString& key)
    {
        m_certificate = certificate;
        m_key = key;
    }
    ~DavServer() { stop(); }

    // The program, or empty when its package is not installed.
    QString program() const { return QStandardPaths::findExecutable(m_kind); }

    bool start()
    {
        if (m_port == 0) {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            m_port = probe.serverPort();
        }
        QStringList arguments;
        if (m_kind == u"radicale"_s) {
            QFile users(m_dir.filePath(u"users"_s));
            users.open(QIODevice::WriteOnly);
            users.write((user + u':' + password + u'\n').toUtf8());
            users.close();
            QFile config(m_dir.filePath(u"config"_s));
            config.open(QIODevice::WriteOnly);
            config.write(
                u"[server]\nhosts = 127.0.0.1:%1\n%4[auth]\ntype = htpasswd\nhtpasswd_filename = %2\n"
                u"htpasswd_encryption = plain\n[storage]\nfilesystem_folder = %3\n[rights]\ntype = "
                u"owner_only\n[logging]\nlevel = warning\n"_s.arg(m_port)
                    .arg(m_dir.filePath(u"users"_s), m_dir.filePath(u"data"_s),
                         m_certificate.isEmpty()
                             ? QString()
                             : u"ssl = True\ncertificate = %1\nkey = %2\n"_s.arg(m_certificate, m_key))
                    .toUtf8());
            config.close();
            arguments = {u"--config"_s, m_dir.filePath(u"config"_s)};
            m_book = u"/mario/rubrica/"_s;
        } else {
            arguments = {u"--defaults"_s, u"-d"_s, m_dir.filePath(u"data"_s), u"-l"_s,
                         u"127.0.0.1"_s,  u"-p"_s, QString::number(m_port)};
            m_book = u"/user/contacts/addressbook/"_s;
        }
        // The server goes with the test, even one that crashes.
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.setStandardOutputFile(m_dir.filePath(u"log"_s), QIODevice::Append);
        m_process.start(program(), arguments);
        if (!m_process.waitForStarted(10000))
            return false;
        for (int i = 0; i < 200; ++i) {
            if (!m_certificate.isEmpty()) {
                QTcpSocket socket;
                socket.connectToHost(QHostAddress::LocalHost, m_port);
                if (socket.waitForConnected(1000))
                    return true;
            } else if (m_client.propfind(root(), 0, "<d:resourcetype/>").status == 207) {
                break;
            }
            if (m_process.state() != QProcess::Running)
                return false;
            QThread::msleep(100);
        }
        return m_kind != u"radicale"_s || m_made || makeBook();
    }
    // Makes the address book on Radicale (Xandikos makes one by itself).
    bool makeBook()
    {
        {
            const carddav::Response made = m_client.send(
                "MKCOL", url(),
                "<?xml version=\"1.0\"?><mkcol xmlns=\"DAV:\" xmlns:C=\"urn:ietf:params:xml:ns:carddav\">"
                "<set><prop><resourcetype><collection/><C:addressbook/></resourcetype>"
                "<displayname>Contatti</displayname></prop></set></mkcol>");
            if (made.status != 201)
                return false;
        }
        m_made = true;
        return true;
    }
    bool startOnAnotherPort()
    {
        stop();
        m_port = 0;
        return start();
    }
    QByteArray log() const
    {
        QFile file(m_dir.filePath(u"log"_s));
        file.open(QIODevice::ReadOnly);
        return file.readAll();
    }
    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }

    QUrl root() const
    {
        return QUrl(
            (m_certificate.isEmpty() ? u"http://127.0.0.1:%1/"_s : u"https://127.0.0.1:%1/"_s).arg(m_port));
    }
    QUrl url(const QString& name = {}) const
    {
        QUrl at = root();
        at.setPath(m_book + name);
        return at;
    }

    // Every card by file name: its ETag and its text as the server gives it.
    QMap<QString, std::pair<QByteArray, QByteArray>> cards()
    {
        QMap<QString, std::pair<QByteArray, QByteArray>> all;
        const carddav::Response listed = m_client.propfind(url(), 1, "<d:getetag/>");
        QList<QString> paths;
        for (const carddav::Entry& entry : carddav::parseMultiStatus(listed.body, url()).entries)
            if (!entry.path.endsWith(u'/'))
                paths.append(entry.path);
        if (paths.isEmpty())
            return all;
        const carddav::Response got = m_client.report(url(), 1, carddav::multigetBody(paths, url()));
        for (const carddav::Entry& entry : carddav::parseMultiStatus(got.body, url()).entries)
            all.insert(entry.path.section(u'/', -1), {entry.etag, entry.data});
        return all;
    }
    // How many cards the server lists.
    int count()
    {
        int cards = 0;
        const carddav::Response listed = m_client.propfind(url(), 1, "<d:getetag/>");
        for (const carddav::Entry& entry : carddav::parseMultiStatus(listed.body, url()).entries)
            cards += entry.path.endsWith(u'/') ? 0 : 1;
        return cards;
    }
    // Whether the server took the card (201 for a new one, 200 or 204 for a change).
    bool put(const QString& name, const QByteArray& card, const QByteArray& etag = {})
    {
        QList<std::pair<QByteArray, QByteArray>> headers{{"Content-Type", "text/vcard; charset=utf-8"}};
        if (!etag.isEmpty())
            headers.append({"If-Match", etag});
        return m_client.send("PUT", url(name), card, headers).ok();
    }
    bool remove(const QString& name) { return m_client.send("DELETE", url(name)).ok(); }

private:
    QString m_kind;
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_book;
    bool m_made = false;
    QString m_certificate, m_key;
    carddav::Client m_client;
};

QVariantList row(const QString& book, qint64 id)
{
    QStringList columns;
    for (const QString& field : contacts::fields())
        columns.append(quoteIdentifier(field));
    QVariantList values;
    for (const QString& column : std::as_const(columns))
        values.append(query(book, u"SELECT "_s + column + u" FROM Nomelia WHERE ID = ?"_s, {id}).value(0));
    return values;
}

qint64 idOf(const QString& book, const QString& name)
{
    const QVariantList found =
        query(book, u"SELECT ID FROM Nomelia WHERE \"Cognone e nome o denominazione\" = ?"_s, {name});
    return found.isEmpty() ? 0 : found.first().toLongLong();
}

qint64 countOf(const QString& book)
{
    return query(book, u"SELECT count(*) FROM Nomelia"_s).value(0).toLongLong();
}

// Everything the book holds: the contacts and the synchronisation's tables, as stored.
QVariantList everything(const QString& book)
{
    QVariantList all;
    const QString quote = onServer() ? u"quote_nullable"_s : u"quote"_s;
    QStringList parts;
    for (const QString& field : contacts::fields())
        parts.append(quote + u"(CAST("_s + quoteIdentifier(field) + u" AS TEXT))"_s);
    all += query(book, u"SELECT "_s + parts.join(u" || '|' || "_s) + u" FROM Nomelia ORDER BY ID"_s);
    all += query(book, u"SELECT CAST(\"ID\" AS TEXT) || \"Href\" || \"ETag\" || \"Testo\" || \"Base\" FROM "
                       u"\"VinzalSchede\" ORDER BY \"ID\""_s);
    all += query(book, u"SELECT \"Chiave\" || '=' || \"Valore\" FROM \"VinzalSincro\" ORDER BY \"Chiave\""_s);
    return all;
}

QByteArray bookBytes(const QString& book)
{
    if (onServer())
        return {};
    QFile file(book);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

} // namespace

class TestSync : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<DavServer> m_server;
    QString m_book;
    int m_books = 0;

    // A server of the row's kind and a book holding `people`; QSKIP when the package is missing.
    bool prepare(const QList<Person>& people = {})
    {
        QFETCH(QString, server);
        m_server = std::make_unique<DavServer>(server);
        if (m_server->program().isEmpty())
            return false;
        // A port taken meanwhile by another program: once more on another.
        if (!m_server->start() && !m_server->startOnAnotherPort())
            qFatal("the %s server did not start: %s", qPrintable(server), m_server->log().constData());
        m_book = testBook(m_dir.filePath(u"rubrica-%1.mdb"_s.arg(++m_books)));
        makeAddressBook(m_book, people);
        return true;
    }
    sync::Result synchronize(const sync::Progress& progress = {})
    {
        return sync::synchronize(m_book, {m_server->root().toString(), user, password}, progress);
    }
    // Synchronises and requires success.
    sync::Result synchronized()
    {
        const sync::Result result = synchronize();
        if (result.failure)
            qWarning("%s / %s", qPrintable(result.failure->cause), qPrintable(result.failure->advice));
        [&] { QVERIFY(result.ok()); }();
        return result;
    }
    // The phone's cards on the server, taken into the book by a first synchronisation. A server may
    // refuse a card it cannot parse (Radicale: a label with blanks, a card without FN), as it would
    // refuse the phone: those are left out.
    void phoneCardsSynchronised()
    {
        QList<QByteArray> cards =
            cardsOf(dataFile(u"sync-phone.vcf"_s)) + cardsOf(dataFile(u"other-programs.vcf"_s));
        const qint64 before = countOf(m_book);
        int taken = 0;
        for (qsizetype i = 0; i < cards.size(); ++i)
            taken += m_server->put(u"telefono-%1.vcf"_s.arg(i), cards.at(i)) ? 1 : 0;
        QVERIFY(taken >= cards.size() - 2);
        const sync::Result first = synchronized();
        QCOMPARE(first.book.created, taken);
        QCOMPARE(countOf(m_book), before + taken);
    }
    static void servers() { QTest::addColumn<QString>("server"); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        setUpApplication(*qobject_cast<QApplication*>(qApp));
    }

    // --- the card's text, without a server -----------------------------------------------------

    // A field changed rewrites the one property that holds it: every other line keeps its bytes,
    // folding and line breaks included, and the card read again gives the new value.
    void patchTouchesOnlyItsProperty_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("card");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QStringList>("properties"); // the lines that change, by name
        QTest::newRow("primo cellulare")
            << u"sync-phone.vcf"_s << 0 << u"Telefonino"_s << u"+39 333 0000000"_s << QStringList{u"TEL"_s};
        QTest::newRow("ufficio") << u"sync-phone.vcf"_s << 0 << u"Telefono Ufficio"_s << u"081 0000000"_s
                                 << QStringList{u"TEL"_s};
        QTest::newRow("prima e-mail")
            << u"sync-phone.vcf"_s << 0 << u"E-Mail"_s << u"g@nuova.example"_s << QStringList{u"EMAIL"_s};
        QTest::newRow("città") << u"sync-phone.vcf"_s << 0 << u"Città"_s << u"Pozzuoli"_s
                               << QStringList{u"ADR"_s};
        QTest::newRow("nome") << u"sync-phone.vcf"_s << 0 << nameField << u"Esposito Giulia Maria"_s
                              << QStringList{u"FN"_s, u"N"_s};
        QTest::newRow("nota lunga") << u"sync-phone.vcf"_s << 0 << u"Osservazioni"_s
                                    << u"Richiamare lunedì, ha cambiato studio"_s << QStringList{u"NOTE"_s};
        QTest::newRow("fax nuovo") << u"sync-phone.vcf"_s << 0 << u"Fax"_s << u"081 1111111"_s
                                   << QStringList{u"TEL"_s};
        QTest::newRow("2.1 quoted-printable")
            << u"other-programs.vcf"_s << 0 << u"Città"_s << u"Cesena"_s << QStringList{u"ADR"_s};
        QTest::newRow("2.1 accenti") << u"other-programs.vcf"_s << 0 << u"Telefonino"_s
                                     << u"+39 347 1111112"_s << QStringList{u"TEL"_s};
        QTest::newRow("iPhone etichette") << u"other-programs.vcf"_s << 1 << u"E-Mail"_s
                                          << u"john@nuovo.example"_s << QStringList{u"EMAIL"_s};
        QTest::newRow("cellulare tolto")
            << u"other-programs.vcf"_s << 3 << u"Telefonino"_s << QString() << QStringList{u"TEL"_s};
    }
    void patchTouchesOnlyItsProperty()
    {
        QFETCH(QString, file);
        QFETCH(int, card);
        QFETCH(QString, field);
        QFETCH(QString, value);
        QFETCH(QStringList, properties);
        const QByteArray before = cardsOf(dataFile(file)).at(card);
        const vcard::Card read = vcard::readCard(before);
        Contact changed = read.contact;
        const int position = contacts::fieldPosition(field);
        changed.at(position) = value.isNull() ? Value() : Value::fromEditedText(value);
        const QByteArray after = vcard::patchCard(before, changed, {position});
        // Whole lines as they stand (continuations included): only the field's property differs.
        const auto chunks = [](const QByteArray& text) {
            QStringList list;
            for (const QByteArray& line : text.split('\n'))
                if (line.startsWith(' ') || line.startsWith('\t'))
                    list.last() += u'\n' + QString::fromUtf8(line);
                else
                    list.append(QString::fromUtf8(line));
            return list;
        };
        const QStringList gone = minus(chunks(before), chunks(after)),
                          added = minus(chunks(after), chunks(before));
        QStringList names;
        for (const QString& line : gone + added)
            if (!names.contains(propertyName(line)))
                names.append(propertyName(line));
        names.sort();
        properties.sort();
        QCOMPARE(names, properties);
        QVERIFY(gone.size() <= properties.size() && added.size() <= properties.size());
        // Read again, the card gives the new value and every other field as before.
        const Contact again = vcard::readCard(after).contact;
        for (int i = 1; i < fieldCount; ++i) {
            if (i == position && position == int(Field::Osservazioni)) {
                QVERIFY2(again.at(i).toText().startsWith(value), qPrintable(again.at(i).toText()));
                QCOMPARE(again.at(i).toText().mid(value.size()),
                         read.contact.at(i).toText().mid(read.contact.at(i).toText().indexOf(u'\n')));
            } else if (i == position && position == int(Field::Nome)) {
                QCOMPARE(again.at(i).toText(), value);
            } else {
                QCOMPARE(again.at(i), i == position ? changed.at(i) : read.contact.at(i));
            }
        }
    }

    // --- against the servers ------------------------------------------------------------------

    // A synchronisation with nothing changed changes no byte on either side: no card rewritten, no
    // ETag moved, the book the same to its last byte.
    void nothingChangedChangesNothing_data()
    {
        servers();
        QTest::newRow("radicale") << u"radicale"_s;
        QTest::newRow("xandikos") << u"xandikos"_s;
    }
    void nothingChangedChangesNothing()
    {
        if (!prepare({{{nameField, u"Rossi Mario"_s}, {u"Telefonino"_s, u"333 1234567"_s}},
                      {{nameField, u"Bianchi Anna"_s}, {u"Osservazioni"_s, u"riga uno\r\nriga due"_s}}}))
            QSKIP("the CardDAV server is not installed");
        phoneCardsSynchronised();
        const sync::Result pushed = synchronized(); // the two contacts of the book have gone up too
        Q_UNUSED(pushed);
        const auto cards = m_server->cards();
        const QVariantList book = everything(m_book);
        const QByteArray bytes = bookBytes(m_book);
        QCOMPARE(cards.size(), int(countOf(m_book)));
        for (int i = 0; i < 2; ++i) {
            const sync::Result again = synchronized();
            QCOMPARE(again.written, false);
            QCOMPARE(m_server->cards(), cards);
            QCOMPARE(everything(m_book), book);
            QCOMPARE(bookBytes(m_book), bytes);
        }
        // A round trip adds nothing: the remarks made from the card's other properties never went
        // back into its NOTE.
        for (const auto& [etag, text] : cards)
            QVERIFY2(!text.contains("Compleanno") && !text.contains("Cellulare 2"), text.constData());
    }

    // A field changed in the book changes only its property on the server: every other logical line
    // of that card, and every other card, stays as it was.
    void bookChangeReachesOnlyItsProperty_data()
    {
        servers();
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("property");
        for (const QString& server : {u"radicale"_s, u"xandikos"_s}) {
            const QByteArray s = server.toUtf8();
            QTest::newRow(s + " cellulare")
                << server << u"Esposito Giulia"_s << u"Telefonino"_s << u"+39 320 5550000"_s << u"TEL"_s;
            QTest::newRow(s + " e-mail 2.1") << server << u"Officina Rossi S.r.l."_s << u"E-Mail"_s
                                             << u"officina@nuova.example"_s << u"EMAIL"_s;
            QTest::newRow(s + " nota")
                << server << u"Verdi Anna"_s << u"Osservazioni"_s
                << u"Conosciuta al convegno di Bologna\nE-mail 2: anna@lavoro.example\n"
                   u"Studio: +39 051 2\nCAP: 40121\nProvincia: BO\nIndirizzo ufficio: "
                   u"Via Rizzoli 2, Bologna, 40125\nCategoria: Clienti"_s
                << u"NOTE"_s;
        }
    }
    void bookChangeReachesOnlyItsProperty()
    {
        QFETCH(QString, name);
        QFETCH(QString, field);
        QFETCH(QString, value);
        QFETCH(QString, property);
        if (!prepare())
            QSKIP("the CardDAV server is not installed");
        phoneCardsSynchronised();
        const auto before = m_server->cards();
        const qint64 id = idOf(m_book, name);
        QVERIFY(id > 0);
        const QVariantList rowBefore = row(m_book, id);
        query(m_book, u"UPDATE Nomelia SET "_s + quoteIdentifier(field) + u" = ? WHERE ID = ?"_s,
              {value, id});
        const sync::Result result = synchronized();
        QCOMPARE(result.server.updated, 1);
        QCOMPARE(result.book.updated, 0);
        const auto after = m_server->cards();
        QCOMPARE(after.keys(), before.keys());
        int changed = 0;
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            if (after.value(it.key()) == it.value())
                continue;
            ++changed;
            const QStringList gone =
                minus(unfoldedLines(it.value().second), unfoldedLines(after[it.key()].second));
            const QStringList added =
                minus(unfoldedLines(after[it.key()].second), unfoldedLines(it.value().second));
            QStringList names;
            for (const QString& line : gone + added)
                if (propertyName(line) != u"REV"_s && !names.contains(propertyName(line)))
                    names.append(propertyName(line));
            QCOMPARE(names, QStringList{property});
            if (property == u"NOTE"_s)
                QVERIFY(!added.join(u'\n').contains(u"Categoria"_s));
        }
        QCOMPARE(changed, 1);
        // The book's other fields are as they were, and the next synchronisation changes nothing.
        QVariantList expected = rowBefore;
        expected[contacts::fieldPosition(field)] = value;
        QCOMPARE(row(m_book, id), expected);
        QCOMPARE(synchronized().written, false);
    }

    // A card changed on the server changes only the fields whose properties changed.
    void serverChangeReachesOnlyItsField_data()
    {
        servers();
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        for (const QString& server : {u"radicale"_s, u"xandikos"_s}) {
            const QByteArray s = server.toUtf8();
            QTest::newRow(s + " cellulare")
                << server << QByteArray("+39 333 1112223") << QByteArray("+39 333 7777777") << u"Telefonino"_s
                << u"+39 333 7777777"_s;
            QTest::newRow(s + " casa") << server << QByteArray("081 5551234") << QByteArray("081 5550000")
                                       << u"Telelefono casa"_s << u"081 5550000"_s;
            QTest::newRow(s + " compleanno")
                << server << QByteArray("BDAY:1985-03-09") << QByteArray("BDAY:1985-03-10")
                << u"Osservazioni"_s << QString();
        }
    }
    void serverChangeReachesOnlyItsField()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QString, field);
        QFETCH(QString, value);
        if (!prepare())
            QSKIP("the CardDAV server is not installed");
        phoneCardsSynchronised();
        const qint64 id = idOf(m_book, u"Esposito Giulia"_s);
        const QVariantList rowBefore = row(m_book, id);
        auto cards = m_server->cards();
        const auto [etag, text] = cards.value(u"telefono-0.vcf"_s);
        QVERIFY(text.contains(from));
        QVERIFY(m_server->put(u"telefono-0.vcf"_s, QByteArray(text).replace(from, to), etag));
        const auto onServer = m_server->cards();
        const sync::Result result = synchronized();
        QCOMPARE(result.book.updated, 1);
        QCOMPARE(result.server.updated + result.server.created + result.server.deleted, 0);
        const QVariantList rowAfter = row(m_book, id);
        const int position = contacts::fieldPosition(field);
        for (int i = 0; i < fieldCount; ++i)
            if (i != position)
                QCOMPARE(rowAfter.at(i), rowBefore.at(i));
        if (!value.isNull())
            QCOMPARE(rowAfter.at(position).toString(), value);
        else
            QVERIFY(rowAfter.at(position).toString().contains(u"Compleanno: 10/03/1985"_s));
        QCOMPARE(m_server->cards(), onServer);
        QCOMPARE(synchronized().written, false);
    }

    // The same field changed on both sides: the book keeps its value, the server's is kept in
    // Osservazioni under a label naming the field, and the result names the contact.
    void bothChangedKeepsBoth_data()
    {
        servers();
        QTest::newRow("radicale") << u"radicale"_s;
        QTest::newRow("xandikos") << u"xandikos"_s;
    }
    void bothChangedKeepsBoth()
    {
        if (!prepare())
            QSKIP("the CardDAV server is not installed");
        phoneCardsSynchronised();
        const qint64 id = idOf(m_book, u"Esposito Giulia"_s);
        query(m_book, u"UPDATE Nomelia SET \"Telefonino\" = ? WHERE ID = ?"_s, {u"+39 333 1000001"_s, id});
        auto cards = m_server->cards();
        const auto [etag, text] = cards.value(u"telefono-0.vcf"_s);
        QVERIFY(m_server->put(u"telefono-0.vcf"_s,
                              QByteArray(text).replace("+39 333 1112223", "+39 333 2000002"), etag));
        const sync::Result result = synchronized();
        QCOMPARE(result.conflicts.size(), 1);
        QCOMPARE(result.conflicts.first().id, id);
        QCOMPARE(result.conflicts.first().field, u"Telefonino"_s);
        const QVariantList now = row(m_book, id);
        QCOMPARE(now.at(int(Field::Telefonino)).toString(), u"+39 333 1000001"_s);
        QVERIFY2(now.at(int(Field::Osservazioni))
                     .toString()
                     .contains(u"Sul server, «Telefonino»: +39 333 2000002"_s),
                 qPrintable(now.at(int(Field::Osservazioni)).toString()));
        const QByteArray server = m_server->cards().value(u"telefono-0.vcf"_s).second;
        QVERIFY(server.contains("+39 333 1000001"));
        QVERIFY(server.contains("+39 347 9998887")); // the second mobile is still there
        QVERIFY(server.contains("PHOTO"));
        QCOMPARE(synchronized().written, false);
    }

    // Deleted on one side: deleted on the other only if unchanged there since the last
    // synchronisation; otherwise kept, sent back, and reported.
    void deletions_data()
    {
        servers();
        QTest::addColumn<bool>("inBook");       // deleted in the book (else on the server)
        QTest::addColumn<bool>("changedOther"); // changed on the other side since
        for (const QString& server : {u"radicale"_s, u"xandikos"_s}) {
            const QByteArray s = server.toUtf8();
            QTest::newRow(s + " tolto dal server") << server << false << false;
            QTest::newRow(s + " tolto dal server, cambiato qui") << server << false << true;
            QTest::newRow(s + " tolto qui") << server << true << false;
            QTest::newRow(s + " tolto qui, cambiato sul server") << server << true << true;
        }
    }
    void deletions()
    {
        QFETCH(bool, inBook);
        QFETCH(bool, changedOther);
        if (!prepare())
            QSKIP("the CardDAV server is not installed");
        phoneCardsSynchronised();
        const qint64 id = idOf(m_book, u"Esposito Giulia"_s);
        const qint64 contacts = countOf(m_book);
        const auto [etag, text] = m_server->cards().value(u"telefono-0.vcf"_s);
        if (inBook) {
            query(m_book, u"DELETE FROM Nomelia WHERE ID = ?"_s, {id});
            if (changedOther)
                QVERIFY(m_server->put(u"telefono-0.vcf"_s,
                                      QByteArray(text).replace("081 7654321", "081 7650000"), etag));
        } else {
            QVERIFY(m_server->remove(u"telefono-0.vcf"_s));
            if (changedOther)
                query(m_book, u"UPDATE Nomelia SET \"Fax\" = ? WHERE ID = ?"_s, {u"081 3333333"_s, id});
        }
        const sync::Result result = synchronized();
        const auto cards = m_server->cards();
        const bool kept = changedOther;
        QCOMPARE(countOf(m_book), kept ? contacts : contacts - 1);
        QCOMPARE(cards.size(), kept ? int(contacts) : int(contacts) - 1);
        QCOMPARE(result.keptDeleted.size(), kept ? 1 : 0);
        if (kept) {
            const qint64 back = idOf(m_book, u"Esposito Giulia"_s);
            QVERIFY(back > 0);
            const QString value =
                row(m_book, back).at(int(inBook ? Field::TelefonoUfficio : Field::Fax)).toString();
            QCOMPARE(value, inBook ? u"081 7650000"_s : u"081 3333333"_s);
            bool found = false;
            for (const auto& card : cards)
                found = found || card.second.contains(inBook ? "081 7650000" : "081 3333333");
            QVERIFY(found);
        }
        QCOMPARE(synchronized().written, false);
    }

    // A merge of duplicates deletes the merged-away cards and updates the survivor's; undoing it
    // brings the cards back as they were.
    void mergeAndUnmerge_data()
    {
        servers();
        QTest::newRow("radicale") << u"radicale"_s;
        QTest::newRow("xandikos") << u"xandikos"_s;
    }
    void mergeAndUnmerge()
    {
        if (!prepare({{{nameField, u"Rossi Mario"_s}, {u"Telefonino"_s, u"333 1234567"_s}},
                      {{nameField, u"Rossi  Mario"_s}, {u"E-Mail"_s, u"mario@rossi.example"_s}},
                      {{nameField, u"Verdi Anna"_s}, {u"Fax"_s, u"051 123456"_s}}}))
            QSKIP("the CardDAV server is not installed");
        synchronized();
        const auto before = m_server->cards();
        QCOMPARE(before.size(), 3);
        QString output;
        QCOMPARE(vinzalDb({u"merge"_s, m_book, u"1"_s, u"2"_s}, m_dir.path(), &output), 0);
        const sync::Result merged = synchronized();
        QCOMPARE(merged.server.deleted, 1);
        QCOMPARE(merged.server.updated, 1);
        const auto after = m_server->cards();
        QCOMPARE(after.size(), 2);
        QString survivor;
        for (auto it = after.cbegin(); it != after.cend(); ++it)
            if (vcard::cardUid(it.value().second).endsWith(u"-1"_s))
                survivor = it.key();
        QVERIFY(!survivor.isEmpty());
        QVERIFY(after.value(survivor).second.contains("mario@rossi.example"));
        QCOMPARE(vinzalDb({u"unmerge"_s, m_book, u"1"_s}, m_dir.path(), &output), 0);
        const sync::Result undone = synchronized();
        QCOMPARE(undone.server.created, 1);
        QCOMPARE(undone.server.updated, 1);
        const auto back = m_server->cards();
        QCOMPARE(back.keys(), before.keys());
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            QStringList was = unfoldedLines(it.value().second),
                        is = unfoldedLines(back.value(it.key()).second);
            was.removeIf([](const QString& line) { return line.startsWith(u"REV:"_s); });
            is.removeIf([](const QString& line) { return line.startsWith(u"REV:"_s); });
            QCOMPARE(is, was);
        }
        QCOMPARE(synchronized().written, false);
    }

    // A token the server no longer knows (expired, or the server's data restored): the changes are
    // found by the ETags of every card instead, with nothing doubled.
    void forgottenTokenFallsBackToEtags_data()
    {
        servers();
        QTest::newRow("radicale") << u"radicale"_s;
        QTest::newRow("xandikos") << u"xandikos"_s;
    }
    void forgottenTokenFallsBackToEtags()
    {
        if (!prepare({{{nameField, u"Rossi Mario"_s}, {u"Telefonino"_s, u"333 1234567"_s}}}))
            QSKIP("the CardDAV server is not installed");
        phoneCardsSynchronised();
        query(m_book, u"UPDATE \"VinzalSincro\" SET \"Valore\" = ? WHERE \"Chiave\" = 'token'"_s,
              {m_server->root().toString() + u"sync/sconosciuto"_s});
        const auto cards = m_server->cards();
        const auto [etag, text] = cards.value(u"telefono-0.vcf"_s);
        QVERIFY(
            m_server->put(u"telefono-0.vcf"_s, QByteArray(text).replace("081 5551234", "081 5550001"), etag));
        const qint64 contacts = countOf(m_book);
        const sync::Result result = synchronized();
        QCOMPARE(result.book.updated, 1);
        QCOMPARE(result.book.created + result.server.created + result.server.updated, 0);
        QCOMPARE(countOf(m_book), contacts);
        QCOMPARE(row(m_book, idOf(m_book, u"Esposito Giulia"_s)).at(int(Field::TelefonoCasa)).toString(),
                 u"081 5550001"_s);
        QCOMPARE(m_server->cards().size(), cards.size());
        QCOMPARE(synchronized().written, false);
    }

    // A card that spoils every batch read that holds it (Xandikos takes a name whose bytes are not
    // UTF-8, kept as they are in a file book, then answers 500 to an addressbook-multiget of it) is
    // read on its own; every other contact goes up all the same, and the next synchronisation doubles
    // nothing and writes nothing.
    void aCardThatSpoilsABatchIsReadAlone_data()
    {
        servers();
        QTest::newRow("xandikos") << u"xandikos"_s;
    }
    void aCardThatSpoilsABatchIsReadAlone()
    {
        if (onServer())
            QSKIP("a server book holds only UTF-8");
        if (!prepare({{{nameField, QVariant::fromValue(Value::text("Rossi \xFF\xFE"))}},
                      {{nameField, u"Bianchi Anna"_s}}}))
            QSKIP("the CardDAV server is not installed");
        for (int i = 0; i < 2; ++i) {
            const sync::Result result = synchronize();
            QVERIFY2(!result.failure, qPrintable(result.failure ? result.failure->cause : QString()));
            QCOMPARE(result.server.created, i == 0 ? 2 : 0);
            QCOMPARE(result.written, i == 0);
            QCOMPARE(m_server->count(), 2);
        }
        QCOMPARE(countOf(m_book), qint64(2));
    }

    // Interrupted at any point (the server stopped in the middle, the run cancelled): the next
    // synchronisation finishes the work, with no contact doubled on either side.
    void interruptedIsFinishedWithoutDoubles_data()
    {
        servers();
        QTest::addColumn<QString>("how"); // "server": stopped; "cancel"; "kill": vinzal-db killed
        for (const QString& server : {u"radicale"_s, u"xandikos"_s})
            for (const QString& how : {u"server"_s, u"cancel"_s, u"kill"_s})
                QTest::newRow((server + u' ' + how).toUtf8()) << server << how;
    }
    void interruptedIsFinishedWithoutDoubles()
    {
        QFETCH(QString, how);
        const bool cancel = how == u"cancel"_s;
        QList<Person> people;
        for (int i = 0; i < 130; ++i)
            people.append(
                {{nameField, u"Contatto %1"_s.arg(i)}, {u"Telefonino"_s, u"333 %1"_s.arg(1000000 + i)}});
        if (!prepare(people))
            QSKIP("the CardDAV server is not installed");
        if (how == u"kill"_s) {
            // vinzal-db killed as it sends the cards: no chance to note anything more.
            QTemporaryDir home;
            QFile netrc(home.filePath(u".netrc"_s));
            QVERIFY(netrc.open(QIODevice::WriteOnly));
            netrc.write(u"machine 127.0.0.1 login %1 password %2\n"_s.arg(user, password).toUtf8());
            netrc.close();
            QProcess process;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(u"HOME"_s, home.path());
            process.setProcessEnvironment(environment);
            process.start(QStringLiteral(VINZAL_DB), {u"sync"_s, m_book, m_server->root().toString()});
            QVERIFY(process.waitForStarted());
            while (process.state() == QProcess::Running && m_server->cards().size() < 40)
                QThread::msleep(20);
            process.kill();
            process.waitForFinished();
        } else {
            bool stopNow = false;
            sync::Progress progress;
            progress.step = [&](const QString& step, qint64 done, qint64) {
                if (step.startsWith(u"Invio"_s) && done >= 50 && !stopNow) {
                    stopNow = true;
                    if (!cancel)
                        m_server->stop();
                }
            };
            progress.cancelled = [&] { return cancel && stopNow; };
            const sync::Result cut = synchronize(progress);
            QVERIFY(!cut.ok());
            QVERIFY(cut.written);
            QCOMPARE(cut.cancelled, cancel);
            if (!cancel)
                QVERIFY(m_server->start());
        }
        const int already = int(m_server->cards().size());
        QVERIFY2(already > 0 && already < 130, qPrintable(QString::number(already)));
        synchronized();
        const auto cards = m_server->cards();
        QCOMPARE(cards.size(), 130);
        QSet<QString> uids, names;
        for (const auto& card : cards) {
            uids.insert(vcard::cardUid(card.second));
            names.insert(vcard::readCard(card.second).contact[Field::Nome].toText());
        }
        QCOMPARE(uids.size(), 130);
        QCOMPARE(names.size(), 130);
        QCOMPARE(countOf(m_book), qint64(130));
        QCOMPARE(synchronized().written, false);
    }

    // HTTPS with the system's certificates: a certificate of an authority the system does not know
    // is refused with the reason, nothing written; once the system trusts that authority, the same
    // synchronisation goes through.
    void tls_data()
    {
        servers();
        QTest::newRow("radicale") << u"radicale"_s;
    }
    void tls()
    {
        QFETCH(QString, server);
        m_server = std::make_unique<DavServer>(server);
        if (m_server->program().isEmpty())
            QSKIP("the CardDAV server is not installed");
        QTemporaryDir keys;
        QFile extensions(keys.filePath(u"server.ext"_s));
        QVERIFY(extensions.open(QIODevice::WriteOnly));
        extensions.write("subjectAltName = IP:127.0.0.1\n");
        extensions.close();
        const QStringList newKey{u"-newkey"_s, u"ec"_s, u"-pkeyopt"_s, u"ec_paramgen_curve:prime256v1"_s,
                                 u"-nodes"_s};
        QCOMPARE(run(u"openssl"_s,
                     QStringList{u"req"_s, u"-x509"_s, u"-subj"_s, u"/CN=Ufficio"_s, u"-days"_s, u"2"_s,
                                 u"-keyout"_s, u"ca.key"_s, u"-out"_s, u"ca.crt"_s} +
                         newKey,
                     keys.path())
                     .code,
                 0);
        QCOMPARE(run(u"openssl"_s,
                     QStringList{u"req"_s, u"-subj"_s, u"/CN=127.0.0.1"_s, u"-keyout"_s, u"server.key"_s,
                                 u"-out"_s, u"server.csr"_s} +
                         newKey,
                     keys.path())
                     .code,
                 0);
        QCOMPARE(run(u"openssl"_s,
                     {u"x509"_s, u"-req"_s, u"-days"_s, u"2"_s, u"-in"_s, u"server.csr"_s, u"-CA"_s,
                      u"ca.crt"_s, u"-CAkey"_s, u"ca.key"_s, u"-CAcreateserial"_s, u"-extfile"_s,
                      u"server.ext"_s, u"-out"_s, u"server.crt"_s},
                     keys.path())
                     .code,
                 0);
        m_server->useTls(keys.filePath(u"server.crt"_s), keys.filePath(u"server.key"_s));
        QVERIFY2(m_server->start(), m_server->log().constData());
        m_book = testBook(m_dir.filePath(u"rubrica-%1.mdb"_s.arg(++m_books)));
        makeAddressBook(m_book, {{{nameField, u"Rossi Mario"_s}}});
        const QVariantList before = everything(m_book);
        const sync::Result refused = synchronize();
        QVERIFY(refused.failure);
        QVERIFY2(refused.failure->cause.contains(u"certificato"_s), qPrintable(refused.failure->cause));
        QCOMPARE(refused.failure->written, false);
        QCOMPARE(everything(m_book), before);
        // The authority made known, as update-ca-certificates does for the whole system.
        const QSslConfiguration system = QSslConfiguration::defaultConfiguration();
        QSslConfiguration trusting = system;
        trusting.addCaCertificates(QSslCertificate::fromPath(keys.filePath(u"ca.crt"_s)));
        QSslConfiguration::setDefaultConfiguration(trusting);
        // A user with no address book yet is told so.
        const sync::Result none = synchronize();
        QVERIFY(none.failure);
        QVERIFY2(none.failure->cause.contains(u"non ha ancora alcuna rubrica"_s),
                 qPrintable(none.failure->cause));
        QVERIFY(m_server->makeBook());
        const sync::Result taken = synchronize();
        QSslConfiguration::setDefaultConfiguration(system);
        QVERIFY(taken.ok());
        QCOMPARE(taken.server.created, 1);
    }

    // «Sincronizza…» from the card's menu, with the real keys: the account dialog finds the address
    // book, the progress can cancel, the report names what was done, and the card follows a change
    // that came from the server. The second time the book's own address book is offered.
    void fromTheWindow_data()
    {
        servers();
        QTest::newRow("radicale") << u"radicale"_s;
    }
    void fromTheWindow()
    {
        if (!prepare({{{nameField, u"Rossi Mario"_s}, {u"Telefonino"_s, u"333 1234567"_s}},
                      {{nameField, u"Bianchi Anna"_s}}}))
            QSKIP("the CardDAV server is not installed");
        ScriptedDialogs& dialogs = ScriptedDialogs::install();
        QString found;
        dialogs.onSyncAccount = [&](SyncAccountForm& form) {
            if (form.books.isEmpty()) {
                form.address = m_server->root().toString();
                form.user = user;
                form.password = password;
                found = form.find();
            }
            if (form.books.isEmpty())
                return false;
            form.chosen = form.books.first();
            form.password = password;
            return true;
        };
        Card card{Card::Book(m_book)};
        // Cancelled at once: nothing written.
        dialogs.cancelProgressAt = 0;
        pickFromMenu(card.widget(u"Line12"_s), u"actionSincronizza"_s);
        QVERIFY2(found.isEmpty(), qPrintable(found));
        QVERIFY2(dialogs.texts().join(u'\n').contains(u"Sincronizzazione annullata"_s),
                 qPrintable(dialogs.texts().join(u'\n')));
        QCOMPARE(m_server->cards().size(), 0);
        dialogs.clear();
        dialogs.cancelProgressAt = -1;
        pickFromMenu(card.widget(u"Line12"_s), u"actionSincronizza"_s);
        QVERIFY2(dialogs.texts().join(u'\n').contains(u"Sul server: 2 schede create."_s),
                 qPrintable(dialogs.texts().join(u'\n')));
        auto cards = m_server->cards();
        QCOMPARE(cards.size(), 2);
        for (auto it = cards.cbegin(); it != cards.cend(); ++it)
            if (it.value().second.contains("333 1234567"))
                QVERIFY(m_server->put(it.key(),
                                      QByteArray(it.value().second).replace("333 1234567", "333 7654321"),
                                      it.value().first));
        dialogs.clear();
        pickFromMenu(card.widget(u"Line12"_s), u"actionSincronizza"_s);
        QCOMPARE(dialogs.shown.first().text, m_server->url().toString());
        QVERIFY2(dialogs.texts().join(u'\n').contains(u"Nella rubrica: 1 contatto modificato."_s),
                 qPrintable(dialogs.texts().join(u'\n')));
        const auto shows = [&](const QString& text) {
            for (const QLineEdit* box : card.form().findChildren<QLineEdit*>())
                if (box->text() == text)
                    return true;
            return false;
        };
        QTRY_VERIFY(shows(u"333 7654321"_s));
    }

    // The account dialog itself, with the keyboard: the address, the user and the password typed,
    // the address books looked up with Alt+C, the one found chosen with Enter.
    void accountDialog_data()
    {
        servers();
        QTest::newRow("radicale") << u"radicale"_s;
    }
    void accountDialog()
    {
        if (!prepare())
            QSKIP("the CardDAV server is not installed");
        Dialogs::install(nullptr);
        auto scripted = qScopeGuard([] { ScriptedDialogs::install(); });
        SyncAccountForm form;
        form.find = [&form] {
            form.books.clear();
            const sync::Discovery found = sync::discover({form.address, form.user, form.password});
            for (const sync::AddressBook& book : found.books)
                form.books.append(book.url.toString());
            return found.failure ? found.failure->cause : QString();
        };
        QString message;
        whenModalShows([&](QWidget* dialog) {
            // Whatever happens, the dialog closes: a failure must not leave the test waiting on it.
            auto closing = qScopeGuard([dialog] {
                QTimer::singleShot(0, dialog, [dialog] {
                    if (dialog->isVisible())
                        static_cast<QDialog*>(dialog)->reject();
                });
            });
            activate(dialog);
            typeText(keys(), m_server->root().toString());
            QTest::keyClick(keys(), Qt::Key_Tab);
            typeText(keys(), user);
            QTest::keyClick(keys(), Qt::Key_Tab);
            typeText(keys(), password);
            QTest::keyClick(keys(), Qt::Key_C, Qt::AltModifier);
            auto* label = dialog->findChild<QLabel*>(u"syncMessage"_s);
            QTRY_VERIFY_WITH_TIMEOUT(!label->text().isEmpty(), 20000);
            message = label->text();
            QTest::keyClick(keys(), Qt::Key_Return);
        });
        const bool accepted = Dialogs::instance().askSyncAccount(nullptr, form);
        QVERIFY2(accepted, qPrintable(message));
        QCOMPARE(message, u"Trovata una rubrica."_s);
        QCOMPARE(form.chosen, m_server->url().toString());
        QCOMPARE(form.user, user);
        QCOMPARE(form.password, password);
    }

    // vinzal-db sync with the password from ~/.netrc; a wrong password is refused with the cause and
    // nothing written.
    void commandLine_data()
    {
        servers();
        QTest::newRow("radicale") << u"radicale"_s;
    }
    void commandLine()
    {
        if (!prepare({{{nameField, u"Rossi Mario"_s}}}))
            QSKIP("the CardDAV server is not installed");
        QTemporaryDir home;
        const auto netrc = [&](const QString& secret) {
            QFile file(home.filePath(u".netrc"_s));
            file.open(QIODevice::WriteOnly | QIODevice::Truncate);
            file.write(u"machine 127.0.0.1\n  login %1\n  password %2\n"_s.arg(user, secret).toUtf8());
        };
        const auto runSync = [&](const QStringList& arguments) {
            QProcess process;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(u"HOME"_s, home.path());
            process.setProcessEnvironment(environment);
            process.setStandardInputFile(QProcess::nullDevice());
            process.start(QStringLiteral(VINZAL_DB), arguments);
            process.waitForFinished(60000);
            return std::pair{process.exitCode(), QString::fromUtf8(process.readAllStandardOutput() +
                                                                   process.readAllStandardError())};
        };
        netrc(u"sbagliata"_s);
        const QVariantList before = everything(m_book);
        auto [code, text] = runSync({u"sync"_s, m_book, m_server->root().toString()});
        QCOMPARE(code, 1);
        QVERIFY2(text.contains(u"non ha accettato il nome utente o la password"_s), qPrintable(text));
        QCOMPARE(m_server->cards().size(), 0);
        QCOMPARE(everything(m_book), before);
        netrc(password);
        std::tie(code, text) = runSync({u"sync"_s, m_book, m_server->root().toString()});
        QCOMPARE(code, 0);
        QVERIFY2(text.contains(u"Sul server: 1 scheda creata."_s), qPrintable(text));
        QCOMPARE(m_server->cards().size(), 1);
        // Without the address, the book's own address book.
        std::tie(code, text) = runSync({u"sync"_s, m_book});
        QCOMPARE(code, 0);
        QVERIFY2(text.contains(u"Sul server: nessuna modifica."_s), qPrintable(text));
    }
};

QTEST_MAIN(TestSync)
#include "test_sync.moc"
