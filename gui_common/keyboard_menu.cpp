#include "keyboard_menu.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QContextMenuEvent>
#include <QShortcut>

namespace vinzal {

namespace {

void openAtFocus(QWidget* window)
{
    QWidget* target = QApplication::focusWidget();
    if (!target || target->window() != window)
        target = window;
    // Beside the current cell of a table, else in the middle of the widget.
    QPoint at = target->rect().center();
    if (auto* view = qobject_cast<QAbstractItemView*>(target); view && view->currentIndex().isValid())
        at = view->viewport()->mapTo(view, view->visualRect(view->currentIndex()).center());
    // Sent as a keyboard menu request: a widget without a menu of its own passes it to its parent,
    // as it does a right click, up to the window.
    QContextMenuEvent event(QContextMenuEvent::Keyboard, at, target->mapToGlobal(at),
                            QApplication::keyboardModifiers());
    QApplication::sendEvent(target, &event);
}

} // namespace

void openContextMenuFromKeyboard(QWidget* window)
{
    // The Menu key goes through a shortcut too: not every platform turns it into a menu request.
    for (const QKeySequence& keys : {QKeySequence(Qt::SHIFT | Qt::Key_F10), QKeySequence(Qt::Key_Menu)}) {
        auto* shortcut = new QShortcut(keys, window);
        shortcut->setContext(Qt::WindowShortcut);
        QObject::connect(shortcut, &QShortcut::activated, window, [window] { openAtFocus(window); });
    }
}

} // namespace vinzal
