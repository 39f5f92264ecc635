#include "protocol/TickAdjust.h"

#include <algorithm>
#include <cmath>

namespace ks {

quint64 correctedTickIncrement(quint64 nominal, double ppm) {
    // The change rounded, not the sum: half a unit goes away from the nominal either way.
    const double clamped = std::clamp(ppm, -MaxTickPpm, MaxTickPpm);
    return quint64(qint64(nominal) + std::llround(double(nominal) * clamped * 1e-6));
}

TickSlew tickSlew(quint64 nominal, double ppm, double offsetMs, qint64 maxRunMs) {
    const quint64 base = correctedTickIncrement(nominal, ppm);
    // Rounded down, so the rate stays within the limit, but at least a unit.
    const quint64 step = qMax<quint64>(1, nominal * quint64(MaxTickPpm) / 1'000'000);
    const qint64 runMs =
        qMin(maxRunMs, qint64(std::llround(std::abs(offsetMs) * double(nominal) / double(step))));
    if (runMs <= 0) return {base, 0};
    return {offsetMs < 0 ? base - step : base + step, runMs};
}

} // namespace ks
