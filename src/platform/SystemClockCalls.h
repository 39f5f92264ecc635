#pragma once

#include "platform/SystemClock.h"

#include <QByteArray>
#include <QString>

// The system's own clock calls, one implementation per system; SystemClock wraps them with
// the dry-run file and the once-only report of a missing right.
namespace ks {

qint64 readSystemClockMs();
// In ns, for stamps finer than a millisecond (the NTP server's answers).
qint64 readSystemClockNs();
// Sleeps until a little before the clock reads utcNs, at most maxWaitNs: never past it, so
// the caller watches the clock for the rest. Where the system's sleeps are coarse it does
// not sleep at all.
void sleepNearSystemClockNs(qint64 utcNs, qint64 maxWaitNs);
// On failure, the system's message in *error and, when the program lacks the right to set
// the clock, a text saying how to grant it in *howToGrant.
bool setSystemClock(qint64 utcMs, ClockSetKind kind, QString* error, QByteArray* howToGrant);
// Adds offsetMs gradually, at most 500 ppm, replacing any adjustment in progress; failure as
// for setSystemClock.
bool slewSystemClock(double offsetMs, QString* error, QByteArray* howToGrant);
// Sets the clock's frequency correction (positive: it gains), within 500 ppm; failure as for
// setSystemClock.
bool setSystemClockFrequency(double ppm, QString* error, QByteArray* howToGrant);

// Whether this process holds the right to set the clock now, and how an operator grants it.
bool holdsClockRight();
std::optional<SystemClockState> readSystemClockState();
QByteArray clockGrantText();

} // namespace ks
