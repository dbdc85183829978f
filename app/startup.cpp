#include "startup.h"

#include "connection.h"
#include "contact_table.h"
#include "dialogs.h"
#include "schema.h"

#include <QCoreApplication>
#include <QCursor>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>

#include <sys/stat.h>

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

void offerConversion(const QString& path, const QString& importTool)
{
    const QString question =
        u"Il file "_s + shown(path) +
        u" è un archivio di Access (formato Jet), che Vinzal non legge direttamente.\n\nVinzal può "
        u"convertirlo in una rubrica con lo stesso nome, come fa il comando «vinzal-db import»; il file "
        u"originale viene conservato nella stessa cartella con un altro nome.\n\nConvertire ora?"_s;
    if (!Dialogs::instance().askYesNo(nullptr, QString(), question))
        return;
    QString kept, problem;
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    const bool converted = convertAccessFile(path, importTool, kept, problem);
    QGuiApplication::restoreOverrideCursor();
    if (converted)
        Dialogs::instance().inform(nullptr, QString(),
                                   u"Il file "_s + shown(path) +
                                       u" è stato convertito ed è ora una rubrica di Vinzal.\nIl file di "
                                       u"Access originale è conservato come "_s +
                                       shown(kept) + u"."_s,
                                   Dialogs::Icon::Information);
    else
        Dialogs::instance().inform(nullptr, QString(),
                                   u"La conversione del file "_s + shown(path) +
                                       u" non è riuscita; il file non è stato cambiato.\n\n"_s + problem,
                                   Dialogs::Icon::Critical);
}

QString unusedName(const QDir& folder, const QString& base, const QString& suffix)
{
    QString name = folder.filePath(base + suffix);
    for (int n = 2; QFileInfo(name).exists() || QFileInfo(name).isSymLink(); ++n)
        name = folder.filePath(u"%1-%2%3"_s.arg(base).arg(n).arg(suffix));
    return name;
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

QString prepareBook(const CommandLine& line, const QString& importTool)
{
    if (line.book.isEmpty() && !line.personal)
        return contacts::fileName(); // as it always was: the working directory's, never created
    const QString path = line.book.isEmpty() ? personalBook() : line.book;
    const QFileInfo info(path);
    if (line.book.isEmpty() && !info.exists() && !info.isSymLink())
        makePersonalBook(path);
    else if (probeFile(path) == FileKind::Access)
        offerConversion(path, importTool);
    return path;
}

QString findImportTool()
{
    const QString here = QCoreApplication::applicationDirPath();
    // Installed, both programs lie in one folder; in the build tree vinzal-db has its own.
    for (const QString& candidate : {here + u"/vinzal-db"_s, here + u"/../tools/vinzal-db"_s}) {
        const QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable())
            return info.canonicalFilePath();
    }
    return {};
}

bool convertAccessFile(const QString& path, const QString& importTool, QString& kept, QString& problem)
{
    if (importTool.isEmpty()) {
        problem = u"Il programma di conversione «vinzal-db» non è stato trovato nella cartella di Vinzal "_s +
                  shown(QCoreApplication::applicationDirPath()) + u". Reinstallare Vinzal."_s;
        return false;
    }
    const QFileInfo info(path);
    const QDir folder = info.absoluteDir();
    const QString original = info.absoluteFilePath();
    // The new book is written beside the old file under a name of its own and takes the old name
    // only once it is complete: a failed or interrupted import leaves the old file as it was.
    const QString staging = unusedName(folder,
                                       u"."_s + info.completeBaseName() +
                                           u"-conversione-%1"_s.arg(QCoreApplication::applicationPid()),
                                       u".mdb"_s);

    QProcess import;
    import.setWorkingDirectory(folder.absolutePath());
    import.start(importTool, {u"import"_s, original, staging});
    if (!import.waitForStarted(-1)) {
        problem = u"Il programma di conversione "_s + shown(importTool) + u" non si è avviato: "_s +
                  import.errorString();
        return false;
    }
    import.waitForFinished(-1);
    const QString said = QString::fromUtf8(import.readAllStandardError()).trimmed();
    if (import.exitStatus() != QProcess::NormalExit || import.exitCode() != 0) {
        QFile::remove(staging);
        problem = !said.isEmpty() ? said
                  : import.exitStatus() != QProcess::NormalExit
                      ? u"Il programma di conversione si è interrotto in modo anomalo."_s
                      : u"Il programma di conversione è terminato con lo stato %1."_s.arg(import.exitCode());
        return false;
    }
    if (!QFileInfo(staging).isFile()) {
        problem = u"Il programma di conversione non ha scritto la nuova rubrica."_s;
        return false;
    }

    // The new book takes the place of the Access file, and so its permissions: a file only its owner
    // could read stays so.
    struct stat old = {};
    if (::stat(QFile::encodeName(original).constData(), &old) == 0)
        ::chmod(QFile::encodeName(staging).constData(), old.st_mode & 07777);

    const QString stamp = QDateTime::currentDateTime().toString(u"yyyyMMdd-HHmmss"_s);
    const QString suffix = info.suffix().isEmpty() ? QString() : u"."_s + info.suffix();
    kept = unusedName(folder, info.completeBaseName() + u"-access-"_s + stamp, suffix);
    if (!QFile::rename(original, kept)) {
        QFile::remove(staging);
        problem = u"Il file di Access non può essere rinominato; controllare i permessi della cartella "_s +
                  shown(folder.absolutePath()) + u"."_s;
        return false;
    }
    if (!QFile::rename(staging, original)) {
        QFile::rename(kept, original);
        QFile::remove(staging);
        problem = u"La nuova rubrica non può prendere il nome "_s + shown(original) + u"."_s;
        return false;
    }
    return true;
}

} // namespace vinzal::startup
