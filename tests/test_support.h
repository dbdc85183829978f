#pragma once

#include "bound_field.h"
#include "row.h"

#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>

namespace vinzal::test {

// A contact for a test: field name to value; missing fields are NULL.
using Contact = QList<std::pair<QString, QVariant>>;

// Makes an address book at `path` (as vinzal-db create does) holding `contacts` in order.
void makeAddressBook(const QString& path, const QList<Contact>& contacts);

// Runs SQL on the file directly, as another program would; returns the first column of each row.
QVariantList sql(const QString& path, const QString& statement, const QVariantList& bindings = {});

// One field of a row, read straight from the file.
QVariant fieldOf(const QString& path, qint64 id, const QString& field);

} // namespace vinzal::test
