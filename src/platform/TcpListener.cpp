#include "platform/TcpListener.h"

#include "platform/SocketCalls.h"

#include <QPointer>
#include <QSocketNotifier>

#include <algorithm>

namespace ks {

namespace {
// A read never takes more than this at once; the rest waits for the next notification.
constexpr qint64 MaxReceive = 1 << 20;
} // namespace

IncomingConnection::IncomingConnection(qintptr descriptor, QObject* parent)
    : QObject(parent), descriptor_(descriptor) {
    // Accepted blocking: a receive must never wait.
    socketcalls::setNonBlocking(descriptor_);
    peer_ = socketcalls::peerIPv4(descriptor_);
    notifier_ = new QSocketNotifier(descriptor_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &IncomingConnection::readable);
}

IncomingConnection::~IncomingConnection() { close(); }

void IncomingConnection::stopWatching() {
    if (notifier_) notifier_->setEnabled(false);
}

void IncomingConnection::close() {
    stopWatching();
    delete notifier_;
    notifier_ = nullptr;
    if (descriptor_ >= 0) socketcalls::closeSocket(descriptor_);
    descriptor_ = -1;
}

void IncomingConnection::readable() {
    if (descriptor_ < 0) return;
    if (notifier_) notifier_->setEnabled(true); // after leaveUnread: reading again
    // With nothing waiting, one byte of room still tells data, end and failure apart.
    QByteArray text(std::clamp<qint64>(socketcalls::bytesWaiting(descriptor_), 1, MaxReceive),
                    Qt::Uninitialized);
    qint64 n = 0;
    QString error;
    // Looked at first, taken after: the receiver may leave part of it in the system.
    switch (socketcalls::peek(descriptor_, text.data(), text.size(), &n, &error)) {
    case socketcalls::Peek::Data: {
        text.truncate(n);
        unread_ = 0;
        const QPointer<IncomingConnection> alive(this);
        emit received(text);
        if (!alive || descriptor_ < 0) return; // closed by the receiver
        const qint64 taken = n - std::clamp<qint64>(unread_, 0, n);
        if (taken > 0) socketcalls::discard(descriptor_, taken);
        if (unread_ > 0 && notifier_) notifier_->setEnabled(false);
        break;
    }
    case socketcalls::Peek::Closed:
        stopWatching();
        emit closedByPeer();
        break;
    case socketcalls::Peek::Failed:
        stopWatching();
        emit failed(error);
        break;
    case socketcalls::Peek::Nothing: break;
    }
}

void TcpListener::setAccepting(bool on) {
    // With no room for pending connections QTcpServer stops taking them, also in the middle
    // of a burst it is taking; the default room is 30, and this class never uses it.
    setMaxPendingConnections(on ? 30 : 0);
    if (on) resumeAccepting();
}

void TcpListener::incomingConnection(qintptr descriptor) {
    emit accepted(new IncomingConnection(descriptor, this));
}

} // namespace ks
