#include "platform/logbook.h"

#include <QMutex>

#include <vector>

namespace {

QMutex mutex;
// Slot n % capacity holds line n once the ring has gone round.
std::vector<LogBook::Line> ring;
qint64 written = 0;
bool told = false;
std::function<void()> listener;

} // namespace

void LogBook::append(const QString& stamp, const QString& text) {
    std::function<void()> tell;
    {
        QMutexLocker lock(&mutex);
        Line line{written++, stamp, text};
        if (qsizetype(ring.size()) < capacity)
            ring.push_back(std::move(line));
        else
            ring[line.number % capacity] = std::move(line);
        if (listener && !std::exchange(told, true))
            tell = listener;
    }
    if (tell)
        tell();
}

LogBook::Page LogBook::since(qint64 number) {
    QMutexLocker lock(&mutex);
    told = false;
    Page page{{}, written};
    const qint64 first = std::max(number, written - qint64(ring.size()));
    page.lines.reserve(written - std::min(first, written));
    for (qint64 n = first; n < written; ++n)
        page.lines.append(ring[n % capacity]);
    return page;
}

void LogBook::setListener(std::function<void()> replacement) {
    QMutexLocker lock(&mutex);
    listener = std::move(replacement);
    told = false;
}
