#include "GroupListener.h"

#include "Wait.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>

namespace ks::test {

GroupListener::GroupListener() {
    if (!socket_.bind(QHostAddress::AnyIPv4, 6649, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        qWarning("group listener: %s", qPrintable(socket_.errorString()));
        return;
    }
    // Loopback too: a namespace may route the group over lo.
    for (const QNetworkInterface& i : QNetworkInterface::allInterfaces())
        if (i.flags() & (QNetworkInterface::CanMulticast | QNetworkInterface::IsLoopBack))
            socket_.joinMulticastGroup(group_, i);
}

bool GroupListener::waitFor(const QByteArray& payload, int timeoutMs) {
    return waitUntil([&] {
        while (socket_.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket_.receiveDatagram();
            received.append(datagram.data());
            ttls.append(datagram.hopLimit());
            if (received.last() == payload) return true;
        }
        return false;
    }, timeoutMs);
}

} // namespace ks::test
