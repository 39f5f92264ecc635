#pragma once

#include <QtGlobal>

namespace ks {

// A calendar date and time of day, without a zone: UTC or local, as the caller says.
struct CivilTime {
    int year = 1970;
    int month = 1; // 1..12
    int day = 1;   // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int msec = 0;

    bool operator==(const CivilTime&) const = default;
};

// Days since 1970-01-01 of a proleptic Gregorian date.
qint64 daysFromCivil(int year, int month, int day);

// Milliseconds since 1970 UTC <-> calendar fields, floor semantics for negative values.
CivilTime civilFromMs(qint64 ms);
qint64 msFromCivil(const CivilTime& t);

// Whole seconds since 1970 UTC, rounded down also before 1970.
inline qint64 floorSeconds(qint64 ms) { return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000); }

// 0 = Sunday .. 6 = Saturday.
int weekday(const CivilTime& t);

// True when every field lies in its calendar range (day checked against the month).
bool isValidCivil(const CivilTime& t);

} // namespace ks
