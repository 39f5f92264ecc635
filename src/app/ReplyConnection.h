#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

class QTcpSocket;
class QTimer;

namespace ks {

// One reply's connection to the requester's port 6646: opened once, written once, closed.
// The system's own connect time-out is minutes, and every later reply would wait for it:
// a connection not accepted within 5 s fails.
class ReplyConnection : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 ReplyPort = 6646;
    static constexpr int ConnectTimeoutMs = 5000;

    enum class Phase {
        Opening,     // inside its connect call
        Connecting,  // waiting for the connect event, or the 5 s limit
        Connected,   // up
        WriteFailed, // its write failed
        Ended,       // closed or cut: nothing more comes of it
    };
    enum class Opened { Failed, Up, Pending };

    explicit ReplyConnection(QObject* parent);

    // The connect call. Failed: it failed at once (the connection is cut); Up: it came up
    // within the call, so no connected() follows; Pending: connected() or failed() follows.
    Opened open(const QHostAddress& address);
    Phase phase() const { return phase_; }
    QHostAddress address() const { return address_; }
    // Up, so a failure names the peer.
    bool up() const { return phase_ == Phase::Connected || phase_ == Phase::WriteFailed; }
    // Up in the system while its connect event is still to come: taken up now, without waiting.
    bool settle();
    // False when the write failed; no failed() follows for it.
    bool write(const QByteArray& bytes);
    // The system's socket, for a write made away from this object (at an edge, from another
    // thread); wrote() then takes what came of it as write() would: `sent` bytes of `bytes`
    // taken, or -1 with the system's message in `error`.
    qintptr descriptor() const;
    bool wrote(const QByteArray& bytes, qint64 sent, const QString& error);
    QString errorString() const;
    // Closed in order once its reply is written, else cut; it goes once the close is over,
    // and no signal of it follows.
    void end(bool written);

signals:
    void connected();
    void failed(const QString& reason);

private:
    void onError();
    QTcpSocket* socket_;
    QTimer* limit_;
    QHostAddress address_;
    QString error_; // of a failed write
    Phase phase_ = Phase::Opening;
};

} // namespace ks
