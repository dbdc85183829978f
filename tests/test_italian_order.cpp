// The Italian order of the card's indexes: case and accents set apart only names that are
// otherwise equal, searches ignore them, old books keep their order until upgraded, and any SQLite
// tool can still write a book in the new form.
#include "contact_table.h"
#include "gui_support.h"
#include "italian_order.h"

#include <QStandardPaths>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;

namespace {

Person named(const QVariant& name, const QString& town = {}, const QString& address = {})
{
    Person contact{{nameField, name}};
    if (!town.isEmpty())
        contact.append({u"Città"_s, town});
    if (!address.isEmpty())
        contact.append({u"Indirizzo"_s, address});
    return contact;
}

// IDs 1 to 12, stored in an order that is none of the orders checked.
QList<Person> book()
{
    return {named(u"Zucchi"_s, u"Forlimpopoli"_s),
            named(u"Ercoli"_s, u"Cantù"_s, u"Via Roma 1"_s),
            named(u"Niccolosi"_s),
            named(QVariant()),
            named(u"Èrcoli"_s, u"Forlì"_s, u"Übergasse 3"_s),
            named(u"Forlimpopoli"_s),
            named(u"ÉRCOLI"_s, u"CANICATTÌ"_s, u"Unterweg 2"_s),
            named(u"Eco"_s),
            named(u"Ésposito"_s),
            named(QVariant()),
            named(u"Forlì"_s),
            named(u"Niccolò"_s)};
}

// "Eco, Ercoli, Èrcoli, ÉRCOLI, Ésposito, Forlì, Forlimpopoli, Niccolò, Niccolosi, Zucchi", NULLs first.
const QStringList italianOrder{u"4"_s, u"10"_s, u"8"_s, u"2"_s,  u"5"_s, u"7"_s,
                               u"9"_s, u"11"_s, u"6"_s, u"12"_s, u"3"_s, u"1"_s};

// What NOCASE gave, and still gives on a book not yet upgraded: accented initials after Z.
const QStringList nocaseOrder{u"4"_s, u"10"_s, u"8"_s, u"2"_s, u"6"_s, u"11"_s,
                              u"3"_s, u"12"_s, u"1"_s, u"5"_s, u"7"_s, u"9"_s};

void makeIndexesOld(const QString& path)
{
    for (const QString& index : contacts::indexNames()) {
        query(path, u"DROP INDEX "_s + quoteIdentifier(index));
        query(path, u"CREATE INDEX "_s + quoteIdentifier(index) + u" ON Nomelia("_s + quoteIdentifier(index) +
                        u")"_s);
    }
}

} // namespace

class TestItalianOrder : public QObject
{
    Q_OBJECT

    ScriptedDialogs* m_dialogs = nullptr;

    // The IDs the card shows, moving with the bar from the first row to the end and back.
    void verifyBarOrder(Card& card, const QStringList& expected)
    {
        card.barMove(u"MoveFirst"_s);
        QStringList forward{card.text(u"Text12"_s)};
        for (qsizetype i = 1; i < expected.size() + 1; ++i) {
            card.barMove(u"MoveNext"_s); // once past the end, to see that the last row stays
            forward.append(card.text(u"Text12"_s));
        }
        QCOMPARE(forward, expected + QStringList{expected.last()});
        QStringList backward{card.text(u"Text12"_s)};
        for (qsizetype i = 1; i < expected.size() + 1; ++i) {
            card.barMove(u"MovePrevious"_s);
            backward.append(card.text(u"Text12"_s));
        }
        QStringList reversed(expected.rbegin(), expected.rend());
        QCOMPARE(backward, reversed + QStringList{expected.first()});
        QVERIFY(m_dialogs->shown.size() <= 1); // only the search that chose the order
    }

    // Searches with a search button and its input dialog, as the user does.
    void search(Card& card, const QString& button, const QString& text)
    {
        m_dialogs->textAnswers = {text};
        card.click(button);
    }

private slots:
    void init() { m_dialogs = &ScriptedDialogs::install(); }

    void keysAsSqliteComputesThem()
    {
        // Every mapped letter, ASCII letters, and letters outside the rule, which stay as they are.
        QString sample = u"AbZ ÆßØ ñÑ"_s;
        for (const auto& [from, to] : order::lowerCaseMap() + order::accentMap())
            sample += QString(from) + to;
        QTemporaryDir dir;
        const QString path = dir.filePath(u"k.mdb"_s);
        makeAddressBook(path, {});
        for (const auto key : {order::Key::Folded, order::Key::LowerCase}) {
            const QVariantList computed =
                query(path, u"SELECT "_s + order::keyExpression(u"?"_s, key), {sample});
            QCOMPARE(computed.first().toString(), order::key(sample, key));
        }
        QCOMPARE(order::key(u"Èrcoli ÜBER Çelik"_s, order::Key::LowerCase), u"èrcoli über çelik"_s);
        QCOMPARE(order::key(u"Èrcoli ÜBER Çelik"_s, order::Key::Folded), u"ercoli uber celik"_s);
        QVERIFY(order::key(QString(), order::Key::Folded).isNull());
    }

    void barFollowsTheItalianOrder()
    {
        Card card(book());
        search(card, u"Command1"_s, u"eco"_s);
        QCOMPARE(card.text(u"Text12"_s), u"8"_s);
        verifyBarOrder(card, italianOrder);
        // Another field: towns fold alike ("Forlì" before "Forlimpopoli"), NULLs first by ID.
        search(card, u"Command8"_s, u"forli"_s);
        QCOMPARE(card.text(u"Text10"_s), u"Forlì"_s);
        m_dialogs->clear();
        verifyBarOrder(card, {u"3"_s, u"4"_s, u"6"_s, u"8"_s, u"9"_s, u"10"_s, u"11"_s, u"12"_s, u"7"_s,
                              u"2"_s, u"5"_s, u"1"_s}); // Canicattì, Cantù, Forlì, Forlimpopoli
    }

    void searchIgnoresCaseAndAccents_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("foundId");
        for (const QStringList& row : tableRows(QFINDTESTDATA("data/italian-searches.txt")))
            QTest::newRow(qPrintable(row[0])) << row[1] << row[2] << row[3];
    }

    void searchIgnoresCaseAndAccents()
    {
        QFETCH(QString, button);
        QFETCH(QString, text);
        QFETCH(QString, foundId);
        Card card(book());
        search(card, button, text);
        QCOMPARE(m_dialogs->texts().size(), 1); // the input dialog, no "Nome non trovato."
        QCOMPARE(card.text(u"Text12"_s), foundId);
    }

    void searchPastTheLastName()
    {
        Card card(book());
        search(card, u"Command1"_s, u"zz"_s);
        QCOMPARE(m_dialogs->texts().value(1), u"Nome non trovato."_s);
        search(card, u"Command1"_s, u"Zücchi"_s); // ü folds: the last name is at or after it
        QCOMPARE(card.text(u"Text12"_s), u"1"_s);
    }

    void oldBookWorksUntilUpgraded()
    {
        Card card(book());
        makeIndexesOld(card.path());
        Run checked = vinzalDb({u"check"_s, card.path()});
        QCOMPARE(checked.code, 0); // sound
        QVERIFY2(checked.out.contains(u"da aggiornare"_s) &&
                     checked.out.contains(u"vinzal-db upgrade "_s + card.path()),
                 qPrintable(checked.out));

        search(card, u"Command1"_s, u"eco"_s);
        verifyBarOrder(card, nocaseOrder);

        // An index that cannot be made: the upgrade fails whole, and every old index stays.
        query(card.path(), u"DROP INDEX \"Fax\""_s);
        query(card.path(), u"CREATE TABLE \"Fax\" (x)"_s);
        Run failed = vinzalDb({u"upgrade"_s, card.path()});
        QCOMPARE(failed.code, 1);
        QVERIFY2(failed.err.contains(u"Fax"_s), qPrintable(failed.err));
        QCOMPARE(query(card.path(), u"SELECT count(*) FROM sqlite_master WHERE type = 'index' AND sql LIKE "
                                    u"'%replace(%'"_s)
                     .first()
                     .toInt(),
                 0);
        query(card.path(), u"DROP TABLE \"Fax\""_s);

        // The program stays open on the book while it is upgraded; the next search uses the new form.
        Run upgraded = vinzalDb({u"upgrade"_s, card.path()});
        QCOMPARE(upgraded.code, 0);
        QVERIFY2(upgraded.out.contains(u"11 indici"_s), qPrintable(upgraded.out));
        checked = vinzalDb({u"check"_s, card.path()});
        QCOMPARE(checked.code, 0);
        QVERIFY2(!checked.out.contains(u"da aggiornare"_s), qPrintable(checked.out));
        QCOMPARE(vinzalDb({u"upgrade"_s, card.path()}).out.contains(u"già aggiornata"_s), true);
        QCOMPARE(query(card.path(), u"PRAGMA integrity_check"_s).first().toString(), u"ok"_s);

        m_dialogs->clear();
        search(card, u"Command1"_s, u"eco"_s);
        verifyBarOrder(card, italianOrder);
    }

    void indexOfAnotherFormIsReported()
    {
        Card card(book());
        query(card.path(), u"DROP INDEX \"Città\""_s);
        query(card.path(), u"CREATE INDEX \"Città\" ON Nomelia(lower(\"Città\"))"_s);
        search(card, u"Command8"_s, u"forli"_s);
        QVERIFY2(m_dialogs->texts().last().contains(u"«Città»"_s) &&
                     m_dialogs->texts().last().contains(u"vinzal-db check"_s),
                 qPrintable(m_dialogs->texts().last()));
        Run checked = vinzalDb({u"check"_s, card.path()});
        QCOMPARE(checked.code, 1);
        QVERIFY2(checked.err.contains(u"«Città» non ha la forma"_s), qPrintable(checked.err));
        QCOMPARE(vinzalDb({u"upgrade"_s, card.path()}).code, 0); // and upgrade mends it
        QVERIFY(vinzalDb({u"check"_s, card.path()}).err.isEmpty());
    }

    void sqliteShellWritesANewBook()
    {
        const QString shell = QStandardPaths::findExecutable(u"sqlite3"_s);
        if (shell.isEmpty())
            QSKIP("the sqlite3 shell is not installed (Debian package sqlite3)");
        Card card(book());
        // Another program writes while the card is open: a new name, a changed one, a deleted one.
        Run wrote =
            run(shell, {card.path()}, {},
                "INSERT INTO Nomelia (ID, \"Cognone e nome o denominazione\") VALUES (13, 'Èrcole');\n"
                "UPDATE Nomelia SET \"Cognone e nome o denominazione\" = 'Àlfano' WHERE ID = 1;\n"
                "DELETE FROM Nomelia WHERE ID = 3;\n"
                "PRAGMA integrity_check;\n");
        QCOMPARE(wrote.code, 0);
        QCOMPARE(wrote.err, QString());
        QCOMPARE(wrote.out.trimmed(), u"ok"_s);
        card.click(u"Command16"_s); // AGGIORNA
        search(card, u"Command1"_s, u"ercole"_s);
        QCOMPARE(card.text(u"Text12"_s), u"13"_s);
        QCOMPARE(card.text(u"Text2"_s), u"Èrcole"_s);
        m_dialogs->clear();
        verifyBarOrder(card, {u"4"_s, u"10"_s, u"1"_s, u"8"_s, u"13"_s, u"2"_s, u"5"_s, u"7"_s, u"9"_s,
                              u"11"_s, u"6"_s, u"12"_s});
        QCOMPARE(query(card.path(), u"PRAGMA integrity_check"_s).first().toString(), u"ok"_s);
    }
};

QTEST_MAIN(TestItalianOrder)
#include "test_italian_order.moc"
