#include "app/ReplyConnection.h"
#include "platform/SocketCalls.h"

#include <QTcpSocket>
#include <QTimer>

namespace ks {

ReplyConnection::ReplyConnection(QObject* parent)
    : QObject(parent), socket_(new QTcpSocket(this)), limit_(new QTimer(this)) {
    limit_->setSingleShot(true);
    limit_->setTimerType(Qt::PreciseTimer); // never before the 5 s are up
    limit_->setInterval(ConnectTimeoutMs);
    connect(limit_, &QTimer::timeout, this, [this] {
        socket_->abort();
        phase_ = Phase::Ended;
        emit failed(QStringLiteral("not accepted within 5 s"));
    });
    connect(socket_, &QTcpSocket::connected, this, [this] {
        limit_->stop();
        const bool inCall = phase_ == Phase::Opening;
        phase_ = Phase::Connected;
        if (!inCall) emit connected();
    });
    connect(socket_, &QTcpSocket::errorOccurred, this, &ReplyConnection::onError);
}

ReplyConnection::Opened ReplyConnection::open(const QHostAddress& address) {
    address_ = address;
    phase_ = Phase::Opening;
    limit_->start();
    socket_->connectToHost(address, ReplyPort, QIODevice::ReadWrite | QIODevice::Unbuffered);
    switch (phase_) {
    case Phase::Ended: return Opened::Failed;
    case Phase::Connected: return Opened::Up; // as a local address may be
    default: phase_ = Phase::Connecting; return Opened::Pending;
    }
}

void ReplyConnection::onError() {
    switch (phase_) {
    case Phase::Opening: // the connect call itself failed: open() tells
        limit_->stop();
        socket_->abort();
        phase_ = Phase::Ended;
        return;
    case Phase::Ended: return;
    default: break;
    }
    limit_->stop();
    emit failed(socket_->errorString());
}

bool ReplyConnection::settle() {
    if (phase_ != Phase::Connecting || socket_->state() != QAbstractSocket::ConnectingState ||
        socketcalls::peerIPv4(socket_->socketDescriptor()).isNull())
        return false;
    socket_->waitForConnected(1); // writable already: this does not wait
    return true;
}

bool ReplyConnection::write(const QByteArray& bytes) {
    // Past the socket's own bookkeeping, straight to the system: it is sent at once, not from
    // the event loop.
    QString error;
    const qint64 sent = socketcalls::sendNow(descriptor(), bytes.constData(), bytes.size(), &error);
    return wrote(bytes, sent, error);
}

qintptr ReplyConnection::descriptor() const { return socket_->socketDescriptor(); }

bool ReplyConnection::wrote(const QByteArray& bytes, qint64 sent, const QString& error) {
    if (sent < 0) {
        error_ = error;
        phase_ = Phase::WriteFailed;
        return false;
    }
    if (sent < bytes.size()) socket_->write(bytes.mid(sent)); // the rest once the system takes it
    return true;
}

QString ReplyConnection::errorString() const { return error_.isEmpty() ? socket_->errorString() : error_; }

void ReplyConnection::end(bool written) {
    limit_->stop();
    phase_ = Phase::Ended;
    disconnect(); // nothing more of it reaches its owner
    socket_->disconnect(this);
    connect(socket_, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    if (written) socket_->disconnectFromHost();
    else socket_->abort();
    if (socket_->state() == QAbstractSocket::UnconnectedState) deleteLater();
}

} // namespace ks
