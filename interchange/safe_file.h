#pragma once

#include "store_error.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QIODevice;

// Writing a file so that the old one is never lost: the new content goes to a temporary file in the
// target's folder, every write, the flush and the fsync are checked, and only then is it renamed over
// the target (and the folder synced). A failure leaves the old target byte for byte as it was and no
// temporary file behind. Only regular files are ever replaced, and never a file that is being read.
namespace vinzal::safefile {

// Whether `target` may be written: missing, or (with `force`) an existing regular file; never a
// folder, device, FIFO or socket, and never the same file (device and inode) as one of `inputs`.
Status checkTarget(const QString& target, bool force, const QStringList& inputs = {});

// The Italian words for a system error number ("il disco è pieno").
QString reason(int error);

// A temporary file beside a target, renamed over it by commit() and removed otherwise. Writers that
// open files by name themselves (SQLite) write to tempPath(); the others use write().
class PendingFile
{
public:
    // Checks the target as checkTarget does and reserves an empty temporary file beside it.
    static Result<std::unique_ptr<PendingFile>> begin(const QString& target, bool force,
                                                      const QStringList& inputs = {});
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    QString tempPath() const { return m_temp; }
    // The file that will be replaced: the target, or what it links to when it is a symbolic link.
    QString target() const { return m_target; }

    // Appends `bytes` to the temporary file; every byte is checked.
    Status write(const QByteArray& bytes);
    // A device writing to the temporary file, for writers that stream; its failures are reported by
    // commit() (and by the device's own return values).
    QIODevice& device();

    // Another file a writer makes beside the temporary one (a journal), removed with it.
    void alsoRemove(const QString& path);

    // Syncs the temporary file, gives it the old target's permissions, renames it over the target
    // (or, without `force`, only if the target still does not exist) and syncs the folder.
    Status commit();

private:
    PendingFile() = default;
    Status failure(int error, const QString& doing) const;

    QString m_target, m_shown, m_temp;
    QStringList m_inputs, m_companions;
    int m_fd = -1;
    int m_writeError = 0;
    bool m_force = false, m_replacing = false, m_committed = false;
    unsigned m_mode = 0, m_uid = 0, m_gid = 0;
    std::unique_ptr<QIODevice> m_device;
    friend class CheckedDevice;
};

// Writes `bytes` as the whole new content of `target`, by way of a PendingFile.
Status writeFileAtomically(const QString& target, const QByteArray& bytes, bool force,
                           const QStringList& inputs = {});
// The same for a writer that streams into a device; `produce` returning a failure leaves the target
// as it was.
Status writeFileAtomically(const QString& target, const std::function<Status(QIODevice&)>& produce,
                           bool force, const QStringList& inputs = {});

// For the life of the object, SIGINT, SIGTERM, SIGHUP and SIGQUIT (once removeTemporariesOnInterrupt
// has been called) only ask to stop: a writer changing a file in place checks requested() and rolls
// back. The signal then takes effect when the object goes, after the rollback.
class InterruptionsDeferred
{
public:
    InterruptionsDeferred();
    ~InterruptionsDeferred();
    InterruptionsDeferred(const InterruptionsDeferred&) = delete;
    InterruptionsDeferred& operator=(const InterruptionsDeferred&) = delete;
    static bool requested();
};

// Makes SIGINT, SIGTERM, SIGHUP and SIGQUIT remove the temporary files of every pending file before
// the process ends as the signal asks, and turns a file size limit into a write error (EFBIG).
void removeTemporariesOnInterrupt();

} // namespace vinzal::safefile
