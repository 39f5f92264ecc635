#include "protocol/SourceTrust.h"

#include "protocol/DateFormat.h"

namespace ks {

namespace {
QByteArray dayText(qint64 ms) { return formatDateTime("yyyy-mm-dd hh:nn:ss", civilFromMs(ms)); }

// The RMC date field of an instant: ddmmyy.
QByteArray rmcDateText(qint64 ms) { return formatDateTime("ddmmyy", civilFromMs(ms)); }

qint64 yearsLater(qint64 ms, int years) {
    CivilTime t = civilFromMs(ms);
    t.year += years;
    return msFromCivil(t);
}
} // namespace

qint64 releaseDateMs() {
    static const qint64 ms = [] {
        const QByteArray d = KS_RELEASE_DATE; // yyyy-mm-dd
        return msFromCivil({d.left(4).toInt(), d.mid(5, 2).toInt(), d.mid(8, 2).toInt(), 0, 0, 0, 0});
    }();
    return ms;
}

std::optional<GpsRollover> correctGpsRollover(GpsSentenceResult::Rmc& rmc, qint64 pcNowMs, qint64 releaseMs) {
    if (!rmc.utcMs) return std::nullopt;
    const qint64 reference = qMax(pcNowMs, releaseMs);
    GpsRollover r;
    r.receivedMs = *rmc.utcMs;
    if (r.receivedMs > yearsLater(reference, 50)) r.receivedMs = yearsLater(r.receivedMs, -100);
    r.correctedMs = r.receivedMs;
    const qint64 earliest = reference - GpsRolloverLimitWeeks * GpsWeekMs;
    while (r.correctedMs < earliest) {
        r.correctedMs += GpsWeekWindow * GpsWeekMs;
        r.weeksAdded += GpsWeekWindow;
    }
    if (r.weeksAdded == 0) return std::nullopt;
    rmc.utcMs = r.correctedMs;
    rmc.dateText = rmcDateText(r.correctedMs);
    return r;
}

QByteArray gpsRolloverLine(const GpsRollover& r) {
    return "GPS input: the receiver's date " + dayText(r.receivedMs) + " UTC is " +
           QByteArray::number(r.weeksAdded) + " weeks back (GPS week-number rollover): read as " +
           dayText(r.correctedMs) + " UTC";
}

std::optional<QByteArray> ReceiverSilence::sentence(qint64 nowMs) {
    const bool wasSilent = silent_;
    *this = ReceiverSilence(nowMs);
    if (!wasSilent) return std::nullopt;
    return "GPS input: the receiver sends sentences again";
}

std::optional<QByteArray> ReceiverSilence::check(qint64 nowMs) {
    if (silent_ || nowMs - since_ < SilenceMs) return std::nullopt;
    silent_ = true;
    // Said as the silence begins: a late tick does not change what it is.
    QByteArray line = "GPS input: " + reason(since_ + SilenceMs).toLatin1();
    if (bytes_ > 0) line += " (" + QByteArray::number(bytes_) + " bytes received, no sentence)";
    return line;
}

QString ReceiverSilence::reason(qint64 nowMs) const {
    QString r = QStringLiteral("receiver silent for %1 s").arg((nowMs - since_) / 1000);
    if (bytes_ > 0) r += QStringLiteral(": check the baud rate");
    return r;
}

TimeState holdoverState(TimeState state, qint64 lastGoodMs, qint64 nowMs, int holdoverS) {
    if (state != TimeState::Synchronised || holdoverS <= 0 || lastGoodMs == 0) return state;
    return nowMs - lastGoodMs > qint64(holdoverS) * 1000 ? TimeState::Synchronising : state;
}

QByteArray holdoverWarning(int holdoverS, TimeSource source) {
    constexpr int HourlyS = 3600;
    if (source != TimeSource::Ntp || holdoverS <= 0 || holdoverS > HourlyS) return {};
    return "holdover " + QByteArray::number(holdoverS) +
           " s is not longer than the hourly NTP attempt (3600 s): the state drops to synchronising "
           "before every attempt";
}

} // namespace ks
