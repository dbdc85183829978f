#include "safe_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QRandomGenerator>

#include <QDateTime>
#include <QHash>
#include <QRegularExpression>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

using namespace Qt::StringLiterals;

namespace vinzal::safefile {

namespace {

// The temporary files to remove if a signal ends the process. A signal handler may only use
// async-signal-safe calls, so the names are kept as fixed C strings and unlink(2) removes them.
constexpr int kSlots = 16;
char pendingNames[kSlots][4096];
volatile sig_atomic_t pendingUsed[kSlots];

int registerPending(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    if (name.size() >= qsizetype(sizeof pendingNames[0]))
        return -1;
    for (int i = 0; i < kSlots; ++i)
        if (!pendingUsed[i]) {
            std::memcpy(pendingNames[i], name.constData(), std::size_t(name.size()) + 1);
            pendingUsed[i] = 1;
            return i;
        }
    return -1;
}

void unregisterPending(int slot)
{
    if (slot >= 0)
        pendingUsed[slot] = 0;
}

// While a book is changed in place, a signal is only noted: the change is rolled back first.
volatile sig_atomic_t deferring = 0;
volatile sig_atomic_t deferredSignal = 0;

void removePendingAndRaise(int signal)
{
    for (int i = 0; i < kSlots; ++i)
        if (pendingUsed[i])
            ::unlink(pendingNames[i]);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

extern "C" void removePendingAndDie(int signal)
{
    if (deferring) {
        deferredSignal = signal;
        return;
    }
    removePendingAndRaise(signal);
}

QByteArray native(const QString& path)
{
    return QFile::encodeName(path);
}

StoreError error(StoreError::Kind kind, const QString& message)
{
    return StoreError{kind, message, {}};
}

QString quoted(const QString& path)
{
    return u"«"_s + path + u"»"_s;
}

QString whatItIs(mode_t mode)
{
    if (S_ISDIR(mode))
        return u"una cartella"_s;
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return u"un dispositivo"_s;
    if (S_ISFIFO(mode))
        return u"una FIFO (pipe con nome)"_s;
    if (S_ISSOCK(mode))
        return u"un socket"_s;
    return u"un file speciale"_s;
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Syncs a folder, so that a rename in it survives a power cut.
void syncFolder(const QString& folder)
{
    const int fd = ::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

int writeAll(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, std::size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO;
        data += n;
        size -= n;
    }
    return 0;
}

// A run killed outright (SIGKILL, a power cut) leaves its temporary files beside the target: ours,
// the one SQLite builds a book in (".part-PID") and their journals. Each run holds a lock on its own
// temporary file for as long as it lives, so one nobody holds belongs to nobody. The lock is on the
// file's inode, and a finished book is renamed over ours just before its commit: hence also the
// age, which a family still being written (or at that last moment) never has.
// A family holding one of `kept` (a file being read, or the target) is left alone whatever its name.
void removeLeftovers(const QString& folder, const QString& stem, const QStringList& kept)
{
    QList<QPair<dev_t, ino_t>> keptFiles;
    for (const QString& path : kept) {
        struct stat info = {};
        if (::stat(native(path).constData(), &info) == 0)
            keptFiles.append({info.st_dev, info.st_ino});
    }
    static const QRegularExpression family(
        u"^(\\.(.*)\\.[0-9a-f]{8}\\.vinzal-tmp)(\\.part-[0-9]+)?(-journal|-wal|-shm)?$"_s);
    const QDir dir(folder);
    const qint64 stale = QDateTime::currentSecsSinceEpoch() - 60;
    QHash<QString, QStringList> families; // our temporary file's name -> every name of its family
    QHash<QString, bool> old;             // ... -> every member older than a minute, none kept
    QHash<QString, ino_t> inode;          // ... -> the inode its own temporary file had
    for (const QString& name : dir.entryList({u".*"_s}, QDir::Files | QDir::Hidden | QDir::System)) {
        const QRegularExpressionMatch match = family.match(name);
        if (!match.hasMatch() || match.captured(2) != stem)
            continue;
        struct stat info = {};
        // Only regular files: never through a link, never a special file.
        if (::lstat(native(dir.filePath(name)).constData(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        const QString base = match.captured(1);
        families[base].append(name);
        old[base] = old.value(base, true) && qint64(info.st_mtim.tv_sec) < stale &&
                    !keptFiles.contains({info.st_dev, info.st_ino});
        if (name == base)
            inode[base] = info.st_ino;
    }
    for (auto it = families.cbegin(); it != families.cend(); ++it) {
        if (!old.value(it.key()))
            continue;
        int fd = -1;
        // Without its own temporary file a family is past its commit or its clean-up, no longer
        // written: its age alone decides.
        if (it.value().contains(it.key())) {
            fd = ::open(native(dir.filePath(it.key())).constData(),
                        O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
            // A run still alive holds it (here, or on another machine sharing the folder). The file
            // locked must be the one found old: a finished book renamed over it since is new.
            struct stat locked = {};
            if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &locked) != 0 ||
                locked.st_ino != inode.value(it.key()) || qint64(locked.st_mtim.tv_sec) >= stale) {
                if (fd >= 0)
                    ::close(fd);
                continue;
            }
        }
        for (const QString& name : it.value())
            ::unlink(native(dir.filePath(name)).constData());
        if (fd >= 0)
            ::close(fd);
    }
}

} // namespace

// Unbuffered: every write reaches write(2) at once, and the first error is kept for commit().
class CheckedDevice : public QIODevice
{
public:
    explicit CheckedDevice(PendingFile& file) : m_file(file)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override
    {
        if (m_file.m_writeError)
            return -1;
        if (const int failed = writeAll(m_file.m_fd, data, size)) {
            m_file.m_writeError = failed;
            setErrorString(reason(failed));
            return -1;
        }
        return size;
    }

private:
    PendingFile& m_file;
};

QString reason(int error)
{
    switch (error) {
    case ENOSPC:
        return u"il disco è pieno"_s;
    case EDQUOT:
        return u"lo spazio su disco concesso all'utente è esaurito"_s;
    case EACCES:
    case EPERM:
        return u"mancano i permessi per scrivere il file o nella sua cartella"_s;
    case EROFS:
        return u"il disco è di sola lettura"_s;
    case EIO:
        return u"errore di lettura o scrittura sul disco"_s;
    case ENOENT:
        return u"la cartella non esiste"_s;
    case ENOTDIR:
        return u"una parte del percorso non è una cartella"_s;
    case ENAMETOOLONG:
        return u"il nome del file è troppo lungo"_s;
    case EFBIG:
        return u"il file supera la dimensione massima consentita"_s;
    case EISDIR:
        return u"il nome è quello di una cartella"_s;
    case ELOOP:
        return u"il percorso ha troppi collegamenti simbolici"_s;
    case EBUSY:
    case ETXTBSY:
        return u"il file è in uso"_s;
    case EINTR:
        return u"la scrittura è stata interrotta"_s;
    default:
        return u"errore di sistema n. %1 («%2»)"_s.arg(error).arg(
            QString::fromLocal8Bit(std::strerror(error)));
    }
}

Status checkTarget(const QString& target, bool force, const QStringList& inputs)
{
    struct stat entry = {};
    if (::lstat(native(target).constData(), &entry) != 0) {
        if (errno == ENOENT)
            return {};
        return error(StoreError::Kind::FileUnreadable, u"Il file "_s + quoted(target) +
                                                           u" non può essere esaminato: "_s + reason(errno) +
                                                           u"."_s);
    }
    struct stat info = entry;
    if (S_ISLNK(entry.st_mode) && ::stat(native(target).constData(), &info) != 0)
        return error(StoreError::Kind::FileUnreadable,
                     quoted(target) + u" è un collegamento simbolico a un file che non esiste o non è "
                                      u"raggiungibile: non viene scritto. Indicare il nome di un file."_s);
    if (!S_ISREG(info.st_mode))
        return error(StoreError::Kind::FileUnreadable,
                     quoted(target) + u" è "_s + whatItIs(info.st_mode) +
                         u", non un file: non viene mai sostituito. Indicare il nome di un file."_s);
    for (const QString& input : inputs) {
        struct stat inputInfo = {};
        if (::stat(native(input).constData(), &inputInfo) == 0 && sameFile(inputInfo, info))
            return error(StoreError::Kind::Conflict,
                         quoted(target) + u" è lo stesso file di "_s + quoted(input) +
                             u", che viene letto: non può essere anche il file scritto. Indicare un "
                             u"altro nome per il file da scrivere."_s);
    }
    if (!force)
        return error(StoreError::Kind::Conflict,
                     u"Il file "_s + quoted(target) +
                         u" esiste già e non viene sovrascritto: indicare un altro nome."_s);
    return {};
}

Result<std::unique_ptr<PendingFile>> PendingFile::begin(const QString& target, bool force,
                                                        const QStringList& inputs)
{
    if (Status allowed = checkTarget(target, force, inputs); !allowed)
        return allowed.error();
    std::unique_ptr<PendingFile> file(new PendingFile);
    file->m_shown = target;
    file->m_force = force;
    file->m_inputs = inputs;
    // Through a symbolic link the file it points to is replaced; the link stays.
    const QFileInfo info(target);
    file->m_target = info.isSymLink() ? info.canonicalFilePath() : target;
    struct stat old = {};
    if (::stat(native(file->m_target).constData(), &old) == 0) {
        file->m_replacing = true;
        file->m_mode = old.st_mode & 07777;
        file->m_uid = old.st_uid;
        file->m_gid = old.st_gid;
    }
    const QFileInfo resolved(file->m_target);
    const QString folder = resolved.absolutePath();
    if (!QFileInfo(folder).isDir())
        return error(StoreError::Kind::FileMissing, u"Il file "_s + quoted(target) +
                                                        u" non può essere scritto: la cartella "_s +
                                                        quoted(folder) + u" non esiste."_s);
    // The temporary name, and the names SQLite derives from it, must fit where the target's own name
    // fits (255 bytes): only the start of a long name is used.
    const QString stem = resolved.fileName().left(48);
    removeLeftovers(folder, stem, inputs + QStringList{file->m_target});
    for (int attempt = 0; attempt < 100; ++attempt) {
        // One substitution for both: a "%1" in the file's name stays as it is.
        const QString name = u".%1.%2.vinzal-tmp"_s.arg(
            stem, u"%1"_s.arg(qulonglong(QRandomGenerator::system()->generate()), 8, 16, QChar(u'0')));
        file->m_temp = QDir(folder).filePath(name);
        file->m_fd = ::open(native(file->m_temp).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (file->m_fd >= 0 || errno != EEXIST)
            break;
    }
    if (file->m_fd < 0) {
        const int failed = errno;
        file->m_temp.clear();
        return file->failure(failed, u"creare il file temporaneo"_s).error();
    }
    // Held to the end of the run: the mark that the file is not a leftover.
    ::flock(file->m_fd, LOCK_EX | LOCK_NB);
    file->alsoRemove(file->m_temp);
    return file;
}

PendingFile::~PendingFile()
{
    if (m_device)
        m_device->close();
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_committed)
        for (const QString& path : std::as_const(m_companions))
            ::unlink(native(path).constData());
    // The slots hold only our names; clearing them after the unlink keeps the window closed.
    for (const QString& path : std::as_const(m_companions)) {
        const QByteArray name = native(path);
        for (int i = 0; i < kSlots; ++i)
            if (pendingUsed[i] && std::strcmp(pendingNames[i], name.constData()) == 0)
                unregisterPending(i);
    }
}

void PendingFile::alsoRemove(const QString& path)
{
    m_companions.append(path);
    registerPending(path);
}

Status PendingFile::failure(int failed, const QString& doing) const
{
    const StoreError::Kind kind =
        failed == ENOSPC || failed == EDQUOT ? StoreError::Kind::DiskFull : StoreError::Kind::Engine;
    return error(kind, u"Il file "_s + quoted(m_shown) + u" non è stato scritto ("_s + doing + u"): "_s +
                           reason(failed) + u". "_s +
                           (m_replacing ? u"Il file che c'era è rimasto com'era."_s
                                        : u"Non è stato scritto nulla."_s));
}

Status PendingFile::write(const QByteArray& bytes)
{
    if (m_writeError)
        return failure(m_writeError, u"scrivere i dati"_s);
    if (const int failed = writeAll(m_fd, bytes.constData(), bytes.size())) {
        m_writeError = failed;
        return failure(failed, u"scrivere i dati"_s);
    }
    return {};
}

QIODevice& PendingFile::device()
{
    if (!m_device)
        m_device = std::make_unique<CheckedDevice>(*this);
    return *m_device;
}

Status PendingFile::commit()
{
    if (m_writeError)
        return failure(m_writeError, u"scrivere i dati"_s);
    // A writer that wrote by name (SQLite) may have replaced our file: sync what is
    // there now, by name.
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    const int fd = ::open(native(m_temp).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return failure(errno, u"rileggere il file temporaneo"_s);
    if (::fsync(fd) != 0) {
        const int failed = errno;
        ::close(fd);
        return failure(failed, u"portare i dati sul disco"_s);
    }
    if (::close(fd) != 0)
        return failure(errno, u"portare i dati sul disco"_s);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const mode_t mode = m_replacing ? mode_t(m_mode) : mode_t(0666 & ~mask);
    ::chmod(native(m_temp).constData(), mode);
    if (m_replacing && ::chown(native(m_temp).constData(), uid_t(m_uid), gid_t(m_gid)) != 0) {
        // Only the owner or root may give a file away; the new file then belongs to whoever wrote it.
    }

    // What the target is may have changed while we wrote: look again just before replacing it.
    if (Status allowed = checkTarget(m_target, m_force, m_inputs); !allowed)
        return allowed;
    const QByteArray temp = native(m_temp), target = native(m_target);
    if (!m_force) {
        // link(2) refuses an existing name, so a file that appeared meanwhile is never replaced.
        if (::link(temp.constData(), target.constData()) == 0) {
            ::unlink(temp.constData());
        } else if (errno == EEXIST) {
            return checkTarget(m_target, false, m_inputs);
        } else if (errno == EPERM || errno == ENOTSUP || errno == EOPNOTSUPP || errno == EMLINK) {
            // A file system without hard links: the check just above is the guard.
            if (::rename(temp.constData(), target.constData()) != 0)
                return failure(errno, u"dargli il nome definitivo"_s);
        } else {
            return failure(errno, u"dargli il nome definitivo"_s);
        }
    } else if (::rename(temp.constData(), target.constData()) != 0) {
        return failure(errno, u"dargli il nome definitivo"_s);
    }
    m_committed = true;
    syncFolder(QFileInfo(m_target).absolutePath());
    return {};
}

Status writeFileAtomically(const QString& target, const QByteArray& bytes, bool force,
                           const QStringList& inputs)
{
    auto file = PendingFile::begin(target, force, inputs);
    if (!file)
        return file.error();
    if (Status written = file.value()->write(bytes); !written)
        return written;
    return file.value()->commit();
}

Status writeFileAtomically(const QString& target, const std::function<Status(QIODevice&)>& produce,
                           bool force, const QStringList& inputs)
{
    auto file = PendingFile::begin(target, force, inputs);
    if (!file)
        return file.error();
    if (Status produced = produce(file.value()->device()); !produced)
        return produced;
    return file.value()->commit();
}

InterruptionsDeferred::InterruptionsDeferred()
{
    deferring = 1;
}

InterruptionsDeferred::~InterruptionsDeferred()
{
    deferring = 0;
    if (const int signal = deferredSignal) {
        deferredSignal = 0;
        removePendingAndRaise(signal);
    }
}

bool InterruptionsDeferred::requested()
{
    return deferredSignal != 0;
}

void removeTemporariesOnInterrupt()
{
    // Past a file size limit (ulimit -f) the kernel would end the process with SIGXFSZ, leaving the
    // temporary files and saying nothing; ignored, the write fails with EFBIG and is reported as usual.
    std::signal(SIGXFSZ, SIG_IGN);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction action
        {
        };
        action.sa_handler = removePendingAndDie;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
}

} // namespace vinzal::safefile
