// The serial, SNTP and settings half of the load and fault suite. Every case is bounded in
// count and time and prints one line of figures; the exit status is 1 when any case fails.
// It runs itself inside tests/netns-run when started outside one. Clock settings are only
// ever recorded (KSERVER_CLOCK_LOG), in this process and in every program it starts.
//
// Usage: build/bench/soak-io [CASE-FILTER]   (a substring of the case names below; a filter
// that matches none runs nothing and succeeds)
//
//   serial-noise       random bytes at 9600 baud for 60 s with valid sentences mixed in
//   serial-replug      the receiver vanishes and returns 20 times with AUTO on
//   sntp-garbage       answers that are no answer, short, or to be disregarded
//   sntp-flood         stray and forged datagrams for the whole wait
//   sntp-late          the answer comes after the watchdog
//   settings-kill      1 000 saves killed with SIGKILL at random points
//   settings-readonly  a settings folder that cannot be written
#include "Namespace.h"
#include "ProcessStats.h"
#include "AppProcess.h"
#include "Pty.h"
#include "app/CodeLabel.h"
#include "app/TimeNow.h"
#include "log/Log.h"
#include "log/LogModel.h"
#include "platform/SettingsStore.h"
#include "platform/SystemClock.h"
#include "protocol/CivilTime.h"
#include "protocol/DateFormat.h"
#include "protocol/Nmea.h"
#include "protocol/RegFile.h"
#include "protocol/Sntp.h"

#include <QApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using namespace ks;
using Steady = std::chrono::steady_clock;

namespace {

// ---------------------------------------------------------------------------------------
// Common pieces

template <typename Done> bool pumpUntil(Done done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    return true;
}

void pumpFor(int ms) {
    pumpUntil([] { return false; }, ms);
}

QList<QByteArray> fileLines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QList<QByteArray> lines = f.readAll().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

// One case's verdict and its line of figures; the first fault found is named in the line.
struct Verdict {
    bool ok = true;
    QByteArray fault;
    void fail(const QByteArray& why) {
        if (ok) fault = why;
        ok = false;
    }
    void check(bool holds, const QByteArray& why) {
        if (!holds) fail(why);
    }
};

void report(const char* name, const Verdict& v, const QByteArray& figures) {
    std::printf("%-18s %s  %s%s%s\n", name, v.ok ? "ok  " : "FAIL", figures.constData(),
                v.ok ? "" : "  -- ", v.ok ? "" : v.fault.constData());
    std::fflush(stdout);
}

QByteArray ms(qint64 v) { return QByteArray::number(v) + " ms"; }
QByteArray mib(qint64 kib) { return QByteArray::number(double(kib) / 1024.0, 'f', 1) + " MiB"; }

// ---------------------------------------------------------------------------------------
// The serial line

const QByteArray GpsSettings = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER]\r\n"
                               "\"source\"=dword:00000001\r\n\"port\"=dword:00000001\r\n"
                               "\"baud\"=dword:00000007\r\n\"autoconnect\"=dword:00000001\r\n";
const qint64 FirstFix = msFromCivil({2009, 3, 24, 10, 0, 0, 0});

QByteArray withChecksum(const QByteArray& body) { return body + '*' + NmeaChecksum(body); }

// A good fix (7 satellites) and the RMC naming second `n` after FirstFix: the clock setting
// it causes tells which sentence was taken.
QByteArray fixPair(int n) {
    const CivilTime t = civilFromMs(FirstFix + qint64(n) * 1000);
    return withChecksum("$GPGGA," + formatDateTime("hhnnss", t) +
                        ".000,4807.038,N,01131.000,E,1,07,0.9,545.4,M,46.9,M,,") +
           "\r\n" +
           withChecksum("$GPRMC," + formatDateTime("hhnnss", t) +
                        ".000,A,4807.038,N,01131.000,E,022.4,084.4," +
                        formatDateTime("ddmmyy", t) + ",003.1,W") +
           "\r\n";
}
QByteArray settingOf(int n) { return clockLogLine(FirstFix + qint64(n) * 1000, ClockSetKind::Utc); }

// Waits until the receiver set-up sentences (all six) have come out of the pty.
bool setupArrives(test::Pty& pty, int timeoutMs) {
    const QByteArray setup = GpsSetupSentences().join();
    QByteArray got;
    return pumpUntil(
        [&] {
            got += pty.readAvailable();
            return got.contains(setup);
        },
        timeoutMs);
}

struct GpsProgram {
    test::AppProcess app;
    QString clockLog;
    explicit GpsProgram(const QString& device) {
        clockLog = app.root() + QStringLiteral("/clock.log");
        app.env.insert(QStringLiteral("KSERVER_CLOCK_LOG"), clockLog);
        app.env.insert(QStringLiteral("KSERVER_COM1"), device);
        app.writeSettings(GpsSettings);
        app.start();
    }
    qint64 pid() { return app.process().processId(); }
    bool running() { return app.process().state() == QProcess::Running; }
    bool took(int n) { return fileLines(clockLog).contains(settingOf(n)); }
    QByteArray exitText() {
        return "exit " + QByteArray::number(app.process().exitCode()) +
               (app.process().exitStatus() == QProcess::CrashExit ? " (crashed)" : "");
    }
};

// Random bytes paced at 9600 baud (960 characters a second) for 60 s, with a fix pair every
// 2 s. A pair never shares a received block with noise: a zero byte ends a block and would
// drop the pair for a legitimate reason. So before and after each pair the line waits until
// the program has read everything (the slave's input queue is empty), then 200 ms, four
// polls, for what it read to be delivered.
Verdict serialNoise(QByteArray& figures) {
    constexpr int Seconds = 60;
    constexpr int BytesPerSecond = 960;
    Verdict v;
    test::Pty pty;
    GpsProgram gps(pty.slavePath());
    if (!setupArrives(pty, 5000)) {
        v.fail("the port did not open");
        figures = "no set-up sentences";
        return v;
    }
    pumpFor(1000); // start-up is not the steady state
    const qint64 rssBefore = ks::test::processRssKiB(gps.pid());
    const qint64 cpuBefore = ks::test::processCpuMs(gps.pid());

    std::atomic<qint64> sent{0};
    std::atomic<int> pairs{0};
    std::atomic<int> refused{0};
    std::atomic<bool> done{false};
    std::thread line([&] {
        QRandomGenerator rng(20260607);
        const auto end = Steady::now() + std::chrono::seconds(Seconds);
        const auto chunkTime = std::chrono::microseconds(1'000'000 * 8 / BytesPerSecond);
        auto next = Steady::now();
        auto nextPair = next + std::chrono::seconds(2);
        auto put = [&](const QByteArray& bytes) {
            if (pty.write(bytes))
                sent += bytes.size();
            else
                ++refused;
        };
        auto drained = [&] {
            const auto limit = Steady::now() + std::chrono::seconds(3);
            int queued = 0;
            while (::ioctl(pty.slaveFd(), FIONREAD, &queued) == 0 && queued > 0) {
                if (Steady::now() > limit) {
                    ++refused; // the program stopped reading
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        };
        while (Steady::now() < end) {
            if (next >= nextPair) {
                drained();
                const QByteArray pair = "\r\n" + fixPair(pairs);
                // The pair itself at the line's rate too.
                for (qsizetype i = 0; i < pair.size(); i += 8) {
                    put(pair.mid(i, 8));
                    std::this_thread::sleep_for(chunkTime);
                }
                ++pairs;
                drained();
                next = Steady::now();
                nextPair = next + std::chrono::seconds(2);
            }
            QByteArray noise(8, Qt::Uninitialized);
            for (char& c : noise)
                c = char(rng.bounded(256));
            put(noise);
            next += chunkTime;
            std::this_thread::sleep_until(next);
        }
        done = true;
    });
    pumpUntil([&] { return done.load(); }, (Seconds + 30) * 1000);
    if (!done) v.fail("the line writer did not finish");
    line.join();
    const int total = pairs;
    pumpUntil([&] { return total == 0 || gps.took(total - 1); }, 3000);

    int taken = 0;
    for (int i = 0; i < total; ++i)
        taken += gps.took(i) ? 1 : 0;
    const qint64 rssAfter = ks::test::processRssKiB(gps.pid());
    const qint64 cpu = ks::test::processCpuMs(gps.pid()) - cpuBefore;
    const bool alive = gps.running();
    const qint64 endMs = alive ? gps.app.terminate() : -1;

    v.check(alive, "the program ended: " + gps.exitText());
    v.check(refused == 0, QByteArray::number(refused.load()) + " stalls (writes refused or bytes left unread)");
    v.check(taken == total, "sentences lost");
    // Memory stays flat: nothing of the noise is kept.
    v.check(rssAfter >= 0 && rssAfter <= rssBefore + rssBefore / 10, "resident memory grew");
    v.check(!alive || endMs >= 0, "SIGTERM did not end it");
    figures = "bytes " + QByteArray::number(sent.load()) + " in " + QByteArray::number(Seconds) +
              " s, sentences taken " + QByteArray::number(taken) + "/" + QByteArray::number(total) +
              ", rss " + mib(rssBefore) + " -> " + mib(rssAfter) + ", cpu " + ms(cpu);
    return v;
}

// The receiver goes away and comes back under the same path 20 times: a symlink named by
// KSERVER_COM1 is pointed at a new pty each time. Even rounds leave the path missing for
// a while (unplugged); odd rounds swap the device under the path at once (a different
// receiver plugged straight in). Each time the set-up sentences must reach the new device
// and a fix pair sent to it must be taken.
Verdict serialReplug(QByteArray& figures) {
    constexpr int Rounds = 20;
    Verdict v;
    QTemporaryDir dir;
    const QString link = dir.path() + QStringLiteral("/gps");
    auto pointAt = [&](const QString& target) {
        const QString next = link + QStringLiteral(".new");
        QFile::remove(next);
        return QFile::link(target, next) && ::rename(QFile::encodeName(next).constData(),
                                                       QFile::encodeName(link).constData()) == 0;
    };
    auto pty = std::make_unique<test::Pty>();
    pointAt(pty->slavePath());
    GpsProgram gps(link);
    if (!setupArrives(*pty, 5000)) {
        v.fail("the port did not open");
        figures = "no set-up sentences";
        return v;
    }
    std::vector<qint64> reopen;
    int back = 0, taken = 0;
    qint64 goneMs = 0, goneCpu = 0;
    QRandomGenerator rng(7);
    for (int round = 0; round < Rounds && gps.running(); ++round) {
        pty->hangUp();
        if (round % 2 == 0) {
            QFile::remove(link);
            const int absent = 200 + int(rng.bounded(1000));
            const qint64 cpu0 = ks::test::processCpuMs(gps.pid());
            pumpFor(absent);
            goneCpu += ks::test::processCpuMs(gps.pid()) - cpu0;
            goneMs += absent;
        }
        pty = std::make_unique<test::Pty>();
        QElapsedTimer since;
        since.start();
        if (!pointAt(pty->slavePath())) {
            v.fail("could not point the path at the new pty");
            break;
        }
        if (!setupArrives(*pty, 5000)) {
            v.fail("round " + QByteArray::number(round) + ": the port did not come back in 5 s");
            break; // the rounds after it would only wait out the same bound
        }
        reopen.push_back(since.elapsed());
        ++back;
        pty->write(fixPair(round));
        if (pumpUntil([&] { return gps.took(round); }, 2000))
            ++taken;
        else
            v.fail("round " + QByteArray::number(round) + ": a sentence on the new device was not taken");
    }
    const bool alive = gps.running();
    v.check(alive, "the program ended: " + gps.exitText());
    if (alive) v.check(gps.app.terminate() >= 0, "SIGTERM did not end it");
    // A hung-up line must not be polled in a busy loop while the receiver is away.
    const double goneLoad = goneMs > 0 ? 100.0 * double(goneCpu) / double(goneMs) : 0;
    v.check(goneLoad < 50, "busy while the receiver was away");
    std::sort(reopen.begin(), reopen.end());
    figures = "rounds " + QByteArray::number(Rounds) + ", back " + QByteArray::number(back) +
              "/" + QByteArray::number(Rounds) + ", taken " + QByteArray::number(taken) + "/" +
              QByteArray::number(Rounds);
    if (!reopen.empty())
        figures += ", reopen min " + ms(reopen.front()) + " median " +
                   ms(reopen[reopen.size() / 2]) + " max " + ms(reopen.back());
    figures += ", cpu while away " + QByteArray::number(goneLoad, 'f', 1) + "%";
    return v;
}

// ---------------------------------------------------------------------------------------
// SNTP: a fake server on 127.0.0.1:123 on a thread of its own, and the program's window
// in this process, so each attempt can be asked for as "FORCE SYNC" asks for it.

QByteArray timestampBytes(NtpTimestamp ts) {
    QByteArray b(8, '\0');
    qToBigEndian(ts.seconds, b.data());
    qToBigEndian(ts.fraction, b.data() + 4);
    return b;
}

// A server answer: LI/VN/mode byte, stratum, originate, and one time for receive and transmit.
QByteArray answerPacket(uchar first, uchar stratum, const QByteArray& originate, qint64 atMs,
                        bool zeroTransmit = false) {
    QByteArray b(24, '\0');
    b[0] = char(first);
    b[1] = char(stratum);
    const QByteArray t = timestampBytes(ntpFromMs(atMs));
    return b + originate + t + (zeroTransmit ? QByteArray(8, '\0') : t);
}

qint64 realNowMs() { return QDateTime::currentMSecsSinceEpoch(); }

class FakeNtpServer {
public:
    enum class Mode {
        Answer,          // a proper answer at once
        Random,          // five datagrams of random bytes, none of them an answer
        ShortEcho,       // 40 bytes echoing the originate timestamp
        Leap3,           // server clock not synchronised
        Stratum0,        // kiss-o'-death stratum
        Stratum16,       // unsynchronised stratum
        ZeroTransmit,    // transmit timestamp zero
        Flood,           // stray and forged datagrams for 4 s, never the answer
        FloodThenAnswer, // the same flood, with the proper answer after 1 s
        Late,            // the proper answer after 3.5 s
    };
    static constexpr qint64 ForgedAheadMs = 86'400'000; // what a taken stray would set

    ~FakeNtpServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
        if (other_ >= 0) ::close(other_);
    }
    bool start() {
        fd_ = bound(SntpDefaultPort);
        other_ = bound(0);
        if (fd_ < 0 || other_ < 0) return false;
        thread_ = std::thread([this] { run(); });
        return true;
    }
    void setMode(Mode m) { mode_ = int(m); }
    int requests() const { return requests_; }
    // True while the server is not in the middle of a slow or flooding reply.
    bool idle() const { return !serving_; }
    qint64 strays() const { return strays_; }

private:
    static int bound(quint16 port) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            if (fd >= 0) ::close(fd);
            return -1;
        }
        return fd;
    }
    void send(int fd, const QByteArray& b, const sockaddr_in& to) {
        ::sendto(fd, b.constData(), size_t(b.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
    }
    void run() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            char buf[512];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < SntpPacketSize) continue;
            ++requests_;
            serving_ = true;
            serve(QByteArray(buf + 40, 8), from);
            serving_ = false;
        }
    }
    void serve(const QByteArray& originate, const sockaddr_in& to) {
        const QByteArray proper = answerPacket(0x1C, 1, originate, realNowMs());
        switch (Mode(mode_.load())) {
        case Mode::Answer:
            send(fd_, proper, to);
            break;
        case Mode::Random:
            for (int i = 0; i < 5; ++i) {
                QByteArray junk(1 + int(rng_.bounded(100)), Qt::Uninitialized);
                for (char& c : junk)
                    c = char(rng_.bounded(256));
                send(fd_, junk, to);
            }
            break;
        case Mode::ShortEcho:
            send(fd_, proper.left(40), to);
            break;
        case Mode::Leap3:
            send(fd_, answerPacket(0xDC, 1, originate, realNowMs()), to);
            break;
        case Mode::Stratum0:
            send(fd_, answerPacket(0x1C, 0, originate, realNowMs()), to);
            break;
        case Mode::Stratum16:
            send(fd_, answerPacket(0x1C, 16, originate, realNowMs()), to);
            break;
        case Mode::ZeroTransmit:
            send(fd_, answerPacket(0x1C, 1, originate, realNowMs(), true), to);
            break;
        case Mode::Flood:
        case Mode::FloodThenAnswer:
            flood(originate, to, Mode(mode_.load()) == Mode::FloodThenAnswer);
            break;
        case Mode::Late:
            for (int i = 0; i < 35 && !stop_; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            send(fd_, answerPacket(0x1C, 1, originate, realNowMs()), to);
            break;
        }
    }
    // About 20 000 datagrams a second for 4 s, at most 100 000 in all: answers from the
    // server's port that echo another originate, forged answers that echo the right one
    // from another port, and junk. All of them a day ahead, so a taken one shows.
    void flood(const QByteArray& originate, const sockaddr_in& to, bool answerAfterASecond) {
        QByteArray wrong = originate;
        wrong[7] = char(wrong[7] ^ 0x5A);
        const auto start = Steady::now();
        auto lastAnswer = start - std::chrono::seconds(1);
        for (int burst = 0; burst < 5000 && !stop_; ++burst) {
            const auto now = Steady::now();
            if (now - start >= std::chrono::seconds(4)) break;
            // The proper answer from 1 s on, every 100 ms: under the flood the client's receive
            // queue may be full at any one moment, and one copy reaching it is enough.
            if (answerAfterASecond && now - start >= std::chrono::seconds(1) &&
                now - lastAnswer >= std::chrono::milliseconds(100)) {
                send(fd_, answerPacket(0x1C, 1, originate, realNowMs()), to);
                lastAnswer = now;
            }
            const qint64 ahead = realNowMs() + ForgedAheadMs;
            for (int i = 0; i < 20; ++i) {
                switch (i % 3) {
                case 0:
                    send(fd_, answerPacket(0x1C, 1, wrong, ahead), to);
                    break;
                case 1:
                    send(other_, answerPacket(0x1C, 1, originate, ahead), to);
                    break;
                default:
                    send(fd_, QByteArray(48, char(rng_.bounded(256))), to);
                    break;
                }
                ++strays_;
            }
            std::this_thread::sleep_until(start + std::chrono::milliseconds(burst + 1));
        }
    }

    int fd_ = -1;
    int other_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> mode_{int(Mode::Answer)};
    std::atomic<int> requests_{0};
    std::atomic<bool> serving_{false};
    std::atomic<qint64> strays_{0};
    QRandomGenerator rng_{123};
};

// stderr of this process into a file while a window lives here: its log mirror and its
// headless message boxes are read back from there, and stay off the figures.
class StderrCapture {
public:
    explicit StderrCapture(const QString& path) : path_(path) {
        std::fflush(stderr);
        saved_ = ::dup(2);
        const int fd = ::open(QFile::encodeName(path).constData(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::dup2(fd, 2);
            ::close(fd);
        }
    }
    ~StderrCapture() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            ::dup2(saved_, 2);
            ::close(saved_);
        }
    }
    QList<QByteArray> lines() const { return fileLines(path_); }

private:
    QString path_;
    int saved_ = -1;
};

// The program's main window in this process, started with private folders, its own timers
// running; clock settings recorded in its folder's clock.log.
struct InProcessWindow {
    explicit InProcessWindow(const QByteArray& settings, const QString& configHome = {})
        : err(dir.path() + QStringLiteral("/stderr.log")) {
        const QString config = configHome.isEmpty() ? dir.path() + QStringLiteral("/config") : configHome;
        QDir().mkpath(dir.path() + QStringLiteral("/runtime"));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path() + QStringLiteral("/runtime")));
        qputenv("KSERVER_CLOCK_LOG", QFile::encodeName(clockLog()));
        if (!settings.isEmpty()) {
            QDir().mkpath(config + QStringLiteral("/BREVANE"));
            QFile f(config + QStringLiteral("/BREVANE/KORVATSERVER.reg"));
            if (f.open(QIODevice::WriteOnly)) f.write(settings);
        }
        form = std::make_unique<TForm1>();
        try {
            started = form->StartUp();
        } catch (...) {
            started = false;
        }
    }
    ~InProcessWindow() {
        if (form) form->Shutdown();
        form.reset();
    }
    QString clockLog() const { return dir.path() + QStringLiteral("/clock.log"); }
    // "type|event|details" of the entries from number `from` on, for one event.
    QList<QByteArray> entries(qsizetype from, const QByteArray& event) const {
        QList<QByteArray> out;
        const QList<LogEntry>& all = form->LogFrm()->Model().entries();
        for (qsizetype i = from; i < all.size(); ++i)
            if (all[i].event == event) out.append(all[i].col + '|' + all[i].event + '|' + all[i].details);
        return out;
    }
    qsizetype logSize() const { return form->LogFrm()->Model().entries().size(); }

    QTemporaryDir dir;
    StderrCapture err;
    std::unique_ptr<TForm1> form;
    bool started = false;
};

enum class Outcome { Success, Failed, Timeout };

struct NtpAttempt {
    const char* name;
    FakeNtpServer::Mode mode;
    Outcome expected;
    qint64 minMs, maxMs; // how long the attempt may take
};

QList<QByteArray> expectedEntries(Outcome o) {
    const QByteArray start = "4|NTP Sync|Attempting Sync to 127.0.0.1";
    switch (o) {
    case Outcome::Success:
        return {start, "2|NTP Sync|Successful Sync to 127.0.0.1"};
    case Outcome::Failed:
        return {start, "0|NTP Sync|Failed Sync to 127.0.0.1"};
    case Outcome::Timeout:
        return {start, "0|NTP Sync|Connection Timeout"};
    }
    return {};
}

// Each hostile attempt is followed by a proper one, which must succeed and set the server's
// time. The watchdog is 3000 ms; an attempt it ends must end then, not when a flood stops.
Verdict ntpAttempts(const QList<NtpAttempt>& hostile, QByteArray& figures) {
    Verdict v;
    FakeNtpServer server;
    if (!server.start()) {
        v.fail("cannot serve on 127.0.0.1:123");
        return v;
    }
    InProcessWindow w("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER]\r\n"
                      "\"source\"=dword:00000003\r\n\"ntpserver\"=\"127.0.0.1\"\r\n");
    if (!w.started) {
        v.fail("the window did not start");
        return v;
    }
    const NtpAttempt proper{"answer", FakeNtpServer::Mode::Answer, Outcome::Success, 0, 1000};
    QList<NtpAttempt> plan;
    for (const NtpAttempt& a : hostile) {
        plan.append(a);
        plan.append(proper);
    }
    int attempts = 0, held = 0;
    QByteArray times;
    qint64 properMax = 0;
    for (const NtpAttempt& a : plan) {
        server.setMode(a.mode);
        const qsizetype from = w.logSize();
        const qsizetype settingsBefore = fileLines(w.clockLog()).size();
        const int requestsBefore = server.requests();
        QElapsedTimer took;
        took.start();
        w.form->btnForceClick();
        const qint64 t = took.elapsed();
        ++attempts;
        // Whatever comes late (a late answer, the rest of a flood) must not add to the
        // attempt once it has ended.
        pumpUntil([&] { return server.idle(); }, 6000);
        pumpFor(200);
        const QList<QByteArray> got = w.entries(from, "NTP Sync");
        const QList<QByteArray> settings = fileLines(w.clockLog()).mid(settingsBefore);
        bool ok = true;
        auto expect = [&](bool holds, const QByteArray& why) {
            if (!holds && ok) v.fail(QByteArray(a.name) + ": " + why);
            ok = ok && holds;
        };
        expect(got == expectedEntries(a.expected), "log " + got.join(" / "));
        expect(server.requests() - requestsBefore == 1,
               QByteArray::number(server.requests() - requestsBefore) + " requests");
        expect(t >= a.minMs && t <= a.maxMs, "took " + ms(t));
        if (a.expected == Outcome::Success) {
            // The server's own time (it answers with the real time), never a forged one.
            const QList<QByteArray> f = settings.value(0).split(' ');
            const QDateTime set = QDateTime::fromString(QString::fromLatin1(f.value(0)), Qt::ISODateWithMs);
            expect(settings.size() == 1 && f.value(1) == "local" && set.isValid() &&
                       qAbs(set.toMSecsSinceEpoch() - realNowMs()) < 5000,
                   "clock settings " + settings.join(" / "));
        } else {
            expect(settings.isEmpty(), "clock set: " + settings.join(" / "));
        }
        expect(w.form->SyncState == (a.expected == Outcome::Success ? TimeState::Synchronised : TimeState::NotSynchronised), "SyncState");
        held += ok ? 1 : 0;
        if (a.mode == FakeNtpServer::Mode::Answer)
            properMax = std::max(properMax, t);
        else
            times += QByteArray(times.isEmpty() ? "" : ", ") + a.name + " " + ms(t);
    }
    figures = "attempts " + QByteArray::number(attempts) + ", as the rules say " +
              QByteArray::number(held) + "/" + QByteArray::number(attempts) + "; " + times +
              "; proper answer after each, max " + ms(properMax);
    if (server.strays() > 0) figures += "; strays " + QByteArray::number(server.strays());
    return v;
}

Verdict sntpGarbage(QByteArray& figures) {
    using M = FakeNtpServer::Mode;
    return ntpAttempts({{"random", M::Random, Outcome::Timeout, 2900, 3600},
                        {"short", M::ShortEcho, Outcome::Failed, 0, 1000},
                        {"LI3", M::Leap3, Outcome::Failed, 0, 1000},
                        {"stratum0", M::Stratum0, Outcome::Failed, 0, 1000},
                        {"stratum16", M::Stratum16, Outcome::Failed, 0, 1000},
                        {"zero-tx", M::ZeroTransmit, Outcome::Failed, 0, 1000}},
                       figures);
}

Verdict sntpFlood(QByteArray& figures) {
    using M = FakeNtpServer::Mode;
    return ntpAttempts({{"flood", M::Flood, Outcome::Timeout, 2900, 3600},
                        {"flood+answer", M::FloodThenAnswer, Outcome::Success, 900, 2500}},
                       figures);
}

Verdict sntpLate(QByteArray& figures) {
    using M = FakeNtpServer::Mode;
    return ntpAttempts({{"late", M::Late, Outcome::Timeout, 2900, 3600},
                        {"late again", M::Late, Outcome::Timeout, 2900, 3600}},
                       figures);
}

// ---------------------------------------------------------------------------------------
// The settings file

const QByteArray Key = SettingsStore::MainKey;

// Version v of the file a saving child writes: its size changes with v, so a torn file
// can never pass for a whole one.
void fillVersion(RegFile& file, quint32 v) {
    file.set(Key, "baud", RegFile::encodeDword(6 + v % 2));
    file.set(Key, "source", RegFile::encodeDword(v % 4));
    file.set(Key, "ntpserver", RegFile::encodeString(QByteArray(64 + int(v * 7919 % 6000), char('a' + v % 26))));
    file.set(Key, "version", RegFile::encodeDword(v));
}

QByteArray versionText(quint32 v) {
    RegFile file;
    fillVersion(file, v);
    return file.serialize();
}

// The child: saves versions base, base+1, ... (at most 100 000, at most 60 s) and says
// "saved" after the first.
int saveLoop(const QString& path, quint32 base) {
    SettingsStore store(path);
    QElapsedTimer running;
    running.start();
    for (quint32 i = 0; i < 100'000 && running.elapsed() < 60'000; ++i) {
        fillVersion(store.file(), base + i);
        QString error;
        if (!store.save(&error)) return 2;
        if (i == 0) {
            std::fputs("saved\n", stdout);
            std::fflush(stdout);
        }
    }
    return 0;
}

Verdict settingsKill(QByteArray& figures) {
    constexpr int Kills = 1000;
    constexpr quint32 Span = 1'000'000; // versions of one child: round * Span upwards
    Verdict v;
    QTemporaryDir dir;
    const QString folder = dir.path() + QStringLiteral("/BREVANE");
    const QString path = folder + QStringLiteral("/KORVATSERVER.reg");
    QElapsedTimer took;
    took.start();
    int kills = 0, whole = 0;
    quint64 versionsSaved = 0;
    QRandomGenerator rng(1000);
    for (int round = 0; round < Kills && took.elapsed() < 240'000; ++round) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KS_SOAK_SAVE_LOOP"), path);
        env.insert(QStringLiteral("KS_SOAK_SAVE_BASE"), QString::number(quint32(round) * Span));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {});
        if (!child.waitForReadyRead(5000)) {
            v.fail("round " + QByteArray::number(round) + ": the child never saved (exit " +
                   QByteArray::number(child.exitCode()) + ")");
            child.kill();
            child.waitForFinished(5000);
            break;
        }
        // 0-8 ms into the loop: a save takes well under that, so kills land all over it.
        QThread::usleep(rng.bounded(8000));
        ::kill(pid_t(child.processId()), SIGKILL);
        if (!child.waitForFinished(5000)) {
            v.fail("a killed child did not end");
            break;
        }
        ++kills;
        QFile f(path);
        const QByteArray text = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        RegFile::ParseError err;
        const std::optional<RegFile> parsed = RegFile::parse(text, &err);
        const QByteArray* version = parsed ? parsed->find(Key, "version") : nullptr;
        const quint32 saved = version ? RegFile::decode(*version).dword : 0;
        const bool ok = !text.isEmpty() && version && saved >= quint32(round) * Span &&
                        saved < quint32(round + 1) * Span && text == versionText(saved) &&
                        (QFileInfo(path).permissions() & (QFile::ReadGroup | QFile::ReadOther)) == 0;
        if (ok) {
            ++whole;
            versionsSaved += saved - quint32(round) * Span + 1;
        } else {
            v.fail("round " + QByteArray::number(round) + ": file not whole (" +
                   QByteArray::number(text.size()) + " bytes" +
                   (parsed ? QByteArray() : ", line " + QByteArray::number(err.line) + " " + err.reason) + ")");
        }
    }
    // A kill before the rename leaves the one temporary file that the next save reuses;
    // more than that would pile up over months of crashes and power cuts.
    const qsizetype leftovers = QDir(folder).entryList(QDir::Files | QDir::Hidden).size() - 1;
    v.check(kills == Kills, "only " + QByteArray::number(kills) + " kills within the time bound");
    v.check(leftovers <= 1, QByteArray::number(leftovers) + " temporary files left beside it");
    figures = "kills " + QByteArray::number(kills) + ", whole files " + QByteArray::number(whole) +
              "/" + QByteArray::number(kills) + ", saves completed " + QByteArray::number(versionsSaved) +
              ", temporary files left beside it " + QByteArray::number(leftovers) + ", time " +
              QByteArray::number(double(took.elapsed()) / 1000.0, 'f', 1) + " s";
    return v;
}

// Whether a folder really refuses new files (as root, permissions may not be enforced).
bool refusesWrites(const QString& folder) {
    QFile probe(folder + QStringLiteral("/probe"));
    if (probe.open(QIODevice::WriteOnly)) {
        probe.close();
        probe.remove();
        return false;
    }
    return true;
}

// Runs korvat-probe against the window in this process; its exit code (0: a well-formed
// reply), -1 when it did not end in time.
int probeRequest(qint64& tookMs) {
    QProcess probe;
    QElapsedTimer t;
    t.start();
    probe.start(QStringLiteral(KS_PROBE_BIN),
                {QStringLiteral("request"), QStringLiteral("127.0.0.1"), QStringLiteral("--timeout"),
                 QStringLiteral("5000")});
    const bool ended = pumpUntil([&] { return probe.state() == QProcess::NotRunning; }, 10000);
    tookMs = t.elapsed();
    if (!ended) {
        probe.kill();
        probe.waitForFinished(5000);
        return -1;
    }
    return probe.exitStatus() == QProcess::NormalExit ? probe.exitCode() : -2;
}

// The settings folder cannot be written: a change in the panel is refused with "Failed to
// set data for 'baud'" (the first value written), the change stays in force in memory, and
// the program goes on: it still answers requests, and saves again once the folder is back.
Verdict settingsReadOnly(QByteArray& figures) {
    Verdict v;
    QTemporaryDir home;
    const QString config = home.path() + QStringLiteral("/config");
    const QString folder = config + QStringLiteral("/BREVANE");
    QDir().mkpath(folder);
    QByteArray how = "read-only folder";
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
    if (!refusesWrites(folder)) {
        // Permissions are not enforced here (root): a file where the folder should be.
        QDir().rmdir(folder);
        how = "a file in place of the folder";
        QFile blocker(folder);
        if (!blocker.open(QIODevice::WriteOnly)) {
            v.fail("cannot set up the unwritable folder");
            return v;
        }
    }
    const QByteArray message = "Korvat Server: Failed to set data for 'baud'";
    int messages = 0, answered = 0;
    qint64 probeMs = 0;
    bool recovered = false;
    {
        InProcessWindow w({}, config);
        if (!w.started) {
            v.fail("the window did not start");
            return v;
        }
        for (int click = 0; click < 2; ++click) {
            w.form->lblAutoClick();
            const int shown = int(w.err.lines().count(message));
            v.check(shown == click + 1, "no \"Failed to set data for 'baud'\" after click " +
                                            QByteArray::number(click + 1));
            messages = shown;
            v.check(w.form->Config.AutoConnect == (click == 0), "the change was not kept in memory");
            const int rc = probeRequest(probeMs);
            v.check(rc == 0, "korvat-probe request: exit " + QByteArray::number(rc));
            answered += rc == 0 ? 1 : 0;
        }
        v.check(!QFileInfo(config + QStringLiteral("/BREVANE/KORVATSERVER.reg")).exists(), "a file appeared");

        v.check(w.form->Timer1->isActive(), "the tick stopped");

        // The folder comes back: the next change is saved whole.
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (QFileInfo(folder).isFile()) QFile::remove(folder);
        w.form->lblAutoClick();
        SettingsStore store(config + QStringLiteral("/BREVANE/KORVATSERVER.reg"));
        try {
            const QByteArray* autoconnect = store.open() ? store.file().find(Key, "autoconnect") : nullptr;
            const QByteArray* gmt = store.file().find(Key, "gmt");
            recovered = autoconnect && gmt && RegFile::decode(*autoconnect).dword == 1;
        } catch (...) {
            recovered = false;
        }
        v.check(recovered, "no whole file after the folder came back");
        v.check(w.err.lines().count(message) == messages, "a message after the folder came back");
    }
    figures = QByteArray("(") + how + ") messages " + QByteArray::number(messages) +
              "/2, requests answered meanwhile " + QByteArray::number(answered) + "/2 (last " +
              ms(probeMs) + "), saved again after recovery: " + (recovered ? "yes" : "no");
    return v;
}

struct Case {
    const char* name;
    std::function<Verdict(QByteArray&)> run;
};

} // namespace

int main(int argc, char* argv[]) {
    const QByteArray saveLoopPath = qgetenv("KS_SOAK_SAVE_LOOP");
    if (!saveLoopPath.isEmpty())
        return saveLoop(QFile::decodeName(saveLoopPath), qgetenv("KS_SOAK_SAVE_BASE").toUInt());

    // The program listens, multicasts and is asked to set the clock: only ever inside a
    // private namespace.
    if (!ks::test::ensurePrivateNamespace(argc, argv)) return 1;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("TZ", "UTC");
    // Until a case names its own record, settings made in this process go nowhere real.
    QTemporaryDir scratch;
    qputenv("KSERVER_CLOCK_LOG", QFile::encodeName(scratch.path() + QStringLiteral("/clock.log")));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(scratch.path()));
    ::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    const QByteArray filter = argc > 1 ? QByteArray(argv[1]) : QByteArray();

    const Case cases[] = {
        {"serial-noise", serialNoise},   {"serial-replug", serialReplug},
        {"sntp-garbage", sntpGarbage},   {"sntp-flood", sntpFlood},
        {"sntp-late", sntpLate},         {"settings-kill", settingsKill},
        {"settings-readonly", settingsReadOnly},
    };
    bool allHeld = true;
    for (const Case& c : cases) {
        if (!QByteArray(c.name).contains(filter)) continue;
        QByteArray figures;
        QElapsedTimer t;
        t.start();
        const Verdict v = c.run(figures);
        figures += " [" + QByteArray::number(double(t.elapsed()) / 1000.0, 'f', 1) + " s]";
        report(c.name, v, figures);
        allHeld = allHeld && v.ok;
    }
    return allHeld ? 0 : 1;
}
