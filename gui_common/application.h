#pragma once

class QApplication;

namespace vinzal {

// What the program sets up before its first window: its name (the title of message boxes that have
// none), the Italian locale, Qt's own Italian texts ("Sì", "No", "Annulla", the context menus) and
// the icon. Tests call it too, so that they see the program as a user does.
void setUpApplication(QApplication& app);

} // namespace vinzal
