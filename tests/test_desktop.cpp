// Vinzal as a desktop user meets it: the command line, the personal book made on the very first
// start from the menu, an Access file opened from the file manager, and the icon.
#include "application.h"
#include "bound_grid.h"
#include "contact_table.h"
#include "form1.h"
#include "gui_support.h"
#include "look.h"
#include "schema.h"
#include "startup.h"

#include <QApplication>
#include <QDir>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTest>

#include <optional>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;
using startup::CommandLine;

namespace {

const QString kJet = QStringLiteral(VINZAL_SOURCE_DIR "/tests/data/jet/");

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

int modeOf(const QString& path)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

qint64 rowCount(const QString& path)
{
    return query(path, u"SELECT count(*) FROM \"Nomelia\""_s).value(0).toLongLong();
}

QString prepare(const QStringList& arguments)
{
    return startup::prepareBook(startup::parse(arguments));
}

} // namespace

class TestDesktop : public QObject
{
    Q_OBJECT

    ScriptedDialogs* m_dialogs = nullptr;
    QString m_previousDir = QDir::currentPath();
    QByteArray m_previousDataHome = qgetenv("XDG_DATA_HOME");

    QString said(qsizetype i) const { return m_dialogs->shown.value(i).text; }

private slots:
    void init() { m_dialogs = &ScriptedDialogs::install(); }

    void cleanup()
    {
        deleteTableViews();
        QDir::setCurrent(m_previousDir);
        qputenv("XDG_DATA_HOME", m_previousDataHome);
    }

    void commandLine_data() { rowsFrom(u"commandLine"_s); }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, action);
        QFETCH(QString, book);
        QFETCH(bool, personal);
        const CommandLine line = startup::parse(arguments);
        QCOMPARE(int(line.action), action);
        QCOMPARE(line.book, book);
        QCOMPARE(line.personal, personal);
        QCOMPARE(line.problem.isEmpty(), action != int(CommandLine::Action::BadUsage));
    }

    // The command line is judged before a display is needed: --help, --version and a wrong command
    // line answer the same with no display, one that cannot be reached, or one; Qt's own options are
    // not taken for wrong ones. Anything else needs a display.
    void theProgramAnswersWithoutDisplay_data() { rowsFrom(u"theProgramAnswersWithoutDisplay"_s); }

    void theProgramAnswersWithoutDisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, display);
        QFETCH(int, code);
        QFETCH(QString, output);
        const QProcessEnvironment before = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            qunsetenv(name);
        if (display.startsWith(u"qpa:"_s))
            qputenv("QT_QPA_PLATFORM", display.mid(4).toUtf8());
        else if (!display.isEmpty())
            qputenv("DISPLAY", display.toUtf8());
        // The program started inherits this environment; it writes to one channel or the other.
        const Run ran = run(QStringLiteral(VINZAL_EXE), arguments, QDir::tempPath());
        const QString printed = ran.out + ran.err;
        const int exitCode = ran.code;
        for (const QString& name : {u"DISPLAY"_s, u"WAYLAND_DISPLAY"_s, u"QT_QPA_PLATFORM"_s})
            before.contains(name) ? qputenv(qPrintable(name), before.value(name).toUtf8())
                                  : qunsetenv(qPrintable(name));
        QCOMPARE(exitCode, code);
        QVERIFY2(printed.startsWith(output), qPrintable(printed));
    }

    // vinzal BOOK: both windows open that book, not the one in the working directory; without
    // arguments nothing is asked, converted or created, whatever lies in the folder.
    void theBookNamedOrNone()
    {
        QTemporaryDir there;
        const QString book = there.filePath(u"rubrica.mdb"_s);
        makeAddressBook(book, {{{nameField, u"Bianchi Anna"_s}}, {{nameField, u"Verdi Luca"_s}}});
        {
            Card card(prepare({book}), {{{nameField, u"Rossi Mario"_s}}}, true);
            QCOMPARE(card.text(u"Text2"_s), u"Bianchi Anna"_s);
            BoundGrid* grid = openTableView(card);
            QCOMPARE(cell(grid, 1, 2), u"Verdi Luca"_s);
            QVERIFY(m_dialogs->shown.isEmpty());
            QCOMPARE(filesIn(QFileInfo(card.path()).path()), QStringList{u"Vinzal.mdb"_s});
        }
        QDir::setCurrent(there.path());
        QCOMPARE(prepare({}), contacts::fileName());
        QVERIFY(QFile::copy(kJet + u"Vinzal-jet4.mdb"_s, there.filePath(u"Vinzal.mdb"_s)));
        const QByteArray before = fileBytes(there.filePath(u"Vinzal.mdb"_s));
        QCOMPARE(prepare({}), contacts::fileName());
        QVERIFY(m_dialogs->shown.isEmpty());
        QCOMPARE(fileBytes(there.filePath(u"Vinzal.mdb"_s)), before);
        QCOMPARE(filesIn(there.path()), (QStringList{u"Vinzal.mdb"_s, u"rubrica.mdb"_s}));
    }

    // From the menu: the personal book is made empty the first time, the user's alone whatever the
    // umask, with a word on where it is and how to bring contacts in; afterwards it is simply opened.
    // One that cannot be made: a message that names it and says what to do, in words for a start-up
    // (no typed values "still in the window"), no file left, and the window's advice is for that book,
    // not for a "Vinzal.mdb" in the working directory.
    void personalBook_data()
    {
        QTest::addColumn<QString>("blocker");
        QTest::newRow("first start") << QString();
        QTest::newRow("a file where the data folder goes") << u"dati"_s;
        QTest::newRow("a folder where the book is built") << u"dati/vinzal/Vinzal.mdb.part-%1"_s;
    }

    void personalBook()
    {
        QFETCH(QString, blocker);
        QTemporaryDir home;
        QDir().mkpath(home.filePath(u"cwd"_s));
        QDir::setCurrent(home.filePath(u"cwd"_s));
        qputenv("XDG_DATA_HOME", home.filePath(u"dati"_s).toUtf8());
        const QString expected = home.filePath(u"dati/vinzal/Vinzal.mdb"_s);
        if (blocker == u"dati"_s)
            QVERIFY(QFile(home.filePath(blocker)).open(QIODevice::WriteOnly));
        else if (!blocker.isEmpty())
            QVERIFY(QDir().mkpath(home.filePath(blocker.arg(QCoreApplication::applicationPid()))));
        const mode_t umask = ::umask(022);
        const QString book = prepare({u"--personale"_s});
        ::umask(umask);
        QCOMPARE(m_dialogs->shown.size(), 1);
        QVERIFY(filesIn(QDir::currentPath()).isEmpty());
        if (!blocker.isEmpty()) {
            QCOMPARE(m_dialogs->shown[0].icon, Dialogs::Icon::Critical);
            QVERIFY2(said(0).contains(u"rubrica personale"_s) && !said(0).contains(u"finestra"_s),
                     qPrintable(said(0)));
            QVERIFY(!QFileInfo::exists(expected));
            Card(book, {}, false);
            QVERIFY2(said(1).contains(u"non esiste"_s) &&
                         !said(1).contains(u"Avviare Vinzal dalla cartella"_s) &&
                         said(1).contains(u"vinzal-db create \""_s + expected + u"\""_s),
                     qPrintable(said(1)));
            return;
        }
        QCOMPARE(book, expected);
        QCOMPARE(modeOf(home.filePath(u"dati"_s)), 0700);
        QCOMPARE(modeOf(home.filePath(u"dati/vinzal"_s)), 0700);
        QCOMPARE(modeOf(book), 0600);
        QCOMPARE(schema::check(book), QStringList());
        QCOMPARE(rowCount(book), 0);
        QCOMPARE(m_dialogs->shown[0].icon, Dialogs::Icon::Information);
        for (const QString& part : {u"vinzal-db import --force VECCHIA.mdb \""_s + expected,
                                    u"vinzal-db import --csv rubrica.csv \""_s + expected,
                                    u"vinzal-db import --vcard contatti.vcf \""_s + expected})
            QVERIFY2(said(0).contains(part), qPrintable(said(0)));
        m_dialogs->clear();
        Card(book, {}, false);
        query(book, u"INSERT INTO \"Nomelia\" (\"Cognone e nome o denominazione\") VALUES ('Rossi Mario')"_s);
        QCOMPARE(prepare({u"--personale"_s}), expected);
        QVERIFY(m_dialogs->shown.isEmpty()); // the window and the second start say nothing
        QCOMPARE(rowCount(book), 1);

        // A relative XDG_DATA_HOME is ignored, as the XDG rules say: otherwise each working
        // directory would get a personal book of its own.
        const QByteArray previousHome = qgetenv("HOME");
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_DATA_HOME", "dati");
        const QString relative = startup::personalBook();
        qputenv("HOME", previousHome);
        QCOMPARE(relative, home.filePath(u".local/share/vinzal/Vinzal.mdb"_s));
    }

    // An Access file opened from the file manager. "Sì": converted in place by vinzal-db's import, the
    // original kept beside it with its bytes, then opened; where the window could not convert it as it
    // was, it asks: the table among the file's, a folder to save in (beside the personal book unless
    // the user chooses otherwise), whether to leave out the columns the book lacks. "No", or a
    // conversion that fails or is cancelled at any step: the file and its folder as they were, and the
    // window says in its own words what to do with that file. No message names an option of the
    // command line.
    void accessFile_data() { rowsFrom(u"accessFile"_s); }

    void accessFile()
    {
        QFETCH(QString, fixture);
        QFETCH(QString, table);
        QFETCH(int, cut);
        QFETCH(int, readOnly);
        QFETCH(bool, yes);
        QFETCH(int, cancelAt);
        QFETCH(QStringList, dialogs);
        QFETCH(int, rows);
        QFETCH(QString, message);
        const bool readOnlyFolder = readOnly > 0;
        QTemporaryDir home;
        QVERIFY(::chmod(QFile::encodeName(home.path()).constData(), 0777) == 0);
        const QString folder = home.filePath(u"archivi"_s);
        QVERIFY(QDir().mkpath(folder));
        const QString book = folder + u"/rubrica.mdb"_s;
        QByteArray access = fileBytes(kJet + fixture);
        if (!table.isEmpty()) {
            QCOMPARE(access.count("Nomelia"), 1); // the table's name in the file's catalog
            access.replace("Nomelia", table.toUtf8());
        }
        if (cut)
            access.truncate(cut); // the header survives, the pages are gone
        QVERIFY(writeBytes(book, access));
        QVERIFY(::chmod(QFile::encodeName(book).constData(), readOnlyFolder ? 0644 : 0600) == 0);
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), readOnlyFolder ? 0555 : 0777) == 0);
        qputenv("XDG_DATA_HOME", home.filePath(u"dati"_s).toUtf8());
        const QString proposed = home.filePath(u"dati/vinzal/rubrica.mdb"_s);
        const QString saveFolder = QFileInfo(proposed).path();
        QVERIFY(QDir().mkpath(saveFolder));
        QVERIFY(::chmod(QFile::encodeName(saveFolder).constData(), readOnly > 1 ? 0555 : 0777) == 0);
        m_dialogs->yesNoAnswers = {yes, true};
        m_dialogs->saveAnswers = {proposed};
        const QString tableName = table.isEmpty() ? u"Table"_s : table;
        m_dialogs->itemAnswers = {tableName};
        m_dialogs->cancelProgressAt = cancelAt;
        std::optional<AsNobody> nobody; // root may write in any folder
        if (readOnlyFolder)
            nobody.emplace();
        const QString opened = prepare({book});
        nobody.reset();
        QStringList kinds;
        for (const auto& dialog : std::as_const(m_dialogs->shown)) {
            kinds.append(dialog.kind);
            QVERIFY2(!dialog.text.contains(u"--"_s), qPrintable(dialog.text));
        }
        QCOMPARE(kinds, dialogs);
        QVERIFY(said(0).endsWith(u"Convertire ora?"_s) && said(0).contains(u"rubrica.mdb"_s));
        QCOMPARE(opened, readOnlyFolder && rows >= 0 ? proposed : book);
        QVERIFY2(m_dialogs->shown.last().text.contains(message), qPrintable(m_dialogs->shown.last().text));
        if (kinds.contains(u"item"_s)) {
            const QStringList offered = m_dialogs->shown[kinds.indexOf(u"item"_s)].offered;
            QVERIFY2(offered.contains(tableName) && !offered.contains(u"MSysObjects"_s),
                     qPrintable(offered.join(u' ')));
        }
        if (readOnlyFolder)
            QCOMPARE(m_dialogs->shown[1].offered, QStringList{proposed});
        const QStringList files = filesIn(folder);
        if (rows < 0 || readOnlyFolder) {
            QCOMPARE(fileBytes(book), access);
            QCOMPARE(files, QStringList{u"rubrica.mdb"_s});
            QCOMPARE(filesIn(saveFolder), readOnlyFolder && rows >= 0 ? files : QStringList());
        }
        if (rows == -2)
            return;
        if (rows < 0 && yes) { // a failed conversion says why in the window's words
            QCOMPARE(m_dialogs->shown.last().icon, Dialogs::Icon::Critical);
            const QString failed = m_dialogs->shown.last().text;
            QVERIFY2(failed.contains(u"non è riuscita; il file non è stato cambiato"_s) &&
                         !failed.contains(u"vinzal-db"_s),
                     qPrintable(failed));
            return;
        }
        m_dialogs->clear();
        Card card(opened, {}, false);
        if (rows < 0) {
            // The command given converts this file, wherever the program was started from; AGGIUNGI
            // then names that book, not the folder Vinzal was started from.
            QVERIFY2(said(0).contains(u"è un archivio di Access"_s) &&
                         said(0).contains(u"vinzal-db import \""_s + book + u"\" NUOVA.mdb"_s),
                     qPrintable(said(0)));
            card.click(u"Command2"_s);
            QVERIFY2(said(1).contains(book) && !said(1).contains(u"avviato"_s), qPrintable(said(1)));
            return;
        }
        QVERIFY(m_dialogs->shown.isEmpty());
        QCOMPARE(schema::check(opened), QStringList());
        QCOMPARE(rowCount(opened), rows);
        if (!readOnlyFolder && table.isEmpty() && rows == 12) {
            QCOMPARE(card.text(u"Text2"_s), u"Rossi Mario"_s);
            QCOMPARE(modeOf(book), 0600); // the new book takes the Access file's place and permissions
            QCOMPARE(files.size(), 2);    // no half-written file left behind
            QVERIFY2(QRegularExpression(u"^rubrica-access-\\d{8}-\\d{6}\\.mdb$"_s).match(files[0]).hasMatch(),
                     qPrintable(files[0]));
            QCOMPARE(fileBytes(folder + u'/' + files[0]), access);
        }
    }

    // The window names the menu entry (on Wayland, its app id), and the window icon and the menu's
    // icons are one drawing: the same pixels at every size.
    void iconFromOneDrawing()
    {
        QVERIFY(QFile::exists(QStringLiteral(VINZAL_SOURCE_DIR "/packaging/%1.desktop")
                                  .arg(QGuiApplication::desktopFileName())));
        for (int size : {16, 32, 48, 64, 128, 256}) {
            const QString png = u"/packaging/icons/hicolor/%1x%1/apps/it.vinzal.Vinzal.png"_s.arg(size);
            const QImage menu =
                QImage(QStringLiteral(VINZAL_SOURCE_DIR) + png).convertToFormat(QImage::Format_ARGB32);
            const QImage window = look::icon().pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
            QVERIFY(look::icon().availableSizes().contains(QSize(size, size)));
            QCOMPARE(menu.size(), QSize(size, size));
            // A pixmap keeps its colours premultiplied: a smoothed edge may come back one unit off.
            for (int at = 0; at < size * size; ++at) {
                const QRgb a = window.pixel(at % size, at / size), b = menu.pixel(at % size, at / size);
                QVERIFY2(std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                                   std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b))}) <= 2,
                         qPrintable(u"%1 pixels: %2"_s.arg(size).arg(at)));
            }
        }
    }
};

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    setUpApplication(app);
    TestDesktop test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_desktop.moc"
