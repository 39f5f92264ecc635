#pragma once

#include "app/EventLog.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>

class QTimer;

namespace ks {

class IncomingConnection;
class ReplySender;
class TcpListener;

// Port 6645: the request connections, their frames, ClientList. Each request recognised
// goes to the reply sender's queue.
class RequestService : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 RequestPort = 6645;
    static constexpr int MaxClientConnections = 256;

    RequestService(EventLog log, ReplySender* replies, QObject* parent);
    // Throws ks::Error when the port cannot be had.
    void StartListening();
    bool listening() const;
    void ClearClientList();
    // Requests left unread while the queue was full are read, in the order they came.
    void ReadWaitingRequests();
    int OpenClientConnections() const { return int(ClientConnections.size()); }
    int ConnectionsHoldingRequests() const { return int(WaitingConnections.size()); }

    int ClientIdleMs = 60'000; // a request connection silent this long is closed

signals:
    void clientCountChanged(int count);

private:
    void ServerSocket1Accept(IncomingConnection* socket);
    void ServerSocket1ClientRead(IncomingConnection* socket, const QByteArray& text);
    void ServerSocket1ClientDisconnect(IncomingConnection* socket);
    void ServerSocket1ClientError(IncomingConnection* socket, const QString& message);
    // Returns the bytes used: a request that finds the queue full is left, with the rest.
    // takeAll: the connection is about to close, so nothing it sent can wait.
    qsizetype ParseRequests(const QByteArray& text, const QHostAddress& address, bool takeAll);
    void ServiceRequest(const QByteArray& body, const QHostAddress& peer);
    void CloseClientConnection(IncomingConnection* socket);
    void CloseIdleClientConnection(IncomingConnection* socket);
    IncomingConnection* QuietestClientConnection() const;
    void UpdateAccepting();

    EventLog log_;
    ReplySender* replies_;
    TcpListener* ServerSocket1 = nullptr;
    QHash<IncomingConnection*, QTimer*> ClientConnections; // each with its idle timer
    // At the cap, a connection silent this long may make room for a newcomer; until one
    // is, newcomers wait in the system's queue.
    int ClientMakeRoomMs = 1000;
    QTimer* AcceptRetryTimer = nullptr;
    // Connections holding a request unread until the queue has room, in the order they
    // began to wait.
    QList<IncomingConnection*> WaitingConnections;
    // The connection read once more before it is closed to make room; null otherwise.
    IncomingConnection* closing_ = nullptr;
    QList<QByteArray> ClientList;
};

} // namespace ks
