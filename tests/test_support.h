#pragma once

#include "bound_field.h"
#include "contact.h"
#include "record_navigator.h"
#include "row.h"

#include <QList>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>

#include <functional>

namespace vinzal::test {

// The field the tests name most, spelt once.
inline const QString nameField = QStringLiteral("Cognone e nome o denominazione");

// The value of a result that must be there; the test stops with the error otherwise.
template <typename R> auto must(R&& result)
{
    if (!result.ok())
        qFatal("%s", qPrintable(result.error().fullText()));
    return std::move(result.value());
}

// A contact for a test: field name to value; missing fields are NULL.
using Person = QList<std::pair<QString, QVariant>>;

// Makes an address book at `path` (as vinzal-db create does) holding `contacts` in order. `path` may
// be a server book (testBook()), whose table is made or emptied.
void makeAddressBook(const QString& path, const QList<Person>& contacts);

// Whether the tests of this process run on a PostgreSQL server rather than on files: CTest runs the
// store's tests both ways, the second with VINZAL_TEST_ENGINE=postgres.
bool onServer();
// A book for the current test: the file `path`, or on a server a fresh database of a private server
// started for this process.
QString testBook(const QString& path);

// Runs SQL on the book directly, as another program would; returns the first column of each row. On
// a server, the unquoted names of SQLite (Nomelia, ID, rowid, Genere) are quoted as the server needs.
// Bindings and results: a QString is text (its UTF-8, with the bytes Value::toText() escapes), a
// QByteArray a blob, a number a number, a vinzal::Value itself.
QVariantList query(const QString& path, QString statement, const QVariantList& bindings = {});
Value toValue(const QVariant& value);
QVariant toVariant(const Value& value);

// A value of the kinds and bytes that break conversions: NULL, '' and the empty blob, a leading
// U+FEFF or U+FFFE, U+FFFE/U+FFFF inside, bytes that are not UTF-8 and encoded surrogates, NUL,
// every kind of line break, blobs where text is expected, texts of 0, 1 and 100,000 characters. `storable`:
// only what a server holds (valid UTF-8 text without NUL). `huge`: whether the 100,000-character texts are
// drawn (windows that show them are slow).
Value hostileValue(QRandomGenerator& random, bool storable = false, bool huge = true);
// One value of each hard case hostileValue() draws by chance, for a property test to plant so that
// no run misses one.
Values hardValues(bool storable = false);
// The random generator of a property test: its seed from VINZAL_TEST_SEED when given (to replay a
// failure), otherwise a fresh one; `seed` says which, for the failure's message.
QRandomGenerator seededRandom(quint64* seed);
// A value as a failure message shows it: its kind and bytes in hex, cut after 40 bytes.
QString shownValue(const Value& value);

// What a program did: its exit code (-1 when it crashed or did not end) and what it printed.
struct Run
{
    int code = -1;
    QString out, err;
};
// Runs `program` in `folder` with `input` on its standard input; `prepare` may change the process
// before it starts (a limit in the child, standard output sent to a file).
Run run(const QString& program, const QStringList& arguments, const QString& folder = {},
        const QByteArray& input = {}, const std::function<void(QProcess&)>& prepare = {});
// The same for the vinzal-db of this build; with `output`, its exit code, and both channels there.
Run vinzalDb(const QStringList& arguments, const QString& folder = {});
int vinzalDb(const QStringList& arguments, const QString& folder, QString* output);

// The rows of a table kept as a text file (tests/data): one a line, its columns separated by '|',
// blanks around them dropped; lines starting with '#' say what the columns mean.
QList<QStringList> tableRows(const QString& path);
// A column of such a table that holds a list: its items separated by ';', blanks around them dropped.
QStringList listIn(const QString& column);

// Every entry of a folder, hidden ones too, with a regular file's bytes (a link shows its target,
// anything else its kind): "nothing changed" is one comparison of two snapshots.
QMap<QString, QByteArray> snapshot(const QString& folder);

// File permissions mean nothing to root: while this lives, the process acts as "nobody" (and so
// do the programs it starts).
class AsNobody
{
public:
    AsNobody();
    ~AsNobody();
    AsNobody(const AsNobody&) = delete;
    AsNobody& operator=(const AsNobody&) = delete;

private:
    bool m_wasRoot;
};

// A tmpfs of `kilobytes` for the life of the object, to fill up; only root may mount one.
class SmallDisk
{
public:
    explicit SmallDisk(int kilobytes);
    ~SmallDisk();
    bool mounted() const { return m_mounted; }
    QString path(const QString& name = {}) const
    {
        return name.isEmpty() ? m_dir.path() : m_dir.filePath(name);
    }

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
};

// A navigator opened on `book` (it must open), with a field bound to each of the twelve fields.
struct Navigator
{
    explicit Navigator(const QString& book,
                       RecordNavigator::RecordsetType type = RecordNavigator::RecordsetType::Table);
    RecordNavigator* operator->() { return &navigator; }
    QString shown(const QString& field) { return fields[field].boundText(); }
    RecordNavigator navigator;
    TextFields fields{navigator};
};
// The values of `field` met moving with the bar through the whole order of `index` (none: by ID);
// moving backwards must meet them in reverse, or the list says what it met.
QStringList walk(Navigator& b, const QString& field, const QString& index = {});

// One field of a row, read straight from the file.
QVariant fieldOf(const QString& path, qint64 id, const QString& field);

} // namespace vinzal::test
