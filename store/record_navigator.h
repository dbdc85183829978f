#pragma once

#include "bound_field.h"
#include "connection.h"
#include "dynaset.h"
#include "row.h"
#include "row_editor.h"
#include "store_error.h"
#include "table_cursor.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace vinzal {

// Joins one window to the contact table: opens the file, keeps a cursor with one current row, shows
// it in the bound fields, moves, and writes changed fields back when the row is left, raising
// validate() first. It shows nothing itself and keeps no state of a widget (its window draws the
// bar and decides when to open it): failures come back as StoreError.
class RecordNavigator : public QObject
{
    Q_OBJECT
public:
    enum class RecordsetType { Table = 0, Dynaset = 1 };
    Q_ENUM(RecordsetType)

    // Why the current row is being left or written (the values of the reason codes are ours).
    enum class Action {
        Cancel = 0,
        MoveFirst = 1,
        MovePrevious = 2,
        MoveNext = 3,
        MoveLast = 4,
        AddNew = 5,
        Update = 6,
        Delete = 7,
        Find = 8,
        Bookmark = 9,
        Close = 10,
        Unload = 11,
    };
    Q_ENUM(Action)

    // The pending operation of the cursor.
    enum class EditMode { None, Editing, Adding };
    Q_ENUM(EditMode)

    explicit RecordNavigator(QObject* parent = nullptr);
    ~RecordNavigator() override;

    QString connect() const { return m_connect; }
    void setConnect(const QString& connect) { m_connect = connect; }
    QString databaseName() const { return m_databaseName; }
    void setDatabaseName(const QString& name) { m_databaseName = name; }
    QString recordSource() const { return m_recordSource; }
    void setRecordSource(const QString& source) { m_recordSource = source; }
    RecordsetType recordsetType() const { return m_recordsetType; }
    void setRecordsetType(RecordsetType type) { m_recordsetType = type; }

    void bind(BoundField* field) { m_fields.append(field); }
    const QList<BoundField*>& boundFields() const { return m_fields; }

    bool isOpen() const { return bool(m_connection); }
    Connection* connection() const { return m_connection.get(); }
    TableCursor* tableCursor() const { return m_cursor.get(); }
    Dynaset* dynaset() const { return m_dynaset.get(); }

    // Each of these first leaves the current row: validate(), then the changed fields written.
    Status refresh();
    Status setIndex(const QString& name); // leaves nothing: only the order changes
    Status seek(const QString& comparison, const QString& key);
    bool noMatch() const { return m_cursor && m_cursor->noMatch(); }
    Status moveFirst();
    Status movePrevious();
    Status moveNext();
    Status moveLast();
    Status addNew();
    Status edit();
    Status update();
    Status cancelUpdate();
    // Deletes the current row, only if the book still holds it as it was shown (the lost-update
    // guard); refused while it is being edited or added. The row after it in the current order
    // becomes current (the one before it at the end); on a dynaset the list is read again.
    Status deleteCurrent();
    // Leaves the row and closes, as when the window unloads. On failure the navigator stays open.
    Status unload();

    // Dynaset: makes the row at `position` current (the grid's current cell entered another row).
    Status moveToPosition(qsizetype position);
    qsizetype currentPosition() const { return m_position; }
    // Dynaset: writes changed fields of a row, with the lost-update guard.
    Status storeRow(qsizetype position, const QList<FieldChange>& changes);

    EditMode editMode() const { return m_editMode; }
    bool hasCurrentRow() const { return m_shown.has_value(); }
    // The current row as it was read when it was shown.
    const std::optional<Row>& currentRow() const { return m_shown; }

    // Opens without leaving a row: the automatic open.
    Status open();

signals:
    // Raised before the current row is left or written; `save` is true when a bound field changed.
    // Handlers run synchronously and may clear DataChanged on the fields to keep their text out.
    void validate(vinzal::RecordNavigator::Action action, bool save);
    void opened();
    void closed();
    void currentChanged();

private:
    template <typename Move> Status leaveAndMove(Action action, Move move);
    Status leaveRow(Action action);
    // The copy buffer takes what the bound fields hold now over the row they showed.
    void takeTyped();
    Status storePending();
    Status writePending();
    // Runs a write; after one refused by a read-only file, the connection is opened afresh first.
    template <typename Write> Status write(Write write);
    void endPending();
    Status showCurrent();
    // The current row read, then shown (outside the read, since showing runs the window's slots).
    std::optional<Result<Row>> readCurrent();
    Status show(std::optional<Result<Row>> row);
    void showNothing();
    void close();
    Status requireOpen() const;
    Status requireTable() const;

    QString m_connect;
    QString m_databaseName;
    QString m_recordSource;
    RecordsetType m_recordsetType = RecordsetType::Table;

    QList<BoundField*> m_fields;

    std::unique_ptr<Connection> m_connection;
    std::unique_ptr<TableCursor> m_cursor;
    std::unique_ptr<Dynaset> m_dynaset;
    qsizetype m_position = -1; // dynaset only

    std::optional<Row> m_shown; // the current row as shown: the originals for the lost-update guard
    EditMode m_editMode = EditMode::None;
    RowEditor m_editor; // the copy buffer: the row shown (blank while adding) and what was typed
    bool m_reopenBeforeWrite = false; // a write failed on a read-only file or folder
};

// A TextField for each field of the contact table, bound to a navigator: a window without widgets,
// for the benchmark, the fuzz targets and the tests.
class TextFields
{
public:
    explicit TextFields(RecordNavigator& navigator);
    TextField& operator[](const QString& field);

private:
    std::vector<std::unique_ptr<TextField>> m_fields;
};

} // namespace vinzal
