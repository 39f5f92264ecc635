#include "platform/SocketCalls.h"
#include "platform/TcpListener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ks {

namespace {
QString systemMessage(int error) { return QString::fromLocal8Bit(std::strerror(error)); }
} // namespace

namespace socketcalls {

void raiseSocketLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit); // failing, the old limit stays: fewer can wait
    }
}

void setNonBlocking(qintptr socket) {
    ::fcntl(int(socket), F_SETFL, ::fcntl(int(socket), F_GETFL) | O_NONBLOCK);
}

QHostAddress peerIPv4(qintptr socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getpeername(int(socket), reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        address.sin_family == AF_INET)
        return QHostAddress(ntohl(address.sin_addr.s_addr));
    return {};
}

void closeSocket(qintptr socket) { ::close(int(socket)); }

qint64 sendNow(qintptr socket, const char* data, qint64 size, QString* error) {
    const ssize_t n = ::send(int(socket), data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) *error = systemMessage(errno);
    return n;
}

qint64 bytesWaiting(qintptr socket) {
    int waiting = 0;
    return ::ioctl(int(socket), FIONREAD, &waiting) == 0 ? waiting : 0;
}

Peek peek(qintptr socket, char* data, qint64 size, qint64* count, QString* error) {
    ssize_t n;
    do {
        n = ::recv(int(socket), data, size_t(size), MSG_PEEK);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        *count = n;
        return Peek::Data;
    }
    if (n == 0) return Peek::Closed;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Peek::Nothing;
    *error = systemMessage(errno);
    return Peek::Failed;
}

void discard(qintptr socket, qint64 count) {
    // MSG_TRUNC drops the bytes without copying them again.
    while (::recv(int(socket), nullptr, size_t(count), MSG_TRUNC) < 0 && errno == EINTR) {
    }
}

} // namespace socketcalls

bool TcpListener::listenAnyIPv4(quint16 port, int backlog, QString* error) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = systemMessage(errno);
        return false;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on,
                 sizeof on); // as Qt does: no wait after a restart
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0) {
        const int code = errno;
        *error = systemMessage(code);
        if (code == EADDRINUSE)
            *error += QStringLiteral("; see which program holds it: ss -ltnp 'sport = :%1'").arg(port);
        ::close(fd);
        return false;
    }
    if (!setSocketDescriptor(fd)) {
        *error = errorString();
        ::close(fd);
        return false;
    }
    return true;
}

} // namespace ks
