// The components that talk to the outside, file by file from tests/golden/{probe,sntp,serial,
// network}: each line's text is added to the output, compared whole with the file's .expected.
#include "FakeClock.h"
#include "FakeSntpServer.h"
#include "Golden.h"
#include "Namespace.h"
#include "Pty.h"
#include "Wait.h"
#include "app/ReplySender.h"
#include "components/CPDrv.h"
#include "components/SNTP.h"
#include "platform/NetworkPresence.h"
#include "platform/SocketCalls.h"
#include "protocol/Replies.h"
#include "protocol/Requests.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <optional>

using namespace ks;
using namespace Qt::StringLiterals;

namespace {
constexpr int WaitMs = 15000; // upper bound for anything to happen; never the expected time

// A topic's step: takes a script line, gives the text it adds to the output; nothing for a line
// its table of commands does not know, which fails the case.
using Out = std::optional<QByteArray>;
using Step = std::function<Out(const QByteArray& line)>;

const auto num = [](qint64 n) { return QByteArray::number(n); };
const auto yesNo = [](bool b) { return QByteArray(b ? "yes" : "no"); };
const auto arrow = [](const QByteArray& line, const QByteArray& out) {
    return line + (out.isEmpty() ? "" : " -> " + out) + '\n';
};

// korvat-probe against a stand-in server, set up by the lines before a run (the words after the
// first, a line each, under the first). A live reply: the clock now, GMT, serial 42, GPS synced.
using Setup = QMap<QByteArray, QByteArray>;

// Takes requests on 6645 and answers each on a new connection to the requester's 6646, one
// reply at a time. Keeps "served FROM BYTES" per request connection.
struct StandIn : QTcpServer {
    explicit StandIn(const Setup& s) : setup(s) {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                served.append("served " + socket->peerAddress().toString().toLatin1() + ' ');
                connect(socket, &QTcpSocket::readyRead, this, [this, socket, at = served.size() - 1] {
                    const QByteArray text = socket->readAll();
                    served[at] += test::caseText(text);
                    for (const QByteArray& body : parseRequests(text))
                        answer(socket->peerAddress(), replyToken(recogniseRequest(body)), num(requests++));
                });
            }
        });
        if (!s.contains("no-server")) listen(QHostAddress::AnyIPv4, 6645);
    }
    void answer(const QHostAddress& to, const QByteArray& token, const QByteArray& n) {
        const QByteArrayList dropped = setup.value("drop").simplified().split(' ');
        if (token.isEmpty() || dropped.contains(n) || dropped.contains("all")) return;
        const qint64 ms = QDateTime::currentMSecsSinceEpoch();
        const ReplyContext live{42, {1, 0, 2}, DisplayMode::Gmt, {ms, civilFromMs(ms)}};
        QTcpSocket socket;
        socket.connectToHost(to, 6646);
        if (socket.waitForConnected(WaitMs))
            socket.write(setup.contains("reply") ? test::caseBytes(setup["reply"].chopped(1))
                                                 : replyFrame(replyText(token, live)));
        socket.disconnectFromHost();
        if (socket.state() != QAbstractSocket::UnconnectedState) socket.waitForDisconnected(WaitMs);
    }
    Setup setup;
    QByteArrayList served;
    int requests = 0;
};

// What changes from run to run becomes a mark, by the rules in probe/marks.rules.
QByteArray steady(const QByteArray& text, bool live) {
    QString s = QString::fromLocal8Bit(text);
    for (const QByteArray& rule :
         test::scriptLines(QStringLiteral(KS_SOURCE_DIR "/tests/golden/probe/marks.rules"))) {
        const qsizetype when = rule.indexOf(' '), to = rule.indexOf(" => ");
        const QRegularExpression re(QString::fromUtf8(rule.mid(when + 1, to - when - 1)),
                                    QRegularExpression::MultilineOption);
        if (live || rule.startsWith("always ")) s.replace(re, QString::fromUtf8(rule.mid(to + 4)));
    }
    return s.toLocal8Bit();
}

// The local server's status socket in a runtime folder of its own: answers each request with
// `json`, "@now-N" in it becoming the UTC time N seconds ago as the server writes it.
struct StatusStandIn : QLocalServer {
    explicit StatusStandIn(const QByteArray& json) {
        connect(this, &QLocalServer::newConnection, this, [this, json] {
            while (QLocalSocket* socket = nextPendingConnection()) {
                connect(socket, &QLocalSocket::readyRead, socket, [socket, json] {
                    if (!socket->readAll().endsWith('\n')) return;
                    QString answer = QString::fromUtf8(json);
                    static const QRegularExpression now(u"@now-([0-9]+)"_s);
                    for (QRegularExpressionMatch m = now.match(answer); m.hasMatch(); m = now.match(answer))
                        answer.replace(m.capturedStart(), m.capturedLength(),
                                       QDateTime::currentDateTimeUtc()
                                           .addSecs(-m.captured(1).toLongLong())
                                           .toString(Qt::ISODateWithMs));
                    socket->write(answer.toUtf8() + '\n');
                    socket->disconnectFromServer();
                });
            }
        });
        if (!json.isEmpty()) listen(runtime.path() + u"/kserver.status"_s);
    }
    QTemporaryDir runtime;
};

// One run: the command line, what the stand-in was sent, stdout, stderr and the exit status.
QByteArray run(const QByteArray& args, const Setup& setup) {
    StandIn server(setup);
    StatusStandIn status(setup.value("status").trimmed());
    QTcpServer squatter;
    if (setup.contains("squat")) squatter.listen(QHostAddress::AnyIPv4, 6646);
    QProcess probe;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"XDG_RUNTIME_DIR"_s, status.runtime.path());
    probe.setProcessEnvironment(env);
    probe.start(QStringLiteral(KS_PROBE_BIN),
                args.isEmpty() ? QStringList() : QString::fromLocal8Bit(args).split(u' '));
    QByteArray out, result = "$ korvat-probe" + (args.isEmpty() ? "" : ' ' + args) + '\n';
    const auto lines = [&] { return (out += probe.readAllStandardOutput()).count('\n'); };
    bool stopped = false;
    // Announcements once it listens; stopped once it showed them all.
    if (const qsizetype n = setup.value("announce").count('\n')) {
        test::waitUntil([&] { return lines() >= 1; }, WaitMs);
        QUdpSocket sender;
        sender.setSocketOption(QAbstractSocket::MulticastTtlOption, 1);
        for (const QByteArray& message : setup["announce"].chopped(1).split('\n'))
            sender.writeDatagram(test::caseBytes(message), QHostAddress(u"224.0.0.1"_s), 6649);
        stopped = test::waitUntil([&] { return lines() > n; }, WaitMs);
        probe.terminate();
    }
    const bool ended = test::waitUntil([&] { return probe.state() == QProcess::NotRunning; }, WaitMs);
    if (!ended) probe.kill();
    probe.waitForFinished();
    lines();
    result += server.served.join('\n') + (server.served.isEmpty() ? "" : "\n");
    for (const auto& [stream, text] : {std::pair{"stdout ", out}, {"stderr ", probe.readAllStandardError()}})
        for (const QByteArray& line : steady(text, !setup.contains("reply")).split('\n'))
            if (!line.isEmpty()) result += stream + line + '\n';
    if (stopped || !ended) return result + (stopped ? "stopped after its lines\n" : "still running\n");
    const bool crashed = probe.exitStatus() != QProcess::NormalExit;
    return result + (crashed ? QByteArray("crashed") : "exit " + num(probe.exitCode())) + '\n';
}

Step probeSteps() {
    return [setup = Setup()](const QByteArray& line) mutable -> Out {
        using Handler = std::function<QByteArray(const QByteArray& rest)>;
        const auto set = [&](const QByteArray& rest) {
            return setup[test::Commands<Handler>::name(line)] += rest + '\n', QByteArray();
        };
        const test::Commands<Handler> commands{
            {"reply", set},
            {"drop", set},
            {"announce", set},
            {"no-server", set},
            {"squat", set},
            {"status", set},
            {"run", [&](const QByteArray& rest) { return run(rest, std::exchange(setup, {})); }}};
        const Handler* command = commands.find(line);
        return command ? Out((*command)(test::Commands<Handler>::argument(line))) : std::nullopt;
    };
}

// The SNTP client on a fake clock against a fake server. The start, 2026-12-05 14:05:09.123 UTC,
// is NTP eebe9895.1f7ced91, the fraction truncated.
constexpr qint64 Start = 1796479509123;
const QByteArray StartRequestHex = "1b" + QByteArray(78, '0') + "eebe98951f7ced91";

// One case, "NAME: OPTIONS": what the client's calls gave, each clock setting against the
// server's clock, and how many requests the server saw.
Out sntpCase(const QByteArray& line) {
    const QByteArray name = line.left(line.indexOf(':')) + ": ";
    QMap<QByteArray, QByteArray> opt{
        {"host", "127.0.0.1"}, {"answer", "0"}, {"calls", "1"}, {"timeout", "-2"}};
    const QByteArrayList options{"host",    "stray",    "short", "answer",  "at100", "calls",
                                 "timeout", "resolver", "leap",  "stratum", "kiss"};
    for (const QByteArray& word : line.mid(name.size() - 1).split(' ')) {
        const qsizetype eq = word.indexOf('='); // a word without one is a flag
        if (!word.isEmpty() && !options.contains(eq < 0 ? word : word.left(eq))) return std::nullopt;
        if (!word.isEmpty()) opt[eq < 0 ? word : word.left(eq)] = eq < 0 ? "" : word.mid(eq + 1);
    }
    test::FakeClock clock(Start);
    const QHostAddress at(QString::fromLatin1(opt.value("host")));
    test::FakeSntpServer server(at.isNull() ? QHostAddress(QHostAddress::LocalHost) : at);
    server.mode = test::FakeSntpServer::Mode::Silent;
    QUdpSocket other;
    const QHostAddress strayAt(QString::fromLatin1(opt.value("stray")));
    if (!strayAt.isNull() && !other.bind(strayAt, strayAt == at ? 0 : server.port()))
        return name + "no stray socket\n";
    QPointer<SntpClient> client = new SntpClient;
    client->Host = QString::fromLatin1(opt.value("host"));
    client->Port = server.port();
    client->ReceiveTimeout = opt.value("timeout").toInt();
    // The exchange as the server's clock sees it: 5 ms there, answer, 5 ms back.
    server.aheadUs = (5 + 4242) * 1000;
    server.reply.leap = opt.value("leap", "0").toInt();
    server.reply.stratum = opt.value("stratum", "1").toInt();
    if (opt.contains("kiss"))
        server.reply = {
            .stratum = 0, .size = 48, .wrongOriginate = false, .leap = 3, .referenceId = opt.value("kiss")};
    test::SntpReply stray;
    stray.size = opt.contains("short") ? 20 : 48;
    stray.wrongOriginate = opt.value("stray") == "server" && !opt.contains("short");
    QTimer strays;
    QObject::connect(&strays, &QTimer::timeout, &server, [&] {
        const qint64 us = (clock.nowMs() + 5 - 999999) * 1000;
        server.send(server.answer(-1, stray, us, us), -1, strayAt.isNull() ? nullptr : &other);
    });
    server.onRequest = [&] {
        if (opt.contains("stray")) strays.start(40);
        if (opt.value("answer") != "none" && server.requests.size() > opt.value("answer").toInt())
            QTimer::singleShot(200, &server, [&] {
                server.answerNow();
                clock.advance(10);
            });
    };
    QByteArrayList results;
    const QByteArray at100 = opt.value("at100");
    QTimer::singleShot(100, &server, [&] {
        if (at100 == "cancel") client->Cancel();
        if (at100 == "destroy") delete client.data();
        try {
            if (at100 == "nested") client->StartSync();
        } catch (const SntpError& e) {
            results << e.message().toLatin1();
        }
    });
    for (int call = 0; call < opt.value("calls").toInt(); ++call) {
        QElapsedTimer took;
        took.start();
        SntpClient* raw = client.data();
        QByteArray result;
        const QMetaObject::Connection ended =
            QObject::connect(raw, &SntpClient::finished, [&](SntpOutcome outcome, const QString& error) {
                // The sample's offset: the clock stands still, so this is what a step would move.
                const ClockSample s = raw->Sample();
                result = outcome == SntpOutcome::Answered
                             ? "answered " + QByteArray(s.trueMs >= s.localMs ? "+" : "") +
                                   num(s.trueMs - s.localMs)
                         : outcome == SntpOutcome::NotSet ? "not set"
                         : opt.contains("resolver")       ? "the resolver's error"
                                                          : error.toLatin1();
            });
        try {
            raw->StartSync();
            test::waitUntil([&] { return !result.isEmpty() || !client || !client->running(); }, 30000);
            if (result.isEmpty()) result = client ? "cancelled" : "destroyed";
            if ((result.startsWith("answered") || result == "not set") &&
                took.elapsed() < opt.value("timeout").toInt())
                result += ", ended early";
            if (client && !client->Refused().isEmpty()) result += " (refused: " + client->Refused() + ')';
        } catch (const SntpError& e) {
            result = e.message().toLatin1();
            if (raw->findChild<QUdpSocket*>()) result += ", with a socket";
        }
        results << result;
        strays.stop();
        if (client && client->running()) results << "still running";
        if (client) QObject::disconnect(ended);
    }
    delete client.data();
    QByteArray out = name + results.join(", ");
    for (const test::FakeClock::Setting& s : clock.settings)
        out += QString::asprintf(" %s%+lld", s.kind == ClockSetKind::Local ? "" : "UTC ",
                                 s.utcMs - clock.nowMs())
                   .toLatin1();
    for (const QByteArray& request : server.requests)
        if (request.toHex() != StartRequestHex) out += " request " + request.toHex();
    const qsizetype n = server.requests.size();
    return out + " (" + num(n) + (n == 1 ? " request)\n" : " requests)\n");
}

// The serial driver on COM3, a pseudo-terminal whose other side plays the receiver.
struct Rig {
    std::unique_ptr<test::Pty> pty = std::make_unique<test::Pty>();
    TCommPortDriver d;
    QByteArray got, faults; // what the driver delivered; blocks that broke a rule

    Rig() {
        qputenv("KSERVER_COM3", pty->slavePath().toLocal8Bit());
        d.OnReceiveData = [this](TCommPortDriver* sender, const char* data, quint32 size) {
            if (sender != &d || QThread::currentThread() != qApp->thread() || size < 1 ||
                size > d.InBufSize())
                faults += " block of " + num(size) + " off the rules";
            got.append(data, size);
        };
    }
    ~Rig() { qunsetenv("KSERVER_COM3"); }

    // Sends `bytes` as the receiver (from a thread of its own: the loop runs meanwhile) and waits
    // for them whole; says what came otherwise, and with `paced` whether a 10 ms timer kept pace.
    QByteArray receive(const QByteArray& bytes, bool send = true, bool paced = false) {
        QElapsedTimer sinceTick, took;
        qint64 longestGap = 0, ticks = 0;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            longestGap = qMax(longestGap, sinceTick.restart());
            ++ticks;
        });
        tick.start(10);
        sinceTick.start();
        took.start();
        bool written = !send;
        std::thread writer([&] { written = written || pty->write(bytes); });
        test::waitUntil([&] { return got.size() >= bytes.size(); }, 120'000);
        writer.join();
        QByteArray out =
            (written ? "" : "not sent, ") +
            (got == bytes ? "whole" : "got " + num(got.size()) + " bytes: " + test::caseText(got.left(60))) +
            faults;
        got.clear();
        if (paced && longestGap < 1000 && ticks >= took.elapsed() / 100) out += ", the loop kept its pace";
        else if (paced)
            out += ", the loop stood still for " + num(longestGap) + " ms, " + num(ticks) + " ticks";
        return out;
    }

    // A step's words: what it gave, or nothing when it is not one of the table's.
    Out step(const QByteArray& word, const QByteArrayList& args) {
        const Handler* command = commands.find(word);
        return command ? Out((*command)(word, args)) : std::nullopt;
    }

    // Setters in the order given, as the panel calls them.
    Out set(const QByteArrayList& args) {
        const QByteArrayList keys{"baud",  "data",    "parity", "stop", "hw",   "sw",
                                  "inbuf", "timeout", "port",   "name", "COM3", "lookup"};
        for (const QByteArray& a : args) {
            const QByteArray key = a.left(a.indexOf('=')), value = a.mid(a.indexOf('=') + 1);
            const int n = value.toInt();
            const QString path = value == "pty" ? pty->slavePath() : QString::fromLocal8Bit(value);
            if (key == "baud") d.SetBaudRate(TBaudRate(n));
            if (key == "data") d.SetDataBits(TDataBits(n));
            if (key == "parity") d.SetParity(TParity(n));
            if (key == "stop") d.SetStopBits(TStopBits(n));
            if (key == "hw") d.SetHwFlow(THwFlowControl(n));
            if (key == "sw") d.SetSwFlow(TSwFlowControl(n));
            if (key == "inbuf") d.SetInBufSize(quint32(n));
            if (key == "timeout") d.SetOutputTimeout(quint16(n));
            if (key == "port") d.SetPort(TPortNumber(n));
            if (key == "name") d.SetPortName(path);
            if (key == "COM3") qputenv("KSERVER_COM3", value);
            if (key == "lookup")
                d.setPortsLookup([this, path](const QString& name) {
                    return name == path ? pty->slavePath() : QString();
                });
            if (!keys.contains(key)) return std::nullopt;
        }
        return QByteArray();
    }

    // The script's words after the step's name; the first one's bytes.
    using Handler = std::function<Out(const QByteArray& word, const QByteArrayList& args)>;
    static QByteArray argBytes(const QByteArrayList& args) { return test::caseBytes(args.value(0)); }
    QByteArray connect(const QByteArray& word) {
        TCommPortDriver other;
        other.SetPort(TPortNumber(3));
        TCommPortDriver& which = word == "other" ? other : d;
        const bool ok = which.Connect();
        return yesNo(ok) + ", exclusive " + yesNo(pty->exclusive()) +
               (ok ? "" : ": " + which.LastError().toLocal8Bit());
    }
    QByteArray line() const {
        const termios t = pty->lineSettings();
        QByteArray out;
        const QMap<speed_t, QByteArray> speeds{{B4800, "4800"}, {B9600, "9600"}};
        for (const speed_t code : {::cfgetospeed(&t), ::cfgetispeed(&t)})
            out += speeds.value(code, "code " + num(code)) + ' ';
        out += (t.c_cflag & CSIZE) == CS7 ? "cs7" : (t.c_cflag & CSIZE) == CS8 ? "cs8" : "cs?";
        out += !(t.c_cflag & PARENB) ? " none" : t.c_cflag & PARODD ? " odd" : " even";
        for (const auto& [bit, name] : {std::pair{CSTOPB, "cstopb"}, {CRTSCTS, "crtscts"}})
            out += QByteArray(t.c_cflag & bit ? " " : " -") + name;
        for (const auto& [bit, name] : {std::pair{IXON, "ixon"}, {IXOFF, "ixoff"}, {INPCK, "inpck"}})
            out += QByteArray(t.c_iflag & bit ? " " : " -") + name;
        return out;
    }
    QByteArray connected() {
        return "connected " + yesNo(d.Connected()) + ", exclusive " + yesNo(pty->exclusive());
    }
    QByteArray burst(const QByteArray& word, const QByteArrayList& args) {
        QByteArray letters(args.value(0).toInt(), 'x');
        for (qsizetype i = 0; word == "burst" && i < letters.size(); ++i) letters[i] = char('A' + i % 26);
        return receive(letters, true, word == "flood");
    }
    QByteArray write(const QByteArrayList& args) {
        QElapsedTimer took;
        took.start();
        const bool ok = d.WriteText(args.value(0) == "stuck" ? QByteArray(4 << 20, 'x') : argBytes(args));
        return yesNo(ok) + (!ok && took.elapsed() < d.OutputTimeout() ? " at once" : "");
    }
    QByteArray device(const QByteArrayList& args) {
        QByteArray in;
        test::waitUntil([&] { return (in += pty->readAvailable()).size() >= argBytes(args).size(); }, 5000);
        return test::caseText(in);
    }
    QByteArray hangup() {
        pty->hangUp();
        test::waitUntil([&] { return !d.Connected(); }, 5000);
        // Once closed nothing keeps the process busy: a dead handle polled in a loop would.
        const std::clock_t cpuBefore = std::clock();
        test::pumpFor(500);
        return "connected " + yesNo(d.Connected()) + ", busy " +
               yesNo(std::clock() - cpuBefore >= CLOCKS_PER_SEC / 4);
    }

    const test::Commands<Handler> commands{
        {"set", [this](const QByteArray&, const QByteArrayList& args) { return set(args); }},
        {"show",
         [this](const QByteArray&, const QByteArrayList&) {
             return "baud " + num(d.BaudRateValue()) + ", inbuf " + num(d.InBufSize()) + ", port " +
                    num(d.Port()) + ' ' + d.PortName().toLocal8Bit();
         }},
        {"connect", [this](const QByteArray& word, const QByteArrayList&) { return connect(word); }},
        {"other", [this](const QByteArray& word, const QByteArrayList&) { return connect(word); }},
        {"open",
         [this](const QByteArray&, const QByteArrayList&) -> QByteArray { // as any other program would
             const int fd = ::open(pty->slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
             if (fd < 0) return QByteArray("refused: ") + ::strerror(errno);
             ::close(fd);
             return "opened";
         }},
        {"line", [this](const QByteArray&, const QByteArrayList&) { return line(); }},
        {"disconnect",
         [this](const QByteArray&, const QByteArrayList&) { return d.Disconnect(), connected(); }},
        {"connected", [this](const QByteArray&, const QByteArrayList&) { return connected(); }},
        {"send",
         [this](const QByteArray&, const QByteArrayList& args) { return yesNo(pty->write(argBytes(args))); }},
        {"receive",
         [this](const QByteArray&, const QByteArrayList& args) { return receive(argBytes(args)); }},
        {"received",
         [this](const QByteArray&, const QByteArrayList& args) { return receive(argBytes(args), false); }},
        {"burst", [this](const QByteArray& word, const QByteArrayList& args) { return burst(word, args); }},
        {"flood", [this](const QByteArray& word, const QByteArrayList& args) { return burst(word, args); }},
        {"write", [this](const QByteArray&, const QByteArrayList& args) { return write(args); }},
        {"device", [this](const QByteArray&, const QByteArrayList& args) { return device(args); }},
        {"hangup", [this](const QByteArray&, const QByteArrayList&) { return hangup(); }},
        {"replug",
         [this](const QByteArray&, const QByteArrayList&) {
             pty = std::make_unique<test::Pty>();
             qputenv("KSERVER_COM3", pty->slavePath().toLocal8Bit());
             return QByteArray();
         }},
    };
};

// One driver per file; its device's path shows as "PTY".
Step serialSteps() {
    return [rig = std::make_shared<Rig>()](const QByteArray& line) -> Out {
        const QByteArrayList words = line.split(' ');
        const Out out = rig->step(words.first(), words.mid(1));
        if (!out) return std::nullopt;
        return arrow(line, *out).replace(rig->pty->slavePath().toLocal8Bit(), "PTY");
    };
}

// Network presence against the namespace's interfaces, changed under it.
Out presence(const QByteArray& line) {
    using Handler = std::function<QByteArray(const QByteArray& args)>;
    static const test::Commands<Handler> commands{
        {"ip", [](const QByteArray& args) { return test::ip(QString::fromLocal8Bit(args)) ? "" : "failed"; }},
        {"present", [](const QByteArray&) { return yesNo(hasNetworkAddress()); }},
        {"await", [](const QByteArray&) { return yesNo(test::waitUntil(hasNetworkAddress, 5000)); }}};
    const Handler* command = commands.find(line);
    if (!command) return std::nullopt;
    return arrow(line, (*command)(test::Commands<Handler>::argument(line)));
}

// The reply sender on its own, as the program's owners drive it: requests queued, replies
// caught on the requesters' 6646, its log entries and its status. Every reply is built at
// 2026-12-05 14:05:09 UTC, serial 42, GPS synchronised, whatever the clock reads.
struct SenderRun {
    bool listening = true, onSecond = false, debug = false;
    std::unique_ptr<ReplySender> sender;
    std::vector<std::unique_ptr<QTcpServer>> catchers;
    QByteArrayList caught, log;
    int repliesShown = 0, logShown = 0;

    ReplySender& get() {
        if (sender) return *sender;
        ReplySender::Host host;
        host.log.add = [this](qint16 type, const QByteArray& event, const QByteArray& details, EntryKind kind,
                              const QByteArray& stderrDetails) {
            static const char* const kinds[] = {"", " (diagnostic)", " (per request)", " (trace)",
                                                " (repeat)"};
            log += num(type) + ' ' + event + " [" + details + ']' + kinds[int(kind)] +
                   (stderrDetails.isEmpty() ? "" : " stderr: " + stderrDetails);
        };
        host.log.showDebug = [this] { return debug; };
        host.log.indicateClientType = [] { return false; };
        host.log.saveCsv = [this] { log += "csv saved"; };
        host.listening = [this] { return listening; };
        host.onSecond = [this] { return onSecond; };
        host.context = [](const ReplyInstant&) {
            constexpr qint64 at = 1796479509000;
            return ReplyContext{42, {1, 0, 2}, DisplayMode::Gmt, {at, civilFromMs(at)}};
        };
        sender = std::make_unique<ReplySender>(std::move(host), nullptr);
        return *sender;
    }
    // What came since the last look.
    static QByteArray news(const QByteArrayList& from, int& shown) {
        QByteArray out;
        for (; shown < from.size(); ++shown) out += "  " + from[shown] + '\n';
        return out;
    }
};

Step senderSteps() {
    return [run = std::make_shared<SenderRun>()](const QByteArray& line) -> Out {
        using Handler = std::function<QByteArray(const QByteArray& rest)>;
        const auto flag = [&](bool SenderRun::*f) {
            return [&run, f](const QByteArray& rest) { return (*run).*f = rest == "1", QByteArray(); };
        };
        const test::Commands<Handler> commands{
            {"listening", flag(&SenderRun::listening)},
            {"onsecond", flag(&SenderRun::onSecond)},
            {"debug", flag(&SenderRun::debug)},
            {"catch",
             [&](const QByteArray& rest) {
                 auto& server = run->catchers.emplace_back(std::make_unique<QTcpServer>());
                 if (!server->listen(QHostAddress(QString::fromLatin1(rest)), 6646))
                     return QByteArray("  not caught\n");
                 QTcpServer* const s = server.get();
                 QObject::connect(s, &QTcpServer::newConnection, s, [&run, s, rest] {
                     while (QTcpSocket* c = s->nextPendingConnection())
                         QObject::connect(c, &QTcpSocket::disconnected, c, [&run, c, rest] {
                             run->caught += rest + " <- " + c->readAll();
                             c->deleteLater();
                         });
                 });
                 return QByteArray();
             }},
            {"queue",
             [&](const QByteArray& rest) {
                 const QByteArray address = rest.left(rest.indexOf(' '));
                 const ClientType type = recogniseRequest(rest.mid(address.size() + 1));
                 run->get().QueueMessage(type, QHostAddress(QString::fromLatin1(address)));
                 return QByteArray();
             }},
            {"replies",
             [&](const QByteArray& rest) {
                 test::waitUntil([&] { return run->caught.size() >= rest.toInt(); }, WaitMs);
                 return SenderRun::news(run->caught, run->repliesShown);
             }},
            {"log",
             [&](const QByteArray& rest) {
                 test::waitUntil([&] { return run->log.size() >= rest.toInt(); }, WaitMs);
                 return SenderRun::news(run->log, run->logShown);
             }},
            {"status",
             [&](const QByteArray&) {
                 QJsonObject o;
                 o[u"requests_waiting"_s] = run->get().RequestsWaiting();
                 o[u"queue_full"_s] = run->get().QueueFull();
                 run->get().AddStatus(o);
                 return "  " + QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
             }},
        };
        const Handler* command = commands.find(line);
        return command ? Out(line + '\n' + (*command)(test::Commands<Handler>::argument(line)))
                       : std::nullopt;
    };
}

// In this order: the network scripts take the namespace's addresses away for a while.
const struct {
    QString folder, files;
    std::function<Step()> steps;
} topics[] = {{u"probe"_s, u"*.case"_s, probeSteps},
              {u"sntp"_s, u"client.cases"_s, [] { return Step(sntpCase); }},
              {u"serial"_s, u"*.script"_s, serialSteps},
              {u"sender"_s, u"*.script"_s, senderSteps},
              {u"network"_s, u"*.script"_s, [] { return Step(presence); }}};

// The kernel's pseudo-terminal forces CS8 and clears PARENB on every setting (and the C library
// then reports the setting as refused), where a UART keeps what it was told. So that these
// bits show like the rest, this process sees its pseudo-terminals as UARTs: they are kept per
// device on the way into the C library and put back on the way out.
constexpr tcflag_t UartOnlyBits = CSIZE | PARENB;
std::map<dev_t, tcflag_t> keptBits;

dev_t ptySlave(int fd) { // 0 for anything else
    struct stat s {};
    const bool pty = ::fstat(fd, &s) == 0 && S_ISCHR(s.st_mode) && major(s.st_rdev) >= 136 &&
                     major(s.st_rdev) <= 143; // UNIX 98 pty slaves
    return pty ? s.st_rdev : 0;
}
} // namespace

extern "C" int tcsetattr(int fd, int action, const termios* settings) noexcept {
    static const auto real =
        reinterpret_cast<int (*)(int, int, const termios*)>(::dlsym(RTLD_NEXT, "tcsetattr"));
    const dev_t device = ptySlave(fd);
    if (!settings || !device) return real(fd, action, settings);
    termios accepted = *settings;
    accepted.c_cflag = (accepted.c_cflag & ~UartOnlyBits) | CS8;
    const int result = real(fd, action, &accepted);
    if (result == 0) keptBits[device] = settings->c_cflag & UartOnlyBits;
    return result;
}

extern "C" int tcgetattr(int fd, termios* settings) noexcept {
    static const auto real = reinterpret_cast<int (*)(int, termios*)>(::dlsym(RTLD_NEXT, "tcgetattr"));
    const int result = real(fd, settings);
    const auto kept = keptBits.find(ptySlave(fd));
    if (result == 0 && kept != keptBits.end())
        settings->c_cflag = (settings->c_cflag & ~UartOnlyBits) | kept->second;
    return result;
}

class TestComponent : public QObject {
    Q_OBJECT
private slots:
    void cases_data() {
        // Opens fixed ports, multicasts, changes the interfaces, opens past TIOCEXCL.
        if (qEnvironmentVariableIsEmpty("KS_IN_NETNS")) QSKIP("run inside tests/netns-run");
        QTest::addColumn<int>("topic");
        QTest::addColumn<QString>("path");
        for (int t = 0; t < int(std::size(topics)); ++t) {
            const QDir dir(u"" KS_SOURCE_DIR "/tests/golden/"_s + topics[t].folder);
            for (const QString& name : dir.entryList({topics[t].files}, QDir::Files, QDir::Name))
                QTest::newRow(qPrintable(dir.dirName() + u'/' + name)) << t << dir.filePath(name);
        }
    }
    void cases() {
        QFETCH(int, topic);
        QFETCH(QString, path);
        const Step step = topics[topic].steps();
        QByteArray actual;
        for (const QByteArray& line : test::scriptLines(path)) {
            const Out out = step(line);
            QVERIFY2(out, test::unknownCommand(line).constData());
            actual += *out;
        }
        KS_COMPARE_GOLDEN(actual, test::expectedPath(path));
    }
    // A mistyped step, option or setting of each topic fails its case.
    void mistyped_data() {
        QTest::addColumn<int>("topic");
        QTest::addColumn<QByteArray>("line");
        for (const auto& [topic, line] : {std::pair{0, "rpely \\x00"},
                                          {1, "by address: stary=server"},
                                          {2, "conect"},
                                          {2, "set bad=9600"},
                                          {3, "presnt"}})
            QTest::newRow(line) << topic << QByteArray(line);
    }
    void mistyped() {
        QFETCH(int, topic);
        QFETCH(QByteArray, line);
        QVERIFY(!topics[topic].steps()(line));
    }
    // The probe times a reply by the system's stamp of its arrival: one read out long after,
    // on a connection accepted only then, keeps the instant it came.
    void arrivalStampOutlivesALateRead() {
        if (qEnvironmentVariableIsEmpty("KS_IN_NETNS")) QSKIP("run inside tests/netns-run");
        const auto systemNs = [] {
            timespec t{};
            clock_gettime(CLOCK_REALTIME, &t);
            return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
        };
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                ::listen(listener, 1) == 0 &&
                ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0);
        socketcalls::stampArrivals(listener);
        // One frame sent and read out `lateMs` later: its stamp, and the clock around its send.
        struct Sent {
            qint64 beforeNs = 0, afterNs = 0, stampNs = -1;
        };
        const auto exchange = [&](int lateMs) {
            const int sender = ::socket(AF_INET, SOCK_STREAM, 0);
            Sent sent;
            if (::connect(sender, reinterpret_cast<sockaddr*>(&address), length) == 0) {
                sent.beforeNs = systemNs();
                (void)!::send(sender, "{KORVAT0042}", 12, 0);
                sent.afterNs = systemNs();
                test::pumpFor(lateMs); // read out late on purpose
                const int accepted = ::accept(listener, nullptr, nullptr);
                char data[32];
                qint64 count = 0;
                if (socketcalls::receiveStamped(accepted, data, sizeof data, &count, &sent.stampNs) !=
                        socketcalls::Received::Data ||
                    count != 12)
                    sent.stampNs = -1;
                ::close(accepted);
            }
            ::close(sender);
            return sent;
        };
        // The system turns stamping on a moment after it is first asked for.
        QVERIFY(test::waitUntil([&] { return exchange(0).stampNs > 0; }, WaitMs));
        const Sent late = exchange(50);
        QVERIFY2(late.stampNs >= late.beforeNs && late.stampNs <= late.afterNs,
                 qPrintable(u"stamp %1 ns after the send returned"_s.arg(late.stampNs - late.afterNs)));
        ::close(listener);
    }
};

QTEST_MAIN(TestComponent)
#include "tst_component.moc"
