#include "log/LogCsv.h"

#include "protocol/Csv.h"
#include "protocol/DateFormat.h"
#include "protocol/RuntimePaths.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace ks {

QString logCsvFileName(const CivilTime& localTime) {
    return QString::fromLatin1(formatDateTime("dd-mm-yy-hh-nn-ss", localTime) + ".csv");
}

bool writeLogCsv(const QList<LogEntry>& entries, const QString& dir, const CivilTime& localTime,
                 QString* error) {
    const QString folder = dir + QStringLiteral("/Logs");
    if (!QFileInfo(folder).isDir()) {
        if (error) *error = folder + QStringLiteral(": no such folder");
        return false;
    }
    // QSaveFile: a save replacing an earlier one of the same second is never seen half written.
    QSaveFile file(folder + QLatin1Char('/') + logCsvFileName(localTime));
    const auto fail = [&file, error] {
        if (error) *error = file.fileName() + QStringLiteral(": ") + file.errorString();
        return false;
    };
    if (!file.open(QIODevice::WriteOnly)) return fail();
    QList<QByteArray> header;
    for (const char* caption : LogModel::Captions) header.append(caption);
    QByteArray bytes = csvLine(header);
    for (const LogEntry& e : entries) bytes += csvLine({e.time, e.event, e.details, e.col});
    file.write(bytes);
    return file.commit() || fail();
}

QStringList logCsvDirs(const QString& executableDir) { return {executableDir, stateFolder()}; }

QStringList saveLogCsv(const QList<LogEntry>& entries, const QString& executableDir,
                       const CivilTime& localTime, QStringList* errors) {
    QStringList saved;
    bool tried = false;
    const QStringList dirs = logCsvDirs(executableDir);
    for (const QString& dir : dirs) {
        if (!QFileInfo(dir + QStringLiteral("/Logs")).isDir()) continue;
        tried = true;
        QString error;
        if (writeLogCsv(entries, dir, localTime, &error))
            saved.append(dir + QStringLiteral("/Logs/") + logCsvFileName(localTime));
        else errors->append(error);
    }
    if (!tried)
        errors->append(QStringLiteral("No Logs folder: create %1/Logs or %2/Logs to save the log.")
                           .arg(dirs[0], dirs[1]));
    return saved;
}

} // namespace ks
