// NTP synchronisation in the program: the attempts' log entries and states, the watchdog,
// refused second attempts and "E&xit" during the wait; in-process on an injected clock and
// as a process recording its clock settings. The fake SNTP server answers on 127.0.0.1:123.
#include "AppProcess.h"
#include "FakeSntpServer.h"
#include "FakeClock.h"
#include "GroupListener.h"
#include "TestWindow.h"
#include "app/CodeLabel.h"
#include "app/TimeNow.h"
#include "log/Log.h"
#include "protocol/CivilTime.h"
#include "protocol/Requests.h"
#include "protocol/Sntp.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <memory>

using namespace ks;

namespace {

const qint64 Now = msFromCivil({2026, 12, 6, 10, 17, 42, 125});
// The server's clock is ahead by 1 h 2.5 s.
constexpr qint64 ServerAheadMs = 3'602'500;

QByteArray ntpSettings(const QByteArray& host) {
    return test::SettingsHeader + "\"source\"=dword:00000003\r\n\"ntpserver\"=\"" + host + "\"\r\n";
}

// A started main window with the NTP source and a clock standing at Now.
struct Window : test::TestWindow {
    explicit Window(const QByteArray& settings = ntpSettings("127.0.0.1")) : TestWindow(settings, Now) {}
    // The log as "type|event|details", from entry number `from` on.
    QList<QByteArray> entries(qsizetype from = 0) const {
        QList<QByteArray> out;
        const QList<LogEntry>& all = form->LogFrm()->Model().entries();
        for (qsizetype i = from; i < all.size(); ++i)
            out.append(all[i].col + '|' + all[i].event + '|' + all[i].details);
        return out;
    }
    qsizetype logSize() const { return form->LogFrm()->Model().entries().size(); }
};

// Expected entries may end in "<message>": the platform's text, not empty.
void compareEntries(const QList<QByteArray>& actual, const QList<QByteArray>& expected) {
    QCOMPARE(actual.size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i) {
        if (expected[i].endsWith("<message>")) {
            const QByteArray prefix = expected[i].chopped(9);
            QVERIFY2(actual[i].startsWith(prefix) && actual[i].size() > prefix.size(),
                     actual[i].constData());
        } else {
            QCOMPARE(actual[i], expected[i]);
        }
    }
}

// The log lines of a process, without their time ("hh:nn:ss\t"), for one event.
QList<QByteArray> processEntries(test::AppProcess& app, const QByteArray& event) {
    QList<QByteArray> out;
    for (const QByteArray& line : app.lines()) {
        const QList<QByteArray> f = line.split('\t');
        if (f.size() == 4 && f[2] == event) out.append(f[1] + '|' + f[2] + '|' + f[3]);
    }
    return out;
}

} // namespace

class TestNtp : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (qEnvironmentVariableIsEmpty("KS_IN_NETNS"))
            QSKIP("serves on port 123: run inside tests/netns-run");
        QVERIFY2(server.bound(), qPrintable(server.socket.errorString()));
        server.aheadUs = ServerAheadMs * 1000;
    }
    void init() { server.reset(); }

    // Start-up step 19: an attempt only with the NTP source, before anything else is logged.
    void startUp_data() {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QList<QByteArray>>("expected");
        QTest::addColumn<int>("state");
        QTest::newRow("NTP source") << ntpSettings("127.0.0.1")
                                    << QList<QByteArray>{"4|NTP Sync|Attempting Sync to 127.0.0.1",
                                                         "2|NTP Sync|Successful Sync to 127.0.0.1"}
                                    << 2;
        QTest::newRow("PC source")
            << QByteArray(test::SettingsHeader + "\"ntpserver\"=\"127.0.0.1\"\r\n") << QList<QByteArray>{} << 0;
    }
    void startUp() {
        QFETCH(QByteArray, settings);
        QFETCH(QList<QByteArray>, expected);
        QFETCH(int, state);
        Window w(settings);
        QVERIFY(w.started);
        QCOMPARE(w.entries(), expected);
        QCOMPARE(w.form->SyncState, TimeState(state));
        QCOMPARE(server.requests.size(), expected.isEmpty() ? 0 : 1);
        QCOMPARE(w.clock.settings.size(), state == 2 ? 1 : 0);
    }

    // One "FORCE SYNC" per outcome: the entries after "Attempting Sync to ", the state, and
    // what the clock was asked to do.
    void outcomes_data() {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<int>("stratum");
        QTest::addColumn<QString>("refuse");
        QTest::addColumn<QList<QByteArray>>("expected");
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("requests");
        QTest::addColumn<int>("settings");
        const QByteArray lo = "127.0.0.1";
        QTest::newRow("answer, clock set")
            << lo << 1 << QString()
            << QList<QByteArray>{"2|NTP Sync|Successful Sync to 127.0.0.1"} << 2 << 1 << 1;
        QTest::newRow("stratum 0 disregarded")
            << lo << 0 << QString()
            << QList<QByteArray>{"0|NTP Sync|Failed Sync to 127.0.0.1"} << 0 << 1 << 0;
        QTest::newRow("clock refuses")
            << lo << 1 << QStringLiteral("Operation not permitted")
            << QList<QByteArray>{"0|NTP Sync|Failed Sync to 127.0.0.1"} << 0 << 1 << 1;
        QTest::newRow("unresolvable name")
            << QByteArray("ntp.invalid") << 1 << QString()
            << QList<QByteArray>{"0|NTP Sync|Failed Sync to ntp.invalid <message>",
                                 "0|NTP Sync|Failed Sync to ntp.invalid"}
            << 0 << 0 << 0;
        QTest::newRow("empty host")
            << QByteArray() << 1 << QString()
            << QList<QByteArray>{"0|NTP Sync|Failed Sync to  No host name given",
                                 "0|NTP Sync|Failed Sync to "}
            << 0 << 0 << 0;
    }
    void outcomes() {
        QFETCH(QByteArray, host);
        QFETCH(int, stratum);
        QFETCH(QString, refuse);
        QFETCH(QList<QByteArray>, expected);
        QFETCH(int, state);
        QFETCH(int, requests);
        QFETCH(int, settings);
        Window w;
        server.reset();
        w.clock.settings.clear();
        w.clock.refuse = refuse;
        server.reply.stratum = stratum;
        w.form->Edit1Change(QString::fromLatin1(host));
        const qsizetype from = w.logSize();

        w.form->btnForceClick();

        compareEntries(w.entries(from),
                       QList<QByteArray>{"4|NTP Sync|Attempting Sync to " + host} + expected);
        if (QTest::currentTestFailed()) return;
        QCOMPARE(w.form->SyncState, TimeState(state));
        QCOMPARE(server.requests.size(), requests);
        QCOMPARE(w.clock.settings.size(), settings);
        if (settings) {
            // The server stands ServerAheadMs ahead and answers at once: the clock goes there.
            QCOMPARE(w.clock.settings[0].utcMs, Now + ServerAheadMs);
            QVERIFY(w.clock.settings[0].kind == ClockSetKind::Local);
        }
    }

    // After a failed attempt the next follow after 1, 2, 4, 8 and 16 base intervals, each
    // logged like any attempt, until one succeeds; after the fifth the hourly attempt is
    // left alone.
    void retrySchedule_data() {
        QTest::addColumn<int>("failing");  // attempts answered with stratum 0
        QTest::addColumn<int>("attempts"); // the forced one and its retries
        QTest::newRow("answers from the third attempt on") << 2 << 3;
        QTest::newRow("never answers") << 100 << 6;
    }
    void retrySchedule() {
        QFETCH(int, failing);
        QFETCH(int, attempts);
        Window w;
        server.reset();
        constexpr int BaseMs = 40;
        w.form->NtpRetryBaseMs = BaseMs;
        QElapsedTimer since;
        since.start();
        QList<qint64> at;
        server.onRequest = [&] {
            at.append(since.elapsed());
            server.reply.stratum = at.size() <= failing ? 0 : 1;
        };
        const qsizetype from = w.logSize();

        w.form->btnForceClick();

        QList<QByteArray> expected;
        for (int i = 1; i <= attempts; ++i)
            expected << "4|NTP Sync|Attempting Sync to 127.0.0.1"
                     << (i <= failing ? QByteArray("0|NTP Sync|Failed Sync to 127.0.0.1")
                                      : QByteArray("2|NTP Sync|Successful Sync to 127.0.0.1"));
        QTRY_COMPARE_WITH_TIMEOUT(w.entries(from).size(), expected.size(), 30000);
        QCOMPARE(w.entries(from), expected);
        QCOMPARE(server.requests.size(), attempts);
        for (int i = 1; i < attempts; ++i)
            QVERIFY2(at[i] - at[i - 1] >= qint64(BaseMs) << (i - 1), QByteArray::number(at[i] - at[i - 1]).constData());
        QCOMPARE(w.form->SyncState, failing < attempts ? TimeState::Synchronised : TimeState::NotSynchronised);
    }

    // A silent server: exactly one "Connection Timeout", 3000 ms after the request (within
    // one tick), and the tick goes on meanwhile, announcing the attempt's state 1.
    void watchdogWhileTheTickRuns() {
        Window w;
        w.form->LogFrm()->Debug1()->setChecked(true);
        server.reset();
        server.mode = test::FakeSntpServer::Mode::Silent;
        qint64 timeoutAfterRequest = -1;
        connect(&w.form->LogFrm()->Model(), &QAbstractItemModel::rowsInserted, this, [&] {
            if (w.form->LogFrm()->Model().entries().last().details == "Connection Timeout")
                timeoutAfterRequest = server.sinceRequest.elapsed();
        });
        w.clock.settings.clear();
        QSignalSpy ticks(w.form->Timer1, &QTimer::timeout);
        w.form->Timer1->start();
        const qsizetype from = w.logSize();

        w.form->btnForceClick();
        w.form->Timer1->stop();

        QCOMPARE(w.entries(from), (QList<QByteArray>{"4|NTP Sync|Attempting Sync to 127.0.0.1",
                                                     "0|Offline|State Change Not Broadcast - 3_0_1",
                                                     "0|NTP Sync|Connection Timeout"}));
        QVERIFY2(qAbs(timeoutAfterRequest - 3000) <= 250,
                 QByteArray::number(timeoutAfterRequest).constData());
        QVERIFY2(ticks.size() >= 8, QByteArray::number(ticks.size()).constData());
        QCOMPARE(w.form->SyncState, TimeState::NotSynchronised);
        QCOMPARE(server.requests.size(), 1);
        QVERIFY(w.clock.settings.isEmpty());
    }

    // What a listener on the group sees of an attempt answered after 600 ms: the tick
    // announces 3_0_1 during the wait, then 3_0_2.
    void announcesSyncingThenSynced() {
        test::GroupListener listener;
        QVERIFY(listener.bound());
        Window w;
        w.form->NetworkPresent = true;
        server.reset();
        server.mode = test::FakeSntpServer::Mode::Silent;
        server.onRequest = [&] { QTimer::singleShot(600, &server, [&] { server.answerNow(); }); };
        w.form->Timer1->start();

        QVERIFY(w.form->SyncToNtp());

        QVERIFY(listener.waitFor("3_0_2", 2000));
        w.form->Timer1->stop();
        QCOMPARE(listener.received, (QList<QByteArray>{"3_0_1", "3_0_2"}));
    }

    // A second attempt asked for during the wait is refused; the first goes on and succeeds.
    void secondAttemptRefused_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QList<QByteArray>>("between");
        const QByteArray refused = "4|NTP Sync|Sync already in progress";
        QTest::newRow("FORCE SYNC") << QByteArray("force") << QList<QByteArray>{refused};
        QTest::newRow("hourly tick")
            << QByteArray("hourly")
            << QList<QByteArray>{refused, "4|Client List|Connected client list cleared."};
        QTest::newRow("choosing NTP") << QByteArray("choose") << QList<QByteArray>{refused};
    }
    void secondAttemptRefused() {
        QFETCH(QByteArray, request);
        QFETCH(QList<QByteArray>, between);
        Window w;
        server.reset();
        server.mode = test::FakeSntpServer::Mode::Silent;
        server.onRequest = [&] {
            if (server.requests.size() > 1) return; // a second attempt got through
            if (request == "force") w.form->btnForceClick();
            if (request == "hourly") w.form->Timer2Timer();
            if (request == "choose") QTest::mouseClick(w.form->lblSync[1], Qt::LeftButton);
            server.answerNow(0);
        };
        const qsizetype from = w.logSize();

        w.form->btnForceClick();

        QCOMPARE(w.entries(from), QList<QByteArray>{"4|NTP Sync|Attempting Sync to 127.0.0.1"} +
                                      between +
                                      QList<QByteArray>{"2|NTP Sync|Successful Sync to 127.0.0.1"});
        QCOMPARE(server.requests.size(), 1);
        QCOMPARE(w.form->SyncState, TimeState::Synchronised);
    }

    // "E&xit" during the wait of an attempt started from the main loop (as a click starts it):
    // the attempt ends at once, quietly, before the loop ends; no other attempt starts.
    void exitDuringTheWait() {
        Window w;
        server.reset();
        server.mode = test::FakeSntpServer::Mode::Silent;
        QElapsedTimer sinceExit;
        server.onRequest = [&] {
            QTimer::singleShot(100, w.form.get(), [&] {
                sinceExit.start();
                w.form->Exit1Click();
            });
        };
        const qsizetype from = w.logSize();
        qint64 returnedAfterExit = -1;
        QTimer::singleShot(0, w.form.get(), [&] {
            QVERIFY(!w.form->SyncToNtp());
            returnedAfterExit = sinceExit.isValid() ? sinceExit.elapsed() : -1;
        });

        QCoreApplication::exec(); // the quit it waits for comes after the attempt has ended

        QVERIFY2(returnedAfterExit >= 0 && returnedAfterExit < 300,
                 QByteArray::number(returnedAfterExit).constData());
        QVERIFY2(sinceExit.elapsed() < 1000, QByteArray::number(sinceExit.elapsed()).constData());
        QCOMPARE(w.entries(from), QList<QByteArray>{"4|NTP Sync|Attempting Sync to 127.0.0.1"});
        QCOMPARE(w.form->SyncState, TimeState::NotSynchronised);
        QVERIFY(!w.form->SyncToNtp());
        QCOMPARE(w.logSize(), from + 1);
        QCOMPARE(server.requests.size(), 1);
    }

    // The program at start-up sets the clock (recorded) to the server's time and announces 3_0_2
    // on its first tick. Port 6645 opens only after the attempt: a client connecting during it
    // is refused by the system, one after it is answered.
    void processSyncsAtStartUp() {
        test::GroupListener listener;
        QVERIFY(listener.bound());
        test::AppProcess app;
        app.writeSettings(ntpSettings("127.0.0.1"));
        const QString clockLog = app.root() + QStringLiteral("/clock.log");
        app.env.insert(QStringLiteral("KSERVER_CLOCK_LOG"), clockLog);
        QAbstractSocket::SocketError duringAttempt = QAbstractSocket::UnknownSocketError;
        server.onRequest = [&] {
            QTcpSocket early;
            early.connectToHost(QHostAddress::LocalHost, TForm1::RequestPort);
            if (!early.waitForConnected(5000)) duringAttempt = early.error();
        };
        app.start();
        QVERIFY(app.waitForLine("Successful Sync to 127.0.0.1", 5000));
        QCOMPARE(duringAttempt, QAbstractSocket::ConnectionRefusedError);
        QTcpServer replies;
        QVERIFY(replies.listen(QHostAddress::LocalHost, TForm1::ReplyPort));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, TForm1::RequestPort);
        QVERIFY(client.waitForConnected(5000));
        client.write(requestFrame(ClientType::Korvat1001));
        QTRY_VERIFY_WITH_TIMEOUT(replies.hasPendingConnections(), 5000);
        QTcpSocket* reply = replies.nextPendingConnection();
        QTRY_COMPARE_WITH_TIMEOUT(reply->state(), QAbstractSocket::UnconnectedState, 5000);
        const QByteArray replyBytes = reply->readAll();
        QVERIFY2(QRegularExpression(QStringLiteral("^\\{KORVAT\\d{14}\\}$"))
                     .match(QString::fromLatin1(replyBytes)).hasMatch(),
                 replyBytes.constData());
        const qint64 seenMs = QDateTime::currentMSecsSinceEpoch();
        QCOMPARE(processEntries(app, "NTP Sync"),
                 (QList<QByteArray>{"4|NTP Sync|Attempting Sync to 127.0.0.1",
                                    "2|NTP Sync|Successful Sync to 127.0.0.1"}));
        QVERIFY(listener.waitFor("3_0_2", 2000));
        QCOMPARE(listener.received, QList<QByteArray>{"3_0_2"}); // no tick ran during start-up

        QFile f(clockLog);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = f.readAll().split('\n');
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].endsWith("Z local"), lines[0].constData());
        const qint64 setMs =
            QDateTime::fromString(QString::fromLatin1(lines[0].left(24)), Qt::ISODateWithMs)
                .toMSecsSinceEpoch();
        // The server's time when it answered, plus half the round trip: no earlier than the
        // answer and no later than the server's time when the test read the entry.
        QVERIFY2(setMs >= server.stampedMs - 1 && setMs <= seenMs + ServerAheadMs + 1,
                 qPrintable(QStringLiteral("set %1, stamped %2, seen %3")
                                .arg(setMs)
                                .arg(server.stampedMs)
                                .arg(seenMs + ServerAheadMs)));
        QVERIFY(app.terminate() >= 0);
    }

    // SIGTERM while the start-up attempt waits: the attempt ends quietly, the program shuts
    // down in order, at once.
    void processSigtermDuringTheWait() {
        test::GroupListener listener;
        QVERIFY(listener.bound());
        test::AppProcess app;
        app.writeSettings(ntpSettings("127.0.0.1"));
        server.mode = test::FakeSntpServer::Mode::Silent;
        app.start();
        QVERIFY(app.waitForLine("Attempting Sync to 127.0.0.1", 5000));
        QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 2000);

        const qint64 took = app.terminate(5000);
        QVERIFY2(took >= 0 && took < 1000, QByteArray::number(took).constData());
        QCOMPARE(app.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.process().exitCode(), 0);
        QVERIFY(listener.waitFor("0_0_9", 2000));
        QCOMPARE(processEntries(app, "NTP Sync"),
                 QList<QByteArray>{"4|NTP Sync|Attempting Sync to 127.0.0.1"});
    }

private:
    test::FakeSntpServer server{QHostAddress::LocalHost, SntpDefaultPort};
};

QTEST_MAIN(TestNtp)
#include "tst_ntp.moc"
