#include "startup.h"

#include "connection.h"
#include "contact_table.h"
#include "dialogs.h"
#include "schema.h"

#include <QCoreApplication>
#include <QCursor>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QStandardPaths>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace vinzal::startup {

namespace {

QString shown(const QString& path)
{
    return u"«"_s + QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()) + u"»"_s;
}

// While it lives, files and folders are made for the user alone (0600, 0700), whatever the umask
// allows others; a stricter umask still holds.
class PrivateFiles
{
public:
    PrivateFiles() : m_previous(::umask(077)) { ::umask(m_previous | 077); }
    ~PrivateFiles() { ::umask(m_previous); }
    PrivateFiles(const PrivateFiles&) = delete;
    PrivateFiles& operator=(const PrivateFiles&) = delete;

private:
    mode_t m_previous;
};

void makePersonalBook(const QString& path)
{
    const QString folder = QFileInfo(path).absolutePath();
    // The personal book is one person's contacts: no other user of the machine may read it. The
    // folders made for it are 0700, as the XDG base-directory rules say, and the book 0600.
    bool folderMade = false;
    Status made;
    {
        const PrivateFiles privateFiles;
        folderMade = QDir().mkpath(folder);
        if (folderMade)
            made = schema::create(path);
    }
    if (!folderMade) {
        Dialogs::instance().inform(nullptr, QString(),
                                   u"Non è stato possibile creare la cartella "_s + shown(folder) +
                                       u" per la rubrica personale. Controllare che la cartella che la "
                                       u"contiene esista e che i suoi permessi consentano la scrittura."_s,
                                   Dialogs::Icon::Critical);
        return;
    }
    if (!made) {
        // The store words its errors for a window that holds typed values; here nothing was typed,
        // and the user needs to know which book could not be made and what to do.
        const StoreError& error = made.error();
        const QString why =
            error.kind == StoreError::Kind::DiskFull
                ? u"il disco è pieno. Liberare spazio e avviare di nuovo Vinzal."_s
            : error.kind == StoreError::Kind::ReadOnly
                ? u"il file o la sua cartella non possono essere scritti. Controllarne i permessi e avviare "
                  u"di nuovo Vinzal."_s
                : u"si è verificato un errore. Avviare di nuovo Vinzal; se l'errore si ripete controllare "
                  u"il disco."_s;
        Dialogs::instance().inform(nullptr, QString(),
                                   u"Non è stato possibile creare la rubrica personale "_s + shown(path) +
                                       u": "_s + why + u" Non è stato scritto nulla."_s +
                                       (error.detail.isEmpty()
                                            ? QString()
                                            : u"\n\nMessaggio dell'archivio: «"_s + error.detail + u"»"_s),
                                   Dialogs::Icon::Critical);
        return;
    }
    const QString quoted = u"\""_s + QDir::toNativeSeparators(path) + u"\""_s;
    Dialogs::instance().inform(
        nullptr, QString(),
        u"È stata creata la rubrica personale, per ora vuota:\n"_s + QDir::toNativeSeparators(path) +
            u"\n\nÈ qui che Vinzal conserva i contatti quando viene avviato dal menu. Per portarvi una "
            u"rubrica che già si possiede, chiudere Vinzal e dare in un terminale uno di questi comandi:\n\n"
            u"• una rubrica di Access (la rubrica personale, ancora vuota, viene sostituita):\n"
            u"   vinzal-db import --force VECCHIA.mdb "_s +
            quoted + u"\n\n• un file CSV:\n   vinzal-db import --csv rubrica.csv "_s + quoted +
            u"\n\n• un file vCard:\n   vinzal-db import --vcard contatti.vcf "_s + quoted +
            u"\n\nUn archivio di Access si può anche aprire direttamente con Vinzal dal gestore dei file: "
            u"Vinzal propone di convertirlo."_s,
        Dialogs::Icon::Information);
}

} // namespace

CommandLine parse(const QStringList& arguments)
{
    CommandLine line;
    bool optionsEnded = false;
    for (const QString& word : arguments) {
        if (!optionsEnded && word == u"--"_s) {
            optionsEnded = true;
        } else if (!optionsEnded && (word == u"--help"_s || word == u"-h"_s)) {
            line.action = CommandLine::Action::Help;
            return line;
        } else if (!optionsEnded && word == u"--version"_s) {
            line.action = CommandLine::Action::Version;
            return line;
        } else if (!optionsEnded && word == u"--personale"_s) {
            line.personal = true;
        } else if (!optionsEnded && word.startsWith(u'-') && word.size() > 1) {
            line.action = CommandLine::Action::BadUsage;
            line.problem = u"opzione sconosciuta «"_s + word + u"»"_s;
        } else if (line.book.isEmpty() && !word.isEmpty()) {
            line.book = word;
        } else {
            line.action = CommandLine::Action::BadUsage;
            line.problem = word.isEmpty() ? u"il nome della rubrica è vuoto"_s
                                          : u"si può aprire una sola rubrica alla volta"_s;
        }
    }
    return line;
}

QString usage()
{
    return uR"(Uso: vinzal [RUBRICA]
     vinzal --personale [RUBRICA]

Vinzal è una rubrica di indirizzi. Senza argomenti apre «Vinzal.mdb» nella cartella corrente, che
non viene mai creato: una rubrica nuova si fa con «vinzal-db create».

  RUBRICA       apre la rubrica indicata al posto di «Vinzal.mdb»; se è un archivio di Access
                propone di convertirlo. Può essere una rubrica su un server PostgreSQL:
                «postgresql://server/rubrica» oppure «service=ufficio» (password in ~/.pgpass)
  --personale   apre la rubrica personale, $XDG_DATA_HOME/vinzal/Vinzal.mdb
                (~/.local/share/vinzal/Vinzal.mdb), e la crea vuota al primo avvio;
                quando è indicata anche una RUBRICA, apre quella
  -h, --help    mostra questo aiuto
  --version     mostra la versione

Stato di uscita: 0 alla chiusura, 1 senza uno schermo grafico, 2 uso errato.
)"_s;
}

QString version()
{
    return u"vinzal " VINZAL_VERSION "\n"_s;
}

QString personalBook()
{
    // A relative XDG_DATA_HOME would put the personal book in whatever folder Vinzal was started
    // from, a different one each time; the XDG rules say to ignore it, and Qt does not.
    const QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    const QString folder = !dataHome.isEmpty() && QDir::isRelativePath(dataHome)
                               ? QDir::homePath() + u"/.local/share"_s
                               : QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return folder + u"/vinzal/"_s + contacts::fileName();
}

namespace {

// Whether this process may make files in `folder` (as the user it runs as, not as whoever started it).
bool writable(const QString& folder)
{
    return ::faccessat(AT_FDCWD, QFile::encodeName(folder).constData(), W_OK | X_OK, AT_EACCESS) == 0;
}

// What stopped a conversion, for the window's user: no message sends them to the command line.
QString whyNotConverted(const QString& path, const access::Conversion& conversion)
{
    using Problem = access::Conversion::Problem;
    const QString folder = shown(QFileInfo(path).absolutePath());
    switch (conversion.problem) {
    case Problem::SourceIsLink:
        return u"Il file è un collegamento simbolico: la nuova rubrica prenderebbe il posto del "
               u"collegamento. Aprire con Vinzal il file a cui rimanda."_s;
    case Problem::NoSuchTable:
        return u"Il file non contiene alcuna tabella da convertire."_s;
    case Problem::BadIds:
        return u"Alcune righe hanno un ID che una rubrica di Vinzal non può conservare:\n"_s +
               conversion.badIds.join(u"\n"_s);
    case Problem::Keeping:
        return u"Il file di Access non può essere rinominato; controllare i permessi della cartella "_s +
               folder + u"."_s;
    case Problem::Replacing:
        if (conversion.kept.isEmpty())
            break;
        return u"La nuova rubrica non può prendere il nome "_s + shown(path) + u": "_s +
               conversion.error.fullText();
    default:
        break;
    }
    return conversion.error.fullText();
}

// Offers to convert the Access file at `path` and returns the book to open: `path`, or the new book
// when it was saved elsewhere. Every question a window user can answer is asked here, so that no
// message sends them to an option of the command line: which table holds the contacts when the file
// has no "Nomelia", and where the new book goes when the file's folder cannot be written.
QString offerConversion(const QString& path)
{
    Dialogs& dialogs = Dialogs::instance();
    const QFileInfo info(path);
    const bool inPlace = writable(info.absolutePath());
    const QString question =
        u"Il file "_s + shown(path) +
        u" è un archivio di Access (formato Jet), che Vinzal non legge direttamente.\n\n"_s +
        (inPlace ? u"Vinzal può convertirlo in una rubrica con lo stesso nome, come fa il comando «vinzal-db "
                   u"import»; il file originale viene conservato nella stessa cartella con un altro nome."_s
                 : u"Vinzal può convertirlo in una nuova rubrica, come fa il comando «vinzal-db import». La "
                   u"cartella "_s +
                       shown(info.absolutePath()) +
                       u" non può essere scritta: la nuova rubrica va salvata in un'altra cartella, da "
                       u"scegliere, e il file originale resta com'è."_s) +
        u"\n\nConvertire ora?"_s;
    if (!dialogs.askYesNo(nullptr, QString(), question))
        return path;
    access::ConversionRequest request;
    request.source = path;
    if (!inPlace) {
        // Proposed beside the personal book, the one folder that is surely the user's.
        const QString folder = QFileInfo(personalBook()).absolutePath();
        {
            const PrivateFiles privateFiles;
            QDir().mkpath(folder);
        }
        request.target = dialogs.askSaveFile(nullptr, u"Salva la rubrica convertita"_s,
                                             folder + u'/' + info.completeBaseName() + u".mdb"_s,
                                             u"Rubriche di Vinzal (*.mdb)"_s);
        if (request.target.isEmpty())
            return path;
        // The save dialog has asked before replacing a file; the import never replaces the one read.
        request.force = true;
    }
    access::Conversion conversion;
    for (;;) {
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        conversion = convertAccessFile(request);
        QGuiApplication::restoreOverrideCursor();
        using Problem = access::Conversion::Problem;
        if (conversion.outcome == access::Conversion::Outcome::Converted)
            break;
        if (conversion.outcome == access::Conversion::Outcome::Cancelled)
            return path;
        if (conversion.problem == Problem::ExtraColumns) {
            request.options.skipExtraColumns = dialogs.askYesNo(
                nullptr, QString(),
                u"La tabella del file "_s + shown(path) +
                    u" ha colonne che le rubriche di Vinzal non hanno: "_s +
                    conversion.extraColumns.join(u", "_s) +
                    u".\n\nConvertire i contatti senza queste colonne? I loro valori non saranno nella nuova "
                    u"rubrica; il file di Access non cambia."_s);
            if (!request.options.skipExtraColumns)
                return path;
            continue;
        }
        if (conversion.problem != Problem::NoSuchTable || conversion.tables.isEmpty()) {
            dialogs.inform(nullptr, QString(),
                           u"La conversione del file "_s + shown(path) +
                               u" non è riuscita; il file non è stato cambiato.\n\n"_s +
                               whyNotConverted(path, conversion),
                           Dialogs::Icon::Critical);
            return path;
        }
        request.options.table =
            dialogs.askItem(nullptr, QString(),
                            u"Il file "_s + shown(path) + u" non ha la tabella «"_s + contacts::tableName() +
                                u"» delle rubriche di Vinzal. Quale tabella contiene i "
                                u"contatti da convertire?"_s,
                            conversion.tables);
        if (request.options.table.isEmpty())
            return path;
    }
    dialogs.inform(
        nullptr, QString(),
        request.target.isEmpty()
            ? u"Il file "_s + shown(path) +
                  u" è stato convertito ed è ora una rubrica di Vinzal.\nIl file di Access originale "
                  u"è conservato come "_s +
                  shown(conversion.kept) + u"."_s
            : u"Il file "_s + shown(path) + u" è stato convertito nella nuova rubrica "_s +
                  shown(request.target) + u", che Vinzal apre ora.\nIl file di Access è rimasto com'è."_s,
        Dialogs::Icon::Information);
    return request.target.isEmpty() ? path : request.target;
}

} // namespace

QString prepareBook(const CommandLine& line)
{
    if (line.book.isEmpty() && !line.personal)
        return contacts::fileName(); // as it always was: the working directory's, never created
    const QString path = line.book.isEmpty() ? personalBook() : line.book;
    const QFileInfo info(path);
    if (line.book.isEmpty() && !info.exists() && !info.isSymLink())
        makePersonalBook(path);
    else if (probeFile(path) == FileKind::Access)
        return offerConversion(path);
    return path;
}

access::Conversion convertAccessFile(const access::ConversionRequest& request)
{
    // A conversion of a large file takes a while: the progress dialog keeps the window painted and can
    // stop it. The worker asks it through this thread's event loop, so the dialog is only ever touched
    // here.
    auto progress = Dialogs::instance().startProgress(
        nullptr, QString(), u"Conversione di "_s + shown(request.source) + u" in una rubrica di Vinzal…"_s);
    access::Conversion conversion;
    QObject here;
    QEventLoop loop;
    std::unique_ptr<QThread> worker(QThread::create([&] {
        conversion = access::convert(request, [&](qint64 done, qint64 total) {
            bool carryOn = false;
            QMetaObject::invokeMethod(
                &here, [&] { return progress->advance(done, total); }, Qt::BlockingQueuedConnection,
                &carryOn);
            return carryOn;
        });
    }));
    QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    loop.exec();
    worker->wait();
    return conversion;
}

} // namespace vinzal::startup
