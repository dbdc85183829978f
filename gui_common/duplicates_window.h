#pragma once

#include "duplicates.h"
#include "row.h"

#include <QDialog>
#include <QList>
#include <QString>

#include <memory>
#include <vector>

class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTableWidget;
class QThread;

namespace vinzal {

class Connection;
class RecordNavigator;

// "Trova duplicati…": the groups of likely duplicates of a book (store/duplicates.h), listed as the
// search finds them; the selected group side by side, field by field, with a choice per field of
// the value to keep; Unisci, Ignora and Annulla unione. Nothing is merged but by Unisci, and every
// question and failure goes through Dialogs.
//
// The search runs on a thread of its own with a connection of its own, so the window stays usable
// and shows the first groups while it goes on; the window's own connection reads the selected group
// and writes. The values shown are the originals of the merge's lost-update guard.
class DuplicatesWindow : public QDialog
{
    Q_OBJECT
public:
    explicit DuplicatesWindow(const QString& book, QWidget* parent = nullptr);
    ~DuplicatesWindow() override;

    bool searching() const;

signals:
    // A merge or its undoing changed the book: windows showing it should read it again.
    void bookChanged();
    void searchFinished();

private:
    struct Search;
    void startSearch();
    void addGroup(const duplicates::Group& group);
    void showProgress(qint64 done, qint64 total, bool checking);
    void finishSearch(const std::optional<StoreError>& error);
    void showGroup();
    void clearGroup();
    void mergeGroup();
    void ignoreGroup();
    void undoMerge();
    void removeCurrentGroup();
    void updateButtons();
    bool ensureConnection();

    QString m_book;
    std::unique_ptr<Connection> m_connection; // reads the selected group and writes
    std::shared_ptr<Search> m_search;
    QThread* m_thread = nullptr;
    qint64 m_found = 0;

    std::vector<duplicates::Group> m_groups; // indexed by the list items' data
    QList<Row> m_shown;                      // the selected group as shown: the guard's originals
    std::vector<std::pair<qint64, duplicates::Group>> m_merged; // merges made here: survivor, group

    QLabel* m_status = nullptr;
    QListWidget* m_list = nullptr;
    QTableWidget* m_fields = nullptr;
    QList<QComboBox*> m_choices; // one per field after ID
    QPushButton* m_merge = nullptr;
    QPushButton* m_ignore = nullptr;
    QPushButton* m_undo = nullptr;
};

// Opens the duplicates window on the book of `navigator` (or raises the one already open for
// `parent`), and reads the navigator's book again after each merge or undo when it is not in the
// middle of an edit. The context menu's "Trova duplicati…" (Ctrl+D).
DuplicatesWindow* showDuplicatesWindow(QWidget* parent, RecordNavigator* navigator);

} // namespace vinzal
