// The GPS receiver end to end: the main window with its serial port on a pseudo-terminal, the
// test playing the receiver. In-process on a fake clock, and once as the program itself with
// KSERVER_CLOCK_LOG.
#include "AppProcess.h"
#include "GroupListener.h"
#include "Pty.h"
#include "TestWindow.h"
#include "app/CodeLabel.h"
#include "components/CPDrv.h"
#include "log/Log.h"
#include "protocol/CivilTime.h"
#include "protocol/DateFormat.h"
#include "protocol/Nmea.h"

#include <QAction>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <memory>
#include <utility>

using namespace ks;

namespace {
const QByteArray GpsOnCom1 = "\"source\"=dword:00000001\r\n\"port\"=dword:00000001\r\n";
const QByteArray AutoOn = "\"autoconnect\"=dword:00000001\r\n";

// What the receiver must be told after each connection, byte for byte.
const QByteArray SetupSentences[] = {
    "$PSRF103,00,00,05,01*21\r\n", "$PSRF103,04,00,05,01*25\r\n", "$PSRF103,01,00,00,01*25\r\n",
    "$PSRF103,02,00,00,01*26\r\n", "$PSRF103,03,00,00,01*27\r\n", "$PSRF103,05,00,00,01*21\r\n",
};
QByteArray setupBytes() {
    QByteArray all;
    for (const QByteArray& s : SetupSentences)
        all += s;
    return all;
}

QByteArray withChecksum(const QByteArray& body) {
    return body + '*' + NmeaChecksum(body);
}
QByteArray gga(const QByteArray& satellites) {
    return withChecksum("$GPGGA,101500.000,4807.038,N,01131.000,E,1," + satellites +
                        ",0.9,545.4,M,46.9,M,,");
}
QByteArray rmc(const QByteArray& time, const QByteArray& date = "240309") {
    return withChecksum("$GPRMC," + time + ",A,4807.038,N,01131.000,E,022.4,084.4," + date +
                        ",003.1,W");
}
// The checksum's last digit changed: the sentence is line noise.
QByteArray corrupted(QByteArray sentence) {
    sentence[sentence.size() - 1] = sentence.endsWith('0') ? '1' : '0';
    return sentence;
}

template <typename Done> bool waitFor(Done done, int timeoutMs = 5000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QTest::qWait(5);
    }
    return true;
}

// A main window on the GPS source with COM1 on a pseudo-terminal, driven tick by tick.
struct GpsWindow {
    explicit GpsWindow(const QByteArray& settings = GpsOnCom1, bool debug = true)
        : pty(std::make_unique<test::Pty>()) {
        qputenv("KSERVER_COM1", pty->slavePath().toLocal8Bit());
        w = std::make_unique<test::TestWindow>(test::SettingsHeader + settings);
        form().LogFrm()->Debug1()->setChecked(debug);
        // Counts what the port hands over, so a test knows when all it sent has been taken.
        auto deliver = form().ComPort1->OnReceiveData;
        form().ComPort1->OnReceiveData = [this, deliver](TCommPortDriver* sender, const char* data,
                                                         quint32 size) {
            deliver(sender, data, size);
            taken += size;
        };
    }
    TForm1& form() { return *w->form; }
    void tick() { w->tick(); }

    // Sends bytes as the receiver; true once the window has processed all of them.
    bool send(const QByteArray& bytes) {
        sent += bytes.size();
        return pty->write(bytes) && waitFor([&] { return taken == sent; });
    }
    // What the program wrote to the receiver, once `size` bytes have come (or the time is up).
    QByteArray receive(qsizetype size) {
        QByteArray got;
        waitFor([&] { return (got += pty->readAvailable()).size() >= size; });
        return got;
    }
    // The receiver is unplugged and another one appears under a new device. The old one is
    // kept to the end, so its device number is not handed out again.
    void replug() {
        pty->hangUp();
        QVERIFY(waitFor([&] { return !form().SerialConnected(); }));
        unplugged = std::exchange(pty, std::make_unique<test::Pty>());
        sent = taken = 0;
    }
    void mapToNewDevice() { qputenv("KSERVER_COM1", pty->slavePath().toLocal8Bit()); }

    QList<QByteArray> eventsOf(const QByteArray& event) const {
        QList<QByteArray> out;
        for (const QByteArray& e : w->events())
            if (e.startsWith(event + ": ")) out.append(e.mid(event.size() + 2));
        return out;
    }
    QList<test::FakeClock::Setting>& settings() { return w->clock.settings; }

    std::unique_ptr<test::Pty> pty;
    std::unique_ptr<test::Pty> unplugged;
    std::unique_ptr<test::TestWindow> w;
    qint64 sent = 0;
    qint64 taken = 0;
};

// Connected and told its set-up: the state every sentence test starts from.
bool connectAndDrainSetup(GpsWindow& g) {
    g.tick();
    g.form().btnConnect->click();
    g.tick();
    return g.receive(setupBytes().size()) == setupBytes();
}
} // namespace

class TestGps : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { qunsetenv("KSERVER_COM1"); }

    void setupSentencesOncePerConnection() {
        GpsWindow g;
        TForm1& f = g.form();
        g.tick();
        QCOMPARE(f.SyncState, TimeState::NoSerialInput);
        QVERIFY(f.btnConnect->isEnabled() && !f.btnDisconnect->isEnabled());

        f.btnConnect->click();
        QVERIFY(f.SerialConnected());
        g.tick();
        QCOMPARE(f.SyncState, TimeState::NotSynchronised);
        QCOMPARE(f.SerialPanel->text(), QStringLiteral("Serial Input Connected"));
        QVERIFY(!f.btnConnect->isEnabled() && f.btnDisconnect->isEnabled());
        QCOMPARE(g.receive(setupBytes().size()), setupBytes());
        QCOMPARE(g.eventsOf("GPS Setup"),
                 QList<QByteArray>(std::begin(SetupSentences), std::end(SetupSentences)));

        // Once per connection: further ticks send nothing.
        for (int i = 0; i < 8; ++i)
            g.tick();
        QTest::qWait(100);
        QCOMPARE(g.pty->readAvailable(), QByteArray());
        QCOMPARE(g.eventsOf("GPS Setup").size(), 6);

        f.btnDisconnect->click();
        QVERIFY(!f.SerialConnected());
        g.tick();
        QCOMPARE(f.SyncState, TimeState::NoSerialInput);
        QCOMPARE(f.SerialPanel->text(), QString());
        g.tick();
        QCOMPARE(g.pty->readAvailable(), QByteArray()); // AUTO is off: it stays closed

        f.btnConnect->click();
        g.tick();
        QCOMPARE(g.receive(setupBytes().size()), setupBytes());

        // CONNECT while open (the tick's own call; the button is disabled then) reopens the
        // port and tells the receiver again.
        QVERIFY(!f.btnConnect->isEnabled());
        f.btnConnectClick();
        QVERIFY(f.SerialConnected());
        g.tick();
        QCOMPARE(g.receive(setupBytes().size()), setupBytes());
        QCOMPARE(g.eventsOf("GPS Setup").size(), 18);
        QCOMPARE(g.eventsOf("Offline"), (QList<QByteArray>{"State Change Not Broadcast - 1_0_3",
                                                           "State Change Not Broadcast - 1_0_0",
                                                           "State Change Not Broadcast - 1_0_3",
                                                           "State Change Not Broadcast - 1_0_0"}));
    }

    void noSetupSentencesForOtherSources() {
        GpsWindow g("\"source\"=dword:00000003\r\n\"port\"=dword:00000001\r\n");
        g.form().btnConnect->click();
        g.tick();
        QCOMPARE(g.form().SerialPanel->text(), QStringLiteral("Serial Input Connected"));
        QTest::qWait(100);
        QCOMPARE(g.pty->readAvailable(), QByteArray());
        // Choosing GPS asks for them: the next tick sends them.
        QTest::mouseClick(g.form().lblSync[0], Qt::LeftButton);
        g.tick();
        QCOMPARE(g.receive(setupBytes().size()), setupBytes());
    }

    void portsKeyMapsThePort() {
        test::Pty pty;
        qunsetenv("KSERVER_COM1");
        test::TestWindow w(test::SettingsHeader + GpsOnCom1 +
                           "\r\n[HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER\\Ports]\r\n"
                           "\"COM1\"=\"" +
                           pty.slavePath().toLocal8Bit() + "\"\r\n");
        w.form->btnConnect->click();
        QVERIFY(w.form->SerialConnected());
        QVERIFY(pty.exclusive());
    }

    void fixThenRmcSetsTheClockOnce_data() {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<bool>("debug");
        QTest::addColumn<QList<QByteArray>>("gpsData");
        QTest::addColumn<QByteArray>("change"); // date and time text
        QTest::addColumn<qint64>("instant");
        using Chunks = QList<QByteArray>;
        const QByteArray fix = gga("07"), at = rmc("101500.250");
        const QByteArray both = fix + "\r\n" + at + "\r\n";
        const qint64 instant = msFromCivil({2009, 3, 24, 10, 15, 0, 250});
        Chunks pieces;
        for (qsizetype i = 0; i < both.size(); i += 7)
            pieces.append(both.mid(i, 7));

        QTest::newRow("CR LF pairs") << Chunks{both} << true << Chunks{fix, at}
                                     << QByteArray("240309 101500.250") << instant;
        QTest::newRow("split every 7 bytes")
            << pieces << true << Chunks{fix, at} << QByteArray("240309 101500.250") << instant;
        Chunks bytes;
        for (const char c : both)
            bytes.append(QByteArray(1, c));
        QTest::newRow("one byte at a time")
            << bytes << true << Chunks{fix, at} << QByteArray("240309 101500.250") << instant;
        QTest::newRow("without Show Debug")
            << Chunks{both} << false << Chunks{} << QByteArray("240309 101500.250") << instant;
        QTest::newRow("CR only, noise before $")
            << Chunks{"\x7fxx" + fix + "\r#", at + "\r"} << true << Chunks{fix, at}
            << QByteArray("240309 101500.250") << instant;
        QTest::newRow("a zero byte ends the chunk")
            << Chunks{both + QByteArray("\0$GPRMC,junk\r", 13)} << true << Chunks{fix, at}
            << QByteArray("240309 101500.250") << instant;
        QTest::newRow("whole second")
            << Chunks{fix + "\r\n" + rmc("235959") + "\r\n"} << true << Chunks{fix, rmc("235959")}
            << QByteArray("240309 235959") << msFromCivil({2009, 3, 24, 23, 59, 59, 0});
    }
    void fixThenRmcSetsTheClockOnce() {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(bool, debug);
        QFETCH(QList<QByteArray>, gpsData);
        QFETCH(QByteArray, change);
        QFETCH(qint64, instant);
        GpsWindow g(GpsOnCom1, debug);
        QVERIFY(connectAndDrainSetup(g));
        for (const QByteArray& chunk : chunks)
            QVERIFY(g.send(chunk));

        QCOMPARE(g.form().SyncState, TimeState::Synchronised);
        QCOMPARE(g.settings().size(), 1);
        QCOMPARE(g.settings()[0].utcMs, instant);
        QVERIFY(g.settings()[0].kind == ClockSetKind::Utc);
        QCOMPARE(g.form().GpsDateText + ' ' + g.form().GpsTimeText, change);
        QCOMPARE(g.eventsOf("GPS Data"), gpsData);
        QCOMPARE(g.eventsOf("Change Date/Time"),
                 debug ? QList<QByteArray>{change} : QList<QByteArray>{});

        // The next chunk is read again.
        QVERIFY(g.send(gga("00") + "\r\n"));
        QCOMPARE(g.form().SyncState, TimeState::NotSynchronised);
    }

    // An RMC without a good fix, or sentences with a wrong checksum, set nothing; the operator
    // still sees the line noise.
    void rmcSetsNothing_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<int>("state");
        const QByteArray at = rmc("101500.250");
        using Lines = QList<QByteArray>;
        QTest::newRow("no satellites") << QByteArray() << Lines{gga("00"), at} << 0;
        QTest::newRow("one satellite") << QByteArray() << Lines{gga("01"), at} << 1;
        QTest::newRow("empty count") << QByteArray() << Lines{gga(""), at} << 0;
        QTest::newRow("wrong checksums")
            << gga("07") << Lines{corrupted(gga("00")), corrupted(at)} << 2;
    }
    void rmcSetsNothing() {
        QFETCH(QByteArray, before);
        QFETCH(QList<QByteArray>, lines);
        QFETCH(int, state);
        GpsWindow g;
        QVERIFY(connectAndDrainSetup(g));
        QList<QByteArray> shown;
        if (!before.isEmpty()) {
            QVERIFY(g.send(before + "\r\n"));
            shown.append(before);
        }
        QVERIFY(g.send(lines.join("\r\n") + "\r\n"));
        QCOMPARE(g.form().SyncState, TimeState(state));
        QVERIFY(g.settings().isEmpty());
        QCOMPARE(g.eventsOf("GPS Data"), shown + lines);
        QCOMPARE(g.eventsOf("Change Date/Time"), QList<QByteArray>());
        QCOMPARE(g.form().GpsTimeText, QByteArray("00:00:00"));
    }

    void otherSourcesDiscardLines_data() {
        QTest::addColumn<QByteArray>("source");
        QTest::newRow("PC clock") << QByteArray("0");
        QTest::newRow("NTP") << QByteArray("3");
    }
    void otherSourcesDiscardLines() {
        QFETCH(QByteArray, source);
        GpsWindow g("\"source\"=dword:0000000" + source + "\r\n\"port\"=dword:00000001\r\n");
        g.form().LogFrm()->Model().clear(); // the NTP source's start-up attempt has logged its own
        g.form().btnConnect->click();
        const TimeState before = g.form().SyncState;
        QVERIFY(g.send(gga("07") + "\r\n" + rmc("101500.250") + "\r\n"));
        QCOMPARE(g.form().SyncState, before);
        QVERIFY(g.settings().isEmpty());
        QCOMPARE(g.w->events(), QList<QByteArray>());
    }

    void partialLineSurvivesReconnection() {
        GpsWindow g;
        QVERIFY(connectAndDrainSetup(g));
        const QByteArray line = gga("07");
        QVERIFY(g.send(line.left(20)));
        g.form().btnDisconnect->click();
        g.tick();
        g.form().btnConnect->click();
        QVERIFY(g.form().SerialConnected());
        QVERIFY(g.send(line.mid(20) + "\r"));
        QCOMPARE(g.eventsOf("GPS Data"), QList<QByteArray>{line});
        QCOMPARE(g.form().SyncState, TimeState::Synchronised);
    }

    void refusedSettingIsNotLoggedAsAChange() {
        GpsWindow g;
        QVERIFY(connectAndDrainSetup(g));
        g.w->clock.refuse = QStringLiteral("Operation not permitted");
        QVERIFY(g.send(gga("07") + "\r\n" + rmc("101500.250") + "\r\n"));
        QCOMPARE(g.settings().size(), 1);
        QCOMPARE(g.eventsOf("Change Date/Time"), QList<QByteArray>());

        g.w->clock.refuse.clear();
        QVERIFY(g.send(rmc("101505.250") + "\r\n"));
        QCOMPARE(g.settings().size(), 2);
        QCOMPARE(g.eventsOf("Change Date/Time"), QList<QByteArray>{"240309 101505.250"});
    }

    void unpluggedShowsState3AndAutoReconnects() {
        GpsWindow g(GpsOnCom1 + AutoOn);
        TForm1& f = g.form();
        g.tick(); // closed: state 3, and AUTO opens it
        QCOMPARE(f.SyncState, TimeState::NoSerialInput);
        QVERIFY(f.SerialConnected());
        g.tick();
        QCOMPARE(f.SyncState, TimeState::NotSynchronised);
        QCOMPARE(g.receive(setupBytes().size()), setupBytes());
        QVERIFY(g.send(gga("07") + "\r\n"));
        QCOMPARE(f.SyncState, TimeState::Synchronised);
        const qsizetype entriesBefore = g.w->events().size();

        g.replug();
        g.tick();
        QCOMPARE(f.SyncState, TimeState::NoSerialInput);
        QCOMPARE(f.SerialPanel->text(), QString());
        QVERIFY(f.btnConnect->isEnabled() && !f.btnDisconnect->isEnabled());
        QVERIFY(!f.SerialConnected()); // the old device is gone for good
        g.tick();
        QVERIFY(!f.SerialConnected());
        // Failed attempts write nothing; only the state change was logged.
        QCOMPARE(g.w->events().mid(entriesBefore),
                 QList<QByteArray>{"Offline: State Change Not Broadcast - 1_0_3"});

        g.mapToNewDevice();
        g.tick();
        QVERIFY(f.SerialConnected());
        g.tick();
        QCOMPARE(f.SyncState, TimeState::NotSynchronised);
        QCOMPARE(f.SerialPanel->text(), QStringLiteral("Serial Input Connected"));
        QCOMPARE(g.receive(setupBytes().size()), setupBytes());
        QVERIFY(g.send(gga("07") + "\r\n" + rmc("101500.250") + "\r\n"));
        QCOMPARE(g.settings().size(), 1);
    }

    void programSetsTheClockAndReconnects() {
        // The device is a link, so the program keeps one path while the receiver behind it
        // is unplugged and replaced.
        QTemporaryDir links;
        const QString device =
            links.filePath(QStringLiteral("gps-%1").arg(QCoreApplication::applicationPid()));
        auto pty = std::make_unique<test::Pty>();
        QVERIFY(QFile::link(pty->slavePath(), device));

        test::AppProcess app;
        const QString clockLog = app.root() + QStringLiteral("/clock.log");
        app.env.insert(QStringLiteral("KSERVER_COM1"), device);
        app.env.insert(QStringLiteral("KSERVER_CLOCK_LOG"), clockLog);
        app.writeSettings(test::SettingsHeader + GpsOnCom1 + AutoOn);
        app.start();

        auto receive = [&](qsizetype size) {
            QByteArray got;
            waitFor([&] { return (got += pty->readAvailable()).size() >= size; }, 10000);
            return got;
        };
        auto clockLines = [&] {
            QFile f(clockLog);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        };
        QCOMPARE(receive(setupBytes().size()), setupBytes());

        QVERIFY(pty->write(gga("07") + "\r\n" + rmc("101500.250") + "\r\n"));
        QVERIFY(waitFor([&] { return !clockLines().isEmpty(); }));
        // No fix, no setting; then the fix is back and the next RMC sets it again.
        QVERIFY(pty->write(gga("00") + "\r\n" + rmc("101505.250") + "\r\n" + gga("07") + "\r\n" +
                           rmc("101510.000") + "\r\n"));
        QVERIFY(waitFor([&] { return clockLines().count('\n') >= 2; }));
        QCOMPARE(clockLines(),
                 QByteArray("2009-03-24T10:15:00.250Z utc\n2009-03-24T10:15:10.000Z utc\n"));

        // Unplugged, and another receiver appears under the same name: AUTO takes it.
        pty->hangUp();
        auto replacement = std::make_unique<test::Pty>();
        const QString next = device + QStringLiteral(".new");
        QVERIFY(QFile::link(replacement->slavePath(), next));
        QVERIFY(std::rename(QFile::encodeName(next).constData(),
                            QFile::encodeName(device).constData()) == 0);
        pty = std::move(replacement);
        QCOMPARE(receive(setupBytes().size()), setupBytes());
        QCOMPARE(app.process().state(), QProcess::Running);
        QVERIFY(app.terminate() >= 0);
    }

    // Without the clock right every sentence's setting fails; the operator is told once how
    // to grant it, not once per second.
    void missingClockRightIsReportedOnce() {
        // Only where setting the clock cannot succeed: a user namespace other than the
        // machine's own never holds the right over the real clock.
        QFile uidMap(QStringLiteral("/proc/self/uid_map"));
        QVERIFY(uidMap.open(QIODevice::ReadOnly));
        if (uidMap.readAll().simplified() == "0 0 4294967295")
            QSKIP("runs only inside the test namespace, where the clock cannot be set");

        test::GroupListener announcements;
        QVERIFY(announcements.bound());
        test::Pty pty;
        test::AppProcess app;
        app.env.insert(QStringLiteral("KSERVER_COM1"), pty.slavePath());
        app.env.remove(QStringLiteral("KSERVER_CLOCK_LOG"));
        app.writeSettings(test::SettingsHeader + GpsOnCom1 + AutoOn);
        app.start();
        QByteArray setup;
        QVERIFY(waitFor(
            [&] { return (setup += pty.readAvailable()).size() >= setupBytes().size(); }, 10000));

        // Sentences carry the present time, so even a clock that took them would stay right.
        const CivilTime now = civilFromMs(QDateTime::currentMSecsSinceEpoch());
        QVERIFY(pty.write(gga("07") + "\r\n"));
        QVERIFY(announcements.waitFor("1_0_2", 10000));
        QByteArray sentences;
        for (int i = 0; i < 5; ++i)
            sentences += rmc(formatDateTime("hhnnss.", now) + QByteArray::number(100 + i),
                             formatDateTime("ddmmyy", now)) +
                         "\r\n";
        // Lines are taken in order: once the lost fix is announced, every setting was tried.
        QVERIFY(pty.write(sentences + gga("00") + "\r\n"));
        QVERIFY(announcements.waitFor("1_0_0", 10000));

        QList<QByteArray> reports;
        for (const QByteArray& line : app.lines())
            if (line.contains("\tClock\t")) reports.append(line.mid(line.indexOf('\t') + 1));
        QCOMPARE(reports.size(), 1);
        const QByteArray expected = "0\tClock\tKorvat Server may not set the clock. Grant it the "
                                    "right with: sudo setcap cap_sys_time+p ";
        QVERIFY2(reports[0].startsWith(expected), reports[0].constData());
        QVERIFY(app.terminate() >= 0);
    }
};

QTEST_MAIN(TestGps)
#include "tst_gps.moc"
