#pragma once

#include "bound_field.h"
#include "row.h"

#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>

namespace vinzal::test {

// A contact for a test: field name to value; missing fields are NULL.
using Contact = QList<std::pair<QString, QVariant>>;

// Makes an address book at `path` (as vinzal-db create does) holding `contacts` in order.
void makeAddressBook(const QString& path, const QList<Contact>& contacts);

// Runs SQL on the file directly, as another program would; returns the first column of each row.
QVariantList sql(const QString& path, const QString& statement, const QVariantList& bindings = {});

// One field of a row, read straight from the file.
QVariant fieldOf(const QString& path, qint64 id, const QString& field);

// A bound field without a widget.
class FakeField : public BoundField
{
public:
    explicit FakeField(QString field) : m_field(std::move(field)) {}
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

} // namespace vinzal::test
