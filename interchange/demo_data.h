#pragma once

#include "store_error.h"

#include "database.h"

#include <QList>

#include <utility>

namespace vinzal::demo {

// Fills the contact table of `db` with `rows` realistic Italian contacts: people, family, firms,
// towns and streets, Italian phone formats, e-mail addresses, multi-line remarks; mostly valid
// categories and a few empty fields. The same seed always gives the same rows.
//
// With `duplicatesPercent` above 0, every contact gets a name of its own (so that only what is
// planted is alike), and that share of the rows are planted duplicates of a contact made shortly
// before: the same name spelled otherwise (capitals, "o'" for "ò", extra spaces, a comma), the
// same phone number written otherwise in another phone field ("+39 333 1234567", "333/1234567",
// "0039 3331234567"), or the same e-mail in other capitals, each with otherwise different fields.
// `planted`, when given, receives each duplicate as (its row number, the original's), counted from 1.
Status fill(sql::Database& db, qint64 rows, quint64 seed = 2008, double duplicatesPercent = 0,
            QList<std::pair<qint64, qint64>>* planted = nullptr);

} // namespace vinzal::demo
