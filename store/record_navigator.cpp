#include "record_navigator.h"

#include "contact_table.h"
#include "engine.h"

using namespace Qt::StringLiterals;

namespace vinzal {

RecordNavigator::RecordNavigator(QObject* parent)
    : QObject(parent), m_connect(contacts::connectString()), m_recordSource(contacts::tableName())
{
}

RecordNavigator::~RecordNavigator()
{
    close();
}

Status RecordNavigator::requireOpen() const
{
    if (m_connection)
        return {};
    // Only the usual "Vinzal.mdb" is looked for in the folder Vinzal was started from; a book named
    // by its path or on a server is where it was named.
    return StoreError{
        StoreError::Kind::NotOpen,
        m_databaseName == contacts::fileName()
            ? u"La rubrica non è aperta. Controllare che il file «"_s + m_databaseName +
                  u"» si trovi nella cartella da cui è stato avviato Vinzal, poi rileggerla."_s
            : u"La rubrica «"_s + shownBook(m_databaseName) +
                  u"» non è aperta. Controllarne il nome e che si possa leggere, poi rileggerla."_s,
        {}};
}

Status RecordNavigator::requireTable() const
{
    if (Status status = requireOpen(); !status)
        return status;
    if (m_cursor)
        return {};
    return StoreError{StoreError::Kind::Engine,
                      u"Questa operazione richiede un cursore su tabella e non è disponibile qui."_s,
                      {}};
}

void RecordNavigator::close()
{
    m_cursor.reset();
    m_dynaset.reset();
    m_connection.reset();
    m_position = -1;
    m_shown.reset();
    m_editMode = EditMode::None;
    m_editor.load({});
}

Status RecordNavigator::open()
{
    close();
    auto connection = Connection::open(m_databaseName);
    if (!connection) {
        showNothing();
        return connection.error();
    }
    // Every field is read with the row, so a file that lacks one cannot be shown.
    QStringList missing;
    for (const QString& field : contacts::fields())
        if (!connection.value()->columns().contains(field, Qt::CaseInsensitive))
            missing.append(u"«"_s + field + u"»"_s);
    if (!missing.isEmpty()) {
        showNothing();
        return StoreError{
            StoreError::Kind::FieldMissing,
            u"Nella tabella «"_s + contacts::tableName() + u"» mancano i campi "_s + missing.join(u", "_s) +
                u". La rubrica non è nel formato di Vinzal: controllarla con «vinzal-db check»."_s,
            {}};
    }
    m_connection = std::move(connection.value());
    if (m_recordsetType == RecordsetType::Table) {
        m_cursor = std::make_unique<TableCursor>(*m_connection);
        if (Status first = m_cursor->moveFirst(); !first) {
            close();
            showNothing();
            return first;
        }
    } else {
        m_dynaset = std::make_unique<Dynaset>(*m_connection);
        if (Status read = m_dynaset->open(); !read) {
            close();
            showNothing();
            return read;
        }
        m_position = m_dynaset->size() > 0 ? 0 : -1;
    }
    emit opened();
    return showCurrent();
}

Status RecordNavigator::refresh()
{
    if (Status left = leaveRow(Action::Close); !left)
        return left;
    return open();
}

Status RecordNavigator::unload()
{
    if (Status left = leaveRow(Action::Unload); !left)
        return left;
    close();
    emit closed();
    return {};
}

Status RecordNavigator::setIndex(const QString& name)
{
    if (Status status = requireTable(); !status)
        return status;
    return m_cursor->setIndex(name);
}

template <typename Move> Status RecordNavigator::leaveAndMove(Action action, Move move)
{
    if (Status status = requireOpen(); !status)
        return status;
    if (Status left = leaveRow(action); !left)
        return left;
    std::optional<Result<Row>> row;
    {
        // The cursor's reads (the move and the row) in one read of the file. The dynaset reads a
        // page in one statement already.
        std::optional<Connection::ReadSnapshot> snapshot;
        if (m_cursor)
            snapshot.emplace(*m_connection);
        if (Status moved = move(); !moved)
            return moved;
        row = readCurrent();
    }
    return show(std::move(row));
}

Status RecordNavigator::seek(const QString& comparison, const QString& key)
{
    if (Status status = requireTable(); !status)
        return status;
    return leaveAndMove(Action::Find, [&] { return m_cursor->seek(comparison, key); });
}

Status RecordNavigator::moveFirst()
{
    return leaveAndMove(Action::MoveFirst, [this]() -> Status {
        if (m_dynaset) {
            m_position = m_dynaset->size() > 0 ? 0 : -1;
            return {};
        }
        return m_cursor->moveFirst();
    });
}

Status RecordNavigator::moveLast()
{
    return leaveAndMove(Action::MoveLast, [this]() -> Status {
        if (m_dynaset) {
            if (!m_dynaset->isComplete())
                if (Status whole = m_dynaset->waitForList(); !whole)
                    return whole;
            m_position = m_dynaset->size() - 1;
            return {};
        }
        return m_cursor->moveLast();
    });
}

Status RecordNavigator::moveNext()
{
    return leaveAndMove(Action::MoveNext, [this]() -> Status {
        if (m_dynaset) {
            if (m_position + 1 >= m_dynaset->size() && !m_dynaset->isComplete())
                if (Status whole = m_dynaset->waitForList(); !whole)
                    return whole;
            m_position = std::min(m_position + 1, m_dynaset->size() - 1);
            return {};
        }
        return m_cursor->moveNext();
    });
}

Status RecordNavigator::movePrevious()
{
    return leaveAndMove(Action::MovePrevious, [this]() -> Status {
        if (m_dynaset) {
            m_position = m_dynaset->size() > 0 ? std::max<qsizetype>(m_position - 1, 0) : -1;
            return {};
        }
        return m_cursor->movePrevious();
    });
}

Status RecordNavigator::moveToPosition(qsizetype position)
{
    return leaveAndMove(Action::Bookmark, [this, position]() -> Status {
        if (!m_dynaset || position < 0 || position >= m_dynaset->size())
            return StoreError{StoreError::Kind::NoCurrentRow, u"Il contatto richiesto non esiste."_s, {}};
        m_position = position;
        return {};
    });
}

Status RecordNavigator::storeRow(qsizetype position, const QList<FieldChange>& changes)
{
    if (Status status = requireOpen(); !status)
        return status;
    if (!m_dynaset || position < 0 || position >= m_dynaset->size())
        return StoreError{StoreError::Kind::NoCurrentRow, u"Il contatto da salvare non esiste."_s, {}};
    Status stored = write([&] { return updateRow(*m_connection, m_dynaset->rowidAt(position), changes); });
    m_dynaset->forget(position);
    return stored;
}

Status RecordNavigator::addNew()
{
    if (Status status = requireOpen(); !status)
        return status;
    if (Status left = leaveRow(Action::AddNew); !left)
        return left;
    m_editMode = EditMode::Adding;
    m_editor.load({});
    for (BoundField* field : std::as_const(m_fields))
        field->showValue(QString());
    emit currentChanged();
    return {};
}

Status RecordNavigator::edit()
{
    if (Status status = requireOpen(); !status)
        return status;
    if (!m_shown)
        return StoreError{StoreError::Kind::NoCurrentRow,
                          u"Non c'è nessun contatto da modificare: la rubrica è vuota oppure non è "
                          u"selezionato alcun contatto. Spostarsi su un contatto e riprovare."_s,
                          {}};
    if (m_editMode == EditMode::None) {
        m_editMode = EditMode::Editing;
        m_editor.discard();
    }
    return {};
}

Status RecordNavigator::update()
{
    if (Status status = requireOpen(); !status)
        return status;
    if (Status left = leaveRow(Action::Update); !left)
        return left;
    if (Status stored = storePending(); !stored)
        return stored;
    return showCurrent();
}

Status RecordNavigator::cancelUpdate()
{
    if (Status status = requireOpen(); !status)
        return status;
    endPending();
    return showCurrent();
}

Status RecordNavigator::deleteCurrent()
{
    if (Status status = requireOpen(); !status)
        return status;
    bool typed = m_editMode != EditMode::None;
    for (const BoundField* field : std::as_const(m_fields))
        typed = typed || field->dataChanged();
    if (typed)
        return StoreError{StoreError::Kind::Engine,
                          u"Il contatto ha modifiche non ancora salvate: salvarle o annullarle prima di "
                          u"eliminarlo."_s,
                          {}};
    if (!m_shown)
        return StoreError{StoreError::Kind::NoCurrentRow, u"Non c'è nessun contatto da eliminare."_s, {}};
    const Row doomed = *m_shown;
    if (Status removed = write([&] { return deleteRow(*m_connection, doomed); }); !removed)
        return removed;
    if (m_dynaset) {
        const qsizetype position = m_position;
        if (Status reopened = open(); !reopened)
            return reopened;
        if (position >= m_dynaset->size() && !m_dynaset->isComplete())
            if (Status whole = m_dynaset->waitForList(); !whole)
                return whole;
        if (m_dynaset->size() == 0)
            return {};
        return moveToPosition(std::min(position, m_dynaset->size() - 1));
    }
    // The cursor still stands on the deleted row's keys: the next row in the order follows them.
    std::optional<Result<Row>> row;
    {
        Connection::ReadSnapshot snapshot(*m_connection);
        if (Status next = m_cursor->moveNext(); !next)
            return next;
        if (m_cursor->currentRowid() == doomed.rowid)
            if (Status previous = m_cursor->movePrevious(); !previous)
                return previous;
        if (m_cursor->currentRowid() == doomed.rowid)
            m_cursor->clearCurrent();
        row = readCurrent();
    }
    return show(std::move(row));
}

void RecordNavigator::takeTyped()
{
    m_editor.discard();
    for (const BoundField* field : std::as_const(m_fields))
        if (field->dataChanged())
            m_editor.type(field->dataField(), field->boundText());
}

Status RecordNavigator::leaveRow(Action action)
{
    if (!m_connection)
        return {};
    bool save = false;
    for (const BoundField* field : std::as_const(m_fields))
        save = save || field->dataChanged();
    emit validate(action, save);

    // The copy buffer is what the fields hold now, never what an earlier, failed write prepared:
    // a field the user has since given up (a "No" to the question) is not written.
    takeTyped();
    if (!m_editor.isTyped()) {
        // An edit or a new row left without a change ends without a write.
        if (action != Action::Update)
            endPending();
        return {};
    }
    if (m_editMode == EditMode::None) {
        if (!m_shown)
            return StoreError{StoreError::Kind::NoCurrentRow,
                              u"Non è selezionato alcun contatto in cui salvare i valori digitati. "
                              u"Rispondere No alla domanda di salvataggio per proseguire senza salvarli."_s,
                              {}};
        m_editMode = EditMode::Editing;
    }
    if (action == Action::Update)
        return {};
    return storePending();
}

Status RecordNavigator::storePending()
{
    if (m_editMode == EditMode::None)
        return {};
    // Nothing left to write: an edit ends as it began, and a new row that received no value is
    // dropped rather than stored empty.
    if (!m_editor.isTyped()) {
        endPending();
        return {};
    }
    return write([this] { return writePending(); });
}

template <typename Write> Status RecordNavigator::write(Write write)
{
    if (Status same = m_connection->stillTheFileOpened(); !same)
        return same;
    if (m_reopenBeforeWrite) {
        if (Status reopened = m_connection->reopen(); !reopened)
            return reopened;
        m_reopenBeforeWrite = false;
    }
    Status written = write();
    m_reopenBeforeWrite = !written && written.error().kind == StoreError::Kind::ReadOnly;
    return written;
}

Status RecordNavigator::writePending()
{
    switch (m_editMode) {
    case EditMode::None:
        return {};
    case EditMode::Adding: {
        auto added = insertRow(*m_connection, m_editor.changes());
        if (!added)
            return added.error();
        endPending();
        if (m_cursor)
            return m_cursor->moveTo(added.value());
        return {};
    }
    case EditMode::Editing: {
        if (!m_shown) {
            endPending();
            return {};
        }
        if (Status written = updateRow(*m_connection, m_editor.row().rowid, m_editor.changes()); !written)
            return written;
        endPending();
        if (m_dynaset)
            m_dynaset->forget(m_position);
        // The write may have changed the key of the current index: the next move starts from the
        // row's place as it is now, not from where it was.
        if (m_cursor)
            return m_cursor->moveTo(m_shown->rowid);
        return {};
    }
    }
    return {};
}

void RecordNavigator::endPending()
{
    m_editMode = EditMode::None;
    m_editor.load(m_shown.value_or(Row()));
}

std::optional<Result<Row>> RecordNavigator::readCurrent()
{
    std::optional<Result<Row>> row;
    if (m_cursor && m_cursor->hasCurrent())
        row.emplace(m_cursor->readCurrent());
    else if (m_dynaset && m_position >= 0)
        row.emplace(m_dynaset->rowAt(m_position));
    return row;
}

Status RecordNavigator::showCurrent()
{
    return show(readCurrent());
}

Status RecordNavigator::show(std::optional<Result<Row>> row)
{
    if (!row || !*row) {
        showNothing();
        return row ? Status(row->error()) : Status();
    }
    m_shown = row->value();
    m_editor.load(*m_shown);
    for (BoundField* field : std::as_const(m_fields))
        field->showValue(m_shown->text(field->dataField()));
    emit currentChanged();
    return {};
}

void RecordNavigator::showNothing()
{
    m_shown.reset();
    m_editor.load({});
    for (BoundField* field : std::as_const(m_fields))
        field->showValue(QString());
    emit currentChanged();
}

TextFields::TextFields(RecordNavigator& navigator)
{
    for (const QString& name : contacts::fields()) {
        m_fields.push_back(std::make_unique<TextField>(name));
        navigator.bind(m_fields.back().get());
    }
}

TextField& TextFields::operator[](const QString& field)
{
    return *m_fields.at(std::size_t(contacts::fieldPosition(field)));
}

} // namespace vinzal
