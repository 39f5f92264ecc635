// With only the loopback address the program announces nothing, not even "0_0_9" at exit,
// though the group is reachable: this namespace's veth pair is taken down and the group
// routed over lo, where a datagram, were one sent, would arrive. Then, with no route to the
// group at all, a send that fails is logged and the tick goes on.
#include "AppProcess.h"
#include "Namespace.h"
#include "app/TimeNow.h"
#include "log/Log.h"

#include <QAction>
#include <QTemporaryDir>
#include <QTimer>

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QProcess>
#include <QTest>
#include <QUdpSocket>

using ks::test::AppProcess;
using ks::test::ip;

namespace {
const QHostAddress Group(QStringLiteral("224.0.0.1"));
constexpr quint16 AnnouncePort = 6649;

} // namespace

class TestLoopbackOnly : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        // Only ever inside the private namespace: these commands change the interfaces.
        if (qEnvironmentVariable("KS_IN_NETNS") != QLatin1String("1"))
            QSKIP("runs only inside tests/netns-run");
        QVERIFY(ip(QStringLiteral("link set ks0 down")));
        QVERIFY(ip(QStringLiteral("link set ks1 down")));
        QVERIFY(ip(QStringLiteral("link set lo multicast on")));
        QVERIFY(ip(QStringLiteral("route replace 224.0.0.0/4 dev lo")));
        const QNetworkInterface lo = QNetworkInterface::interfaceFromName(QStringLiteral("lo"));
        QVERIFY(listener.bind(QHostAddress::AnyIPv4, AnnouncePort, QUdpSocket::ShareAddress));
        QVERIFY(listener.joinMulticastGroup(Group, lo));
    }

    void nothingAnnouncedWithoutANetworkAddress() {
        QVERIFY(groupIsReachable("before"));
        AppProcess app;
        app.start();
        // The program is up and has ticked: the status in a reply is the tick's.
        QProcess probe;
        probe.start(QStringLiteral(KS_PROBE_BIN),
                    {QStringLiteral("request"), QStringLiteral("127.0.0.1"), QStringLiteral("--kind"),
                     QStringLiteral("korvat1010"), QStringLiteral("--timeout"), QStringLiteral("2000")});
        QDeadlineTimer deadline(10000);
        QByteArray out;
        while (!out.contains("status   0_0_2") && !deadline.hasExpired()) {
            QVERIFY(probe.waitForFinished(10000));
            out = probe.readAllStandardOutput();
            if (out.contains("status   0_0_2")) break;
            QTest::qWait(50);
            probe.start();
        }
        QVERIFY2(out.contains("status   0_0_2"), out.constData());
        // The tick after that is the one that would announce 0_0_2: four ticks' time.
        QTest::qWait(1000);
        QVERIFY(app.terminate() >= 0);
        QTest::qWait(500);
        QVERIFY(groupIsReachable("after"));
        QCOMPARE(received, (QList<QByteArray>{"before", "after"}));
    }

    void failedSendIsLoggedAndTheTickGoesOn() {
        QVERIFY(ip(QStringLiteral("route del 224.0.0.0/4 dev lo")));
        QTemporaryDir dir;
        qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", dir.path().toLocal8Bit());
        ks::TForm1 form;
        QVERIFY(form.StartUp());
        form.Timer1->stop();
        form.IdIPWatch1->stop();
        form.NetworkPresent = true; // as if an address were there, but the group has no route
        form.LogFrm()->Debug1()->setChecked(true);
        form.Timer1Timer();
        form.Timer1Timer(); // announces 0_0_2
        form.SyncState = ks::TimeState::Synchronising;
        form.Timer1Timer(); // the tick still runs: announces 0_0_1 before it sets 2 again
        QList<QByteArray> events;
        for (const ks::LogEntry& e : form.LogFrm()->Model().entries())
            events.append(e.col + ' ' + e.event + ": " + e.details);
        QCOMPARE(events, (QList<QByteArray>{
                             "0 Offline: State Change Not Broadcast - 0_0_2: Unable to send a message",
                             "0 Offline: State Change Not Broadcast - 0_0_1: Unable to send a message"}));
        form.Shutdown();
    }

private:
    // Sends `marker` to the group from here and waits for it: the path a datagram of the
    // program would take works, and everything that came before is collected.
    bool groupIsReachable(const QByteArray& marker) {
        QUdpSocket sender;
        if (!sender.bind(QHostAddress::AnyIPv4, 0)) return false;
        sender.setMulticastInterface(QNetworkInterface::interfaceFromName(QStringLiteral("lo")));
        if (sender.writeDatagram(marker, Group, AnnouncePort) != marker.size()) return false;
        QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired()) {
            while (listener.hasPendingDatagrams()) {
                received.append(listener.receiveDatagram().data());
                if (received.last() == marker) return true;
            }
            listener.waitForReadyRead(50);
        }
        return false;
    }

    QUdpSocket listener;
    QList<QByteArray> received;
};

QTEST_MAIN(TestLoopbackOnly)
#include "tst_loopbackonly.moc"
