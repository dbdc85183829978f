#pragma once

#include "bound_field.h"

#include <QLineEdit>
#include <QPlainTextEdit>

#include <limits>
#include <type_traits>

namespace vinzal {

// The value to store after an edit of a multi-line box. `stored` is the field as read, `shown` what
// the editor gave back for it before any typing (QPlainTextEdit turns CR, CR LF, U+2028 and U+2029
// into line feeds and a no-break space into a space), `now` what it gives back after the edit. Only
// the span the user changed is replaced; the text around it keeps its bytes as stored. New line
// breaks are CR LF when `crlf`.
QString mergeEdit(const QString& stored, const QString& shown, const QString& now, bool crlf);

// A text editor bound to one field of its window's navigator. Showing a row clears DataChanged; any
// change of the text afterwards, typed or set by a handler, sets it.
template <typename Editor> class BoundEditor : public Editor, public BoundField
{
public:
    BoundEditor(const QString& dataField, QWidget* parent) : Editor(parent), m_field(dataField)
    {
        if constexpr (std::is_same_v<Editor, QLineEdit>) {
            // A box has no length limit of its own; QLineEdit would cut at 32767 characters.
            this->setMaxLength(std::numeric_limits<int>::max());
        } else {
            // Tab leaves the box; Enter starts a new line.
            this->setTabChangesFocus(true);
            this->setLineWrapMode(QPlainTextEdit::WidgetWidth);
            this->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            this->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        }
        QObject::connect(this, &Editor::textChanged, this, [this] { m_changed = true; });
    }

    QString dataField() const override { return m_field; }

    QString boundText() const override
    {
        if constexpr (std::is_same_v<Editor, QLineEdit>) {
            return this->text();
        } else {
            return mergeEdit(m_stored, m_shown, this->toPlainText(), m_crlf);
        }
    }

    void showValue(const QString& text) override
    {
        if constexpr (std::is_same_v<Editor, QLineEdit>) {
            this->setText(text);
            // A loaded value shows its beginning, as any box does, not its end.
            this->setCursorPosition(0);
        } else {
            // Remarks keep the line breaks of the row they came from (CRLF from older address books).
            m_crlf = text.contains(QStringLiteral("\r\n"));
            this->setPlainText(text);
            m_stored = text;
            m_shown = this->toPlainText();
        }
        m_changed = false;
    }

    bool dataChanged() const override { return m_changed; }
    void setDataChanged(bool changed) override { m_changed = changed; }

private:
    QString m_field;
    bool m_changed = false;
    bool m_crlf = false;
    QString m_stored; // remarks only: the value as read, and as the editor gave it back
    QString m_shown;
};

// A single-line box, and the multi-line one of the remarks.
using BoundTextBox = BoundEditor<QLineEdit>;
using BoundMemoBox = BoundEditor<QPlainTextEdit>;

} // namespace vinzal
