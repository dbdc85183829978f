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

} // namespace vinzal
