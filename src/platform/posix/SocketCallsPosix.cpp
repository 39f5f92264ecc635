#include "platform/SocketCalls.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
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

void stampArrivals(qintptr socket) {
    const int on = 1;
    ::setsockopt(int(socket), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

Received receiveStamped(qintptr socket, char* data, qint64 size, qint64* count, qint64* stampNs) {
    iovec buffer{data, size_t(size)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(int(socket), &message, MSG_DONTWAIT);
    if (n == 0) return Received::Closed;
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Received::Nothing
                                                                         : Received::Failed;
    *count = n;
    *stampNs = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        *stampNs = qint64(stamp.tv_sec) * 1'000'000'000 + stamp.tv_nsec;
    }
    return Received::Data;
}

} // namespace socketcalls

} // namespace ks
