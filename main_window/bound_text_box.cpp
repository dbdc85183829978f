#include "bound_text_box.h"

namespace vinzal {

namespace {

// Whether the editor shows the stored character `c` as `shown`.
bool showsAs(QChar c, QChar shown)
{
    if (c == shown)
        return true;
    if (shown == u'\n')
        return c == u'\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
    return shown == u' ' && c == QChar::Nbsp;
}

// Where each character of `shown` begins in `stored`, with the end of `stored` last; empty when the
// editor changed the text in a way not known here.
QList<qsizetype> origins(const QString& stored, const QString& shown)
{
    QList<qsizetype> starts;
    starts.reserve(shown.size() + 1);
    qsizetype at = 0;
    for (const QChar c : shown) {
        if (at >= stored.size())
            return {};
        starts.append(at);
        if (c == u'\n' && stored.at(at) == u'\r' && at + 1 < stored.size() && stored.at(at + 1) == u'\n')
            at += 2;
        else if (showsAs(stored.at(at), c))
            at += 1;
        else
            return {};
    }
    if (at != stored.size())
        return {};
    starts.append(at);
    return starts;
}

} // namespace

QString mergeEdit(const QString& stored, const QString& shown, const QString& now, bool crlf)
{
    if (now == shown)
        return stored;
    qsizetype prefix = 0;
    const qsizetype shorter = std::min(shown.size(), now.size());
    while (prefix < shorter && shown.at(prefix) == now.at(prefix))
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < shorter - prefix && shown.at(shown.size() - 1 - suffix) == now.at(now.size() - 1 - suffix))
        ++suffix;
    QString typed = now.mid(prefix, now.size() - suffix - prefix);
    if (crlf)
        typed.replace(u'\n', QStringLiteral("\r\n"));

    const QList<qsizetype> starts = origins(stored, shown);
    if (starts.isEmpty()) {
        // Unknown conversion: the whole text as the editor has it, line breaks as the row had them.
        QString text = now;
        if (crlf)
            text.replace(u'\n', QStringLiteral("\r\n"));
        return text;
    }
    const qsizetype from = starts.at(prefix);
    const qsizetype to = starts.at(shown.size() - suffix);
    return stored.left(from) + typed + stored.mid(to);
}

} // namespace vinzal
