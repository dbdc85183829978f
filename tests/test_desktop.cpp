// Vinzal as a desktop user meets it: the command line, the personal book made on the very first
// start from the menu, an Access file opened from the file manager, and the icon.
#include "application.h"
#include "bound_grid.h"
#include "connection.h"
#include "contact_table.h"
#include "form1.h"
#include "form2.h"
#include "gui_support.h"
#include "look.h"
#include "schema.h"
#include "startup.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;
using startup::CommandLine;

namespace {

const QString kName = u"Cognone e nome o denominazione"_s;
const QString kImportTool = QStringLiteral(VINZAL_DB);

QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

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

// Shows a card on `book` as main() does and waits until its navigator has opened.
std::unique_ptr<Form1> showCard(const QString& book)
{
    auto form = std::make_unique<Form1>(nullptr, book);
    form->show();
    if (!QTest::qWaitForWindowExposed(form.get()))
        qFatal("Form1 was not shown");
    QTest::qWait(1);
    QCoreApplication::processEvents();
    return form;
}

QString boxText(Form1& form, const QString& name)
{
    return form.findChild<QLineEdit*>(name)->text();
}

QProcess::ExitStatus run(const QStringList& arguments, const QProcessEnvironment& environment, int& code,
                         QString& output, QString& errors)
{
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(VINZAL_EXE), arguments);
    program.waitForFinished(30000);
    code = program.exitCode();
    output = QString::fromUtf8(program.readAllStandardOutput());
    errors = QString::fromUtf8(program.readAllStandardError());
    return program.exitStatus();
}

} // namespace

class TestDesktop : public QObject
{
    Q_OBJECT

    ScriptedDialogs* m_dialogs = nullptr;
    QString m_previousDir = QDir::currentPath();
    QByteArray m_previousDataHome = qgetenv("XDG_DATA_HOME");

private slots:
    void init() { m_dialogs = &ScriptedDialogs::install(); }

    void cleanup()
    {
        deleteTableViews();
        QDir::setCurrent(m_previousDir);
        qputenv("XDG_DATA_HOME", m_previousDataHome);
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("action");
        QTest::addColumn<QString>("book");
        QTest::addColumn<bool>("personal");
        const int run = int(CommandLine::Action::Run), bad = int(CommandLine::Action::BadUsage);
        QTest::newRow("nothing") << QStringList{} << run << QString() << false;
        QTest::newRow("book") << QStringList{u"rubrica.mdb"_s} << run << u"rubrica.mdb"_s << false;
        QTest::newRow("menu") << QStringList{u"--personale"_s} << run << QString() << true;
        QTest::newRow("menu with a file")
            << QStringList{u"--personale"_s, u"/tmp/a b.mdb"_s} << run << u"/tmp/a b.mdb"_s << true;
        QTest::newRow("help wins") << QStringList{u"x.mdb"_s, u"--help"_s} << int(CommandLine::Action::Help)
                                   << u"x.mdb"_s << false;
        QTest::newRow("-h") << QStringList{u"-h"_s} << int(CommandLine::Action::Help) << QString() << false;
        QTest::newRow("version") << QStringList{u"--version"_s} << int(CommandLine::Action::Version)
                                 << QString() << false;
        QTest::newRow("a file named like an option")
            << QStringList{u"--"_s, u"--help"_s} << run << u"--help"_s << false;
        QTest::newRow("unknown option") << QStringList{u"--personal"_s} << bad << QString() << false;
        QTest::newRow("two books") << QStringList{u"a.mdb"_s, u"b.mdb"_s} << bad << u"a.mdb"_s << false;
        QTest::newRow("empty name") << QStringList{QString()} << bad << QString() << false;
    }

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
    void theProgramAnswersWithoutDisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("display"); // DISPLAY, or QT_QPA_PLATFORM when it starts with "qpa:"
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("output"); // the start of standard output
        QTest::addColumn<QString>("errors"); // a part of standard error
        const QString bogus = u"vinzal: opzione sconosciuta «--bogus»\n"_s;
        QTest::newRow("help") << QStringList{u"--help"_s} << QString() << 0 << u"Uso: vinzal [RUBRICA]\n"_s
                              << QString();
        QTest::newRow("version") << QStringList{u"--version"_s} << QString() << 0 << u"vinzal 1.0\n"_s
                                 << QString();
        QTest::newRow("no display") << QStringList{} << QString() << 1 << QString()
                                    << u"Vinzal è un programma"_s;
        QTest::newRow("Qt's options need a display")
            << QStringList{u"-reverse"_s, u"-style"_s, u"fusion"_s, u"--name"_s, u"x"_s} << QString() << 1
            << QString() << u"Vinzal è un programma"_s;
        QTest::newRow("bad, no display") << QStringList{u"--bogus"_s} << QString() << 2 << QString() << bogus;
        QTest::newRow("bad, a display out of reach")
            << QStringList{u"--bogus"_s} << u":4093"_s << 2 << QString() << bogus;
        QTest::newRow("bad, offscreen")
            << QStringList{u"--bogus"_s} << u"qpa:offscreen"_s << 2 << QString() << bogus;
        QTest::newRow("two books, no display") << QStringList{u"a.mdb"_s, u"b.mdb"_s} << QString() << 2
                                               << QString() << u"vinzal: si può aprire una sola rubrica"_s;
    }

    void theProgramAnswersWithoutDisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, display);
        QFETCH(int, code);
        QFETCH(QString, output);
        QFETCH(QString, errors);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString& name : {u"DISPLAY"_s, u"WAYLAND_DISPLAY"_s, u"QT_QPA_PLATFORM"_s})
            environment.remove(name);
        if (display.startsWith(u"qpa:"_s))
            environment.insert(u"QT_QPA_PLATFORM"_s, display.mid(4));
        else if (!display.isEmpty())
            environment.insert(u"DISPLAY"_s, display);
        int actualCode = -1;
        QString actualOutput, actualErrors;
        QCOMPARE(run(arguments, environment, actualCode, actualOutput, actualErrors), QProcess::NormalExit);
        QCOMPARE(actualCode, code);
        QVERIFY2(actualOutput.startsWith(output) && output.isEmpty() == actualOutput.isEmpty(),
                 qPrintable(actualOutput));
        QVERIFY2(actualErrors.contains(errors) && errors.isEmpty() == actualErrors.isEmpty(),
                 qPrintable(actualErrors));
    }

    // vinzal BOOK: both windows open that book, not the one in the working directory.
    void bothWindowsOpenTheNamedBook()
    {
        QTemporaryDir here, there;
        makeAddressBook(here.filePath(u"Vinzal.mdb"_s), {{{kName, u"Rossi Mario"_s}}});
        const QString book = there.filePath(u"rubrica.mdb"_s);
        makeAddressBook(book, {{{kName, u"Bianchi Anna"_s}}, {{kName, u"Verdi Luca"_s}}});
        QDir::setCurrent(here.path());

        const QString opened = startup::prepareBook(startup::parse({book}), kImportTool);
        QCOMPARE(opened, book);
        auto card = showCard(opened);
        QCOMPARE(boxText(*card, u"Text2"_s), u"Bianchi Anna"_s);
        QTest::mouseClick(card->findChild<QPushButton*>(u"Command17"_s), Qt::LeftButton);
        Form2* table = tableView();
        QVERIFY(table);
        QVERIFY(QTest::qWaitForWindowExposed(table));
        QCoreApplication::processEvents();
        auto* grid = table->findChild<BoundGrid*>(u"DBGrid1"_s);
        const int column = contacts::fieldPosition(kName);
        QCOMPARE(grid->model()->data(grid->model()->index(0, column)).toString(), u"Bianchi Anna"_s);
        QCOMPARE(grid->model()->data(grid->model()->index(1, column)).toString(), u"Verdi Luca"_s);
        QVERIFY(m_dialogs->shown.isEmpty());
        QCOMPARE(filesIn(here.path()), QStringList{u"Vinzal.mdb"_s});
    }

    // Without arguments nothing is asked, converted or created, whatever lies in the folder.
    void withoutArgumentsAsAlways()
    {
        QTemporaryDir empty;
        QDir::setCurrent(empty.path());
        QCOMPARE(startup::prepareBook(startup::parse({}), kImportTool), contacts::fileName());
        auto card = showCard(contacts::fileName());
        QCOMPARE(m_dialogs->shown.size(), 1);
        QCOMPARE(m_dialogs->shown[0].icon, Dialogs::Icon::Critical);
        QVERIFY(m_dialogs->shown[0].text.contains(u"non esiste"_s));
        card.reset();
        QVERIFY(filesIn(empty.path()).isEmpty());

        m_dialogs->clear();
        QVERIFY(QFile::copy(QStringLiteral(VINZAL_SOURCE_DIR "/tests/data/jet/Vinzal-jet4.mdb"),
                            empty.filePath(u"Vinzal.mdb"_s)));
        const QByteArray before = contentOf(empty.filePath(u"Vinzal.mdb"_s));
        QCOMPARE(startup::prepareBook(startup::parse({}), kImportTool), contacts::fileName());
        QVERIFY(m_dialogs->shown.isEmpty());
        QCOMPARE(contentOf(empty.filePath(u"Vinzal.mdb"_s)), before);
    }

    // From the menu: the personal book is made empty the first time, with a word on where it is and
    // how to bring contacts in; afterwards it is simply opened.
    void personalBookOnFirstStart()
    {
        QTemporaryDir home;
        QDir().mkpath(home.filePath(u"cwd"_s));
        QDir::setCurrent(home.filePath(u"cwd"_s));
        qputenv("XDG_DATA_HOME", home.filePath(u"dati"_s).toUtf8());
        const QString expected = home.filePath(u"dati/vinzal/Vinzal.mdb"_s);
        QCOMPARE(startup::personalBook(), expected);

        const mode_t umask = ::umask(022);
        const QString book = startup::prepareBook(startup::parse({u"--personale"_s}), kImportTool);
        ::umask(umask);
        QCOMPARE(book, expected);
        // One person's contacts, whatever the umask: the folders made for them and the book are the
        // user's alone, and the umask is as it was.
        QCOMPARE(modeOf(home.filePath(u"dati"_s)), 0700);
        QCOMPARE(modeOf(home.filePath(u"dati/vinzal"_s)), 0700);
        QCOMPARE(modeOf(book), 0600);
        QCOMPARE(probeFile(book), FileKind::Sqlite);
        QCOMPARE(schema::check(book), QStringList());
        QCOMPARE(rowCount(book), 0);
        QCOMPARE(m_dialogs->shown.size(), 1);
        const auto& message = m_dialogs->shown[0];
        QCOMPARE(message.icon, Dialogs::Icon::Information);
        QCOMPARE(message.title, u"Vinzal"_s);
        for (const QString& part : {expected, u"vinzal-db import --force VECCHIA.mdb \""_s + expected,
                                    u"vinzal-db import --csv rubrica.csv \""_s + expected,
                                    u"vinzal-db import --vcard contatti.vcf \""_s + expected})
            QVERIFY2(message.text.contains(part), qPrintable(message.text));
        QVERIFY(filesIn(QDir::currentPath()).isEmpty());

        // The window opens it without a complaint.
        m_dialogs->clear();
        showCard(book).reset();
        QVERIFY(m_dialogs->shown.isEmpty());

        // The second start finds the contacts added meanwhile and says nothing.
        query(book, u"INSERT INTO \"Nomelia\" (\"Cognone e nome o denominazione\") VALUES (?)"_s,
              {u"Rossi Mario"_s});
        QCOMPARE(startup::prepareBook(startup::parse({u"--personale"_s}), kImportTool), expected);
        QVERIFY(m_dialogs->shown.isEmpty());
        QCOMPARE(rowCount(book), 1);
    }

    // A relative XDG_DATA_HOME is ignored, as the XDG rules say: otherwise each working directory
    // would get a personal book of its own, and the contacts would seem lost on the next start.
    void relativeDataHomeIsIgnored()
    {
        QTemporaryDir home;
        const QByteArray previousHome = qgetenv("HOME");
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_DATA_HOME", "dati");
        QDir::setCurrent(home.path());
        const QString book = startup::personalBook();
        qputenv("HOME", previousHome);
        QCOMPARE(book, home.filePath(u".local/share/vinzal/Vinzal.mdb"_s));
    }

    void personalBookThatCannotBeMade()
    {
        QTemporaryDir home;
        // A file where the data folder should be: no folder can be made below it.
        QFile blocker(home.filePath(u"dati"_s));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        qputenv("XDG_DATA_HOME", blocker.fileName().toUtf8());
        QDir::setCurrent(home.path());
        const QString book = startup::prepareBook(startup::parse({u"--personale"_s}), kImportTool);
        QCOMPARE(m_dialogs->shown.size(), 1);
        QCOMPARE(m_dialogs->shown[0].icon, Dialogs::Icon::Critical);
        QVERIFY(m_dialogs->shown[0].text.contains(u"rubrica personale"_s));
        QVERIFY(!QFileInfo::exists(book));
        QCOMPARE(filesIn(home.path()), QStringList{u"dati"_s});
    }

    // A personal book that cannot be made: a message that names it and says what to do, in words
    // for a start-up (no typed values "still in the window"), and no file left.
    void personalBookThatCannotBeWritten()
    {
        QTemporaryDir home;
        qputenv("XDG_DATA_HOME", home.filePath(u"dati"_s).toUtf8());
        QDir::setCurrent(home.path());
        const QString expected = home.filePath(u"dati/vinzal/Vinzal.mdb"_s);
        // The book is built under a name of its own beside the target: a folder there stops SQLite.
        QVERIFY(QDir().mkpath(expected + u".part-%1"_s.arg(QCoreApplication::applicationPid())));
        const QString book = startup::prepareBook(startup::parse({u"--personale"_s}), kImportTool);
        QCOMPARE(book, expected);
        QCOMPARE(m_dialogs->shown.size(), 1);
        const QString said = m_dialogs->shown[0].text;
        QCOMPARE(m_dialogs->shown[0].icon, Dialogs::Icon::Critical);
        QVERIFY2(said.contains(u"rubrica personale «"_s + expected + u"»"_s), qPrintable(said));
        QVERIFY2(!said.contains(u"finestra"_s), qPrintable(said));
        QVERIFY(!QFileInfo::exists(expected));

        // The window then says the book is missing, with advice for that book, not for a
        // "Vinzal.mdb" in the working directory.
        m_dialogs->clear();
        showCard(book).reset();
        QCOMPARE(m_dialogs->shown.size(), 1);
        QVERIFY2(m_dialogs->shown[0].text.contains(u"non esiste"_s), qPrintable(m_dialogs->shown[0].text));
        QVERIFY2(!m_dialogs->shown[0].text.contains(u"Avviare Vinzal dalla cartella"_s),
                 qPrintable(m_dialogs->shown[0].text));
        QVERIFY2(m_dialogs->shown[0].text.contains(u"vinzal-db create \""_s + expected + u"\""_s),
                 qPrintable(m_dialogs->shown[0].text));
    }

    // An Access file opened from the file manager, "Sì": converted by vinzal-db in place, the
    // original kept beside it, then opened.
    void accessFileConvertedOnYes()
    {
        QTemporaryDir folder;
        const QString book = folder.filePath(u"rubrica.mdb"_s);
        QVERIFY(QFile::copy(QStringLiteral(VINZAL_SOURCE_DIR "/tests/data/jet/Vinzal-jet4.mdb"), book));
        QVERIFY(::chmod(QFile::encodeName(book).constData(), 0600) == 0);
        const QByteArray original = contentOf(book);
        m_dialogs->yesNoAnswers = {true};

        QCOMPARE(startup::prepareBook(startup::parse({book}), kImportTool), book);
        QCOMPARE(modeOf(book), 0600); // the new book takes the Access file's place and permissions
        QCOMPARE(m_dialogs->shown.size(), 2);
        QCOMPARE(m_dialogs->shown[0].kind, u"yesno"_s);
        QCOMPARE(m_dialogs->shown[0].title, u"Vinzal"_s);
        QVERIFY(m_dialogs->shown[0].text.endsWith(u"Convertire ora?"_s));
        QVERIFY(m_dialogs->shown[0].text.contains(u"rubrica.mdb"_s));
        QCOMPARE(m_dialogs->shown[1].icon, Dialogs::Icon::Information);

        QCOMPARE(probeFile(book), FileKind::Sqlite);
        QCOMPARE(schema::check(book), QStringList());
        QCOMPARE(rowCount(book), 12);
        const QStringList files = filesIn(folder.path());
        QCOMPARE(files.size(), 2); // no half-written file left behind
        QCOMPARE(files[1], u"rubrica.mdb"_s);
        QVERIFY2(QRegularExpression(u"^rubrica-access-\\d{8}-\\d{6}\\.mdb$"_s).match(files[0]).hasMatch(),
                 qPrintable(files[0]));
        QCOMPARE(contentOf(folder.filePath(files[0])), original);
        QVERIFY(m_dialogs->shown[1].text.contains(files[0]));

        m_dialogs->clear();
        auto card = showCard(book);
        QVERIFY(m_dialogs->shown.isEmpty());
        QCOMPARE(boxText(*card, u"Text2"_s), u"Rossi Mario"_s);
    }

    // "No": nothing is written and the window says what it always said about an Access file.
    void accessFileLeftOnNo()
    {
        QTemporaryDir folder;
        const QString book = folder.filePath(u"Vinzal.mdb"_s);
        QVERIFY(QFile::copy(QStringLiteral(VINZAL_SOURCE_DIR "/tests/data/jet/Vinzal-jet4.mdb"), book));
        const QByteArray original = contentOf(book);
        m_dialogs->yesNoAnswers = {false};

        QCOMPARE(startup::prepareBook(startup::parse({book}), kImportTool), book);
        QCOMPARE(m_dialogs->shown.size(), 1);
        QCOMPARE(m_dialogs->shown[0].kind, u"yesno"_s);
        QCOMPARE(contentOf(book), original);
        QCOMPARE(filesIn(folder.path()), QStringList{u"Vinzal.mdb"_s});

        auto card = showCard(book);
        QCOMPARE(m_dialogs->shown.size(), 2);
        QCOMPARE(m_dialogs->shown[1].icon, Dialogs::Icon::Critical);
        QVERIFY(m_dialogs->shown[1].text.contains(u"è un archivio di Access"_s));
        // The command given converts this file, wherever the program was started from; a bare
        // "vinzal-db import Vinzal.mdb" would look for another file in the working directory.
        QVERIFY2(m_dialogs->shown[1].text.contains(u"vinzal-db import \""_s + book + u"\" NUOVA.mdb"_s),
                 qPrintable(m_dialogs->shown[1].text));
        // AGGIUNGI then names that book, not the folder Vinzal was started from.
        QTest::mouseClick(card->findChild<QPushButton*>(u"Command2"_s), Qt::LeftButton);
        QCOMPARE(m_dialogs->shown.size(), 3);
        QVERIFY2(m_dialogs->shown[2].text.contains(book), qPrintable(m_dialogs->shown[2].text));
        QVERIFY2(!m_dialogs->shown[2].text.contains(u"avviato"_s), qPrintable(m_dialogs->shown[2].text));
    }

    // Access files the window could not convert as they were: the contacts in a table of another
    // name (the user picks it among the file's), a folder that cannot be written (the new book is
    // saved elsewhere, beside the personal book unless the user chooses otherwise), columns the book
    // lacks (left out once the user agrees). No message names an option of the command line, and
    // the Access file stays as it was.
    void accessFileConvertedFromTheWindow_data()
    {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<QByteArray>("table"); // the name the table is given in the file, when not ""
        QTest::addColumn<bool>("readOnlyFolder");
        QTest::addColumn<QStringList>("dialogs");
        QTest::addColumn<int>("rows");
        QTest::newRow("another table, a folder that cannot be written")
            << u"Vinzal-jet4.mdb"_s << QByteArray("Rubrica") << true
            << QStringList{u"yesno"_s, u"save"_s, u"item"_s, u"inform"_s} << 12;
        QTest::newRow("columns the book lacks")
            << u"testUnicodeCompV2003.mdb"_s << QByteArray() << false
            << QStringList{u"yesno"_s, u"item"_s, u"yesno"_s, u"inform"_s} << 8;
    }

    void accessFileConvertedFromTheWindow()
    {
        QFETCH(QString, fixture);
        QFETCH(QByteArray, table);
        QFETCH(bool, readOnlyFolder);
        QFETCH(QStringList, dialogs);
        QFETCH(int, rows);
        QTemporaryDir home;
        QVERIFY(::chmod(QFile::encodeName(home.path()).constData(), 0777) == 0);
        const QString folder = home.filePath(u"archivi"_s);
        QVERIFY(QDir().mkpath(folder));
        const QString book = folder + u"/rubrica.mdb"_s;
        QByteArray access = contentOf(QStringLiteral(VINZAL_SOURCE_DIR "/tests/data/jet/") + fixture);
        if (!table.isEmpty()) {
            QCOMPARE(access.count("Nomelia"), 1); // the table's name in the file's catalog
            access.replace("Nomelia", table);
        }
        {
            QFile file(book);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(access) == access.size());
        }
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), readOnlyFolder ? 0555 : 0777) == 0);
        qputenv("XDG_DATA_HOME", home.filePath(u"dati"_s).toUtf8());
        const QString proposed = home.filePath(u"dati/vinzal/rubrica.mdb"_s);
        m_dialogs->yesNoAnswers = {true, true};
        m_dialogs->saveAnswers = {proposed};
        const QString tableName = table.isEmpty() ? u"Table"_s : QString::fromUtf8(table);
        m_dialogs->itemAnswers = {tableName};

        QString opened;
        {
            const AsNobody nobody; // root may write in any folder
            opened = startup::prepareBook(startup::parse({book}), kImportTool);
        }
        QStringList kinds;
        for (const auto& dialog : std::as_const(m_dialogs->shown)) {
            kinds.append(dialog.kind);
            QVERIFY2(!dialog.text.contains(u"--"_s), qPrintable(dialog.text));
        }
        QCOMPARE(kinds, dialogs);
        QCOMPARE(m_dialogs->shown.last().icon, Dialogs::Icon::Information);
        QCOMPARE(opened, readOnlyFolder ? proposed : book);
        if (readOnlyFolder) {
            QCOMPARE(m_dialogs->shown[1].offered, QStringList{proposed});
            QCOMPARE(contentOf(book), access);
            QCOMPARE(filesIn(folder), QStringList{u"rubrica.mdb"_s});
        }
        const QStringList offered = m_dialogs->shown[kinds.indexOf(u"item"_s)].offered;
        QVERIFY2(offered.contains(tableName) && !offered.contains(u"MSysObjects"_s),
                 qPrintable(offered.join(u' ')));
        QCOMPARE(rowCount(opened), rows);
    }

    // A conversion that fails shows what the import said and leaves the folder as it was.
    void failedConversionChangesNothing()
    {
        QTemporaryDir folder;
        const QString book = folder.filePath(u"rotto.mdb"_s);
        QByteArray damaged = contentOf(QStringLiteral(VINZAL_SOURCE_DIR "/tests/data/jet/Vinzal-jet4.mdb"));
        damaged.truncate(6000); // the header survives, the pages are gone
        {
            QFile file(book);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(damaged);
        }
        QCOMPARE(probeFile(book), FileKind::Access);
        m_dialogs->yesNoAnswers = {true};

        QCOMPARE(startup::prepareBook(startup::parse({book}), kImportTool), book);
        QCOMPARE(m_dialogs->shown.size(), 2);
        const auto& failure = m_dialogs->shown[1];
        QCOMPARE(failure.icon, Dialogs::Icon::Critical);
        QVERIFY2(failure.text.contains(u"non è riuscita; il file non è stato cambiato"_s),
                 qPrintable(failure.text));
        QVERIFY2(failure.text.contains(u"vinzal-db: "_s), qPrintable(failure.text)); // the import's own words
        QCOMPARE(contentOf(book), damaged);
        QCOMPARE(filesIn(folder.path()), QStringList{u"rotto.mdb"_s});

        // Without the import program there is a message and no change either.
        startup::Conversion conversion;
        QVERIFY(!startup::convertAccessFile(book, QString(), conversion));
        QVERIFY(conversion.problem.contains(u"vinzal-db"_s));
        QCOMPARE(filesIn(folder.path()), QStringList{u"rotto.mdb"_s});
    }

    // In the build tree vinzal-db lies in tools/, beside this test's own folder.
    void importToolFound()
    {
        QCOMPARE(startup::findImportTool(), QFileInfo(kImportTool).canonicalFilePath());
    }

    // The window names the menu entry (on Wayland, its app id), and the window icon and the menu's
    // icons are one drawing: the same pixels at every size.
    void iconFromOneDrawing()
    {
        QVERIFY(QFile::exists(QStringLiteral(VINZAL_SOURCE_DIR "/packaging/%1.desktop")
                                  .arg(QGuiApplication::desktopFileName())));
        const QIcon icon = look::icon();
        for (int size : {16, 32, 48, 64, 128, 256}) {
            QVERIFY(icon.availableSizes().contains(QSize(size, size)));
            const QImage menu(
                QStringLiteral(VINZAL_SOURCE_DIR "/packaging/icons/hicolor/%1x%1/apps/it.vinzal.Vinzal.png")
                    .arg(size));
            QCOMPARE(menu.size(), QSize(size, size));
            const QImage window =
                icon.pixmap(QSize(size, size)).toImage().convertToFormat(QImage::Format_ARGB32);
            const QImage expected = menu.convertToFormat(QImage::Format_ARGB32);
            // A pixmap keeps its colours premultiplied: a smoothed edge may come back one unit off.
            int different = 0;
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x) {
                    const QRgb a = window.pixel(x, y), b = expected.pixel(x, y);
                    different +=
                        std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                                  std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b))}) > 2;
                }
            QVERIFY2(different == 0, qPrintable(u"%1 pixels differ at %2"_s.arg(different).arg(size)));
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
