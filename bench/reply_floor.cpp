// The floor of this machine for the time service: the least a server can do for a request,
// with nothing else. It accepts a connection on port 6645, reads up to the first "}", closes
// it, connects to port 6646 of the requester, sends one reply frame and closes. One thread,
// blocking calls. bench/network points korvat-probe bench at it and at korvat-server alike.
// Usage: reply-floor SECONDS   (inside tests/netns-run only; it ends after SECONDS)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {
constexpr int RequestPort = 6645;
constexpr int ReplyPort = 6646;

void reply(const sockaddr_in& requester) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in to = requester;
    to.sin_port = htons(ReplyPort);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        const std::string frame = "{KORVAT0042" + std::to_string(std::time(nullptr)) + "}";
        (void)!::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
    }
    ::close(fd);
}
} // namespace

int main(int argc, char* argv[]) {
    if (!std::getenv("KS_IN_NETNS")) {
        std::fprintf(stderr, "reply-floor: only inside tests/netns-run\n");
        return 1;
    }
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const timeval wake{0, 200'000}; // looks at the clock at least this often
    ::setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(RequestPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1024) != 0) {
        std::perror("reply-floor: port 6645");
        return 1;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    long replies = 0;
    while (std::chrono::steady_clock::now() < end) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const int c = ::accept(listener, reinterpret_cast<sockaddr*>(&from), &length);
        if (c < 0) continue;
        char text[256];
        ssize_t got = 0, n;
        while (got < ssize_t(sizeof text) && (n = ::recv(c, text + got, sizeof text - size_t(got), 0)) > 0) {
            got += n;
            if (std::memchr(text, '}', size_t(got))) break;
        }
        ::close(c);
        if (got > 0 && std::memchr(text, '}', size_t(got))) {
            reply(from);
            ++replies;
        }
    }
    std::printf("reply-floor: %ld replies\n", replies);
    return 0;
}
