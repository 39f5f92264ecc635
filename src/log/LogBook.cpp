#include "log/LogBook.h"

#include "log/LogCsv.h"
#include "platform/SystemClock.h"
#include "platform/Ui.h"
#include "protocol/DateFormat.h"

namespace ks {

const LogEntry& LogBook::AddEntry(qint16 type, const QByteArray& event, const QByteArray& details) {
    model_.add({formatDateTime("hh:nn:ss", localNow()), event, details, QByteArray::number(type)});
    return model_.entries().last();
}

QStringList LogBook::SaveLogCsv(QStringList* errors) const {
    QStringList ignored;
    return saveLogCsv(model_.entries(), executableDir(), localNow(), errors ? errors : &ignored);
}

} // namespace ks
