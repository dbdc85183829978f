// The "Trova duplicati" window, driven by its widgets' names with real key and mouse events: nothing
// is merged without Unisci and a Yes, the values chosen are the ones kept, a contact changed after it
// was shown refuses the merge, Annulla unione gives everything back and lists the group again, Ignora
// keeps a group away until taken back; a group of thousands is shown a page at a time, and the groups
// are listed while the search goes on.
#include "contact_table.h"
#include "duplicates_window.h"
#include "gui_support.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTableWidget>
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

    // Ignora, taken back at once and again later in another window: what the book remembers follows.
    void ignora()
    {
        ScriptedDialogs::install();
        const auto ignoreSecond = [this](QWidget* window) {
            auto* groups = child<QListWidget>(window, u"groups"_s);
            groups->setFocus();
            QTest::keyClick(groups, Qt::Key_Down);
            QVERIFY(groups->currentItem()->text().contains(u"ID 3, 5"_s));
            QTest::mouseClick(child<QPushButton>(window, u"ignore"_s), Qt::LeftButton);
            QCOMPARE(groups->count(), 1);
        };
        for (bool takeBack : {true, false}) {
            auto window = openWindow();
            auto* groups = child<QListWidget>(window.get(), u"groups"_s);
            auto* undo = child<QPushButton>(window.get(), u"unignore"_s);
            QCOMPARE(groups->count(), 2);
            QVERIFY(!undo->isEnabled());
            ignoreSecond(window.get());
            QVERIFY(undo->isEnabled());
            if (takeBack) {
                QTest::mouseClick(undo, Qt::LeftButton);
                QCOMPARE(groups->count(), 2);
                QVERIFY(groups->currentItem()->text().contains(u"ID 3, 5"_s));
                QCOMPARE(child<QTableWidget>(window.get(), u"fields"_s)->columnCount(), 2);
                QVERIFY(!undo->isEnabled());
                QCOMPARE(query(m_book, u"SELECT count(*) FROM VinzalIgnorati"_s), QVariantList{0});
            }
        }
        auto again = openWindow();
        QCOMPARE(child<QListWidget>(again.get(), u"groups"_s)->count(), 1);
    }

    // A merge undone in a later window, by the ID typed, lists its group again at once.
    void annullaUnioneInUnAltraFinestra()
    {
        ScriptedDialogs& dialogs = ScriptedDialogs::install();
        {
            auto window = openWindow();
            dialogs.yesNoAnswers = {true};
            QTest::mouseClick(child<QPushButton>(window.get(), u"merge"_s), Qt::LeftButton);
            QCOMPARE(child<QListWidget>(window.get(), u"groups"_s)->count(), 1);
        }
        auto window = openWindow();
        auto* groups = child<QListWidget>(window.get(), u"groups"_s);
        QCOMPARE(groups->count(), 1);
        dialogs.textAnswers = {u"2"_s};
        QTest::mouseClick(child<QPushButton>(window.get(), u"unmerge"_s), Qt::LeftButton);
        QCOMPARE(dialogs.shown.last().kind, u"text"_s);
        QCOMPARE(groups->count(), 2);
        QVERIFY(groups->currentItem()->text().startsWith(u"ID 1, 2, 4 — Rossi Mario — stesso nome"_s));
        QCOMPARE(groups->currentRow(), 0);
    }

    // Six contacts side by side at the window's own size: the values to keep are still in view, each
    // beside the name of its field, out of the table (whose cells a screen reader does not enter).
    void daTenereInVista()
    {
        ScriptedDialogs::install();
        query(m_book, u"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3) "
                      u"INSERT INTO Nomelia (\"Cognone e nome o denominazione\", \"Indirizzo\") "
                      u"SELECT 'Rossi Mario', 'Via dei Fori Imperiali, scala B, interno ' || i || ', "
                      u"presso lo studio associato' FROM n"_s);
        auto window = openWindow();
        auto* fields = child<QTableWidget>(window.get(), u"fields"_s);
        QCOMPARE(fields->columnCount(), 6);
        const QList<QComboBox*> choices = window->findChildren<QComboBox*>();
        QCOMPARE(choices.size(), 11);
        for (QComboBox* choice : choices) {
            const QString field = choice->objectName().section(u' ', 1);
            const QRect place(choice->mapTo(window.get(), QPoint()), choice->size());
            QVERIFY2(place.left() >= 0 && place.right() < window->width() && !fields->isAncestorOf(choice),
                     qPrintable(field));
            const auto labels = choice->parentWidget()->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
            QVERIFY2(std::any_of(labels.begin(), labels.end(),
                                 [&](QLabel* label) {
                                     return label->buddy() == choice && label->text() == field + u':';
                                 }),
                     qPrintable(field));
        }
    }

    // Tab goes from the table of values on to the next control, rather than from cell to cell: through
    // the value to keep of each field, in the table's order, then to Unisci; the arrows move inside.
    // Alt and the letter of the values to keep reach them from anywhere.
    void tabLasciaLaTabella()
    {
        ScriptedDialogs::install();
        auto window = openWindow();
        auto* fields = child<QTableWidget>(window.get(), u"fields"_s);
        activate(window.get());
        fields->setFocus();
        fields->setCurrentCell(0, 0);
        QTest::keyClick(fields, Qt::Key_Down);
        QCOMPARE(fields->currentRow(), 1);
        QStringList expected, stops;
        for (const QString& field : contacts::fields().mid(1))
            expected.append(u"scelta "_s + field);
        expected.append(u"merge"_s);
        // Alt+T, the letter of «Valori da tenere», goes to the first of them.
        QTest::keyClick(fields, Qt::Key_T, Qt::AltModifier);
        QCOMPARE(window->focusWidget()->objectName(), expected.first());
        fields->setFocus();
        QWidget* focus = fields;
        while (stops.size() < expected.size()) {
            QTest::keyClick(focus, Qt::Key_Tab);
            focus = window->focusWidget();
            stops.append(focus->objectName());
        }
        QCOMPARE(stops, expected);
        QCOMPARE(fields->currentRow(), 1);
    }

    // A common name in a large book: its group of thousands is one short line of the list and is shown a
    // page at a time; Unisci merges the page shown and the rest stays listed. Meanwhile every progress
    // the status tells counts only groups already in the list.
    void grandeGruppo()
    {
        ScriptedDialogs& dialogs = ScriptedDialogs::install();
        query(m_book, u"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
                      u"INSERT INTO Nomelia (\"Cognone e nome o denominazione\", \"Città\") "
                      u"SELECT 'Esposito Gennaro', 'Napoli ' || i FROM n"_s);
        auto window = std::make_unique<DuplicatesWindow>(m_book);
        auto* groups = child<QListWidget>(window.get(), u"groups"_s);
        auto* status = child<QLabel>(window.get(), u"status"_s);
        int reported = 0;
        QStringList behind;
        connect(window.get(), &DuplicatesWindow::searchProgressed, this, [&] {
            const auto found = QRegularExpression(u"finora (\\d+) grupp"_s).match(status->text());
            if (!found.hasMatch())
                return;
            ++reported;
            if (groups->count() != found.captured(1).toInt() || !groups->currentItem())
                behind.append(status->text() + u" (nella lista: %1)"_s.arg(groups->count()));
        });
        QSignalSpy finished(window.get(), &DuplicatesWindow::searchFinished);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QVERIFY(finished.wait(60000));
        QVERIFY(reported > 0);
        QVERIFY2(behind.isEmpty(), qPrintable(behind.join(u'\n')));

        QCOMPARE(groups->count(), 3);
        groups->setFocus();
        QTest::keyClick(groups, Qt::Key_End);
        QVERIFY2(
            groups->currentItem()->text().startsWith(u"ID 7, 8, 9, 10, 11, 12, 13, 14, 15, 16 e altri 2990 — "
                                                     u"Esposito Gennaro — stesso nome"_s),
            qPrintable(groups->currentItem()->text()));
        QVERIFY(groups->currentItem()->text().size() < 300);
        auto* fields = child<QTableWidget>(window.get(), u"fields"_s);
        const auto headers = [fields] {
            QStringList texts;
            for (int c = 0; c < fields->columnCount(); ++c)
                texts.append(fields->horizontalHeaderItem(c)->text());
            return texts.join(u", "_s);
        };
        QCOMPARE(headers(), u"ID 7, ID 8, ID 9, ID 10, ID 11, ID 12, ID 13, ID 14"_s);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // the previous group's
        const QList<QComboBox*> choices = window->findChildren<QComboBox*>();
        QCOMPARE(choices.size(), 11);
        for (QComboBox* choice : choices)
            QVERIFY(choice->count() <= DuplicatesWindow::pageSize + 1);

        auto* next = child<QPushButton>(window.get(), u"nextPage"_s);
        QVERIFY(next->isVisible());
        QVERIFY(!child<QPushButton>(window.get(), u"previousPage"_s)->isEnabled());
        QTest::mouseClick(next, Qt::LeftButton);
        QCOMPARE(headers(), u"ID 7, ID 15, ID 16, ID 17, ID 18, ID 19, ID 20, ID 21"_s);
        QVERIFY(child<QLabel>(window.get(), u"page"_s)->text().contains(u"pagina 2 di 429"_s));

        dialogs.yesNoAnswers = {true, true};
        QTest::mouseClick(child<QPushButton>(window.get(), u"merge"_s), Qt::LeftButton);
        QVERIFY(dialogs.shown.last().text.contains(u"ID 15, 16, 17, 18, 19, 20, 21 nel contatto con ID 7"_s));
        const QString kept = u"SELECT count(*) FROM Nomelia WHERE \"Cognone e nome o denominazione\" = "
                             u"'Esposito Gennaro'"_s;
        QCOMPARE(query(m_book, kept), QVariantList{2993});
        QCOMPARE(groups->count(), 3);
        QVERIFY(groups->currentItem()->text().startsWith(
            u"ID 7, 8, 9, 10, 11, 12, 13, 14, 22, 23 e altri 2983"_s));
        QCOMPARE(headers(), u"ID 7, ID 22, ID 23, ID 24, ID 25, ID 26, ID 27, ID 28"_s);

        QTest::mouseClick(child<QPushButton>(window.get(), u"unmerge"_s), Qt::LeftButton);
        QCOMPARE(query(m_book, kept), QVariantList{3000});
        QCOMPARE(groups->count(), 3);
        QVERIFY(groups->currentItem()->text().contains(u"e altri 2990"_s));
        QCOMPARE(fields->columnCount(), DuplicatesWindow::pageSize);
    }
};

QTEST_MAIN(TestDuplicatesWindow)
#include "test_duplicates_window.moc"
