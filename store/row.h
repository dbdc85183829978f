#pragma once

#include "connection.h"
#include "contact.h"
#include "store_error.h"
#include "value.h"

#include <QList>

namespace vinzal {

// One contact as read from the book: its rowid and the twelve fields in contacts::fields() order,
// each as stored (value.h). The lost-update guard compares with these; a window shows text().
struct Row
{
    qint64 rowid = 0;
    Contact fields;

    Value value(const QString& field) const;
    // The field as a text box shows it: NULL is the empty text.
    QString text(const QString& field) const;
    QString text(int position) const { return fields.at(position).toText(); }
};

// The select list that reads a Row: rowid and the twelve fields.
QString rowColumns(Engine engine);
// A Row from the values of rowColumns().
Row rowFromValues(const Values& values);

// A field to write: its new value, and the value it had when the user saw it, as stored. The
// write succeeds only where the book still holds exactly `original`, so a change made meanwhile by
// another window or program is never overwritten.
struct FieldChange
{
    QString field;
    Value value;
    Value original;
};

// Whether `connection` can store `changes` as they are: a server refuses the null character and
// bytes that are not UTF-8.
Status storable(const Connection& connection, const QList<FieldChange>& changes);

// Reads one row by rowid. A row that no longer exists is NoCurrentRow.
Result<Row> readRow(Connection& connection, qint64 rowid);

// Appends a row with the given fields (the others NULL) and returns its rowid.
Result<qint64> insertRow(Connection& connection, const QList<FieldChange>& changes);

// The failure of an insert into the contact table, explained: a file whose IDs are used up (another
// program gave a contact the highest ID there is, after which AUTOINCREMENT gives none) fails as a
// full disk would, and is said as what it is, with how to mend it.
StoreError insertFailure(sql::Database& db, StoreError error, const QString& what);
// The message for a book whose IDs are used up, for the check of a book too.
QString idsUsedUpText();

// Writes the changed fields of a row, only if each still holds its original value; otherwise
// nothing is written and the error is Conflict.
Status updateRow(Connection& connection, qint64 rowid, const QList<FieldChange>& changes);

// Deletes a row, only if every field still holds what `shown` holds (as stored); otherwise nothing
// is deleted and the error is Conflict, saying that the contact was kept.
Status deleteRow(Connection& connection, const Row& shown);

} // namespace vinzal
