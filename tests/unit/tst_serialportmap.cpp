#include "platform/SerialPortMap.h"

#include <QTest>

using namespace ks;

class TestSerialPortMap : public QObject {
    Q_OBJECT
private slots:
    void devicePath_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("environment"); // value of KSERVER_COM<port>; "-" unset
        QTest::addColumn<QString>("portsKey");       // the Ports key's value; "-" no lookup
        QTest::addColumn<QString>("device");
        QTest::newRow("default COM1")
            << 1 << QByteArray("-") << QStringLiteral("-") << QStringLiteral("/dev/ttyS0");
        QTest::newRow("default COM5")
            << 5 << QByteArray("-") << QStringLiteral("") << QStringLiteral("/dev/ttyS4");
        QTest::newRow("Ports key") << 2 << QByteArray("-") << QStringLiteral("/dev/ttyUSB0")
                                   << QStringLiteral("/dev/ttyUSB0");
        QTest::newRow("environment wins")
            << 2 << QByteArray("/dev/pts/7") << QStringLiteral("/dev/ttyUSB0")
            << QStringLiteral("/dev/pts/7");
        QTest::newRow("empty environment is unset")
            << 3 << QByteArray("") << QStringLiteral("/dev/ttyUSB1")
            << QStringLiteral("/dev/ttyUSB1");
        QTest::newRow("port 16") << 16 << QByteArray("-") << QStringLiteral("-")
                                 << QStringLiteral("/dev/ttyS15");
        QTest::newRow("port 0 has no device")
            << 0 << QByteArray("/dev/pts/7") << QStringLiteral("/dev/ttyUSB0") << QString();
    }
    void devicePath() {
        QFETCH(int, port);
        QFETCH(QByteArray, environment);
        QFETCH(QString, portsKey);
        QFETCH(QString, device);
        const QByteArray name = "KSERVER_COM" + QByteArray::number(port);
        if (environment == "-")
            qunsetenv(name.constData());
        else
            qputenv(name.constData(), environment);

        // The lookup answers only for the right name, so a wrong name shows as a wrong device.
        std::function<QString(const QString&)> lookup;
        if (portsKey != QStringLiteral("-")) {
            lookup = [&](const QString& comName) {
                return comName == QStringLiteral("COM%1").arg(port) ? portsKey : QString();
            };
        }
        QCOMPARE(serialDevicePath(port, lookup), device);
        qunsetenv(name.constData());
    }

    void portNumber_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("number");
        QTest::newRow("COM1") << QStringLiteral("\\\\.\\COM1") << 1;
        QTest::newRow("COM3") << QStringLiteral("\\\\.\\COM3") << 3;
        QTest::newRow("COM16") << QStringLiteral("\\\\.\\COM16") << 16;
        QTest::newRow("COM0") << QStringLiteral("\\\\.\\COM0") << 0;
        QTest::newRow("plain COM2") << QStringLiteral("COM2") << 0;
        QTest::newRow("device path") << QStringLiteral("/dev/ttyUSB0") << 0;
        QTest::newRow("no number") << QStringLiteral("\\\\.\\COM") << 0;
        QTest::newRow("trailing text") << QStringLiteral("\\\\.\\COM2x") << 0;
        QTest::newRow("sign") << QStringLiteral("\\\\.\\COM-2") << 0;
    }
    void portNumber() {
        QFETCH(QString, name);
        QFETCH(int, number);
        QCOMPARE(comPortNumber(name), number);
    }
};

QTEST_APPLESS_MAIN(TestSerialPortMap)
#include "tst_serialportmap.moc"
