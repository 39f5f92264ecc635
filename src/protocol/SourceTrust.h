#pragma once

#include "protocol/Nmea.h"
#include "protocol/SyncStatus.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

namespace ks {

// --- GPS week-number rollover ---
// The receiver counts weeks in 10 bits: firmware older than its window names a date exactly
// 1024 weeks (or twice that) back, with the right time of day.
constexpr qint64 GpsWeekMs = 7LL * 86'400'000;
constexpr int GpsWeekWindow = 1024;
// A date further back than this before the reference is a rollover fault: no receiver runs
// that long without a PC clock or a release newer than it.
constexpr int GpsRolloverLimitWeeks = 1000;

// The day this version was made, 00:00 UTC: the reference when the PC clock is older (a flat
// battery puts it at 1970 or 2000).
qint64 releaseDateMs();

// What a corrected receiver date was and became.
struct GpsRollover {
    qint64 receivedMs = 0;  // the receiver's date, its two-digit year in the century it names
    qint64 correctedMs = 0; // the instant used
    int weeksAdded = 0;     // a multiple of 1024
};

// Corrects the RMC's instant and date text before they are used when its date lies more than
// GpsRolloverLimitWeeks before the reference, the later of pcNowMs and releaseMs: 1024 weeks
// are added as often as needed. Its two-digit year reads as 20yy; one that puts the date more
// than 50 years after the reference names 19yy, where a rollover of 2048 weeks lands. Dates
// within the limit stay as they came, and then nothing is returned.
std::optional<GpsRollover> correctGpsRollover(GpsSentenceResult::Rmc& rmc, qint64 pcNowMs, qint64 releaseMs);

// The stderr line telling a correction.
QByteArray gpsRolloverLine(const GpsRollover& r);

// --- A receiver that has gone quiet ---
// The port is open but no sentence has come for SilenceMs: the receiver is off, unplugged
// behind an adapter, or talks at another baud rate (bytes, but no sentence).
class ReceiverSilence {
public:
    static constexpr qint64 SilenceMs = 10'000;

    explicit ReceiverSilence(qint64 sinceMs = 0) : since_(sinceMs) {}

    // The port has opened: the wait starts now.
    void restart(qint64 nowMs) { *this = ReceiverSilence(nowMs); }
    // Bytes arrived, whether or not they make a sentence.
    void bytes(qsizetype count) { bytes_ += count; }
    // A well-formed sentence arrived: the bytes so far are accounted for. Returns the line to
    // write when it ends a silence.
    std::optional<QByteArray> sentence(qint64 nowMs);
    // Returns the line to write when a silence has just begun.
    std::optional<QByteArray> check(qint64 nowMs);

    bool silent() const { return silent_; }
    // Received since the last sentence: more than none means the wrong baud rate.
    qint64 bytesReceived() const { return bytes_; }
    // "receiver silent for N s", with the baud-rate hint when bytes came.
    QString reason(qint64 nowMs) const;

private:
    qint64 since_ = 0; // the port opened, or the last sentence came
    qint64 bytes_ = 0;
    bool silent_ = false;
};

// --- Holdover ---
// The state shown for a source whose state is `state` and whose last good sample came at
// lastGoodMs (0: none): synchronised drops to synchronising once the sample is older than
// holdoverS seconds. 0 is no limit.
TimeState holdoverState(TimeState state, qint64 lastGoodMs, qint64 nowMs, int holdoverS);
// The warning for a holdover that the NTP source's hourly attempt always outlasts; empty when
// it does not apply.
QByteArray holdoverWarning(int holdoverS, TimeSource source);

} // namespace ks
