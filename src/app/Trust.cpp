// What the sources' samples are worth: a receiver's rolled-over week number, a receiver gone
// quiet, a last good sample grown too old.
#include "app/Server.h"
#include "platform/SystemClock.h"
#include "platform/Ui.h"
#include "protocol/DateFormat.h"
#include "protocol/Replies.h"

#include <QJsonObject>

namespace ks {

namespace {
QString dayText(qint64 ms) {
    return QString::fromLatin1(formatDateTime("yyyy-mm-ddThh:nn:ssZ", civilFromMs(ms)));
}
} // namespace

TimeState Server::ShownState() const {
    return Core.ToldState(Config.SyncSource, systemClock().nowMs(), Config.HoldoverS);
}

void Server::AddTrustStatus(QJsonObject& status) const {
    if (Config.HoldoverS > 0) status[QLatin1String("holdover_s")] = Config.HoldoverS;
    if (const std::optional<SystemClockState> s = systemClockState()) {
        QJsonObject c;
        const auto thousandth = [](double ms) { return qRound64(ms * 1000) / 1000.0; };
        c[QLatin1String("synchronised")] = s->synchronised;
        c[QLatin1String("max_error_ms")] = thousandth(s->maxErrorMs);
        c[QLatin1String("est_error_ms")] = thousandth(s->estErrorMs);
        status[QLatin1String("system_clock")] = c;
    }
}

void Server::NoteStateChange(const StatusTriple& status) {
    if (!isHeadless()) return;
    writeStderrLine("State " + statusMessage(status) + " (" + statusMeaning(status).toLatin1() + ") from " +
                        dayText(systemClock().nowMs()).toLatin1(),
                    6);
}

void Server::CheckPcClockState() {
    if (PcClockWarned || Config.SyncSource != TimeSource::PcClock) return;
    const std::optional<SystemClockState> s = systemClockState();
    if (!s || s->synchronised) return;
    PcClockWarned = true;
    if (isHeadless())
        writeStderrLine("PC clock: the system says its clock is not synchronised (maximum error " +
                            QByteArray::number(s->maxErrorMs, 'f', 3) +
                            " ms): clients get this PC's time as it is",
                        4);
}

} // namespace ks
