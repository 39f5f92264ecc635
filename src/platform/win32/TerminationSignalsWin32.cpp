#include "platform/TerminationSignals.h"

#include "platform/Ui.h"

#include <QMetaObject>

#include <windows.h>

#include <atomic>

namespace ks {

namespace {
std::atomic<TerminationSignals*> receiver{nullptr};
HANDLE finished = nullptr; // set once the program has shut down

// Runs on a thread of the system's: the request is handed to the GUI thread. For a closed
// console, a logoff or a shutdown the process ends when this returns, so it waits (within
// the system's own limit of about five seconds) for the shutdown to finish.
BOOL WINAPI onConsoleEvent(DWORD event) {
    TerminationSignals* target = receiver;
    if (!target) return FALSE;
    const QByteArray name = event == CTRL_C_EVENT       ? QByteArrayLiteral("Ctrl-C")
                            : event == CTRL_BREAK_EVENT ? QByteArrayLiteral("Ctrl-Break")
                            : event == CTRL_CLOSE_EVENT ? QByteArrayLiteral("console closed")
                            : event == CTRL_LOGOFF_EVENT ? QByteArrayLiteral("logoff")
                                                         : QByteArrayLiteral("shutdown");
    QMetaObject::invokeMethod(
        target, [target, name] { emit target->terminationRequested(name); }, Qt::QueuedConnection);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(finished, 4500);
    return TRUE;
}
} // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    if (!finished) finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    receiver = this;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    // A console of its own (started from a shortcut or the Run key) would only stand in the
    // way: the program lives in the notification area. Headless, the console carries its log.
    DWORD processes[2];
    if (!isHeadless() && GetConsoleProcessList(processes, 2) == 1)
        if (HWND console = GetConsoleWindow()) ShowWindow(console, SW_HIDE);
}

TerminationSignals::~TerminationSignals() {
    receiver = nullptr;
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    if (finished) SetEvent(finished);
}

} // namespace ks
