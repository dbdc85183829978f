// vinzal-db: makes, fills and checks address books. The program itself never creates a file or
// touches its schema; everything of that kind happens here. This file only reads the command line
// and reports; the work is done by store/ and interchange/.
#include "access_import.h"
#include "book_export.h"
#include "book_io.h"
#include "contact_file.h"
#include "contact_table.h"
#include "csv.h"
#include "csv_mapping.h"
#include "demo_data.h"
#include "duplicates.h"
#include "engine.h"
#include "print_export.h"
#include "safe_file.h"
#include "schema.h"
#include "sync_service.h"
#include "vcard.h"
#include "wording.h"

#include <QBuffer>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>

#include <algorithm>

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <optional>
#include <string_view>

using namespace Qt::StringLiterals;
using namespace vinzal;

namespace {

enum Exit { Success = 0, Failure = 1, BadUsage = 2 };

QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream& err()
{
    static QTextStream stream(stderr);
    return stream;
}

QString seconds(const QElapsedTimer& timer)
{
    return QString::number(double(timer.elapsed()) / 1000.0, 'f', 2);
}

// "1 contatto", "2 contatti".
QString countOf(qsizetype count)
{
    return words::counted(count, u"contatto"_s, u"contatti"_s);
}

int badUsage(const QString& message)
{
    err() << "vinzal-db: " << message << "\n"
          << "Provare «vinzal-db --help».\n";
    err().flush();
    return BadUsage;
}

// The store's message, and when nothing of the operation reached the book, that nothing was written.
QString forTheCommandLine(const StoreError& error)
{
    StoreError shown = error;
    if (error.unchanged)
        shown.message += u" Non è stato scritto nulla."_s;
    return shown.fullText();
}

// `file` is named first when the message does not name it already (the store's messages say what
// failed, not on which file).
int fail(const StoreError& error, const QString& file = {})
{
    const QString text = forTheCommandLine(error);
    err() << "vinzal-db: ";
    if (!file.isEmpty() && !text.contains(u"«"_s + file + u"»"_s))
        err() << "«" << file << "»: ";
    err() << text << "\n";
    return Failure;
}

int fail(const QString& message)
{
    err() << "vinzal-db: " << message << "\n";
    return Failure;
}

struct Arguments
{
    QString command;
    QString file = contacts::fileName();
    QString second; // the second file name, where a command takes two
    bool haveFile = false, haveSecond = false;
    bool force = false;
    qint64 rows = 1000;
    quint64 seed = 2008;
    QString table = contacts::tableName();
    QString format; // "csv", "vcard" or "xlsx" for import and export
    QString vcardVersion = u"3.0"_s;
    bool spreadsheet = false;
    bool skipExtraColumns = false;
    bool keepDuplicates = false;
    double duplicatesPercent = 0;
    QStringList more; // the words after the book (merge's IDs)
    QString encoding; // import --csv: as given, else detected
    QString map;      // import --csv: "Header=Field" pairs
    QString labels;   // export --pdf: the label sheet, "3x8" or "2x7"; none: the list
    QString user;     // sync: the user on the CardDAV server
};

// --- create, demo, check ------------------------------------------------------------------------

// A connection string with a misspelt keyword is not a server book for libpq: made into a file, its
// name would hold the password. Such a name is refused unless it is plainly a path ("./…", "/…").
std::optional<int> refuseConnectionLike(const QString& target)
{
    if (isServerBook(target) || !looksLikeServerBook(target) || target.startsWith(u"./"_s) ||
        QDir::isAbsolutePath(target))
        return std::nullopt;
    return fail(u"«"_s + shownBook(target) +
                u"» sembra il collegamento a una rubrica sul server, ma non è scritto correttamente: "
                u"controllare ogni parola chiave (host, port, dbname, user, password, sslmode, service). "
                u"Per un file con questo nome scrivere «./» davanti. Non è cambiato nulla."_s);
}

// Makes a new book at `target` (filled by `fill`), beside it and renamed only when complete.
Status makeBook(const QString& target, bool force, const schema::Fill& fill)
{
    if (isServerBook(target))
        return schema::createOnServer(target, force, fill);
    auto pending = safefile::PendingFile::begin(target, force);
    if (!pending)
        return pending.error();
    if (Status built = book::build(*pending.value(), fill); !built)
        return built;
    return pending.value()->commit();
}

int createCommand(const Arguments& args)
{
    if (const auto refused = refuseConnectionLike(args.file))
        return *refused;
    if (Status made = makeBook(args.file, args.force, {}); !made)
        return fail(made.error(), shownBook(args.file));
    out() << "Creata la rubrica vuota «" << shownBook(args.file) << "».\n";
    return Success;
}

int demoCommand(const Arguments& args)
{
    if (const auto refused = refuseConnectionLike(args.file))
        return *refused;
    QElapsedTimer timer;
    timer.start();
    const auto fill = [&](sql::Database& db) {
        return demo::fill(db, args.rows, args.seed, args.duplicatesPercent);
    };
    if (Status made = makeBook(args.file, args.force, fill); !made)
        return fail(made.error(), shownBook(args.file));
    out() << "Creata la rubrica dimostrativa «" << shownBook(args.file) << "» con " << countOf(args.rows)
          << " in " << seconds(timer) << " s.\n";
    return Success;
}

int checkCommand(const Arguments& args)
{
    const QStringList problems = schema::check(args.file);
    const QString shown = shownBook(args.file);
    if (problems.isEmpty()) {
        out() << "La rubrica «" << shown << "» è integra e ha lo schema di Vinzal.\n";
        if (schema::needsUpgrade(args.file))
            out() << "È da aggiornare: i suoi indici non seguono ancora l'ordine italiano (accenti e "
                     "maiuscole non contano). Eseguire «vinzal-db upgrade "
                  << shown << "».\n";
        return Success;
    }
    err() << "La rubrica «" << shown << "» ha " << problems.size()
          << (problems.size() == 1 ? " problema:\n" : " problemi:\n");
    for (const QString& problem : problems)
        err() << "  - " << problem << "\n";
    return Failure;
}

int upgradeCommand(const Arguments& args)
{
    QElapsedTimer timer;
    timer.start();
    const Result<int> replaced = schema::upgrade(args.file);
    if (!replaced)
        return fail(replaced.error(), shownBook(args.file));
    if (replaced.value() == 0)
        out() << "La rubrica «" << shownBook(args.file) << "» è già aggiornata.\n";
    else
        out() << "Aggiornata la rubrica «" << shownBook(args.file) << "»: " << replaced.value()
              << " indici sostituiti in " << seconds(timer) << " s.\n";
    return Success;
}

// --- export -------------------------------------------------------------------------------------

// A server book where the data file goes: the two names were swapped, and the book's text (which
// may hold a password) must not be printed as a file's name.
std::optional<int> refuseSwapped(const QString& data)
{
    if (!isServerBook(data))
        return std::nullopt;
    return fail(u"«"_s + shownBook(data) +
                u"» è una rubrica sul server, non un file di dati: forse i due nomi sono scambiati (prima "
                u"il file di dati, poi la rubrica). Non è cambiato nulla."_s);
}

// What an output cannot hold as the book holds it: fields whose bytes are not UTF-8 (written by
// another program), and fields that are not text (a blob, a number). `kept` says whether the output
// keeps the bytes (CSV, vCard) or not (a workbook, which must be UTF-8).
void warnAboutExport(const bookexport::Written& found, const QString& bookPath, const QString& where,
                     bool kept)
{
    const qsizetype invalid = found.invalidUtf8, other = found.notText;
    const auto count = [](qsizetype n) { return n == 1 ? u"un campo"_s : QString::number(n) + u" campi"_s; };
    if (invalid > 0)
        err() << "vinzal-db: attenzione, «" << shownBook(bookPath) << "»: " << count(invalid)
              << (invalid == 1 ? " non è" : " non sono")
              << words::plural(invalid,
                               u" testo UTF-8 valido (lo ha scritto un altro programma), per esempio "_s,
                               u" testo UTF-8 valido (li ha scritti un altro programma), per esempio "_s)
              << found.firstInvalidUtf8 << ": " << where
              << (kept ? words::plural(invalid,
                                       u" i suoi byte sono scritti come sono, ma altri programmi potrebbero "
                                       u"mostrarli in modo diverso."_s,
                                       u" i loro byte sono scritti come sono, ma altri programmi potrebbero "
                                       u"mostrarli in modo diverso."_s)
                       : u" i byte non validi sono diventati «\uFFFD»."_s)
              << " La rubrica non è cambiata.\n";
    if (other > 0)
        err() << "vinzal-db: attenzione, «" << shownBook(bookPath) << "»: " << count(other)
              << (other == 1 ? " non è" : " non sono") << " testo ma dati di altro tipo (per esempio "
              << found.firstNotText << "): " << where << (other == 1 ? " è scritto" : " sono scritti")
              << " come testo. La rubrica non è cambiata.\n";
}

// Writes all of `bytes` to standard output; false when it does not take them (a full disk behind a
// redirection). A pipe closed early ends the program by SIGPIPE, as it ends any filter.
bool writeToStandardOutput(const QByteArray& bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

int exportBook(const Arguments& args)
{
    // export --csv DATA [BOOK]: the data file is the first name, the address book the second.
    const QString data = args.file;
    const QString bookPath = args.haveSecond ? args.second : contacts::fileName();
    // "-" is standard output, as for every command-line tool; a file of that name is "./-".
    const bool toStandardOutput = data == u"-"_s;
    if (toStandardOutput && args.format == u"xlsx"_s)
        return fail(u"un foglio di calcolo .xlsx va scritto in un file, non sull'uscita standard."_s);
    if (const auto refused = refuseSwapped(data))
        return *refused;
    // The target is judged before anything is read, so that a mistake costs nothing.
    if (!toStandardOutput)
        if (Status allowed = safefile::checkTarget(data, args.force, {bookPath}); !allowed)
            return fail(allowed.error());
    // Standard output opened on the book itself (">>" or "1<>" by mistake) would write into it.
    struct stat output = {}, read = {};
    if (toStandardOutput && ::fstat(STDOUT_FILENO, &output) == 0 && S_ISREG(output.st_mode) &&
        ::stat(QFile::encodeName(bookPath).constData(), &read) == 0 && output.st_dev == read.st_dev &&
        output.st_ino == read.st_ino)
        return fail(u"l'uscita standard è il file della rubrica «"_s + bookPath +
                    u"», che viene letto: i dati non vi sono scritti. Non è cambiato nulla."_s);
    QElapsedTimer timer;
    timer.start();
    const bookexport::Format format =
        args.format == u"xlsx"_s ? bookexport::Format::Xlsx
        : args.format == u"csv"_s
            ? (args.spreadsheet ? bookexport::Format::Spreadsheet : bookexport::Format::Csv)
        : args.vcardVersion == u"4.0"_s ? bookexport::Format::VCard4
                                        : bookexport::Format::VCard3;
    if (toStandardOutput) {
        bool outputFailed = false;
        int why = 0;
        const auto write = [&why](const QByteArray& bytes) {
            const bool taken = writeToStandardOutput(bytes);
            why = taken ? 0 : errno;
            return taken;
        };
        auto streamed = bookexport::stream(bookPath, format, write, &outputFailed);
        if (outputFailed)
            return fail(u"l'uscita standard non ha preso tutti i dati ("_s + safefile::reason(why) + u")."_s);
        if (!streamed)
            return fail(streamed.error(), shownBook(bookPath));
        // The data alone go to standard output; what is said about them, to the other channel.
        warnAboutExport(streamed.value(), bookPath, u"nei dati scritti"_s, true);
        err() << (streamed.value().count == 1 ? "Esportato " : "Esportati ")
              << countOf(streamed.value().count) << " sull'uscita standard in " << seconds(timer) << " s.\n";
        return Success;
    }
    bookexport::Request request;
    request.target = data;
    request.format = format;
    request.book = bookPath;
    request.force = args.force;
    auto written = bookexport::write(request);
    if (!written) {
        // A failure to write names the data file; one to read, the book.
        using Kind = StoreError::Kind;
        const Kind kind = written.error().kind;
        const bool writing = kind == Kind::DiskFull || kind == Kind::ReadOnly || kind == Kind::Engine;
        return fail(written.error(), writing ? data : shownBook(bookPath));
    }
    warnAboutExport(written.value(), bookPath, u"in «"_s + data + u"»"_s, args.format != u"xlsx"_s);
    out() << (written.value().count == 1 ? "Esportato " : "Esportati ") << countOf(written.value().count)
          << " in «" << data << "» in " << seconds(timer) << " s.\n";
    return Success;
}

// --- duplicates, merge, unmerge ------------------------------------------------------------------

// A CSV cell (RFC 4180) holding `bytes` as they are.
QByteArray csvCell(const QByteArray& bytes)
{
    if (!bytes.contains(',') && !bytes.contains('"') && !bytes.contains('\n') && !bytes.contains('\r'))
        return bytes;
    QByteArray quoted = bytes;
    return '"' + quoted.replace("\"", "\"\"") + '"';
}

int duplicatesCommand(const Arguments& args)
{
    const QString shown = shownBook(args.file);
    QElapsedTimer timer;
    timer.start();
    auto connection = Connection::open(args.file);
    if (!connection)
        return fail(connection.error(), shown);
    const bool csv = args.format == u"csv"_s;
    qint64 groups = 0, contactsFound = 0;
    QByteArray text;
    if (csv)
        text = "Gruppo,ID,Cognone e nome o denominazione,Motivi\r\n";
    duplicates::Progress progress;
    progress.group = [&](const duplicates::Group& group) {
        ++groups;
        contactsFound += group.ids.size();
        if (!csv)
            text += "Gruppo " + QByteArray::number(groups) + ": " + group.reasonsText().toUtf8() + "\n";
        // In CSV each contact's line says its own reasons, without the other IDs (the group number
        // joins them): a line listing every ID of a group of thousands would make the file grow
        // with the square of the group.
        QHash<qint64, QByteArray> reasonsOf;
        if (csv)
            for (const duplicates::Link& link : group.links) {
                const QByteArray what = link.what().toUtf8();
                for (qint64 id : link.ids) {
                    QByteArray& reasons = reasonsOf[id];
                    reasons += (reasons.isEmpty() ? "" : "; ") + what;
                }
            }
        for (qsizetype i = 0; i < group.ids.size(); ++i) {
            if (csv)
                text += QByteArray::number(groups) + ',' + QByteArray::number(group.ids.at(i)) + ',' +
                        csvCell(group.names.at(i).bytes()) + ',' + csvCell(reasonsOf.value(group.ids.at(i))) +
                        "\r\n";
            else
                text += "  " + QByteArray::number(group.ids.at(i)).rightJustified(10) + "  " +
                        group.names.at(i).bytes() + "\n";
        }
        if (text.size() > (1 << 16)) {
            if (!writeToStandardOutput(text))
                return false;
            text.clear();
        }
        return true;
    };
    if (Status found = duplicates::find(*connection.value(), progress); !found)
        return fail(found.error(), shown);
    if (!writeToStandardOutput(text))
        return fail(u"l'uscita standard non ha preso tutti i dati ("_s + safefile::reason(errno) + u")."_s);
    (csv ? err() : out()) << (groups == 1 ? u"Trovato 1 gruppo"_s : u"Trovati %1 gruppi"_s.arg(groups))
                          << " di probabili doppioni (" << countOf(contactsFound) << ") in «" << shown
                          << "» in " << seconds(timer) << " s.\n";
    return Success;
}

// The IDs given on the command line, or a message.
std::optional<QList<qint64>> idsOf(const QStringList& words, QString& problem)
{
    QList<qint64> ids;
    for (const QString& word : words) {
        bool ok = false;
        const qint64 id = word.toLongLong(&ok);
        if (!ok || id < 1) {
            problem = u"«"_s + word + u"» non è un ID (un numero intero da 1 in su)"_s;
            return std::nullopt;
        }
        if (ids.contains(id)) {
            problem = u"l'ID "_s + word + u" è indicato due volte"_s;
            return std::nullopt;
        }
        ids.append(id);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

// `word` as a POSIX shell reads it back as one word: quoted unless every character is plainly safe,
// and after "--" when it would read as an option.
QString shellWord(const QString& word)
{
    static const QRegularExpression plain(u"^[A-Za-z0-9_./,:+@%=-]+$"_s);
    const QString quoted =
        plain.match(word).hasMatch() ? word : u"'"_s + QString(word).replace(u"'"_s, u"'\\''"_s) + u"'"_s;
    return word.startsWith(u'-') ? u"-- "_s + quoted : quoted;
}

int mergeCommand(const Arguments& args)
{
    QString problem;
    const auto ids = idsOf(args.more, problem);
    if (!ids)
        return badUsage(problem);
    if (ids->size() < 2)
        return badUsage(u"merge vuole la rubrica e almeno due ID"_s);
    const QString shown = shownBook(args.file);
    auto connection = Connection::open(args.file);
    if (!connection)
        return fail(connection.error(), shown);
    QList<Row> rows;
    for (qint64 id : *ids) {
        auto row = readRow(*connection.value(), id);
        if (!row) {
            if (row.error().kind == StoreError::Kind::NoCurrentRow)
                return fail(u"«"_s + shown + u"»: non c'è un contatto con ID "_s + QString::number(id) +
                            u". Non è cambiato nulla."_s);
            return fail(row.error(), shown);
        }
        rows.append(row.value());
    }
    if (!args.force) {
        auto alike = duplicates::alike(*connection.value(), *ids);
        if (!alike)
            return fail(alike.error(), shown);
        if (!alike.value())
            return fail(u"«"_s + shown +
                        u"»: i contatti indicati non sono tutti probabili doppioni l'uno dell'altro (nome, "
                        u"telefono o e-mail in comune): non è cambiato nulla. Per unirli comunque usare "
                        u"--force."_s);
    }
    auto merged = duplicates::merge(*connection.value(), rows, duplicates::defaultChoice(rows));
    if (!merged)
        return fail(merged.error(), shown);
    QStringList others;
    for (qint64 id : ids->mid(1))
        others.append(QString::number(id));
    out() << "Uniti i contatti con ID " << others.join(u", "_s) << " nel contatto con ID " << ids->first()
          << " in «" << shown << "». Per annullare: vinzal-db unmerge " << shellWord(shown) << " "
          << ids->first() << "\n";
    return Success;
}

int unmergeCommand(const Arguments& args)
{
    QString problem;
    const auto ids = idsOf(args.more, problem);
    if (!ids)
        return badUsage(problem);
    if (ids->size() != 1)
        return badUsage(u"unmerge vuole la rubrica e un ID"_s);
    const QString shown = shownBook(args.file);
    auto connection = Connection::open(args.file);
    if (!connection)
        return fail(connection.error(), shown);
    auto given = duplicates::unmerge(*connection.value(), ids->first());
    if (!given)
        return fail(given.error(), shown);
    QStringList back;
    for (qint64 id : given.value().mid(1))
        back.append(QString::number(id));
    out() << "Annullata l'unione in «" << shown << "»: il contatto con ID " << given.value().first()
          << " ha di nuovo i valori di prima e sono tornati i contatti con ID " << back.join(u", "_s)
          << ".\n";
    return Success;
}

// The pages of the list, or of address labels, as a PDF.
int exportPdf(const Arguments& args)
{
    const QString data = args.file;
    const QString bookPath = args.haveSecond ? args.second : contacts::fileName();
    if (data == u"-"_s)
        return fail(u"un PDF va scritto in un file, non sull'uscita standard."_s);
    if (const auto refused = refuseSwapped(data))
        return *refused;
    printing::Request request;
    request.book = bookPath;
    if (!args.labels.isEmpty()) {
        request.layout = printing::Layout::Etichette;
        if (!printing::labelSheetFromName(args.labels, &request.sheet))
            return badUsage(u"--etichette vuole 3x8 (70 x 37 mm) oppure 2x7 (105 x 42,3 mm)"_s);
    }
    if (Status allowed = safefile::checkTarget(data, args.force, {bookPath}); !allowed)
        return fail(allowed.error());
    QElapsedTimer timer;
    timer.start();
    printing::Printed printed;
    if (Status written = printing::writePdf(data, args.force, request, nullptr, &printed); !written)
        return fail(written.error(), data);
    out() << "Scritte le pagine " << (args.labels.isEmpty() ? "dell'elenco" : "delle etichette") << " in «"
          << data << "» in " << seconds(timer) << " s.\n";
    if (const QString said = printing::remarks(printed); !said.isEmpty())
        out() << said << "\n";
    return Success;
}

// --- import -------------------------------------------------------------------------------------

// The largest CSV or vCard file read: ten times the export of a million contacts.
constexpr qint64 kLargestInput = qint64(2) << 30;

// The file to read, open, or a message saying in Italian why not. A pipe (a process substitution,
// standard input) is read whole, within the limit, since the import reads its file more than once.
std::unique_ptr<QIODevice> openInput(const QString& path, QString& problem)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        problem = u"il file «"_s + path + u"» non esiste."_s;
        return nullptr;
    }
    if (info.isDir()) {
        problem = u"«"_s + path + u"» è una cartella, non un file."_s;
        return nullptr;
    }
    // A device gives no end (/dev/zero, /dev/urandom) or is not data: it would be read until the
    // memory runs out.
    struct stat entry = {};
    if (::stat(QFile::encodeName(path).constData(), &entry) == 0 &&
        (S_ISCHR(entry.st_mode) || S_ISBLK(entry.st_mode))) {
        problem = u"«"_s + path + u"» è un dispositivo, non un file di dati."_s;
        return nullptr;
    }
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly)) {
        problem = u"il file «"_s + path + u"» non può essere letto: mancano i permessi per leggerlo."_s;
        return nullptr;
    }
    const QString tooLarge = u"il file «"_s + path +
                             u"» è più grande di %1 GB, più di quanto una rubrica "
                             u"possa contenere: non viene letto."_s.arg(kLargestInput >> 30);
    if (!file->isSequential()) {
        if (file->size() > kLargestInput) {
            problem = tooLarge;
            return nullptr;
        }
        return file;
    }
    QByteArray bytes;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file->read(chunk.data(), chunk.size());
        if (n < 0) {
            problem =
                u"il file «"_s + path + u"» non può essere letto per intero: errore di lettura dal disco."_s;
            return nullptr;
        }
        if (n == 0)
            break;
        if (bytes.size() + n > kLargestInput) {
            problem = tooLarge;
            return nullptr;
        }
        bytes.append(chunk.constData(), n);
    }
    auto buffer = std::make_unique<QBuffer>();
    buffer->setData(bytes);
    buffer->open(QIODevice::ReadOnly);
    return buffer;
}

int refuse(const QString& data, const QStringList& problems)
{
    err() << "vinzal-db: «" << data << "» non è stato importato, la rubrica non è cambiata:\n";
    for (const QString& problem : problems)
        err() << "  - " << problem << "\n";
    return Failure;
}

int importData(const Arguments& args)
{
    const QString data = args.file;
    const QString bookPath = args.haveSecond ? args.second : contacts::fileName();
    if (const auto refused = refuseSwapped(data))
        return *refused;
    if (const auto refused = refuseConnectionLike(bookPath))
        return *refused;
    const bool server = isServerBook(bookPath);
    const QString shown = shownBook(bookPath);
    // The book is written in place (or made): it must be a file, and not the data being read.
    if (!server)
        if (Status allowed = safefile::checkTarget(bookPath, true, {data}); !allowed)
            return fail(allowed.error());
    QElapsedTimer timer;
    timer.start();
    QString problem;
    std::unique_ptr<QIODevice> input = openInput(data, problem);
    if (!input)
        return fail(problem);
    const bool isCsv = args.format == u"csv"_s;
    importing::ContactFile file(std::move(input), isCsv ? importing::ContactFile::Format::Csv
                                                        : importing::ContactFile::Format::VCard);
    if (isCsv) {
        csvmap::Encoding encoding = csvmap::Encoding::Utf8;
        if (!args.encoding.isEmpty() && !csvmap::encodingFromName(args.encoding, &encoding))
            return badUsage(u"--encoding vuole UTF-8 oppure Windows-1252"_s);
        if (!args.encoding.isEmpty())
            file.setEncoding(encoding);
        if (!args.map.isEmpty()) {
            file.rewind();
            csvmap::Mapping mapping = file.mapping();
            QString problem;
            if (!csvmap::applyMap(mapping, args.map, &problem))
                return badUsage(problem);
            file.setMapping(mapping);
        }
    }
    auto imported = book::importFile(bookPath, file, args.keepDuplicates);
    if (isCsv && file.encoding() != csvmap::Encoding::Utf8 && !file.encodingGiven())
        err() << "vinzal-db: «" << data << "» non è in UTF-8: è stato letto come "
              << csvmap::encodingName(file.encoding()) << " (indicare --encoding per un'altra codifica).\n";
    for (const QString& warning : file.warnings())
        err() << "vinzal-db: attenzione, «" << data << "»: " << warning << "\n";
    if (!imported)
        return fail(imported.error(), shown);
    const book::Imported& done = imported.value();
    if (!done.problems.isEmpty())
        return refuse(data, done.problems);
    // Said after the count of what was added, on standard output: part of the report, not a fault.
    const int remarked = file.remarked(); // values without a field of their own, put into "Osservazioni"
    const auto reportRemarks = [remarked] {
        if (remarked > 0)
            out() << (remarked == 1
                          ? u"1 valore senza un campo proprio (un secondo cellulare, un compleanno…) "
                            u"è stato scritto"_s
                          : u"%1 valori senza un campo proprio (un secondo cellulare, un compleanno…) "
                            u"sono stati scritti"_s.arg(remarked))
                  << " in «Osservazioni», ciascuno con la sua etichetta.\n";
    };
    if (done.created) {
        out() << "Creata la rubrica «" << shown << "» con " << countOf(done.added) << " in " << seconds(timer)
              << " s.\n";
        reportRemarks();
        return Success;
    }
    if (done.changedKind > 0)
        err() << "vinzal-db: attenzione: "
              << (done.changedKind == 1
                      ? u"un campo non era testo ed è stato scritto"_s
                      : u"%1 campi non erano testo e sono stati scritti"_s.arg(done.changedKind))
              << " come testo sul server «" << shown << "» (i byte sono gli stessi).\n";
    out() << (done.added == 1 ? "Aggiunto " : "Aggiunti ") << countOf(done.added) << " alla rubrica «"
          << shown << "» in " << seconds(timer) << " s.\n";
    reportRemarks();
    if (done.skipped > 0)
        out() << (done.skipped == 1 ? u"Saltato 1 contatto già presente"_s
                                    : u"Saltati %1 contatti già presenti"_s.arg(done.skipped))
              << " nella rubrica con tutti i campi uguali (per aggiungerli comunque usare "
                 "--keep-duplicates).\n";
    return Success;
}

int importAccess(const Arguments& args)
{
    const QString old = args.file;
    const QFileInfo oldInfo(old);
    const bool inPlace = !args.haveSecond && oldInfo.fileName() == contacts::fileName() &&
                         oldInfo.absoluteDir() == QDir::current();
    const QString target = args.haveSecond ? args.second : contacts::fileName();
    if (const auto refused = refuseConnectionLike(target))
        return *refused;
    QElapsedTimer timer;
    timer.start();
    access::ConversionRequest request;
    request.source = old;
    request.target = inPlace ? QString() : target;
    request.options.table = args.table;
    request.options.skipExtraColumns = args.skipExtraColumns;
    request.force = args.force;
    const access::Conversion done = access::convert(request);
    if (args.skipExtraColumns && !done.extraColumns.isEmpty())
        err() << "vinzal-db: Colonne non importate: " << done.extraColumns.join(u", "_s) << ".\n";
    using Problem = access::Conversion::Problem;
    StoreError advised = done.error;
    switch (done.problem) {
    case Problem::None:
        break;
    case Problem::SourceIsLink:
        // Through a link the file replaced would be the Access file itself, kept under no name.
        return fail(u"«"_s + old +
                    u"» è un collegamento simbolico: per convertirlo indicare il nome della nuova rubrica "
                    u"(vinzal-db import "_s +
                    old + u" NUOVA.mdb). Non è cambiato nulla."_s);
    case Problem::NoSuchTable:
        advised.message += u" Indicare quella giusta con --table NOME."_s;
        return fail(advised);
    case Problem::ExtraColumns:
        advised.message += u" Per importare senza di esse usare --skip-extra-columns."_s;
        return fail(advised);
    case Problem::Target:
    case Problem::Reading:
        return fail(done.error);
    case Problem::BadIds:
        return refuse(old, done.badIds);
    case Problem::Creating:
    case Problem::Replacing:
        return inPlace ? fail(done.error) : fail(done.error, shownBook(target));
    case Problem::Writing:
        return fail(done.error, inPlace ? target : shownBook(target));
    case Problem::Keeping:
        return fail(u"il file di Access non può essere conservato come «"_s +
                    QFileInfo(done.kept).fileName() + u"»: non è cambiato nulla."_s);
    }
    if (inPlace)
        out() << "Il file di Access è stato conservato come «" << QFileInfo(done.kept).fileName() << "».\n";
    out() << (done.written == 1 ? "Importato " : "Importati ") << countOf(done.written) << " da «" << old
          << "» in «" << shownBook(target) << "» in " << seconds(timer) << " s.\n";
    return Success;
}

// --- copy ---------------------------------------------------------------------------------------

int copyCommand(const Arguments& args)
{
    if (!args.haveSecond)
        return badUsage(u"copy vuole la rubrica da copiare e quella in cui copiarla"_s);
    const QString& source = args.file;
    const QString& target = args.second;
    if (const auto refused = refuseConnectionLike(target))
        return *refused;
    if (!isServerBook(target))
        if (Status allowed = safefile::checkTarget(target, args.force, {source}); !allowed)
            return fail(allowed.error());
    if (isServerBook(source) && isServerBook(target) && shownBook(source) == shownBook(target))
        return fail(
            u"la rubrica da copiare e quella in cui copiarla sono la stessa: non è cambiato nulla."_s);
    QElapsedTimer timer;
    timer.start();
    // A file keeps every field byte for byte; a server holds only UTF-8 text.
    bool sourceFailed = false;
    auto copied = book::copy(source, target, args.force, &sourceFailed);
    if (!copied)
        return fail(copied.error(), shownBook(sourceFailed ? source : target));
    const qsizetype changedKind = copied.value().changedKind;
    if (changedKind > 0)
        err() << "vinzal-db: attenzione: "
              << (changedKind == 1
                      ? u"un campo non era testo ma dati di altro tipo ed è stato scritto"_s
                      : u"%1 campi non erano testo ma dati di altro tipo e sono stati scritti"_s.arg(
                            changedKind))
              << " come testo sul server «" << shownBook(target) << "» (i byte sono gli stessi).\n";
    out() << (copied.value().contacts == 1 ? "Copiato " : "Copiati ") << countOf(copied.value().contacts)
          << " da «" << shownBook(source) << "» in «" << shownBook(target) << "», con i loro ID, in "
          << seconds(timer) << " s.\n";
    return Success;
}

// --- the command line ---------------------------------------------------------------------------

// One form of a command: its name, the option choosing the form (a format: "csv", "pdf"), the options
// it takes besides, the files it takes, what does it and its lines in the help. Parsing, the checks
// of what is given, the dispatch and the help all come from the table below.

// --- sync ---------------------------------------------------------------------------------------

bool looksLikeUrl(const QString& word)
{
    return word.startsWith(u"http://"_s, Qt::CaseInsensitive) ||
           word.startsWith(u"https://"_s, Qt::CaseInsensitive);
}

// The login and password ~/.netrc gives for `host` (and `user`, when given), as curl reads it.
std::optional<std::pair<QString, QString>> fromNetrc(const QString& host, const QString& user)
{
    QFile file(QDir::homePath() + u"/.netrc"_s);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QStringList tokens =
        QString::fromUtf8(file.readAll()).split(QRegularExpression(u"\\s+"_s), Qt::SkipEmptyParts);
    std::optional<std::pair<QString, QString>> found;
    bool matching = false;
    QString login, password;
    const auto finish = [&] {
        if (matching && !found && (user.isEmpty() || login == user) && !password.isNull())
            found = std::pair{login, password};
    };
    for (qsizetype i = 0; i < tokens.size(); ++i) {
        const QString& token = tokens.at(i);
        if (token == u"machine"_s || token == u"default"_s) {
            finish();
            matching = token == u"default"_s || (i + 1 < tokens.size() && tokens.at(i + 1) == host);
            if (token == u"machine"_s)
                ++i;
            login.clear();
            password = QString();
        } else if (token == u"login"_s && i + 1 < tokens.size()) {
            login = tokens.at(++i);
        } else if (token == u"password"_s && i + 1 < tokens.size()) {
            password = tokens.at(++i);
        }
    }
    finish();
    return found;
}

// Asks for the password on the terminal, without showing it; empty when there is no terminal.
QString askPassword(const QString& user, const QString& host)
{
    if (!::isatty(STDIN_FILENO))
        return QString();
    err() << "Password di «" << user << "» su " << host << ": ";
    err().flush();
    termios old{};
    const bool quiet = ::tcgetattr(STDIN_FILENO, &old) == 0;
    if (quiet) {
        termios silent = old;
        silent.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &silent);
    }
    QTextStream in(stdin);
    const QString password = in.readLine();
    if (quiet)
        ::tcsetattr(STDIN_FILENO, TCSANOW, &old);
    err() << "\n";
    return password;
}

QString countedCards(qsizetype count)
{
    return words::counted(count, u"scheda"_s, u"schede"_s);
}

int syncCommand(const Arguments& args)
{
    QString book = args.file, url;
    if (args.haveSecond) {
        url = args.second;
    } else if (args.haveFile && looksLikeUrl(args.file)) {
        url = args.file;
        book = contacts::fileName();
    }
    sync::Account account{url, args.user, QString()};
    // Without an address, the address book the book remembers, and its user unless another is given.
    const sync::Account before = url.isEmpty() ? sync::remembered(book) : sync::Account{};
    if (account.user.isEmpty())
        account.user = before.user;
    const QString host = QUrl::fromUserInput(url.isEmpty() ? before.url : url).host();
    if (!host.isEmpty()) {
        if (const auto netrc = fromNetrc(host, account.user)) {
            account.user = netrc->first;
            account.password = netrc->second;
        } else if (!account.user.isEmpty()) {
            account.password = askPassword(account.user, host);
        }
    }
    const sync::Result result = sync::synchronize(book, account, {});
    const QString shown = shownBook(book);
    for (const sync::Conflict& conflict : result.conflicts)
        out() << "Contatto con ID " << conflict.id << ": «" << conflict.field
              << "» è cambiato sia nella rubrica sia sul server; resta il valore della rubrica, quello del "
                 "server è nelle Osservazioni.\n";
    for (const qint64 id : result.keptDeleted)
        out() << "Contatto con ID " << id
              << ": eliminato da una parte ma modificato dall'altra dopo l'ultima sincronizzazione, è stato "
                 "conservato.\n";
    for (const QString& skipped : result.skipped)
        out() << "Rimandato alla prossima sincronizzazione: " << skipped << ".\n";
    const auto counts = [](const sync::Counts& c, bool cards) {
        const auto one = [cards](int n) { return cards ? countedCards(n) : countOf(n); };
        QStringList parts;
        if (c.created)
            parts.append(one(c.created) + (cards ? (c.created == 1 ? u" creata"_s : u" create"_s)
                                                 : (c.created == 1 ? u" aggiunto"_s : u" aggiunti"_s)));
        if (c.updated)
            parts.append(one(c.updated) + (cards ? (c.updated == 1 ? u" modificata"_s : u" modificate"_s)
                                                 : (c.updated == 1 ? u" modificato"_s : u" modificati"_s)));
        if (c.deleted)
            parts.append(one(c.deleted) + (cards ? (c.deleted == 1 ? u" eliminata"_s : u" eliminate"_s)
                                                 : (c.deleted == 1 ? u" eliminato"_s : u" eliminati"_s)));
        return parts.isEmpty() ? u"nessuna modifica"_s : parts.join(u", "_s);
    };
    if (result.failure) {
        err() << "vinzal-db: " << result.failure->cause << "\n"
              << result.failure->advice << "\n"
              << (result.failure->written ? "Una parte del lavoro è già stata scritta; la prossima "
                                            "sincronizzazione lo completa senza doppioni.\n"
                                          : "Non è stato scritto nulla.\n");
        return Failure;
    }
    if (result.cancelled) {
        err() << "vinzal-db: sincronizzazione interrotta; la prossima la completa senza doppioni.\n";
        return Failure;
    }
    out() << "Sincronizzata la rubrica «" << shown << "» con " << result.addressBook.toDisplayString()
          << ".\nNella rubrica: " << counts(result.book, false)
          << ".\nSul server: " << counts(result.server, true) << ".\n";
    return Success;
}

struct Command
{
    QString name = {};
    QString format = {};      // empty: the form without a format option
    QString synopsis = {};    // the help's left column; empty: the form is not listed
    QString help = {};        // the right column, its lines
    QStringList options = {}; // without "--"; "NAME=VALUE" for one taking a value, VALUE naming it
    int files = 1;            // the most file names it takes
    bool needsFile = false;
    bool takesIds = false; // the words after the book are contacts' IDs (merge, unmerge)
    bool draws = false;    // needs Qt's drawing (never a display)
    int (*run)(const Arguments&) = nullptr;
    QString refusal = {}; // a form given only to be refused, with this message
};

int helpCommand(const Arguments&);

const QList<Command>& commands()
{
    static const QList<Command> table{
        {.name = u"create"_s,
         .synopsis = u"create [FILE] [--force]"_s,
         .help = u"crea una rubrica vuota"_s,
         .options = {u"force"_s},
         .run = createCommand},
        {.name = u"demo"_s,
         .synopsis = u"demo [FILE] [--rows N] [--seed S] [--duplicates P%] [--force]"_s,
         .help = u"crea una rubrica dimostrativa con N contatti italiani\n"
                 u"realistici (1000 se N non è indicato); lo stesso seme dà\n"
                 u"sempre gli stessi contatti; con --duplicates il P% dei\n"
                 u"contatti sono doppioni di altri (stesso nome scritto\n"
                 u"altrimenti, stesso numero, stessa e-mail)"_s,
         .options = {u"force"_s, u"rows=N"_s, u"seed=S"_s, u"duplicates=P%"_s},
         .run = demoCommand},
        {.name = u"check"_s,
         .synopsis = u"check [FILE]"_s,
         .help = u"controlla l'integrità e lo schema della rubrica"_s,
         .run = checkCommand},
        {.name = u"upgrade"_s,
         .synopsis = u"upgrade [FILE]"_s,
         .help = u"sostituisce gli indici di una rubrica fatta prima\n"
                 u"dell'ordine italiano (accenti e maiuscole non contano)"_s,
         .run = upgradeCommand},
        {.name = u"import"_s,
         .synopsis = u"import VECCHIO.mdb [FILE] [--table NOME] [--skip-extra-columns] [--force]"_s,
         .help = u"converte una rubrica di Access (Jet 3, Jet 4, ACCDB dove\n"
                 u"la libreria può) in una nuova rubrica di Vinzal; se VECCHIO\n"
                 u"è \"Vinzal.mdb\" nella cartella corrente e FILE non è indicato,\n"
                 u"il file di Access è conservato con un altro nome e la nuova\n"
                 u"rubrica prende il nome \"Vinzal.mdb\""_s,
         .options = {u"force"_s, u"table=NOME"_s, u"skip-extra-columns"_s},
         .files = 2,
         .needsFile = true,
         .run = importAccess},
        {.name = u"import"_s,
         .format = u"csv"_s,
         .synopsis =
             u"import --csv DATI [FILE] [--keep-duplicates] [--encoding CODIFICA] [--map \"COLONNA=CAMPO,...\"]"_s,
         .help = u"aggiunge i contatti di un file CSV (separatore , ; o\n"
                 u"tabulazione); le esportazioni dei programmi di posta e delle\n"
                 u"rubriche web sono riconosciute dall'intestazione; la codifica\n"
                 u"(UTF-8 o Windows-1252) è riconosciuta se non è indicata;\n"
                 u"--map assegna a mano una colonna a un campo"_s,
         .options = {u"keep-duplicates"_s, u"encoding=CODIFICA"_s, u"map=COLONNE"_s},
         .files = 2,
         .needsFile = true,
         .run = importData},
        {.name = u"import"_s,
         .format = u"vcard"_s,
         .synopsis = u"import --vcard DATI [FILE] [--keep-duplicates]"_s,
         .help = u"aggiunge i contatti di un file vCard (2.1, 3.0, 4.0)\n"
                 u"(in una rubrica esistente con nuovi ID, in una transazione,\n"
                 u"saltando quelli già presenti con tutti gli undici campi\n"
                 u"uguali, a meno di --keep-duplicates; se FILE non esiste\n"
                 u"viene creato con gli ID dei dati, da 1 a 2147483647)"_s,
         .options = {u"keep-duplicates"_s},
         .files = 2,
         .needsFile = true,
         .run = importData},
        {.name = u"import"_s, .format = u"pdf"_s, .refusal = u"import non legge i file PDF"_s},
        {.name = u"import"_s,
         .format = u"xlsx"_s,
         .refusal = u"import non legge i file .xlsx: esportarli in CSV dal foglio di calcolo"_s},
        {.name = u"export"_s,
         .format = u"csv"_s,
         .synopsis = u"export --csv DATI [FILE] [--spreadsheet] [--force]"_s,
         .help = u"scrive i contatti in CSV (RFC 4180, UTF-8); con\n"
                 u"--spreadsheet come lo aprono i fogli di calcolo italiani\n"
                 u"(separatore ; e UTF-8 con BOM)"_s,
         .options = {u"force"_s, u"spreadsheet"_s},
         .files = 2,
         .needsFile = true,
         .run = exportBook},
        {.name = u"export"_s,
         .format = u"vcard"_s,
         .synopsis = u"export --vcard DATI [FILE] [--vcard-version 4.0] [--force]"_s,
         .help = u"scrive i contatti in vCard 3.0 (o 4.0); in CSV e vCard\n"
                 u"DATI «-» è l'uscita standard"_s,
         .options = {u"force"_s, u"vcard-version=VERSIONE"_s},
         .files = 2,
         .needsFile = true,
         .run = exportBook},
        {.name = u"export"_s,
         .format = u"xlsx"_s,
         .synopsis = u"export --xlsx DATI [FILE] [--force]"_s,
         .help = u"scrive i contatti in un foglio di calcolo .xlsx"_s,
         .options = {u"force"_s},
         .files = 2,
         .needsFile = true,
         .run = exportBook},
        {.name = u"export"_s,
         .format = u"pdf"_s,
         .synopsis = u"export --pdf DATI [FILE] [--etichette FORMATO] [--force]"_s,
         .help = u"scrive l'elenco dei contatti in un PDF da stampare; con\n"
                 u"--etichette le etichette degli indirizzi su fogli A4\n"
                 u"(FORMATO colonne x righe: 3x8 da 70 x 37 mm, 2x7 da\n"
                 u"105 x 42,3 mm)"_s,
         .options = {u"force"_s, u"etichette=FORMATO"_s},
         .files = 2,
         .needsFile = true,
         .draws = true,
         .run = exportPdf},
        // Without a format, export is refused once its files are known.
        {.name = u"export"_s,
         .options = {u"force"_s},
         .files = 2,
         .needsFile = true,
         .run =
             [](const Arguments&) {
                 return badUsage(u"export vuole --csv, --vcard, --xlsx oppure --pdf"_s);
             }},
        {.name = u"copy"_s,
         .synopsis = u"copy ORIGINE DESTINAZIONE [--force]"_s,
         .help = u"copia tutti i contatti, con i loro ID, da una rubrica\n"
                 u"(file o server) a un'altra, in una transazione; una\n"
                 u"destinazione che contiene già contatti è sostituita\n"
                 u"solo con --force"_s,
         .options = {u"force"_s},
         .files = 2,
         .needsFile = true,
         .run = copyCommand},
        {.name = u"duplicates"_s,
         .synopsis = u"duplicates [FILE] [--csv]"_s,
         .help = u"elenca i gruppi di probabili doppioni, con gli ID, i nomi\n"
                 u"e i motivi: stesso nome (maiuscole, accenti, spazi e\n"
                 u"punteggiatura non contano), stesso numero di telefono\n"
                 u"(solo le cifre, senza +39 o 0039, il numero intero) in uno\n"
                 u"qualsiasi dei quattro campi, stessa e-mail; con --csv una\n"
                 u"riga per contatto: gruppo, ID, nome, motivi"_s,
         .options = {u"csv"_s},
         .run = duplicatesCommand},
        {.name = u"merge"_s,
         .synopsis = u"merge FILE ID ID... [--force]"_s,
         .help = u"unisce i contatti nel contatto con l'ID più basso: di ogni\n"
                 u"campo resta il valore non vuoto (fra due diversi il più\n"
                 u"lungo), le osservazioni di tutti sono unite; gli altri\n"
                 u"contatti sono eliminati, in una transazione, e conservati\n"
                 u"per poter annullare l'unione. Senza --force i contatti\n"
                 u"devono essere probabili doppioni fra loro"_s,
         .options = {u"force"_s},
         .takesIds = true,
         .run = mergeCommand},
        {.name = u"unmerge"_s,
         .synopsis = u"unmerge FILE ID"_s,
         .help = u"annulla l'ultima unione del contatto ID: i contatti uniti\n"
                 u"tornano con i loro ID e i loro valori, byte per byte"_s,
         .takesIds = true,
         .run = unmergeCommand},
        {.name = u"sync"_s,
         .synopsis = u"sync [FILE] URL [--user NOME]"_s,
         .help = u"sincronizza la rubrica con una rubrica CardDAV (URL è il\n"
                 u"suo indirizzo o quello del server, dove le rubriche sono\n"
                 u"cercate); la password si legge da ~/.netrc o si chiede;\n"
                 u"senza URL si usa la rubrica CardDAV dell'ultima volta"_s,
         .options = {u"user=NOME"_s},
         .files = 2,
         .run = syncCommand},
        // help takes nothing at all: anything given with it is refused before any other check.
        {.name = u"help"_s,
         .synopsis = u"help"_s,
         .help = u"mostra questo aiuto"_s,
         .files = 0,
         .run = helpCommand},
    };
    return table;
}

QString usage()
{
    // The right column of the list of commands; a synopsis too long for the left one has it alone.
    constexpr qsizetype column = 39;
    QString listed;
    for (const Command& command : commands()) {
        if (command.synopsis.isEmpty())
            continue;
        QString left = u"  "_s + command.synopsis;
        left = left.size() + 2 <= column ? left.leftJustified(column) : left + u'\n' + QString(column, u' ');
        listed += left + QString(command.help).replace(u"\n"_s, u"\n"_s + QString(column, u' ')) + u'\n';
    }
    return uR"(Uso: vinzal-db COMANDO [OPZIONI] [FILE]

Crea, riempie e controlla le rubriche di Vinzal. FILE è "Vinzal.mdb" nella cartella corrente
quando non è indicato. Al posto di un file si può indicare una rubrica su un server PostgreSQL,
con un indirizzo "postgresql://server/base?sslmode=require" oppure "service=NOME" (la password
si legge da ~/.pgpass).

Comandi:
)"_s + listed +
           uR"(
Opzioni:
  --force      sostituisce un file esistente, ma solo dopo che il nuovo è stato scritto per
               intero sul disco; non sostituisce mai una cartella, un dispositivo, una FIFO o il
               file che viene letto
  -h, --help   mostra questo aiuto
  --version    mostra la versione

Un file il cui nome comincia con "-" va scritto dopo "--" (per esempio: vinzal-db check -- -a.mdb).
Stato di uscita: 0 riuscito, 1 non riuscito, 2 uso errato.
)"_s;
}

int helpCommand(const Arguments&)
{
    out() << usage();
    return Success;
}

// The form of `name` chosen by `format`, else its form without a format (whose options then judge
// the format's), else none.
const Command* formOf(const QString& name, const QString& format)
{
    const Command* plain = nullptr;
    for (const Command& command : commands()) {
        if (command.name == name && command.format == format)
            return &command;
        if (command.name == name && command.format.isEmpty())
            plain = &command;
    }
    return plain;
}

QString optionName(const QString& option)
{
    return option.section(u'=', 0, 0);
}

int run(int argc, char* argv[])
{
    // Only the commands that draw need Qt's drawing, and never a display.
    bool drawing = false;
    for (int i = 1; i < argc && std::string_view(argv[i]) != "--"; ++i)
        for (const Command& command : commands())
            drawing = drawing || (command.draws && (QLatin1StringView(argv[i]) == u"--"_s + command.format ||
                                                    QLatin1StringView(argv[i]) == u"-"_s + command.format));
    const auto application = printing::makeApplication(argc, argv, drawing);
    QCoreApplication& app = *application;
    QCoreApplication::setApplicationName(u"vinzal-db"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(VINZAL_VERSION));
    safefile::removeTemporariesOnInterrupt();

    QCommandLineParser parser;
    // "-rows" is an option named "rows", not -r -o -w -s; a file name starting with '-' comes after "--".
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption({{u"h"_s, u"help"_s}, {}});
    parser.addOption({u"version"_s, {}});
    QStringList formats, known;
    for (const Command& command : commands()) {
        if (!command.format.isEmpty() && !formats.contains(command.format))
            formats.append(command.format);
        for (const QString& option : command.options + QStringList{command.format}) {
            if (option.isEmpty() || known.contains(optionName(option)))
                continue;
            known.append(optionName(option));
            parser.addOption({optionName(option), {}, option.section(u'=', 1)});
        }
    }
    if (!parser.parse(app.arguments())) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            // Shown as it was typed ("-a.mdb", "--frobnicate").
            QString typed = u"--"_s + unknown.first();
            for (const QString& word : app.arguments().mid(1))
                if (word.startsWith(u'-') &&
                    word.mid(word.startsWith(u"--"_s) ? 2 : 1).section(u'=', 0, 0) == unknown.first())
                    typed = word;
            return badUsage(u"opzione sconosciuta «"_s + typed +
                            u"». Un file il cui nome comincia con «-» va scritto dopo «--»."_s);
        }
        // Qt words these two in English; the option's name is between quotes.
        const QString text = parser.errorText();
        const QString option = QRegularExpression(u"'([^']*)'"_s).match(text).captured(1);
        if (text.startsWith(u"Missing value"_s))
            return badUsage(u"l'opzione «"_s + option + u"» vuole un valore"_s);
        if (text.startsWith(u"Unexpected value"_s))
            return badUsage(u"l'opzione «"_s + option + u"» non vuole un valore"_s);
        return badUsage(u"riga di comando non valida"_s);
    }
    if (parser.isSet(u"help"_s)) {
        out() << usage();
        return Success;
    }
    if (parser.isSet(u"version"_s)) {
        out() << "vinzal-db " << QCoreApplication::applicationVersion() << "\n";
        return Success;
    }

    QStringList words = parser.positionalArguments();
    if (words.isEmpty())
        return badUsage(u"manca il comando"_s);
    Arguments args;
    args.command = words.takeFirst();
    const QString& name = args.command;
    const Command* plain = formOf(name, {});
    if (!plain)
        return badUsage(u"comando sconosciuto «"_s + name + u"»"_s);
    if (plain->files == 0 && (!words.isEmpty() || !parser.optionNames().isEmpty()))
        return badUsage(name + u" non vuole altri argomenti"_s);

    QStringList given;
    for (const QString& format : std::as_const(formats))
        if (parser.isSet(format))
            given.append(format);
    if (given.size() > 1)
        return badUsage(u"indicare un solo formato tra --csv, --vcard, --xlsx e --pdf"_s);
    args.format = given.value(0);
    const Command& command = *formOf(name, args.format);
    if (!command.refusal.isEmpty())
        return badUsage(command.refusal);

    // Every option given must belong to the command; each at most once.
    QStringList allowed{command.format};
    for (const QString& option : command.options)
        allowed.append(optionName(option));
    QStringList seen;
    for (QString option : parser.optionNames()) {
        if (option == u"h"_s)
            option = u"help"_s;
        if (!allowed.contains(option))
            return badUsage(u"l'opzione «--"_s + option + u"» non vale per «"_s +
                            (args.format.isEmpty() ? name : name + u" --"_s + args.format) + u"»"_s);
        if (seen.contains(option))
            return badUsage(u"l'opzione «--"_s + option + u"» è indicata più di una volta"_s);
        seen.append(option);
    }

    args.force = parser.isSet(u"force"_s);
    args.spreadsheet = parser.isSet(u"spreadsheet"_s);
    args.skipExtraColumns = parser.isSet(u"skip-extra-columns"_s);
    args.keepDuplicates = parser.isSet(u"keep-duplicates"_s);
    if (parser.isSet(u"table"_s))
        args.table = parser.value(u"table"_s);
    args.encoding = parser.value(u"encoding"_s);
    args.labels = parser.value(u"etichette"_s);
    args.map = parser.value(u"map"_s);
    args.user = parser.value(u"user"_s);
    if (parser.isSet(u"vcard-version"_s)) {
        args.vcardVersion = parser.value(u"vcard-version"_s);
        if (args.vcardVersion != u"3.0"_s && args.vcardVersion != u"4.0"_s)
            return badUsage(u"--vcard-version vuole 3.0 oppure 4.0"_s);
    }
    if (parser.isSet(u"duplicates"_s)) {
        QString text = parser.value(u"duplicates"_s).trimmed();
        if (text.endsWith(u'%'))
            text.chop(1);
        bool ok = false;
        args.duplicatesPercent = text.replace(u',', u'.').toDouble(&ok);
        if (!ok || args.duplicatesPercent < 0 || args.duplicatesPercent > 50)
            return badUsage(u"--duplicates vuole una percentuale da 0% a 50% (per esempio 1%)"_s);
    }
    for (const QString& option : {u"rows"_s, u"seed"_s}) {
        if (!parser.isSet(option))
            continue;
        bool ok = false;
        const qlonglong number = parser.value(option).toLongLong(&ok);
        if (!ok || number < 0)
            return badUsage(u"--"_s + option + u" vuole un numero intero non negativo"_s);
        if (option == u"rows"_s)
            args.rows = number;
        else
            args.seed = quint64(number);
    }

    if (command.takesIds) {
        if (words.isEmpty())
            return badUsage(name + u" vuole la rubrica e gli ID dei contatti"_s);
        args.more = words.mid(1);
        words = words.mid(0, 1);
    }
    if (words.size() > command.files)
        return badUsage(command.files == 1 ? name + u" vuole un solo file"_s
                                           : u"troppi argomenti: «"_s + words.at(command.files) + u"»"_s);
    if (!words.isEmpty()) {
        args.file = words.at(0);
        args.haveFile = true;
    }
    if (words.size() > 1) {
        args.second = words.at(1);
        args.haveSecond = true;
    }
    for (const QString& word : std::as_const(words))
        if (word.isEmpty())
            return badUsage(u"un nome di file è vuoto"_s);
    if (command.needsFile && !args.haveFile)
        return badUsage(name + u" vuole il nome del file da leggere o da scrivere"_s);
    return command.run(args);
}

} // namespace

int main(int argc, char* argv[])
{
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        // Unwound to here, every pending file has removed its temporary file; the targets are as
        // they were.
        err() << "vinzal-db: la memoria non basta per questa operazione. Non è stato scritto nulla.\n";
        return Failure;
    }
}
