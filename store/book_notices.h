#pragma once

#include <QString>

#include <functional>

// Every write this program makes to a book, told to whoever shows that book. The windows do not tell
// each other what they wrote: the write itself does, once it is committed, so that a window hears of
// a merge made in a dialog, or an import made by another window, as surely as of its own edits.
namespace vinzal::notices {

// `book` is the book as Connection::path() has it (a file's absolute path, or the server book as
// given); `origin` the Connection that wrote, so that a window can tell its own writes, which it has
// already shown, from others'. Called on the writer's thread, after the commit.
using Listener = std::function<void(const QString& book, const void* origin)>;

// Returns a token for stopListening().
int listen(Listener listener);
void stopListening(int token);

void written(const QString& book, const void* origin);

// Whether two names of a book name the same one: a file's relative and absolute paths, or a link and
// its target, are one book.
bool sameBook(const QString& a, const QString& b);

} // namespace vinzal::notices
