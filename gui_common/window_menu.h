#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QAction;
class QMenu;
class QPoint;
class QWidget;

namespace vinzal {

class RecordNavigator;

struct Row;

// The menu both windows share, reached without changing their layout: a right click on the
// window's background (and on the card's bar, and on the grid) opens it, and its shortcuts work
// anywhere in the window, except where a box uses the same key. Each entry shows its shortcut.
class WindowMenu : public QObject
{
    Q_OBJECT
public:
    // What the window does for the entries that depend on it; an entry without one is disabled.
    struct Handlers
    {
        std::function<void()> importFile, exportFile, print, findDuplicates, synchronize, deleteContact;
        // Whether "Elimina contatto…" applies now (a contact shown, nothing being typed).
        std::function<bool()> canDelete;
    };

    // The entries go into `window`'s actions, so that their shortcuts work in the window; `book` is
    // the one the window shows (for "Informazioni su Vinzal").
    WindowMenu(QWidget* window, const QString& book, Handlers handlers);

    QMenu* menu() const { return m_menu; }
    // Opens the menu at `globalPosition` and returns once it is closed.
    void exec(const QPoint& globalPosition);

    // The short user guide (Markdown), as installed with the program.
    static QString guide();
    // The text of "Informazioni su Vinzal" for `book`: version, licence, where the book lives.
    static QString aboutText(const QString& book);
    // "Elimina contatto…"'s question, naming the contact shown (default No): true to delete.
    static bool confirmDelete(QWidget* window, const Row& row);

private:
    QAction* add(const QString& name, const QString& text, const QKeySequence& shortcut,
                 const std::function<void()>& handler);

    QWidget* m_window;
    QMenu* m_menu;
    QAction* m_delete = nullptr;
    Handlers m_handlers;
};

// Opens the book of a window being shown for the first time: before its first paint, which then
// shows the rows (no empty window painted first). A failure is reported once the show has
// completed, over a visible window.
void openShownBook(QWidget* window, RecordNavigator& navigator);

// Tells every window that a book's contacts were written through this program, so that each window
// on it reads it again (when it is not in the middle of an edit). The store tells it, once the write
// is committed, whichever window, dialog or thread made it (book_notices.h).
class BookEvents : public QObject
{
    Q_OBJECT
public:
    static BookEvents& instance();
    ~BookEvents() override;

signals:
    // `book` as Connection::path() names it (notices::sameBook() compares it); `origin` the
    // Connection that wrote, whose window has already shown the change.
    void changed(const QString& book, const void* origin);

private:
    BookEvents();
    int m_listening = 0;
};

} // namespace vinzal
