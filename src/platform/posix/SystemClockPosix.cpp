#include "platform/SystemClockCalls.h"
#include "platform/posix/Capability.h"

#include <QCoreApplication>
#include <QFile>

#include <sys/capability.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include <sys/time.h>
#include <sys/timex.h>

namespace ks {

qint64 readSystemClockNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

qint64 readSystemClockMs() { return readSystemClockNs() / 1'000'000; }

void sleepNearSystemClockNs(qint64 utcNs, qint64 maxWaitNs) {
    // The timer's slack (50 us) and the wake-up itself come on top of the sleep.
    constexpr qint64 EarlyNs = 200'000;
    const qint64 sleepNs = std::min(utcNs - readSystemClockNs(), maxWaitNs) - EarlyNs;
    if (sleepNs <= 0) return;
    // On the monotonic clock: a step of the system clock meanwhile cannot stretch the sleep.
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    const qint64 ns = until.tv_nsec + sleepNs;
    until.tv_sec += time_t(ns / 1'000'000'000);
    until.tv_nsec = long(ns % 1'000'000'000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

namespace {
// The system's message, and for a refusal the way to grant the right.
bool clockCallFailed(QString* error, QByteArray* howToGrant) {
    const int err = errno;
    *error = QString::fromLocal8Bit(std::strerror(err));
    if (err == EPERM)
        *howToGrant = "Korvat Server may not set the clock. Grant it the right with: " + clockGrantText();
    return false;
}
// The call with CAP_SYS_TIME raised for it alone.
template <typename Call> int withTimeRight(Call call) {
    RaisedCapability capability(CAP_SYS_TIME);
    return call();
}
} // namespace

bool setSystemClock(qint64 utcMs, ClockSetKind, QString* error, QByteArray* howToGrant) {
    timespec ts{};
    ts.tv_sec = time_t(utcMs / 1000);
    ts.tv_nsec = long(utcMs % 1000) * 1'000'000;
    const int rc = withTimeRight([&] { return clock_settime(CLOCK_REALTIME, &ts); });
    return rc == 0 || clockCallFailed(error, howToGrant);
}

bool slewSystemClock(double offsetMs, QString* error, QByteArray* howToGrant) {
    // adjtime slews at the kernel's fixed 500 ppm and replaces any adjustment in progress;
    // time never runs backwards under it.
    const qint64 us = qRound64(offsetMs * 1000.0);
    timeval delta{};
    delta.tv_sec = time_t(us / 1'000'000);
    delta.tv_usec = suseconds_t(us % 1'000'000);
    const int rc = withTimeRight([&] { return adjtime(&delta, nullptr); });
    return rc == 0 || clockCallFailed(error, howToGrant);
}

bool setSystemClockFrequency(double ppm, QString* error, QByteArray* howToGrant) {
    // The kernel takes ppm in 16.16 fixed point.
    timex tx{};
    tx.modes = ADJ_FREQUENCY;
    tx.freq = long(std::llround(std::clamp(ppm, -500.0, 500.0) * 65536.0));
    const int rc = withTimeRight([&] { return adjtimex(&tx); });
    return rc >= 0 || clockCallFailed(error, howToGrant);
}

bool holdsClockRight() {
    // The right counts only in the system's first user namespace: inside another one (a
    // container) a held CAP_SYS_TIME still cannot set the clock.
    QFile map(QStringLiteral("/proc/self/uid_map"));
    if (!map.open(QIODevice::ReadOnly) || map.readAll().simplified() != QByteArrayLiteral("0 0 4294967295"))
        return false;
    cap_t caps = cap_get_proc();
    if (!caps) return false;
    cap_flag_value_t permitted = CAP_CLEAR;
    cap_flag_value_t effective = CAP_CLEAR;
    cap_get_flag(caps, CAP_SYS_TIME, CAP_PERMITTED, &permitted);
    cap_get_flag(caps, CAP_SYS_TIME, CAP_EFFECTIVE, &effective);
    cap_free(caps);
    return permitted == CAP_SET || effective == CAP_SET;
}

QByteArray clockGrantText() {
    return "sudo setcap cap_sys_time+p " + QFile::encodeName(QCoreApplication::applicationFilePath());
}

std::optional<SystemClockState> readSystemClockState() {
    timex tx{}; // modes 0: reads only
    const int state = adjtimex(&tx);
    if (state < 0) return std::nullopt;
    return SystemClockState{state != TIME_ERROR && !(tx.status & STA_UNSYNC), double(tx.maxerror) / 1000.0,
                            double(tx.esterror) / 1000.0};
}

CivilTime toLocal(qint64 utcMs) {
    const qint64 secs = floorSeconds(utcMs);
    const time_t t = time_t(secs);
    tm local{};
    localtime_r(&t, &local);
    CivilTime c;
    c.year = local.tm_year + 1900;
    c.month = local.tm_mon + 1;
    c.day = local.tm_mday;
    c.hour = local.tm_hour;
    c.minute = local.tm_min;
    c.second = local.tm_sec > 59 ? 59 : local.tm_sec;
    c.msec = int(utcMs - secs * 1000);
    return c;
}

qint64 fromLocal(const CivilTime& local) {
    tm t{};
    t.tm_year = local.year - 1900;
    t.tm_mon = local.month - 1;
    t.tm_mday = local.day;
    t.tm_hour = local.hour;
    t.tm_min = local.minute;
    t.tm_sec = local.second;
    t.tm_isdst = -1;
    return qint64(mktime(&t)) * 1000 + local.msec;
}

int utcOffsetSeconds(qint64 utcMs) {
    const time_t t = time_t(floorSeconds(utcMs));
    tm local{};
    localtime_r(&t, &local);
    return int(local.tm_gmtoff);
}

void refreshTimeZone() { tzset(); } // a stat of /etc/localtime, or nothing when TZ is set

} // namespace ks
