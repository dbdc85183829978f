#pragma once

#include "store_error.h"

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <functional>

// How an address book is made and checked. Only vinzal-db uses it: the program itself never
// creates a file or changes its schema.
namespace vinzal::schema {

// Marks an SQLite file as a Vinzal address book ("VZL1").
constexpr qint32 applicationId = 0x565A4C31;

// Creates a new address book at `path`. `fill`, when given, runs inside the creating transaction
// before the indexes are built (building them once at the end is much faster than keeping them up to
// date row by row). The file is written under a temporary name and renamed only when complete, so
// an interrupted run leaves no half file. An existing file is refused unless `overwrite` is set.
Status create(const QString& path, bool overwrite = false,
              const std::function<Status(QSqlDatabase&)>& fill = {});

// What is wrong with the address book at `path`: integrity, table, fields, collation, indexes.
// Empty when the file is sound.
QStringList check(const QString& path);

} // namespace vinzal::schema
