#include "platform/SocketAddress.h"
#include "platform/SystemClockCalls.h"
#include "platform/UdpPort.h"
#include "platform/win32/SystemMessage.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace ks {

// Windows gives no receive stamp on a plain socket: the reading at the read stands in, and
// the system picks the source address of an answer by its route.
std::unique_ptr<UdpPort> UdpPort::open(const QHostAddress& any, quint16 port, QString* error) {
    const bool v6 = any.protocol() == QAbstractSocket::IPv6Protocol;
    const SOCKET s = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        *error = systemMessage(static_cast<unsigned long>(WSAGetLastError()));
        return nullptr;
    }
    // Without it a second program could take the port over (W32Time, for one).
    BOOL on = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    if (v6) ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_storage address{};
    const int length = toSocketAddress(any, port, &address);
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        *error = systemMessage(static_cast<unsigned long>(WSAGetLastError()));
        ::closesocket(s);
        return nullptr;
    }
    return std::unique_ptr<UdpPort>(new UdpPort(qintptr(s)));
}

UdpPort::~UdpPort() { ::closesocket(SOCKET(socket_)); }

std::optional<UdpPort::Datagram> UdpPort::receive() {
    char buffer[1024];
    sockaddr_storage from{};
    int length = sizeof from;
    // WSAECONNRESET tells of an earlier answer that found no listener: on to the next.
    int n;
    do {
        n = ::recvfrom(SOCKET(socket_), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                       &length);
    } while (n < 0 && WSAGetLastError() == WSAECONNRESET);
    const qint64 now = readSystemClockNs();
    if (n < 0) return std::nullopt;
    Datagram d;
    d.bytes = QByteArray(buffer, n);
    d.from = QHostAddress(reinterpret_cast<sockaddr*>(&from));
    d.fromPort = ntohs(from.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&from)->sin6_port
                                                  : reinterpret_cast<sockaddr_in*>(&from)->sin_port);
    d.receivedNs = now;
    return d;
}

bool UdpPort::answer(const Datagram& to, const QByteArray& bytes, QString* error) {
    sockaddr_storage peer{};
    const int length = toSocketAddress(to.from, to.fromPort, &peer);
    const int n = ::sendto(SOCKET(socket_), bytes.constData(), int(bytes.size()), 0,
                           reinterpret_cast<sockaddr*>(&peer), length);
    if (n == bytes.size()) return true;
    *error = systemMessage(static_cast<unsigned long>(WSAGetLastError()));
    return false;
}

QByteArray likelyUdpPortHolder(quint16 port) {
    return port == 123 ? "W32Time (the Windows Time service)" : "another program";
}

} // namespace ks
