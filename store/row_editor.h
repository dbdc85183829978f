#pragma once

#include "row.h"

#include <QList>
#include <QString>

#include <array>
#include <optional>

namespace vinzal {

// The copy of the one row being edited, for the card and the grid alike: the row as it was read (its
// rowid and its twelve values as stored) and the text the user typed in each field. It decides what a
// write carries: only a field whose typed text differs from the text it showed (NULL shows as the
// empty text), with the value it held for the lost-update guard (updateRow, insertRow). A field left
// alone or typed back as it was is never written, so it keeps its bytes and kind: an empty text is
// not made NULL, a blob or a number is not made text.
class RowEditor
{
public:
    // Starts on `row` with nothing typed; a default Row is a new one, every field NULL.
    void load(const Row& row);
    const Row& row() const { return m_row; }

    // What the user's field at `position` (contacts::fields() order) holds now. The key is given by
    // the book and never typed.
    void type(int position, const QString& text);
    void type(const QString& field, const QString& text);
    // Forgets what was typed; the row stays.
    void discard() { m_typed.fill(std::nullopt); }

    // The typed text of a field that differs from what it showed.
    const std::optional<QString>& typed(int position) const { return m_typed.at(std::size_t(position)); }
    bool isTyped() const;
    // The fields to write: each typed text as a box or cell stores it (empty is NULL).
    QList<FieldChange> changes() const;

private:
    Row m_row;
    std::array<std::optional<QString>, fieldCount> m_typed;
};

} // namespace vinzal
