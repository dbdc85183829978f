#include "test_support.h"

#include "engine.h"
#include "private_server.h"

#include "connection.h"
#include "contact_table.h"
#include "schema.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace vinzal::test {

namespace {

// What the program remembers between runs (QSettings) goes, in every test program, to a folder of
// the run's own: never into the home of whoever runs the tests, and nothing left from an earlier run.
// Set before the application exists, since Qt looks the folder up once.
const struct OwnSettingsFolder
{
    QTemporaryDir folder;
    OwnSettingsFolder()
    {
        if (!folder.isValid())
            qFatal("no temporary folder for the settings");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder.path()));
    }
} ownSettingsFolder;

} // namespace

bool onServer()
{
    return qEnvironmentVariable("VINZAL_TEST_ENGINE") == u"postgres"_s;
}

QString testBook(const QString& path)
{
    if (!onServer())
        return path;
    // Stopped while the application still exists, as its processes need.
    static PrivateServer* server = [] {
        auto* started = new PrivateServer;
        if (!started->start())
            qFatal("cannot start the test server: %s", qPrintable(started->errorString()));
        qAddPostRoutine([] { delete server; });
        return started;
    }();
    static int made = 0;
    const QString name = u"book%1"_s.arg(++made);
    if (!server->createDatabase(name))
        qFatal("cannot make a database: %s", qPrintable(server->errorString()));
    return server->uri(u"vinzal"_s, name);
}

Value toValue(const QVariant& value)
{
    if (value.isNull())
        return {};
    if (value.canConvert<Value>() && value.typeId() == qMetaTypeId<Value>())
        return value.value<Value>();
    switch (value.typeId()) {
    case QMetaType::QByteArray:
        return Value::blob(value.toByteArray());
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::Bool:
        return Value::integer(value.toLongLong());
    case QMetaType::Double:
        return Value::real(value.toDouble());
    default:
        return Value::fromEditedText(value.toString());
    }
}

QVariant toVariant(const Value& value)
{
    switch (value.kind()) {
    case Value::Kind::Null:
        return {};
    case Value::Kind::Integer:
        return value.toInteger();
    case Value::Kind::Real:
        return value.toReal();
    case Value::Kind::Blob:
        return value.bytes();
    case Value::Kind::Text:
        break;
    }
    return value.toText();
}

void makeAddressBook(const QString& path, const QList<Person>& contacts)
{
    const auto create = [&path](const schema::Fill& fill) {
        return isServerBook(path) ? schema::createOnServer(path, true, fill)
                                  : schema::create(path, false, fill);
    };
    const Status made = create([&](sql::Database& db) -> Status {
        for (const Person& contact : contacts) {
            QStringList columns, marks;
            for (const auto& [field, value] : contact) {
                columns.append(quoteIdentifier(field));
                marks.append(u"?"_s);
            }
            sql::Statement query(db,
                                 contact.isEmpty() ? u"INSERT INTO \"Nomelia\" DEFAULT VALUES"_s
                                                   : u"INSERT INTO \"Nomelia\" ("_s + columns.join(u","_s) +
                                                         u") VALUES ("_s + marks.join(u","_s) + u")"_s,
                                 u"test"_s);
            for (const auto& pair : contact)
                query.bind(toValue(pair.second));
            if (auto done = query.run(); !done)
                return done.error();
        }
        return {};
    });
    if (!made)
        qFatal("cannot make the test address book: %s", qPrintable(made.error().fullText()));
}

namespace {

QVariantList run(sql::Database& db, const QString& statement, const QVariantList& bindings)
{
    sql::Statement query(db, statement, u"test"_s);
    for (const QVariant& value : bindings)
        query.bind(toValue(value));
    QVariantList result;
    for (;;) {
        auto row = query.next();
        if (!row)
            qFatal("%s: %s", qPrintable(statement), qPrintable(row.error().fullText()));
        if (!row.value())
            return result;
        result.append(toVariant(query.value(0)));
    }
}

} // namespace

QVariantList query(const QString& path, QString statement, const QVariantList& bindings)
{
    if (isServerBook(path)) {
        // The unquoted names of SQLite, quoted as the server needs.
        static const QRegularExpression names(u"(?<![\"\\w])(Nomelia|ID|Genere)(?![\"\\w])"_s);
        statement.replace(names, u"\"\\1\""_s);
        statement.replace(QRegularExpression(u"\\browid\\b"_s), u"\"ID\""_s);
        auto connection = Connection::openServerDatabase(path);
        if (!connection)
            qFatal("cannot connect to %s", qPrintable(path));
        return run(connection.value()->db(), statement, bindings);
    }
    auto opened = sql::Database::openFile(QFileInfo(path).absoluteFilePath(), sql::Database::FileMode::Create,
                                          u"test"_s);
    if (!opened)
        qFatal("cannot open %s", qPrintable(path));
    return run(*opened.value(), statement, bindings);
}

Value hostileValue(QRandomGenerator& random, bool storable, bool huge)
{
    // One piece between each pair of bars; the words of the formats' own syntax among them.
    static const QList<QByteArray> pieces =
        QByteArray("\xEF\xBB\xBF|\xEF\xBF\xBE|\xEF\xBF\xBF|\r|\n|\r\n|\n\r|\xE2\x80\xA8|"
                   "\xE2\x80\xA9|\xC2\x85|\t|\x01|\x0B|\x1B|\x1E| |'|\"|;|,|\\|=|=\r\n|+|-|@|%_|$1|?|"
                   "Rossi|Forl\xC3\xAC|\xC3\xA8|e\xCC\x81|\xF0\x9F\x98\x80|\xD7\xA9\xD7\x9C|_x000D_|"
                   "BEGIN:VCARD|\r\nFN:Intruso\r\n|quoted-printable|=0D=0A|NOTE;X-VINZAL-EOL=CR:|"
                   "X-VINZAL-NULL=1|UID:vinzal-7|\\n|\\,|0543 123456|+39 349 1234567")
            .split('|');
    static const QList<QByteArray> broken = {
        "\xFF",         "\xC0\xAF",         "\x80",    "\xE2\x82", "\xED\xA0\x80",
        "\xED\xBF\xBF", "\xF4\x90\x80\x80", "Forl\xEC"};
    const int kind = random.bounded(storable ? 14 : 20);
    switch (kind) {
    case 0:
    case 1:
        return {};
    case 2:
        return Value::text("");
    case 3:
        return Value::text(QByteArray(1, char('a' + random.bounded(26))));
    case 4: {
        if (!huge)
            return Value::text("x");
        QByteArray text;
        while (text.size() < 100000)
            text += pieces.at(random.bounded(int(pieces.size())));
        return Value::text(text);
    }
    case 14:
        return Value::blob({});
    case 15: {
        QByteArray bytes(random.bounded(12), Qt::Uninitialized);
        for (char& byte : bytes)
            byte = char(random.bounded(256));
        return Value::blob(bytes);
    }
    case 16: // what another program stores as a blob of digits
        return Value::blob(QByteArray::number(random.generate64() >> random.bounded(64)));
    case 17:
        return Value::blob("Blob di testo \xC3\xA8");
    default: {
        QByteArray text;
        for (int i = 1 + random.bounded(6); i > 0; --i)
            text += pieces.at(random.bounded(int(pieces.size())));
        if (!storable && kind >= 18)
            text.insert(random.bounded(int(text.size()) + 1), broken.at(random.bounded(int(broken.size()))));
        if (!storable && kind == 19 && random.bounded(2))
            text.insert(random.bounded(int(text.size()) + 1), '\0');
        return Value::text(text);
    }
    }
}

Values hardValues(bool storable)
{
    Values values = {Value(),
                     Value::text(""),
                     Value::text("\xEF\xBB\xBF"
                                 "all'inizio"),
                     Value::text("\xEF\xBF\xBE"
                                 "all'inizio"),
                     Value::text("dentro \xEF\xBF\xBE e \xEF\xBF\xBF"),
                     Value::text("a\rb\r\nc\nd\xE2\x80\xA8"
                                 "e\n\r"),
                     Value::text(QByteArray("una riga di un'osservazione molto lunga\r\n").repeated(2500))};
    if (!storable)
        values += {Value::text("Forl\xEC"), Value::text("\xED\xA0\x80\xED\xBF\xBF"),
                   Value::text(QByteArray("N\0L", 3)), Value::blob({}), Value::blob("\x00\xFF")};
    return values;
}

QRandomGenerator seededRandom(quint64* seed)
{
    bool given = false;
    *seed = qEnvironmentVariable("VINZAL_TEST_SEED").toULongLong(&given);
    if (!given)
        *seed = QRandomGenerator::global()->generate64();
    const quint32 parts[] = {quint32(*seed), quint32(*seed >> 32)};
    return QRandomGenerator(parts, parts + 2);
}

QString shownValue(const Value& value)
{
    const QString text = value.debugText();
    return text.size() > 100 ? text.left(100) + u"…"_s : text;
}

Run run(const QString& program, const QStringList& arguments, const QString& folder, const QByteArray& input,
        const std::function<void(QProcess&)>& prepare)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    if (prepare)
        prepare(process);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    const bool ended = process.waitForFinished(300000);
    return {ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

Run vinzalDb(const QStringList& arguments, const QString& folder)
{
    return run(QStringLiteral(VINZAL_DB), arguments, folder);
}

int vinzalDb(const QStringList& arguments, const QString& folder, QString* output)
{
    const Run done = vinzalDb(arguments, folder);
    if (output)
        *output = done.out + done.err;
    return done.code;
}

QList<QStringList> tableRows(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    QList<QStringList> rows;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n')) {
        QStringList columns = line.split(u'|');
        for (QString& column : columns)
            column = column.trimmed();
        if (!line.startsWith(u'#') && columns.size() > 1)
            rows.append(columns);
    }
    return rows;
}

QStringList listIn(const QString& column)
{
    QStringList items = column.split(u';', Qt::SkipEmptyParts);
    for (QString& item : items)
        item = item.trimmed();
    return items;
}

QMap<QString, QByteArray> snapshot(const QString& folder)
{
    QMap<QString, QByteArray> entries;
    const QDir dir(folder);
    for (const QFileInfo& entry :
         dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        QFile file(entry.filePath());
        entries[entry.fileName()] = entry.isSymLink() ? "-> " + QFile::encodeName(entry.symLinkTarget())
                                    : entry.isDir()   ? "<cartella>"
                                    : !entry.isFile() ? "<speciale>"
                                    : file.open(QIODevice::ReadOnly) ? file.readAll()
                                                                     : "<illeggibile>";
    }
    return entries;
}

Navigator::Navigator(const QString& book, RecordNavigator::RecordsetType type)
{
    navigator.setDatabaseName(book);
    navigator.setRecordsetType(type);
    if (const Status opened = navigator.open(); !opened)
        qFatal("cannot open %s: %s", qPrintable(book), qPrintable(opened.error().fullText()));
}

QStringList walk(Navigator& b, const QString& field, const QString& index)
{
    if (!index.isEmpty() && !b->setIndex(index))
        return {u"setIndex failed"_s};
    const auto pass = [&](bool forwards) {
        QStringList met;
        qint64 last = -1; // past the end the last row stays current
        for (Status s = forwards ? b->moveFirst() : b->moveLast();
             s && b->hasCurrentRow() && b->currentRow()->rowid != last;
             s = forwards ? b->moveNext() : b->movePrevious()) {
            last = b->currentRow()->rowid;
            forwards ? met.append(b.shown(field)) : met.prepend(b.shown(field));
        }
        return met;
    };
    const QStringList forward = pass(true), backward = pass(false);
    return backward == forward ? forward : QStringList{u"indietro: "_s + backward.join(u',')};
}

QVariant fieldOf(const QString& path, qint64 id, const QString& field)
{
    const QVariantList values =
        query(path, u"SELECT "_s + quoteIdentifier(field) + u" FROM \"Nomelia\" WHERE rowid = ?"_s, {id});
    return values.isEmpty() ? QVariant() : values.first();
}

SmallDisk::SmallDisk(int kilobytes)
{
    m_mounted = geteuid() == 0 &&
                QProcess::execute(u"mount"_s, {u"-t"_s, u"tmpfs"_s, u"-o"_s, u"size=%1k"_s.arg(kilobytes),
                                               u"tmpfs"_s, m_dir.path()}) == 0;
}

SmallDisk::~SmallDisk()
{
    if (m_mounted)
        QProcess::execute(u"umount"_s, {m_dir.path()});
}

AsNobody::AsNobody() : m_wasRoot(geteuid() == 0)
{
    // The real user too, or Qt in a program started meanwhile would take itself for setuid and stop;
    // the saved one stays root, to come back.
    if (m_wasRoot && setresuid(65534, 65534, 0) != 0)
        qFatal("cannot act as nobody");
}

AsNobody::~AsNobody()
{
    if (m_wasRoot && setresuid(0, 0, 0) != 0)
        qFatal("cannot act as root again");
}

} // namespace vinzal::test
