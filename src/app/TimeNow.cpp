// The window's controls, its start, the notification icon and the menus.
#include "app/TimeNow.h"
#include "app/CodeLabel.h"
#include "app/GpsInput.h"
#include "app/RequestService.h"
#include "app/Server.h"
#include "app/Smiley.h"
#include "log/Log.h"
#include "platform/Ui.h"

#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QStatusBar>
#include <QSystemTrayIcon>
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

TForm1::TForm1(Server& server, QWidget* parent) : QMainWindow(parent), server_(server) {
    setWindowTitle(QStringLiteral("Korvat Server V" KS_VERSION));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    QFont f(QStringLiteral("MS Sans Serif"));
    f.setPointSize(8);
    setFont(f);
    CreateControls();
    LogFrm_ = std::make_unique<TLogFrm>(server_.Log());
    FollowServer();
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

    const std::pair<CodeLabel* const*, const char*> coded[] = {{lblSync, "source"}, {lblPort, "port"},
                                                               {lblBaud, "baud"},   {lblData, "data"},
                                                               {lblStop, "stop"},   {lblParity, "parity"}};
    for (const auto& [labels, name] : coded) {
        const QList<qint32>& codes = findSetting(name)->panel;
        for (qsizetype i = 0; i < codes.size(); ++i) labels[i]->Tag = codes[i];
    }
    ClientCountPanel->setText(QStringLiteral("0"));
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
    TrayMessage(TrayOp::Add);
    TrayMessage(TrayOp::Modify);
    if (server_.StartUp()) return true;
    TrayMessage(TrayOp::Delete);
    return false;
}

void TForm1::FollowServer() {
    connect(&server_, &Server::settingsChanged, this, &TForm1::ShowSettingsInPanel);
    connect(&server_, &Server::ticked, this, &TForm1::ShowTick);
    connect(&server_, &Server::showAsked, this, &TForm1::Properties1Click);
    connect(&server_, &Server::started, this, [this] {
        // Without a notification area the icon could never open the window: show it instead.
        if (!isHeadless() && !QSystemTrayIcon::isSystemTrayAvailable()) Properties1Click();
    });
    connect(&server_.Requests(), &RequestService::clientCountChanged, ClientCountPanel,
            [this](int count) { ClientCountPanel->setText(QString::number(count)); });
    connect(&server_.Gps(), &GpsInput::serialChanged, this, [this](bool open) {
        btnConnect->setEnabled(!open);
        btnDisconnect->setEnabled(open);
        SerialPanel->setText(open ? QStringLiteral("Serial Input Connected") : QString());
    });
    connect(&server_.Gps(), &GpsInput::serialReasonChanged, SerialPanel, &QLabel::setToolTip);
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

QString TForm1::TrayToolTip() const {
    return QStringLiteral("Korvat Server Active\n") + statusMeaning(server_.CurrentStatus());
}

void TForm1::ShowTrayState() {
    const StatusTriple status = server_.CurrentStatus();
    if (!TrayIcon || trayShown_ == status) return;
    trayShown_ = status;
    TrayIcon->setIcon(QIcon(QPixmap::fromImage(drawSmiley(16, StateColour(server_.ShownState())))));
    TrayIcon->setToolTip(TrayToolTip());
}

void TForm1::Exit1Click() { server_.EndProgram("Exit chosen"); }

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
    if (!server_.Exiting()) {
        // Close puts the program back into the notification area; it keeps running.
        event->ignore();
        HideToTray();
        return;
    }
    event->accept();
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
