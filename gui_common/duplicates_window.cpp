#include "duplicates_window.h"

#include "connection.h"
#include "contact_table.h"
#include "dialogs.h"
#include "record_navigator.h"
#include "wording.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QStyle>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>

using namespace Qt::StringLiterals;

namespace vinzal {

namespace {

const QString title = u"Trova duplicati"_s;

// A value as a cell shows it: its text, or "(vuoto)".
QString shownValue(const Value& value)
{
    const QString text = value.toText();
    return text.isEmpty() ? u"(vuoto)"_s : text;
}

QString idList(const QList<qint64>& ids)
{
    QStringList text;
    for (qint64 id : ids)
        text.append(QString::number(id));
    return text.join(u", "_s);
}

// The IDs of a list item: a group of thousands would make a line of megabytes that the list lays out
// again and again, so past the first few the rest are counted.
constexpr int listedIds = 10;

QString someIds(const QList<qint64>& ids)
{
    if (ids.size() <= listedIds)
        return idList(ids);
    const qint64 others = ids.size() - listedIds;
    return idList(ids.mid(0, listedIds)) +
           words::plural(others, u" e 1 altro"_s, u" e altri %1"_s.arg(others));
}

QString groupText(const duplicates::Group& group)
{
    QStringList reasons;
    for (const duplicates::Link& link : group.links)
        reasons.append(link.ids.size() <= listedIds ? link.text()
                                                    : link.what() + u": ID "_s + someIds(link.ids));
    return u"ID "_s + someIds(group.ids) + u" — "_s + group.names.value(0).toText() + u" — "_s +
           reasons.join(u"; "_s);
}

// The group without the contacts `gone` (merged into another), its reasons kept where two still share
// them.
duplicates::Group without(const duplicates::Group& group, const QList<qint64>& gone)
{
    duplicates::Group kept;
    for (int i = 0; i < group.ids.size(); ++i)
        if (!gone.contains(group.ids.at(i))) {
            kept.ids.append(group.ids.at(i));
            kept.names.append(group.names.value(i));
        }
    for (duplicates::Link link : group.links) {
        link.ids.removeIf([&](qint64 id) { return gone.contains(id); });
        if (link.ids.size() > 1)
            kept.links.append(link);
    }
    return kept;
}

} // namespace

// What the window and its search thread share: the request to stop, the thread's connection, so that
// the window can interrupt a statement that is running, and what it found since the window last
// looked. The window takes the groups on a timer rather than being sent each one: a search finds
// thousands a second, and a queue that never empties keeps the list from ever laying itself out.
struct DuplicatesWindow::Search
{
    std::atomic<bool> stop{false};
    std::mutex mutex;
    sql::Database* db = nullptr;
    std::vector<duplicates::Group> found; // not listed yet
    bool announced = false;               // the window was told of the first group
    qint64 done = 0, total = 0;
    bool checking = false;

    void cancel()
    {
        stop = true;
        const std::lock_guard lock(mutex);
        if (db)
            db->interrupt();
    }
};

DuplicatesWindow::DuplicatesWindow(const QString& book, QWidget* parent) : QDialog(parent), m_book(book)
{
    setObjectName(u"DuplicatesWindow"_s);
    setWindowTitle(title + u" — "_s + shownBook(book));
    setModal(false);
    resize(900, 560);

    m_status = new QLabel(this);
    m_status->setObjectName(u"status"_s);
    m_status->setWordWrap(true);

    m_list = new QListWidget(this);
    m_list->setObjectName(u"groups"_s);
    // No caption above the two lists: their names are for a screen reader only.
    m_list->setAccessibleName(u"Gruppi di probabili doppioni"_s);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);

    m_fields = new QTableWidget(this);
    m_fields->setObjectName(u"fields"_s);
    m_fields->setAccessibleName(u"Campi dei contatti del gruppo"_s);
    m_fields->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_fields->setWordWrap(true);
    m_fields->setTabKeyNavigation(false); // Tab goes on to the choices; the arrows move inside
    QStringList labels = contacts::fields().mid(1);
    m_fields->setRowCount(int(labels.size()));
    m_fields->setVerticalHeaderLabels(labels);
    m_list->setUniformItemSizes(true);

    // The value to keep of each field, a list box with its field's name beside it, in the order of the
    // table's rows. Outside the table: a screen reader sees neither a widget in a table's cell nor the
    // label it would need, and here each is read as "Città, casella combinata, ID 4: Roma (RM)".
    m_choicesBox = new QGroupBox(u"Valori da &tenere"_s, this);
    m_choicesBox->setObjectName(u"choices"_s);
    auto* form = new QWidget;
    auto* formLayout = new QFormLayout(form);
    formLayout->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    formLayout->setRowWrapPolicy(QFormLayout::WrapLongRows);
    for (const QString& name : std::as_const(labels)) {
        auto* choice = new QComboBox(form);
        choice->setObjectName(u"scelta "_s + name);
        choice->setAccessibleName(u"Valore da tenere per «"_s + name + u"»"_s);
        // As wide as the form, not as the longest value: the whole value is in the table beside.
        choice->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        choice->setMinimumContentsLength(12);
        auto* label = new QLabel(name + u":"_s, form);
        label->setBuddy(choice);
        formLayout->addRow(label, choice);
        m_choices.append(choice);
    }
    auto* scroller = new QScrollArea(m_choicesBox);
    scroller->setWidget(form);
    scroller->setWidgetResizable(true);
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setFocusPolicy(Qt::NoFocus); // the keyboard goes to the choices
    scroller->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Wide enough for the form and the bar that scrolls it when the window is low.
    scroller->setMinimumWidth(form->minimumSizeHint().width() +
                              scroller->verticalScrollBar()->sizeHint().width());
    auto* boxLayout = new QVBoxLayout(m_choicesBox);
    boxLayout->addWidget(scroller);

    m_pageText = new QLabel(this);
    m_pageText->setObjectName(u"page"_s);
    m_previous = new QPushButton(u"&Precedenti"_s, this);
    m_previous->setObjectName(u"previousPage"_s);
    m_next = new QPushButton(u"&Successivi"_s, this);
    m_next->setObjectName(u"nextPage"_s);
    auto* paging = new QWidget(this);
    auto* pagingLayout = new QHBoxLayout(paging);
    pagingLayout->setContentsMargins(0, 0, 0, 0);
    pagingLayout->addWidget(m_pageText, 1);
    pagingLayout->addWidget(m_previous);
    pagingLayout->addWidget(m_next);
    auto* group = new QWidget(this);
    auto* groupLayout = new QVBoxLayout(group);
    groupLayout->setContentsMargins(0, 0, 0, 0);
    groupLayout->addWidget(paging);
    m_sideBySide = new QSplitter(Qt::Horizontal, group);
    m_sideBySide->addWidget(m_fields);
    m_sideBySide->addWidget(m_choicesBox);
    m_sideBySide->setChildrenCollapsible(false);
    groupLayout->addWidget(m_sideBySide, 1);
    paging->hide();
    m_paging = paging;

    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(m_list);
    splitter->addWidget(group);
    splitter->setStretchFactor(1, 2);

    m_merge = new QPushButton(u"&Unisci"_s, this);
    m_merge->setObjectName(u"merge"_s);
    m_ignore = new QPushButton(u"&Ignora"_s, this);
    m_ignore->setObjectName(u"ignore"_s);
    m_undo = new QPushButton(u"Annulla u&nione"_s, this);
    m_undo->setObjectName(u"unmerge"_s);
    m_undoIgnore = new QPushButton(u"&Annulla «Ignora»"_s, this);
    m_undoIgnore->setObjectName(u"unignore"_s);
    auto* close = new QPushButton(u"&Chiudi"_s, this);
    close->setObjectName(u"close"_s);
    for (QPushButton* button : {m_merge, m_ignore, m_undo, m_undoIgnore, close, m_previous, m_next})
        button->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_merge);
    buttons->addWidget(m_ignore);
    buttons->addStretch();
    buttons->addWidget(m_undoIgnore);
    buttons->addWidget(m_undo);
    buttons->addWidget(close);
    // Tab goes from the table through the choices beside it, field by field, then on to the buttons.
    QWidget* previous = m_next;
    for (QWidget* next : QList<QWidget*>{m_fields} + QList<QWidget*>(m_choices.begin(), m_choices.end()) +
                             QList<QWidget*>{m_merge, m_ignore, m_undoIgnore, m_undo, close}) {
        QWidget::setTabOrder(previous, next);
        previous = next;
    }
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_status);
    layout->addWidget(splitter, 1);
    layout->addLayout(buttons);

    connect(m_list, &QListWidget::currentRowChanged, this, [this] {
        m_page = 0;
        showGroup();
    });
    connect(m_merge, &QPushButton::clicked, this, &DuplicatesWindow::mergeGroup);
    connect(m_ignore, &QPushButton::clicked, this, &DuplicatesWindow::ignoreGroup);
    connect(m_undo, &QPushButton::clicked, this, &DuplicatesWindow::undoMerge);
    connect(m_undoIgnore, &QPushButton::clicked, this, &DuplicatesWindow::undoIgnore);
    connect(m_previous, &QPushButton::clicked, this, [this] { turnPage(-1); });
    connect(m_next, &QPushButton::clicked, this, [this] { turnPage(1); });
    m_ticks = new QTimer(this);
    m_ticks->setInterval(100);
    connect(m_ticks, &QTimer::timeout, this, &DuplicatesWindow::takeGroups);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    updateButtons();
    startSearch();
}

DuplicatesWindow::~DuplicatesWindow()
{
    if (m_search)
        m_search->cancel();
    if (m_thread)
        m_thread->wait();
}

void DuplicatesWindow::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (std::exchange(m_sized, true))
        return;
    // The choices as wide as they like, with the bar that scrolls them, up to half: with large type
    // they go under their names rather than leave the contacts' values no room.
    const int width = m_sideBySide->width() - m_sideBySide->handleWidth();
    const int choices = std::min(
        m_choicesBox->sizeHint().width() + style()->pixelMetric(QStyle::PM_ScrollBarExtent), width / 2);
    m_sideBySide->setSizes({width - choices, choices});
}

bool DuplicatesWindow::searching() const
{
    return m_ticks->isActive(); // until the window has taken the last groups and told the end
}

bool DuplicatesWindow::ensureConnection()
{
    if (m_connection)
        return true;
    auto opened = Connection::open(m_book);
    if (!opened) {
        Dialogs::instance().reportError(this, opened.error());
        return false;
    }
    m_connection = std::move(opened.value());
    return true;
}

void DuplicatesWindow::startSearch()
{
    m_status->setText(u"Ricerca dei probabili doppioni in corso…"_s);
    auto search = std::make_shared<Search>();
    m_search = search;
    const QString book = m_book;
    QPointer<DuplicatesWindow> window(this);
    m_thread = QThread::create([search, book, window] {
        std::optional<StoreError> failure;
        auto opened = Connection::open(book);
        if (!opened) {
            failure = opened.error();
        } else {
            {
                const std::lock_guard lock(search->mutex);
                search->db = &opened.value()->db();
            }
            duplicates::Progress progress;
            progress.group = [&](const duplicates::Group& group) {
                if (search->stop)
                    return false;
                bool first = false;
                {
                    const std::lock_guard lock(search->mutex);
                    search->found.push_back(group);
                    search->checking = true;
                    first = !std::exchange(search->announced, true);
                }
                if (first) // shown at once; the rest on the window's timer
                    QMetaObject::invokeMethod(window, [window] {
                        if (window)
                            window->takeGroups();
                    });
                return true;
            };
            const auto step = [&](bool checking) {
                return [search, checking](qint64 done, qint64 total) {
                    const std::lock_guard lock(search->mutex);
                    search->done = done;
                    search->total = total;
                    search->checking = checking;
                };
            };
            progress.reading = step(false);
            progress.checking = step(true);
            Status found = duplicates::find(*opened.value(), progress);
            {
                const std::lock_guard lock(search->mutex);
                search->db = nullptr;
            }
            if (!found && !search->stop)
                failure = found.error();
        }
        QMetaObject::invokeMethod(window, [window, failure] {
            if (window)
                window->finishSearch(failure);
        });
    });
    m_thread->setParent(this);
    m_thread->start();
    m_ticks->start();
}

void DuplicatesWindow::takeGroups()
{
    std::vector<duplicates::Group> found;
    {
        const std::lock_guard lock(m_search->mutex);
        found.swap(m_search->found);
    }
    for (const duplicates::Group& group : found) {
        ++m_found;
        addGroup(group);
    }
    if (m_list->count() > 0 && !m_list->currentItem())
        m_list->setCurrentRow(0);
    if (searching()) {
        showProgress();
        emit searchProgressed();
    }
}

void DuplicatesWindow::showProgress()
{
    qint64 done = 0, total = 0;
    bool checking = false;
    {
        const std::lock_guard lock(m_search->mutex);
        done = m_search->done;
        total = m_search->total;
        checking = m_search->checking;
    }
    if (!checking && total == 0)
        return; // nothing read yet: the status says the search has begun
    m_status->setText(checking
                          ? words::plural(done, u"Ricerca in corso: controllato 1 contatto simile"_s,
                                          u"Ricerca in corso: controllati %1 contatti simili"_s.arg(done)) +
                                u" su %1; trovati finora "_s.arg(total) +
                                words::counted(m_found, u"gruppo"_s, u"gruppi"_s) + u"."_s
                          : words::plural(done, u"Ricerca in corso: letto 1 contatto"_s,
                                          u"Ricerca in corso: letti %1 contatti"_s.arg(done)) +
                                u" su %1…"_s.arg(total));
}

// Lists a group in the order of the lowest IDs (the search finds them in that order; a group given
// back by an undo goes to its place), and gives its row.
int DuplicatesWindow::addGroup(const duplicates::Group& group)
{
    m_groups.push_back(group);
    const qint64 first = group.ids.value(0);
    const auto firstOf = [this](int row) {
        return m_groups.at(m_list->item(row)->data(Qt::UserRole).toULongLong()).ids.value(0);
    };
    int row = m_list->count();
    if (row > 0 && firstOf(row - 1) > first) {
        int low = 0;
        while (low < row) {
            const int middle = (low + row) / 2;
            if (firstOf(middle) > first)
                row = middle;
            else
                low = middle + 1;
        }
    }
    auto* item = new QListWidgetItem(groupText(group));
    item->setData(Qt::UserRole, qulonglong(m_groups.size() - 1));
    m_list->insertItem(row, item);
    return row;
}

void DuplicatesWindow::finishSearch(const std::optional<StoreError>& error)
{
    m_ticks->stop();
    if (m_thread)
        m_thread->wait(); // it has nothing left to do but end
    takeGroups();
    if (error) {
        m_status->setText(u"La ricerca non è riuscita."_s);
        Dialogs::instance().reportError(this, *error);
    } else {
        m_status->setText(m_found == 0   ? u"Nessun probabile doppione trovato."_s
                          : m_found == 1 ? u"Trovato 1 gruppo di probabili doppioni."_s
                                         : u"Trovati %1 gruppi di probabili doppioni."_s.arg(m_found));
    }
    emit searchFinished();
}

void DuplicatesWindow::clearGroup()
{
    m_shown.clear();
    m_fields->setColumnCount(0);
    for (QComboBox* choice : std::as_const(m_choices))
        choice->clear();
    m_choicesBox->setEnabled(false);
    updateButtons();
}

const duplicates::Group* DuplicatesWindow::currentGroup() const
{
    const QListWidgetItem* item = m_list->currentItem();
    return item ? &m_groups.at(item->data(Qt::UserRole).toULongLong()) : nullptr;
}

// The lowest ID of the group, and the others of the page: a merge always keeps the lowest ID.
QList<qint64> DuplicatesWindow::pageIds() const
{
    const duplicates::Group* group = currentGroup();
    if (!group || group->ids.isEmpty())
        return {};
    return QList<qint64>{group->ids.first()} +
           group->ids.mid(1 + qsizetype(m_page) * (pageSize - 1), pageSize - 1);
}

void DuplicatesWindow::turnPage(int by)
{
    const duplicates::Group* group = currentGroup();
    if (!group)
        return;
    const int pages = int((group->ids.size() - 2) / (pageSize - 1)) + 1;
    m_page = std::clamp(m_page + by, 0, pages - 1);
    showGroup();
}

void DuplicatesWindow::showGroup()
{
    clearGroup();
    const duplicates::Group* group = currentGroup();
    const qsizetype others = group ? group->ids.size() - 1 : 0;
    const int pages = others > 0 ? int((others - 1) / (pageSize - 1)) + 1 : 1;
    m_page = std::clamp(m_page, 0, pages - 1);
    m_paging->setVisible(pages > 1);
    if (pages > 1) {
        const qsizetype from = 2 + qsizetype(m_page) * (pageSize - 1);
        const qsizetype to = std::min(from + pageSize - 2, others + 1);
        m_pageText->setText(
            u"Gruppo di %L1 contatti: il primo con quelli dal %L2° al %L3° (pagina %L4 di %L5)."_s
                .arg(others + 1)
                .arg(from)
                .arg(to)
                .arg(m_page + 1)
                .arg(pages));
        m_previous->setEnabled(m_page > 0);
        m_next->setEnabled(m_page < pages - 1);
    }
    if (!group || !ensureConnection())
        return;
    QList<Row> rows;
    for (qint64 id : pageIds()) {
        auto row = readRow(*m_connection, id);
        if (!row) {
            if (row.error().kind != StoreError::Kind::NoCurrentRow) {
                Dialogs::instance().reportError(this, row.error());
                return;
            }
            continue; // gone since the search: the group is shown without it
        }
        rows.append(row.value());
    }
    if (rows.size() < 2) {
        m_status->setText(
            u"I contatti di questo gruppo non sono più tutti nella rubrica: cercare di nuovo."_s);
        return;
    }
    m_shown = rows;
    const int fieldRows = fieldCount - 1;
    m_fields->setColumnCount(int(rows.size()));
    QStringList headers;
    for (const Row& row : rows)
        headers.append(u"ID %1"_s.arg(row.rowid));
    m_fields->setHorizontalHeaderLabels(headers);
    const Contact kept = duplicates::defaultChoice(rows);
    for (int f = 0; f < fieldRows; ++f) {
        const Field field = Field(f + 1);
        for (int c = 0; c < rows.size(); ++c) {
            auto* cell = new QTableWidgetItem(shownValue(rows.at(c).fields[field]));
            cell->setToolTip(cell->text());
            m_fields->setItem(f, c, cell);
        }
        QComboBox* choice = m_choices.at(f);
        if (field == Field::Osservazioni)
            choice->addItem(u"Tutte, unite"_s, -1);
        int chosen = -1;
        for (int c = 0; c < rows.size(); ++c) {
            const Value& value = rows.at(c).fields[field];
            choice->addItem(
                u"ID %1: %2"_s.arg(rows.at(c).rowid).arg(shownValue(value).section(u'\n', 0, 0).left(40)), c);
            choice->setItemData(choice->count() - 1, shownValue(value), Qt::ToolTipRole);
            if (chosen < 0 && value == kept[field])
                chosen = choice->count() - 1;
        }
        choice->setCurrentIndex(field == Field::Osservazioni ? 0 : std::max(chosen, 0));
    }
    m_choicesBox->setEnabled(true);
    m_fields->resizeColumnsToContents();
    for (int c = 0; c < rows.size(); ++c)
        m_fields->setColumnWidth(c, std::min(m_fields->columnWidth(c), 260));
    m_fields->setCurrentCell(0, 0);
    updateButtons();
}

void DuplicatesWindow::updateButtons()
{
    const bool group = m_shown.size() > 1;
    m_merge->setEnabled(group);
    m_ignore->setEnabled(group);
    m_undoIgnore->setEnabled(!m_ignored.empty());
}

void DuplicatesWindow::removeCurrentGroup()
{
    m_page = 0;
    delete m_list->takeItem(m_list->currentRow());
    showGroup();
}

void DuplicatesWindow::mergeGroup()
{
    if (m_shown.size() < 2 || !ensureConnection())
        return;
    Contact kept;
    kept[Field::Id] = m_shown.first().fields[Field::Id];
    for (int f = 0; f < m_choices.size(); ++f) {
        const Field field = Field(f + 1);
        const int from = m_choices.at(f)->currentData().toInt();
        // The remarks come last: what the other choices leave out is listed in them.
        kept[field] = from < 0 ? duplicates::mergedRemarks(m_shown, kept) : m_shown.at(from).fields[field];
    }
    QList<qint64> others;
    for (const Row& row : m_shown.mid(1))
        others.append(row.rowid);
    const qint64 survivor = m_shown.first().rowid;
    if (!Dialogs::instance().askYesNo(
            this, title,
            u"Unire i contatti con ID %1 nel contatto con ID %2, con i valori scelti? "
            u"Gli altri contatti saranno eliminati; l'unione si può annullare con "
            u"«Annulla unione»."_s.arg(idList(others))
                .arg(survivor)))
        return;
    auto merged = duplicates::merge(*m_connection, m_shown, kept);
    if (!merged) {
        Dialogs::instance().reportError(this, merged.error());
        showGroup(); // what the book holds now
        return;
    }
    m_merged.push_back(survivor);
    m_status->setText(
        u"Uniti i contatti con ID %1 nel contatto con ID %2. «Annulla unione» li rimette come erano."_s
            .arg(idList(others))
            .arg(survivor));
    // The rest of a large group stays listed, without the contacts merged, on the same page.
    const duplicates::Group rest = without(*currentGroup(), others);
    if (!m_paging->isHidden() && rest.ids.size() > 1) {
        m_groups.push_back(rest);
        m_list->currentItem()->setData(Qt::UserRole, qulonglong(m_groups.size() - 1));
        m_list->currentItem()->setText(groupText(rest));
        showGroup();
    } else {
        removeCurrentGroup();
    }
}

void DuplicatesWindow::ignoreGroup()
{
    if (m_shown.size() < 2 || !ensureConnection())
        return;
    // The whole group, pages not shown included: it is the group that is not one of duplicates.
    QList<qint64> ids;
    if (!m_paging->isHidden()) {
        ids = currentGroup()->ids;
    } else {
        for (const Row& row : std::as_const(m_shown))
            ids.append(row.rowid);
    }
    if (Status ignored = duplicates::ignore(*m_connection, ids); !ignored) {
        Dialogs::instance().reportError(this, ignored.error());
        return;
    }
    m_ignored.push_back(ids);
    m_status->setText(u"I contatti con ID %1 non saranno più proposti come doppioni."_s.arg(someIds(ids)));
    removeCurrentGroup();
}

void DuplicatesWindow::undoIgnore()
{
    if (m_ignored.empty() || !ensureConnection())
        return;
    const QList<qint64> ids = m_ignored.back();
    if (Status taken = duplicates::unignore(*m_connection, ids); !taken) {
        Dialogs::instance().reportError(this, taken.error());
        return;
    }
    m_ignored.pop_back();
    m_status->setText(u"I contatti con ID %1 saranno di nuovo proposti come doppioni."_s.arg(someIds(ids)));
    listAgain(ids);
}

// Lists again what the contacts `ids` make now, with the groups listed that hold any of them (the
// rest of a large group a page of which was merged), and selects it.
void DuplicatesWindow::listAgain(const QList<qint64>& ids)
{
    QList<qint64> all = ids;
    for (int row = m_list->count() - 1; row >= 0; --row) {
        const auto& listed = m_groups.at(m_list->item(row)->data(Qt::UserRole).toULongLong()).ids;
        if (std::any_of(ids.begin(), ids.end(), [&](qint64 id) { return listed.contains(id); })) {
            all += listed;
            delete m_list->takeItem(row);
        }
    }
    auto groups = duplicates::groupsAmong(*m_connection, all);
    if (!groups) {
        Dialogs::instance().reportError(this, groups.error());
        return;
    }
    int first = -1;
    for (const duplicates::Group& group : groups.value()) {
        const int row = addGroup(group);
        first = first < 0 ? row : std::min(first, row);
    }
    if (first >= 0)
        m_list->setCurrentRow(first);
    updateButtons();
}

void DuplicatesWindow::undoMerge()
{
    if (!ensureConnection())
        return;
    qint64 id = 0;
    if (!m_merged.empty()) {
        id = m_merged.back();
        if (!Dialogs::instance().askYesNo(
                this, title,
                u"Annullare l'ultima unione nel contatto con ID %1? I contatti uniti "
                u"torneranno come erano."_s.arg(id)))
            return;
    } else {
        const QString typed =
            Dialogs::instance()
                .askText(this, title,
                         u"ID di un contatto di cui annullare l'ultima unione (quello in cui "
                         u"gli altri sono stati uniti, o uno di quelli uniti):"_s)
                .trimmed();
        if (typed.isEmpty())
            return;
        bool ok = false;
        id = typed.toLongLong(&ok);
        if (!ok || id < 1) {
            Dialogs::instance().inform(this, title,
                                       u"«%1» non è un ID: scrivere il numero del contatto."_s.arg(typed),
                                       Dialogs::Icon::Warning);
            return;
        }
    }
    auto undone = duplicates::unmerge(*m_connection, id);
    if (!undone) {
        Dialogs::instance().reportError(this, undone.error());
        return;
    }
    if (!m_merged.empty() && m_merged.back() == id)
        m_merged.pop_back();
    listAgain(undone.value());
    m_status->setText(u"Annullata l'unione: il contatto con ID %1 ha di nuovo i suoi valori e sono tornati i "
                      u"contatti con ID %2."_s.arg(undone.value().first())
                          .arg(idList(undone.value().mid(1))));
}

DuplicatesWindow* showDuplicatesWindow(QWidget* parent, RecordNavigator* navigator)
{
    if (parent)
        if (auto* open = parent->findChild<DuplicatesWindow*>(QString(), Qt::FindDirectChildrenOnly)) {
            open->raise();
            open->activateWindow();
            return open;
        }
    const QString book =
        navigator && !navigator->databaseName().isEmpty() ? navigator->databaseName() : contacts::fileName();
    // The windows on the book hear of its merges from the store, as of every write.
    auto* window = new DuplicatesWindow(book, parent);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    return window;
}

} // namespace vinzal
