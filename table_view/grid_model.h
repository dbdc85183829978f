#pragma once

#include "record_navigator.h"
#include "row_editor.h"

#include <QAbstractTableModel>
#include <QPointer>

namespace vinzal {

// The rows of a dynaset navigator as a table model: twelve columns, one per field, values fetched a
// page at a time by the dynaset (so the model never holds more than a bounded number of rows). The
// rows whose ids the dynaset is still reading are inserted at the end when they arrive.
// Typed values are kept for the one row being edited until that row is written or abandoned.
class GridModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    explicit GridModel(RecordNavigator& navigator, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // Until the dynaset's list has arrived, the rows are those of its first page; fetching more waits
    // for the list (with the busy cursor) and adds the other rows at the end.
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    // The row the record selector marks: the navigator's current row.
    int currentRow() const;

    // The row holding typed values not yet written, or -1.
    int dirtyRow() const { return m_dirtyRow; }
    // Writes the dirty row through the navigator; on refusal the typed values stay.
    Status writeDirtyRow();
    // Drops the typed values of the dirty row.
    void abandonDirtyRow();

signals:
    // The rest of the rows could not be read: those shown stay.
    void listFailed(const vinzal::StoreError& error);

private:
    QString fetched(int row, int column) const;

    // The dynaset, while the navigator exists and is open.
    Dynaset* rows() const { return m_navigator ? m_navigator->dynaset() : nullptr; }

    // Guarded: the window destroys its navigator before the grid, whose editor may still commit.
    QPointer<RecordNavigator> m_navigator;
    int m_markedRow = -1; // where the mark was last drawn, to repaint it when it moves
    int m_dirtyRow = -1;
    RowEditor m_editor; // m_dirtyRow as it was when its first cell was typed into, and what was typed
};

} // namespace vinzal
