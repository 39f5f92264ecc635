// Port 6645: connections, request frames, ClientList.
#include "app/RequestService.h"
#include "app/ReplySender.h"
#include "log/LogModel.h"
#include "platform/Error.h"
#include "platform/SocketCalls.h"
#include "platform/TcpListener.h"
#include "protocol/Requests.h"

#include <QTimer>

namespace ks {

namespace {
// Connections the system may hold completed before the loop takes them: with the open ones,
// a burst of 1 000 clients at once fits. Beyond that the system drops further connection
// attempts and their clients try again a second later.
constexpr int ListenBacklog = 4 * RequestService::MaxClientConnections;
} // namespace

RequestService::RequestService(EventLog log, ReplySender* replies, QObject* parent)
    : QObject(parent), log_(std::move(log)), replies_(replies) {
    ServerSocket1 = new TcpListener(this);
    connect(ServerSocket1, &TcpListener::accepted, this, &RequestService::ServerSocket1Accept);
    AcceptRetryTimer = new QTimer(this);
    AcceptRetryTimer->setSingleShot(true);
    AcceptRetryTimer->setTimerType(Qt::PreciseTimer);
    connect(AcceptRetryTimer, &QTimer::timeout, this, &RequestService::UpdateAccepting);
}

void RequestService::StartListening() {
    socketcalls::raiseSocketLimit();
    QString error;
    if (!ServerSocket1->listenAnyIPv4(RequestPort, ListenBacklog, &error))
        throw Error(QStringLiteral("Cannot listen on TCP port %1: %2").arg(RequestPort).arg(error));
}

bool RequestService::listening() const { return ServerSocket1->isListening(); }

void RequestService::ServerSocket1Accept(IncomingConnection* socket) {
    // A bounded number open at once: a client that opens connections and never closes them
    // cannot take every descriptor of the process, nor keep other clients out. The one
    // silent the longest makes room, after what it has sent is served; accepting waits while
    // every open connection is still fresh (see UpdateAccepting).
    if (ClientConnections.size() >= MaxClientConnections) {
        IncomingConnection* const evicted = QuietestClientConnection();
        // It is closed now: what it sent cannot wait for room in the queue.
        closing_ = evicted;
        evicted->readWaiting();
        closing_ = nullptr;
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
    if (log_.showDebug()) {
        const QByteArray address = socket->peerAddress().toString().toLatin1();
        log_(LogAlert, "Client Connected", address, EntryKind::Diagnostic);
        log_(LogAlert, "Client Accepted", address, EntryKind::Diagnostic);
    }
    UpdateAccepting();
}

// A connection holding a request that waits for room is not quiet: its idle timer is off.
IncomingConnection* RequestService::QuietestClientConnection() const {
    IncomingConnection* quietest = nullptr;
    int least = 0;
    for (auto it = ClientConnections.cbegin(); it != ClientConnections.cend(); ++it) {
        const int left = it.value()->remainingTime();
        if (left >= 0 && (!quietest || left < least)) {
            quietest = it.key();
            least = left;
        }
    }
    return quietest;
}

// At the cap, a newcomer is taken only when some connection has been silent long enough to
// make room: in a burst every client is fresh, and closing one before its request arrived
// would lose that request. Otherwise newcomers wait until a connection closes or one
// becomes quiet enough.
void RequestService::UpdateAccepting() {
    if (ClientConnections.size() < MaxClientConnections) {
        AcceptRetryTimer->stop();
        ServerSocket1->setAccepting(true);
        return;
    }
    IncomingConnection* const quietest = QuietestClientConnection();
    if (!quietest) { // every one holds a request: one makes room when it is read
        AcceptRetryTimer->stop();
        ServerSocket1->setAccepting(false);
        return;
    }
    const int silentMs = ClientIdleMs - ClientConnections.value(quietest)->remainingTime();
    const bool room = silentMs >= ClientMakeRoomMs;
    ServerSocket1->setAccepting(room);
    if (room) AcceptRetryTimer->stop();
    else AcceptRetryTimer->start(ClientMakeRoomMs - silentMs);
}

// While the queue is full a request stays unread in its connection, and connections are
// read again in the order they began to wait, so requests are taken in the order they came.
void RequestService::ServerSocket1ClientRead(IncomingConnection* socket, const QByteArray& text) {
    QTimer* idle = ClientConnections.value(socket);
    if (!idle) return; // already closed by the service
    const bool takeAll = socket == closing_;
    const bool behindOthers =
        !takeAll && !WaitingConnections.isEmpty() && WaitingConnections.front() != socket;
    const qsizetype used = behindOthers ? 0 : ParseRequests(text, socket->peerAddress(), takeAll);
    if (used < text.size()) {
        socket->leaveUnread(text.size() - used);
        idle->stop(); // holding a request is not being idle
        if (!WaitingConnections.contains(socket)) WaitingConnections.append(socket);
    } else {
        WaitingConnections.removeOne(socket);
        idle->start();
    }
    if (ClientConnections.size() >= MaxClientConnections) UpdateAccepting(); // the quietest changed
}

void RequestService::ReadWaitingRequests() {
    while (!WaitingConnections.isEmpty() && !replies_->QueueFull()) {
        IncomingConnection* const first = WaitingConnections.front();
        first->readWaiting();
        if (!WaitingConnections.isEmpty() && WaitingConnections.front() == first) {
            if (replies_->QueueFull()) break;
            // Nothing more came of it (the system lost what it held): it waits no longer.
            WaitingConnections.removeFirst();
            if (QTimer* idle = ClientConnections.value(first)) idle->start();
        }
    }
}

void RequestService::ServerSocket1ClientDisconnect(IncomingConnection* socket) {
    CloseClientConnection(socket);
}

void RequestService::ServerSocket1ClientError(IncomingConnection* socket, const QString& message) {
    // Nobody would see a box on a hidden server: the connection goes, the service stays.
    if (log_.showDebug()) {
        log_(LogAlert, "Client Error",
             socket->peerAddress().toString().toLatin1() + ": " + message.toLocal8Bit(),
             EntryKind::Diagnostic);
    }
    CloseClientConnection(socket);
}

void RequestService::CloseIdleClientConnection(IncomingConnection* socket) {
    if (log_.showDebug())
        log_(LogNotice, "Client Idle", socket->peerAddress().toString().toLatin1(), EntryKind::Diagnostic);
    CloseClientConnection(socket);
}

void RequestService::CloseClientConnection(IncomingConnection* socket) {
    ClientConnections.remove(socket);
    WaitingConnections.removeOne(socket);
    socket->close();
    socket->deleteLater(); // may be inside one of its own signals
    UpdateAccepting();
}

qsizetype RequestService::ParseRequests(const QByteArray& text, const QHostAddress& address, bool takeAll) {
    qsizetype start = 0;
    while (const auto frame = requestFrameAt(text, start)) {
        // A request that finds the queue full stays unread, with all that follows it.
        if (!takeAll && replies_->QueueFull() && ServerSocket1->isListening() &&
            recogniseRequest(frame->body) != ClientType::None)
            return start;
        ServiceRequest(frame->body, address);
        start = frame->next;
    }
    return text.size();
}

void RequestService::ServiceRequest(const QByteArray& body, const QHostAddress& peer) {
    const ClientType type = recogniseRequest(body);
    if (type == ClientType::None) return;
    const QByteArray address = addressText(peer);
    if (!ClientList.contains(address)) {
        log_(LogNotice, "New Connection", address, EntryKind::PerRequest);
        ClientList.append(address);
        emit clientCountChanged(int(ClientList.size()));
    }
    const bool quorix = type == ClientType::Quorix;
    if (log_.indicateClientType())
        log_(LogNotice, quorix ? "Quorix Client" : "Korvat Client", address, EntryKind::PerRequest);
    if (log_.showDebug())
        log_(LogNotice, quorix ? "Service Quorix.." : "Service Korvat..", address, EntryKind::Diagnostic);
    replies_->QueueMessage(type, peer);
}

void RequestService::ClearClientList() {
    ClientList.clear();
    log_(LogNotice, "Client List", "Connected client list cleared.");
    emit clientCountChanged(0);
}

} // namespace ks
