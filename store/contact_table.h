#pragma once

#include <QString>
#include <QStringList>

// The names every part of Vinzal agrees on: the file, the table, its fields and indexes, and the
// three categories. Field names are spelled as the address books in use spell them ("Cognone",
// "Telelefono"); window captions may differ, these never do.
namespace vinzal::contacts {

QString fileName();        // "Vinzal.mdb", looked up in the working directory
QString tableName();       // "Nomelia"
QString connectString();   // the kind of database a navigator opens, "Access 2000;"
QString idField();         // "ID", the key; never written by the program
QString categoryField();   // "Genere"
QString defaultCategory(); // "Altro"

// The twelve fields in the order of the table view's columns, "ID" first.
const QStringList& fields();
// The eleven indexes the search buttons use, each named as the field it is keyed on.
const QStringList& indexNames();
// "Famiglia-Amici", "Lavoro", "Altro".
const QStringList& categories();

// True when `text` is exactly one of the three categories: case, accents and blanks count.
bool isCategory(const QString& text);

// The position of `field` in fields(), or -1.
int fieldPosition(const QString& field);

} // namespace vinzal::contacts
