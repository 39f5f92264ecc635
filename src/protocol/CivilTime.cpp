#include "protocol/CivilTime.h"

namespace ks {

namespace {
constexpr qint64 MsPerDay = 86'400'000;

qint64 floorDiv(qint64 a, qint64 b) {
    qint64 q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : days[m - 1];
}
} // namespace

// Howard Hinnant's days_from_civil.
qint64 daysFromCivil(int year, int month, int day) {
    const qint64 y = year - (month <= 2 ? 1 : 0);
    const qint64 era = floorDiv(y, 400);
    const qint64 yoe = y - era * 400;
    const qint64 mp = (month + 9) % 12;
    const qint64 doy = (153 * mp + 2) / 5 + day - 1;
    const qint64 doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

CivilTime civilFromMs(qint64 ms) {
    const qint64 days = floorDiv(ms, MsPerDay);
    qint64 rest = ms - days * MsPerDay;

    const qint64 z = days + 719468;
    const qint64 era = floorDiv(z, 146097);
    const qint64 doe = z - era * 146097;
    const qint64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const qint64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const qint64 mp = (5 * doy + 2) / 153;
    CivilTime t;
    t.day = int(doy - (153 * mp + 2) / 5 + 1);
    t.month = int(mp < 10 ? mp + 3 : mp - 9);
    t.year = int(yoe + era * 400 + (t.month <= 2 ? 1 : 0));
    t.hour = int(rest / 3'600'000);
    rest %= 3'600'000;
    t.minute = int(rest / 60'000);
    rest %= 60'000;
    t.second = int(rest / 1000);
    t.msec = int(rest % 1000);
    return t;
}

qint64 msFromCivil(const CivilTime& t) {
    return daysFromCivil(t.year, t.month, t.day) * MsPerDay + qint64(t.hour) * 3'600'000 +
           qint64(t.minute) * 60'000 + qint64(t.second) * 1000 + t.msec;
}

int weekday(const CivilTime& t) {
    const qint64 d = daysFromCivil(t.year, t.month, t.day);
    return int(((d % 7) + 11) % 7); // 1970-01-01 was a Thursday
}

bool isValidCivil(const CivilTime& t) {
    return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= daysInMonth(t.year, t.month) &&
           t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 &&
           t.second <= 59 && t.msec >= 0 && t.msec <= 999;
}

} // namespace ks
