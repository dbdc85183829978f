#pragma once

#include "connection.h"
#include "store_error.h"

#include <QList>
#include <QSqlQuery>
#include <QVariant>

namespace vinzal {

// One contact as read from the file: its rowid and the twelve fields in contacts::fields() order.
// A NULL field is a null QVariant.
struct Row
{
    qint64 rowid = 0;
    QList<QVariant> values; // as text, for showing
    // The same fields exactly as stored (their bytes), for the lost-update guard: text that is not
    // valid UTF-8 does not survive the conversion to QString, and a guard comparing the converted
    // text would refuse every write to such a field.
    QList<QVariant> stored;
    // False while a field's bytes are not known: its text holds U+FFFD (what SQLite puts in place of
    // bytes that are not UTF-8) or is not text at all. completeRow() reads them.
    bool exact = true;

    QVariant value(const QString& field) const;
    QVariant storedBytes(const QString& field) const;
    // The field as a text box shows it: NULL is the empty text.
    QString text(const QString& field) const;
};

// The select list that reads a Row: rowid and the fields as text.
QString rowColumns(Engine engine);
// A Row from the values of rowColumns(). The bytes of valid text are its UTF-8; the others are left
// to completeRow().
Row rowFromValues(const QVariantList& values);
// The same from the current record of a query whose result columns are rowColumns().
Row rowFromQuery(const QSqlQuery& query);
// Reads the row again with the bytes of every field, in one statement, when they are not all known.
Status completeRow(Connection& connection, Row& row);

// A field to write: its new value, and the value it had when the user saw it, as stored
// (Row::storedBytes). The write succeeds only where the file still holds exactly `original`, so a
// change made meanwhile by another window or program is never overwritten.
struct FieldChange
{
    QString field;
    QVariant value;
    QVariant original;
};

// Whether `connection` can store `changes` as they are: a server refuses the null character, which
// Qt's driver would moreover cut the text at.
Status storable(const Connection& connection, const QList<FieldChange>& changes);

// The value to store for a typed text: an empty box is stored as NULL.
QVariant storedValue(const QString& text);

// Reads one row by rowid. A row that no longer exists is NoCurrentRow.
Result<Row> readRow(Connection& connection, qint64 rowid);

// Appends a row with the given fields (the others NULL) and returns its rowid.
Result<qint64> insertRow(Connection& connection, const QList<FieldChange>& changes);

// Writes the changed fields of a row, only if each still holds its original value; otherwise
// nothing is written and the error is Conflict.
Status updateRow(Connection& connection, qint64 rowid, const QList<FieldChange>& changes);

} // namespace vinzal
