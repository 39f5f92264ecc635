// NTP synchronisation where it needs real time or the program itself: the retry schedule,
// the start-up attempt before port 6645 opens, SIGTERM during its wait. What an attempt
// logs, sets and announces is in the window scenarios (tst_gps).
#include "AppProcess.h"
#include "FakeSntpServer.h"
#include "GroupListener.h"
#include "TestWindow.h"
#include "Wait.h"
#include "log/Log.h"
#include "protocol/Requests.h"
#include "protocol/Sntp.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace ks;

namespace {
QByteArray ntpSettings() {
    return test::SettingsHeader + "\"source\"=dword:00000003\r\n\"ntpserver\"=\"127.0.0.1\"\r\n";
}
} // namespace

class TestNtp : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (qEnvironmentVariableIsEmpty("KS_IN_NETNS"))
            QSKIP("serves on port 123: run inside tests/netns-run");
        QVERIFY2(server.bound(), qPrintable(server.socket.errorString()));
    }
    void init() {
        server.reset();
        server.aheadUs = 0;
    }

    // After a failed attempt the next follow after 1, 2, 4, 8 and 16 base intervals, each
    // logged like any attempt, until one succeeds; after the fifth the hourly one is left alone.
    void retrySchedule_data() {
        QTest::addColumn<int>("failing");  // attempts answered with stratum 0
        QTest::addColumn<int>("attempts"); // the forced one and its retries
        QTest::newRow("answers from the third attempt on") << 2 << 3;
        QTest::newRow("never answers") << 100 << 6;
    }
    void retrySchedule() {
        QFETCH(int, failing);
        QFETCH(int, attempts);
        test::TestWindow w(ntpSettings());
        constexpr int BaseMs = 40;
        w.form->NtpRetryBaseMs = BaseMs;
        server.reset();
        QElapsedTimer since;
        since.start();
        QList<qint64> at;
        server.onRequest = [&] {
            at.append(since.elapsed());
            server.reply.stratum = at.size() <= failing ? 0 : 1;
        };
        const qsizetype from = w.form->LogFrm()->Model().entries().size();
        w.form->btnForceClick();
        QByteArray expected, log;
        for (int i = 1; i <= attempts; ++i)
            expected += i <= failing ? "Attempting Sync to 127.0.0.1,Failed Sync to 127.0.0.1,"
                                     : "Attempting Sync to 127.0.0.1,Successful Sync to 127.0.0.1,";
        QVERIFY(test::waitUntil(
            [&] {
                log.clear();
                for (const LogEntry& e : w.form->LogFrm()->Model().entries().mid(from))
                    log += e.details + ',';
                return log.size() >= expected.size();
            },
            30000));
        QCOMPARE(log, expected);
        QCOMPARE(server.requests.size(), attempts);
        for (int i = 1; i < attempts; ++i)
            QVERIFY2(at[i] - at[i - 1] >= qint64(BaseMs) << (i - 1),
                     QByteArray::number(at[i] - at[i - 1]).constData());
    }

    // The program at start-up: answered, it sets the clock (recorded) to the server's time and
    // announces 3_0_2, port 6645 opening only after the attempt (a client connecting during it
    // is refused by the system, one after it is answered). SIGTERM while it waits ends the
    // attempt quietly and the program at once.
    void process_data() {
        QTest::addColumn<bool>("answered");
        QTest::newRow("answered") << true;
        QTest::newRow("SIGTERM during the wait") << false;
    }
    void process() {
        QFETCH(bool, answered);
        test::GroupListener listener;
        test::AppProcess app;
        app.writeSettings(ntpSettings());
        const QString clockLog = app.root() + QStringLiteral("/clock.log");
        app.env.insert(QStringLiteral("KSERVER_CLOCK_LOG"), clockLog);
        server.aheadUs = 3'602'500'000;
        server.mode = answered ? test::FakeSntpServer::Mode::Answer : test::FakeSntpServer::Mode::Silent;
        QAbstractSocket::SocketError duringAttempt = QAbstractSocket::UnknownSocketError;
        server.onRequest = [&] {
            QTcpSocket early;
            early.connectToHost(QHostAddress::LocalHost, TForm1::RequestPort);
            if (!early.waitForConnected(5000)) duringAttempt = early.error();
        };
        app.start();
        QVERIFY(app.waitForLine(answered ? "Successful Sync to 127.0.0.1" : "Attempting Sync to 127.0.0.1",
                                5000));
        const qint64 seenMs = QDateTime::currentMSecsSinceEpoch() + server.aheadUs / 1000;
        QTRY_COMPARE_WITH_TIMEOUT(duringAttempt, QAbstractSocket::ConnectionRefusedError, 5000);
        int attemptLines = 0;
        if (!answered) {
            const qint64 took = app.terminate(5000);
            QVERIFY2(took >= 0 && took < 1000, QByteArray::number(took).constData());
            QCOMPARE(app.process().exitCode(), 0);
            QVERIFY(listener.waitFor("0_0_9", 2000));
            for (const QByteArray& l : app.lines())
                attemptLines += l.contains("\tNTP Sync\t");
            QCOMPARE(attemptLines, 1); // "Attempting Sync to", nothing after it
            return;
        }
        QTcpServer replies;
        QVERIFY(replies.listen(QHostAddress::LocalHost, TForm1::ReplyPort));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, TForm1::RequestPort);
        client.write(requestFrame(ClientType::Korvat1001));
        QTRY_VERIFY_WITH_TIMEOUT(replies.hasPendingConnections(), 5000);
        QVERIFY(listener.waitFor("3_0_2", 5000));
        QCOMPARE(listener.received, QList<QByteArray>{"3_0_2"}); // no tick ran during start-up
        // The server's time when it answered, plus half the round trip: no later than the
        // server's time when the test saw the entry.
        QFile f(clockLog);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray line = f.readAll();
        const qint64 setMs =
            QDateTime::fromString(QString::fromLatin1(line.left(24)), Qt::ISODateWithMs).toMSecsSinceEpoch();
        QVERIFY2(line.endsWith("Z local\n") && line.count('\n') == 1 && setMs >= server.stampedMs - 1 &&
                     setMs <= seenMs + 1,
                 line.constData());
        QVERIFY(app.terminate() >= 0);
    }

private:
    test::FakeSntpServer server{QHostAddress::LocalHost, SntpDefaultPort};
};

QTEST_MAIN(TestNtp)
#include "tst_ntp.moc"
