#include "card_controls.h"

#include "look.h"

#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>

using namespace Qt::StringLiterals;

namespace vinzal {

CardButton::CardButton(const QString& caption, QWidget* parent) : QPushButton(parent)
{
    setText(caption);
    setAutoDefault(false);
    setDefault(false);
    setFocusPolicy(Qt::StrongFocus);
    setStyleSheet(uR"(
        QPushButton { background-color: rgb(0, 255, 255); color: black;
                      border-width: 2px; border-style: solid;
                      border-color: rgb(160, 255, 255) rgb(0, 128, 128) rgb(0, 128, 128) rgb(160, 255, 255); }
        QPushButton:pressed { border-color: rgb(0, 128, 128) rgb(160, 255, 255) rgb(160, 255, 255) rgb(0, 128, 128); }
        QPushButton:focus { border-color: rgb(0, 64, 64); }
        QPushButton:disabled { color: rgb(0, 128, 128); }
    )"_s);
}

void CardButton::paintEvent(QPaintEvent*)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear(); // the bevel alone; the caption is drawn below, wrapped when it must be
    painter.drawControl(QStyle::CE_PushButton, option);
    painter.setPen(isEnabled() ? QColor(Qt::black) : QColor(0, 128, 128));
    painter.setFont(font());
    // The substitute faces run a little wider than the originals: a caption that fits on one line
    // may use the width of the bevel too; only one that does not fit is wrapped.
    const QRect inside = rect().adjusted(1, 1, -1, -1).translated(isDown() ? QPoint(1, 1) : QPoint());
    const bool fits = fontMetrics().horizontalAdvance(text()) <= inside.width();
    painter.drawText(inside, Qt::AlignCenter | (fits ? Qt::TextSingleLine : Qt::TextWordWrap), text());
}

CardLine::CardLine(int x1, int y1, int x2, int y2, QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    const int left = look::px(std::min(x1, x2));
    const int top = look::px(std::min(y1, y2));
    setGeometry(left, top, std::max(1, look::px(std::max(x1, x2)) - left + 1),
                std::max(1, look::px(std::max(y1, y2)) - top + 1));
}

void CardLine::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), look::darkTeal);
}

} // namespace vinzal
