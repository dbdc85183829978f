#include "form2.h"

#include "book_notices.h"
#include "book_sync.h"
#include "book_transfer.h"
#include "bound_grid.h"
#include "contact_table.h"
#include "dialogs.h"
#include "duplicates_window.h"
#include "grid_model.h"
#include "keyboard_menu.h"
#include "look.h"
#include "window_menu.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QStyle>

using namespace Qt::StringLiterals;

namespace vinzal {

Form2::Form2(QWidget* parent, const QString& book)
    : QWidget(parent, Qt::Window), m_book(book.isEmpty() ? contacts::fileName() : book)
{
    setObjectName(u"Form2"_s);
    setAcceptDrops(true);               // files dropped on the table view are imported
    setAttribute(Qt::WA_DeleteOnClose); // closing unloads the window, its grid and its cursor
    setWindowTitle(u"Tabella Nomelia"_s);
    setWindowIcon(look::icon());
    const QSize client(792, 544);
    const QScreen* screen = QGuiApplication::primaryScreen();
    setGeometry(
        screen ? QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, client, screen->availableGeometry())
               : QRect(QPoint(0, 0), client));

    m_data1.setObjectName(u"Data1"_s);
    m_data1.setConnect(contacts::connectString());
    m_data1.setRecordSource(contacts::tableName());
    m_data1.setRecordsetType(RecordNavigator::RecordsetType::Dynaset);

    m_grid = new BoundGrid(m_data1, this);
    m_grid->setObjectName(u"DBGrid1"_s);
    m_grid->setAccessibleName(u"Contatti della rubrica"_s);  // the window's only control
    m_grid->setGeometry(look::twips(240, 840, 11535, 6975)); // keeps its place and size on resize
    m_grid->setFocus();

    // The load handler: the main window's book, else the file in the working directory, opened once
    // the window is first shown.
    m_data1.setDatabaseName(m_book);

    WindowMenu::Handlers handlers;
    handlers.exportFile = [this] { exportRows(); };
    handlers.print = [this] {
        Contacts selected;
        if (!selectedContacts(selected))
            return;
        const std::optional<Row>& row = m_data1.currentRow();
        printContacts(this, m_book, row ? &row->fields : nullptr, QString(), &selected);
    };
    handlers.importFile = [this] { importContacts(this, m_book); };
    handlers.findDuplicates = [this] { showDuplicatesWindow(this, &m_data1); };
    handlers.synchronize = [this] { synchronizeBook(this, m_book); };
    handlers.deleteContact = [this] { deleteContact(); };
    handlers.canDelete = [this] { return m_data1.hasCurrentRow(); };
    m_menu = new WindowMenu(this, m_book, std::move(handlers));
    openContextMenuFromKeyboard(this);
    connect(&BookEvents::instance(), &BookEvents::changed, this, &Form2::bookChanged);
}

void Form2::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!std::exchange(m_shownOnce, true))
        openShownBook(this, m_data1);
}

void Form2::contextMenuEvent(QContextMenuEvent* event)
{
    m_menu->exec(event->globalPos());
}

void Form2::dragEnterEvent(QDragEnterEvent* event)
{
    acceptFileDrop(*event);
}

void Form2::dragMoveEvent(QDragMoveEvent* event)
{
    acceptFileDrop(*event);
}

void Form2::dropEvent(QDropEvent* event)
{
    importDropped(this, m_book, *event);
}

bool Form2::selectedContacts(Contacts& selected)
{
    QList<int> rows;
    if (m_grid->selectionModel())
        for (const QModelIndex& index : m_grid->selectionModel()->selectedRows())
            rows.append(index.row());
    if (!m_data1.dynaset())
        return true;
    std::sort(rows.begin(), rows.end());
    // Read afresh, as they are in the book now.
    for (int row : std::as_const(rows)) {
        auto read = readRow(*m_data1.connection(), m_data1.dynaset()->rowidAt(row));
        if (!read) {
            Dialogs::instance().reportError(this, read.error());
            return false;
        }
        selected.append(read.value().fields);
    }
    return true;
}

void Form2::exportRows()
{
    Contacts selected;
    if (!selectedContacts(selected))
        return;
    if (!selected.isEmpty()) {
        // No exports the whole book; Esc (Annulla) nothing.
        const auto answer = Dialogs::instance().askYesNoCancel(
            this, windowTitle(),
            (selected.size() == 1
                 ? u"È selezionata una riga. Esportare solo quella?"_s
                 : u"Sono selezionate %1 righe. Esportare solo quelle?"_s.arg(selected.size())) +
                u"\n\nRispondendo No si esporta tutta la rubrica."_s);
        if (answer == Dialogs::Answer::Cancel)
            return;
        if (answer == Dialogs::Answer::Yes) {
            exportContacts(this, m_book, &selected);
            return;
        }
    }
    exportContacts(this, m_book);
}

void Form2::deleteContact()
{
    // The row being typed into is written first, as any move from it would.
    if (Status written = m_grid->writeChanges(); !written) {
        Dialogs::instance().reportError(this, written.error());
        return;
    }
    if (!m_data1.hasCurrentRow())
        return;
    if (!WindowMenu::confirmDelete(this, *m_data1.currentRow()))
        return;
    const int column = std::max(m_grid->currentIndex().column(), 0);
    if (Status removed = m_data1.deleteCurrent(); !removed) {
        Dialogs::instance().reportError(this, removed.error());
        return;
    }
    if (m_data1.currentPosition() >= 0)
        m_grid->setCurrentIndex(m_grid->gridModel()->index(int(m_data1.currentPosition()), column));
}

void Form2::bookChanged(const QString& book, const void* origin)
{
    if (!m_data1.isOpen() || origin == m_data1.connection() ||
        !notices::sameBook(book, m_data1.connection()->path()) || m_grid->gridModel()->dirtyRow() >= 0)
        return;
    const qsizetype position = m_data1.currentPosition();
    const int column = std::max(m_grid->currentIndex().column(), 0);
    if (Status read = m_data1.refresh(); !read) {
        Dialogs::instance().reportError(this, read.error());
        return;
    }
    if (position > 0 && position < m_grid->gridModel()->rowCount())
        m_grid->setCurrentIndex(m_grid->gridModel()->index(int(position), column));
}

Form2::~Form2()
{
    // The grid goes first: its open editor still hands its text to the model, and so to the
    // navigator, as it is destroyed, and the navigator is a member that children would outlive.
    delete m_grid;
}

void Form2::closeEvent(QCloseEvent* event)
{
    // The changed row is written as the window closes; if the file refuses it, the window stays
    // open with the typed values, rather than losing them.
    if (Status written = m_grid->writeChanges(); !written) {
        StoreError shown = written.error();
        shown.message += u"\n\nPer chiudere senza salvare, premere Esc nella riga e poi chiudere."_s;
        Dialogs::instance().reportError(this, shown);
        event->ignore();
        return;
    }
    if (Status left = m_data1.unload(); !left) {
        Dialogs::instance().reportError(this, left.error());
        event->ignore();
        return;
    }
    event->accept();
}

} // namespace vinzal
