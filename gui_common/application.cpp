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
    const QLocale italian(QLocale::Italian, QLocale::Italy);
    QLocale::setDefault(italian);
    auto* translator = new QTranslator(&app);
    if (translator->load(italian, u"qtbase"_s, u"_"_s, QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(translator);
    QApplication::setWindowIcon(look::icon());
}

} // namespace vinzal
