#pragma once

#include <QByteArrayView>
#include <QString>

// The checks and decoders the CSV and vCard readers share.
namespace vinzal::text {

// The offset of the first byte that does not belong to well-formed UTF-8 (overlong forms, UTF-16
// surrogates and code points past U+10FFFF included), or -1 when all of `bytes` is UTF-8.
qsizetype firstInvalidUtf8(QByteArrayView bytes);

// The first line of `text`, up to the first CR LF, LF or lone CR (or the whole text).
QString firstLine(const QString& text);

// The number of the line (from 1) that holds the byte at `offset`; lines end at CR LF, LF or a
// lone CR.
int lineOfOffset(QByteArrayView bytes, qsizetype offset);

// The line of the file for line `line` of a CSV piece that repeats the file's header row before the
// `linesBefore` lines it skips (csv::read).
inline int afterHeader(int line, int linesBefore)
{
    return line > 1 ? line + linesBefore : line;
}

// Windows-1252 as browsers read it: the five bytes the code page leaves undefined become the C1
// controls of the same value, so no byte is ever lost.
QString fromWindows1252(QByteArrayView bytes);

} // namespace vinzal::text
