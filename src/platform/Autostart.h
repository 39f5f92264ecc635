#pragma once

#include <QByteArray>
#include <QString>

namespace ks {

// Windows: starts this executable at the user's logon, through the value "Korvat Server"
// under HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run. On failure returns
// false with the system's message in *error.
bool installAutostart(QString* error);

// Linux: the state of this user's systemd unit korvat-server.service as the user manager
// gives it ("active", "activating" while it waits to restart, "failed", "inactive"...); empty
// when no user manager answers. Windows: empty (there is no such service).
QByteArray userServiceState();

} // namespace ks
