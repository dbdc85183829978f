#pragma once

#include "bound_field.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextDocument>

#include <limits>
#include <type_traits>

namespace vinzal {

// The stored form of a multi-line box's text, kept in step with each edit of the editor.
// QTextDocument turns CR and CR LF into paragraph separators, and its plain text turns U+2028 and
// no-break spaces into line feeds and spaces; only the span of each edit is replaced here, so the
// text around what the user typed keeps its bytes as stored. New line breaks are CR LF when the row
// used CR LF. The editor's undo gives back only its own form of the text, so what each change
// replaced is kept as stored until the editor's undo steps go below it: an undo brings the bytes
// back with the text.
class StoredText
{
public:
    // `raw` is the editor's raw text (QTextDocument::toRawText) right after showing `stored`.
    void reset(const QString& stored, const QString& raw);
    // The editor replaced `removed` characters at `position` by `added`; `raw` is its text now and
    // `undoSteps` the undo steps it has now (QTextDocument::availableUndoSteps).
    void apply(int position, int removed, int added, const QString& raw, int undoSteps);
    const QString& value() const { return m_stored; }

private:
    // What the change that left the editor with `undoSteps` steps replaced: `replaced` was stored
    // at `at`, where `length` characters stand now.
    struct Change
    {
        int undoSteps;
        qsizetype at;
        QString replaced;
        qsizetype length;
    };
    bool undo(const QString& raw, int undoSteps);

    QString m_stored;
    QString m_raw;
    bool m_crlf = false;
    int m_undoSteps = 0;
    QList<Change> m_done;
};

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
        if constexpr (!std::is_same_v<Editor, QLineEdit>)
            QObject::connect(this->document(), &QTextDocument::contentsChange, this,
                             [this](int position, int removed, int added) {
                                 if (!m_loading)
                                     m_value.apply(position, removed, added, this->document()->toRawText(),
                                                   this->document()->availableUndoSteps());
                             });
    }

    QString dataField() const override { return m_field; }

    QString boundText() const override
    {
        if constexpr (std::is_same_v<Editor, QLineEdit>) {
            return this->text();
        } else {
            return m_value.value();
        }
    }

    void showValue(const QString& text) override
    {
        if constexpr (std::is_same_v<Editor, QLineEdit>) {
            this->setText(text);
            // A loaded value shows its beginning, as any box does, not its end.
            this->setCursorPosition(0);
        } else {
            m_loading = true;
            this->setPlainText(text);
            m_loading = false;
            m_value.reset(text, this->document()->toRawText());
        }
        m_changed = false;
    }

    bool dataChanged() const override { return m_changed; }
    void setDataChanged(bool changed) override { m_changed = changed; }

private:
    QString m_field;
    bool m_changed = false;
    StoredText m_value; // remarks only
    bool m_loading = false;
};

// A single-line box, and the multi-line one of the remarks.
using BoundTextBox = BoundEditor<QLineEdit>;
using BoundMemoBox = BoundEditor<QPlainTextEdit>;

} // namespace vinzal
