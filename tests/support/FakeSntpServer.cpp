#include "FakeSntpServer.h"

#include <QNetworkDatagram>
#include <QtEndian>

namespace ks::test {

namespace {
// A full-resolution NTP timestamp: the smallest fraction that reads back as the time meant
// (a real server's clock is finer than ours, which truncates).
QByteArray ntpBytes(qint64 us) {
    const qint64 secs = us >= 0 ? us / 1'000'000 : (us - 999'999) / 1'000'000;
    QByteArray b(8, '\0');
    qToBigEndian(quint32(secs + 2'208'988'800LL), b.data());
    qToBigEndian(quint32((((us - secs * 1'000'000) << 32) + 999'999) / 1'000'000), b.data() + 4);
    return b;
}
} // namespace

FakeSntpServer::FakeSntpServer(const QHostAddress& address, quint16 port) {
    socket.bind(address, port);
    connect(&socket, &QUdpSocket::readyRead, this, [this] {
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket.receiveDatagram();
            requests.append(datagram.data());
            senders_.append({datagram.senderAddress(), quint16(datagram.senderPort())});
            const qsizetype index = requests.size() - 1;
            if (onRequest) onRequest();
            if (mode == Mode::Answer) answerNow(index);
        }
    });
}

QByteArray FakeSntpServer::answer(qsizetype index, const SntpReply& r, qint64 receiveUs,
                                  qint64 transmitUs) const {
    QByteArray b(24, '\0');
    b[0] = char(r.leap << 6 | 0x1C); // version 3, mode 4 (server)
    b[1] = char(r.stratum);
    b.replace(12, 4, r.referenceId.leftJustified(4, '\0', true));
    QByteArray originate =
        requests[index < 0 ? requests.size() - 1 : index].mid(40, 8).leftJustified(8, '\0');
    if (r.wrongOriginate) originate[7] = char(originate[7] ^ 0x5A);
    return (b + originate + ntpBytes(receiveUs) + ntpBytes(transmitUs)).left(r.size);
}

void FakeSntpServer::answerNow(qsizetype index) {
    const qint64 now = nowUs();
    stampedMs = now / 1000;
    send(answer(index, reply, now, now), index);
}

void FakeSntpServer::send(const QByteArray& datagram, qsizetype index, QUdpSocket* from) {
    const auto& [address, port] = senders_[index < 0 ? senders_.size() - 1 : index];
    (from ? from : &socket)->writeDatagram(datagram, address, port);
}

} // namespace ks::test
