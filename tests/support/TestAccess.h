#pragma once

// What the tests reach inside the main window beyond its public interface: the timers they
// hold still and the few values a scenario sets. Controls are found by their design names.
#include "app/GpsInput.h"
#include "app/NtpSync.h"
#include "app/RequestService.h"
#include "app/TimeNow.h"

struct ks::TForm1::TestAccess {
    explicit TestAccess(TForm1& form) : f(form) {}
    TForm1& f;

    QTimer*& Timer1 = f.Timer1;
    QTimer*& Timer2 = f.Timer2;
    QTimer*& IdIPWatch1 = f.IdIPWatch1;
    TCommPortDriver* ComPort1 = f.Gps->ComPort1;
    bool& NetworkPresent = f.NetworkPresent;
    int& NtpRetryBaseMs = f.Ntp->NtpRetryBaseMs;
    int& ClientIdleMs = f.Requests->ClientIdleMs;
    StoredSettings& Config = f.Config;
    TimeCore& Core = f.Core;
};

namespace ks::test {
// A control of the window by its design name ("lblH", "lblSync0", "Chimes1"...).
template <typename T = QWidget> T* control(const QObject& window, const char* name) {
    T* found = window.findChild<T*>(QLatin1String(name));
    Q_ASSERT_X(found, "control", name);
    return found;
}
} // namespace ks::test
