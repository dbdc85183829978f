#pragma once

#include "bound_text_box.h"
#include "record_navigator.h"

#include <QList>
#include <QPointer>
#include <QWidget>

class QLabel;
class QPushButton;

namespace vinzal {

class Form2;
class NavigatorBar;
class WindowMenu;

// The contact card: one row of the contact table in twelve bound boxes, a navigator bar, eleven
// search buttons, add / modify / save, reload, the table view and exit. Its state (Browsing, Adding,
// Modifying) lives in its controls: the caption of Command3, whether SALVA shows, what is enabled.
class Form1 : public QWidget
{
    Q_OBJECT
public:
    // `book` is the address book to open; empty means "Vinzal.mdb" in the working directory.
    explicit Form1(QWidget* parent = nullptr, const QString& book = QString());
    ~Form1() override;

    RecordNavigator& navigator() { return m_data1; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // The shared menu, on the background, the bar and the buttons (the boxes keep their own).
    void contextMenuEvent(QContextMenuEvent* event) override;
    // Files dropped on the window are imported, each in turn, as Importa… imports a file.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void load();

    // Handlers, one per event.
    void search(const QString& indexName);
    void addContact();     // Command2 "AGGIUNGI"
    void modifyOrCancel(); // Command3 "MODIFICA" / "ANNULLA"
    void save();           // Command6 "SALVA"
    void exit();           // Command7 "ESCI"
    void reload();         // Command16 "AGGIORNA"
    void showTable();      // Command17 "Visualizza Tabella"
    void data1Validate(RecordNavigator::Action action, bool save);
    void deleteContact(); // the menu's "Elimina contatto…"
    void bookChanged(const QString& book, const void* origin);

    // What the card is doing, as its buttons show it. Not the navigator's edit mode: typing in a box
    // while browsing begins an edit there, yet the card stays in Browsing until MODIFICA.
    enum class Mode { Browsing, Adding, Modifying };
    // The mode the navigator's pending row calls for, after a write that failed kept it pending.
    Mode pendingMode() const;

    // Shows a failed store operation in the error dialog; true when it succeeded.
    bool succeeded(const Status& status);
    // Enters `mode` and shows it, in one place: SALVA, MODIFICA or ANNULLA, the buttons that adding
    // locks, and the window's accessible description, which is what a screen reader is told.
    void setMode(Mode mode);
    // The contact shown, as the bar's accessible description.
    void showPosition();

    RecordNavigator m_data1;
    NavigatorBar* m_bar = nullptr;
    QList<BoundField*> m_boxes; // Text1 to Text12, by number
    BoundTextBox* m_text1 = nullptr;
    QPushButton* m_command3 = nullptr;
    QPushButton* m_command6 = nullptr;
    Mode m_mode = Mode::Browsing;
    QList<QPushButton*> m_lockList; // the fifteen buttons that adding disables, in order
    QPointer<Form2> m_form2;
    WindowMenu* m_menu = nullptr;
    bool m_exiting = false; // set only while "ESCI" closes the window
    bool m_shownOnce = false;
    QString m_book;         // the table view opens the same book
};

} // namespace vinzal
