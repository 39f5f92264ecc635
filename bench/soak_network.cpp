// The network suite: the time service under load and faults, one row per case. Each case
// starts a fresh program, which must still run at the end and end in order on SIGTERM. A
// well-behaved load comes from korvat-probe bench (answered, well-formed, in order per
// source); the faults come from sockets of our own.
#include "soak.h"

#include "AppProcess.h"
#include "Namespace.h"
#include "Wait.h"
#include "protocol/Requests.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>

#include <sys/socket.h>

#include <memory>

using namespace ks;
using namespace ks::soak;
using namespace Qt::Literals::StringLiterals;
using test::pumpFor;
using test::waitUntil;

namespace {

constexpr qint64 MiB = 1024 * 1024;
const QHostAddress Local(QHostAddress::LocalHost);
const QHostAddress Normal(u"127.0.2.1"_s); // the well-behaved client beside a fault
const QByteArray Request = requestFrame(ClientType::Korvat1010);

// The program, its clock settings recorded; each log line of its stderr with when it came.
struct Server {
    struct Line {
        double at;
        QByteArray event, details;
    };
    test::AppProcess app;
    std::vector<Line> lines;

    Server() {
        app.env.insert(u"KSERVER_CLOCK_LOG"_s, app.root() + u"/clock.log"_s);
        app.onLine = [this](const QByteArray& line) {
            const QList<QByteArray> f = line.split('\t');
            if (f.size() >= 4) lines.push_back({nowS(), f[2], f.mid(3).join('\t')});
        };
    }
    bool start() { // and wait until port 6645 takes connections
        app.start();
        const auto listening = [] {
            QTcpSocket probe;
            probe.connectToHost(Local, 6645);
            return probe.waitForConnected(200);
        };
        return waitUntil([&] { return !running() || listening(); }, 10000) && running();
    }
    bool running() { return app.process().state() == QProcess::Running; }
    qint64 rssKiB() { return test::processRssKiB(app.process().processId()); }
    int sockets() { // its open sockets, from /proc
        const QDir fds(u"/proc/%1/fd"_s.arg(app.process().processId()));
        int n = 0;
        for (const QFileInfo& fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot))
            n += fd.symLinkTarget().contains("socket:"_L1);
        return n;
    }
    int count(const QByteArray& event) const {
        return int(std::count_if(lines.begin(), lines.end(), [&](auto& l) { return l.event == event; }));
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
        const auto end = [this] { endedAt = endedAt < 0 ? nowS() : endedAt; };
        QObject::connect(&socket, &QTcpSocket::disconnected, end);
        QObject::connect(&socket, &QTcpSocket::errorOccurred, end);
        QObject::connect(&socket, &QTcpSocket::connected, [this, bytes] { socket.write(bytes); });
        QObject::connect(&socket, &QTcpSocket::bytesWritten, [this, halfClose](qint64 n) {
            written += n;
            if (halfClose && socket.bytesToWrite() == 0) ::shutdown(int(socket.socketDescriptor()), SHUT_WR);
        });
        if (!from.isNull()) socket.bind(from);
        socket.connectToHost(host, port);
    }
    bool open() const { return endedAt < 0; }
};
using Conns = std::vector<std::unique_ptr<Conn>>;
const auto stillOpen = [](const Conns& list) {
    return int(std::count_if(list.begin(), list.end(), [](auto& c) { return c->open(); }));
};

// A requester's port 6646 and when each reply connection ended; or one that never reads,
// resets, or never accepts (its accept queue full, so the server's SYNs are dropped).
enum class Sink { Reads, None, NeverRead, Reset, NeverAccept };
struct ReplySink {
    QTcpServer server;
    std::vector<double> replies;
    Conns fillers;
    explicit ReplySink(const QHostAddress& a, Sink kind = Sink::Reads) {
        if (kind == Sink::NeverAccept) server.setListenBacklogSize(0);
        if (kind == Sink::None || !server.listen(a, 6646) || kind == Sink::NeverRead) return;
        if (kind == Sink::NeverAccept) {
            server.pauseAccepting();
            for (int i = 0; i < 2; ++i)
                fillers.push_back(std::make_unique<Conn>(QHostAddress(), "", false, a, 6646));
            return;
        }
        QObject::connect(&server, &QTcpServer::newConnection, [this, kind] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                if (kind == Sink::Reset) {
                    const linger hard{1, 0};
                    ::setsockopt(int(s->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
                    s->abort();
                }
                QObject::connect(s, &QTcpSocket::disconnected,
                                 [this, s] { replies.push_back(nowS()), s->deleteLater(); });
            }
        });
    }
    // One request from `source`, which this sink listens for: how long its reply took in
    // ms, or -1 when none came in 5 s.
    double request(const QHostAddress& source) {
        const size_t before = replies.size();
        const double start = nowS();
        Conn c(source, Request);
        return waitUntil([&] { return replies.size() > before; }) ? (replies.back() - start) * 1000 : -1;
    }
};

// korvat-probe bench: REQUESTS from SOURCES (127.BASE.run.1 upwards) at RATE per second, or
// all at once (rate 0) with up to IN-FLIGHT open. The probe stops after 10 minutes, so a
// longer load is sent in runs of 5 minutes, each from its own addresses (a closed reply
// connection holds its port toward its address for a minute). Memory may not grow after the
// first minute.
struct Load {
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
        QProcess probe;
        const QString rate = l.rate > 0 ? u"--rate %1"_s.arg(l.rate) : u"--in-flight %1"_s.arg(l.inFlight);
        probe.start(QStringLiteral(KS_PROBE_BIN),
                    QString::asprintf("bench 127.0.0.1 --requests %d --sources %d --source-base 127.%d.%d.1 "
                                      "--deadline %d",
                                      l.requests / runs, l.sources, l.base, run,
                                      std::min(600, int(seconds / runs) + 90))
                            .split(u' ') +
                        rate.split(u' '));
        waitUntil(
            [&] {
                if (rssMinute < 0 && nowS() - start >= 60) rssMinute = server.rssKiB();
                return probe.state() == QProcess::NotRunning;
            },
            660'000);
        const bool held = probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
        if (!held) figures += "korvat-probe: " + probe.readAllStandardError().simplified() + "; ";
        pass = pass && held;
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

// 300 silent and 50 slow connections: the program holds at most its 256 connections, closes
// the silent ones after 60 s, and answers a normal client every 2 s for 40 s meanwhile.
QByteArray idleAndSlow(Server& server, bool& pass) {
    constexpr int Idle = 300, Slow = 50, Asks = 20, Cap = 256;
    ReplySink sink(Normal);
    const int ownSockets = server.sockets();
    const double start = nowS();
    Conns idle, slow;
    for (int i = 0; i < Idle; ++i)
        idle.push_back(std::make_unique<Conn>(QHostAddress(u"127.0.3.%1"_s.arg(1 + i % 250)), "", false));
    for (int i = 0; i < Slow; ++i)
        slow.push_back(std::make_unique<Conn>(QHostAddress(u"127.0.4.1"_s), "", false));
    pumpFor(2000); // the program takes them and decides
    std::vector<double> latencies;
    int maxOpen = 0, slowBytes = 0;
    // The slow ones send a byte every 10 s until the idle ones have had 60 s and a margin.
    for (int i = 0; nowS() - start < 70 && (stillOpen(idle) > 0 || i < Asks || nowS() - start <= 62); ++i) {
        maxOpen = std::max(maxOpen, server.sockets() - ownSockets);
        if (const double t = i < Asks ? sink.request(Normal) : -2; t >= 0) latencies.push_back(t);
        if (nowS() - start >= 10 * (slowBytes + 1)) {
            for (auto& c : slow) c->socket.write(Request.mid(slowBytes % Request.size(), 1));
            ++slowBytes;
        }
        waitUntil([&] { return stillOpen(idle) == 0 && i >= Asks; }, i < Asks ? 2000 : 250);
    }
    std::vector<double> idleClosed; // after 59 s or more; sooner, to make room
    int early = 0;
    for (const auto& c : idle)
        if (!c->open())
            c->endedAt - c->openedAt < 59 ? void(++early) : idleClosed.push_back(c->endedAt - c->openedAt);
    pass = int(latencies.size()) == Asks && percentile(latencies, 100) < 100 && maxOpen <= Cap + 1 &&
           stillOpen(idle) == 0 && !idleClosed.empty() && percentile(idleClosed, 0) >= 59.5 &&
           percentile(idleClosed, 100) <= 62;
    return "normal " + num(int(latencies.size())) + "/" + num(Asks) + " p50 " +
           fixed(percentile(latencies, 50), 1) + " ms max " + fixed(percentile(latencies, 100), 1) +
           " ms; of " + num(Idle + Slow) + " the program held at most " + num(maxOpen) +
           " (with its reply connection); idle closed early " + num(early) + ", after " +
           fixed(percentile(idleClosed, 0), 1) + "-" + fixed(percentile(idleClosed, 100), 1) +
           " s: " + num(int(idleClosed.size())) + ", still open " + num(stillOpen(idle)) +
           "; slow still open " + num(stillOpen(slow)) + "/" + num(Slow);
}

// Random bytes on 200 connections and 16 MiB without "}" on one: what stays resident is far
// less than what was sent, and a normal client is answered afterwards.
QByteArray garbage(Server& server, bool& pass) {
    constexpr int Connections = 200, Asks = 10;
    ReplySink sink(Normal);
    pumpFor(500);
    const qint64 before = server.rssKiB();
    qint64 peak = before;
    QRandomGenerator random(7);
    Conns noise;
    for (int i = 0; i < Connections; ++i) {
        QByteArray bytes(4096 + int(random.bounded(60 * 1024)), Qt::Uninitialized);
        random.fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
        noise.push_back(std::make_unique<Conn>(QHostAddress(u"127.0.5.%1"_s.arg(1 + i)), bytes));
    }
    Conn big(QHostAddress(u"127.0.6.1"_s), "", false);
    const bool done = waitUntil(
        [&] {
            peak = std::max(peak, server.rssKiB());
            QTcpSocket& s = big.socket;
            if (s.state() == QAbstractSocket::ConnectedState && s.bytesToWrite() < MiB &&
                big.written + s.bytesToWrite() < 16 * MiB)
                s.write(QByteArray(MiB, '{'));
            return (!big.open() || big.written >= 16 * MiB) && stillOpen(noise) == 0;
        },
        60'000);
    big.socket.abort();
    std::vector<double> latencies;
    for (int i = 0; i < Asks; ++i) {
        if (const double t = sink.request(Normal); t >= 0) latencies.push_back(t);
        peak = std::max(peak, server.rssKiB());
    }
    pumpFor(1000);
    const qint64 after = server.rssKiB();
    pass = done && int(latencies.size()) == Asks && peak - before < 16 * 1024 && after - before < 8 * 1024;
    return "random " + num(Connections) + " conns + " + num(big.written / MiB) +
           " MiB without '}'; rss before " + num(before / 1024) + " MiB peak " + num(peak / 1024) +
           " MiB after " + num(after / 1024) + " MiB; normal " + num(int(latencies.size())) + "/" +
           num(Asks) + " max " + fixed(percentile(latencies, 100), 1) + " ms";
}

// Requesters that misbehave on 6646, each alone in the queue with a normal request behind it:
// each ends within 5 s of its turn, as "Socket Error" where it cannot be reached.
QByteArray misbehaving(Server& server, bool& pass) {
    const std::tuple<const char*, Sink, bool> kinds[] = {// must end as "Socket Error"
                                                         {"never-read", Sink::NeverRead, false},
                                                         {"reset", Sink::Reset, false},
                                                         {"refused", Sink::None, true},
                                                         {"never-accept", Sink::NeverAccept, true}};
    ReplySink sink(Normal);
    QByteArray figures;
    int n = 0;
    for (const auto& [name, kind, mustFail] : kinds) {
        const QHostAddress source(u"127.0.7.%1"_s.arg(++n));
        const ReplySink bad(source, kind);
        const size_t replies = sink.replies.size();
        const double turn = nowS();
        Conn c(source, Request), behind(Normal, Request, false);
        const Server::Line* end = nullptr;
        waitUntil(
            [&] {
                end = server.find("Socket Error", "", turn);
                if (!end) end = server.find("Client Send", " to " + source.toString().toLatin1(), turn);
                return end && sink.replies.size() > replies;
            },
            10'000);
        const bool error = end && end->event == "Socket Error";
        pass = pass && end && end->at - turn <= 5.2 && (error || !mustFail) && sink.replies.size() > replies;
        figures += QByteArray(name) + " " + (end ? end->event : "no end") + " " +
                   fixed(end ? end->at - turn : -1) + " s; ";
    }
    // Unreachable: the requester's address goes away while an entry ahead of it holds the
    // queue, so the program's connection attempt finds nobody there.
    if (!test::ip(u"addr add 192.0.2.10/24 dev ks1"_s))
        return pass = false, figures + "cannot add 192.0.2.10";
    const QHostAddress holder(u"127.0.7.5"_s);
    ReplySink held(holder, Sink::NeverAccept);
    const double start = nowS();
    Conn h(holder, Request), u(QHostAddress(u"192.0.2.10"_s), Request, true, QHostAddress(u"192.0.2.1"_s));
    waitUntil([&] { return !u.open(); }, 3000);
    test::ip(u"addr del 192.0.2.10/24 dev ks1"_s);
    const size_t replies = sink.replies.size();
    Conn behind(Normal, Request);
    const Server::Line *first = nullptr, *second = nullptr;
    waitUntil(
        [&] {
            first = server.find("Socket Error", "", start);
            second = first ? server.find("Socket Error", "", first->at + 1e-9) : nullptr;
            return second && sink.replies.size() > replies;
        },
        15'000);
    pass = pass && !u.open() && second && second->at - first->at <= 5.2 && sink.replies.size() > replies &&
           !server.find("Client Send", " to 192.0.2.10", start);
    return figures + "unreachable " + (second ? "Socket Error " + fixed(second->at - first->at) : "no end") +
           " s";
}

// One case on a fresh program, which must still run at the end and end in order on SIGTERM.
using Run = std::function<QByteArray(Server&, bool&)>;
Case networkCase(const char* name, const Run& run) {
    return {name, [run](QByteArray& figures) {
                Verdict v;
                Server server;
                if (!server.start()) return v.fail("the program did not start"), v;
                bool pass = true;
                figures = run(server, pass);
                v.check(pass, "a figure missed its bound");
                v.check(server.running(),
                        "the program died (exit code " + num(server.app.process().exitCode()) + ")");
                v.check(server.running() && server.app.terminate(5000) >= 0 &&
                            server.app.process().exitStatus() == QProcess::NormalExit,
                        "the program did not end in order on SIGTERM");
                figures += "; log:";
                for (const char* event : {"Client Send", "Socket Error", "Queue Full", "Client Error"})
                    figures += QByteArray(" ") + event + " " + num(server.count(event));
                return v;
            }};
}
Run load(const Load& l) {
    return [l](Server& s, bool& pass) { return probeLoad(s, l, pass); };
}

} // namespace

QList<Case> ks::soak::networkCases() {
    const int given = qEnvironmentVariableIntValue("KS_SOAK_SECONDS"), seconds = given > 0 ? given : 600;
    //                                         requests          sources  rate  in flight  127.BASE
    return {networkCase("1000-at-once", load({1000, 20, 0, 1000, 1})),
            networkCase("idle-slow", idleAndSlow),
            networkCase("garbage", garbage),
            networkCase("misbehave", misbehaving),
            networkCase("steady", load({10000, 10, 10000.0 / 300, 0, 8})),
            networkCase("steady-1000", load({1000 * seconds, 16, 1000, 0, 9}))};
}
