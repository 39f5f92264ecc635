#pragma once

#include "protocol/SyncStatus.h"

#include <QByteArray>

namespace ks {

// "The true instant trueMs was at the local clock's reading localMs", from one source, give
// or take uncertaintyMs.
struct ClockSample {
    TimeSource source = TimeSource::PcClock;
    qint64 trueMs = 0;
    qint64 localMs = 0;
    double uncertaintyMs = 0;
};

// What an NTP server told of itself in the answer a sample came from.
struct NtpUpstream {
    QByteArray address;
    int stratum = 0;
    double rootDelayMs = 0;
    double rootDispersionMs = 0;
    double roundTripMs = 0;
};

} // namespace ks
