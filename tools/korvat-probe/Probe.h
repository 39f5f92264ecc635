#pragma once

#include "protocol/Replies.h"
#include "protocol/Requests.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

class QSocketNotifier;

#include <functional>

namespace probe {

// Exit codes, listed in --help.
enum ExitCode {
    ExitOk = 0,
    ExitNoReply = 1,
    ExitMalformed = 2,
    ExitNetwork = 3,
    ExitWrite = 4,
    ExitUsage = 64,
};

inline constexpr quint16 RequestPort = 6645;
inline constexpr quint16 ReplyPort = 6646;
inline constexpr quint16 AnnouncePort = 6649;
// More than any reply frame needs; a peer sending more is cut off.
inline constexpr qsizetype MaxReplyBytes = 4096;

// One line to stdout or stderr, flushed at once so a reader on a pipe sees it now.
void printLine(const QString& line);
void printError(const QString& line);

// Monotonic nanoseconds since the probe started.
qint64 monoNs();

// One read of the local clock: UTC milliseconds and the local civil time of them.
ks::ReplyInstant clockNow();

// What the local clock read, in UTC ms to a fraction, at the moment `atMonoNs` (monoNs).
double utcMsAt(qint64 atMonoNs);

// A reply's client error in ms: the time it carries (`carriedMs`, whole seconds) less the
// clock (`clockMs`, the same scale) when its last byte arrived. Negative: the client that
// set its clock from it would be behind.
inline double clientErrorMs(qint64 carriedMs, double clockMs) { return double(carriedMs) - clockMs; }

// Bytes as printable text: ASCII kept, everything else as \xNN.
QString printable(const QByteArray& bytes);

// "korvat", "korvat1010", "korvat1012", "quorix"; None for anything else.
ks::ClientType kindFromName(const QString& name);
QString kindName(ks::ClientType type);

// Accepts reply connections on one address's reply port and hands over the bytes of each
// when the server closes it.
class ReplyListener : public QObject {
    Q_OBJECT
public:
    explicit ReplyListener(QObject* parent = nullptr);
    bool listen(const QHostAddress& address, QString* error);
    QHostAddress address() const { return server_.serverAddress(); }
    // Hands over what the connections still open have sent so far, and closes them.
    void closeOpen();

signals:
    // A reply connection came in; `serial` counts them from 0 in the order accepted.
    void accepted(int serial);
    // Its bytes, once it ended. `lastByteNs`: when the last byte reached this PC (monoNs),
    // -1 when nothing came.
    void received(int serial, const QByteArray& bytes, qint64 lastByteNs, const QHostAddress& peer);

private:
    // Hands over each connection's descriptor, so its bytes are read with their arrival stamps.
    class Server : public QTcpServer {
    public:
        std::function<void(qintptr)> taken;

    protected:
        void incomingConnection(qintptr socket) override { taken(socket); }
    };
    struct Connection {
        int serial = 0;
        QHostAddress peer;
        QSocketNotifier* notifier = nullptr;
        QByteArray bytes;
        qint64 lastByteNs = -1;
    };
    void accept(qintptr socket);
    void readable(qintptr socket);
    // Runs once per connection: when the peer closes, on an error, when cut off, or at closeOpen().
    void finish(qintptr socket);
    Server server_;
    QHash<qintptr, Connection> open_;
    int accepted_ = 0;
};

// Sends one request frame to host:6645 on a connection of its own, from `from` when it is
// not null, and closes the connection once the frame is out. `onSent` runs at the moment
// the frame is handed to the system, `onFailed` when no frame could be sent, `onDone` once
// at the end either way.
void sendRequest(QObject* parent, const QString& host, const QHostAddress& from, const QByteArray& frame,
                 std::function<void()> onSent, std::function<void(const QString&)> onFailed,
                 std::function<void()> onDone);

} // namespace probe
