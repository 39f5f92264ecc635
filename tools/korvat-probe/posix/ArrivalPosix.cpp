#include "Arrival.h"
#include "Probe.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace probe::arrival {

void prepare(qintptr socket) {
    const int on = 1;
    ::setsockopt(int(socket), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

QHostAddress peerAddress(qintptr socket) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(int(socket), reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sin_family != AF_INET)
        return {};
    return QHostAddress(ntohl(peer.sin_addr.s_addr));
}

void closeSocket(qintptr socket) { ::close(int(socket)); }

Outcome receive(qintptr socket, char* data, qint64 size, qint64* count, qint64* arrivalNs) {
    iovec buffer{data, size_t(size)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(int(socket), &message, MSG_DONTWAIT);
    if (n == 0) return Outcome::Closed;
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Outcome::Nothing : Outcome::Failed;
    *count = n;
    const qint64 readNs = monoNs();
    *arrivalNs = readNs;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        // The stamp reads the system clock: how long ago it was, on the probe's own scale.
        const qint64 agoNs =
            (qint64(now.tv_sec) - stamp.tv_sec) * 1'000'000'000 + (now.tv_nsec - stamp.tv_nsec);
        if (agoNs >= 0) *arrivalNs = readNs - agoNs;
    }
    return Outcome::Data;
}

} // namespace probe::arrival
