#pragma once

#include <QString>

class QWidget;

namespace vinzal {

// «Sincronizza…» of both windows: the account dialog (the address, the user, the password from the
// desktop's keyring, the address books found to choose from), the synchronisation under a progress
// dialog that can cancel it, and its report. The windows follow what it wrote through the book's
// notices, as for any other write.
void synchronizeBook(QWidget* window, const QString& book);

} // namespace vinzal
