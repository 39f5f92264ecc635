#pragma once

#include "Wait.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QUdpSocket>

namespace ks::test {

// Listens to the state announcements: joins 224.0.0.1:6649 on every multicast-capable
// interface of the namespace, and on loopback (a namespace may route the group there), and
// keeps every datagram received with the time-to-live it arrived with (-1: not told).
class GroupListener {
public:
    GroupListener() {
        if (!socket_.bind(QHostAddress::AnyIPv4, 6649, QUdpSocket::ShareAddress))
            qWarning("group listener: %s", qPrintable(socket_.errorString()));
        for (const QNetworkInterface& i : QNetworkInterface::allInterfaces())
            if (i.flags() & (QNetworkInterface::CanMulticast | QNetworkInterface::IsLoopBack))
                socket_.joinMulticastGroup(QHostAddress(QStringLiteral("224.0.0.1")), i);
    }
    // Reads until the payload arrives (true) or the time is up (false).
    bool waitFor(const QByteArray& payload, int timeoutMs) {
        return waitUntil(
            [&] {
                while (socket_.hasPendingDatagrams()) {
                    const QNetworkDatagram datagram = socket_.receiveDatagram();
                    received.append(datagram.data());
                    ttls.append(datagram.hopLimit());
                    if (received.last() == payload) return true;
                }
                return false;
            },
            timeoutMs);
    }

    QList<QByteArray> received;
    QList<int> ttls;

private:
    QUdpSocket socket_;
};

} // namespace ks::test
