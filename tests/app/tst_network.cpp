// The program as a process, seen from outside: each tests/golden/service/NAME.script is played
// against it in this private namespace, and what the clients, the group and the operator saw
// is compared with NAME.expected (the script language is in tests/golden/README.md).
#include "AppProcess.h"
#include "FakeSntpServer.h"
#include "Golden.h"
#include "GroupListener.h"
#include "Namespace.h"
#include "Pty.h"
#include "TestWindow.h"
#include "platform/StatusServer.h"
#include "protocol/Nmea.h"
#include "protocol/Replies.h"
#include "protocol/Requests.h"
#include "protocol/Sntp.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>
#include <QtEndian>

#include <functional>
#include <map>
#include <optional>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

using namespace ks::test;

namespace {
constexpr int WaitMs = 20000; // a bound, never a pause: the machine may be loaded

const std::map<QByteArray, int> Signals{
    {"TERM", SIGTERM}, {"HUP", SIGHUP}, {"INT", SIGINT}, {"STOP", SIGSTOP}, {"CONT", SIGCONT}};

QString str(const QByteArray& text) { return QString::fromLocal8Bit(text); }
QHostAddress host(const QByteArray& text) { return QHostAddress(str(text)); }

// What changes from run to run: the date and time, the serial, the temporary folder.
QByteArray masked(const QByteArray& text, const QString& root, const QString& pty = {}) {
    static const std::pair<const char*, const char*> masks[]{
        {"\\d{4}-\\d\\d-\\d\\d([ T])\\d\\d:\\d\\d:\\d\\d", "YYYY-MM-DD\\1hh:mm:ss"},
        {"(^<\\d>|\"|up )\\d\\d:\\d\\d:\\d\\d", "\\1hh:mm:ss"},
        {"KORVAT(_\\d_\\d_\\d_)?\\d{14}", "KORVAT\\1SSSSTTTTTTTTTT"},
        {"KORVAT_\\d{4}_\\d\\d:\\d\\d:\\d\\d(_\\d\\d/\\d\\d/\\d\\d){2}",
         "KORVAT_SSSS_hh:mm:ss_dd/mm/yy_dd/mm/yy"},
        {"\\d\\d(-\\d\\d){5}\\.csv", "yy-mm-dd-hh-mm-ss.csv"},
        {"\"uptime_s\":\\d+", "\"uptime_s\":N"},
        {"(stepped by [+-])\\d+\\.\\d{3}", "\\1N.NNN"},
        // A live receiver's timing.
        {"last sentence \\d+ ms ago", "last sentence N ms ago"},
        {"median -?\\d+\\.\\d ms, spread \\d+\\.\\d ms", "median N ms, spread N ms"},
        // NTP figures: the fake server's offset to the second, the round trip not at all.
        {"((offset|moved) [+-]\\d+)\\.\\d{3} s", "\\1.### s"},
        {"round trip \\d+\\.\\d{3} s", "round trip #.### s"},
        {"(\"(offset|step)_ms\":-?\\d+)\\d{3}", "\\1###"},
        {"\"round_trip_ms\":\\d+", "\"round_trip_ms\":#"},
        // The error estimate grows with the time since the sample; the sample's bound is the
        // round trip's.
        {"(Estimated error: +|within )\\d+\\.\\d{3} ms", "\\1#.### ms"},
        {"\"(estimated_error_ms|uncertainty_ms)\":[\\d.]+", "\"\\1\":#"}};
    QString s = str(text);
    if (!root.isEmpty()) s.replace(root, QStringLiteral("ROOT"));
    if (!pty.isEmpty()) s.replace(pty, QStringLiteral("PTY"));
    for (const auto& [pattern, with] : masks)
        s.replace(QRegularExpression(QLatin1String(pattern)), QLatin1String(with));
    return s.toLocal8Bit();
}

QByteArray unescaped(QByteArray text) {
    const auto repeat = QRegularExpression(QStringLiteral("^(.*)\\*(\\d+)$")).match(str(text));
    if (repeat.hasMatch()) text = repeat.captured(1).toLatin1().repeated(repeat.captured(2).toInt());
    return caseBytes(text);
}

// A client program (ntpdig, chronyd) to its end: exit status, stdout and stderr together.
std::pair<int, QByteArray> runClient(const QString& program, const QStringList& arguments) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    const bool ended = waitUntil([&p] { return p.state() == QProcess::NotRunning; }, WaitMs);
    if (!ended) p.kill(), p.waitForFinished();
    return {ended ? p.exitCode() : -1, p.readAll()};
}

// What a client measured, judged: the system clock is the server's, so a sound answer is
// within 0.5 ms of it.
QByteArray offsetWords(double seconds) {
    return std::abs(seconds) <= 0.0005 ? QByteArray("offset within 0.5 ms")
                                       : "offset " + QByteArray::number(seconds * 1000, 'f', 3) + " ms";
}

// `ntpdig -j` against ADDR: what it accepted, or why it refused.
QByteArray ntpdig(const QByteArray& address) {
    const auto [code, output] =
        runClient(QStringLiteral("ntpdig"), {QStringLiteral("-j"), QStringLiteral("-p"), QStringLiteral("4"),
                                             QStringLiteral("-t"), QStringLiteral("3"), str(address)});
    const QJsonObject j = QJsonDocument::fromJson(output.mid(output.indexOf('{'))).object();
    if (code != 0 || j.isEmpty())
        return "ntpdig " + address + ": refused (" + output.split('\n').value(0).trimmed() + ")\n";
    return "ntpdig " + address + ": stratum " + QByteArray::number(j[u"stratum"].toInt()) + ", " +
           j[u"leap"].toString().toLatin1() + ", " + offsetWords(j[u"offset"].toDouble()) + '\n';
}

// `chronyd -Q` (it only measures: the clock is never touched) against ADDR:PORT.
QByteArray chronyd(const QString& root, const QByteArray& address, const QByteArray& port) {
    const QString conf = root + QStringLiteral("/chrony.conf");
    QFile f(conf);
    if (!f.open(QIODevice::WriteOnly)) return "chronyd: no configuration\n";
    f.write("server " + address + " port " + port + " iburst\n");
    f.close();
    const auto [code, output] = runClient(
        QStringLiteral("chronyd"), {QStringLiteral("-Q"), QStringLiteral("-u"), QStringLiteral("root"),
                                    QStringLiteral("-t"), QStringLiteral("12"), QStringLiteral("-f"), conf});
    const auto wrong =
        QRegularExpression(QStringLiteral("System clock wrong by (\\S+) seconds")).match(str(output));
    if (wrong.hasMatch())
        return "chronyd " + address + ": accepted, " + offsetWords(wrong.captured(1).toDouble()) + '\n';
    return "chronyd " + address + ": " +
           (output.contains("No suitable source") ? "no suitable source"
                                                  : "exit " + QByteArray::number(code)) +
           '\n';
}

// Whether any socket of this namespace is bound to the UDP port.
QByteArray udpPortBound(int port) {
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0') + ' ';
    bool bound = false;
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"})
        for (const QByteArray& line : fileContents(QLatin1String(table)).split('\n'))
            bound |= line.simplified().split(' ').value(1).endsWith(local.trimmed());
    return "UDP port " + QByteArray::number(port) + (bound ? ": bound\n" : ": not bound\n");
}

// `udp FROM TO[:PORT] N BYTE[:LENGTH]`: N requests from FROM, each with its number as its
// transmit stamp, then one from an address of 127.0.1.0/24 used once as a fence (never rate
// limited): once the fence is answered, every answer to the N has arrived. What came back: how many, from where, the first one's header, and
// which requests the answers name as their originate.
QByteArray udpExchange(const QList<QByteArray>& w) {
    QUdpSocket client, fence;
    const QList<QByteArray> to = w[2].split(':');
    const quint16 port = quint16(to.value(1, "123").toUInt());
    static int fences = 0;
    if (!client.bind(host(w[1]), 0) || !fence.bind(QHostAddress(0x7F000100u + quint32(++fences)), 0))
        return "udp: cannot bind\n";
    const QList<QByteArray> shape = w[4].split(':');
    const auto request = [&](quint32 number, quint8 first, int length) {
        QByteArray b(48, '\0');
        b[0] = char(first);
        b[2] = 6;
        for (int i = 0; i < 4; ++i) b[44 + i] = char(number >> (24 - 8 * i));
        return b.leftJustified(length, '\0', true);
    };
    const int n = w[3].toInt();
    for (int i = 1; i <= n; ++i)
        client.writeDatagram(
            request(quint32(i), quint8(shape[0].toUInt(nullptr, 16)), shape.value(1, "48").toInt()),
            host(to[0]), port);
    fence.writeDatagram(request(0xFE4CE, 0x23, 48), host(to[0]), port);
    if (!waitUntil([&] { return fence.hasPendingDatagrams(); }, WaitMs))
        return "udp: the fence got no answer\n";
    QList<int> originates;
    QByteArray first, from;
    while (client.hasPendingDatagrams()) {
        QHostAddress sender;
        quint16 senderPort = 0;
        QByteArray a(client.pendingDatagramSize(), '\0');
        client.readDatagram(a.data(), a.size(), &sender, &senderPort);
        if (first.isEmpty()) {
            first = QByteArray::number(a.size()) + " bytes, li " + QByteArray::number(quint8(a[0]) >> 6) +
                    " vn " + QByteArray::number((quint8(a[0]) >> 3) & 7) + " mode " +
                    QByteArray::number(quint8(a[0]) & 7) + " stratum " + QByteArray::number(quint8(a[1])) +
                    " poll " + QByteArray::number(quint8(a[2])) + " refid " + a.mid(12, 4).toHex();
            from = sender.toString().toLatin1() + ':' + QByteArray::number(senderPort);
        }
        originates.append(int(qFromBigEndian<quint32>(a.constData() + 28)));
    }
    QByteArray numbers;
    for (const int o : originates) numbers += (numbers.isEmpty() ? "" : " ") + QByteArray::number(o);
    return "udp " + w.mid(1).join(' ') + ": " + QByteArray::number(originates.size()) + " answered" +
           (first.isEmpty() ? QByteArray() : " from " + from + " (" + first + "), originates " + numbers) +
           '\n';
}

// One scenario: the program, the reply ports of the requesters, the client connections.
struct Scenario {
    AppProcess app;
    std::optional<GroupListener> group;         // made at the start: it joins the interfaces there are then
    std::vector<std::unique_ptr<QObject>> held; // reply catchers, taken ports, fillers
    std::map<QByteArray, std::unique_ptr<QTcpSocket>> clients;
    std::unique_ptr<Pty> receiver;
    QByteArray heard, duringAttempt; // from the receiver's port; port 6645 while NTP is asked
    qint64 firstAskedMs = 0;         // the NTP server's time when the first request came
    std::unique_ptr<FakeSntpServer> ntp;
    struct Reply {
        QByteArray to, bytes;
        qint64 arrivedMs = 0; // the wall clock when it ended; 0 while open
    };
    QList<Reply> replies;                      // in the order their connections were accepted
    std::map<QByteArray, QList<qint64>> asked; // per requester, the wall clock before each request
    std::map<QByteArray, int> judged;          // per requester, the replies `edge` has judged
    int ended() const {
        return int(std::count_if(replies.begin(), replies.end(), [](const Reply& r) { return r.arrivedMs; }));
    }
    // Records each reply connection of a requester's port 6646 (except `except`, a local port).
    void record(QTcpServer* server, const QByteArray& address, quint16 except = 0) {
        QObject::connect(server, &QTcpServer::newConnection, [this, server, address, except] {
            while (QTcpSocket* s = server->nextPendingConnection()) {
                if (s->peerPort() == except) continue;
                const qsizetype at = replies.size();
                replies.append({address, {}, 0});
                QObject::connect(s, &QTcpSocket::disconnected, s, [this, s, at] {
                    replies[at].bytes = s->readAll();
                    replies[at].arrivedMs = QDateTime::currentMSecsSinceEpoch();
                    s->deleteLater();
                });
            }
        });
    }
    QByteArray judgeEdges(int boundMs);
    QByteArray secondsCarried();
    // The whole-second time a reply carries, in ms; -1 when it is not a reply.
    static qint64 carriedMs(const QByteArray& bytes);
    std::map<QByteArray, std::pair<QTcpServer*, quint16>> hung; // its port, the filler's port
    int fileLimit = 0; // the program's soft limit on open files at its start; 0: as the test's
    QByteArray settings, out;
    QStringList args;
    QElapsedTimer mark;
    bool sortLog = false, csv = false;

    GroupListener& listener() { return group ? *group : group.emplace(); }
    template <typename T> T* hold(T* object) { return held.emplace_back(object), object; }
    // Another listener on the port: a rival to the program, a requester's reply port.
    QTcpServer* listen(const QByteArray& address, quint16 port, int backlog = 50) {
        QTcpServer* server = hold(new QTcpServer);
        server->setListenBacklogSize(backlog);
        return server->listen(host(address), port) ? server : nullptr;
    }
    void open(const QByteArray& name, const QByteArray& from, const QByteArray& text) {
        auto& s = clients[name] = std::make_unique<QTcpSocket>();
        QVERIFY(s->bind(host(from), 0));
        s->connectToHost(host(from), 6645);
        QVERIFY2(s->waitForConnected(WaitMs), name.constData());
        QVERIFY(text.isEmpty() || (s->write(text), s->waitForBytesWritten(WaitMs)));
        if (name == "send") s->disconnectFromHost(); // a request on a connection of its own
    }
    QString statusPath() const { return app.runtimeDir() + QStringLiteral("/kserver.status"); }
    QByteArray expand(QByteArray text) const {
        return text.replace("ROOT", app.root().toLocal8Bit())
            .replace("PTY", receiver ? receiver->slavePath().toLocal8Bit() : "PTY");
    }
    QByteArray mask(const QByteArray& text) {
        return masked(text, app.root(), receiver ? receiver->slavePath() : QString());
    }
    // Another program beside this one (korvat-probe, a second copy): its exit status and output.
    void aside(const QString& program, const QStringList& arguments, const QByteArray& label) {
        QProcess p;
        p.setProcessEnvironment(app.env);
        p.start(program, arguments);
        // The loop runs meanwhile: the fake NTP server answers what the probe makes the program ask.
        QVERIFY(waitUntil([&p] { return p.state() == QProcess::NotRunning; }, WaitMs));
        out += label + ": exit " + QByteArray::number(p.exitCode()) + '\n';
        for (const QByteArray& l : (p.readAllStandardOutput() + p.readAllStandardError()).split('\n'))
            if (!l.isEmpty()) out += "  " + mask(l) + '\n';
    }
    bool run(const QByteArray& text); // false: no command of that name
    // A script line: its words, the first, all after it, all after the second.
    struct Line {
        QByteArray text;
        QList<QByteArray> w;
        QByteArray cmd, rest, tail;
    };
    void waitFor(const Line& in, const std::function<bool()>& done);
    void addSetting(const Line& in);
    void setArgs(const Line& in);
    void setEnv(const Line& in);
    void makeReceiver(const Line& in);
    void startNtpServer(const Line& in);
    void linkFile(const Line& in);
    void makeFile(const Line& in);
    void stderrToJournal(const Line& in);
    void fakeSystemctl(const Line& in);
    void showStored(const Line& in);
    void runNtpdig(const Line& in);
    void runChronyd(const Line& in);
    void exchangeUdp(const Line& in);
    void reportUdpPort(const Line& in);
    void reportPlugins(const Line& in);
    void takeUdpPort(const Line& in);
    void reportNtpServe(const Line& in);
    void takePort(const Line& in);
    void catchReplies(const Line& in);
    void hangRequester(const Line& in);
    void unhangRequester(const Line& in);
    void keepCsv(const Line& in);
    void sortStderr(const Line& in);
    void changeNetwork(const Line& in);
    void limitFiles(const Line& in);
    void startProgram(const Line& in);
    void awaitGroup(const Line& in);
    void awaitStderr(const Line& in);
    void letTimePass(const Line& in);
    void sendRequests(const Line& in);
    void openConnections(const Line& in);
    void writeMore(const Line& in);
    void resetConnection(const Line& in);
    void closeConnection(const Line& in);
    void reportClosed(const Line& in);
    void awaitReplies(const Line& in);
    void alignToSecond(const Line& in);
    void reportEdges(const Line& in);
    void reportSeconds(const Line& in);
    void awaitStatus(const Line& in);
    void markTime(const Line& in);
    void atLeast(const Line& in);
    void atMost(const Line& in);
    void sendSentence(const Line& in);
    void reportHeard(const Line& in);
    void reportAttempt(const Line& in);
    void withstandHostile(const Line& in);
    void askStatus(const Line& in);
    void runtimeFolder(const Line& in);
    void runProbe(const Line& in);
    void runSecondCopy(const Line& in);
    void sendSignal(const Line& in);
    void awaitExit(const Line& in);
    QByteArray report();
};

bool Scenario::run(const QByteArray& text) {
    // Each command a line's first word names; one that is not here fails the case.
    static const Commands<void (Scenario::*)(const Line&)> commands{
        {"settings", &Scenario::addSetting},
        {"args", &Scenario::setArgs},
        {"env", &Scenario::setEnv},
        {"receiver", &Scenario::makeReceiver},
        {"ntp", &Scenario::startNtpServer},
        {"link", &Scenario::linkFile},
        {"file", &Scenario::makeFile},
        {"journal", &Scenario::stderrToJournal},
        {"systemctl", &Scenario::fakeSystemctl},
        {"take-port", &Scenario::takePort},
        {"catch", &Scenario::catchReplies},
        {"hang", &Scenario::hangRequester},
        {"unhang", &Scenario::unhangRequester},
        {"csv", &Scenario::keepCsv},
        {"sortlog", &Scenario::sortStderr},
        {"ip", &Scenario::changeNetwork},
        {"limit", &Scenario::limitFiles},
        {"start", &Scenario::startProgram},
        {"marker", &Scenario::awaitGroup},
        {"group", &Scenario::awaitGroup},
        {"wait", &Scenario::awaitStderr},
        {"pass", &Scenario::letTimePass},
        {"send", &Scenario::sendRequests},
        {"open", &Scenario::openConnections},
        {"write", &Scenario::writeMore},
        {"reset", &Scenario::resetConnection},
        {"close", &Scenario::closeConnection},
        {"closed", &Scenario::reportClosed},
        {"replies", &Scenario::awaitReplies},
        {"align", &Scenario::alignToSecond},
        {"edge", &Scenario::reportEdges},
        {"seconds", &Scenario::reportSeconds},
        {"status", &Scenario::awaitStatus},
        {"mark", &Scenario::markTime},
        {"atleast", &Scenario::atLeast},
        {"atmost", &Scenario::atMost},
        {"nmea", &Scenario::sendSentence},
        {"heard", &Scenario::reportHeard},
        {"attempt", &Scenario::reportAttempt},
        {"hostile", &Scenario::withstandHostile},
        {"ask", &Scenario::askStatus},
        {"plant", &Scenario::runtimeFolder},
        {"private", &Scenario::runtimeFolder},
        {"stored", &Scenario::showStored},
        {"ntpdig", &Scenario::runNtpdig},
        {"chronyd", &Scenario::runChronyd},
        {"udp", &Scenario::exchangeUdp},
        {"udpport", &Scenario::reportUdpPort},
        {"plugins", &Scenario::reportPlugins},
        {"take-udp", &Scenario::takeUdpPort},
        {"ntpstatus", &Scenario::reportNtpServe},
        {"probe", &Scenario::runProbe},
        {"second", &Scenario::runSecondCopy},
        {"signal", &Scenario::sendSignal},
        {"exit", &Scenario::awaitExit},
    };
    const auto* command = commands.find(text);
    if (!command) return false;
    Line in{text, text.split(' '), {}, {}, {}};
    in.cmd = in.w[0];
    in.rest = text.mid(in.cmd.size() + 1);
    in.tail = in.w.mid(2).join(' ');
    (this->**command)(in);
    return true;
}

void Scenario::waitFor(const Line& in, const std::function<bool()>& done) {
    QVERIFY2(waitUntil(done, WaitMs), in.text.constData());
}

void Scenario::addSetting(const Line& in) { settings += expand(in.rest) + "\r\n"; }

void Scenario::setArgs(const Line& in) { args = str(in.rest).split(QLatin1Char(' ')); }

void Scenario::setEnv(const Line& in) { app.env.insert(str(in.w[1]), str(expand(in.tail))); }

void Scenario::makeReceiver(const Line&) { receiver = std::make_unique<Pty>(); }

// On 127.0.0.1:123 an hour and 2.5 s ahead; a client tries 6645 meanwhile; "kiss": its answers
// are kiss-o'-death RATE.
void Scenario::startNtpServer(const Line& in) {
    ntp = std::make_unique<FakeSntpServer>(QHostAddress::LocalHost, ks::SntpDefaultPort);
    QVERIFY(ntp->bound());
    ntp->aheadUs = 3'602'500'000;
    ntp->mode = in.w[1] == "answer" ? FakeSntpServer::Mode::Answer : FakeSntpServer::Mode::Silent;
    if (in.w.value(2) == "kiss")
        ntp->reply = {.stratum = 0, .size = 48, .wrongOriginate = false, .leap = 3, .referenceId = "RATE"};
    ntp->onRequest = [this] {
        if (firstAskedMs == 0) firstAskedMs = ntp->nowUs() / 1000;
        QTcpSocket early;
        early.connectToHost(QHostAddress::LocalHost, 6645);
        duringAttempt = early.waitForConnected(WaitMs) ? "open" : "refused";
    };
}

void Scenario::linkFile(
    const Line& in) { // ROOT/NAME becomes a link to TARGET (a device appearing under a name)
    QFile::remove(app.root() + u'/' + str(in.w[1]));
    QVERIFY(QFile::link(str(expand(in.w[2])), app.root() + u'/' + str(in.w[1])));
}

void Scenario::makeFile(const Line& in) {
    const QString path = app.root() + u'/' + str(in.w[1]);
    QVERIFY(QDir().mkpath(QFileInfo(path).path()) && QFile(path).open(QIODevice::WriteOnly));
}

void Scenario::stderrToJournal(const Line& in) { app.stderrToJournal(in.w[1] == "same"); }

// A user manager that gives the unit this state (none: no manager answers).
void Scenario::fakeSystemctl(const Line& in) {
    const QString bin = app.root() + QStringLiteral("/fake-bin");
    QFile fake(bin + QStringLiteral("/systemctl"));
    QVERIFY(QDir().mkpath(bin) && fake.open(QIODevice::WriteOnly));
    fake.write("#!/bin/sh\n[ \"$*\" = \"--user is-active korvat-server.service\" ] || exit 2\n" +
               (in.w[1] == "none" ? "echo 'Failed to connect to bus' >&2; exit 1\n"
                                  : "echo " + in.w[1] + "; [ " + in.w[1] + " = active ]\n"));
    QVERIFY(fake.setPermissions(fake.permissions() | QFile::ExeOwner));
    app.env.insert(QStringLiteral("PATH"), bin + u':' + app.env.value(QStringLiteral("PATH")));
}

void Scenario::takePort(const Line&) { QVERIFY(listen("0.0.0.0", 6645)); }

void Scenario::catchReplies(const Line& in) {
    QTcpServer* server = listen(in.w[1], 6646);
    QVERIFY(server);
    record(server, in.w[1]);
}

void Scenario::hangRequester(
    const Line& in) { // a requester whose reply port accepts nothing more: its backlog is full
    QTcpServer* full = listen(in.w[1], 6646, 0);
    QVERIFY(full);
    full->pauseAccepting();
    QTcpSocket* filler = hold(new QTcpSocket);
    filler->connectToHost(full->serverAddress(), 6646);
    QVERIFY(filler->waitForConnected(WaitMs));
    hung[in.w[1]] = {full, filler->localPort()};
}

void Scenario::unhangRequester(const Line& in) { // it takes connections again, and records them like `catch`
    const auto [full, filler] = hung.at(in.w[1]);
    record(full, in.w[1], filler);
    full->resumeAccepting();
}

void Scenario::keepCsv(const Line&) { csv = QDir().mkpath(app.logsDir()); }

void Scenario::sortStderr(const Line&) { sortLog = true; }

void Scenario::changeNetwork(const Line& in) { QVERIFY2(ip(str(in.rest)), in.rest.constData()); }

void Scenario::limitFiles(const Line& in) { fileLimit = in.w[1].toInt(); }

void Scenario::startProgram(const Line&) {
    listener();
    if (!settings.isEmpty()) app.writeSettings(SettingsHeader + settings);
    // The program starts with the soft limit on open files given, the test keeps its own.
    rlimit own{};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &own) == 0);
    rlimit lower = own;
    if (fileLimit) lower.rlim_cur = rlim_t(fileLimit);
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &lower) == 0);
    app.start(args);
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &own) == 0);
}

void Scenario::awaitGroup(const Line& in) { // a marker is the test's own datagram
    GroupListener& g = listener();
    if (in.cmd == "marker")
        QCOMPARE(QUdpSocket().writeDatagram(in.w[1], host("224.0.0.1"), 6649), in.w[1].size());
    QVERIFY2(g.waitFor(in.w[1], WaitMs), in.text.constData());
}

void Scenario::awaitStderr(const Line& in) {
    waitFor(in, [&] { return app.lines().join('\n').contains(in.rest); });
}

void Scenario::letTimePass(const Line& in) { pumpFor(in.w[1].toInt()); }

void Scenario::sendRequests(const Line& in) {
    const QByteArray text = unescaped(in.w.mid(3).join(' '));
    for (int i = 0, n = in.w[2].toInt(); i < n && !QTest::currentTestFailed(); ++i) {
        for (qsizetype f = text.count('{'); f > 0; --f)
            asked[in.w[1]].append(QDateTime::currentMSecsSinceEpoch());
        open("send", in.w[1], text);
    }
}

void Scenario::openConnections(const Line& in) {
    for (int i = 0, n = in.w[2].toInt(); i < n; ++i)
        open(in.w[1] + QByteArray::number(i), in.w[3], unescaped(in.w.mid(4).join(' ')));
}

void Scenario::writeMore(const Line& in) {
    const QByteArray text = unescaped(in.tail);
    const int fd = int(clients[in.w[1]]->socketDescriptor()); // on the wire even while the server stops
    QCOMPARE(::send(fd, text.constData(), size_t(text.size()), 0), ssize_t(text.size()));
}

void Scenario::resetConnection(const Line& in) {
    const linger abortive{1, 0};
    const int fd = int(clients[in.w[1]]->socketDescriptor());
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    clients[in.w[1]]->abort();
}

void Scenario::closeConnection(const Line& in) { clients[in.w[1]]->disconnectFromHost(); }

void Scenario::reportClosed(const Line& in) { // how many open connections the server closed; the named ones
    int closed = 0;
    for (auto& [name, s] : clients) {
        s->waitForReadyRead(0); // notices the server's close without an event loop
        closed += name != "send" && s->state() == QAbstractSocket::UnconnectedState;
    }
    out += "closed: " + QByteArray::number(closed);
    for (const QByteArray& name : in.w.mid(1))
        out += ", " + name + (clients[name]->state() == QTcpSocket::ConnectedState ? " open" : " closed");
    out += '\n';
}

void Scenario::awaitReplies(const Line& in) {
    waitFor(in, [&] { return ended() >= in.w[1].toInt(); });
}

void Scenario::alignToSecond(const Line& in) {
    // early in a second, so that what follows happens well before its end
    waitFor(in, [] { return QDateTime::currentMSecsSinceEpoch() % 1000 / 50 == 1; });
}

void Scenario::reportEdges(const Line& in) { out += judgeEdges(in.w[1].toInt()); }

void Scenario::reportSeconds(const Line&) { out += secondsCarried(); }

void Scenario::awaitStatus(const Line& in) {
    waitFor(in, [&] { // a field of the status socket's answer
        const auto json = QJsonDocument::fromJson(ks::StatusServer::ask(statusPath(), "status", WaitMs));
        return json[QLatin1String(in.w[1])].toVariant().toString() == QLatin1String(in.w[2]);
    });
}

void Scenario::markTime(const Line&) { mark.start(); }

void Scenario::atLeast(const Line& in) { QVERIFY2(mark.elapsed() >= in.w[1].toInt(), in.text.constData()); }

void Scenario::atMost(const Line& in) { QVERIFY2(mark.elapsed() <= in.w[1].toInt(), in.text.constData()); }

void Scenario::sendSentence(const Line& in) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QByteArray body = QByteArray(in.rest)
                                .replace("hhmmss", now.toString(u"hhmmss").toLatin1())
                                .replace("ddmmyy", now.toString(u"ddMMyy").toLatin1());
    QVERIFY(receiver->write(body + '*' + ks::NmeaChecksum(body) + "\r\n"));
}

void Scenario::reportHeard(const Line& in) { // lines from the receiver's port, and whether it is exclusive
    waitFor(in, [&] { return (heard += receiver->readAvailable()).count('\n') >= in.w[1].toInt(); });
    for (const QByteArray& l : heard.split('\n'))
        if (!l.isEmpty()) out += "receiver <- " + l.trimmed() + '\n';
    out += receiver->exclusive() ? "receiver port exclusive\n" : "receiver port shared\n";
}

void Scenario::reportAttempt(const Line& in) {
    waitFor(in, [&] { return !duringAttempt.isEmpty(); });
    out += "port 6645 while NTP is asked: " + duringAttempt + '\n';
}

// Silent, deaf (asks, never reads), garbage, a flood: the garbage is cut off after a line's
// worth, the silent one after the time limit; it answers on.
void Scenario::withstandHostile(const Line&) {
    const QString path = statusPath();
    QVERIFY(waitUntil([&] { return QFileInfo::exists(path); }, WaitMs));
    const bool others = QFileInfo(path).permissions() & 0x77; // any group or other bit
    out += others ? "status socket: open to others" : "status socket: its user's only";
    std::vector<std::unique_ptr<QLocalSocket>> c;
    for (int i = 0; i < 23; ++i) {
        c.emplace_back(std::make_unique<QLocalSocket>())->connectToServer(path);
        if (i < 3) QVERIFY(c.back()->waitForConnected(WaitMs));
    }
    c[1]->write("status\n");
    c[2]->write(QByteArray(1 << 20, 'x'));
    const auto gone = [](const auto& s) { return s->state() == QLocalSocket::UnconnectedState; };
    const auto cutOff = [&] { return gone(c[2]) || (c[2]->waitForBytesWritten(10), gone(c[2])); };
    QVERIFY(waitUntil([&] { return cutOff() && gone(c[0]); }, WaitMs));
    out += ", withstood hostile clients\n";
}

void Scenario::askStatus(const Line& in) {
    const QByteArray answer = ks::StatusServer::ask(statusPath(), in.rest, WaitMs);
    out += "ask " + in.rest + ": " + (answer.isEmpty() ? "closed unanswered\n" : mask(answer));
}

void Scenario::showStored(const Line&) {
    out += "stored: " +
           (QFile::exists(app.settingsPath()) ? caseText(fileContents(app.settingsPath())) : "none") + '\n';
}

void Scenario::runNtpdig(const Line& in) { out += ntpdig(in.w[1]); }

void Scenario::runChronyd(const Line& in) { out += chronyd(app.root(), in.w[1], in.w.value(2, "123")); }

void Scenario::exchangeUdp(const Line& in) { out += udpExchange(in.w); }

void Scenario::reportUdpPort(const Line& in) { out += udpPortBound(in.w[1].toInt()); }

// The Qt plugins the running program has mapped: headless it needs none, above all no display
// plugin.
void Scenario::reportPlugins(const Line&) {
    QByteArrayList loaded;
    const QString maps = QStringLiteral("/proc/%1/maps").arg(app.process().processId());
    for (const QByteArray& line : fileContents(maps).split('\n'))
        if (const qsizetype at = line.indexOf("/plugins/"); at >= 0 && !loaded.contains(line.mid(at + 9)))
            loaded += line.mid(at + 9);
    out += "plugins: " + (loaded.isEmpty() ? QByteArray("none") : loaded.join(' ')) + '\n';
}

void Scenario::takeUdpPort(const Line& in) { // another NTP daemon holds the port
    auto* holder = hold(new QUdpSocket);
    QVERIFY(holder->bind(QHostAddress::AnyIPv4, quint16(in.w[1].toUInt()), QUdpSocket::DontShareAddress));
}

// The NTP server's part of the status, once the status socket answers.
void Scenario::reportNtpServe(const Line& in) {
    QJsonObject status;
    waitFor(in, [&] {
        status = QJsonDocument::fromJson(ks::StatusServer::ask(statusPath(), "status", WaitMs)).object();
        return !status.isEmpty();
    });
    const QJsonValue n = status.value(u"ntp_serve");
    out += "ntp_serve: " +
           (n.isUndefined() ? QByteArray("absent")
                            : QJsonDocument(n.toObject()).toJson(QJsonDocument::Compact)) +
           '\n';
}

void Scenario::runtimeFolder(
    const Line& in) { // the run-time folder in TMPDIR, as another user could leave it
    const QString tmp = app.root() + QStringLiteral("/tmp");
    const QString path = tmp + QStringLiteral("/kserver-") + QString::number(::getuid());
    const auto ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    if (in.cmd == "private") { // what the program made there
        struct stat st {};
        QVERIFY(::lstat(QFile::encodeName(path).constData(), &st) == 0);
        out += mask("private folder: " + path.toLocal8Bit() +
                    (S_ISDIR(st.st_mode) ? " a folder" : " no folder") +
                    (st.st_uid == ::getuid() ? " of this user" : " of another user") + ", mode " +
                    QByteArray::number(st.st_mode & 0777, 8)) +
               '\n';
        // and nothing else: Qt made a folder of its own there when it had none
        const QStringList all = QDir(tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        out += mask("temporary folder holds: " + all.join(u' ').toLocal8Bit()) + '\n';
    } else if (in.w[1] == "link") { // to a folder of the planter's choosing
        QVERIFY(QDir().mkpath(tmp + QStringLiteral("/elsewhere")));
        QVERIFY(QFile::link(tmp + QStringLiteral("/elsewhere"), path));
    } else if (in.w[1] == "open") {
        QVERIFY(QDir().mkpath(path));
        QVERIFY(QFile::setPermissions(path, ownerOnly | QFile::ReadGroup | QFile::ExeGroup |
                                                QFile::ReadOther | QFile::ExeOther));
    } else {
        QVERIFY(QDir().mkpath(tmp));
        QVERIFY(in.w[1] == "nothing" || QFile(path).open(QIODevice::WriteOnly));
    }
}

void Scenario::runProbe(const Line& in) {
    aside(QStringLiteral(KS_PROBE_BIN), str(in.rest).split(u' '), in.text);
}

void Scenario::runSecondCopy(const Line&) {
    aside(app.binDir() + QStringLiteral("/korvat-server"), {}, "second copy");
}

void Scenario::sendSignal(const Line& in) {
    QCOMPARE(::kill(pid_t(app.process().processId()), Signals.at(in.w[1])), 0);
}

void Scenario::awaitExit(const Line&) {
    QVERIFY(app.waitForExit(WaitMs));
    out += "exit " + QByteArray::number(app.process().exitCode());
    out += QFile::exists(statusPath()) ? ", status socket left\n" : "\n";
}

// Each reply not judged yet, against the request it answers (a requester's replies answer its
// requests in order): the second it carries has begun after the request was sent, and it
// arrived at most boundMs after that second began.
QByteArray Scenario::judgeEdges(int boundMs) {
    QByteArray faults;
    int count = 0;
    std::map<QByteArray, int> nth;
    for (const Reply& r : replies) {
        const int n = nth[r.to]++;
        if (n < judged[r.to] || !r.arrivedMs) continue;
        judged[r.to] = n + 1;
        ++count;
        const qint64 carried = carriedMs(r.bytes);
        const qint64 sent = asked[r.to].value(n, -1);
        const QByteArray which = "  " + r.to + " reply " + QByteArray::number(n) + ": ";
        if (carried < 0) faults += which + "not a reply\n";
        else if (sent < 0) faults += which + "no request\n";
        else if (carried <= sent)
            faults += which + "carries a second begun " + QByteArray::number(sent - carried) +
                      " ms before its request\n";
        else if (r.arrivedMs - carried > boundMs || r.arrivedMs < carried)
            faults +=
                which + "arrived " + QByteArray::number(r.arrivedMs - carried) + " ms into its second\n";
    }
    return "edge: " + QByteArray::number(count) + " replies" +
           (faults.isEmpty() ? ", each of a second begun after its request, arrived within " +
                                   QByteArray::number(boundMs) + " ms of its start\n"
                             : ":\n" + faults);
}

qint64 Scenario::carriedMs(const QByteArray& bytes) {
    const QByteArray token = bytes.contains(':')            ? ks::TokenQuorix
                             : bytes.startsWith("{KORVAT_") ? ks::TokenKorvat1010
                                                            : ks::TokenKorvat;
    const std::optional<ks::ParsedReply> p = ks::parseReply(bytes, token);
    if (!p) return -1;
    ks::CivilTime clock = p->clock;
    clock.year += 2000;
    return token == ks::TokenQuorix ? ks::msFromCivil(clock) : p->seconds * 1000;
}

// Which second each reply carries, counted from the second its request was sent in.
QByteArray Scenario::secondsCarried() {
    QByteArray text;
    std::map<QByteArray, int> nth;
    for (const Reply& r : replies) {
        const int n = nth[r.to]++;
        const qint64 carried = carriedMs(r.bytes), sent = asked[r.to].value(n, -1);
        if (!r.arrivedMs || carried < 0 || sent < 0) continue;
        text += "seconds: " + r.to + " reply " + QByteArray::number(n) + " carries its request's second + " +
                QByteArray::number(carried / 1000 - sent / 1000) + '\n';
    }
    return text;
}

QByteArray Scenario::report() {
    listener().waitFor({}, 200); // anything still on its way
    out += "replies:\n";
    std::stable_sort(replies.begin(), replies.end(), [](auto& a, auto& b) { return a.to < b.to; });
    for (const Reply& r : replies)
        if (r.arrivedMs) out += "  " + r.to + " <- " + mask(r.bytes) + '\n';
    out += "group:\n";
    for (qsizetype i = 0; i < group->received.size(); ++i)
        out += "  " + group->received[i] + " ttl " + QByteArray::number(group->ttls[i]) + '\n';
    QList<QByteArray> lines;
    for (const QByteArray& l : app.lines()) lines.append(mask(l));
    if (sortLog) std::sort(lines.begin(), lines.end());
    out += "stderr:\n  " + lines.join("\n  ") + '\n';
    const bool same = !settings.isEmpty() && fileContents(app.settingsPath()).endsWith(settings);
    out += !QFile::exists(app.settingsPath()) ? "settings: none\n"
           : same                             ? "settings: as written\n"
                                              : "settings: changed\n";
    const QString clockLog = app.root() + QStringLiteral("/clock.log");
    const qint64 serverNow = QDateTime::currentMSecsSinceEpoch() + (ntp ? ntp->aheadUs / 1000 : 0);
    if (QFile::exists(clockLog)) out += "clock log:\n";
    for (const QByteArray& l : fileContents(clockLog).split('\n')) {
        // The server's time when it answered plus half the round trip: after the first request
        // came, no later than its time now.
        const qint64 ms = QDateTime::fromString(str(l.left(24)), Qt::ISODateWithMs).toMSecsSinceEpoch();
        if (!l.isEmpty())
            out += "  " +
                   (ntp && ms >= firstAskedMs - 1 && ms <= serverNow + 1 ? "SERVER-TIME" + l.mid(24) : l) +
                   '\n';
    }
    for (const QFileInfo& f : csv ? QDir(app.logsDir()).entryInfoList(QDir::Files) : QFileInfoList())
        out += masked("csv " + f.fileName().toLocal8Bit() + ":\n" + fileContents(f.filePath()), {});
    return out;
}
} // namespace

class TestNetwork : public QObject {
    Q_OBJECT
private slots:
    void init() { // the scenarios change the network: only inside the namespace, as netns-run made it
        if (qEnvironmentVariable("KS_IN_NETNS") != QLatin1String("1")) QSKIP("runs only in tests/netns-run");
        for (const char* c : {"link set ks0 up", "link set ks1 up", "route replace 224.0.0.0/4 dev ks0"})
            QVERIFY(ip(QLatin1String(c)));
    }
    void scenario_data() { goldenRows("service", ".script"); }
    void scenario() {
        QFETCH(QString, path);
        Scenario s;
        for (const QByteArray& line : scriptLines(path)) {
            QVERIFY2(s.run(line), unknownCommand(line).constData());
            if (QTest::currentTestFailed()) return;
        }
        KS_COMPARE_GOLDEN(s.report(), expectedPath(path));
    }
    // A mistyped command fails its case before anything starts.
    void mistyped() {
        Scenario s;
        QVERIFY(!s.run("strat"));
        QVERIFY(!s.run("sttings \"source\"=dword:00000002"));
        QVERIFY(!s.app.process().processId());
    }
};

QTEST_GUILESS_MAIN(TestNetwork)
#include "tst_network.moc"
