// The network suite: the time service under load and faults, one row per case. Each case
// starts a fresh program, which must still run at the end and end in order on SIGTERM. A
// well-behaved load comes from korvat-probe bench (answered, well-formed, in order per
// source); the faults come from sockets of our own.
#include "soak.h"

#include "AppProcess.h"
#include "ProcessStats.h"
#include "Wait.h"
#include "protocol/Requests.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

using namespace ks;
using namespace ks::soak;
using test::pumpFor;
using test::waitUntil;

namespace {

constexpr qint64 MiB = 1024 * 1024;
const QHostAddress Local(QHostAddress::LocalHost);

double nowS() {
    static QElapsedTimer monotonic = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return double(monotonic.nsecsElapsed()) / 1e9;
}
QByteArray fixed(double value, int decimals = 2) {
    return QByteArray::number(value, 'f', decimals);
}
QByteArray num(qint64 value) {
    return QByteArray::number(value);
}
QHostAddress at(const QString& text) {
    return QHostAddress(text);
}
double percentile(std::vector<double> v, double p) { // nearest rank
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[size_t(std::max(1.0, std::ceil(p / 100.0 * double(v.size())))) - 1];
}

// The program, its clock settings recorded; each log line of its stderr with when it came.
struct Server {
    struct Line {
        double at;
        QByteArray event, details;
    };
    test::AppProcess app;
    std::vector<Line> lines;

    Server() {
        app.env.insert(QStringLiteral("KSERVER_CLOCK_LOG"),
                       app.root() + QStringLiteral("/clock.log"));
        app.onLine = [this](const QByteArray& line) {
            const QList<QByteArray> f = line.split('\t');
            if (f.size() >= 4) lines.push_back({nowS(), f[2], f.mid(3).join('\t')});
        };
    }
    bool start() { // and wait until port 6645 takes connections
        app.start();
        return running() && waitUntil(
                                [] {
                                    QTcpSocket probe;
                                    probe.connectToHost(Local, 6645);
                                    return probe.waitForConnected(200);
                                },
                                10000);
    }
    bool running() { return app.process().state() == QProcess::Running; }
    qint64 rssKiB() { return test::processRssKiB(app.process().processId()); }
    int sockets() { // its open sockets, from /proc
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(app.process().processId()));
        int n = 0;
        for (const QFileInfo& fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot))
            n += fd.symLinkTarget().contains(QLatin1String("socket:"));
        return n;
    }
    int count(const QByteArray& event) const {
        return int(std::count_if(lines.begin(), lines.end(),
                                 [&](const Line& l) { return l.event == event; }));
    }
    // The first line of the event at or after `from` whose details contain `text`.
    const Line* find(const QByteArray& event, const QByteArray& text, double from) const {
        for (const Line& l : lines)
            if (l.at >= from && l.event == event && l.details.contains(text)) return &l;
        return nullptr;
    }
};

// One connection from `from` to host:port, sending `bytes` once established (then shutting
// its sending side with `halfClose`); it has ended once the server closed or reset it.
struct Conn {
    QTcpSocket socket;
    double openedAt = nowS(), endedAt = -1;
    qint64 written = 0;
    Conn(const QHostAddress& from, const QByteArray& bytes, bool halfClose = true,
         const QHostAddress& host = Local, quint16 port = 6645) {
        const auto end = [this] {
            if (endedAt < 0) endedAt = nowS();
        };
        QObject::connect(&socket, &QTcpSocket::disconnected, end);
        QObject::connect(&socket, &QTcpSocket::errorOccurred, end);
        QObject::connect(&socket, &QTcpSocket::connected, [this, bytes] {
            if (!bytes.isEmpty()) socket.write(bytes);
        });
        QObject::connect(&socket, &QTcpSocket::bytesWritten, [this, halfClose](qint64 n) {
            written += n;
            if (halfClose && socket.bytesToWrite() == 0)
                ::shutdown(int(socket.socketDescriptor()), SHUT_WR);
        });
        if (!from.isNull()) socket.bind(from);
        socket.connectToHost(host, port);
    }
    bool open() const { return endedAt < 0; }
};
using Conns = std::vector<std::unique_ptr<Conn>>;
int stillOpen(const Conns& list) {
    return int(std::count_if(list.begin(), list.end(), [](const auto& c) { return c->open(); }));
}

// A requester's port 6646 and when each reply connection ended. A misbehaving one never
// reads, resets or never accepts.
enum class Sink { Normal, NeverRead, Reset, NeverAccept };
struct ReplySink {
    QTcpServer server;
    std::vector<double> replies;
    Conns fillers;
    ReplySink(const QHostAddress& a, Sink kind = Sink::Normal) {
        if (kind == Sink::NeverAccept) server.setListenBacklogSize(0);
        if (!server.listen(a, 6646)) return;
        if (kind == Sink::NeverAccept) { // a full accept queue: the server's SYNs are dropped
            server.pauseAccepting();
            for (int i = 0; i < 2; ++i)
                fillers.push_back(std::make_unique<Conn>(QHostAddress(), "", false, a, 6646));
        }
        if (kind == Sink::Normal || kind == Sink::Reset)
            QObject::connect(&server, &QTcpServer::newConnection, [this, kind] { accept(kind); });
    }
    void accept(Sink kind) {
        while (QTcpSocket* s = server.nextPendingConnection()) {
            if (kind == Sink::Reset) {
                const linger hard{1, 0};
                ::setsockopt(int(s->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
                s->abort();
            }
            QObject::connect(s, &QTcpSocket::disconnected, [this, s] {
                replies.push_back(nowS());
                s->deleteLater();
            });
        }
    }
    // One request from `source`, which this sink listens for: its reply's time, -1 when none.
    double request(const QHostAddress& source, double timeoutS = 5) {
        const size_t before = replies.size();
        const double start = nowS();
        Conn c(source, requestFrame(ClientType::Korvat1010));
        return waitUntil([&] { return replies.size() > before; }, int(timeoutS * 1000))
                   ? replies.back() - start
                   : -1;
    }
};

// The load of korvat-probe bench: REQUESTS from SOURCES at RATE per second, or all at once
// (rate 0, up to IN-FLIGHT open). The probe stops after 10 minutes, so a longer load is sent
// in runs of 5 minutes, each from its own addresses (a closed reply connection holds its port
// toward its address for a minute). The program's memory may not grow after its first minute.
struct Load {
    const char* name;
    int requests, sources;
    double rate;
    int inFlight, base;
};

QByteArray probeLoad(Server& server, const Load& l, bool& pass) {
    const double seconds = l.rate > 0 ? l.requests / l.rate : 0;
    const int runs = std::max(1, int(std::ceil(seconds / 300)));
    QByteArray figures;
    qint64 rssMinute = -1, answered = 0;
    const double start = nowS();
    for (int run = 0; run < runs; ++run) {
        QStringList args = {QStringLiteral("bench"),
                            QStringLiteral("127.0.0.1"),
                            QStringLiteral("--requests"),
                            QString::number(l.requests / runs),
                            QStringLiteral("--sources"),
                            QString::number(l.sources),
                            QStringLiteral("--source-base"),
                            QStringLiteral("127.%1.%2.1").arg(l.base).arg(run),
                            QStringLiteral("--deadline"),
                            QString::number(std::min(600, int(seconds / runs) + 90))};
        args << (l.rate > 0 ? QStringLiteral("--rate") : QStringLiteral("--in-flight"))
             << (l.rate > 0 ? QString::number(l.rate) : QString::number(l.inFlight));
        QProcess probe;
        probe.start(QStringLiteral(KS_PROBE_BIN), args);
        waitUntil(
            [&] {
                if (rssMinute < 0 && nowS() - start >= 60) rssMinute = server.rssKiB();
                return probe.state() == QProcess::NotRunning;
            },
            660'000);
        pass = pass && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
        for (QByteArray line : probe.readAllStandardOutput().split('\n')) {
            line = line.simplified();
            if (line.startsWith("answered ")) answered += line.mid(9).toInt();
            if (!line.isEmpty() && !line.startsWith("requests") && !line.startsWith("ended"))
                figures += line + "; ";
        }
    }
    pumpFor(500);
    const qint64 rssEnd = server.rssKiB();
    const double growth = rssMinute > 0 ? double(rssEnd - rssMinute) / double(rssMinute) : 0;
    if (rssMinute > 0)
        figures += "rss at 1 min " + num(rssMinute) + " KiB, end " + num(rssEnd) + " KiB (" +
                   fixed(growth * 100, 1) + " %); ";
    // Every reply the probe took is one the program logged, and it refused none.
    pass = pass && server.count("Client Send") == answered && server.count("Queue Full") == 0 &&
           std::abs(growth) <= 0.10;
    return figures + "in " + fixed(nowS() - start, 1) + " s";
}

// 300 silent and 50 slow connections beside a normal client, who is answered meanwhile; the
// program holds at most its 256 connections and closes the silent ones after 60 s.
QByteArray idleAndSlow(Server& server, bool& pass) {
    constexpr int Idle = 300, Slow = 50, Normal = 20, Cap = 256;
    const QHostAddress normal = at(QStringLiteral("127.0.2.1"));
    ReplySink sink(normal);
    const int ownSockets = server.sockets();
    const double start = nowS();
    Conns idle, slow;
    for (int i = 0; i < Idle; ++i)
        idle.push_back(
            std::make_unique<Conn>(at(QStringLiteral("127.0.3.%1").arg(1 + i % 250)), "", false));
    for (int i = 0; i < Slow; ++i)
        slow.push_back(std::make_unique<Conn>(at(QStringLiteral("127.0.4.1")), "", false));
    pumpFor(2000); // the program takes them and decides
    const QByteArray slowText = requestFrame(ClientType::Korvat1010);
    std::vector<double> latencies;
    int maxOpen = 0, slowBytes = 0;
    // The normal client asks every 2 s for 40 s; the slow ones send a byte every 10 s until
    // the idle ones have had 60 s and a margin.
    for (int i = 0;
         nowS() - start < 70 && (stillOpen(idle) > 0 || i < Normal || nowS() - start <= 62); ++i) {
        maxOpen = std::max(maxOpen, server.sockets() - ownSockets);
        const double t = i < Normal ? sink.request(normal) : 0;
        if (t >= 0 && i < Normal) latencies.push_back(t * 1000);
        if (nowS() - start >= 10 * (slowBytes + 1)) {
            for (auto& c : slow)
                c->socket.write(slowText.mid(slowBytes % slowText.size(), 1));
            ++slowBytes;
        }
        waitUntil([&] { return stillOpen(idle) == 0 && i >= Normal; }, i < Normal ? 2000 : 250);
    }
    std::vector<double> idleClosed;
    int idleEarly = 0;
    for (const auto& c : idle) {
        if (c->open()) continue;
        const double t = c->endedAt - c->openedAt;
        if (t < 59)
            ++idleEarly; // closed to make room, not for being idle
        else
            idleClosed.push_back(t);
    }
    pass = int(latencies.size()) == Normal && percentile(latencies, 100) < 100 &&
           maxOpen <= Cap + 1 && stillOpen(idle) == 0 && !idleClosed.empty() &&
           percentile(idleClosed, 0) >= 59.5 && percentile(idleClosed, 100) <= 62;
    return "normal " + num(int(latencies.size())) + "/" + num(Normal) + " p50 " +
           fixed(percentile(latencies, 50), 1) + " ms max " + fixed(percentile(latencies, 100), 1) +
           " ms; of " + num(Idle + Slow) + " the program held at most " + num(maxOpen) +
           " (with its reply connection); idle closed early " + num(idleEarly) + ", after " +
           fixed(percentile(idleClosed, 0), 1) + "-" + fixed(percentile(idleClosed, 100), 1) +
           " s: " + num(int(idleClosed.size())) + ", still open " + num(stillOpen(idle)) +
           "; slow still open " + num(stillOpen(slow)) + "/" + num(Slow);
}

// Random bytes on 200 connections and 16 MiB without "}" on one: what stays resident is far
// less than what was sent, and a normal client is answered afterwards.
QByteArray garbage(Server& server, bool& pass) {
    constexpr int Connections = 200, Normal = 10;
    const QHostAddress normal = at(QStringLiteral("127.0.2.1"));
    ReplySink sink(normal);
    pumpFor(500);
    const qint64 before = server.rssKiB();
    qint64 peak = before;
    QRandomGenerator random(7);
    Conns noise;
    for (int i = 0; i < Connections; ++i) {
        QByteArray bytes(4096 + int(random.bounded(60 * 1024)), Qt::Uninitialized);
        random.fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
        noise.push_back(std::make_unique<Conn>(at(QStringLiteral("127.0.5.%1").arg(1 + i)), bytes));
    }
    Conn big(at(QStringLiteral("127.0.6.1")), "", false);
    const bool done = waitUntil(
        [&] {
            peak = std::max(peak, server.rssKiB());
            if (big.socket.state() == QAbstractSocket::ConnectedState &&
                big.socket.bytesToWrite() < MiB &&
                big.written + big.socket.bytesToWrite() < 16 * MiB)
                big.socket.write(QByteArray(MiB, '{'));
            return (!big.open() || big.written >= 16 * MiB) && stillOpen(noise) == 0;
        },
        60'000);
    const qint64 bigWritten = big.written;
    big.socket.abort();
    std::vector<double> latencies;
    for (int i = 0; i < Normal; ++i) {
        if (const double t = sink.request(normal); t >= 0) latencies.push_back(t * 1000);
        peak = std::max(peak, server.rssKiB());
    }
    pumpFor(1000);
    const qint64 after = server.rssKiB();
    pass = done && int(latencies.size()) == Normal && peak - before < 16 * 1024 &&
           after - before < 8 * 1024;
    return "random " + num(Connections) + " conns + " + num(bigWritten / MiB) +
           " MiB without '}'; rss before " + num(before / 1024) + " MiB peak " + num(peak / 1024) +
           " MiB after " + num(after / 1024) + " MiB; normal " + num(int(latencies.size())) + "/" +
           num(Normal) + " max " + fixed(percentile(latencies, 100), 1) + " ms";
}

// Requesters that misbehave on 6646, each alone in the queue with a normal request behind it:
// each ends within 5 s of its turn, as "Socket Error" where it cannot be reached.
QByteArray misbehaving(Server& server, bool& pass) {
    const struct {
        const char* name;
        Sink sink;
        bool listens, error;
    } kinds[] = {{"never-read", Sink::NeverRead, true, false},
                 {"reset", Sink::Reset, true, false},
                 {"refused", Sink::Normal, false, true},
                 {"never-accept", Sink::NeverAccept, true, true}};
    const QHostAddress normal = at(QStringLiteral("127.0.2.1"));
    ReplySink sink(normal);
    QByteArray figures;
    int n = 0;
    for (const auto& k : kinds) {
        const QHostAddress source = at(QStringLiteral("127.0.7.%1").arg(++n));
        const auto bad = k.listens ? std::make_unique<ReplySink>(source, k.sink) : nullptr;
        const size_t replies = sink.replies.size();
        const double turn = nowS();
        Conn c(source, requestFrame(ClientType::Korvat1001));
        Conn behind(normal, requestFrame(ClientType::Korvat1001), false);
        const Server::Line* end = nullptr;
        waitUntil(
            [&] {
                end = server.find("Socket Error", "", turn);
                if (!end)
                    end = server.find("Client Send", " to " + source.toString().toLatin1(), turn);
                return end && sink.replies.size() > replies;
            },
            10'000);
        const bool error = end && end->event == "Socket Error";
        pass = pass && end && end->at - turn <= 5.2 && (error || !k.error) &&
               sink.replies.size() > replies;
        figures += QByteArray(k.name) + " " + (end ? end->event : "no end") + " " +
                   fixed(end ? end->at - turn : -1) + " s; ";
    }
    // Unreachable: the requester's address goes away while an entry ahead of it holds the
    // queue, so the program's connection attempt finds nobody there.
    const QStringList address = {QStringLiteral("192.0.2.10/24"), QStringLiteral("dev"),
                                 QStringLiteral("ks1")};
    if (QProcess::execute(QStringLiteral("ip"),
                          QStringList{QStringLiteral("addr"), QStringLiteral("add")} + address) !=
        0) {
        pass = false;
        return figures + "cannot add 192.0.2.10";
    }
    const QHostAddress holder = at(QStringLiteral("127.0.7.5"));
    ReplySink held(holder, Sink::NeverAccept);
    const double start = nowS();
    Conn h(holder, requestFrame(ClientType::Korvat1001));
    Conn u(at(QStringLiteral("192.0.2.10")), requestFrame(ClientType::Korvat1001), true,
           at(QStringLiteral("192.0.2.1")));
    waitUntil([&] { return !u.open(); }, 3000);
    QProcess::execute(QStringLiteral("ip"),
                      QStringList{QStringLiteral("addr"), QStringLiteral("del")} + address);
    const size_t replies = sink.replies.size();
    Conn behind(normal, requestFrame(ClientType::Korvat1001));
    const Server::Line *first = nullptr, *second = nullptr;
    waitUntil(
        [&] {
            first = server.find("Socket Error", "", start);
            second = first ? server.find("Socket Error", "", first->at + 1e-9) : nullptr;
            return second && sink.replies.size() > replies;
        },
        15'000);
    pass = pass && !u.open() && second && second->at - first->at <= 5.2 &&
           sink.replies.size() > replies && !server.find("Client Send", " to 192.0.2.10", start);
    return figures + "unreachable " +
           (second ? "Socket Error " + fixed(second->at - first->at) : "no end") + " s";
}

using Run = std::function<QByteArray(Server&, bool&)>;
Run load(const Load& l) {
    return [l](Server& s, bool& pass) { return probeLoad(s, l, pass); };
}

// One case on a fresh program, which must still run at the end and end in order on SIGTERM.
Case networkCase(const char* name, const Run& run) {
    return {name, [run](QByteArray& figures) {
                Verdict v;
                Server server;
                if (!server.start()) return v.fail("the program did not start"), v;
                bool pass = true;
                figures = run(server, pass);
                v.check(pass, "a figure missed its bound");
                v.check(server.running(), "the program died (exit code " +
                                              num(server.app.process().exitCode()) + ")");
                v.check(server.running() && server.app.terminate(5000) >= 0 &&
                            server.app.process().exitStatus() == QProcess::NormalExit,
                        "the program did not end in order on SIGTERM");
                figures += "; log: Client Send " + num(server.count("Client Send")) +
                           ", Socket Error " + num(server.count("Socket Error")) + ", Queue Full " +
                           num(server.count("Queue Full")) + ", Client Error " +
                           num(server.count("Client Error"));
                return v;
            }};
}

} // namespace

QList<Case> ks::soak::networkCases() {
    const int seconds = qEnvironmentVariableIntValue("KS_SOAK_SECONDS") > 0
                            ? qEnvironmentVariableIntValue("KS_SOAK_SECONDS")
                            : 600;
    //                 name            requests        sources rate     in flight  addresses 127.N
    const Load loads[] = {{"1000-at-once", 1000, 20, 0, 1000, 1},
                          {"steady", 10000, 10, 10000.0 / 300, 0, 8},
                          {"steady-1000", 1000 * seconds, 16, 1000, 0, 9}};
    return {networkCase(loads[0].name, load(loads[0])),
            networkCase("idle-slow", idleAndSlow),
            networkCase("garbage", garbage),
            networkCase("misbehave", misbehaving),
            networkCase(loads[1].name, load(loads[1])),
            networkCase(loads[2].name, load(loads[2]))};
}
