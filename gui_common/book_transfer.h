#pragma once

#include "contact.h"

#include <QString>

#include <functional>
#include <QStringList>

class QDropEvent;
class QWidget;

namespace vinzal {

// What the windows' "Esporta…" does: a save dialog with the formats, a progress dialog that can be
// cancelled, and the same safe writing as `vinzal-db export`. `only`, when given, holds the contacts
// selected in the grid, exported instead of the whole book.
void exportContacts(QWidget* parent, const QString& book, const Contacts* only = nullptr);

// What the windows' "Importa…" does: a file dialog (Access, CSV, vCard), a preview before anything
// is written, then the contacts added in one transaction with a progress dialog that can be
// cancelled; a failure or a cancel leaves the book as it was. True when contacts were added.
bool importContacts(QWidget* parent, const QString& book);
// The same after the file dialog: the preview of `path`, then its contacts added.
bool importFile(QWidget* parent, const QString& book, const QString& path);

// The files a drag brings, when it brings only local files and lets them be copied; none otherwise.
QStringList droppedFiles(const QDropEvent& event);
// Accepts a drag or a drop of such files as a copy, and ignores any other; true when accepted.
bool acceptFileDrop(QDropEvent& event);
// A window's drop: when accepted, each file's preview and import in turn once the drop is over (so
// that the program the files came from is not kept waiting).
void importDropped(QWidget* window, const QString& book, QDropEvent& event);

// What the windows' "Stampa…" does: a preview of the list, labels or the card `current` (when
// given), then Qt's print dialog, the pages drawn one at a time with a progress dialog that can be
// cancelled. The contacts in the order of `index` (the card's search order), else of their IDs;
// `selected`, when it holds any, the grid's selected rows, which the list and the labels may print
// instead of the whole book.
void printContacts(QWidget* parent, const QString& book, const Contact* current,
                   const QString& index = QString(), const Contacts* selected = nullptr);

} // namespace vinzal
