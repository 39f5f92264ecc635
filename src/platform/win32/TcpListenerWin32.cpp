#include "platform/SocketCalls.h"
#include "platform/TcpListener.h"
#include "platform/win32/SystemMessage.h"

#include <climits>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace ks {

bool TcpListener::listenAnyIPv4(quint16 port, int backlog, QString* error) {
    // Qt has started Winsock by now: QTcpServer's own construction does.
    const SOCKET fd = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (fd == INVALID_SOCKET) {
        *error = systemMessage(::WSAGetLastError());
        return false;
    }
    // Exclusive, as Qt's default bind is on Windows: no other program may take the port over.
    const BOOL on = TRUE;
    ::setsockopt(fd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    u_long nonBlocking = 1;
    ::ioctlsocket(fd, FIONBIO, &nonBlocking);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0) {
        const int code = ::WSAGetLastError();
        *error = systemMessage(code);
        if (code == WSAEADDRINUSE || code == WSAEACCES) // WSAEACCES: held exclusively
            *error +=
                QStringLiteral("; see which program holds it: netstat -ano -p tcp | findstr :%1").arg(port);
        ::closesocket(fd);
        return false;
    }
    if (!setSocketDescriptor(qintptr(fd))) {
        *error = errorString();
        ::closesocket(fd);
        return false;
    }
    return true;
}

} // namespace ks
