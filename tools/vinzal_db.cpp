// vinzal-db: makes, fills and checks address books. The program itself never creates a file or
// touches its schema; everything of that kind happens here.
#include "access_import.h"
#include "book_io.h"
#include "contact_table.h"
#include "csv.h"
#include "demo_data.h"
#include "schema.h"
#include "vcard.h"

#include <QDateTime>
#include <QDir>
#include <QSaveFile>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTextStream>

#include <optional>

using namespace Qt::StringLiterals;

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

const QString usage = uR"(Uso: vinzal-db COMANDO [OPZIONI] [FILE]

Crea, riempie e controlla le rubriche di Vinzal. FILE è "Vinzal.mdb" nella cartella corrente
quando non è indicato.

Comandi:
  create [FILE] [--force]              crea una rubrica vuota
  demo [FILE] [--rows N] [--seed S] [--force]
                                       crea una rubrica dimostrativa con N contatti italiani
                                       realistici (1000 se N non è indicato); lo stesso seme dà
                                       sempre gli stessi contatti
  check [FILE]                         controlla l'integrità e lo schema della rubrica
  upgrade [FILE]                       sostituisce gli indici di una rubrica fatta prima
                                       dell'ordine italiano (accenti e maiuscole non contano)
  import VECCHIO.mdb [FILE] [--table NOME] [--skip-extra-columns]
                                       converte una rubrica di Access (Jet 3, Jet 4, ACCDB dove
                                       la libreria può) in una nuova rubrica di Vinzal; se VECCHIO
                                       è "Vinzal.mdb" nella cartella corrente e FILE non è indicato,
                                       il file di Access è conservato con un altro nome e la nuova
                                       rubrica prende il nome "Vinzal.mdb"
  import --csv DATI [FILE]             aggiunge i contatti di un file CSV (separatore , o ;)
  import --vcard DATI [FILE]           aggiunge i contatti di un file vCard (2.1, 3.0, 4.0)
                                       (in una rubrica esistente con nuovi ID, in una transazione;
                                       se FILE non esiste viene creato con gli ID dei dati)
  export --csv DATI [FILE] [--spreadsheet]
                                       scrive i contatti in CSV (RFC 4180, UTF-8); con
                                       --spreadsheet come lo aprono i fogli di calcolo italiani
                                       (separatore ; e UTF-8 con BOM)
  export --vcard DATI [FILE] [--vcard-version 4.0]
                                       scrive i contatti in vCard 3.0 (o 4.0)
  help                                 mostra questo aiuto

Opzioni:
  --force      sostituisce un file esistente (altrimenti non viene mai sovrascritto); per
               import e export vale per il file che viene scritto
  -h, --help   mostra questo aiuto

Stato di uscita: 0 riuscito, 1 non riuscito, 2 uso errato.
)"_s;

QString seconds(const QElapsedTimer& timer)
{
    return QString::number(double(timer.elapsed()) / 1000.0, 'f', 2);
}

int badUsage(const QString& message)
{
    err() << "vinzal-db: " << message << "\n"
          << "Provare «vinzal-db --help».\n";
    err().flush();
    return BadUsage;
}

struct Arguments
{
    QString file = vinzal::contacts::fileName();
    QString second; // the second file name, where a command takes two
    bool haveFile = false, haveSecond = false;
    bool force = false;
    qint64 rows = 1000;
    quint64 seed = 2008;
    QString table = vinzal::contacts::tableName();
    QString format; // "csv" or "vcard" for import and export
    QString vcardVersion = u"3.0"_s;
    bool spreadsheet = false;
    bool skipExtraColumns = false;
};

// Parses the words after the command; `allowed` lists the options the command takes.
std::optional<Arguments> parse(const QStringList& words, const QStringList& allowed, QString& problem)
{
    Arguments args;
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QString& word = words.at(i);
        if (word.startsWith(u"--"_s) && !allowed.contains(word)) {
            problem = u"opzione sconosciuta «"_s + word + u"»"_s;
            return std::nullopt;
        }
        if (word == u"--force"_s) {
            args.force = true;
        } else if (word == u"--csv"_s || word == u"--vcard"_s) {
            if (!args.format.isEmpty()) {
                problem = u"indicare --csv oppure --vcard, non entrambi"_s;
                return std::nullopt;
            }
            args.format = word.mid(2);
        } else if (word == u"--spreadsheet"_s) {
            args.spreadsheet = true;
        } else if (word == u"--skip-extra-columns"_s) {
            args.skipExtraColumns = true;
        } else if (word == u"--table"_s || word == u"--vcard-version"_s) {
            if (i + 1 >= words.size()) {
                problem = word + u" vuole un valore"_s;
                return std::nullopt;
            }
            (word == u"--table"_s ? args.table : args.vcardVersion) = words.at(++i);
            if (word == u"--vcard-version"_s && args.vcardVersion != u"3.0"_s &&
                args.vcardVersion != u"4.0"_s) {
                problem = u"--vcard-version vuole 3.0 oppure 4.0"_s;
                return std::nullopt;
            }
        } else if (word == u"--rows"_s || word == u"--seed"_s) {
            bool ok = false;
            const QString value = i + 1 < words.size() ? words.at(++i) : QString();
            const qlonglong number = value.toLongLong(&ok);
            if (!ok || number < 0) {
                problem = word + u" vuole un numero intero non negativo"_s;
                return std::nullopt;
            }
            if (word == u"--rows"_s)
                args.rows = number;
            else
                args.seed = quint64(number);
        } else if (!args.haveFile) {
            args.file = word;
            args.haveFile = true;
        } else if (!args.haveSecond) {
            args.second = word;
            args.haveSecond = true;
        } else {
            problem = u"troppi argomenti: «"_s + word + u"»"_s;
            return std::nullopt;
        }
    }
    return args;
}

int fail(const vinzal::StoreError& error)
{
    err() << "vinzal-db: " << error.fullText() << "\n";
    return Failure;
}

int create(const Arguments& args)
{
    if (vinzal::Status made = vinzal::schema::create(args.file, args.force); !made)
        return fail(made.error());
    out() << "Creata la rubrica vuota «" << args.file << "».\n";
    return Success;
}

int demo(const Arguments& args)
{
    QElapsedTimer timer;
    timer.start();
    const auto fill = [&](QSqlDatabase& db) { return vinzal::demo::fill(db, args.rows, args.seed); };
    if (vinzal::Status made = vinzal::schema::create(args.file, args.force, fill); !made)
        return fail(made.error());
    out() << "Creata la rubrica dimostrativa «" << args.file << "» con " << args.rows << " contatti in "
          << seconds(timer) << " s.\n";
    return Success;
}

int check(const Arguments& args)
{
    const QStringList problems = vinzal::schema::check(args.file);
    if (problems.isEmpty()) {
        out() << "La rubrica «" << args.file << "» è integra e ha lo schema di Vinzal.\n";
        if (vinzal::schema::needsUpgrade(args.file))
            out() << "È da aggiornare: i suoi indici non seguono ancora l'ordine italiano (accenti e "
                     "maiuscole non contano). Eseguire «vinzal-db upgrade "
                  << args.file << "».\n";
        return Success;
    }
    err() << "La rubrica «" << args.file << "» ha " << problems.size()
          << (problems.size() == 1 ? " problema:\n" : " problemi:\n");
    for (const QString& problem : problems)
        err() << "  - " << problem << "\n";
    return Failure;
}

int upgrade(const Arguments& args)
{
    QElapsedTimer timer;
    timer.start();
    const vinzal::Result<int> replaced = vinzal::schema::upgrade(args.file);
    if (!replaced)
        return fail(replaced.error());
    if (replaced.value() == 0)
        out() << "La rubrica «" << args.file << "» è già aggiornata.\n";
    else
        out() << "Aggiornata la rubrica «" << args.file << "»: " << replaced.value()
              << " indici sostituiti in " << seconds(timer) << " s.\n";
    return Success;
}

// Writes `bytes` to `path` whole or not at all, never over an existing file unless forced.
int writeFile(const QString& path, const QByteArray& bytes, bool force)
{
    if (QFileInfo::exists(path) && !force) {
        err() << "vinzal-db: il file «" << path << "» esiste già e non viene sovrascritto (usare --force).\n";
        return Failure;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        err() << "vinzal-db: il file «" << path << "» non può essere scritto: " << file.errorString() << "\n";
        return Failure;
    }
    return Success;
}

int exportBook(const Arguments& args)
{
    // export --csv DATA [BOOK]: the data file is the first name, the address book the second.
    const QString data = args.file;
    const QString bookPath = args.haveSecond ? args.second : vinzal::contacts::fileName();
    QElapsedTimer timer;
    timer.start();
    auto records = vinzal::book::readAll(bookPath);
    if (!records)
        return fail(records.error());
    const QByteArray bytes =
        args.format == u"csv"_s
            ? vinzal::csv::write(records.value(), {args.spreadsheet ? u';' : u',', args.spreadsheet})
            : vinzal::vcard::write(records.value(), args.vcardVersion);
    if (int written = writeFile(data, bytes, args.force); written != Success)
        return written;
    out() << "Esportati " << records.value().size() << " contatti in «" << data << "» in " << seconds(timer)
          << " s.\n";
    return Success;
}

int importData(const Arguments& args)
{
    const QString data = args.file;
    const QString bookPath = args.haveSecond ? args.second : vinzal::contacts::fileName();
    QElapsedTimer timer;
    timer.start();
    QFile file(data);
    if (!file.open(QIODevice::ReadOnly)) {
        err() << "vinzal-db: il file «" << data << "» non può essere letto: " << file.errorString() << "\n";
        return Failure;
    }
    const QByteArray bytes = file.readAll();
    QList<QList<QVariant>> records;
    QStringList errors;
    if (args.format == u"csv"_s) {
        auto read = vinzal::csv::read(bytes);
        records = std::move(read.records);
        errors = std::move(read.errors);
    } else {
        auto read = vinzal::vcard::read(bytes);
        records = std::move(read.records);
        errors = std::move(read.errors);
    }
    if (!errors.isEmpty()) {
        err() << "vinzal-db: «" << data << "» non è stato importato, la rubrica non è cambiata:\n";
        for (const QString& error : std::as_const(errors))
            err() << "  - " << error << "\n";
        return Failure;
    }
    const bool existed = QFileInfo::exists(bookPath);
    if (vinzal::Status appended = vinzal::book::append(bookPath, records); !appended)
        return fail(appended.error());
    out() << (existed ? "Aggiunti " : "Creata la rubrica con ") << records.size() << " contatti "
          << (existed ? "alla rubrica «" : "«") << bookPath << "» in " << seconds(timer) << " s.\n";
    return Success;
}

int importAccess(const Arguments& args)
{
    const QString old = args.file;
    const QFileInfo oldInfo(old);
    const bool inPlace = !args.haveSecond && oldInfo.fileName() == vinzal::contacts::fileName() &&
                         oldInfo.absoluteDir() == QDir::current();
    const QString target = args.haveSecond ? args.second : vinzal::contacts::fileName();
    if (!inPlace && QFileInfo::exists(target) && !args.force) {
        err() << "vinzal-db: il file «" << target
              << "» esiste già e non viene sovrascritto (usare --force).\n";
        return Failure;
    }
    QElapsedTimer timer;
    timer.start();
    // In place, the new book is made beside the old one and takes its name only when complete.
    const QString staging =
        inPlace ? u".Vinzal-importazione-%1.mdb"_s.arg(QCoreApplication::applicationPid()) : target;
    if (!inPlace && args.force)
        QFile::remove(target);
    vinzal::access::Options options;
    options.table = args.table;
    options.skipExtraColumns = args.skipExtraColumns;
    QStringList notes;
    auto imported = vinzal::access::importFile(old, staging, options, notes);
    for (const QString& note : std::as_const(notes))
        err() << "vinzal-db: " << note << "\n";
    if (!imported)
        return fail(imported.error());
    if (inPlace) {
        QString kept =
            u"Vinzal-access-%1.mdb"_s.arg(QDateTime::currentDateTime().toString(u"yyyyMMdd-HHmmss"_s));
        for (int n = 2; QFileInfo::exists(kept); ++n)
            kept =
                u"Vinzal-access-%1-%2.mdb"_s.arg(QDateTime::currentDateTime().toString(u"yyyyMMdd-HHmmss"_s))
                    .arg(n);
        if (!QFile::rename(old, kept)) {
            QFile::remove(staging);
            err() << "vinzal-db: il file di Access non può essere rinominato; non è cambiato nulla.\n";
            return Failure;
        }
        if (!QFile::rename(staging, target)) {
            QFile::rename(kept, old);
            QFile::remove(staging);
            err() << "vinzal-db: la nuova rubrica non può prendere il nome «" << target
                  << "»; non è cambiato nulla.\n";
            return Failure;
        }
        out() << "Il file di Access è stato conservato come «" << kept << "».\n";
    }
    out() << "Importati " << imported.value() << " contatti da «" << old << "» in «" << target << "» in "
          << seconds(timer) << " s.\n";
    return Success;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList words = app.arguments().mid(1);
    if (words.isEmpty())
        return badUsage(u"manca il comando"_s);
    const QString command = words.takeFirst();
    if (command == u"help"_s || command == u"--help"_s || command == u"-h"_s || words.contains(u"--help"_s) ||
        words.contains(u"-h"_s)) {
        out() << usage;
        return Success;
    }
    QStringList allowed;
    if (command == u"create"_s)
        allowed = {u"--force"_s};
    else if (command == u"demo"_s)
        allowed = {u"--force"_s, u"--rows"_s, u"--seed"_s};
    else if (command == u"import"_s)
        allowed = {u"--force"_s, u"--csv"_s, u"--vcard"_s, u"--table"_s, u"--skip-extra-columns"_s};
    else if (command == u"export"_s)
        allowed = {u"--force"_s, u"--csv"_s, u"--vcard"_s, u"--spreadsheet"_s, u"--vcard-version"_s};
    else if (command != u"check"_s && command != u"upgrade"_s)
        return badUsage(u"comando sconosciuto «"_s + command + u"»"_s);

    QString problem;
    const std::optional<Arguments> args = parse(words, allowed, problem);
    if (!args)
        return badUsage(problem);
    if ((command == u"create"_s || command == u"demo"_s) && args->haveSecond)
        return badUsage(command + u" vuole un solo file"_s);
    if (command == u"create"_s)
        return create(*args);
    if (command == u"demo"_s)
        return demo(*args);
    if (command == u"check"_s) {
        if (args->haveSecond)
            return badUsage(u"check vuole un solo file"_s);
        return check(*args);
    }
    if (command == u"upgrade"_s) {
        if (args->haveSecond)
            return badUsage(u"upgrade vuole un solo file"_s);
        return upgrade(*args);
    }
    if (!args->haveFile)
        return badUsage(command + u" vuole il nome del file da leggere o da scrivere"_s);
    if (command == u"export"_s) {
        if (args->format.isEmpty())
            return badUsage(u"export vuole --csv oppure --vcard"_s);
        return exportBook(*args);
    }
    return args->format.isEmpty() ? importAccess(*args) : importData(*args);
}
