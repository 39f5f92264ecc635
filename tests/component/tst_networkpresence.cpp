// Network presence against the namespace's own interfaces, changed under it.
#include "Namespace.h"
#include "platform/NetworkPresence.h"

#include <QTest>

class TestNetworkPresence : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        // Only ever inside the private namespace: these commands change the interfaces.
        if (qEnvironmentVariable("KS_IN_NETNS") != QLatin1String("1"))
            QSKIP("runs only inside tests/netns-run");
    }

    void followsTheInterfaces() {
        QVERIFY(ks::hasNetworkAddress()); // the veth pair's 192.0.2.1 and .2

        QVERIFY(ks::test::ip(QStringLiteral("link set ks0 down")));
        QVERIFY(ks::test::ip(QStringLiteral("link set ks1 down")));
        QVERIFY(!ks::hasNetworkAddress());
        // An address on the loopback device is not a network.
        QVERIFY(ks::test::ip(QStringLiteral("addr add 192.0.2.77/32 dev lo")));
        QVERIFY(!ks::hasNetworkAddress());

        // Many loopback addresses ahead of the one that counts: the list is read whole.
        for (int i = 1; i <= 60; ++i)
            QVERIFY(ks::test::ip(QStringLiteral("addr add 127.1.0.%1/32 dev lo label lo:%1").arg(i)));
        QVERIFY(!ks::hasNetworkAddress());
        QVERIFY(ks::test::ip(QStringLiteral("link add ks2 type veth peer name ks3")));
        QVERIFY(ks::test::ip(QStringLiteral("addr add 192.0.2.9/32 dev ks2")));
        QVERIFY(!ks::hasNetworkAddress()); // not up yet
        QVERIFY(ks::test::ip(QStringLiteral("link set ks2 up")));
        QVERIFY(!ks::hasNetworkAddress()); // up, but no carrier while its peer is down
        QVERIFY(ks::test::ip(QStringLiteral("link set ks3 up")));
        QTRY_VERIFY_WITH_TIMEOUT(ks::hasNetworkAddress(), 5000);

        QVERIFY(ks::test::ip(QStringLiteral("link del ks2")));
        QVERIFY(!ks::hasNetworkAddress());
        QVERIFY(ks::test::ip(QStringLiteral("link set ks0 up")));
        QVERIFY(ks::test::ip(QStringLiteral("link set ks1 up")));
        QTRY_VERIFY_WITH_TIMEOUT(ks::hasNetworkAddress(), 5000); // the veth carrier comes back
    }
};

QTEST_GUILESS_MAIN(TestNetworkPresence)
#include "tst_networkpresence.moc"
