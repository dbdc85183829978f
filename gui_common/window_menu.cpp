#include "window_menu.h"

#include "book_notices.h"
#include "contact_table.h"
#include "dialogs.h"
#include "engine.h"
#include "record_navigator.h"
#include "row.h"

#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QTimer>
#include <QWidget>

using namespace Qt::StringLiterals;

// The guide is a resource of a static library: the linker keeps it only when it is named.
static void initGuide()
{
    Q_INIT_RESOURCE(guide);
}

namespace vinzal {

WindowMenu::WindowMenu(QWidget* window, const QString& book, Handlers handlers)
    : QObject(window), m_window(window), m_menu(new QMenu(window)), m_handlers(std::move(handlers))
{
    m_menu->setObjectName(u"contextMenu"_s);
    add(u"actionImporta"_s, u"&Importa…"_s, QKeySequence(Qt::CTRL | Qt::Key_I), m_handlers.importFile);
    add(u"actionEsporta"_s, u"&Esporta…"_s, QKeySequence(Qt::CTRL | Qt::Key_E), m_handlers.exportFile);
    add(u"actionStampa"_s, u"&Stampa…"_s, QKeySequence(Qt::CTRL | Qt::Key_P), m_handlers.print);
    add(u"actionDuplicati"_s, u"&Trova duplicati…"_s, QKeySequence(Qt::CTRL | Qt::Key_D),
        m_handlers.findDuplicates);
    add(u"actionSincronizza"_s, u"Sin&cronizza…"_s, {}, m_handlers.synchronize);
    m_menu->addSeparator();
    // No shortcut: every key a box or the grid uses stays theirs, and a deletion is never one
    // keystroke away.
    m_delete = add(u"actionElimina"_s, u"E&limina contatto…"_s, {}, m_handlers.deleteContact);
    m_menu->addSeparator();
    add(u"actionGuida"_s, u"&Guida"_s, QKeySequence(Qt::Key_F1),
        [this] { Dialogs::instance().showDocument(m_window, u"Guida di Vinzal"_s, guide()); });
    add(u"actionInformazioni"_s, u"I&nformazioni su Vinzal"_s, {}, [this, book] {
        Dialogs::instance().inform(m_window, u"Informazioni su Vinzal"_s, aboutText(book),
                                   Dialogs::Icon::Information);
    });
}

QAction* WindowMenu::add(const QString& name, const QString& text, const QKeySequence& shortcut,
                         const std::function<void()>& handler)
{
    auto* action = new QAction(text, m_window);
    action->setObjectName(name);
    action->setShortcut(shortcut);
    action->setShortcutContext(Qt::WindowShortcut);
    action->setShortcutVisibleInContextMenu(true);
    action->setEnabled(bool(handler));
    if (handler)
        connect(action, &QAction::triggered, this, [handler] { handler(); });
    m_window->addAction(action);
    m_menu->addAction(action);
    return action;
}

void WindowMenu::exec(const QPoint& globalPosition)
{
    m_delete->setEnabled(m_handlers.deleteContact && (!m_handlers.canDelete || m_handlers.canDelete()));
    m_menu->exec(globalPosition);
}

QString WindowMenu::guide()
{
    initGuide();
    QFile file(u":/vinzal/guida.md"_s);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

bool WindowMenu::confirmDelete(QWidget* window, const Row& row)
{
    const QString name = row.text(contacts::fields().at(int(Field::Nome)));
    const QString id = row.text(contacts::idField());
    const QString question =
        (name.trimmed().isEmpty() ? u"Eliminare il contatto senza nome con ID %1?"_s.arg(id)
                                  : u"Eliminare il contatto «%1» (ID %2)?"_s.arg(name, id)) +
        u"\n\nL'eliminazione non si può annullare."_s;
    return Dialogs::instance().askYesNo(window, window->windowTitle(), question, true);
}

QString WindowMenu::aboutText(const QString& book)
{
    // A server book is shown without any password it may hold; a file by its whole path.
    const QString where = isServerBook(book) ? u"sul server «"_s + shownBook(book) + u"»"_s
                                             : u"nel file «"_s + QFileInfo(book).absoluteFilePath() + u"»"_s;
    return u"Vinzal %1\n\nRubrica di indirizzi.\n\nLicenza: GNU General Public License, versione 3 o "
           u"successiva (GPL-3.0-or-later). Il programma è distribuito senza alcuna garanzia.\n\n"
           u"La rubrica mostrata si trova %2."_s.arg(QStringLiteral(VINZAL_VERSION), where);
}

void openShownBook(QWidget* window, RecordNavigator& navigator)
{
    if (Status opened = navigator.open(); !opened)
        QTimer::singleShot(
            0, window, [window, error = opened.error()] { Dialogs::instance().reportError(window, error); });
}

BookEvents& BookEvents::instance()
{
    static BookEvents events;
    return events;
}

BookEvents::BookEvents()
{
    // Writes may be committed on a worker's thread (an import): the windows hear of them on theirs,
    // after the writer's code has returned, never from inside it.
    m_listening = notices::listen([this](const QString& book, const void* origin) {
        QMetaObject::invokeMethod(
            this, [this, book, origin] { emit changed(book, origin); }, Qt::QueuedConnection);
    });
}

BookEvents::~BookEvents()
{
    notices::stopListening(m_listening);
}

} // namespace vinzal
