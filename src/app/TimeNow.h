#pragma once

#include "app/EventLog.h"
#include "app/TimeCore.h"
#include "platform/SettingsStore.h"
#include "platform/SingleInstance.h"
#include "protocol/CivilTime.h"
#include "protocol/ClockDiscipline.h"
#include "protocol/Replies.h"
#include "protocol/Requests.h"
#include "protocol/SettingsTable.h"
#include "protocol/SyncStatus.h"

#include <QByteArray>
#include <QColor>
#include <QHostAddress>
#include <QList>
#include <QMainWindow>

#include <functional>
#include <limits>
#include <memory>
#include <optional>

class QAction;
class QJsonObject;
class QSpinBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QStatusBar;
class QSystemTrayIcon;
class QTimer;

namespace ks {

class CodeLabel;
class GpsInput;
class NtpSync;
class NtpServer;
struct NtpServedTime;
class StatusServer;
class ReplySender;
class RequestService;
class TLogFrm;

// The main window: it owns the program's state and every component, and its methods are
// the event handlers. One file per concern implements it (see the .cpp files beside this).
class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;
    // The start-up sequence. Returns false when another copy runs (after telling the user);
    // throws ks::Error when a step fails. With the NTP source its last steps (port 6645, the
    // timers) follow once the first attempt has ended: StartUpDone() tells, and a failure
    // there arrives as startFailed().
    bool StartUp();
    bool StartUpDone() const { return started_ && !startPending_; }
    bool NtpAttemptRunning() const;
    // The shutdown order after the loop has ended; safe after a partial start-up.
    void Shutdown();
    // Ends the program like "E&xit", for the reason given (a signal's name).
    void EndProgram(const QByteArray& reason);
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
    // The notification icon's text for the state.
    QString TrayToolTip() const;

    // --- Event log ---
    // Headless, stderrDetails (when given) stand in for the details on stderr, where the
    // log's own would tell the operator too little.
    using EntryKind = ks::EntryKind;
    void AddLogEntry(qint16 type, const QByteArray& event, const QByteArray& details,
                     EntryKind kind = EntryKind::Normal, const QByteArray& stderrDetails = {});
    TLogFrm* LogFrm() const { return LogFrm_.get(); }

    // --- Menus and notification icon ---
    void Exit1Click();
    void Show1Click();
    void Properties1Click();
    void SaveSettings1Click(); // "Settings": shows or hides the settings panel
    void Chimes1Click();       // "Hour Alarm"

    // --- Settings ---
    // `changed` names the value in the failure box: the one being written when the save failed.
    // False when the file could not be written (the operator has been told).
    bool SaveSettings(const QByteArray& changed = settingsTable().first().name);
    SettingsStore& Settings() { return settings_; }

    // --- Settings panel ---
    void lblSync1Click(CodeLabel* label);
    void lblPort1Click(CodeLabel* label);
    void lblBaud1Click(CodeLabel* label);
    void lblData1Click(CodeLabel* label);
    void lblStop1Click(CodeLabel* label);
    void lblParity1Click(CodeLabel* label);
    void lblAutoClick();
    void lblGMTClick(CodeLabel* label);
    void lblOnSecondClick();
    void lblNtpServeClick();
    void Edit1Change(const QString& text);
    void btnForceClick();

    // --- Clock ticks ---
    void Timer1Timer();
    void Timer2Timer();

    // --- GPS receiver ---
    void btnConnectClick();
    void btnDisconnectClick();
    bool SerialConnected() const;

    // --- GPS time: the receiver's fix, its lateness, the clock discipline ---
    void GpsDelayChange(int ms);
    void lblSlewClick();

    // What tests reach inside the window (tests/support/TestAccess.h); nothing else does.
    struct TestAccess;

signals:
    // The start's last steps failed after the start-up NTP attempt (port 6645 taken).
    void startFailed(const QString& message);

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // --- Event log ---
    bool ShowDebug() const;
    bool IndicateClientType() const;
    void SaveLogCsv();

    // --- Menus and notification icon ---
    enum class TrayOp { Add, Modify, Delete };
    bool TrayMessage(TrayOp op);

    // --- Settings ---
    void LoadSettings();

    // --- Clock ticks ---
    void StartChime();

    // --- Trust: what the sources' samples are worth (Trust.cpp) ---
    // SyncState as announced, replied and shown: holdover may lower it.
    TimeState ShownState() const;
    void AddTrustStatus(QJsonObject& status) const;
    // On the tick with the PC-clock source: warns once when the system says its clock is not
    // synchronised.
    void CheckPcClockState();
    // Headless, each change of source or state reaches the journal, with its time.
    void NoteStateChange(const StatusTriple& status);
    bool PcClockWarned = false;

    // --- Request service (port 6645) and reply sender (to port 6646) ---
    void CreateRequestService();
    // The log as the services write to it.
    EventLog ServiceLog();

    // --- NTP server (UDP 123) ---
    // The one place it reads the time it serves.
    NtpServedTime ServedTime() const;
    // Listening when `ntpserve` says so, from the end of the start on.
    void ApplyNtpServeSetting();
    NtpServer* NtpServe = nullptr;

    // --- State announcement ---
    void StartNetworkWatch();
    void AnnounceState(const QByteArray& message);
    void AnnounceShutdown();

    // --- State (shared with every concern) ---
    // The status message's values: the source, StatusReserved, SyncState.
    StatusTriple CurrentStatus() const;

    // The window's state, by concern as above.

    // --- Settings ---
    StoredSettings Config;
    QList<IgnoredSetting> IgnoredSettings;

    // --- GPS time: the receiver's fix, its lateness, the clock discipline ---
    TimeCore Core;           // samples, the clock's changes, SyncState
    GpsInput* Gps = nullptr; // the serial port and the receiver on it

    // --- NTP ---
    NtpSync* Ntp = nullptr; // the attempts, their watchdog and retries

    // --- Request service (port 6645) and reply sender (to port 6646) ---
    ReplySender* Replies = nullptr;
    RequestService* Requests = nullptr;

    // --- State (shared with every concern) ---
    qint16 StatusReserved = 0;
    StatusTriple LastStatus; // the one the tick saw last
    int ReplySerial = 0;
    bool ChimeLatch = true;
    bool NetworkPresent = false;

    // --- Controls (named as the window's design names them) ---
    QFrame* Panel6 = nullptr;
    QLabel* lblH = nullptr;
    QLabel* DotLabel = nullptr;
    QLabel* lblM = nullptr;
    QLabel* lblS = nullptr;
    QLabel* DateLabel = nullptr;
    QLabel* tsStatus = nullptr;
    int DotLabelTag = 0; // the colon's blink counter
    bool DotLabelOn = true;
    qint64 ClockSecond = std::numeric_limits<qint64>::min(); // the UTC second read last
    CivilTime ClockTime{0};                                  // its local time
    CivilTime DisplayedTime{0};                              // the second on the display (year 0: none yet)
    // What the status label and its colours show (empty: nothing yet).
    std::optional<TimeSource> StatusShownSource;
    std::optional<TimeState> StatusShownState;
    QStatusBar* StatusBar1 = nullptr;
    QLabel* ClientCountPanel = nullptr;
    QLabel* SerialPanel = nullptr;
    QFrame* SettingsPanel = nullptr;
    QFrame* GPSPanel = nullptr;
    QFrame* NTPPanel = nullptr;
    CodeLabel* lblSync[3] = {};
    CodeLabel* lblPort[5] = {};
    CodeLabel* lblBaud[2] = {};
    CodeLabel* lblData[2] = {};
    CodeLabel* lblStop[2] = {};
    CodeLabel* lblParity[3] = {};
    CodeLabel* lblAuto = nullptr;
    CodeLabel* lblSlew = nullptr;
    QSpinBox* GpsDelayEdit = nullptr;
    CodeLabel* lblLOC = nullptr;
    CodeLabel* lblGMT = nullptr;
    CodeLabel* lblOnSecond = nullptr; // "onsecond"
    CodeLabel* lblNtpServe = nullptr; // "ntpserve"
    QLineEdit* Edit1 = nullptr;
    QPushButton* btnConnect = nullptr;
    QPushButton* btnDisconnect = nullptr;
    QPushButton* btnForce = nullptr;
    QAction* Settings1 = nullptr;
    QAction* Chimes1 = nullptr;
    QAction* Exit1 = nullptr;
    QAction* Properties1 = nullptr;
    QMenu* TrayMenu = nullptr;
    QSystemTrayIcon* TrayIcon = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* Timer2 = nullptr;
    QTimer* IdIPWatch1 = nullptr;
    StatusServer* Status = nullptr;

    // --- Building the window, and its own bookkeeping ---
    void CreateControls();
    void CreateClockPanel();
    void CreateSettingsPanel();
    void CreateMenus();
    void CreateGpsInput();
    void CreateNtpSync();
    void HideToTray();
    // The one way the panel and the menu change a setting: in force at once, shown, saved.
    bool ChangeSettings(const StoredSettings& next);
    // As a click on a sync label: the source, then its NTP attempt or its receiver's set-up.
    bool ChooseSource(const StoredSettings& next);
    void SelectCode(CodeLabel* clicked, qint16 StoredSettings::*setting);
    void ToggleSetting(bool StoredSettings::*setting);
    void ShowSettingsInPanel();
    void ShowSourcePanels();
    void ShowClock(); // the display, brought up to the last reading
    void ShowStatusColours();
    // The indicator's colour for a state: red, yellow, green; grey for no serial input.
    static QColor StateColour(TimeState state);
    // The start-up attempt has ended: the rest of the start follows (unless Exit came).
    void NtpAttemptEnded();
    void FinishStartUp();

    SingleInstance instance_;
    SettingsStore settings_;
    std::unique_ptr<TLogFrm> LogFrm_; // its own top-level window
    void StartStatusService();
    // "set NAME VALUE" asked through the status socket: the change as the panel makes it.
    QByteArray SetForOperator(const QByteArray& change);
    void ShowTrayState();

    bool exiting_ = false;
    bool started_ = false;
    bool startPending_ = false; // the start-up waits for the first NTP attempt
    qint64 startedMs_ = 0;
    QByteArray endReason_;
    std::optional<StatusTriple> trayShown_;
};

} // namespace ks
