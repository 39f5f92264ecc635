#pragma once

#include "platform/SettingsStore.h"
#include "platform/SingleInstance.h"
#include "protocol/CivilTime.h"
#include "protocol/ClockDiscipline.h"
#include "protocol/Nmea.h"
#include "protocol/Replies.h"
#include "protocol/ReplyRing.h"
#include "protocol/Requests.h"
#include "protocol/SyncStatus.h"

#include <QByteArray>
#include <QColor>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QMainWindow>

#include <functional>
#include <limits>
#include <list>
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
class QTcpSocket;
class QTimer;

namespace ks {

// The eleven values of the settings key, as LoadSettings reads them and SaveSettings writes
// them. The settings panel and the "Hour Alarm" item show them and change them only through
// ChangeSettings.
struct StoredSettings {
    QByteArray NtpServer;
    // Serial codes, as the port driver numbers them.
    qint16 BaudCode = 7;   // 6 = 4800, 7 = 9600 baud
    qint16 DataCode = 3;   // data bits - 5
    qint16 ParityCode = 0; // 0 none, 1 odd, 2 even
    qint16 PortNumber = 2; // COMn
    qint16 StopCode = 0;   // 0 one, 2 two stop bits
    bool Chimes = false;   // "Hour Alarm"
    TimeSource SyncSource = TimeSource::PcClock;
    bool AutoConnect = false; // AUTO: the tick reopens the serial port
    bool Loc = false;         // Quorix replies carry local time
    bool Gmt = true;          // shown only; the panel keeps one of LOC and GMT on
    // Added to every GPS sentence's time before it sets the clock: the receiver's own delay.
    qint32 GpsDelayMs = 0;
    bool Slew = false; // the clock discipline: false steps at every sample
    // "onsecond": replies leave on the edge of the second after their request, carrying the
    // second that has just begun. Off, they leave as soon as their connection is up.
    bool OnSecond = false;
};

// An address as the log and stderr write it: dotted-decimal; empty for none.
inline QByteArray addressText(const QHostAddress& address) { return address.toString().toLatin1(); }

class CodeLabel;
class StatusServer;
class SntpClient;
enum class SntpOutcome;
class TCommPortDriver;
class IncomingConnection;
class TcpListener;
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
    // A diagnostic entry (written only while "Show Debug" is on) reaches the journal at debug
    // priority, whatever its type; so does one written for every request, which would
    // otherwise flood it during a burst; a trace entry (every request, telling nothing new)
    // reaches it only with "Show Debug". A repeat (the entry before it said the same and
    // more) stays in the log only. Headless, stderrDetails (when given) stand in for the
    // details on stderr, where the log's own would tell the operator too little.
    enum class EntryKind { Normal, Diagnostic, PerRequest, Trace, Repeat };
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
    void SaveSettings();
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

    // --- NTP ---
    // After a failed attempt the next ones follow after 1, 2, 4, 8 and 16 base intervals
    // (a minute), until one succeeds; then the hourly attempt alone.
    static constexpr int NtpRetryLimit = 5;

    // --- Request service (port 6645) and reply queue (to port 6646) ---
    static constexpr quint16 RequestPort = 6645;
    static constexpr quint16 ReplyPort = 6646;
    static constexpr int MaxClientConnections = 256;
    static constexpr int ReplyConnectTimeoutMs = 5000;

    // --- Replies on the second ("onsecond") ---
    // Replies waiting for an edge at once; while that many wait, further requests wait unread
    // in their connections, as with the ring.
    static constexpr int EdgeReplyLimit = 2000;

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
    // --- What an operator can ask of the running program (korvat-probe status) ---
    struct ClockSetting {
        qint64 atMs = 0; // 0: none yet
        TimeSource source = TimeSource::PcClock;
        qint64 stepMs = 0; // how far the clock moved
    };
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
    };
    void NoteClockSetting(TimeSource source, qint64 stepMs);
    int RequestsWaiting() const;
    void NoteSerialReason(const QString& reason);

    // --- Event log ---
    bool ShowDebug() const;
    bool IndicateClientType() const;
    void SaveLogCsv();

    // --- Menus and notification icon ---
    enum class TrayOp { Add, Modify, Delete };
    bool TrayMessage(TrayOp op);

    // --- Settings ---
    void LoadSettings();
    // A stored value outside its allowed set: the default runs in its place, the file keeps
    // the stored bytes until the operator picks another value.
    struct IgnoredSetting {
        QByteArray name;
        QByteArray stored; // as the file holds it
        QByteArray notice; // what the operator was told
    };

    // --- Clock ticks ---
    void StartChime();

    // --- GPS receiver ---
    void SendGpsSetup();
    void ComPort1ReceiveData(TCommPortDriver* sender, const char* bytes, quint32 size);
    void ProcessGpsSentence(const QByteArray& line);

    // --- GPS time: the receiver's fix, its lateness, the clock discipline ---
    void NoteGpsReason(const QString& reason);
    // A new connection, or GPS chosen: no time until a GGA of it gives a fix.
    void RestartGpsFix();
    // The discipline the settings ask for, kept when it is already in force.
    void ApplyDisciplineSetting();
    // "The true instant trueMs was at local reading localMs": the discipline steps or slews.
    // False when the clock was left alone or refused.
    bool TakeClockSample(TimeSource source, qint64 trueMs, qint64 localMs);
    void AddGpsStatus(QJsonObject& status) const;

    // --- NTP ---
    // Starts an attempt and returns; its end comes as an event.
    void SyncToNtp();
    void NTPTimerTimer();
    static constexpr int NtpWatchdogMs = 3000; // an attempt without an answer this long fails
    void NtpRetryTimerTimer();

    // --- Request service (port 6645) and reply queue (to port 6646) ---
    // A request waiting for its reply: who asked, and what kind of client it is.
    struct QueuedReply {
        ClientType type = ClientType::None;
        QHostAddress address;
    };
    // The reply ring: 50 slots, so 49 requests can wait.
    using NetMessageQueueDetails = ReplyRing<QueuedReply, 50>;
    void CreateRequestService();
    void StartListening();
    void ClearClientList();
    void ServerSocket1Accept(IncomingConnection* socket);
    void ServerSocket1ClientRead(IncomingConnection* socket, const QByteArray& text);
    void ServerSocket1ClientDisconnect(IncomingConnection* socket);
    void ServerSocket1ClientError(IncomingConnection* socket, const QString& message);
    // Returns the bytes used: a request that finds the ring full is left, with the rest.
    // takeAll: the connection is about to close, so nothing it sent can wait.
    qsizetype ParseRequests(const QByteArray& text, const QHostAddress& address, bool takeAll);
    void ServiceRequest(const QByteArray& body, const QHostAddress& peer);
    int OpenClientConnections() const { return int(ClientConnections.size()); }
    void CreateReplyQueue();
    void QueueMessage(ClientType type, const QHostAddress& address);
    void LocalGroupTimerTimer();
    void sckClientConnect();
    void sckClientError();
    // The reply text for a client type at one reading of the clock.
    QByteArray ServeReply(ClientType type, const ReplyInstant& now);
    // A reply built: its log entries and count, the same whenever it is sent.
    void NoteReplySent(ClientType type, const QByteArray& text, const QHostAddress& address);
    // A reply connection failed: "Socket Error" with the peer (null when it never came up),
    // its count, and the log saved as CSV.
    void NoteReplyFailed(const QHostAddress& peer, const QHostAddress& requester, const QString& reason);
    // Where the reply connection stands with the entry at the ring's read index.
    enum class ReplyPhase {
        Idle,       // no entry in flight: the next may be taken
        Opening,    // inside the connect call
        OpenFailed, // the connect call failed at once
        Connected,  // up within the connect call: sent once the call returns
        Connecting, // waiting for the connect event, or the 5 s limit
        Sending,    // up: the reply is written and the connection closed
    };

    // --- Replies on the second ("onsecond") ---
    // A reply waiting for its edge. Its connection is opened when the request is read (once
    // the requester's previous one is up); the text is built and written only at an edge at
    // or after `dueMs`, once the connection is up and every earlier reply to the same
    // requester has gone.
    struct EdgeReply {
        enum class Phase {
            Unopened,    // its turn to connect has not come
            Opening,     // inside its connect call
            OpenFailed,  // the connect call failed at once
            Connecting,  // waiting for the connect event, or the 5 s limit
            Connected,   // up, waiting for its edge
            Writing,     // its edge's replies are being written
            WriteFailed, // its write failed: reported once the edge's replies are out
            Dropped,     // ended: leaves the list at the next ForgetDroppedEdgeReplies
        };
        ClientType type = ClientType::None;
        QHostAddress address;
        qint64 dueMs = 0;
        QTcpSocket* socket = nullptr; // null until its connection is opened
        QTimer* connectLimit = nullptr;
        Phase phase = Phase::Unopened;
        bool up() const {
            return phase == Phase::Connected || phase == Phase::Writing || phase == Phase::WriteFailed;
        }
    };

    // --- State announcement ---
    void StartNetworkWatch();
    void AnnounceState(const QByteArray& message);
    void AnnounceShutdown();

    // --- State (shared with every concern) ---
    // The status message's values: the source, StatusReserved, SyncState.
    StatusTriple CurrentStatus() const;

    // The window's state, by concern as above.

    // --- What an operator can ask of the running program (korvat-probe status) ---
    ClockSetting LastClockSetting;
    NtpAttempt LastNtpAttempt;
    NtpAnswer LastNtpAnswer;
    quint64 RepliesSent = 0;    // "Client Send"
    quint64 RepliesFailed = 0;  // "Socket Error"
    quint64 RepliesRefused = 0; // "Queue Full"
    QMap<QByteArray, qint64> RepliesByKind; // "Client Send", by the reply's token in lower case
    // Why the serial port is not open: the device and the system's message; empty when open
    // or never tried.
    QString SerialReason;

    // --- Settings ---
    StoredSettings Config;
    QList<IgnoredSetting> IgnoredSettings;

    // --- GPS time: the receiver's fix, its lateness, the clock discipline ---
    GpsFixTracker GpsFix;
    ClockDiscipline Discipline;
    LatenessWindow GpsLateness; // whatever the source, while the port delivers RMCs
    QByteArray GpsTalker;       // of the last GGA or RMC
    qint64 GpsLastSentenceMs = 0;
    // Why the GPS source does not set the clock although the port is open; empty otherwise.
    QString GpsReason;

    // --- NTP ---
    int NtpRetryBaseMs = 60'000;
    int NtpRetries = 0; // retries made in the current series
    QTimer* NtpRetryTimer = nullptr;

    // --- Request service (port 6645) and reply queue (to port 6646) ---
    TcpListener* ServerSocket1 = nullptr;
    QHash<IncomingConnection*, QTimer*> ClientConnections; // each with its idle timer
    int ClientIdleMs = 60'000;                             // a request connection silent this long is closed
    // At the cap, a connection silent this long may make room for a newcomer; until one
    // is, newcomers wait in the system's queue.
    int ClientMakeRoomMs = 1000;
    QTimer* AcceptRetryTimer = nullptr;
    // Connections holding a request unread until the ring has room, in the order they began
    // to wait.
    QList<IncomingConnection*> WaitingConnections;
    NetMessageQueueDetails MessageQueue;
    ReplyPhase ReplyState = ReplyPhase::Idle;
    QTimer* LocalGroupTimer = nullptr;
    QTcpSocket* ClientSocket1 = nullptr;
    QTimer* ReplyConnectTimer = nullptr;

    // --- Replies on the second ("onsecond") ---
    std::list<EdgeReply> EdgeReplies; // in the order the requests were read
    QTimer* EdgeTimer = nullptr;
    void CloseClientConnection(IncomingConnection* socket);
    void CloseIdleClientConnection(IncomingConnection* socket);
    IncomingConnection* QuietestClientConnection() const;
    void UpdateAccepting();
    void EndReplyWithError(const QString& reason);
    void EndReplyEntry();
    bool QueueFull() const; // the ring, or the replies waiting for an edge
    void CreateEdgeReplies();
    void QueueEdgeReply(ClientType type, const QHostAddress& address);
    void OpenEdgeReply(EdgeReply* reply);
    void OpenNextEdgeReply(const QHostAddress& address);
    void EdgeTimerTimer();
    void ArmEdgeTimer();
    bool ConnectedNow(const EdgeReply& reply) const;
    void EdgeReplyError(EdgeReply* reply, const QString& reason);
    void DropEdgeReply(EdgeReply* reply, bool written);
    void ForgetDroppedEdgeReplies();
    qint64 edgeMs_ = 0; // the edge EdgeTimer is armed for
    void ReadWaitingRequests();
    void TakeNextReply();
    void SendReply();
    // The connection read once more before it is closed to make room; null otherwise.
    IncomingConnection* closing_ = nullptr;

    // --- State (shared with every concern) ---
    qint16 StatusReserved = 0;
    TimeState SyncState = TimeState::NotSynchronised;
    StatusTriple LastStatus; // the one the tick saw last
    int ReplySerial = 0;
    bool ChimeLatch = true;
    bool GpsSetupPending = true;
    bool NetworkPresent = false;
    QByteArray GpsTimeText = "00:00:00";
    QByteArray GpsDateText = "01/01/01";
    NmeaLineAssembler SerialLine; // the bytes received since the last carriage return
    QList<QByteArray> ClientList;

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
    // What the status bar, status label and its colours show (-1, empty: nothing yet).
    int SerialShown = -1;
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
    QTimer* NTPTimer = nullptr; // the NTP attempt's watchdog
    StatusServer* Status = nullptr;
    SntpClient* NtpClient = nullptr; // running() while an NTP attempt runs
    TCommPortDriver* ComPort1 = nullptr;

    // --- Building the window, and its own bookkeeping ---
    void CreateControls();
    void CreateClockPanel();
    void CreateSettingsPanel();
    void CreateMenus();
    void CreateComPort();
    void HideToTray();
    // The one way the panel and the menu change a setting: in force at once, shown, saved.
    void ChangeSettings(const StoredSettings& next);
    void SelectCode(CodeLabel* clicked, qint16 StoredSettings::*setting);
    void ToggleSetting(bool StoredSettings::*setting);
    void ShowSettingsInPanel();
    void ShowSourcePanels();
    void ShowClock(); // the display, brought up to the last reading
    void ShowStatusColours();
    // The indicator's colour for a state: red, yellow, green; grey for no serial input.
    static QColor StateColour(TimeState state);
    // Ends a waiting NTP attempt at once, quietly. False when none runs.
    bool AbandonNtpAttempt();
    void CreateNtpClient();
    void NtpClientFinished(SntpOutcome outcome, const QString& error);
    // The state an ended attempt leaves, then what waited for its end.
    void EndNtpAttempt(bool synced);
    void NtpAttemptOver(bool synced);
    void FinishStartUp();

    SingleInstance instance_;
    SettingsStore settings_;
    std::unique_ptr<TLogFrm> LogFrm_; // its own top-level window
    void ScheduleNtpRetry(bool synced, bool wasRetry);
    void StartStatusService();
    // "FORCE SYNC" asked through the status socket: the attempt's outcome in words.
    void SyncForOperator(const std::function<void(const QByteArray&)>& answer);
    void ShowTrayState();

    bool exiting_ = false;
    bool started_ = false;
    bool ntpRetrying_ = false;  // the attempt about to start is a retry
    bool startPending_ = false; // the start-up waits for the first NTP attempt
    // The attempt running: its server, whether it is a retry, operators waiting for its outcome.
    QByteArray ntpHost_;
    bool ntpRetry_ = false;
    QList<std::function<void(const QByteArray&)>> ntpWaiters_;
    qint64 startedMs_ = 0;
    QByteArray endReason_;
    std::optional<StatusTriple> trayShown_;
};

} // namespace ks
