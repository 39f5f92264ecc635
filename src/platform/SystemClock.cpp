#include "platform/SystemClock.h"

#include "protocol/DateFormat.h"

#include <QFile>

namespace ks {

QByteArray clockLogLine(qint64 utcMs, ClockSetKind kind) {
    return formatDateTime("yyyy-mm-ddThh:nn:ss.zzzZ ", civilFromMs(utcMs)) +
           (kind == ClockSetKind::Utc ? "utc" : "local");
}

bool recordClockSetting(const QByteArray& path, qint64 utcMs, ClockSetKind kind, QString* error) {
    QFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::Append) || file.write(clockLogLine(utcMs, kind) + '\n') < 0) {
        if (error) *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace ks
