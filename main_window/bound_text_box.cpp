#include "bound_text_box.h"

namespace vinzal {

namespace {

constexpr QChar paragraph = QChar::ParagraphSeparator;

// Where each character of the editor's raw text begins in the stored text, with the end of the
// stored text last; empty when the editor changed the text in a way not known here.
QList<qsizetype> origins(const QString& stored, const QString& raw)
{
    QList<qsizetype> starts;
    starts.reserve(raw.size() + 1);
    qsizetype at = 0;
    for (const QChar c : raw) {
        if (at >= stored.size())
            return {};
        starts.append(at);
        const QChar s = stored.at(at);
        if (c == paragraph && s == u'\r' && at + 1 < stored.size() && stored.at(at + 1) == u'\n')
            at += 2;
        else if (c == s || (c == paragraph && (s == u'\n' || s == u'\r')))
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

void StoredText::reset(const QString& stored, const QString& raw)
{
    m_stored = stored;
    m_raw = raw;
    m_crlf = stored.contains(QStringLiteral("\r\n"));
}

void StoredText::apply(int position, int removed, int added, const QString& raw)
{
    // The document may count its final separator in a change: keep to the text both sides share.
    const qsizetype from = std::clamp<qsizetype>(position, 0, m_raw.size());
    const qsizetype gone = std::clamp<qsizetype>(removed, 0, m_raw.size() - from);
    const qsizetype come = raw.size() - (m_raw.size() - gone);
    const QList<qsizetype> starts = origins(m_stored, m_raw);
    const bool consistent = come >= 0 && come <= std::max(added, 0) + 1 && !starts.isEmpty() &&
                            QStringView(raw).first(from) == QStringView(m_raw).first(from) &&
                            QStringView(raw).sliced(from + come) == QStringView(m_raw).sliced(from + gone);
    QString typed = consistent ? raw.mid(from, come) : raw;
    typed.replace(paragraph, m_crlf ? QStringLiteral("\r\n") : QStringLiteral("\n"));
    if (consistent)
        m_stored = m_stored.left(starts.at(from)) + typed + m_stored.mid(starts.at(from + gone));
    else
        m_stored = typed; // a change not understood: the whole text as the editor has it
    m_raw = raw;
}

} // namespace vinzal
