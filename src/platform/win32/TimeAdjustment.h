#pragma once

#include <QtGlobal>

namespace ks {

// The system's time adjustment as it stands: the increment each tick adds now, the nominal
// one a tick stands for, and whether the adjustment is off (the system keeps its own rate).
// precise: read by the call of Windows 10 and later, not by the older 32-bit one.
struct TimeAdjustment {
    quint64 adjustment = 0, increment = 0;
    bool disabled = true, precise = false;
};
// Reads only; false, with the system's error code left for GetLastError, when it fails.
bool readTimeAdjustment(TimeAdjustment* out);

} // namespace ks
