#include "platform/SocketCalls.h"
#include "platform/win32/SystemMessage.h"

#include <climits>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace ks {

namespace {
SOCKET socketOf(qintptr descriptor) { return SOCKET(descriptor); }
} // namespace

namespace socketcalls {

// Windows sets no such limit on sockets.
void raiseSocketLimit() {}

void setNonBlocking(qintptr socket) {
    u_long nonBlocking = 1;
    ::ioctlsocket(socketOf(socket), FIONBIO, &nonBlocking);
}

QHostAddress peerIPv4(qintptr socket) {
    sockaddr_in address{};
    int length = sizeof address;
    if (::getpeername(socketOf(socket), reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        address.sin_family == AF_INET)
        return QHostAddress(ntohl(address.sin_addr.s_addr));
    return {};
}

void closeSocket(qintptr socket) { ::closesocket(socketOf(socket)); }

qint64 sendNow(qintptr socket, const char* data, qint64 size, QString* error) {
    const int n = ::send(socketOf(socket), data, int(qMin<qint64>(size, INT_MAX)), 0);
    if (n < 0) *error = systemMessage(::WSAGetLastError());
    return n;
}

qint64 bytesWaiting(qintptr socket) {
    u_long waiting = 0;
    return ::ioctlsocket(socketOf(socket), FIONREAD, &waiting) == 0 ? qint64(waiting) : 0;
}

Peek peek(qintptr socket, char* data, qint64 size, qint64* count, QString* error) {
    const int n = ::recv(socketOf(socket), data, int(qMin<qint64>(size, INT_MAX)), MSG_PEEK);
    if (n > 0) {
        *count = n;
        return Peek::Data;
    }
    if (n == 0) return Peek::Closed;
    const int code = ::WSAGetLastError();
    if (code == WSAEWOULDBLOCK) return Peek::Nothing;
    *error = systemMessage(code);
    return Peek::Failed;
}

void discard(qintptr socket, qint64 count) {
    // Winsock has no MSG_TRUNC: the bytes are read into a scratch buffer.
    char scratch[4096];
    while (count > 0) {
        const int n = ::recv(socketOf(socket), scratch, int(qMin<qint64>(count, sizeof scratch)), 0);
        if (n <= 0) return;
        count -= n;
    }
}

// Windows stamps no TCP segment: the moment of reading stands in.
void stampArrivals(qintptr socket) { setNonBlocking(socket); }

Received receiveStamped(qintptr socket, char* data, qint64 size, qint64* count, qint64* stampNs) {
    const int n = ::recv(socketOf(socket), data, int(qMin<qint64>(size, INT_MAX)), 0);
    if (n == 0) return Received::Closed;
    if (n < 0) return ::WSAGetLastError() == WSAEWOULDBLOCK ? Received::Nothing : Received::Failed;
    *count = n;
    *stampNs = 0;
    return Received::Data;
}

} // namespace socketcalls

} // namespace ks
