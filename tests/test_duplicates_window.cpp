// The "Trova duplicati" window, driven by its widgets' names with real key and mouse events: nothing
// is merged without Unisci and a Yes, the values chosen are the ones kept, a contact changed after it
// was shown refuses the merge, Annulla unione gives everything back, Ignora keeps a group away.
#include "duplicates_window.h"
#include "gui_support.h"

#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;

namespace {

// Every field of every contact, as stored, and the merge's table.
QVariantList everything(const QString& book)
{
    QVariantList all =
        query(book, u"SELECT quote(ID) || quote(\"Cognone e nome o denominazione\") || quote(\"Città\") "
                    u"|| quote(\"Telefonino\") || quote(\"Osservazioni\") FROM Nomelia ORDER BY ID"_s);
    all += query(book, u"SELECT count(*) FROM sqlite_master WHERE name = 'VinzalUniti'"_s);
    return all;
}

} // namespace

class TestDuplicatesWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_book;

    std::unique_ptr<DuplicatesWindow> openWindow()
    {
        auto window = std::make_unique<DuplicatesWindow>(m_book);
        QSignalSpy finished(window.get(), &DuplicatesWindow::searchFinished);
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get()) || (finished.isEmpty() && !finished.wait(60000)))
            qFatal("the window did not finish its search");
        return window;
    }
    template <typename W> static W* child(QWidget* window, const QString& name)
    {
        W* found = window->findChild<W*>(name);
        if (!found)
            qFatal("no widget %s", qPrintable(name));
        return found;
    }

private slots:
    void init()
    {
        m_book = m_dir.filePath(QString::fromLatin1(QTest::currentTestFunction()) +
                                QString::fromLatin1(QTest::currentDataTag()) + u".mdb"_s);
        makeAddressBook(m_book, contactsFrom(u"duplicates"_s));
    }

    void unisci_data() { rowsFrom(u"unisci"_s); }
    void unisci()
    {
        QFETCH(QString, change);
        QFETCH(bool, yes);
        QFETCH(bool, merged);
        ScriptedDialogs& dialogs = ScriptedDialogs::install();
        const QVariantList before = everything(m_book);
        auto window = openWindow();
        auto* groups = child<QListWidget>(window.get(), u"groups"_s);
        QCOMPARE(groups->count(), 2);
        QVERIFY(groups->item(0)->text().startsWith(u"ID 1, 2, 4 — Rossi Mario — stesso nome"_s));
        QVERIFY(groups->item(1)->text().contains(u"stesso numero 3477654321: ID 3, 5"_s));
        QCOMPARE(everything(m_book), before); // found, shown, not merged

        // The longest city is kept by default; the user picks ID 2's instead, with the keyboard.
        auto* city = child<QComboBox>(window.get(), u"scelta Città"_s);
        QCOMPARE(city->currentText(), u"ID 4: Roma (RM)"_s);
        city->setFocus();
        QTest::keyClick(city, Qt::Key_Up);
        QCOMPARE(city->currentText(), u"ID 2: Roma"_s);

        if (!change.isEmpty())
            query(m_book, change);
        const QVariantList shown = everything(m_book);
        dialogs.yesNoAnswers = {yes, true};
        QTest::mouseClick(child<QPushButton>(window.get(), u"merge"_s), Qt::LeftButton);
        QCOMPARE(dialogs.shown.first().kind, u"yesno"_s);
        QVERIFY(dialogs.shown.first().text.contains(u"ID 2, 4 nel contatto con ID 1"_s));
        if (!merged) {
            QCOMPARE(everything(m_book), shown);
            QCOMPARE(groups->count(), 2);
            if (!change.isEmpty()) {
                QCOMPARE(dialogs.shown.size(), 2);
                QCOMPARE(dialogs.shown.at(1).icon, Dialogs::Icon::Critical);
                QVERIFY2(dialogs.shown.at(1).text.contains(u"ID 4 "_s), qPrintable(dialogs.shown.at(1).text));
            }
            return;
        }
        QCOMPARE(groups->count(), 1);
        QCOMPARE(query(m_book, u"SELECT \"Cognone e nome o denominazione\" || '|' || \"Città\" || '|' || "
                               u"\"Osservazioni\" FROM Nomelia WHERE ID IN (1, 2, 4)"_s),
                 QVariantList{u"Rossi Mario|Roma|uno\r\n— unito da ID 2 —\r\ndue\r\n— valori non tenuti —\r\n"
                              u"Città, da ID 4: Roma (RM)"_s});

        QTest::mouseClick(child<QPushButton>(window.get(), u"unmerge"_s), Qt::LeftButton);
        QCOMPARE(dialogs.shown.last().kind, u"yesno"_s);
        QCOMPARE(groups->count(), 2);
        QVERIFY(everything(m_book).mid(0, 6) == before.mid(0, 6));
    }

    void ignora()
    {
        ScriptedDialogs::install();
        {
            auto window = openWindow();
            auto* groups = child<QListWidget>(window.get(), u"groups"_s);
            groups->setFocus();
            QTest::keyClick(groups, Qt::Key_Down);
            QVERIFY(groups->currentItem()->text().contains(u"ID 3, 5"_s));
            QTest::mouseClick(child<QPushButton>(window.get(), u"ignore"_s), Qt::LeftButton);
            QCOMPARE(groups->count(), 1);
        }
        auto again = openWindow();
        QCOMPARE(child<QListWidget>(again.get(), u"groups"_s)->count(), 1);
    }
};

QTEST_MAIN(TestDuplicatesWindow)
#include "test_duplicates_window.moc"
