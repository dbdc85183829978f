#include "book_transfer.h"

#include "book_export.h"
#include "dialogs.h"
#include "engine.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace vinzal {

namespace {

struct ExportFormat
{
    const char16_t* filter;
    const char16_t* suffix;
    bookexport::Format format;
};

const ExportFormat exportFormats[] = {
    {u"CSV (*.csv)", u"csv", bookexport::Format::Csv},
    {u"CSV per fogli di calcolo, separatore «;» (*.csv)", u"csv", bookexport::Format::Spreadsheet},
    {u"vCard 3.0 (*.vcf)", u"vcf", bookexport::Format::VCard3},
    {u"vCard 4.0 (*.vcf)", u"vcf", bookexport::Format::VCard4},
    {u"Cartella di lavoro Excel (*.xlsx)", u"xlsx", bookexport::Format::Xlsx},
};

QString countOf(qint64 count)
{
    return count == 1 ? u"1 contatto"_s : u"%L1 contatti"_s.arg(count);
}

} // namespace

void exportContacts(QWidget* parent, const QString& book, const Contacts* only)
{
    Dialogs& dialogs = Dialogs::instance();
    QStringList filters;
    for (const ExportFormat& each : exportFormats)
        filters.append(QString::fromUtf16(each.filter));
    QString filter = filters.first();
    const QString title = only ? u"Esporta i contatti selezionati"_s : u"Esporta la rubrica"_s;
    QString target =
        dialogs.askFileName(parent, Dialogs::FileMode::Save, title, filters, &filter, u"rubrica.csv"_s);
    if (target.isEmpty())
        return;
    const ExportFormat* chosen = &exportFormats[0];
    for (const ExportFormat& each : exportFormats)
        if (filter == QString::fromUtf16(each.filter))
            chosen = &each;
    // The file dialog asked before an existing file was named. A name without a suffix gets the
    // format's, and then a file of that name is not replaced, since nobody was asked about it.
    bool force = true;
    if (QFileInfo(target).suffix().isEmpty()) {
        target += u'.' + QString::fromUtf16(chosen->suffix);
        force = false;
    }

    auto progress =
        dialogs.startProgress(parent, title, u"Esportazione in «"_s + QFileInfo(target).fileName() + u"»…"_s);
    bookexport::Request request;
    request.target = target;
    request.format = chosen->format;
    request.book = book;
    request.only = only;
    request.force = force;
    request.progress = [&](qint64 done, qint64 total) { return progress->advance(done, total); };
    auto written = bookexport::write(request);
    progress.reset();
    if (!written) {
        StoreError error = written.error();
        error.message += u"\n\nLa rubrica non è cambiata; un file che c'era già è rimasto com'era."_s;
        dialogs.reportError(parent, error);
        return;
    }
    if (written.value().cancelled) {
        dialogs.inform(parent, title,
                       u"Esportazione annullata: «"_s + target +
                           u"» non è stato scritto (un file che c'era già è "
                           u"rimasto com'era)."_s,
                       Dialogs::Icon::Information);
        return;
    }
    QString text = (written.value().count == 1 ? u"Esportato "_s : u"Esportati "_s) +
                   countOf(written.value().count) + u" in «"_s + target + u"»."_s;
    if (written.value().invalidUtf8 > 0)
        text += u"\n\nAttenzione: alcuni campi non sono testo UTF-8 valido (li ha scritti un altro "
                u"programma), per "
                u"esempio "_s +
                written.value().firstInvalidUtf8 + u"."_s;
    dialogs.inform(parent, title, text, Dialogs::Icon::Information);
}

} // namespace vinzal
