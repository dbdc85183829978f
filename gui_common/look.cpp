#include "look.h"

using namespace Qt::StringLiterals;

// Q_INIT_RESOURCE must be used outside any namespace.
static void initResources()
{
    Q_INIT_RESOURCE(vinzal);
}

namespace vinzal::look {

namespace {

QFont font(const QString& family, qreal points, bool bold)
{
    static const bool substituted = [] {
        QFont::insertSubstitutions(u"Times New Roman"_s,
                                   {u"Liberation Serif"_s, u"Tinos"_s, u"DejaVu Serif"_s});
        QFont::insertSubstitutions(u"MS Sans Serif"_s, {u"Liberation Sans"_s, u"Arimo"_s, u"DejaVu Sans"_s});
        return true;
    }();
    Q_UNUSED(substituted);
    QFont result(family);
    result.setPointSizeF(points);
    result.setWeight(bold ? QFont::Bold : QFont::Normal);
    result.setStyleHint(family.startsWith(u"Times"_s) ? QFont::Serif : QFont::SansSerif);
    return result;
}

} // namespace

QFont timesBold12()
{
    return font(u"Times New Roman"_s, 12, true);
}
QFont times12()
{
    return font(u"Times New Roman"_s, 12, false);
}
QFont sansBold825()
{
    return font(u"MS Sans Serif"_s, 8.25, true);
}
QFont sansBold975()
{
    return font(u"MS Sans Serif"_s, 9.75, true);
}
QFont sans825()
{
    return font(u"MS Sans Serif"_s, 8.25, false);
}

QIcon icon()
{
    static const QIcon loaded = [] {
        initResources();
        return QIcon(u":/vinzal.ico"_s);
    }();
    return loaded;
}

} // namespace vinzal::look
