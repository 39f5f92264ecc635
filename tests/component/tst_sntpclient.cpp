// The SNTP client as a component, case by case from tests/golden/sntp/client.cases: the
// request on the wire, what it waits for and how the wait ends. Which answers are usable is
// tst_sntp's table.
#include "FakeClock.h"
#include "FakeSntpServer.h"
#include "Golden.h"
#include "components/SNTP.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTest>

using namespace ks;

namespace {
// 2026-12-05 14:05:09.123 UTC; NTP eebe9895.1f7ced91, the fraction truncated.
constexpr qint64 Start = 1796479509123;
const QByteArray StartRequestHex = "1b" + QByteArray(78, '0') + "eebe98951f7ced91";

// One case's line of options: what the client's calls gave, each clock setting against the
// server's clock, and how many requests the server saw.
QByteArray exchange(const QByteArray& line) {
    QMap<QByteArray, QByteArray> opt{
        {"host", "127.0.0.1"}, {"answer", "0"}, {"calls", "1"}, {"timeout", "-2"}};
    for (const QByteArray& word : line.split(' ')) {
        const qsizetype eq = word.indexOf('='); // a word without one is a flag
        if (!word.isEmpty()) opt[eq < 0 ? word : word.left(eq)] = eq < 0 ? "" : word.mid(eq + 1);
    }
    test::FakeClock clock(Start);
    if (opt.contains("refuse")) clock.refuse = QStringLiteral("Operation not permitted");
    const QHostAddress at(QString::fromLatin1(opt.value("host")));
    test::FakeSntpServer server(at.isNull() ? QHostAddress(QHostAddress::LocalHost) : at);
    server.mode = test::FakeSntpServer::Mode::Silent;
    QUdpSocket other;
    const QHostAddress strayAt(QString::fromLatin1(opt.value("stray")));
    if (!strayAt.isNull() && !other.bind(strayAt, strayAt == at ? 0 : server.port()))
        return "no stray socket";
    QPointer<SntpClient> client = new SntpClient;
    client->Host = QString::fromLatin1(opt.value("host"));
    client->Port = server.port();
    client->ReceiveTimeout = opt.value("timeout").toInt();
    // The exchange as the server's clock sees it: 5 ms there, answer, 5 ms back.
    const auto answer = [&](qint64 offsetMs, const test::SntpReply& wire) {
        const qint64 serverUs = (clock.nowMs() + 5 + offsetMs) * 1000;
        return server.answer(-1, wire, serverUs, serverUs);
    };
    const test::SntpReply stray{.size = opt.contains("short") ? 20 : 48,
                                .wrongOriginate =
                                    opt.value("stray") == "server" && !opt.contains("short")};
    QTimer strays;
    QObject::connect(&strays, &QTimer::timeout, &server, [&] {
        server.send(answer(-999999, stray), -1, strayAt.isNull() ? nullptr : &other);
    });
    server.onRequest = [&] {
        if (opt.contains("stray")) strays.start(40);
        if (opt.value("answer") != "none" && server.requests.size() > opt.value("answer").toInt())
            QTimer::singleShot(200, &server, [&] {
                server.send(answer(4242, {}));
                clock.advance(10);
            });
    };
    QByteArrayList results;
    QTimer::singleShot(100, &server, [&] {
        if (opt.value("at100") == "cancel") client->Cancel();
        if (opt.value("at100") == "destroy") delete client.data();
        try {
            if (opt.value("at100") == "nested") client->SyncClock();
        } catch (const SntpError& e) {
            results << e.message().toLatin1();
        }
    });
    if (opt.value("at100") == "destroy")
        QTest::ignoreMessage(
            QtWarningMsg,
            "SntpClient destroyed while an exchange waits; the exchange ends without result");
    for (int call = 0; call < opt.value("calls").toInt(); ++call) {
        QElapsedTimer took;
        took.start();
        SntpClient* raw = client.data();
        try {
            const bool set = raw->SyncClock();
            results << (set                ? "set"
                        : client.isNull()  ? "destroyed"
                        : raw->cancelled() ? "cancelled"
                                           : "not set");
            if (took.elapsed() < opt.value("timeout").toInt()) results << "ended early";
        } catch (const SntpError& e) {
            results << (opt.contains("resolver") ? "the resolver's error" : e.message().toLatin1());
            if (raw->findChild<QUdpSocket*>()) results << "with a socket";
        }
        strays.stop();
        if (client && client->running()) results << "still running";
    }
    delete client.data();
    QByteArray out = results.join(", ");
    for (const test::FakeClock::Setting& s : clock.settings)
        out += (s.kind == ClockSetKind::Local ? " " : " UTC ") +
               QByteArray(s.utcMs >= clock.nowMs() ? "+" : "") +
               QByteArray::number(s.utcMs - clock.nowMs());
    for (const QByteArray& request : server.requests)
        if (request.toHex() != StartRequestHex) out += " request " + request.toHex();
    const qsizetype n = server.requests.size();
    return out + " (" + QByteArray::number(n) + (n == 1 ? " request)" : " requests)");
}
} // namespace

class TestSntpClient : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (qEnvironmentVariableIsEmpty("KS_IN_NETNS"))
            QSKIP("sends datagrams: run inside tests/netns-run");
    }
    void cases() {
        const QString path = QStringLiteral(KS_SOURCE_DIR "/tests/golden/sntp/client.cases");
        QByteArray actual;
        for (const QByteArray& line : test::scriptLines(path)) {
            const qsizetype colon = line.indexOf(':');
            actual += line.left(colon) + ": " + exchange(line.mid(colon + 1)) + '\n';
        }
        KS_COMPARE_GOLDEN(actual, test::expectedPath(path));
    }
};

QTEST_MAIN(TestSntpClient)
#include "tst_sntpclient.moc"
