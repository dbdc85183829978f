#include "book_transfer.h"

#include "access_import.h"
#include "book_export.h"
#include "book_io.h"
#include "contact_file.h"
#include "contact_table.h"
#include "csv_mapping.h"
#include "dialogs.h"
#include "engine.h"
#include "page_painter.h"

#include "vcard.h"
#include "wording.h"

#include <QDropEvent>
#include <QImage>
#include <QMimeData>
#include <QPagedPaintDevice>
#include <QPrinter>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTimer>
#include <QWidget>

#include <algorithm>

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
    return words::counted(count, u"contatto"_s, u"contatti"_s, true);
}

// The folder of the file chosen last in Importa… or Esporta…, kept between runs; none when it has
// gone since.
QString lastFolder()
{
    const QString folder = QSettings().value(u"cartelle/ultima"_s).toString();
    return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QString();
}

void rememberFolderOf(const QString& file)
{
    QSettings().setValue(u"cartelle/ultima"_s, QFileInfo(file).absolutePath());
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
    const QString folder = lastFolder();
    QString target =
        dialogs.askFileName(parent, Dialogs::FileMode::Save, title, filters, &filter,
                            folder.isEmpty() ? u"rubrica.csv"_s : QDir(folder).filePath(u"rubrica.csv"_s));
    if (target.isEmpty())
        return;
    rememberFolderOf(target);
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
        error.unchanged = false; // said here in the words of what was asked
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

namespace {

// The largest CSV or vCard file read: as vinzal-db reads.
constexpr qint64 kLargestInput = qint64(2) << 30;

enum class Kind { Book, Access, Csv, VCard };

Kind kindOf(const QString& path, const QByteArray& start)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    // Another Vinzal book, whatever its name: "Vinzal.mdb" is the usual one.
    if (start.startsWith(QByteArrayView("SQLite format 3\0", 16)))
        return Kind::Book;
    if (start.mid(4, 15) == "Standard Jet DB" || start.mid(4, 15) == "Standard ACE DB" ||
        suffix == u"mdb"_s || suffix == u"accdb"_s)
        return Kind::Access;
    if (suffix == u"vcf"_s || suffix == u"vcard"_s || start.trimmed().toUpper().startsWith("BEGIN:VCARD"))
        return Kind::VCard;
    return Kind::Csv;
}

} // namespace

bool importContacts(QWidget* parent, const QString& book)
{
    Dialogs& dialogs = Dialogs::instance();
    const QString title = u"Importa contatti"_s;
    const QStringList filters{u"Rubriche e contatti (*.mdb *.accdb *.csv *.txt *.vcf *.vcard)"_s,
                              u"Access (*.mdb *.accdb)"_s, u"CSV (*.csv *.txt)"_s, u"vCard (*.vcf *.vcard)"_s,
                              u"Tutti i file (*)"_s};
    QString filter = filters.first();
    const QString path =
        dialogs.askFileName(parent, Dialogs::FileMode::Open, title, filters, &filter, lastFolder());
    if (path.isEmpty())
        return false;
    rememberFolderOf(path);
    return importFile(parent, book, path);
}

bool importFile(QWidget* parent, const QString& book, const QString& path)
{
    Dialogs& dialogs = Dialogs::instance();
    const QString title = u"Importa contatti"_s;
    // A pipe would block the window until someone wrote to it, and a device (/dev/urandom) has no end;
    // both are read more than once (the preview, then the import).
    if (const QFileInfo info(path); info.exists() && !info.isFile()) {
        dialogs.inform(parent, title,
                       u"«"_s + path +
                           u"» non è un file di dati (è una cartella, una pipe o un dispositivo): "
                           u"non può essere importato."_s,
                       Dialogs::Icon::Warning);
        return false;
    }
    QByteArray bytes;
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || file.size() > kLargestInput) {
            dialogs.inform(parent, title,
                           u"Il file «"_s + path + u"» non può essere letto"_s +
                               (file.size() > kLargestInput ? u": è troppo grande."_s : u"."_s),
                           Dialogs::Icon::Warning);
            return false;
        }
        bytes = file.read(64);
    }
    const Kind kind = kindOf(path, bytes);
    if (kind == Kind::Book) {
        // The same file under another name too: importing it into itself would only double it.
        const QString canonical = QFileInfo(path).canonicalFilePath();
        if (!canonical.isEmpty() && canonical == QFileInfo(book).canonicalFilePath()) {
            dialogs.inform(parent, title,
                           u"«"_s + path +
                               u"» è la rubrica aperta: non può essere importata in sé stessa. Scegliere "
                               u"un'altra rubrica."_s,
                           Dialogs::Icon::Warning);
            return false;
        }
    }
    // A CSV or vCard file is read a piece at a time, for the preview and again for the import.
    std::unique_ptr<importing::ContactFile> file;
    if (kind == Kind::Csv || kind == Kind::VCard) {
        auto device = std::make_unique<QFile>(path);
        if (!device->open(QIODevice::ReadOnly)) {
            dialogs.inform(parent, title, u"Il file «"_s + path + u"» non può essere letto."_s,
                           Dialogs::Icon::Warning);
            return false;
        }
        file = std::make_unique<importing::ContactFile>(
            std::move(device),
            kind == Kind::Csv ? importing::ContactFile::Format::Csv : importing::ContactFile::Format::VCard);
    }

    ImportPreview preview;
    preview.file = path;
    Contacts records;
    csvmap::Mapping mapping;
    csvmap::Encoding encoding = csvmap::Encoding::Utf8;
    bool firstRead = true;
    // A CSV's columns with the field each goes into, and its encoding, as the file was read.
    const auto showColumns = [&](const importing::ContactFile& read) {
        encoding = read.encoding();
        mapping = read.mapping();
        preview.encoding = csvmap::encodingName(encoding);
        preview.encodings = {u"UTF-8"_s, u"Windows-1252"_s};
        preview.choices = csvmap::choices();
        preview.headers.clear();
        preview.columnChoices.clear();
        for (const csvmap::Column& column : std::as_const(mapping.columns)) {
            preview.headers.append(column.header);
            preview.columnChoices.append(
                mapping.own ? contacts::fields().value(contacts::fieldPosition(column.header), column.header)
                            : csvmap::choiceOf(column));
        }
        if (encoding != csvmap::Encoding::Utf8)
            preview.notes.append(u"Il file non è in UTF-8: è stato letto come "_s + preview.encoding +
                                 u"."_s);
    };
    preview.reread = [&] {
        preview.problems.clear();
        preview.notes.clear();
        records.clear();
        if (kind == Kind::Book) {
            auto read = book::readAll(path);
            if (!read) {
                preview.problems.append(read.error().fullText());
            } else {
                records = std::move(read.value());
                // The contacts get this book's next IDs: theirs belong to the other book.
                for (Contact& contact : records)
                    contact[Field::Id] = Value();
            }
        } else if (kind == Kind::Access) {
            access::Options options;
            auto read = access::readShielded(path, options, preview.notes);
            if (!read)
                preview.problems.append(read.error().fullText());
            else
                records = std::move(read.value());
        } else {
            if (!firstRead && kind == Kind::Csv) {
                csvmap::encodingFromName(preview.encoding, &encoding);
                for (qsizetype c = 0; c < mapping.columns.size() && c < preview.columnChoices.size(); ++c)
                    if (csvmap::choiceOf(mapping.columns[c]) != preview.columnChoices.at(c) &&
                        csvmap::setChoice(mapping.columns[c], preview.columnChoices.at(c)))
                        mapping.own = false;
                file->setEncoding(encoding);
                file->setMapping(mapping);
            }
            auto previewed = book::previewImport(book, *file);
            if (!previewed) {
                preview.problems.append(previewed.error().fullText());
            } else {
                preview.problems = previewed.value().problems;
                preview.total = previewed.value().total;
                preview.first = previewed.value().first;
                preview.duplicates = previewed.value().duplicates;
            }
            preview.notes = file->warnings();
            if (kind == Kind::Csv)
                showColumns(*file);
        }
        firstRead = false;
        if (file)
            return;
        if (preview.problems.isEmpty())
            preview.problems = book::checkIds(
                records, [](qsizetype i) { return u"il contatto n. %1 del file"_s.arg(i + 1); });
        preview.total = records.size();
        preview.first = records.mid(0, 5);
        preview.duplicates = 0;
        if (preview.problems.isEmpty()) {
            auto duplicates = book::countDuplicates(book, records);
            if (!duplicates)
                preview.problems.append(duplicates.error().fullText());
            else
                preview.duplicates = duplicates.value();
        }
    };
    preview.reread();
    if (!dialogs.reviewImport(parent, preview) || !preview.problems.isEmpty())
        return false;

    auto progress =
        dialogs.startProgress(parent, title, u"Importazione da «"_s + QFileInfo(path).fileName() + u"»…"_s);
    bool cancelled = false;
    auto appended = [&]() -> Result<book::Appended> {
        if (!file)
            return book::append(
                book, records, preview.keepDuplicates,
                [&](qint64 done, qint64 total) { return progress->advance(done, total); }, &cancelled);
        auto imported = book::importFile(
            book, *file, preview.keepDuplicates,
            [&](qint64 read) { return progress->advance(read, preview.total); }, &cancelled);
        if (!imported)
            return imported.error();
        // The file changed since the preview read it.
        if (const book::Imported& done = imported.value(); !done.problems.isEmpty())
            return StoreError{StoreError::Kind::Engine,
                              u"Il file «"_s + QFileInfo(path).fileName() +
                                  u"» non può essere importato:\n"_s + done.problems.join(u"\n"_s),
                              {}};
        return book::Appended{imported.value().added, imported.value().skipped, imported.value().changedKind};
    }();
    progress.reset();
    if (!appended) {
        if (cancelled) {
            dialogs.inform(parent, title, appended.error().message, Dialogs::Icon::Information);
        } else {
            StoreError error = appended.error();
            error.unchanged = false; // said here in the words of what was asked
            error.message += u"\n\nNon è stato aggiunto nessun contatto: la rubrica è rimasta com'era."_s;
            dialogs.reportError(parent, error);
        }
        return false;
    }
    const book::Appended& done = appended.value();
    QString text =
        (done.added == 1 ? u"Aggiunto "_s : u"Aggiunti "_s) + countOf(done.added) + u" alla rubrica."_s;
    if (done.skipped > 0)
        text += u"\n"_s + (done.skipped == 1 ? u"Saltato 1 contatto già presente."_s
                                             : u"Saltati %L1 contatti già presenti."_s.arg(done.skipped));
    dialogs.inform(parent, title, text, Dialogs::Icon::Information);
    return done.added > 0;
}

QStringList droppedFiles(const QDropEvent& event)
{
    QStringList files;
    if (!(event.possibleActions() & Qt::CopyAction) || !event.mimeData() || !event.mimeData()->hasUrls())
        return files;
    for (const QUrl& url : event.mimeData()->urls()) {
        if (!url.isLocalFile())
            return {};
        files.append(url.toLocalFile());
    }
    return files;
}

bool acceptFileDrop(QDropEvent& event)
{
    if (droppedFiles(event).isEmpty()) {
        event.ignore();
        return false;
    }
    // A copy, never a move: a file manager would delete the file it thinks was moved.
    event.setDropAction(Qt::CopyAction);
    event.accept();
    return true;
}

void importDropped(QWidget* window, const QString& book, QDropEvent& event)
{
    if (!acceptFileDrop(event))
        return;
    QTimer::singleShot(0, window, [window, book, files = droppedFiles(event)] {
        for (const QString& file : files)
            importFile(window, book, file);
    });
}

namespace {

// The choices printed last are the preview's the next time, in this run and the next.
void recallPrintChoice(PrintChoice& choice)
{
    QSettings settings;
    settings.beginGroup(u"stampa"_s);
    const int layout = settings.value(u"layout"_s, int(choice.layout)).toInt();
    if (layout >= 0 && layout <= int(PrintChoice::Layout::Scheda) &&
        (choice.haveCard || layout != int(PrintChoice::Layout::Scheda)))
        choice.layout = PrintChoice::Layout(layout);
    const QString sheet = settings.value(u"foglio"_s).toString();
    if (sheet == u"3x8"_s || sheet == u"2x7"_s)
        choice.sheet = sheet;
    // Within the ranges the preview offers.
    choice.margin = std::clamp(settings.value(u"margine"_s, choice.margin).toDouble(), 0.0, 15.0);
    choice.start = std::clamp(settings.value(u"primaEtichetta"_s, choice.start).toInt(), 1, 24);
    choice.ulteriore = settings.value(u"ulteriore"_s, choice.ulteriore).toBool();
    choice.withoutAddress = settings.value(u"senzaIndirizzo"_s, choice.withoutAddress).toBool();
}

void rememberPrintChoice(const PrintChoice& choice)
{
    QSettings settings;
    settings.beginGroup(u"stampa"_s);
    settings.setValue(u"layout"_s, int(choice.layout));
    settings.setValue(u"foglio"_s, choice.sheet);
    settings.setValue(u"margine"_s, choice.margin);
    settings.setValue(u"primaEtichetta"_s, choice.start);
    settings.setValue(u"ulteriore"_s, choice.ulteriore);
    settings.setValue(u"senzaIndirizzo"_s, choice.withoutAddress);
}

// What a print choice asks of the painters.
printing::Request printRequest(const QString& book, const PrintChoice& choice, const Contacts* card,
                               const QString& index, const Contacts* selected)
{
    printing::Request request;
    request.book = book;
    request.index = index;
    if (choice.onlySelected && selected && !selected->isEmpty())
        request.only = selected;
    if (choice.layout == PrintChoice::Layout::Scheda) {
        request.only = card;
        request.layout = printing::Layout::Scheda;
    } else if (choice.layout == PrintChoice::Layout::Etichette) {
        request.layout = printing::Layout::Etichette;
        printing::labelSheetFromName(choice.sheet, &request.sheet);
        request.sheet.margin = choice.margin;
        request.sheet.start = choice.start;
        request.ulteriore = choice.ulteriore;
        request.withoutAddress = choice.withoutAddress;
    }
    return request;
}

} // namespace

void printContacts(QWidget* parent, const QString& book, const Contact* current, const QString& index,
                   const Contacts* selected)
{
    Dialogs& dialogs = Dialogs::instance();
    PrintChoice choice;
    choice.haveCard = current != nullptr;
    choice.selected = selected ? selected->size() : 0;
    choice.onlySelected = choice.selected > 0;
    recallPrintChoice(choice);
    Contacts card;
    if (current)
        card.append(*current);
    // The preview keeps the pages of the choice it last drew, and with them where each page laid out
    // so far begins, so that turning a page reads only that page's contacts.
    std::unique_ptr<printing::Pages> pages;
    std::optional<std::tuple<PrintChoice::Layout, QString, double, int, bool, bool, bool>> drawn;
    choice.drawPage = [&](const PrintChoice& shown, qint64 page, QImage& image, qint64* count) {
        const auto key = std::make_tuple(shown.layout, shown.sheet, shown.margin, shown.start,
                                         shown.ulteriore, shown.withoutAddress, shown.onlySelected);
        if (!pages || drawn != key) {
            pages.reset();
            auto opened = printing::Pages::open(printRequest(book, shown, &card, index, selected));
            if (!opened)
                return opened.error().fullText();
            pages = std::move(opened.value());
            drawn = key;
        }
        const Status painted = pages->draw(page, image);
        *count = pages->exact() ? pages->count() : -pages->count();
        return painted ? QString() : painted.error().fullText();
    };
    const bool chosen = dialogs.askPrintOptions(parent, choice);
    pages.reset(); // its connection to the book goes with it
    if (chosen)
        rememberPrintChoice(choice);
    if (!chosen || (choice.layout == PrintChoice::Layout::Scheda && !current))
        return;
    printing::Request request = printRequest(book, choice, &card, index, selected);
    std::unique_ptr<QPagedPaintDevice> printer = dialogs.askPrinter(parent);
    if (!printer)
        return;
    auto progress = dialogs.startProgress(parent, u"Stampa"_s, u"Preparazione delle pagine…"_s);
    request.progress = [&](qint64 done, qint64 total) { return progress->advance(done, total); };
    bool cancelled = false;
    // A PDF file is written as vinzal-db writes one, through a pending file: a cancel or a failure
    // (a full disk) keeps the file it was to replace. The print dialog already asked about it.
    const auto* file = dynamic_cast<const QPrinter*>(printer.get());
    const QString pdf =
        file && file->outputFormat() == QPrinter::PdfFormat ? file->outputFileName() : QString();
    Status printed;
    printing::Printed done;
    if (!pdf.isEmpty()) {
        printer.reset();
        printed = printing::writePdf(pdf, true, request, &cancelled, &done);
    } else {
        printed = printing::drawPages(*printer, request, &cancelled, &done);
    }
    progress.reset();
    printer.reset(); // the pages go to the printer now
    if (!printed) {
        StoreError error = printed.error();
        error.unchanged = false; // said here in the words of what was asked
        if (!pdf.isEmpty())
            error.message += u"\n\nLa rubrica non è cambiata."_s;
        dialogs.reportError(parent, error);
    } else if (cancelled) {
        dialogs.inform(parent, u"Stampa"_s,
                       pdf.isEmpty()
                           ? u"Stampa annullata."_s
                           : u"Stampa annullata: «"_s + pdf +
                                 u"» non è stato scritto (un file che c'era già è rimasto com'era)."_s,
                       Dialogs::Icon::Information);
    } else if (const QString said = printing::remarks(done); !said.isEmpty()) {
        dialogs.inform(parent, u"Stampa"_s, u"Stampa eseguita.\n\n"_s + said, Dialogs::Icon::Information);
    }
}

} // namespace vinzal
