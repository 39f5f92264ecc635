// MessageQueue, LocalGroupTimer and the reply connections to port 6646. A reply goes out at
// the pace of the events: the next entry is taken as soon as one waits and none is in
// flight, and the reply is sent on the connect event itself. With "onsecond" a request's
// reply waits for the next second's edge instead (ReplyOnSecond.cpp); QueueMessage is where
// the two part.
#include "app/ReplySender.h"
#include "app/ReplyConnection.h"
#include "log/LogModel.h"
#include "platform/SystemClock.h"

#include <QJsonObject>
#include <QTimer>

namespace ks {

ReplySender::ReplySender(Host host, QObject* parent) : QObject(parent), host_(std::move(host)) {
    // Takes the next entry once the loop is back, never inside the handler that queued an
    // entry or ended one: no reply connection is opened from inside another's signals.
    LocalGroupTimer = new QTimer(this);
    LocalGroupTimer->setSingleShot(true);
    LocalGroupTimer->setInterval(0);
    connect(LocalGroupTimer, &QTimer::timeout, this, &ReplySender::LocalGroupTimerTimer);

    EdgeTimer = new QTimer(this);
    EdgeTimer->setSingleShot(true);
    EdgeTimer->setTimerType(Qt::PreciseTimer); // a coarse timer may be late by 5 %
    connect(EdgeTimer, &QTimer::timeout, this, &ReplySender::EdgeTimerTimer);
}

ReplySender::~ReplySender() = default;

void ReplySender::QueueMessage(ClientType type, const QHostAddress& address) {
    if (!host_.listening()) {
        if (host_.log.showDebug())
            host_.log(LogAlert, "Not Connected", addressText(address), EntryKind::Diagnostic);
        return;
    }
    // Requests wait unread in their connections while the queue is full; only one that
    // cannot wait gets here.
    if (QueueFull()) {
        ++RepliesRefused;
        host_.log(LogAlert, "Queue Full", addressText(address));
        return;
    }
    if (host_.onSecond()) return QueueEdgeReply(type, address);
    MessageQueue.put({type, address});
    if (!ClientSocket1) LocalGroupTimer->start();
}

bool ReplySender::QueueFull() const {
    return host_.onSecond() ? EdgeReplies.size() >= size_t(EdgeReplyLimit) : MessageQueue.full();
}

void ReplySender::AddStatus(QJsonObject& o) const {
    o[QLatin1String("replies_sent")] = qint64(RepliesSent);
    o[QLatin1String("replies_failed")] = qint64(RepliesFailed);
    o[QLatin1String("replies_refused")] = qint64(RepliesRefused);
    if (RepliesByKind.isEmpty()) return;
    QJsonObject kinds;
    for (auto it = RepliesByKind.cbegin(); it != RepliesByKind.cend(); ++it)
        kinds[QString::fromLatin1(it.key())] = it.value();
    o[QLatin1String("replies_by_kind")] = kinds;
}

void ReplySender::LocalGroupTimerTimer() {
    // Slots freed since the last entry go to the requests waiting for them first.
    emit roomFreed();
    if (!ClientSocket1) TakeNextReply();
}

// The entry being served has ended (sent, failed or timed out): its slot is free, and the
// next entry follows at once.
void ReplySender::EndReplyEntry() {
    ClientSocket1 = nullptr;
    MessageQueue.pop();
    LocalGroupTimer->start();
}

ReplyConnection* ReplySender::OpenReply(const QHostAddress& address, bool* up) {
    if (host_.log.showDebug())
        host_.log(LogAlert, "Connecting..", addressText(address), EntryKind::Diagnostic);
    auto* connection = new ReplyConnection(this);
    const ReplyConnection::Opened opened = connection->open(address);
    *up = opened == ReplyConnection::Opened::Up;
    if (opened != ReplyConnection::Opened::Failed) return connection;
    if (host_.log.showDebug())
        host_.log(LogAlert, "Connect Failed", addressText(address), EntryKind::Diagnostic);
    host_.log.saveCsv();
    connection->end(false);
    return nullptr;
}

// Step A: take the next entry and open its reply connection.
void ReplySender::TakeNextReply() {
    if (MessageQueue.empty()) return;
    bool up = false;
    ClientSocket1 = OpenReply(MessageQueue.front().address, &up);
    if (!ClientSocket1) return EndReplyEntry();
    connect(ClientSocket1, &ReplyConnection::connected, this, &ReplySender::SendReply);
    connect(ClientSocket1, &ReplyConnection::failed, this, &ReplySender::EndReplyWithError);
    if (up) SendReply();
}

// Step B: send the reply on the established connection and close it.
void ReplySender::SendReply() {
    const QueuedReply entry = MessageQueue.front();
    const qint64 nowMs = systemClock().nowMs();
    const QByteArray text = ServeReply(entry.type, {nowMs, toLocal(nowMs)});
    NoteReplySent(entry.type, text, entry.address);
    if (!ClientSocket1->write(replyFrame(text))) return EndReplyWithError(ClientSocket1->errorString());
    ClientSocket1->end(true);
    EndReplyEntry();
}

// One reading of the clock for every field: a reply built across a second boundary cannot
// mix two seconds.
QByteArray ReplySender::ServeReply(ClientType type, const ReplyInstant& now) const {
    return replyText(replyToken(type), host_.context(now));
}

void ReplySender::NoteReplySent(ClientType type, const QByteArray& text, const QHostAddress& address) {
    if (type == ClientType::Quorix) {
        const bool loc = host_.context({}).mode == DisplayMode::Loc;
        host_.log(LogNotice, "TEST", loc ? "Sending LOC" : "Sending GMT", EntryKind::Trace);
    }
    ++RepliesSent;
    ++RepliesByKind[replyToken(type).toLower()];
    host_.log(LogSuccess, "Client Send", text + " to " + addressText(address), EntryKind::PerRequest);
}

void ReplySender::NoteReplyFailed(const QHostAddress& peer, const QHostAddress& requester,
                                  const QString& reason) {
    ++RepliesFailed;
    // The log names the peer only once connected; an operator reading stderr needs to know
    // whose reply failed, and why.
    host_.log(LogAlert, "Socket Error", addressText(peer), EntryKind::Normal,
              "reply to " + addressText(requester) + ": " + reason.toLocal8Bit());
    host_.log.saveCsv();
}

void ReplySender::EndReplyWithError(const QString& reason) {
    const QHostAddress requester = MessageQueue.front().address;
    const bool up = ClientSocket1->up();
    ClientSocket1->end(false);
    EndReplyEntry();
    NoteReplyFailed(up ? requester : QHostAddress(), requester, reason);
}

} // namespace ks
