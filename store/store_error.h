#pragma once

#include <QMetaType>
#include <QString>

#include <optional>
#include <utility>

namespace vinzal {

// A failure of the store, worded for the user. The store never shows it: the windows do.
struct StoreError
{
    enum class Kind {
        FileMissing,
        FileUnreadable,
        NotAnAddressBook,
        AccessFile,
        Damaged,
        TableMissing,
        FieldMissing,
        IndexMissing,
        NoCurrentRow,
        Conflict,
        Busy,
        ReadOnly,
        DiskFull,
        NotOpen,
        Disconnected, // the server closed the connection; the next action connects again
        Engine,
    };

    Kind kind = Kind::Engine;
    QString message; // Italian: what happened and what to do, in words that fit every front end
    QString detail;  // the engine's own words, when there are any
    // Nothing of the operation reached the book: each front end says so in its own words (a window,
    // that what was typed is still there; the command line, that nothing was written).
    bool unchanged = false;

    // The message with the engine's words quoted below it, as the error dialog shows it.
    QString fullText() const;

    StoreError withDetail(const QString& text) const
    {
        StoreError copy = *this;
        copy.detail = text;
        return copy;
    }

    // Maps an SQLite result code (extended or primary) to a message; `what` says what was being done
    // ("salvare il contatto"), `detail` is SQLite's own message.
    static StoreError fromSqlite(int code, const QString& detail, const QString& what);
    // The same for an error of a PostgreSQL server, by its SQLSTATE.
    static StoreError fromServer(const QString& state, const QString& detail, const QString& what);
    static StoreError disconnected(const QString& what, const QString& detail);
};

// The outcome of an operation that returns nothing.
class [[nodiscard]] Status
{
public:
    Status() = default;
    Status(StoreError error) : m_error(std::move(error)) {}

    bool ok() const { return !m_error; }
    explicit operator bool() const { return ok(); }
    const StoreError& error() const { return *m_error; }

private:
    std::optional<StoreError> m_error;
};

// The outcome of an operation that returns a value.
template <typename T> class [[nodiscard]] Result
{
public:
    Result(T value) : m_value(std::move(value)) {}
    Result(StoreError error) : m_error(std::move(error)) {}

    bool ok() const { return m_value.has_value(); }
    explicit operator bool() const { return ok(); }
    T& value() { return *m_value; }
    const T& value() const { return *m_value; }
    const StoreError& error() const { return *m_error; }
    Status status() const { return m_error ? Status(*m_error) : Status(); }

private:
    std::optional<T> m_value;
    std::optional<StoreError> m_error;
};

} // namespace vinzal

Q_DECLARE_METATYPE(vinzal::StoreError)
