#include "book_notices.h"

#include "engine.h"

#include <QFileInfo>
#include <QList>
#include <QMutex>

#include <utility>

namespace vinzal::notices {
namespace {

struct Listeners
{
    QMutex mutex;
    int next = 0;
    QList<std::pair<int, Listener>> list;
};

Listeners& listeners()
{
    static Listeners all;
    return all;
}

} // namespace

int listen(Listener listener)
{
    Listeners& all = listeners();
    QMutexLocker lock(&all.mutex);
    all.list.append({++all.next, std::move(listener)});
    return all.next;
}

void stopListening(int token)
{
    Listeners& all = listeners();
    QMutexLocker lock(&all.mutex);
    all.list.removeIf([token](const auto& entry) { return entry.first == token; });
}

void written(const QString& book, const void* origin)
{
    // Called outside the lock, on a copy: a listener may stop listening, or write, in turn.
    Listeners& all = listeners();
    QList<std::pair<int, Listener>> copy;
    {
        QMutexLocker lock(&all.mutex);
        copy = all.list;
    }
    for (const auto& entry : std::as_const(copy))
        entry.second(book, origin);
}

bool sameBook(const QString& a, const QString& b)
{
    if (a == b)
        return true;
    if (isServerBook(a) || isServerBook(b))
        return false;
    const QFileInfo first(a), second(b);
    if (first.absoluteFilePath() == second.absoluteFilePath())
        return true;
    const QString canonical = first.canonicalFilePath();
    return !canonical.isEmpty() && canonical == second.canonicalFilePath();
}

} // namespace vinzal::notices
