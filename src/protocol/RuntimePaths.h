#pragma once

#include <QString>

namespace ks {

// The folder for this user's run-time files: $XDG_RUNTIME_DIR when it exists, else the
// temporary folder.
QString runtimeFolder();

// The local socket on which the running program tells its state ("kserver.status").
QString statusSocketPath();

// The requests that socket takes, one line each, and the longest line it reads.
inline constexpr char StatusRequest[] = "status";
inline constexpr char ShowRequest[] = "show";
inline constexpr int MaxStatusRequestBytes = 64;

} // namespace ks
