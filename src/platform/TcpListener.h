#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

class QSocketNotifier;

namespace ks {

// One accepted TCP connection that the program only reads. Unlike QTcpSocket, which reports
// a client's reset as an orderly close, it tells the two apart and gives the system's own
// message for a failure.
class IncomingConnection : public QObject {
    Q_OBJECT
public:
    ~IncomingConnection() override;
    IncomingConnection(const IncomingConnection&) = delete;
    IncomingConnection& operator=(const IncomingConnection&) = delete;

    QHostAddress peerAddress() const { return peer_; }
    // Closes the connection at once; no signal follows.
    void close();
    // Takes what is waiting now, as a read notification would (received, closedByPeer or
    // failed); nothing when nothing is waiting. Reading resumes after leaveUnread.
    void readWaiting() { readable(); }
    // Called inside `received`: the last `bytes` of the text stay in the system, unread,
    // and the connection reads nothing more until readWaiting(). A request held this way
    // costs the program nothing and is read again in full.
    void leaveUnread(qsizetype bytes) { unread_ = bytes; }

signals:
    // Everything that was waiting, in one receive.
    void received(const QByteArray& text);
    // The client closed its side.
    void closedByPeer();
    // The connection failed ("Connection reset by peer", for one); it is dead from now on.
    void failed(const QString& message);

private:
    friend class TcpListener;
    IncomingConnection(qintptr descriptor, QObject* parent);
    void readable();
    void stopWatching();

    qintptr descriptor_;
    QSocketNotifier* notifier_ = nullptr;
    QHostAddress peer_;
    qsizetype unread_ = 0;
};

// A listening TCP socket whose connections arrive as IncomingConnection objects, each taken
// as soon as it is accepted, so Qt's pending-connection limit never applies.
class TcpListener : public QTcpServer {
    Q_OBJECT
public:
    using QTcpServer::QTcpServer;

    // Listens on every IPv4 address of this PC with room for `backlog` connections the
    // system has completed but the program not yet taken. On failure returns false and puts
    // the system's message ("Address already in use") into *error, followed, when another
    // program holds the port, by the command that names it.
    bool listenAnyIPv4(quint16 port, int backlog, QString* error);

    // While off, new connections wait in the system's queue (up to the backlog) and are
    // taken once it is on again.
    void setAccepting(bool on);

signals:
    // A new connection, a child of the listener until the receiver deletes it.
    void accepted(ks::IncomingConnection* connection);

protected:
    void incomingConnection(qintptr descriptor) override;
};

} // namespace ks
