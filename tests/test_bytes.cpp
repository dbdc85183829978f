// Every byte kept: values drawn to break conversions (test_support.h's hostileValue) go through every
// road a contact takes (copy between files and servers, export and import in every format, the card
// and the grid) and come back with their bytes and kind, or are refused naming the contact and the
// field. Values go in as SQL literals and are read back as typeof/hex, so neither end passes
// through the code under test. A failure prints its seed; VINZAL_TEST_SEED replays it.
#include "bound_grid.h"
#include "contact_table.h"
#include "form1.h"
#include "gui_support.h"
#include "italian_order.h"
#include "private_server.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;

namespace {

QString hex(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex().toUpper());
}

// A value as SQL text that SQLite reads back exactly.
QString literal(const Value& value)
{
    switch (value.kind()) {
    case Value::Kind::Null:
        return u"NULL"_s;
    case Value::Kind::Integer:
    case Value::Kind::Real:
        return QString::fromLatin1(value.bytes());
    case Value::Kind::Blob:
        return u"x'"_s + hex(value.bytes()) + u"'"_s;
    case Value::Kind::Text:
        break;
    }
    return u"CAST(x'"_s + hex(value.bytes()) + u"' AS TEXT)"_s;
}

// A field as the checks read it: "kind:HEX". On a server every value is text.
QString cell(const Value& value, bool onServer)
{
    static const char* const kinds[] = {"null", "integer", "real", "text", "blob"};
    if (value.isNull())
        return u"null:"_s;
    return (onServer ? u"text"_s : QString::fromLatin1(kinds[int(value.kind())])) + u':' + hex(value.bytes());
}

// The rows as cells; the ID by its digits alone, whatever kind its engine gives it.
QList<QStringList> expectedCells(const Contacts& rows, bool asText)
{
    QList<QStringList> cells;
    for (const Contact& row : rows) {
        QStringList fields{hex(row[Field::Id].bytes())};
        for (int f = 1; f < fieldCount; ++f)
            fields.append(cell(row.at(f), asText));
        cells.append(fields);
    }
    return cells;
}

// Whether a server can hold the value (a blob or number of UTF-8 bytes is held as text).
bool storable(const Value& value)
{
    return value.isValidUtf8() && !value.hasNul();
}

const QList<QPair<QString, QString>> searches = {{u"Command5"_s, u"Genere"_s},
                                                 {u"Command1"_s, u"Cognone e nome o denominazione"_s},
                                                 {u"Command4"_s, u"ulteriore identificativo"_s},
                                                 {u"Command8"_s, u"Città"_s},
                                                 {u"Command9"_s, u"Indirizzo"_s},
                                                 {u"Command10"_s, u"Telelefono casa"_s},
                                                 {u"Command11"_s, u"Telefonino"_s},
                                                 {u"Command12"_s, u"Telefono Ufficio"_s},
                                                 {u"Command13"_s, u"E-Mail"_s},
                                                 {u"Command14"_s, u"Fax"_s},
                                                 {u"Command15"_s, u"Osservazioni"_s}};

} // namespace

class TestBytes : public QObject
{
    Q_OBJECT

    PrivateServer m_server;
    QTemporaryDir m_dir;
    quint64 m_seed = 0;
    QRandomGenerator m_random;
    int m_databases = 0;

    QString replay() const { return u" (seme %1: VINZAL_TEST_SEED=%1 lo ripete)"_s.arg(m_seed); }
    QString file(const QString& name) const { return m_dir.filePath(name); }
    QString newServerBook()
    {
        const QString name = u"libro%1"_s.arg(++m_databases);
        if (!m_server.createDatabase(name))
            qFatal("%s", qPrintable(m_server.errorString()));
        return m_server.uri(u"vinzal"_s, name);
    }
    static QString databaseOf(const QString& book) { return book.section(u'/', 3).section(u'?', 0, 0); }

    int vinzalDb(const QStringList& arguments, QString* output = nullptr)
    {
        return test::vinzalDb(arguments, m_dir.path(), output);
    }

    // A file book holding `rows` exactly, put in with SQL literals.
    void makeFile(const QString& path, const Contacts& rows)
    {
        QFile::remove(path);
        QCOMPARE(vinzalDb({u"create"_s, path}), 0);
        QStringList columns;
        for (const QString& field : contacts::fields())
            columns.append(quoteIdentifier(field));
        for (const Contact& row : rows) {
            QStringList values;
            for (const Value& value : row.values)
                values.append(literal(value));
            query(path, u"INSERT INTO \"Nomelia\" ("_s + columns.join(u',') + u") VALUES ("_s +
                            values.join(u',') + u")"_s);
        }
    }

    // Every row of a book as cells, in ID order, read with typeof/hex (file) or through psql (server).
    QList<QStringList> cellsOf(const QString& book)
    {
        QStringList parts;
        QList<QStringList> rows;
        const bool server = isServerBook(book);
        for (const QString& field : contacts::fields()) {
            const QString column = quoteIdentifier(field);
            parts.append(server ? u"CASE WHEN %1 IS NULL THEN 'null:' ELSE 'text:' || "
                                  u"upper(encode(convert_to(%1::text, 'UTF8'), 'hex')) END"_s.arg(column)
                                : u"typeof(%1) || ':' || hex(%1)"_s.arg(column));
        }
        const QString sql =
            u"SELECT "_s + parts.join(u" || '|' || "_s) + u" FROM \"Nomelia\" ORDER BY \"ID\""_s;
        const QStringList lines = server ? m_server.query(sql, databaseOf(book)) : [&] {
            QStringList read;
            for (const QVariant& line : query(book, sql))
                read.append(line.toString());
            return read;
        }();
        for (const QString& line : lines) {
            QStringList fields = line.split(u'|');
            fields[0] = fields[0].section(u':', 1);
            rows.append(fields);
        }
        return rows;
    }

    // The first difference between what a book holds and what it should, for a failure's message.
    QString difference(const QList<QStringList>& expected, const QList<QStringList>& actual)
    {
        if (expected.size() != actual.size())
            return u"%1 righe invece di %2"_s.arg(actual.size()).arg(expected.size()) + replay();
        for (qsizetype r = 0; r < expected.size(); ++r)
            for (qsizetype f = 0; f < fieldCount; ++f)
                if (expected[r].value(f) != actual[r].value(f))
                    return u"riga %1, campo «%2»: atteso %3, letto %4"_s.arg(r).arg(
                               contacts::fields().at(f), expected[r].value(f).left(80),
                               actual[r].value(f).left(80)) +
                           replay();
        return QString();
    }

    Contacts hostileRows(int count, bool onlyStorable)
    {
        Contacts rows;
        for (int r = 0; r < count; ++r) {
            Contact& row = rows.emplace_back();
            row[Field::Id] = Value::integer(r + 1);
            for (int f = 1; f < fieldCount; ++f)
                row.at(f) = hostileValue(m_random, onlyStorable);
        }
        // Every hard case at least once, wherever it falls.
        for (const Value& value : hardValues(onlyStorable))
            rows[m_random.bounded(count)].at(1 + m_random.bounded(fieldCount - 1)) = value;
        return rows;
    }

private slots:
    void initTestCase()
    {
        m_random = seededRandom(&m_seed);
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
        ScriptedDialogs::install();
    }

    // Copies between every pair of engines, and every export read back by its own import.
    void everyPathKeepsEveryByte()
    {
        Contacts rows = hostileRows(14, false);
        // One value a server cannot hold, where the copy must name it.
        const int badRow = m_random.bounded(int(rows.size())),
                  badField = 1 + m_random.bounded(fieldCount - 1);
        rows[badRow].at(badField) =
            Value::text(m_random.bounded(2) ? QByteArray("Forl\xEC") : QByteArray("a\0b", 3));
        const QString a = file(u"a.mdb"_s);
        makeFile(a, rows);
        QCOMPARE(difference(expectedCells(rows, false), cellsOf(a)), QString());

        QString output;
        QCOMPARE(vinzalDb({u"copy"_s, a, file(u"b.mdb"_s)}, &output), 0);
        QCOMPARE(difference(expectedCells(rows, false), cellsOf(file(u"b.mdb"_s))), QString());

        // Onto a server: refused whole, naming the first field it cannot hold.
        const QString server = newServerBook();
        QCOMPARE(vinzalDb({u"copy"_s, a, server}, &output), 1);
        QString first;
        for (qsizetype r = 0; r < rows.size() && first.isEmpty(); ++r)
            for (int f = 1; f < fieldCount && first.isEmpty(); ++f)
                if (!storable(rows[r].at(f)))
                    first = u"«"_s + contacts::fields().at(f) + u"» del contatto con ID %1"_s.arg(r + 1);
        QVERIFY2(output.contains(first), qPrintable(output + replay()));
        QCOMPARE(m_server.query(u"SELECT to_regclass('\"Nomelia\"') IS NULL"_s, databaseOf(server)),
                 QStringList{u"t"_s});

        // What a server can hold goes there and back with its bytes; a blob or number becomes text,
        // and the copy says so.
        Contacts fit = rows;
        bool kindChanges = false;
        for (Contact& row : fit)
            for (int f = 1; f < fieldCount; ++f) {
                while (!storable(row.at(f)))
                    row.at(f) = hostileValue(m_random, true);
                kindChanges = kindChanges || (!row.at(f).isNull() && !row.at(f).isText());
            }
        const QString f = file(u"f.mdb"_s);
        makeFile(f, fit);
        QCOMPARE(vinzalDb({u"copy"_s, f, server}, &output), 0);
        QCOMPARE(output.contains(u"non er"_s), kindChanges);
        const QList<QStringList> asText = expectedCells(fit, true);
        QCOMPARE(difference(asText, cellsOf(server)), QString());
        const QString fromServer = file(u"dal-server.mdb"_s), again = newServerBook();
        QCOMPARE(vinzalDb({u"copy"_s, server, fromServer}, &output), 0);
        QCOMPARE(difference(asText, cellsOf(fromServer)), QString());
        QCOMPARE(vinzalDb({u"copy"_s, server, again}, &output), 0);
        QCOMPARE(difference(asText, cellsOf(again)), QString());

        // Every export format, from a file and from a server, read back by its import into either;
        // on standard output ("-") the same bytes, what is said about them on the other channel, and
        // the book exported left as it was.
        const QList<QStringList> formats = {{u"--csv"_s},
                                            {u"--csv"_s, u"--spreadsheet"_s},
                                            {u"--vcard"_s},
                                            {u"--vcard"_s, u"--vcard-version"_s, u"4.0"_s}};
        const QByteArray fileBook = fileBytes(f);
        for (int i = 0; i < formats.size(); ++i) {
            const QString data = file(u"dati%1"_s.arg(i)), source = i % 2 ? server : f;
            const QString target = i / 2 ? newServerBook() : file(u"importata%1.mdb"_s.arg(i));
            QCOMPARE(vinzalDb(QStringList{u"export"_s} + formats[i] + QStringList{data, source}, &output), 0);
            const Run piped =
                test::vinzalDb(QStringList{u"export"_s} + formats[i] + QStringList{u"-"_s, source});
            QCOMPARE(piped.out, QString::fromUtf8(fileBytes(data)));
            QVERIFY2(piped.err.contains(u"Esportati 14 contatti sull'uscita standard"_s),
                     qPrintable(piped.err));
            QVERIFY2(vinzalDb({u"import"_s, formats[i].first(), data, target}, &output) == 0,
                     qPrintable(output));
            QVERIFY2(difference(asText, cellsOf(target)).isEmpty(),
                     qPrintable(formats[i].join(u' ') + u": "_s + difference(asText, cellsOf(target))));
        }
        QCOMPARE(fileBytes(f), fileBook);
    }

    // The card and the grid show, step through in every index's order (runs of equal keys
    // included), and write back only what was edited.
    void cardAndGridKeepEveryByte_data()
    {
        QTest::addColumn<bool>("server");
        QTest::newRow("file") << false;
        QTest::newRow("server") << true;
    }

    void cardAndGridKeepEveryByte()
    {
        QFETCH(bool, server);
        // A few values per field, so that runs of equal keys (and of NULLs) are stepped through.
        QList<Values> pools(fieldCount);
        for (int f = 1; f < fieldCount; ++f) {
            const bool huge = f == int(Field::Osservazioni);
            Values hard = hardValues(server);
            const Value longest =
                *std::max_element(hard.begin(), hard.end(), [](const Value& a, const Value& b) {
                    return a.bytes().size() < b.bytes().size();
                });
            hard.removeAll(longest);
            pools[f].append(Value::text("a" + hostileValue(m_random, true, huge).bytes()));
            pools[f].append(huge ? longest : hard.at(f % hard.size()));
            pools[f].append(hostileValue(m_random, server, huge));
        }
        Contacts rows;
        for (int r = 0; r < 9; ++r) {
            Contact& row = rows.emplace_back();
            row[Field::Id] = Value::integer(r + 1);
            for (int f = 1; f < fieldCount; ++f)
                row.at(f) = pools[f].at(r == 1 ? 0 : m_random.bounded(3));
        }
        rows[0][Field::Genere] = Value::text("Lavoro"); // the row edited on the card: no category rule
        // The row edited in the grid holds what a rewrite of cells nobody changed would alter.
        rows[8][Field::Fax] = Value::text("");
        rows[8][Field::Telefonino] = Value::blob({});
        rows[8][Field::Osservazioni] = Value::blob("Blob \xC3\xA8");
        const QString path = file(server ? u"scheda-server.mdb"_s : u"scheda.mdb"_s);
        makeFile(path, rows);
        QString book = path;
        if (server) {
            book = newServerBook();
            QCOMPARE(vinzalDb({u"copy"_s, path, book}), 0);
        }
        QList<QStringList> expected = expectedCells(rows, server);
        QCOMPARE(difference(expected, cellsOf(book)), QString());

        Card card{Card::Book(book)};
        auto& dialogs = ScriptedDialogs::install();
        for (const auto& [button, field] : searches) {
            const Engine engine = server ? Engine::Postgres : Engine::Sqlite;
            const QString column = quoteIdentifier(field);
            const QString order =
                dialect::ascending(engine, order::keyExpression(column, order::Key::Folded, engine)) +
                u", "_s +
                dialect::ascending(engine, order::keyExpression(column, order::Key::LowerCase, engine)) +
                u", \"ID\""_s;
            const QString sql = u"SELECT \"ID\" FROM \"Nomelia\" ORDER BY "_s + order;
            QStringList ids;
            if (server)
                ids = m_server.query(sql, databaseOf(book));
            else
                for (const QVariant& id : query(path, sql))
                    ids.append(id.toString());
            dialogs.clear();
            // A search that finds a row keeps its index's order (one that finds none reloads the book).
            dialogs.textAnswers = {QString(QChar(1))};
            card.click(button);
            for (const auto& shown : dialogs.shown)
                QVERIFY2(shown.icon != Dialogs::Icon::Critical,
                         qPrintable(field + u": "_s + shown.text + replay()));
            QStringList forward, backward;
            card.barMove(u"MoveFirst"_s);
            for (int i = 0; i < rows.size(); ++i, card.barMove(u"MoveNext"_s))
                forward.append(card.text(u"Text12"_s));
            card.barMove(u"MoveLast"_s);
            for (int i = 0; i < rows.size(); ++i, card.barMove(u"MovePrevious"_s))
                backward.prepend(card.text(u"Text12"_s));
            QVERIFY2(forward == ids && backward == ids,
                     qPrintable(field + u": "_s + forward.join(u',') + u" / "_s + backward.join(u',') +
                                u" invece di "_s + ids.join(u',') + replay()));
        }

        // On the card: the e-mail replaced and a letter typed at the end of the remark; every other
        // byte stays, the untouched bytes of the remark included.
        dialogs.textAnswers = {u"1"_s};
        card.click(u"Command1"_s);
        card.barMove(u"MoveFirst"_s);
        while (card.text(u"Text12"_s) != u"1"_s)
            card.barMove(u"MoveNext"_s);
        card.click(u"Command3"_s);
        card.type(u"Text6"_s, u"nuovo@esempio.it"_s);
        auto* remark = static_cast<QPlainTextEdit*>(card.widget(u"Text8"_s));
        remark->setFocus();
        QTest::keyClick(remark, Qt::Key_End, Qt::ControlModifier);
        typeText(remark, u"!"_s);
        dialogs.yesNoAnswers = {true};
        card.click(u"Command6"_s);
        const Value oldRemark = rows[0][Field::Osservazioni];
        expected[0][int(Field::EMail)] = cell(Value::text("nuovo@esempio.it"), server);
        expected[0][int(Field::Osservazioni)] =
            cell(Value::text(oldRemark.isNull() ? QByteArray("!") : oldRemark.bytes() + "!"), server);
        QCOMPARE(difference(expected, cellsOf(book)), QString());

        // In the grid: a letter typed at the end of a cell of the last row.
        BoundGrid* grid = openTableView(card);
        QVERIFY(grid);
        const int row = int(rows.size()) - 1, column = int(Field::Indirizzo);
        grid->setCurrentIndex(grid->model()->index(row, column));
        auto* editor = qobject_cast<QLineEdit*>(grid->indexWidget(grid->currentIndex()));
        QVERIFY(editor);
        editor->end(false);
        typeText(editor, u"7"_s);
        // Tab through the other cells of the row (each opens an editor that commits as it closes),
        // then leave the row: only the cell typed into is written.
        for (int next = column + 1; next < fieldCount; ++next) {
            QTest::keyClick(vinzal::test::keys(), Qt::Key_Tab);
            QCOMPARE(grid->currentIndex(), grid->model()->index(row, next));
        }
        QTest::keyClick(vinzal::test::keys(), Qt::Key_Up);
        const Value oldAddress = rows[row][Field::Indirizzo];
        expected[row][column] =
            cell(Value::text(oldAddress.isNull() ? QByteArray("7") : oldAddress.bytes() + "7"), server);
        QCOMPARE(difference(expected, cellsOf(book)), QString());
        deleteTableViews();
    }
};

QTEST_MAIN(TestBytes)
#include "test_bytes.moc"
