#include "platform/TcpListener.h"

#include "platform/win32/SystemMessage.h"

#include <QSocketNotifier>

#include <algorithm>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace ks {

namespace {
// A read never takes more than this at once; the rest waits for the next notification.
constexpr int MaxReceive = 1 << 20;


SOCKET socketOf(qintptr descriptor) { return SOCKET(descriptor); }
} // namespace

IncomingConnection::IncomingConnection(qintptr descriptor, QObject* parent)
    : QObject(parent), descriptor_(descriptor) {
    // Accepted blocking: a receive must never wait.
    u_long nonBlocking = 1;
    ::ioctlsocket(socketOf(descriptor_), FIONBIO, &nonBlocking);
    sockaddr_in address{};
    int length = sizeof address;
    if (::getpeername(socketOf(descriptor_), reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        address.sin_family == AF_INET)
        peer_ = QHostAddress(ntohl(address.sin_addr.s_addr));
    notifier_ = new QSocketNotifier(descriptor_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &IncomingConnection::readable);
}

IncomingConnection::~IncomingConnection() {
    close();
}

void IncomingConnection::stopWatching() {
    if (notifier_) notifier_->setEnabled(false);
}

void IncomingConnection::close() {
    stopWatching();
    delete notifier_;
    notifier_ = nullptr;
    if (descriptor_ >= 0) ::closesocket(socketOf(descriptor_));
    descriptor_ = -1;
}

void IncomingConnection::readable() {
    u_long waiting = 0;
    if (::ioctlsocket(socketOf(descriptor_), FIONREAD, &waiting) != 0) waiting = 0;
    // With nothing waiting, one byte of room still tells data, end and failure apart.
    QByteArray text(std::clamp(int(std::min<u_long>(waiting, MaxReceive)), 1, MaxReceive), Qt::Uninitialized);
    const int n = ::recv(socketOf(descriptor_), text.data(), int(text.size()), 0);
    if (n > 0) {
        text.truncate(n);
        emit received(text);
    } else if (n == 0) {
        stopWatching();
        emit closedByPeer();
    } else if (const int error = ::WSAGetLastError(); error != WSAEWOULDBLOCK) {
        stopWatching();
        emit failed(systemMessage(error));
    }
}

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
        *error = systemMessage(::WSAGetLastError());
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
