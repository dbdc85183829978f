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

// The pages of a request, any one drawn on its own: what a print preview shows. Opening lays the
// pages out once, reading the contacts in batches and keeping only where each page begins; drawing
// a page then reads only the contacts on it.
class Pages
{
public:
    static Result<std::unique_ptr<Pages>> open(const Request& request);
    ~Pages();

    qint64 count() const { return m_count; }
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

    Request m_request;
    std::unique_ptr<OrderedReader> m_reader;
    qint64 m_total = 0, m_count = 1;
    std::vector<Start> m_starts; // one a page
};

} // namespace vinzal::printing
