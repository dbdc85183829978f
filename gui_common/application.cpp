#include "application.h"

#include "look.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstring>

using namespace Qt::StringLiterals;

namespace vinzal {

namespace {

// The texts of Qt's file and print dialogs that Qt's own Italian translation leaves in English
// (qtbase_it of Qt 6.4). Looked up by Qt's context and source text; the disambiguation is ignored,
// as no source text here has two meanings. Only what Qt passes through translate(): the options a
// printer's driver describes come in the driver's own words.
class MissingQtItalian : public QTranslator
{
public:
    using QTranslator::QTranslator;

    QString translate(const char* context, const char* source, const char* = nullptr, int = -1) const override
    {
        struct Text
        {
            const char* context;
            const char* source;
            const char* italian;
        };
        static constexpr Text texts[] = {
            // The file dialog's "Tipo" column and its places.
            {"QAbstractFileIconProvider", "Folder", "Cartella"},
            {"QAbstractFileIconProvider", "Drive", "Unità"},
            {"QAbstractFileIconProvider", "Shortcut", "Collegamento"},
            {"QAbstractFileIconProvider", "File", "File"},
            {"QAbstractFileIconProvider", "Unknown", "Sconosciuto"},
            // The print dialog's options.
            {"QPrintSettingsOutput", "Pages", "Pagine"},
            {"QPrintSettingsOutput",
             "Specify pages or ranges separated by commas. Ranges are specified by two numbers "
             "separated by a hyphen. E.g: 3,5-7,9 prints pages 3, 5, 6, 7 and 9.",
             "Indica le pagine o gli intervalli separati da virgole. Un intervallo è dato da due numeri "
             "separati da un trattino. Ad esempio, 3,5-7,9 stampa le pagine 3, 5, 6, 7 e 9."},
            {"QPrintSettingsOutput", "Double Sided Printing", "Stampa fronte/retro"},
            {"QPrintSettingsOutput", "Off", "No"},
            {"QPrintSettingsOutput", "Long side binding", "Rilegatura sul lato lungo"},
            {"QPrintSettingsOutput", "Short side binding", "Rilegatura sul lato corto"},
            {"QPrintDialog", "Invalid Pages Definition", "Pagine indicate non valide"},
            {"QPrintDialog",
             "%1 does not follow the correct syntax. Please use ',' to separate ranges and pages, "
             "'-' to define ranges and make sure ranges do not intersect with each other.",
             "%1 non è scritto correttamente. Separa pagine e intervalli con «,», indica un "
             "intervallo con «-» e fai in modo che gli intervalli non si sovrappongano."},
            {"QPrintDialog", "Duplex Settings Conflicts", "Impostazioni fronte/retro in conflitto"},
            {"QPrintDialog", "There are conflicts in duplex settings. Do you want to fix them?",
             "Le impostazioni fronte/retro sono in conflitto. Vuoi correggerle?"},
            // The printer's properties.
            {"QPrintPropertiesWidget", "Advanced", "Avanzate"},
            {"QPrintPropertiesWidget", "There are conflicts in some options. Please fix them.",
             "Alcune opzioni sono in conflitto: correggile."},
            {"QPrintPropertiesDialog", "Advanced Option Conflicts", "Opzioni avanzate in conflitto"},
            {"QPrintPropertiesDialog",
             "There are conflicts in some advanced options. Do you want to fix them?",
             "Alcune opzioni avanzate sono in conflitto. Vuoi correggerle?"},
            {"QPrintPropertiesDialog", "Page Setup Conflicts", "Impostazioni della pagina in conflitto"},
            {"QPrintPropertiesDialog", "There are conflicts in page setup options. Do you want to fix them?",
             "Alcune impostazioni della pagina sono in conflitto. Vuoi correggerle?"},
        };
        if (!context || !source)
            return {};
        for (const Text& text : texts)
            if (std::strcmp(text.context, context) == 0 && std::strcmp(text.source, source) == 0)
                return QString::fromUtf8(text.italian);
        return {}; // the next translator's, or Qt's English
    }
    bool isEmpty() const override { return false; }
};

} // namespace

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
    QApplication::installTranslator(new MissingQtItalian(&app));
    QApplication::setWindowIcon(look::icon());
}

} // namespace vinzal
