#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace probe {

// `status`: asks the server running for this user through its local socket and prints its
// state, as text or (json) as the server's JSON object. Exit 0, or ExitNetwork when no server
// answers. With watchSeconds > 0 it asks again every so many seconds until interrupted.
int statusCommand(bool json, int watchSeconds = 0);

// `sync`: asks the server for an NTP attempt, as "FORCE SYNC" does, and prints its outcome.
// Exit 0 when it succeeded, ExitNoReply when it failed, ExitNetwork when no server answers.
int syncCommand();

// The status object of the server running for this user; none, with the reason printed on
// stderr, when none answers.
std::optional<QJsonObject> fetchStatus();

// `status --check`: exit 0 when the server answers, is synchronised and its replies are not
// failing; ExitNoReply with one line saying why otherwise; ExitNetwork when no server answers.
int checkCommand();

// `metrics`: the state in the Prometheus text format, to stdout or (textfile) into that file,
// replaced whole. With no server answering it still gives korvat_up 0 (a textfile collector
// wants that written) and exits ExitNetwork; ExitWrite when the file cannot be written.
int metricsCommand(const QString& textfile = {});
// One request to the server running for this user; empty with the reason printed when none
// answered. With noServer, a missing server is not printed but said there.
QByteArray askServer(const QByteArray& request, int timeoutMs, bool* noServer = nullptr);

// The state as an operator reads it: one "Name: value" line each.
QString statusText(const QJsonObject& status);

} // namespace probe
