#pragma once

#include "contact.h"
#include "store_error.h"

#include <QString>

#include <functional>
#include <memory>

class QCoreApplication;

// Printed pages of a book, laid out one page at a time as they are written (the book is read in
// batches, never held whole): the list ("Elenco") and address labels on standard A4 sheets
// ("Etichette"). Qt Gui does the drawing; this header keeps it out of the data layer, so that
// vinzal-db can write a PDF without including it.
namespace vinzal::printing {

enum class Layout { Elenco, Etichette, Scheda };

// A sheet of labels: `columns` x `rows` labels of `width` x `height` mm, centred on A4; `margin` mm
// inside each label around the text; `start` the first free label (1 = top left), to use a sheet
// already partly used.
struct LabelSheet
{
    int columns = 3, rows = 8;
    double width = 70, height = 37;
    double margin = 4;
    int start = 1;
};

// "3x8" (70 x 37 mm), "2x7" (105 x 42.3 mm): the common A4 sheets.
bool labelSheetFromName(const QString& name, LabelSheet* sheet);

struct Request
{
    QString book;
    const Contacts* only = nullptr; // these contacts instead of the whole book (Scheda: the card's)
    // The order of the contacts: the index the card searches on, as the card shows them; empty for
    // the order of their IDs.
    QString index;
    Layout layout = Layout::Elenco;
    LabelSheet sheet;
    // Labels: the «ulteriore identificativo» line too; contacts without an address too (they are
    // left off otherwise).
    bool ulteriore = false, withoutAddress = false;
    // As pages are written: contacts done of the total; false cancels and nothing is written.
    std::function<bool(qint64 done, qint64 total)> progress;
};

// What was printed, beyond the pages.
struct Printed
{
    qint64 pages = 0;
    qint64 leftOff = 0;    // labels: contacts without an address, not printed
    qint64 notFitting = 0; // labels whose text was cut short even in the smallest type
};

// What deserves to be said about `printed`, in Italian: one sentence a line; empty when nothing.
QString remarks(const Printed& printed);

// Writes the pages as a PDF at `target`, through a pending file as every export is: a failure or a
// cancel leaves a file already there byte for byte. A cancel sets `cancelled` when given (and is then
// no failure), else it is reported as one.
Status writePdf(const QString& target, bool force, const Request& request, bool* cancelled = nullptr,
                Printed* printed = nullptr);

// The application object for a program that may draw without a display: a QGuiApplication on the
// offscreen platform when `drawing`, else a plain QCoreApplication.
std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv, bool drawing);

} // namespace vinzal::printing
