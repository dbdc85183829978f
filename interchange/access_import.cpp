#include "access_import.h"

#include "book_io.h"
#include "connection.h"
#include "contact_table.h"

#include <QFile>
#include <QFileInfo>

// glib first: mdbtools.h uses its types without including it.
#include <glib.h>
#include <mdbtools.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
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

Result<QList<QList<QVariant>>> read(const QString& path, const Options& options, QStringList& notes)
{
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
    mdb_set_bind_size(mdb, kBindSize);
    if (!mdb_read_catalog(mdb, MDB_TABLE))
        return failure(u"L'elenco delle tabelle di «"_s + path +
                       u"» non può essere letto: il file è danneggiato o cifrato."_s);
    const QStringList tables = tableNames(mdb);
    QByteArray wanted = options.table.toUtf8();
    MdbTableDef* table = tables.contains(options.table, Qt::CaseInsensitive)
                             ? mdb_read_table_by_name(mdb, wanted.data(), MDB_TABLE)
                             : nullptr;
    if (!table)
        return failure(u"Il file «"_s + path + u"» non ha la tabella «"_s + options.table +
                       u"». Tabelle presenti: "_s +
                       (tables.isEmpty() ? u"nessuna"_s : u"«"_s + tables.join(u"», «"_s) + u"»"_s) +
                       u". Indicare quella giusta con --table NOME."_s);
    std::unique_ptr<MdbTableDef, void (*)(MdbTableDef*)> freer(table, mdb_free_tabledef);
    if (!mdb_read_columns(table))
        return failure(u"Le colonne della tabella «"_s + options.table + u"» non possono essere lette."_s);
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
    if (!extra.isEmpty()) {
        const QString list = extra.join(u", "_s);
        if (!options.skipExtraColumns)
            return failure(u"La tabella ha colonne che la rubrica di Vinzal non ha: "_s + list +
                           u". Per importare senza di esse usare --skip-extra-columns."_s);
        notes.append(u"Colonne non importate: "_s + list + u"."_s);
    }

    QList<QList<QVariant>> records;
    while (mdb_fetch_row(table)) {
        QList<QVariant> record(contacts::fields().size());
        for (int c = 0; c < columns; ++c) {
            const int field = targets[std::size_t(c)];
            const int length = lengths[std::size_t(c)];
            if (field < 0 || length <= 0)
                continue; // NULL, or the empty text, which libmdb reads alike
            if (length >= kBindSize - 1)
                return failure(u"Un valore della riga %1 supera i %2 MB che l'importazione può leggere."_s
                                   .arg(records.size() + 1)
                                   .arg(kBindSize / (1024 * 1024)));
            const QString value = QString::fromUtf8(buffers[std::size_t(c)].data(), length);
            record[field] = field == 0 ? QVariant(value.toLongLong()) : QVariant(value);
        }
        records.append(record);
    }
    return records;
}

Result<qsizetype> importFile(const QString& path, const QString& target, const Options& options,
                             QStringList& notes)
{
    switch (probeFile(path)) {
    case FileKind::Missing:
        return failure(u"Il file «"_s + path + u"» non esiste."_s);
    case FileKind::Unreadable:
        return failure(u"Il file «"_s + path + u"» non può essere letto: controllarne i permessi."_s);
    case FileKind::Sqlite:
        return failure(u"Il file «"_s + path +
                       u"» è già una rubrica di Vinzal: non c'è niente da convertire."_s);
    default:
        break; // anything else is for libmdb to judge
    }
    int channel[2];
    if (pipe(channel) != 0)
        return failure(u"Impossibile avviare l'importazione."_s);
    const pid_t child = fork();
    if (child < 0)
        return failure(u"Impossibile avviare l'importazione."_s);
    if (child == 0) {
        close(channel[0]);
        QStringList childNotes;
        auto rows = read(path, options, childNotes);
        Status made = rows ? book::append(target, rows.value()) : Status(rows.error());
        QString report;
        for (const QString& note : childNotes)
            report += u"N"_s + note + u'\n';
        if (made)
            report += u"C%1\n"_s.arg(rows.value().size());
        else
            report += u"E"_s + made.error().fullText().replace(u'\n', u' ') + u'\n';
        const QByteArray bytes = report.toUtf8();
        ssize_t written = 0;
        while (written < bytes.size()) {
            const ssize_t n =
                ::write(channel[1], bytes.constData() + written, std::size_t(bytes.size() - written));
            if (n <= 0)
                break;
            written += n;
        }
        _exit(made ? 0 : 1);
    }
    close(channel[1]);
    QByteArray report;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(channel[0], buffer, sizeof buffer)) > 0)
        report.append(buffer, n);
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);

    QString error;
    qsizetype imported = 0;
    for (const QString& line : QString::fromUtf8(report).split(u'\n', Qt::SkipEmptyParts)) {
        if (line.startsWith(u'N'))
            notes.append(line.mid(1));
        else if (line.startsWith(u'E'))
            error = line.mid(1);
        else if (line.startsWith(u'C'))
            imported = line.mid(1).toLongLong();
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return imported;
    // Whatever the child left half made is removed; the file it would have renamed never appeared.
    const QString partial = target + u".part-%1"_s.arg(child);
    QFile::remove(partial);
    QFile::remove(partial + u"-journal"_s);
    if (WIFSIGNALED(status))
        return failure(u"La lettura di «"_s + path +
                       u"» si è interrotta: il file è danneggiato o cifrato. Non è "
                       u"stato scritto nulla."_s);
    return failure(error.isEmpty() ? u"L'importazione non è riuscita."_s : error);
}

} // namespace vinzal::access
