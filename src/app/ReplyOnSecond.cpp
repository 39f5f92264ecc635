// Replies on the second's edge ("onsecond"). A reply carries whole seconds, so one sent at
// once reaches its client somewhere inside the second it names. Here the reply to a request
// read during second S is built from a clock reading taken at the start of S+1 and written
// at once: the second it carries has just begun when it arrives. Every reply due at an edge
// leaves at that edge, each on a connection of its own, opened as soon as the request is read
// (or, for a requester with one still on its way up, once that one is up).
#include "app/TimeNow.h"
#include "log/LogModel.h"
#include "platform/SocketCalls.h"
#include "platform/SystemClock.h"
#include "protocol/Replies.h"

#include <QHash>
#include <QHostAddress>
#include <QSet>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace ks {

void TForm1::CreateEdgeReplies() {
    EdgeTimer = new QTimer(this);
    EdgeTimer->setSingleShot(true);
    EdgeTimer->setTimerType(Qt::PreciseTimer); // a coarse timer may be late by 5 %
    connect(EdgeTimer, &QTimer::timeout, this, &TForm1::EdgeTimerTimer);
}

void TForm1::QueueEdgeReply(ClientType type, const QHostAddress& address) {
    EdgeReply& reply = EdgeReplies.emplace_back();
    reply.type = type;
    reply.address = address;
    reply.dueMs = replyDueMs(ReplyTiming::OnSecond, systemClock().nowMs());
    // A requester's connections are opened one after another, each once the one before is
    // up: its system then accepts them in the order of its requests, the order they are
    // written in.
    const bool waitsTurn =
        std::any_of(EdgeReplies.begin(), std::prev(EdgeReplies.end()), [&](const EdgeReply& r) {
            return r.address == address && !r.up() && r.phase != EdgeReply::Phase::Dropped;
        });
    if (!waitsTurn) OpenEdgeReply(&reply);
    ArmEdgeTimer();
}

void TForm1::OpenEdgeReply(EdgeReply* r) {
    r->socket = new QTcpSocket(this); // a list's elements stay where they are: r stays valid
    // As today: a connection not accepted within 5 s ends as "Socket Error".
    r->connectLimit = new QTimer(r->socket);
    r->connectLimit->setSingleShot(true);
    r->connectLimit->setTimerType(Qt::PreciseTimer); // never before the 5 s are up
    r->connectLimit->setInterval(ReplyConnectTimeoutMs);
    connect(r->connectLimit, &QTimer::timeout, this,
            [this, r] { EdgeReplyError(r, QStringLiteral("not accepted within 5 s")); });
    connect(r->socket, &QTcpSocket::connected, this, [this, r] {
        const bool inCall = r->phase == EdgeReply::Phase::Opening;
        r->phase = EdgeReply::Phase::Connected;
        r->connectLimit->stop();
        if (!inCall) return OpenNextEdgeReply(r->address);
        // Up within its own connect call: the next one is opened once that call is over.
        QMetaObject::invokeMethod(
            this, [this, address = r->address] { OpenNextEdgeReply(address); }, Qt::QueuedConnection);
    });
    connect(r->socket, &QTcpSocket::errorOccurred, this,
            [this, r] { EdgeReplyError(r, r->socket->errorString()); });
    if (ShowDebug()) AddLogEntry(LogAlert, "Connecting..", addressText(r->address), EntryKind::Diagnostic);
    r->connectLimit->start();
    r->phase = EdgeReply::Phase::Opening;
    r->socket->connectToHost(r->address, ReplyPort, QIODevice::ReadWrite | QIODevice::Unbuffered);
    if (r->phase == EdgeReply::Phase::Opening) r->phase = EdgeReply::Phase::Connecting;
    if (r->phase == EdgeReply::Phase::OpenFailed) {
        const QHostAddress address = r->address;
        if (ShowDebug()) AddLogEntry(LogAlert, "Connect Failed", addressText(address), EntryKind::Diagnostic);
        SaveLogCsv();
        DropEdgeReply(r, false);
        ForgetDroppedEdgeReplies();
        OpenNextEdgeReply(address);
    }
}

// The first reply to `address` not opened yet gets its connection, unless one before it is
// still on its way up.
void TForm1::OpenNextEdgeReply(const QHostAddress& address) {
    for (EdgeReply& r : EdgeReplies) {
        if (r.address != address || r.phase == EdgeReply::Phase::Dropped) continue;
        if (r.phase == EdgeReply::Phase::Unopened) return OpenEdgeReply(&r);
        if (!r.up()) return;
    }
}

// The timer is armed for the next edge while any reply waits: one that is not connected by
// its edge goes at the first edge after its connection comes up.
void TForm1::ArmEdgeTimer() {
    if (EdgeReplies.empty()) {
        EdgeTimer->stop();
        return;
    }
    // Armed already: for this edge, or for one that has passed and whose replies are still
    // to go; moving it on would put them off by a second.
    if (EdgeTimer->isActive()) return;
    const qint64 now = systemClock().nowMs();
    edgeMs_ = nextSecondEdgeMs(now);
    EdgeTimer->start(int(edgeMs_ - now));
}

void TForm1::EdgeTimerTimer() {
    const qint64 now = systemClock().nowMs();
    if (now < edgeMs_) { // early: a reading before the edge would name the second before
        EdgeTimer->start(int(edgeMs_ - now));
        return;
    }
    const ReplyInstant instant{now, toLocal(now)};
    // A connection up in the system whose connect event is still to come (its request was
    // read just before the edge) is taken up now rather than put off by a second. It is
    // writable, so this does not wait; a failure ends its reply as any other.
    std::vector<EdgeReply*> settling;
    for (EdgeReply& r : EdgeReplies)
        if (r.dueMs <= now && r.phase == EdgeReply::Phase::Connecting && ConnectedNow(r))
            settling.push_back(&r);
    for (EdgeReply* r : settling) r->socket->waitForConnected(1);
    // Due, connected, and no earlier reply to the same requester still waiting: each
    // requester's replies keep the order of its requests.
    QSet<QHostAddress> held;
    std::vector<EdgeReply*> going;
    for (EdgeReply& r : EdgeReplies) {
        if (held.contains(r.address)) continue;
        if (r.dueMs <= now && r.phase == EdgeReply::Phase::Connected) going.push_back(&r);
        else held.insert(r.address);
    }
    // Every reply is written before any is logged: the last leaves as close to the edge as
    // the first. A write that fails is reported once all are out.
    // One text per client type: every field comes from the one reading at the edge.
    QHash<ClientType, QByteArray> texts;
    for (EdgeReply* r : going) r->phase = EdgeReply::Phase::Writing;
    for (EdgeReply* r : going) {
        auto text = texts.constFind(r->type);
        if (text == texts.cend()) text = texts.insert(r->type, ServeReply(r->type, instant));
        r->socket->write(replyFrame(*text)); // unbuffered: straight to the system
    }
    for (EdgeReply* r : going) {
        const bool written = r->phase != EdgeReply::Phase::WriteFailed;
        NoteReplySent(r->type, texts.value(r->type), r->address);
        DropEdgeReply(r, written);
        if (!written) NoteReplyFailed(r->address, r->address, r->socket->errorString());
    }
    ForgetDroppedEdgeReplies();
    ReadWaitingRequests(); // room for requests that waited unread
    ArmEdgeTimer();
}

bool TForm1::ConnectedNow(const EdgeReply& reply) const {
    return reply.socket->state() == QAbstractSocket::ConnectingState &&
           !socketcalls::peerIPv4(reply.socket->socketDescriptor()).isNull();
}

void TForm1::EdgeReplyError(EdgeReply* reply, const QString& reason) {
    switch (reply->phase) {
    case EdgeReply::Phase::Opening: // the connect call itself failed: the caller deals with it
        reply->phase = EdgeReply::Phase::OpenFailed;
        return;
    case EdgeReply::Phase::Writing: // reported once the edge's replies are out
        reply->phase = EdgeReply::Phase::WriteFailed;
        return;
    default: break;
    }
    const QHostAddress address = reply->address;
    const QHostAddress peer = reply->up() ? address : QHostAddress();
    DropEdgeReply(reply, false);
    ForgetDroppedEdgeReplies();
    NoteReplyFailed(peer, address, reason);
    OpenNextEdgeReply(address);
    ReadWaitingRequests();
    ArmEdgeTimer();
}

// Ends a reply's connection: closed in order once its reply is written, else cut. The entry
// leaves the list at the next ForgetDroppedEdgeReplies.
void TForm1::DropEdgeReply(EdgeReply* reply, bool written) {
    QTcpSocket* const socket = reply->socket;
    reply->connectLimit->stop();
    socket->disconnect(this); // nothing more of it reaches the list
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    if (written) socket->disconnectFromHost();
    else socket->abort();
    if (socket->state() == QAbstractSocket::UnconnectedState) socket->deleteLater();
    reply->phase = EdgeReply::Phase::Dropped;
}

void TForm1::ForgetDroppedEdgeReplies() {
    EdgeReplies.remove_if([](const EdgeReply& r) { return r.phase == EdgeReply::Phase::Dropped; });
}

} // namespace ks
