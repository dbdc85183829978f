#include "store_error.h"

using namespace Qt::StringLiterals;

namespace vinzal {

QString StoreError::fullText() const
{
    if (detail.isEmpty())
        return message;
    return message + u"\n\nMessaggio dell'archivio: «"_s + detail + u"»"_s;
}

StoreError StoreError::fromSqlite(int extendedCode, const QString& detail, const QString& what)
{
    // SQLite's primary result codes; the extended codes keep them in their low byte.
    const int code = extendedCode & 0xff;
    const QString head = u"Non è stato possibile "_s + what + u". "_s;
    switch (code) {
    case 5: // SQLITE_BUSY
    case 6: // SQLITE_LOCKED
        return {Kind::Busy,
                head + u"L'archivio è occupato da un altro programma o da un'altra finestra. "
                       u"Riprovare tra qualche istante."_s,
                detail, true};
    case 8: // SQLITE_READONLY
        return {Kind::ReadOnly,
                head + u"L'archivio è di sola lettura, oppure la sua cartella non permette di scrivere. "
                       u"Controllare i permessi del file e della cartella."_s,
                detail, true};
    case 13: // SQLITE_FULL
        return {Kind::DiskFull, head + u"Il disco è pieno. Liberare spazio e riprovare."_s, detail, true};
    case 11: // SQLITE_CORRUPT
    case 26: // SQLITE_NOTADB
        return {Kind::Damaged,
                head + u"L'archivio è danneggiato. Controllarlo con «vinzal-db check» e ripristinare "
                       u"una copia di sicurezza."_s,
                detail};
    case 14: // SQLITE_CANTOPEN
        return {Kind::ReadOnly,
                head + u"Il file dell'archivio, o il file temporaneo che serve per scriverlo, non può "
                       u"essere aperto. Controllare i permessi del file e della cartella."_s,
                detail};
    case 10: // SQLITE_IOERR
        return {Kind::Engine,
                head + u"Si è verificato un errore di lettura o scrittura sul disco. Riprovare; se "
                       u"l'errore si ripete controllare il disco."_s,
                detail};
    default:
        return {Kind::Engine, head + u"L'archivio ha segnalato un errore."_s, detail};
    }
}

StoreError StoreError::disconnected(const QString& what, const QString& detail)
{
    return {Kind::Disconnected,
            u"Non è stato possibile "_s + what +
                u". Il collegamento con il server della rubrica si è interrotto (il server è stato "
                u"riavviato, oppure la rete non risponde). Riprovare tra qualche istante: Vinzal si "
                u"ricollega da sé."_s,
            detail, true};
}

namespace {

// Where the server says a right is missing ("permission denied for table Nomelia"), in Italian: the
// server's own words are English and depend on its version, so only the object is taken from them.
QString missingRight(const QString& detail)
{
    static const std::pair<const char16_t*, const char16_t*> objects[] = {
        {u"permission denied for table ", u" sulla tabella «%1»"},
        {u"permission denied for sequence ", u" sulla sequenza «%1», che numera gli ID"},
        {u"permission denied for schema ", u" sullo schema «%1»"},
        {u"permission denied for database ", u" sulla base di dati «%1»"},
    };
    for (const auto& [english, italian] : objects) {
        const QString prefix = QString::fromUtf16(english);
        if (detail.startsWith(prefix))
            return QString::fromUtf16(italian).arg(detail.mid(prefix.size()).trimmed());
    }
    return QString();
}

} // namespace

StoreError StoreError::fromServer(const QString& state, const QString& detail, const QString& what)
{
    const QString head = u"Non è stato possibile "_s + what + u". "_s;
    if (state == u"42501"_s || state == u"25006"_s) // insufficient_privilege, read_only_sql_transaction
        return {
            Kind::ReadOnly,
            head + u"Il server non dà a questo utente il permesso di farlo"_s + missingRight(detail) +
                u" (per esempio a chi può solo leggere la rubrica). Chiedere a chi amministra il server il "
                u"permesso che manca."_s,
            detail, true};
    // query_canceled: the server's own time limit for one statement, or a cancel by its administrator;
    // neither means that somebody else holds the book, and waiting would not help.
    if (state == u"57014"_s && detail.contains(u"statement timeout"_s))
        return {Kind::Engine,
                head + u"Il server ha interrotto l'operazione perché è durata più del tempo massimo che "
                       u"concede a un'istruzione (statement_timeout). Chiedere a chi amministra il server "
                       u"di aumentare quel limite."_s,
                detail, true};
    if (state == u"57014"_s)
        return {Kind::Engine,
                head + u"Il server ha annullato l'operazione su richiesta di chi lo amministra."_s, detail,
                true};
    if (state == u"40001"_s || state == u"40P01"_s || state == u"55P03"_s)
        return {Kind::Busy,
                head + u"La rubrica sul server è occupata da un altro utente. Riprovare tra qualche "
                       u"istante."_s,
                detail, true};
    if (state == u"2200H"_s) // sequence_generator_limit_exceeded: the identity that numbers the IDs
        return {Kind::Engine,
                head + u"Gli ID della rubrica sono esauriti: il contatore che li numera ha raggiunto il "
                       u"valore più alto possibile. Chiedere a chi amministra il server di riportarlo al più "
                       u"alto ID usato (ALTER TABLE \"Nomelia\" ALTER COLUMN \"ID\" RESTART WITH …): "
                       u"la rubrica non è stata modificata."_s,
                detail};
    if (state == u"53100"_s)
        return {Kind::DiskFull, head + u"Il disco del server è pieno. Avvisare chi amministra il server."_s,
                detail, true};
    if (state.startsWith(u"08"_s) || state.startsWith(u"57P"_s))
        return disconnected(what, detail);
    if (state == u"22021"_s) // a character the server does not store (NUL)
        return {Kind::Engine,
                head + u"Il testo contiene un carattere che il server non può conservare (il carattere "
                       u"nullo). Toglierlo e riprovare."_s,
                detail, true};
    if (state == u"42P01"_s || state == u"42703"_s)
        return {Kind::TableMissing,
                head + u"La rubrica sul server non ha la tabella o i campi che Vinzal si aspetta. "
                       u"Controllarla con «vinzal-db check»."_s,
                detail};
    return {Kind::Engine, head + u"Il server della rubrica ha segnalato un errore."_s, detail};
}

} // namespace vinzal
