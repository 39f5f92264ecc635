// SyncToNtp and its watchdog.
#include "app/TimeNow.h"
#include "components/SNTP.h"
#include "log/LogModel.h"
#include "platform/SystemClock.h"

#include <QCoreApplication>
#include <QScopeGuard>
#include <QTimer>

#include <memory>
#include <utility>

namespace ks {

bool TForm1::SyncToNtp() {
    // The wait below runs the event loop, so the hourly tick, "FORCE SYNC" or choosing NTP
    // can ask again while this attempt waits: one attempt at a time, the running one untouched.
    if (ntpAttempt_) {
        AddLogEntry(LogNotice, "NTP Sync", "Sync already in progress");
        return false;
    }
    // Once "E&xit" is under way no attempt starts: its wait would hold the shutdown up.
    if (exiting_) return false;

    const QByteArray host = Config.NtpServer;
    auto client = std::make_unique<SntpClient>();
    client->Host = QString::fromLocal8Bit(host);
    client->ReceiveTimeout = -2;
    NtpClient = ntpAttempt_ = client.get();
    // However the attempt ends, the window is left idle before the client goes.
    const auto idle = qScopeGuard([this] {
        NTPTimer->stop();
        NtpClient = ntpAttempt_ = nullptr;
        // Exit came during the wait: the main loop ends now that the nested one has returned.
        if (exiting_)
            QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                      Qt::QueuedConnection);
    });

    SyncState = TimeState::Synchronising;
    AddLogEntry(LogNotice, "NTP Sync", "Attempting Sync to " + host);
    const bool retry = std::exchange(ntpRetrying_, false);
    LastNtpAttempt = {systemClock().nowMs(), host, "in progress"};
    QByteArray failure = "failed";
    bool failureLogged = false;

    bool synced = false;
    NTPTimer->start();
    try {
        synced = client->SyncClock();
    } catch (const SntpError& e) {
        NTPTimer->stop();
        SyncState = TimeState::NotSynchronised;
        failure = "failed: " + e.message().toLocal8Bit();
        if (NtpClient) {
            AddLogEntry(LogAlert, "NTP Sync", "Failed Sync to " + host + ' ' + e.message().toLocal8Bit());
            failureLogged = true;
        }
    }
    NTPTimer->stop();
    if (client->T4() != 0)
        LastNtpAnswer = {client->T4(), client->AnsweredBy().toString().toLatin1(), client->Stratum(),
                         client->ClockOffset(), client->RoundTrip()};

    if (synced) {
        SyncState = TimeState::Synchronised;
        LastNtpAttempt.outcome = "succeeded";
        NoteClockSetting(TimeSource::Ntp, client->LastStepMs());
        AddLogEntry(LogSuccess, "NTP Sync", "Successful Sync to " + host);
    } else {
        SyncState = TimeState::NotSynchronised;
        // The watchdog has named its own reason already.
        if (LastNtpAttempt.outcome == "in progress") LastNtpAttempt.outcome = failure;
        if (NtpClient)
            AddLogEntry(LogAlert, "NTP Sync", "Failed Sync to " + host,
                        failureLogged ? EntryKind::Repeat : EntryKind::Normal);
    }
    ScheduleNtpRetry(synced, retry);
    return synced;
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
    if (Config.SyncSource != TimeSource::Ntp || ntpAttempt_) return;
    ntpRetrying_ = true;
    SyncToNtp();
    ntpRetrying_ = false; // also when no attempt started
}

void TForm1::NTPTimerTimer() {
    NTPTimer->stop();
    if (!NtpClient) return; // the attempt has already ended or been abandoned
    SyncState = TimeState::NotSynchronised;
    LastNtpAttempt.outcome = "failed: no answer in time";
    AddLogEntry(LogAlert, "NTP Sync", "Connection Timeout");
    AbandonNtpAttempt();
}

bool TForm1::AbandonNtpAttempt() {
    if (!ntpAttempt_) return false;
    // A null NtpClient tells the attempt to write nothing more; it destroys its client itself
    // once SyncClock has returned.
    NtpClient = nullptr;
    ntpAttempt_->Cancel();
    return true;
}

} // namespace ks
