#pragma once

#include <QtGlobal>

namespace ks {

// The time source: the settings value "source" and the status message's first value.
enum class TimeSource : qint16 {
    PcClock = 0,
    Gps = 1,
    // Not offered by the panel, but kept when stored: the tick treats it like GPS when it
    // reopens the serial port, and nothing else does.
    OtherSerial = 2,
    Ntp = 3,
};

// The synchronisation state: the status message's last value and the indicator's colour.
enum class TimeState : qint16 {
    NotSynchronised = 0, // red
    Synchronising = 1,   // yellow: an NTP attempt waits, or a GPS fix from one satellite
    Synchronised = 2,    // green
    NoSerialInput = 3,   // grey: a serial source whose port is not open
};

} // namespace ks
