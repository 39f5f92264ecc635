// Network presence against the namespace's interfaces, by tests/golden/network scripts.
#include "Golden.h"
#include "Namespace.h"
#include "Wait.h"
#include "platform/NetworkPresence.h"

#include <QTest>

class TestNetworkPresence : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        // Only ever inside the private namespace: the scripts change the interfaces.
        if (qEnvironmentVariable("KS_IN_NETNS") != QLatin1String("1"))
            QSKIP("runs only inside tests/netns-run");
    }
    void scripts_data() { ks::test::goldenRows("network", ".script"); }
    void scripts() {
        QFETCH(QString, path);
        QByteArray actual;
        for (const QByteArray& line : ks::test::scriptLines(path)) {
            const bool isIp = line.startsWith("ip ");
            const bool ok = isIp              ? ks::test::ip(QString::fromLocal8Bit(line.mid(3)))
                            : line == "await" ? ks::test::waitUntil(ks::hasNetworkAddress, 5000)
                                              : ks::hasNetworkAddress();
            actual += line + (isIp ? (ok ? "" : " -> failed") : ok ? " -> yes" : " -> no") + '\n';
        }
        KS_COMPARE_GOLDEN(actual, ks::test::expectedPath(path));
    }
};

QTEST_GUILESS_MAIN(TestNetworkPresence)
#include "tst_networkpresence.moc"
