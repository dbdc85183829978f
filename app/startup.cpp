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

namespace {

// Whether this process may make files in `folder` (as the user it runs as, not as whoever started it).
bool writable(const QString& folder)
{
    return ::faccessat(AT_FDCWD, QFile::encodeName(folder).constData(), W_OK | X_OK, AT_EACCESS) == 0;
}

// Offers to convert the Access file at `path` and returns the book to open: `path`, or the new book
// when it was saved elsewhere. Every question a window user can answer is asked here, so that no
// message sends them to an option of the command line: which table holds the contacts when the file
// has no "Nomelia", and where the new book goes when the file's folder cannot be written.
QString offerConversion(const QString& path, const QString& importTool)
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
    Conversion conversion;
    if (!inPlace) {
        // Proposed beside the personal book, the one folder that is surely the user's.
        const QString folder = QFileInfo(personalBook()).absolutePath();
        {
            const PrivateFiles privateFiles;
            QDir().mkpath(folder);
        }
        conversion.target = dialogs.askSaveFile(nullptr, u"Salva la rubrica convertita"_s,
                                                folder + u'/' + info.completeBaseName() + u".mdb"_s,
                                                u"Rubriche di Vinzal (*.mdb)"_s);
        if (conversion.target.isEmpty())
            return path;
    }
    for (;;) {
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        const bool converted = convertAccessFile(path, importTool, conversion);
        QGuiApplication::restoreOverrideCursor();
        if (converted)
            break;
        if (conversion.cancelled)
            return path;
        if (!conversion.extraColumns.isEmpty()) {
            conversion.skipExtraColumns = dialogs.askYesNo(
                nullptr, QString(),
                u"La tabella del file "_s + shown(path) +
                    u" ha colonne che le rubriche di Vinzal non hanno: "_s + conversion.extraColumns +
                    u".\n\nConvertire i contatti senza queste colonne? I loro valori non saranno nella nuova "
                    u"rubrica; il file di Access non cambia."_s);
            if (!conversion.skipExtraColumns)
                return path;
            continue;
        }
        if (conversion.tables.isEmpty()) {
            dialogs.inform(nullptr, QString(),
                           u"La conversione del file "_s + shown(path) +
                               u" non è riuscita; il file non è stato cambiato.\n\n"_s + conversion.problem,
                           Dialogs::Icon::Critical);
            return path;
        }
        conversion.table =
            dialogs.askItem(nullptr, QString(),
                            u"Il file "_s + shown(path) + u" non ha la tabella «"_s + contacts::tableName() +
                                u"» delle rubriche di Vinzal. Quale tabella contiene i "
                                u"contatti da convertire?"_s,
                            conversion.tables);
        if (conversion.table.isEmpty())
            return path;
    }
    dialogs.inform(
        nullptr, QString(),
        conversion.target.isEmpty()
            ? u"Il file "_s + shown(path) +
                  u" è stato convertito ed è ora una rubrica di Vinzal.\nIl file di Access originale "
                  u"è conservato come "_s +
                  shown(conversion.kept) + u"."_s
            : u"Il file "_s + shown(path) + u" è stato convertito nella nuova rubrica "_s +
                  shown(conversion.target) + u", che Vinzal apre ora.\nIl file di Access è rimasto com'è."_s,
        Dialogs::Icon::Information);
    return conversion.target.isEmpty() ? path : conversion.target;
}

// The import names the tables of a file that lacks the one asked for: "Tabelle presenti: «A», «B».".
QStringList tablesNamedIn(const QString& said)
{
    const QString before = u"Tabelle presenti: «"_s, after = u"». "_s;
    const qsizetype from = said.indexOf(before);
    const qsizetype to = from < 0 ? -1 : said.indexOf(after, from);
    if (to < 0)
        return {};
    return said.mid(from + before.size(), to - from - before.size()).split(u"», «"_s);
}

// The import names the columns a table has and the address book lacks: "…non ha: «A», «B». Per
// importare senza di esse usare --skip-extra-columns.".
QString extraColumnsNamedIn(const QString& said)
{
    const QString before = u"colonne che la rubrica di Vinzal non ha: "_s, after = u". Per importare"_s;
    const qsizetype from = said.indexOf(before);
    const qsizetype to = from < 0 ? -1 : said.indexOf(after, from);
    return to < 0 ? QString() : said.mid(from + before.size(), to - from - before.size());
}

} // namespace

QString prepareBook(const CommandLine& line, const QString& importTool)
{
    if (line.book.isEmpty() && !line.personal)
        return contacts::fileName(); // as it always was: the working directory's, never created
    const QString path = line.book.isEmpty() ? personalBook() : line.book;
    const QFileInfo info(path);
    if (line.book.isEmpty() && !info.exists() && !info.isSymLink())
        makePersonalBook(path);
    else if (probeFile(path) == FileKind::Access)
        return offerConversion(path, importTool);
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

bool convertAccessFile(const QString& path, const QString& importTool, Conversion& conversion)
{
    conversion.kept.clear();
    conversion.problem.clear();
    conversion.tables.clear();
    conversion.extraColumns.clear();
    if (importTool.isEmpty()) {
        conversion.problem =
            u"Il programma di conversione «vinzal-db» non è stato trovato nella cartella di Vinzal "_s +
            shown(QCoreApplication::applicationDirPath()) + u". Reinstallare Vinzal."_s;
        return false;
    }
    const QFileInfo info(path);
    const QDir folder = info.absoluteDir();
    const QString original = info.absoluteFilePath();
    const bool inPlace = conversion.target.isEmpty();
    // In place, the new book is written beside the old file under a name of its own and takes the
    // old name only once it is complete: a failed or interrupted import leaves the old file as it
    // was. Elsewhere vinzal-db itself writes it so; an existing file there is one the user chose to
    // replace.
    const QString staging = inPlace
                                ? unusedName(folder,
                                             u"."_s + info.completeBaseName() +
                                                 u"-conversione-%1"_s.arg(QCoreApplication::applicationPid()),
                                             u".mdb"_s)
                                : QFileInfo(conversion.target).absoluteFilePath();
    QStringList arguments{u"import"_s, original, staging};
    if (!conversion.table.isEmpty())
        arguments << u"--table"_s << conversion.table;
    if (conversion.skipExtraColumns)
        arguments << u"--skip-extra-columns"_s;
    if (!inPlace && QFileInfo::exists(staging))
        arguments << u"--force"_s;

    QProcess import;
    import.setWorkingDirectory(QFileInfo(staging).absolutePath());
    import.start(importTool, arguments);
    if (!import.waitForStarted(-1)) {
        conversion.problem = u"Il programma di conversione "_s + shown(importTool) +
                             u" non si è avviato: "_s + import.errorString();
        return false;
    }
    // A conversion of a large file takes a while: the progress dialog keeps the window painted and
    // can stop it. vinzal-db, interrupted, leaves no file behind and the old one as it was.
    {
        auto progress = Dialogs::instance().startProgress(
            nullptr, QString(), u"Conversione di "_s + shown(path) + u" in una rubrica di Vinzal…"_s);
        do {
            if (progress->advance(0, 0))
                continue;
            import.terminate();
            import.waitForFinished(-1);
            if (import.exitStatus() == QProcess::NormalExit && import.exitCode() == 0)
                break; // it had finished: the book is whole
            if (inPlace)
                QFile::remove(staging);
            conversion.cancelled = true;
            conversion.problem = u"Conversione annullata: il file non è stato cambiato."_s;
            return false;
        } while (!import.waitForFinished(100));
    }
    const QString said = QString::fromUtf8(import.readAllStandardError()).trimmed();
    if (import.exitStatus() != QProcess::NormalExit || import.exitCode() != 0) {
        if (inPlace)
            QFile::remove(staging);
        conversion.tables = tablesNamedIn(said);
        conversion.extraColumns = extraColumnsNamedIn(said);
        // Its advice for a file without tables names an option of the command line.
        if (said.contains(u"Tabelle presenti: nessuna"_s))
            conversion.problem = u"Il file non contiene alcuna tabella da convertire."_s;
        if (conversion.problem.isEmpty())
            conversion.problem =
                !said.isEmpty() ? said
                : import.exitStatus() != QProcess::NormalExit
                    ? u"Il programma di conversione si è interrotto in modo anomalo."_s
                    : u"Il programma di conversione è terminato con lo stato %1."_s.arg(import.exitCode());
        return false;
    }
    if (!QFileInfo(staging).isFile()) {
        conversion.problem = u"Il programma di conversione non ha scritto la nuova rubrica."_s;
        return false;
    }
    if (!inPlace)
        return true;

    // The new book takes the place of the Access file, and so its permissions: a file only its owner
    // could read stays so.
    struct stat old = {};
    if (::stat(QFile::encodeName(original).constData(), &old) == 0)
        ::chmod(QFile::encodeName(staging).constData(), old.st_mode & 07777);

    const QString stamp = QDateTime::currentDateTime().toString(u"yyyyMMdd-HHmmss"_s);
    const QString suffix = info.suffix().isEmpty() ? QString() : u"."_s + info.suffix();
    conversion.kept = unusedName(folder, info.completeBaseName() + u"-access-"_s + stamp, suffix);
    // A hard link gives the Access file its new name while it keeps the old one, and the rename puts
    // the new book in its place in one step: there is no moment without a file under the user's name.
    // Only where links cannot be made is the old file renamed first.
    const bool linked =
        ::link(QFile::encodeName(original).constData(), QFile::encodeName(conversion.kept).constData()) == 0;
    if (!linked && !QFile::rename(original, conversion.kept)) {
        QFile::remove(staging);
        conversion.problem =
            u"Il file di Access non può essere rinominato; controllare i permessi della cartella "_s +
            shown(folder.absolutePath()) + u"."_s;
        return false;
    }
    if (::rename(QFile::encodeName(staging).constData(), QFile::encodeName(original).constData()) != 0) {
        if (linked)
            QFile::remove(conversion.kept);
        else
            QFile::rename(conversion.kept, original);
        QFile::remove(staging);
        conversion.problem = u"La nuova rubrica non può prendere il nome "_s + shown(original) + u"."_s;
        return false;
    }
    return true;
}

} // namespace vinzal::startup
