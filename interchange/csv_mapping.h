#pragma once

#include "contact.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>

// CSV files written by other programs' contact exports (web mail, desktop mail, phones' companion
// programs), in English and Italian, understood by their header row: each column gets a role (one
// of the book's fields, or a part that is joined with others), and every column with no field of its
// own goes into "Osservazioni" as "Header: value". A CSV whose header is the book's own field names
// is left to csv::read, which keeps every byte.
namespace vinzal::csvmap {

enum class Encoding { Utf8, Windows1252 };

// Valid UTF-8 (with or without a byte-order mark) is UTF-8; anything else is taken as Windows-1252,
// what spreadsheets save in Italy.
Encoding detectEncoding(const QByteArray& bytes);
// The same decision over a file read in pieces that end at line ends (no character is split).
class EncodingClues
{
public:
    void add(QByteArrayView piece);
    Encoding encoding() const;

private:
    int m_pieces = 0;
    bool m_invalid = false, m_utf8Sequence = false;
};
QString encodingName(Encoding encoding);                        // "UTF-8", "Windows-1252"
bool encodingFromName(const QString& name, Encoding* encoding); // also "cp1252", "latin1"...

// What a column is taken for.
enum class Role {
    Ignore,    // left out
    Extra,     // into "Osservazioni" as "Header: value"
    Field,     // one of the book's fields (`field`); a second column for a field filled goes to Extra
    FirstName, // joined as "Last First Middle"
    MiddleName,
    LastName,
    FullName, // when there is no first or last name
    Company,  // the name when there is no person's name, else "ulteriore identificativo"
    Street,   // the address of `slot` (home 0, work 1): the first slot with a street or a city
    City,
    PostalCode, // joined into "Città" as "20100 Milano (MI)"
    Region,
    Notes,      // first in "Osservazioni"
    Categories, // a list of the other program's categories: "Genere" by foreign::category()
    PhoneLabel, // a pair of columns (`slot` is the pair's number): the label says which field
    PhoneValue,
};

struct Column
{
    QString header;
    Role role = Role::Extra;
    Field field = Field::Osservazioni;
    int slot = 0;
};

// The names of the roles a user can choose for a column (Italian), and back.
QStringList choices();
QString choiceOf(const Column& column);
bool setChoice(Column& column, const QString& choice);

struct Mapping
{
    QList<Column> columns;
    bool own = false; // the book's own header: csv::read reads it
};

// The role of each column of `header`, as known from the common exports.
Mapping guess(const QStringList& header);

struct Result
{
    Encoding encoding = Encoding::Utf8;
    Mapping mapping;
    Contacts records;
    QStringList errors; // with line numbers; nothing is imported when there is one
    QStringList warnings;
};

// Reads `bytes`: with `encoding` (detected when null), with `mapping` (guessed when null; `--map`
// and the preview's changes come this way). A file beginning with a UTF-16 byte-order mark (either
// byte order) is read as UTF-16 whatever `encoding` says. Lines end at CR LF, LF or a lone CR.
// A long file is read in pieces as csv::read describes, with `linesBefore`.
Result read(const QByteArray& bytes, const Encoding* encoding = nullptr, const Mapping* mapping = nullptr,
            int linesBefore = 0);

// Applies "Header=Choice" pairs (comma-separated, as vinzal-db import --map takes them) to
// `mapping`; false with `problem` set for a pair without its "=Choice" (with the expected form), a
// header the file lacks or a choice unknown.
bool applyMap(Mapping& mapping, const QString& pairs, QString* problem);

} // namespace vinzal::csvmap
