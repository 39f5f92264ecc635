#pragma once

#include "protocol/CivilTime.h"

#include <QString>

#include <functional>
#include <optional>

namespace ks {

// Which platform call a clock setting stands for: GPS sets UTC, SNTP sets local time.
enum class ClockSetKind { Utc, Local };

// The program's one source of "now", and the one way to set the system clock.
// Tests install their own; KSERVER_CLOCK_LOG makes the real one record instead of set.
class SystemClock {
public:
    virtual ~SystemClock() = default;
    // Milliseconds since 1970-01-01 00:00 UTC.
    virtual qint64 nowMs() const = 0;
    // Sets the clock to the UTC instant. On failure returns false and puts the platform's
    // message into *error (when given).
    virtual bool setTime(qint64 utcMs, ClockSetKind kind, QString* error = nullptr) = 0;
    // Adds offsetMs to the clock gradually (the system's own adjustment, at most 500 ppm),
    // replacing any adjustment still in progress. Failure as for setTime.
    virtual bool slew(double offsetMs, QString* error = nullptr) = 0;
    // Makes the clock run faster by ppm (slower when negative), within 500 ppm, until changed.
    // Failure as for setTime.
    virtual bool setFrequency(double ppm, QString* error = nullptr) = 0;
    // Returns once the clock reads utcMs or later, or after maxWaitMs whatever it reads. This
    // one watches nowMs(); the real clock sleeps through most of the wait first, so that the
    // moment after it finds the program with its share of the processor unspent.
    virtual void waitUntil(qint64 utcMs, int maxWaitMs) const;
};

SystemClock& systemClock();
// Replaces the clock in force (not owned); nullptr restores the real one.
void installSystemClock(SystemClock* clock);

// Local time follows TZ through the C library's zone data.
CivilTime toLocal(qint64 utcMs);
qint64 fromLocal(const CivilTime& local);
// Seconds east of UTC in force at that instant.
int utcOffsetSeconds(qint64 utcMs);
// Reads the system's time zone again: the C library otherwise keeps the one it read first,
// and an operator may change it while the program runs for months.
void refreshTimeZone();

inline CivilTime localNow() { return toLocal(systemClock().nowMs()); }

// Called once per run, the first time the system refuses a setting because the program lacks
// the right to set the clock, with a text that says how to grant it.
void onMissingClockRight(std::function<void(const QByteArray& text)> handler);

// Whether the program may set the clock, as the start line and the status tell the operator.
// A refused setting turns "may set" into "no right" for the rest of the run.
enum class ClockRight { MaySet, NoRight, DryRun };
struct ClockRightState {
    ClockRight right = ClockRight::MaySet;
    QByteArray detail; // how to grant the right, or the dry run's file
};
ClockRightState clockRight();
// "may set", "no right" or "dry run".
QByteArray clockRightName(ClockRight right);
// For the start line: "may set", "no right (grant with ...)", "dry run to FILE".
QByteArray clockRightWords(const ClockRightState& state);
// How many settings the system refused since start.
qint64 clockSettingsRefused();

// What the system says of its own clock: whether a time daemon keeps it synchronised, and the
// kernel's maximum and estimated error. Read only; no right needed. Empty where the system
// does not say (Windows). KSERVER_SYSTEM_CLOCK="synchronised,MAX_MS,EST_MS" (or
// "unsynchronised,...") stands in for it in tests.
struct SystemClockState {
    bool synchronised = false;
    double maxErrorMs = 0;
    double estErrorMs = 0;
};
std::optional<SystemClockState> systemClockState();

// The line KSERVER_CLOCK_LOG records for one setting, without line end.
QByteArray clockLogLine(qint64 utcMs, ClockSetKind kind);
// The line it records for a gradual adjustment asked for at nowMs: "<now> slew +12.345".
QByteArray slewLogLine(qint64 nowMs, double offsetMs);
// The line it records for a frequency correction set at nowMs: "<now> freq -50.000".
QByteArray frequencyLogLine(qint64 nowMs, double ppm);
// Appends one such line to the file at path instead of changing the clock.
bool recordClockChange(const QByteArray& path, const QByteArray& line, QString* error);

} // namespace ks
