// vinzal-bench: measures the store, the windows and the usual Qt way on address books of 100,000
// and 1,000,000 contacts, with the sqlite3 C API as the floor. Each figure is the median of repeated
// trials; memory is the peak resident size of a child process that does one thing.
//
//   vinzal-bench [--data DIR] [--rows N,N,...] [--csv FILE]
#include "book_io.h"
#include "bound_field.h"
#include "bound_grid.h"
#include "connection.h"
#include "contact_table.h"
#include "demo_data.h"
#include "form1.h"
#include "form2.h"
#include "italian_order.h"
#include "record_navigator.h"
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

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>

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

// The card's steps and seeks and the table view's first rows on a server book holding the rows of
// the demo book at `file` (copied there first, with their IDs).
void benchServer(const QString& server, const QString& file, qint64 rows)
{
    out << "copying " << rows << " contacts to the server...\n";
    out.flush();
    {
        auto records = book::readAll(file);
        check(records.status());
        check(book::copy(records.value(), server, true));
    }
    const QString label = u"server: "_s;
    RecordNavigator navigator;
    TextFields fields(navigator);
    navigator.setDatabaseName(server);
    record(label + u"open and first row"_s, rows, median(5, [&] { check(navigator.open()); }));
    record(label + u"last row"_s, rows, median(21, [&] { check(navigator.moveLast()); }));
    const qint64 middle = rows / 2;
    check(navigator.moveFirst());
    check(navigator.tableCursor()->moveTo(middle));
    record(label + u"next, table order"_s, rows, perStep(500, [&] { check(navigator.moveNext()); }));
    record(label + u"previous, table order"_s, rows, perStep(500, [&] { check(navigator.movePrevious()); }));
    for (const QString& index : {u"Cognone e nome o denominazione"_s, u"Genere"_s}) {
        check(navigator.setIndex(index));
        check(navigator.tableCursor()->moveTo(middle));
        const QString what =
            index == u"Genere"_s ? u"inside a run of equal «Genere»"_s : u"«"_s + index + u"» order"_s;
        record(label + u"next, "_s + what, rows, perStep(500, [&] { check(navigator.moveNext()); }));
        record(label + u"previous, "_s + what, rows, perStep(500, [&] { check(navigator.movePrevious()); }));
    }
    QRandomGenerator random(7);
    for (const QString& index : {u"Cognone e nome o denominazione"_s, u"Città"_s}) {
        check(navigator.setIndex(index));
        const QStringList texts = sampleTexts(*navigator.connection(), index, rows, random);
        int k = 0;
        record(label + u"seek found, «"_s + index + u"»"_s, rows,
               perStep(200, [&] { check(navigator.seek(u">="_s, texts[k++ % texts.size()])); }));
        record(label + u"seek between, «"_s + index + u"»"_s, rows,
               perStep(200, [&] { check(navigator.seek(u">="_s, texts[k++ % texts.size()] + QChar(1))); }));
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

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.contains(u"--help"_s) || args.contains(u"-h"_s)) {
        out << "Usage: vinzal-bench [--data FOLDER] [--rows N[,N...]] [--csv FILE]\n\n"
               "Times the store and both windows on demo address books of N contacts (100000 and\n"
               "1000000 unless --rows says otherwise), beside the sqlite3 C API and the usual Qt way,\n"
               "and prints the table of the README.\n\n"
               "  --data FOLDER  where the demo books are made on the first run and kept\n"
               "                 (default: bench-data in the current directory)\n"
               "  --rows N,...   the sizes to measure\n"
               "  --server BOOK  measure a PostgreSQL book instead (its table is replaced by the demo\n"
               "                 rows), e.g. postgresql:///bench?host=/run/postgresql\n"
               "  --csv FILE     where the figures are written (default: bench-results.csv;\n"
               "                 the figures of the README live in bench/results.csv)\n"
               "  -h, --help     this text\n";
        return 0;
    }
    if (args.value(0) == u"--child"_s)
        return child(args.value(1), args.value(2));
    if (args.value(0) == u"--duplicates"_s)
        return benchDuplicates(args.mid(1));

    QString data = QDir::currentPath() + u"/bench-data"_s;
    QString csv = u"bench-results.csv"_s;
    QList<qint64> sizes{100000, 1000000};
    QString server;
    for (qsizetype i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--server"_s)
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

    for (qint64 rows : sizes) {
        const QString folder = folderFor(data, rows);
        ensureFile(folder, rows);
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
    out << "\n| operation | rows | ours | sqlite3 floor | usual Qt way | ours / floor | Qt way / ours |\n"
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
