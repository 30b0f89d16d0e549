// A node that takes its time: it listens on 127.0.0.1:8080 only a second after it starts, and ends a second
// after it is asked to stop, answering as the node does meanwhile. manager.sh must wait for both.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void endLate(int) {
    ::sleep(1);
    ::_exit(0);
}

} // namespace

int main() {
    std::signal(SIGTERM, endLate);
    ::sleep(1);
    const int server = ::socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    ::setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(8080);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(server, 8) != 0)
        return 1;
    const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 11\r\nConnection: close\r\n\r\n{\"state\":1}";
    for (;;) {
        const int client = ::accept(server, nullptr, nullptr);
        // The whole request head first: closing on unread bytes would reset the connection.
        std::string request;
        char part[512];
        ssize_t got = 1;
        while (client >= 0 && got > 0 && request.find("\r\n\r\n") == std::string::npos)
            if ((got = ::read(client, part, sizeof part)) > 0)
                request.append(part, size_t(got));
        if (client >= 0 && got > 0 && ::write(client, reply, sizeof reply - 1) < 0)
            std::perror("slow node");
        ::close(client);
    }
}
