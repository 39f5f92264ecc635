#pragma once

#include "platform/SystemClock.h"

#include <QList>

namespace ks::test {

// A clock that stands still until told to move, and records what it was asked to set and
// slew; installed for its lifetime. With `follows` on it also takes what was set and slewed
// (a slew at once), as the system's clock would.
class FakeClock final : public SystemClock {
public:
    struct Setting {
        qint64 utcMs;
        ClockSetKind kind;
    };

    explicit FakeClock(qint64 nowMs = 0) : now_(nowMs) { installSystemClock(this); }
    ~FakeClock() override { installSystemClock(nullptr); }
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    qint64 nowMs() const override { return now_; }
    bool setTime(qint64 utcMs, ClockSetKind kind, QString* error) override {
        settings.append({utcMs, kind});
        changes.append(clockLogLine(utcMs, kind));
        if (!refuse.isEmpty() && error) *error = refuse;
        if (refuse.isEmpty() && follows) now_ = utcMs;
        return refuse.isEmpty();
    }
    bool slew(double offsetMs, QString* error) override {
        changes.append(slewLogLine(now_, offsetMs));
        if (!refuse.isEmpty() && error) *error = refuse;
        if (refuse.isEmpty() && follows) now_ += qRound64(offsetMs);
        return refuse.isEmpty();
    }
    bool setFrequency(double ppm, QString* error) override {
        changes.append(frequencyLogLine(now_, ppm));
        if (!refuse.isEmpty() && error) *error = refuse;
        return refuse.isEmpty();
    }
    void setNow(qint64 ms) { now_ = ms; }
    void advance(qint64 ms) { now_ += ms; }

    QList<Setting> settings;
    QList<QByteArray> changes; // settings and slews, as KSERVER_CLOCK_LOG records them
    bool follows = false;
    QString refuse; // when not empty, settings fail with this message

private:
    qint64 now_;
};

} // namespace ks::test
