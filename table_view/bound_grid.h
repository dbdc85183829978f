#pragma once

#include "store_error.h"

#include <QTableView>

namespace vinzal {

class GridModel;
class RecordNavigator;

// The table view's grid over a dynaset navigator: the current cell is always open as an editor with a
// caret; arrows, Tab and Shift+Tab move inside the row without wrapping and never leave the grid;
// nothing can be added or deleted. A row with typed values is written when the current cell enters
// another row, and by writeChanges() when the window closes.
class BoundGrid : public QTableView
{
    Q_OBJECT
public:
    BoundGrid(RecordNavigator& navigator, QWidget* parent);

    GridModel* gridModel() const { return m_model; }
    // Commits the open editor and writes the row it belongs to.
    Status writeChanges();
    // A key pressed in the cell editor; true when the grid used it.
    bool editorKey(QKeyEvent* key);

    // Typing never searches: Qt's type-ahead would read every row of the table.
    void keyboardSearch(const QString&) override {}

protected:
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    bool focusNextPrevChild(bool next) override;
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void abandonRow();
    void selectorClicked(int row, Qt::KeyboardModifiers modifiers);
    void commitEditor();
    void openEditor(const QModelIndex& index);
    void refused(const StoreError& error, int row);

    RecordNavigator& m_navigator;
    GridModel* m_model;
    bool m_returning = false; // moving back to a row whose write was refused
    int m_anchor = -1;        // the row a Shift+click on the record selector extends from
};

} // namespace vinzal
