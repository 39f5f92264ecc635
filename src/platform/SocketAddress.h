#pragma once

#include <QHostAddress>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>

namespace ks {

// The system's form of an address and port, in *out; its length.
inline int toSocketAddress(const QHostAddress& address, quint16 port, sockaddr_storage* out) {
    *out = {};
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* a = reinterpret_cast<sockaddr_in6*>(out);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::copy(bytes.c, bytes.c + 16, reinterpret_cast<quint8*>(&a->sin6_addr));
        a->sin6_scope_id = address.scopeId().toUInt();
        return int(sizeof *a);
    }
    auto* a = reinterpret_cast<sockaddr_in*>(out);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    a->sin_addr.s_addr = htonl(address.toIPv4Address());
    return int(sizeof *a);
}

} // namespace ks
