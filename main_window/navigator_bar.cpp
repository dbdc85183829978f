#include "navigator_bar.h"

#include "dialogs.h"
#include "look.h"
#include "record_navigator.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPolygon>
#include <QToolButton>

using namespace Qt::StringLiterals;

namespace vinzal {

namespace {

// A small triangle, with a bar at its tip for the moves to the ends.
QIcon arrow(bool pointsLeft, bool toEnd)
{
    QPixmap picture(12, 12);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    QPolygon triangle;
    if (pointsLeft)
        triangle << QPoint(3, 6) << QPoint(10, 1) << QPoint(10, 11);
    else
        triangle << QPoint(9, 6) << QPoint(2, 1) << QPoint(2, 11);
    painter.drawPolygon(triangle);
    if (toEnd)
        painter.drawRect(pointsLeft ? QRect(1, 1, 2, 10) : QRect(9, 1, 2, 10));
    return QIcon(picture);
}

} // namespace

NavigatorBar::NavigatorBar(RecordNavigator& navigator, const QString& caption, QWidget* parent)
    : QFrame(parent), m_navigator(navigator), m_caption(new QLabel(this))
{
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(1);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, look::fieldYellow);
    colours.setColor(QPalette::WindowText, look::darkPurple);
    setPalette(colours);
    setAutoFillBackground(true);

    m_caption->setObjectName(u"Caption"_s);
    m_caption->setFont(look::timesBold12());
    m_caption->setAlignment(Qt::AlignCenter);
    m_caption->setText(caption);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(1, 1, 1, 1);
    row->setSpacing(0);
    row->addWidget(addButton(u"MoveFirst"_s, u"Primo contatto"_s, arrow(true, true),
                             [](RecordNavigator& n) { return n.moveFirst(); }));
    row->addWidget(addButton(u"MovePrevious"_s, u"Contatto precedente"_s, arrow(true, false),
                             [](RecordNavigator& n) { return n.movePrevious(); }));
    row->addWidget(m_caption, 1);
    row->addWidget(addButton(u"MoveNext"_s, u"Contatto successivo"_s, arrow(false, false),
                             [](RecordNavigator& n) { return n.moveNext(); }));
    row->addWidget(addButton(u"MoveLast"_s, u"Ultimo contatto"_s, arrow(false, true),
                             [](RecordNavigator& n) { return n.moveLast(); }));
}

QToolButton* NavigatorBar::addButton(const QString& name, const QString& tip, const QIcon& icon, Move move)
{
    auto* button = new QToolButton(this);
    button->setObjectName(name);
    button->setToolTip(tip);
    button->setAccessibleName(tip); // the arrow alone says nothing to a screen reader
    button->setIcon(icon);
    button->setFocusPolicy(Qt::NoFocus);
    button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    button->setFixedWidth(19);
    connect(button, &QToolButton::clicked, this, [this, move] {
        if (!isEnabled())
            return;
        const Status moved = move(m_navigator);
        if (!moved)
            Dialogs::instance().reportError(window(), moved.error());
    });
    return button;
}

} // namespace vinzal
