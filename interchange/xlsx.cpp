#include "xlsx.h"

#include "contact_table.h"

#include <QFile>

#include <xlsxwriter.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace vinzal::interchange {

namespace {

constexpr qsizetype kMaxCellText = 32767; // what a spreadsheet cell holds
constexpr qint64 kMaxRows = 1048576;      // what a sheet holds, the header included

// The text of a cell with the _xHHHH_ escape of the workbook format (ST_Xstring) applied where
// needed: to what XML 1.0 cannot hold, to CR (an XML reader would make it LF) and to an underscore
// followed by x, which a reader would otherwise take for the start of an escape. libxlsxwriter then
// never has to escape anything itself, and NUL, which C strings cannot carry, travels too.
QString cellText(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        const bool underscore =
            c == u'_' && i + 1 < text.size() && (text.at(i + 1) == u'x' || text.at(i + 1) == u'X');
        if (underscore || (c < 0x20 && c != u'\t' && c != u'\n') || c == 0xFFFE || c == 0xFFFF)
            out += u"_x%1_"_s.arg(uint(c), 4, 16, QChar(u'0')).toUpper().replace(u"_X"_s, u"_x"_s);
        else
            out += QChar(c);
    }
    return out;
}

StoreError failure(const QString& path, const QString& cause, const QString& detail = QString())
{
    return StoreError{StoreError::Kind::Engine,
                      u"Il foglio di calcolo «%1» non può essere scritto: %2."_s.arg(path, cause), detail};
}

} // namespace

Status writeXlsx(const QString& path, const Contacts& rows)
{
    const QStringList& fields = contacts::fields();
    if (rows.size() + 1 > kMaxRows)
        return failure(
            path,
            u"un foglio tiene al massimo %1 contatti, qui sono %2"_s.arg(kMaxRows - 1).arg(rows.size()));
    // Everything that can be refused is refused before the file is begun.
    for (const Contact& row : rows)
        for (qsizetype c = 0; c < qsizetype(fieldCount) && c < fields.size(); ++c)
            if (const qsizetype length = cellText(row.at(int(c)).toText()).size(); length > kMaxCellText)
                return failure(path,
                               u"il contatto con ID %1 ha nel campo «%2» un testo di %3 caratteri e una "
                               u"cella ne tiene al massimo %4; esportarlo in CSV o vCard"_s
                                   .arg(row.at(0).toText(), fields.at(c))
                                   .arg(length)
                                   .arg(kMaxCellText));

    const QByteArray file = QFile::encodeName(path);
    // Row by row: the memory needed stays small at a million contacts.
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    lxw_workbook* workbook = workbook_new_opt(file.constData(), &options);
    if (!workbook)
        return failure(path, u"la libreria dei fogli di calcolo non ha potuto cominciare"_s);
    const QByteArray sheetName = contacts::tableName().toUtf8();
    lxw_worksheet* sheet = workbook_add_worksheet(workbook, sheetName.constData());
    lxw_error error = sheet ? LXW_NO_ERROR : LXW_ERROR_MEMORY_MALLOC_FAILED;
    for (qsizetype c = 0; error == LXW_NO_ERROR && c < fields.size(); ++c)
        error = worksheet_write_string(sheet, 0, lxw_col_t(c), cellText(fields.at(c)).toUtf8().constData(),
                                       nullptr);
    for (qsizetype r = 0; error == LXW_NO_ERROR && r < rows.size(); ++r) {
        const Contact& row = rows.at(r);
        for (qsizetype c = 0; error == LXW_NO_ERROR && c < qsizetype(fieldCount) && c < fields.size(); ++c) {
            const QString text = row.at(int(c)).toText();
            if (text.isEmpty())
                continue; // an empty cell
            error = worksheet_write_string(sheet, lxw_row_t(r + 1), lxw_col_t(c),
                                           cellText(text).toUtf8().constData(), nullptr);
        }
    }
    const QString writeProblem = error == LXW_NO_ERROR ? QString() : QString::fromUtf8(lxw_strerror(error));
    // Closing writes the file; it also frees the workbook, which must happen in every case.
    errno = 0;
    const lxw_error closed = workbook_close(workbook);
    const int closeErrno = errno;
    std::optional<StoreError> problem;
    if (!writeProblem.isEmpty()) {
        problem = failure(path, u"la libreria dei fogli di calcolo ha rifiutato un valore"_s, writeProblem);
    } else if (closed != LXW_NO_ERROR) {
        problem =
            closeErrno == ENOSPC || closeErrno == EDQUOT
                ? failure(path, u"il disco è pieno; liberare spazio e riprovare"_s,
                          QString::fromUtf8(lxw_strerror(closed)))
                : failure(path, u"il file non ha potuto essere scritto per intero"_s,
                          QString::fromUtf8(lxw_strerror(closed)) +
                              (closeErrno ? u" ("_s + QString::fromLocal8Bit(strerror(closeErrno)) + u')'
                                          : QString()));
        if (closeErrno == ENOSPC || closeErrno == EDQUOT)
            problem->kind = StoreError::Kind::DiskFull;
    } else {
        // The library does not sync: make sure the bytes are on disk before anyone relies on them.
        const int fd = ::open(file.constData(), O_RDONLY | O_CLOEXEC);
        const bool synced = fd >= 0 && ::fsync(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        if (!synced)
            problem = failure(path, u"il file non ha potuto essere salvato sul disco"_s);
    }
    if (problem) {
        // Whatever part of the workbook was written is of no use to anyone.
        QFile::remove(path);
        return *problem;
    }
    return {};
}

} // namespace vinzal::interchange
