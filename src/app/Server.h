#pragma once

#include "app/EventLog.h"
#include "app/TimeCore.h"
#include "log/LogBook.h"
#include "platform/SettingsStore.h"
#include "platform/SingleInstance.h"
#include "protocol/CivilTime.h"
#include "protocol/Replies.h"
#include "protocol/SettingsTable.h"
#include "protocol/SyncStatus.h"

#include <QByteArray>
#include <QList>
#include <QObject>

#include <limits>

class QJsonObject;
class QTimer;

namespace ks {

class GpsInput;
class NtpSync;
class NtpServer;
struct NtpServedTime;
class StatusServer;
class ReplySender;
class RequestService;

// The time server without its window: the settings, the owners of the sources and services,
// the ticks, the announcements, the status and the event log. Headless it is the whole program
// on a core application; with a display the window (TForm1) shows it and acts on it.
class Server : public QObject {
    Q_OBJECT
public:
    explicit Server(QObject* parent = nullptr);
    ~Server() override;

    // The start-up sequence. Returns false when another copy runs (after telling the user);
    // throws ks::Error when a step fails. With the NTP source its last steps (port 6645, the
    // timers) follow once the first attempt has ended: StartUpDone() tells, started() signals,
    // and a failure there arrives as startFailed().
    bool StartUp();
    bool StartUpDone() const { return started_ && !startPending_; }
    bool NtpAttemptRunning() const;
    // The shutdown order after the loop has ended; safe after a partial start-up.
    void Shutdown();
    // Ends the program (the event loop), for the reason given: "Exit chosen", a signal's name.
    void EndProgram(const QByteArray& reason);
    bool Exiting() const { return exiting_; }
    // Why the program ended, for the line at exit.
    QByteArray EndReason() const { return endReason_; }
    // The line at start when headless, once the settings are read: version, source, ports,
    // settings file.
    QByteArray StartLine() const;

    // --- What an operator can ask of the running program (korvat-probe status) ---
    // The source as a phrase: "GPS on COM5 (/dev/ttyS4)", "NTP from pool.ntp.org", "PC clock".
    QByteArray SourceDescription() const;
    // The state as one JSON object.
    QByteArray StatusJson() const;
    // The status message's values: the source, StatusReserved, SyncState as told.
    StatusTriple CurrentStatus() const;
    // SyncState as announced, replied and shown: holdover may lower it.
    TimeState ShownState() const;

    // --- Event log ---
    // Headless, stderrDetails (when given) stand in for the details on stderr, where the
    // log's own would tell the operator too little.
    using EntryKind = ks::EntryKind;
    void AddLogEntry(qint16 type, const QByteArray& event, const QByteArray& details,
                     EntryKind kind = EntryKind::Normal, const QByteArray& stderrDetails = {});
    LogBook& Log() { return log_; }

    // --- Settings ---
    const StoredSettings& Settings() const { return Config; }
    // The one way a setting changes: in force at once, shown (settingsChanged), saved. False
    // when the file could not be written (the operator has been told).
    bool ChangeSettings(const StoredSettings& next);
    // As a click on a sync label: the source, then its NTP attempt or its receiver's set-up.
    bool ChooseSource(const StoredSettings& next);
    // `changed` names the value in the failure box: the one being written when the save failed.
    bool SaveSettings(const QByteArray& changed = settingsTable().first().name);

    // --- The owners the window asks and listens to ---
    GpsInput& Gps() const { return *Gps_; }
    NtpSync& Ntp() const { return *Ntp_; }
    RequestService& Requests() const { return *Requests_; }

    // --- Clock ticks ---
    void Timer1Timer(); // 250 ms
    void Timer2Timer(); // hourly
    // The local time of the second the tick read last.
    const CivilTime& ClockTime() const { return ClockTime_; }

    // What tests reach inside beyond this interface (tests/support/TestAccess.h).
    struct TestAccess;

signals:
    // The settings in force changed (or were read): the panel shows them.
    void settingsChanged();
    // A 250 ms tick has done its work: the display follows.
    void ticked();
    // The start has ended (port 6645 open, the ticks running).
    void started();
    // The start's last steps failed after the start-up NTP attempt (port 6645 taken).
    void startFailed(const QString& message);
    // The operator asked through the status socket to see the window.
    void showAsked();

private:
    // --- Settings ---
    void LoadSettings();
    StoredSettings Config;
    QList<IgnoredSetting> IgnoredSettings;
    SettingsStore settings_;

    // --- Event log ---
    bool ShowDebug() const { return log_.ShowDebug; }
    EventLog ServiceLog(); // the log as the owners write to it
    LogBook log_;
    bool logOpen_ = false; // from the start's reading of the settings to the shutdown

    // --- The owners ---
    GpsInput* CreateGpsInput();
    NtpSync* CreateNtpSync();
    void CreateRequestService();
    TimeCore Core;                       // samples, the clock's changes, SyncState
    GpsInput* Gps_ = nullptr;            // the serial port and the receiver on it
    NtpSync* Ntp_ = nullptr;             // the attempts, their watchdog and retries
    ReplySender* Replies = nullptr;      // to port 6646
    RequestService* Requests_ = nullptr; // port 6645
    NtpServer* NtpServe = nullptr;       // UDP 123, while `ntpserve` is on
    StatusServer* Status = nullptr;      // korvat-probe's socket

    // --- NTP server ---
    // The one place it reads the time it serves.
    NtpServedTime ServedTime() const;
    // Listening when `ntpserve` says so, from the end of the start on.
    void ApplyNtpServeSetting();

    // --- Trust (Trust.cpp) ---
    void AddTrustStatus(QJsonObject& status) const;
    // On the tick with the PC-clock source: warns once when the system says its clock is not
    // synchronised.
    void CheckPcClockState();
    // Headless, each change of source or state reaches the journal, with its time.
    void NoteStateChange(const StatusTriple& status);
    bool PcClockWarned = false;

    // --- State announcement ---
    void StartNetworkWatch();
    void AnnounceState(const QByteArray& message);
    void AnnounceShutdown();
    QTimer* IdIPWatch1 = nullptr;
    bool NetworkPresent = false;

    // --- Status socket ---
    void StartStatusService();
    // "set NAME VALUE" asked through the status socket: the change as the panel makes it.
    QByteArray SetForOperator(const QByteArray& change);

    // --- Ticks and the start ---
    void StartChime();
    // The start-up attempt has ended: the rest of the start follows (unless Exit came).
    void NtpAttemptEnded();
    void FinishStartUp();
    QTimer* Timer1 = nullptr;
    QTimer* Timer2 = nullptr;
    qint16 StatusReserved = 0;
    StatusTriple LastStatus; // the one the tick saw last
    int ReplySerial = 0;
    bool ChimeLatch = true;
    qint64 ClockSecond = std::numeric_limits<qint64>::min(); // the UTC second read last
    CivilTime ClockTime_{0};                                 // its local time

    SingleInstance instance_;
    bool exiting_ = false;
    bool started_ = false;
    bool startPending_ = false; // the start-up waits for the first NTP attempt
    qint64 startedMs_ = 0;
    QByteArray endReason_;
};

} // namespace ks
