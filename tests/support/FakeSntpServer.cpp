#include "FakeSntpServer.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QtEndian>

namespace ks::test {

namespace {
constexpr qint64 ForgedAheadUs = 86'400'000'000; // what a taken stray would set

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
    other_.bind(address, 0);
    connect(&socket, &QUdpSocket::readyRead, this, [this] {
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket.receiveDatagram();
            requests.append(datagram.data());
            senders_.append({datagram.senderAddress(), quint16(datagram.senderPort())});
            if (onRequest) onRequest();
            serve(requests.size() - 1);
        }
    });
}

QByteArray FakeSntpServer::answer(qsizetype index, const SntpReply& r, qint64 receiveUs,
                                  qint64 transmitUs) const {
    QByteArray b(24, '\0');
    b[0] = char(0x1C); // no leap warning, version 3, mode 4 (server)
    b[1] = char(r.stratum);
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

// A flood is about 20 000 datagrams a second for 4 s: answers from the server's port that echo
// another originate, forged answers that echo the right one from another port, and junk, all
// a day ahead so a taken one shows. With the answer, the proper one every 100 ms from 1 s on:
// under the flood the client's receive queue may be full at any one moment.
void FakeSntpServer::serve(qsizetype index) {
    if (mode == Mode::Answer) answerNow(index);
    for (int i = 0; mode == Mode::Random && i < 5; ++i) {
        QByteArray junk(1 + int(rng_.bounded(100)), Qt::Uninitialized);
        for (char& c : junk)
            c = char(rng_.bounded(256));
        send(junk, index);
    }
    if (mode != Mode::Late && mode != Mode::Flood && mode != Mode::FloodThenAnswer) return;
    ++pending_;
    auto* timer = new QTimer(this);
    QElapsedTimer since;
    since.start();
    const bool late = mode == Mode::Late, answers = mode == Mode::FloodThenAnswer;
    connect(timer, &QTimer::timeout, this, [=, this, lastAnswer = qint64(-1000)]() mutable {
        const qint64 t = since.elapsed();
        if (late || t >= 4000) {
            if (late) answerNow(index);
            timer->deleteLater();
            timer->stop();
            --pending_;
            return;
        }
        if (answers && t >= 1000 && t - lastAnswer >= 100) {
            answerNow(index);
            lastAnswer = t;
        }
        const qint64 forged = nowUs() + ForgedAheadUs;
        for (int i = 0; i < 20; ++i, ++strays) {
            if (i % 3 == 0) send(answer(index, {.wrongOriginate = true}, forged, forged), index);
            if (i % 3 == 1) send(answer(index, {}, forged, forged), index, &other_);
            if (i % 3 == 2) send(QByteArray(48, char(rng_.bounded(256))), index);
        }
    });
    timer->start(late ? 3500 : 1);
}

} // namespace ks::test
