// The sample node: a stand-in for the real node service, so that a fresh bundle has something to start,
// stop and query. Packagers replace it, together with manager.sh.
//
//   sample-node          answers GET /get_status on 127.0.0.1:8080 with {"state":1} until SIGTERM or SIGINT
//   sample-node probe    asks 127.0.0.1:8080 for its status once; exits 0 when a node answers, 1 when nothing
//                        listens there, 2 when something else does
//
// manager.sh uses the probe, as a minimal system has no curl.
//
// Plain POSIX sockets: the node must not depend on anything a minimal system lacks.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint16_t nodePort = 8080;
constexpr std::string_view statusPath = "/get_status";
constexpr std::string_view statusBody = R"({"state":1})";

// Connections are served one at a time, so each one gets a bounded share of the node's time: a client that
// connects and stays silent is dropped after this, and everyone else waits at most that long.
constexpr auto connectionBudget = 2s;
// After answering, how long the client gets to read the reply and close before the node closes anyway.
constexpr auto lingerBudget = 500ms;
constexpr std::size_t maxHeaderBytes = 8192;
constexpr std::size_t maxProbeReplyBytes = 65536;

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) {
    stopRequested = 1;
}

void logLine(const std::string& text) {
    const std::string line = "sample-node: " + text + "\n";
    // One write per line, so that a line in the log is never split.
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
}

std::string errorText(int error) {
    return std::strerror(error);
}

sockaddr_in nodeAddress() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(nodePort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Waits until fd is ready for events or the deadline passes. False on time-out or error.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= 0ms)
            return false;
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, int(left.count()));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

bool sendAll(int fd, std::string_view data, Clock::time_point deadline) {
    while (!data.empty()) {
        if (!waitFor(fd, POLLOUT, deadline))
            return false;
        const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return false;
        }
        data.remove_prefix(std::size_t(sent));
    }
    return true;
}

// Reads what is there into buffer, waiting for it until the deadline. The number of bytes read, 0 when the
// peer has closed, -1 on time-out or error.
ssize_t receiveSome(int fd, std::string& buffer, Clock::time_point deadline) {
    char chunk[4096];
    for (;;) {
        if (!waitFor(fd, POLLIN, deadline))
            return -1;
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got >= 0) {
            buffer.append(chunk, std::size_t(got));
            return got;
        }
        if (errno != EINTR && errno != EAGAIN)
            return -1;
    }
}

std::string reply(std::string_view status, std::string_view contentType, std::string_view body,
                  std::string_view extraHeaders = {}) {
    std::string text = "HTTP/1.1 ";
    text += status;
    text += "\r\nContent-Type: ";
    text += contentType;
    text += "\r\nContent-Length: ";
    text += std::to_string(body.size());
    text += "\r\nConnection: close\r\n";
    text += extraHeaders;
    text += "\r\n";
    text += body;
    return text;
}

std::string replyFor(std::string_view header) {
    const std::string_view requestLine = header.substr(0, header.find("\r\n"));
    const std::size_t firstBlank = requestLine.find(' ');
    const std::size_t secondBlank =
        firstBlank == std::string_view::npos ? firstBlank : requestLine.find(' ', firstBlank + 1);
    if (secondBlank == std::string_view::npos || !requestLine.substr(secondBlank + 1).starts_with("HTTP/1."))
        return reply("400 Bad Request", "text/plain", "bad request\n");

    const std::string_view method = requestLine.substr(0, firstBlank);
    const std::string_view target = requestLine.substr(firstBlank + 1, secondBlank - firstBlank - 1);
    const std::string_view path = target.substr(0, target.find('?'));
    if (path != statusPath)
        return reply("404 Not Found", "text/plain", "not found\n");
    if (method != "GET")
        return reply("405 Method Not Allowed", "text/plain", "method not allowed\n", "Allow: GET\r\n");
    return reply("200 OK", "application/json", statusBody);
}

// Reads one request, answers it and lets the client go. A client that sends nothing complete in time is
// dropped without an answer.
void serveConnection(int fd) {
    const auto deadline = Clock::now() + connectionBudget;
    std::string header;
    while (header.find("\r\n\r\n") == std::string::npos && header.size() < maxHeaderBytes) {
        if (receiveSome(fd, header, deadline) <= 0)
            return;
    }
    const std::string answer =
        header.find("\r\n\r\n") != std::string::npos
            ? replyFor(header)
            : reply("431 Request Header Fields Too Large", "text/plain", "too large\n");
    if (!sendAll(fd, answer, deadline))
        return;

    // Closing with unread request bytes would reset the connection and could destroy the reply before the
    // client has read it; so say we are done and drain until the client closes too.
    ::shutdown(fd, SHUT_WR);
    const auto lingerDeadline = Clock::now() + lingerBudget;
    std::string ignored;
    while (receiveSome(fd, ignored, lingerDeadline) > 0)
        ignored.clear();
}

int serve() {
    // SIGTERM and SIGINT stay blocked except while the node waits for a connection, so a stop request never
    // slips in between checking the flag and starting to wait. A connection in progress finishes first; it
    // is bounded by connectionBudget.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigset_t waitMask;
    ::sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);

    struct sigaction onStop {};
    onStop.sa_handler = requestStop;
    sigemptyset(&onStop.sa_mask);
    ::sigaction(SIGTERM, &onStop, nullptr);
    ::sigaction(SIGINT, &onStop, nullptr);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener < 0) {
        logLine("cannot create a socket: " + errorText(errno));
        return 1;
    }
    // A node restarted right after a stop must not be refused the port for its predecessor's closed
    // connections. This never lets two listeners share the port.
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = nodeAddress();
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 16) != 0) {
        logLine("cannot listen on 127.0.0.1:" + std::to_string(nodePort) + ": " + errorText(errno));
        ::close(listener);
        return 1;
    }
    logLine("listening on 127.0.0.1:" + std::to_string(nodePort) + ", pid " + std::to_string(::getpid()));

    while (!stopRequested) {
        pollfd entry{listener, POLLIN, 0};
        const int ready = ::ppoll(&entry, 1, nullptr, &waitMask);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            logLine("cannot wait for connections: " + errorText(errno));
            ::close(listener);
            return 1;
        }
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0)
            continue; // the client gave up before the node got to it
        serveConnection(client);
        ::close(client);
    }
    ::close(listener);
    logLine("stopped");
    return 0;
}

int probe() {
    constexpr int answering = 0;
    constexpr int nothingListens = 1;
    constexpr int somethingElse = 2;

    const auto deadline = Clock::now() + connectionBudget;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return somethingElse;
    const sockaddr_in address = nodeAddress();
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        if (error == EINPROGRESS) {
            socklen_t size = sizeof error;
            error = ETIMEDOUT;
            if (waitFor(fd, POLLOUT, deadline))
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
        }
        if (error != 0) {
            ::close(fd);
            return error == ECONNREFUSED ? nothingListens : somethingElse;
        }
    }

    const std::string request = "GET " + std::string(statusPath) +
                                " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(nodePort) +
                                "\r\nConnection: close\r\n\r\n";
    // The node closes after its reply, so a whole reply is one that ends with the connection.
    std::string answer;
    bool whole = sendAll(fd, request, deadline);
    while (whole && answer.size() <= maxProbeReplyBytes) {
        const ssize_t got = receiveSome(fd, answer, deadline);
        if (got <= 0) {
            whole = got == 0;
            break;
        }
    }
    ::close(fd);
    const std::size_t bodyStart = answer.find("\r\n\r\n");
    const bool isNode = whole && answer.starts_with("HTTP/1.1 200 ") && bodyStart != std::string::npos &&
                        std::string_view(answer).substr(bodyStart + 4) == statusBody;
    return isNode ? answering : somethingElse;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 1)
        return serve();
    if (argc == 2 && std::string_view(argv[1]) == "probe")
        return probe();
    logLine("usage: sample-node [probe]");
    return 64;
}
