#pragma once

#include "row.h"
#include "store_error.h"

#include <QList>
#include <QString>

#include <functional>

namespace vinzal::book {

// Every contact of the address book at `path`, in ID order, each as the twelve values of
// contacts::fields() ("ID" first).
Result<QList<QList<QVariant>>> readAll(const QString& path);

// Adds `records` (the twelve values each) to the address book at `path` in one transaction. When
// the file does not exist it is made as "vinzal-db create" makes it, and the IDs are kept;
// appended to an existing book, the records get new IDs.
Status append(const QString& path, const QList<QList<QVariant>>& records);

} // namespace vinzal::book
