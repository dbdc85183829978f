#include "access_import.h"

#include "book_io.h"
#include "connection.h"
#include "contact_table.h"
#include "engine.h"
#include "safe_file.h"
#include "wording.h"

#include <QDataStream>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

// glib first: mdbtools.h uses its types without including it.
#include <glib.h>
#include <mdbtools.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

using namespace Qt::StringLiterals;

namespace vinzal::access {

namespace {

// Large enough for any remark an Access memo holds in practice; a value that fills it is reported.
constexpr int kBindSize = 4 * 1024 * 1024;

StoreError failure(const QString& message)
{
    return StoreError{StoreError::Kind::Engine, message, {}};
}

StoreError damaged(const QString& path, const QString& where)
{
    return StoreError{StoreError::Kind::Damaged,
                      u"Il file di Access «"_s + path + u"» è danneggiato: "_s + where +
                          u". Non è stato importato nulla: ripristinarne una copia integra."_s,
                      {}};
}

// What libmdb does not say: a page it could not read gives a shorter value or fewer rows, silently.
// So what was read is checked against what the file itself declares.
class DamageCheck
{
public:
    DamageCheck(MdbHandle* mdb, const QString& path) : m_mdb(mdb), m_path(path)
    {
        struct stat info = {};
        if (::fstat(fileno(mdb->f->stream), &info) == 0)
            m_size = info.st_size;
        m_pageSize = qint64(mdb->fmt->pg_size);
        m_pages = m_pageSize > 0 ? m_size / m_pageSize : 0;
    }

    // The file is whole pages.
    std::optional<StoreError> size() const
    {
        if (m_pageSize <= 0 || m_size <= 0 || m_size % m_pageSize != 0)
            return damaged(m_path, u"la sua lunghezza (%1 byte) non è un numero intero di pagine da %2 byte, "
                                   u"quindi il file è troncato"_s.arg(m_size)
                                       .arg(m_pageSize));
        return std::nullopt;
    }

    // Every page the table definition refers to lies inside the file.
    std::optional<StoreError> tablePages(MdbTableDef* table, const QString& name) const
    {
        if (qint64(table->entry->table_pg) >= m_pages)
            return beyondEnd(u"la definizione della tabella «"_s + name + u"»"_s,
                             qint64(table->entry->table_pg));
        qint64 steps = 0;
        for (gint32 page = mdb_map_find_next(m_mdb, table->usage_map, guint(table->map_sz), 0); page > 0;
             page = mdb_map_find_next(m_mdb, table->usage_map, guint(table->map_sz), guint32(page))) {
            if (page >= m_pages)
                return beyondEnd(u"la tabella «"_s + name + u"»"_s, page);
            if (++steps > m_pages)
                break;
        }
        return std::nullopt;
    }

    // The rows read are as many as the table definition declares.
    std::optional<StoreError> rowCount(MdbTableDef* table, const QString& name, qsizetype read) const
    {
        if (qsizetype(table->num_rows) != read)
            return damaged(m_path, u"la tabella «%1» dichiara "_s.arg(name) +
                                       words::counted(table->num_rows, u"riga"_s, u"righe"_s) +
                                       u", ma se ne possono leggere solo %1"_s.arg(read));
        return std::nullopt;
    }

    // A memo (long text) field of the row just fetched: its pages are inside the file and give as many
    // bytes as its header declares. libmdb leaves the row's page in pg_buf and the field's place in
    // the column.
    std::optional<StoreError> memo(MdbColumn* column, qsizetype row) const
    {
        if (column->col_type != MDB_MEMO || column->cur_value_len == 0)
            return std::nullopt;
        const QString where = u"il campo «%1» della riga %2"_s.arg(QString::fromUtf8(column->name)).arg(row);
        const int start = column->cur_value_start, size = column->cur_value_len;
        if (size < MDB_MEMO_OVERHEAD || start < 0 || start + MDB_MEMO_OVERHEAD > m_pageSize)
            return damaged(m_path, where + u" ha un'intestazione incompleta"_s);
        const quint32 header = quint32(mdb_get_int32(m_mdb->pg_buf, start));
        const qint64 declared = header & 0x3fffffff;
        qint64 found = 0;
        if (header & 0x80000000) {
            found = size - MDB_MEMO_OVERHEAD; // inline, in the row itself
        } else if (header & 0x40000000) {
            const qint64 pageRow = quint32(mdb_get_int32(m_mdb->pg_buf, start + 4));
            void* buffer = nullptr;
            int offset = 0;
            size_t length = 0;
            if ((pageRow >> 8) >= m_pages)
                return beyondEnd(where, pageRow >> 8);
            if (mdb_find_pg_row(m_mdb, int(pageRow), &buffer, &offset, &length) != 0)
                return damaged(
                    m_path, where + u" rimanda alla pagina %1, che non si può leggere"_s.arg(pageRow >> 8));
            found = qint64(length);
        } else if ((header & 0xff000000) == 0) {
            qint64 pageRow = quint32(mdb_get_int32(m_mdb->pg_buf, start + 4));
            for (qint64 steps = 0; pageRow != 0; ++steps) {
                void* buffer = nullptr;
                int offset = 0;
                size_t length = 0;
                if ((pageRow >> 8) >= m_pages)
                    return beyondEnd(where, pageRow >> 8);
                if (steps > m_pages * 256 ||
                    mdb_find_pg_row(m_mdb, int(pageRow), &buffer, &offset, &length) != 0 || length < 4)
                    return damaged(m_path, where + u" rimanda alla pagina %1, che non si può leggere"_s.arg(
                                                       pageRow >> 8));
                found += qint64(length) - 4;
                pageRow = quint32(mdb_get_int32(buffer, offset));
            }
        } else {
            return damaged(m_path, where + u" ha un'intestazione non valida"_s);
        }
        if (found != declared)
            return damaged(
                m_path,
                where +
                    u" dichiara %1 byte di testo, ma se ne possono leggere %2"_s.arg(declared).arg(found));
        return std::nullopt;
    }

private:
    StoreError beyondEnd(const QString& what, qint64 page) const
    {
        return damaged(m_path, what +
                                   u" rimanda alla pagina %1, oltre la fine del file (che ha "_s.arg(page) +
                                   words::counted(m_pages, u"pagina"_s, u"pagine"_s) + u")"_s);
    }

    MdbHandle* m_mdb;
    QString m_path;
    qint64 m_size = 0, m_pageSize = 0, m_pages = 0;
};

QStringList tableNames(MdbHandle* mdb)
{
    QStringList names;
    for (unsigned int i = 0; i < mdb->num_catalog; ++i) {
        auto* entry = static_cast<MdbCatalogEntry*>(g_ptr_array_index(mdb->catalog, i));
        const QString name = QString::fromUtf8(entry->object_name);
        if (entry->object_type == MDB_TABLE && !name.startsWith(u"MSys"_s, Qt::CaseInsensitive))
            names.append(name);
    }
    return names;
}

int fieldFor(const QString& column)
{
    const int exact = contacts::fieldPosition(column);
    if (exact >= 0)
        return exact;
    for (qsizetype f = 0; f < contacts::fields().size(); ++f)
        if (contacts::fields().at(f).compare(column, Qt::CaseInsensitive) == 0)
            return int(f);
    return -1;
}

} // namespace

Result<Contacts> read(const QString& path, const Options& options, QStringList& notes, Report* report)
{
    Report unused;
    Report& found = report ? *report : unused;
    // The same conversion whatever the user's environment: UTF-8 out, Windows-1252 for Jet 3 text.
    qputenv("MDBICONV", "UTF-8");
    qputenv("MDB_JET3_CHARSET", "CP1252");
    const QByteArray name = QFile::encodeName(path);
    MdbHandle* mdb = mdb_open(name.constData(), MDB_NOFLAGS);
    if (!mdb)
        return failure(u"Il file «"_s + path +
                       u"» non può essere aperto come archivio di Access: è danneggiato, "
                       u"cifrato o di un altro tipo."_s);
    std::unique_ptr<MdbHandle, void (*)(MdbHandle*)> closer(mdb, mdb_close);
    const DamageCheck check(mdb, path);
    if (auto problem = check.size())
        return *problem;
    mdb_set_bind_size(mdb, kBindSize);
    if (!mdb_read_catalog(mdb, MDB_TABLE))
        return failure(u"L'elenco delle tabelle di «"_s + path +
                       u"» non può essere letto: il file è danneggiato o cifrato."_s);
    const QStringList tables = tableNames(mdb);
    // Every Access file lists its own catalog table among its objects: without it the catalog's
    // pages were not all read.
    bool catalogListed = false;
    for (unsigned int i = 0; i < mdb->num_catalog; ++i)
        catalogListed =
            catalogListed ||
            qstrcmp(static_cast<MdbCatalogEntry*>(g_ptr_array_index(mdb->catalog, i))->object_name,
                    "MSysObjects") == 0;
    if (!catalogListed)
        return damaged(path, u"l'elenco delle sue tabelle è incompleto"_s);
    if (!tables.contains(options.table, Qt::CaseInsensitive)) {
        found.tableMissing = true;
        found.tables = tables;
        return failure(u"Il file «"_s + path + u"» non ha la tabella «"_s + options.table +
                       u"». Tabelle presenti: "_s +
                       (tables.isEmpty() ? u"nessuna"_s : u"«"_s + tables.join(u"», «"_s) + u"»"_s) + u"."_s);
    }
    QByteArray wanted = options.table.toUtf8();
    MdbTableDef* table = mdb_read_table_by_name(mdb, wanted.data(), MDB_TABLE);
    if (!table)
        return damaged(path, u"la definizione della tabella «"_s + options.table + u"» non si può leggere"_s);
    std::unique_ptr<MdbTableDef, void (*)(MdbTableDef*)> freer(table, mdb_free_tabledef);
    if (!mdb_read_columns(table))
        return damaged(path, u"le colonne della tabella «"_s + options.table + u"» non si possono leggere"_s);
    if (auto problem = check.tablePages(table, options.table))
        return *problem;
    mdb_rewind_table(table);

    const int columns = int(table->num_cols);
    std::vector<std::vector<char>> buffers(static_cast<std::size_t>(columns), std::vector<char>(kBindSize));
    std::vector<int> lengths(std::size_t(columns), 0);
    std::vector<int> targets(std::size_t(columns), -1);
    QStringList extra;
    for (int c = 0; c < columns; ++c) {
        auto* column = static_cast<MdbColumn*>(g_ptr_array_index(table->columns, c));
        const QString columnName = QString::fromUtf8(column->name);
        targets[std::size_t(c)] = fieldFor(columnName);
        if (targets[std::size_t(c)] < 0)
            extra.append(u"«"_s + columnName + u"»"_s);
        mdb_bind_column(table, c + 1, buffers[std::size_t(c)].data(), &lengths[std::size_t(c)]);
    }
    found.extraColumns = extra;
    if (!extra.isEmpty()) {
        const QString list = extra.join(u", "_s);
        if (!options.skipExtraColumns)
            return failure(u"La tabella ha colonne che la rubrica di Vinzal non ha: "_s + list + u"."_s);
        notes.append(u"Colonne non importate: "_s + list + u"."_s);
    }

    Contacts records;
    while (mdb_fetch_row(table)) {
        Contact record;
        for (int c = 0; c < columns; ++c) {
            auto* column = static_cast<MdbColumn*>(g_ptr_array_index(table->columns, c));
            if (auto problem = check.memo(column, records.size() + 1))
                return *problem;
            const int field = targets[std::size_t(c)];
            const int length = lengths[std::size_t(c)];
            if (field < 0 || length <= 0)
                continue; // NULL, or the empty text, which libmdb reads alike
            if (length >= kBindSize - 1)
                return failure(u"Un valore della riga %1 supera i %2 MB che l'importazione può leggere."_s
                                   .arg(records.size() + 1)
                                   .arg(kBindSize / (1024 * 1024)));
            const QByteArray value(buffers[std::size_t(c)].data(), length);
            record.at(field) = field == 0 ? Value::integer(value.toLongLong()) : Value::text(value);
        }
        records.append(record);
    }
    if (auto problem = check.rowCount(table, options.table, records.size()))
        return *problem;
    return records;
}

namespace {

bool writeAllTo(int fd, const QByteArray& bytes)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, std::size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += n;
    }
    return true;
}

} // namespace

Result<Contacts> readShielded(const QString& path, const Options& options, QStringList& notes, Report* found,
                              const std::function<bool()>& carryOn)
{
    Report unused;
    Report& said = found ? *found : unused;
    switch (probeFile(path)) {
    case FileKind::Missing:
        return failure(u"Il file «"_s + path + u"» non esiste."_s);
    case FileKind::Unreadable:
        return failure(u"Il file «"_s + path +
                       u"» non può essere letto: controllare che sia un file e i suoi "
                       u"permessi."_s);
    case FileKind::Sqlite:
        return failure(u"Il file «"_s + path +
                       u"» è già una rubrica di Vinzal: non c'è niente da convertire."_s);
    default:
        break; // anything else is for libmdb to judge
    }
    int channel[2];
    if (pipe(channel) != 0)
        return failure(u"Impossibile avviare la lettura del file di Access."_s);
    const pid_t child = fork();
    if (child < 0) {
        close(channel[0]);
        close(channel[1]);
        return failure(u"Impossibile avviare la lettura del file di Access."_s);
    }
    if (child == 0) {
        close(channel[0]);
        // libmdb writes its own English remarks to standard error; what matters comes back as a result.
        const int devNull = ::open("/dev/null", O_WRONLY);
        if (devNull >= 0)
            ::dup2(devNull, STDERR_FILENO);
        QStringList childNotes;
        Report childReport;
        auto rows = read(path, options, childNotes, &childReport);
        QByteArray report;
        QDataStream stream(&report, QIODevice::WriteOnly);
        stream << bool(rows.ok()) << childNotes << childReport.tableMissing << childReport.tables
               << childReport.extraColumns;
        if (rows) {
            stream << qint64(rows.value().size());
            for (const Contact& record : std::as_const(rows.value()))
                for (const Value& value : record.values)
                    stream << quint8(value.kind()) << value.bytes();
        } else
            stream << int(rows.error().kind) << rows.error().message;
        _exit(writeAllTo(channel[1], report) ? 0 : 1);
    }
    close(channel[1]);
    QByteArray report;
    char buffer[65536];
    bool stopped = false;
    for (;;) {
        if (carryOn && !carryOn()) {
            stopped = true;
            ::kill(child, SIGKILL);
            break;
        }
        pollfd ready = {channel[0], POLLIN, 0};
        const int polled = ::poll(&ready, 1, 100);
        if (polled == 0 || (polled < 0 && errno == EINTR))
            continue;
        const ssize_t n = polled < 0 ? -1 : ::read(channel[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        report.append(buffer, n);
    }
    close(channel[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (stopped) {
        said.cancelled = true;
        return failure(u"La lettura di «"_s + path + u"» è stata interrotta. Non è stato scritto nulla."_s);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return failure(u"La lettura di «"_s + path +
                       u"» si è interrotta: il file è danneggiato o cifrato. Non è "
                       u"stato scritto nulla."_s);
    QDataStream stream(report);
    bool ok = false;
    QStringList childNotes;
    stream >> ok >> childNotes >> said.tableMissing >> said.tables >> said.extraColumns;
    notes += childNotes;
    if (ok) {
        qint64 count = 0;
        stream >> count;
        Contacts records;
        for (qint64 r = 0; r < count && stream.status() == QDataStream::Ok; ++r) {
            Contact& record = records.emplace_back();
            for (Value& value : record.values) {
                quint8 kind = 0;
                QByteArray bytes;
                stream >> kind >> bytes;
                switch (Value::Kind(kind)) {
                case Value::Kind::Integer:
                    value = Value::integer(bytes.toLongLong());
                    break;
                case Value::Kind::Text:
                    value = Value::text(bytes);
                    break;
                default:
                    break; // the reader gives only numbers, text and NULL
                }
            }
        }
        if (stream.status() == QDataStream::Ok)
            return records;
    } else {
        int kind = 0;
        QString message;
        stream >> kind >> message;
        if (stream.status() == QDataStream::Ok)
            return StoreError{StoreError::Kind(kind), message, {}};
    }
    return failure(u"La lettura di «"_s + path +
                   u"» non ha dato un risultato leggibile. Non è stato scritto nulla."_s);
}

namespace {

// A name for the Access file kept beside its new book, unused so far: NAME-access-DATE-TIME.EXT.
QString keptName(const QString& source)
{
    const QFileInfo info(source);
    const QString stamp = QDateTime::currentDateTime().toString(u"yyyyMMdd-HHmmss"_s);
    const QString suffix = info.suffix().isEmpty() ? QString() : u"."_s + info.suffix();
    const QString base = info.completeBaseName() + u"-access-"_s + stamp;
    const QString folder = info.path() == u"."_s ? QString() : info.path() + u'/';
    QString kept = folder + base + suffix;
    for (int n = 2; QFileInfo::exists(kept) || QFileInfo(kept).isSymLink(); ++n)
        kept = folder + u"%1-%2%3"_s.arg(base).arg(n).arg(suffix);
    return kept;
}

Conversion failed(Conversion::Problem problem, const StoreError& error = {})
{
    Conversion result;
    result.problem = problem;
    result.error = error;
    return result;
}

} // namespace

Conversion convert(const ConversionRequest& request, const std::function<bool(qint64, qint64)>& progress)
{
    const QString& source = request.source;
    const bool inPlace = request.target.isEmpty();
    const QString target = inPlace ? source : request.target;
    const auto cancelled = [] {
        Conversion result;
        result.outcome = Conversion::Outcome::Cancelled;
        return result;
    };
    // The target is judged before anything is read, so that a mistake costs nothing.
    if (inPlace && QFileInfo(source).isSymLink())
        return failed(Conversion::Problem::SourceIsLink);
    if (!inPlace && !isServerBook(target))
        if (Status allowed = safefile::checkTarget(target, request.force, {source}); !allowed)
            return failed(Conversion::Problem::Target, allowed.error());

    QStringList notes;
    Report report;
    auto read = readShielded(source, request.options, notes, &report,
                             progress ? std::function<bool()>([&] { return progress(0, 0); })
                                      : std::function<bool()>());
    if (report.cancelled)
        return cancelled();
    if (!read) {
        Conversion result = failed(report.tableMissing ? Conversion::Problem::NoSuchTable
                                   : !report.extraColumns.isEmpty() && !request.options.skipExtraColumns
                                       ? Conversion::Problem::ExtraColumns
                                       : Conversion::Problem::Reading,
                                   read.error());
        result.tables = report.tables;
        result.extraColumns = report.extraColumns;
        return result;
    }
    Contacts records = std::move(read.value());
    const qint64 count = records.size();
    if (progress && !progress(0, count))
        return cancelled();
    Conversion result;
    result.extraColumns = report.extraColumns;
    result.badIds =
        book::checkIds(records, [](qsizetype i) { return u"la riga n. %1 della tabella"_s.arg(i + 1); });
    if (!result.badIds.isEmpty()) {
        result.problem = Conversion::Problem::BadIds;
        return result;
    }

    if (isServerBook(target)) {
        // A server's table is replaced in one transaction, and only with `force` when it holds
        // contacts.
        if (Status made = book::create(target, records, request.force, {source}); !made)
            return failed(Conversion::Problem::Writing, made.error());
    } else {
        // Written beside the target under a name of its own: a failure or a cancel leaves nothing.
        auto pending = safefile::PendingFile::begin(target, inPlace || request.force,
                                                    inPlace ? QStringList() : QStringList{source});
        if (!pending)
            return failed(Conversion::Problem::Creating, pending.error());
        if (Status built = book::buildFrom(*pending.value(), records); !built)
            return failed(Conversion::Problem::Writing, built.error());
        if (progress && !progress(count, count))
            return cancelled();
        if (inPlace) {
            // A hard link gives the Access file its kept name while it still has its own, so the
            // rename below puts the new book in its place in one step. Only where links cannot be
            // made is the Access file renamed first; a failure then renames it back.
            result.kept = keptName(source);
            const QByteArray original = QFile::encodeName(source), kept = QFile::encodeName(result.kept);
            const bool linked = ::link(original.constData(), kept.constData()) == 0;
            if (!linked && ::rename(original.constData(), kept.constData()) != 0) {
                result.problem = Conversion::Problem::Keeping;
                result.error = StoreError{StoreError::Kind::ReadOnly, safefile::reason(errno), {}};
                return result;
            }
            if (Status committed = pending.value()->commit(); !committed) {
                if (linked)
                    ::unlink(kept.constData());
                else
                    ::rename(kept.constData(), original.constData());
                result.problem = Conversion::Problem::Replacing;
                result.error = committed.error();
                return result;
            }
        } else if (Status committed = pending.value()->commit(); !committed) {
            return failed(Conversion::Problem::Replacing, committed.error());
        }
    }
    result.outcome = Conversion::Outcome::Converted;
    result.written = count;
    return result;
}

} // namespace vinzal::access
