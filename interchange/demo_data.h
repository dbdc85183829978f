#pragma once

#include "store_error.h"

#include "database.h"

namespace vinzal::demo {

// Fills the contact table of `db` with `rows` realistic Italian contacts: people, family, firms,
// towns and streets, Italian phone formats, e-mail addresses, multi-line remarks; mostly valid
// categories and a few empty fields. The same seed always gives the same rows.
Status fill(sql::Database& db, qint64 rows, quint64 seed = 2008);

} // namespace vinzal::demo
