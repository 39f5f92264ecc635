#pragma once

// What the tests reach inside the server beyond its public interface: the timers they hold
// still and the few values a scenario sets. The owners (server.Gps(), .Ntp(), .Requests()) are
// reached directly, the window's controls by their design names.
#include "app/GpsInput.h"
#include "app/NtpSync.h"
#include "app/RequestService.h"
#include "app/Server.h"

struct ks::Server::TestAccess {
    explicit TestAccess(Server& server) : s(server) {}
    Server& s;

    QTimer*& Timer1 = s.Timer1;
    QTimer*& Timer2 = s.Timer2;
    QTimer*& IdIPWatch1 = s.IdIPWatch1;
    bool& NetworkPresent = s.NetworkPresent;
    StoredSettings& Config = s.Config;
    TimeCore& Core = s.Core;
};

namespace ks::test {
// A control of the window by its design name ("lblH", "lblSync0", "Chimes1"...).
template <typename T = QWidget> T* control(const QObject& window, const char* name) {
    T* found = window.findChild<T*>(QLatin1String(name));
    Q_ASSERT_X(found, "control", name);
    return found;
}
} // namespace ks::test
