#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

namespace ks::test {

// Runs the event loop until done() holds (true) or the time is up (false). The one wait of
// tests and benchmarks: conditions with a deadline, never a sleep that hopes. The loop sleeps
// between events (a 5 ms timer wakes it to look again), so waiting costs no CPU of its own.
template <typename Done> bool waitUntil(Done done, int timeoutMs = 5000) {
    QDeadlineTimer deadline(timeoutMs);
    QTimer wake;
    wake.start(5);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Runs the event loop for the given time.
inline void pumpFor(int ms) {
    waitUntil([] { return false; }, ms);
}

} // namespace ks::test
