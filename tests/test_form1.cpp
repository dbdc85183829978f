// The contact card: layout, start-up, exit, reload and the navigator bar.
#include "application.h"
#include "contact_table.h"
#include "form1.h"
#include "gui_support.h"
#include "look.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <QToolButton>

using namespace Qt::StringLiterals;
using namespace vinzal;
using namespace vinzal::test;

namespace {

QList<Person> threeContacts()
{
    return {{{u"Genere"_s, u"Lavoro"_s},
             {u"Cognone e nome o denominazione"_s, u"Rossi Mario"_s},
             {u"Città"_s, u"Roma"_s},
             {u"Osservazioni"_s, u"Riga uno\r\nRiga due"_s}},
            {{u"Genere"_s, u"Altro"_s}, {u"Cognone e nome o denominazione"_s, u"Bianchi Anna"_s}},
            {{u"Genere"_s, u"Famiglia-Amici"_s}, {u"Cognone e nome o denominazione"_s, u"Verdi Luca"_s}}};
}

} // namespace

class TestForm1 : public QObject
{
    Q_OBJECT

    ScriptedDialogs* m_dialogs = nullptr;

private slots:
    void init() { m_dialogs = &ScriptedDialogs::install(); }

    void controls_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRect>("twips");
        QTest::addColumn<QString>(
            "font"); // T = Times 12 bold, S = Sans 8.25 bold, s = Sans 8.25, V = Sans 9.75 bold
        // Search buttons and the other buttons.
        const struct
        {
            const char* name;
            const char16_t* caption;
            int l, t, w, h;
            const char* font;
        } buttons[] = {
            {"Command1", u"Cognome e nome o denominazione", 240, 1680, 3735, 375, "T"},
            {"Command2", u"AGGIUNGI", 3240, 6960, 1335, 375, "S"},
            {"Command3", u"MODIFICA", 1680, 6960, 1335, 375, "S"},
            {"Command4", u"Ulteriore identificativo", 240, 2280, 2415, 375, "T"},
            {"Command5", u"Genere", 5095, 720, 855, 375, "T"},
            {"Command6", u"SALVA", 4800, 6960, 1335, 375, "S"},
            {"Command7", u"ESCI", 7080, 6960, 1335, 375, "S"},
            {"Command8", u"Città", 240, 2880, 735, 375, "T"},
            {"Command9", u"Indirizzo", 3840, 2880, 975, 375, "T"},
            {"Command10", u"Telefono casa", 240, 3480, 1575, 375, "T"},
            {"Command11", u"Telefonino", 3840, 3480, 1215, 375, "T"},
            {"Command12", u"Telefono ufficio", 240, 4080, 1695, 375, "T"},
            {"Command13", u"E-Mail", 4320, 4680, 855, 375, "T"},
            {"Command14", u"Fax", 240, 4680, 615, 375, "T"},
            {"Command15", u"Osservazioni", 240, 5280, 1400, 375, "T"},
            {"Command16", u"AGGIORNA", 120, 6960, 1335, 375, "S"},
            {"Command17", u"Visualizza Tabella", 240, 5880, 1215, 615, "T"},
        };
        for (const auto& b : buttons)
            QTest::newRow(b.name) << u"QPushButton"_s << QString::fromUtf16(b.caption)
                                  << QRect(b.l, b.t, b.w, b.h) << QString::fromLatin1(b.font);
        const struct
        {
            const char* name;
            int l, t, w, h;
        } boxes[] = {
            {"Text1", 6000, 720, 1695, 375},   {"Text2", 4080, 1680, 4335, 375},
            {"Text3", 1920, 3480, 1815, 375},  {"Text4", 5160, 3480, 3255, 375},
            {"Text5", 960, 4680, 3255, 375},   {"Text6", 5280, 4680, 3135, 375},
            {"Text7", 2040, 4080, 6375, 375},  {"Text9", 2760, 2280, 5655, 375},
            {"Text10", 1080, 2880, 2655, 375}, {"Text11", 4920, 2880, 3495, 375},
        };
        for (const auto& b : boxes)
            QTest::newRow(b.name) << u"QLineEdit"_s << QString() << QRect(b.l, b.t, b.w, b.h) << u"T"_s;
        QTest::newRow("Text8") << u"QPlainTextEdit"_s << QString() << QRect(1680, 5280, 6735, 1335) << u"T"_s;
        QTest::newRow("Text12") << u"QLineEdit"_s << QString() << QRect(4500, 840, 550, 285) << u"s"_s;
        QTest::newRow("Label1") << u"QLabel"_s << u"ID"_s << QRect(4275, 840, 255, 255) << u"S"_s;
        QTest::newRow("Label2") << u"QLabel"_s << u"Inserire: Famiglia-Amici, Lavoro o Altro "_s
                                << QRect(5160, 1200, 2775, 255) << u"s"_s;
        QTest::newRow("Label12") << u"QLabel"_s
                                 << u"  Versione del programma: 1.0 - Data: 09/03/2008 - Autore: Vistrolli"_s
                                 << QRect(360, 120, 7815, 255) << u"V"_s;
        QTest::newRow("Image1") << u"QLabel"_s << QString() << QRect(360, 720, 480, 480) << QString();
        QTest::newRow("Data1") << u"vinzal::NavigatorBar"_s << QString() << QRect(960, 720, 3300, 495)
                               << QString();
    }

    void controls()
    {
        QFETCH(QString, kind);
        QFETCH(QString, text);
        QFETCH(QRect, twips);
        QFETCH(QString, font);
        Card card({});
        QWidget* control = card.widget(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(control->inherits(kind.toLatin1()));
        const QRect expected = look::twips(twips.x(), twips.y(), twips.width(), twips.height());
        QCOMPARE(control->pos(), expected.topLeft());
        QCOMPARE(control->height(), expected.height());
        // Labels may grow to the right where the substitute face is wider; nothing else may.
        if (kind == u"QLabel"_s)
            QVERIFY(control->width() >= expected.width());
        else
            QCOMPARE(control->width(), expected.width());
        if (auto* button = qobject_cast<QPushButton*>(control)) {
            QCOMPARE(button->text(), text);
            QVERIFY(!button->autoDefault() && !button->isDefault());
            QVERIFY(!text.contains(u'&'));
        }
        if (auto* label = qobject_cast<QLabel*>(control); label && !text.isEmpty()) {
            QCOMPARE(label->text(), text);
            QVERIFY(label->fontMetrics().horizontalAdvance(text) <= label->width()); // never cut
        }
        if (!font.isEmpty()) {
            const QFont f = control->font();
            const bool times = font == u"T"_s;
            QCOMPARE(f.family(), times ? u"Times New Roman"_s : u"MS Sans Serif"_s);
            QCOMPARE(f.pointSizeF(), times ? 12.0 : font == u"V"_s ? 9.75 : 8.25);
            QCOMPARE(f.bold(), font != u"s"_s);
        }
        QCOMPARE(control->isVisibleTo(&card.form()), control->objectName() != u"Command6"_s);
        QVERIFY(control->isEnabled());
    }

    void windowAndColours()
    {
        Card card({});
        Form1& form = card.form();
        QCOMPARE(form.windowTitle(), u"Nomelia elettronica"_s);
        QCOMPARE(form.size(), QSize(581, 499));
        QCOMPARE(form.geometry().topLeft(), QPoint(3, 29));
        QVERIFY(!(form.windowFlags() & Qt::WindowCloseButtonHint));
        QVERIFY(form.windowFlags() & Qt::WindowMinimizeButtonHint);
        QVERIFY(form.windowFlags() & Qt::WindowMaximizeButtonHint);
        QCOMPARE(form.palette().color(QPalette::Window), look::windowCyan);
        QVERIFY(!form.windowIcon().isNull());
        QVERIFY(form.windowIcon().availableSizes().contains(QSize(32, 32)));
        QCOMPARE(card.widget(u"Image1"_s)->property("pixmap").value<QPixmap>().size(), QSize(32, 32));
        const QColor teal = look::darkTeal, green = look::darkGreen;
        for (int n = 1; n <= 11; ++n) {
            QWidget* box = card.widget(u"Text%1"_s.arg(n));
            QCOMPARE(box->palette().color(QPalette::Base), look::fieldYellow);
            QCOMPARE(box->palette().color(QPalette::Text), n == 1 || n == 6 ? teal : green);
        }
        QCOMPARE(card.widget(u"Text12"_s)->palette().color(QPalette::Base), look::windowCyan);
        QCOMPARE(card.widget(u"Text12"_s)->palette().color(QPalette::Text), look::darkPurple);
        QCOMPARE(card.widget(u"Label2"_s)->palette().color(QPalette::WindowText), look::darkRed);
        // Fourteen lines, Line2 hidden; none crosses the hint.
        const QRect hint = card.widget(u"Label2"_s)->geometry();
        for (int n = 1; n <= 14; ++n) {
            QWidget* line = card.widget(u"Line%1"_s.arg(n));
            QCOMPARE(line->isVisibleTo(&form), n != 2);
            if (n != 2)
                QVERIFY2(!line->geometry().intersects(hint), qPrintable(line->objectName()));
        }
        // The button face is button cyan whatever the style.
        const QImage face = card.button(u"Command2"_s)->grab().toImage();
        QCOMPARE(face.pixelColor(face.width() / 2, 4), look::buttonCyan);
    }

    void initialStateAndTabOrder()
    {
        Card card(threeContacts());
        card.form().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&card.form()));
        QCOMPARE(QApplication::focusWidget(), card.widget(u"Command1"_s));
        QCOMPARE(card.state(), u"Browsing"_s);
        const QStringList expected{
            u"Text1"_s,     u"Text2"_s,     u"Text3"_s,     u"Text4"_s,     u"Text5"_s,     u"Text6"_s,
            u"Text7"_s,     u"Text8"_s,     u"Command2"_s,  u"Command3"_s,  u"Command7"_s,  u"Text9"_s,
            u"Text10"_s,    u"Text11"_s,    u"Command4"_s,  u"Command5"_s,  u"Command8"_s,  u"Command9"_s,
            u"Command10"_s, u"Command11"_s, u"Command12"_s, u"Command13"_s, u"Command14"_s, u"Command15"_s,
            u"Text12"_s,    u"Command16"_s, u"Command17"_s, u"Command1"_s};
        QStringList visited;
        for (qsizetype i = 0; i < expected.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited.append(QApplication::focusWidget()->objectName());
        }
        QCOMPARE(visited, expected); // SALVA, hidden, is passed over; labels never take the focus
    }

    void boxesBehave()
    {
        Card card(threeContacts());
        QCOMPARE(card.text(u"Text12"_s), u"1"_s);
        QCOMPARE(card.text(u"Text2"_s), u"Rossi Mario"_s);
        // The key box takes the focus and can be selected, but typing changes nothing.
        auto* key = static_cast<QLineEdit*>(card.widget(u"Text12"_s));
        QTest::keyClicks(key, u"99"_s);
        QCOMPARE(key->text(), u"1"_s);
        key->selectAll();
        QCOMPARE(key->selectedText(), u"1"_s);
        // Remarks: Enter makes a new line, the original CRLF breaks are kept when it is written back.
        auto* memo = static_cast<QPlainTextEdit*>(card.widget(u"Text8"_s));
        QCOMPARE(memo->toPlainText(), u"Riga uno\nRiga due"_s);
        QCOMPARE(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        memo->moveCursor(QTextCursor::End);
        QTest::keyClick(memo, Qt::Key_Return);
        typeText(memo, u"Riga tre"_s);
        m_dialogs->yesNoAnswers = {true};
        card.barMove(u"MoveNext"_s);
        QCOMPARE(fieldOf(card.path(), 1, u"Osservazioni"_s).toString(),
                 u"Riga uno\r\nRiga due\r\nRiga tre"_s);
        // A text longer than QLineEdit's usual limit is shown whole.
        query(card.path(), u"UPDATE Nomelia SET Fax = ? WHERE ID = 3"_s, {QString(40000, u'9')});
        card.barMove(u"MoveLast"_s);
        QCOMPARE(card.text(u"Text5"_s).size(), 40000);
    }

    void barMovesAndEnabled()
    {
        Card card(threeContacts());
        card.barMove(u"MoveNext"_s);
        QCOMPARE(card.text(u"Text2"_s), u"Bianchi Anna"_s);
        card.barMove(u"MoveLast"_s);
        QCOMPARE(card.text(u"Text2"_s), u"Verdi Luca"_s);
        card.barMove(u"MoveNext"_s); // past the end: the last stays
        QCOMPARE(card.text(u"Text12"_s), u"3"_s);
        card.barMove(u"MovePrevious"_s);
        QCOMPARE(card.text(u"Text12"_s), u"2"_s);
        card.barMove(u"MoveFirst"_s);
        QCOMPARE(card.text(u"Text12"_s), u"1"_s);
        card.form().navigator().setEnabled(false);
        QVERIFY(!card.widget(u"Data1"_s)->isEnabled());
        card.barMove(u"MoveNext"_s);
        QCOMPARE(card.text(u"Text12"_s), u"1"_s);
        card.form().navigator().setEnabled(true);
        card.barMove(u"MoveNext"_s);
        QCOMPARE(card.text(u"Text12"_s), u"2"_s);
        QVERIFY(m_dialogs->shown.isEmpty());
    }

    void typedChangeLeftByAMove()
    {
        Card card(threeContacts());
        card.type(u"Text10"_s, u"Cantù"_s);
        m_dialogs->yesNoAnswers = {true};
        card.barMove(u"MoveNext"_s);
        QCOMPARE(m_dialogs->shown.size(), 1);
        QCOMPARE(m_dialogs->shown[0].text, u"Salvare le modifiche apportate?"_s);
        QCOMPARE(m_dialogs->shown[0].title, u"Nomelia elettronica"_s);
        QCOMPARE(fieldOf(card.path(), 1, u"Città"_s).toString(), u"Cantù"_s);
        QCOMPARE(card.text(u"Text12"_s), u"2"_s);

        card.type(u"Text10"_s, u"Forlì"_s);
        m_dialogs->yesNoAnswers = {false};
        card.barMove(u"MovePrevious"_s);
        QVERIFY(fieldOf(card.path(), 2, u"Città"_s).isNull());
        QCOMPARE(card.text(u"Text10"_s), u"Cantù"_s);
    }

    void closeIsRefusedButEsciCloses()
    {
        Card card(threeContacts());
        QVERIFY(!card.form().close()); // the window manager's close request
        QVERIFY(card.form().isVisible());
        QCloseEvent event;
        QApplication::sendEvent(&card.form(), &event);
        QVERIFY(!event.isAccepted());
        QVERIFY(card.form().isVisible());

        card.type(u"Text2"_s, u"Rossi Mario Jr."_s);
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command7"_s);
        QVERIFY(!card.form().isVisible());
        QCOMPARE(m_dialogs->texts(), QStringList{u"Salvare le modifiche apportate?"_s});
        QCOMPARE(fieldOf(card.path(), 1, u"Cognone e nome o denominazione"_s).toString(),
                 u"Rossi Mario Jr."_s);
    }

    void esciStaysOpenWhenTheWriteFails()
    {
        Card card(threeContacts());
        card.type(u"Text2"_s, u"Mio"_s);
        query(card.path(),
              u"UPDATE Nomelia SET \"Cognone e nome o denominazione\" = 'Altrui' WHERE ID = 1"_s);
        m_dialogs->yesNoAnswers = {true};
        card.click(u"Command7"_s);
        QVERIFY(card.form().isVisible());
        QCOMPARE(m_dialogs->shown.last().icon, Dialogs::Icon::Critical);
        QCOMPARE(m_dialogs->shown.last().title, u"Vinzal"_s);
        QCOMPARE(card.text(u"Text2"_s), u"Mio"_s);
        QCOMPARE(fieldOf(card.path(), 1, u"Cognone e nome o denominazione"_s).toString(), u"Altrui"_s);
    }

    void aggiornaShowsRowsAddedElsewhere()
    {
        Card card(threeContacts());
        card.barMove(u"MoveLast"_s);
        query(
            card.path(),
            u"INSERT INTO Nomelia(Genere, \"Cognone e nome o denominazione\") VALUES ('Lavoro', 'Nuovo')"_s);
        card.barMove(u"MoveNext"_s);
        card.barMove(u"MoveLast"_s);
        card.click(u"Command16"_s);
        QCOMPARE(card.text(u"Text12"_s), u"1"_s); // reloaded: the first row
        card.barMove(u"MoveLast"_s);
        QCOMPARE(card.text(u"Text2"_s), u"Nuovo"_s);
        QVERIFY(m_dialogs->shown.isEmpty());
    }

    void missingFileAtStartUp()
    {
        Card card({}, false);
        QCOMPARE(m_dialogs->shown.size(), 1);
        QCOMPARE(m_dialogs->shown[0].icon, Dialogs::Icon::Critical);
        QVERIFY(m_dialogs->shown[0].text.contains(u"Vinzal.mdb"_s));
        QVERIFY(m_dialogs->shown[0].text.contains(u"non esiste"_s));
        QVERIFY(card.form().isVisible());
        QVERIFY(!QFile::exists(card.path()));
        // The window stays usable: every button reports rather than ending the program.
        card.click(u"Command16"_s);
        card.click(u"Command3"_s);
        QCOMPARE(m_dialogs->shown.size(), 3);
        QVERIFY(card.form().isVisible());
        QVERIFY(!QFile::exists(card.path()));
        // Once the file is there, AGGIORNA opens it.
        makeAddressBook(card.path(), threeContacts());
        card.click(u"Command16"_s);
        QCOMPARE(card.text(u"Text2"_s), u"Rossi Mario"_s);
    }

    void realMessageBoxLooksRight()
    {
        Dialogs::install(nullptr); // the real QMessageBox, in Italian
        Card card(threeContacts());
        card.type(u"Text10"_s, u"Bari"_s);
        QString text, title, yes, no;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            text = box->text();
            title = box->windowTitle();
            icon = box->icon();
            yes = box->button(QMessageBox::Yes)->text();
            no = box->button(QMessageBox::No)->text();
            box->button(QMessageBox::No)->click();
        });
        card.barMove(u"MoveNext"_s);
        QCOMPARE(text, u"Salvare le modifiche apportate?"_s);
        QCOMPARE(title, u"Nomelia elettronica"_s);
        QCOMPARE(icon, QMessageBox::Question);
        QCOMPARE(yes.remove(u'&'), u"Sì"_s);
        QCOMPARE(no.remove(u'&'), u"No"_s);
        QVERIFY(fieldOf(card.path(), 1, u"Città"_s).toString() == u"Roma"_s);
    }

    void pictures()
    {
        Card card(threeContacts());
        const QString folder = QCoreApplication::applicationDirPath();
        QVERIFY(card.form().grab().save(folder + u"/Form1.png"_s));
        const QRect before = card.widget(u"Text8"_s)->geometry();
        card.form().showMaximized();
        QTRY_VERIFY(card.form().isMaximized());
        QTRY_VERIFY(card.form().width() > 581);
        QCOMPARE(card.widget(u"Text8"_s)->geometry(), before); // nothing moves or grows
        const QImage maximized = card.form().grab().toImage();
        QVERIFY(maximized.save(folder + u"/Form1-maximized.png"_s));
        QCOMPARE(maximized.pixelColor(maximized.width() - 5, maximized.height() - 5), look::windowCyan);
        card.form().showNormal();
        QTRY_COMPARE(card.form().size(), QSize(581, 499));
    }
};

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    vinzal::setUpApplication(app);
    TestForm1 test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_form1.moc"
