#include "log/LogCsv.h"

#include "protocol/Csv.h"
#include "protocol/DateFormat.h"

#include <QSaveFile>

namespace ks {

QString logCsvFileName(const CivilTime& localTime) {
    return QString::fromLatin1(formatDateTime("dd-mm-yy-hh-nn-ss", localTime) + ".csv");
}

bool writeLogCsv(const QList<LogEntry>& entries, const QString& dir, const CivilTime& localTime) {
    // QSaveFile: a save replacing an earlier one of the same second is never seen half written.
    QSaveFile file(dir + QStringLiteral("/Logs/") + logCsvFileName(localTime));
    if (!file.open(QIODevice::WriteOnly)) return false;
    QList<QByteArray> header;
    for (const char* caption : LogModel::Captions) header.append(caption);
    QByteArray bytes = csvLine(header);
    for (const LogEntry& e : entries) bytes += csvLine({e.time, e.event, e.details, e.col});
    file.write(bytes);
    return file.commit();
}

} // namespace ks
