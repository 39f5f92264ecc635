#pragma once

#include "log/LogModel.h"
#include "protocol/CivilTime.h"

#include <QString>
#include <QStringList>

namespace ks {

// The file name of a save at that local time: "dd-mm-yy-hh-nn-ss.csv".
QString logCsvFileName(const CivilTime& localTime);

// Writes the header and every entry to <dir>/Logs/<name>, replacing a file of that name.
// The Logs folder is never created. On failure returns false and puts the reason into *error
// (when given).
bool writeLogCsv(const QList<LogEntry>& entries, const QString& dir, const CivilTime& localTime,
                 QString* error = nullptr);

// The folders whose Logs/ receives the exports: beside the executable (a copy run from its
// own folder), and the user's $XDG_STATE_HOME/korvat-server (else ~/.local/state/...), where
// an installed copy's user can create it.
QStringList logCsvDirs(const QString& executableDir);

// Saves to every Logs/ folder there is. Returns the files written; *errors gets a line for
// each that could not be written, or why none was tried.
QStringList saveLogCsv(const QList<LogEntry>& entries, const QString& executableDir,
                       const CivilTime& localTime, QStringList* errors);

} // namespace ks
