// GPS time accuracy, inside a private network namespace (it runs itself under tests/netns-run
// when started outside one). A simulated receiver on a pseudo-terminal sends, for each second
// S, a GGA and an RMC naming S, the RMC's carriage return written at S + 137 ms + jitter
// (normal, sigma 8 ms) and in 1 % of the seconds 200 ms later still. Three configurations:
//  1. gpsdelay 0: the program as a process with KSERVER_CLOCK_LOG, on the real clock; the
//     error of each setting (the instant set minus the true instant at the CR), and the
//     lateness median and spread korvat-probe status shows;
//  2. gpsdelay = that median: the same error again;
//  3. slew 1 with gpsdelay = that median: the window in this process on a model clock that
//     starts 2.5 s ahead and applies what is set and slewed (a slew at 0.5 ms per second, as
//     adjtime does); the receiver runs on simulated time, so minutes take seconds. The
//     clock's error at each CR after 2 minutes (p99 of its size), and the steps backwards
//     after the first setting.
//  4. the time core alone on a model clock 50 ppm fast whose frequency wanders (0.05 ppm an
//     hour, a random walk), time compressed: NTP answers with 1 ms of noise once an hour, slewing
//     and stepping; GPS for an hour (the receiver above, gpsdelay its median), then an hour
//     without samples. The error before each NTP answer after 6 h, at the end of the GPS gap,
//     the frequency correction against the model's, and how well the error estimate bounds
//     the true error (sampled every 10 s).
// Usage: build/bench/gps-discipline [SECONDS-1 (60)] [SECONDS-2 (30)] [SECONDS-3 (240)]
//        build/bench/gps-discipline model    (configuration 4 alone)
#include "soak.h"

#include "Namespace.h"
#include "app/TimeCore.h"
#include "components/CPDrv.h"
#include "platform/StatusServer.h"

#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <atomic>
#include <map>
#include <random>
#include <thread>

using namespace ks;
using namespace ks::soak;

namespace {

constexpr double DelayMs = 137, SigmaMs = 8, SpikeMs = 200, SpikeShare = 0.01;

// The receiver's lateness for one second: the delay, the jitter, now and then a spike.
struct Lateness {
    std::mt19937 random{20261207};
    std::normal_distribution<double> jitter{0, SigmaMs};
    std::uniform_real_distribution<double> unit{0, 1};
    double next() { return DelayMs + jitter(random) + (unit(random) < SpikeShare ? SpikeMs : 0); }
};

QByteArray pair(qint64 secondMs) { // GGA and RMC naming that second, without the RMC's CR LF
    const CivilTime t = civilFromMs(secondMs);
    const auto line = [](const QByteArray& body) { return body + '*' + NmeaChecksum(body); };
    return line("$GNGGA," + formatDateTime("hhnnss", t) +
                ".00,4807.0380,N,01131.0000,E,1,09,0.9,545.4,M,46.9,M,,") +
           "\r\n" +
           line("$GNRMC," + formatDateTime("hhnnss", t) + ".00,A,4807.0380,N,01131.0000,E,0.02,31.66," +
                formatDateTime("ddmmyy", t) + ",,,A");
}

qint64 realUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void printErrors(const char* name, const std::vector<double>& errors) {
    double sum = 0;
    for (const double e : errors) sum += e;
    std::printf("  %-34s %zu settings: mean %+7.1f ms  p1 %+7.1f  p50 %+7.1f  p99 %+7.1f ms\n", name,
                errors.size(), errors.empty() ? 0.0 : sum / double(errors.size()), percentile(errors, 1),
                percentile(errors, 50), percentile(errors, 99));
}

// Configurations 1 and 2: the program as a process, its settings recorded; the receiver on
// the real clock. Returns the lateness median the status showed.
double realTime(int delayMs, int seconds) {
    test::Pty pty;
    test::AppProcess app;
    const QString clockLog = app.root() + QStringLiteral("/clock.log");
    app.env.insert(QStringLiteral("KSERVER_CLOCK_LOG"), clockLog);
    app.env.insert(QStringLiteral("KSERVER_COM1"), pty.slavePath());
    app.writeSettings(gpsSettings(7) + "\"gpsdelay\"=dword:" +
                      QByteArray::number(quint32(qint32(delayMs)), 16).rightJustified(8, '0') + "\r\n");
    app.start();
    if (!setupArrives(pty)) {
        std::printf("  the port did not open\n");
        return 0;
    }
    std::map<qint64, qint64> crUs; // second named -> true instant of its CR; read after the join
    std::atomic<int> written{0};
    std::thread receiver([&] {
        Lateness late;
        const qint64 first = (realUs() / 1'000'000 + 2) * 1000;
        for (int i = 0; i < seconds; ++i) {
            const qint64 second = first + qint64(i) * 1000;
            const qint64 at = qint64((double(second) + late.next()) * 1000.0);
            std::this_thread::sleep_for(std::chrono::microseconds(qMax<qint64>(0, at - 20'000 - realUs())));
            pty.write(pair(second));
            std::this_thread::sleep_for(std::chrono::microseconds(qMax<qint64>(0, at - realUs())));
            crUs[second] = realUs();
            pty.write("\r\n");
            ++written;
        }
    });
    while (written < seconds) test::pumpFor(200);
    receiver.join();
    test::pumpFor(500); // the last setting reaches the file
    const QJsonObject status =
        QJsonDocument::fromJson(
            StatusServer::ask(app.runtimeDir() + QStringLiteral("/kserver.status"), "status", 3000))
            .object();
    app.terminate();

    std::vector<double> errors;
    for (const QByteArray& l : test::scriptLines(clockLog)) {
        const qint64 set =
            QDateTime::fromString(QString::fromLatin1(l.left(24)), Qt::ISODateWithMs).toMSecsSinceEpoch();
        if (const auto it = crUs.find(set - delayMs); it != crUs.end())
            errors.push_back(double(set) - double(it->second) / 1000.0);
    }
    const QJsonObject late = status[QLatin1String("gps")][QLatin1String("lateness_ms")].toObject();
    const double median = late[QLatin1String("median")].toDouble();
    const QByteArray name = "gpsdelay " + QByteArray::number(delayMs) + ":";
    printErrors(name.constData(), errors);
    std::printf("  %-34s status: lateness median %.1f ms, spread %.1f ms (%d sentences)\n", "", median,
                late[QLatin1String("spread")].toDouble(), late[QLatin1String("count")].toInt());
    return median;
}

// The system's clock as configurations 3 and 4 model it: true time plus an offset; a setting
// moves the offset at once, a slew is taken up at 0.5 ms per second of true time; the clock
// runs fast by its own error plus the correction set, the error wandering as a random walk.
class ModelClock final : public SystemClock {
public:
    explicit ModelClock(double ownPpm = 0, double wanderPpmPerHour = 0)
        : ownPpm_(ownPpm), wander_(0, wanderPpmPerHour) {
        installSystemClock(this);
    }
    ~ModelClock() override { installSystemClock(nullptr); }
    qint64 nowMs() const override { return qRound64(trueMs_ + offsetMs_); }
    bool setTime(qint64 utcMs, ClockSetKind, QString*) override {
        const double step = double(utcMs) - (trueMs_ + offsetMs_);
        if (steps > 0 && step < 0) ++backwards;
        ++steps;
        offsetMs_ += step;
        pendingMs_ = 0; // a step cancels a slew in progress
        return true;
    }
    bool slew(double offsetMs, QString*) override {
        ++slews;
        pendingMs_ = offsetMs;
        return true;
    }
    bool setFrequency(double ppm, QString*) override {
        correctionPpm_ = ppm;
        return true;
    }
    void advanceTo(double trueMs) {
        const double ms = trueMs - trueMs_;
        const double room = ms * 0.0005;
        const double taken = std::clamp(pendingMs_, -room, room);
        offsetMs_ += taken + (ownPpm_ + correctionPpm_) * 1e-6 * ms;
        pendingMs_ -= taken;
        trueMs_ = trueMs;
        if (wander_.stddev() > 0) ownPpm_ += wander_(random_) * std::sqrt(ms / 3'600'000.0);
    }
    void startAt(double trueMs) { trueMs_ = trueMs; }
    double trueMs() const { return trueMs_; }
    double errorMs() const { return offsetMs_; }
    double ownPpm() const { return ownPpm_; }
    int steps = 0, backwards = 0, slews = 0;

private:
    double trueMs_ = 0, offsetMs_ = 2500, pendingMs_ = 0;
    double ownPpm_, correctionPpm_ = 0;
    std::normal_distribution<double> wander_;
    std::mt19937 random_{7};
};

void slewed(int delayMs, int seconds) {
    test::Pty pty;
    qputenv("KSERVER_COM1", pty.slavePath().toLocal8Bit());
    ModelClock clock;
    const qint64 first = FirstFix;
    clock.advanceTo(double(first) - 3000);
    test::LiveWindow w(gpsSettings(7) + "\"slew\"=dword:00000001\r\n\"gpsdelay\"=dword:" +
                       QByteArray::number(quint32(qint32(delayMs)), 16).rightJustified(8, '0') + "\r\n");
    if (!setupArrives(pty)) {
        std::printf("  the port did not open\n");
        return;
    }
    // Counts what the port hands over: the next sentence goes once this one was read.
    qint64 taken = 0, sent = 0;
    TCommPortDriver* port = w.server->Gps().ComPort1;
    port->OnReceiveData = [&taken, deliver = port->OnReceiveData](TCommPortDriver* s, const char* d,
                                                                  quint32 n) {
        deliver(s, d, n);
        taken += n;
    };
    Lateness late;
    std::vector<double> after;
    for (int i = 0; i < seconds; ++i) {
        const qint64 second = first + qint64(i) * 1000;
        clock.advanceTo(double(second) + late.next());
        if (i >= 120) after.push_back(std::abs(clock.errorMs()));
        const QByteArray bytes = pair(second) + "\r\n";
        sent += bytes.size();
        pty.write(bytes);
        if (!test::waitUntil([&] { return taken == sent; })) {
            std::printf("  sentence %d was not read\n", i);
            return;
        }
    }
    std::printf("  %-34s after 2 min: |error| p50 %.1f ms  p99 %.1f ms  max %.1f ms (3 sigma: "
                "%.0f ms); %d steps, %d backwards after the first; %d slews\n",
                ("slew 1, gpsdelay " + QByteArray::number(delayMs) + ":").constData(), percentile(after, 50),
                percentile(after, 99), percentile(after, 100), 3 * SigmaMs, clock.steps, clock.backwards,
                clock.slews);
}

// How well the time core's error estimate bounds the true error, sampled on a model clock.
struct Bound {
    std::vector<double> truth, estimate;
    int held = 0;
    void sample(const TimeCore& core, const ModelClock& clock) {
        const std::optional<double> s = core.Facts().errorS;
        if (!s) return;
        truth.push_back(std::abs(clock.errorMs()));
        estimate.push_back(*s * 1000);
        if (*s * 1000 >= std::abs(clock.errorMs())) ++held;
    }
    void print(const char* name) const {
        std::printf("  %-34s estimate >= true error in %.2f %% of %zu; true p99 %.2f ms, estimate "
                    "p50 %.2f p99 %.2f ms (p99 %.1f x the true p99)\n",
                    name, 100.0 * held / double(truth.size()), truth.size(), percentile(truth, 99),
                    percentile(estimate, 50), percentile(estimate, 99),
                    percentile(estimate, 99) / percentile(truth, 99));
    }
};

constexpr double OwnPpm = 50, WanderPpm = 0.05;

// Runs the model until trueMs, sampling the bound every 10 s.
void runModel(ModelClock& clock, const TimeCore& core, Bound& bound, double trueMs) {
    while (clock.trueMs() + 10'000 <= trueMs) {
        clock.advanceTo(clock.trueMs() + 10'000);
        bound.sample(core, clock);
    }
    clock.advanceTo(trueMs);
}

void ntpModel(bool slew, int hours) {
    ModelClock clock(OwnPpm, WanderPpm);
    TimeCore core;
    core.SetSlew(slew);
    std::mt19937 random(99);
    std::normal_distribution<double> noise(0, 1);
    Bound bound;
    std::vector<double> before;
    const double start = double(FirstFix);
    clock.startAt(start);
    for (int h = 0; h <= hours; ++h) {
        runModel(clock, core, bound, start + h * 3'600'000.0);
        if (h > 6) before.push_back(std::abs(clock.errorMs()));
        // 4 ms of round trip, the answer off by the noise: the client states half of it and
        // a millisecond of resolution.
        core.Take({TimeSource::Ntp, qRound64(clock.trueMs() + noise(random)), clock.nowMs(), 3},
                  NtpUpstream{});
    }
    const auto name = QByteArray("NTP hourly, slew ") + (slew ? "1:" : "0:");
    std::printf("  %-34s |error| before each answer after 6 h: p50 %.2f  max %.2f ms; frequency "
                "correction %+.3f ppm, the clock's own error %+.3f ppm\n",
                name.constData(), percentile(before, 50), percentile(before, 100),
                core.Facts().frequencyPpm.value_or(0), clock.ownPpm());
    if (slew) bound.print("  its error estimate:");
}

void gpsModel() {
    ModelClock clock(OwnPpm, WanderPpm);
    TimeCore core;
    core.SetSlew(true);
    Lateness late;
    LatenessWindow window;
    Bound bound;
    const double start = double(FirstFix);
    clock.startAt(start - 1000);
    for (int i = 0; i < 3600; ++i) {
        const double second = start + i * 1000.0;
        clock.advanceTo(second + late.next());
        if (i % 10 == 0) bound.sample(core, clock);
        const qint64 arrival = clock.nowMs();
        window.add(double(arrival) - second);
        core.Take({TimeSource::Gps, qRound64(second + DelayMs), arrival, qMax(1.0, 2.5 * window.spread())});
    }
    std::printf("  %-34s after 1 h of GPS: |error| %.2f ms; frequency correction %+.3f ppm, the "
                "clock's own error %+.3f ppm\n",
                "GPS, slew 1:", std::abs(clock.errorMs()), core.Facts().frequencyPpm.value_or(0),
                clock.ownPpm());
    runModel(clock, core, bound, start + 7'200'000.0);
    std::printf("  %-34s after 1 h without samples: |error| %.2f ms\n", "", std::abs(clock.errorMs()));
    bound.print("  its error estimate:");
}

} // namespace

int main(int argc, char* argv[]) {
    if (!ks::soak::startInNamespace(argc, argv)) return 1;
    QApplication app(argc, argv);
    // The drift file of a run must not reach the next.
    const QTemporaryDir state;
    qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
    if (argc > 1 && std::strcmp(argv[1], "model") == 0) {
        std::printf("The time core on a model clock %+.0f ppm fast, wandering %.2f ppm an hour:\n", OwnPpm,
                    WanderPpm);
        ntpModel(true, 24);
        ntpModel(false, 24);
        gpsModel();
        return 0;
    }
    const int first = argc > 1 ? std::max(10, std::atoi(argv[1])) : 60;
    const int second = argc > 2 ? std::max(10, std::atoi(argv[2])) : 30;
    const int third = argc > 3 ? std::max(130, std::atoi(argv[3])) : 240;

    std::printf("Clock-setting error (the instant set minus the true instant at the RMC's CR); "
                "receiver delay %.0f ms, jitter sigma %.0f ms, %.0f %% spikes of +%.0f ms:\n",
                DelayMs, SigmaMs, SpikeShare * 100, SpikeMs);
    const double median = realTime(0, first);
    realTime(int(std::lround(median)), second);
    slewed(int(std::lround(median)), third);
    return 0;
}
