#pragma once

#include "record_navigator.h"

#include <QWidget>

namespace vinzal {

class BoundGrid;
class WindowMenu;

// The table view: the whole contact table in an editable grid. No buttons, no search, no question on
// leaving a changed row and no category rule: a changed row is written as typed when it is left.
class Form2 : public QWidget
{
    Q_OBJECT
public:
    // `book` is the address book to open; empty means "Vinzal.mdb" in the working directory.
    explicit Form2(QWidget* parent = nullptr, const QString& book = QString());
    ~Form2() override;

    RecordNavigator& navigator() { return m_data1; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // The shared menu, on the grid and around it (the cell being edited keeps its own).
    void contextMenuEvent(QContextMenuEvent* event) override;
    // Files dropped on the window are imported, each in turn, as Importa… imports a file.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void deleteContact(); // the menu's "Elimina contatto…"
    void exportRows();    // the menu's "Esporta…": the rows selected, or the whole book
    // The rows selected in the grid, read afresh, in the grid's order; false (after saying why) when
    // one cannot be read.
    bool selectedContacts(Contacts& selected);
    // Another window added or removed contacts: the rows are read again, unless some are being typed.
    void bookChanged(const QString& book, const void* origin);

    RecordNavigator m_data1;
    BoundGrid* m_grid;
    WindowMenu* m_menu = nullptr;
    QString m_book;
    bool m_shownOnce = false;
};

} // namespace vinzal
