#include "platform/sessionbus.h"

#include <QByteArrayList>
#include <QDBusConnection>
#include <QFile>

#include <condition_variable>
#include <mutex>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Never destroyed: the connecting thread may still wait on the bus when the process ends.
struct Connection {
    std::mutex mutex;
    std::condition_variable settled;
    SessionBusState state = SessionBusState::Connecting;
    bool started = false, late = false;
};

Connection& connection() {
    static auto* const instance = new Connection;
    return *instance;
}

// The local socket the session bus listens on: the first unix: entry of its address, as the bus library
// reads it (path= or abstract=, values percent-escaped), or where it looks without one. Empty when there
// is none to probe.
QByteArray busSocket(bool& abstract) {
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (address.isEmpty()) {
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        abstract = false;
        return runtime.isEmpty() || !QFile::exists(QFile::decodeName(runtime + "/bus")) ? QByteArray()
                                                                                        : runtime + "/bus";
    }
    for (const QByteArray& entry : address.split(';')) {
        if (!entry.startsWith("unix:"))
            continue;
        for (const QByteArray& pair : entry.mid(5).split(',')) {
            abstract = pair.startsWith("abstract=");
            if (abstract || pair.startsWith("path="))
                return QByteArray::fromPercentEncoding(pair.mid(pair.indexOf('=') + 1));
        }
    }
    return {};
}

// Waits for the socket to be ready for events, until the deadline; false when it is not by then.
bool ready(int socket, short events, QDeadlineTimer deadline) {
    pollfd wait{socket, events, 0};
    int result = 0;
    do
        result = ::poll(&wait, 1, int(std::max<qint64>(0, deadline.remainingTime())));
    while (result < 0 && errno == EINTR);
    return result > 0;
}

} // namespace

SessionBusState waitForSessionBus(QDeadlineTimer deadline) {
    Connection& bus = connection();
    std::unique_lock lock(bus.mutex);
    if (!std::exchange(bus.started, true))
        std::thread([&bus] {
            const bool connected = QDBusConnection::sessionBus().isConnected();
            const std::lock_guard lock(bus.mutex);
            bus.state = connected ? SessionBusState::Connected : SessionBusState::Absent;
            bus.settled.notify_all();
        }).detach();
    if (!bus.late && !bus.settled.wait_for(lock, std::chrono::milliseconds(deadline.remainingTime()),
                                           [&bus] { return bus.state != SessionBusState::Connecting; }))
        bus.late = true;
    return bus.state;
}

bool sessionBusHangs(QDeadlineTimer deadline) {
    bool abstract = false;
    const QByteArray path = busSocket(abstract);
    sockaddr_un address{};
    if (path.isEmpty() || path.size() + 1 > qsizetype(sizeof address.sun_path))
        return false;
    address.sun_family = AF_UNIX;
    std::copy(path.begin(), path.end(), address.sun_path + (abstract ? 1 : 0));
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + path.size() + (abstract ? 1 : 0));
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket < 0)
        return false;
    // A client's first words: a null byte, then its wish to authenticate as its own user, in hexadecimal.
    const QByteArray hello =
        QByteArray(1, '\0') + "AUTH EXTERNAL " + QByteArray::number(::geteuid()).toHex() + "\r\n";
    bool hangs = false;
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), length) == 0 || errno == EINPROGRESS ||
        errno == EAGAIN) {
        // Only silence counts: a bus that answers anything, refuses or breaks off fails fast by itself.
        if (!ready(socket, POLLOUT, deadline))
            hangs = true;
        else if (::send(socket, hello.constData(), size_t(hello.size()), MSG_NOSIGNAL) == hello.size())
            hangs = !ready(socket, POLLIN, deadline);
    }
    ::close(socket);
    return hangs;
}
