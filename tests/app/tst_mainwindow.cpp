// The main window in-process, on an injected clock: the tick, the chime, the settings panel
// and what it stores, and what clients and the group see of them.
#include "Golden.h"
#include "GroupListener.h"
#include "TestWindow.h"
#include "ZoneScope.h"
#include "app/CodeLabel.h"
#include "app/TimeNow.h"
#include "log/Log.h"
#include "platform/Ui.h"
#include "platform/WavePlayer.h"
#include "protocol/CivilTime.h"
#include "protocol/Requests.h"

#include <QAction>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QMenu>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QStyle>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <ctime>
#include <memory>
#include <unistd.h>

using namespace ks;

namespace {
std::atomic<int> chimesPlayed{0};
void countChime(const QString&) { ++chimesPlayed; }

qint64 at(int h, int m, int s, int ms = 0) { return msFromCivil({2026, 12, 6, h, m, s, ms}); }

const QByteArray& Header = test::SettingsHeader;
using Window = test::TestWindow;

// One request from 127.0.0.1 to the window's port 6645, and the bytes of the reply that comes
// back on port 6646 (empty when none came in time).
QByteArray replyTo(ClientType kind) {
    constexpr int WaitMs = 10000;
    QTcpServer replies;
    if (!replies.listen(QHostAddress::LocalHost, TForm1::ReplyPort)) return {};
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, TForm1::RequestPort);
    if (!client.waitForConnected(WaitMs)) return {};
    client.write(requestFrame(kind));
    QDeadlineTimer deadline(WaitMs);
    while (!replies.hasPendingConnections() && !deadline.hasExpired()) QTest::qWait(10);
    QTcpSocket* reply = replies.nextPendingConnection();
    if (!reply) return {};
    while (reply->state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired())
        QTest::qWait(10);
    return reply->readAll();
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { installWavePlayer(countChime); }
    void init() { chimesPlayed = 0; }

    // Nothing is written until the first click, which writes every value, the defaults included.
    void firstClickWritesAllElevenValues() {
        Window w;
        QVERIFY(w.started);
        QVERIFY(!QFile::exists(w.path()));
        QVERIFY(w.form->ReplySerial >= 0 && w.form->ReplySerial <= 9998);
        QTest::mouseClick(w.form->lblBaud[0], Qt::LeftButton);
        QVERIFY(w.form->lblBaud[0]->isHighlighted());
        QVERIFY(!w.form->lblBaud[1]->isHighlighted());
        QCOMPARE(w.stored(), Header + "\"baud\"=dword:00000006\r\n\"data\"=dword:00000003\r\n"
                                      "\"parity\"=dword:00000000\r\n\"port\"=dword:00000002\r\n\"stop\"=dword:00000000\r\n"
                                      "\"chimes\"=dword:00000000\r\n\"source\"=dword:00000000\r\n\"ntpserver\"=\"\"\r\n"
                                      "\"autoconnect\"=dword:00000000\r\n\"localtime\"=dword:00000000\r\n\"gmt\"=dword:00000001\r\n\r\n");
    }

    // The golden settings cases (tests/golden/settings, see the README there): the file as
    // found, and the file the window writes back, or the exact failure that stops the start.
    // Loading alone writes nothing.
    void goldenSettings_data() { test::goldenRows("settings", ".reg"); }
    void goldenSettings() {
        QFETCH(QString, path);
        QFile in(path);
        QVERIFY(in.open(QIODevice::ReadOnly));
        const QByteArray text = in.readAll();
        Window w(text);
        QCOMPARE(w.stored(), text);
        QByteArray actual;
        if (!w.error.isEmpty()) {
            actual = "error: " + QString(w.error).replace(w.path(), QStringLiteral("FILE")).toUtf8() + '\n';
        } else {
            QVERIFY(w.started);
            w.form->SaveSettings();
            actual = w.stored();
        }
        KS_COMPARE_GOLDEN(actual, test::expectedPath(path));
    }

    void storedPanelState() {
        Window w(Header + "\"source\"=dword:00000002\r\n\"port\"=dword:00000009\r\n\"localtime\"=dword:00000001\r\n"
                          "\"gmt\"=dword:00000001\r\n\"chimes\"=dword:00000001\r\n");
        TForm1& f = *w.form;
        for (CodeLabel* l : f.lblSync) QVERIFY(!l->isHighlighted());
        for (CodeLabel* l : f.lblPort) QVERIFY(!l->isHighlighted());
        QVERIFY(f.GPSPanel->isHidden() && f.NTPPanel->isHidden());
        QVERIFY(f.lblLOC->isHighlighted() && f.lblGMT->isHighlighted());
        QVERIFY(f.Chimes1->isChecked());
    }

    void panelClicks() {
        Window w;
        TForm1& f = *w.form;
        QTest::mouseClick(f.lblLOC, Qt::LeftButton);
        QVERIFY(f.lblLOC->isHighlighted() && !f.lblGMT->isHighlighted());
        QVERIFY(w.stored().contains("\"localtime\"=dword:00000001\r\n"));
        QVERIFY(w.stored().contains("\"gmt\"=dword:00000000\r\n"));

        QTest::mouseClick(f.lblSync[0], Qt::LeftButton); // GPS
        QCOMPARE(f.Config.SyncSource, TimeSource::Gps);
        QVERIFY(!f.GPSPanel->isHidden() && f.NTPPanel->isHidden());
        QVERIFY(f.GpsSetupPending);
        QTest::mouseClick(f.lblSync[2], Qt::LeftButton); // PC
        QVERIFY(f.GPSPanel->isHidden() && f.NTPPanel->isHidden());

        QTest::mouseClick(f.lblAuto, Qt::LeftButton);
        QVERIFY(f.lblAuto->isHighlighted());
        QVERIFY(w.stored().contains("\"autoconnect\"=dword:00000001\r\n"));

        QTest::keyClicks(f.Edit1, QStringLiteral("ntp.local"));
        QCOMPARE(f.Config.NtpServer, QByteArray("ntp.local"));
        QVERIFY(w.stored().contains("\"ntpserver\"=\"ntp.local\"\r\n"));

        f.Settings1->trigger();
        QVERIFY(!f.SettingsPanel->isHidden() && f.DateLabel->isHidden());
        f.Settings1->trigger();
        QVERIFY(f.SettingsPanel->isHidden() && !f.DateLabel->isHidden());

        f.Chimes1->trigger();
        QVERIFY(w.stored().contains("\"chimes\"=dword:00000001\r\n"));
    }

    void refusedWriteIsReportedAndTheStateStays() {
        Window w;
        // The config folder becomes a plain file: the settings cannot be written.
        QFile blocker(w.dir.path() + QStringLiteral("/BREVANE"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QTemporaryFile err;
        QVERIFY(err.open());
        const int saved = dup(2);
        dup2(err.handle(), 2);
        QTest::mouseClick(w.form->lblBaud[0], Qt::LeftButton);
        dup2(saved, 2);
        ::close(saved);
        err.seek(0);
        QCOMPARE(err.readAll(), QByteArray("Korvat Server: Failed to set data for 'baud'\n"));
        QVERIFY(w.form->lblBaud[0]->isHighlighted());
        // The folder comes back: the next change saves every value, the refused one included.
        QVERIFY(blocker.remove());
        QTest::mouseClick(w.form->lblLOC, Qt::LeftButton);
        QVERIFY2(w.stored().contains("\"baud\"=dword:00000006\r\n") &&
                     w.stored().contains("\"localtime\"=dword:00000001\r\n"),
                 w.stored().constData());
    }

    void blinkCycle() {
        Window w;
        w.form->show();
        QString seen;
        for (int i = 0; i < 10; ++i) {
            w.tick();
            seen += w.form->DotLabel->isHidden() ? QLatin1Char('.') : QLatin1Char(':');
        }
        QCOMPARE(seen, QStringLiteral("::...::..."));
    }

    void displayRewritesOnlyChangedText() {
        Window w({}, msFromCivil({2009, 3, 24, 12, 59, 59, 900}));
        w.form->show();
        w.tick(100);
        QCOMPARE(w.form->lblH->text() + w.form->lblM->text() + w.form->lblS->text(), QStringLiteral("125959"));
        QCOMPARE(w.form->DateLabel->text(), QStringLiteral("Tue 24 Mar 2009"));
        w.tick();
        QCOMPARE(w.form->lblH->text() + w.form->lblM->text() + w.form->lblS->text(), QStringLiteral("130000"));
    }

    void hiddenWindowCatchesUpWhenShown() {
        Window w({}, msFromCivil({2009, 3, 24, 12, 59, 59, 900}));
        w.tick(100);
        QCOMPARE(w.form->lblS->text(), QString());
        w.tick();
        w.tick(); // the third tick of the blink: no colon
        w.form->show();
        QCOMPARE(w.form->lblH->text() + w.form->lblM->text() + w.form->lblS->text(), QStringLiteral("130000"));
        QCOMPARE(w.form->DateLabel->text(), QStringLiteral("Tue 24 Mar 2009"));
        QVERIFY(w.form->DotLabel->isHidden());
    }

    void zoneChangeShowsWithinAMinute() {
        Window w({}, msFromCivil({2009, 3, 24, 10, 0, 59, 900}));
        w.form->show();
        w.tick(100);
        QCOMPARE(w.form->lblH->text(), QStringLiteral("10"));
        const QByteArray zone = qgetenv("TZ");
        qputenv("TZ", "EST5");
        w.tick();
        const QString hour = w.form->lblH->text();
        qputenv("TZ", zone);
        tzset();
        QCOMPARE(hour, QStringLiteral("05"));
    }

    void hourChimeOncePerHour() {
        Window w(Header + "\"chimes\"=dword:00000001\r\n", at(12, 59, 59, 900));
        w.tick(100); // 12:59:59.9 clears the latch
        w.tick();    // 13:00:00.0
        QTRY_COMPARE_WITH_TIMEOUT(chimesPlayed.load(), 1, 5000);
        for (int i = 0; i < 239; ++i) w.tick();
        QTest::qWait(100);
        QCOMPARE(chimesPlayed.load(), 1);
    }

    void noChimeWhenStartedInMinuteZero() {
        Window w(Header + "\"chimes\"=dword:00000001\r\n", at(10, 0, 30));
        for (int i = 0; i < 240; ++i) w.tick();
        QTest::qWait(100);
        QCOMPARE(chimesPlayed.load(), 0);
        w.clock.setNow(at(11, 0, 0));
        w.tick();
        QTRY_COMPARE_WITH_TIMEOUT(chimesPlayed.load(), 1, 5000);
    }

    void changeDetectionAtStartWithThePcClock() {
        Window w;
        w.form->LogFrm()->Debug1()->setChecked(true);
        w.tick();
        QCOMPARE(w.events(), QList<QByteArray>());
        w.tick();
        QCOMPARE(w.events(), QList<QByteArray>{"Offline: State Change Not Broadcast - 0_0_2"});
        w.tick();
        QCOMPARE(w.events().size(), 1);
        QCOMPARE(w.form->tsStatus->text(), QStringLiteral("PC Clock"));
    }

    void serialRuleWithTheGpsSource_data() {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QString>("status");
        QTest::newRow("GPS") << QByteArray("1") << QStringLiteral("GPS");
        QTest::newRow("stored 2") << QByteArray("2") << QStringLiteral("Unknown");
    }
    void serialRuleWithTheGpsSource() {
        QFETCH(QByteArray, source);
        QFETCH(QString, status);
        Window w(Header + "\"source\"=dword:0000000" + source + "\r\n");
        w.form->LogFrm()->Debug1()->setChecked(true);
        w.tick();
        QCOMPARE(w.form->SyncState, TimeState::NoSerialInput);
        QCOMPARE(w.form->tsStatus->text(), status);
        QCOMPARE(w.form->SerialPanel->text(), QString());
        QVERIFY(w.form->btnConnect->isEnabled() && !w.form->btnDisconnect->isEnabled());
        QCOMPARE(w.events(), QList<QByteArray>{"Offline: State Change Not Broadcast - " + source + "_0_3"});
        QCOMPARE(w.form->tsStatus->palette().color(QPalette::WindowText), QColor(128, 128, 128));
    }

    void statusColours_data() {
        QTest::addColumn<int>("state");
        QTest::addColumn<QColor>("background");
        QTest::addColumn<QColor>("text");
        QTest::newRow("0 red") << 0 << QColor(255, 0, 0) << QColor(255, 255, 255);
        QTest::newRow("1 yellow") << 1 << QColor(255, 255, 0) << QColor(Qt::black);
        QTest::newRow("2 lime") << 2 << QColor(0, 255, 0) << QColor(Qt::black);
    }
    void statusColours() {
        QFETCH(int, state);
        QFETCH(QColor, background);
        QFETCH(QColor, text);
        Window w(Header + "\"source\"=dword:00000003\r\n");
        w.form->SyncState = TimeState(state);
        w.tick();
        QCOMPARE(w.form->tsStatus->text(), QStringLiteral("NTP"));
        QCOMPARE(w.form->tsStatus->palette().color(QPalette::Window), background);
        QCOMPARE(w.form->tsStatus->palette().color(QPalette::WindowText), text);
    }

    void statusColoursFollowEachChange() {
        Window w(Header + "\"source\"=dword:00000003\r\n");
        const QColor background[] = {QColor(255, 0, 0), QColor(255, 255, 0), QColor(0, 255, 0)};
        for (int state : {0, 1, 0, 2, 2, 1}) {
            w.form->SyncState = TimeState(state);
            w.tick();
            QCOMPARE(w.form->tsStatus->palette().color(QPalette::Window), background[state]);
        }
    }

    void unsynchronisedColourFollowsTheTheme() {
        Window w(Header + "\"source\"=dword:00000001\r\n");
        w.tick();
        QPalette theme = w.form->palette();
        theme.setColor(QPalette::Button, QColor(10, 20, 30));
        w.form->setPalette(theme);
        w.tick();
        QCOMPARE(w.form->tsStatus->palette().color(QPalette::Window), QColor(10, 20, 30));
    }

    void hourlyTickClearsClients() {
        Window w;
        w.form->ClientList = {"192.0.2.2"};
        w.form->ClientCountPanel->setText(QStringLiteral("1"));
        w.form->Timer2Timer();
        QVERIFY(w.form->ClientList.isEmpty());
        QCOMPARE(w.form->ClientCountPanel->text(), QStringLiteral("0"));
        QCOMPARE(w.events(), QList<QByteArray>{"Client List: Connected client list cleared."});
    }

    // The hourly tick draws a new serial for the replies. A draw equals the last one once in
    // 9999, so a few draws are allowed before calling the serial stuck.
    void hourlyTickDrawsANewSerial() {
        Window w;
        const QRegularExpression korvat(QStringLiteral("^\\{KORVAT(\\d{4})\\d{10}\\}$"));
        const QByteArray first = replyTo(ClientType::Korvat1001);
        QVERIFY2(korvat.match(QString::fromLatin1(first)).hasMatch(), first.constData());
        QByteArray next = first;
        for (int draw = 0; draw < 4 && next.left(11) == first.left(11); ++draw) {
            w.form->Timer2Timer();
            next = replyTo(ClientType::Korvat1001);
            QVERIFY2(korvat.match(QString::fromLatin1(next)).hasMatch(), next.constData());
        }
        QVERIFY2(next.left(11) != first.left(11), next.constData());
    }

    // Quorix replies carry local time whenever "localtime" is stored as 1, also with "gmt" 1.
    void quorixReplyFollowsTheStoredMode_data() {
        QTest::addColumn<QByteArray>("values");
        QTest::addColumn<QByteArray>("reply");
        const QByteArray gmt = "{KORVAT_0042_10:00:00_06/12/26_06/12/26}";
        const QByteArray local = "{KORVAT_0042_11:00:00_06/12/26_06/12/26}";
        QTest::newRow("nothing stored") << QByteArray() << gmt;
        QTest::newRow("gmt 1") << QByteArray("\"localtime\"=dword:00000000\r\n\"gmt\"=dword:00000001\r\n") << gmt;
        QTest::newRow("localtime 1") << QByteArray("\"localtime\"=dword:00000001\r\n\"gmt\"=dword:00000000\r\n") << local;
        QTest::newRow("both 1") << QByteArray("\"localtime\"=dword:00000001\r\n\"gmt\"=dword:00000001\r\n") << local;
    }
    void quorixReplyFollowsTheStoredMode() {
        QFETCH(QByteArray, values);
        QFETCH(QByteArray, reply);
        test::ZoneScope zone("XXX-1");
        Window w(Header + values);
        w.form->ReplySerial = 42;
        QCOMPARE(replyTo(ClientType::Quorix), reply);
    }

    // A change of state while the PC has no network address is never announced later: back
    // online, the group hears only the changes made from then on, with time-to-live 1.
    void offlineChangeIsNeverSentLater() {
        test::GroupListener listener;
        QVERIFY(listener.bound());
        Window w;
        w.form->LogFrm()->Debug1()->setChecked(true);
        w.tick();
        w.tick();
        QCOMPARE(w.events(), QList<QByteArray>{"Offline: State Change Not Broadcast - 0_0_2"});
        w.form->NetworkPresent = true;
        w.tick();
        w.tick();
        w.form->Config.SyncSource = TimeSource::Ntp;
        w.tick();
        QVERIFY(listener.waitFor("3_0_2", 5000));
        QCOMPARE(listener.received, QList<QByteArray>{"3_0_2"});
        QCOMPARE(listener.ttls, QList<int>{1});
    }

    // "hour.wav" is a bare name: the current folder comes before the executable's.
    void soundFileLookup_data() {
        QTest::addColumn<bool>("inCurrent");
        QTest::addColumn<bool>("besideExecutable");
        QTest::addColumn<QByteArray>("found");
        QTest::newRow("in both") << true << true << QByteArray("current");
        QTest::newRow("beside the executable only") << false << true << QByteArray("executable");
        QTest::newRow("nowhere") << false << false << QByteArray();
    }
    void soundFileLookup() {
        QFETCH(bool, inCurrent);
        QFETCH(bool, besideExecutable);
        QFETCH(QByteArray, found);
        // A name of its own, so the build's hour.wav cannot answer.
        QTemporaryFile beside(executableDir() + QStringLiteral("/chime-XXXXXX.wav"));
        QVERIFY(beside.open());
        const QString name = QFileInfo(beside.fileName()).fileName();
        if (!besideExecutable) beside.remove();
        QTemporaryDir current;
        if (inCurrent) {
            QFile f(current.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(current.path()));
        const QString got = findSoundFile(name);
        QVERIFY(QDir::setCurrent(before));
        const QString expected = found == "current"      ? QDir(current.path()).filePath(name)
                                 : found == "executable" ? executableDir() + QLatin1Char('/') + name
                                                         : QString();
        QCOMPARE(QFileInfo(got).canonicalFilePath(), QFileInfo(expected).canonicalFilePath());
        QCOMPARE(got.isEmpty(), expected.isEmpty());
    }

    // The badge never covers a digit, and the status bar's longest texts fit their panels.
    void nothingCoveredOrClipped() {
        Window w;
        w.tick();
        for (QLabel* digits : {w.form->lblH, w.form->lblM, w.form->lblS}) {
            const QRect glyphs = QStyle::alignedRect(
                Qt::LeftToRight, digits->alignment(),
                digits->fontMetrics().tightBoundingRect(QStringLiteral("88")).size(), digits->geometry());
            QVERIFY2(!glyphs.intersects(w.form->tsStatus->geometry()), qPrintable(digits->text()));
        }
        const QList<QPair<QLabel*, QString>> panels = {
            {w.form->ClientCountPanel, QStringLiteral("256")},
            {w.form->SerialPanel, QStringLiteral("Serial Input Connected")}};
        for (const auto& [panel, text] : panels)
            QVERIFY2(panel->fontMetrics().horizontalAdvance(text) <= panel->contentsRect().width(),
                     qPrintable(text));
        QCOMPARE(w.form->windowTitle(), QStringLiteral("Korvat Server V2.01"));
    }

    void closeHidesExitEnds() {
        Window w;
        w.form->show();
        w.form->Show1Click();
        QVERIFY(w.form->LogFrm()->isVisible());
        w.form->close();
        QVERIFY(!w.form->isVisible());
        QVERIFY(!w.form->LogFrm()->isVisible());
        w.form->Properties1Click();
        QVERIFY(w.form->isVisible());
        QVERIFY(w.form->TrayMenu->defaultAction() == w.form->Properties1);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
