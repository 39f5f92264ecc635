#pragma once

#include "protocol/CivilTime.h"
#include "protocol/Replies.h"
#include "protocol/SettingsTable.h"
#include "protocol/SyncStatus.h"

#include <QColor>
#include <QMainWindow>

#include <memory>
#include <optional>

class QAction;
class QSpinBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QStatusBar;
class QSystemTrayIcon;

namespace ks {

class CodeLabel;
class Server;
class TLogFrm;

// The main window: the clock, the settings panel, the menus and the notification icon. It
// shows the server's state and turns the user's actions into the server's operations.
class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    explicit TForm1(Server& server, QWidget* parent = nullptr);
    ~TForm1() override;
    // The start with a window: the notification icon, then the server's start-up sequence.
    // Returns false when another copy runs; throws as Server::StartUp does.
    bool StartUp();
    // The notification icon's text for the state.
    QString TrayToolTip() const;
    TLogFrm* LogFrm() const { return LogFrm_.get(); }

    // --- Menus and notification icon ---
    void Exit1Click();
    void Show1Click();
    void Properties1Click();
    void SaveSettings1Click(); // "Settings": shows or hides the settings panel
    void Chimes1Click();       // "Hour Alarm"

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
    void lblSlewClick();
    void GpsDelayChange(int ms);
    void Edit1Change(const QString& text);
    void btnForceClick();
    void btnConnectClick();
    void btnDisconnectClick();
    bool SerialConnected() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    Server& server_;

    // --- Menus and notification icon ---
    enum class TrayOp { Add, Modify, Delete };
    bool TrayMessage(TrayOp op);
    void ShowTrayState();
    void HideToTray();
    std::optional<StatusTriple> trayShown_;

    // --- The clock face, after each of the server's ticks ---
    void ShowTick();
    void ShowClock(); // the display, brought up to the last reading
    void ShowStatusColours();
    // The indicator's colour for a state: red, yellow, green; grey for no serial input.
    static QColor StateColour(TimeState state);
    int DotLabelTag = 0; // the colon's blink counter
    bool DotLabelOn = true;
    CivilTime DisplayedTime{0}; // the second on the display (year 0: none yet)
    // What the status label and its colours show (empty: nothing yet).
    std::optional<TimeSource> StatusShownSource;
    std::optional<TimeState> StatusShownState;

    // --- Settings panel ---
    void SelectCode(CodeLabel* clicked, qint16 StoredSettings::*setting);
    void ToggleSetting(bool StoredSettings::*setting);
    void ShowSettingsInPanel();
    void ShowSourcePanels();

    // --- Building the window ---
    void CreateControls();
    void CreateClockPanel();
    void CreateSettingsPanel();
    void CreateMenus();
    void FollowServer();

    // --- Controls (named as the window's design names them) ---
    QFrame* Panel6 = nullptr;
    QLabel* lblH = nullptr;
    QLabel* DotLabel = nullptr;
    QLabel* lblM = nullptr;
    QLabel* lblS = nullptr;
    QLabel* DateLabel = nullptr;
    QLabel* tsStatus = nullptr;
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
    std::unique_ptr<TLogFrm> LogFrm_; // its own top-level window
};

} // namespace ks
