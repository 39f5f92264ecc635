#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace probe {

// `status`: asks the server running for this user through its local socket and prints its
// state, as text or (json) as the server's JSON object. Exit 0, or ExitNetwork when no server
// answers. With watchSeconds > 0 it asks again every so many seconds until interrupted.
int statusCommand(bool json, int watchSeconds = 0);

// `sync`: asks the server for an NTP attempt, as "FORCE SYNC" does, and prints its outcome.
// Exit 0 when it succeeded, ExitNoReply when it failed, ExitNetwork when no server answers.
int syncCommand();

// One request to the server running for this user; empty with the reason printed when none
// answered. With noServer, a missing server is not printed but said there.
QByteArray askServer(const QByteArray& request, int timeoutMs, bool* noServer = nullptr);

// The state as an operator reads it: one "Name: value" line each.
QString statusText(const QJsonObject& status);

} // namespace probe
