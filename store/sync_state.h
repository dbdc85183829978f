#pragma once

#include "connection.h"
#include "contact.h"
#include "database.h"
#include "store_error.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <optional>

// What a book remembers of its synchronisation with one CardDAV address book, in two tables of its
// own that other programs may ignore: "VinzalSincro" (the address book's URL, the user, the last sync
// token, the book's key for the UIDs of the cards it makes) and "VinzalSchede" (for each contact that
// has a card: the card's URL, its ETag, its text as last synchronised, and the contact's twelve
// fields as they were then, which tell what the user changed since).
namespace vinzal::syncstate {

QString settingsTable(); // "VinzalSincro"
QString cardsTable();    // "VinzalSchede"

// Makes both tables where they are missing; done where a book is made or upgraded, and by the first
// synchronisation of a book made before they came (sync() asks first, so no right to create tables is
// needed once they are there).
Status makeTables(sql::Database& db);
// Empties both: a book made anew over an old one is synchronised from the start.
Status emptyTables(sql::Database& db);

// The names of the settings.
namespace key {
inline const char address[] = "indirizzo"; // the address book's URL
inline const char user[] = "utente";
inline const char token[] = "token"; // the sync token of the last complete synchronisation
inline const char book[] = "chiave"; // a random word that makes this book's UIDs its own
} // namespace key

struct Settings
{
    QHash<QString, QString> values;
    QString value(const char* name) const { return values.value(QString::fromLatin1(name)); }
};

// One contact's card as last synchronised.
struct Card
{
    qint64 id = 0;
    QString href; // the card's path on the server
    QByteArray etag;
    QByteArray text;
    Contact base; // the contact's fields as they were after that synchronisation
};

// The settings, empty when the book has never been synchronised (the tables may be missing).
Result<Settings> readSettings(Connection& connection);
// Every card of the book by contact ID.
Result<QHash<qint64, Card>> readCards(Connection& connection);

// Makes the tables when the book lacks them (a book made before them), outside any transaction.
Status ensureTables(Connection& connection);

// The writes of one batch, in one write transaction: all of them or none reach the book. Every
// change of a contact is guarded like the windows' writes: when the contact no longer holds what the
// synchronisation read (the user saved it meanwhile), nothing is written for it and the call says so.
class Batch
{
public:
    explicit Batch(Connection& connection);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    const Status& begun() const;

    // Sets the contact `id` to `now` if it still holds `before` (every field, by its bytes); false
    // when it does not (nothing written).
    Result<bool> updateContact(qint64 id, const Contact& before, const Contact& now);
    // Adds a contact with a new ID and gives the ID.
    Result<qint64> insertContact(const Contact& contact);
    // Deletes the contact `id` if it still holds `before`; false when it does not.
    Result<bool> deleteContact(qint64 id, const Contact& before);

    Status putCard(const Card& card);
    Status forgetCard(qint64 id);
    Status setSetting(const char* name, const QString& value);

    Status commit();

private:
    Connection& m_connection;
    std::optional<sql::Transaction> m_transaction;
    Status m_begun;
};

// The fields of a contact packed into bytes and back, each value with its kind (Card::base).
QByteArray packFields(const Contact& contact);
Contact unpackFields(const QByteArray& bytes);

} // namespace vinzal::syncstate
