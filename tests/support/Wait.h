#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>

namespace ks::test {

// Runs the event loop until done() holds (true) or the time is up (false). The one wait of
// tests and benchmarks: conditions with a deadline, never a sleep that hopes.
template <typename Done> bool waitUntil(Done done, int timeoutMs = 5000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Runs the event loop for the given time.
inline void pumpFor(int ms) { waitUntil([] { return false; }, ms); }

} // namespace ks::test
