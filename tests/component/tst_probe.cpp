// korvat-probe against a small stand-in server: requests on 6645, replies on a new
// connection to 6646 of the requester, one at a time; and multicast announcements.
#include "protocol/Replies.h"
#include "protocol/Requests.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QQueue>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <functional>

using namespace ks;
using namespace Qt::StringLiterals;

namespace {
constexpr int WaitMs = 15000; // upper bound for anything to happen; never the expected time

struct Served {
    QHostAddress from;
    QByteArray bytes; // everything the request connection carried
};

// A reply built from this machine's clock now, GMT mode, serial 42, GPS synchronised.
QByteArray liveReply(const QByteArray& token) {
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    return replyFrame(replyText(token, {42, {1, 0, 2}, DisplayMode::Gmt, {ms, civilFromMs(ms)}}));
}

// Answers each recognised request with `reply(token)` on a new connection to the
// requester's port 6646, one reply at a time, the next after a 10 ms tick.
class StandInServer : public QObject {
public:
    explicit StandInServer(std::function<QByteArray(const QByteArray&)> replyFn = liveReply)
        : reply(std::move(replyFn)) {}
    std::function<QByteArray(const QByteArray& token)> reply;
    std::function<bool(int requestNumber)> answer = [](int) { return true; };
    QList<Served> served;
    int replied = 0;

    bool start() {
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                socket->setParent(this);
                const int at = int(served.size());
                served.append({socket->peerAddress(), {}});
                connect(socket, &QTcpSocket::readyRead, this, [this, socket, at] {
                    const QByteArray text = socket->readAll();
                    served[at].bytes += text;
                    for (const QByteArray& body : parseRequests(text)) {
                        const QByteArray token = replyToken(recogniseRequest(body));
                        if (token.isEmpty() || !answer(requests_++)) continue;
                        queue_.enqueue({socket->peerAddress(), token});
                    }
                    serveNext();
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        return server_.listen(QHostAddress::AnyIPv4, 6645);
    }

private:
    struct Pending {
        QHostAddress to;
        QByteArray token;
    };

    void serveNext() {
        if (busy_ || queue_.isEmpty()) return;
        busy_ = true;
        const Pending next = queue_.dequeue();
        auto* socket = new QTcpSocket(this);
        const auto done = [this, socket] {
            socket->deleteLater();
            QTimer::singleShot(10, this, [this] {
                busy_ = false;
                serveNext();
            });
        };
        connect(socket, &QTcpSocket::connected, this, [this, socket, next] {
            socket->write(reply(next.token));
            ++replied;
            socket->disconnectFromHost();
        });
        connect(socket, &QTcpSocket::disconnected, this, done);
        connect(socket, &QTcpSocket::errorOccurred, this, done);
        socket->connectToHost(next.to, 6646);
    }

    QTcpServer server_;
    QQueue<Pending> queue_;
    int requests_ = 0;
    bool busy_ = false;
};

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
    qint64 elapsedMs = 0;
};

// Runs the probe to its end while this loop keeps serving.
Run runProbe(const QStringList& args) {
    QProcess probe;
    QSignalSpy finished(&probe, &QProcess::finished);
    QElapsedTimer clock;
    clock.start();
    probe.start(QStringLiteral(KS_PROBE_BIN), args);
    Run run;
    if (!finished.wait(WaitMs)) {
        probe.kill();
        probe.waitForFinished();
        run.err = u"probe did not end"_s;
        return run;
    }
    run.elapsedMs = clock.elapsed();
    run.exitCode = probe.exitStatus() == QProcess::NormalExit ? probe.exitCode() : -2;
    run.out = QString::fromLocal8Bit(probe.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(probe.readAllStandardError());
    return run;
}

QString lineStarting(const QString& out, const QString& start) {
    for (const QString& line : out.split(QLatin1Char('\n'))) {
        if (line.startsWith(start)) return line;
    }
    return {};
}
} // namespace

class TestProbe : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (qEnvironmentVariableIsEmpty("KS_IN_NETNS"))
            QSKIP("opens ports 6645/6646/6649: run inside tests/netns-run");
    }

    void request_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("requestFrame");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("lines");

        QTest::newRow("korvat") << u"korvat"_s << QByteArray("{Brevane Request Date and Time}")
                                << QByteArray("{KORVAT00421796479509}") << 0
                                << QStringList{u"format   KORVAT"_s, u"serial   0042"_s,
                                               u"seconds  1796479509 = 2026-12-05 14:05:09 UTC"_s,
                                               u"offset   "_s};
        QTest::newRow("korvat1010")
            << u"korvat1010"_s << QByteArray("{KorvatClient1010}")
            << QByteArray("{KORVAT_1_0_2_00421796479509}") << 0
            << QStringList{u"format   KORVAT1010"_s, u"status   1_0_2 (GPS, synchronised)"_s,
                           u"serial   0042"_s};
        QTest::newRow("korvat1012 gets the 1010 format")
            << u"korvat1012"_s << QByteArray("{KorvatClient1012}")
            << QByteArray("{KORVAT_0_0_3_99981796479509}") << 0
            << QStringList{u"format   KORVAT1010"_s,
                           u"status   0_0_3 (PC clock, no serial input)"_s, u"serial   9998"_s};
        QTest::newRow("quorix") << u"quorix"_s << QByteArray("{Quorix Request Date and Time}")
                                << QByteArray("{KORVAT_0042_14:05:09_05/12/26_05/12/26}") << 0
                                << QStringList{u"format   QUORIX"_s, u"serial   0042"_s,
                                               u"clock    2026-12-05 14:05:09, "_s,
                                               u"utc date 2026-12-05, "_s};
        QTest::newRow("malformed: serial short")
            << u"korvat"_s << QByteArray("{Brevane Request Date and Time}")
            << QByteArray("{KORVAT042}") << 2
            << QStringList{u"reply    {KORVAT042} from 127.0.0.1"_s};
        QTest::newRow("malformed: other format than asked for")
            << u"korvat"_s << QByteArray("{Brevane Request Date and Time}")
            << QByteArray("{KORVAT_1_0_2_00421796479509}") << 2 << QStringList{};
        QTest::newRow("malformed: line end after the frame")
            << u"korvat1010"_s << QByteArray("{KorvatClient1010}")
            << QByteArray("{KORVAT_1_0_2_00421796479509}\r\n") << 2
            << QStringList{u"reply    {KORVAT_1_0_2_00421796479509}\\x0d\\x0a from"_s};
        QTest::newRow("malformed: connection closed without a byte")
            << u"quorix"_s << QByteArray("{Quorix Request Date and Time}") << QByteArray() << 2
            << QStringList{};
    }
    void request() {
        QFETCH(QString, kind);
        QFETCH(QByteArray, requestFrame);
        QFETCH(QByteArray, reply);
        QFETCH(int, exitCode);
        QFETCH(QStringList, lines);
        StandInServer server([reply](const QByteArray&) { return reply; });
        QVERIFY(server.start());

        const Run run = runProbe({u"request"_s, u"127.0.0.1"_s, u"--kind"_s, kind});
        QVERIFY2(run.exitCode == exitCode, qPrintable(run.out + run.err));
        QCOMPARE(server.served.size(), 1);
        QCOMPARE(server.served[0].bytes, requestFrame); // exactly one frame, nothing else
        QCOMPARE(server.replied, 1);
        QVERIFY(run.out.startsWith(u"request  "_s + QString::fromLatin1(requestFrame) +
                                   u" to 127.0.0.1:6645\n"_s));
        for (const QString& line : lines)
            QVERIFY2(!lineStarting(run.out, line).isEmpty(), qPrintable(line + u"\n"_s + run.out));
        if (exitCode == 2) QVERIFY2(run.err.contains(u"malformed reply"_s), qPrintable(run.err));
    }

    void offsetFromTheLocalClock_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("line");
        QTest::newRow("korvat seconds") << u"korvat"_s << u"offset   "_s;
        QTest::newRow("quorix clock") << u"quorix"_s << u"clock    "_s;
    }
    void offsetFromTheLocalClock() {
        QFETCH(QString, kind);
        QFETCH(QString, line);
        StandInServer server;
        QVERIFY(server.start());
        const Run run = runProbe({u"request"_s, u"127.0.0.1"_s, u"--kind"_s, kind});
        QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
        // "+0.3 s" or "-0.2 s": a reply of whole seconds is within half a second plus the trip.
        const QString found = lineStarting(run.out, line);
        const QRegularExpressionMatch m =
            QRegularExpression(u"([+-][0-9]+\\.[0-9]) s"_s).match(found);
        QVERIFY2(m.hasMatch(), qPrintable(run.out));
        QVERIFY2(qAbs(m.captured(1).toDouble()) <= 1.5, qPrintable(found));
    }

    void noReplyEndsAtTheTimeout() {
        StandInServer server;
        server.answer = [](int) { return false; };
        QVERIFY(server.start());
        const Run run = runProbe({u"request"_s, u"127.0.0.1"_s, u"--timeout"_s, u"400"_s});
        QCOMPARE(run.exitCode, 1);
        QVERIFY(run.elapsedMs >= 400);
        QVERIFY2(run.err.contains(u"no reply within 400 ms"_s), qPrintable(run.err));
        QCOMPARE(server.served.size(), 1);
    }

    void nobodyListeningOnTheRequestPort() {
        const Run run = runProbe({u"request"_s, u"127.0.0.1"_s});
        QCOMPARE(run.exitCode, 3);
        QVERIFY2(run.err.contains(u"Connection refused"_s), qPrintable(run.err));
    }

    void replyPortTaken() {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::AnyIPv4, 6646));
        StandInServer server;
        QVERIFY(server.start());
        const Run run = runProbe({u"request"_s, u"127.0.0.1"_s});
        QCOMPARE(run.exitCode, 3);
        QVERIFY2(run.err.contains(u"cannot listen on 0.0.0.0 port 6646"_s), qPrintable(run.err));
        QCOMPARE(server.served.size(), 0); // nothing sent that could not be answered
    }

    void bindChoosesTheSourceAndTheReplyAddress() {
        StandInServer server;
        QVERIFY(server.start());
        const Run run = runProbe({u"request"_s, u"192.0.2.1"_s, u"--kind"_s, u"korvat1010"_s,
                                  u"--bind"_s, u"192.0.2.2"_s});
        QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
        QCOMPARE(server.served.size(), 1);
        QCOMPARE(server.served[0].from, QHostAddress(u"192.0.2.2"_s));
        QVERIFY2(!lineStarting(run.out, u"reply    {KORVAT_1_0_2_0042"_s).isEmpty(),
                 qPrintable(run.out));
        QVERIFY(run.out.contains(u" from 192.0.2.2 after "_s));
    }

    void benchFromSeveralSources() {
        StandInServer server;
        QVERIFY(server.start());
        const Run run =
            runProbe({u"bench"_s, u"127.0.0.1"_s, u"--requests"_s, u"12"_s, u"--sources"_s, u"3"_s,
                      u"--kind"_s, u"korvat1010"_s, u"--sequential"_s});
        QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
        QCOMPARE(server.served.size(), 12);
        for (int i = 0; i < 12; ++i) {
            QCOMPARE(server.served[i].from, QHostAddress(u"127.0.0.%1"_s.arg(1 + i % 3)));
            QCOMPARE(server.served[i].bytes, QByteArray("{KorvatClient1010}"));
        }
        QCOMPARE(lineStarting(run.out, u"sent "_s), u"sent       12"_s);
        QCOMPARE(lineStarting(run.out, u"answered "_s), u"answered   12"_s);
        QCOMPARE(lineStarting(run.out, u"lost "_s), u"lost       0"_s);
        QCOMPARE(lineStarting(run.out, u"malformed "_s), u"malformed  0"_s);
        QCOMPARE(lineStarting(run.out, u"in order "_s), u"in order   yes"_s);
        QVERIFY(lineStarting(run.out, u"latency    p50 "_s).contains(u" max "_s));
    }

    void benchBurstCountsTheLost() {
        StandInServer server;
        server.answer = [](int n) { return n % 4 != 1; }; // drops 3 of 12
        QVERIFY(server.start());
        const Run run = runProbe({u"bench"_s, u"127.0.0.1"_s, u"--requests"_s, u"12"_s,
                                  u"--sources"_s, u"1"_s, u"--timeout"_s, u"2000"_s});
        QVERIFY2(run.exitCode == 1, qPrintable(run.out + run.err));
        QCOMPARE(server.served.size(), 12);
        QCOMPARE(lineStarting(run.out, u"answered "_s), u"answered   9"_s);
        QCOMPARE(lineStarting(run.out, u"lost "_s), u"lost       3"_s);
    }

    void benchFlagsMalformedReplies() {
        StandInServer server([](const QByteArray&) { return QByteArray("{KORVAT0042}"); });
        QVERIFY(server.start());
        const Run run = runProbe({u"bench"_s, u"127.0.0.1"_s, u"--requests"_s, u"3"_s,
                                  u"--sources"_s, u"2"_s, u"--sequential"_s});
        QVERIFY2(run.exitCode == 2, qPrintable(run.out + run.err));
        QVERIFY2(lineStarting(run.out, u"malformed "_s)
                     .startsWith(u"malformed  3 (first: {KORVAT0042}"_s),
                 qPrintable(run.out));
    }

    void listenPrintsAnnouncements() {
        QProcess probe;
        QString out;
        connect(&probe, &QProcess::readyReadStandardOutput, this,
                [&] { out += QString::fromLocal8Bit(probe.readAllStandardOutput()); });
        probe.start(QStringLiteral(KS_PROBE_BIN), {u"listen"_s, u"60"_s});
        QTRY_VERIFY_WITH_TIMEOUT(out.contains(u"listening on 224.0.0.1:6649\n"_s), WaitMs);

        QUdpSocket sender;
        sender.setSocketOption(QAbstractSocket::MulticastTtlOption, 1);
        const QHostAddress group(u"224.0.0.1"_s);
        for (const QByteArray& message :
             {QByteArray("1_0_2"), QByteArray("3_0_1"), QByteArray("junk\n"), QByteArray("0_0_9")})
            QCOMPARE(sender.writeDatagram(message, group, 6649), message.size());

        QTRY_VERIFY_WITH_TIMEOUT(out.contains(u"server shutting down"_s), WaitMs);
        probe.kill();
        probe.waitForFinished();
        const QStringList lines = out.trimmed().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 5);
        QVERIFY2(lines[1].endsWith(u"  1_0_2  GPS, synchronised"_s), qPrintable(lines[1]));
        QVERIFY2(lines[2].endsWith(u"  3_0_1  NTP, synchronising"_s), qPrintable(lines[2]));
        QVERIFY2(lines[3].endsWith(u"  junk\\x0a  not a status message"_s), qPrintable(lines[3]));
        QVERIFY2(lines[4].endsWith(u"  0_0_9  server shutting down"_s), qPrintable(lines[4]));
        QVERIFY(lines[1].contains(u"  from 192.0.2.1  "_s) ||
                lines[1].contains(u"  from 127.0.0.1  "_s));
    }

    void listenEndsAfterItsSeconds() {
        const Run run = runProbe({u"listen"_s, u"1"_s});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.elapsedMs >= 1000);
        QVERIFY2(run.out.endsWith(u"0 announcement(s) in 1 s\n"_s), qPrintable(run.out));
    }

    void usageErrors_data() {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("no command") << QStringList{};
        QTest::newRow("unknown command") << QStringList{u"ask"_s};
        QTest::newRow("request without host") << QStringList{u"request"_s};
        QTest::newRow("unknown kind")
            << QStringList{u"request"_s, u"127.0.0.1"_s, u"--kind"_s, u"Korvat"_s};
        QTest::newRow("timeout not a number")
            << QStringList{u"request"_s, u"127.0.0.1"_s, u"--timeout"_s, u"5s"_s};
        QTest::newRow("bind not IPv4")
            << QStringList{u"request"_s, u"127.0.0.1"_s, u"--bind"_s, u"::1"_s};
        QTest::newRow("option of another command")
            << QStringList{u"request"_s, u"127.0.0.1"_s, u"--sources"_s, u"2"_s};
        QTest::newRow("bench without counts") << QStringList{u"bench"_s, u"127.0.0.1"_s};
        QTest::newRow("bench too many requests") << QStringList{
            u"bench"_s, u"127.0.0.1"_s, u"--requests"_s, u"1000001"_s, u"--sources"_s, u"1"_s};
        QTest::newRow("bench too many in flight") << QStringList{u"bench"_s, u"127.0.0.1"_s,
            u"--requests"_s, u"10"_s, u"--sources"_s, u"1"_s, u"--in-flight"_s, u"1001"_s};
        QTest::newRow("bench too many sources") << QStringList{
            u"bench"_s, u"127.0.0.1"_s, u"--requests"_s, u"10"_s, u"--sources"_s, u"251"_s};
        QTest::newRow("bench deadline too long")
            << QStringList{u"bench"_s,     u"127.0.0.1"_s, u"--requests"_s, u"10"_s,
                           u"--sources"_s, u"1"_s,         u"--deadline"_s, u"601"_s};
        QTest::newRow("rate and sequential") << QStringList{
            u"bench"_s, u"127.0.0.1"_s, u"--requests"_s, u"10"_s,          u"--sources"_s,
            u"1"_s,     u"--rate"_s,    u"5"_s,          u"--sequential"_s};
        QTest::newRow("listen zero seconds") << QStringList{u"listen"_s, u"0"_s};
        QTest::newRow("status with an argument") << QStringList{u"status"_s, u"127.0.0.1"_s};
        QTest::newRow("json for request")
            << QStringList{u"request"_s, u"127.0.0.1"_s, u"--json"_s};
    }

    void version() {
        const Run run = runProbe({u"--version"_s});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, u"korvat-probe 2.01\n"_s);
    }
    void usageErrors() {
        QFETCH(QStringList, args);
        const Run run = runProbe(args);
        QCOMPARE(run.exitCode, 64);
        QVERIFY(run.err.contains(u"korvat-probe --help"_s));
    }
};

QTEST_GUILESS_MAIN(TestProbe)
#include "tst_probe.moc"
