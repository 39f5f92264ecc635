#pragma once

#include "platform/SystemClock.h"

#include <QHostAddress>
#include <QUdpSocket>

#include <functional>

namespace ks::test {

// What one answer looks like on the wire.
struct SntpReply {
    int stratum = 1, size = 48;
    bool wrongOriginate = false;
    int leap = 0;
    QByteArray referenceId; // up to four bytes, zeros after
};

// An SNTP server on the thread it lives on: it answers while the client's exchange runs, which
// is also the proof that the exchange leaves the event loop running. Its clock is the installed
// system clock plus aheadUs.
class FakeSntpServer : public QObject {
public:
    enum class Mode {
        Answer, // `reply` at once
        Silent, // nothing (onRequest may answer, or send what it likes)
    };

    explicit FakeSntpServer(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0);
    bool bound() const { return socket.state() == QAbstractSocket::BoundState; }
    quint16 port() const { return socket.localPort(); }

    // The answer to request `index` (-1: the last), stamped receiveUs and transmitUs.
    QByteArray answer(qsizetype index, const SntpReply& r, qint64 receiveUs, qint64 transmitUs) const;
    // `reply` to request `index`, stamped now.
    void answerNow(qsizetype index = -1);
    // To the sender of request `index`, from the server's socket (or `from`).
    void send(const QByteArray& datagram, qsizetype index = -1, QUdpSocket* from = nullptr);

    Mode mode = Mode::Answer;
    SntpReply reply;
    qint64 aheadUs = 0;
    std::function<void()> onRequest; // runs when a request arrives, before any answer
    QList<QByteArray> requests;
    qint64 stampedMs = 0; // the transmit time of the last answer
    QUdpSocket socket;

    qint64 nowUs() const { return systemClock().nowMs() * 1000 + aheadUs; }

private:
    QList<std::pair<QHostAddress, quint16>> senders_;
};

} // namespace ks::test
