#pragma once

#include "store_error.h"

#include <QFrame>
#include <QIcon>

class QLabel;
class QToolButton;

namespace vinzal {

class RecordNavigator;

// The navigator's bar: move to first, previous, next and last around its caption. Each move goes
// through the navigator (and so through Validate); a failure is shown in a message box.
class NavigatorBar : public QFrame
{
    Q_OBJECT
public:
    NavigatorBar(RecordNavigator& navigator, const QString& caption, QWidget* parent);

private:
    using Move = Status (*)(RecordNavigator&);
    QToolButton* addButton(const QString& name, const QString& tip, const QIcon& icon, Move move);

    RecordNavigator& m_navigator;
    QLabel* m_caption;
};

} // namespace vinzal
