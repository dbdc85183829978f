#pragma once

#include "duplicates.h"
#include "row.h"

#include <QDialog>
#include <QList>
#include <QString>

#include <memory>
#include <vector>

class QComboBox;
class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;
class QSplitter;
class QTableWidget;
class QThread;
class QTimer;

namespace vinzal {

class Connection;
class RecordNavigator;

// "Trova duplicati…": the groups of likely duplicates of a book (store/duplicates.h), listed as the
// search finds them; the selected group side by side, field by field, with a choice per field of
// the value to keep beside it; Unisci, Ignora and Annulla unione. Nothing is merged but by Unisci, and every
// question and failure goes through Dialogs.
//
// The search runs on a thread of its own with a connection of its own, so the window stays usable
// and shows the first groups while it goes on; the window's own connection reads the selected group
// and writes. The values shown are the originals of the merge's lost-update guard.
//
// A group can hold thousands of contacts (a common name in a large book): it is shown a page at a
// time, the lowest ID with up to pageSize - 1 others, and Unisci merges the page shown.
class DuplicatesWindow : public QDialog
{
    Q_OBJECT
public:
    explicit DuplicatesWindow(const QString& book, QWidget* parent = nullptr);
    ~DuplicatesWindow() override;

    // Whether the search goes on: until the window has listed its last groups and told the end.
    bool searching() const;

    // Contacts side by side at most, the lowest ID of the group included.
    static constexpr int pageSize = 8;

signals:
    void searchFinished();
    // The status has told how far the search has gone (and how many groups it has listed).
    void searchProgressed();

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct Search;
    void startSearch();
    void takeGroups();
    int addGroup(const duplicates::Group& group);
    void showProgress();
    void finishSearch(const std::optional<StoreError>& error);
    void showGroup();
    void clearGroup();
    void mergeGroup();
    void ignoreGroup();
    void undoMerge();
    void undoIgnore();
    void listAgain(const QList<qint64>& ids);
    void removeCurrentGroup();
    const duplicates::Group* currentGroup() const;
    QList<qint64> pageIds() const;
    void turnPage(int by);
    void updateButtons();
    bool ensureConnection();

    QString m_book;
    std::unique_ptr<Connection> m_connection; // reads the selected group and writes
    std::shared_ptr<Search> m_search;
    QThread* m_thread = nullptr;
    QTimer* m_ticks = nullptr; // takes the groups found meanwhile into the list
    qint64 m_found = 0;

    std::vector<duplicates::Group> m_groups; // indexed by the list items' data
    QList<Row> m_shown;                      // the page shown: the guard's originals
    int m_page = 0;                          // of the selected group
    std::vector<qint64> m_merged;            // merges made here: their survivors
    std::vector<QList<qint64>> m_ignored;    // groups ignored here

    QLabel* m_status = nullptr;
    QListWidget* m_list = nullptr;
    QTableWidget* m_fields = nullptr;
    QSplitter* m_sideBySide = nullptr; // the table, the choices beside it
    bool m_sized = false;              // the two given their widths on the first show
    QGroupBox* m_choicesBox = nullptr;
    QList<QComboBox*> m_choices; // one per field after ID, beside the table
    QPushButton* m_merge = nullptr;
    QPushButton* m_ignore = nullptr;
    QPushButton* m_undo = nullptr;
    QPushButton* m_undoIgnore = nullptr;
    QWidget* m_paging = nullptr; // shown for a group of more than one page
    QLabel* m_pageText = nullptr;
    QPushButton* m_previous = nullptr;
    QPushButton* m_next = nullptr;
};

// Opens the duplicates window on the book of `navigator` (or raises the one already open for
// `parent`), and reads the navigator's book again after each merge or undo when it is not in the
// middle of an edit. The context menu's "Trova duplicati…" (Ctrl+D).
DuplicatesWindow* showDuplicatesWindow(QWidget* parent, RecordNavigator* navigator);

} // namespace vinzal
