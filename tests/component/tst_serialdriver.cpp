// The serial driver on a pseudo-terminal, script by script from tests/golden/serial.
#include "Golden.h"
#include "Pty.h"
#include "Wait.h"
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
// then reports the setting as refused), where a UART keeps what it was told. So that these
// bits show like the rest, this process sees its pseudo-terminals as UARTs: they are kept per
// device on the way into the C library and put back on the way out.
namespace {
constexpr tcflag_t UartOnlyBits = CSIZE | PARENB;
std::map<dev_t, tcflag_t> keptBits;

bool isPtySlave(int fd, dev_t* device) {
    struct stat s {};
    if (::fstat(fd, &s) != 0 || !S_ISCHR(s.st_mode)) return false;
    *device = s.st_rdev;
    return major(s.st_rdev) >= 136 && major(s.st_rdev) <= 143; // UNIX 98 pty slaves
}
template <typename F> F libc(const char* name) {
    F f = nullptr;
    void* symbol = ::dlsym(RTLD_NEXT, name);
    std::memcpy(&f, &symbol, sizeof f);
    return f;
}
} // namespace

extern "C" int tcsetattr(int fd, int action, const termios* settings) noexcept {
    static const auto real = libc<int (*)(int, int, const termios*)>("tcsetattr");
    dev_t device;
    if (!settings || !isPtySlave(fd, &device)) return real(fd, action, settings);
    termios accepted = *settings;
    accepted.c_cflag = (accepted.c_cflag & ~UartOnlyBits) | CS8;
    const int result = real(fd, action, &accepted);
    if (result == 0) keptBits[device] = settings->c_cflag & UartOnlyBits;
    return result;
}

extern "C" int tcgetattr(int fd, termios* settings) noexcept {
    static const auto real = libc<int (*)(int, termios*)>("tcgetattr");
    const int result = real(fd, settings);
    dev_t device;
    if (result == 0 && isPtySlave(fd, &device) && keptBits.count(device))
        settings->c_cflag = (settings->c_cflag & ~UartOnlyBits) | keptBits[device];
    return result;
}

namespace {
qint64 processCpuMs() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
}

// The driver under test, with what it delivered: the bytes and any block that broke a rule.
struct Rig {
    std::unique_ptr<test::Pty> pty = std::make_unique<test::Pty>();
    TCommPortDriver d;
    QByteArray got, faults;
    Rig() {
        qputenv("KSERVER_COM3", pty->slavePath().toLocal8Bit());
        d.OnReceiveData = [this](TCommPortDriver* sender, const char* data, quint32 size) {
            if (sender != &d || QThread::currentThread() != qApp->thread() || size < 1 || size > d.InBufSize())
                faults += " block of " + QByteArray::number(size) + " off the rules";
            got.append(data, size);
        };
    }
    // Waits for `bytes` to arrive whole; says what came otherwise.
    QByteArray receive(const QByteArray& bytes) {
        test::waitUntil([&] { return got.size() >= bytes.size(); }, 120'000);
        const QByteArray out = got == bytes ? "whole" + faults : "got " + test::caseText(got) + faults;
        got.clear();
        return out;
    }
};

QByteArray yesNo(bool b) { return b ? "yes" : "no"; }

// One script line's effect, as text.
QByteArray step(Rig& r, const QByteArray& word, const QList<QByteArray>& args) {
    TCommPortDriver& d = r.d;
    if (word == "set") { // in the order given, as the panel calls them
        for (const QByteArray& a : args) {
            const QByteArray key = a.left(a.indexOf('=')), value = a.mid(a.indexOf('=') + 1);
            const int n = value.toInt();
            if (key == "baud") d.SetBaudRate(TBaudRate(n));
            else if (key == "data") d.SetDataBits(TDataBits(n));
            else if (key == "parity") d.SetParity(TParity(n));
            else if (key == "stop") d.SetStopBits(TStopBits(n));
            else if (key == "hw") d.SetHwFlow(THwFlowControl(n));
            else if (key == "sw") d.SetSwFlow(TSwFlowControl(n));
            else if (key == "inbuf") d.SetInBufSize(quint32(n));
            else if (key == "timeout") d.SetOutputTimeout(quint16(n));
            else if (key == "port") d.SetPort(TPortNumber(n));
            else if (key == "name") d.SetPortName(value == "pty" ? r.pty->slavePath() : QString::fromLocal8Bit(value));
            else if (key == "lookup")
                d.setPortsLookup([&r, value](const QString& com) { return com == QString::fromLatin1(value) ? r.pty->slavePath() : QString(); });
            else if (key == "COM3") qputenv("KSERVER_COM3", value);
            else return "unknown setting " + key;
        }
        return {};
    }
    if (word == "show")
        return "baud " + QByteArray::number(d.BaudRateValue()) + ", inbuf " + QByteArray::number(d.InBufSize()) +
               ", port " + QByteArray::number(d.Port()) + ' ' + d.PortName().toLocal8Bit();
    if (word == "connect" || word == "other") {
        TCommPortDriver other;
        other.SetPort(TPortNumber(3));
        TCommPortDriver& which = word == "other" ? other : d;
        const bool ok = which.Connect();
        return yesNo(ok) + ", exclusive " + yesNo(r.pty->exclusive()) + (ok ? "" : ": " + which.LastError().toLocal8Bit());
    }
    if (word == "open") { // as any other program would
        const int fd = ::open(r.pty->slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        const QByteArray out = fd >= 0 ? "opened" : QByteArray("refused: ") + ::strerror(errno);
        if (fd >= 0) ::close(fd);
        return out;
    }
    if (word == "line") {
        const termios t = r.pty->lineSettings();
        QByteArray out;
        for (const speed_t code : {::cfgetospeed(&t), ::cfgetispeed(&t)})
            out += code == B4800 ? "4800 " : code == B9600 ? "9600 " : "code " + QByteArray::number(code) + ' ';
        out.chop(1);
        out += (t.c_cflag & CSIZE) == CS7 ? " cs7" : (t.c_cflag & CSIZE) == CS8 ? " cs8" : " cs?";
        out += !(t.c_cflag & PARENB) ? " none" : t.c_cflag & PARODD ? " odd" : " even";
        for (const auto& [bit, name] : {std::pair{CSTOPB, "cstopb"}, {CRTSCTS, "crtscts"}})
            out += QByteArray(t.c_cflag & bit ? " " : " -") + name;
        for (const auto& [bit, name] : {std::pair{IXON, "ixon"}, {IXOFF, "ixoff"}, {INPCK, "inpck"}})
            out += QByteArray(t.c_iflag & bit ? " " : " -") + name;
        return out;
    }
    if (word == "disconnect") d.Disconnect();
    if (word == "disconnect" || word == "connected")
        return "connected " + yesNo(d.Connected()) + ", exclusive " + yesNo(r.pty->exclusive());
    if (word == "send") return yesNo(r.pty->write(test::caseBytes(args.value(0))));
    if (word == "receive") return r.receive(test::caseBytes(args.value(0)));
    if (word == "burst") {
        QByteArray burst;
        for (int i = 0; i < args.value(0).toInt(); ++i) burst.append(char('A' + i % 26));
        const QByteArray written = yesNo(r.pty->write(burst));
        return written + ", " + r.receive(burst);
    }
    if (word == "write") {
        const QByteArray text = args.isEmpty() ? QByteArray() : test::caseBytes(args.value(0));
        QElapsedTimer took;
        took.start();
        const bool ok = d.WriteText(args.value(0) == "stuck" ? QByteArray(4 << 20, 'x') : text);
        return yesNo(ok) + (!ok && took.elapsed() < d.OutputTimeout() ? " at once" : "");
    }
    if (word == "device") {
        const QByteArray want = test::caseBytes(args.value(0));
        QByteArray got;
        test::waitUntil([&] { return (got += r.pty->readAvailable()).size() >= want.size(); }, 5000);
        return test::caseText(got);
    }
    if (word == "hangup") {
        r.pty->hangUp();
        test::waitUntil([&] { return !d.Connected(); }, 5000);
        // Once closed nothing keeps the process busy: a dead handle polled in a loop would not.
        const qint64 cpuBefore = processCpuMs();
        test::pumpFor(500);
        return "connected " + yesNo(d.Connected()) + ", busy " + yesNo(processCpuMs() - cpuBefore >= 250);
    }
    if (word == "replug") {
        r.pty = std::make_unique<test::Pty>();
        qputenv("KSERVER_COM3", r.pty->slavePath().toLocal8Bit());
        return {};
    }
    return "unknown command";
}
} // namespace

class TestSerialDriver : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (qEnvironmentVariableIsEmpty("KS_IN_NETNS")) // where no privilege opens past TIOCEXCL
            QSKIP("run inside tests/netns-run");
    }
    void scripts_data() { test::goldenRows("serial", ".script"); }
    void scripts() {
        QFETCH(QString, path);
        Rig r;
        QByteArray actual;
        for (const QByteArray& line : test::scriptLines(path)) {
            const QList<QByteArray> words = line.split(' ');
            const QByteArray out = step(r, words.first(), words.mid(1));
            actual += line + (out.isEmpty() ? "" : " -> " + out) + '\n';
        }
        actual.replace(r.pty->slavePath().toLocal8Bit(), "PTY");
        qunsetenv("KSERVER_COM3");
        KS_COMPARE_GOLDEN(actual, test::expectedPath(path));
    }

    // A receiver that sends without pause and without a carriage return does not hold up the
    // loop: a 10 ms timer keeps ticking while every byte arrives, a block at a time.
    void floodLeavesTheLoopItsPace() {
        Rig r;
        r.d.SetPort(TPortNumber(3));
        QVERIFY(r.d.Connect());
        const QByteArray flood(8 * 1024 * 1024, 'x');
        bool written = false;
        std::thread writer([&] { written = r.pty->write(flood); });
        QElapsedTimer sinceTick, took;
        sinceTick.start();
        took.start();
        qint64 longestGap = 0, ticks = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, [&] {
            longestGap = qMax(longestGap, sinceTick.restart());
            ++ticks;
        });
        tick.start(10);
        QCOMPARE(r.receive(flood), "whole");
        writer.join();
        QVERIFY(written);
        QVERIFY2(longestGap < 1000, qPrintable(QStringLiteral("the loop stood still for %1 ms").arg(longestGap)));
        QVERIFY2(ticks >= took.elapsed() / 100, qPrintable(QStringLiteral("%1 ticks in %2 ms").arg(ticks).arg(took.elapsed())));
        qunsetenv("KSERVER_COM3");
    }
};

QTEST_MAIN(TestSerialDriver)
#include "tst_serialdriver.moc"
