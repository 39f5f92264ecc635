// GPS input figures, inside a private network namespace (it runs itself under
// tests/netns-run when started outside one):
//  1. latency: a receiver on a pseudo-terminal sends GGA (7 satellites) + RMC pairs at the
//     character rate of 4800 and 9600 baud; the time from writing the carriage return of each
//     $GPRMC to the clock setting, in-process with a recording clock and the program's own
//     event loop;
//  2. idle cost: CPU time of the program as a process (/proc/<pid>/stat) on the PC clock, with
//     the GPS port open and the receiver silent, and with the receiver unplugged and AUTO on.
// Usage: build/bench/gps-latency [SENTENCES (100)] [IDLE-SECONDS (10)]
#include "soak.h"

#include "Namespace.h"
#include "platform/SystemClock.h"

#include <QApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QRandomGenerator>

#include <condition_variable>
#include <map>
#include <mutex>
#include <numeric>
#include <thread>

using namespace ks;
using namespace ks::soak;
using Steady = std::chrono::steady_clock;

namespace {

// Real time to read; settings are only recorded, with the moment each was asked for.
class RecordingClock final : public SystemClock {
public:
    RecordingClock() { installSystemClock(this); }
    ~RecordingClock() override { installSystemClock(nullptr); }
    qint64 nowMs() const override { return QDateTime::currentMSecsSinceEpoch(); }
    bool setTime(qint64 utcMs, ClockSetKind, QString*) override {
        const auto now = Steady::now();
        std::lock_guard lock(mutex);
        settings.emplace(utcMs, now);
        changed.notify_all();
        return true;
    }
    bool slew(double, QString*) override { return false; } // measured with the default step
    bool setFrequency(double, QString*) override { return false; }

    std::mutex mutex;
    std::condition_variable changed;
    std::map<qint64, Steady::time_point> settings;
};

void latency(int baudCode, int bitsPerSecond, int pairs) {
    test::Pty pty;
    qputenv("KSERVER_COM1", pty.slavePath().toLocal8Bit());
    RecordingClock clock;
    test::LiveWindow w(gpsSettings(baudCode));
    if (!setupArrives(pty)) {
        std::printf("  %5d baud: the port did not open\n", bitsPerSecond);
        return;
    }

    // The receiver, on a thread of its own: one character at a time at the line's rate
    // (start bit, 8 data bits, stop bit).
    const auto charTime = std::chrono::microseconds(10'000'000 / bitsPerSecond);
    std::vector<double> delays;
    int lost = 0;
    QEventLoop loop;
    std::thread receiver([&] {
        auto next = Steady::now();
        auto send = [&](const QByteArray& bytes) {
            for (const char c : bytes) {
                std::this_thread::sleep_until(next);
                pty.write(QByteArray(1, c));
                next += charTime;
            }
        };
        for (int i = 0; i < pairs; ++i) {
            // A pause of 0-100 ms, so the carriage returns fall at every phase of the ticks.
            next = Steady::now() + std::chrono::microseconds(QRandomGenerator::global()->bounded(100'000));
            send(fixPair(i).chopped(2));
            std::this_thread::sleep_until(next);
            const auto cr = Steady::now();
            pty.write("\r");
            next = cr + charTime;
            send("\n");
            const qint64 instant = FirstFix + qint64(i) * 1000;
            std::unique_lock lock(clock.mutex);
            if (clock.changed.wait_for(lock, std::chrono::seconds(1),
                                       [&] { return clock.settings.count(instant) != 0; }))
                delays.push_back(
                    std::chrono::duration<double, std::milli>(clock.settings[instant] - cr).count());
            else ++lost;
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec(); // the program's own loop: ticks, the serial port, everything as usual
    receiver.join();

    const double sum = std::accumulate(delays.begin(), delays.end(), 0.0);
    std::printf("  %5d baud: %zu set, %d lost; p50 %5.1f ms  p99 %5.1f ms  max %5.1f ms  "
                "mean %5.1f ms\n",
                bitsPerSecond, delays.size(), lost, percentile(delays, 50), percentile(delays, 99),
                percentile(delays, 100), delays.empty() ? 0.0 : sum / double(delays.size()));
}

qint64 idleFigure(const char* name, qint64 pid, int seconds) {
    test::pumpFor(2000); // starting and connecting are not idle
    const qint64 before = test::processCpuMs(pid);
    test::pumpFor(seconds * 1000);
    const qint64 used = test::processCpuMs(pid) - before;
    std::printf("  %-40s cpu %5lld ms over %d s (%.3f%%)\n", name, static_cast<long long>(used), seconds,
                double(used) / (seconds * 10.0));
    return used;
}

void idleCost(int seconds) {
    qint64 pcClock = 0;
    {
        GpsProgram pc({});
        pcClock = idleFigure("PC clock, no serial port", pc.pid(), seconds);
        pc.app.terminate();
    }
    test::Pty pty;
    GpsProgram gps(pty.slavePath());
    if (!setupArrives(pty)) {
        std::printf("  GPS: the port did not open\n");
        return;
    }
    const qint64 silent = idleFigure("GPS, port open, receiver silent", gps.pid(), seconds);
    std::printf("  GPS silent against the PC clock: %.2fx (target <= 1.5x)\n",
                double(silent) / double(std::max<qint64>(pcClock, 1)));
    pty.hangUp();
    idleFigure("GPS, receiver unplugged, AUTO on", gps.pid(), seconds);
    gps.app.terminate();
}

} // namespace

int main(int argc, char* argv[]) {
    if (!ks::soak::startInNamespace(argc, argv)) return 1;
    QApplication app(argc, argv);
    const int pairs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;

    std::printf("CR of a $GPRMC -> clock setting, %d GGA+RMC pairs at the line's character "
                "rate (8N1), read on arrival (target p99 <= 2 ms):\n",
                pairs);
    latency(6, 4800, pairs);
    latency(7, 9600, pairs);
    std::printf("Idle CPU of korvat-server, after 2 s to settle:\n");
    idleCost(seconds);
    return 0;
}
