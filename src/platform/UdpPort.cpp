#include "platform/UdpPort.h"
#include "platform/SystemClockCalls.h"

#include <algorithm>

namespace ks {

double systemClockResolution() {
    qint64 smallest = 1'000'000'000;
    for (int i = 0; i < 100; ++i) {
        const qint64 a = readSystemClockNs();
        qint64 b;
        while ((b = readSystemClockNs()) == a) {
        }
        if (b > a) smallest = std::min(smallest, b - a);
    }
    return double(smallest) / 1e9;
}

} // namespace ks
