#pragma once

#include <QString>

// The wording that messages with a count share: Italian takes the singular for one, the plural for
// every other number (zero included).
namespace vinzal::words {

// `one` for a count of 1, `many` for any other.
inline QString plural(qint64 count, const QString& one, const QString& many)
{
    return count == 1 ? one : many;
}

// The count and its noun: "1 contatto", "2 contatti"; with `localised` the number has the user's
// digit grouping ("1.234 contatti"), as the windows show numbers.
inline QString counted(qint64 count, const QString& one, const QString& many, bool localised = false)
{
    return (localised ? QStringLiteral("%L1 ") : QStringLiteral("%1 ")).arg(count) + plural(count, one, many);
}

} // namespace vinzal::words
