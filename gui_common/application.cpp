#include "application.h"

#include "look.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

using namespace Qt::StringLiterals;

namespace vinzal {

void setUpApplication(QApplication& app)
{
    // The name, not an explicit display name: the display name falls back to it, and an explicit
    // one would be appended by Qt to every window title ("Nomelia elettronica — Vinzal").
    QApplication::setApplicationName(u"Vinzal"_s);
    QApplication::setOrganizationName(u"Vinzal"_s);
    // The menu entry's name (it.vinzal.Vinzal.desktop): on Wayland it is the window's app id, by
    // which the desktop links the window to the entry's name and icon. On X11 the window's class is
    // the application name, which the entry names as its StartupWMClass.
    QGuiApplication::setDesktopFileName(u"it.vinzal.Vinzal"_s);
    const QLocale italian(QLocale::Italian, QLocale::Italy);
    QLocale::setDefault(italian);
    auto* translator = new QTranslator(&app);
    if (translator->load(italian, u"qtbase"_s, u"_"_s, QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(translator);
    QApplication::setWindowIcon(look::icon());
}

} // namespace vinzal
