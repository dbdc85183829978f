#pragma once

#include <QString>

namespace vinzal {

// What a navigator needs of a control bound to one field: the main window's text boxes implement it.
class BoundField
{
public:
    virtual ~BoundField() = default;

    // The field of the contact table this control shows ("DataField").
    virtual QString dataField() const = 0;
    // The text shown, as typed.
    virtual QString boundText() const = 0;
    // Shows a value read from the row; the control then counts as unchanged.
    virtual void showValue(const QString& text) = 0;
    // Set by any change of the text after a row was shown, by the user or by a handler.
    virtual bool dataChanged() const = 0;
    virtual void setDataChanged(bool changed) = 0;
};

// A bound field without a widget: what tests, the benchmark and headless writers bind.
class TextField final : public BoundField
{
public:
    explicit TextField(QString field) : m_field(std::move(field)) {}
    QString dataField() const override { return m_field; }
    QString boundText() const override { return m_text; }
    void showValue(const QString& text) override
    {
        m_text = text;
        m_changed = false;
    }
    bool dataChanged() const override { return m_changed; }
    void setDataChanged(bool changed) override { m_changed = changed; }
    // What typing does: the text changes and the field counts as changed.
    void type(const QString& text)
    {
        m_text = text;
        m_changed = true;
    }

private:
    QString m_field;
    QString m_text;
    bool m_changed = false;
};

} // namespace vinzal
