// SyncToNtp, the attempt's end and its watchdog.
#include "app/TimeNow.h"
#include "components/SNTP.h"
#include "log/LogModel.h"
#include "platform/Error.h"
#include "platform/SystemClock.h"

#include <QTimer>

#include <utility>

namespace ks {

void TForm1::CreateNtpClient() {
    NtpClient = new SntpClient(this);
    NtpClient->ReceiveTimeout = -2; // the watchdog alone ends a silent wait
    connect(NtpClient, &SntpClient::finished, this, &TForm1::NtpClientFinished);
    NTPTimer = new QTimer(this);
    NTPTimer->setSingleShot(true);
    NTPTimer->setInterval(NtpWatchdogMs);
    NTPTimer->setTimerType(Qt::PreciseTimer); // a coarse timer could be 150 ms late
    connect(NTPTimer, &QTimer::timeout, this, &TForm1::NTPTimerTimer);
}

bool TForm1::NtpAttemptRunning() const { return NtpClient->running(); }

void TForm1::SyncToNtp() {
    // The hourly tick, "FORCE SYNC" or choosing NTP may ask while an attempt runs: one
    // attempt at a time, the running one untouched.
    if (NtpClient->running()) {
        AddLogEntry(LogNotice, "NTP Sync", "Sync already in progress");
        return;
    }
    // Once "E&xit" is under way no attempt starts.
    if (exiting_) return;

    ntpHost_ = Config.NtpServer;
    ntpRetry_ = std::exchange(ntpRetrying_, false);
    ntpAnswers_ = 0;
    ntpBest_.reset();
    NtpClient->Host = QString::fromLocal8Bit(ntpHost_);
    Core.NtpAttemptStarted();
    AddLogEntry(LogNotice, "NTP Sync", "Attempting Sync to " + ntpHost_);
    LastNtpAttempt = {systemClock().nowMs(), ntpHost_, "in progress"};
    NTPTimer->start();
    try {
        NtpClient->StartSync();
    } catch (const SntpError& e) {
        NtpClientFinished(SntpOutcome::Failed, e.message());
    }
}

void TForm1::NtpClientFinished(SntpOutcome outcome, const QString& error) {
    if (outcome == SntpOutcome::Answered) {
        NoteNtpAnswer();
        // Slewing, an attempt asks again: the answer with the shortest round trip is the
        // sample, its error bounded best.
        if (Config.Slew && ++ntpAnswers_ < NtpRequestsPerAttempt && !exiting_) {
            NTPTimer->start();
            try {
                return NtpClient->StartSync();
            } catch (const SntpError&) {
                // The answers so far make the sample.
            }
        }
    }
    if (ntpBest_) return TakeNtpAnswer();
    if (outcome == SntpOutcome::Failed) {
        LastNtpAttempt.outcome = "failed: " + error.toLocal8Bit();
        AddLogEntry(LogAlert, "NTP Sync",
                    "Failed Sync to " + (ntpHost_.isEmpty() ? QByteArray() : ntpHost_ + ' ') +
                        error.toLocal8Bit());
    }
    EndNtpAttempt(false);
    AddLogEntry(LogAlert, "NTP Sync", "Failed Sync to " + ntpHost_,
                outcome == SntpOutcome::Failed ? EntryKind::Repeat : EntryKind::Normal,
                RefusedDetail("Failed Sync to " + ntpHost_));
    NtpAttemptOver(false);
}

void TForm1::NoteNtpAnswer() {
    const NtpUpstream upstream = NtpClient->Upstream();
    if (ntpBest_ && ntpBest_->upstream.roundTripMs <= upstream.roundTripMs) return;
    ntpBest_ = NtpBest{NtpClient->Sample(),
                       upstream,
                       {NtpClient->T4(),
                        upstream.address,
                        upstream.stratum,
                        NtpClient->ClockOffset(),
                        NtpClient->RoundTrip(),
                        upstream.rootDelayMs,
                        upstream.rootDispersionMs,
                        {}}};
}

void TForm1::TakeNtpAnswer() {
    const NtpBest best = *std::exchange(ntpBest_, std::nullopt);
    NTPTimer->stop();
    NtpClient->Cancel();
    // The clock may refuse: the attempt has failed then, as when no answer came.
    const bool synced = Core.Take(best.sample, best.upstream);
    EndNtpAttempt(synced);
    LastNtpAnswer = best.answer;
    if (synced) AddLogEntry(LogSuccess, "NTP Sync", "Successful Sync to " + ntpHost_);
    else AddLogEntry(LogAlert, "NTP Sync", "Failed Sync to " + ntpHost_);
    NtpAttemptOver(synced);
}

void TForm1::EndNtpAttempt(bool synced) {
    NTPTimer->stop();
    if (NtpClient->T4() != 0)
        LastNtpAnswer = {NtpClient->T4(),
                         NtpClient->AnsweredBy().toString().toLatin1(),
                         NtpClient->Stratum(),
                         NtpClient->ClockOffset(),
                         NtpClient->RoundTrip(),
                         NtpClient->Upstream().rootDelayMs,
                         NtpClient->Upstream().rootDispersionMs,
                         NtpClient->Refused()};
    Core.NtpAttemptEnded(synced);
    // The watchdog or a failure has named its own reason already.
    if (synced) LastNtpAttempt.outcome = "succeeded";
    else if (!NtpClient->Refused().isEmpty())
        LastNtpAttempt.outcome = "failed: answer refused: " + NtpClient->Refused();
    else if (LastNtpAttempt.outcome == "in progress") LastNtpAttempt.outcome = "failed";
}

void TForm1::NtpAttemptOver(bool synced) {
    ScheduleNtpRetry(synced, ntpRetry_);
    for (const auto& answer : std::exchange(ntpWaiters_, {})) answer(SyncOutcomeWords());
    // The start-up attempt has ended: the rest of the start follows (unless Exit came).
    if (std::exchange(startPending_, false) && !exiting_) {
        try {
            FinishStartUp();
        } catch (const Error& e) {
            emit startFailed(e.message());
        }
    }
}

void TForm1::ScheduleNtpRetry(bool synced, bool wasRetry) {
    // A network not yet up at log-in must not leave the clock an hour without time; a failed
    // hourly or forced attempt starts a new series.
    if (synced || exiting_) {
        NtpRetryTimer->stop();
        NtpRetries = 0;
        return;
    }
    if (!wasRetry) NtpRetries = 0;
    if (NtpRetries >= NtpRetryLimit) return; // the hourly attempt goes on alone
    NtpRetryTimer->start(NtpRetryBaseMs << NtpRetries);
    ++NtpRetries;
}

void TForm1::NtpRetryTimerTimer() {
    // Another source chosen, or an attempt runs.
    if (Config.SyncSource != TimeSource::Ntp || NtpClient->running()) return;
    ntpRetrying_ = true;
    SyncToNtp();
    ntpRetrying_ = false; // also when no attempt started
}

void TForm1::NTPTimerTimer() {
    if (!NtpClient->running()) return;    // the attempt has already ended
    if (ntpBest_) return TakeNtpAnswer(); // a later request of the attempt went unanswered
    LastNtpAttempt.outcome =
        "failed: no answer from " + ntpHost_ + " within " + QByteArray::number(NtpWatchdogMs / 1000) + " s";
    AddLogEntry(LogAlert, "NTP Sync", "Connection Timeout", EntryKind::Normal,
                RefusedDetail("Connection Timeout"));
    AbandonNtpAttempt();
}

QByteArray TForm1::RefusedDetail(const QByteArray& details) const {
    // The event log keeps its words; the operator reading stderr learns why.
    return NtpClient->Refused().isEmpty() ? QByteArray()
                                          : details + ": answer refused: " + NtpClient->Refused();
}

bool TForm1::AbandonNtpAttempt() {
    if (!NtpClient->running()) return false;
    ntpBest_.reset();
    // Quietly: whoever abandons it has said why, or nobody needs to hear.
    NtpClient->Cancel();
    EndNtpAttempt(false);
    NtpAttemptOver(false);
    return true;
}

} // namespace ks
