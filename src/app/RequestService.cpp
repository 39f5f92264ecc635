// Port 6645: connections, request frames, ClientList.
#include "app/TimeNow.h"
#include "log/LogModel.h"
#include "platform/Error.h"
#include "platform/TcpListener.h"
#include "protocol/Requests.h"

#include <QLabel>
#include <QTimer>

#include <algorithm>

namespace ks {

namespace {
// Connections the system may hold completed before the loop takes them: a burst of every
// client at once fits.
constexpr int ListenBacklog = 2 * TForm1::MaxClientConnections;
} // namespace

void TForm1::CreateRequestService() {
    ServerSocket1 = new TcpListener(this);
    connect(ServerSocket1, &TcpListener::accepted, this, &TForm1::ServerSocket1Accept);
    AcceptRetryTimer = new QTimer(this);
    AcceptRetryTimer->setSingleShot(true);
    AcceptRetryTimer->setTimerType(Qt::PreciseTimer);
    connect(AcceptRetryTimer, &QTimer::timeout, this, &TForm1::UpdateAccepting);
}

void TForm1::StartListening() {
    QString error;
    if (!ServerSocket1->listenAnyIPv4(RequestPort, ListenBacklog, &error))
        throw Error(QStringLiteral("Cannot listen on TCP port %1: %2").arg(RequestPort).arg(error));
}

void TForm1::ServerSocket1Accept(IncomingConnection* socket) {
    // A bounded number open at once: a client that opens connections and never closes them
    // cannot take every descriptor of the process, nor keep other clients out. The one
    // silent the longest makes room, after what it has sent is served; accepting waits while
    // every open connection is still fresh (see UpdateAccepting).
    if (ClientConnections.size() >= MaxClientConnections) {
        IncomingConnection* const evicted = QuietestClientConnection();
        evicted->readWaiting();
        if (ClientConnections.contains(evicted)) CloseIdleClientConnection(evicted);
    }
    auto* idle = new QTimer(socket);
    idle->setSingleShot(true);
    idle->setInterval(ClientIdleMs);
    idle->setTimerType(Qt::PreciseTimer); // its remaining time tells which is the quietest
    connect(idle, &QTimer::timeout, this, [this, socket] { CloseIdleClientConnection(socket); });
    idle->start();
    ClientConnections.insert(socket, idle);
    connect(socket, &IncomingConnection::received, this,
            [this, socket](const QByteArray& text) { ServerSocket1ClientRead(socket, text); });
    connect(socket, &IncomingConnection::closedByPeer, this,
            [this, socket] { ServerSocket1ClientDisconnect(socket); });
    connect(socket, &IncomingConnection::failed, this,
            [this, socket](const QString& message) { ServerSocket1ClientError(socket, message); });
    if (ShowDebug()) {
        const QByteArray address = socket->peerAddress().toString().toLatin1();
        AddLogEntry(LogAlert, "Client Connected", address);
        AddLogEntry(LogAlert, "Client Accepted", address);
    }
    UpdateAccepting();
}

IncomingConnection* TForm1::QuietestClientConnection() const {
    const auto quietest = std::min_element(
        ClientConnections.cbegin(), ClientConnections.cend(),
        [](QTimer* a, QTimer* b) { return a->remainingTime() < b->remainingTime(); });
    return quietest == ClientConnections.cend() ? nullptr : quietest.key();
}

// At the cap, a newcomer is taken only when some connection has been silent long enough to
// make room: in a burst every client is fresh, and closing one before its request arrived
// would lose that request. Otherwise newcomers wait until a connection closes or one
// becomes quiet enough.
void TForm1::UpdateAccepting() {
    if (ClientConnections.size() < MaxClientConnections) {
        AcceptRetryTimer->stop();
        ServerSocket1->setAccepting(true);
        return;
    }
    const int silentMs = ClientIdleMs - ClientConnections.value(QuietestClientConnection())->remainingTime();
    const bool room = silentMs >= ClientMakeRoomMs;
    ServerSocket1->setAccepting(room);
    if (room)
        AcceptRetryTimer->stop();
    else
        AcceptRetryTimer->start(ClientMakeRoomMs - silentMs);
}

void TForm1::ServerSocket1ClientRead(IncomingConnection* socket, const QByteArray& text) {
    QTimer* idle = ClientConnections.value(socket);
    if (!idle) return; // already closed by the service
    idle->start();
    ParseRequests(text, socket->peerAddress().toString().toLatin1());
    if (ClientConnections.size() >= MaxClientConnections) UpdateAccepting(); // the quietest changed
}

void TForm1::ServerSocket1ClientDisconnect(IncomingConnection* socket) {
    CloseClientConnection(socket);
}

void TForm1::ServerSocket1ClientError(IncomingConnection* socket, const QString& message) {
    // Nobody would see a box on a hidden server: the connection goes, the service stays.
    if (ShowDebug()) {
        AddLogEntry(LogAlert, "Client Error",
                    socket->peerAddress().toString().toLatin1() + ": " + message.toLocal8Bit());
    }
    CloseClientConnection(socket);
}

void TForm1::CloseIdleClientConnection(IncomingConnection* socket) {
    if (ShowDebug()) AddLogEntry(LogNotice, "Client Idle", socket->peerAddress().toString().toLatin1());
    CloseClientConnection(socket);
}

void TForm1::CloseClientConnection(IncomingConnection* socket) {
    ClientConnections.remove(socket);
    socket->close();
    socket->deleteLater(); // may be inside one of its own signals
    UpdateAccepting();
}

void TForm1::ParseRequests(const QByteArray& text, const QByteArray& address) {
    for (const QByteArray& body : parseRequests(text))
        ServiceRequest(body, address);
}

void TForm1::ServiceRequest(const QByteArray& body, const QByteArray& address) {
    const ClientType type = recogniseRequest(body);
    if (type == ClientType::None) return;
    if (!ClientList.contains(address)) {
        AddLogEntry(LogNotice, "New Connection", address);
        ClientList.append(address);
        ClientCountPanel->setText(QString::number(ClientList.size()));
    }
    const bool quorix = type == ClientType::Quorix;
    if (IndicateClientType())
        AddLogEntry(LogNotice, quorix ? "Quorix Client" : "Korvat Client", address);
    if (ShowDebug())
        AddLogEntry(LogNotice, quorix ? "Service Quorix.." : "Service Korvat..", address);
    QueueMessage(replyToken(type), address);
}

void TForm1::ClearClientList() {
    ClientList.clear();
    AddLogEntry(LogNotice, "Client List", "Connected client list cleared.");
    ClientCountPanel->setText(QStringLiteral("0"));
}

} // namespace ks
