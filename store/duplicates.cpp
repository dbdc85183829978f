#include "duplicates.h"

#include "contact_rows.h"
#include "contact_table.h"
#include "italian_order.h"

#include <QDateTime>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <numeric>
#include <set>
#include <vector>

using namespace Qt::StringLiterals;

namespace vinzal::duplicates {

namespace {

// The fields the keys are made of, in the order the queries read them after the row's key.
const std::array keyFields{Field::Nome, Field::EMail,     Field::TelefonoCasa, Field::TelefonoUfficio,
                           Field::Fax,  Field::Telefonino};
constexpr int phoneColumns = 4;

QString fieldName(Field field)
{
    return contacts::fields().at(int(field));
}

QString table()
{
    return quoteIdentifier(contacts::tableName());
}

// --- the keys ------------------------------------------------------------------------------------

// What the name key makes of a character below U+0250 (the letters the Italian folding knows all lie
// there): its folded form, or 0 when it is left out.
const std::array<char16_t, 0x250>& foldTable()
{
    static const std::array<char16_t, 0x250> table = [] {
        std::array<char16_t, 0x250> t{};
        for (char16_t c = 0; c < 0x250; ++c) {
            const QChar character(c);
            if (!character.isLetterOrNumber())
                continue;
            // The indexes' own folding (case and accents), one character at a time.
            const QString folded = order::key(QString(character), order::Key::Folded);
            t[c] = folded.size() == 1 ? folded.at(0).unicode() : c;
        }
        return t;
    }();
    return table;
}

// Writes `c` as UTF-8 at `w`, which moves past it.
void writeUtf8(char*& w, char32_t c)
{
    if (c < 0x80) {
        *w++ = char(c);
    } else if (c < 0x800) {
        *w++ = char(0xC0 | (c >> 6));
        *w++ = char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *w++ = char(0xE0 | (c >> 12));
        *w++ = char(0x80 | ((c >> 6) & 0x3F));
        *w++ = char(0x80 | (c & 0x3F));
    } else {
        *w++ = char(0xF0 | (c >> 18));
        *w++ = char(0x80 | ((c >> 12) & 0x3F));
        *w++ = char(0x80 | ((c >> 6) & 0x3F));
        *w++ = char(0x80 | (c & 0x3F));
    }
}

// Decodes one UTF-8 character at `at`; its length in `length`, or 0 when the bytes there are not
// UTF-8 (the byte is then kept as it is: a name written by another program in another encoding
// still equals only itself).
char32_t decodeUtf8(const QByteArray& bytes, qsizetype at, int& length)
{
    const auto byte = [&](qsizetype i) { return uchar(bytes.at(i)); };
    const uchar first = byte(at);
    int count = first >= 0xF0 && first < 0xF5 ? 4 : first >= 0xE0 ? 3 : first >= 0xC2 && first < 0xE0 ? 2 : 0;
    if (count == 0 || at + count > bytes.size()) {
        length = 0;
        return 0;
    }
    char32_t c = first & (0x7F >> count);
    for (int i = 1; i < count; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            length = 0;
            return 0;
        }
        c = (c << 6) | (byte(at + i) & 0x3F);
    }
    static constexpr char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[count] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
        length = 0;
        return 0;
    }
    length = count;
    return c;
}

// The key builders write into `out`, which keeps its capacity from one row to the next: a million
// rows make no allocation here. No key is longer than its field (a folded letter below U+0250 takes
// at most the bytes it took).
void nameKeyInto(const QByteArray& name, QByteArray& out)
{
    out.resize(name.size());
    char* const start = out.data();
    char* w = start;
    const auto& fold = foldTable();
    for (qsizetype at = 0; at < name.size();) {
        const uchar byte = uchar(name.at(at));
        if (byte < 0x80) {
            if (byte >= 'A' && byte <= 'Z')
                *w++ = char(byte + 32);
            else if ((byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9'))
                *w++ = char(byte);
            ++at;
            continue;
        }
        int length = 0;
        const char32_t c = decodeUtf8(name, at, length);
        if (length == 0) {
            *w++ = char(byte);
            ++at;
            continue;
        }
        at += length;
        if (c < fold.size()) {
            if (fold[c])
                writeUtf8(w, fold[c]);
        } else if (QChar::isLetterOrNumber(c)) {
            writeUtf8(w, c);
        }
    }
    out.resize(w - start);
}

void phoneKeyInto(const QByteArray& phone, QByteArray& out)
{
    // The digits after two places kept for the "00" a leading "+" stands for.
    out.resize(phone.size() + 2);
    char* const start = out.data();
    char* w = start + 2;
    bool plus = false;
    for (const char c : phone) {
        if (c >= '0' && c <= '9')
            *w++ = c;
        else if (c == '+' && w == start + 2)
            plus = true;
    }
    char* from = start + 2;
    if (plus && w > from) {
        from = start;
        start[0] = start[1] = '0';
    }
    if (w - from >= 4 && std::memcmp(from, "0039", 4) == 0)
        from += 4;
    const qsizetype digits = w - from;
    if (digits < minPhoneDigits) {
        out.resize(0);
        return;
    }
    std::memmove(start, from, std::size_t(digits));
    out.resize(digits);
}

void mailKeyInto(const QByteArray& mail, QByteArray& out)
{
    out = mail.trimmed();
    const qsizetype at = out.indexOf('@');
    if (at <= 0 || at == out.size() - 1) {
        out.resize(0);
        return;
    }
    bool ascii = true;
    for (char& c : out) {
        if (uchar(c) >= 0x80)
            ascii = false;
        else if (c >= 'A' && c <= 'Z')
            c = char(c + 32);
    }
    if (!ascii)
        out = QString::fromUtf8(out).toLower().toUtf8();
}

// A 64-bit hash of a key and its reason (FNV-1a, then a finaliser that spreads every bit).
quint64 hashKey(Reason reason, const QByteArray& key)
{
    quint64 h = 0xcbf29ce484222325ULL ^ quint64(reason);
    for (const char c : key) {
        h ^= uchar(c);
        h *= 0x100000001b3ULL;
    }
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb93fe51a863bULL;
    h ^= h >> 33;
    return h;
}

// The keys of one contact, in the order of keyFields: its name, its e-mail, its four phones.
struct Keys
{
    std::array<QByteArray, keyFields.size()> key;
    static Reason reason(std::size_t at)
    {
        return at == 0 ? Reason::Name : at == 1 ? Reason::EMail : Reason::Phone;
    }
};

void keysOf(const Values& columns, int first, Keys& keys)
{
    nameKeyInto(columns.value(first).bytes(), keys.key[0]);
    mailKeyInto(columns.value(first + 1).bytes(), keys.key[1]);
    for (int i = 0; i < phoneColumns; ++i)
        phoneKeyInto(columns.value(first + 2 + i).bytes(), keys.key[2 + i]);
}

// --- union-find ----------------------------------------------------------------------------------

class Sets
{
public:
    explicit Sets(std::size_t size) : m_parent(size) { std::iota(m_parent.begin(), m_parent.end(), 0u); }
    quint32 root(quint32 at)
    {
        while (m_parent[at] != at)
            at = m_parent[at] = m_parent[m_parent[at]];
        return at;
    }
    // The smaller root stays: a set's root is its first member.
    void join(quint32 a, quint32 b)
    {
        a = root(a);
        b = root(b);
        if (a != b)
            m_parent[std::max(a, b)] = std::min(a, b);
    }

private:
    std::vector<quint32> m_parent;
};

// --- reading the book ----------------------------------------------------------------------------

QString keyColumns(Engine engine)
{
    QStringList columns{dialect::rowid(engine)};
    for (Field field : keyFields)
        columns.append(quoteIdentifier(fieldName(field)));
    return columns.join(u", "_s);
}

const QString searching = u"cercare i doppioni"_s;

Result<bool> tableExists(Connection& connection, const QString& name)
{
    const Value quoted = Value::fromEditedText(quoteIdentifier(name));
    auto found =
        connection.engine() == Engine::Sqlite
            ? connection.readOne(u"SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?"_s,
                                 {Value::fromEditedText(name)})
            : connection.readOne(u"SELECT count(to_regclass(?))"_s, {quoted});
    if (!found)
        return found.error();
    return found.value() && found.value()->value(0).toInteger() > 0;
}

// The ignored groups: for each ID, the groups it is in, and each group's IDs.
struct Ignored
{
    QHash<qint64, QList<qint64>> groupsOf;
    QHash<qint64, QSet<qint64>> members;

    bool covers(const QList<qint64>& ids) const
    {
        for (qint64 group : groupsOf.value(ids.first())) {
            const QSet<qint64>& set = members[group];
            if (std::all_of(ids.begin(), ids.end(), [&](qint64 id) { return set.contains(id); }))
                return true;
        }
        return false;
    }
};

Result<Ignored> readIgnored(Connection& connection)
{
    Ignored ignored;
    auto exists = tableExists(connection, ignoredTable());
    if (!exists)
        return exists.error();
    if (!exists.value())
        return ignored;
    sql::Statement read(connection.db(),
                        u"SELECT \"Gruppo\", \"ID\" FROM "_s + quoteIdentifier(ignoredTable()), searching);
    for (;;) {
        auto row = read.next();
        if (!row)
            return row.error();
        if (!row.value())
            break;
        const qint64 group = read.integer(0), id = read.integer(1);
        ignored.groupsOf[id].append(group);
        ignored.members[group].insert(id);
    }
    return ignored;
}

// One row of a candidate set, read again: its ID, name and keys.
struct Candidate
{
    qint64 id = 0;
    Value name;
    Keys keys;
};

constexpr int batch = 64;

// Reads the key columns of `ids` (in batches of a fixed statement, padded with the last ID).
Status readCandidates(Connection& connection, const std::vector<qint64>& ids, std::vector<Candidate>& out)
{
    const Engine engine = connection.engine();
    QStringList marks;
    for (int i = 0; i < batch; ++i)
        marks.append(u"?"_s);
    const QString sql = u"SELECT "_s + keyColumns(engine) + u" FROM "_s + table() + u" WHERE "_s +
                        dialect::rowid(engine) + u" IN ("_s + marks.join(u", "_s) + u") ORDER BY "_s +
                        dialect::rowid(engine);
    out.clear();
    for (std::size_t at = 0; at < ids.size(); at += batch) {
        sql::Statement read(connection.db(), sql, searching);
        for (std::size_t i = 0; i < std::size_t(batch); ++i)
            read.bind(ids[std::min(at + i, ids.size() - 1)]);
        for (;;) {
            auto row = read.next();
            if (!row)
                return row.error();
            if (!row.value())
                break;
            Values columns;
            for (int c = 0; c < read.columnCount(); ++c)
                columns.append(read.value(c));
            Candidate candidate;
            candidate.id = columns.at(0).toInteger();
            candidate.name = columns.at(1);
            keysOf(columns, 1, candidate.keys);
            out.push_back(std::move(candidate));
        }
    }
    return {};
}

// The exact groups among `candidates` (in ID order), with their links.
QList<Group> exactGroups(const std::vector<Candidate>& candidates)
{
    Sets sets(candidates.size());
    // Key (with its reason) to the candidates holding it.
    QHash<std::pair<int, QByteArray>, std::vector<quint32>> holders;
    for (quint32 i = 0; i < candidates.size(); ++i)
        for (std::size_t k = 0; k < keyFields.size(); ++k) {
            const QByteArray& key = candidates[i].keys.key[k];
            if (key.isEmpty())
                continue;
            auto& list = holders[{int(Keys::reason(k)), key}];
            if (list.empty() || list.back() != i)
                list.push_back(i);
        }
    QMap<std::pair<int, QByteArray>, std::vector<quint32>> shared; // sorted, so links come in a fixed order
    std::vector<bool> linked(candidates.size());
    for (auto it = holders.cbegin(); it != holders.cend(); ++it)
        if (it.value().size() > 1) {
            for (quint32 i : it.value()) {
                sets.join(it.value().front(), i);
                linked[i] = true;
            }
            shared.insert(it.key(), it.value());
        }
    QMap<quint32, Group> byRoot;
    for (quint32 i = 0; i < candidates.size(); ++i) {
        if (!linked[i])
            continue;
        Group& group = byRoot[sets.root(i)];
        group.ids.append(candidates[i].id);
        group.names.append(candidates[i].name);
    }
    for (auto it = shared.cbegin(); it != shared.cend(); ++it) {
        Link link;
        link.reason = Reason(it.key().first);
        link.key = it.key().second;
        for (quint32 i : it.value())
            link.ids.append(candidates[i].id);
        byRoot[sets.root(it.value().front())].links.append(link);
    }
    QList<Group> groups;
    for (Group& group : byRoot)
        if (group.ids.size() > 1) {
            std::sort(group.links.begin(), group.links.end(), [](const Link& a, const Link& b) {
                return std::pair(int(a.reason), a.ids) < std::pair(int(b.reason), b.ids);
            });
            groups.append(std::move(group));
        }
    return groups;
}

// --- writing -------------------------------------------------------------------------------------

// The merged contacts' table: the merge's number, what the row is ("unito": a contact merged away;
// "prima" and "dopo": the survivor before and after), when, and the twelve fields. On a file the
// fields have no declared type, so that SQLite keeps each value's kind and bytes as they were.
QString createMerged(Engine engine)
{
    QStringList columns{u"\"Unione\" "_s + (engine == Engine::Sqlite ? u"INTEGER"_s : u"bigint"_s) +
                            u" NOT NULL"_s,
                        u"\"Stato\" TEXT NOT NULL"_s, u"\"Quando\" TEXT"_s};
    for (const QString& field : contacts::fields())
        columns.append(quoteIdentifier(field) +
                       (field == contacts::idField()
                            ? (engine == Engine::Sqlite ? u" INTEGER NOT NULL"_s : u" bigint NOT NULL"_s)
                            : (engine == Engine::Sqlite ? QString() : u" text"_s)));
    return u"CREATE TABLE IF NOT EXISTS "_s + quoteIdentifier(mergedTable()) + u" ("_s +
           columns.join(u", "_s) + u")"_s;
}

QString createIgnored(Engine engine)
{
    const QString integer = engine == Engine::Sqlite ? u"INTEGER"_s : u"bigint"_s;
    return u"CREATE TABLE IF NOT EXISTS "_s + quoteIdentifier(ignoredTable()) + u" (\"Gruppo\" "_s + integer +
           u" NOT NULL, \"ID\" "_s + integer + u" NOT NULL, PRIMARY KEY (\"Gruppo\", \"ID\"))"_s;
}

// Only a book made before the two tables were made with it lacks one; asking first means a merge
// needs no right to create tables, which even CREATE TABLE IF NOT EXISTS checks before looking.
Status makeTableIfMissing(Connection& connection, const QString& name, const QString& create,
                          const QString& what)
{
    auto exists = tableExists(connection, name);
    if (!exists)
        return exists.error();
    return exists.value() ? Status() : connection.db().exec(create, what);
}

StoreError changedSince(qint64 id, const QString& what)
{
    return StoreError{
        StoreError::Kind::Conflict,
        u"Il contatto con ID %1 è stato modificato o eliminato da un'altra finestra o da un altro "
        u"programma dopo che i doppioni sono stati mostrati. %2 non è stata fatta e non è "
        u"cambiato nulla: cercare di nuovo i doppioni."_s.arg(id)
            .arg(what),
        {}};
}

// The row `id` as it is now, locked against other writers until the transaction ends (on a file
// the transaction's own lock does it); NoCurrentRow when it is gone.
Result<Row> readLocked(Connection& connection, qint64 id)
{
    if (connection.engine() == Engine::Sqlite)
        return readRow(connection, id);
    auto read = connection.readOne(u"SELECT "_s + rowColumns(Engine::Postgres) + u" FROM "_s + table() +
                                       u" WHERE \"ID\" = ? FOR UPDATE"_s,
                                   {Value::integer(id)});
    if (!read)
        return read.error();
    if (!read.value())
        return StoreError{StoreError::Kind::NoCurrentRow, {}, {}};
    return rowFromValues(*read.value());
}

Status archive(Connection& connection, qint64 merge, const QString& state, const Contact& fields,
               const QString& when, const QString& what)
{
    QStringList columns{u"\"Unione\""_s, u"\"Stato\""_s, u"\"Quando\""_s}, marks{u"?"_s, u"?"_s, u"?"_s};
    for (const QString& field : contacts::fields()) {
        columns.append(quoteIdentifier(field));
        marks.append(u"?"_s);
    }
    sql::Statement insert(connection.db(),
                          u"INSERT INTO "_s + quoteIdentifier(mergedTable()) + u" ("_s +
                              columns.join(u", "_s) + u") VALUES ("_s + marks.join(u", "_s) + u")"_s,
                          what);
    insert.bind(merge).bind(Value::fromEditedText(state)).bind(Value::fromEditedText(when));
    for (const Value& value : fields.values)
        insert.bind(value);
    auto done = insert.run();
    return done ? Status() : Status(done.error());
}

// Deletes `row` only if every field still holds what it held when shown.
Status deleteGuarded(Connection& connection, const Row& row, const QString& what)
{
    const Engine engine = connection.engine();
    QStringList guards;
    for (const QString& field : contacts::fields().mid(1))
        guards.append(dialect::same(engine, dialect::guarded(engine, quoteIdentifier(field)), u"?"_s));
    sql::Statement remove(connection.db(),
                          u"DELETE FROM "_s + table() + u" WHERE "_s + dialect::rowid(engine) +
                              u" = ? AND "_s + guards.join(u" AND "_s),
                          what);
    remove.bind(row.rowid);
    for (int i = 1; i < fieldCount; ++i)
        remove.bind(dialect::guardValue(engine, row.fields.at(i)));
    auto removed = remove.run();
    if (!removed)
        return removed.error();
    return removed.value() == 1 ? Status() : Status(changedSince(row.rowid, u"L'unione"_s));
}

} // namespace

QByteArray nameKey(const Value& name)
{
    QByteArray key;
    nameKeyInto(name.bytes(), key);
    return key;
}

QByteArray phoneKey(const Value& phone)
{
    QByteArray key;
    phoneKeyInto(phone.bytes(), key);
    return key;
}

QByteArray mailKey(const Value& mail)
{
    QByteArray key;
    mailKeyInto(mail.bytes(), key);
    return key;
}

QString mergedTable()
{
    return u"VinzalUniti"_s;
}

QString ignoredTable()
{
    return u"VinzalIgnorati"_s;
}

QString Link::text() const
{
    QStringList shown;
    for (qint64 id : ids)
        shown.append(QString::number(id));
    return what() + u": ID "_s + shown.join(u", "_s);
}

QString Link::what() const
{
    const QString shownKey = QString::fromUtf8(key);
    return reason == Reason::Name    ? u"stesso nome («"_s + shownKey + u"»)"_s
           : reason == Reason::Phone ? u"stesso numero "_s + shownKey
                                     : u"stessa e-mail "_s + shownKey;
}

QString Group::reasonsText() const
{
    QStringList texts;
    for (const Link& link : links)
        texts.append(link.text());
    return texts.join(u"; "_s);
}

Status find(Connection& connection, const Progress& progress)
{
    if (Status connected = connection.ready(); !connected)
        return connected;
    const Engine engine = connection.engine();
    auto ignored = readIgnored(connection);
    if (!ignored)
        return ignored.error();

        // One pass over the book: each row's position, and a (hash, position) pair per key it has.
        // 12 bytes: a million contacts with their usual three or four keys take about 45 MB.
#pragma pack(push, 4)
    struct Entry
    {
        quint64 hash;
        quint32 at;
    };
#pragma pack(pop)
    std::vector<qint64> ids;
    std::vector<Entry> entries;
    qint64 total = 0;
    if (auto counted = contacts::count(connection); counted)
        total = counted.value();
    ids.reserve(std::size_t(total));
    entries.reserve(std::size_t(total) * 4);
    {
        sql::Statement scan(connection.db(),
                            u"SELECT "_s + keyColumns(engine) + u" FROM "_s + table() + u" ORDER BY "_s +
                                dialect::rowid(engine),
                            searching);
        Keys keys;
        Values columns;
        for (;;) {
            auto row = scan.next();
            if (!row)
                return row.error();
            if (!row.value())
                break;
            if (ids.size() >= std::numeric_limits<quint32>::max())
                return StoreError{StoreError::Kind::Engine,
                                  u"La rubrica ha troppi contatti per cercarne i doppioni."_s,
                                  {}};
            const auto at = quint32(ids.size());
            ids.push_back(scan.integer(0));
            columns.resize(0);
            for (int c = 0; c < 1 + int(keyFields.size()); ++c)
                columns.append(scan.value(c));
            keysOf(columns, 1, keys);
            for (std::size_t k = 0; k < keyFields.size(); ++k)
                if (!keys.key[k].isEmpty())
                    entries.push_back({hashKey(Keys::reason(k), keys.key[k]), at});
            if (progress.reading && (at & 0xFFFF) == 0)
                progress.reading(at, total);
        }
    }

    // Equal hashes side by side; each run of two or more joins its rows.
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.hash < b.hash || (a.hash == b.hash && a.at < b.at);
    });
    Sets sets(ids.size());
    std::vector<bool> candidate(ids.size());
    for (std::size_t i = 0; i < entries.size();) {
        std::size_t end = i + 1;
        while (end < entries.size() && entries[end].hash == entries[i].hash)
            ++end;
        for (std::size_t j = i + 1; j < end; ++j)
            if (entries[j].at != entries[i].at) {
                sets.join(entries[i].at, entries[j].at);
                candidate[entries[i].at] = candidate[entries[j].at] = true;
            }
        i = end;
    }
    std::vector<Entry>().swap(entries);

    // The candidate sets, in the order of their first row (which is their lowest ID).
    std::vector<std::pair<quint32, quint32>> members; // (root, position)
    for (quint32 at = 0; at < ids.size(); ++at)
        if (candidate[at])
            members.push_back({sets.root(at), at});
    std::sort(members.begin(), members.end());
    const qint64 sets_total = qint64(members.size());

    // Each set's rows read again and their keys compared exactly.
    std::vector<qint64> setIds;
    std::vector<Candidate> read;
    for (std::size_t i = 0; i < members.size();) {
        std::size_t end = i;
        setIds.clear();
        while (end < members.size() && members[end].first == members[i].first)
            setIds.push_back(ids[members[end++].second]);
        if (Status done = readCandidates(connection, setIds, read); !done)
            return done;
        for (Group& group : exactGroups(read)) {
            if (ignored.value().covers(group.ids))
                continue;
            if (progress.group && !progress.group(group))
                return {};
        }
        if (progress.checking)
            progress.checking(qint64(end), sets_total);
        i = end;
    }
    return {};
}

Result<QList<Group>> findAll(Connection& connection)
{
    QList<Group> groups;
    Progress progress;
    progress.group = [&groups](const Group& group) {
        groups.append(group);
        return true;
    };
    if (Status found = find(connection, progress); !found)
        return found.error();
    return groups;
}

Result<bool> alike(Connection& connection, const QList<qint64>& ids)
{
    if (Status connected = connection.ready(); !connected)
        return connected.error();
    std::vector<qint64> wanted(ids.begin(), ids.end());
    std::vector<Candidate> read;
    if (Status done = readCandidates(connection, wanted, read); !done)
        return done.error();
    const QList<Group> groups = exactGroups(read);
    return groups.size() == 1 &&
           groups.first().ids.size() == qsizetype(std::set<qint64>(ids.begin(), ids.end()).size());
}

namespace {

// The IDs a caller gave, each once, lowest first: what a group is made of.
QList<qint64> sortedDistinct(QList<qint64> ids)
{
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

} // namespace

Result<QList<Group>> groupsAmong(Connection& connection, QList<qint64> ids)
{
    ids = sortedDistinct(std::move(ids));
    if (ids.size() < 2)
        return QList<Group>();
    if (Status connected = connection.ready(); !connected)
        return connected.error();
    std::vector<qint64> wanted(ids.begin(), ids.end());
    std::vector<Candidate> read;
    if (Status done = readCandidates(connection, wanted, read); !done)
        return done.error();
    return exactGroups(read);
}

namespace {

// A field's value compared as the duplicate rules compare: a phone by its number, an e-mail without
// case and blanks, any other text by its letters and digits, folded. Empty for an empty value.
QByteArray choiceKey(Field field, const Value& value)
{
    QByteArray key;
    switch (field) {
    case Field::TelefonoCasa:
    case Field::TelefonoUfficio:
    case Field::Fax:
    case Field::Telefonino:
        key = phoneKey(value);
        break;
    case Field::EMail:
        key = mailKey(value);
        break;
    default:
        key = nameKey(value);
        break;
    }
    // What the rules make nothing of ("---", "interno 1") is compared as written, blanks aside.
    return key.isEmpty() ? value.bytes().trimmed() : key;
}

// The value most of `rows` agree on for `field`: of the groups of equal keys, the largest, then the
// one with the longest value once trimmed, then the first in ID order. Of its spellings, the one
// written most often, then one without blanks around it, then the first. Null when none has one.
const Value* majorityValue(const QList<Row>& rows, Field field)
{
    struct Group
    {
        QByteArray key;
        QList<const Value*> values;
    };
    QList<Group> groups;
    for (const Row& row : rows) {
        const Value& value = row.fields[field];
        const QByteArray key = choiceKey(field, value);
        if (key.isEmpty())
            continue;
        auto group = std::find_if(groups.begin(), groups.end(), [&](const Group& g) { return g.key == key; });
        if (group == groups.end())
            groups.append(Group{key, {&value}});
        else
            group->values.append(&value);
    }
    const auto spelling = [](const Group& group) {
        const Value* best = nullptr;
        qsizetype bestCount = 0;
        for (const Value* value : group.values) {
            const qsizetype count = std::count_if(group.values.begin(), group.values.end(),
                                                  [&](const Value* other) { return *other == *value; });
            const bool clean = value->bytes() == value->bytes().trimmed();
            const bool bestClean = best && best->bytes() == best->bytes().trimmed();
            if (!best || count > bestCount || (count == bestCount && clean && !bestClean)) {
                best = value;
                bestCount = count;
            }
        }
        return best;
    };
    const Group* chosen = nullptr;
    for (const Group& group : groups) {
        if (!chosen || group.values.size() > chosen->values.size() ||
            (group.values.size() == chosen->values.size() &&
             spelling(group)->bytes().trimmed().size() > spelling(*chosen)->bytes().trimmed().size()))
            chosen = &group;
    }
    return chosen ? spelling(*chosen) : nullptr;
}

} // namespace

Contact defaultChoice(const QList<Row>& rows)
{
    Contact kept;
    if (rows.isEmpty())
        return kept;
    kept[Field::Id] = Value::integer(rows.first().rowid);
    for (int f = 1; f < fieldCount; ++f) {
        const Field field = Field(f);
        if (field == Field::Osservazioni)
            continue;
        // NULL and the empty text stay as the lowest ID has them when nobody has a value.
        const Value* best = majorityValue(rows, field);
        kept.at(f) = best ? *best : rows.first().fields.at(f);
    }
    // An address goes with its own city, never with another contact's: the city of a contact that has
    // the address kept (one that has a city first), even none. The others stay in the remarks.
    if (const QByteArray address = choiceKey(Field::Indirizzo, kept[Field::Indirizzo]); !address.isEmpty()) {
        const Row* from = nullptr;
        for (const Row& row : rows)
            if (choiceKey(Field::Indirizzo, row.fields[Field::Indirizzo]) == address &&
                (!from || (from->fields[Field::Citta].bytes().trimmed().isEmpty() &&
                           !row.fields[Field::Citta].bytes().trimmed().isEmpty())))
                from = &row;
        kept[Field::Citta] = from->fields[Field::Citta];
    }
    kept[Field::Osservazioni] = mergedRemarks(rows, kept);
    return kept;
}

Value mergedRemarks(const QList<Row>& rows, const Contact& kept)
{
    const Value joined = joinedRemarks(rows);
    QByteArray breakBytes = "\r\n";
    if (!joined.bytes().contains("\r\n") && joined.bytes().contains('\n'))
        breakBytes = "\n";
    QByteArray lines;
    for (int f = 1; f < fieldCount; ++f) {
        const Field field = Field(f);
        if (field == Field::Osservazioni)
            continue;
        QList<QByteArray> listed{choiceKey(field, kept.at(f))};
        for (const Row& row : rows) {
            const Value& value = row.fields.at(f);
            const QByteArray key = choiceKey(field, value);
            if (key.isEmpty() || listed.contains(key))
                continue;
            listed.append(key);
            lines += breakBytes + contacts::fields().at(f).toUtf8() + ", da ID " +
                     QByteArray::number(row.rowid) + ": " + value.bytes();
        }
    }
    if (lines.isEmpty())
        return joined;
    QByteArray text = joined.bytes();
    if (!text.isEmpty())
        text += breakBytes;
    text += QString(u"— valori non tenuti —"_s).toUtf8() + lines;
    return joined.kind() == Value::Kind::Blob ? Value::blob(text) : Value::text(text);
}

Value joinedRemarks(const QList<Row>& rows)
{
    QByteArray breakBytes = "\r\n";
    for (const Row& row : rows) {
        const QByteArray bytes = row.fields[Field::Osservazioni].bytes();
        if (bytes.contains("\r\n"))
            break;
        if (bytes.contains('\n')) {
            breakBytes = "\n";
            break;
        }
    }
    QByteArray joined;
    bool any = false, blob = false, anyValue = false;
    for (const Row& row : rows) {
        const Value& remark = row.fields[Field::Osservazioni];
        anyValue = anyValue || !remark.isNull();
        if (remark.bytes().isEmpty())
            continue;
        blob = blob || remark.kind() == Value::Kind::Blob;
        if (any)
            joined += breakBytes + QString(u"— unito da ID %1 —"_s).arg(row.rowid).toUtf8() + breakBytes;
        joined += remark.bytes();
        any = true;
    }
    if (!any) // no remark at all: the first's (NULL or the empty text)
        return anyValue ? rows.first().fields[Field::Osservazioni] : Value();
    // A single remark stays the very value it was.
    int holders = 0;
    const Value* only = nullptr;
    for (const Row& row : rows)
        if (!row.fields[Field::Osservazioni].bytes().isEmpty()) {
            ++holders;
            only = &row.fields[Field::Osservazioni];
        }
    if (holders == 1)
        return *only;
    return blob ? Value::blob(joined) : Value::text(joined);
}

Result<qint64> merge(Connection& connection, const QList<Row>& shownRows, const Contact& kept)
{
    const QString what = u"unire i contatti"_s;
    QList<Row> rows = shownRows;
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.rowid < b.rowid; });
    if (rows.size() < 2)
        return StoreError{StoreError::Kind::Engine, u"Per unire servono almeno due contatti."_s, {}};
    for (qsizetype i = 1; i < rows.size(); ++i)
        if (rows.at(i).rowid == rows.at(i - 1).rowid)
            return StoreError{StoreError::Kind::Engine,
                              u"Il contatto con ID %1 è indicato due volte."_s.arg(rows.at(i).rowid),
                              {}};
    const Row& survivor = rows.first();
    QList<FieldChange> changes;
    for (int f = 1; f < fieldCount; ++f)
        if (kept.at(f) != survivor.fields.at(f))
            changes.append({contacts::fields().at(f), kept.at(f), survivor.fields.at(f)});
    if (Status allowed = storable(connection, changes); !allowed)
        return allowed.error();
    if (Status connected = connection.ready(); !connected)
        return connected.error();
    const Engine engine = connection.engine();
    sql::Database& db = connection.db();
    sql::Transaction transaction(db, what, sql::Transaction::Kind::Write);
    if (!transaction.begun())
        return transaction.begun().error();
    if (Status made = makeTableIfMissing(connection, mergedTable(), createMerged(engine), what); !made)
        return made.error();
    if (engine == Engine::Postgres)
        if (Status locked =
                db.exec(u"LOCK TABLE "_s + quoteIdentifier(mergedTable()) + u" IN EXCLUSIVE MODE"_s, what);
            !locked)
            return locked.error();

    // Every contact must still be exactly as shown, every field of it.
    for (const Row& row : rows) {
        auto now = readLocked(connection, row.rowid);
        if (!now) {
            if (now.error().kind == StoreError::Kind::NoCurrentRow)
                return changedSince(row.rowid, u"L'unione"_s);
            return now.error();
        }
        if (now.value().fields.values != row.fields.values ||
            now.value().fields[Field::Id].toInteger() != row.rowid)
            return changedSince(row.rowid, u"L'unione"_s);
    }

    auto number = connection.readOne(
        u"SELECT COALESCE(MAX(\"Unione\"), 0) + 1 FROM "_s + quoteIdentifier(mergedTable()), {});
    if (!number)
        return number.error();
    const qint64 merge = number.value() ? number.value()->value(0).toInteger() : 1;
    const QString when = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);

    for (const Row& row : rows.mid(1))
        if (Status kept = archive(connection, merge, u"unito"_s, row.fields, when, what); !kept)
            return kept.error();
    Contact after = kept;
    after[Field::Id] = survivor.fields[Field::Id];
    if (Status before = archive(connection, merge, u"prima"_s, survivor.fields, when, what); !before)
        return before.error();
    if (Status written = archive(connection, merge, u"dopo"_s, after, when, what); !written)
        return written.error();

    if (Status updated = updateRow(connection, survivor.rowid, changes); !updated) {
        if (updated.error().kind == StoreError::Kind::Conflict)
            return changedSince(survivor.rowid, u"L'unione"_s);
        return updated.error();
    }
    for (const Row& row : rows.mid(1))
        if (Status removed = deleteGuarded(connection, row, what); !removed)
            return removed.error();
    if (Status committed = transaction.commit(); !committed)
        return committed.error();
    return merge;
}

Result<QList<qint64>> unmerge(Connection& connection, qint64 id)
{
    const QString what = u"annullare l'unione"_s;
    if (Status connected = connection.ready(); !connected)
        return connected.error();
    const Engine engine = connection.engine();
    sql::Database& db = connection.db();
    const StoreError none{StoreError::Kind::NoCurrentRow,
                          u"Il contatto con ID %1 non risulta in nessuna unione da annullare."_s.arg(id),
                          {}};
    auto exists = tableExists(connection, mergedTable());
    if (!exists)
        return exists.error();
    if (!exists.value())
        return none;
    sql::Transaction transaction(db, what, sql::Transaction::Kind::Write);
    if (!transaction.begun())
        return transaction.begun().error();
    if (engine == Engine::Postgres)
        if (Status locked =
                db.exec(u"LOCK TABLE "_s + quoteIdentifier(mergedTable()) + u" IN EXCLUSIVE MODE"_s, what);
            !locked)
            return locked.error();
    auto latest = connection.readOne(u"SELECT MAX(\"Unione\") FROM "_s + quoteIdentifier(mergedTable()) +
                                         u" WHERE \"ID\" = ?"_s,
                                     {Value::integer(id)});
    if (!latest)
        return latest.error();
    if (!latest.value() || latest.value()->value(0).isNull())
        return none;
    const qint64 merge = latest.value()->value(0).toInteger();

    // A later merge that took in one of this merge's contacts must be undone first: undoing this one
    // underneath it would give its survivor the fields of before both, and the later merge could then
    // never be undone (its survivor no longer as it left it), stranding the contacts it took in.
    auto later = connection.readOne(
        u"SELECT \"Unione\", \"ID\" FROM "_s + quoteIdentifier(mergedTable()) +
            u" WHERE \"Stato\" = 'unito' AND \"Unione\" = (SELECT min(\"Unione\") FROM "_s +
            quoteIdentifier(mergedTable()) + u" WHERE \"Unione\" > ? AND \"ID\" IN (SELECT \"ID\" FROM "_s +
            quoteIdentifier(mergedTable()) + u" WHERE \"Unione\" = ?)) ORDER BY \"ID\""_s,
        {Value::integer(merge), Value::integer(merge)});
    if (!later)
        return later.error();
    if (later.value())
        return StoreError{
            StoreError::Kind::Conflict,
            u"L'unione del contatto con ID %1 non può essere annullata prima di quella, più "
            u"recente, del contatto con ID %2, che riguarda uno degli stessi contatti: annullare "
            u"prima quella. Non è cambiato nulla."_s.arg(id)
                .arg(later.value()->value(1).toInteger()),
            {}};

    QStringList columns;
    for (const QString& field : contacts::fields())
        columns.append(quoteIdentifier(field));
    Contact before, after;
    QList<Contact> merged;
    {
        sql::Statement read(db,
                            u"SELECT \"Stato\", "_s + columns.join(u", "_s) + u" FROM "_s +
                                quoteIdentifier(mergedTable()) + u" WHERE \"Unione\" = ? ORDER BY \"ID\""_s,
                            what);
        read.bind(merge);
        for (;;) {
            auto row = read.next();
            if (!row)
                return row.error();
            if (!row.value())
                break;
            Contact contact;
            for (int f = 0; f < fieldCount; ++f)
                contact.at(f) = read.value(1 + f);
            contact[Field::Id] = Value::integer(contact[Field::Id].toInteger());
            const QByteArray state = read.value(0).bytes();
            if (state == "prima")
                before = contact;
            else if (state == "dopo")
                after = contact;
            else
                merged.append(contact);
        }
    }
    const qint64 survivor = before[Field::Id].toInteger();
    auto now = readLocked(connection, survivor);
    if (!now) {
        if (now.error().kind == StoreError::Kind::NoCurrentRow)
            return StoreError{StoreError::Kind::Conflict,
                              u"Il contatto con ID %1, in cui gli altri erano stati uniti, non esiste più: "
                              u"l'unione non può essere annullata. Non è cambiato nulla."_s.arg(survivor),
                              {}};
        return now.error();
    }
    for (int f = 1; f < fieldCount; ++f)
        if (now.value().fields.at(f) != after.at(f))
            return StoreError{StoreError::Kind::Conflict,
                              u"Il contatto con ID %1 è stato modificato dopo l'unione (il campo «%2»): "
                              u"annullandola si perderebbe quella modifica, perciò l'unione non è stata "
                              u"annullata e non è cambiato nulla."_s.arg(survivor)
                                  .arg(contacts::fields().at(f)),
                              {}};
    QList<FieldChange> changes;
    for (int f = 1; f < fieldCount; ++f)
        if (before.at(f) != after.at(f))
            changes.append({contacts::fields().at(f), before.at(f), after.at(f)});
    if (Status updated = updateRow(connection, survivor, changes); !updated)
        return updated.error();

    QStringList marks;
    for (int f = 0; f < fieldCount; ++f)
        marks.append(u"?"_s);
    QList<qint64> given{survivor};
    for (const Contact& contact : std::as_const(merged)) {
        sql::Statement insert(db,
                              u"INSERT INTO "_s + table() + u" ("_s + columns.join(u", "_s) +
                                  u") VALUES ("_s + marks.join(u", "_s) + u")"_s,
                              what);
        for (const Value& value : contact.values)
            insert.bind(value);
        auto done = insert.run();
        if (!done) {
            StoreError error = done.error();
            error.message = u"Il contatto con ID %1 non può essere rimesso nella rubrica (forse un altro "
                            u"contatto ha preso quell'ID): l'unione non è stata annullata e non è cambiato "
                            u"nulla."_s.arg(contact[Field::Id].toInteger());
            return error;
        }
        given.append(contact[Field::Id].toInteger());
    }
    sql::Statement forget(db, u"DELETE FROM "_s + quoteIdentifier(mergedTable()) + u" WHERE \"Unione\" = ?"_s,
                          what);
    forget.bind(merge);
    if (auto done = forget.run(); !done)
        return done.error();
    if (Status committed = transaction.commit(); !committed)
        return committed.error();
    return given;
}

Status ignore(Connection& connection, QList<qint64> ids)
{
    const QString what = u"ricordare che i contatti non sono doppioni"_s;
    ids = sortedDistinct(std::move(ids));
    if (ids.size() < 2)
        return {};
    if (Status connected = connection.ready(); !connected)
        return connected;
    const Engine engine = connection.engine();
    sql::Database& db = connection.db();
    sql::Transaction transaction(db, what, sql::Transaction::Kind::Write);
    if (!transaction.begun())
        return transaction.begun();
    if (Status made = makeTableIfMissing(connection, ignoredTable(), createIgnored(engine), what); !made)
        return made;
    if (engine == Engine::Postgres)
        if (Status locked =
                db.exec(u"LOCK TABLE "_s + quoteIdentifier(ignoredTable()) + u" IN EXCLUSIVE MODE"_s, what);
            !locked)
            return locked;
    auto number = connection.readOne(
        u"SELECT COALESCE(MAX(\"Gruppo\"), 0) + 1 FROM "_s + quoteIdentifier(ignoredTable()), {});
    if (!number)
        return number.error();
    const qint64 group = number.value() ? number.value()->value(0).toInteger() : 1;
    for (qint64 id : std::as_const(ids)) {
        sql::Statement insert(db,
                              u"INSERT INTO "_s + quoteIdentifier(ignoredTable()) +
                                  u" (\"Gruppo\", \"ID\") VALUES (?, ?)"_s,
                              what);
        insert.bind(group).bind(id);
        if (auto done = insert.run(); !done)
            return done.error();
    }
    return transaction.commit();
}

Status unignore(Connection& connection, QList<qint64> ids)
{
    const QString what = u"proporre di nuovo i contatti come doppioni"_s;
    ids = sortedDistinct(std::move(ids));
    if (ids.size() < 2)
        return {};
    auto exists = tableExists(connection, ignoredTable());
    if (!exists)
        return exists.error();
    if (!exists.value())
        return {};
    sql::Database& db = connection.db();
    sql::Transaction transaction(db, what, sql::Transaction::Kind::Write);
    if (!transaction.begun())
        return transaction.begun();
    // The groups that hold the first contact, and of those the ones made of exactly `ids`.
    QList<qint64> groups;
    {
        sql::Statement read(db,
                            u"SELECT \"Gruppo\", \"ID\" FROM "_s + quoteIdentifier(ignoredTable()) +
                                u" WHERE \"Gruppo\" IN (SELECT \"Gruppo\" FROM "_s +
                                quoteIdentifier(ignoredTable()) +
                                u" WHERE \"ID\" = ?) ORDER BY \"Gruppo\", \"ID\""_s,
                            what);
        read.bind(ids.first());
        QMap<qint64, QList<qint64>> members;
        for (;;) {
            auto row = read.next();
            if (!row)
                return row.error();
            if (!row.value())
                break;
            members[read.integer(0)].append(read.integer(1));
        }
        for (auto it = members.cbegin(); it != members.cend(); ++it)
            if (it.value() == ids)
                groups.append(it.key());
    }
    for (qint64 group : std::as_const(groups)) {
        sql::Statement forget(
            db, u"DELETE FROM "_s + quoteIdentifier(ignoredTable()) + u" WHERE \"Gruppo\" = ?"_s, what);
        forget.bind(group);
        if (auto done = forget.run(); !done)
            return done.error();
    }
    return transaction.commit();
}

Status makeTables(sql::Database& db)
{
    const QString what = u"creare le tabelle delle unioni"_s;
    const QList<std::pair<QString, QString>> tables{{mergedTable(), createMerged(db.engine())},
                                                    {ignoredTable(), createIgnored(db.engine())}};
    for (const auto& [name, create] : tables) {
        // Asked first: even CREATE TABLE IF NOT EXISTS needs the right to create, which the role that
        // replaces a kept book's contacts may not have.
        sql::Statement exists(db,
                              db.engine() == Engine::Sqlite
                                  ? u"SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?"_s
                                  : u"SELECT count(to_regclass(?))"_s,
                              what);
        exists.bind(Value::fromEditedText(db.engine() == Engine::Sqlite ? name : quoteIdentifier(name)));
        auto row = exists.next();
        if (!row)
            return row.error();
        if (row.value() && exists.integer(0) > 0)
            continue;
        if (Status made = db.exec(create, what); !made)
            return made;
    }
    return {};
}

Status emptyTables(sql::Database& db)
{
    const QString what = u"svuotare le tabelle delle unioni"_s;
    for (const QString& table : {mergedTable(), ignoredTable()})
        if (Status emptied = db.exec(u"DELETE FROM "_s + quoteIdentifier(table), what); !emptied)
            return emptied;
    return {};
}

Status copyTables(Connection& source, sql::Database& target, qsizetype* changedKind)
{
    const QString what = u"copiare le unioni e i doppioni ignorati"_s;
    QStringList mergedColumns{u"\"Unione\""_s, u"\"Stato\""_s, u"\"Quando\""_s};
    for (const QString& field : contacts::fields())
        mergedColumns.append(quoteIdentifier(field));
    const QList<std::pair<QString, QStringList>> tables{{mergedTable(), mergedColumns},
                                                        {ignoredTable(), {u"\"Gruppo\""_s, u"\"ID\""_s}}};
    const bool toServer = target.engine() == Engine::Postgres;
    for (const auto& [table, columns] : tables) {
        auto exists = tableExists(source, table);
        if (!exists)
            return exists.error();
        if (!exists.value())
            continue;
        const QString list = columns.join(u", "_s);
        sql::Statement read(source.db(),
                            u"SELECT "_s + list + u" FROM "_s + quoteIdentifier(table) + u" ORDER BY "_s +
                                columns.first() + u", "_s + columns.last(),
                            what);
        sql::Statement insert(target,
                              u"INSERT INTO "_s + quoteIdentifier(table) + u" ("_s + list + u") VALUES ("_s +
                                  QStringList(columns.size(), u"?"_s).join(u", "_s) + u")"_s,
                              what);
        for (;;) {
            auto row = read.next();
            if (!row)
                return row.error();
            if (!row.value())
                break;
            insert.reset();
            for (int i = 0; i < columns.size(); ++i) {
                Value value = read.value(i);
                if (toServer && i > 0 && !value.isNull() && value.kind() != Value::Kind::Integer &&
                    !value.isText()) {
                    value = Value::text(value.bytes());
                    if (changedKind)
                        ++*changedKind;
                }
                if (toServer && (value.hasNul() || !value.isValidUtf8()))
                    return StoreError{StoreError::Kind::Engine,
                                      u"Un contatto conservato dall'unione numero %1 contiene byte che una "
                                      u"rubrica sul server non può conservare (non sono testo UTF-8, o "
                                      u"c'è il carattere nullo): non è stato copiato nulla."_s.arg(
                                          read.value(0).toInteger()),
                                      {}};
                insert.bind(value);
            }
            if (auto done = insert.run(); !done)
                return done.error();
        }
    }
    return {};
}

} // namespace vinzal::duplicates
