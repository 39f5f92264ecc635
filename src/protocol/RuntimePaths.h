#pragma once

#include <QString>

namespace ks {

// The folder for this user's run-time files: $XDG_RUNTIME_DIR when it exists. Else, on Linux,
// a folder of this user's own in the temporary folder ("kserver-<uid>", mode 0700), made when
// `create` is true; one found there that is a link, not a folder, another user's or open to
// others is refused: the result is empty and *error says why. On Windows the temporary
// folder, which is the user's own.
QString runtimeFolder(bool create = false, QString* error = nullptr);

// This user's folder for the program's kept state: $XDG_STATE_HOME/korvat-server, else
// ~/.local/state/korvat-server.
QString stateFolder();

// The local socket on which the running program tells its state ("kserver.status"); empty
// (with the reason in *error) when there is no safe folder for it.
QString statusSocketPath(QString* error = nullptr);

// The requests that socket takes, one line each, and the longest line it reads.
inline constexpr char StatusRequest[] = "status";
inline constexpr char ShowRequest[] = "show";
// The requests that act: an NTP attempt, as "FORCE SYNC" makes it, answered by "succeeded" or
// "failed: <why>" once the attempt has ended; and "set NAME VALUE", a settings change as the
// panel makes it, answered by "ok: NAME VALUE", "refused: <why>" or "not saved: <why>".
inline constexpr char SyncRequest[] = "sync";
inline constexpr char SetRequest[] = "set";
// "get" or "get NAME": "NAME VALUE" lines, or "refused: <why>".
inline constexpr char GetRequest[] = "get";
// Room for a host name of 255 bytes in a change.
inline constexpr int MaxStatusRequestBytes = 300;

} // namespace ks
