// vinzal-bench: measures the store, the windows and the usual Qt way on address books of 100,000
// and 1,000,000 contacts, with the sqlite3 C API as the floor (libpq on a server). Each figure is the
// median of repeated trials; memory is the peak resident size of a child process that does one thing.
// With --bulk it times vinzal-db's bulk writes against each engine's own client instead, and what
// each form of the eleven indexes costs a row.
//
//   vinzal-bench [--data DIR] [--rows N,N,...] [--csv FILE] [--bulk] [--server BOOK | --private-server]
#include "book_io.h"
#include "bound_field.h"
#include "bound_grid.h"
#include "connection.h"
#include "contact_table.h"
#include "demo_data.h"
#include "form1.h"
#include "form2.h"
#include "italian_order.h"
#include "private_server.h"
#include "record_navigator.h"
#include "row.h"
#include "schema.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDataWidgetMapper>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QSqlError>
#include <QSqlRecord>
#include <QSqlTableModel>
#include <QTableView>
#include <QTextStream>

#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <optional>

using namespace Qt::StringLiterals;
using namespace vinzal;

namespace {

QTextStream out(stdout);
constexpr double none = std::numeric_limits<double>::quiet_NaN();

double peakKb()
{
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return none;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble();
    return none;
}

// The median of `trials` timings of `work`, in milliseconds.
double median(int trials, const std::function<void()>& work)
{
    std::vector<double> times;
    for (int i = 0; i < trials; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The median time of one step, when `step` is repeated `count` times per trial.
double perStep(int count, const std::function<void()>& step)
{
    return median(5,
                  [&] {
                      for (int i = 0; i < count; ++i)
                          step();
                  }) /
           count;
}

// Per step, the median of five trials of `count` steps of `ours` and of `floor`, taken in turn so that
// a machine busy with other work weighs on both alike.
std::pair<double, double> stepPair(int count, const std::function<void()>& ours,
                                   const std::function<void()>& floor)
{
    std::vector<double> a, b;
    const auto time = [count](const std::function<void()>& step) {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < count; ++i)
            step();
        return double(timer.nsecsElapsed()) / 1e6 / count;
    };
    for (int trial = 0; trial < 5; ++trial) {
        a.push_back(time(ours));
        b.push_back(time(floor));
    }
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return {a[2], b[2]};
}

void check(const Status& status)
{
    if (!status)
        qFatal("%s", qPrintable(status.error().fullText()));
}

struct Figure
{
    QString operation;
    qint64 rows;
    double ours = none, floor = none, qt = none;
    QString unit = u"ms"_s;
};

QList<Figure> figures;

void record(const QString& operation, qint64 rows, double ours, double floor = none, double qt = none,
            const QString& unit = u"ms"_s)
{
    figures.append({operation, rows, ours, floor, qt, unit});
    out << qSetFieldWidth(0) << "  " << operation << ": " << ours << " " << unit << "\n";
    out.flush();
}

// The floor: the same queries through the sqlite3 C API, with nothing in between, and like the
// store each move's reads in one read transaction.
class Floor
{
public:
    struct Snapshot
    {
        Floor& floor;
        explicit Snapshot(Floor& floor) : floor(floor) { floor.run(u"BEGIN"_s); }
        ~Snapshot() { floor.run(u"COMMIT"_s); }
    };
    void run(const QString& sql)
    {
        sqlite3_stmt* stmt = prepare(sql);
        sqlite3_step(stmt);
        sqlite3_reset(stmt);
    }
    explicit Floor(const QString& path)
    {
        sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, SQLITE_OPEN_READWRITE, nullptr);
        QStringList columns;
        for (const QString& field : contacts::fields())
            columns.append(quoteIdentifier(field));
        m_read = prepare(u"SELECT "_s + columns.join(u","_s) + u" FROM Nomelia WHERE rowid = ?"_s);
    }
    ~Floor()
    {
        for (auto& [sql, stmt] : m_statements)
            sqlite3_finalize(stmt); // m_read among them
        sqlite3_close(m_db);
    }
    sqlite3_stmt* prepare(const QString& sql)
    {
        auto found = m_statements.find(sql);
        if (found != m_statements.end())
            return found->second;
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v3(m_db, sql.toUtf8().constData(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
        m_statements[sql] = stmt;
        return stmt;
    }
    // Runs a keyset query bound with `key` and `rowid` (either may be unused) and reads the row found.
    qint64 step(const QString& sql, const QByteArray& key, qint64 rowid)
    {
        const Snapshot read(*this);
        sqlite3_stmt* stmt = prepare(sql);
        int n = 1;
        if (!key.isNull())
            sqlite3_bind_text(stmt, n++, key.constData(), int(key.size()), SQLITE_TRANSIENT);
        if (rowid >= 0)
            sqlite3_bind_int64(stmt, n++, rowid);
        qint64 found = -1;
        if (sqlite3_step(stmt) == SQLITE_ROW)
            found = sqlite3_column_int64(stmt, 0);
        sqlite3_reset(stmt);
        if (found >= 0)
            readRow(found);
        return found;
    }
    // A next step in the order of `keys` (the index's key expressions) from (values, rowid), as the
    // store does it: inside the run of equal keys first, then past the last key, then past the one
    // before. Keys are never NULL in the columns measured.
    void nextIndexed(const QStringList& keys, QList<QByteArray>& values, qint64& rowid)
    {
        const Snapshot read(*this);
        const qsizetype n = keys.size();
        const QString select = u"SELECT rowid, "_s + keys.join(u", "_s) + u" FROM Nomelia WHERE "_s;
        for (qsizetype level = n; level >= 0; --level) {
            QStringList terms;
            for (qsizetype i = 0; i < level; ++i)
                terms.append(keys[i] + u" = ?"_s);
            terms.append(level == n ? u"rowid > ?"_s : keys[level] + u" > ?"_s);
            QStringList order = keys.mid(level == n ? n : level);
            order.append(u"rowid"_s);
            sqlite3_stmt* stmt = prepare(select + terms.join(u" AND "_s) + u" ORDER BY "_s +
                                         order.join(u", "_s) + u" LIMIT 1"_s);
            for (qsizetype i = 0; i < std::min(level + 1, n); ++i)
                sqlite3_bind_text(stmt, int(i + 1), values[i].constData(), int(values[i].size()),
                                  SQLITE_TRANSIENT);
            if (level == n)
                sqlite3_bind_int64(stmt, int(n + 1), rowid);
            const bool found = sqlite3_step(stmt) == SQLITE_ROW;
            if (found) {
                rowid = sqlite3_column_int64(stmt, 0);
                for (qsizetype i = 0; i < n; ++i)
                    values[i] =
                        QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(stmt, int(i + 1))),
                                   sqlite3_column_bytes(stmt, int(i + 1)));
            }
            sqlite3_reset(stmt);
            if (found) {
                readRow(rowid);
                return;
            }
        }
    }

    // The keys of row `rowid` in the order of `keys`.
    QList<QByteArray> keysOf(const QStringList& keys, qint64 rowid)
    {
        sqlite3_stmt* stmt = prepare(u"SELECT "_s + keys.join(u", "_s) + u" FROM Nomelia WHERE rowid = ?"_s);
        sqlite3_bind_int64(stmt, 1, rowid);
        QList<QByteArray> values;
        if (sqlite3_step(stmt) == SQLITE_ROW)
            for (int i = 0; i < int(keys.size()); ++i)
                values.append(QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)),
                                         sqlite3_column_bytes(stmt, i)));
        sqlite3_reset(stmt);
        return values;
    }

    // Seek ">=" as the store does it, with the text's keys computed as the store does: the first
    // row at or after the first key; when it has that key but a second key before the text's, the
    // run of the first key, then past it.
    void seek(const QStringList& keys, const QList<QByteArray>& targets)
    {
        const Snapshot read(*this);
        const QString select = u"SELECT rowid, "_s + keys.join(u", "_s) + u" FROM Nomelia WHERE "_s;
        QList<QByteArray> found{targets};
        qint64 rowid = -1;
        const auto query = [&](const QString& sql, int bound) {
            sqlite3_stmt* stmt = prepare(sql);
            for (int i = 0; i < bound; ++i)
                sqlite3_bind_text(stmt, i + 1, targets[i].constData(), int(targets[i].size()),
                                  SQLITE_TRANSIENT);
            rowid = -1;
            if (sqlite3_step(stmt) == SQLITE_ROW) {
                rowid = sqlite3_column_int64(stmt, 0);
                for (int i = 0; i < int(keys.size()); ++i)
                    found[i] = QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i + 1)),
                                          sqlite3_column_bytes(stmt, i + 1));
            }
            sqlite3_reset(stmt);
        };
        const QString order = u" ORDER BY "_s + keys.join(u", "_s) + u", rowid LIMIT 1"_s;
        query(select + keys[0] + u" >= ?"_s + order, 1);
        if (rowid >= 0 && keys.size() > 1 && found[0] == targets[0] && found[1] < targets[1]) {
            query(select + keys[0] + u" = ? AND "_s + keys[1] + u" >= ? ORDER BY "_s + keys[1] +
                      u", rowid LIMIT 1"_s,
                  2);
            if (rowid < 0)
                query(select + keys[0] + u" > ?"_s + order, 1);
        }
        if (rowid >= 0)
            readRow(rowid);
    }

    void readRow(qint64 rowid)
    {
        sqlite3_bind_int64(m_read, 1, rowid);
        if (sqlite3_step(m_read) == SQLITE_ROW)
            for (int i = 0; i < 12; ++i)
                m_sink += sqlite3_column_bytes(m_read, i) + (sqlite3_column_text(m_read, i) ? 1 : 0);
        sqlite3_reset(m_read);
    }

private:
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_read = nullptr;
    std::map<QString, sqlite3_stmt*> m_statements;
    qint64 m_sink = 0;
};

QString folderFor(const QString& data, qint64 rows)
{
    return data + u"/"_s + QString::number(rows);
}

void ensureFile(const QString& folder, qint64 rows)
{
    QDir().mkpath(folder);
    const QString path = folder + u"/Vinzal.mdb"_s;
    if (QFile::exists(path))
        return;
    out << "making " << path << " with " << rows << " contacts...\n";
    out.flush();
    QElapsedTimer timer;
    timer.start();
    check(schema::create(path, false, [rows](sql::Database& db) { return demo::fill(db, rows); }));
    out << "  made in " << timer.elapsed() / 1000.0 << " s\n";
}

// The key expressions of an index's order as the cursor reads them from the file's schema (the two
// keys of the Italian order, or the column of an older book), and the function giving a searched
// text's keys.
std::pair<QStringList, std::function<QList<QByteArray>(const QString&)>> orderKeys(Connection& connection,
                                                                                   const QString& index)
{
    const order::IndexShape shape = order::inspectIndex(connection.db(), index);
    const QString column = quoteIdentifier(shape.column);
    if (shape.form != order::IndexForm::Italian)
        return {{column}, [](const QString& text) { return QList<QByteArray>{text.toUtf8()}; }};
    using order::Key, order::keyExpression;
    return {{keyExpression(column, Key::Folded), keyExpression(column, Key::LowerCase)},
            [](const QString& text) {
                return QList<QByteArray>{order::key(text, Key::Folded).toUtf8(),
                                         order::key(text, Key::LowerCase).toUtf8()};
            }};
}

// Fifty non-empty values of `field` from rows picked at random: the texts the seeks look for.
QStringList sampleTexts(Connection& connection, const QString& field, qint64 rows, QRandomGenerator& random)
{
    QStringList texts;
    while (texts.size() < 50) {
        auto row = readRow(connection, 1 + qint64(random.bounded(quint32(rows))));
        if (row && !row.value().text(field).isEmpty())
            texts.append(row.value().text(field));
    }
    return texts;
}

// --- The store, against the floor --------------------------------------------------------------

void benchStore(const QString& path, qint64 rows, double qtLast, double qtSeek)
{
    RecordNavigator navigator;
    TextFields fields(navigator);
    navigator.setDatabaseName(path);
    Floor floor(path);

    record(u"open and first row"_s, rows, median(5, [&] { check(navigator.open()); }), median(5, [&] {
               Floor fresh(path);
               fresh.step(u"SELECT rowid FROM Nomelia ORDER BY rowid LIMIT 1"_s, {}, -1);
           }));
    record(
        u"last row"_s, rows, median(21, [&] { check(navigator.moveLast()); }),
        median(21, [&] { floor.step(u"SELECT rowid FROM Nomelia ORDER BY rowid DESC LIMIT 1"_s, {}, -1); }),
        qtLast);

    // Next and previous in table order, from the middle.
    check(navigator.moveFirst());
    const qint64 middle = rows / 2;
    check(navigator.tableCursor()->moveTo(middle));
    qint64 r = middle;
    record(u"next, table order"_s, rows, perStep(2000, [&] { check(navigator.moveNext()); }),
           perStep(2000, [&] {
               r = floor.step(u"SELECT rowid FROM Nomelia WHERE rowid > ? ORDER BY rowid LIMIT 1"_s, {}, r);
           }));
    record(u"previous, table order"_s, rows, perStep(2000, [&] { check(navigator.movePrevious()); }),
           perStep(2000, [&] {
               r = floor.step(u"SELECT rowid FROM Nomelia WHERE rowid < ? ORDER BY rowid DESC LIMIT 1"_s, {},
                              r);
           }));

    // Next and previous in an index's order; "Genere" has runs of hundreds of thousands of equal keys.
    for (const QString& index : {u"Cognone e nome o denominazione"_s, u"Genere"_s}) {
        check(navigator.setIndex(index));
        check(navigator.tableCursor()->moveTo(middle));
        check(navigator.refresh()); // drops the index; set it again at the middle row
        check(navigator.setIndex(index));
        check(navigator.tableCursor()->moveTo(middle));
        const QStringList keys = orderKeys(*navigator.connection(), index).first;
        QList<QByteArray> key = floor.keysOf(keys, middle);
        qint64 at = middle;
        const QString label =
            index == u"Genere"_s ? u"inside a run of equal «Genere»"_s : u"«"_s + index + u"» order"_s;
        record(u"next, "_s + label, rows, perStep(2000, [&] { check(navigator.moveNext()); }),
               perStep(2000, [&] { floor.nextIndexed(keys, key, at); }));
        record(u"previous, "_s + label, rows, perStep(2000, [&] { check(navigator.movePrevious()); }), none);
    }

    // Seek on each index: an existing key, a key between two, a key after the last.
    QRandomGenerator random(7);
    for (const QString& index : contacts::indexNames()) {
        check(navigator.setIndex(index));
        const auto [keys, targets] = orderKeys(*navigator.connection(), index);
        const QStringList texts = sampleTexts(*navigator.connection(), index, rows, random);
        int k = 0;
        record(u"seek found, «"_s + index + u"»"_s, rows,
               perStep(200, [&] { check(navigator.seek(u">="_s, texts[k++ % texts.size()])); }),
               perStep(200, [&] { floor.seek(keys, targets(texts[k++ % texts.size()])); }),
               index == u"Città"_s ? qtSeek : none);
        record(u"seek between, «"_s + index + u"»"_s, rows,
               perStep(200, [&] { check(navigator.seek(u">="_s, texts[k++ % texts.size()] + QChar(1))); }),
               perStep(200, [&] { floor.seek(keys, targets(texts[k++ % texts.size()] + QChar(1))); }));
        record(u"seek after the last key, «"_s + index + u"»"_s, rows,
               perStep(200, [&] { check(navigator.seek(u">="_s, u"\uffff"_s)); }),
               perStep(200, [&] { floor.seek(keys, targets(u"\uffff"_s)); }));
    }

    record(u"Refresh"_s, rows, median(21, [&] { check(navigator.refresh()); }), none);
    int n = 0;
    record(u"AddNew + Update"_s, rows, median(21, [&] {
               check(navigator.addNew());
               fields[u"Cognone e nome o denominazione"_s].type(u"Bench %1"_s.arg(n++));
               check(navigator.update());
           }));
    record(u"Edit + Update"_s, rows, median(21, [&] {
               check(navigator.edit());
               fields[u"Indirizzo"_s].type(u"Via Bench %1"_s.arg(n++));
               check(navigator.update());
           }));
}

// --- The usual Qt way ---------------------------------------------------------------------------

QSqlDatabase plainConnection(const QString& path)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"qt-way"_s);
    db.setDatabaseName(path);
    db.open();
    return db;
}

// QSqlTableModel + QDataWidgetMapper: the card's last row.
double qtCardLast(const QString& path)
{
    double ms;
    {
        QSqlDatabase db = plainConnection(path);
        QWidget card;
        QList<QLineEdit*> boxes;
        ms = median(3, [&] {
            QSqlTableModel model(nullptr, db);
            model.setTable(contacts::tableName());
            model.select();
            QDataWidgetMapper mapper;
            mapper.setModel(&model);
            for (int i = 0; i < 12; ++i) {
                if (boxes.size() <= i)
                    boxes.append(new QLineEdit(&card));
                mapper.addMapping(boxes[i], i);
            }
            while (model.canFetchMore())
                model.fetchMore(); // toLast() needs every row fetched
            mapper.toLast();
        });
    }
    QSqlDatabase::removeDatabase(u"qt-way"_s);
    return ms;
}

// A seek done by scanning the model sorted on the column.
double qtCardSeek(const QString& path, const QString& index, const QString& key)
{
    double ms;
    {
        QSqlDatabase db = plainConnection(path);
        ms = median(3, [&] {
            QSqlTableModel model(nullptr, db);
            model.setTable(contacts::tableName());
            const int column = model.record().indexOf(index);
            model.setSort(column, Qt::AscendingOrder);
            model.select();
            for (int row = 0;; ++row) {
                while (row >= model.rowCount() && model.canFetchMore())
                    model.fetchMore();
                if (row >= model.rowCount())
                    break;
                if (QString::compare(model.index(row, column).data().toString(), key, Qt::CaseInsensitive) >=
                    0)
                    break;
            }
        });
    }
    QSqlDatabase::removeDatabase(u"qt-way"_s);
    return ms;
}

// Presses "Visualizza Tabella" and waits until the table view has its first rows (the rest of the
// id list may still be on its way).
BoundGrid* pressShowTable(Form1& card)
{
    card.findChild<QAbstractButton*>(u"Command17"_s)->click();
    BoundGrid* grid = nullptr;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* table = qobject_cast<Form2*>(window))
            grid = table->findChild<BoundGrid*>(u"DBGrid1"_s);
    while (grid->model()->rowCount() == 0)
        QCoreApplication::processEvents();
    return grid;
}

// Waits until the table view has the whole id list, as a jump past the first rows does.
void waitForAllRows(BoundGrid* grid)
{
    while (grid->model()->canFetchMore({}))
        grid->model()->fetchMore({});
}

// --- Child processes: one scenario each, so that the peak memory is its own ---------------------

int child(const QString& mode, const QString& folder)
{
    QDir::setCurrent(folder);
    QElapsedTimer timer;
    timer.start();
    double ms = none;
    double listMs = none;
    if (mode == u"ours-grid"_s || mode == u"ours-grid-open"_s) {
        Form1 card;
        card.show();
        QCoreApplication::processEvents();
        timer.restart();
        BoundGrid* grid = pressShowTable(card);
        grid->repaint();
        ms = double(timer.nsecsElapsed()) / 1e6;
        if (mode == u"ours-grid-open"_s) {
            // Then until the scroll bar has its whole range: the list handed over by the reader.
            while (grid->model()->canFetchMore({}))
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            listMs = double(timer.nsecsElapsed()) / 1e6;
        }
        if (mode == u"ours-grid"_s) {
            waitForAllRows(grid);
            // End to end, a thousand screens apart, then the last row.
            QScrollBar* bar = grid->verticalScrollBar();
            for (int step = 0; step <= 1000; ++step) {
                bar->setValue(int(qint64(bar->maximum()) * step / 1000));
                grid->viewport()->repaint();
            }
            timer.restart();
            grid->setCurrentIndex(grid->model()->index(grid->model()->rowCount() - 1, 1));
            grid->viewport()->repaint();
            ms = double(timer.nsecsElapsed()) / 1e6;
        }
        grid->window()->close();
    } else if (mode == u"qt-grid"_s || mode == u"qt-grid-open"_s) {
        QSqlDatabase db = plainConnection(folder + u"/Vinzal.mdb"_s);
        QSqlTableModel model(nullptr, db);
        QTableView view;
        view.resize(769, 465);
        model.setTable(contacts::tableName());
        model.select();
        view.setModel(&model);
        view.show();
        view.repaint();
        ms = double(timer.nsecsElapsed()) / 1e6;
        if (mode == u"qt-grid"_s) {
            timer.restart();
            while (model.canFetchMore())
                model.fetchMore(); // what scrolling to the end makes it do
            view.scrollToBottom();
            view.viewport()->repaint();
            ms = double(timer.nsecsElapsed()) / 1e6;
        }
    } else if (mode == u"ours-card"_s) {
        Form1 card;
        card.show();
        while (!card.navigator().hasCurrentRow())
            QCoreApplication::processEvents();
        ms = double(timer.nsecsElapsed()) / 1e6;
    }
    out << "ms " << ms << " peak_kb " << peakKb() << " list_ms " << listMs << "\n";
    return 0;
}

struct ChildRun
{
    double ms = none;
    double peakMb = none;
    double listMs = none; // the table view's open: until the whole id list was taken in
    bool operator<(const ChildRun& other) const { return ms < other.ms; }
};

ChildRun runChild(const QString& mode, const QString& folder)
{
    QProcess process;
    process.start(QCoreApplication::applicationFilePath(), {u"--child"_s, mode, folder});
    process.waitForFinished(-1);
    const QStringList words =
        QString::fromUtf8(process.readAllStandardOutput()).split(u' ', Qt::SkipEmptyParts);
    if (words.size() < 6)
        return {};
    return {words[1].toDouble(), words[3].toDouble() / 1024.0, words[5].trimmed().toDouble()};
}

// The run with the median time, and the median of the list times apart.
ChildRun medianOf(std::vector<ChildRun> runs)
{
    std::vector<double> lists;
    for (const ChildRun& run : runs)
        lists.push_back(run.listMs);
    std::sort(runs.begin(), runs.end());
    std::sort(lists.begin(), lists.end());
    ChildRun median = runs[runs.size() / 2];
    median.listMs = lists[lists.size() / 2];
    return median;
}

// Runs two scenarios in turn, so that a machine busy with other work weighs on both alike.
std::pair<ChildRun, ChildRun> medianChildren(const QString& mode, const QString& other, const QString& folder,
                                             int trials)
{
    std::vector<ChildRun> runs, others;
    for (int i = 0; i < trials; ++i) {
        runs.push_back(runChild(mode, folder));
        others.push_back(runChild(other, folder));
    }
    return {medianOf(runs), medianOf(others)};
}

// The same book after another program deleted a tenth of its rows (every tenth id), made once.
QString gappedFolder(const QString& data, qint64 rows)
{
    const QString folder = data + u"/"_s + QString::number(rows) + u"-gaps"_s;
    const QString path = folder + u"/Vinzal.mdb"_s;
    if (QFile::exists(path))
        return folder;
    QDir().mkpath(folder);
    out << "making " << path << " with a tenth of the rows deleted...\n";
    out.flush();
    QFile::copy(data + u"/"_s + QString::number(rows) + u"/Vinzal.mdb"_s, path + u".part"_s);
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path + u".part"_s).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    const int code = sqlite3_exec(db, "DELETE FROM Nomelia WHERE ID % 10 = 0", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    if (code != SQLITE_OK)
        qFatal("cannot delete the rows of %s", qPrintable(path));
    QFile::rename(path + u".part"_s, path);
    return folder;
}

// --- The windows, offscreen ---------------------------------------------------------------------

void benchWindows(const QString& folder, const QString& gapped, qint64 rows)
{
    const QString previous = QDir::currentPath();
    QDir::setCurrent(folder);
    {
        record(u"Form1: created to first row shown"_s, rows, median(5, [] {
                   Form1 card;
                   card.show();
                   while (!card.navigator().hasCurrentRow())
                       QCoreApplication::processEvents();
               }));
        Form1 card;
        card.show();
        while (!card.navigator().hasCurrentRow())
            QCoreApplication::processEvents();
        auto* next = card.findChild<QWidget*>(u"Data1"_s)->findChild<QAbstractButton*>(u"MoveNext"_s);
        record(u"Form1: bar move, twelve boxes filled"_s, rows, perStep(500, [&] { next->click(); }));
    }
    QDir::setCurrent(previous);

    // The table view's open, on the book as the program leaves it (ids without gaps) and on one in
    // which another program deleted a tenth of the rows; the whole id list arrives afterwards.
    const auto [open, qtOpen] = medianChildren(u"ours-grid-open"_s, u"qt-grid-open"_s, folder, 9);
    record(u"Form2: press to first rows painted"_s, rows, open.ms, none, qtOpen.ms);
    const auto [gapOpen, qtGapOpen] = medianChildren(u"ours-grid-open"_s, u"qt-grid-open"_s, gapped, 9);
    record(u"Form2: press to first rows painted, a tenth of the ids deleted"_s, rows, gapOpen.ms, none,
           qtGapOpen.ms);
    record(u"Form2: press to the whole id list taken in"_s, rows, open.listMs);
    record(u"Form2: press to the whole id list taken in, a tenth of the ids deleted"_s, rows, gapOpen.listMs);

    // Jumps inside one table view.
    QDir::setCurrent(folder);
    {
        Form1 card;
        card.show();
        QCoreApplication::processEvents();
        BoundGrid* grid = pressShowTable(card);
        waitForAllRows(grid);
        const int last = grid->model()->rowCount() - 1;
        int flip = 0;
        record(u"Form2: jump to the last row"_s, rows, median(11, [&] {
                   grid->setCurrentIndex(grid->model()->index((flip++ % 2) ? 0 : last, 1));
                   grid->viewport()->repaint();
               }));
        QRandomGenerator random(11);
        record(u"Form2: random jump"_s, rows, median(51, [&] {
                   grid->setCurrentIndex(grid->model()->index(int(random.bounded(quint32(last + 1))), 2));
                   grid->viewport()->repaint();
               }));
        grid->window()->close();
    }
    QDir::setCurrent(previous);

    const auto scrolled = runChild(u"ours-grid"_s, folder);
    const auto qtScrolled = runChild(u"qt-grid"_s, folder);
    record(u"Form2: scroll to the end"_s, rows, scrolled.ms, none, qtScrolled.ms);
    record(u"peak memory, Form2 scrolled end to end"_s, rows, scrolled.peakMb, none, qtScrolled.peakMb,
           u"MB"_s);
}

// --- On a server ---------------------------------------------------------------------------------

PGconn* connectServer(const QString& book)
{
    PGconn* conn = PQconnectdb(book.toUtf8().constData());
    if (PQstatus(conn) != CONNECTION_OK)
        qFatal("cannot connect to %s: %s", qPrintable(book), PQerrorMessage(conn));
    // No "table does not exist, skipping" on the bench's output.
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    return conn;
}

void execServer(PGconn* conn, const QString& sql)
{
    PGresult* result = PQexec(conn, sql.toUtf8().constData());
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        qFatal("%s: %s", qPrintable(sql), PQerrorMessage(conn));
    PQclear(result);
}

// The server's floor: the cursor's own statements (as the store prepares them) through libpq, each
// prepared once and run with PQexecPrepared, with nothing in between; each move reads the row found
// with the store's own row statement.
class ServerFloor
{
public:
    explicit ServerFloor(const QString& book) : m_conn(connectServer(book))
    {
        m_read = u"SELECT "_s + rowColumns(Engine::Postgres) + u" FROM "_s +
                 quoteIdentifier(contacts::tableName()) + u" WHERE "_s + dialect::rowid(Engine::Postgres) +
                 u" = ?"_s;
    }
    ~ServerFloor() { PQfinish(m_conn); }
    ServerFloor(const ServerFloor&) = delete;
    ServerFloor& operator=(const ServerFloor&) = delete;

    // The first row of `sql` bound with `values` (NULL for an unset one): its columns, or none.
    std::optional<QList<QByteArray>> run(const QString& sql, const QList<QByteArray>& values)
    {
        auto found = m_prepared.find(sql);
        if (found == m_prepared.end()) {
            const QByteArray name = "floor_" + QByteArray::number(m_prepared.size());
            PGresult* prepared =
                PQprepare(m_conn, name.constData(), placeholders(sql).constData(), 0, nullptr);
            if (PQresultStatus(prepared) != PGRES_COMMAND_OK)
                qFatal("%s: %s", qPrintable(sql), PQerrorMessage(m_conn));
            PQclear(prepared);
            found = m_prepared.emplace(sql, name).first;
        }
        std::vector<const char*> parameters;
        for (const QByteArray& value : values)
            parameters.push_back(value.isNull() ? nullptr : value.constData());
        PGresult* result = PQexecPrepared(m_conn, found->second.constData(), int(parameters.size()),
                                          parameters.data(), nullptr, nullptr, 0);
        if (PQresultStatus(result) != PGRES_TUPLES_OK)
            qFatal("%s: %s", qPrintable(sql), PQerrorMessage(m_conn));
        std::optional<QList<QByteArray>> row;
        if (PQntuples(result) > 0) {
            row.emplace();
            for (int i = 0; i < PQnfields(result); ++i)
                row->append(PQgetisnull(result, 0, i)
                                ? QByteArray()
                                : QByteArray(PQgetvalue(result, 0, i), PQgetlength(result, 0, i)));
        }
        PQclear(result);
        return row;
    }
    // Moves with `sql` and reads the row found; gives its columns (rowid, then the keys).
    std::optional<QList<QByteArray>> move(const QString& sql, const QList<QByteArray>& values)
    {
        auto found = run(sql, values);
        if (found)
            readRow(found->first());
        return found;
    }
    void readRow(const QByteArray& rowid) { m_sink += run(m_read, {rowid})->size(); }

private:
    // "?" to "$n", outside quotes, as the store's statements are sent.
    static QByteArray placeholders(const QString& sql)
    {
        QByteArray out;
        char quote = 0;
        int n = 0;
        for (const char c : sql.toUtf8()) {
            if (quote && c == quote)
                quote = 0;
            else if (!quote && (c == '\'' || c == '"'))
                quote = c;
            if (!quote && c == '?')
                out += '$' + QByteArray::number(++n);
            else
                out += c;
        }
        return out;
    }

    PGconn* m_conn;
    QString m_read;
    std::map<QString, QByteArray> m_prepared;
    qint64 m_sink = 0;
};

// The statements of the cursor's current order, by their place in TableCursor::statements().
struct CursorSql
{
    QString first, last;
    QStringList next;
    QString seekFirst, seekRun;
};

CursorSql cursorSql(const TableCursor& cursor, qsizetype keys)
{
    const QStringList all = cursor.statements();
    CursorSql sql{all.value(0), all.value(1), all.mid(3, keys + 1), {}, {}};
    // Then previous (keys + 1 of them), nullNext, nullPrevious, firstKeyed, lastNull, seekFirst, seekRun.
    sql.seekFirst = all.value(3 + 2 * (keys + 1) + 4);
    sql.seekRun = all.value(3 + 2 * (keys + 1) + 5);
    // The places above follow TableCursor::statements(): a change there must not go unnoticed here.
    if (!sql.last.contains(u" DESC"_s) || (keys > 0 && !sql.seekFirst.contains(u" >= ?"_s)))
        qFatal("the cursor's statements are not in the order the bench expects");
    return sql;
}

// A next step as the store takes it: inside the run of equal keys, then past each key in turn.
void serverNext(ServerFloor& floor, const CursorSql& sql, QList<QByteArray>& at)
{
    const qsizetype n = sql.next.size() - 1; // at: rowid, then the n keys
    for (qsizetype level = n; level >= 0; --level) {
        QList<QByteArray> bindings = at.mid(1, level + (level < n ? 1 : 0));
        if (level == n)
            bindings.append(at.first());
        if (auto found = floor.move(sql.next[level], bindings)) {
            at = *found;
            return;
        }
    }
}

// Seek ">=" as the store takes it, with the text's keys computed as the store computes them.
void serverSeek(ServerFloor& floor, const CursorSql& sql, const QString& text)
{
    using order::Key;
    const QByteArray folded = order::key(text, Key::Folded, Engine::Postgres).toUtf8();
    const QByteArray lower = order::key(text, Key::LowerCase, Engine::Postgres).toUtf8();
    const auto found = floor.run(sql.seekFirst, {folded});
    if (found && found->value(1) == folded && found->value(2) < lower) {
        if (!floor.move(sql.seekRun, {folded, lower}))
            floor.move(sql.next[0], {folded});
    } else if (found) {
        floor.readRow(found->first());
    }
}

// The card's steps and seeks and the table view's first rows on a server book holding the rows of
// the demo book at `file` (copied there first, with their IDs).
void benchServer(const QString& server, const QString& file, qint64 rows)
{
    out << "copying " << rows << " contacts to the server...\n";
    out.flush();
    check(book::copy(file, server, true).status());
    const QString label = u"server: "_s;
    RecordNavigator navigator;
    TextFields fields(navigator);
    navigator.setDatabaseName(server);
    ServerFloor floor(server);
    record(label + u"open and first row"_s, rows, median(5, [&] { check(navigator.open()); }));
    CursorSql sql = cursorSql(*navigator.tableCursor(), 0);
    const auto recordPair = [&](const QString& what, const std::pair<double, double>& figures) {
        record(label + what, rows, figures.first, figures.second);
    };
    recordPair(u"last row"_s,
               stepPair(
                   21, [&] { check(navigator.moveLast()); }, [&] { floor.move(sql.last, {}); }));
    const qint64 middle = rows / 2;
    check(navigator.moveFirst());
    check(navigator.tableCursor()->moveTo(middle));
    QList<QByteArray> at{QByteArray::number(middle)};
    recordPair(u"next, table order"_s,
               stepPair(
                   500, [&] { check(navigator.moveNext()); }, [&] { serverNext(floor, sql, at); }));
    record(label + u"previous, table order"_s, rows, perStep(500, [&] { check(navigator.movePrevious()); }));
    for (const QString& index : {u"Cognone e nome o denominazione"_s, u"Genere"_s}) {
        check(navigator.setIndex(index));
        check(navigator.tableCursor()->moveTo(middle));
        sql = cursorSql(*navigator.tableCursor(), 2);
        // The middle row's keys, read with the statement that finds a row by its rowid in this order.
        at = *floor.run(navigator.tableCursor()->statements().value(2), {QByteArray::number(middle)});
        const QString what =
            index == u"Genere"_s ? u"inside a run of equal «Genere»"_s : u"«"_s + index + u"» order"_s;
        recordPair(u"next, "_s + what,
                   stepPair(
                       500, [&] { check(navigator.moveNext()); }, [&] { serverNext(floor, sql, at); }));
        record(label + u"previous, "_s + what, rows, perStep(500, [&] { check(navigator.movePrevious()); }));
    }
    QRandomGenerator random(7);
    for (const QString& index : {u"Cognone e nome o denominazione"_s, u"Città"_s}) {
        check(navigator.setIndex(index));
        sql = cursorSql(*navigator.tableCursor(), 2);
        const QStringList texts = sampleTexts(*navigator.connection(), index, rows, random);
        int k = 0, j = 0;
        recordPair(u"seek found, «"_s + index + u"»"_s,
                   stepPair(
                       200, [&] { check(navigator.seek(u">="_s, texts[k++ % texts.size()])); },
                       [&] { serverSeek(floor, sql, texts[j++ % texts.size()]); }));
        recordPair(u"seek between, «"_s + index + u"»"_s,
                   stepPair(
                       200, [&] { check(navigator.seek(u">="_s, texts[k++ % texts.size()] + QChar(1))); },
                       [&] { serverSeek(floor, sql, texts[j++ % texts.size()] + QChar(1)); }));
    }
    // Press to first rows painted, as the child process measures it on a file.
    std::vector<double> presses;
    for (int trial = 0; trial < 7; ++trial) {
        Form1 card(nullptr, server);
        card.show();
        while (!card.navigator().hasCurrentRow())
            QCoreApplication::processEvents();
        QElapsedTimer timer;
        timer.start();
        BoundGrid* grid = pressShowTable(card);
        grid->repaint();
        presses.push_back(double(timer.nsecsElapsed()) / 1e6);
        grid->window()->close();
        QCoreApplication::processEvents();
    }
    std::sort(presses.begin(), presses.end());
    record(label + u"Form2: press to first rows painted"_s, rows, presses[presses.size() / 2]);
}

// --- Bulk writes, against each engine's own client -------------------------------------------------

// A demo book's schema and rows as stored, read through the sqlite3 C API.
struct Source
{
    QString table;                 // its CREATE TABLE
    QList<QList<QByteArray>> rows; // ID then the eleven fields, as text; a null QByteArray for NULL
};

Source readSource(const QString& path)
{
    Source source;
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'Nomelia'", -1,
                       &stmt, nullptr);
    if (sqlite3_step(stmt) == SQLITE_ROW)
        source.table = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    sqlite3_finalize(stmt);
    QStringList columns;
    for (const QString& field : contacts::fields())
        columns.append(quoteIdentifier(field));
    sqlite3_prepare_v2(db,
                       ("SELECT " + columns.join(u", "_s).toUtf8() + " FROM Nomelia ORDER BY ID").constData(),
                       -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        QList<QByteArray> row;
        for (int i = 0; i < 12; ++i)
            row.append(sqlite3_column_type(stmt, i) == SQLITE_NULL
                           ? QByteArray()
                           : QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)),
                                        sqlite3_column_bytes(stmt, i)));
        source.rows.append(row);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    if (source.table.isEmpty() || source.rows.isEmpty())
        qFatal("cannot read the contacts of %s", qPrintable(path));
    return source;
}

void execFile(sqlite3* db, const QString& sql)
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &message) != SQLITE_OK)
        qFatal("%s: %s", qPrintable(sql.left(200)), message);
}

void removeBook(const QString& path)
{
    QFile::remove(path);
    QFile::remove(path + u"-journal"_s);
}

// The sqlite3 floor of a bulk write: a new file with the book's table, the rows inserted with one
// prepared statement in one transaction, and `indexes` made before the rows (each row then pays for
// them) or after them (as a new book is built); in milliseconds.
double sqliteFloor(const QString& path, const Source& source, const QStringList& indexes, bool indexesFirst)
{
    removeBook(path);
    QElapsedTimer timer;
    timer.start();
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                    nullptr);
    execFile(db, u"BEGIN"_s);
    execFile(db, source.table);
    if (indexesFirst)
        for (const QString& index : indexes)
            execFile(db, index);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO Nomelia VALUES (?,?,?,?,?,?,?,?,?,?,?,?)", -1, &insert, nullptr);
    for (const QList<QByteArray>& row : source.rows) {
        sqlite3_bind_int64(insert, 1, row[0].toLongLong());
        for (int i = 1; i < 12; ++i)
            if (row[i].isNull())
                sqlite3_bind_null(insert, i + 1);
            else
                sqlite3_bind_text(insert, i + 1, row[i].constData(), int(row[i].size()), SQLITE_STATIC);
        if (sqlite3_step(insert) != SQLITE_DONE)
            qFatal("insert: %s", sqlite3_errmsg(db));
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    if (!indexesFirst)
        for (const QString& index : indexes)
            execFile(db, index);
    execFile(db, u"COMMIT"_s);
    sqlite3_close(db);
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    removeBook(path);
    return ms;
}

// The table of a server book, as vinzal-db makes it.
QString serverTable()
{
    QStringList columns{u"\"ID\" bigint GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"_s};
    for (const QString& field : contacts::fields().mid(1))
        columns.append(quoteIdentifier(field) + u" text"_s);
    return u"CREATE TABLE "_s + quoteIdentifier(contacts::tableName()) + u" ("_s + columns.join(u", "_s) +
           u")"_s;
}

void dropServerTable(const QString& server)
{
    PGconn* conn = connectServer(server);
    execServer(conn, u"DROP TABLE IF EXISTS "_s + quoteIdentifier(contacts::tableName()));
    PQfinish(conn);
}

// The server's floor of a bulk write: a new table, the rows sent with COPY FROM STDIN through libpq,
// then the Italian indexes and ANALYZE, in one transaction, as vinzal-db builds a new server book.
double copyFloor(const QString& server, const Source& source)
{
    dropServerTable(server);
    QElapsedTimer timer;
    timer.start();
    PGconn* conn = connectServer(server);
    execServer(conn, u"BEGIN"_s);
    execServer(conn, serverTable());
    QStringList columns;
    for (const QString& field : contacts::fields())
        columns.append(quoteIdentifier(field));
    PGresult* started =
        PQexec(conn, ("COPY \"Nomelia\" (" + columns.join(u", "_s).toUtf8() + ") FROM STDIN").constData());
    if (PQresultStatus(started) != PGRES_COPY_IN)
        qFatal("COPY: %s", PQerrorMessage(conn));
    PQclear(started);
    QByteArray chunk;
    for (const QList<QByteArray>& row : source.rows) {
        for (int i = 0; i < 12; ++i) {
            if (i > 0)
                chunk += '\t';
            if (row[i].isNull()) {
                chunk += "\\N";
                continue;
            }
            for (const char c : row[i]) {
                switch (c) {
                case '\\':
                    chunk += "\\\\";
                    break;
                case '\t':
                    chunk += "\\t";
                    break;
                case '\n':
                    chunk += "\\n";
                    break;
                case '\r':
                    chunk += "\\r";
                    break;
                default:
                    chunk += c;
                }
            }
        }
        chunk += '\n';
        if (chunk.size() > 1 << 16) {
            PQputCopyData(conn, chunk.constData(), int(chunk.size()));
            chunk.clear();
        }
    }
    PQputCopyData(conn, chunk.constData(), int(chunk.size()));
    PQputCopyEnd(conn, nullptr);
    PGresult* copied = PQgetResult(conn);
    if (PQresultStatus(copied) != PGRES_COMMAND_OK)
        qFatal("COPY: %s", PQerrorMessage(conn));
    PQclear(copied);
    for (const QString& index : contacts::indexNames())
        execServer(conn, order::indexStatement(index, Engine::Postgres));
    execServer(conn, u"ANALYZE "_s + quoteIdentifier(contacts::tableName()));
    execServer(conn, u"COMMIT"_s);
    PQfinish(conn);
    return double(timer.nsecsElapsed()) / 1e6;
}

// Runs vinzal-db; the time from start to exit, in milliseconds.
double vinzalDb(const QStringList& arguments)
{
    QElapsedTimer timer;
    timer.start();
    QProcess process;
    process.start(QString::fromUtf8(VINZAL_DB), arguments);
    process.waitForFinished(-1);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        qFatal("vinzal-db %s: %s", qPrintable(arguments.join(u' ')),
               process.readAllStandardError().constData());
    return double(timer.nsecsElapsed()) / 1e6;
}

// The median of `trials` runs of `ours` and of `floor`, taken in turn so that a busy machine weighs
// on both alike.
std::pair<double, double> medianPair(int trials, const std::function<double()>& ours,
                                     const std::function<double()>& floor)
{
    std::vector<double> a, b;
    for (int i = 0; i < trials; ++i) {
        a.push_back(ours());
        b.push_back(floor());
    }
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return {a[a.size() / 2], b[b.size() / 2]};
}

// What the indexes cost each row: the demo rows inserted in one transaction into a table that
// already has them, for each form of the eleven indexes.
void benchIndexCost(const QString& folder, const Source& source, qint64 rows, int trials)
{
    const QString path = folder + u"/index-floor.mdb"_s;
    const QString table = quoteIdentifier(contacts::tableName());
    QStringList nocase, italian, lowerGuarded, lowerOnly;
    for (const QString& index : contacts::indexNames()) {
        const QString column = quoteIdentifier(index);
        const QString head = u"CREATE INDEX "_s + column + u" ON "_s + table + u" ("_s;
        nocase.append(head + column + u")"_s);
        italian.append(order::indexStatement(index));
        // The lower-case key computed by its chain only for text that has something besides
        // printable ASCII to fold (as many characters as bytes, no NUL): the same keys. The folded
        // key cannot be wrapped so: its 28 replace() calls are all SQLite 3.40's parser takes.
        using order::Key, order::keyExpression;
        lowerGuarded.append(head + keyExpression(column, Key::Folded) + u", CASE WHEN length(CAST("_s +
                            column + u" AS TEXT)) = length(CAST("_s + column + u" AS BLOB)) THEN lower("_s +
                            column + u") ELSE "_s + keyExpression(column, Key::LowerCase) + u" END)"_s);
        // The least two keys can cost: lower() alone, twice.
        lowerOnly.append(head + u"lower("_s + column + u"), lower("_s + column + u") || '')"_s);
    }
    const std::pair<QString, QStringList> forms[] = {
        {u"no index"_s, {}},
        {u"NOCASE indexes (before the Italian order)"_s, nocase},
        {u"Italian indexes"_s, italian},
        {u"Italian indexes, lower-case key skipping its chain on plain ASCII (not adopted)"_s, lowerGuarded},
        {u"two lower() keys per index (what skipping both chains could reach at best)"_s, lowerOnly},
    };
    // Each trial inserts under every form in turn, so that a machine busy with other work weighs on
    // all alike; beside each form after NOCASE, in the floor column, the NOCASE figure: the ratio
    // then reads "times the NOCASE indexes".
    std::vector<std::vector<double>> times(std::size(forms));
    for (int trial = 0; trial < trials; ++trial)
        for (size_t f = 0; f < std::size(forms); ++f)
            times[f].push_back(sqliteFloor(path, source, forms[f].second, true));
    double nocaseMs = none;
    for (size_t f = 0; f < std::size(forms); ++f) {
        std::sort(times[f].begin(), times[f].end());
        const double ms = times[f][times[f].size() / 2];
        record(u"index cost: "_s + forms[f].first + u" (sqlite3, one transaction)"_s, rows, ms,
               f < 2 ? none : nocaseMs);
        if (f == 1)
            nocaseMs = ms;
    }
}

void benchBulk(const QString& folder, qint64 rows, const QString& server, int trials)
{
    const QString book = folder + u"/Vinzal.mdb"_s;
    const QString csv = folder + u"/contacts.csv"_s;
    if (!QFile::exists(csv))
        vinzalDb({u"export"_s, u"--csv"_s, csv, book});
    const Source source = readSource(book);
    QStringList italian;
    for (const QString& index : contacts::indexNames())
        italian.append(order::indexStatement(index));
    const QString target = folder + u"/bulk-target.mdb"_s;
    const QString floorPath = folder + u"/bulk-floor.mdb"_s;
    const auto floor = [&] { return sqliteFloor(floorPath, source, italian, false); };

    out << "\nbulk writes, " << rows << " contacts\n";
    out.flush();
    const auto [imported, importFloor] = medianPair(
        trials,
        [&] {
            removeBook(target);
            const double ms = vinzalDb({u"import"_s, u"--csv"_s, csv, target});
            removeBook(target);
            return ms;
        },
        floor);
    record(u"vinzal-db import --csv into a new book (floor: sqlite3, one transaction)"_s, rows, imported,
           importFloor);
    const auto [copied, copyFileFloor] = medianPair(
        trials,
        [&] {
            removeBook(target);
            const double ms = vinzalDb({u"copy"_s, book, target});
            removeBook(target);
            return ms;
        },
        floor);
    record(u"vinzal-db copy file to file (floor: sqlite3, one transaction)"_s, rows, copied, copyFileFloor);
    if (!server.isEmpty()) {
        const auto [toServer, serverFloor] = medianPair(
            trials,
            [&] {
                dropServerTable(server);
                return vinzalDb({u"copy"_s, book, server});
            },
            [&] { return copyFloor(server, source); });
        record(u"vinzal-db copy file to server (floor: COPY through libpq)"_s, rows, toServer, serverFloor);
        // Into a book made empty beforehand (its table and indexes there), as an office does first.
        const auto [intoEmpty, emptyFloor] = medianPair(
            trials,
            [&] {
                dropServerTable(server);
                vinzalDb({u"create"_s, server});
                return vinzalDb({u"import"_s, u"--csv"_s, csv, server});
            },
            [&] { return copyFloor(server, source); });
        record(u"vinzal-db import --csv into an empty server book (floor: COPY through libpq)"_s, rows,
               intoEmpty, emptyFloor);
        dropServerTable(server);
    }
    benchIndexCost(folder, source, rows, trials);
}

QString number(double value)
{
    if (std::isnan(value))
        return u"–"_s;
    return value >= 100 ? QString::number(value, 'f', 0)
           : value >= 1 ? QString::number(value, 'f', 2)
                        : QString::number(value, 'g', 3);
}

QString ratio(double a, double b)
{
    if (std::isnan(a) || std::isnan(b) || b <= 0)
        return u"–"_s;
    const double r = a / b;
    return (r >= 10 ? QString::number(r, 'f', 0) : QString::number(r, 'f', 1)) + u"×"_s;
}

} // namespace

int benchDuplicates(const QStringList& args);
int transferChild(const QString& mode, const QString& book, const QString& other);
int benchSync(const QList<qint64>& sizes);
int benchMemory(const QString& data, const QList<qint64>& sizes);
int benchTransfer(const QString& data, const QList<qint64>& sizes,
                  const std::function<void(const QString&, qint64)>& ensure);

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.contains(u"--help"_s) || args.contains(u"-h"_s)) {
        out << "Usage: vinzal-bench [--data FOLDER] [--rows N[,N...]] [--csv FILE] [--bulk]\n"
               "                    [--server BOOK | --private-server] [--trials N]\n\n"
               "Times the store and both windows on demo address books of N contacts (100000 and\n"
               "1000000 unless --rows says otherwise), beside the sqlite3 C API and the usual Qt way,\n"
               "and prints the table of docs/performance.md.\n\n"
               "  --data FOLDER  where the demo books are made on the first run and kept\n"
               "                 (default: bench-data in the current directory)\n"
               "  --rows N,...   the sizes to measure\n"
               "  --server BOOK  measure a PostgreSQL book instead (its table is replaced by the demo\n"
               "                 rows), e.g. postgresql:///bench?host=/run/postgresql, beside a libpq\n"
               "                 floor\n"
               "  --private-server  the same on a PostgreSQL server of the bench's own, started in a\n"
               "                 temporary folder and removed at the end\n"
               "  --bulk         measure the bulk writes instead: vinzal-db import --csv, copy file to\n"
               "                 file (and to the server, with --server or --private-server) against\n"
               "                 the engine's own client, and what each form of index costs a row\n"
               "  --trials N     runs of each bulk write (default 3; the median is kept)\n"
               "  --transfer     measure the windows' import, export and print instead: the import\n"
               "                 against vinzal-db's, peak memory against reading the whole book\n"
               "                 first, the print preview's first page against drawing every page\n"
               "  --sync         measure vinzal-db sync against a Radicale of its own instead (first\n"
               "                 sync, nothing changed, 1% changed), beside vdirsyncer when installed\n"
               "  --memory       measure the peak memory of vinzal-db's bulk paths instead (copy,\n"
               "                 import, export, duplicates) at each size, side by side\n"
               "  --csv FILE     where the figures are written (default: bench-results.csv;\n"
               "                 the figures of docs/performance.md are in bench/results.csv)\n"
               "  -h, --help     this text\n";
        return 0;
    }
    if (args.value(0) == u"--child"_s)
        return child(args.value(1), args.value(2));
    if (args.value(0) == u"--duplicates"_s)
        return benchDuplicates(args.mid(1));
    if (args.value(0) == u"--transfer-child"_s)
        return transferChild(args.value(1), args.value(2), args.value(3));
    const bool transfer = args.removeAll(u"--transfer"_s) > 0;
    const bool memory = args.removeAll(u"--memory"_s) > 0;
    const bool synchronise = args.removeAll(u"--sync"_s) > 0;

    QString data = QDir::currentPath() + u"/bench-data"_s;
    QString csv = u"bench-results.csv"_s;
    QList<qint64> sizes{100000, 1000000};
    QString server;
    const bool bulk = args.removeAll(u"--bulk"_s) > 0;
    const bool privateServer = args.removeAll(u"--private-server"_s) > 0;
    int trials = 3;
    for (qsizetype i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--trials"_s)
            trials = std::max(1, args[i + 1].toInt());
        else if (args[i] == u"--server"_s)
            server = args[i + 1];
        else if (args[i] == u"--data"_s)
            data = args[i + 1];
        else if (args[i] == u"--csv"_s)
            csv = args[i + 1];
        else if (args[i] == u"--rows"_s) {
            sizes.clear();
            for (const QString& n : args[i + 1].split(u','))
                sizes.append(n.toLongLong());
        }
    }

    if (transfer)
        return benchTransfer(data, sizes, ensureFile);
    if (memory)
        return benchMemory(data, sizes);
    if (synchronise)
        return benchSync(sizes);

    std::unique_ptr<test::PrivateServer> own;
    if (privateServer) {
        own = std::make_unique<test::PrivateServer>();
        if (!own->start())
            qFatal("cannot start a PostgreSQL server: %s", qPrintable(own->errorString()));
        server = own->uri();
    }

    for (qint64 rows : sizes) {
        const QString folder = folderFor(data, rows);
        ensureFile(folder, rows);
        if (bulk) {
            benchBulk(folder, rows, server, trials);
            continue;
        }
        // Work on a copy, so that the writes measured do not accumulate in the shared file.
        const QString work = folder + u"/work"_s;
        QDir(work).removeRecursively();
        QDir().mkpath(work);
        QFile::copy(folder + u"/Vinzal.mdb"_s, work + u"/Vinzal.mdb"_s);
        out << "\n" << rows << " contacts\n";
        if (!server.isEmpty()) {
            benchServer(server, work + u"/Vinzal.mdb"_s, rows);
            QDir(work).removeRecursively();
            continue;
        }
        // The usual Qt way: QSqlTableModel + QDataWidgetMapper for the last row, and a seek done by
        // scanning the model sorted on the column.
        const double qtLast = qtCardLast(work + u"/Vinzal.mdb"_s);
        const double qtSeek = qtCardSeek(work + u"/Vinzal.mdb"_s, u"Città"_s, u"Milano"_s);
        benchStore(work + u"/Vinzal.mdb"_s, rows, qtLast, qtSeek);
        benchWindows(work, gappedFolder(data, rows), rows);
        QDir(work).removeRecursively();
    }

    QFile file(csv);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    QTextStream table(&file);
    table << "operation,rows,unit,ours,floor,qt_way,ours_over_floor,qt_way_over_ours\n";
    out << "\n| operation | rows | ours | floor | usual Qt way | ours / floor | Qt way / ours |\n"
        << "|---|---:|---:|---:|---:|---:|---:|\n";
    for (const Figure& f : figures) {
        table << '"' << f.operation << "\"," << f.rows << ',' << f.unit << ',' << f.ours << ',' << f.floor
              << ',' << f.qt << ',' << (f.ours / f.floor) << ',' << (f.qt / f.ours) << '\n';
        out << "| " << f.operation << " (" << f.unit << ") | " << f.rows << " | " << number(f.ours) << " | "
            << number(f.floor) << " | " << number(f.qt) << " | " << ratio(f.ours, f.floor) << " | "
            << ratio(f.qt, f.ours) << " |\n";
    }
    out << "\nFigures written to " << csv << "\n";
    return 0;
}

// --- Duplicates: the search against the naive self-join in SQL, each in a process of its own ------
//
// vinzal-bench --duplicates [--data FOLDER] [--rows N,...] [--naive K]: books of N contacts with 1%
// planted duplicates (demo --duplicates 1%, made on the first run in FOLDER/duplicates-N). The
// naive self-join compares every pair of rows on the same rules in SQL; it is quadratic, so it is
// timed on the first K rows only (2000 by default) and scaled by (N / K)^2.

#include "duplicates.h"

namespace {

// The rules of store/duplicates.h in plain SQL, each row's keys computed once (in two steps: SQLite
// parses only so many nested calls): a name folded as the indexes fold it, without blanks and
// common punctuation; a phone's digits, "+" read as "00" and "0039" dropped; an e-mail lower-cased
// and trimmed. Then every pair of rows is compared.
QString naiveSql(qint64 first)
{
    const QStringList phones{u"Telelefono casa"_s, u"Telefono Ufficio"_s, u"Fax"_s, u"Telefonino"_s};
    QString name = u"n"_s;
    for (const char16_t* gone : {u" ", u"'", u",", u".", u"-", u"&"})
        name =
            u"replace("_s + name + u", '"_s + QString::fromUtf16(gone).replace(u"'"_s, u"''"_s) + u"', '')"_s;
    QStringList folded{u"rowid AS id"_s,
                       order::keyExpression(u"\"Cognone e nome o denominazione\""_s, order::Key::Folded) +
                           u" AS n"_s,
                       u"\"E-Mail\" AS m"_s};
    QStringList keys{u"id"_s, name + u" AS n"_s, u"CASE WHEN m LIKE '%_@_%' THEN lower(trim(m)) END AS m"_s};
    QStringList same{u"(a.n <> '' AND a.n = b.n)"_s, u"a.m = b.m"_s};
    for (int i = 0; i < phones.size(); ++i) {
        folded.append(u"\""_s + phones[i] + u"\" AS p%1"_s.arg(i));
        QString digits = u"p%1"_s.arg(i);
        for (const char16_t* gone : {u" ", u"/", u"-", u".", u"(", u")"})
            digits = u"replace("_s + digits + u", '"_s + QString::fromUtf16(gone) + u"', '')"_s;
        digits = u"replace("_s + digits + u", '+', '00')"_s;
        keys.append(
            u"(SELECT CASE WHEN length(d) < 6 THEN NULL WHEN substr(d, 1, 4) = '0039' THEN substr(d, 5) "
            u"ELSE d END FROM (SELECT "_s +
            digits + u" AS d)) AS p%1"_s.arg(i));
        for (int j = 0; j < phones.size(); ++j)
            same.append(u"a.p%1 = b.p%2"_s.arg(i).arg(j));
    }
    return u"WITH f AS MATERIALIZED (SELECT "_s + folded.join(u", "_s) +
           u" FROM \"Nomelia\" WHERE rowid <= %1), k AS MATERIALIZED (SELECT "_s.arg(first) +
           keys.join(u", "_s) + u" FROM f) SELECT count(*) FROM k AS a JOIN k AS b ON b.id > a.id WHERE "_s +
           same.join(u" OR "_s);
}

int duplicatesChild(const QString& mode, const QString& path, qint64 first)
{
    QElapsedTimer timer;
    timer.start();
    double firstGroupMs = none;
    qint64 found = 0;
    if (mode == u"ours"_s) {
        auto connection = Connection::open(path);
        if (!connection)
            qFatal("%s", qPrintable(connection.error().fullText()));
        duplicates::Progress progress;
        progress.group = [&](const duplicates::Group&) {
            if (found++ == 0)
                firstGroupMs = double(timer.nsecsElapsed()) / 1e6;
            return true;
        };
        check(duplicates::find(*connection.value(), progress));
    } else {
        auto db = sql::Database::openFile(path, sql::Database::FileMode::ReadOnly, u"bench"_s);
        if (!db)
            qFatal("%s", qPrintable(db.error().fullText()));
        sql::Statement pairs(*db.value(), naiveSql(first), u"bench"_s);
        auto row = pairs.next();
        if (!row)
            qFatal("%s", qPrintable(row.error().fullText()));
        found = pairs.integer(0);
    }
    out << "ms " << double(timer.nsecsElapsed()) / 1e6 << " peak_kb " << peakKb() << " found " << found
        << " first_ms " << firstGroupMs << "\n";
    return 0;
}

} // namespace

int benchDuplicates(const QStringList& args)
{
    if (args.value(0) == u"--child"_s)
        return duplicatesChild(args.value(1), args.value(2), args.value(3).toLongLong());
    QString data = QDir::currentPath() + u"/bench-data"_s;
    QList<qint64> sizes{1000000};
    qint64 naiveRows = 2000;
    for (qsizetype i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--data"_s)
            data = args[i + 1];
        else if (args[i] == u"--naive"_s)
            naiveRows = args[i + 1].toLongLong();
        else if (args[i] == u"--rows"_s) {
            sizes.clear();
            for (const QString& n : args[i + 1].split(u','))
                sizes.append(n.toLongLong());
        }
    }
    out << "| contacts | ours: all groups (ms) | ours: first group (ms) | ours: peak memory (MB) | groups | "
           "naive self-join, first K rows (ms) | K | naive, scaled to all (s) | naive: peak memory (MB) |\n"
        << "|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (qint64 rows : sizes) {
        const QString folder = data + u"/duplicates-"_s + QString::number(rows);
        const QString path = folder + u"/Vinzal.mdb"_s;
        if (!QFile::exists(path)) {
            QDir().mkpath(folder);
            check(schema::create(path, false,
                                 [rows](sql::Database& db) { return demo::fill(db, rows, 2008, 1.0); }));
        }
        const auto runs = [&](const QString& mode, qint64 first) {
            std::vector<QStringList> results;
            for (int trial = 0; trial < 3; ++trial) {
                QProcess process;
                process.start(QCoreApplication::applicationFilePath(),
                              {u"--duplicates"_s, u"--child"_s, mode, path, QString::number(first)});
                process.waitForFinished(-1);
                results.push_back(
                    QString::fromUtf8(process.readAllStandardOutput()).split(u' ', Qt::SkipEmptyParts));
            }
            std::sort(results.begin(), results.end(), [](const QStringList& a, const QStringList& b) {
                return a.value(1).toDouble() < b.value(1).toDouble();
            });
            return results[1]; // the median run
        };
        const QStringList ours = runs(u"ours"_s, rows);
        const QStringList naive = runs(u"naive"_s, std::min(rows, naiveRows));
        const double k = double(std::min(rows, naiveRows));
        const double scaled = naive.value(1).toDouble() * (double(rows) / k) * (double(rows) / k) / 1000.0;
        out << "| " << rows << " | " << ours.value(1) << " | " << ours.value(7).trimmed() << " | "
            << ours.value(3).toDouble() / 1024.0 << " | " << ours.value(5) << " | " << naive.value(1) << " | "
            << k << " | " << scaled << " | " << naive.value(3).toDouble() / 1024.0 << " |\n";
        out.flush();
    }
    return 0;
}
