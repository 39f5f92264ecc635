#pragma once

#include "app/EventLog.h"
#include "protocol/Replies.h"
#include "protocol/ReplyRing.h"
#include "protocol/Requests.h"

#include <QByteArray>
#include <QHostAddress>
#include <QMap>
#include <QObject>

#include <functional>
#include <list>

class QJsonObject;
class QTimer;

namespace ks {

class ReplyConnection;

// The replies to port 6646: the ring MessageQueue served one reply at a time, or with
// "onsecond" every reply due at a second's edge written at that edge. Each reply has a
// connection of its own.
class ReplySender : public QObject {
    Q_OBJECT
public:
    // Replies waiting for an edge at once; while that many wait, further requests wait unread
    // in their connections, as with the ring.
    static constexpr int EdgeReplyLimit = 2000;

    // What the sender reads of the program's state when it needs it.
    struct Host {
        EventLog log;
        std::function<bool()> listening; // port 6645 open: requests are being served
        std::function<bool()> onSecond;  // "onsecond"
        // Everything but the instant a reply text is built from.
        std::function<ReplyContext(const ReplyInstant& now)> context;
    };
    ReplySender(Host host, QObject* parent);
    ~ReplySender() override;

    void QueueMessage(ClientType type, const QHostAddress& address);
    bool QueueFull() const; // the ring, or the replies waiting for an edge
    int RequestsWaiting() const { return MessageQueue.size() + int(EdgeReplies.size()); }
    // replies_sent, replies_failed, replies_refused, replies_by_kind.
    void AddStatus(QJsonObject& status) const;

signals:
    // A reply has ended: requests that waited unread for room may be read now.
    void roomFreed();

private:
    // A request waiting for its reply: who asked, and what kind of client it is.
    struct QueuedReply {
        ClientType type = ClientType::None;
        QHostAddress address;
    };
    // The reply ring: 50 slots, so 49 requests can wait.
    using NetMessageQueueDetails = ReplyRing<QueuedReply, 50>;
    void LocalGroupTimerTimer();
    void TakeNextReply();
    void SendReply();
    void EndReplyEntry();
    void EndReplyWithError(const QString& reason);
    // Opens a reply's connection; null when the connect call failed at once (after its
    // entries). *up: it came up within the call.
    ReplyConnection* OpenReply(const QHostAddress& address, bool* up);
    // The reply text for a client type at one reading of the clock.
    QByteArray ServeReply(ClientType type, const ReplyInstant& now) const;
    // A reply built: its log entries and count, the same whenever it is sent.
    void NoteReplySent(ClientType type, const QByteArray& text, const QHostAddress& address);
    // A reply connection failed: "Socket Error" with the peer (null when it never came up),
    // its count, and the log saved as CSV.
    void NoteReplyFailed(const QHostAddress& peer, const QHostAddress& requester, const QString& reason);

    // A reply waiting for its edge. Its connection is opened when the request is read (once
    // the requester's previous one is up); the text is built and written only at an edge at
    // or after `dueMs`, once the connection is up and every earlier reply to the same
    // requester has gone.
    struct EdgeReply {
        ClientType type = ClientType::None;
        QHostAddress address;
        qint64 dueMs = 0;
        ReplyConnection* connection = nullptr; // null until its turn to connect has come
        bool dropped = false;                  // leaves the list at the next ForgetDroppedEdgeReplies
        bool up() const;
    };
    void QueueEdgeReply(ClientType type, const QHostAddress& address);
    void OpenEdgeReply(EdgeReply* reply);
    void OpenNextEdgeReply(const QHostAddress& address);
    void EdgeTimerTimer();
    void ArmEdgeTimer();
    // How long before an edge its replies are made ready.
    static constexpr int EdgeLeadMs = 3;
    void EdgeReplyError(EdgeReply* reply, const QString& reason);
    void DropEdgeReply(EdgeReply* reply, bool written);
    void ForgetDroppedEdgeReplies();

    Host host_;
    NetMessageQueueDetails MessageQueue;
    QTimer* LocalGroupTimer = nullptr;
    ReplyConnection* ClientSocket1 = nullptr; // the ring's reply in flight; null when none
    quint64 RepliesSent = 0;                  // "Client Send"
    quint64 RepliesFailed = 0;                // "Socket Error"
    quint64 RepliesRefused = 0;               // "Queue Full"
    QMap<QByteArray, qint64> RepliesByKind;   // "Client Send", by the reply's token in lower case
    std::list<EdgeReply> EdgeReplies;         // in the order the requests were read
    QTimer* EdgeTimer = nullptr;
    qint64 edgeMs_ = 0; // the edge EdgeTimer is armed for
};

} // namespace ks
