#pragma once

#include "protocol/Sntp.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QString>

#include <exception>
#include <memory>
#include <optional>

class QEventLoop;
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

// Asks one NTP server for the time (SNTP client/server exchange over UDP) and, on request,
// sets the clock from the answer.
//
// Used on the GUI thread. While it waits (for the name lookup or the answer) it runs the
// event loop in slices of at most 250 ms, so timers, sockets and clicks keep being handled
// nested inside GetServerTime/SyncClock. From such a nested handler:
// - Cancel() ends the wait at once; the call then returns 0/false without an error.
// - Destroying the client also ends the wait; the call returns 0/false and touches nothing
//   of the destroyed client afterwards. (The owner should still destroy it only after
//   SyncClock has returned; running() tells.)
// - Calling GetServerTime/SyncClock again on the same client throws SntpError.
//
// Only a datagram from the server's address and port whose originate timestamp is the
// request's transmit timestamp is taken as the answer; anything else is dropped and the
// wait goes on.
class SntpClient : public QObject {
    Q_OBJECT
public:
    explicit SntpClient(QObject* parent = nullptr);
    ~SntpClient() override;
    SntpClient(const SntpClient&) = delete;
    SntpClient& operator=(const SntpClient&) = delete;

    // Server name or address. An address literal is used as it stands; a name is looked up
    // at each exchange without blocking the loop (a slow DNS can be cancelled like a slow
    // server). An empty Host fails like a name that cannot be resolved, sending nothing.
    QString Host;
    quint16 Port = SntpDefaultPort;
    // How long to wait for the answer, in ms; any negative value (-2 by default) waits until
    // an answer comes or Cancel() is called. When it runs out the exchange has no answer.
    qint32 ReceiveTimeout = -2;
    // Disregard answers of stratum 0 or above 15.
    bool StratumCheck = true;

    // One exchange. Returns the server's transmit time (ms since 1970 UTC), or 0 when no
    // usable answer came (short, disregarded, timed out) or the wait was cancelled.
    // Throws SntpError when the name cannot be resolved or the socket fails.
    qint64 GetServerTime();

    // GetServerTime, then sets the clock (as local time) to T1 + ClockOffset + RoundTrip.
    // Returns true when the clock was set; false when there was no usable answer, the wait
    // was cancelled, or the clock refused. Throws SntpError like GetServerTime.
    bool SyncClock();
    // After a SyncClock that set the clock: how far it moved it, in ms (ahead positive).
    qint64 LastStepMs() const { return lastStepMs_; }

    // Ends a waiting exchange at once and closes the socket. Safe from nested handlers;
    // does nothing when no exchange runs.
    void Cancel();

    // True while GetServerTime or SyncClock is on the stack.
    bool running() const { return running_; }
    // True when the last exchange ended through Cancel().
    bool cancelled() const { return cancelled_; }

    // Results of the last exchange that produced a full answer, ms since 1970 UTC.
    qint64 T1() const { return times_.t1; }
    qint64 T2() const { return times_.t2; }
    qint64 T3() const { return times_.t3; }
    qint64 T4() const { return times_.t4; }
    qint64 RoundTrip() const { return times_.roundTrip(); }
    qint64 ClockOffset() const { return times_.clockOffset(); }
    // The stratum of that answer, and the address it came from.
    int Stratum() const { return stratum_; }
    const QHostAddress& AnsweredBy() const { return answeredBy_; }

private:
    qint64 lastStepMs_ = 0;
    enum class WaitEnd { Done, Cancelled, Destroyed, TimedOut, SocketFailed };
    class RunGuard;

    // True when a usable answer came and its times are stored.
    bool exchange();
    // False when the wait was cancelled or the client destroyed.
    bool resolve(QHostAddress& address);
    void openSocket(const QHostAddress& server);
    // Runs the loop in slices until done() holds, Cancel(), destruction, a socket error, or
    // limitMs (when not negative) has passed.
    template <typename Done> WaitEnd waitFor(Done done, qint64 limitMs);
    void wake();

    QUdpSocket* socket_ = nullptr;
    QEventLoop* waitLoop_ = nullptr;
    int lookupId_ = -1;
    std::optional<QHostInfo> lookupResult_;
    bool running_ = false;
    bool cancelled_ = false;
    QString socketError_;
    SntpTimes times_;
    int stratum_ = 0;
    QHostAddress answeredBy_;
    // Shared with running calls so they can tell, after a nested loop, that the client is gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace ks
