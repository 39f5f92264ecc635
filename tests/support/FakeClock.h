#pragma once

#include "platform/SystemClock.h"

#include <QList>

namespace ks::test {

// A clock that stands still until told to move, and records what it was asked to set;
// installed for its lifetime.
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
        if (!refuse.isEmpty() && error) *error = refuse;
        return refuse.isEmpty();
    }
    void setNow(qint64 ms) { now_ = ms; }
    void advance(qint64 ms) { now_ += ms; }

    QList<Setting> settings;
    QString refuse; // when not empty, settings fail with this message

private:
    qint64 now_;
};

} // namespace ks::test
