#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>

namespace vinzal {

// A field as the engine stores it: its kind and, for text and blob, its exact bytes. Values cross
// the store, copy, import and export as they are; only a window turns one into a QString (text()) to
// show it, and back (fromEditedText()) when the user has edited it. Nothing in between decodes text,
// so no byte-order mark, U+FFFE, byte that is not UTF-8 or NUL is ever changed on the way.
class Value
{
public:
    enum class Kind : quint8 { Null, Integer, Real, Text, Blob };

    Value() = default; // NULL
    static Value text(QByteArray bytes);
    static Value blob(QByteArray bytes);
    static Value integer(qint64 number);
    static Value real(double number);
    // A REAL as an engine read it, with the digits the engine itself prints for it: what a guard
    // comparing the stored value as text must compare with, and what an export writes.
    static Value real(double number, QByteArray printed);
    // Text typed or edited by the user: its UTF-8, with the bytes text() escaped given back (see
    // there). The empty text stays the empty text; storedValue() makes it NULL where a box is empty.
    static Value fromEditedText(const QString& text);
    // The value a box or cell stores for what it holds: an empty box is NULL.
    static Value storedValue(const QString& text);

    Kind kind() const { return m_kind; }
    bool isNull() const { return m_kind == Kind::Null; }
    bool isText() const { return m_kind == Kind::Text; }
    // The bytes of a text or a blob; the digits of a number, as SQLite prints it; empty for NULL.
    QByteArray bytes() const;
    qint64 toInteger() const; // a number's value, or a text's when it is all digits; else 0
    double toReal() const;

    // The value as a window shows it. Bytes that are not UTF-8 become the lone surrogates
    // U+DC80..U+DCFF, one per byte, which fromEditedText() turns back into the same byte, so the
    // parts of a text the user did not touch keep their bytes; a leading U+FEFF is kept. NULL is
    // the empty text.
    QString toText() const;
    // Whether text() gives the bytes back: a text or blob that is valid UTF-8, a number, or NULL.
    bool isValidUtf8() const;
    // Whether the bytes hold U+0000.
    bool hasNul() const { return m_bytes.contains('\0'); }

    // Same kind and same bytes (numbers by value): what the lost-update guard and the round trips
    // mean by "unchanged".
    friend bool operator==(const Value& a, const Value& b);
    friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }

    // For messages and test failures: kind and bytes in hex.
    QString debugText() const;

private:
    Kind m_kind = Kind::Null;
    QByteArray m_bytes; // text and blob; for a real, the engine's digits when it gave them
    union {
        qint64 m_integer = 0;
        double m_real;
    };
};

using Values = QList<Value>;

// Decodes UTF-8 as Value::toText() does and encodes as Value::fromEditedText() does; exposed for the
// boxes that keep a stored text beside the edited one.
QString decodeStoredText(const QByteArray& bytes);
QByteArray encodeEditedText(const QString& text);

} // namespace vinzal

Q_DECLARE_METATYPE(vinzal::Value)
