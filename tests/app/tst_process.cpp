// The program as a process: start, single instance, termination, start-up failures and the
// state announcements seen from a listener on the group.
#include "AppProcess.h"
#include "GroupListener.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <sys/stat.h>

using ks::test::AppProcess;
using ks::test::GroupListener;

class TestProcess : public QObject {
    Q_OBJECT
private slots:
    // Each signal that ends the program ends it like "E&xit": the shutdown announcement goes
    // out, the exit status is 0, and the last line says why.
    void startsAnnouncesAndEndsOnSignal_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("SIGTERM") << int(SIGTERM) << QByteArray("SIGTERM");
        QTest::newRow("SIGHUP (terminal closed)") << int(SIGHUP) << QByteArray("SIGHUP");
        QTest::newRow("SIGINT") << int(SIGINT) << QByteArray("SIGINT");
    }
    void startsAnnouncesAndEndsOnSignal() {
        QFETCH(int, signal);
        QFETCH(QByteArray, name);
        GroupListener listener;
        AppProcess app;
        app.start();
        // PC clock: nothing on the first tick, 0_0_2 on the second.
        QVERIFY(listener.waitFor("0_0_2", 5000));
        QCOMPARE(listener.received, QList<QByteArray>{"0_0_2"});
        QCOMPARE(app.process().state(), QProcess::Running);
        QVERIFY(!QFile::exists(app.settingsPath())); // loading never creates the settings file

        const qint64 took = app.terminate(5000, signal);
        QVERIFY2(took >= 0 && took < 1000, QByteArray::number(took).constData());
        QCOMPARE(app.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.process().exitCode(), 0);
        QVERIFY(listener.waitFor("0_0_9", 2000));
        QCOMPARE(listener.received, (QList<QByteArray>{"0_0_2", "0_0_9"}));
        QCOMPARE(app.lines(),
                 (QList<QByteArray>{"korvat-server 2.01 starting: source PC clock; requests on TCP port 6645, "
                                    "replies to TCP port 6646, announcements to 224.0.0.1:6649; settings " +
                                        app.settingsPath().toLocal8Bit(),
                                    "korvat-server 2.01 ended: " + name}));
    }

    // A GPS source without a usable receiver: state 3 is announced once, nothing is logged
    // per tick, and the reason is named once, with the device.
    void gpsSourceWithoutReceiverIsQuiet_data() {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("missing") << QStringLiteral("no-such-device") << QByteArray(": No such file or directory");
        QTest::newRow("not a terminal") << QStringLiteral("plain-file") << QByteArray(": ");
    }
    void gpsSourceWithoutReceiverIsQuiet() {
        QFETCH(QString, device);
        QFETCH(QByteArray, reason);
        GroupListener listener;
        AppProcess app;
        app.writeSettings("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER]\r\n"
                          "\"source\"=dword:00000001\r\n\"port\"=dword:00000005\r\n"
                          "\"autoconnect\"=dword:00000001\r\n"); // a try every tick
        const QString path = app.root() + QLatin1Char('/') + device;
        if (device == QLatin1String("plain-file")) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        app.env.insert(QStringLiteral("KSERVER_COM5"), path);
        app.start();
        QVERIFY(listener.waitFor("1_0_3", 5000));
        QVERIFY(!listener.waitFor("never", 1000)); // a second of ticks: no further announcement
        QCOMPARE(listener.received, QList<QByteArray>{"1_0_3"});
        const QList<QByteArray> lines = app.lines();
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].contains("starting: source GPS on COM5 (" + path.toLocal8Bit() + ");"),
                 lines[0].constData());
        const QByteArray named = "Serial input: " + path.toLocal8Bit() + reason;
        QVERIFY2(lines[1].startsWith(named) && lines[1].size() > named.size() - 2, lines[1].constData());
        QVERIFY(app.terminate() >= 0);
    }

    void secondCopyLeavesTheFirstAlone() {
        AppProcess first;
        GroupListener listener;
        first.start();
        QVERIFY(listener.waitFor("0_0_2", 5000));

        QProcess second;
        second.setProcessEnvironment(first.env);
        second.start(first.binDir() + QStringLiteral("/korvat-server"), {});
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(second.readAllStandardError(),
                 QByteArray("Brevane Korvat Server: Korvat Server is already running.\n"));
        QCOMPARE(first.process().state(), QProcess::Running);
        QVERIFY(!listener.waitFor("0_0_9", 600)); // the second copy sent nothing
        QVERIFY(first.terminate() >= 0);
    }

    // A failure that ends start-up is reported with exit status 1, so a service manager sees
    // it; an option the program does not know is refused before anything starts.
    void startupFailureExitStatus_data() {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("takePort");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("message");
        const QStringList none;
        QTest::newRow("wrong type") << QByteArray("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER]\r\n\"baud\"=\"fast\"\r\n")
                                    << none << false << 1 << QByteArray("Korvat Server: Invalid data type for 'baud'");
        QTest::newRow("port 6645 taken") << QByteArray() << none << true << 1
                                         << QByteArray("Korvat Server: Cannot listen on TCP port 6645: Address already in use");
        QTest::newRow("unknown option") << QByteArray() << QStringList{QStringLiteral("--bogus")} << false << 64
                                        << QByteArray("korvat-server: unknown option '--bogus'");
    }
    void startupFailureExitStatus() {
        QFETCH(QByteArray, settings);
        QFETCH(QStringList, args);
        QFETCH(bool, takePort);
        QFETCH(int, status);
        QFETCH(QByteArray, message);
        GroupListener listener;
        QTcpServer other;
        if (takePort) QVERIFY(other.listen(QHostAddress::AnyIPv4, 6645));
        AppProcess app;
        if (!settings.isEmpty()) app.writeSettings(settings);
        app.start(args);
        QVERIFY(app.waitForExit(5000));
        QCOMPARE(app.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.process().exitCode(), status);
        QList<QByteArray> lines = app.lines();
        // Once the settings are read the start line comes; a later step may still fail.
        if (takePort) {
            QVERIFY(!lines.isEmpty() && lines[0].startsWith("korvat-server 2.01 starting: "));
            lines.removeFirst();
        }
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].contains(message), lines[0].constData());
        if (status == 64) {
            QCOMPARE(lines[1], QByteArray("Usage: korvat-server [--help | --version]"));
            QVERIFY(!listener.waitFor("0_0_9", 600)); // it never started
            return;
        }
        QCOMPARE(lines[1], QByteArray("korvat-server 2.01 ended: start-up failed (exit status 1)"));
        // The shutdown order ran: the network was present, so the shutdown datagram went out.
        QVERIFY(listener.waitFor("0_0_9", 2000));
        // Nothing the user wrote is lost.
        QFile f(app.settingsPath());
        if (settings.isEmpty()) {
            QVERIFY(!f.exists());
        } else {
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), settings);
        }
    }

    // When stderr is the journal, each entry carries its syslog priority instead of the date;
    // a JOURNAL_STREAM naming another file changes nothing.
    void journalPriorities_data() {
        QTest::addColumn<bool>("matching");
        QTest::addColumn<QByteArray>("attempt");
        QTest::addColumn<QByteArray>("failure");
        QTest::addColumn<QByteArray>("start");
        QTest::newRow("stderr is the journal") << true << QByteArray("^<5>\\d\\d:\\d\\d:\\d\\d\t4\tNTP Sync\tAttempting Sync to 127.0.0.1$")
                                               << QByteArray("^<3>\\d\\d:\\d\\d:\\d\\d\t0\tNTP Sync\t")
                                               << QByteArray("^<6>korvat-server 2.01 starting: source NTP from 127.0.0.1;");
        QTest::newRow("another stream") << false << QByteArray("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\t4\tNTP Sync\tAttempting Sync to 127.0.0.1$")
                                        << QByteArray("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\t0\tNTP Sync\t")
                                        << QByteArray("^korvat-server 2.01 starting: source NTP from 127.0.0.1;");
    }
    void journalPriorities() {
        QFETCH(bool, matching);
        QFETCH(QByteArray, attempt);
        QFETCH(QByteArray, failure);
        QFETCH(QByteArray, start);
        AppProcess app;
        // NTP from a port nobody serves: an attempt (a notice), then its failure (an alert).
        app.writeSettings("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER]\r\n"
                          "\"source\"=dword:00000003\r\n\"ntpserver\"=\"127.0.0.1\"\r\n");
        const QString errPath = app.root() + QStringLiteral("/stderr");
        QFile err(errPath);
        QVERIFY(err.open(QIODevice::WriteOnly));
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(errPath).constData(), &st), 0);
        app.env.insert(QStringLiteral("JOURNAL_STREAM"),
                       QStringLiteral("%1:%2").arg(qulonglong(st.st_dev)).arg(qulonglong(st.st_ino) + (matching ? 0 : 1)));
        app.process().setStandardErrorFile(errPath);
        app.start();
        QList<QByteArray> lines;
        const auto has = [&lines](const QByteArray& pattern) {
            const QRegularExpression re(QString::fromLatin1(pattern));
            return std::any_of(lines.cbegin(), lines.cend(),
                               [&re](const QByteArray& l) { return re.match(QString::fromLatin1(l)).hasMatch(); });
        };
        QDeadlineTimer deadline(15000);
        while (!(has(attempt) && has(failure) && has(start)) && !deadline.hasExpired()) {
            QTest::qWait(50);
            QFile in(errPath);
            QVERIFY(in.open(QIODevice::ReadOnly));
            lines = in.readAll().split('\n');
        }
        QVERIFY2(has(attempt) && has(failure) && has(start), lines.join('|').constData());
        QVERIFY(app.terminate() >= 0);
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
