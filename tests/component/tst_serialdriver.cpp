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

dev_t ptySlave(int fd) { // 0 for anything else
    struct stat s {};
    const bool pty = ::fstat(fd, &s) == 0 && S_ISCHR(s.st_mode) && major(s.st_rdev) >= 136 &&
                     major(s.st_rdev) <= 143; // UNIX 98 pty slaves
    return pty ? s.st_rdev : 0;
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
    const dev_t device = ptySlave(fd);
    if (!settings || !device) return real(fd, action, settings);
    termios accepted = *settings;
    accepted.c_cflag = (accepted.c_cflag & ~UartOnlyBits) | CS8;
    const int result = real(fd, action, &accepted);
    if (result == 0) keptBits[device] = settings->c_cflag & UartOnlyBits;
    return result;
}

extern "C" int tcgetattr(int fd, termios* settings) noexcept {
    static const auto real = libc<int (*)(int, termios*)>("tcgetattr");
    const int result = real(fd, settings);
    const auto kept = keptBits.find(ptySlave(fd));
    if (result == 0 && kept != keptBits.end())
        settings->c_cflag = (settings->c_cflag & ~UartOnlyBits) | kept->second;
    return result;
}

namespace {
qint64 cpuMs() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
}
QByteArray yesNo(bool b) {
    return b ? "yes" : "no";
}

// The driver under test on COM3, the receiver on the pseudo-terminal's other side.
struct Rig {
    std::unique_ptr<test::Pty> pty = std::make_unique<test::Pty>();
    TCommPortDriver d;
    QByteArray got, faults; // what the driver delivered; blocks that broke a rule

    Rig() {
        qputenv("KSERVER_COM3", pty->slavePath().toLocal8Bit());
        d.OnReceiveData = [this](TCommPortDriver* sender, const char* data, quint32 size) {
            if (sender != &d || QThread::currentThread() != qApp->thread() || size < 1 ||
                size > d.InBufSize())
                faults += " block of " + QByteArray::number(size) + " off the rules";
            got.append(data, size);
        };
    }
    ~Rig() { qunsetenv("KSERVER_COM3"); }

    // Sends `bytes` as the receiver (from a thread of its own, so that the loop runs meanwhile)
    // and waits for them to arrive whole; says what came otherwise.
    QByteArray receive(const QByteArray& bytes, bool send = true) {
        bool written = !send;
        std::thread writer([&] { written = written || pty->write(bytes); });
        test::waitUntil([&] { return got.size() >= bytes.size(); }, 120'000);
        writer.join();
        const QByteArray out = got == bytes
                                   ? "whole" + faults
                                   : "got " + QByteArray::number(got.size()) +
                                         " bytes: " + test::caseText(got.left(60)) + faults;
        got.clear();
        return (written ? "" : "not sent, ") + out;
    }

    // One script line's effect, as text.
    QByteArray step(const QByteArray& word, const QList<QByteArray>& args) {
        const QByteArray arg = test::caseBytes(args.value(0));
        if (word == "set") { // in the order given, as the panel calls them
            using Setter = void (*)(TCommPortDriver&, int);
            static const std::map<QByteArray, Setter> setters = {
                {"baud", [](TCommPortDriver& d, int n) { d.SetBaudRate(TBaudRate(n)); }},
                {"data", [](TCommPortDriver& d, int n) { d.SetDataBits(TDataBits(n)); }},
                {"parity", [](TCommPortDriver& d, int n) { d.SetParity(TParity(n)); }},
                {"stop", [](TCommPortDriver& d, int n) { d.SetStopBits(TStopBits(n)); }},
                {"hw", [](TCommPortDriver& d, int n) { d.SetHwFlow(THwFlowControl(n)); }},
                {"sw", [](TCommPortDriver& d, int n) { d.SetSwFlow(TSwFlowControl(n)); }},
                {"inbuf", [](TCommPortDriver& d, int n) { d.SetInBufSize(quint32(n)); }},
                {"timeout", [](TCommPortDriver& d, int n) { d.SetOutputTimeout(quint16(n)); }},
                {"port", [](TCommPortDriver& d, int n) { d.SetPort(TPortNumber(n)); }}};
            for (const QByteArray& a : args) {
                const QByteArray key = a.left(a.indexOf('=')), value = a.mid(a.indexOf('=') + 1);
                const QString path =
                    value == "pty" ? pty->slavePath() : QString::fromLocal8Bit(value);
                if (setters.count(key)) setters.at(key)(d, value.toInt());
                if (key == "name") d.SetPortName(path);
                if (key == "COM3") qputenv("KSERVER_COM3", value);
                if (key == "lookup")
                    d.setPortsLookup([this, com = path](const QString& name) {
                        return name == com ? pty->slavePath() : QString();
                    });
            }
            return {};
        }
        if (word == "show")
            return "baud " + QByteArray::number(d.BaudRateValue()) + ", inbuf " +
                   QByteArray::number(d.InBufSize()) + ", port " + QByteArray::number(d.Port()) +
                   ' ' + d.PortName().toLocal8Bit();
        if (word == "connect" || word == "other") {
            TCommPortDriver other;
            other.SetPort(TPortNumber(3));
            TCommPortDriver& which = word == "other" ? other : d;
            const bool ok = which.Connect();
            return yesNo(ok) + ", exclusive " + yesNo(pty->exclusive()) +
                   (ok ? "" : ": " + which.LastError().toLocal8Bit());
        }
        if (word == "open") { // as any other program would
            const int fd = ::open(pty->slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
            const QByteArray out = fd >= 0 ? "opened" : QByteArray("refused: ") + ::strerror(errno);
            if (fd >= 0) ::close(fd);
            return out;
        }
        if (word == "line") {
            const termios t = pty->lineSettings();
            QByteArray out;
            for (const speed_t code : {::cfgetospeed(&t), ::cfgetispeed(&t)})
                out += code == B4800   ? "4800 "
                       : code == B9600 ? "9600 "
                                       : "code " + QByteArray::number(code) + ' ';
            out += (t.c_cflag & CSIZE) == CS7 ? "cs7" : (t.c_cflag & CSIZE) == CS8 ? "cs8" : "cs?";
            out += !(t.c_cflag & PARENB) ? " none" : t.c_cflag & PARODD ? " odd" : " even";
            for (const auto& [flags, bit, name] : {std::tuple{t.c_cflag, CSTOPB, "cstopb"},
                                                   {t.c_cflag, CRTSCTS, "crtscts"},
                                                   {t.c_iflag, IXON, "ixon"},
                                                   {t.c_iflag, IXOFF, "ixoff"},
                                                   {t.c_iflag, INPCK, "inpck"}})
                out += QByteArray(flags & bit ? " " : " -") + name;
            return out;
        }
        if (word == "disconnect") d.Disconnect();
        if (word == "disconnect" || word == "connected")
            return "connected " + yesNo(d.Connected()) + ", exclusive " + yesNo(pty->exclusive());
        if (word == "send") return yesNo(pty->write(arg));
        if (word == "receive" || word == "received") return receive(arg, word == "receive");
        if (word == "burst") {
            QByteArray burst;
            for (int i = 0; i < args.value(0).toInt(); ++i)
                burst.append(char('A' + i % 26));
            return receive(burst);
        }
        if (word == "flood") { // a 10 ms timer keeps its pace while it all arrives
            QElapsedTimer sinceTick, took;
            qint64 longestGap = 0, ticks = 0;
            QTimer tick;
            QObject::connect(&tick, &QTimer::timeout, [&] {
                longestGap = qMax(longestGap, sinceTick.restart());
                ++ticks;
            });
            tick.start(10);
            sinceTick.start();
            took.start();
            const QByteArray out = receive(QByteArray(args.value(0).toInt(), 'x'));
            const bool paced = longestGap < 1000 && ticks >= took.elapsed() / 100;
            return out + (paced ? ", the loop kept its pace"
                                : ", the loop stood still for " + QByteArray::number(longestGap) +
                                      " ms, " + QByteArray::number(ticks) + " ticks");
        }
        if (word == "write") {
            QElapsedTimer took;
            took.start();
            const bool ok = d.WriteText(arg == "stuck" ? QByteArray(4 << 20, 'x') : arg);
            return yesNo(ok) + (!ok && took.elapsed() < d.OutputTimeout() ? " at once" : "");
        }
        if (word == "device") {
            QByteArray got;
            test::waitUntil([&] { return (got += pty->readAvailable()).size() >= arg.size(); },
                            5000);
            return test::caseText(got);
        }
        if (word == "hangup") {
            pty->hangUp();
            test::waitUntil([&] { return !d.Connected(); }, 5000);
            // Once closed nothing keeps the process busy: a dead handle polled in a loop would.
            const qint64 cpuBefore = cpuMs();
            test::pumpFor(500);
            return "connected " + yesNo(d.Connected()) + ", busy " +
                   yesNo(cpuMs() - cpuBefore >= 250);
        }
        if (word == "replug") {
            pty = std::make_unique<test::Pty>();
            qputenv("KSERVER_COM3", pty->slavePath().toLocal8Bit());
            return {};
        }
        return "unknown step";
    }
};
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
            const QByteArray out = r.step(words.first(), words.mid(1));
            actual += line + (out.isEmpty() ? "" : " -> " + out) + '\n';
        }
        KS_COMPARE_GOLDEN(actual.replace(r.pty->slavePath().toLocal8Bit(), "PTY"),
                          test::expectedPath(path));
    }
};

QTEST_MAIN(TestSerialDriver)
#include "tst_serialdriver.moc"
