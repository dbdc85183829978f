#include "form2.h"

#include "bound_grid.h"
#include "contact_table.h"
#include "dialogs.h"
#include "look.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QStyle>

using namespace Qt::StringLiterals;

namespace vinzal {

Form2::Form2(QWidget* parent, const QString& book) : QWidget(parent, Qt::Window)
{
    setObjectName(u"Form2"_s);
    setAttribute(Qt::WA_DeleteOnClose); // closing unloads the window, its grid and its cursor
    setWindowTitle(u"Tabella Nomelia"_s);
    setWindowIcon(look::icon());
    const QSize client(792, 544);
    const QScreen* screen = QGuiApplication::primaryScreen();
    setGeometry(
        screen ? QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, client, screen->availableGeometry())
               : QRect(QPoint(0, 0), client));

    m_data1.setObjectName(u"Data1"_s);
    m_data1.setConnect(contacts::connectString());
    m_data1.setRecordSource(contacts::tableName());
    m_data1.setRecordsetType(RecordNavigator::RecordsetType::Dynaset);
    m_data1.setVisible(false);

    m_grid = new BoundGrid(m_data1, this);
    m_grid->setObjectName(u"DBGrid1"_s);
    m_grid->setGeometry(look::twips(240, 840, 11535, 6975)); // keeps its place and size on resize
    m_grid->setFocus();

    connect(&m_data1, &RecordNavigator::openFailed, this,
            [this](const StoreError& error) { Dialogs::instance().reportError(this, error); });
    // The load handler: the main window's book, else the file in the working directory; the
    // navigator opens once shown.
    m_data1.setDatabaseName(book.isEmpty() ? contacts::fileName() : book);
    m_data1.openWhenShown(this);
}

Form2::~Form2()
{
    // The grid goes first: its open editor still hands its text to the model, and so to the
    // navigator, as it is destroyed, and the navigator is a member that children would outlive.
    delete m_grid;
}

void Form2::closeEvent(QCloseEvent* event)
{
    // The changed row is written as the window closes; if the file refuses it, the window stays
    // open with the typed values, rather than losing them.
    if (Status written = m_grid->writeChanges(); !written) {
        StoreError shown = written.error();
        shown.message += u"\n\nPer chiudere senza salvare, premere Esc nella riga e poi chiudere."_s;
        Dialogs::instance().reportError(this, shown);
        event->ignore();
        return;
    }
    if (Status left = m_data1.unload(); !left) {
        Dialogs::instance().reportError(this, left.error());
        event->ignore();
        return;
    }
    event->accept();
}

} // namespace vinzal
