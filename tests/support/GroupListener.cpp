#include "GroupListener.h"

#include <QDeadlineTimer>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QTest>

namespace ks::test {

GroupListener::GroupListener() {
    if (!socket_.bind(QHostAddress::AnyIPv4, 6649,
                      QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        qWarning("group listener: %s", qPrintable(socket_.errorString()));
        return;
    }
    for (const QNetworkInterface& i : QNetworkInterface::allInterfaces())
        if (i.flags() & QNetworkInterface::CanMulticast) socket_.joinMulticastGroup(group_, i);
}

bool GroupListener::waitFor(const QByteArray& payload, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        while (socket_.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket_.receiveDatagram();
            const QByteArray d = datagram.data();
            received.append(d);
            ttls.append(datagram.hopLimit());
            if (d == payload) return true;
        }
        QTest::qWait(10);
    }
    return false;
}

} // namespace ks::test
