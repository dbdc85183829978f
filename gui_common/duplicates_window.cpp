#include "duplicates_window.h"

#include "connection.h"
#include "contact_table.h"
#include "dialogs.h"
#include "record_navigator.h"
#include "wording.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QThread>
#include <QVBoxLayout>

#include <atomic>
#include <mutex>

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

} // namespace

// What the window and its search thread share: the request to stop, and the thread's connection,
// so that the window can interrupt a statement that is running.
struct DuplicatesWindow::Search
{
    std::atomic<bool> stop{false};
    std::mutex mutex;
    sql::Database* db = nullptr;

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
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);

    m_fields = new QTableWidget(this);
    m_fields->setObjectName(u"fields"_s);
    m_fields->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_fields->setWordWrap(true);
    QStringList labels = contacts::fields().mid(1);
    m_fields->setRowCount(int(labels.size()));
    m_fields->setVerticalHeaderLabels(labels);

    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(m_list);
    splitter->addWidget(m_fields);
    splitter->setStretchFactor(1, 2);

    m_merge = new QPushButton(u"&Unisci"_s, this);
    m_merge->setObjectName(u"merge"_s);
    m_ignore = new QPushButton(u"&Ignora"_s, this);
    m_ignore->setObjectName(u"ignore"_s);
    m_undo = new QPushButton(u"Annulla u&nione"_s, this);
    m_undo->setObjectName(u"unmerge"_s);
    auto* close = new QPushButton(u"&Chiudi"_s, this);
    close->setObjectName(u"close"_s);
    for (QPushButton* button : {m_merge, m_ignore, m_undo, close})
        button->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_merge);
    buttons->addWidget(m_ignore);
    buttons->addStretch();
    buttons->addWidget(m_undo);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_status);
    layout->addWidget(splitter, 1);
    layout->addLayout(buttons);

    connect(m_list, &QListWidget::currentRowChanged, this, &DuplicatesWindow::showGroup);
    connect(m_merge, &QPushButton::clicked, this, &DuplicatesWindow::mergeGroup);
    connect(m_ignore, &QPushButton::clicked, this, &DuplicatesWindow::ignoreGroup);
    connect(m_undo, &QPushButton::clicked, this, &DuplicatesWindow::undoMerge);
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

bool DuplicatesWindow::searching() const
{
    return m_thread && !m_thread->isFinished();
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
            QElapsedTimer shown;
            shown.start();
            duplicates::Progress progress;
            progress.group = [&](const duplicates::Group& group) {
                if (search->stop)
                    return false;
                QMetaObject::invokeMethod(window, [window, group] {
                    if (window)
                        window->addGroup(group);
                });
                return true;
            };
            const auto step = [&](bool checking) {
                return [&shown, window, checking](qint64 done, qint64 total) {
                    if (shown.elapsed() < 100)
                        return;
                    shown.restart();
                    QMetaObject::invokeMethod(window, [window, done, total, checking] {
                        if (window)
                            window->showProgress(done, total, checking);
                    });
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
}

void DuplicatesWindow::showProgress(qint64 done, qint64 total, bool checking)
{
    m_status->setText(checking
                          ? words::plural(done, u"Ricerca in corso: controllato 1 contatto simile"_s,
                                          u"Ricerca in corso: controllati %1 contatti simili"_s.arg(done)) +
                                u" su %1; trovati finora "_s.arg(total) +
                                words::counted(m_found, u"gruppo"_s, u"gruppi"_s) + u"."_s
                          : words::plural(done, u"Ricerca in corso: letto 1 contatto"_s,
                                          u"Ricerca in corso: letti %1 contatti"_s.arg(done)) +
                                u" su %1…"_s.arg(total));
}

void DuplicatesWindow::addGroup(const duplicates::Group& group)
{
    ++m_found;
    m_groups.push_back(group);
    const QString text = u"ID "_s + idList(group.ids) + u" — "_s + group.names.value(0).toText() + u" — "_s +
                         group.reasonsText();
    auto* item = new QListWidgetItem(text, m_list);
    item->setData(Qt::UserRole, qulonglong(m_groups.size() - 1));
    if (m_list->count() == 1)
        m_list->setCurrentRow(0);
}

void DuplicatesWindow::finishSearch(const std::optional<StoreError>& error)
{
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
    m_choices.clear();
    updateButtons();
}

void DuplicatesWindow::showGroup()
{
    clearGroup();
    QListWidgetItem* item = m_list->currentItem();
    if (!item || !ensureConnection())
        return;
    const duplicates::Group& group = m_groups.at(item->data(Qt::UserRole).toULongLong());
    QList<Row> rows;
    for (qint64 id : group.ids) {
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
    m_fields->setColumnCount(int(rows.size()) + 1);
    QStringList headers;
    for (const Row& row : rows)
        headers.append(u"ID %1"_s.arg(row.rowid));
    headers.append(u"Da tenere"_s);
    m_fields->setHorizontalHeaderLabels(headers);
    const Contact kept = duplicates::defaultChoice(rows);
    for (int f = 0; f < fieldRows; ++f) {
        const Field field = Field(f + 1);
        for (int c = 0; c < rows.size(); ++c) {
            auto* cell = new QTableWidgetItem(shownValue(rows.at(c).fields[field]));
            cell->setToolTip(cell->text());
            m_fields->setItem(f, c, cell);
        }
        auto* choice = new QComboBox(m_fields);
        choice->setObjectName(u"scelta "_s + contacts::fields().at(f + 1));
        if (field == Field::Osservazioni)
            choice->addItem(u"Tutte, unite"_s, -1);
        int chosen = -1;
        for (int c = 0; c < rows.size(); ++c) {
            const Value& value = rows.at(c).fields[field];
            choice->addItem(
                u"ID %1: %2"_s.arg(rows.at(c).rowid).arg(shownValue(value).section(u'\n', 0, 0).left(40)), c);
            if (chosen < 0 && value == kept[field])
                chosen = choice->count() - 1;
        }
        choice->setCurrentIndex(field == Field::Osservazioni ? 0 : std::max(chosen, 0));
        m_fields->setCellWidget(f, int(rows.size()), choice);
        m_choices.append(choice);
    }
    m_fields->resizeColumnsToContents();
    for (int c = 0; c < rows.size(); ++c)
        m_fields->setColumnWidth(c, std::min(m_fields->columnWidth(c), 260));
    updateButtons();
}

void DuplicatesWindow::updateButtons()
{
    const bool group = m_shown.size() > 1;
    m_merge->setEnabled(group);
    m_ignore->setEnabled(group);
}

void DuplicatesWindow::removeCurrentGroup()
{
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
    const duplicates::Group& group = m_groups.at(m_list->currentItem()->data(Qt::UserRole).toULongLong());
    m_merged.emplace_back(survivor, group);
    m_status->setText(
        u"Uniti i contatti con ID %1 nel contatto con ID %2. «Annulla unione» li rimette come erano."_s
            .arg(idList(others))
            .arg(survivor));
    removeCurrentGroup();
    emit bookChanged();
}

void DuplicatesWindow::ignoreGroup()
{
    if (m_shown.size() < 2 || !ensureConnection())
        return;
    QList<qint64> ids;
    for (const Row& row : std::as_const(m_shown))
        ids.append(row.rowid);
    if (Status ignored = duplicates::ignore(*m_connection, ids); !ignored) {
        Dialogs::instance().reportError(this, ignored.error());
        return;
    }
    m_status->setText(u"I contatti con ID %1 non saranno più proposti come doppioni."_s.arg(idList(ids)));
    removeCurrentGroup();
}

void DuplicatesWindow::undoMerge()
{
    if (!ensureConnection())
        return;
    qint64 id = 0;
    if (!m_merged.empty()) {
        id = m_merged.back().first;
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
    if (!m_merged.empty() && m_merged.back().first == id) {
        addGroup(m_merged.back().second);
        --m_found;
        m_merged.pop_back();
    }
    m_status->setText(u"Annullata l'unione: il contatto con ID %1 ha di nuovo i suoi valori e sono tornati i "
                      u"contatti con ID %2."_s.arg(undone.value().first())
                          .arg(idList(undone.value().mid(1))));
    emit bookChanged();
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
    auto* window = new DuplicatesWindow(book, parent);
    window->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<RecordNavigator> guarded(navigator);
    QObject::connect(window, &DuplicatesWindow::bookChanged, window, [guarded, window] {
        if (!guarded || !guarded->isOpen() || guarded->editMode() != RecordNavigator::EditMode::None)
            return;
        if (Status read = guarded->refresh(); !read)
            Dialogs::instance().reportError(window, read.error());
    });
    window->show();
    return window;
}

} // namespace vinzal
