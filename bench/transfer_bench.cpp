// vinzal-bench --transfer [--data FOLDER] [--rows N,...]: what the windows' Importa, Esporta and
// Stampa cost, each run in a process of its own so that its peak memory is its own.
//
// - Import of a CSV of N contacts from the window (the real importContacts, its dialogs answered)
//   against `vinzal-db import --csv` of the same file, each into a new empty book.
// - Export of the whole book to CSV and to a PDF list: time and peak memory, beside the naive way
//   that reads the whole book first (book::readAll) and then writes it.
// - The print preview's first page (the card's order by city, and by ID) against drawing every
//   page, which is what a preview that lays out the whole document before showing it does.
#include "book_export.h"
#include "book_io.h"
#include "book_transfer.h"
#include "dialogs.h"
#include "page_painter.h"
#include "print_export.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPagedPaintDevice>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <functional>

using namespace Qt::StringLiterals;
using namespace vinzal;

namespace {

QTextStream say(stdout);

double peakMb()
{
    QFile status(u"/proc/self/status"_s);
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').first().toDouble() / 1024;
    return NAN;
}

// The import's dialogs, answered as a user who picks the file and accepts the preview.
class Answers : public Dialogs
{
public:
    explicit Answers(QString file) : m_file(std::move(file)) {}

protected:
    QString doAskText(QWidget*, const QString&, const QString&) override { return {}; }
    QString doAskItem(QWidget*, const QString&, const QString&, const QStringList&) override { return {}; }
    QString doAskSaveFile(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
    bool doAskYesNo(QWidget*, const QString&, const QString&, bool) override { return false; }
    Answer doAskYesNoCancel(QWidget*, const QString&, const QString&) override { return Answer::No; }
    void doInform(QWidget*, const QString&, const QString& text, Icon) override
    {
        say << "  " << text << "\n";
    }
    QString doAskFileName(QWidget*, FileMode, const QString&, const QStringList&, QString*,
                          const QString&) override
    {
        return m_file;
    }
    std::unique_ptr<Progress> doStartProgress(QWidget*, const QString&, const QString&) override
    {
        struct Going : Progress
        {
            bool advance(qint64, qint64) override { return true; }
        };
        return std::make_unique<Going>();
    }
    void doShowDocument(QWidget*, const QString&, const QString&) override {}
    bool doReviewImport(QWidget*, ImportPreview& preview) override { return preview.problems.isEmpty(); }
    bool doAskPrintOptions(QWidget*, PrintChoice&) override { return false; }
    std::unique_ptr<QPagedPaintDevice> doAskPrinter(QWidget*) override { return nullptr; }
    bool doAskSyncAccount(QWidget*, SyncAccountForm&) override { return false; }

private:
    QString m_file;
};

bool ok(const Status& status)
{
    if (!status)
        say << "  failed: " << status.error().fullText() << "\n";
    return bool(status);
}

} // namespace

// One measurement, in this process: prints "ms N peak_mb M".
int transferChild(const QString& mode, const QString& book, const QString& other)
{
    QElapsedTimer timer;
    timer.start();
    bool done = true;
    // The naive way: the whole book in memory first, then written from there.
    Contacts all;
    const bool naive = mode.endsWith(u"-naive"_s);
    if (naive) {
        auto read = book::readAll(book);
        done = bool(read);
        if (read)
            all = std::move(read.value());
    }
    if (mode == u"import-window"_s) {
        Dialogs::install(std::make_unique<Answers>(other));
        done = importContacts(nullptr, book);
    } else if (mode == u"export-csv"_s || mode == u"export-csv-naive"_s) {
        bookexport::Request request;
        request.target = other;
        request.book = book;
        request.force = true;
        request.only = naive ? &all : nullptr;
        done = done && bool(bookexport::write(request));
    } else if (mode == u"pdf"_s || mode == u"pdf-naive"_s) {
        printing::Request request;
        request.book = book;
        request.only = naive ? &all : nullptr;
        done = done && ok(printing::writePdf(other, true, request));
    } else if (mode == u"preview-first"_s) {
        printing::Request request;
        request.book = book;
        request.index = other; // "" for the order of the IDs
        auto pages = printing::Pages::open(request);
        QImage page(827, 1169, QImage::Format_RGB32); // A4 at 100 dpi
        page.setDotsPerMeterX(3937);
        page.setDotsPerMeterY(3937);
        done = pages && ok(pages.value()->draw(0, page));
    }
    say << "ms " << double(timer.nsecsElapsed()) / 1e6 << " peak_mb " << peakMb() << "\n";
    return done ? 0 : 1;
}

namespace {

struct Run
{
    double ms = NAN, peakMb = NAN;
};

Run child(const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QCoreApplication::applicationFilePath(), QStringList{u"--transfer-child"_s} + arguments);
    process.waitForFinished(-1);
    const QStringList words = QString::fromUtf8(process.readAllStandardOutput())
                                  .split(QRegularExpression(u"\\s+"_s), Qt::SkipEmptyParts);
    Run run;
    for (qsizetype i = 0; i + 1 < words.size(); ++i) {
        if (words[i] == u"ms"_s)
            run.ms = words[i + 1].toDouble();
        if (words[i] == u"peak_mb"_s)
            run.peakMb = words[i + 1].toDouble();
    }
    if (process.exitCode() != 0)
        say << "  " << arguments.join(u' ') << ": failed\n";
    return run;
}

double vinzalDbMs(const QStringList& arguments)
{
    QElapsedTimer timer;
    timer.start();
    QProcess process;
    process.start(QStringLiteral(VINZAL_DB), arguments);
    process.waitForFinished(-1);
    if (process.exitCode() != 0)
        say << "  vinzal-db " << arguments.join(u' ') << ": " << process.readAllStandardError() << "\n";
    return double(timer.nsecsElapsed()) / 1e6;
}

void line(const QString& what, qint64 rows, const QString& ours, const QString& other, const QString& ratio)
{
    say << "| " << what << " | " << rows << " | " << ours << " | " << other << " | " << ratio << " |\n";
    say.flush();
}

} // namespace

int benchTransfer(const QString& data, const QList<qint64>& sizes,
                  const std::function<void(const QString&, qint64)>& ensure)
{
    say << "| operation | rows | ours | naive or vinzal-db | ratio |\n|---|---:|---:|---:|---:|\n";
    for (qint64 rows : sizes) {
        const QString folder = data + u"/"_s + QString::number(rows);
        ensure(folder, rows);
        const QString book = folder + u"/Vinzal.mdb"_s;
        QTemporaryDir work;
        const QString csv = work.filePath(u"rubrica.csv"_s);
        vinzalDbMs({u"export"_s, u"--csv"_s, csv, book});

        if (rows <= 100000) {
            // Median of three, each into a new empty book.
            std::vector<double> window, tool;
            for (int trial = 0; trial < 3; ++trial) {
                const QString a = work.filePath(u"a%1.mdb"_s.arg(trial)),
                              b = work.filePath(u"b%1.mdb"_s.arg(trial));
                vinzalDbMs({u"create"_s, a});
                vinzalDbMs({u"create"_s, b});
                window.push_back(child({u"import-window"_s, a, csv}).ms);
                tool.push_back(vinzalDbMs({u"import"_s, u"--csv"_s, csv, b}));
                QFile::remove(a);
                QFile::remove(b);
            }
            std::sort(window.begin(), window.end());
            std::sort(tool.begin(), tool.end());
            line(u"import of a CSV, window vs vinzal-db (ms)"_s, rows, QString::number(window[1], 'f', 0),
                 QString::number(tool[1], 'f', 0), QString::number(window[1] / tool[1], 'f', 2) + u"×"_s);
        }
        const Run exported = child({u"export-csv"_s, book, work.filePath(u"x.csv"_s)});
        const Run naive = child({u"export-csv-naive"_s, book, work.filePath(u"y.csv"_s)});
        line(u"export to CSV, peak memory (MB)"_s, rows, QString::number(exported.peakMb, 'f', 1),
             QString::number(naive.peakMb, 'f', 1),
             QString::number(naive.peakMb / exported.peakMb, 'f', 1) + u"× less"_s);
        line(u"export to CSV (ms)"_s, rows, QString::number(exported.ms, 'f', 0),
             QString::number(naive.ms, 'f', 0), QString::number(exported.ms / naive.ms, 'f', 2) + u"×"_s);
        const Run pdf = child({u"pdf"_s, book, work.filePath(u"x.pdf"_s)});
        const Run pdfNaive = child({u"pdf-naive"_s, book, work.filePath(u"y.pdf"_s)});
        line(u"PDF list of the whole book, peak memory (MB)"_s, rows, QString::number(pdf.peakMb, 'f', 1),
             QString::number(pdfNaive.peakMb, 'f', 1),
             QString::number(pdfNaive.peakMb / pdf.peakMb, 'f', 1) + u"× less"_s);
        for (const QString& index : {u"Città"_s, QString()}) {
            std::vector<double> first;
            for (int trial = 0; trial < 5; ++trial)
                first.push_back(child({u"preview-first"_s, book, index}).ms);
            std::sort(first.begin(), first.end());
            line(u"print preview, first page, order "_s + (index.isEmpty() ? u"ID"_s : index) +
                     u" vs every page drawn (ms)"_s,
                 rows, QString::number(first[2], 'f', 1), QString::number(pdf.ms, 'f', 0),
                 QString::number(pdf.ms / first[2], 'f', 0) + u"× sooner"_s);
        }
    }
    return 0;
}
