#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QUdpSocket>

namespace ks::test {

// Listens to the state announcements: joins 224.0.0.1:6649 on every multicast-capable
// interface of the namespace and keeps every datagram received, with the time-to-live it
// arrived with (IP_RECVTTL; -1 when the system did not tell).
class GroupListener {
public:
    GroupListener();
    bool bound() const { return socket_.state() == QAbstractSocket::BoundState; }
    // Reads until the payload arrives (true) or the time is up (false).
    bool waitFor(const QByteArray& payload, int timeoutMs);

    QList<QByteArray> received;
    QList<int> ttls;

private:
    QUdpSocket socket_;
    QHostAddress group_{QStringLiteral("224.0.0.1")};
};

} // namespace ks::test
