#include "app/TimeCore.h"
#include "protocol/SourceTrust.h"

#include "platform/SystemClock.h"
#include "platform/Ui.h"
#include "protocol/DateFormat.h"
#include "protocol/Replies.h"
#include "protocol/RuntimePaths.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QSaveFile>

namespace ks {

namespace {
double thousandths(double v) { return double(qRound64(v * 1000)) / 1000; }

std::optional<double> keptFrequency() {
    QFile file(TimeCore::DriftFile());
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    bool ok = false;
    const double ppm = file.readLine(32).trimmed().toDouble(&ok);
    // A damaged file is ignored: the estimate starts again.
    if (!ok || qAbs(ppm) > ClockDiscipline::MaxFrequencyPpm) return std::nullopt;
    return ppm;
}
} // namespace

QString TimeCore::DriftFile() { return stateFolder() + QStringLiteral("/drift"); }

void TimeCore::SetSlew(bool slew) {
    const auto mode = slew ? ClockDiscipline::Mode::Slew : ClockDiscipline::Mode::Step;
    if (Discipline.mode() == mode) return;
    const bool corrected = Discipline.frequencyPpm().has_value();
    Discipline = ClockDiscipline(mode);
    if (!slew) {
        // Stepping alone leaves the clock at its own rate, as before any correction.
        if (corrected) systemClock().setFrequency(0);
        return;
    }
    if (const std::optional<double> ppm = keptFrequency()) SetFrequency(*ppm, false);
}

void TimeCore::SetFrequency(double ppm, bool keep) {
    Discipline.setFrequency(ppm);
    systemClock().setFrequency(ppm);
    if (!keep) return;
    // Kept like chrony's drift file, so the next start corrects at once.
    QDir().mkpath(stateFolder());
    QSaveFile file(DriftFile());
    if (file.open(QIODevice::WriteOnly)) {
        file.write(signedThreeDecimals(ppm) + '\n');
        file.commit();
    }
}

bool TimeCore::Take(const ClockSample& sample, const std::optional<NtpUpstream>& ntp) {
    const ClockDiscipline::Decision d =
        Discipline.sample(sample.trueMs, sample.localMs, sample.uncertaintyMs);
    // GPS sets UTC, SNTP local time.
    const ClockSetKind kind = sample.source == TimeSource::Ntp ? ClockSetKind::Local : ClockSetKind::Utc;
    switch (d.kind) {
    case ClockDiscipline::Decision::Kind::None: return false;
    case ClockDiscipline::Decision::Kind::Step:
        if (!systemClock().setTime(d.stepToMs, kind)) return false;
        ++steps_;
        NoteClockSetting(sample.source, d.stepToMs - sample.localMs);
        break;
    case ClockDiscipline::Decision::Kind::Slew:
        if (!systemClock().slew(d.slewMs)) return false;
        ++slews_;
        NoteClockSetting(sample.source, qRound64(d.slewMs));
        break;
    }
    if (d.frequencyPpm) SetFrequency(*d.frequencyPpm, true);
    lastSample_ = sample;
    lastUpstream_ = ntp;
    return true;
}

void TimeCore::NoteClockSetting(TimeSource source, qint64 stepMs) {
    lastSetting_ = {systemClock().nowMs(), source, stepMs};
    // Software on this PC sees time jump: the operator hears of it beyond the event log.
    if (qAbs(stepMs) > 1000 && isHeadless())
        writeStderrLine("Clock stepped by " + signedThreeDecimals(double(stepMs) / 1000.0) + " s (source " +
                            sourceName(qint16(source)).toLatin1() + ')',
                        5);
}

void TimeCore::StartAfresh() { SyncState = TimeState::NotSynchronised; }

void TimeCore::SerialPort(bool open, bool serialSource) {
    if (open && SyncState == TimeState::NoSerialInput) SyncState = TimeState::NotSynchronised;
    if (!open && serialSource) SyncState = TimeState::NoSerialInput;
}

void TimeCore::GpsFix(TimeState state) { SyncState = state; }

void TimeCore::PcClockSource() { SyncState = TimeState::Synchronised; }

void TimeCore::NtpAttemptStarted() { SyncState = TimeState::Synchronising; }

void TimeCore::NtpAttemptEnded(bool synced) {
    SyncState = synced ? TimeState::Synchronised : TimeState::NotSynchronised;
}

TimeState TimeCore::ToldState(TimeSource source, qint64 nowMs, int holdoverS) const {
    if (!lastSample_ || lastSample_->source != source) return SyncState;
    // The local reading, not the true instant: a dry run never moves the clock to it.
    return holdoverState(SyncState, lastSample_->localMs, nowMs, holdoverS);
}

TimeFacts TimeCore::Facts() const {
    TimeFacts f;
    f.state = SyncState;
    f.frequencyPpm = Discipline.frequencyPpm();
    if (!lastSample_) return f;
    f.source = lastSample_->source;
    f.lastSampleMs = lastSample_->trueMs;
    if (const auto ms = Discipline.errorBoundMs(systemClock().nowMs())) f.errorS = *ms / 1000;
    f.ntp = lastUpstream_;
    return f;
}

void TimeCore::AddStatus(QJsonObject& status) const {
    if (lastSetting_.atMs != 0) {
        QJsonObject c;
        c[QLatin1String("at")] = QString::fromLatin1(utcStatusText(lastSetting_.atMs));
        c[QLatin1String("source")] = sourceName(qint16(lastSetting_.source));
        c[QLatin1String("step_ms")] = lastSetting_.stepMs;
        status[QLatin1String("last_clock_setting")] = c;
    }
    const TimeFacts f = Facts();
    if (lastSample_) {
        QJsonObject s;
        s[QLatin1String("at")] = QString::fromLatin1(utcStatusText(f.lastSampleMs));
        s[QLatin1String("source")] =
            f.source == TimeSource::Ntp ? QStringLiteral("NTP") : QStringLiteral("GPS");
        s[QLatin1String("uncertainty_ms")] = thousandths(lastSample_->uncertaintyMs);
        status[QLatin1String("last_sample")] = s;
    }
    if (f.errorS) status[QLatin1String("estimated_error_ms")] = thousandths(*f.errorS * 1000);
    if (f.frequencyPpm) status[QLatin1String("frequency_ppm")] = thousandths(*f.frequencyPpm);
    status[QLatin1String("clock_steps")] = steps_;
    status[QLatin1String("clock_slews")] = slews_;
}

} // namespace ks
