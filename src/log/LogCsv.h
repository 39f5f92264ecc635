#pragma once

#include "log/LogModel.h"
#include "protocol/CivilTime.h"

#include <QString>

namespace ks {

// The file name of a save at that local time: "dd-mm-yy-hh-nn-ss.csv".
QString logCsvFileName(const CivilTime& localTime);

// Writes the header and every entry to <dir>/Logs/<name>, replacing a file of that name.
// The Logs folder is never created; every failure is silent (returns false).
bool writeLogCsv(const QList<LogEntry>& entries, const QString& dir, const CivilTime& localTime);

} // namespace ks
