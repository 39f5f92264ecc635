#pragma once

#include "protocol/ClockDiscipline.h"
#include "protocol/ClockSample.h"
#include "protocol/SyncStatus.h"

#include <QByteArray>
#include <QString>

#include <optional>

class QJsonObject;

namespace ks {

// The clock as its consumers (announcements, the NTP server, the status, metrics) read it.
struct TimeFacts {
    TimeSource source = TimeSource::PcClock; // of the last sample
    TimeState state = TimeState::NotSynchronised;
    qint64 lastSampleMs = 0;            // the instant of the last sample taken, ms since 1970 UTC; 0: none
    std::optional<double> errorS;       // how far off the clock may be now
    std::optional<NtpUpstream> ntp;     // when the last sample came from an NTP server
    std::optional<double> frequencyPpm; // the correction in force (positive: the clock gains)
};

// Turns samples into clock changes through the discipline, and knows how good the clock is.
// Nothing else outside the platform steps, slews or corrects the clock's frequency, and
// SyncState changes only here.
class TimeCore {
public:
    // The discipline the settings ask for, kept when already in force. Slewing brings in the
    // frequency correction kept from an earlier run; leaving it takes the correction away.
    void SetSlew(bool slew);
    // At start and at a change of source: the next sample steps.
    void Restart() { Discipline.restart(); }
    // False when the clock was left alone or refused the change.
    bool Take(const ClockSample& sample, const std::optional<NtpUpstream>& ntp = {});

    // The events SyncState follows.
    void StartAfresh();                            // the program starts
    void SerialPort(bool open, bool serialSource); // at every tick
    void GpsFix(TimeState state);                  // the receiver's fix changed
    void PcClockSource();                          // the PC clock is the source: its own time is right
    void NtpAttemptStarted();
    void NtpAttemptEnded(bool synced);

    TimeState syncState() const { return SyncState; }
    // SyncState as announced, replied and served: once the source's last sample is older than
    // holdoverS seconds (0: no limit), synchronised is told as synchronising.
    TimeState ToldState(TimeSource source, qint64 nowMs, int holdoverS) const;
    TimeFacts Facts() const;
    // The clock's part of the status: the last setting, the last sample, the error estimate,
    // the frequency correction and the counts of steps and slews.
    void AddStatus(QJsonObject& status) const;

    // Where the frequency correction is kept across runs.
    static QString DriftFile();

private:
    void NoteClockSetting(TimeSource source, qint64 stepMs);
    void SetFrequency(double ppm, bool keep);

    ClockDiscipline Discipline;
    TimeState SyncState = TimeState::NotSynchronised;
    std::optional<ClockSample> lastSample_;
    std::optional<NtpUpstream> lastUpstream_;
    struct {
        qint64 atMs = 0; // 0: none yet
        TimeSource source = TimeSource::PcClock;
        qint64 stepMs = 0; // how far the clock moved
    } lastSetting_;
    qint64 steps_ = 0;
    qint64 slews_ = 0;
};

} // namespace ks
