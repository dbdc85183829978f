#include "value.h"

#include <cmath>

using namespace Qt::StringLiterals;

namespace vinzal {

namespace {

// The length of the valid UTF-8 sequence at `at`, or 0. Overlong forms, encoded surrogates and code
// points past U+10FFFF are not valid (RFC 3629).
int sequenceLength(const unsigned char* s, qsizetype at, qsizetype size, char32_t* code)
{
    const unsigned char lead = s[at];
    int length;
    char32_t value;
    char32_t least;
    if (lead < 0x80) {
        *code = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (at + length > size)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((s[at + i] & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (s[at + i] & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *code = value;
    return length;
}

} // namespace

QString decodeStoredText(const QByteArray& bytes)
{
    QString text;
    text.reserve(bytes.size());
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype size = bytes.size();
    for (qsizetype at = 0; at < size;) {
        char32_t code = 0;
        const int length = sequenceLength(s, at, size, &code);
        if (length == 0) {
            text.append(QChar(char16_t(0xDC00 + s[at]))); // a byte that is not UTF-8, kept
            ++at;
            continue;
        }
        if (code > 0xFFFF) {
            text.append(QChar(QChar::highSurrogate(code)));
            text.append(QChar(QChar::lowSurrogate(code)));
        } else {
            text.append(QChar(char16_t(code)));
        }
        at += length;
    }
    return text;
}

QByteArray encodeEditedText(const QString& text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    const auto put = [&bytes](char32_t code) {
        if (code < 0x80) {
            bytes.append(char(code));
        } else if (code < 0x800) {
            bytes.append(char(0xC0 | (code >> 6)));
            bytes.append(char(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            bytes.append(char(0xE0 | (code >> 12)));
            bytes.append(char(0x80 | ((code >> 6) & 0x3F)));
            bytes.append(char(0x80 | (code & 0x3F)));
        } else {
            bytes.append(char(0xF0 | (code >> 18)));
            bytes.append(char(0x80 | ((code >> 12) & 0x3F)));
            bytes.append(char(0x80 | ((code >> 6) & 0x3F)));
            bytes.append(char(0x80 | (code & 0x3F)));
        }
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text.at(i).unicode();
        if (QChar::isHighSurrogate(unit) && i + 1 < text.size() && QChar::isLowSurrogate(text.at(i + 1).unicode())) {
            put(QChar::surrogateToUcs4(unit, text.at(i + 1).unicode()));
            ++i;
        } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
            bytes.append(char(unit - 0xDC00)); // the byte decodeStoredText() kept
        } else if (QChar::isSurrogate(unit)) {
            put(0xFFFD); // half a pair, which no UTF-8 can hold
        } else {
            put(unit);
        }
    }
    return bytes;
}

Value Value::text(QByteArray bytes)
{
    Value value;
    value.m_kind = Kind::Text;
    value.m_bytes = bytes.isNull() ? QByteArray("", 0) : std::move(bytes);
    return value;
}

Value Value::blob(QByteArray bytes)
{
    Value value;
    value.m_kind = Kind::Blob;
    value.m_bytes = bytes.isNull() ? QByteArray("", 0) : std::move(bytes);
    return value;
}

Value Value::integer(qint64 number)
{
    Value value;
    value.m_kind = Kind::Integer;
    value.m_integer = number;
    return value;
}

Value Value::real(double number)
{
    Value value;
    value.m_kind = Kind::Real;
    value.m_real = number;
    return value;
}

Value Value::real(double number, QByteArray printed)
{
    Value value = real(number);
    value.m_bytes = std::move(printed);
    return value;
}

Value Value::fromEditedText(const QString& text)
{
    return Value::text(encodeEditedText(text));
}

Value Value::storedValue(const QString& text)
{
    return text.isEmpty() ? Value() : fromEditedText(text);
}

QByteArray Value::bytes() const
{
    switch (m_kind) {
    case Kind::Null:
        return {};
    case Kind::Integer:
        return QByteArray::number(m_integer);
    case Kind::Real: {
        if (!m_bytes.isEmpty())
            return m_bytes;
        // As SQLite prints a REAL ("%!.15g"): 15 significant digits with a decimal point always in
        // the mantissa ("100.0", "1.0e+20"), and "Inf" for an infinity.
        if (std::isinf(m_real))
            return m_real > 0 ? "Inf" : "-Inf";
        QByteArray text = QByteArray::number(m_real, 'g', 15);
        if (std::isfinite(m_real) && !text.contains('.')) {
            const qsizetype exponent = text.indexOf('e');
            text.insert(exponent < 0 ? text.size() : exponent, ".0");
        }
        return text;
    }
    case Kind::Text:
    case Kind::Blob:
        return m_bytes;
    }
    return {};
}

qint64 Value::toInteger() const
{
    switch (m_kind) {
    case Kind::Integer:
        return m_integer;
    case Kind::Real:
        return qint64(m_real);
    case Kind::Text: {
        bool ok = false;
        const qint64 number = m_bytes.toLongLong(&ok);
        return ok ? number : 0;
    }
    default:
        return 0;
    }
}

double Value::toReal() const
{
    switch (m_kind) {
    case Kind::Integer:
        return double(m_integer);
    case Kind::Real:
        return m_real;
    case Kind::Text:
        return m_bytes.toDouble();
    default:
        return 0;
    }
}

QString Value::toText() const
{
    return decodeStoredText(bytes());
}

bool Value::isValidUtf8() const
{
    if (m_kind != Kind::Text && m_kind != Kind::Blob)
        return true;
    const auto* s = reinterpret_cast<const unsigned char*>(m_bytes.constData());
    for (qsizetype at = 0; at < m_bytes.size();) {
        char32_t code = 0;
        const int length = sequenceLength(s, at, m_bytes.size(), &code);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

bool operator==(const Value& a, const Value& b)
{
    if (a.m_kind != b.m_kind)
        return false;
    switch (a.m_kind) {
    case Value::Kind::Null:
        return true;
    case Value::Kind::Integer:
        return a.m_integer == b.m_integer;
    case Value::Kind::Real:
        return a.m_real == b.m_real || (std::isnan(a.m_real) && std::isnan(b.m_real));
    default:
        return a.m_bytes == b.m_bytes;
    }
}

QString Value::debugText() const
{
    static const char* const names[] = {"NULL", "integer", "real", "text", "blob"};
    if (m_kind == Kind::Null)
        return u"NULL"_s;
    return QString::fromLatin1(names[int(m_kind)]) + u" x'"_s + QString::fromLatin1(bytes().toHex()) + u"'"_s;
}

} // namespace vinzal
