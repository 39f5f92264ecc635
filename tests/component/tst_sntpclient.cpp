#include "FakeClock.h"
#include "FakeSntpServer.h"
#include "components/SNTP.h"
#include "protocol/Sntp.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>


using namespace ks;

namespace {

// 2026-12-05 14:05:09.123 UTC; NTP eebe9895.1f7ced91, the fraction truncated.
constexpr qint64 Start = 1796479509123;
const QByteArray StartRequestHex = "1b" + QByteArray(78, '0') + "eebe98951f7ced91";

// How the fake server answers one request: its clock against ours, the way there and back.
struct Reply {
    test::SntpReply wire = {};
    qint64 offsetMs = 0;     // server clock = test clock + offset
    qint64 delayMs = 0;      // one way, each way
    qint64 processingMs = 0; // between the server's receive and transmit timestamps
};

// SyncClock with an error turned into its message.
struct SyncResult {
    bool ok = false;
    QString error;
};
SyncResult syncClock(SntpClient& client) {
    try {
        return {client.SyncClock(), {}};
    } catch (const SntpError& e) {
        return {false, e.message()};
    }
}

// A client aimed at a silent fake server, on a fake clock starting at start.
struct Rig {
    explicit Rig(qint64 start = Start, const QString& address = QStringLiteral("127.0.0.1"))
        : clock(start), server(QHostAddress(address)) {
        server.mode = test::FakeSntpServer::Mode::Silent;
        client.Host = address;
        client.Port = server.port();
    }
    // The answer to the last request, moving the clock as the exchange goes.
    QByteArray answer(const Reply& r) {
        clock.advance(r.delayMs);
        const qint64 receive = clock.nowMs() + r.offsetMs;
        clock.advance(r.processingMs);
        return server.answer(-1, r.wire, receive * 1000, (clock.nowMs() + r.offsetMs) * 1000);
    }
    void answerEach(const Reply& r) {
        server.onRequest = [this, r] {
            server.send(answer(r));
            clock.advance(r.delayMs);
        };
    }
    test::FakeClock clock;
    test::FakeSntpServer server;
    SntpClient client;
};

} // namespace

class TestSntpClient : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (qEnvironmentVariableIsEmpty("KS_IN_NETNS"))
            QSKIP("sends datagrams: run inside tests/netns-run");
    }

    // The request's bytes and the setting, by address and by name (which answers are taken
    // is the unit test's table). The server is 1 h 123 ms ahead, 5 ms away each way.
    void answers_data() {
        QTest::addColumn<QString>("host");
        QTest::newRow("by address") << QStringLiteral("127.0.0.1");
        QTest::newRow("by name") << QStringLiteral("localhost");
    }
    void answers() {
        QFETCH(QString, host);
        Rig t;
        auto& [clock, server, client] = t;
        const Reply r{.offsetMs = 3600123, .delayMs = 5};
        t.answerEach(r);
        client.Host = host;
        const SyncResult result = syncClock(client);

        QCOMPARE(result.error, QString());
        QVERIFY(result.ok);
        QCOMPARE(server.requests.size(), 1);
        QCOMPARE(server.requests.first().toHex(), StartRequestHex);
        QCOMPARE(clock.settings.size(), 1);
        QCOMPARE(clock.settings.first().utcMs, clock.nowMs() + r.offsetMs);
        QVERIFY(clock.settings.first().kind == ClockSetKind::Local);
    }

    // The exchange's results, and the instant set against the server's clock at that moment:
    // exact, except for the server's processing time which the formula adds.
    void exchangeResults_data() {
        QTest::addColumn<qint64>("start");
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<qint64>("delay");
        QTest::addColumn<qint64>("processing");
        QTest::newRow("in step, no delay") << Start << qint64(0) << qint64(0) << qint64(0);
        QTest::newRow("ahead 2.5 s, 20 ms") << Start << qint64(2500) << qint64(20) << qint64(0);
        QTest::newRow("behind 1 min, 100 ms")
            << Start << qint64(-60000) << qint64(100) << qint64(0);
        QTest::newRow("processing 3 ms") << Start << qint64(2500) << qint64(20) << qint64(3);
        // Both sides after the 32-bit seconds wrap of 2036.
        QTest::newRow("2040") << qint64(2208988800000) << qint64(1234) << qint64(15) << qint64(0);
        // We are just before the wrap, the server just after it.
        QTest::newRow("across the wrap")
            << qint64(2085978495000) << qint64(4000) << qint64(10) << qint64(0);
    }
    void exchangeResults() {
        QFETCH(qint64, start);
        QFETCH(qint64, offset);
        QFETCH(qint64, delay);
        QFETCH(qint64, processing);

        Rig t(start);
        auto& [clock, server, client] = t;
        t.answerEach(Reply{.offsetMs = offset, .delayMs = delay, .processingMs = processing});

        QCOMPARE(client.GetServerTime(), start + delay + processing + offset);

        QVERIFY(syncClock(client).ok);
        QCOMPARE(clock.settings.size(), 1);
        const qint64 serverNow = clock.nowMs() + offset;
        QCOMPARE(clock.settings.first().utcMs - serverNow, processing);
    }

    // Datagrams that do not answer our request are dropped and the wait goes on: the good
    // answer, sent 100 ms after the stray one, is the one used.
    void strayDatagramsIgnored_data() {
        QTest::addColumn<QString>("serverAddress");
        QTest::addColumn<QString>("strayAddress"); // empty: the server's own socket
        QTest::addColumn<bool>("wrongOriginate");
        QTest::addColumn<int>("size");
        const QString lo = QStringLiteral("127.0.0.1");
        QTest::newRow("wrong originate") << lo << QString() << true << 48;
        QTest::newRow("other source port") << lo << lo << false << 48;
        QTest::newRow("other source address")
            << QStringLiteral("192.0.2.1") << QStringLiteral("192.0.2.2") << false << 48;
        QTest::newRow("too short for an originate") << lo << QString() << false << 20;
    }
    void strayDatagramsIgnored() {
        QFETCH(QString, serverAddress);
        QFETCH(QString, strayAddress);
        QFETCH(bool, wrongOriginate);
        QFETCH(int, size);

        Rig t(Start, serverAddress);
        auto& [clock, server, client] = t;
        QUdpSocket straySocket;
        // From another address it comes from the server's port number, so only the address
        // tells it apart.
        if (!strayAddress.isEmpty())
            QVERIFY(straySocket.bind(QHostAddress(strayAddress),
                                     strayAddress == serverAddress ? 0 : server.port()));
        // A stray's offset would show in the setting if it were taken.
        const Reply stray{.wire = {.size = size, .wrongOriginate = wrongOriginate}, .offsetMs = -999999};
        const Reply good{.offsetMs = 4242};
        int straySent = 0;
        server.onRequest = [&] {
            server.send(t.answer(stray), -1, strayAddress.isEmpty() ? nullptr : &straySocket);
            ++straySent;
            QTimer::singleShot(100, &server, [&] { server.send(t.answer(good)); });
        };
        const SyncResult result = syncClock(client);

        QCOMPARE(result.error, QString());
        QVERIFY(result.ok);
        QCOMPARE(straySent, 1);
        QCOMPARE(clock.settings.size(), 1);
        QCOMPARE(clock.settings.first().utcMs, Start + 4242);
    }

    // Without an answer (silence, or only stray datagrams) the wait lasts until Cancel(),
    // called from a timer handler nested in it; other timers keep firing meanwhile.
    void waitsUntilCancelled_data() {
        QTest::addColumn<bool>("strayOnly");
        QTest::newRow("silent server") << false;
        QTest::newRow("only wrong originates") << true;
    }
    void waitsUntilCancelled() {
        QFETCH(bool, strayOnly);
        Rig t;
        auto& [clock, server, client] = t;
        const Reply stray{.wire = {.wrongOriginate = true}};
        QTimer strayTimer;
        int straysSent = 0;
        if (strayOnly) {
            server.onRequest = [&] {
                connect(&strayTimer, &QTimer::timeout, &server, [&] {
                    server.send(t.answer(stray));
                    ++straysSent;
                });
                strayTimer.start(40);
            };
        }
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
        ticker.start(20);
        QElapsedTimer sinceStart;
        qint64 cancelledAt = -1;
        QTimer::singleShot(600, this, [&] {
            QVERIFY(client.running());
            cancelledAt = sinceStart.elapsed();
            client.Cancel();
        });
        sinceStart.start();
        const SyncResult result = syncClock(client);
        const qint64 returnedAt = sinceStart.elapsed();

        QCOMPARE(result.error, QString());
        QVERIFY(!result.ok);
        QVERIFY(cancelledAt >= 0); // it was still waiting when cancelled
        QVERIFY(client.cancelled());
        QVERIFY(!client.running());
        // It ends at once, well inside one 250 ms slice.
        QVERIFY2(
            returnedAt - cancelledAt < 250,
            qPrintable(QStringLiteral("ended %1 ms after Cancel").arg(returnedAt - cancelledAt)));
        QVERIFY2(ticks >= 5, qPrintable(QStringLiteral("%1 ticks during the wait").arg(ticks)));
        QCOMPARE(server.requests.size(), 1);
        QVERIFY(clock.settings.isEmpty());
        if (strayOnly) QVERIFY(straysSent >= 3);
    }

    // A finite ReceiveTimeout ends the wait by itself, without an error.
    void receiveTimeout() {
        Rig t;
        auto& [clock, server, client] = t;
        client.ReceiveTimeout = 300;
        QElapsedTimer elapsed;
        elapsed.start();
        QCOMPARE(client.GetServerTime(), qint64(0));
        QVERIFY(elapsed.elapsed() >= 300);
        QVERIFY(!client.cancelled());
        QCOMPARE(server.requests.size(), 1);
    }

    // Names that cannot be resolved fail with the resolver's message, sending nothing (no
    // socket is even created).
    void unresolvable_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("message"); // empty: the resolver's own, whatever it says
        QTest::newRow("empty") << QString() << QStringLiteral("No host name given");
        QTest::newRow("unknown name") << QStringLiteral("no-such-host.invalid") << QString();
    }
    void unresolvable() {
        QFETCH(QString, host);
        QFETCH(QString, message);
        test::FakeClock clock(Start);
        SntpClient client;
        client.Host = host;
        client.Port = 123;
        const SyncResult result = syncClock(client);
        QVERIFY(!result.ok);
        QVERIFY2(!result.error.isEmpty(), "no message");
        if (!message.isEmpty()) QCOMPARE(result.error, message);
        QVERIFY(client.findChild<QUdpSocket*>() == nullptr);
        QVERIFY(clock.settings.isEmpty());
        QVERIFY(!client.running());
    }

    // A clock that refuses the setting gives false, not an error.
    void clockRefuses() {
        Rig t;
        auto& [clock, server, client] = t;
        clock.refuse = QStringLiteral("Operation not permitted");
        t.answerEach(Reply{});
        const SyncResult result = syncClock(client);
        QVERIFY(!result.ok);
        QCOMPARE(result.error, QString());
        QCOMPARE(clock.settings.size(), 1);
    }

    // A second call on the same client from a handler nested in the wait is refused with an
    // error; the first goes on and completes.
    void nestedCallRefused() {
        Rig t;
        auto& [clock, server, client] = t;
        const Reply r{.offsetMs = 50};
        QString nestedError;
        QTimer::singleShot(100, this, [&] {
            nestedError = syncClock(client).error;
            server.send(t.answer(r));
        });
        const SyncResult result = syncClock(client);
        QVERIFY(!nestedError.isEmpty());
        QVERIFY(result.ok);
        QCOMPARE(server.requests.size(), 1);
        QCOMPARE(clock.settings.size(), 1);
        QCOMPARE(clock.settings.first().utcMs, Start + 50);
    }

    // Destroying the client from a nested handler ends the wait; the call returns without
    // touching the destroyed client (the address sanitizer build checks the "without").
    void destroyedDuringWait() {
        test::FakeClock clock(Start);
        test::FakeSntpServer server;
        server.mode = test::FakeSntpServer::Mode::Silent;
        QPointer<SntpClient> client = new SntpClient;
        client->Host = QStringLiteral("127.0.0.1");
        client->Port = server.port();
        QTest::ignoreMessage(
            QtWarningMsg,
            "SntpClient destroyed while an exchange waits; the exchange ends without result");
        QTimer::singleShot(100, this, [&client] { delete client.data(); });
        SntpClient* raw = client.data();
        QVERIFY(!syncClock(*raw).ok);
        QVERIFY(client.isNull());
        QVERIFY(clock.settings.isEmpty());
    }

    // After Cancel the same client can run a fresh exchange on a new socket.
    void usableAfterCancel() {
        Rig t;
        auto& [clock, server, client] = t;
        QTimer::singleShot(50, &client, &SntpClient::Cancel);
        QVERIFY(!syncClock(client).ok);
        t.answerEach(Reply{.offsetMs = 9});
        QVERIFY(syncClock(client).ok);
        QCOMPARE(clock.settings.first().utcMs, Start + 9);
    }
};

QTEST_MAIN(TestSntpClient)
#include "tst_sntpclient.moc"
