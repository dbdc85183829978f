#include "bound_grid.h"

#include "contact_table.h"
#include "dialogs.h"
#include "grid_model.h"
#include "look.h"
#include "record_navigator.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTimer>

#include <limits>

using namespace Qt::StringLiterals;

namespace vinzal {

namespace {

// Column widths in pixels, in the order of contacts::fields().
constexpr int columnWidths[] = {70, 124, 202, 166, 124, 124, 124, 124, 124, 124, 124, 124};

// Cell editors: no length limit, the caret at the end, and every keystroke handed to the model at
// once, so that the row counts as changed from the first character typed.
class CellDelegate : public QStyledItemDelegate
{
public:
    explicit CellDelegate(BoundGrid* grid) : QStyledItemDelegate(grid), m_grid(grid) {}

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override
    {
        auto* editor = qobject_cast<QLineEdit*>(QStyledItemDelegate::createEditor(parent, option, index));
        if (!editor)
            return nullptr;
        editor->setMaxLength(std::numeric_limits<int>::max());
        editor->setFrame(false);
        connect(editor, &QLineEdit::textEdited, this,
                [this, editor] { emit const_cast<CellDelegate*>(this)->commitData(editor); });
        return editor;
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override
    {
        auto* line = static_cast<QLineEdit*>(editor);
        const QString text = index.data(Qt::EditRole).toString();
        if (line->text() != text)
            line->setText(text);
        line->deselect();
    }

protected:
    // The delegate sees the editor's keys before anyone else: the grid decides what they do.
    bool eventFilter(QObject* editor, QEvent* event) override
    {
        if (event->type() == QEvent::ShortcutOverride &&
            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
            event->accept(); // Escape is a key of the editor, not a shortcut
            return true;
        }
        if (event->type() == QEvent::KeyPress && m_grid->editorKey(static_cast<QKeyEvent*>(event)))
            return true;
        return QStyledItemDelegate::eventFilter(editor, event);
    }

private:
    BoundGrid* m_grid;
};

} // namespace

BoundGrid::BoundGrid(RecordNavigator& navigator, QWidget* parent)
    : QTableView(parent), m_navigator(navigator), m_model(new GridModel(navigator, this))
{
    setModel(m_model);
    setItemDelegate(new CellDelegate(this));
    setFont(look::times12());
    horizontalHeader()->setFont(look::times12());
    verticalHeader()->setFont(look::times12());
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setEditTriggers(QAbstractItemView::AllEditTriggers);
    setTabKeyNavigation(true);
    setWordWrap(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    // Cells in the menu background and window text colours of the desktop; dark grey row dividers.
    QPalette colours = palette();
    colours.setColor(QPalette::Base, QApplication::palette("QMenu").color(QPalette::Window));
    colours.setColor(QPalette::Text, QApplication::palette().color(QPalette::WindowText));
    setPalette(colours);
    setStyleSheet(u"QTableView { gridline-color: rgb(128, 128, 128); }"_s);

    for (int column = 0; column < m_model->columnCount(); ++column)
        setColumnWidth(column, columnWidths[column]);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The record selector: a narrow column that marks the current row. Its row borders can be
    // dragged, and the new height then holds for every row (until the window closes).
    QHeaderView* selector = verticalHeader();
    selector->setFixedWidth(18);
    selector->setDefaultAlignment(Qt::AlignCenter);
    selector->setHighlightSections(false);
    selector->setSectionResizeMode(QHeaderView::Interactive);
    selector->setMinimumSectionSize(4);
    selector->setDefaultSectionSize(QFontMetrics(look::times12()).height() + 4);
    connect(selector, &QHeaderView::sectionResized, this, [selector](int, int, int size) {
        if (size != selector->defaultSectionSize())
            selector->setDefaultSectionSize(size);
    });

    // A press on a row's selector is taken here, before the header sees it (a press on a row's
    // border still goes to the header, which resizes). The header would wait for the release of a
    // press it has seen, ignoring every press until then; but a refused write shows a modal message
    // while the button is down, which takes that release: the user's next click would do nothing.
    selector->viewport()->installEventFilter(this);

    connect(&navigator, &RecordNavigator::opened, this, [this] {
        if (m_model->rowCount() > 0)
            setCurrentIndex(m_model->index(0, 0));
    });
    connect(
        m_model, &GridModel::listFailed, this,
        [this](const StoreError& error) { Dialogs::instance().reportError(window(), error); },
        Qt::QueuedConnection);
}

QModelIndex BoundGrid::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers)
{
    const QModelIndex current = currentIndex();
    const int last = m_model->columnCount() - 1;
    // No wrapping at the ends of a row.
    if (current.isValid() && (action == MoveNext || action == MoveRight) && current.column() == last)
        return current;
    if (current.isValid() && (action == MovePrevious || action == MoveLeft) && current.column() == 0)
        return current;
    // Past the rows known so far, the move waits for the rest of the list.
    if (m_model->canFetchMore({}) &&
        ((action == MoveEnd && (modifiers & Qt::ControlModifier)) || action == MovePageDown ||
         (action == MoveDown && current.row() + 1 >= m_model->rowCount())))
        m_model->fetchMore({});
    return QTableView::moveCursor(action, modifiers);
}

bool BoundGrid::focusNextPrevChild(bool)
{
    return false; // Tab never moves the focus out of the grid
}

bool BoundGrid::editorKey(QKeyEvent* key)
{
    // In the floating editor the arrows move the current cell, as in the grid itself; Escape gives up
    // the typed values of the row.
    CursorAction action;
    switch (key->key()) {
    case Qt::Key_Left:
        action = MoveLeft;
        break;
    case Qt::Key_Right:
        action = MoveRight;
        break;
    case Qt::Key_Up:
        action = MoveUp;
        break;
    case Qt::Key_Down:
        action = MoveDown;
        break;
    case Qt::Key_Tab:
        action = MoveNext;
        break;
    case Qt::Key_Backtab:
        action = MovePrevious;
        break;
    case Qt::Key_Escape:
        abandonRow();
        return true;
    default:
        return false;
    }
    commitEditor();
    const QModelIndex next = moveCursor(action, key->modifiers());
    if (next.isValid() && next != currentIndex())
        setCurrentIndex(next);
    return true;
}

void BoundGrid::abandonRow()
{
    m_model->abandonDirtyRow();
    if (QWidget* editor = indexWidget(currentIndex()))
        itemDelegateForIndex(currentIndex())->setEditorData(editor, currentIndex());
}

void BoundGrid::keyPressEvent(QKeyEvent* event)
{
    // The grid itself has the keys only on a cell without an editor (the key column).
    if (event->key() == Qt::Key_Escape) {
        abandonRow();
        return;
    }
    QTableView::keyPressEvent(event);
}

bool BoundGrid::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event)
{
    // A key that reached the grid while its cell's editor was open (the focus came back to the grid
    // with the window's activation, say) belongs to that editor: Qt would only focus the editor and
    // drop the key.
    QWidget* editor = indexWidget(index);
    if (editor && trigger == AnyKeyPressed && event && event->type() == QEvent::KeyPress) {
        editor->setFocus();
        QCoreApplication::sendEvent(editor, event);
        return true;
    }
    return QTableView::edit(index, trigger, event);
}

void BoundGrid::focusInEvent(QFocusEvent* event)
{
    QTableView::focusInEvent(event);
    // The current cell's editor holds the caret: the keys go there.
    if (QWidget* editor = indexWidget(currentIndex()))
        editor->setFocus();
}

bool BoundGrid::eventFilter(QObject* watched, QEvent* event)
{
    QHeaderView* selector = verticalHeader();
    if (watched != selector->viewport() ||
        (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonDblClick))
        return QTableView::eventFilter(watched, event);
    const auto* mouse = static_cast<QMouseEvent*>(event);
    const int y = mouse->position().toPoint().y();
    const int row = selector->logicalIndexAt(y);
    if (mouse->button() != Qt::LeftButton || row < 0)
        return QTableView::eventFilter(watched, event);
    // Within the grip margin of a border the header resizes the row, as it always did.
    const int grip = selector->style()->pixelMetric(QStyle::PM_HeaderGripMargin, nullptr, selector);
    const int top = selector->sectionViewportPosition(row);
    if ((row > 0 && y < top + grip) || y >= top + selector->sectionSize(row) - grip)
        return QTableView::eventFilter(watched, event);
    selectorClicked(row, mouse->modifiers());
    return true;
}

void BoundGrid::selectorClicked(int row, Qt::KeyboardModifiers modifiers)
{
    // The record selector makes its row current (leaving the row before as any move does) and
    // selects it; with Ctrl the row is added to (or taken from) the rows selected, with Shift the
    // rows from the last one clicked are, as file managers do. The cells keep selecting one at a
    // time: the selected rows are for "Esporta…".
    const QItemSelection before = selectionModel()->selection();
    const int column = currentIndex().isValid() ? currentIndex().column() : 0;
    setCurrentIndex(m_model->index(row, column));
    if (currentIndex().row() != row)
        return;
    const bool shift = modifiers & Qt::ShiftModifier, control = modifiers & Qt::ControlModifier;
    const int from = shift && m_anchor >= 0 && m_anchor < m_model->rowCount() ? m_anchor : row;
    const QItemSelection rows(m_model->index(std::min(from, row), 0),
                              m_model->index(std::max(from, row), m_model->columnCount() - 1));
    if (shift || control)
        selectionModel()->select(before, QItemSelectionModel::ClearAndSelect);
    selectionModel()->select(rows, !shift && control ? QItemSelectionModel::Toggle
                                   : shift           ? QItemSelectionModel::Select
                                                     : QItemSelectionModel::ClearAndSelect);
    if (!shift)
        m_anchor = row;
}

void BoundGrid::commitEditor()
{
    if (QWidget* editor = indexWidget(currentIndex()))
        commitData(editor);
}

void BoundGrid::openEditor(const QModelIndex& index)
{
    if (!index.isValid() || !(index.flags() & Qt::ItemIsEditable))
        return;
    openPersistentEditor(index);
    if (QWidget* editor = indexWidget(index)) {
        itemDelegateForIndex(index)->setEditorData(editor, index);
        if (hasFocus() || isActiveWindow())
            editor->setFocus();
        if (auto* line = qobject_cast<QLineEdit*>(editor))
            line->end(false);
    }
}

void BoundGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous)
{
    if (previous.isValid()) {
        if (QWidget* editor = indexWidget(previous)) {
            commitData(editor);
            // The editor is about to go: the keys stay with the grid rather than with nobody.
            if (editor->hasFocus())
                setFocus();
        }
        closePersistentEditor(previous);
    }
    QTableView::currentChanged(current, previous);
    if (!current.isValid())
        return;
    const int dirty = m_model->dirtyRow();
    if (dirty >= 0 && dirty != current.row() && !m_returning) {
        // The current cell entered another row: the row left is written first.
        if (Status written = m_model->writeDirtyRow(); !written) {
            refused(written.error(), dirty);
            return;
        }
    }
    if (m_model->currentRow() != current.row())
        if (Status moved = m_navigator.moveToPosition(current.row()); !moved)
            Dialogs::instance().reportError(window(), moved.error());
    openEditor(current);
}

void BoundGrid::refused(const StoreError& error, int row)
{
    StoreError shown = error;
    // The table view has no command to read the file again: say what works here.
    if (error.kind == StoreError::Kind::Conflict)
        shown.message =
            u"Il contatto è stato modificato o eliminato da un'altra finestra o da un altro "
            u"programma dopo che è stato mostrato qui. Le modifiche di questa riga non sono state "
            u"salvate, per non sovrascrivere quelle altrui, e i valori digitati sono ancora nelle "
            u"celle."_s;
    shown.message += u"\n\nPer rinunciare alle modifiche di questa riga e vederla com'è ora nella rubrica, "
                     u"premere Esc."_s;
    Dialogs::instance().reportError(window(), shown);
    // Back to the refused row, whose typed values are still in its cells.
    const int column = currentIndex().column();
    QTimer::singleShot(0, this, [this, row, column] {
        m_returning = true;
        setCurrentIndex(m_model->index(row, column));
        m_returning = false;
    });
}

Status BoundGrid::writeChanges()
{
    commitEditor();
    return m_model->writeDirtyRow();
}

} // namespace vinzal
