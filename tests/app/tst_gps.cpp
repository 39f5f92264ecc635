// The GPS receiver end to end. The golden cases in tests/golden/gps (see the README there)
// are played to the main window through a pseudo-terminal, on a fake clock, tick by tick;
// the program itself is then run once with KSERVER_CLOCK_LOG, and once without the clock right.
#include "AppProcess.h"
#include "Golden.h"
#include "GroupListener.h"
#include "Pty.h"
#include "TestWindow.h"
#include "Wait.h"
#include "app/CodeLabel.h"
#include "components/CPDrv.h"
#include "log/Log.h"
#include "platform/SystemClock.h"
#include "protocol/CivilTime.h"
#include "protocol/DateFormat.h"
#include "protocol/Nmea.h"

#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>

using namespace ks;

namespace {
const QByteArray GpsOnCom1 = "\"source\"=dword:00000001\r\n\"port\"=dword:00000001\r\n";
const QByteArray AutoOn = "\"autoconnect\"=dword:00000001\r\n";

QByteArray setupBytes() { return GpsSetupSentences().join(); }
QByteArray withChecksum(const QByteArray& body) { return body + '*' + NmeaChecksum(body); }
QByteArray gga(const QByteArray& satellites) {
    return withChecksum("$GPGGA,101500.000,4807.038,N,01131.000,E,1," + satellites +
                        ",0.9,545.4,M,46.9,M,,");
}
QByteArray rmc(const QByteArray& time, const QByteArray& date = "240309") {
    return withChecksum("$GPRMC," + time + ",A,4807.038,N,01131.000,E,022.4,084.4," + date +
                        ",003.1,W");
}

// \r \n \\ and \xHH in a case line.
QByteArray unescape(const QByteArray& text) {
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'r') out += '\r';
        else if (c == 'n') out += '\n';
        else if (c == 'x') {
            out += char(text.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else out += c;
    }
    return out;
}

QByteArray escape(const QByteArray& bytes) {
    QByteArray out;
    for (const char c : bytes) {
        if (c == '\\') out += "\\\\";
        else if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (uchar(c) < 0x20 || uchar(c) >= 0x7f) out += "\\x" + QByteArray::number(uchar(c), 16).rightJustified(2, '0');
        else out += c;
    }
    return out;
}

// One golden case played to a main window on the GPS source, its COM1 on a pseudo-terminal.
class Replay {
public:
    explicit Replay(const QList<QByteArray>& script) {
        QByteArray settings = "\"port\"=dword:00000001\r\n";
        bool debug = true;
        for (const QByteArray& line : script) {
            if (line.startsWith("@settings ")) settings += line.mid(10) + "\r\n";
            if (line == "@debug off") debug = false;
        }
        if (!settings.contains("\"source\"")) settings += "\"source\"=dword:00000001\r\n";
        plugIn();
        w_ = std::make_unique<test::TestWindow>(test::SettingsHeader + settings);
        w_->form->LogFrm()->Debug1()->setChecked(debug);
        from_ = w_->events().size();
        // Counts what the port hands over, so the replay knows when a line has been taken.
        auto deliver = w_->form->ComPort1->OnReceiveData;
        w_->form->ComPort1->OnReceiveData = [this, deliver](TCommPortDriver* s, const char* d, quint32 n) {
            deliver(s, d, n);
            taken_ += n;
        };
    }

    bool play(const QByteArray& line) {
        TForm1& f = *w_->form;
        if (line.startsWith("@pause ")) {
            for (int ms = line.mid(7).toInt(); ms > 0; ms -= 250) w_->tick();
            test::pumpFor(20); // the set-up a tick wrote reaches the receiver
        } else if (line == "@connect") {
            f.btnConnectClick();
        } else if (line == "@disconnect") {
            f.btnDisconnect->click();
        } else if (line.startsWith("@refuse")) {
            w_->clock.refuse = QString::fromLatin1(line.mid(8));
        } else if (line == "@unplug") {
            drain();
            pty_->hangUp();
            if (!test::waitUntil([&] { return !f.SerialConnected(); })) return false;
            plugIn();
        } else if (line.startsWith("@source ")) {
            QTest::mouseClick(f.lblSync[line.mid(8).toInt()], Qt::LeftButton);
        } else if (!line.startsWith('@')) {
            const QByteArray bytes = line.endsWith("\\c") ? unescape(line.chopped(2)) : unescape(line) + "\r\n";
            sent_ += bytes.size();
            return pty_->write(bytes) && test::waitUntil([&] { return taken_ == sent_; });
        }
        return true;
    }

    // What the receiver was told, what the clock was asked to do, and the log since start-up.
    QList<QByteArray> outcome(qsizetype receiverLines) {
        test::waitUntil([&] {
            drain();
            return received_.count('\n') >= receiverLines;
        });
        QList<QByteArray> out;
        for (const QByteArray& l : received_.split('\n'))
            if (!l.isEmpty()) out.append("receiver: " + escape(l));
        for (const test::FakeClock::Setting& s : w_->clock.settings)
            out.append("clock: " + clockLogLine(s.utcMs, s.kind));
        const QList<LogEntry>& all = w_->form->LogFrm()->Model().entries();
        for (qsizetype i = from_; i < all.size(); ++i)
            out.append("log: " + all[i].col + '|' + all[i].event + '|' + escape(all[i].details));
        return out;
    }

private:
    // The receiver's device: a new one each time, kept to the end so its name is not reused.
    void plugIn() {
        if (pty_) unplugged_.push_back(std::move(pty_));
        pty_ = std::make_unique<test::Pty>();
        qputenv("KSERVER_COM1", pty_->slavePath().toLocal8Bit());
        sent_ = taken_ = 0;
    }
    void drain() { received_ += pty_->readAvailable(); }

    std::unique_ptr<test::Pty> pty_;
    std::vector<std::unique_ptr<test::Pty>> unplugged_;
    std::unique_ptr<test::TestWindow> w_;
    qsizetype from_ = 0;
    QByteArray received_;
    qint64 sent_ = 0;
    qint64 taken_ = 0;
};

} // namespace

class TestGps : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { qunsetenv("KSERVER_COM1"); }

    void golden_data() { test::goldenRows("gps", ".nmea"); }
    void golden() {
        QFETCH(QString, path);
        const QList<QByteArray> script = test::scriptLines(path);
        const QString expectedPath = test::expectedPath(path);
        const QList<QByteArray> expected = test::scriptLines(expectedPath);
        Replay replay(script);
        for (const QByteArray& line : script) QVERIFY2(replay.play(line), line.constData());
        const auto receiverLines = std::count_if(expected.begin(), expected.end(), [](const QByteArray& l) {
            return l.startsWith("receiver: ");
        });
        KS_COMPARE_GOLDEN(replay.outcome(receiverLines).join('\n') + '\n', expectedPath);
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
            test::waitUntil([&] { return (got += pty->readAvailable()).size() >= size; }, 10000);
            return got;
        };
        auto clockLines = [&] {
            QFile f(clockLog);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        };
        QCOMPARE(receive(setupBytes().size()), setupBytes());

        QVERIFY(pty->write(gga("07") + "\r\n" + rmc("101500.250") + "\r\n"));
        QVERIFY(test::waitUntil([&] { return !clockLines().isEmpty(); }));
        // No fix, no setting; then the fix is back and the next RMC sets it again.
        QVERIFY(pty->write(gga("00") + "\r\n" + rmc("101505.250") + "\r\n" + gga("07") + "\r\n" +
                           rmc("101510.000") + "\r\n"));
        QVERIFY(test::waitUntil([&] { return clockLines().count('\n') >= 2; }));
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
        QVERIFY(test::waitUntil(
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
