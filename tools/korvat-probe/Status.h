#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace probe {

// `status`: asks the server running for this user through its local socket and prints its
// state, as text or (json) as the server's JSON object. Exit 0, or ExitNetwork when no server
// answers.
int statusCommand(bool json);

// The state as an operator reads it: one "Name: value" line each.
QString statusText(const QJsonObject& status);

} // namespace probe
