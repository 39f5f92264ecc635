// MessageQueue, LocalGroupTimer and the reply connection to port 6646. A reply goes out at
// the pace of the events: the next entry is taken as soon as one waits and none is in
// flight, and the reply is sent on the connect event itself. With "onsecond" a request's
// reply waits for the next second's edge instead (ReplyOnSecond.cpp); QueueMessage is where
// the two part.
#include "app/CodeLabel.h"
#include "app/TimeNow.h"
#include "log/LogModel.h"
#include "platform/SystemClock.h"
#include "platform/TcpListener.h"
#include "protocol/Replies.h"
#include "protocol/Requests.h"

#include <QTcpSocket>
#include <QTimer>

namespace ks {

void TForm1::CreateReplyQueue() {
    // Takes the next entry once the loop is back, never inside the handler that queued an
    // entry or ended one: the reply connection is not reused from inside its own signals.
    LocalGroupTimer = new QTimer(this);
    LocalGroupTimer->setSingleShot(true);
    LocalGroupTimer->setInterval(0);
    connect(LocalGroupTimer, &QTimer::timeout, this, &TForm1::LocalGroupTimerTimer);

    ClientSocket1 = new QTcpSocket(this);
    connect(ClientSocket1, &QTcpSocket::connected, this, &TForm1::sckClientConnect);
    connect(ClientSocket1, &QTcpSocket::errorOccurred, this, &TForm1::sckClientError);

    // The system's own connect time-out is minutes, and every later reply would wait for it.
    ReplyConnectTimer = new QTimer(this);
    ReplyConnectTimer->setSingleShot(true);
    ReplyConnectTimer->setTimerType(Qt::PreciseTimer); // never before the 5 s are up
    ReplyConnectTimer->setInterval(ReplyConnectTimeoutMs);
    connect(ReplyConnectTimer, &QTimer::timeout, this, [this] {
        ClientSocket1->abort();
        EndReplyWithError(QStringLiteral("not accepted within 5 s"));
    });
    CreateEdgeReplies();
}

int TForm1::RequestsWaiting() const { return MessageQueue.size() + int(EdgeReplies.size()); }

void TForm1::QueueMessage(ClientType type, const QHostAddress& address) {
    if (!ServerSocket1->isListening()) {
        if (ShowDebug()) AddLogEntry(LogAlert, "Not Connected", addressText(address), EntryKind::Diagnostic);
        return;
    }
    // Requests wait unread in their connections while the queue is full; only one that
    // cannot wait gets here.
    if (QueueFull()) {
        ++RepliesRefused;
        AddLogEntry(LogAlert, "Queue Full", addressText(address));
        return;
    }
    if (Config.OnSecond) return QueueEdgeReply(type, address);
    MessageQueue.put({type, address});
    if (ReplyState == ReplyPhase::Idle) LocalGroupTimer->start();
}

bool TForm1::QueueFull() const {
    return Config.OnSecond ? EdgeReplies.size() >= size_t(EdgeReplyLimit) : MessageQueue.full();
}

void TForm1::LocalGroupTimerTimer() {
    // Slots freed since the last entry go to the requests waiting for them first.
    ReadWaitingRequests();
    if (ReplyState == ReplyPhase::Idle) TakeNextReply();
}

// The entry being served has ended (sent, failed or timed out): its slot is free, and the
// next entry follows at once.
void TForm1::EndReplyEntry() {
    ReplyState = ReplyPhase::Idle;
    MessageQueue.pop();
    LocalGroupTimer->start();
}

// Step A: take the next entry and open the reply connection.
void TForm1::TakeNextReply() {
    if (MessageQueue.empty()) return;
    // A connection that failed after it was established may still be open: end it before
    // it is pointed at the next requester, or the queue would stall on it.
    if (ClientSocket1->state() != QAbstractSocket::UnconnectedState) ClientSocket1->abort();
    const QHostAddress address = MessageQueue.front().address;
    if (ShowDebug()) AddLogEntry(LogAlert, "Connecting..", addressText(address), EntryKind::Diagnostic);
    ReplyState = ReplyPhase::Opening;
    ClientSocket1->connectToHost(address, ReplyPort);
    switch (ReplyState) {
    case ReplyPhase::OpenFailed:
        if (ShowDebug()) AddLogEntry(LogAlert, "Connect Failed", addressText(address), EntryKind::Diagnostic);
        SaveLogCsv();
        ClientSocket1->abort();
        EndReplyEntry();
        break;
    case ReplyPhase::Connected: // as a local address may be
        SendReply();
        break;
    default: ReplyState = ReplyPhase::Connecting; ReplyConnectTimer->start();
    }
}

// Step B: send the reply on the established connection and close it.
void TForm1::SendReply() {
    ReplyState = ReplyPhase::Sending;
    const QueuedReply entry = MessageQueue.front();
    const qint64 nowMs = systemClock().nowMs();
    const QByteArray text = ServeReply(entry.type, {nowMs, toLocal(nowMs)});
    NoteReplySent(entry.type, text, entry.address);
    ClientSocket1->write(replyFrame(text));
    ClientSocket1->flush();
    if (ReplyState != ReplyPhase::Sending) return; // the send failed and its error ended the entry
    // The entry is over before the close, so a late report of the close cannot end it twice.
    EndReplyEntry();
    ClientSocket1->disconnectFromHost();
}

// One reading of the clock for every field: a reply built across a second boundary cannot
// mix two seconds.
QByteArray TForm1::ServeReply(ClientType type, const ReplyInstant& now) {
    const DisplayMode mode = Config.Loc ? DisplayMode::Loc : DisplayMode::Gmt;
    return replyText(replyToken(type), {ReplySerial, CurrentStatus(), mode, now});
}

void TForm1::NoteReplySent(ClientType type, const QByteArray& text, const QHostAddress& address) {
    if (type == ClientType::Quorix)
        AddLogEntry(LogNotice, "TEST", Config.Loc ? "Sending LOC" : "Sending GMT", EntryKind::Trace);
    ++RepliesSent;
    ++RepliesByKind[replyToken(type).toLower()];
    AddLogEntry(LogSuccess, "Client Send", text + " to " + addressText(address), EntryKind::PerRequest);
}

void TForm1::NoteReplyFailed(const QHostAddress& peer, const QHostAddress& requester, const QString& reason) {
    ++RepliesFailed;
    // The log names the peer only once connected; an operator reading stderr needs to know
    // whose reply failed, and why.
    AddLogEntry(LogAlert, "Socket Error", addressText(peer), EntryKind::Normal,
                "reply to " + addressText(requester) + ": " + reason.toLocal8Bit());
    SaveLogCsv();
}

void TForm1::sckClientConnect() {
    ReplyConnectTimer->stop();
    if (ReplyState == ReplyPhase::Opening)
        ReplyState = ReplyPhase::Connected; // step A sends once the connect call returns
    else if (ReplyState == ReplyPhase::Connecting) SendReply();
}

void TForm1::sckClientError() {
    if (ReplyState == ReplyPhase::Opening) {
        ReplyState = ReplyPhase::OpenFailed; // the connect call itself failed: step A deals with it
        return;
    }
    if (ReplyState == ReplyPhase::Idle) return; // about a reply already finished
    EndReplyWithError(ClientSocket1->errorString());
}

void TForm1::EndReplyWithError(const QString& reason) {
    ReplyConnectTimer->stop();
    const QHostAddress requester = MessageQueue.front().address;
    const bool up = ReplyState == ReplyPhase::Sending || ReplyState == ReplyPhase::Connected;
    EndReplyEntry();
    NoteReplyFailed(up ? requester : QHostAddress(), requester, reason);
}

} // namespace ks
