#pragma once

#include "record_navigator.h"

#include <QWidget>

namespace vinzal {

class BoundGrid;

// The table view: the whole contact table in an editable grid. No buttons, no search, no question on
// leaving a changed row and no category rule: a changed row is written as typed when it is left.
class Form2 : public QWidget
{
    Q_OBJECT
public:
    // `book` is the address book to open; empty means "Vinzal.mdb" in the working directory.
    explicit Form2(QWidget* parent = nullptr, const QString& book = QString());
    ~Form2() override;

    RecordNavigator& navigator() { return m_data1; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    RecordNavigator m_data1;
    BoundGrid* m_grid;
};

} // namespace vinzal
