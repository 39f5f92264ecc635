// korvat-probe against a stand-in server, case by case from tests/golden/probe.
#include "Golden.h"
#include "Wait.h"
#include "protocol/Replies.h"
#include "protocol/Requests.h"

#include <QProcess>
#include <QQueue>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

using namespace ks;
using namespace Qt::StringLiterals;

namespace {
constexpr int WaitMs = 15000; // upper bound for anything to happen; never the expected time

// One run's surroundings. A live reply is the clock now, GMT mode, serial 42, GPS synchronised.
struct Setup {
    bool listening = true, live = true, squat = false;
    QByteArray reply;
    QList<int> dropped; // request numbers left unanswered; -1: all
    QList<QByteArray> announcements;
};

// Takes requests on 6645 and answers each on a new connection to the requester's 6646, one
// reply at a time. Keeps "served FROM BYTES" per request connection.
struct StandIn : QObject {
    explicit StandIn(const Setup& s) : setup(s) {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                socket->setParent(this);
                served.append("served " + socket->peerAddress().toString().toLatin1() + ' ');
                connect(socket, &QTcpSocket::readyRead, this,
                        [this, socket, at = served.size() - 1] {
                            const QByteArray text = socket->readAll();
                            served[at] += test::caseText(text);
                            for (const QByteArray& body : parseRequests(text)) {
                                const QByteArray token = replyToken(recogniseRequest(body));
                                const int n = requests++;
                                if (!token.isEmpty() && !setup.dropped.contains(n) &&
                                    !setup.dropped.contains(-1))
                                    queue.enqueue({socket->peerAddress(), token});
                            }
                            serveNext();
                        });
            }
        });
        if (s.listening) server.listen(QHostAddress::AnyIPv4, 6645);
    }
    void serveNext() {
        if (busy || queue.isEmpty()) return;
        busy = true;
        const auto [to, token] = queue.dequeue();
        const qint64 ms = QDateTime::currentMSecsSinceEpoch();
        const QByteArray reply =
            setup.live ? replyFrame(replyText(
                             token, {42, {1, 0, 2}, DisplayMode::Gmt, {ms, civilFromMs(ms)}}))
                       : setup.reply;
        auto* socket = new QTcpSocket(this);
        const auto done = [this, socket] {
            socket->deleteLater();
            busy = false;
            QTimer::singleShot(10, this, &StandIn::serveNext);
        };
        connect(socket, &QTcpSocket::connected, this, [socket, reply] {
            socket->write(reply);
            socket->disconnectFromHost();
        });
        connect(socket, &QTcpSocket::disconnected, this, done);
        connect(socket, &QTcpSocket::errorOccurred, this, done);
        socket->connectToHost(to, 6646);
    }
    Setup setup;
    QList<QByteArray> served;
    QTcpServer server;
    QQueue<std::pair<QHostAddress, QByteArray>> queue;
    int requests = 0;
    bool busy = false;
};

// What changes from run to run becomes a mark: times taken, and with a live reply the clock
// now. An offset within 1.5 s shows as "~0 s", any other as "# s", so a wrong one shows.
QByteArray steady(const QByteArray& text, bool live) {
    using Rule = std::pair<QRegularExpression, QString>;
    static const QList<Rule> rules = {
        {QRegularExpression(uR"([+-](0\.[0-9]|1\.[0-5]) s\b)"_s), u"~0 s"_s},
        {QRegularExpression(uR"([+-]?[0-9]+\.[0-9]+(?= m?s\b))"_s), u"#"_s},
        {QRegularExpression(uR"(^[0-9:.]{12}  from)"_s, QRegularExpression::MultilineOption),
         u"TIME  from"_s},
        {QRegularExpression(uR"(rate( +)[0-9]+)"_s), u"rate\\1#"_s},
        {QRegularExpression(uR"(not today's UTC date [0-9-]+)"_s),
         u"not today's UTC date TODAY"_s}};
    static const QList<Rule> liveRules = {
        {QRegularExpression(uR"(reply    \S+)"_s), u"reply    LIVE"_s},
        {QRegularExpression(uR"(seconds  [0-9]+ = [0-9-]+ [0-9:]+)"_s), u"seconds  NOW"_s},
        {QRegularExpression(uR"(clock    [0-9-]+ [0-9:]+)"_s), u"clock    NOW"_s},
        {QRegularExpression(uR"(utc date [0-9-]+)"_s), u"utc date NOW"_s}};
    QString s = QString::fromLocal8Bit(text);
    for (const auto& [re, to] : rules + (live ? liveRules : QList<Rule>()))
        s.replace(re, to);
    return s.toLocal8Bit();
}

// One run: the command line, what the stand-in was sent, stdout, stderr and the exit status.
QByteArray run(const QList<QByteArray>& args, const Setup& setup) {
    StandIn server(setup);
    QTcpServer squatter;
    if (setup.squat && !squatter.listen(QHostAddress::AnyIPv4, 6646)) return "cannot hold 6646\n";
    QProcess probe;
    QStringList argList;
    for (const QByteArray& a : args)
        argList << QString::fromLocal8Bit(a);
    probe.start(QStringLiteral(KS_PROBE_BIN), argList);
    QByteArray out, result = "$ korvat-probe" + (args.isEmpty() ? "" : ' ' + args.join(' ')) + '\n';
    const auto lines = [&] { return (out += probe.readAllStandardOutput()).count('\n'); };
    bool stopped = false;
    if (!setup.announcements.isEmpty()) { // once it listens; stopped once it showed them all
        test::waitUntil([&] { return lines() >= 1; }, WaitMs);
        QUdpSocket sender;
        sender.setSocketOption(QAbstractSocket::MulticastTtlOption, 1);
        for (const QByteArray& message : setup.announcements)
            sender.writeDatagram(message, QHostAddress(u"224.0.0.1"_s), 6649);
        stopped = test::waitUntil([&] { return lines() > setup.announcements.size(); }, WaitMs);
        probe.terminate();
    }
    const bool ended =
        test::waitUntil([&] { return probe.state() == QProcess::NotRunning; }, WaitMs);
    if (!ended) probe.kill();
    probe.waitForFinished();
    lines();
    result += server.served.join('\n') + (server.served.isEmpty() ? "" : "\n");
    for (const QByteArray& line : steady(out, setup.live).split('\n'))
        if (!line.isEmpty()) result += "stdout " + line + '\n';
    for (const QByteArray& line : steady(probe.readAllStandardError(), setup.live).split('\n'))
        if (!line.isEmpty()) result += "stderr " + line + '\n';
    if (stopped || !ended)
        return result + (stopped ? "stopped after its lines\n" : "still running\n");
    return result + (probe.exitStatus() != QProcess::NormalExit
                         ? "crashed\n"
                         : "exit " + QByteArray::number(probe.exitCode()) + '\n');
}
} // namespace

class TestProbe : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (qEnvironmentVariableIsEmpty("KS_IN_NETNS"))
            QSKIP("opens ports 6645/6646/6649: run inside tests/netns-run");
    }
    void cases_data() { test::goldenRows("probe", ".case"); }
    void cases() {
        QFETCH(QString, path);
        QByteArray actual;
        Setup setup;
        for (const QByteArray& line : test::scriptLines(path)) {
            const qsizetype space = line.indexOf(' ');
            const QByteArray word = space < 0 ? line : line.left(space);
            const QByteArray rest = space < 0 ? QByteArray() : line.mid(space + 1);
            if (word == "reply") {
                setup.live = false;
                setup.reply = test::caseBytes(rest);
            } else if (word == "drop") {
                for (const QByteArray& n : rest.split(' '))
                    setup.dropped << (n == "all" ? -1 : n.toInt());
            } else if (word == "no-server") {
                setup.listening = false;
            } else if (word == "squat") {
                setup.squat = true;
            } else if (word == "announce") {
                setup.announcements << test::caseBytes(rest);
            } else {
                QCOMPARE(word, "run");
                actual += run(rest.isEmpty() ? QList<QByteArray>() : rest.split(' '), setup);
                setup = {};
            }
        }
        KS_COMPARE_GOLDEN(actual, test::expectedPath(path));
    }
};

QTEST_GUILESS_MAIN(TestProbe)
#include "tst_probe.moc"
