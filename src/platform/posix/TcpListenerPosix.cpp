#include "platform/TcpListener.h"

#include <QPointer>
#include <QSocketNotifier>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ks {

namespace {
// A read never takes more than this at once; the rest waits for the next notification.
constexpr int MaxReceive = 1 << 20;

QString systemMessage(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}
} // namespace

IncomingConnection::IncomingConnection(qintptr descriptor, QObject* parent)
    : QObject(parent), descriptor_(descriptor) {
    // Accepted blocking: a receive must never wait.
    ::fcntl(int(descriptor_), F_SETFL, ::fcntl(int(descriptor_), F_GETFL) | O_NONBLOCK);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getpeername(int(descriptor_), reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
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
    if (descriptor_ >= 0) ::close(int(descriptor_));
    descriptor_ = -1;
}

void IncomingConnection::readable() {
    if (descriptor_ < 0) return;
    if (notifier_) notifier_->setEnabled(true); // after leaveUnread: reading again
    int waiting = 0;
    if (::ioctl(int(descriptor_), FIONREAD, &waiting) != 0) waiting = 0;
    // With nothing waiting, one byte of room still tells data, end and failure apart.
    QByteArray text(std::clamp(waiting, 1, MaxReceive), Qt::Uninitialized);
    ssize_t n;
    // Looked at first, taken after: the receiver may leave part of it in the system.
    do {
        n = ::recv(int(descriptor_), text.data(), size_t(text.size()), MSG_PEEK);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        text.truncate(n);
        unread_ = 0;
        const QPointer<IncomingConnection> alive(this);
        emit received(text);
        if (!alive || descriptor_ < 0) return; // closed by the receiver
        const qsizetype taken = n - std::clamp<qsizetype>(unread_, 0, n);
        if (taken > 0) {
            // MSG_TRUNC drops the bytes without copying them again.
            while (::recv(int(descriptor_), nullptr, size_t(taken), MSG_TRUNC) < 0 &&
                   errno == EINTR) {
            }
        }
        if (unread_ > 0 && notifier_) notifier_->setEnabled(false);
    } else if (n == 0) {
        stopWatching();
        emit closedByPeer();
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        const int error = errno;
        stopWatching();
        emit failed(systemMessage(error));
    }
}

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
        *error = systemMessage(errno);
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
