#pragma once

#include "print_export.h"

#include <memory>
#include <vector>

class QImage;
class QPagedPaintDevice;

namespace vinzal::printing {

// Draws the pages of `request` on `device` (a PDF writer, a printer set to full page), one at a
// time as the contacts are read: a first reading lays them out (a contact's lines decide where each
// page begins, and "pagina N di M" needs M), a second draws them. `cancelled` is set when the
// progress said stop; `printed`, when given, says what was printed.
Status drawPages(QPagedPaintDevice& device, const Request& request, bool* cancelled,
                 Printed* printed = nullptr);

class OrderedReader;

// The pages of a request, any one drawn on its own: what a print preview shows. Where a page begins
// depends on the contacts before it (a wrapped row, a contact left off), so the pages are laid out
// in order, reading the contacts in batches and keeping only where each page begins, but only as far
// as the page asked for: the first page of a million contacts is as quick as that of ten, and until
// the last page has been laid out the count is an estimate.
class Pages
{
public:
    static Result<std::unique_ptr<Pages>> open(const Request& request);
    ~Pages();

    // How many pages there are; an estimate (from the contacts not yet laid out) unless exact().
    qint64 count() const;
    bool exact() const { return m_complete; }
    // Lays every page out: the exact count.
    Result<qint64> exactCount();
    // Draws page `page` (0 = the first) on `image`, an A4 page at the image's resolution.
    Status draw(qint64 page, QImage& image);
    // The contacts on `page`, read in order.
    Status contactsOn(qint64 page, Contacts& out);

    // Where a page begins: the position in the order of its first contact and that contact's rowid
    // (a contact taller than a page begins several).
    struct Start
    {
        qint64 position = 0, rowid = 0;
    };

private:
    Pages() = default;
    // Lays the pages out until it is known where the page after `page` begins, or to the end.
    Status layOutTo(qint64 page);

    Request m_request;
    std::unique_ptr<OrderedReader> m_reader;
    qint64 m_total = 0;
    bool m_complete = false;
    std::vector<Start> m_starts; // one a page, as far as laid out
};

} // namespace vinzal::printing
