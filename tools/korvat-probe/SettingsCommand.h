#pragma once

#include <QByteArray>

namespace probe {

// `set NAME VALUE`: the change goes to the server running for this user, which makes it as
// its settings panel would and saves it; with none running, into the settings file, saved
// the same way. Exit 0 when in force, ExitUsage for a value not allowed (nothing changed),
// ExitNoReply when it could not be saved, ExitNetwork when a server runs but does not answer.
int setCommand(const QByteArray& name, const QByteArray& value);

// `get [NAME]`: "name value" lines, from the running server or else from the settings file.
int getCommand(const QByteArray& name);

} // namespace probe
