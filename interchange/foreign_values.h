#pragma once

#include <QString>
#include <QStringList>

// How the values of other programs' contacts (a vCard's properties, a CSV's columns) that the book
// has no field for are worded, the same for every format: the category that becomes "Genere", and
// the Italian label of each line written into "Osservazioni". The book's own files never come here:
// they are read back exactly.
namespace vinzal::foreign {

// The "Genere" of a contact from another program: the first of `labels` that is one of the book's
// three categories (exactly, else in any capitalisation; blanks around a label do not count), else
// the default category, as the card window gives a contact that has none. The other labels are
// appended to `others`, for the remarks, but for those that only name a program's group of all its
// contacts ("* myContacts").
QString category(const QStringList& labels, QStringList* others);

// The Italian label for a header or property name of the common exports ("Gender" is "Sesso",
// "Address 1 - Country" is "Paese"); any other label as it is.
QString italianLabel(const QString& label);

// The value of the field labelled `label` (an Italian label, from italianLabel()) as the remarks
// write it: a word of the exports' own vocabulary in Italian ("Female" is "Femmina"), any other
// value as it is. Empty when the value only restates what every contact has (a gender
// "Unspecified", a "Normal" sensitivity or priority, "Private: False", the country of an Italian
// address): such a line says nothing.
QString remarkValue(const QString& label, const QString& value);

} // namespace vinzal::foreign
