#pragma once

#include "protocol/ClockSample.h"
#include "protocol/Sntp.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <exception>

class QHostInfo;
class QTimer;
class QUdpSocket;

namespace ks {

// A failure of name resolution or of the socket, carrying the platform's message.
class SntpError : public std::exception {
public:
    explicit SntpError(QString message);
    const QString& message() const { return message_; }
    const char* what() const noexcept override { return what_.constData(); }

private:
    QString message_;
    QByteArray what_;
};

// A socket's failure in plain words: "network unreachable", "connection refused (nothing
// listens on port 123)"; otherwise the system's own message.
QString sntpFailureWords(QAbstractSocket::SocketError error, const QString& system, quint16 port);

// How an exchange ended.
enum class SntpOutcome {
    Answered, // a usable answer came: Sample() holds it
    NotSet,   // no usable answer in time (short, disregarded, timed out)
    Failed,   // name resolution or the socket failed; finished() carries the message
};

// Asks one NTP server for the time (SNTP client/server exchange over UDP); the answer is a
// sample for the time core, which alone changes the clock.
//
// Used on the GUI thread and never waits: StartSync() sends (or starts the name lookup) and
// returns; the end arrives as finished(). One exchange at a time. Cancel() or destroying the
// client ends a running exchange at once, without finished().
//
// Only a datagram from the server's address and port whose originate timestamp is the
// request's transmit timestamp is taken as the answer; anything else is dropped and the
// exchange goes on.
class SntpClient : public QObject {
    Q_OBJECT
public:
    explicit SntpClient(QObject* parent = nullptr);
    ~SntpClient() override;
    SntpClient(const SntpClient&) = delete;
    SntpClient& operator=(const SntpClient&) = delete;

    // Server name or address. An address literal is used as it stands; a name is looked up
    // at each exchange in Qt's resolver thread. An empty Host fails, sending nothing.
    QString Host;
    quint16 Port = SntpDefaultPort;
    // How long to wait for the answer, in ms; any negative value (-2 by default) waits until
    // an answer comes or Cancel() is called.
    qint32 ReceiveTimeout = -2;
    // Disregard answers of stratum 0 or above 15.
    bool StratumCheck = true;

    // Starts one exchange. Throws SntpError (and emits nothing) when an exchange already runs, Host is empty, or
    // the socket cannot send to an address literal.
    void StartSync();
    // Ends a running exchange at once and quietly; does nothing when none runs.
    void Cancel();
    bool running() const { return running_; }

    // After an answer: the true instant T1 + ClockOffset + RoundTrip at the local reading T4,
    // bounded by half the round trip and the server's own distance from its reference.
    ClockSample Sample() const;
    NtpUpstream Upstream() const;
    // Results of the current or last exchange, when a full answer came (T4 is 0 otherwise),
    // ms since 1970 UTC.
    qint64 T1() const { return times_.t1; }
    qint64 T2() const { return times_.t2; }
    qint64 T3() const { return times_.t3; }
    qint64 T4() const { return times_.t4; }
    qint64 RoundTrip() const { return times_.roundTrip(); }
    qint64 ClockOffset() const { return times_.clockOffset(); }
    // The stratum of that answer, and the address it came from.
    int Stratum() const { return stratum_; }
    const QHostAddress& AnsweredBy() const { return answeredBy_; }
    // Why the server's last datagram of the current or last exchange was refused, in words;
    // empty when none was.
    const QByteArray& Refused() const { return refused_; }

signals:
    // The exchange has ended; `error` is the platform's message for Failed. The client may be
    // destroyed or started again from a slot.
    void finished(ks::SntpOutcome outcome, const QString& error);

private:
    void resolved(const QHostInfo& info);
    void send(const QHostAddress& server);
    void readAnswers();
    void answered(const QByteArray& reply, qint64 arrivalMs);
    void finish(SntpOutcome outcome, const QString& error = {});

    QUdpSocket* socket_ = nullptr;
    QTimer* limit_ = nullptr;
    int lookupId_ = -1;
    bool running_ = false;
    bool waiting_ = false; // for the answer (the request is out)
    QHostAddress server_;
    NtpTimestamp sent_{};
    qint64 sentMs_ = 0;
    SntpTimes times_;
    int stratum_ = 0;
    double rootDelayMs_ = 0;
    double rootDispersionMs_ = 0;
    QHostAddress answeredBy_;
    QByteArray refused_;
};

} // namespace ks
