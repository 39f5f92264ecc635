#pragma once

#include "log/LogModel.h"

#include <QStringList>

namespace ks {

// The event log without its window: the entries, the two log options and the CSV export.
// Headless it is the whole log; the log window shows it and sets its options.
class LogBook {
public:
    const LogEntry& AddEntry(qint16 type, const QByteArray& event, const QByteArray& details);

    // "Show Debug": without a window there is no menu to tick, so the environment may.
    bool ShowDebug = qEnvironmentVariableIsSet("KSERVER_SHOW_DEBUG");
    bool IndicateClientType = false;

    // Writes the whole log to each Logs/ folder there is (see logCsvDirs). Returns the files
    // written; *errors (when given) gets why others were not.
    QStringList SaveLogCsv(QStringList* errors = nullptr) const;

    LogModel& Model() { return model_; }

private:
    LogModel model_;
};

} // namespace ks
