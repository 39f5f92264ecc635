// SyncToNtp, the attempt's end, its watchdog and its retries.
#include "app/NtpSync.h"
#include "app/TimeCore.h"
#include "components/SNTP.h"
#include "log/LogModel.h"
#include "platform/SystemClock.h"
#include "protocol/DateFormat.h"
#include "protocol/Replies.h"

#include <QJsonObject>
#include <QTimer>

#include <utility>

namespace ks {

namespace {
QString utcText(qint64 ms) { return QString::fromLatin1(utcStatusText(ms)); }
} // namespace

NtpSync::NtpSync(Host host, TimeCore& core, QObject* parent)
    : QObject(parent), host_(std::move(host)), Core(core) {
    NtpClient = new SntpClient(this);
    NtpClient->ReceiveTimeout = -2; // the watchdog alone ends a silent wait
    connect(NtpClient, &SntpClient::finished, this, &NtpSync::NtpClientFinished);
    NTPTimer = new QTimer(this);
    NTPTimer->setSingleShot(true);
    NTPTimer->setInterval(NtpWatchdogMs);
    NTPTimer->setTimerType(Qt::PreciseTimer); // a coarse timer could be 150 ms late
    connect(NTPTimer, &QTimer::timeout, this, &NtpSync::NTPTimerTimer);
    NtpRetryTimer = new QTimer(this);
    NtpRetryTimer->setSingleShot(true);
    NtpRetryTimer->setTimerType(Qt::PreciseTimer); // a coarse timer may fire 5 % early
    connect(NtpRetryTimer, &QTimer::timeout, this, &NtpSync::NtpRetryTimerTimer);
}

bool NtpSync::Running() const { return NtpClient->running(); }

void NtpSync::SyncToNtp(Ask ask) {
    if (host_.config().SyncSource != TimeSource::Ntp) return;
    // One attempt at a time, the running one untouched.
    if (NtpClient->running()) {
        if (ask == Ask::Told) host_.log(LogNotice, "NTP Sync", "Sync already in progress");
        return;
    }
    // Once "E&xit" is under way no attempt starts.
    if (host_.exiting()) return;

    ntpHost_ = host_.config().NtpServer;
    ntpRetry_ = ask == Ask::Retry;
    ntpAnswers_ = 0;
    ntpBest_.reset();
    NtpClient->Host = QString::fromLocal8Bit(ntpHost_);
    Core.NtpAttemptStarted();
    host_.log(LogNotice, "NTP Sync", "Attempting Sync to " + ntpHost_);
    LastNtpAttempt = {systemClock().nowMs(), ntpHost_, "in progress"};
    NTPTimer->start();
    try {
        NtpClient->StartSync();
    } catch (const SntpError& e) {
        NtpClientFinished(SntpOutcome::Failed, e.message());
    }
}

void NtpSync::NtpClientFinished(SntpOutcome outcome, const QString& error) {
    if (outcome == SntpOutcome::Answered) {
        NoteNtpAnswer();
        // Slewing, an attempt asks again: the answer with the shortest round trip is the
        // sample, its error bounded best.
        if (host_.config().Slew && ++ntpAnswers_ < NtpRequestsPerAttempt && !host_.exiting()) {
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
        host_.log(LogAlert, "NTP Sync",
                  "Failed Sync to " + (ntpHost_.isEmpty() ? QByteArray() : ntpHost_ + ' ') +
                      error.toLocal8Bit());
    }
    EndNtpAttempt(false);
    host_.log(LogAlert, "NTP Sync", "Failed Sync to " + ntpHost_,
              outcome == SntpOutcome::Failed ? EntryKind::Repeat : EntryKind::Normal,
              RefusedDetail("Failed Sync to " + ntpHost_));
    NtpAttemptOver(false);
}

void NtpSync::NoteNtpAnswer() {
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

void NtpSync::TakeNtpAnswer() {
    const NtpBest best = *std::exchange(ntpBest_, std::nullopt);
    NTPTimer->stop();
    NtpClient->Cancel();
    // The clock may refuse: the attempt has failed then, as when no answer came.
    const bool synced = Core.Take(best.sample, best.upstream);
    EndNtpAttempt(synced);
    LastNtpAnswer = best.answer;
    if (synced) host_.log(LogSuccess, "NTP Sync", "Successful Sync to " + ntpHost_);
    else host_.log(LogAlert, "NTP Sync", "Failed Sync to " + ntpHost_);
    NtpAttemptOver(synced);
}

void NtpSync::EndNtpAttempt(bool synced) {
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

void NtpSync::NtpAttemptOver(bool synced) {
    ScheduleNtpRetry(synced, ntpRetry_);
    for (const auto& answer : std::exchange(ntpWaiters_, {})) answer(SyncOutcomeWords());
    emit attemptEnded();
}

void NtpSync::ScheduleNtpRetry(bool synced, bool wasRetry) {
    // A network not yet up at log-in must not leave the clock an hour without time; a failed
    // hourly or forced attempt starts a new series.
    if (synced || host_.exiting()) {
        StopRetries();
        return;
    }
    if (!wasRetry) NtpRetries = 0;
    if (NtpRetries >= NtpRetryLimit) return; // the hourly attempt goes on alone
    NtpRetryTimer->start(NtpRetryBaseMs << NtpRetries);
    ++NtpRetries;
}

void NtpSync::StopRetries() {
    NtpRetryTimer->stop();
    NtpRetries = 0;
}

void NtpSync::NtpRetryTimerTimer() { SyncToNtp(Ask::Retry); } // not with another source

void NtpSync::NTPTimerTimer() {
    if (!NtpClient->running()) return;    // the attempt has already ended
    if (ntpBest_) return TakeNtpAnswer(); // a later request of the attempt went unanswered
    LastNtpAttempt.outcome =
        "failed: no answer from " + ntpHost_ + " within " + QByteArray::number(NtpWatchdogMs / 1000) + " s";
    host_.log(LogAlert, "NTP Sync", "Connection Timeout", EntryKind::Normal,
              RefusedDetail("Connection Timeout"));
    AbandonNtpAttempt();
}

QByteArray NtpSync::RefusedDetail(const QByteArray& details) const {
    // The event log keeps its words; the operator reading stderr learns why.
    return NtpClient->Refused().isEmpty() ? QByteArray()
                                          : details + ": answer refused: " + NtpClient->Refused();
}

bool NtpSync::AbandonNtpAttempt() {
    if (!NtpClient->running()) return false;
    ntpBest_.reset();
    // Quietly: whoever abandons it has said why, or nobody needs to hear.
    NtpClient->Cancel();
    EndNtpAttempt(false);
    NtpAttemptOver(false);
    return true;
}

void NtpSync::SyncForOperator(const std::function<void(const QByteArray&)>& answer) {
    if (host_.config().SyncSource != TimeSource::Ntp) return answer("failed: the source is not NTP");
    // An attempt under way answers this asker too, as the hourly one would have.
    SyncToNtp(Ask::Operator);
    if (Running()) ntpWaiters_.append(answer);
    else answer(SyncOutcomeWords());
}

QByteArray NtpSync::SyncOutcomeWords() const {
    if (LastNtpAttempt.outcome != "succeeded") return LastNtpAttempt.outcome;
    const NtpAnswer& a = LastNtpAnswer;
    return "succeeded: " + a.address + ", offset " + signedThreeDecimals(double(a.offsetMs) / 1000.0) +
           " s, round trip " + QByteArray::number(double(a.roundTripMs) / 1000.0, 'f', 3) + " s, stratum " +
           QByteArray::number(a.stratum);
}

void NtpSync::AddStatus(QJsonObject& o, qint64 nowMs, qint64 hourlyInMs) const {
    if (LastNtpAnswer.atMs != 0) {
        QJsonObject a;
        a[QLatin1String("at")] = utcText(LastNtpAnswer.atMs);
        a[QLatin1String("address")] = QString::fromLatin1(LastNtpAnswer.address);
        a[QLatin1String("stratum")] = LastNtpAnswer.stratum;
        a[QLatin1String("offset_ms")] = LastNtpAnswer.offsetMs;
        a[QLatin1String("round_trip_ms")] = LastNtpAnswer.roundTripMs;
        a[QLatin1String("root_delay_ms")] = LastNtpAnswer.rootDelayMs;
        a[QLatin1String("root_dispersion_ms")] = LastNtpAnswer.rootDispersionMs;
        if (!LastNtpAnswer.refused.isEmpty())
            a[QLatin1String("refused")] = QString::fromLatin1(LastNtpAnswer.refused);
        o[QLatin1String("last_ntp_answer")] = a;
    }
    if (host_.config().SyncSource == TimeSource::Ntp) {
        const bool retry = NtpRetryTimer->isActive() && NtpRetryTimer->remainingTime() < hourlyInMs;
        const qint64 inMs = retry ? NtpRetryTimer->remainingTime() : hourlyInMs;
        if (inMs >= 0) {
            QJsonObject next;
            next[QLatin1String("at")] = utcText(nowMs + inMs);
            next[QLatin1String("why")] = retry ? QStringLiteral("retry") : QStringLiteral("hourly");
            o[QLatin1String("next_ntp_attempt")] = next;
        }
    }
    if (LastNtpAttempt.atMs != 0) {
        QJsonObject n;
        n[QLatin1String("at")] = utcText(LastNtpAttempt.atMs);
        n[QLatin1String("server")] = QString::fromLocal8Bit(LastNtpAttempt.server);
        n[QLatin1String("outcome")] = QString::fromLocal8Bit(LastNtpAttempt.outcome);
        o[QLatin1String("last_ntp_attempt")] = n;
    }
}

} // namespace ks
