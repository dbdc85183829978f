// Searching, adding, modifying and saving on the contact card, checked in the file afterwards.
#include "application.h"
#include "contact_table.h"
#include "form1.h"
#include "gui_support.h"

#include <QApplication>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;

namespace {

const QString kNotice =
    u"Nella casella [Genere] del novo record verrà inserito automaticamente [Altro] l'utente "
    u"potrà modificare il contenuto di detta casella inserendo [Famiglia-Amici] o [Lavoro]."_s;
const QString kWarning =
    u"ATTENZIONE: nella casella [genere] deve essere inserito obbligatoriamente Famiglia-Amici, Lavoro o "
    u"Altro, "
    u"può darsi che la casella è stata lasciata vuota, che è stata inserita un'altra dicitura o che vi sono "
    u"degli errori di battitura, sarà inserito automaticamente [Altro], successivamente modificabile "
    u"dall'utente."_s;
const QString kQuestion = u"Salvare le modifiche apportate?"_s;
const QString kNotFound = u"Nome non trovato."_s;
const QString kName = u"Cognone e nome o denominazione"_s;

const QStringList lockList{u"Command7"_s,  u"Command2"_s,  u"Command3"_s,  u"Command5"_s,  u"Command1"_s,
                           u"Command4"_s,  u"Command8"_s,  u"Command9"_s,  u"Command10"_s, u"Command11"_s,
                           u"Command12"_s, u"Command13"_s, u"Command14"_s, u"Command15"_s, u"Command16"_s};

Person contact(const QString& category, const QString& name, const QString& town, const QString& further,
               const QString& home, const QString& office)
{
    return {{u"Genere"_s, category},      {kName, name},
            {u"Città"_s, town},           {u"ulteriore identificativo"_s, further},
            {u"Telelefono casa"_s, home}, {u"Telefono Ufficio"_s, office}};
}

// IDs 1 to 4, in an order that differs from every index's.
QList<Person> book()
{
    return {contact(u"Lavoro"_s, u"Rossi Mario"_s, u"Torino"_s, u"dentista"_s, u"011 222"_s, u"06 999"_s),
            contact(u"Famiglia-Amici"_s, u"Bianchi Anna"_s, u"Milano"_s, u"zia"_s, u"02 555"_s, u"02 111"_s),
            contact(u"Altro"_s, u"Verdi Luca"_s, u"Bari"_s, u"vicino di casa"_s, u"080 333"_s, u"080 777"_s),
            contact(u"Lavoro"_s, u"Neri Sara"_s, u"Roma"_s, u"avvocato"_s, u"06 444"_s, u"06 123"_s)};
}

} // namespace

class TestCardEditing : public QObject
{
    Q_OBJECT

    ScriptedDialogs* m_dialogs = nullptr;

    int count(const Card& card)
    {
        return query(card.path(), u"SELECT count(*) FROM Nomelia"_s).first().toInt();
    }

    void verifyLocked(Card& card, bool locked)
    {
        for (const QString& name : lockList)
            QVERIFY2(card.button(name)->isEnabled() == !locked, qPrintable(name));
        QCOMPARE(card.widget(u"Data1"_s)->isEnabled(), !locked);
        QVERIFY(card.button(u"Command6"_s)->isEnabled());
        QVERIFY(card.button(u"Command17"_s)->isEnabled());
    }

private slots:
    void init() { m_dialogs = &ScriptedDialogs::install(); }

    void search_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("foundId");
        // Exact keys, the buttons whose caption is not the index name, and answers between keys.
        QTest::newRow("exact name") << u"Command1"_s << u"Neri Sara"_s << u"4"_s;
        QTest::newRow("name between keys") << u"Command1"_s << u"C"_s << u"4"_s;
        QTest::newRow("name, other case") << u"Command1"_s << u"verdi luca"_s << u"3"_s;
        QTest::newRow("blanks are searched") << u"Command1"_s << u"   "_s << u"2"_s;
        QTest::newRow("ulteriore identificativo") << u"Command4"_s << u"vicino"_s << u"3"_s;
        QTest::newRow("Telelefono casa") << u"Command10"_s << u"011"_s << u"1"_s;
        QTest::newRow("Telefono Ufficio") << u"Command12"_s << u"06 1"_s << u"4"_s;
        QTest::newRow("Genere, first of a run") << u"Command5"_s << u"Lavoro"_s << u"1"_s;
        QTest::newRow("Città") << u"Command8"_s << u"Mi"_s << u"2"_s;
        QTest::newRow("SQL is just text") << u"Command8"_s << u"' OR ''='"_s << u"3"_s;
    }

    void search()
    {
        QFETCH(QString, button);
        QFETCH(QString, answer);
        QFETCH(QString, foundId);
        Card card(book());
        m_dialogs->textAnswers = {answer};
        card.click(button);
        QCOMPARE(m_dialogs->shown.size(), 1);
        QCOMPARE(m_dialogs->shown[0].kind, u"text"_s);
        QCOMPARE(m_dialogs->shown[0].text, u"Immettere il nome da ricercare:"_s);
        QCOMPARE(m_dialogs->shown[0].title, u"Ricerca nella nomelia elettronica"_s);
        QCOMPARE(card.text(u"Text12"_s), foundId);
    }

    void searchAfterTheLastKey()
    {
        Card card(book());
        card.barMove(u"MoveLast"_s);
        QString shownBehind;
        m_dialogs->onShow = [&](const ScriptedDialogs::Shown& shown) {
            if (shown.kind == u"inform"_s)
                shownBehind = card.text(u"Text12"_s);
        };
        m_dialogs->textAnswers = {u"Zucchini"_s};
        card.click(u"Command1"_s);
        QCOMPARE(m_dialogs->shown.size(), 2);
        QCOMPARE(m_dialogs->shown[1].text, kNotFound);
        QCOMPARE(m_dialogs->shown[1].title, u"Nomelia elettronica"_s);
        QCOMPARE(m_dialogs->shown[1].icon, Dialogs::Icon::Information);
        QCOMPARE(shownBehind, u"1"_s); // over the reloaded first row
        card.barMove(u"MoveNext"_s);   // and the reload dropped the index
        QCOMPARE(card.text(u"Text12"_s), u"2"_s);
    }

    void emptyAnswerChangesNothing()
    {
        Card card(book());
        m_dialogs->textAnswers = {u"Roma"_s};
        card.click(u"Command8"_s);
        QCOMPARE(card.text(u"Text12"_s), u"4"_s);
        m_dialogs->textAnswers = {QString()}; // cancel, or OK on an empty field
        card.click(u"Command1"_s);
        QCOMPARE(card.text(u"Text12"_s), u"4"_s);
        QCOMPARE(m_dialogs->shown.size(), 2);
        card.barMove(u"MovePrevious"_s); // still in the order of towns: Torino, Roma, Milano, Bari
        QCOMPARE(card.text(u"Text10"_s), u"Milano"_s);
    }

    void barFollowsTheSearchUntilAggiorna()
    {
        Card card(book());
        m_dialogs->textAnswers = {u"Bari"_s};
        card.click(u"Command8"_s);
        QStringList towns{card.text(u"Text10"_s)};
        for (int i = 0; i < 3; ++i) {
            card.barMove(u"MoveNext"_s);
            towns.append(card.text(u"Text10"_s));
        }
        QCOMPARE(towns, (QStringList{u"Bari"_s, u"Milano"_s, u"Roma"_s, u"Torino"_s}));
        card.click(u"Command16"_s);
        QCOMPARE(card.text(u"Text12"_s), u"1"_s);
        card.barMove(u"MoveNext"_s);
        QCOMPARE(card.text(u"Text12"_s), u"2"_s);
    }

    void searchOnAnEmptyTable()
    {
        Card card({});
        m_dialogs->textAnswers = {u"Rossi"_s};
        card.click(u"Command1"_s);
        QCOMPARE(m_dialogs->texts(), (QStringList{u"Immettere il nome da ricercare:"_s, kNotFound}));
        QCOMPARE(m_dialogs->shown[1].icon, Dialogs::Icon::Information);
    }

    void searchWhileModifying()
    {
        Card card(book());
        card.click(u"Command3"_s);
        QCOMPARE(card.state(), u"Modifying"_s);
        card.type(u"Text10"_s, u"Cagliari"_s);
        m_dialogs->textAnswers = {u"Verdi"_s};
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command1"_s);
        QCOMPARE(m_dialogs->texts()[1], kQuestion);
        QCOMPARE(card.text(u"Text12"_s), u"3"_s);
        QCOMPARE(card.state(), u"Browsing"_s);
        QCOMPARE(fieldOf(card.path(), 1, u"Città"_s).toString(), u"Cagliari"_s);
    }

    void addNewContact()
    {
        Card card(book());
        card.barMove(u"MoveNext"_s);
        QString categoryAtNotice = u"unset"_s;
        m_dialogs->onShow = [&](const ScriptedDialogs::Shown&) { categoryAtNotice = card.text(u"Text1"_s); };
        card.click(u"Command2"_s);
        QCOMPARE(m_dialogs->shown.size(), 1);
        QCOMPARE(m_dialogs->shown[0].text, kNotice);
        QCOMPARE(m_dialogs->shown[0].title, u"Vinzal"_s);
        QCOMPARE(m_dialogs->shown[0].icon, Dialogs::Icon::None);
        QCOMPARE(categoryAtNotice, QString()); // the notice comes before the default
        QCOMPARE(card.text(u"Text1"_s), u"Altro"_s);
        QCOMPARE(card.text(u"Text2"_s), QString());
        QCOMPARE(card.state(), u"Adding"_s);
        QCOMPARE(card.button(u"Command3"_s)->text(), u"MODIFICA"_s);
        verifyLocked(card, true);

        // Nothing but SALVA, Command17 and the boxes responds while adding.
        m_dialogs->clear();
        m_dialogs->textAnswers = {u"Rossi"_s};
        for (const QString& name : lockList)
            card.click(name);
        card.barMove(u"MoveNext"_s);
        QVERIFY(m_dialogs->shown.isEmpty());
        QVERIFY(card.form().isVisible());
        QCOMPARE(card.state(), u"Adding"_s);

        card.type(u"Text2"_s, u"Esposito Gennaro"_s);
        card.type(u"Text4"_s, u"+39 333 1234567"_s);
        m_dialogs->onShow = nullptr;
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QCOMPARE(m_dialogs->texts(), QStringList{kQuestion}); // "Altro" passes: no warning
        QCOMPARE(card.state(), u"Browsing"_s);
        verifyLocked(card, false);
        QCOMPARE(count(card), 5);
        QCOMPARE(card.text(u"Text12"_s), u"5"_s); // the new contact is shown
        QCOMPARE(fieldOf(card.path(), 5, kName).toString(), u"Esposito Gennaro"_s);
        QCOMPARE(fieldOf(card.path(), 5, u"Genere"_s).toString(), u"Altro"_s);
        QCOMPARE(fieldOf(card.path(), 5, u"Telefonino"_s).toString(), u"+39 333 1234567"_s);
        QVERIFY(fieldOf(card.path(), 5, u"Fax"_s).isNull());
    }

    void newContactAnsweredNoStoresNothing()
    {
        Card card(book());
        card.barMove(u"MoveNext"_s);
        card.click(u"Command2"_s);
        card.type(u"Text2"_s, u"Da non salvare"_s);
        m_dialogs->yesNoAnswers = {false};
        card.click(u"Command6"_s);
        QCOMPARE(count(card), 4);
        QCOMPARE(card.state(), u"Browsing"_s);
        verifyLocked(card, false);
        QCOMPARE(card.text(u"Text12"_s), u"2"_s); // the contact shown before
        QCOMPARE(card.text(u"Text2"_s), u"Bianchi Anna"_s);
    }

    void categoryRuleOnSave_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::newRow("empty") << QString();
        QTest::newRow("lower case") << u"altro"_s;
        QTest::newRow("trailing blank") << u"Lavoro "_s;
        QTest::newRow("blank for hyphen") << u"Famiglia Amici"_s;
    }

    void categoryRuleOnSave()
    {
        QFETCH(QString, typed);
        Card card(book());
        card.click(u"Command3"_s);
        card.type(u"Text1"_s, typed);
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QCOMPARE(m_dialogs->texts(), (QStringList{kWarning, kQuestion}));
        QCOMPARE(m_dialogs->shown[0].title, u"Vinzal"_s);
        QCOMPARE(m_dialogs->shown[0].icon, Dialogs::Icon::None);
        QCOMPARE(fieldOf(card.path(), 1, u"Genere"_s).toString(), u"Altro"_s);
        QCOMPARE(card.text(u"Text1"_s), u"Altro"_s);
        QCOMPARE(card.state(), u"Browsing"_s);
    }

    void categoryTypedWhileBrowsingIsStoredAsTyped()
    {
        Card card(book());
        card.type(u"Text1"_s, u"altro"_s);
        m_dialogs->yesNoAnswers = {true};
        card.barMove(u"MoveNext"_s);
        QCOMPARE(m_dialogs->texts(), QStringList{kQuestion});
        QCOMPARE(fieldOf(card.path(), 1, u"Genere"_s).toString(), u"altro"_s);
    }

    void modifyCancelAndSave()
    {
        Card card(book());
        card.click(u"Command3"_s);
        QCOMPARE(card.state(), u"Modifying"_s);
        verifyLocked(card, false); // MODIFICA disables nothing
        card.type(u"Text10"_s, u"Napoli"_s);
        card.click(u"Command3"_s); // ANNULLA: no question, the typed value is dropped
        QVERIFY(m_dialogs->shown.isEmpty());
        QCOMPARE(card.state(), u"Browsing"_s);
        QCOMPARE(card.text(u"Text10"_s), u"Torino"_s);
        QCOMPARE(fieldOf(card.path(), 1, u"Città"_s).toString(), u"Torino"_s);

        card.click(u"Command3"_s);
        card.click(u"Command6"_s); // unchanged, with a valid category: no dialog at all
        QVERIFY(m_dialogs->shown.isEmpty());
        QCOMPARE(card.state(), u"Browsing"_s);

        card.click(u"Command3"_s);
        card.type(u"Text10"_s, u"Napoli"_s);
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QCOMPARE(fieldOf(card.path(), 1, u"Città"_s).toString(), u"Napoli"_s);
        QCOMPARE(fieldOf(card.path(), 1, kName).toString(), u"Rossi Mario"_s);
        QCOMPARE(card.state(), u"Browsing"_s);
    }

    void modifyingEndsWhenTheRowIsLeft()
    {
        Card card(book());
        card.click(u"Command3"_s);
        card.barMove(u"MoveNext"_s); // no change: no question, silently back to Browsing
        QVERIFY(m_dialogs->shown.isEmpty());
        QCOMPARE(card.state(), u"Browsing"_s);

        card.click(u"Command3"_s);
        card.type(u"Text2"_s, u"Bianchi Anna Maria"_s);
        m_dialogs->yesNoAnswers = {false};
        card.click(u"Command2"_s); // AGGIUNGI from Modifying asks about the changed row first
        QCOMPARE(m_dialogs->texts(), (QStringList{kQuestion, kNotice}));
        QCOMPARE(fieldOf(card.path(), 2, kName).toString(), u"Bianchi Anna"_s);
        QCOMPARE(card.state(), u"Adding"_s);
    }

    void modificaOnAnEmptyTable()
    {
        Card card({});
        card.click(u"Command3"_s);
        QCOMPARE(m_dialogs->shown.size(), 1);
        QCOMPARE(m_dialogs->shown[0].icon, Dialogs::Icon::Critical);
        QVERIFY(m_dialogs->shown[0].text.contains(u"Non c'è nessun contatto da modificare"_s));
        QCOMPARE(card.state(), u"Browsing"_s);
        QVERIFY(card.form().isVisible());
        // Adding still works on the empty table.
        card.click(u"Command2"_s);
        card.type(u"Text2"_s, u"Primo"_s);
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QCOMPARE(count(card), 1);
        QCOMPARE(card.text(u"Text2"_s), u"Primo"_s);
    }

    void saveRefusedByTheLostUpdateGuard()
    {
        Card card(book());
        card.click(u"Command3"_s);
        card.type(u"Text10"_s, u"Genova"_s);
        query(card.path(), u"UPDATE Nomelia SET Città = 'Palermo' WHERE ID = 1"_s); // the table view, say
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command6"_s);
        QCOMPARE(m_dialogs->shown.last().icon, Dialogs::Icon::Critical);
        QVERIFY(m_dialogs->shown.last().text.contains(u"modificato o eliminato"_s));
        QCOMPARE(fieldOf(card.path(), 1, u"Città"_s).toString(), u"Palermo"_s);
        QCOMPARE(card.text(u"Text10"_s), u"Genova"_s);
        QCOMPARE(card.state(), u"Modifying"_s); // SALVA and ANNULLA are there to retry or give up
        card.click(u"Command3"_s);
        QCOMPARE(card.text(u"Text10"_s), u"Palermo"_s);
    }
};

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    vinzal::setUpApplication(app);
    TestCardEditing test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_card_editing.moc"
