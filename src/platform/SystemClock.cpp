#include "platform/SystemClock.h"

#include "platform/SystemClockCalls.h"
#include "protocol/DateFormat.h"

#include <QFile>

namespace ks {

namespace {

class RealClock final : public SystemClock {
public:
    qint64 nowMs() const override { return readSystemClockMs(); }

    bool setTime(qint64 utcMs, ClockSetKind kind, QString* error) override {
        const QByteArray logPath = qgetenv("KSERVER_CLOCK_LOG");
        if (!logPath.isEmpty()) return recordClockChange(logPath, clockLogLine(utcMs, kind), error);
        QString message;
        QByteArray howToGrant;
        if (setSystemClock(utcMs, kind, &message, &howToGrant)) return true;
        return failed(message, howToGrant, error);
    }

    bool slew(double offsetMs, QString* error) override {
        const QByteArray logPath = qgetenv("KSERVER_CLOCK_LOG");
        if (!logPath.isEmpty()) return recordClockChange(logPath, slewLogLine(nowMs(), offsetMs), error);
        QString message;
        QByteArray howToGrant;
        if (slewSystemClock(offsetMs, &message, &howToGrant)) return true;
        return failed(message, howToGrant, error);
    }

    std::function<void(const QByteArray&)> missingRight_;
    qint64 refused_ = 0;
    bool rightRefused_ = false;

private:
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
