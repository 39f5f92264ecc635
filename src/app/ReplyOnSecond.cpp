// Replies on the second's edge ("onsecond"). A reply carries whole seconds, so one sent at
// once reaches its client somewhere inside the second it names. Here the reply to a request
// read during second S is built from a clock reading taken at the start of S+1 and written
// at once: the second it carries has just begun when it arrives. Every reply due at an edge
// leaves at that edge, each on a connection of its own, opened as soon as the request is read
// (or, for a requester with one still on its way up, once that one is up).
#include "app/ReplyConnection.h"
#include "app/ReplySender.h"
#include "log/LogModel.h"
#include "platform/SocketCalls.h"
#include "platform/SystemClock.h"
#include "protocol/Replies.h"

#include <QHash>
#include <QHostAddress>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>

namespace ks {

namespace {
// One reply's write at the edge, made by whichever thread takes its requester.
struct EdgeWrite {
    qintptr socket = -1;
    const QByteArray* frame = nullptr;
    qint64 sent = -1;
    QString error;
};

// Writes every reply once the clock reads the edge (a reply written before it would carry a
// second that has not begun; bounded, in case the clock does not move on). The system's work
// per write is what takes the time (on one machine the receiving end's too), so where there
// is a second processor a helper thread shares it. Each thread takes the next of `runs`, one
// requester's replies in the order of its requests: they go in that order, from one thread.
void writeAtEdge(std::vector<EdgeWrite>& writes, const std::vector<std::vector<size_t>>& runs, qint64 edgeMs,
                 int maxWaitMs) {
    std::atomic<size_t> next{0};
    const auto work = [&] {
        systemClock().waitUntil(edgeMs, maxWaitMs);
        for (size_t run = next++; run < runs.size(); run = next++)
            for (const size_t i : runs[run])
                writes[i].sent = socketcalls::sendNow(writes[i].socket, writes[i].frame->constData(),
                                                      writes[i].frame->size(), &writes[i].error);
    };
    std::thread helper;
    if (runs.size() > 1 && std::thread::hardware_concurrency() > 1) {
        try {
            helper = std::thread(work);
        } catch (const std::system_error&) { // no thread to be had: this one writes them all
        }
    }
    work();
    if (helper.joinable()) helper.join();
}
} // namespace

bool ReplySender::EdgeReply::up() const { return !dropped && connection && connection->up(); }

void ReplySender::QueueEdgeReply(ClientType type, const QHostAddress& address) {
    EdgeReply& reply = EdgeReplies.emplace_back();
    reply.type = type;
    reply.address = address;
    reply.dueMs = replyDueMs(ReplyTiming::OnSecond, systemClock().nowMs());
    // A requester's connections are opened one after another, each once the one before is
    // up: its system then accepts them in the order of its requests, the order they are
    // written in.
    const bool waitsTurn =
        std::any_of(EdgeReplies.begin(), std::prev(EdgeReplies.end()),
                    [&](const EdgeReply& r) { return r.address == address && !r.up() && !r.dropped; });
    if (!waitsTurn) OpenEdgeReply(&reply);
    ArmEdgeTimer();
}

void ReplySender::OpenEdgeReply(EdgeReply* r) {
    bool up = false;
    r->connection = OpenReply(r->address, &up); // a list's elements stay where they are: r stays valid
    if (!r->connection) {
        const QHostAddress address = r->address;
        r->dropped = true;
        ForgetDroppedEdgeReplies();
        return OpenNextEdgeReply(address);
    }
    connect(r->connection, &ReplyConnection::connected, this, [this, r] { OpenNextEdgeReply(r->address); });
    connect(r->connection, &ReplyConnection::failed, this,
            [this, r](const QString& reason) { EdgeReplyError(r, reason); });
    // Up within its own connect call: the next one is opened once that call is over.
    if (up)
        QMetaObject::invokeMethod(
            this, [this, address = r->address] { OpenNextEdgeReply(address); }, Qt::QueuedConnection);
}

// The first reply to `address` not opened yet gets its connection, unless one before it is
// still on its way up.
void ReplySender::OpenNextEdgeReply(const QHostAddress& address) {
    for (EdgeReply& r : EdgeReplies) {
        if (r.address != address || r.dropped) continue;
        if (!r.connection) return OpenEdgeReply(&r);
        if (!r.up()) return;
    }
}

// The timer is armed for the next edge while any reply waits: one that is not connected by
// its edge goes at the first edge after its connection comes up. It fires a little before the
// edge, so that the replies are ready to go when it comes.
void ReplySender::ArmEdgeTimer() {
    if (EdgeReplies.empty()) {
        EdgeTimer->stop();
        return;
    }
    // Armed already: for this edge, or for one that has passed and whose replies are still
    // to go; moving it on would put them off by a second.
    if (EdgeTimer->isActive()) return;
    const qint64 now = systemClock().nowMs();
    edgeMs_ = nextSecondEdgeMs(now);
    EdgeTimer->start(int(std::max<qint64>(0, edgeMs_ - EdgeLeadMs - now)));
}

void ReplySender::EdgeTimerTimer() {
    const qint64 now = systemClock().nowMs();
    if (now < edgeMs_ - EdgeLeadMs) { // early
        EdgeTimer->start(int(edgeMs_ - EdgeLeadMs - now));
        return;
    }
    // A late timer goes at once, naming the second it comes in.
    const qint64 edge = std::max(edgeMs_, now - now % 1000);
    const ReplyInstant instant{edge, toLocal(edge)};
    // A connection up in the system whose connect event is still to come (its request was
    // read just before the edge) is taken up now rather than put off by a second. A failure
    // ends its reply as any other.
    std::vector<ReplyConnection*> settling;
    for (EdgeReply& r : EdgeReplies)
        if (r.dueMs <= edge && !r.dropped && r.connection) settling.push_back(r.connection);
    for (ReplyConnection* c : settling) c->settle();
    // Due, connected, and no earlier reply to the same requester still waiting: each
    // requester's replies keep the order of its requests.
    QSet<QHostAddress> held;
    std::vector<EdgeReply*> going;
    for (EdgeReply& r : EdgeReplies) {
        if (r.dropped || held.contains(r.address)) continue;
        if (r.dueMs <= edge && r.up()) going.push_back(&r);
        else held.insert(r.address);
    }
    // One text per client type, every field from the second that begins at the edge, and
    // built before it: at the edge only the writes remain, and the last reply leaves as close
    // to it as the first. Everything else (the log, the counts, a failed write's report)
    // follows once all are out.
    struct Built {
        QByteArray text, frame;
    };
    QHash<ClientType, Built> built;
    for (EdgeReply* r : going)
        if (!built.contains(r->type)) {
            const QByteArray text = ServeReply(r->type, instant);
            built.insert(r->type, {text, replyFrame(text)});
        }
    std::vector<EdgeWrite> writes(going.size());
    std::vector<std::vector<size_t>> runs;
    QHash<QHostAddress, size_t> runOf;
    for (size_t i = 0; i < going.size(); ++i) {
        writes[i].socket = going[i]->connection->descriptor();
        writes[i].frame = &built[going[i]->type].frame;
        const auto run = runOf.constFind(going[i]->address);
        if (run != runOf.cend()) {
            runs[*run].push_back(i);
        } else {
            runOf.insert(going[i]->address, runs.size());
            runs.push_back({i});
        }
    }
    writeAtEdge(writes, runs, edge, EdgeLeadMs + 2);
    for (size_t i = 0; i < going.size(); ++i) {
        EdgeReply* const r = going[i];
        const bool written = r->connection->wrote(*writes[i].frame, writes[i].sent, writes[i].error);
        NoteReplySent(r->type, built.value(r->type).text, r->address);
        const QString error = written ? QString() : r->connection->errorString();
        DropEdgeReply(r, written);
        if (!written) NoteReplyFailed(r->address, r->address, error);
    }
    ForgetDroppedEdgeReplies();
    emit roomFreed(); // room for requests that waited unread
    ArmEdgeTimer();
}

void ReplySender::EdgeReplyError(EdgeReply* reply, const QString& reason) {
    const QHostAddress address = reply->address;
    const QHostAddress peer = reply->up() ? address : QHostAddress();
    DropEdgeReply(reply, false);
    ForgetDroppedEdgeReplies();
    NoteReplyFailed(peer, address, reason);
    OpenNextEdgeReply(address);
    emit roomFreed();
    ArmEdgeTimer();
}

// Ends a reply's connection: closed in order once its reply is written, else cut. The entry
// leaves the list at the next ForgetDroppedEdgeReplies.
void ReplySender::DropEdgeReply(EdgeReply* reply, bool written) {
    reply->connection->end(written);
    reply->dropped = true;
}

void ReplySender::ForgetDroppedEdgeReplies() {
    EdgeReplies.remove_if([](const EdgeReply& r) { return r.dropped; });
}

} // namespace ks
