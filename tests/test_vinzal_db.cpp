#include "contact_table.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace vinzal::test;

class TestVinzalDb : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    struct Run
    {
        int exitCode;
        QString out;
        QString err;
    };

    Run run(const QStringList& arguments)
    {
        QProcess process;
        process.setWorkingDirectory(m_dir.path());
        process.start(QString::fromUtf8(VINZAL_DB), arguments);
        if (!process.waitForFinished(120000))
            qFatal("vinzal-db did not finish");
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }

private slots:
    void usage()
    {
        Run help = run({u"--help"_s});
        QCOMPARE(help.exitCode, 0);
        QVERIFY(help.out.contains(u"create"_s) && help.out.contains(u"demo"_s) &&
                help.out.contains(u"check"_s));
        for (const QStringList& wrong :
             {QStringList{}, QStringList{u"frobnicate"_s}, QStringList{u"create"_s, u"--rows"_s, u"3"_s},
              QStringList{u"demo"_s, u"--rows"_s, u"many"_s}, QStringList{u"check"_s, u"a"_s, u"b"_s}}) {
            Run bad = run(wrong);
            QCOMPARE(bad.exitCode, 2);
            QVERIFY(bad.out.isEmpty());
            QVERIFY(!bad.err.isEmpty());
        }
    }

    void createRefusesToOverwrite()
    {
        Run made = run({u"create"_s});
        QCOMPARE(made.exitCode, 0);
        const QString path = m_dir.filePath(vinzal::contacts::fileName());
        QVERIFY(QFile::exists(path));
        QCOMPARE(sql(path, u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 0);
        QCOMPARE(sql(path, u"PRAGMA application_id"_s).first().toInt(), 0x565A4C31);
        sql(path, u"INSERT INTO Nomelia(Genere) VALUES ('Lavoro')"_s);

        Run again = run({u"create"_s});
        QCOMPARE(again.exitCode, 1);
        QVERIFY(again.err.contains(u"esiste già"_s));
        QCOMPARE(sql(path, u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 1); // untouched
        QCOMPARE(run({u"create"_s, u"--force"_s}).exitCode, 0);
        QCOMPARE(sql(path, u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 0);
        // No temporary file or journal is left beside it.
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), QStringList{vinzal::contacts::fileName()});
    }

    void demoIsRealisticAndRepeatable()
    {
        QCOMPARE(run({u"demo"_s, u"a.mdb"_s, u"--rows"_s, u"500"_s, u"--seed"_s, u"7"_s}).exitCode, 0);
        QCOMPARE(run({u"demo"_s, u"b.mdb"_s, u"--rows"_s, u"500"_s, u"--seed"_s, u"7"_s}).exitCode, 0);
        const QString a = m_dir.filePath(u"a.mdb"_s);
        const QString all =
            u"SELECT group_concat(coalesce(Genere,'') || Città || coalesce(Telefonino,''), '|') FROM Nomelia"_s;
        QCOMPARE(sql(a, all), sql(m_dir.filePath(u"b.mdb"_s), all));
        QCOMPARE(sql(a, u"SELECT count(*) FROM Nomelia"_s).first().toInt(), 500);
        // Mostly valid categories, some not; some multi-line remarks; some empty fields.
        const int valid = sql(a, u"SELECT count(*) FROM Nomelia WHERE Genere COLLATE BINARY IN "
                                 u"('Famiglia-Amici','Lavoro','Altro')"_s)
                              .first()
                              .toInt();
        QVERIFY2(valid > 400 && valid < 500, qPrintable(QString::number(valid)));
        QVERIFY(sql(a, u"SELECT count(*) FROM Nomelia WHERE Osservazioni LIKE '%' || char(10) || '%'"_s)
                    .first()
                    .toInt() > 0);
        QVERIFY(sql(a, u"SELECT count(*) FROM Nomelia WHERE \"E-Mail\" IS NULL"_s).first().toInt() > 0);
        QVERIFY(sql(a, u"SELECT count(*) FROM Nomelia WHERE \"E-Mail\" LIKE '%@%.%'"_s).first().toInt() >
                200);
        QCOMPARE(run({u"check"_s, u"a.mdb"_s}).exitCode, 0);
    }

    void checkFindsProblems()
    {
        QCOMPARE(run({u"create"_s, u"c.mdb"_s}).exitCode, 0);
        const QString path = m_dir.filePath(u"c.mdb"_s);
        sql(path, u"DROP INDEX \"Città\""_s);
        sql(path, u"CREATE INDEX \"Fax\" ON Nomelia(Indirizzo)"_s.replace(u"\"Fax\""_s, u"\"Fax2\""_s));
        sql(path, u"DROP INDEX \"Telefonino\""_s);
        sql(path, u"CREATE INDEX \"Telefonino\" ON Nomelia(Telefonino COLLATE BINARY)"_s);
        Run checked = run({u"check"_s, u"c.mdb"_s});
        QCOMPARE(checked.exitCode, 1);
        QVERIFY2(checked.err.contains(u"manca l'indice «Città»"_s), qPrintable(checked.err));
        QVERIFY2(checked.err.contains(u"«Telefonino» non usa la collazione NOCASE"_s),
                 qPrintable(checked.err));
        QVERIFY(!checked.err.contains(u"«Fax»"_s));

        QFile junk(m_dir.filePath(u"junk.mdb"_s));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("not a database at all");
        junk.close();
        QCOMPARE(run({u"check"_s, u"junk.mdb"_s}).exitCode, 1);
        Run missing = run({u"check"_s, u"nowhere.mdb"_s});
        QCOMPARE(missing.exitCode, 1);
        QVERIFY(!QFile::exists(m_dir.filePath(u"nowhere.mdb"_s)));
    }
};

QTEST_GUILESS_MAIN(TestVinzalDb)
#include "test_vinzal_db.moc"
