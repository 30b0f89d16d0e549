// A node that takes its time: it listens on 127.0.0.1:8080 only a second after it starts, and ends a second
// after it is asked to stop, answering as the node does meanwhile. manager.sh must wait for both.
#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

int main() {
    std::signal(SIGTERM, [](int) { ::sleep(1), ::_exit(0); });
    ::sleep(1);
    const int server = ::socket(AF_INET, SOCK_STREAM, 0), yes = 1;
    ::setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const sockaddr_in address{
        .sin_family = AF_INET, .sin_port = htons(8080), .sin_addr = {htonl(INADDR_LOOPBACK)}};
    if (::bind(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(server, 8) != 0)
        return 1;
    const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 11\r\nConnection: close\r\n\r\n{\"state\":1}";
    for (;;) {
        const int client = ::accept(server, nullptr, nullptr);
        // The whole request head first: closing on unread bytes would reset the connection.
        std::string request;
        char part[512];
        ssize_t got = 1;
        while (got > 0 && request.find("\r\n\r\n") == std::string::npos)
            request.append(part, size_t(std::max<ssize_t>(0, got = ::read(client, part, sizeof part))));
        if (got > 0 && ::write(client, reply, sizeof reply - 1) < 0)
            std::perror("slow node");
        ::close(client);
    }
}
