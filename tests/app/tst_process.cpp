// The program as a process: start, single instance, termination, start-up failures and the
// state announcements seen from a listener on the group.
#include "AppProcess.h"
#include "GroupListener.h"

#include <QFile>
#include <QTest>

using ks::test::AppProcess;
using ks::test::GroupListener;

class TestProcess : public QObject {
    Q_OBJECT
private slots:
    void startsAnnouncesAndEndsOnSigterm() {
        GroupListener listener;
        AppProcess app;
        app.start();
        // PC clock: nothing on the first tick, 0_0_2 on the second.
        QVERIFY(listener.waitFor("0_0_2", 5000));
        QCOMPARE(listener.received, QList<QByteArray>{"0_0_2"});
        QCOMPARE(app.process().state(), QProcess::Running);
        QVERIFY(!QFile::exists(app.settingsPath())); // loading never creates the settings file

        const qint64 took = app.terminate(5000);
        QVERIFY2(took >= 0 && took < 1000, QByteArray::number(took).constData());
        QCOMPARE(app.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.process().exitCode(), 0);
        QVERIFY(listener.waitFor("0_0_9", 2000));
        QCOMPARE(listener.received, (QList<QByteArray>{"0_0_2", "0_0_9"}));
    }

    // A GPS source without a receiver: state 3 is announced once and nothing is logged per tick.
    void gpsSourceWithoutReceiverIsQuiet() {
        GroupListener listener;
        AppProcess app;
        app.writeSettings("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER]\r\n"
                          "\"source\"=dword:00000001\r\n\"port\"=dword:00000005\r\n");
        app.env.insert(QStringLiteral("KSERVER_COM5"), app.root() + QStringLiteral("/no-such-device"));
        app.start();
        QVERIFY(listener.waitFor("1_0_3", 5000));
        QVERIFY(!listener.waitFor("never", 1000)); // a second of ticks: no further announcement
        QCOMPARE(listener.received, QList<QByteArray>{"1_0_3"});
        QCOMPARE(app.lines(), QList<QByteArray>());
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

    void startupFailureShowsItsMessageAndExitsZero_data() {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("wrong type") << QByteArray("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER]\r\n\"baud\"=\"fast\"\r\n")
                                    << QByteArray("Korvat Server: Invalid data type for 'baud'");
        QTest::newRow("ntpserver as dword") << QByteArray("REGEDIT4\n[HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER]\n\"ntpserver\"=dword:00000001\n")
                                            << QByteArray("Korvat Server: Invalid data type for 'ntpserver'");
        QTest::newRow("not regedit") << QByteArray("[settings]\nbaud=7\n") << QByteArray("KORVATSERVER.reg, line 1: not a REGEDIT4 file");
        QTest::newRow("unreadable line") << QByteArray("REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER]\nbaud=7\n")
                                         << QByteArray("KORVATSERVER.reg, line 4: unreadable value line");
    }
    void startupFailureShowsItsMessageAndExitsZero() {
        QFETCH(QByteArray, settings);
        QFETCH(QByteArray, message);
        GroupListener listener;
        AppProcess app;
        app.writeSettings(settings);
        app.start();
        QVERIFY(app.waitForExit(5000));
        QCOMPARE(app.process().exitCode(), 0);
        const QList<QByteArray> lines = app.lines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].contains(message), lines[0].constData());
        // The shutdown order ran: the network was present, so the shutdown datagram went out.
        QVERIFY(listener.waitFor("0_0_9", 2000));
        // Nothing the user wrote is lost.
        QFile f(app.settingsPath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), settings);
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
