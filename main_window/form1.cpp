#include "form1.h"

#include "book_notices.h"
#include "book_sync.h"
#include "book_transfer.h"
#include "bound_text_box.h"
#include "card_controls.h"
#include "contact_table.h"
#include "dialogs.h"
#include "duplicates_window.h"
#include "form2.h"
#include "keyboard_menu.h"
#include "look.h"
#include "navigator_bar.h"
#include "window_menu.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QLabel>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace vinzal {

namespace {

const QString kModifica = u"MODIFICA"_s;
const QString kAnnulla = u"ANNULLA"_s;

const QString kNewRecordNotice =
    u"Nella casella [Genere] del novo record verrà inserito automaticamente [Altro] l'utente potrà "
    u"modificare il contenuto di detta casella inserendo [Famiglia-Amici] o [Lavoro]."_s;
const QString kCategoryWarning =
    u"ATTENZIONE: nella casella [genere] deve essere inserito obbligatoriamente Famiglia-Amici, Lavoro o "
    u"Altro, può darsi che la casella è stata lasciata vuota, che è stata inserita un'altra dicitura o che "
    u"vi "
    u"sono degli errori di battitura, sarà inserito automaticamente [Altro], successivamente modificabile "
    u"dall'utente."_s;

enum class FontKind { TimesBold12, SansBold825, SansBold975, Sans825 };

QFont fontOf(FontKind kind)
{
    switch (kind) {
    case FontKind::TimesBold12:
        return look::timesBold12();
    case FontKind::SansBold825:
        return look::sansBold825();
    case FontKind::SansBold975:
        return look::sansBold975();
    case FontKind::Sans825:
        break;
    }
    return look::sans825();
}

struct ButtonItem
{
    const char16_t* name;
    const char16_t* caption;
    int left, top, width, height;
    FontKind font;
    const char16_t* index; // the index a search button seeks on, or nullptr
};

const ButtonItem buttons[] = {
    {u"Command1", u"Cognome e nome o denominazione", 240, 1680, 3735, 375, FontKind::TimesBold12,
     u"Cognone e nome o denominazione"},
    {u"Command2", u"AGGIUNGI", 3240, 6960, 1335, 375, FontKind::SansBold825, nullptr},
    {u"Command3", u"MODIFICA", 1680, 6960, 1335, 375, FontKind::SansBold825, nullptr},
    {u"Command6", u"SALVA", 4800, 6960, 1335, 375, FontKind::SansBold825, nullptr},
    {u"Command7", u"ESCI", 7080, 6960, 1335, 375, FontKind::SansBold825, nullptr},
    {u"Command4", u"Ulteriore identificativo", 240, 2280, 2415, 375, FontKind::TimesBold12,
     u"ulteriore identificativo"},
    {u"Command5", u"Genere", 5095, 720, 855, 375, FontKind::TimesBold12, u"Genere"},
    {u"Command8", u"Città", 240, 2880, 735, 375, FontKind::TimesBold12, u"Città"},
    {u"Command9", u"Indirizzo", 3840, 2880, 975, 375, FontKind::TimesBold12, u"Indirizzo"},
    {u"Command10", u"Telefono casa", 240, 3480, 1575, 375, FontKind::TimesBold12, u"Telelefono casa"},
    {u"Command11", u"Telefonino", 3840, 3480, 1215, 375, FontKind::TimesBold12, u"Telefonino"},
    {u"Command12", u"Telefono ufficio", 240, 4080, 1695, 375, FontKind::TimesBold12, u"Telefono Ufficio"},
    {u"Command13", u"E-Mail", 4320, 4680, 855, 375, FontKind::TimesBold12, u"E-Mail"},
    {u"Command14", u"Fax", 240, 4680, 615, 375, FontKind::TimesBold12, u"Fax"},
    {u"Command15", u"Osservazioni", 240, 5280, 1400, 375, FontKind::TimesBold12, u"Osservazioni"},
    {u"Command16", u"AGGIORNA", 120, 6960, 1335, 375, FontKind::SansBold825, nullptr},
    {u"Command17", u"Visualizza Tabella", 240, 5880, 1215, 615, FontKind::TimesBold12, nullptr},
};

struct BoxItem
{
    int number;
    const char16_t* field;
    int left, top, width, height;
};

const BoxItem boxes[] = {
    {1, u"Genere", 6000, 720, 1695, 375},
    {2, u"Cognone e nome o denominazione", 4080, 1680, 4335, 375},
    {3, u"Telelefono casa", 1920, 3480, 1815, 375},
    {4, u"Telefonino", 5160, 3480, 3255, 375},
    {5, u"Fax", 960, 4680, 3255, 375},
    {6, u"E-Mail", 5280, 4680, 3135, 375},
    {7, u"Telefono Ufficio", 2040, 4080, 6375, 375},
    {8, u"Osservazioni", 1680, 5280, 6735, 1335},
    {9, u"ulteriore identificativo", 2760, 2280, 5655, 375},
    {10, u"Città", 1080, 2880, 2655, 375},
    {11, u"Indirizzo", 4920, 2880, 3495, 375},
    {12, u"ID", 4500, 840, 550, 285},
};

struct LabelItem
{
    const char16_t* name;
    const char16_t* text;
    int left, top, width, height;
    FontKind font;
    QColor colour;
};

struct LineItem
{
    int number, x1, y1, x2, y2;
};

const LineItem lines[] = {
    {1, 120, 480, 8520, 480},     {10, 120, 480, 120, 5760},   {11, 8520, 480, 8520, 6720},
    {2, 120, 1320, 7920, 1320},   {12, 120, 1560, 8520, 1560}, {3, 120, 2160, 8520, 2160},
    {4, 120, 2760, 8520, 2760},   {5, 120, 3360, 8520, 3360},  {6, 120, 3960, 8520, 3960},
    {7, 120, 4560, 8520, 4560},   {8, 120, 5160, 8520, 5160},  {13, 120, 5760, 1560, 5760},
    {14, 1560, 5760, 1560, 6720}, {9, 1560, 6720, 8520, 6720},
};

// The focus order of the card; labels hold a place but never take the focus.
const char16_t* const tabOrder[] = {
    u"Command1", u"Label2",    u"Text1",     u"Text2",     u"Text3",     u"Text4",     u"Text5",
    u"Text6",    u"Text7",     u"Text8",     u"Command2",  u"Command3",  u"Command6",  u"Command7",
    u"Text9",    u"Label12",   u"Text10",    u"Text11",    u"Command4",  u"Command5",  u"Command8",
    u"Command9", u"Command10", u"Command11", u"Command12", u"Command13", u"Command14", u"Command15",
    u"Label1",   u"Text12",    u"Command16", u"Command17",
};

// The buttons that adding disables and saving enables again, in this order.
const char16_t* const lockList[] = {u"Command7",  u"Command2",  u"Command3",  u"Command5",  u"Command1",
                                    u"Command4",  u"Command8",  u"Command9",  u"Command10", u"Command11",
                                    u"Command12", u"Command13", u"Command14", u"Command15", u"Command16"};

constexpr QSize clientSize(581, 499); // 8715 x 7485 twips

// The name a screen reader gives a box: the caption of the button that searches its field, else the
// field's own name (the key, "ID").
QString boxName(const QString& field)
{
    for (const ButtonItem& item : buttons)
        if (item.index && field == QString::fromUtf16(item.index))
            return QString::fromUtf16(item.caption);
    return field;
}

} // namespace

Form1::Form1(QWidget* parent, const QString& book)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint),
      m_book(book.isEmpty() ? contacts::fileName() : book)
{
    setObjectName(u"Form1"_s);
    setAcceptDrops(true); // files dropped on the card are imported
    setWindowTitle(u"Nomelia elettronica"_s);
    setWindowIcon(look::icon());
    setFont(look::sans825());
    QPalette colours = palette();
    colours.setColor(QPalette::Window, look::windowCyan);
    setPalette(colours);
    setAutoFillBackground(true);
    // The client area's corner at 3, 29 pixels on the screen; fixed size, but it can be maximized.
    setGeometry(QRect(QPoint(look::px(45), look::px(435)), clientSize));
    setMinimumSize(clientSize);

    m_data1.setConnect(contacts::connectString());
    m_data1.setRecordSource(contacts::tableName());
    m_data1.setRecordsetType(RecordNavigator::RecordsetType::Table);
    buildControls();
    connect(&m_data1, &RecordNavigator::validate, this, &Form1::data1Validate);
    connect(&BookEvents::instance(), &BookEvents::changed, this, &Form1::bookChanged);
    WindowMenu::Handlers handlers;
    handlers.exportFile = [this] { exportContacts(this, m_book); };
    handlers.print = [this] {
        const std::optional<Row>& row = m_data1.currentRow();
        printContacts(this, m_book, row ? &row->fields : nullptr,
                      m_data1.tableCursor() ? m_data1.tableCursor()->index() : QString());
    };
    handlers.importFile = [this] { importContacts(this, m_book); };
    handlers.findDuplicates = [this] { showDuplicatesWindow(this, &m_data1); };
    handlers.synchronize = [this] { synchronizeBook(this, m_book); };
    handlers.deleteContact = [this] { deleteContact(); };
    handlers.canDelete = [this] {
        return m_data1.hasCurrentRow() && m_data1.editMode() == RecordNavigator::EditMode::None &&
               m_mode == Mode::Browsing;
    };
    m_menu = new WindowMenu(this, m_book, std::move(handlers));
    openContextMenuFromKeyboard(this);
    load();
}

void Form1::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // The book opens once the window is first shown, after the load handler, as a data control does.
    if (!std::exchange(m_shownOnce, true))
        openShownBook(this, m_data1);
}

Form1::~Form1()
{
    delete m_form2;
}

void Form1::load()
{
    // Unless named on the command line, the file is looked up in the working directory, wherever the
    // program itself lies.
    m_data1.setDatabaseName(m_book);
}

void Form1::buildControls()
{
    for (const ButtonItem& item : buttons) {
        auto* button = new CardButton(QString::fromUtf16(item.caption), this);
        button->setObjectName(QString::fromUtf16(item.name));
        button->setGeometry(look::twips(item.left, item.top, item.width, item.height));
        button->setFont(fontOf(item.font));
        if (item.index) {
            const QString index = QString::fromUtf16(item.index);
            connect(button, &QPushButton::clicked, this, [this, index] { search(index); });
        }
    }
    const auto button = [this](const char16_t* name) {
        return findChild<QPushButton*>(QString::fromUtf16(name));
    };
    connect(button(u"Command2"), &QPushButton::clicked, this, &Form1::addContact);
    connect(button(u"Command3"), &QPushButton::clicked, this, &Form1::modifyOrCancel);
    connect(button(u"Command6"), &QPushButton::clicked, this, &Form1::save);
    connect(button(u"Command7"), &QPushButton::clicked, this, &Form1::exit);
    connect(button(u"Command16"), &QPushButton::clicked, this, &Form1::reload);
    connect(button(u"Command17"), &QPushButton::clicked, this, &Form1::showTable);
    m_command3 = button(u"Command3");
    m_command6 = button(u"Command6");
    for (const char16_t* name : lockList)
        m_lockList.append(button(name));

    for (const BoxItem& item : boxes) {
        const QString field = QString::fromUtf16(item.field);
        QWidget* widget;
        BoundField* bound;
        if (item.number == 8) {
            auto* memo = new BoundMemoBox(field, this);
            widget = memo;
            bound = memo;
        } else {
            auto* box = new BoundTextBox(field, this);
            if (item.number == 1)
                m_text1 = box;
            else if (item.number == 12)
                box->setReadOnly(true); // the key: focusable and selectable, not editable
            widget = box;
            bound = box;
        }
        m_boxes.append(bound);
        // Files dropped on a box are the card's to import; text dropped there stays the box's.
        if (auto* memo = qobject_cast<QPlainTextEdit*>(widget))
            memo->viewport()->installEventFilter(this);
        else
            widget->installEventFilter(this);
        widget->setObjectName(u"Text%1"_s.arg(item.number));
        // A screen reader names a box after the caption of the button that searches its field.
        widget->setAccessibleName(boxName(field));
        widget->setGeometry(look::twips(item.left, item.top, item.width, item.height));
        QPalette colours = widget->palette();
        const bool key = item.number == 12;
        const bool teal = item.number == 1 || item.number == 6;
        colours.setColor(QPalette::Base, key ? look::windowCyan : look::fieldYellow);
        colours.setColor(QPalette::Text, key ? look::darkPurple : teal ? look::darkTeal : look::darkGreen);
        widget->setPalette(colours);
        widget->setFont(key ? look::sans825() : look::timesBold12());
        m_data1.bind(bound);
    }
    m_text1->setText(contacts::defaultCategory());

    const LabelItem labels[] = {
        {u"Label2", u"Inserire: Famiglia-Amici, Lavoro o Altro ", 5160, 1200, 2775, 255, FontKind::Sans825,
         look::darkRed},
        {u"Label12", u"  Versione del programma: 1.0 - Data: 09/03/2008 - Autore: Vistrolli", 360, 120, 7815,
         255, FontKind::SansBold975, look::darkPurple},
        {u"Label1", u"ID", 4275, 840, 255, 255, FontKind::SansBold825, look::darkPurple},
    };
    for (const LabelItem& item : labels) {
        auto* label = new QLabel(QString::fromUtf16(item.text), this);
        label->setObjectName(QString::fromUtf16(item.name));
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setFont(fontOf(item.font));
        // Never cut the text: where the substitute face is wider than the original, the label grows
        // to the right (into the empty frame) rather than lose the end of the hint.
        QRect area = look::twips(item.left, item.top, item.width, item.height);
        area.setWidth(std::max(area.width(), label->fontMetrics().horizontalAdvance(label->text()) + 1));
        label->setGeometry(area);
        QPalette colours = label->palette();
        colours.setColor(QPalette::WindowText, item.colour);
        label->setPalette(colours);
    }

    for (const LineItem& item : lines) {
        auto* line = new CardLine(item.x1, item.y1, item.x2, item.y2, this);
        line->setObjectName(u"Line%1"_s.arg(item.number));
        line->lower();
        line->setVisible(item.number != 2); // Line2 is never drawn
    }

    auto* image = new QLabel(this);
    image->setObjectName(u"Image1"_s);
    image->setGeometry(look::twips(360, 720, 480, 480));
    image->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    image->setPixmap(look::icon().pixmap(QSize(32, 32)));

    m_bar = new NavigatorBar(m_data1, u"Nomelia elettronica"_s, this);
    m_bar->setObjectName(u"Data1"_s);
    m_bar->setGeometry(look::twips(960, 720, 3300, 495));
    m_bar->setAccessibleName(u"Scorrimento dei contatti"_s);
    // Where the card stands, for a screen reader: the bar says which contact each move reached.
    connect(&m_data1, &RecordNavigator::currentChanged, this, &Form1::showPosition);
    showPosition();
    setMode(Mode::Browsing);

    QWidget* previous = nullptr;
    for (const char16_t* name : tabOrder) {
        QWidget* widget = findChild<QWidget*>(QString::fromUtf16(name));
        if (widget->focusPolicy() == Qt::NoFocus)
            continue;
        if (previous)
            setTabOrder(previous, widget);
        previous = widget;
    }
    button(u"Command1")->setFocus();
}

void Form1::closeEvent(QCloseEvent* event)
{
    // The window manager's close (title bar, Alt+F4, a close message) is refused: only "ESCI" closes,
    // and only once the row has been left and any change written.
    if (!m_exiting) {
        event->ignore();
        return;
    }
    if (!succeeded(m_data1.unload())) {
        event->ignore();
        return;
    }
    event->accept();
}

void Form1::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // Fixed size: a drag of the border springs back; maximizing only adds window cyan around the card.
    if (!(windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen | Qt::WindowMinimized)) &&
        size() != clientSize)
        QTimer::singleShot(0, this, [this] {
            if (!(windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen | Qt::WindowMinimized)))
                resize(clientSize);
        });
}

void Form1::contextMenuEvent(QContextMenuEvent* event)
{
    m_menu->exec(event->globalPos());
}

void Form1::bookChanged(const QString& book, const void* origin)
{
    // Another window or dialog of this program wrote to the book (an import, a merge, the grid): the
    // card shows it at once, unless it holds something typed, which only the user may write or drop.
    if (!m_data1.isOpen() || origin == m_data1.connection() ||
        !notices::sameBook(book, m_data1.connection()->path()) ||
        m_data1.editMode() != RecordNavigator::EditMode::None)
        return;
    for (const BoundField* box : std::as_const(m_boxes))
        if (box->dataChanged())
            return;
    succeeded(m_data1.refresh());
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
        auto* drag = static_cast<QDragMoveEvent*>(event);
        if (!droppedFiles(*drag).isEmpty())
            return acceptFileDrop(*drag);
    } else if (event->type() == QEvent::Drop) {
        auto* drop = static_cast<QDropEvent*>(event);
        if (!droppedFiles(*drop).isEmpty()) {
            dropEvent(drop);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::dragEnterEvent(QDragEnterEvent* event)
{
    acceptFileDrop(*event);
}

void Form1::dragMoveEvent(QDragMoveEvent* event)
{
    acceptFileDrop(*event);
}

void Form1::dropEvent(QDropEvent* event)
{
    importDropped(this, m_book, *event);
}

void Form1::deleteContact()
{
    if (!m_data1.hasCurrentRow())
        return;
    if (!WindowMenu::confirmDelete(this, *m_data1.currentRow()))
        return;
    succeeded(m_data1.deleteCurrent());
}

bool Form1::succeeded(const Status& status)
{
    if (status)
        return true;
    Dialogs::instance().reportError(this, status.error());
    return false;
}

void Form1::search(const QString& indexName)
{
    const QString answer = Dialogs::instance().askText(this, u"Ricerca nella nomelia elettronica"_s,
                                                       u"Immettere il nome da ricercare:"_s);
    if (answer.isEmpty())
        return;
    if (!succeeded(m_data1.setIndex(indexName)) || !succeeded(m_data1.seek(u">="_s, answer)))
        return;
    if (!m_data1.noMatch())
        return;
    if (!succeeded(m_data1.moveFirst()) || !succeeded(m_data1.refresh()))
        return;
    Dialogs::instance().inform(this, windowTitle(), u"Nome non trovato."_s, Dialogs::Icon::Information);
}

void Form1::addContact()
{
    if (!succeeded(m_data1.addNew()))
        return;
    Dialogs::instance().inform(this, QString(), kNewRecordNotice, Dialogs::Icon::None);
    if (!contacts::isCategory(m_text1->text()))
        m_text1->setText(contacts::defaultCategory());
    setMode(Mode::Adding);
}

void Form1::modifyOrCancel()
{
    if (m_mode == Mode::Browsing) {
        if (succeeded(m_data1.edit()))
            setMode(Mode::Modifying);
    } else if (succeeded(m_data1.cancelUpdate())) {
        setMode(Mode::Browsing);
    }
}

void Form1::save()
{
    if (!contacts::isCategory(m_text1->text()))
        Dialogs::instance().inform(this, QString(), kCategoryWarning, Dialogs::Icon::None);
    if (!contacts::isCategory(m_text1->text()))
        m_text1->setText(contacts::defaultCategory());
    // Validate has put the card back to Browsing; a failed write keeps the row pending with the typed
    // values: SALVA (and ANNULLA) come back so that the user can retry or give up.
    setMode(succeeded(m_data1.update()) ? Mode::Browsing : pendingMode());
}

Form1::Mode Form1::pendingMode() const
{
    switch (m_data1.editMode()) {
    case RecordNavigator::EditMode::Adding:
        return Mode::Adding;
    case RecordNavigator::EditMode::Editing:
        return Mode::Modifying;
    case RecordNavigator::EditMode::None:
        break;
    }
    return Mode::Browsing;
}

void Form1::setMode(Mode mode)
{
    m_mode = mode;
    m_command6->setVisible(mode != Mode::Browsing);
    m_command3->setText(mode == Mode::Modifying ? kAnnulla : kModifica);
    m_bar->setEnabled(mode != Mode::Adding);
    for (QPushButton* button : std::as_const(m_lockList))
        button->setEnabled(mode != Mode::Adding);
    static const QString told[] = {u"Consultazione"_s, u"Aggiunta di un contatto"_s,
                                   u"Modifica del contatto"_s};
    if (accessibleDescription() != told[int(mode)])
        setAccessibleDescription(told[int(mode)]);
}

void Form1::showPosition()
{
    QString position = u"Nessun contatto"_s;
    if (m_data1.editMode() == RecordNavigator::EditMode::Adding)
        position = u"Nuovo contatto"_s;
    else if (const std::optional<Row>& row = m_data1.currentRow())
        position = u"Contatto con ID %1"_s.arg(row->text(contacts::idField()));
    m_bar->setAccessibleDescription(position);
}

void Form1::exit()
{
    m_exiting = true;
    close();
    m_exiting = false;
}

void Form1::reload()
{
    succeeded(m_data1.refresh());
}

void Form1::showTable()
{
    if (!m_form2)
        m_form2 = new Form2(nullptr, m_book);
    m_form2->show();
    m_form2->raise();
    m_form2->activateWindow();
}

void Form1::data1Validate(RecordNavigator::Action, bool save)
{
    if (save && !Dialogs::instance().askYesNo(this, windowTitle(), u"Salvare le modifiche apportate?"_s)) {
        for (BoundField* box : m_boxes.first(11)) // Text1 to Text11; Text12 is left alone
            box->setDataChanged(false);
    }
    setMode(Mode::Browsing);
}

} // namespace vinzal
