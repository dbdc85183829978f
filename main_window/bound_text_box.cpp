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

// The editor's raw text for a stored text: each line break (CR LF, CR, LF) a paragraph separator.
QString shownAs(QString stored)
{
    return stored.replace(QStringLiteral("\r\n"), paragraph)
        .replace(u'\r', paragraph)
        .replace(u'\n', paragraph);
}

} // namespace

void StoredText::reset(const QString& stored, const QString& raw)
{
    m_stored = stored;
    m_raw = raw;
    m_crlf = stored.contains(QStringLiteral("\r\n"));
    m_undoSteps = 0;
    m_done.clear();
}

bool StoredText::undo(const QString& raw, int undoSteps)
{
    QString stored = m_stored;
    qsizetype kept = m_done.size();
    for (; kept > 0 && m_done.at(kept - 1).undoSteps > undoSteps; --kept) {
        const Change& change = m_done.at(kept - 1);
        stored = stored.left(change.at) + change.replaced + stored.mid(change.at + change.length);
    }
    // Only when the editor shows just what the changes undone had replaced.
    if (kept == m_done.size() || shownAs(stored) != raw)
        return false;
    m_done.resize(kept);
    m_stored = stored;
    return true;
}

void StoredText::apply(int position, int removed, int added, const QString& raw, int undoSteps)
{
    const bool undone = undoSteps < m_undoSteps && undo(raw, undoSteps);
    m_undoSteps = undoSteps;
    if (undone) {
        m_raw = raw;
        return;
    }
    while (!m_done.isEmpty() && m_done.constLast().undoSteps > undoSteps)
        m_done.removeLast(); // undone in a way not known here
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
    const qsizetype at = consistent ? starts.at(from) : 0;
    const qsizetype end = consistent ? starts.at(from + gone) : m_stored.size();
    // A change not understood takes the whole text as the editor has it.
    m_done.append({undoSteps, at, m_stored.mid(at, end - at), typed.size()});
    m_stored = m_stored.left(at) + typed + m_stored.mid(end);
    m_raw = raw;
}

} // namespace vinzal
