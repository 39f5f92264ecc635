// AnnounceState, the network-presence watch and the shutdown datagram.
#include "app/Server.h"
#include "log/LogModel.h"
#include "platform/NetworkPresence.h"
#include "protocol/Replies.h"

#include <QTimer>
#include <QUdpSocket>

namespace ks {

namespace {
const QHostAddress Group(QStringLiteral("224.0.0.1"));
constexpr quint16 AnnouncePort = 6649;

// One socket per datagram, so nothing stays bound between announcements.
bool sendAnnouncement(const QByteArray& message, QString* error) {
    QUdpSocket socket;
    if (!socket.bind(QHostAddress::AnyIPv4, 0)) {
        *error = socket.errorString();
        return false;
    }
    socket.setSocketOption(QAbstractSocket::MulticastTtlOption, 1);
    socket.setSocketOption(QAbstractSocket::MulticastLoopbackOption, 1);
    if (socket.writeDatagram(message, Group, AnnouncePort) != message.size()) {
        *error = socket.errorString();
        return false;
    }
    return true;
}
} // namespace

void Server::StartNetworkWatch() {
    // Polled on this thread; the first look is taken at once rather than half a second in.
    NetworkPresent = hasNetworkAddress();
    IdIPWatch1 = new QTimer(this);
    IdIPWatch1->setInterval(500);
    connect(IdIPWatch1, &QTimer::timeout, this, [this] { NetworkPresent = hasNetworkAddress(); });
    IdIPWatch1->start();
}

void Server::AnnounceState(const QByteArray& message) {
    if (!NetworkPresent) {
        if (ShowDebug())
            AddLogEntry(LogAlert, "Offline", "State Change Not Broadcast - " + message,
                        EntryKind::Diagnostic);
        return;
    }
    QString error;
    if (sendAnnouncement(message, &error)) {
        if (ShowDebug())
            AddLogEntry(LogSuccess, "Online", "Broadcasting State Change - " + message,
                        EntryKind::Diagnostic);
    } else if (ShowDebug()) {
        AddLogEntry(LogAlert, "Offline",
                    "State Change Not Broadcast - " + message + ": " + error.toLocal8Bit(),
                    EntryKind::Diagnostic);
    }
}

void Server::AnnounceShutdown() {
    QString error;
    if (NetworkPresent) sendAnnouncement(statusMessage(ShutdownStatus), &error);
}

} // namespace ks
