#include "connection.h"
#include "contact_table.h"
#include "database.h"
#include "record_navigator.h"
#include "schema.h"
#include "table_cursor.h"
#include "test_support.h"

#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;

namespace {

const QString genere = u"Genere"_s;
const QString& nome = nameField;
const QString citta = u"Città"_s;

Person person(const QVariant& category, const QString& name, const QVariant& town = {})
{
    return {{genere, category}, {nome, name}, {citta, town}};
}

} // namespace

class TestStore : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path;

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(u"Vinzal %1 è.mdb"_s.arg(QString::fromLatin1(QTest::currentTestFunction())));
        QFile::remove(m_path);
        m_path = testBook(m_path);
    }

    void missingFileIsNotCreated()
    {
        if (onServer())
            QSKIP("a file's case");
        RecordNavigator navigator;
        navigator.setDatabaseName(m_path);
        const Status opened = navigator.open();
        QVERIFY(!opened);
        QCOMPARE(opened.error().kind, StoreError::Kind::FileMissing);
        QVERIFY(opened.error().message.contains(u"non esiste"_s));
        QVERIFY(!QFile::exists(m_path));
        QVERIFY(!navigator.isOpen());
        // Every operation on an unopened navigator fails cleanly.
        QCOMPARE(navigator.moveNext().error().kind, StoreError::Kind::NotOpen);
        QCOMPARE(navigator.addNew().error().kind, StoreError::Kind::NotOpen);
    }

    void orderWithoutIndex()
    {
        makeAddressBook(m_path,
                        {person(u"Altro"_s, u"C"_s), person(u"Lavoro"_s, u"A"_s), person({}, u"B"_s)});
        Navigator b(m_path);
        QCOMPARE(b.shown(nome), u"C"_s);
        QCOMPARE(b.shown(u"ID"_s), u"1"_s);
        QCOMPARE(walk(b, nome), (QStringList{u"C"_s, u"A"_s, u"B"_s}));
        // Past the last row the last stays current; before the first, the first.
        QVERIFY(b->moveLast().ok());
        QVERIFY(b->moveNext().ok());
        QCOMPARE(b.shown(nome), u"B"_s);
        QVERIFY(b->moveFirst().ok());
        QVERIFY(b->movePrevious().ok());
        QCOMPARE(b.shown(nome), u"C"_s);
    }

    void emptyTable()
    {
        makeAddressBook(m_path, {});
        Navigator b(m_path);
        QVERIFY(!b->hasCurrentRow());
        QVERIFY(b->moveNext().ok());
        QVERIFY(b->moveLast().ok());
        QVERIFY(!b->hasCurrentRow());
        QVERIFY(b->setIndex(nome).ok());
        QVERIFY(b->seek(u">="_s, u"x"_s).ok());
        QVERIFY(b->noMatch());
        QCOMPARE(b->edit().error().kind, StoreError::Kind::NoCurrentRow);
    }

    void seek()
    {
        makeAddressBook(m_path, {person(u"Lavoro"_s, u"Rossi Mario"_s, u"Roma"_s),
                                 person(u"Altro"_s, u"Bianchi Anna"_s, u"Milano"_s),
                                 person(u"Lavoro"_s, u"rossi mario"_s, u"Città di Castello"_s),
                                 person(u"Lavoro"_s, u"Verdi Luca"_s, QVariant())});
        Navigator b(m_path);
        // A key found, one between two keys and runs of equal keys: test_italian_order's searches,
        // and on a server sameOrderAndSeeksOnBothEngines.
        QVERIFY(b->setIndex(nome).ok());
        QVERIFY(b->seek(u">="_s, u"Z"_s).ok()); // after the last key
        QVERIFY(b->noMatch());
        QVERIFY(!b->hasCurrentRow());
        QCOMPARE(b.shown(nome), QString());

        QVERIFY(b->seek(u">="_s, u"' OR 1=1 --"_s).ok()); // bound, never part of the SQL
        QVERIFY(!b->noMatch());
        QCOMPARE(b.shown(nome), u"Bianchi Anna"_s);

        // After a search the bar follows the index; Refresh drops it and shows the first row.
        QVERIFY(b->setIndex(citta).ok());
        QVERIFY(b->seek(u">="_s, u"Ci"_s).ok());
        QCOMPARE(b.shown(citta), u"Città di Castello"_s);
        QVERIFY(b->moveNext().ok());
        QCOMPARE(b.shown(citta), u"Milano"_s);
        QVERIFY(b->refresh().ok());
        QCOMPARE(b.shown(u"ID"_s), u"1"_s);
        QVERIFY(b->moveNext().ok());
        QCOMPARE(b.shown(u"ID"_s), u"2"_s);

        QCOMPARE(b->setIndex(u"ID"_s).error().kind, StoreError::Kind::IndexMissing);
    }

    void addNewUpdateAndCancel()
    {
        makeAddressBook(m_path, {person(u"Lavoro"_s, u"Primo"_s)});
        Navigator b(m_path);
        QVERIFY(b->addNew().ok());
        QCOMPARE(b->editMode(), RecordNavigator::EditMode::Adding);
        QCOMPARE(b.shown(nome), QString());
        b.fields[nome].type(u"Nuovo «contatto» 'con' \"virgolette\""_s);
        b.fields[citta].type(u"Forlì"_s);
        QVERIFY(b->update().ok());
        QCOMPARE(b->editMode(), RecordNavigator::EditMode::None);
        QCOMPARE(b.shown(u"ID"_s), u"2"_s); // the new row is current
        QCOMPARE(fieldOf(m_path, 2, nome).toString(), u"Nuovo «contatto» 'con' \"virgolette\""_s);
        QCOMPARE(fieldOf(m_path, 2, citta).toString(), u"Forlì"_s);
        QVERIFY(fieldOf(m_path, 2, genere).isNull()); // untouched fields stay NULL

        // CancelUpdate drops the new row and shows the previous one again.
        QVERIFY(b->addNew().ok());
        b.fields[nome].type(u"Da scartare"_s);
        QVERIFY(b->cancelUpdate().ok());
        QCOMPARE(b.shown(u"ID"_s), u"2"_s);
        QCOMPARE(query(m_path, u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 2);

        // A new row that received nothing is not stored, and the previous row comes back.
        QVERIFY(b->addNew().ok());
        QVERIFY(b->update().ok());
        QCOMPARE(query(m_path, u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 2);
        QCOMPARE(b.shown(u"ID"_s), u"2"_s);
        QCOMPARE(b->editMode(), RecordNavigator::EditMode::None);
    }

    void editWritesOnlyChangedFields()
    {
        makeAddressBook(m_path, {person(u"Lavoro"_s, u"Rossi"_s, u"Roma"_s)});
        Navigator b(m_path);
        QVERIFY(b->edit().ok());
        b.fields[citta].type(u"Napoli"_s);
        b.fields[u"Fax"_s].type(QString()); // typed and emptied again: stored as NULL
        // Meanwhile another program changes a field this window did not touch.
        query(m_path,
              u"UPDATE Nomelia SET \"Cognone e nome o denominazione\" = 'Rossi Mario' WHERE ID = 1"_s);
        QVERIFY(b->update().ok());
        QCOMPARE(fieldOf(m_path, 1, citta).toString(), u"Napoli"_s);
        QCOMPARE(fieldOf(m_path, 1, nome).toString(), u"Rossi Mario"_s); // kept, not overwritten
        QVERIFY(fieldOf(m_path, 1, u"Fax"_s).isNull());
        QCOMPARE(b.shown(nome), u"Rossi Mario"_s); // the row is shown afresh
        QVERIFY(!b.fields[citta].dataChanged());
    }

    void lostUpdateGuard()
    {
        makeAddressBook(m_path, {person(u"Lavoro"_s, u"Rossi"_s, u"Roma"_s), person(u"Altro"_s, u"Verdi"_s)});
        Navigator a(m_path);
        Navigator b(m_path, RecordNavigator::RecordsetType::Dynaset);
        // The other navigator changes the town, differing only in case (NOCASE must not hide it).
        QVERIFY(b->storeRow(0, {{citta, Value::fromEditedText(u"ROMA"_s), Value::fromEditedText(u"Roma"_s)}})
                    .ok());

        a.fields[citta].type(u"Torino"_s);
        const Status moved = a->moveNext();
        QVERIFY(!moved);
        QCOMPARE(moved.error().kind, StoreError::Kind::Conflict);
        QCOMPARE(fieldOf(m_path, 1, citta).toString(), u"ROMA"_s); // nothing overwritten
        QCOMPARE(a.shown(citta), u"Torino"_s);                     // the typed value stays
        QCOMPARE(a.shown(u"ID"_s), u"1"_s);                        // and the row was not left

        // The grid's own guard: its fetched value is no longer in the file.
        const Status stale =
            b->storeRow(0, {{citta, Value::fromEditedText(u"Bari"_s), Value::fromEditedText(u"Roma"_s)}});
        QCOMPARE(stale.error().kind, StoreError::Kind::Conflict);
        QCOMPARE(fieldOf(m_path, 1, citta).toString(), u"ROMA"_s);

        // Giving up the typed value (a No to the question) lets the move go on.
        a.fields[citta].setDataChanged(false);
        QVERIFY(a->moveNext().ok());
        QCOMPARE(a.shown(u"ID"_s), u"2"_s);

        // A delete is guarded alike: a contact changed since it was shown is kept; read afresh, it
        // goes, and the card stands on the one before it (it was the last).
        query(m_path, u"UPDATE Nomelia SET Genere = 'Lavoro' WHERE ID = 2"_s);
        QCOMPARE(a->deleteCurrent().error().kind, StoreError::Kind::Conflict);
        QCOMPARE(query(m_path, u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 2);
        QVERIFY(a->movePrevious().ok() && a->moveNext().ok());
        QVERIFY(a->deleteCurrent().ok());
        QCOMPARE(query(m_path, u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 1);
        QCOMPARE(a.shown(u"ID"_s), u"1"_s);
    }

    void validateBeforeEachOperation()
    {
        makeAddressBook(m_path, {person(u"Lavoro"_s, u"Uno"_s), person(u"Altro"_s, u"Due"_s),
                                 person(u"Altro"_s, u"Tre"_s)});
        Navigator b(m_path);
        QList<std::pair<RecordNavigator::Action, bool>> raised;
        bool discard = false;
        connect(&b.navigator, &RecordNavigator::validate, this,
                [&](RecordNavigator::Action action, bool save) {
                    raised.append({action, save});
                    if (discard)
                        for (const QString& name : contacts::fields())
                            b.fields[name].setDataChanged(false);
                });
        using A = RecordNavigator::Action;
        QVERIFY(b->moveNext().ok());
        QVERIFY(b->movePrevious().ok());
        QVERIFY(b->moveLast().ok());
        QVERIFY(b->moveFirst().ok());
        QVERIFY(b->setIndex(nome).ok());
        QVERIFY(b->seek(u">="_s, u"T"_s).ok());
        QVERIFY(b->refresh().ok());
        QVERIFY(b->addNew().ok());
        QVERIFY(b->cancelUpdate().ok());
        QVERIFY(b->edit().ok());
        b.fields[citta].type(u"Bari"_s);
        QVERIFY(b->update().ok());
        QCOMPARE(raised, (QList<std::pair<A, bool>>{{A::MoveNext, false},
                                                    {A::MovePrevious, false},
                                                    {A::MoveLast, false},
                                                    {A::MoveFirst, false},
                                                    {A::Find, false},
                                                    {A::Close, false},
                                                    {A::AddNew, false},
                                                    {A::Update, true}}));
        QCOMPARE(fieldOf(m_path, 1, citta).toString(), u"Bari"_s);

        // A handler that clears the flags keeps the typed text out of the row.
        discard = true;
        b.fields[citta].type(u"Genova"_s);
        QVERIFY(b->moveNext().ok());
        QCOMPARE(fieldOf(m_path, 1, citta).toString(), u"Bari"_s);

        // A change left by a move is written when nobody clears it; so is one left by unload.
        discard = false;
        b.fields[citta].type(u"Aosta"_s);
        QVERIFY(b->moveNext().ok());
        QCOMPARE(fieldOf(m_path, 2, citta).toString(), u"Aosta"_s);
        b.fields[nome].type(u"Tre bis"_s);
        QVERIFY(b->unload().ok());
        QCOMPARE(raised.last(), (std::pair<A, bool>{A::Unload, true}));
        QCOMPARE(fieldOf(m_path, 3, nome).toString(), u"Tre bis"_s);
        QVERIFY(!b->isOpen());
    }

    void dynasetPagesAndBoundedCache()
    {
        QList<Person> many;
        for (int i = 0; i < 1000; ++i)
            many.append(person(u"Altro"_s, u"n%1"_s.arg(i)));
        makeAddressBook(m_path, many);
        query(m_path, u"DELETE FROM Nomelia WHERE ID = 500"_s);
        Navigator b(m_path, RecordNavigator::RecordsetType::Dynaset);
        Dynaset& rows = *b->dynaset();
        QCOMPARE(rows.size(), Dynaset::pageSize); // the first page, until the list is taken in
        QVERIFY(rows.waitForList().ok());
        QCOMPARE(rows.size(), 999);
        QCOMPARE(rows.rowAt(998).value().text(nome), u"n999"_s);
        QCOMPARE(rows.rowAt(499).value().text(nome), u"n500"_s); // the gap left by the deleted row
        QCOMPARE(rows.positionOf(501), 499);
        QCOMPARE(rows.positionOf(500), -1);
        // Added after the open: not in it until it is opened again.
        query(m_path, u"INSERT INTO Nomelia(\"Genere\") VALUES ('Lavoro')"_s);
        QCOMPARE(rows.size(), 999);
        QVERIFY(b->refresh().ok());
        QVERIFY(b->dynaset()->waitForList().ok());
        QCOMPARE(b->dynaset()->size(), 1000);
        // A row deleted after the open comes back empty rather than failing.
        query(m_path, u"DELETE FROM Nomelia WHERE ID = 900"_s);
        QCOMPARE(b->dynaset()->rowAt(898).value().rowid, 0);
    }
    // Every statement the cursor runs reads its rows from an index, never sorting nor scanning the
    // table: for every index, on both engines, and on a file also in the form books had before.
    void everyMoveIsReadFromAnIndex()
    {
        makeAddressBook(m_path, {});
        // Enough rows, and on a server statistics, for the planner to prefer an index where one serves.
        query(m_path, u"WITH RECURSIVE g(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM g WHERE n < 20000) "
                      u"INSERT INTO \"Nomelia\" (\"Genere\", \"Cognone e nome o denominazione\", \"Città\") "
                      u"SELECT CASE n % 3 WHEN 0 THEN 'Lavoro' ELSE 'Altro' END, 'Nome ' || n, "
                      u"CASE WHEN n % 7 = 0 THEN NULL ELSE 'Città ' || (n % 100) END FROM g"_s);
        if (onServer())
            query(m_path, u"ANALYZE \"Nomelia\""_s);
        for (const bool old : {false, true}) {
            if (old && onServer())
                break;
            for (const QString& index : contacts::indexNames())
                if (old) { // plain columns, compared without case
                    query(m_path, u"DROP INDEX "_s + quoteIdentifier(index));
                    query(m_path, u"CREATE INDEX "_s + quoteIdentifier(index) + u" ON Nomelia("_s +
                                      quoteIdentifier(index) + u")"_s);
                }
            auto connection = Connection::open(m_path);
            QVERIFY(connection);
            TableCursor cursor(*connection.value());
            for (const QString& index : QStringList{QString()} + contacts::indexNames()) {
                if (!index.isEmpty())
                    QVERIFY(cursor.setIndex(index));
                const QStringList statements = cursor.statements();
                QVERIFY(statements.size() >= (index.isEmpty() ? 5 : 12));
                for (const QString& statement : statements) {
                    // Each placeholder bound to a value that is both a text and a number.
                    sql::Statement plan(connection.value()->db(),
                                        (onServer() ? u"EXPLAIN (COSTS OFF) "_s : u"EXPLAIN QUERY PLAN "_s) +
                                            statement,
                                        u"test"_s);
                    for (qsizetype i = 0; i < statement.count(u'?'); ++i)
                        plan.bind(Value::text("5"));
                    QStringList details;
                    for (auto row = plan.next(); row && row.value(); row = plan.next())
                        details.append(plan.value(onServer() ? 0 : 3).toText());
                    const QString shown =
                        index + u": "_s + details.join(u" | "_s) + u"\n"_s + statement.left(300);
                    QVERIFY2(!details.isEmpty(), qPrintable(shown));
                    QVERIFY2(
                        !details.join(u" "_s).contains(QRegularExpression(u"TEMP B-TREE|Sort|Seq Scan"_s)),
                        qPrintable(shown));
                    if (onServer())
                        continue;
                    QVERIFY2(statement.contains(u"LIMIT 1"_s) || statement.contains(u"rowid = ?"_s),
                             qPrintable(shown));
                    QCOMPARE(details.size(), 1);
                    if (statement.contains(u" WHERE "_s))
                        QVERIFY2(details.first().startsWith(u"SEARCH "_s), qPrintable(shown));
                    else if (!index.isEmpty()) // the ends: the index read from one end, LIMIT 1
                        QVERIFY2(details.first().contains(u"INDEX "_s + index), qPrintable(shown));
                }
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestStore)
#include "test_store.moc"
