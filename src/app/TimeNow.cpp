// Construction is the start-up sequence; destruction the shutdown order; the notification
// icon and the menus.
#include "app/TimeNow.h"
#include "app/GpsInput.h"
#include "app/NtpSync.h"
#include "app/ReplySender.h"
#include "app/RequestService.h"

#include "app/CodeLabel.h"
#include "app/NtpServer.h"
#include "app/Smiley.h"
#include "log/Log.h"
#include "log/LogModel.h"
#include "platform/Error.h"
#include "platform/StatusServer.h"
#include "platform/SystemClock.h"
#include "platform/Ui.h"
#include "protocol/RuntimePaths.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScreen>
#include <QSpinBox>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTcpSocket>
#include <QTimer>

#include <tuple>
#include <utility>

namespace ks {

namespace {
const QColor PanelColour(163, 187, 175);

QFont displayFont(int pixelSize, bool bold = false, const char* family = "DSEG7 Classic") {
    // The clock's own font is not installed anywhere; DSEG stands in, bold monospace after it.
    QFont f(QString::fromLatin1(family));
    f.setFamilies({QString::fromLatin1(family), QStringLiteral("DejaVu Sans Mono")});
    f.setStyleHint(QFont::Monospace);
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    return f;
}

QLabel* makeLabel(const QString& text, const QRect& geometry, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    l->setGeometry(geometry);
    return l;
}

QFrame* makePanel(const QRect& geometry, QWidget* parent, bool border) {
    auto* p = new QFrame(parent);
    p->setGeometry(geometry);
    if (border) p->setFrameStyle(QFrame::Box | QFrame::Plain);
    p->setAutoFillBackground(true);
    QPalette pal = p->palette();
    pal.setColor(QPalette::Window, PanelColour);
    p->setPalette(pal);
    return p;
}
} // namespace

TForm1::TForm1(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Korvat Server V" KS_VERSION));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    QFont f(QStringLiteral("MS Sans Serif"));
    f.setPointSize(8);
    setFont(f);
    CreateControls();
    CreateRequestService();
}

StatusTriple TForm1::CurrentStatus() const {
    return {qint16(Config.SyncSource), StatusReserved, qint16(ShownState())};
}

TForm1::~TForm1() = default;

void TForm1::CreateControls() {
    auto* client = new QWidget(this);
    client->setFixedSize(260, 136);
    setCentralWidget(client);
    CreateClockPanel();
    CreateSettingsPanel();
    CreateMenus();

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setFixedHeight(19);
    ClientCountPanel = new QLabel(StatusBar1);
    // Wide enough for the longest text at any font size: "256" and "Serial Input Connected".
    const auto fitWidth = [](QLabel* panel, const char* longest) {
        panel->setFixedWidth(panel->fontMetrics().horizontalAdvance(QLatin1String(longest)) +
                             2 * panel->frameWidth() + 8);
    };
    ClientCountPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    fitWidth(ClientCountPanel, "256");
    ClientCountPanel->setAlignment(Qt::AlignCenter);
    SerialPanel = new QLabel(StatusBar1);
    SerialPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    fitWidth(SerialPanel, "Serial Input Connected");
    SerialPanel->setAlignment(Qt::AlignCenter);
    StatusBar1->addWidget(ClientCountPanel);
    StatusBar1->addWidget(SerialPanel);
    setStatusBar(StatusBar1);
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    // All timers are created stopped; the start-up sequence starts the ticks last.
    Timer1 = new QTimer(this);
    Timer1->setInterval(250);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
    Timer2 = new QTimer(this);
    Timer2->setInterval(3'600'000);
    connect(Timer2, &QTimer::timeout, this, &TForm1::Timer2Timer);
    CreateNtpSync();
    CreateGpsInput();

    // Each control answers to its design name (findChild), the way the tests find it.
    const std::pair<QObject*, const char*> named[] = {{Panel6, "Panel6"},
                                                      {lblH, "lblH"},
                                                      {DotLabel, "DotLabel"},
                                                      {lblM, "lblM"},
                                                      {lblS, "lblS"},
                                                      {DateLabel, "DateLabel"},
                                                      {tsStatus, "tsStatus"},
                                                      {ClientCountPanel, "ClientCountPanel"},
                                                      {SerialPanel, "SerialPanel"},
                                                      {SettingsPanel, "SettingsPanel"},
                                                      {GPSPanel, "GPSPanel"},
                                                      {NTPPanel, "NTPPanel"},
                                                      {lblAuto, "lblAuto"},
                                                      {lblSlew, "lblSlew"},
                                                      {lblLOC, "lblLOC"},
                                                      {lblGMT, "lblGMT"},
                                                      {lblOnSecond, "lblOnSecond"},
                                                      {lblNtpServe, "lblNtpServe"},
                                                      {GpsDelayEdit, "GpsDelayEdit"},
                                                      {Edit1, "Edit1"},
                                                      {btnConnect, "btnConnect"},
                                                      {btnDisconnect, "btnDisconnect"},
                                                      {btnForce, "btnForce"},
                                                      {Settings1, "Settings1"},
                                                      {Chimes1, "Chimes1"}};
    for (const auto& [control, name] : named) control->setObjectName(QLatin1String(name));
    const std::tuple<CodeLabel* const*, int, const char*> groups[] = {
        {lblSync, 3, "lblSync"}, {lblPort, 5, "lblPort"}, {lblBaud, 2, "lblBaud"},
        {lblData, 2, "lblData"}, {lblStop, 2, "lblStop"}, {lblParity, 3, "lblParity"}};
    for (const auto& [labels, count, name] : groups)
        for (int i = 0; i < count; ++i) labels[i]->setObjectName(QLatin1String(name) + QString::number(i));
}

void TForm1::CreateClockPanel() {
    Panel6 = makePanel(QRect(0, 0, 260, 137), centralWidget(), true);
    // The digits sit low enough that the status badge above the minutes never covers them.
    lblH = makeLabel(QString(), QRect(4, 16, 100, 70), Panel6);
    lblH->setFont(displayFont(60));
    lblH->setAlignment(Qt::AlignCenter);
    DotLabel = makeLabel(QStringLiteral(":"), QRect(102, 16, 22, 70), Panel6);
    DotLabel->setFont(displayFont(48, true));
    DotLabel->setAlignment(Qt::AlignCenter);
    lblM = makeLabel(QString(), QRect(122, 16, 100, 70), Panel6);
    lblM->setFont(displayFont(60));
    lblM->setAlignment(Qt::AlignCenter);
    lblS = makeLabel(QString(), QRect(218, 54, 40, 32), Panel6);
    lblS->setFont(displayFont(24));
    lblS->setAlignment(Qt::AlignRight | Qt::AlignBottom);
    DateLabel = makeLabel(QString(), QRect(2, 86, 256, 28), Panel6);
    DateLabel->setFont(displayFont(15, false, "DSEG14 Classic")); // 14 segments can spell the names
    DateLabel->setAlignment(Qt::AlignCenter);

    tsStatus = makeLabel(QStringLiteral("Unknown"), QRect(196, 2, 60, 16), Panel6);
    QFont statusFont(QStringLiteral("Tahoma"));
    statusFont.setPixelSize(11);
    statusFont.setBold(true);
    tsStatus->setFont(statusFont);
    tsStatus->setAlignment(Qt::AlignCenter);
    tsStatus->setFrameStyle(QFrame::Box | QFrame::Plain);
    tsStatus->setAutoFillBackground(true);
    QPalette pal = tsStatus->palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    pal.setColor(QPalette::WindowText, QColor(128, 128, 128));
    tsStatus->setPalette(pal);
}

void TForm1::CreateSettingsPanel() {
    SettingsPanel = makePanel(QRect(0, 0, 260, 136), centralWidget(), true);
    SettingsPanel->setVisible(false);
    QFont tahoma(QStringLiteral("Tahoma"));
    tahoma.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans Condensed")});
    tahoma.setPointSize(9);
    SettingsPanel->setFont(tahoma);

    auto codeLabel = [](const char* caption, int x, int y, int w, QWidget* parent) {
        return new CodeLabel(QString::fromLatin1(caption), QRect(x, y, w, 18), parent);
    };
    makeLabel(QStringLiteral("Sync:"), QRect(8, 9, 32, 16), SettingsPanel);
    lblSync[2] = codeLabel("PC", 40, 8, 34, SettingsPanel);
    lblSync[1] = codeLabel("NTP", 75, 8, 34, SettingsPanel);
    lblSync[0] = codeLabel("GPS", 110, 8, 34, SettingsPanel);
    makeLabel(QStringLiteral("Mode:"), QRect(151, 9, 34, 16), SettingsPanel);
    lblLOC = codeLabel("LOC", 186, 8, 34, SettingsPanel);
    lblGMT = codeLabel("GMT", 221, 8, 34, SettingsPanel);

    GPSPanel = makePanel(QRect(0, 32, 257, 85), SettingsPanel, false);
    makeLabel(QStringLiteral("Port:"), QRect(8, 1, 32, 16), GPSPanel);
    for (int i = 0; i < 5; ++i)
        lblPort[i] = codeLabel(QByteArray::number(i + 1).constData(), 40 + 16 * i, 0, 15, GPSPanel);
    makeLabel(QStringLiteral("Baud:"), QRect(152, 1, 34, 16), GPSPanel);
    lblBaud[0] = codeLabel("4800", 186, 0, 34, GPSPanel);
    lblBaud[1] = codeLabel("9600", 221, 0, 34, GPSPanel);
    makeLabel(QStringLiteral("Data:"), QRect(8, 21, 32, 16), GPSPanel);
    lblData[0] = codeLabel("7", 40, 20, 15, GPSPanel);
    lblData[1] = codeLabel("8", 56, 20, 15, GPSPanel);
    makeLabel(QStringLiteral("Stop:"), QRect(92, 21, 32, 16), GPSPanel);
    lblStop[0] = codeLabel("1", 124, 20, 15, GPSPanel);
    lblStop[1] = codeLabel("2", 140, 20, 15, GPSPanel);
    makeLabel(QStringLiteral("Parity:"), QRect(172, 21, 36, 16), GPSPanel);
    lblParity[0] = codeLabel("N", 208, 20, 15, GPSPanel);
    lblParity[1] = codeLabel("E", 224, 20, 15, GPSPanel);
    lblParity[2] = codeLabel("O", 240, 20, 15, GPSPanel);
    makeLabel(QStringLiteral("Conx:"), QRect(8, 49, 32, 16), GPSPanel);
    lblAuto = codeLabel("AUTO", 40, 48, 40, GPSPanel);
    btnConnect = new QPushButton(QStringLiteral("CONNECT"), GPSPanel);
    btnConnect->setGeometry(84, 48, 84, 18);
    btnDisconnect = new QPushButton(QStringLiteral("DISCONNECT"), GPSPanel);
    btnDisconnect->setGeometry(172, 48, 84, 18);
    makeLabel(QStringLiteral("Delay:"), QRect(8, 67, 32, 16), GPSPanel);
    GpsDelayEdit = new QSpinBox(GPSPanel);
    GpsDelayEdit->setGeometry(40, 66, 56, 18);
    GpsDelayEdit->setRange(-1000, 1000);
    GpsDelayEdit->setSuffix(QStringLiteral(" ms"));
    GpsDelayEdit->setButtonSymbols(QAbstractSpinBox::NoButtons);
    GpsDelayEdit->setAlignment(Qt::AlignRight);
    GpsDelayEdit->setToolTip(QStringLiteral("The receiver's own delay: the median lateness shown by "
                                            "korvat-probe status while NTP keeps the clock"));
    lblSlew = codeLabel("SLEW", 100, 66, 40, GPSPanel);
    lblSlew->setToolTip(QStringLiteral("Step the clock only when far off, otherwise slew it"));

    NTPPanel = makePanel(QRect(0, 32, 261, 85), SettingsPanel, false);
    makeLabel(QStringLiteral("NTP:"), QRect(8, 2, 32, 16), NTPPanel);
    Edit1 = new QLineEdit(NTPPanel);
    Edit1->setGeometry(40, 0, 105, 19);
    btnForce = new QPushButton(QStringLiteral("FORCE SYNC"), NTPPanel);
    btnForce->setGeometry(172, 0, 84, 18);
    GPSPanel->setVisible(false);
    NTPPanel->setVisible(false);
    // Over the sub-panels' last row, right of the GPS panel's fields, for every source. One
    // pixel lower than the other labels, so that it clears the row above and the border.
    makeLabel(QStringLiteral("Reply:"), QRect(146, 99, 32, 16), SettingsPanel);
    lblOnSecond = new CodeLabel(QStringLiteral("ON SECOND"), QRect(178, 98, 76, 17), SettingsPanel);
    // A row of its own below the sub-panels, for every source.
    makeLabel(QStringLiteral("Serve:"), QRect(8, 117, 36, 16), SettingsPanel);
    lblNtpServe = codeLabel("NTP", 44, 116, 34, SettingsPanel);
    lblNtpServe->setToolTip(QStringLiteral("Answer NTP clients on UDP port 123"));

    // Two sub-panels inherit the settings panel's colour, and the code labels take their
    // parent's colour when plain.
    for (CodeLabel* l : SettingsPanel->findChildren<CodeLabel*>()) l->setHighlighted(false);

    for (CodeLabel* l : lblSync) connect(l, &CodeLabel::clicked, this, &TForm1::lblSync1Click);
    for (CodeLabel* l : lblPort) connect(l, &CodeLabel::clicked, this, &TForm1::lblPort1Click);
    for (CodeLabel* l : lblBaud) connect(l, &CodeLabel::clicked, this, &TForm1::lblBaud1Click);
    for (CodeLabel* l : lblData) connect(l, &CodeLabel::clicked, this, &TForm1::lblData1Click);
    for (CodeLabel* l : lblStop) connect(l, &CodeLabel::clicked, this, &TForm1::lblStop1Click);
    for (CodeLabel* l : lblParity) connect(l, &CodeLabel::clicked, this, &TForm1::lblParity1Click);
    connect(lblAuto, &CodeLabel::clicked, this, &TForm1::lblAutoClick);
    connect(lblSlew, &CodeLabel::clicked, this, &TForm1::lblSlewClick);
    connect(GpsDelayEdit, &QSpinBox::valueChanged, this, &TForm1::GpsDelayChange);
    connect(lblOnSecond, &CodeLabel::clicked, this, &TForm1::lblOnSecondClick);
    connect(lblNtpServe, &CodeLabel::clicked, this, &TForm1::lblNtpServeClick);
    connect(lblLOC, &CodeLabel::clicked, this, &TForm1::lblGMTClick);
    connect(lblGMT, &CodeLabel::clicked, this, &TForm1::lblGMTClick);
    connect(Edit1, &QLineEdit::textEdited, this, &TForm1::Edit1Change);
    connect(btnForce, &QPushButton::clicked, this, &TForm1::btnForceClick);
    connect(btnConnect, &QPushButton::clicked, this, &TForm1::btnConnectClick);
    connect(btnDisconnect, &QPushButton::clicked, this, &TForm1::btnDisconnectClick);
}

void TForm1::CreateMenus() {
    QMenu* system = menuBar()->addMenu(QStringLiteral("System"));
    Settings1 = system->addAction(QStringLiteral("Settings"));
    Settings1->setCheckable(true);
    connect(Settings1, &QAction::triggered, this, &TForm1::SaveSettings1Click);
    Chimes1 = system->addAction(QStringLiteral("Hour Alarm"));
    Chimes1->setCheckable(true);
    connect(Chimes1, &QAction::triggered, this, &TForm1::Chimes1Click);
    system->addSeparator();
    Exit1 = system->addAction(QStringLiteral("E&xit"));
    connect(Exit1, &QAction::triggered, this, &TForm1::Exit1Click);
    QMenu* log = menuBar()->addMenu(QStringLiteral("Log"));
    connect(log->addAction(QStringLiteral("Show")), &QAction::triggered, this, &TForm1::Show1Click);

    TrayMenu = new QMenu(this);
    Properties1 = TrayMenu->addAction(QStringLiteral("&Properties"));
    TrayMenu->setDefaultAction(Properties1);
    connect(Properties1, &QAction::triggered, this, &TForm1::Properties1Click);
    connect(TrayMenu->addAction(QStringLiteral("E&xit")), &QAction::triggered, this, &TForm1::Exit1Click);
}

bool TForm1::StartUp() {
    // Steps 1-6: controls, state and conventions exist from construction; dates are formatted
    // by the one formatter, so there is nothing process-wide to set.
    TrayMessage(TrayOp::Add);
    TrayMessage(TrayOp::Modify);
    ChimeLatch = true;

    if (!instance_.acquire()) {
        // The running copy may be out of sight (closed to a notification area that is
        // missing): it shows its window. One without a window has none to show.
        const QByteArray shown =
            isHeadless() ? QByteArray() : StatusServer::ask(statusSocketPath(), ShowRequest, 2000);
        if (shown.startsWith("headless"))
            writeStderrLine("Korvat Server is already running without a window (the user service?); "
                            "'korvat-probe status' shows its state.",
                            4);
        else
            showMessage(QStringLiteral("Brevane Korvat Server"),
                        QStringLiteral("Korvat Server is already running."), MessageIcon::Warning);
        TrayMessage(TrayOp::Delete);
        return false;
    }
    started_ = true;
    StartNetworkWatch();

    const std::pair<CodeLabel* const*, const char*> coded[] = {{lblSync, "source"}, {lblPort, "port"},
                                                               {lblBaud, "baud"},   {lblData, "data"},
                                                               {lblStop, "stop"},   {lblParity, "parity"}};
    for (const auto& [labels, name] : coded) {
        const QList<qint32>& codes = findSetting(name)->panel;
        for (qsizetype i = 0; i < codes.size(); ++i) labels[i]->Tag = codes[i];
    }

    ReplySerial = int(QRandomGenerator::global()->bounded(9999));
    ClientCountPanel->setText(QStringLiteral("0"));
    StatusReserved = 0;
    Core.StartAfresh();

    LoadSettings();
    Gps->StartAfresh();

    LogFrm_ = std::make_unique<TLogFrm>();
    onMissingClockRight([this](const QByteArray& text) { AddLogEntry(LogAlert, "Clock", text); });
    StartStatusService();
    // Before the first NTP attempt, whose entries would otherwise come first.
    if (isHeadless()) writeStderrLine(StartLine(), 6);

    btnForceClick();
    // Port 6645 opens once the start-up attempt has ended.
    if (NtpAttemptRunning()) startPending_ = true;
    else FinishStartUp();
    return true;
}

void TForm1::FinishStartUp() {
    Requests->StartListening();
    // Headless there is no CONNECT: the GPS source opens its port now; AUTO, when on, opens it
    // on the first tick and again whenever it closes.
    if (isHeadless() && Config.SyncSource == TimeSource::Gps && !Config.AutoConnect) btnConnectClick();
    ApplyNtpServeSetting();
    Timer2->start();
    Timer1->start();
    // Without a notification area the icon could never open the window: show it instead.
    if (!isHeadless() && !QSystemTrayIcon::isSystemTrayAvailable()) Properties1Click();
}

void TForm1::Shutdown() {
    onMissingClockRight({});
    Ntp->StopRetries();
    delete Status; // its socket goes with it
    Status = nullptr;
    delete NtpServe;
    NtpServe = nullptr;
    LogFrm_.reset();
    Timer1->stop();
    Timer2->stop();
    if (started_) AnnounceShutdown();
    TrayMessage(TrayOp::Delete);
}

bool TForm1::TrayMessage(TrayOp op) {
    switch (op) {
    case TrayOp::Add:
        if (!TrayIcon) {
            TrayIcon = new QSystemTrayIcon(this);
            TrayIcon->setContextMenu(TrayMenu);
            connect(TrayIcon, &QSystemTrayIcon::activated, this,
                    [this](QSystemTrayIcon::ActivationReason reason) {
                        if (reason == QSystemTrayIcon::DoubleClick) Properties1Click();
                    });
        }
        return true;
    case TrayOp::Modify:
        ShowTrayState();
        if (QSystemTrayIcon::isSystemTrayAvailable()) TrayIcon->show();
        return TrayIcon->isVisible();
    case TrayOp::Delete:
        if (TrayIcon) TrayIcon->hide();
        return true;
    }
    return false;
}

void TForm1::AddLogEntry(qint16 type, const QByteArray& event, const QByteArray& details, EntryKind kind,
                         const QByteArray& stderrDetails) {
    if (!LogFrm_) return;
    LogEntry e = LogFrm_->AddEntry(type, event, details);
    // Headless, stderr is the operator's only view: one line per entry.
    if (!isHeadless() || kind == EntryKind::Repeat) return;
    const bool journal = stderrIsJournal();
    if (journal && kind == EntryKind::Trace && !ShowDebug()) return;
    if (!stderrDetails.isEmpty()) e.details = stderrDetails;
    queueStderrLine(mirrorLine(e, localNow(), journal, kind != EntryKind::Normal));
}

void TForm1::CreateRequestService() {
    ReplySender::Host host;
    host.log = ServiceLog();
    host.listening = [this] { return Requests->listening(); };
    host.onSecond = [this] { return Config.OnSecond; };
    host.context = [this](const ReplyInstant& now) {
        return ReplyContext{ReplySerial, CurrentStatus(), Config.Loc ? DisplayMode::Loc : DisplayMode::Gmt,
                            now};
    };
    Replies = new ReplySender(std::move(host), this);
    Requests = new RequestService(ServiceLog(), Replies, this);
    connect(Replies, &ReplySender::roomFreed, Requests, &RequestService::ReadWaitingRequests);
    connect(Requests, &RequestService::clientCountChanged, ClientCountPanel,
            [this](int count) { ClientCountPanel->setText(QString::number(count)); });
}

void TForm1::CreateGpsInput() {
    GpsInput::Host host;
    host.log = ServiceLog();
    host.config = [this]() -> const StoredSettings& { return Config; };
    host.portsLookup = [this](const QString& comName) {
        const QByteArray* stored = settings_.file().find(SettingsStore::PortsKey, comName.toLatin1());
        if (!stored) return QString();
        const RegFile::Data d = RegFile::decode(*stored);
        if (d.type != RegFile::Type::String && d.type != RegFile::Type::ExpandString) return QString();
        return QString::fromLocal8Bit(d.text);
    };
    Gps = new GpsInput(std::move(host), Core, this);
    connect(Gps, &GpsInput::serialChanged, this, [this](bool open) {
        btnConnect->setEnabled(!open);
        btnDisconnect->setEnabled(open);
        SerialPanel->setText(open ? QStringLiteral("Serial Input Connected") : QString());
    });
    connect(Gps, &GpsInput::serialReasonChanged, SerialPanel, &QLabel::setToolTip);
}

bool TForm1::SerialConnected() const { return Gps->Connected(); }

void TForm1::CreateNtpSync() {
    NtpSync::Host host;
    host.log = ServiceLog();
    host.config = [this]() -> const StoredSettings& { return Config; };
    host.exiting = [this] { return exiting_; };
    Ntp = new NtpSync(std::move(host), Core, this);
    connect(Ntp, &NtpSync::attemptEnded, this, &TForm1::NtpAttemptEnded);
}

bool TForm1::NtpAttemptRunning() const { return Ntp->Running(); }

void TForm1::NtpAttemptEnded() {
    if (!std::exchange(startPending_, false) || exiting_) return;
    try {
        FinishStartUp();
    } catch (const Error& e) {
        emit startFailed(e.message());
    }
}

EventLog TForm1::ServiceLog() {
    EventLog log;
    log.add = [this](qint16 type, const QByteArray& event, const QByteArray& details, EntryKind kind,
                     const QByteArray& stderrDetails) {
        AddLogEntry(type, event, details, kind, stderrDetails);
    };
    log.showDebug = [this] { return ShowDebug(); };
    log.indicateClientType = [this] { return IndicateClientType(); };
    log.saveCsv = [this] { SaveLogCsv(); };
    return log;
}

bool TForm1::ShowDebug() const { return LogFrm_ && LogFrm_->ShowDebug(); }

bool TForm1::IndicateClientType() const { return LogFrm_ && LogFrm_->IndicateClientType(); }

void TForm1::SaveLogCsv() {
    if (LogFrm_) LogFrm_->SaveLogCsv();
}

void TForm1::Exit1Click() {
    if (endReason_.isEmpty()) endReason_ = "Exit chosen";
    exiting_ = true;
    close();
}

void TForm1::Show1Click() {
    LogFrm_->show();
    LogFrm_->raise();
    LogFrm_->activateWindow();
}

void TForm1::Properties1Click() {
    if (!isVisible()) {
        show();
        if (QScreen* screen = this->screen()) move(screen->availableGeometry().center() - rect().center());
    }
    setWindowState(windowState() & ~Qt::WindowMinimized);
    raise();
    activateWindow();
}

void TForm1::HideToTray() {
    hide();
    if (LogFrm_) LogFrm_->hide();
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (!exiting_) {
        // Close puts the program back into the notification area; it keeps running.
        event->ignore();
        HideToTray();
        return;
    }
    event->accept();
    Ntp->AbandonNtpAttempt();
    QCoreApplication::quit();
}

void TForm1::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // The unsynchronised colour is the theme's button colour.
    if (event->type() == QEvent::PaletteChange) StatusShownState.reset();
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized)) {
        // Deferred: hiding inside the state change confuses some window managers.
        QTimer::singleShot(0, this, [this] {
            setWindowState(windowState() & ~Qt::WindowMinimized);
            HideToTray();
        });
    }
}

} // namespace ks
