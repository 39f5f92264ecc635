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

namespace {
constexpr qint16 LastSlot = TForm1::NetMessageQueueDetails::Slots - 1;
} // namespace

void TForm1::CreateReplyQueue() {
    // Takes the next entry once the loop is back, never inside the handler that queued an
    // entry or ended one: the reply connection is not reused from inside its own signals.
    LocalGroupTimer = new QTimer(this);
    LocalGroupTimer->setSingleShot(true);
    LocalGroupTimer->setInterval(0);
    connect(LocalGroupTimer, &QTimer::timeout, this, &TForm1::LocalGroupTimerTimer);

    ClientSocket1 = new QTcpSocket(this);
    connect(ClientSocket1, &QTcpSocket::connected, this, &TForm1::sckClientConnect);
    connect(ClientSocket1, &QTcpSocket::disconnected, this, &TForm1::sckClientDisconnect);
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

int TForm1::RequestsWaiting() const {
    const NetMessageQueueDetails& q = MessageQueue;
    const qint16 read = q.ReadIndex > LastSlot ? 0 : q.ReadIndex;
    return (q.WriteIndex - read + q.Slots) % q.Slots + int(EdgeReplies.size());
}

void TForm1::QueueMessage(const QByteArray& token, const QByteArray& address) {
    if (!ServerSocket1->isListening()) {
        if (ShowDebug()) AddLogEntry(LogAlert, "Not Connected", address, EntryKind::Diagnostic);
        return;
    }
    // Writing into the slot still to be read would lose every waiting reply. Requests wait
    // unread in their connections instead; only one that cannot wait gets here.
    if (QueueFull()) {
        ++RepliesRefused;
        AddLogEntry(LogAlert, "Queue Full", address);
        return;
    }
    if (Config.OnSecond) return QueueEdgeReply(token, address);
    NetMessageQueueDetails& q = MessageQueue;
    q.Message[q.WriteIndex] = token;
    q.Address[q.WriteIndex] = address;
    q.WriteIndex = q.WriteIndex >= LastSlot ? 0 : qint16(q.WriteIndex + 1);
    if (ReplyDone || ReplyFailed) LocalGroupTimer->start();
}

bool TForm1::QueueFull() const {
    return Config.OnSecond ? EdgeReplies.size() >= size_t(EdgeReplyLimit) : RingFull();
}

bool TForm1::RingFull() const {
    const NetMessageQueueDetails& q = MessageQueue;
    return (q.WriteIndex >= LastSlot ? 0 : q.WriteIndex + 1) == q.ReadIndex;
}

void TForm1::LocalGroupTimerTimer() {
    // Slots freed since the last entry go to the requests waiting for them first.
    ReadWaitingRequests();
    if (ReplyDone || ReplyFailed) TakeNextReply();
}

// The entry being served has ended (sent, failed or timed out): its slot is free, and the
// next entry follows at once.
void TForm1::EndReplyEntry() {
    qint16& read = MessageQueue.ReadIndex;
    read = read >= LastSlot ? 0 : qint16(read + 1);
    LocalGroupTimer->start();
}

// Step A: take the next entry and open the reply connection.
void TForm1::TakeNextReply() {
    NetMessageQueueDetails& q = MessageQueue;
    if (q.ReadIndex == q.WriteIndex) {
        ReplyDone = true;
        ReplyFailed = false;
        return;
    }
    ReplyDone = false;
    ReplyFailed = false;
    // A connection that failed after it was established may still be open: end it before
    // it is pointed at the next requester, or the queue would stall on it.
    if (ClientSocket1->state() != QAbstractSocket::UnconnectedState) ClientSocket1->abort();
    ReplyConnected = false;
    const QByteArray address = q.Address[q.ReadIndex];
    if (ShowDebug()) AddLogEntry(LogAlert, "Connecting..", address, EntryKind::Diagnostic);
    replyOpening_ = true;
    replyOpenFailed_ = false;
    ClientSocket1->connectToHost(QHostAddress(QString::fromLatin1(address)), ReplyPort);
    replyOpening_ = false;
    if (replyOpenFailed_) {
        if (ShowDebug()) AddLogEntry(LogAlert, "Connect Failed", address, EntryKind::Diagnostic);
        SaveLogCsv();
        ClientSocket1->abort();
        ReplyDone = true;
        EndReplyEntry();
        return;
    }
    ReplyConnectTimer->start();
    if (ReplyConnected) SendReply(); // connected within the call, as a local address may
}

// Step B: send the reply on the established connection and close it.
void TForm1::SendReply() {
    NetMessageQueueDetails& q = MessageQueue;
    const QByteArray address = q.Address[q.ReadIndex];
    const qint64 nowMs = systemClock().nowMs();
    ReplyText = ServeReply(q.Message[q.ReadIndex], {nowMs, toLocal(nowMs)});
    NoteReplySent(q.Message[q.ReadIndex], ReplyText, address);
    ClientSocket1->write(replyFrame(ReplyText));
    ClientSocket1->flush();
    if (ReplyFailed) return; // the send failed and its error event has ended the entry
    // The entry is over before the close, so a late report of the close cannot end it twice.
    ReplyDone = true;
    EndReplyEntry();
    ClientSocket1->disconnectFromHost();
}

// One reading of the clock for every field: a reply built across a second boundary cannot
// mix two seconds.
QByteArray TForm1::ServeReply(const QByteArray& token, const ReplyInstant& now) {
    const DisplayMode mode = Config.Loc ? DisplayMode::Loc : DisplayMode::Gmt;
    return replyText(token, {ReplySerial, CurrentStatus(), mode, now});
}

void TForm1::NoteReplySent(const QByteArray& token, const QByteArray& text,
                           const QByteArray& address) {
    if (token == TokenQuorix)
        AddLogEntry(LogNotice, "TEST", Config.Loc ? "Sending LOC" : "Sending GMT");
    ++RepliesSent;
    AddLogEntry(LogSuccess, "Client Send", text + " to " + address);
}

void TForm1::NoteReplyFailed(const QByteArray& peer, const QByteArray& requester,
                             const QString& reason) {
    ++RepliesFailed;
    // The log names the peer only once connected; an operator reading stderr needs to know
    // whose reply failed, and why.
    AddLogEntry(LogAlert, "Socket Error", peer, EntryKind::Normal,
                "reply to " + requester + ": " + reason.toLocal8Bit());
    SaveLogCsv();
}

void TForm1::sckClientConnect() {
    ReplyConnectTimer->stop();
    ReplyConnected = true;
    if (!replyOpening_) SendReply(); // else step A sends once the connect call returns
}

void TForm1::sckClientDisconnect() {
    ReplyConnected = false;
}

void TForm1::sckClientError() {
    if (replyOpening_) {
        replyOpenFailed_ = true; // the connect call itself failed: step A deals with it
        return;
    }
    if (ReplyDone || ReplyFailed) return; // about a reply already finished
    EndReplyWithError(ClientSocket1->errorString());
}

void TForm1::EndReplyWithError(const QString& reason) {
    ReplyConnectTimer->stop();
    const QByteArray requester = MessageQueue.Address[MessageQueue.ReadIndex];
    const QByteArray peer = ReplyConnected ? requester : QByteArray();
    ReplyConnected = false;
    ReplyFailed = true;
    EndReplyEntry();
    NoteReplyFailed(peer, requester, reason);
}

} // namespace ks
