#include "platform/TerminationSignals.h"

#include <QMetaObject>

#include <windows.h>

#include <atomic>

namespace ks {

namespace {
std::atomic<TerminationSignals*> receiver{nullptr};
HANDLE finished = nullptr; // set once the program has shut down

// The class name the end-session test looks the window up by.
constexpr wchar_t SessionWindowClass[] = L"KorvatServerSession";

// Runs on a thread of the system's: the request is handed to the GUI thread. For a closed
// console the process ends when this returns, so it waits (within the system's own limit of
// about five seconds) for the shutdown to finish.
BOOL WINAPI onConsoleEvent(DWORD event) {
    TerminationSignals* target = receiver;
    if (!target) return FALSE;
    const QByteArray name = event == CTRL_C_EVENT        ? QByteArrayLiteral("Ctrl-C")
                            : event == CTRL_BREAK_EVENT  ? QByteArrayLiteral("Ctrl-Break")
                            : event == CTRL_CLOSE_EVENT  ? QByteArrayLiteral("console closed")
                            : event == CTRL_LOGOFF_EVENT ? QByteArrayLiteral("logoff")
                                                         : QByteArrayLiteral("shutdown");
    QMetaObject::invokeMethod(
        target, [target, name] { emit target->terminationRequested(name); }, Qt::QueuedConnection);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(finished, 4500);
    return TRUE;
}

// Every top-level window, shown or not, is asked before the session ends and then told that
// it ends; the GUI thread's event loop dispatches these messages like any other.
LRESULT CALLBACK sessionWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_QUERYENDSESSION: return TRUE; // nothing to ask the user: the settings are saved already
    case WM_ENDSESSION:
        if (wParam) {
            if (TerminationSignals* target = receiver)
                emit target->sessionEnding((lParam & ENDSESSION_LOGOFF) ? QByteArrayLiteral("logoff")
                                                                        : QByteArrayLiteral("shutdown"));
        }
        return 0;
    default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

HWND createSessionWindow() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = sessionWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = SessionWindowClass;
    RegisterClassW(&windowClass); // fails harmlessly when already registered
    // A top-level window never shown: a message-only window would not hear of the session.
    return CreateWindowExW(0, SessionWindowClass, L"Korvat Server", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                           nullptr, instance, nullptr);
}
} // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    if (!finished) finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    receiver = this;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    sessionWindow_ = createSessionWindow();
}

TerminationSignals::~TerminationSignals() {
    receiver = nullptr;
    if (sessionWindow_) DestroyWindow(HWND(sessionWindow_));
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    if (finished) SetEvent(finished);
}

} // namespace ks
