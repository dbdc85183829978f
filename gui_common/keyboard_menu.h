#pragma once

class QWidget;

namespace vinzal {

// Shift+F10 and the Menu key open, anywhere in `window`, the context menu that a right click on the
// widget with the keyboard would open: the window's own menu, or a box's where the box has one.
void openContextMenuFromKeyboard(QWidget* window);

} // namespace vinzal
