#include "platform/SocketAddress.h"
#include "platform/SystemClockCalls.h"
#include "platform/UdpPort.h"
#include "platform/posix/Capability.h"

#include <QFile>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ks {

namespace {
QString systemMessage(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

qint64 nsOf(const timespec& ts) { return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec; }

// Privileged ports are below 1024 unless the system says otherwise.
quint16 firstUnprivilegedPort() {
    QFile f(QStringLiteral("/proc/sys/net/ipv4/ip_unprivileged_port_start"));
    return f.open(QIODevice::ReadOnly) ? quint16(f.readAll().trimmed().toUInt()) : 1024;
}
} // namespace

std::unique_ptr<UdpPort> UdpPort::open(const QHostAddress& any, quint16 port, QString* error) {
    const bool v6 = any.protocol() == QAbstractSocket::IPv6Protocol;
    const int s = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
        *error = systemMessage(errno);
        return nullptr;
    }
    const int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    if (v6) {
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        ::setsockopt(s, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
    } else {
        ::setsockopt(s, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    }
    sockaddr_storage address{};
    const auto length = socklen_t(toSocketAddress(any, port, &address));
    int rc;
    {
        std::optional<RaisedCapability> right;
        if (port < firstUnprivilegedPort()) right.emplace(CAP_NET_BIND_SERVICE);
        rc = ::bind(s, reinterpret_cast<sockaddr*>(&address), length);
    }
    if (rc != 0) {
        *error = systemMessage(errno);
        ::close(s);
        return nullptr;
    }
    return std::unique_ptr<UdpPort>(new UdpPort(s));
}

UdpPort::~UdpPort() { ::close(int(socket_)); }

std::optional<UdpPort::Datagram> UdpPort::receive() {
    char buffer[1024];
    sockaddr_storage from{};
    iovec io{buffer, sizeof buffer};
    alignas(cmsghdr) char control[256];
    msghdr m{};
    m.msg_name = &from;
    m.msg_namelen = sizeof from;
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(int(socket_), &m, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return std::nullopt; // nothing waits, or an ICMP error for an earlier answer
    Datagram d;
    d.bytes = QByteArray(buffer, qsizetype(n));
    d.from = QHostAddress(reinterpret_cast<sockaddr*>(&from));
    d.fromPort = ntohs(from.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&from)->sin6_port
                                                  : reinterpret_cast<sockaddr_in*>(&from)->sin_port);
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts{};
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            d.receivedNs = nsOf(ts);
        } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            d.to = QHostAddress(ntohl(info.ipi_addr.s_addr));
            d.toInterface = int(info.ipi_ifindex);
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            d.to = QHostAddress(info.ipi6_addr.s6_addr);
            d.toInterface = int(info.ipi6_ifindex);
        }
    }
    if (!d.receivedNs) d.receivedNs = readSystemClockNs();
    return d;
}

bool UdpPort::answer(const Datagram& to, const QByteArray& bytes, QString* error) {
    sockaddr_storage peer{};
    const auto length = socklen_t(toSocketAddress(to.from, to.fromPort, &peer));
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
    msghdr m{};
    iovec io{const_cast<char*>(bytes.constData()), size_t(bytes.size())};
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    // The source address: the one the request came to.
    const auto source = [&](int level, int type, const void* info, size_t size) {
        m.msg_control = control;
        m.msg_controllen = CMSG_SPACE(size);
        cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = level;
        c->cmsg_type = type;
        c->cmsg_len = CMSG_LEN(size);
        std::memcpy(CMSG_DATA(c), info, size);
    };
    if (to.to.protocol() == QAbstractSocket::IPv6Protocol) {
        in6_pktinfo info{};
        const Q_IPV6ADDR local = to.to.toIPv6Address();
        std::memcpy(&info.ipi6_addr, &local, 16);
        info.ipi6_ifindex = unsigned(to.toInterface);
        source(IPPROTO_IPV6, IPV6_PKTINFO, &info, sizeof info);
    } else if (!to.to.isNull()) {
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = htonl(to.to.toIPv4Address()); // the route picks the way
        source(IPPROTO_IP, IP_PKTINFO, &info, sizeof info);
    }
    m.msg_name = &peer;
    m.msg_namelen = length;
    ssize_t n;
    do {
        n = ::sendmsg(int(socket_), &m, 0);
    } while (n < 0 && errno == EINTR);
    if (n == bytes.size()) return true;
    *error = n < 0 ? systemMessage(errno) : QStringLiteral("sent in part");
    return false;
}

QByteArray likelyUdpPortHolder(quint16 port) { return port == 123 ? "chronyd or ntpd" : "another program"; }

} // namespace ks
