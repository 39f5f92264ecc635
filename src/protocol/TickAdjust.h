#pragma once

#include <QtGlobal>

namespace ks {

// A clock that adds an increment to the time at each tick (Windows' time adjustment): what it
// is given to run at a frequency correction, and to take up a slew on top of it. Increments
// are in the system's units, the nominal one the increment a tick stands for.
inline constexpr double MaxTickPpm = 500;

// The increment for a correction of ppm (within ±MaxTickPpm), to the nearest unit.
quint64 correctedTickIncrement(quint64 nominal, double ppm);

struct TickSlew {
    quint64 increment = 0; // while the slew runs
    qint64 runMs = 0;      // how long it runs; 0: no slew, the correction alone
};
// offsetMs taken up at MaxTickPpm of the nominal increment on top of the correction ppm. The
// unit allows that rate only to within a unit, so the run lasts what the rate in whole units
// takes, at most maxRunMs.
TickSlew tickSlew(quint64 nominal, double ppm, double offsetMs, qint64 maxRunMs);

} // namespace ks
