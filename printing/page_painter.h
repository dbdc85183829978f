#pragma once

#include "print_export.h"

#include <map>
#include <memory>

class QImage;
class QPagedPaintDevice;

namespace vinzal::printing {

// Draws the pages of `request` on `device` (a PDF writer, a printer set to full page), one at a
// time as the contacts are read. `cancelled` is set when the progress said stop.
Status drawPages(QPagedPaintDevice& device, const Request& request, bool* cancelled);

class OrderedReader;

// The pages of a request, any one drawn on its own: what a print preview shows. Only the contacts
// of the page drawn are read, found by walking the order from the nearest page already seen (the
// first and the last are always near), so the first page of a million contacts is as quick as that
// of ten.
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

private:
    Pages() = default;
    // The rowid of the first contact on `page`, from the nearest page whose first is known.
    Result<qint64> startOf(qint64 page);

    Request m_request;
    std::unique_ptr<OrderedReader> m_reader;
    qint64 m_total = 0, m_count = 1;
    std::map<qint64, qint64> m_starts; // page -> rowid of its first contact
};

} // namespace vinzal::printing
