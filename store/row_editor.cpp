#include "row_editor.h"

#include "contact_table.h"

#include <algorithm>

namespace vinzal {

void RowEditor::load(const Row& row)
{
    m_row = row;
    discard();
}

void RowEditor::type(int position, const QString& text)
{
    if (position < 0 || position >= fieldCount || position == int(Field::Id))
        return;
    // Compared with the text the field showed rather than with its value: text typed back as it was
    // leaves the value as stored, which no typed text could give back (a blob, a number, an empty
    // text that the box would store as NULL).
    std::optional<QString>& typed = m_typed.at(std::size_t(position));
    if (text == m_row.text(position))
        typed.reset();
    else
        typed = text;
}

void RowEditor::type(const QString& field, const QString& text)
{
    type(contacts::fieldPosition(field), text);
}

bool RowEditor::isTyped() const
{
    return std::any_of(m_typed.begin(), m_typed.end(), [](const auto& typed) { return typed.has_value(); });
}

QList<FieldChange> RowEditor::changes() const
{
    QList<FieldChange> changes;
    for (int position = 0; position < fieldCount; ++position)
        if (const std::optional<QString>& text = typed(position))
            changes.append(
                {contacts::fields().at(position), Value::storedValue(*text), m_row.fields.at(position)});
    return changes;
}

} // namespace vinzal
