#include "platform/SystemClock.h"

#include "platform/SystemClockCalls.h"
#include "protocol/DateFormat.h"

#include <QElapsedTimer>
#include <QFile>

namespace ks {

namespace {

class RealClock final : public SystemClock {
public:
    qint64 nowMs() const override { return readSystemClockMs(); }

    bool setTime(qint64 utcMs, ClockSetKind kind, QString* error) override {
        return change(clockLogLine(utcMs, kind), error,
                      [&](QString* m, QByteArray* g) { return setSystemClock(utcMs, kind, m, g); });
    }

    bool slew(double offsetMs, QString* error) override {
        return change(slewLogLine(nowMs(), offsetMs), error,
                      [&](QString* m, QByteArray* g) { return slewSystemClock(offsetMs, m, g); });
    }

    bool setFrequency(double ppm, QString* error) override {
        return change(frequencyLogLine(nowMs(), ppm), error,
                      [&](QString* m, QByteArray* g) { return setSystemClockFrequency(ppm, m, g); });
    }

    void waitUntil(qint64 utcMs, int maxWaitMs) const override {
        sleepNearSystemClockNs(utcMs * 1'000'000, qint64(maxWaitMs) * 1'000'000);
        SystemClock::waitUntil(utcMs, maxWaitMs);
    }

    std::function<void(const QByteArray&)> missingRight_;
    qint64 refused_ = 0;
    bool rightRefused_ = false;

private:
    // The dry run's line, or the system's call.
    template <typename Call> bool change(const QByteArray& logLine, QString* error, Call call) {
        const QByteArray logPath = qgetenv("KSERVER_CLOCK_LOG");
        if (!logPath.isEmpty()) return recordClockChange(logPath, logLine, error);
        QString message;
        QByteArray howToGrant;
        if (call(&message, &howToGrant)) return true;
        return failed(message, howToGrant, error);
    }

    bool failed(const QString& message, const QByteArray& howToGrant, QString* error) {
        if (error) *error = message;
        ++refused_;
        if (!howToGrant.isEmpty()) rightRefused_ = true;
        // Every later setting fails the same way: saying it once is enough.
        if (!howToGrant.isEmpty() && !rightReported_) {
            rightReported_ = true;
            if (missingRight_) missingRight_(howToGrant);
        }
        return false;
    }

    bool rightReported_ = false;
};

RealClock realClock;
SystemClock* current = &realClock;

} // namespace

void SystemClock::waitUntil(qint64 utcMs, int maxWaitMs) const {
    QElapsedTimer waited;
    waited.start();
    while (nowMs() < utcMs && waited.elapsed() <= maxWaitMs) {
    }
}

SystemClock& systemClock() { return *current; }

void installSystemClock(SystemClock* clock) { current = clock ? clock : &realClock; }

void onMissingClockRight(std::function<void(const QByteArray& text)> handler) {
    realClock.missingRight_ = std::move(handler);
}

ClockRightState clockRight() {
    const QByteArray logPath = qgetenv("KSERVER_CLOCK_LOG");
    if (!logPath.isEmpty()) return {ClockRight::DryRun, logPath};
    if (realClock.rightRefused_ || !holdsClockRight()) return {ClockRight::NoRight, clockGrantText()};
    return {ClockRight::MaySet, {}};
}

QByteArray clockRightName(ClockRight right) {
    switch (right) {
    case ClockRight::MaySet: return "may set";
    case ClockRight::NoRight: return "no right";
    case ClockRight::DryRun: return "dry run";
    }
    return {};
}

QByteArray clockRightWords(const ClockRightState& state) {
    switch (state.right) {
    case ClockRight::MaySet: return clockRightName(state.right);
    case ClockRight::NoRight: return "no right (grant with " + state.detail + ')';
    case ClockRight::DryRun: return "dry run to " + state.detail;
    }
    return {};
}

qint64 clockSettingsRefused() { return realClock.refused_; }

QByteArray clockLogLine(qint64 utcMs, ClockSetKind kind) {
    return formatDateTime("yyyy-mm-ddThh:nn:ss.zzzZ ", civilFromMs(utcMs)) +
           (kind == ClockSetKind::Utc ? "utc" : "local");
}

QByteArray slewLogLine(qint64 nowMs, double offsetMs) {
    return formatDateTime("yyyy-mm-ddThh:nn:ss.zzzZ slew ", civilFromMs(nowMs)) +
           signedThreeDecimals(offsetMs);
}

QByteArray frequencyLogLine(qint64 nowMs, double ppm) {
    return formatDateTime("yyyy-mm-ddThh:nn:ss.zzzZ freq ", civilFromMs(nowMs)) + signedThreeDecimals(ppm);
}

bool recordClockChange(const QByteArray& path, const QByteArray& line, QString* error) {
    QFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::Append) || file.write(line + '\n') < 0) {
        if (error) *error = file.errorString();
        return false;
    }
    return true;
}

std::optional<SystemClockState> systemClockState() {
    const QByteArray seam = qgetenv("KSERVER_SYSTEM_CLOCK");
    if (seam.isEmpty()) return readSystemClockState();
    const QList<QByteArray> f = seam.split(',');
    return SystemClockState{f[0] == "synchronised", f.value(1).toDouble(), f.value(2).toDouble()};
}

} // namespace ks
