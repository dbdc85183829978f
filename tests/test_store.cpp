#include "contact_table.h"
#include "record_navigator.h"
#include "schema.h"
#include "test_support.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;

namespace {

const QString genere = u"Genere"_s;
const QString nome = u"Cognone e nome o denominazione"_s;
const QString citta = u"Città"_s;

Person person(const QVariant& category, const QString& name, const QVariant& town = {})
{
    return {{genere, category}, {nome, name}, {citta, town}};
}

} // namespace

class TestStore : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_path;

    // Opens a navigator on m_path with a field bound to each of the twelve fields.
    struct Bound
    {
        std::unique_ptr<RecordNavigator> navigator = std::make_unique<RecordNavigator>();
        TextFields fields{*navigator};
        TextField& field(const QString& name) { return fields[name]; }
        QString shown(const QString& name) { return field(name).boundText(); }
    };
    std::unique_ptr<Bound>
    openNavigator(RecordNavigator::RecordsetType type = RecordNavigator::RecordsetType::Table)
    {
        auto bound = std::make_unique<Bound>();
        bound->navigator->setDatabaseName(m_path);
        bound->navigator->setRecordsetType(type);
        const Status opened = bound->navigator->open();
        if (!opened)
            qFatal("open failed: %s", qPrintable(opened.error().fullText()));
        return bound;
    }

    // Walks the whole table with next (or previous) and returns the names in the order met.
    QStringList walk(Bound& b, bool forward)
    {
        QStringList names;
        Status start = forward ? b.navigator->moveFirst() : b.navigator->moveLast();
        Q_ASSERT(start.ok());
        qint64 last = -1;
        while (b.navigator->currentRow()->rowid != last) {
            last = b.navigator->currentRow()->rowid;
            names.append(b.shown(nome));
            Status moved = forward ? b.navigator->moveNext() : b.navigator->movePrevious();
            Q_ASSERT(moved.ok());
        }
        return names;
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(u"Vinzal %1 è.mdb"_s.arg(QString::fromLatin1(QTest::currentTestFunction())));
        QFile::remove(m_path);
        m_path = testBook(m_path);
    }

    void categoryTestIsExact()
    {
        QVERIFY(contacts::isCategory(u"Famiglia-Amici"_s));
        QVERIFY(contacts::isCategory(u"Lavoro"_s));
        QVERIFY(contacts::isCategory(u"Altro"_s));
        for (const QString& wrong :
             {u"altro"_s, u"Lavoro "_s, u" Lavoro"_s, u"Famiglia Amici"_s, QString(), u"ALTRO"_s})
            QVERIFY2(!contacts::isCategory(wrong), qPrintable(wrong));
        QCOMPARE(contacts::fields().size(), 12);
        QCOMPARE(contacts::indexNames().size(), 11);
        // Every index is named after a field, and every field but the key has one.
        for (const QString& index : contacts::indexNames())
            QVERIFY(contacts::fields().contains(index));
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
        auto b = openNavigator();
        QCOMPARE(b->shown(nome), u"C"_s);
        QCOMPARE(b->shown(u"ID"_s), u"1"_s);
        QCOMPARE(walk(*b, true), (QStringList{u"C"_s, u"A"_s, u"B"_s}));
        QCOMPARE(walk(*b, false), (QStringList{u"B"_s, u"A"_s, u"C"_s}));
        // Past the last row the last stays current; before the first, the first.
        QVERIFY(b->navigator->moveLast().ok());
        QVERIFY(b->navigator->moveNext().ok());
        QCOMPARE(b->shown(nome), u"B"_s);
        QVERIFY(b->navigator->moveFirst().ok());
        QVERIFY(b->navigator->movePrevious().ok());
        QCOMPARE(b->shown(nome), u"C"_s);
    }

    void orderWithIndexRunsAndNulls()
    {
        // Runs of equal keys (case folded: "lavoro" equals "Lavoro"), NULLs, and keys out of rowid order.
        makeAddressBook(m_path,
                        {person(u"Lavoro"_s, u"r1"_s), person({}, u"r2"_s), person(u"Altro"_s, u"r3"_s),
                         person(u"lavoro"_s, u"r4"_s), person({}, u"r5"_s), person(u"Altro"_s, u"r6"_s),
                         person(u"Famiglia-Amici"_s, u"r7"_s), person(u"Lavoro"_s, u"r8"_s)});
        auto b = openNavigator();
        QVERIFY(b->navigator->setIndex(genere).ok());
        const QStringList expected{u"r2"_s, u"r5"_s, u"r3"_s, u"r6"_s, u"r7"_s, u"r1"_s, u"r4"_s, u"r8"_s};
        QCOMPARE(walk(*b, true), expected);
        QStringList reversed(expected.rbegin(), expected.rend());
        QCOMPARE(walk(*b, false), reversed);
        // The order is the one SQLite itself gives for (Genere, rowid).
        if (onServer())
            return;
        QStringList bySql;
        for (const QVariant& name : query(
                 m_path, u"SELECT \"Cognone e nome o denominazione\" FROM Nomelia ORDER BY Genere, rowid"_s))
            bySql.append(name.toString());
        QCOMPARE(bySql, expected);
    }

    void emptyTable()
    {
        makeAddressBook(m_path, {});
        auto b = openNavigator();
        QVERIFY(!b->navigator->hasCurrentRow());
        QVERIFY(b->navigator->moveNext().ok());
        QVERIFY(b->navigator->moveLast().ok());
        QVERIFY(!b->navigator->hasCurrentRow());
        QVERIFY(b->navigator->setIndex(nome).ok());
        QVERIFY(b->navigator->seek(u">="_s, u"x"_s).ok());
        QVERIFY(b->navigator->noMatch());
        QCOMPARE(b->navigator->edit().error().kind, StoreError::Kind::NoCurrentRow);
    }

    void seek()
    {
        makeAddressBook(m_path, {person(u"Lavoro"_s, u"Rossi Mario"_s, u"Roma"_s),
                                 person(u"Altro"_s, u"Bianchi Anna"_s, u"Milano"_s),
                                 person(u"Lavoro"_s, u"rossi mario"_s, u"Città di Castello"_s),
                                 person(u"Lavoro"_s, u"Verdi Luca"_s, QVariant())});
        auto b = openNavigator();
        QVERIFY(b->navigator->setIndex(nome).ok());

        QVERIFY(b->navigator->seek(u">="_s, u"ROSSI MARIO"_s).ok()); // exact key, case folded
        QVERIFY(!b->navigator->noMatch());
        QCOMPARE(b->shown(u"ID"_s), u"1"_s);    // the first of the equal keys, by rowid
        QVERIFY(b->navigator->moveNext().ok()); // the run goes on in rowid order
        QCOMPARE(b->shown(u"ID"_s), u"3"_s);

        QVERIFY(b->navigator->seek(u">="_s, u"C"_s).ok()); // between two keys: the next greater
        QCOMPARE(b->shown(nome), u"Rossi Mario"_s);

        QVERIFY(b->navigator->seek(u">="_s, u"Z"_s).ok()); // after the last key
        QVERIFY(b->navigator->noMatch());
        QVERIFY(!b->navigator->hasCurrentRow());
        QCOMPARE(b->shown(nome), QString());

        QVERIFY(b->navigator->seek(u">="_s, u"' OR 1=1 --"_s).ok()); // bound, never part of the SQL
        QVERIFY(!b->navigator->noMatch());
        QCOMPARE(b->shown(nome), u"Bianchi Anna"_s);

        // After a search the bar follows the index; Refresh drops it and shows the first row.
        QVERIFY(b->navigator->setIndex(citta).ok());
        QVERIFY(b->navigator->seek(u">="_s, u"Ci"_s).ok());
        QCOMPARE(b->shown(citta), u"Città di Castello"_s);
        QVERIFY(b->navigator->moveNext().ok());
        QCOMPARE(b->shown(citta), u"Milano"_s);
        QVERIFY(b->navigator->refresh().ok());
        QCOMPARE(b->shown(u"ID"_s), u"1"_s);
        QVERIFY(b->navigator->moveNext().ok());
        QCOMPARE(b->shown(u"ID"_s), u"2"_s);

        QCOMPARE(b->navigator->setIndex(u"ID"_s).error().kind, StoreError::Kind::IndexMissing);
    }

    void addNewUpdateAndCancel()
    {
        makeAddressBook(m_path, {person(u"Lavoro"_s, u"Primo"_s)});
        auto b = openNavigator();
        QVERIFY(b->navigator->addNew().ok());
        QCOMPARE(b->navigator->editMode(), RecordNavigator::EditMode::Adding);
        QCOMPARE(b->shown(nome), QString());
        b->field(nome).type(u"Nuovo «contatto» 'con' \"virgolette\""_s);
        b->field(citta).type(u"Forlì"_s);
        QVERIFY(b->navigator->update().ok());
        QCOMPARE(b->navigator->editMode(), RecordNavigator::EditMode::None);
        QCOMPARE(b->shown(u"ID"_s), u"2"_s); // the new row is current
        QCOMPARE(fieldOf(m_path, 2, nome).toString(), u"Nuovo «contatto» 'con' \"virgolette\""_s);
        QCOMPARE(fieldOf(m_path, 2, citta).toString(), u"Forlì"_s);
        QVERIFY(fieldOf(m_path, 2, genere).isNull()); // untouched fields stay NULL

        // CancelUpdate drops the new row and shows the previous one again.
        QVERIFY(b->navigator->addNew().ok());
        b->field(nome).type(u"Da scartare"_s);
        QVERIFY(b->navigator->cancelUpdate().ok());
        QCOMPARE(b->shown(u"ID"_s), u"2"_s);
        QCOMPARE(query(m_path, u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 2);

        // A new row that received nothing is not stored, and the previous row comes back.
        QVERIFY(b->navigator->addNew().ok());
        QVERIFY(b->navigator->update().ok());
        QCOMPARE(query(m_path, u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 2);
        QCOMPARE(b->shown(u"ID"_s), u"2"_s);
        QCOMPARE(b->navigator->editMode(), RecordNavigator::EditMode::None);
    }

    void editWritesOnlyChangedFields()
    {
        makeAddressBook(m_path, {person(u"Lavoro"_s, u"Rossi"_s, u"Roma"_s)});
        auto b = openNavigator();
        QVERIFY(b->navigator->edit().ok());
        b->field(citta).type(u"Napoli"_s);
        b->field(u"Fax"_s).type(QString()); // typed and emptied again: stored as NULL
        // Meanwhile another program changes a field this window did not touch.
        query(m_path,
              u"UPDATE Nomelia SET \"Cognone e nome o denominazione\" = 'Rossi Mario' WHERE ID = 1"_s);
        QVERIFY(b->navigator->update().ok());
        QCOMPARE(fieldOf(m_path, 1, citta).toString(), u"Napoli"_s);
        QCOMPARE(fieldOf(m_path, 1, nome).toString(), u"Rossi Mario"_s); // kept, not overwritten
        QVERIFY(fieldOf(m_path, 1, u"Fax"_s).isNull());
        QCOMPARE(b->shown(nome), u"Rossi Mario"_s); // the row is shown afresh
        QVERIFY(!b->field(citta).dataChanged());
    }

    void lostUpdateGuard()
    {
        makeAddressBook(m_path, {person(u"Lavoro"_s, u"Rossi"_s, u"Roma"_s), person(u"Altro"_s, u"Verdi"_s)});
        auto a = openNavigator();
        auto b = openNavigator(RecordNavigator::RecordsetType::Dynaset);
        // The other navigator changes the town, differing only in case (NOCASE must not hide it).
        QVERIFY(
            b->navigator
                ->storeRow(0, {{citta, Value::fromEditedText(u"ROMA"_s), Value::fromEditedText(u"Roma"_s)}})
                .ok());

        a->field(citta).type(u"Torino"_s);
        const Status moved = a->navigator->moveNext();
        QVERIFY(!moved);
        QCOMPARE(moved.error().kind, StoreError::Kind::Conflict);
        QCOMPARE(fieldOf(m_path, 1, citta).toString(), u"ROMA"_s); // nothing overwritten
        QCOMPARE(a->shown(citta), u"Torino"_s);                    // the typed value stays
        QCOMPARE(a->shown(u"ID"_s), u"1"_s);                       // and the row was not left

        // The grid's own guard: its fetched value is no longer in the file.
        const Status stale = b->navigator->storeRow(
            0, {{citta, Value::fromEditedText(u"Bari"_s), Value::fromEditedText(u"Roma"_s)}});
        QCOMPARE(stale.error().kind, StoreError::Kind::Conflict);
        QCOMPARE(fieldOf(m_path, 1, citta).toString(), u"ROMA"_s);

        // Giving up the typed value (a No to the question) lets the move go on.
        a->field(citta).setDataChanged(false);
        QVERIFY(a->navigator->moveNext().ok());
        QCOMPARE(a->shown(u"ID"_s), u"2"_s);

        // A delete is guarded alike: a contact changed since it was shown is kept; read afresh, it
        // goes, and the card stands on the one before it (it was the last).
        query(m_path, u"UPDATE Nomelia SET Genere = 'Lavoro' WHERE ID = 2"_s);
        QCOMPARE(a->navigator->deleteCurrent().error().kind, StoreError::Kind::Conflict);
        QCOMPARE(query(m_path, u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 2);
        QVERIFY(a->navigator->movePrevious().ok() && a->navigator->moveNext().ok());
        QVERIFY(a->navigator->deleteCurrent().ok());
        QCOMPARE(query(m_path, u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 1);
        QCOMPARE(a->shown(u"ID"_s), u"1"_s);
    }

    void validateBeforeEachOperation()
    {
        makeAddressBook(m_path, {person(u"Lavoro"_s, u"Uno"_s), person(u"Altro"_s, u"Due"_s),
                                 person(u"Altro"_s, u"Tre"_s)});
        auto b = openNavigator();
        QList<std::pair<RecordNavigator::Action, bool>> raised;
        bool discard = false;
        connect(b->navigator.get(), &RecordNavigator::validate, this,
                [&](RecordNavigator::Action action, bool save) {
                    raised.append({action, save});
                    if (discard)
                        for (const QString& name : contacts::fields())
                            b->field(name).setDataChanged(false);
                });
        using A = RecordNavigator::Action;
        QVERIFY(b->navigator->moveNext().ok());
        QVERIFY(b->navigator->movePrevious().ok());
        QVERIFY(b->navigator->moveLast().ok());
        QVERIFY(b->navigator->moveFirst().ok());
        QVERIFY(b->navigator->setIndex(nome).ok());
        QVERIFY(b->navigator->seek(u">="_s, u"T"_s).ok());
        QVERIFY(b->navigator->refresh().ok());
        QVERIFY(b->navigator->addNew().ok());
        QVERIFY(b->navigator->cancelUpdate().ok());
        QVERIFY(b->navigator->edit().ok());
        b->field(citta).type(u"Bari"_s);
        QVERIFY(b->navigator->update().ok());
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
        b->field(citta).type(u"Genova"_s);
        QVERIFY(b->navigator->moveNext().ok());
        QCOMPARE(fieldOf(m_path, 1, citta).toString(), u"Bari"_s);

        // A change left by a move is written when nobody clears it; so is one left by unload.
        discard = false;
        b->field(citta).type(u"Aosta"_s);
        QVERIFY(b->navigator->moveNext().ok());
        QCOMPARE(fieldOf(m_path, 2, citta).toString(), u"Aosta"_s);
        b->field(nome).type(u"Tre bis"_s);
        QVERIFY(b->navigator->unload().ok());
        QCOMPARE(raised.last(), (std::pair<A, bool>{A::Unload, true}));
        QCOMPARE(fieldOf(m_path, 3, nome).toString(), u"Tre bis"_s);
        QVERIFY(!b->navigator->isOpen());
    }

    void dynasetPagesAndBoundedCache()
    {
        QList<Person> many;
        for (int i = 0; i < 1000; ++i)
            many.append(person(u"Altro"_s, u"n%1"_s.arg(i)));
        makeAddressBook(m_path, many);
        query(m_path, u"DELETE FROM Nomelia WHERE ID = 500"_s);
        auto b = openNavigator(RecordNavigator::RecordsetType::Dynaset);
        Dynaset& rows = *b->navigator->dynaset();
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
        QVERIFY(b->navigator->refresh().ok());
        QVERIFY(b->navigator->dynaset()->waitForList().ok());
        QCOMPARE(b->navigator->dynaset()->size(), 1000);
        // A row deleted after the open comes back empty rather than failing.
        query(m_path, u"DELETE FROM Nomelia WHERE ID = 900"_s);
        QCOMPARE(b->navigator->dynaset()->rowAt(898).value().rowid, 0);
    }
};

QTEST_GUILESS_MAIN(TestStore)
#include "test_store.moc"
