// How close an SNTP exchange gets to the server's clock. A fake SNTP server in a thread of its own
// answers on 127.0.0.1:123 with its clock a known offset ahead of this machine's, after a
// chosen one-way delay each way; the exchange runs against it with a clock that records the
// setting. The error is the recorded instant minus the server's clock at the setting call;
// its share from unequal real one-way times (a thread descheduled on a busy machine), which
// no client can see, is printed too, and the server's processing time, which the exchange's
// formula adds to the new time. It runs itself inside tests/netns-run (port 123, nothing
// leaves the machine). Usage: build/bench/sntp_bench [rounds per delay, default 20]

#include "soak.h"

#include "FakeSntpServer.h"
#include "Namespace.h"
#include "Wait.h"
#include "components/SNTP.h"
#include "platform/SystemClock.h"
#include "protocol/Sntp.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

using namespace ks;

namespace {

constexpr quint16 ServerPort = 123;
constexpr qint64 ServerAheadUs = 1'234'567; // not whole milliseconds, as real servers are

qint64 realUs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return qint64(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

// Sleeps until the real time reaches targetUs: the last 6 ms spinning, since a plain sleep
// overshoots by a varying amount and would make the two one-way delays unequal.
void waitUntilUs(qint64 targetUs) {
    const qint64 coarse = targetUs - realUs() - 6000;
    if (coarse > 0) std::this_thread::sleep_for(std::chrono::microseconds(coarse));
    while (realUs() < targetUs) {
    }
}

// The real time for reading, a record instead of a setting. It notes when each reading was
// taken (T1, then T4, then the one before the setting), so the real one-way times of each round are
// known.
class RecordingClock final : public SystemClock {
public:
    qint64 nowMs() const override {
        const qint64 us = realUs();
        readsUs.push_back(us);
        return us / 1000;
    }
    bool setTime(qint64 utcMs, ClockSetKind, QString*) override {
        setAtUs = realUs();
        setToMs = utcMs;
        return true;
    }
    bool slew(double, QString*) override { return false; } // SNTP only steps
    bool setFrequency(double, QString*) override { return false; }
    mutable std::vector<qint64> readsUs;
    qint64 setAtUs = 0;
    qint64 setToMs = 0;
};

// The inbound delay is virtual: the server reads the request at once and stamps it as if it
// had arrived delayMs later; it then holds the answer back so that it leaves delayMs after
// that virtual transmit time. One wait per round instead of two halves the scheduling noise
// that would make the two one-way times unequal.
struct FakeServer {
    std::atomic<int> delayMs{0};
    std::atomic<qint64> readUs{0};       // request read, real time
    std::atomic<qint64> transmitUs{0};   // transmit timestamp taken, real time
    std::atomic<qint64> lateUs{0};       // answer sent this much after it was due
    std::atomic<qint64> processingUs{0}; // transmit minus receive timestamp
    std::atomic<bool> stop{false};
    std::atomic<bool> ready{false};
    std::atomic<bool> failed{false};

    void run() {
        test::FakeSntpServer server(QHostAddress::LocalHost, ServerPort);
        if (!server.bound()) {
            std::fprintf(stderr, "fake server: %s\n", qPrintable(server.socket.errorString()));
            failed = true;
            return;
        }
        server.mode = test::FakeSntpServer::Mode::Silent;
        server.onRequest = [&] {
            const qint64 read = realUs();
            if (server.requests.last().size() != SntpPacketSize) return;
            const qint64 oneWayUs = qint64(delayMs.load()) * 1000;
            const qint64 transmit = realUs();
            const QByteArray answer =
                server.answer(-1, {}, read + oneWayUs + ServerAheadUs, transmit + oneWayUs + ServerAheadUs);
            waitUntilUs(transmit + 2 * oneWayUs);
            lateUs = realUs() - (transmit + 2 * oneWayUs);
            readUs = read;
            transmitUs = transmit;
            processingUs = transmit - read;
            server.send(answer);
        };
        ready = true;
        while (!stop) server.socket.waitForReadyRead(50); // answers from within
    }
};

constexpr std::array<int, 3> DelaysMs{0, 20, 100};

struct Stats {
    double min = 0, median = 0, max = 0;
};
Stats stats(const std::vector<double>& v) {
    return {soak::percentile(v, 0), soak::percentile(v, 50), soak::percentile(v, 100)};
}

} // namespace

int main(int argc, char** argv) {
    if (!ks::test::ensurePrivateNamespace(argc, argv)) return 1; // it serves on port 123
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::min(1000, std::atoi(argv[1]))) : 20;

    RecordingClock clock;
    installSystemClock(&clock);

    FakeServer server;
    QThread* thread = QThread::create([&server] { server.run(); });
    thread->start();
    while (!server.ready && !server.failed) QThread::msleep(1);
    if (server.failed) return 1;

    std::printf("An SNTP exchange against a fake server %.3f ms ahead, %d rounds per delay\n",
                double(ServerAheadUs) / 1000.0, rounds);
    std::printf("error: recorded setting minus the server's clock at the setting call, ms\n"
                "asym:  (real inbound - real outbound time) / 2, ms: the part of the error the\n"
                "       formula cannot see; error - asym is the client's own error\n"
                "late:  how long after it was due the fake server's thread sent the answer, ms\n");
    std::printf("%-8s %-24s %-24s %-18s %-12s %-13s %s\n", "one-way", "error min/median/max",
                "asym min/median/max", "error-asym min/max", "processing", "within +-2 ms", "late max");
    bool targetMet = true;
    for (const int delay : DelaysMs) {
        server.delayMs = delay;
        std::vector<double> errors, asymmetry, own, processing, late;
        int within = 0;
        for (int i = 0; i < rounds; ++i) {
            SntpClient client;
            client.Host = QStringLiteral("127.0.0.1");
            client.Port = ServerPort;
            // A time limit as the program's watchdog: a lost datagram must not hang the run.
            client.ReceiveTimeout = 3000;
            clock.setToMs = 0;
            clock.readsUs.clear();
            bool set = false;
            // The answer's sample, stepped at once as the stepping discipline does.
            QObject::connect(&client, &SntpClient::finished, [&](SntpOutcome outcome) {
                set = outcome == SntpOutcome::Answered &&
                      clock.setTime(client.Sample().trueMs, ClockSetKind::Local, nullptr);
            });
            client.StartSync();
            test::waitUntil([&client] { return !client.running(); }, 10000);
            if (!set || clock.setToMs == 0 || clock.readsUs.size() < 2) {
                std::fprintf(stderr, "round %d at %d ms: no setting\n", i, delay);
                continue;
            }
            const double error =
                (double(clock.setToMs) * 1000.0 - double(clock.setAtUs + ServerAheadUs)) / 1000.0;
            const double inbound = double(server.readUs + delay * 1000 - clock.readsUs[0]);
            const double outbound = double(clock.readsUs[1] - (server.transmitUs + delay * 1000));
            const double asym = (inbound - outbound) / 2000.0;
            errors.push_back(error);
            asymmetry.push_back(asym);
            own.push_back(error - asym);
            processing.push_back(double(server.processingUs.load()));
            late.push_back(double(server.lateUs.load()) / 1000.0);
            if (error >= -2.0 && error <= 2.0) ++within;
        }
        if (errors.empty()) {
            targetMet = false;
            continue;
        }
        const Stats e = stats(errors), a = stats(asymmetry), o = stats(own), p = stats(processing),
                    l = stats(late);
        targetMet = targetMet && within == int(errors.size());
        std::printf("%4d ms  %+6.3f/%+6.3f/%+6.3f     %+6.3f/%+6.3f/%+6.3f     %+6.3f/%+6.3f     "
                    "max %3.0f us  %d/%zu   %.3f\n",
                    delay, e.min, e.median, e.max, a.min, a.median, a.max, o.min, o.max, p.max, within,
                    errors.size(), l.max);
    }
    std::printf("target: every error within +-2 ms: %s\n", targetMet ? "met" : "NOT met");

    server.stop = true;
    thread->wait();
    delete thread;
    installSystemClock(nullptr);
    return targetMet ? 0 : 1;
}
