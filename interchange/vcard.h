#pragma once

#include "contact.h"

#include <QByteArray>
#include <QStringList>

// Address books as vCard. The mapping: "Cognone e nome o denominazione" to FN and N, "Genere" to
// CATEGORIES, "Indirizzo" and "Città" to ADR (street, locality), the telephones to TEL with TYPE
// home, work, fax and cell, "E-Mail" to EMAIL, "Osservazioni" to NOTE, "ulteriore identificativo" to
// X-VINZAL-ULTERIORE-IDENTIFICATIVO, ID to UID ("vinzal-ID"); every card has Vinzal's PRODID.
namespace vinzal::vcard {

// vCard 3.0, or 4.0. A NULL field has no property; an empty text has an empty one.
//
// Every line break of a value (LF, CR LF or a lone CR), and every character that some programs take
// for one or that the format forbids (the C0 controls but TAB, NEL, U+2028, U+2029), is written as
// the standard "\n", so other programs show a new line there and never see a bare CR. When any of
// them is not a plain LF, the parameter X-VINZAL-EOL says what each "\n" of the value stands for, in
// order: CRLF, CR, LF or U+XXXX, one value for all of them when they are all alike
// (X-VINZAL-EOL=CRLF), otherwise a list with one entry each (X-VINZAL-EOL=LF,CRLF,CR).
QByteArray write(const Contacts& records, const QString& version = QStringLiteral("3.0"));

struct ReadResult
{
    Contacts records;
    QStringList errors;   // with line numbers
    QStringList warnings; // what was read, but deserves to be said (a legacy charset assumed)
    int remarked = 0;     // values without a field of their own, written into "Osservazioni"
};

// Reads vCard 2.1, 3.0 and 4.0: folded lines, quoted-printable, charsets, escaped , ; and \n. Text
// must be UTF-8 unless a CHARSET says otherwise; in vCard 2.1 text without CHARSET is read as
// Windows-1252 (what the phones and programs of its time wrote), with a warning.
//
// Cards Vinzal wrote (PRODID, or UID vinzal-N) come back exactly. Other programs' cards: the name
// from N as "Cognome Nome", from FN when N is empty, from ORG when there is no person; each number,
// e-mail and address to its own field when that is free, and everything that has none (a second
// mobile, a pager, a birthday, a title, a category other than the three) into "Osservazioni" after
// the note, one labelled line each ("Cellulare 2: ..."). "Genere" is the first category that is one of
// the three, else "Altro", as for another program's CSV (foreign_values.h); a value that only
// restates a default (the country of an Italian address) is left out.
ReadResult read(const QByteArray& data);

// The same, for a file read in pieces that each end after a card (a long file is never held whole):
// the line numbers of a piece continue from `linesBefore`, and what is said once about the whole
// file comes from finish(), after the last piece.
class Reader
{
public:
    ReadResult read(const QByteArray& piece, int linesBefore);
    QStringList finish() const;

    // What the reader has to say about the whole file besides the errors.
    struct Notes
    {
        int legacyCards = 0; // 2.1 cards whose text was taken as Windows-1252
        int firstLegacyLine = 0;
    };

private:
    Notes m_notes;
};

// --- One card, as synchronising with a CardDAV address book sees it ---------------------------

struct Card
{
    Contact contact;     // the fields as read() gives them; the ID NULL
    QStringList remarks; // the lines "Compleanno: 17/05/1980" that "Osservazioni" has after the note
    QStringList errors;
};
Card readCard(const QByteArray& text);

// The card's UID as written, or empty.
QString cardUid(const QByteArray& text);

// A new card (vCard 3.0, as write() makes it) for `contact`, with `uid`.
QByteArray newCard(const Contact& contact, const QString& uid);

// `text` with the properties that hold the `fields` (positions in contacts::fields()) rewritten to
// hold `contact`'s values, added where the card has none and removed for a NULL; every other line keeps
// its bytes, folding and line breaks included. "Osservazioni" goes to NOTE without the lines that
// readCard() added from the card's other properties.
QByteArray patchCard(const QByteArray& text, const Contact& contact, const QList<int>& fields);

} // namespace vinzal::vcard
