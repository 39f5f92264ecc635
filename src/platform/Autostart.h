#pragma once

#include <QString>

namespace ks {

// Windows: starts this executable at the user's logon, through the value "Korvat Server"
// under HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run. On failure returns
// false with the system's message in *error.
bool installAutostart(QString* error);

} // namespace ks
