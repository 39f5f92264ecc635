#include "Pty.h"
#include "components/CPDrv.h"

#include <QElapsedTimer>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <thread>

using namespace ks;

// The kernel's pseudo-terminal forces CS8 and clears PARENB on every setting (and the C library
// then reports the setting as refused), where a UART keeps what it was told. So that the
// character size and the parity bit can be checked like the rest, this process sees its
// pseudo-terminals as UARTs: the two are remembered per device on the way into the C library
// and put back on the way out.
namespace {
constexpr tcflag_t UartOnlyBits = CSIZE | PARENB;

std::map<dev_t, tcflag_t>& keptBits() {
    static std::map<dev_t, tcflag_t> kept;
    return kept;
}

bool isPtySlave(int fd, dev_t* device) {
    struct stat s {};
    if (::fstat(fd, &s) != 0 || !S_ISCHR(s.st_mode)) return false;
    *device = s.st_rdev;
    return major(s.st_rdev) >= 136 && major(s.st_rdev) <= 143; // UNIX 98 pty slaves
}

template <typename Function> Function libcFunction(const char* name) {
    Function f = nullptr;
    void* symbol = ::dlsym(RTLD_NEXT, name);
    std::memcpy(&f, &symbol, sizeof f);
    return f;
}
} // namespace

extern "C" int tcsetattr(int fd, int action, const termios* settings) noexcept {
    static const auto real = libcFunction<int (*)(int, int, const termios*)>("tcsetattr");
    dev_t device;
    if (!settings || !isPtySlave(fd, &device)) return real(fd, action, settings);
    termios accepted = *settings;
    accepted.c_cflag = (accepted.c_cflag & ~UartOnlyBits) | CS8;
    const int result = real(fd, action, &accepted);
    if (result == 0) keptBits()[device] = settings->c_cflag & UartOnlyBits;
    return result;
}

extern "C" int tcgetattr(int fd, termios* settings) noexcept {
    static const auto real = libcFunction<int (*)(int, termios*)>("tcgetattr");
    const int result = real(fd, settings);
    dev_t device;
    if (result == 0 && isPtySlave(fd, &device)) {
        const auto kept = keptBits().find(device);
        if (kept != keptBits().end())
            settings->c_cflag = (settings->c_cflag & ~UartOnlyBits) | kept->second;
    }
    return result;
}

namespace {
constexpr int PortNumber = 3;
const char* const PortVariable = "KSERVER_COM3";

qint64 processCpuMs() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
}

// Collects what OnReceiveData delivers.
struct Receiver {
    QByteArray bytes;
    QList<quint32> sizes;
    bool offThread = false;
    void attach(TCommPortDriver& driver) {
        driver.OnReceiveData = [this, &driver](TCommPortDriver* sender, const char* data,
                                               quint32 size) {
            QCOMPARE(sender, &driver);
            offThread |= QThread::currentThread() != qApp->thread();
            bytes.append(data, size);
            sizes.append(size);
        };
    }
};

// Points the test's port number at the pseudo-terminal and the driver at that number.
void aim(const test::Pty& pty, TCommPortDriver& d) {
    qputenv(PortVariable, pty.slavePath().toLocal8Bit());
    d.SetPort(TPortNumber(PortNumber));
}
} // namespace

class TestSerialDriver : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { qunsetenv(PortVariable); }

    void limits() {
        TCommPortDriver d;
        d.SetBaudRate(brCustom); // keeps the speed
        QCOMPARE(d.BaudRateValue(), 9600u);
        d.SetBaudRate(TBaudRate(16)); // no such code: no speed, so Connect will refuse
        QCOMPARE(d.BaudRateValue(), 0u);
        d.SetInBufSize(10);
        QCOMPARE(d.InBufSize(), 128u);
        d.SetInBufSize(100000);
        QCOMPARE(d.InBufSize(), 8192u);
        d.SetPort(pnCOM4);
        d.SetPort(pnCustom); // keeps the name
        QCOMPARE(d.PortName(), QStringLiteral("\\\\.\\COM4"));
    }

    void missingDeviceStaysClosed() {
        qputenv(PortVariable, "/nonexistent/ttyGPS");
        TCommPortDriver d;
        d.SetPort(TPortNumber(PortNumber));
        QVERIFY(!d.Connect());
        QVERIFY(!d.Connected());
        QVERIFY(!d.WriteText("$PSRF103\r\n"));
        QVERIFY(d.WriteText(QByteArray())); // nothing to write is no failure
        d.Disconnect();                     // closed: does nothing
        QVERIFY(!d.Connected());
    }

    void connectTwiceChangesNothing() {
        test::Pty pty;
        QVERIFY(pty.isOpen());
        TCommPortDriver d;
        Receiver r;
        r.attach(d);
        aim(pty, d);
        QVERIFY(d.Connect());
        QVERIFY(d.Connected());
        // Bytes waiting when Connect is called again are not purged by a second setting-up.
        QVERIFY(pty.write("$GPGGA,1\r"));
        QVERIFY(d.Connect());
        QVERIFY(d.Connected());
        QTRY_COMPARE_WITH_TIMEOUT(r.bytes, QByteArray("$GPGGA,1\r"), 5000);
        QVERIFY(!r.offThread);
    }

    void portNameOpensAnyDevicePath() {
        test::Pty pty;
        TCommPortDriver d;
        d.SetPort(pnCustom);
        d.SetPortName(pty.slavePath());
        QVERIFY(d.Connect());
        QVERIFY(pty.exclusive());
    }

    void portsKeyChoosesTheDevice() {
        qunsetenv("KSERVER_COM5");
        test::Pty pty;
        TCommPortDriver d;
        d.setPortsLookup([&](const QString& comName) {
            return comName == QStringLiteral("COM5") ? pty.slavePath() : QString();
        });
        d.SetPort(pnCOM5);
        QVERIFY(d.Connect());
        QVERIFY(pty.exclusive());
    }

    void openedExclusively() {
        test::Pty pty;
        TCommPortDriver first, second;
        aim(pty, first);
        aim(pty, second);
        QVERIFY(first.Connect());
        QVERIFY(pty.exclusive());
        QVERIFY(!second.Connect());
        QVERIFY(!second.Connected());
        QVERIFY(first.Connected());
        if (qEnvironmentVariableIsSet("KS_IN_NETNS")) {
            // Any other program, whatever lock files it honours, is refused by the device.
            const int fd = ::open(pty.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
            const int error = errno;
            if (fd >= 0) ::close(fd);
            QCOMPARE(fd, -1);
            QCOMPARE(error, EBUSY);
        }
        first.Disconnect();
        QVERIFY(!first.Connected());
        QVERIFY(!pty.exclusive());
        QVERIFY(second.Connect());
    }

    void lineSettings_data() {
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("data");
        QTest::addColumn<int>("parity");
        QTest::addColumn<int>("stop");
        QTest::addColumn<int>("hw");
        QTest::addColumn<int>("sw");
        QTest::addColumn<uint>("speed"); // 0: refused, the port stays closed
        QTest::addColumn<uint>("size");
        QTest::addColumn<uint>("cflags");  // of PARENB, PARODD, CSTOPB, CRTSCTS
        QTest::addColumn<uint>("xonxoff"); // IXON | IXOFF
        const uint none = 0;
        QTest::newRow("4800 8N1") << int(br4800) << int(db8BITS) << int(ptNONE) << int(sb1BITS)
                                  << int(hfNONERTSON) << int(sfNONE) << uint(B4800) << uint(CS8)
                                  << none << none;
        QTest::newRow("9600 7E1") << int(br9600) << int(db7BITS) << int(ptEVEN) << int(sb1BITS)
                                  << int(hfNONERTSON) << int(sfNONE) << uint(B9600) << uint(CS7)
                                  << uint(PARENB) << none;
        QTest::newRow("9600 7O2") << int(br9600) << int(db7BITS) << int(ptODD) << int(sb2BITS)
                                  << int(hfNONE) << int(sfNONE) << uint(B9600) << uint(CS7)
                                  << uint(PARENB | PARODD | CSTOPB) << none;
        QTest::newRow("4800 8N2") << int(br4800) << int(db8BITS) << int(ptNONE) << int(sb2BITS)
                                  << int(hfNONERTSON) << int(sfNONE) << uint(B4800) << uint(CS8)
                                  << uint(CSTOPB) << none;
        QTest::newRow("RTS/CTS") << int(br9600) << int(db8BITS) << int(ptNONE) << int(sb1BITS)
                                 << int(hfRTSCTS) << int(sfNONE) << uint(B9600) << uint(CS8)
                                 << uint(CRTSCTS) << none;
        QTest::newRow("XON/XOFF") << int(br9600) << int(db8BITS) << int(ptNONE) << int(sb1BITS)
                                  << int(hfNONE) << int(sfXONXOFF) << uint(B9600) << uint(CS8)
                                  << none << uint(IXON | IXOFF);
        QTest::newRow("both handshakes: hardware")
            << int(br9600) << int(db8BITS) << int(ptNONE) << int(sb1BITS) << int(hfRTSCTS)
            << int(sfXONXOFF) << uint(B9600) << uint(CS8) << uint(CRTSCTS) << none;
        const int b8 = int(br4800), d8 = int(db8BITS), pn = int(ptNONE), s1 = int(sb1BITS);
        const int hn = int(hfNONE), sn = int(sfNONE);
        QTest::newRow("unknown speed code")
            << 99 << d8 << pn << s1 << hn << sn << 0u << 0u << 0u << 0u;
        QTest::newRow("12 data bits") << b8 << 7 << pn << s1 << hn << sn << 0u << 0u << 0u << 0u;
        QTest::newRow("unknown parity") << b8 << d8 << 5 << s1 << hn << sn << 0u << 0u << 0u << 0u;
        QTest::newRow("1.5 stop bits")
            << b8 << d8 << pn << int(sb1HALFBITS) << hn << sn << 0u << 0u << 0u << 0u;
    }
    void lineSettings() {
        QFETCH(int, baud);
        QFETCH(int, data);
        QFETCH(int, parity);
        QFETCH(int, stop);
        QFETCH(int, hw);
        QFETCH(int, sw);
        QFETCH(uint, speed);
        QFETCH(uint, size);
        QFETCH(uint, cflags);
        QFETCH(uint, xonxoff);
        test::Pty pty;
        TCommPortDriver d;
        // The order of the CONNECT button.
        d.SetBaudRate(TBaudRate(baud));
        d.SetDataBits(TDataBits(data));
        d.SetParity(TParity(parity));
        aim(pty, d);
        d.SetStopBits(TStopBits(stop));
        d.SetHwFlow(THwFlowControl(hw));
        d.SetSwFlow(TSwFlowControl(sw));
        if (speed == 0) {
            QVERIFY(!d.Connect());
            QVERIFY(!d.Connected());
            QVERIFY(!pty.exclusive()); // the device was let go again
            TCommPortDriver other;
            aim(pty, other);
            QVERIFY(other.Connect());
            return;
        }
        QVERIFY(d.Connect());

        const termios line = pty.lineSettings();
        QCOMPARE(uint(::cfgetospeed(&line)), speed);
        QCOMPARE(uint(::cfgetispeed(&line)), speed);
        QCOMPARE(uint(line.c_cflag & CSIZE), size);
        QCOMPARE(uint(line.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS)), cflags);
        QCOMPARE(uint(line.c_iflag & (IXON | IXOFF)), xonxoff);
        QCOMPARE(uint(line.c_iflag & INPCK), 0u); // parity is never checked
    }

    void settingsApplyAtOnceWhileOpen() {
        test::Pty pty;
        TCommPortDriver d;
        aim(pty, d);
        QVERIFY(d.Connect());
        termios line = pty.lineSettings();
        QCOMPARE(uint(::cfgetospeed(&line)), uint(B9600));

        d.SetBaudRate(br4800);
        line = pty.lineSettings();
        QCOMPARE(uint(::cfgetospeed(&line)), uint(B4800));
        d.SetStopBits(sb2BITS);
        QVERIFY(pty.lineSettings().c_cflag & CSTOPB);
        d.SetDataBits(db7BITS);
        QCOMPARE(uint(pty.lineSettings().c_cflag & CSIZE), uint(CS7));
        d.SetParity(ptODD);
        QCOMPARE(uint(pty.lineSettings().c_cflag & (PARENB | PARODD)), uint(PARENB | PARODD));

        // The port number is taken only while closed.
        d.SetPort(pnCOM4);
        QCOMPARE(d.Port(), TPortNumber(PortNumber));
        QCOMPARE(d.PortName(), QStringLiteral("\\\\.\\COM3"));
        d.Disconnect();
        d.SetPort(pnCOM4);
        QCOMPARE(d.PortName(), QStringLiteral("\\\\.\\COM4"));
    }

    void burstArrivesInBlocksOfAtMostInBufSize() {
        test::Pty pty;
        TCommPortDriver d;
        d.SetInBufSize(128);
        aim(pty, d);
        Receiver r;
        r.attach(d);
        QVERIFY(d.Connect());
        QByteArray burst;
        for (int i = 0; i < 1000; ++i)
            burst.append(char('A' + i % 26));
        QVERIFY(pty.write(burst));
        QTRY_COMPARE_WITH_TIMEOUT(r.bytes.size(), burst.size(), 10000);
        QCOMPARE(r.bytes, burst);
        QVERIFY(r.sizes.size() >= 8);
        for (const quint32 size : r.sizes)
            QVERIFY(size >= 1 && size <= 128);
        QVERIFY(!r.offThread);
    }

    // A receiver that sends without pause and without a carriage return does not hold up the
    // loop: a 10 ms timer keeps ticking while every byte arrives, a block at a time.
    void floodLeavesTheLoopItsPace() {
        test::Pty pty;
        TCommPortDriver d;
        aim(pty, d);
        Receiver r;
        r.attach(d);
        QVERIFY(d.Connect());
        const QByteArray flood(8 * 1024 * 1024, 'x');
        bool written = false;
        std::thread writer([&] { written = pty.write(flood); });
        QElapsedTimer sinceTick;
        sinceTick.start();
        qint64 longestGap = 0;
        int ticks = 0;
        QTimer tick;
        tick.setInterval(10);
        connect(&tick, &QTimer::timeout, [&] {
            longestGap = qMax(longestGap, sinceTick.restart());
            ++ticks;
        });
        tick.start();
        QElapsedTimer took;
        took.start();
        QTRY_COMPARE_WITH_TIMEOUT(r.bytes.size(), flood.size(), 120'000);
        writer.join();
        QVERIFY(written);
        QCOMPARE(r.bytes, flood);
        QVERIFY2(longestGap < 1000, qPrintable(QStringLiteral("the loop stood still for %1 ms").arg(longestGap)));
        QVERIFY2(ticks >= took.elapsed() / 100, qPrintable(QStringLiteral("%1 ticks in %2 ms").arg(ticks).arg(took.elapsed())));
        for (const quint32 size : r.sizes)
            QVERIFY(size >= 1 && size <= d.InBufSize());
    }

    void writtenTextArrives() {
        test::Pty pty;
        TCommPortDriver d;
        aim(pty, d);
        QVERIFY(d.Connect());
        const QByteArray setup = "$PSRF103,00,00,05,01*21\r\n";
        QVERIFY(d.WriteText(setup));
        QVERIFY(d.WriteText(setup));
        QByteArray got;
        QTRY_COMPARE_WITH_TIMEOUT((got += pty.readAvailable()), setup + setup, 5000);
    }

    void writeGivesUpWhenTheDeviceTakesNothing() {
        test::Pty pty;
        TCommPortDriver d;
        aim(pty, d);
        d.SetOutputTimeout(100);
        QVERIFY(d.Connect());
        // Nobody reads the other side: the device's queue fills and stays full.
        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY(!d.WriteText(QByteArray(4 * 1024 * 1024, 'x')));
        QVERIFY(elapsed.elapsed() >= 100);
        QVERIFY(elapsed.elapsed() < 20000);
        QVERIFY(d.Connected()); // a slow device is not a lost one
    }

    void hangUpClosesThePort() {
        auto pty = std::make_unique<test::Pty>();
        TCommPortDriver d;
        aim(*pty, d);
        QVERIFY(d.Connect());
        pty->hangUp();
        QTRY_VERIFY_WITH_TIMEOUT(!d.Connected(), 5000);

        // Once closed, nothing keeps the process busy: a dead handle polled in a loop would
        // burn the whole interval.
        const qint64 cpuBefore = processCpuMs();
        QTest::qWait(500);
        QVERIFY2(processCpuMs() - cpuBefore < 250, "the closed port still spins");
        d.Disconnect(); // already closed: nothing happens
        QVERIFY(!d.Connected());

        // The receiver is back (a new device under the same port): the next Connect takes it.
        pty = std::make_unique<test::Pty>();
        qputenv(PortVariable, pty->slavePath().toLocal8Bit());
        QVERIFY(d.Connect());
        Receiver r;
        r.attach(d);
        QVERIFY(pty->write("$GPRMC\r"));
        QTRY_COMPARE_WITH_TIMEOUT(r.bytes, QByteArray("$GPRMC\r"), 5000);
    }
};

QTEST_MAIN(TestSerialDriver)
#include "tst_serialdriver.moc"
