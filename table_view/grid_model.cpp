#include "grid_model.h"

#include "contact_table.h"

#include <QCursor>
#include <QGuiApplication>

using namespace Qt::StringLiterals;

namespace vinzal {

GridModel::GridModel(RecordNavigator& navigator, QObject* parent)
    : QAbstractTableModel(parent), m_navigator(&navigator)
{
    connect(&navigator, &RecordNavigator::opened, this, [this] {
        beginResetModel();
        m_markedRow = -1;
        m_dirtyRow = -1;
        m_editor.load({});
        endResetModel();
        Dynaset* rows = this->rows();
        if (!rows)
            return;
        // The list arrives later: the rows shown keep their places and the others follow them.
        connect(rows, &Dynaset::aboutToGrow, this,
                [this](qsizetype size) { beginInsertRows({}, rowCount(), int(size) - 1); });
        connect(rows, &Dynaset::grown, this, [this] { endInsertRows(); });
        connect(rows, &Dynaset::listFailed, this, &GridModel::listFailed);
    });
    connect(&navigator, &RecordNavigator::closed, this, [this] {
        beginResetModel();
        m_markedRow = -1;
        endResetModel();
    });
    // The record selector follows the navigator's current row, whatever moved it.
    connect(&navigator, &RecordNavigator::currentChanged, this, [this] {
        const int previous = m_markedRow;
        m_markedRow = currentRow();
        if (previous >= 0 && previous != m_markedRow && previous < rowCount())
            emit headerDataChanged(Qt::Vertical, previous, previous);
        if (m_markedRow >= 0)
            emit headerDataChanged(Qt::Vertical, m_markedRow, m_markedRow);
    });
}

int GridModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid() || !rows())
        return 0;
    return int(rows()->size());
}

bool GridModel::canFetchMore(const QModelIndex& parent) const
{
    return !parent.isValid() && rows() && !rows()->isComplete();
}

void GridModel::fetchMore(const QModelIndex& parent)
{
    if (!canFetchMore(parent))
        return;
    // The list is on its way: waiting for it costs less than reading it a second time.
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    (void)rows()->waitForList(); // a failure comes through listFailed
    QGuiApplication::restoreOverrideCursor();
}

int GridModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(contacts::fields().size());
}

QString GridModel::fetched(int row, int column) const
{
    // An editor may still commit after the navigator has closed (its focus leaves as the window goes).
    if (!rows() || row < 0 || row >= rows()->size())
        return QString();
    Result<Row> values = rows()->rowAt(row);
    return values && column >= 0 && column < fieldCount ? values.value().text(column) : QString();
}

QVariant GridModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole))
        return {};
    if (index.row() == m_dirtyRow)
        if (const std::optional<QString>& typed = m_editor.typed(index.column()))
            return *typed;
    return fetched(index.row(), index.column());
}

QVariant GridModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Horizontal)
        return contacts::fields().value(section);
    // The record selector: the current row is marked, with a pencil while it holds typed values.
    if (section == currentRow())
        return section == m_dirtyRow ? u"✎"_s : u"▶"_s;
    return QString();
}

Qt::ItemFlags GridModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    // The key is given by the file and never written.
    if (index.column() != contacts::fieldPosition(contacts::idField()))
        flags |= Qt::ItemIsEditable;
    return flags;
}

bool GridModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!index.isValid() || role != Qt::EditRole || !(flags(index) & Qt::ItemIsEditable) ||
        index.row() >= rowCount())
        return false;
    const QString text = value.toString();
    if (index.row() != m_dirtyRow) {
        if (text == fetched(index.row(), index.column()))
            return true; // nothing typed yet
        if (m_dirtyRow >= 0)
            return false; // the previous row must be written first
        Result<Row> row = rows()->rowAt(index.row());
        if (!row)
            return false;
        m_dirtyRow = index.row();
        m_editor.load(row.value());
        emit headerDataChanged(Qt::Vertical, m_dirtyRow, m_dirtyRow);
    }
    // An editor commits every cell it passes through, touched or not: the row editor keeps only
    // what differs from what the cell showed.
    m_editor.type(index.column(), text);
    emit dataChanged(index, index, {Qt::DisplayRole, Qt::EditRole});
    if (!m_editor.isTyped())
        abandonDirtyRow(); // every cell typed back as it was: nothing to write
    return true;
}

int GridModel::currentRow() const
{
    return rows() ? int(m_navigator->currentPosition()) : -1;
}

Status GridModel::writeDirtyRow()
{
    if (m_dirtyRow < 0)
        return {};
    // Written as typed: no question and no category rule here.
    if (!m_navigator)
        return StoreError{StoreError::Kind::NotOpen, u"La tabella è già stata chiusa."_s, {}};
    if (Status written = m_navigator->storeRow(m_dirtyRow, m_editor.changes()); !written)
        return written;
    abandonDirtyRow(); // the file now holds what was typed
    return {};
}

void GridModel::abandonDirtyRow()
{
    const int row = m_dirtyRow;
    if (row < 0)
        return;
    m_dirtyRow = -1;
    m_editor.load({});
    emit dataChanged(index(row, 0), index(row, columnCount() - 1));
    emit headerDataChanged(Qt::Vertical, row, row);
}

} // namespace vinzal
