#include "Arrival.h"
#include "Probe.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace probe::arrival {

// Windows stamps no TCP segment: the moment of reading stands in.
void prepare(qintptr socket) {
    u_long nonBlocking = 1;
    ::ioctlsocket(SOCKET(socket), FIONBIO, &nonBlocking);
}

QHostAddress peerAddress(qintptr socket) {
    sockaddr_in peer{};
    int length = sizeof peer;
    if (::getpeername(SOCKET(socket), reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sin_family != AF_INET)
        return {};
    return QHostAddress(ntohl(peer.sin_addr.s_addr));
}

void closeSocket(qintptr socket) { ::closesocket(SOCKET(socket)); }

Outcome receive(qintptr socket, char* data, qint64 size, qint64* count, qint64* arrivalNs) {
    const int n = ::recv(SOCKET(socket), data, int(size), 0);
    if (n == 0) return Outcome::Closed;
    if (n < 0) return ::WSAGetLastError() == WSAEWOULDBLOCK ? Outcome::Nothing : Outcome::Failed;
    *count = n;
    *arrivalNs = monoNs();
    return Outcome::Data;
}

} // namespace probe::arrival
