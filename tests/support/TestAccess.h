#pragma once

// What the tests reach inside the main window beyond its public interface: the controls they
// click and read, the timers they hold still, and the few values a scenario sets.
#include "app/TimeNow.h"

struct ks::TForm1::TestAccess {
    explicit TestAccess(TForm1& form) : f(form) {}
    TForm1& f;

    QTimer*& Timer1 = f.Timer1;
    QTimer*& Timer2 = f.Timer2;
    QTimer*& IdIPWatch1 = f.IdIPWatch1;
    TCommPortDriver*& ComPort1 = f.ComPort1;
    bool& NetworkPresent = f.NetworkPresent;
    int& NtpRetryBaseMs = f.NtpRetryBaseMs;
    StoredSettings& Config = f.Config;
    TimeState& SyncState = f.SyncState;

    QLabel*& lblH = f.lblH;
    QLabel*& DotLabel = f.DotLabel;
    QLabel*& lblM = f.lblM;
    QLabel*& lblS = f.lblS;
    QLabel*& DateLabel = f.DateLabel;
    QLabel*& tsStatus = f.tsStatus;
    QLabel*& SerialPanel = f.SerialPanel;
    QLabel*& ClientCountPanel = f.ClientCountPanel;
    QFrame*& SettingsPanel = f.SettingsPanel;
    QFrame*& GPSPanel = f.GPSPanel;
    QFrame*& NTPPanel = f.NTPPanel;
    CodeLabel* (&lblSync)[3] = f.lblSync;
    CodeLabel* (&lblPort)[5] = f.lblPort;
    CodeLabel* (&lblBaud)[2] = f.lblBaud;
    CodeLabel* (&lblData)[2] = f.lblData;
    CodeLabel* (&lblStop)[2] = f.lblStop;
    CodeLabel* (&lblParity)[3] = f.lblParity;
    CodeLabel*& lblAuto = f.lblAuto;
    CodeLabel*& lblSlew = f.lblSlew;
    CodeLabel*& lblLOC = f.lblLOC;
    CodeLabel*& lblGMT = f.lblGMT;
    CodeLabel*& lblOnSecond = f.lblOnSecond;
    QLineEdit*& Edit1 = f.Edit1;
    QPushButton*& btnConnect = f.btnConnect;
    QPushButton*& btnDisconnect = f.btnDisconnect;
    QAction*& Settings1 = f.Settings1;
    QAction*& Chimes1 = f.Chimes1;
};
