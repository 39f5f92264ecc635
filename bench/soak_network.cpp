// The network suite: the time service under load and faults. Each case starts a fresh
// program, which must still run at the end and end in order on SIGTERM.
#include "soak.h"

#include "AppProcess.h"
#include "ProcessStats.h"
#include "Wait.h"
#include "protocol/Replies.h"
#include "protocol/Requests.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QProcess>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <vector>

using namespace ks;
using namespace ks::soak;

namespace {

constexpr quint16 RequestPort = 6645;
constexpr quint16 ReplyPort = 6646;
constexpr qint64 MiB = 1024 * 1024;

double nowS() {
    static QElapsedTimer monotonic = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return double(monotonic.nsecsElapsed()) / 1e9;
}

bool pumpUntil(const std::function<bool()>& done, double timeoutS) {
    return test::waitUntil(done, int(timeoutS * 1000));
}
void pumpFor(double seconds) { test::pumpFor(int(seconds * 1000)); }

double percentile(std::vector<double> values, double p) { // nearest rank
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto rank = size_t(std::max(1.0, std::ceil(p / 100.0 * double(values.size()))));
    return values[rank - 1];
}

QHostAddress address(const char* text) {
    return QHostAddress(QString::fromLatin1(text));
}

bool ip(const QStringList& arguments) {
    return QProcess::execute(QStringLiteral("ip"), arguments) == 0;
}

// ---------------------------------------------------------------------------------------
// The program (the shared process harness, its clock settings recorded); every log line on
// its stderr with the moment it came.
class Server {
public:
    struct Line {
        double at;
        QByteArray event;
        QByteArray details;
    };

    Server() {
        app_.env.insert(QStringLiteral("KSERVER_CLOCK_LOG"), app_.root() + QStringLiteral("/clock.log"));
        app_.onLine = [this](const QByteArray& line) {
            const QList<QByteArray> fields = line.split('\t');
            if (fields.size() < 4) return;
            lines_.push_back({nowS(), fields[2], fields.mid(3).join('\t')});
            ++counts_[fields[2]];
        };
    }

    // Starts it and waits until port 6645 takes connections.
    bool start() {
        app_.start();
        return running() && test::waitUntil(
                                [] {
                                    QTcpSocket probe;
                                    probe.connectToHost(QHostAddress::LocalHost, RequestPort);
                                    return probe.waitForConnected(200);
                                },
                                10000);
    }
    bool running() { return app_.process().state() == QProcess::Running; }
    qint64 pid() { return app_.process().processId(); }
    int exitCode() { return app_.process().exitCode(); }
    qint64 rssKiB() { return test::processRssKiB(pid()); }

    // The program's open sockets, from /proc: the connections it holds, plus a few of its own.
    int sockets() {
        int n = 0;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid()));
        for (const QString& name : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
            char target[64] = {};
            const QByteArray path = fds.filePath(name).toLocal8Bit();
            if (::readlink(path.constData(), target, sizeof target - 1) > 0 &&
                std::strncmp(target, "socket:", 7) == 0)
                ++n;
        }
        return n;
    }

    // SIGTERM; false when it had already died or would not end in order.
    bool stop() {
        return running() && app_.terminate(5000) >= 0 &&
               app_.process().exitStatus() == QProcess::NormalExit;
    }

    const std::vector<Line>& lines() const { return lines_; }
    int count(const QByteArray& event) const { return counts_.value(event); }
    // The first line of the event at or after `from` whose details contain `text`.
    const Line* find(const QByteArray& event, const QByteArray& text, double from = 0) const {
        for (const Line& l : lines_)
            if (l.at >= from && l.event == event && l.details.contains(text)) return &l;
        return nullptr;
    }
    QByteArray counts() const {
        return "log: Client Send " + QByteArray::number(count("Client Send")) + ", Socket Error " +
               QByteArray::number(count("Socket Error")) + ", Queue Full " +
               QByteArray::number(count("Queue Full")) + ", Client Error " +
               QByteArray::number(count("Client Error"));
    }

private:
    test::AppProcess app_;
    std::vector<Line> lines_;
    QHash<QByteArray, int> counts_;
};

// ---------------------------------------------------------------------------------------
// One request connection to port 6645 on a raw socket, so that a reset by the server is
// told apart from its orderly close.
class Connection {
public:
    enum class End { Open, Closed, Reset, Failed };

    // Opens a connection from `from` (any when null) to host:port and sends `bytes` once it
    // is established; with `halfClose`, shuts the sending side after the last byte.
    Connection(const QHostAddress& from, const QHostAddress& host, QByteArray bytes,
               bool halfClose, quint16 port = RequestPort)
        : out_(std::move(bytes)), halfClose_(halfClose), openedAt_(nowS()) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            finish(End::Failed, errno);
            return;
        }
        if (!from.isNull()) {
            sockaddr_in local = sockAddress(from, 0);
            if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
                finish(End::Failed, errno);
                return;
            }
        }
        sockaddr_in remote = sockAddress(host, port);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0 &&
            errno != EINPROGRESS) {
            finish(End::Failed, errno);
            return;
        }
        writer_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Write);
        QObject::connect(writer_.get(), &QSocketNotifier::activated, [this] { writable(); });
    }
    ~Connection() { closeNow(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    End end() const { return end_; }
    int error() const { return error_; }
    bool connected() const { return connected_; }
    bool sent() const { return connected_ && out_.isEmpty(); }
    double openedAt() const { return openedAt_; }
    double endedAt() const { return endedAt_; }
    qint64 written() const { return written_; }

    // More to send, after what is still waiting.
    void send(const QByteArray& bytes) {
        out_ += bytes;
        if (writer_ && connected_) writer_->setEnabled(true);
    }
    // Our side closes; what the server did is no longer watched.
    void closeNow() {
        writer_.reset();
        reader_.reset();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    static sockaddr_in sockAddress(const QHostAddress& a, quint16 port) {
        sockaddr_in s{};
        s.sin_family = AF_INET;
        s.sin_port = htons(port);
        s.sin_addr.s_addr = htonl(a.toIPv4Address());
        return s;
    }

    void writable() {
        if (!connected_) {
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                finish(End::Failed, error);
                return;
            }
            connected_ = true;
            reader_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
            QObject::connect(reader_.get(), &QSocketNotifier::activated, [this] { readable(); });
        }
        while (!out_.isEmpty()) {
            const ssize_t n = ::send(fd_, out_.constData(), size_t(out_.size()), MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) return; // wait for room
                finish(errno == ECONNRESET || errno == EPIPE ? End::Reset : End::Failed, errno);
                return;
            }
            written_ += n;
            out_.remove(0, n);
        }
        writer_->setEnabled(false);
        if (halfClose_) ::shutdown(fd_, SHUT_WR);
    }

    void readable() {
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0) return; // the service never writes here; nothing to keep
        if (n == 0) finish(End::Closed, 0);
        else if (errno != EAGAIN && errno != EWOULDBLOCK)
            finish(errno == ECONNRESET ? End::Reset : End::Failed, errno);
    }

    void finish(End end, int error) {
        if (end_ != End::Open) return;
        end_ = end;
        error_ = error;
        endedAt_ = nowS();
        closeNow();
    }

    int fd_ = -1;
    QByteArray out_;
    bool halfClose_;
    bool connected_ = false;
    End end_ = End::Open;
    int error_ = 0;
    double openedAt_;
    double endedAt_ = -1;
    qint64 written_ = 0;
    std::unique_ptr<QSocketNotifier> writer_;
    std::unique_ptr<QSocketNotifier> reader_;
};

// A requester's port 6646: every reply connection's bytes, in the order they ended.
class ReplySink {
public:
    struct Reply {
        double at;
        QByteArray bytes;
    };
    bool listen(const QHostAddress& a) {
        QObject::connect(&server_, &QTcpServer::newConnection, [this] { accept(); });
        return server_.listen(a, ReplyPort);
    }
    const std::vector<Reply>& replies() const { return replies_; }
    int connections() const { return connections_; }

private:
    void accept() {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            ++connections_;
            auto* bytes = new QByteArray;
            QObject::connect(socket, &QTcpSocket::readyRead,
                             [socket, bytes] { *bytes += socket->readAll(); });
            QObject::connect(socket, &QTcpSocket::disconnected, [this, socket, bytes] {
                *bytes += socket->readAll();
                replies_.push_back({nowS(), *bytes});
                delete bytes;
                socket->deleteLater();
            });
        }
    }
    QTcpServer server_;
    std::vector<Reply> replies_;
    int connections_ = 0;
};

// A requester's port 6646 that misbehaves, on a raw socket.
class BadSink {
public:
    enum class Kind { NeverRead, Reset, NeverAccept };
    BadSink(const QHostAddress& a, Kind kind) : kind_(kind) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in s{};
        s.sin_family = AF_INET;
        s.sin_port = htons(ReplyPort);
        s.sin_addr.s_addr = htonl(a.toIPv4Address());
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&s), sizeof s) != 0 ||
            ::listen(fd_, kind == Kind::NeverAccept ? 0 : 16) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
        if (kind == Kind::NeverAccept) {
            // Fill the accept queue ourselves: the server's SYNs are then dropped.
            for (int i = 0; i < 2; ++i)
                fillers_.push_back(
                    std::make_unique<Connection>(QHostAddress(), a, QByteArray(), false, ReplyPort));
            return;
        }
        notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { accept(); });
    }
    ~BadSink() {
        notifier_.reset();
        fillers_.clear();
        for (const int c : held_)
            ::close(c);
        if (fd_ >= 0) ::close(fd_);
    }
    BadSink(const BadSink&) = delete;
    BadSink& operator=(const BadSink&) = delete;
    bool ok() const { return fd_ >= 0; }
    int accepted() const { return accepted_; }

private:
    void accept() {
        int c;
        while ((c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
            ++accepted_;
            if (kind_ == Kind::Reset) {
                const linger hard{1, 0};
                ::setsockopt(c, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
                ::close(c);
            } else {
                held_.push_back(c);
            }
        }
    }
    Kind kind_;
    int fd_ = -1;
    int accepted_ = 0;
    std::vector<int> held_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::vector<std::unique_ptr<Connection>> fillers_;
};

// Replies to one source address, checked against what the server logged for it.
// Source addresses PREFIX.1, PREFIX.2, ..., each with a reply sink listening on its 6646.
bool listenOnSources(const QString& prefix, int count, std::vector<QHostAddress>& sources,
                     std::vector<std::unique_ptr<ReplySink>>& sinks) {
    for (int s = 0; s < count; ++s) {
        sources.emplace_back(prefix + QStringLiteral(".%1").arg(s + 1));
        sinks.push_back(std::make_unique<ReplySink>());
        if (!sinks.back()->listen(sources.back())) return false;
    }
    return true;
}

int repliesReceived(const std::vector<std::unique_ptr<ReplySink>>& sinks) {
    int n = 0;
    for (const auto& sink : sinks)
        n += int(sink->replies().size());
    return n;
}

// The token a reply answers, by its format; only the Quorix reply carries a clock time.
QByteArray tokenOfReply(const QByteArray& r) {
    return !r.startsWith("{KORVAT_") ? TokenKorvat : r.contains(':') ? TokenQuorix : TokenKorvat1010;
}

struct SourceCheck {
    int malformed = 0;
    bool sameAsLog = true; // the bytes and order of "Client Send" for each address
};
void checkSource(const Server& server, const QHostAddress& source,
                 const std::vector<ReplySink::Reply>& replies, SourceCheck& result) {
    const QByteArray to = " to " + source.toString().toLatin1();
    std::vector<QByteArray> logged;
    for (const Server::Line& l : server.lines())
        if (l.event == "Client Send" && l.details.endsWith(to))
            logged.push_back("{" + l.details.chopped(to.size()) + "}");
    if (logged.size() != replies.size()) result.sameAsLog = false;
    for (size_t i = 0; i < replies.size(); ++i) {
        const QByteArray& r = replies[i].bytes;
        if (!parseReply(r, tokenOfReply(r))) ++result.malformed;
        if (i < logged.size() && logged[i] != r) result.sameAsLog = false;
    }
}

// Every source's replies against the server's log.
SourceCheck checkSources(const Server& server, const std::vector<QHostAddress>& sources,
                         const std::vector<std::unique_ptr<ReplySink>>& sinks) {
    SourceCheck result;
    for (size_t s = 0; s < sources.size(); ++s)
        checkSource(server, sources[s], sinks[s]->replies(), result);
    return result;
}

// ---------------------------------------------------------------------------------------
struct Outcome {
    QByteArray figures;
    bool pass = false;
};

QByteArray fixed(double value, int decimals = 2) {
    return QByteArray::number(value, 'f', decimals);
}

// Sends one request from `source` and waits for its reply at `sink`; the time it took in
// seconds, or -1 when no reply came within the timeout.
double normalRequest(const QHostAddress& source, ReplySink& sink, double timeoutS = 5) {
    const size_t before = sink.replies().size();
    const double start = nowS();
    Connection c(source, address("127.0.0.1"), requestFrame(ClientType::Korvat1010), true);
    if (!pumpUntil([&] { return sink.replies().size() > before; }, timeoutS)) return -1;
    return sink.replies().back().at - start;
}

// ---------------------------------------------------------------------------------------
// 1. Every client at once.
Outcome everyoneAtOnce(Server& server) {
    constexpr int Clients = 1000;
    constexpr int Sources = 20;
    const ClientType kinds[] = {ClientType::Korvat1001, ClientType::Korvat1010,
                                ClientType::Quorix, ClientType::Korvat1012};
    std::vector<QHostAddress> sources;
    std::vector<std::unique_ptr<ReplySink>> sinks;
    if (!listenOnSources(QStringLiteral("127.0.1"), Sources, sources, sinks))
        return {"cannot listen on 6646", false};
    std::vector<std::unique_ptr<Connection>> clients;
    const double start = nowS();
    for (int i = 0; i < Clients; ++i)
        clients.push_back(std::make_unique<Connection>(sources[size_t(i % Sources)],
                                                       address("127.0.0.1"),
                                                       requestFrame(kinds[i % 4]), true));
    // Every request connection ends: closed by the server after it read the request, or
    // reset when the server dropped it unread.
    const auto ended = [&] {
        return std::all_of(clients.begin(), clients.end(),
                           [](const auto& c) { return c->end() != Connection::End::Open; });
    };
    const bool allEnded = pumpUntil(ended, 90);
    // Sent: the whole frame went out. Each must be answered or refused ("Queue Full"); a
    // request the server dropped unread is lost, whatever the client saw of the close.
    int sent = 0, failed = 0;
    for (const auto& c : clients) {
        if (c->sent()) ++sent;
        else ++failed;
    }
    // Everything the queue took is answered: wait for as many replies as the requests read
    // minus those refused, then a little longer for any sent twice.
    pumpUntil([&] { return repliesReceived(sinks) >= sent - server.count("Queue Full"); }, 60);
    pumpFor(0.5);
    const SourceCheck check = checkSources(server, sources, sinks);
    const int malformed = check.malformed;
    const bool inOrder = check.sameAsLog;
    double last = 0;
    for (const auto& sink : sinks)
        for (const auto& r : sink->replies()) last = std::max(last, r.at - start);
    const int refused = server.count("Queue Full");
    const int accepted = sent - refused;
    const int lost = accepted - repliesReceived(sinks);
    Outcome o;
    o.figures = "clients " + QByteArray::number(Clients) + " sent " + QByteArray::number(sent) +
                " not-sent " + QByteArray::number(failed) + " refused(Queue Full) " +
                QByteArray::number(refused) + " accepted " + QByteArray::number(accepted) +
                " answered " + QByteArray::number(repliesReceived(sinks)) + " lost " +
                QByteArray::number(lost) + " malformed " + QByteArray::number(malformed) +
                " in-order-per-source " + (inOrder ? "yes" : "no") + " last-reply " +
                fixed(last) + " s";
    o.pass = allEnded && server.running() && failed == 0 && lost == 0 &&
             malformed == 0 && inOrder && server.count("Client Send") == repliesReceived(sinks);
    return o;
}

// 2. Idle and slow connections beside a normal client.
Outcome idleAndSlow(Server& server) {
    constexpr int Idle = 300;
    constexpr int Slow = 50;
    constexpr int Normal = 20;
    constexpr int Cap = 256;
    const QHostAddress normal = address("127.0.2.1");
    ReplySink sink;
    if (!sink.listen(normal)) return {"cannot listen on 6646", false};
    std::vector<std::unique_ptr<Connection>> idle, slow;
    const int ownSockets = server.sockets();
    const double start = nowS();
    for (int i = 0; i < Idle; ++i)
        idle.push_back(std::make_unique<Connection>(
            QHostAddress(QStringLiteral("127.0.3.%1").arg(1 + i % 250)), address("127.0.0.1"),
            QByteArray(), false));
    for (int i = 0; i < Slow; ++i)
        slow.push_back(std::make_unique<Connection>(address("127.0.4.1"), address("127.0.0.1"),
                                                    QByteArray(), false));
    const auto openCount = [](const auto& list) {
        return int(std::count_if(list.begin(), list.end(), [](const auto& c) {
            return c->end() == Connection::End::Open;
        }));
    };
    pumpUntil([&] { return std::all_of(idle.begin(), idle.end(), [](const auto& c) {
                           return c->connected() || c->end() != Connection::End::Open;
                       }); },
              10);
    pumpFor(1); // the server takes them and decides
    // Held by the program: its sockets beyond those it had before (a connection still
    // waiting in the system's queue looks open to the client but is not the program's).
    int maxOpen = 0;
    const QByteArray slowText = requestFrame(ClientType::Korvat1010);
    std::vector<double> latencies;
    int unanswered = 0;
    double nextByte = start + 10;
    int slowBytes = 0;
    // The normal client asks every 2 s for 40 s; the slow ones send a byte every 10 s until
    // the idle ones have had 60 s and a margin.
    for (int i = 0; nowS() - start < 70; ++i) {
        maxOpen = std::max(maxOpen, server.sockets() - ownSockets);
        if (i < Normal) {
            const double t = normalRequest(normal, sink);
            if (t < 0) ++unanswered;
            else latencies.push_back(t * 1000);
        }
        if (nowS() >= nextByte) {
            for (auto& c : slow)
                c->send(slowText.mid(slowBytes % slowText.size(), 1));
            ++slowBytes;
            nextByte += 10;
        }
        pumpUntil([&] { return openCount(idle) == 0 && i >= Normal; }, i < Normal ? 2 : 0.25);
        if (openCount(idle) == 0 && i >= Normal && nowS() - start > 62) break;
    }
    const int slowOpen = openCount(slow);
    std::vector<double> idleClosed;
    int idleEarly = 0;
    for (const auto& c : idle) {
        if (c->end() == Connection::End::Open) continue;
        const double t = c->endedAt() - c->openedAt();
        if (t < 59) ++idleEarly; // closed to make room, not for being idle
        else idleClosed.push_back(t);
    }
    const int idleOpen = openCount(idle);
    Outcome o;
    o.figures = "normal " + QByteArray::number(int(latencies.size())) + "/" +
                QByteArray::number(Normal) + " p50 " + fixed(percentile(latencies, 50), 1) +
                " ms max " + fixed(percentile(latencies, 100), 1) + " ms; of " +
                QByteArray::number(Idle + Slow) + " the program held at most " +
                QByteArray::number(maxOpen) + " (with its reply connection)" +
                "; idle closed early " + QByteArray::number(idleEarly) + ", after " +
                fixed(percentile(idleClosed, 0), 1) + "-" + fixed(percentile(idleClosed, 100), 1) +
                " s: " + QByteArray::number(int(idleClosed.size())) + ", still open " +
                QByteArray::number(idleOpen) + "; slow still open " +
                QByteArray::number(slowOpen) + "/" + QByteArray::number(Slow);
    o.pass = server.running() && unanswered == 0 && percentile(latencies, 100) < 100 &&
             maxOpen <= Cap + 1 && idleOpen == 0 && !idleClosed.empty() &&
             percentile(idleClosed, 0) >= 59.5 && percentile(idleClosed, 100) <= 62;
    return o;
}

// 3. Random bytes and a read that never ends in "}".
Outcome garbage(Server& server) {
    constexpr int Connections = 200;
    constexpr qint64 Oversized = 16 * MiB;
    constexpr int Normal = 10;
    const QHostAddress normal = address("127.0.2.1");
    ReplySink sink;
    if (!sink.listen(normal)) return {"cannot listen on 6646", false};
    pumpFor(0.5);
    const qint64 before = server.rssKiB();
    qint64 peak = before;
    QRandomGenerator random(7);
    std::vector<std::unique_ptr<Connection>> noise;
    for (int i = 0; i < Connections; ++i) {
        QByteArray bytes(4096 + int(random.bounded(60 * 1024)), Qt::Uninitialized);
        random.fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
        noise.push_back(std::make_unique<Connection>(
            QHostAddress(QStringLiteral("127.0.5.%1").arg(1 + i % 200)), address("127.0.0.1"),
            bytes, true));
    }
    // One connection that keeps sending without a "}", 1 MiB at a time.
    Connection big(address("127.0.6.1"), address("127.0.0.1"), QByteArray(), false);
    const QByteArray block(MiB, '{');
    qint64 queued = 0;
    const bool done = pumpUntil(
        [&] {
            peak = std::max(peak, server.rssKiB());
            if (big.end() != Connection::End::Open) return true;
            if (big.written() + MiB >= queued && queued < Oversized) {
                big.send(block);
                queued += MiB;
            }
            return big.written() >= Oversized &&
                   std::all_of(noise.begin(), noise.end(), [](const auto& c) {
                       return c->end() != Connection::End::Open;
                   });
        },
        60);
    big.closeNow();
    std::vector<double> latencies;
    for (int i = 0; i < Normal; ++i) {
        const double t = normalRequest(normal, sink);
        if (t >= 0) latencies.push_back(t * 1000);
        peak = std::max(peak, server.rssKiB());
    }
    pumpFor(1);
    const qint64 after = server.rssKiB();
    Outcome o;
    o.figures = "random " + QByteArray::number(Connections) + " conns + " +
                QByteArray::number(big.written() / MiB) + " MiB without '}'; rss before " +
                QByteArray::number(before / 1024) + " MiB peak " +
                QByteArray::number(peak / 1024) + " MiB after " +
                QByteArray::number(after / 1024) + " MiB; normal " +
                QByteArray::number(int(latencies.size())) + "/" + QByteArray::number(Normal) +
                " max " + fixed(percentile(latencies, 100), 1) + " ms";
    // Bounded: far less than what was sent stays resident.
    o.pass = done && server.running() && int(latencies.size()) == Normal &&
             peak - before < 16 * 1024 && after - before < 8 * 1024;
    return o;
}

// 4. Requesters that misbehave on 6646: each entry ends within 5 s of its turn.
Outcome misbehaving(Server& server) {
    struct Kind {
        const char* name;
        QHostAddress source;
        std::function<std::unique_ptr<BadSink>()> sink;
        bool expectError; // must end as "Socket Error"
    };
    const QHostAddress unreachable = address("192.0.2.10");
    std::vector<Kind> kinds = {
        {"never-read", address("127.0.7.1"),
         [] { return std::make_unique<BadSink>(address("127.0.7.1"), BadSink::Kind::NeverRead); },
         false},
        {"reset", address("127.0.7.2"),
         [] { return std::make_unique<BadSink>(address("127.0.7.2"), BadSink::Kind::Reset); },
         false},
        {"refused", address("127.0.7.3"), [] { return std::unique_ptr<BadSink>(); }, true},
        {"never-accept", address("127.0.7.4"),
         [] { return std::make_unique<BadSink>(address("127.0.7.4"), BadSink::Kind::NeverAccept); },
         true},
    };
    const QHostAddress normal = address("127.0.2.1");
    ReplySink sink;
    if (!sink.listen(normal)) return {"cannot listen on 6646", false};
    QByteArray figures;
    bool pass = true;
    // Each kind alone in the queue, then a normal request behind it.
    for (Kind& k : kinds) {
        auto bad = k.sink();
        const size_t replies = sink.replies().size();
        const double turn = nowS();
        Connection c(k.source, address("127.0.0.1"), requestFrame(ClientType::Korvat1001), true);
        Connection n(normal, address("127.0.0.1"), requestFrame(ClientType::Korvat1001), false);
        const QByteArray addr = k.source.toString().toLatin1();
        const Server::Line* end = nullptr;
        pumpUntil([&] {
            end = server.find("Socket Error", "", turn);
            if (!end) end = server.find("Client Send", " to " + addr, turn);
            return end && sink.replies().size() > replies;
        }, 10);
        const bool error = end && end->event == "Socket Error";
        const double took = end ? end->at - turn : -1;
        const bool ok = end && took <= 5.2 && (error || !k.expectError) &&
                        sink.replies().size() > replies;
        figures += QByteArray(k.name) + " " + (end ? (error ? "Socket Error " : "Client Send ") : "no end ") +
                   fixed(took) + " s; ";
        pass = pass && ok;
    }
    // Unreachable: the requester's address goes away while an entry ahead of it holds the
    // queue, so the server's connection attempt finds nobody there.
    if (!ip({QStringLiteral("addr"), QStringLiteral("add"), QStringLiteral("192.0.2.10/24"),
             QStringLiteral("dev"), QStringLiteral("ks1")}))
        return {figures + "cannot add 192.0.2.10", false};
    {
        BadSink holder(address("127.0.7.5"), BadSink::Kind::NeverAccept);
        const double start = nowS();
        Connection h(address("127.0.7.5"), address("127.0.0.1"), requestFrame(ClientType::Korvat1001), true);
        Connection u(unreachable, address("192.0.2.1"), requestFrame(ClientType::Korvat1001), true);
        pumpUntil([&] { return u.end() != Connection::End::Open; }, 3);
        ip({QStringLiteral("addr"), QStringLiteral("del"), QStringLiteral("192.0.2.10/24"),
            QStringLiteral("dev"), QStringLiteral("ks1")});
        const size_t replies = sink.replies().size();
        Connection n(normal, address("127.0.0.1"), requestFrame(ClientType::Korvat1001), true);
        const Server::Line* first = nullptr;
        const Server::Line* second = nullptr;
        pumpUntil([&] {
            first = server.find("Socket Error", "", start);
            second = first ? server.find("Socket Error", "", first->at + 1e-9) : nullptr;
            return second && sink.replies().size() > replies;
        }, 15);
        const bool ok = u.end() == Connection::End::Closed && first && second &&
                        second->at - first->at <= 5.2 && sink.replies().size() > replies &&
                        !server.find("Client Send", " to 192.0.2.10", start);
        figures += "unreachable " + (second ? "Socket Error " + fixed(second->at - first->at) : QByteArray("no end")) + " s";
        pass = pass && ok;
    }
    return {figures, pass && server.running()};
}

// 5. A steady rate within capacity. The kinds of request go round per source, so each
// source's reply formats tell whether its replies came in the order it asked.
Outcome steadyAt(Server& server, int Requests, double Seconds, int Sources, const QString& prefix) {
    const ClientType kinds[] = {ClientType::Korvat1001, ClientType::Korvat1010, ClientType::Quorix};
    const auto kindOf = [&](int i) { return kinds[(i / Sources) % 3]; };
    std::vector<QHostAddress> sources;
    std::vector<std::unique_ptr<ReplySink>> sinks;
    if (!listenOnSources(prefix, Sources, sources, sinks))
        return {"cannot listen on 6646", false};
    std::vector<char> notSentAt(size_t(Requests), 0);
    std::map<int, std::unique_ptr<Connection>> open;
    int sent = 0, notSent = 0;
    const auto collectEnded = [&] {
        for (auto it = open.begin(); it != open.end();) {
            if (it->second->end() == Connection::End::Open) {
                ++it;
                continue;
            }
            const bool closed = it->second->end() == Connection::End::Closed;
            (closed ? sent : notSent) += 1;
            notSentAt[size_t(it->first)] = !closed;
            it = open.erase(it);
        }
    };
    qint64 rssMinute = -1;
    const double start = nowS();
    while (sent + notSent < Requests && nowS() - start < Seconds + 30) {
        const int due = std::min(Requests, int((nowS() - start) * Requests / Seconds) + 1);
        for (int i = sent + notSent + int(open.size()); i < due && open.size() < 200; ++i)
            open.emplace(i, std::make_unique<Connection>(sources[size_t(i % Sources)],
                                                         address("127.0.0.1"),
                                                         requestFrame(kindOf(i)), true));
        collectEnded();
        if (rssMinute < 0 && nowS() - start >= 60) rssMinute = server.rssKiB();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    // Those still open at the end count too, once they have ended.
    pumpUntil([&] { return collectEnded(), open.empty(); }, 20);
    pumpUntil([&] { return repliesReceived(sinks) >= sent - server.count("Queue Full"); }, 20);
    pumpFor(0.5);
    const qint64 rssEnd = server.rssKiB();
    const SourceCheck check = checkSources(server, sources, sinks);
    const int malformed = check.malformed;
    const bool sameAsLog = check.sameAsLog;
    // Each source's reply formats against the kinds it sent, in the order it opened them.
    bool inOrder = true;
    std::vector<size_t> next(size_t(Sources), 0);
    for (int i = 0; i < sent + notSent; ++i) {
        if (notSentAt[size_t(i)]) continue;
        const auto& replies = sinks[size_t(i % Sources)]->replies();
        const size_t k = next[size_t(i % Sources)]++;
        if (k < replies.size()) inOrder = inOrder && tokenOfReply(replies[k].bytes) == replyToken(kindOf(i));
    }
    const int refused = server.count("Queue Full");
    const int lost = sent - refused - repliesReceived(sinks);
    const double growth = rssMinute > 0 ? double(rssEnd - rssMinute) / double(rssMinute) : 1;
    Outcome o;
    o.figures = "sent " + QByteArray::number(sent) + " not-sent " + QByteArray::number(notSent) +
                " in " + fixed(nowS() - start, 1) + " s refused " + QByteArray::number(refused) +
                " answered " + QByteArray::number(repliesReceived(sinks)) + " lost " +
                QByteArray::number(lost) + " twice " +
                QByteArray::number(std::max(0, -lost)) + " malformed " +
                QByteArray::number(malformed) + " same-as-log " + (sameAsLog ? "yes" : "no") +
                " in-order-per-source " + (inOrder ? "yes" : "no") +
                "; rss at 1 min " + QByteArray::number(rssMinute) + " KiB, end " +
                QByteArray::number(rssEnd) + " KiB (" + fixed(growth * 100, 1) + " %)";
    o.pass = server.running() && sent == Requests && lost == 0 && refused == 0 &&
             malformed == 0 && sameAsLog && inOrder && std::abs(growth) <= 0.10;
    return o;
}

Outcome steady(Server& server) {
    return steadyAt(server, 10000, 300, 10, QStringLiteral("127.0.8"));
}

// The capacity the service is built for: 1 000 requests/s from 16 sources.
Outcome steady1000(Server& server) {
    const int seconds = qEnvironmentVariableIntValue("KS_SOAK_SECONDS") > 0
                            ? qEnvironmentVariableIntValue("KS_SOAK_SECONDS")
                            : 600;
    return steadyAt(server, 1000 * seconds, seconds, 16, QStringLiteral("127.0.9"));
}

// One case on a fresh program, which must still run at the end and end in order on SIGTERM.
Case networkCase(const char* name, Outcome (*run)(Server&)) {
    return {name, [run](QByteArray& figures) {
                Verdict v;
                Server server;
                if (!server.start()) {
                    v.fail("the program did not start");
                    return v;
                }
                const Outcome o = run(server);
                figures = o.figures;
                v.check(o.pass, "a figure missed its bound");
                v.check(server.running(), "the program died (exit code " + QByteArray::number(server.exitCode()) + ")");
                v.check(server.stop(), "the program did not end in order on SIGTERM");
                figures += "; " + server.counts();
                return v;
            }};
}

} // namespace

QList<Case> ks::soak::networkCases() {
    return {networkCase("1000-at-once", everyoneAtOnce), networkCase("idle-slow", idleAndSlow),
            networkCase("garbage", garbage),             networkCase("misbehave", misbehaving),
            networkCase("steady", steady),               networkCase("steady-1000", steady1000)};
}
