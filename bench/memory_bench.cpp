// vinzal-bench --memory [--data FOLDER] [--rows N,...]: the peak resident memory of every bulk path
// of vinzal-db (copy, import, export to a file and to standard output, the PDF, the workbook, the
// duplicates list) on demo books of each size, side by side, with the larger size's peak over the
// smaller's. Each command is a process of its own, so its peak (getrusage's ru_maxrss of the child)
// is its own; what a path holds in proportion to the book shows as a ratio near the sizes' ratio,
// what it streams as one near 1.
#include <QDir>
#include <QFile>
#include <QTextStream>

#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

QTextStream memorySay(stdout);

// Runs vinzal-db with `arguments`, its output to /dev/null; the child's peak in MB, or -1 on failure.
double peakOfRun(const QStringList& arguments)
{
    std::vector<QByteArray> words{QByteArrayLiteral(VINZAL_DB)};
    for (const QString& argument : arguments)
        words.push_back(QFile::encodeName(argument));
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) > 1)
        return -1;
    return double(usage.ru_maxrss) / 1024;
}

} // namespace

int benchMemory(const QString& data, const QList<qint64>& sizes)
{
    struct Path
    {
        QString name;
        std::function<QStringList(const QString& folder)> arguments;
    };
    const auto in = [](const QString& folder, const QString& name) { return folder + u'/' + name; };
    const QList<Path> paths{
        {u"copy file → file"_s, [&](const QString& f) { return QStringList{u"copy"_s, in(f, u"Vinzal.mdb"_s), in(f, u"copia.mdb"_s), u"--force"_s}; }},
        {u"export --csv to a file"_s, [&](const QString& f) { return QStringList{u"export"_s, u"--csv"_s, in(f, u"rubrica.csv"_s), in(f, u"Vinzal.mdb"_s), u"--force"_s}; }},
        {u"export --csv - (standard output)"_s, [&](const QString& f) { return QStringList{u"export"_s, u"--csv"_s, u"-"_s, in(f, u"Vinzal.mdb"_s)}; }},
        {u"export --vcard to a file"_s, [&](const QString& f) { return QStringList{u"export"_s, u"--vcard"_s, in(f, u"rubrica.vcf"_s), in(f, u"Vinzal.mdb"_s), u"--force"_s}; }},
        {u"export --xlsx"_s, [&](const QString& f) { return QStringList{u"export"_s, u"--xlsx"_s, in(f, u"rubrica.xlsx"_s), in(f, u"Vinzal.mdb"_s), u"--force"_s}; }},
        {u"export --pdf (the list)"_s, [&](const QString& f) { return QStringList{u"export"_s, u"--pdf"_s, in(f, u"rubrica.pdf"_s), in(f, u"Vinzal.mdb"_s), u"--force"_s}; }},
        {u"duplicates --csv"_s, [&](const QString& f) { return QStringList{u"duplicates"_s, in(f, u"Vinzal.mdb"_s), u"--csv"_s}; }},
        {u"import --csv into a new book"_s, [&](const QString& f) { QFile::remove(in(f, u"nuova.mdb"_s)); return QStringList{u"import"_s, u"--csv"_s, in(f, u"rubrica.csv"_s), in(f, u"nuova.mdb"_s)}; }},
        {u"import --csv of its own export (all skipped)"_s, [&](const QString& f) { return QStringList{u"import"_s, u"--csv"_s, in(f, u"rubrica.csv"_s), in(f, u"copia.mdb"_s)}; }},
        {u"import --vcard into a new book"_s, [&](const QString& f) { QFile::remove(in(f, u"nuova.mdb"_s)); return QStringList{u"import"_s, u"--vcard"_s, in(f, u"rubrica.vcf"_s), in(f, u"nuova.mdb"_s)}; }},
    };
    QList<QList<double>> peaks(paths.size());
    for (qint64 rows : sizes) {
        const QString folder = data + u"/memory-"_s + QString::number(rows);
        QDir().mkpath(folder);
        if (!QFile::exists(in(folder, u"Vinzal.mdb"_s)) &&
            peakOfRun({u"demo"_s, in(folder, u"Vinzal.mdb"_s), u"--rows"_s, QString::number(rows),
                       u"--duplicates"_s, u"1%"_s}) < 0)
            qFatal("cannot make the demo book of %lld contacts", rows);
        memorySay << rows << " contacts\n";
        for (qsizetype i = 0; i < paths.size(); ++i) {
            peaks[i].append(peakOfRun(paths[i].arguments(folder)));
            memorySay << "  " << paths[i].name << ": " << peaks[i].last() << " MB\n";
            memorySay.flush();
        }
    }
    memorySay << "\n| bulk path | " ;
    for (qint64 rows : sizes)
        memorySay << rows << " rows (MB) | ";
    memorySay << "largest / smallest |\n|---|";
    for (qsizetype i = 0; i <= sizes.size(); ++i)
        memorySay << "---:|";
    memorySay << "\n";
    for (qsizetype i = 0; i < paths.size(); ++i) {
        memorySay << "| " << paths[i].name << " | ";
        for (double peak : std::as_const(peaks[i]))
            memorySay << (peak < 0 ? u"failed"_s : QString::number(peak, 'f', 1)) << " | ";
        const double first = peaks[i].first(), last = peaks[i].last();
        memorySay << (first > 0 && last > 0 ? QString::number(last / first, 'f', 2) + u"×"_s : u"–"_s) << " |\n";
    }
    return 0;
}
