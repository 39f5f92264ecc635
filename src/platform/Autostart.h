#pragma once

#include <QString>

namespace ks {

// Windows: starts this executable at the user's logon, through the value "Korvat Server"
// under HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run. On failure returns
// false with the system's message in *error.
bool installAutostart(QString* error);

// Linux: true when the systemd user unit korvat-server.service is enabled for this user (a
// link to it in a .wants folder of the user's units, or of every user's in /etc), so the
// login autostart copy stands down for it. Windows: false (there is no such service).
bool userServiceEnabled();

} // namespace ks
