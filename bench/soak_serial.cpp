// The serial suite: the program as a process on a pseudo-terminal standing in for the
// receiver, through line noise and a receiver that comes and goes.
#include "soak.h"

#include "platform/SystemClock.h"

#include <QFile>
#include <QRandomGenerator>

#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

using namespace ks;
using namespace ks::soak;
using Steady = std::chrono::steady_clock;

namespace {

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
    if (!setupArrives(pty)) return figures = "no set-up sentences", v.fail("the port did not open"), v;
    test::pumpFor(1000); // start-up is not the steady state
    const qint64 rssBefore = test::processRssKiB(gps.pid());
    const qint64 cpuBefore = test::processCpuMs(gps.pid());

    std::atomic<qint64> sent{0};
    std::atomic<int> pairs{0}, refused{0};
    std::atomic<bool> done{false};
    std::thread line([&] {
        QRandomGenerator rng(20260607);
        const auto end = Steady::now() + std::chrono::seconds(Seconds);
        const auto chunkTime = std::chrono::microseconds(1'000'000 * 8 / BytesPerSecond);
        auto next = Steady::now();
        auto nextPair = next + std::chrono::seconds(2);
        auto put = [&](const QByteArray& bytes) { pty.write(bytes) ? sent += bytes.size() : ++refused; };
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
            rng.fillRange(reinterpret_cast<quint32*>(noise.data()), 2);
            put(noise);
            next += chunkTime;
            std::this_thread::sleep_until(next);
        }
        done = true;
    });
    test::waitUntil([&] { return done.load(); }, (Seconds + 30) * 1000);
    if (!done) v.fail("the line writer did not finish");
    line.join();
    const int total = pairs;
    test::waitUntil([&] { return total == 0 || gps.took(total - 1); }, 3000);

    int taken = 0;
    for (int i = 0; i < total; ++i) taken += gps.took(i) ? 1 : 0;
    const qint64 rssAfter = test::processRssKiB(gps.pid());
    const qint64 cpu = test::processCpuMs(gps.pid()) - cpuBefore;
    const bool alive = gps.running();
    const qint64 endMs = alive ? gps.app.terminate() : -1;

    v.check(alive, "the program ended: " + gps.exitText());
    v.check(refused == 0, num(refused.load()) + " stalls (writes refused or bytes left unread)");
    v.check(taken == total, "sentences lost");
    // Memory stays flat: nothing of the noise is kept.
    v.check(rssAfter >= 0 && rssAfter <= rssBefore + rssBefore / 10, "resident memory grew");
    v.check(!alive || endMs >= 0, "SIGTERM did not end it");
    figures = "bytes " + num(sent.load()) + " in " + num(Seconds) + " s, sentences taken " + num(taken) +
              "/" + num(total) + ", rss " + mib(rssBefore) + " -> " + mib(rssAfter) + ", cpu " + ms(cpu);
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
        return QFile::link(target, next) &&
               ::rename(QFile::encodeName(next).constData(), QFile::encodeName(link).constData()) == 0;
    };
    auto pty = std::make_unique<test::Pty>();
    pointAt(pty->slavePath());
    GpsProgram gps(link);
    if (!setupArrives(*pty)) return figures = "no set-up sentences", v.fail("the port did not open"), v;
    std::vector<double> reopen;
    int back = 0, taken = 0;
    qint64 goneMs = 0, goneCpu = 0;
    QRandomGenerator rng(7);
    for (int round = 0; round < Rounds && gps.running(); ++round) {
        pty->hangUp();
        if (round % 2 == 0) {
            QFile::remove(link);
            const int absent = 200 + int(rng.bounded(1000));
            const qint64 cpu0 = test::processCpuMs(gps.pid());
            test::pumpFor(absent);
            goneCpu += test::processCpuMs(gps.pid()) - cpu0;
            goneMs += absent;
        }
        pty = std::make_unique<test::Pty>();
        const double since = nowS();
        // A round that fails ends the case: the rounds after it would only wait out the same bound.
        if (!pointAt(pty->slavePath()) || !setupArrives(*pty)) {
            v.fail("round " + num(round) + ": the port did not come back in 5 s");
            break;
        }
        reopen.push_back((nowS() - since) * 1000);
        ++back;
        pty->write(fixPair(round));
        if (test::waitUntil([&] { return gps.took(round); }, 2000)) ++taken;
        else v.fail("round " + num(round) + ": a sentence on the new device was not taken");
    }
    const bool alive = gps.running();
    v.check(alive, "the program ended: " + gps.exitText());
    if (alive) v.check(gps.app.terminate() >= 0, "SIGTERM did not end it");
    // A hung-up line must not be polled in a busy loop while the receiver is away.
    const double goneLoad = goneMs > 0 ? 100.0 * double(goneCpu) / double(goneMs) : 0;
    v.check(goneLoad < 50, "busy while the receiver was away");
    figures = "rounds " + num(Rounds) + ", back " + num(back) + "/" + num(Rounds) + ", taken " + num(taken) +
              "/" + num(Rounds);
    if (!reopen.empty())
        figures += ", reopen min " + ms(percentile(reopen, 0)) + " median " + ms(percentile(reopen, 50)) +
                   " max " + ms(percentile(reopen, 100));
    figures += ", cpu while away " + fixed(goneLoad, 1) + "%";
    return v;
}

} // namespace

QList<Case> ks::soak::serialCases() {
    return {{"serial-noise", serialNoise}, {"serial-replug", serialReplug}};
}
