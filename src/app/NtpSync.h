#pragma once

#include "app/EventLog.h"
#include "protocol/ClockSample.h"
#include "protocol/SettingsTable.h"

#include <QByteArray>
#include <QList>
#include <QObject>

#include <functional>
#include <optional>

class QJsonObject;
class QTimer;

namespace ks {

class SntpClient;
enum class SntpOutcome;
class TimeCore;

// The NTP source: its attempts, their watchdog and retries, and what the last ones brought.
// The answers go to the time core as samples.
class NtpSync : public QObject {
    Q_OBJECT
public:
    // After a failed attempt the next ones follow after 1, 2, 4, 8 and 16 base intervals
    // (a minute), until one succeeds; then the hourly attempt alone.
    static constexpr int NtpRetryLimit = 5;

    // What the sync reads of the program's state when it needs it.
    struct Host {
        EventLog log;
        std::function<const StoredSettings&()> config;
        std::function<bool()> exiting; // "E&xit" under way: no attempt starts
    };
    NtpSync(Host host, TimeCore& core, QObject* parent);

    // Who asks. While an attempt runs, the hour, a button or a choice hear so in the log; an
    // operator (who waits for its end) and a retry say nothing.
    enum class Ask { Told, Operator, Retry };
    // The one way an attempt starts: with the NTP source, one at a time. It returns at once;
    // the end comes as attemptEnded().
    void SyncToNtp(Ask ask = Ask::Told);
    bool Running() const;
    // Ends a waiting attempt at once, quietly. False when none runs.
    bool AbandonNtpAttempt();
    void StopRetries();
    // "FORCE SYNC" asked through the status socket: the attempt's outcome in words.
    void SyncForOperator(const std::function<void(const QByteArray&)>& answer);
    // last_ntp_answer, last_ntp_attempt and, with the NTP source, next_ntp_attempt (the hourly
    // one due in hourlyInMs, or a retry when one is due sooner).
    void AddStatus(QJsonObject& status, qint64 nowMs, qint64 hourlyInMs) const;

    int NtpRetryBaseMs = 60'000;

signals:
    // An attempt has ended, whatever its outcome.
    void attemptEnded();

private:
    struct NtpAttempt {
        qint64 atMs = 0; // 0: none yet
        QByteArray server;
        QByteArray outcome;
    };
    // The last full answer of an NTP server, as chronyc tracking would show it.
    struct NtpAnswer {
        qint64 atMs = 0; // 0: none yet
        QByteArray address;
        int stratum = 0;
        qint64 offsetMs = 0;
        qint64 roundTripMs = 0;
        double rootDelayMs = 0;
        double rootDispersionMs = 0;
        QByteArray refused; // why it was not used, in words; empty when it was
    };
    struct NtpBest {
        ClockSample sample;
        NtpUpstream upstream;
        NtpAnswer answer;
    };
    static constexpr int NtpWatchdogMs = 3000;      // a request without an answer this long fails
    static constexpr int NtpRequestsPerAttempt = 4; // slewing; stepping asks once

    void NTPTimerTimer();
    void NtpRetryTimerTimer();
    void NtpClientFinished(SntpOutcome outcome, const QString& error);
    // The attempt's answers so far: the best is kept; the attempt's end takes it.
    void NoteNtpAnswer();
    void TakeNtpAnswer();
    // The state an ended attempt leaves, then what waited for its end.
    void EndNtpAttempt(bool synced);
    void NtpAttemptOver(bool synced);
    void ScheduleNtpRetry(bool synced, bool wasRetry);
    // The stderr text of an attempt's entry whose answer was refused; empty otherwise.
    QByteArray RefusedDetail(const QByteArray& details) const;
    // The last attempt's outcome for the operator who asked: on success the server, offset,
    // round trip and stratum.
    QByteArray SyncOutcomeWords() const;

    Host host_;
    TimeCore& Core;
    SntpClient* NtpClient = nullptr; // running() while an NTP attempt runs
    QTimer* NTPTimer = nullptr;      // the attempt's watchdog
    QTimer* NtpRetryTimer = nullptr;
    int NtpRetries = 0; // retries made in the current series
    NtpAttempt LastNtpAttempt;
    NtpAnswer LastNtpAnswer;
    // The attempt running: its server, whether it is a retry, operators waiting for its outcome.
    QByteArray ntpHost_;
    bool ntpRetry_ = false;
    int ntpAnswers_ = 0;
    std::optional<NtpBest> ntpBest_;
    QList<std::function<void(const QByteArray&)>> ntpWaiters_;
};

} // namespace ks
