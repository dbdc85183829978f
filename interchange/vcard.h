#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QVariant>

// Address books as vCard. The mapping: "Cognone e nome o denominazione" to FN and N, "Genere" to
// CATEGORIES, "Indirizzo" and "Città" to ADR (street, locality), the telephones to TEL with TYPE
// home, work, fax and cell, "E-Mail" to EMAIL, "Osservazioni" to NOTE, "ulteriore identificativo" to
// X-VINZAL-ULTERIORE-IDENTIFICATIVO, ID to UID ("vinzal-ID").
namespace vinzal::vcard {

// vCard 3.0, or 4.0. A NULL field has no property; an empty text has an empty one.
QByteArray write(const QList<QList<QVariant>>& records, const QString& version = QStringLiteral("3.0"));

struct ReadResult
{
    QList<QList<QVariant>> records;
    QStringList errors; // with line numbers
};

// Reads vCard 2.1, 3.0 and 4.0: folded lines, quoted-printable, charsets, escaped , ; and \n.
ReadResult read(const QByteArray& data);

} // namespace vinzal::vcard
