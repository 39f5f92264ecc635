// The request service and the reply queue in-process, on an injected clock: exact frames
// on the wire, log entries with their gates, queue order, bursts beyond the ring, reply
// connection failures, and the incoming connections' cap, idle close and resets.
#include "FakeClock.h"
#include "ZoneScope.h"
#include "app/CodeLabel.h"
#include "app/TimeNow.h"
#include "log/Log.h"
#include "platform/TcpListener.h"
#include "protocol/Requests.h"

#include <QAction>
#include <QElapsedTimer>
#include <QLabel>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <sys/socket.h>

using namespace ks;

namespace {
constexpr qint64 ExampleMs = 1796479509000; // 2026-12-05 14:05:09 UTC
constexpr int WaitMs = 5000;                // upper bound for anything to happen

const QByteArray Korvat = requestFrame(ClientType::Korvat1001);
const QByteArray Korvat1010 = requestFrame(ClientType::Korvat1010);
const QByteArray Korvat1012 = requestFrame(ClientType::Korvat1012);
const QByteArray Quorix = requestFrame(ClientType::Quorix);
// Their replies at ExampleMs with serial 42 and GPS synchronised, in GMT mode.
const QByteArray KorvatReply = "{KORVAT00421796479509}";
const QByteArray Korvat1010Reply = "{KORVAT_1_0_2_00421796479509}";
const QByteArray QuorixReply = "{KORVAT_0042_14:05:09_05/12/26_05/12/26}";

// Reply connections to port 6646 of some addresses, recorded as they end, in one list
// shared by every catcher: the order across requesters is the order served.
struct Arrival {
    QByteArray to;
    QByteArray bytes;
    bool operator==(const Arrival&) const = default;
};
char* toString(const Arrival& a) { return QTest::toString(a.to + " <- " + a.bytes); }

class ReplyCatcher {
public:
    ReplyCatcher(const char* address, QList<Arrival>* arrivals) {
        QObject::connect(&server, &QTcpServer::newConnection, [this, address, arrivals] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                auto bytes = std::make_shared<QByteArray>();
                QObject::connect(s, &QTcpSocket::readyRead, s, [s, bytes] { *bytes += s->readAll(); });
                QObject::connect(s, &QTcpSocket::disconnected, s, [s, bytes, address, arrivals] {
                    *bytes += s->readAll();
                    arrivals->append({address, *bytes});
                    s->deleteLater();
                });
            }
        });
        QVERIFY(server.listen(QHostAddress(QString::fromLatin1(address)), TForm1::ReplyPort));
    }
    QTcpServer server;
};

// A started main window with private folders, serial 42 and GPS synchronised; its ticks
// are stopped so the state stays put, the request service and reply queue run. Replies to
// 127.0.0.1 land in `arrivals`.
struct Server {
    explicit Server(qint64 now = ExampleMs, bool debug = true) : clock(now) {
        qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", dir.path().toLocal8Bit());
        form = std::make_unique<TForm1>();
        QVERIFY(form->StartUp());
        form->Timer1->stop();
        form->Timer2->stop();
        form->IdIPWatch1->stop();
        form->ReplySerial = 42;
        form->Config.SyncSource = TimeSource::Gps;
        form->SyncState = TimeState::Synchronised;
        form->LogFrm()->Debug1()->setChecked(debug);
    }
    // "type event: details", oldest first.
    QList<QByteArray> events(const QByteArray& only = {}) const {
        QList<QByteArray> out;
        for (const LogEntry& e : form->LogFrm()->Model().entries())
            if (only.isEmpty() || e.event == only) out.append(e.col + ' ' + e.event + ": " + e.details);
        return out;
    }
    QTemporaryDir dir;
    test::FakeClock clock;
    std::unique_ptr<TForm1> form;
    QList<Arrival> arrivals;
    ReplyCatcher local{"127.0.0.1", &arrivals};
};

// One request connection: from `from`, to the same address's port 6645, the frames written
// at once, then closed.
void request(const QByteArray& frames, const char* from = "127.0.0.1") {
    QTcpSocket s;
    QVERIFY(s.bind(QHostAddress(QString::fromLatin1(from)), 0));
    s.connectToHost(QHostAddress(QString::fromLatin1(from)), TForm1::RequestPort);
    QVERIFY(s.waitForConnected(WaitMs));
    s.write(frames);
    QVERIFY(s.waitForBytesWritten(WaitMs));
    s.disconnectFromHost();
}

// A client socket to port 6645 that stays open.
std::unique_ptr<QTcpSocket> openClient() {
    auto s = std::make_unique<QTcpSocket>();
    s->connectToHost(QHostAddress::LocalHost, TForm1::RequestPort);
    if (!s->waitForConnected(WaitMs)) return nullptr;
    return s;
}

void resetConnection(QTcpSocket& s) {
    const linger abortive{1, 0};
    ::setsockopt(int(s.socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    s.abort();
}
} // namespace

class TestNetwork : public QObject {
    Q_OBJECT
private slots:
    void replyOnTheWire_data() {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<qint64>("now");
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<bool>("loc");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("test"); // the "TEST" entry's details, if any
        QTest::newRow("Brevane") << Korvat << ExampleMs << QByteArray("UTC0") << false << KorvatReply << QByteArray();
        QTest::newRow("1010") << Korvat1010 << ExampleMs << QByteArray("UTC0") << false << Korvat1010Reply << QByteArray();
        QTest::newRow("1012 as 1010") << Korvat1012 << ExampleMs << QByteArray("UTC0") << false << Korvat1010Reply << QByteArray();
        QTest::newRow("Quorix GMT an hour east") << Quorix << ExampleMs << QByteArray("XXX-1") << false << QuorixReply << QByteArray("Sending GMT");
        QTest::newRow("Quorix LOC past local midnight")
            << Quorix << msFromCivil({2026, 12, 5, 23, 30, 0, 0}) << QByteArray("XXX-1") << true
            << QByteArray("{KORVAT_0042_00:30:00_06/12/26_05/12/26}") << QByteArray("Sending LOC");
    }
    void replyOnTheWire() {
        QFETCH(QByteArray, frame);
        QFETCH(qint64, now);
        QFETCH(QByteArray, zone);
        QFETCH(bool, loc);
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, test);
        test::ZoneScope scope(zone);
        Server s(now, false);
        if (loc) s.form->lblGMTClick(s.form->lblLOC);
        request(frame);
        QTRY_COMPARE_WITH_TIMEOUT(s.arrivals.size(), 1, WaitMs);
        QCOMPARE(s.arrivals[0], (Arrival{"127.0.0.1", reply}));
        QCOMPARE(s.events("TEST"), test.isEmpty() ? QList<QByteArray>() : QList<QByteArray>{"4 TEST: " + test});
        QCOMPARE(s.events("Client Send"),
                 QList<QByteArray>{"2 Client Send: " + reply.mid(1, reply.size() - 2) + " to 127.0.0.1"});
    }

    // Two requests from one address, the second after the first reply, under each log option.
    void logEntriesAndTheirGates_data() {
        QTest::addColumn<bool>("debug");
        QTest::addColumn<bool>("indicate");
        QTest::addColumn<QList<QByteArray>>("expected");
        const QByteArray send1 = "2 Client Send: KORVAT00421796479509 to 192.0.2.1";
        const QByteArray send2 = "2 Client Send: KORVAT_0042_14:05:09_05/12/26_05/12/26 to 192.0.2.1";
        QTest::newRow("no options") << false << false
            << QList<QByteArray>{"4 New Connection: 192.0.2.1", send1, "4 TEST: Sending GMT", send2};
        QTest::newRow("client type") << false << true
            << QList<QByteArray>{"4 New Connection: 192.0.2.1", "4 Korvat Client: 192.0.2.1", send1,
                                 "4 Quorix Client: 192.0.2.1", "4 TEST: Sending GMT", send2};
        QTest::newRow("debug") << true << false
            << QList<QByteArray>{"0 Client Connected: 192.0.2.1", "0 Client Accepted: 192.0.2.1",
                                 "4 New Connection: 192.0.2.1", "4 Service Korvat..: 192.0.2.1",
                                 "0 Connecting..: 192.0.2.1", send1,
                                 "0 Client Connected: 192.0.2.1", "0 Client Accepted: 192.0.2.1",
                                 "4 Service Quorix..: 192.0.2.1", "0 Connecting..: 192.0.2.1",
                                 "4 TEST: Sending GMT", send2};
    }
    void logEntriesAndTheirGates() {
        QFETCH(bool, debug);
        QFETCH(bool, indicate);
        QFETCH(QList<QByteArray>, expected);
        Server s(ExampleMs, debug);
        s.form->LogFrm()->IndicateClientType1()->setChecked(indicate);
        ReplyCatcher catcher("192.0.2.1", &s.arrivals);
        request(Korvat, "192.0.2.1");
        QTRY_COMPARE_WITH_TIMEOUT(s.arrivals.size(), 1, WaitMs);
        request(Quorix, "192.0.2.1");
        QTRY_COMPARE_WITH_TIMEOUT(s.arrivals.size(), 2, WaitMs);
        QCOMPARE(s.events(), expected);
        QCOMPARE(s.form->ClientList, QList<QByteArray>{"192.0.2.1"});
        QCOMPARE(s.form->ClientCountPanel->text(), QStringLiteral("1"));
    }

    // One read: two frames (two replies), then a short body that ends the read.
    void framesOfOneRead() {
        Server s;
        request(Korvat + "\r\n" + Quorix + "{ab}" + Korvat + "{korvatclient1010}");
        QTRY_COMPARE_WITH_TIMEOUT(s.arrivals.size(), 2, WaitMs);
        QCOMPARE(s.arrivals, (QList<Arrival>{{"127.0.0.1", KorvatReply}, {"127.0.0.1", QuorixReply}}));
        QCOMPARE(s.events("New Connection").size(), 1);
        QTest::qWait(100);
        QCOMPARE(s.arrivals.size(), 2);
    }

    void threeRequestersInQueueOrder() {
        Server s;
        ReplyCatcher a("192.0.2.1", &s.arrivals), b("192.0.2.2", &s.arrivals);
        request(Korvat, "192.0.2.1");
        request(Quorix, "192.0.2.2");
        request(Korvat1010, "127.0.0.1");
        QTRY_COMPARE_WITH_TIMEOUT(s.arrivals.size(), 3, WaitMs);
        // Served in the order queued, each over its own connection with its own format.
        const QHash<QByteArray, QByteArray> replyTo{
            {"192.0.2.1", KorvatReply}, {"192.0.2.2", QuorixReply}, {"127.0.0.1", Korvat1010Reply}};
        QList<Arrival> expected;
        for (const QByteArray& e : s.events()) {
            if (!e.contains("Service ")) continue;
            const QByteArray address = e.mid(e.indexOf(": ") + 2);
            expected.append({address, replyTo.value(address)});
        }
        QCOMPARE(s.arrivals, expected);
    }

    // More requests than the ring holds, from several sources at once: while the ring is full
    // the rest wait unread in their connections, and every one is answered, each source's in
    // the order it sent them, with nothing refused.
    void burstIsAnsweredCompletelyInOrder_data() {
        QTest::addColumn<QByteArrayList>("sources");
        QTest::addColumn<int>("connections"); // per source, each with `frames` frames in one write
        QTest::addColumn<int>("frames");
        QTest::newRow("one read of 130 frames") << QByteArrayList{"127.0.0.1"} << 1 << 130;
        QTest::newRow("4 sources, 40 connections each") << QByteArrayList{"127.0.0.1", "192.0.2.1", "192.0.2.2", "127.0.0.5"} << 40 << 1;
        QTest::newRow("3 sources, 20 connections of 4 frames") << QByteArrayList{"127.0.0.1", "192.0.2.1", "192.0.2.2"} << 20 << 4;
    }
    void burstIsAnsweredCompletelyInOrder() {
        QFETCH(QByteArrayList, sources);
        QFETCH(int, connections);
        QFETCH(int, frames);
        Server s(ExampleMs, false);
        std::vector<std::unique_ptr<ReplyCatcher>> catchers;
        for (const QByteArray& source : sources)
            if (source != "127.0.0.1") catchers.push_back(std::make_unique<ReplyCatcher>(source.constData(), &s.arrivals));
        const QList<QByteArray> kinds{Korvat, Quorix, Korvat1010};
        const QList<QByteArray> replies{KorvatReply, QuorixReply, Korvat1010Reply};
        QHash<QByteArray, QList<QByteArray>> expected;
        int n = 0;
        for (int c = 0; c < connections; ++c) {
            for (const QByteArray& source : sources) {
                QByteArray write;
                for (int f = 0; f < frames; ++f, ++n) {
                    write += kinds[n % 3];
                    expected[source].append(replies[n % 3]);
                }
                request(write, source.constData()); // all before the server looks: one burst
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(int(s.arrivals.size()), n, 6 * WaitMs);
        QHash<QByteArray, QList<QByteArray>> got;
        for (const Arrival& a : s.arrivals) got[a.to].append(a.bytes);
        QCOMPARE(got, expected);
        QCOMPARE(s.events("Queue Full"), QList<QByteArray>());
        QTRY_COMPARE_WITH_TIMEOUT(s.form->OpenClientConnections(), 0, WaitMs);
        QTest::qWait(100);
        QCOMPARE(int(s.arrivals.size()), n);
    }

    void replyConnectionFailures_data() {
        QTest::addColumn<QByteArray>("failing");  // requester whose reply fails
        QTest::addColumn<QByteArray>("entry");    // how it ends in the log
        QTest::addColumn<int>("minMs");           // not before
        QTest::newRow("not listening") << QByteArray("192.0.2.2") << QByteArray("0 Socket Error: ") << 0;
        QTest::newRow("connect hangs") << QByteArray("127.0.0.2") << QByteArray("0 Socket Error: ") << 5000;
        QTest::newRow("connect fails at once") << QByteArray("224.0.0.1") << QByteArray("0 Connect Failed: 224.0.0.1") << 0;
        QTest::newRow("reset once connected") << QByteArray("127.0.0.3") << QByteArray("0 Socket Error: 127.0.0.3") << 0;
    }
    void replyConnectionFailures() {
        QFETCH(QByteArray, failing);
        QFETCH(QByteArray, entry);
        QFETCH(int, minMs);
        Server s;
        // 127.0.0.2 accepts nothing more: its backlog is full, so a connect gets no answer.
        QTcpServer full;
        full.setListenBacklogSize(0);
        QVERIFY(full.listen(QHostAddress(QStringLiteral("127.0.0.2")), TForm1::ReplyPort));
        full.pauseAccepting();
        QTcpSocket filler;
        filler.connectToHost(full.serverAddress(), TForm1::ReplyPort);
        QVERIFY(filler.waitForConnected(WaitMs));
        // 127.0.0.3 resets the reply connection as soon as it is established, before the
        // server has sent on it.
        QTcpServer resetter;
        QVERIFY(resetter.listen(QHostAddress(QStringLiteral("127.0.0.3")), TForm1::ReplyPort));
        QObject::connect(s.form->ClientSocket1, &QTcpSocket::stateChanged, &resetter,
                         [&resetter](QAbstractSocket::SocketState state) {
            if (state != QAbstractSocket::ConnectedState) return;
            if (!resetter.hasPendingConnections()) resetter.waitForNewConnection(WaitMs);
            if (QTcpSocket* peer = resetter.nextPendingConnection()) resetConnection(*peer);
        });

        QElapsedTimer timer;
        timer.start();
        s.form->QueueMessage(TokenKorvat, failing);
        s.form->QueueMessage(TokenKorvat, "127.0.0.1");
        QTRY_COMPARE_WITH_TIMEOUT(s.arrivals.size(), 1, minMs + 2 * WaitMs);
        QVERIFY(timer.elapsed() >= minMs);
        QCOMPARE(s.arrivals[0], (Arrival{"127.0.0.1", KorvatReply}));
        const QList<QByteArray> failures = s.events(entry.mid(2, entry.indexOf(':') - 2));
        QCOMPARE(failures, QList<QByteArray>{entry});
    }

    void notListeningDropsTheRequest() {
        Server s;
        s.form->ServerSocket1->close();
        s.form->QueueMessage(TokenKorvat, "192.0.2.1");
        QCOMPARE(s.events(), QList<QByteArray>{"0 Not Connected: 192.0.2.1"});
    }

    void clientEnds_data() {
        QTest::addColumn<bool>("reset");
        QTest::addColumn<QList<QByteArray>>("logged");
        QTest::newRow("orderly close") << false << QList<QByteArray>();
        QTest::newRow("reset") << true << QList<QByteArray>{"0 Client Error: 127.0.0.1: Connection reset by peer"};
    }
    void clientEnds() {
        QFETCH(bool, reset);
        QFETCH(QList<QByteArray>, logged);
        Server s;
        std::unique_ptr<QTcpSocket> client = openClient();
        QVERIFY(client);
        QTRY_COMPARE_WITH_TIMEOUT(s.form->OpenClientConnections(), 1, WaitMs);
        if (reset)
            resetConnection(*client);
        else
            client->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(s.form->OpenClientConnections(), 0, WaitMs);
        QCOMPARE(s.events("Client Error"), logged);
        // The service goes on.
        request(Korvat);
        QTRY_COMPARE_WITH_TIMEOUT(s.arrivals.size(), 1, WaitMs);
    }

    // At the cap a newcomer is kept and the connection silent the longest makes room; a
    // request it sent that is still unread is served first, never dropped.
    void atMost256ConnectionsOpen_data() {
        QTest::addColumn<bool>("quietestHasRequest");
        QTest::newRow("quietest silent") << false;
        QTest::newRow("quietest has a request waiting") << true;
    }
    void atMost256ConnectionsOpen() {
        QFETCH(bool, quietestHasRequest);
        Server s;
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        clients.push_back(openClient());
        QVERIFY(clients.back());
        QTRY_COMPARE_WITH_TIMEOUT(s.form->OpenClientConnections(), 1, WaitMs);
        QTest::qWait(20); // the first is then the quietest by more than a timer's granularity
        for (int i = 1; i < TForm1::MaxClientConnections; ++i) {
            clients.push_back(openClient()); // all before the service takes any: one burst
            QVERIFY(clients.back());
        }
        QTRY_COMPARE_WITH_TIMEOUT(s.form->OpenClientConnections(), 256, WaitMs);
        // The request and the newcomer both reach the system before the service looks.
        if (quietestHasRequest) {
            QCOMPARE(::send(int(clients.front()->socketDescriptor()), Quorix.constData(),
                            size_t(Quorix.size()), 0),
                     ssize_t(Quorix.size()));
        }
        std::unique_ptr<QTcpSocket> extra = openClient();
        QVERIFY(extra);
        const auto closed = [&] {
            return std::count_if(clients.begin(), clients.end(), [](const auto& c) {
                c->waitForReadyRead(0); // notices the server's close without an event loop
                return c->state() == QAbstractSocket::UnconnectedState;
            });
        };
        QTRY_COMPARE_WITH_TIMEOUT(closed(), 1, WaitMs);
        QCOMPARE(s.form->OpenClientConnections(), 256);
        QCOMPARE(extra->state(), QAbstractSocket::ConnectedState);
        QCOMPARE(s.events("Client Idle"), QList<QByteArray>{"4 Client Idle: 127.0.0.1"});
        if (quietestHasRequest) {
            QTRY_COMPARE_WITH_TIMEOUT(s.arrivals.size(), 1, WaitMs);
            QCOMPARE(s.arrivals[0].bytes, QuorixReply);
        } else {
            QCOMPARE(clients.front()->state(), QAbstractSocket::UnconnectedState);
        }
        // The newcomer is served like any other.
        extra->write(Korvat);
        QTRY_COMPARE_WITH_TIMEOUT(s.arrivals.size(), quietestHasRequest ? 2 : 1, WaitMs);
        QCOMPARE(s.arrivals.last().bytes, KorvatReply);
    }

    // In a burst every connection is fresh: a newcomer beyond the cap waits in the system's
    // queue until one closes, and then its request is served; nobody is closed for it.
    void burstBeyondTheCapWaits() {
        Server s;
        s.form->ClientMakeRoomMs = 60'000; // nobody becomes quiet enough during the test
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int i = 0; i < TForm1::MaxClientConnections; ++i) {
            clients.push_back(openClient());
            QVERIFY(clients.back());
        }
        QTRY_COMPARE_WITH_TIMEOUT(s.form->OpenClientConnections(), 256, WaitMs);
        std::unique_ptr<QTcpSocket> extra = openClient();
        QVERIFY(extra);
        extra->write(Korvat1010);
        QVERIFY(extra->waitForBytesWritten(WaitMs));
        clients[5]->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(s.arrivals.size(), 1, WaitMs);
        QCOMPARE(s.arrivals[0].bytes, Korvat1010Reply);
        QCOMPARE(s.form->OpenClientConnections(), 256);
        for (size_t i = 0; i < clients.size(); ++i) {
            clients[i]->waitForReadyRead(0);
            QCOMPARE(clients[i]->state() == QAbstractSocket::UnconnectedState, i == 5);
        }
        QCOMPARE(s.events("Client Idle"), QList<QByteArray>());
    }

    // The idle time shortened to 2 s: a silent connection goes, a busy one stays and is served.
    void idleConnectionIsClosed() {
        Server s;
        s.form->ClientIdleMs = 2000;
        QElapsedTimer timer;
        timer.start();
        std::unique_ptr<QTcpSocket> silent = openClient();
        std::unique_ptr<QTcpSocket> busy = openClient();
        QVERIFY(silent && busy);
        qint64 silentClosedAt = -1;
        QObject::connect(silent.get(), &QTcpSocket::disconnected, [&] { silentClosedAt = timer.elapsed(); });
        for (int sent = 1; sent <= 15; ++sent) { // a request every 200 ms for 3 s
            busy->write(Korvat);
            QTRY_COMPARE_WITH_TIMEOUT(int(s.arrivals.size()), sent, WaitMs);
            QTest::qWait(200);
        }
        QVERIFY(silentClosedAt >= 1900); // a coarse timer may be 5 % early
        QCOMPARE(busy->state(), QAbstractSocket::ConnectedState);
        QElapsedTimer quiet;
        quiet.start();
        QTRY_COMPARE_WITH_TIMEOUT(busy->state(), QAbstractSocket::UnconnectedState, WaitMs);
        QVERIFY(quiet.elapsed() >= 1500);
        QCOMPARE(s.form->OpenClientConnections(), 0);
        QCOMPARE(s.events("Client Idle"), QList<QByteArray>(2, "4 Client Idle: 127.0.0.1"));
    }
};

QTEST_MAIN(TestNetwork)
#include "tst_network.moc"
