#include "FakeSntpServer.h"

#include "platform/SystemClock.h"

#include <QtEndian>

namespace ks::test {

namespace {

// A full-resolution NTP timestamp: the smallest fraction that reads back as the time meant
// (a real server's clock is finer than ours, which truncates).
QByteArray ntpBytes(qint64 us) {
    const qint64 secs = us >= 0 ? us / 1'000'000 : (us - 999'999) / 1'000'000;
    const qint64 rest = us - secs * 1'000'000;
    const quint32 frac = quint32(((rest << 32) + 999'999) / 1'000'000);
    QByteArray b(8, '\0');
    qToBigEndian(quint32(secs + 2'208'988'800LL), b.data());
    qToBigEndian(frac, b.data() + 4);
    return b;
}

} // namespace

FakeSntpServer::FakeSntpServer(const QHostAddress& address, quint16 port) {
    nowUs = [this] { return systemClock().nowMs() * 1000 + aheadUs; };
    socket.bind(address, port);
    other_.bind(address, 0);
    connect(&socket, &QUdpSocket::readyRead, this, [this] {
        while (socket.hasPendingDatagrams()) {
            QByteArray data(int(socket.pendingDatagramSize()), '\0');
            Sender from;
            socket.readDatagram(data.data(), data.size(), &from.address, &from.port);
            requests.append(data);
            senders_.append(from);
            sinceRequest.start();
            if (onRequest) onRequest();
            serve(requests.size() - 1);
        }
    });
}

void FakeSntpServer::reset() {
    mode = Mode::Answer;
    reply = {};
    onRequest = nullptr;
    requests.clear();
    senders_.clear();
    strays = 0;
}

QByteArray FakeSntpServer::answer(qsizetype index, const SntpReply& r, qint64 receiveUs,
                                  qint64 transmitUs) const {
    if (index < 0) index = requests.size() - 1;
    QByteArray b(24, '\0');
    b[0] = char((r.leap << 6) | 0x1C); // version 3, mode 4 (server)
    b[1] = char(r.stratum);
    QByteArray originate = requests[index].mid(40, 8).leftJustified(8, '\0');
    if (r.wrongOriginate) originate[7] = char(originate[7] ^ 0x5A);
    b += originate + ntpBytes(receiveUs) + (r.zeroTransmit ? QByteArray(8, '\0') : ntpBytes(transmitUs));
    return b.left(r.size);
}

void FakeSntpServer::answerNow(qsizetype index) {
    const qint64 now = nowUs();
    stampedMs = now / 1000;
    send(answer(index, reply, now, now), index);
}

void FakeSntpServer::send(const QByteArray& datagram, qsizetype index, QUdpSocket* from) {
    if (index < 0) index = senders_.size() - 1;
    (from ? from : &socket)->writeDatagram(datagram, senders_[index].address, senders_[index].port);
}

void FakeSntpServer::serve(qsizetype index) {
    switch (mode) {
    case Mode::Answer:
        answerNow(index);
        break;
    case Mode::Silent:
        break;
    case Mode::Random:
        for (int i = 0; i < 5; ++i) {
            QByteArray junk(1 + int(rng_.bounded(100)), Qt::Uninitialized);
            for (char& c : junk) c = char(rng_.bounded(256));
            send(junk, index);
        }
        break;
    case Mode::Flood:
    case Mode::FloodThenAnswer:
        flood(index, mode == Mode::FloodThenAnswer);
        break;
    case Mode::Late:
        ++pending_;
        QTimer::singleShot(3500, this, [this, index] {
            answerNow(index);
            --pending_;
        });
        break;
    }
}

// About 20 000 datagrams a second for 4 s: answers from the server's port that echo another
// originate, forged answers that echo the right one from another port, and junk, all a day
// ahead so a taken one shows. With `answer`, the proper answer every 100 ms from 1 s on: under
// the flood the client's receive queue may be full at any one moment.
void FakeSntpServer::flood(qsizetype index, bool answer) {
    ++pending_;
    auto* timer = new QTimer(this);
    QElapsedTimer since;
    since.start();
    connect(timer, &QTimer::timeout, this, [this, index, answer, timer, since, lastAnswer = qint64(-1000)]() mutable {
        const qint64 t = since.elapsed();
        if (t >= 4000) {
            timer->deleteLater();
            timer->stop();
            --pending_;
            return;
        }
        if (answer && t >= 1000 && t - lastAnswer >= 100) {
            answerNow(index);
            lastAnswer = t;
        }
        const qint64 forged = nowUs() + ForgedAheadMs * 1000;
        for (int i = 0; i < 20; ++i, ++strays) {
            if (i % 3 == 0)
                send(this->answer(index, {.wrongOriginate = true}, forged, forged), index);
            else if (i % 3 == 1)
                send(this->answer(index, {}, forged, forged), index, &other_);
            else
                send(QByteArray(48, char(rng_.bounded(256))), index);
        }
    });
    timer->start(1);
}

} // namespace ks::test
