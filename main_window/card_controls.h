#pragma once

#include <QPushButton>
#include <QWidget>

namespace vinzal {

// A command button of the card: its face flat-painted in button cyan whatever the style, no access
// keys, never a default button, and its caption wrapped onto more lines when it does not fit.
class CardButton : public QPushButton
{
    Q_OBJECT
public:
    CardButton(const QString& caption, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// One of the ruled lines of the card, from (x1, y1) to (x2, y2) in twips; horizontal or vertical.
class CardLine : public QWidget
{
    Q_OBJECT
public:
    CardLine(int x1, int y1, int x2, int y2, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace vinzal
