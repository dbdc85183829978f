#pragma once

#include "print_export.h"

class QPagedPaintDevice;

namespace vinzal::printing {

// Draws the pages of `request` on `device` (a PDF writer, a printer set to full page), one at a
// time as the contacts are read. `cancelled` is set when the progress said stop.
Status drawPages(QPagedPaintDevice& device, const Request& request, bool* cancelled);

} // namespace vinzal::printing
