#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QRect>

// The program's colours, fonts and measures, in one place.
namespace vinzal::look {

// Layouts are given in twips: 1440 to the inch, 15 to a pixel at 96 dots per inch. Qt scales
// logical pixels on high-density screens by itself.
constexpr int px(int twips)
{
    return (twips * 2 + 15) / 30;
}
inline QRect twips(int left, int top, int width, int height)
{
    return QRect(px(left), px(top), px(width), px(height));
}

inline const QColor windowCyan{192, 255, 255};
inline const QColor buttonCyan{0, 255, 255};
inline const QColor fieldYellow{255, 255, 192};
inline const QColor darkGreen{0, 64, 0};
inline const QColor darkTeal{0, 64, 64};
inline const QColor darkPurple{64, 0, 64};
inline const QColor darkRed{128, 0, 0};

// Times New Roman and MS Sans Serif are asked for by name; where they are missing, metric-compatible
// faces take their place (installed once, before the first font is made).
QFont timesBold12();
QFont times12();
QFont sansBold825();
QFont sansBold975();
QFont sans825();

// The program's icon, from the embedded .ico.
QIcon icon();

} // namespace vinzal::look
