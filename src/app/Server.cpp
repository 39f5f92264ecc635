// Construction makes the owners; StartUp is the start-up sequence, Shutdown the order at the end.
#include "app/Server.h"
#include "app/GpsInput.h"
#include "app/NtpServer.h"
#include "app/NtpSync.h"
#include "app/ReplySender.h"
#include "app/RequestService.h"

#include "platform/Error.h"
#include "platform/StatusServer.h"
#include "platform/SystemClock.h"
#include "platform/Ui.h"
#include "protocol/RuntimePaths.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTimer>

#include <utility>

namespace ks {

Server::Server(QObject* parent) : QObject(parent) {
    // All timers are created stopped; the start-up sequence starts the ticks last.
    Timer1 = new QTimer(this);
    Timer1->setInterval(250);
    connect(Timer1, &QTimer::timeout, this, &Server::Timer1Timer);
    Timer2 = new QTimer(this);
    Timer2->setInterval(3'600'000);
    connect(Timer2, &QTimer::timeout, this, &Server::Timer2Timer);
    Ntp_ = CreateNtpSync();
    Gps_ = CreateGpsInput();
    CreateRequestService();
}

Server::~Server() = default;

StatusTriple Server::CurrentStatus() const {
    return {qint16(Config.SyncSource), StatusReserved, qint16(ShownState())};
}

bool Server::StartUp() {
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
        return false;
    }
    started_ = true;
    StartNetworkWatch();

    ReplySerial = int(QRandomGenerator::global()->bounded(9999));
    StatusReserved = 0;
    ChimeLatch = true;
    Core.StartAfresh();

    LoadSettings();
    Gps_->StartAfresh();

    logOpen_ = true;
    onMissingClockRight([this](const QByteArray& text) { AddLogEntry(LogAlert, "Clock", text); });
    StartStatusService();
    // Before the first NTP attempt, whose entries would otherwise come first.
    if (isHeadless()) writeStderrLine(StartLine(), 6);

    Ntp_->SyncToNtp();
    // Port 6645 opens once the start-up attempt has ended.
    if (NtpAttemptRunning()) startPending_ = true;
    else FinishStartUp();
    return true;
}

void Server::FinishStartUp() {
    Requests_->StartListening();
    // Headless there is no CONNECT: the GPS source opens its port now; AUTO, when on, opens it
    // on the first tick and again whenever it closes.
    if (isHeadless() && Config.SyncSource == TimeSource::Gps && !Config.AutoConnect) Gps_->Connect();
    ApplyNtpServeSetting();
    Timer2->start();
    Timer1->start();
    emit started();
}

void Server::Shutdown() {
    onMissingClockRight({});
    Ntp_->StopRetries();
    delete Status; // its socket goes with it
    Status = nullptr;
    delete NtpServe;
    NtpServe = nullptr;
    logOpen_ = false;
    Timer1->stop();
    Timer2->stop();
    if (started_) AnnounceShutdown();
}

void Server::EndProgram(const QByteArray& reason) {
    if (endReason_.isEmpty()) endReason_ = reason;
    exiting_ = true;
    Ntp_->AbandonNtpAttempt();
    QCoreApplication::quit();
}

bool Server::NtpAttemptRunning() const { return Ntp_->Running(); }

void Server::NtpAttemptEnded() {
    if (!std::exchange(startPending_, false) || exiting_) return;
    try {
        FinishStartUp();
    } catch (const Error& e) {
        emit startFailed(e.message());
    }
}

void Server::AddLogEntry(qint16 type, const QByteArray& event, const QByteArray& details, EntryKind kind,
                         const QByteArray& stderrDetails) {
    if (!logOpen_) return;
    LogEntry e = log_.AddEntry(type, event, details);
    // Headless, stderr is the operator's only view: one line per entry.
    if (!isHeadless() || kind == EntryKind::Repeat) return;
    const bool journal = stderrIsJournal();
    if (journal && kind == EntryKind::Trace && !ShowDebug()) return;
    if (!stderrDetails.isEmpty()) e.details = stderrDetails;
    queueStderrLine(mirrorLine(e, localNow(), journal, kind != EntryKind::Normal));
}

EventLog Server::ServiceLog() {
    EventLog log;
    log.add = [this](qint16 type, const QByteArray& event, const QByteArray& details, EntryKind kind,
                     const QByteArray& stderrDetails) {
        AddLogEntry(type, event, details, kind, stderrDetails);
    };
    log.showDebug = [this] { return ShowDebug(); };
    log.indicateClientType = [this] { return log_.IndicateClientType; };
    log.saveCsv = [this] {
        if (logOpen_) log_.SaveLogCsv();
    };
    return log;
}

void Server::CreateRequestService() {
    ReplySender::Host host;
    host.log = ServiceLog();
    host.listening = [this] { return Requests_->listening(); };
    host.onSecond = [this] { return Config.OnSecond; };
    host.context = [this](const ReplyInstant& now) {
        return ReplyContext{ReplySerial, CurrentStatus(), Config.Loc ? DisplayMode::Loc : DisplayMode::Gmt,
                            now};
    };
    Replies = new ReplySender(std::move(host), this);
    Requests_ = new RequestService(ServiceLog(), Replies, this);
    connect(Replies, &ReplySender::roomFreed, Requests_, &RequestService::ReadWaitingRequests);
}

GpsInput* Server::CreateGpsInput() {
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
    return new GpsInput(std::move(host), Core, this);
}

NtpSync* Server::CreateNtpSync() {
    NtpSync::Host host;
    host.log = ServiceLog();
    host.config = [this]() -> const StoredSettings& { return Config; };
    host.exiting = [this] { return exiting_; };
    auto* ntp = new NtpSync(std::move(host), Core, this);
    connect(ntp, &NtpSync::attemptEnded, this, &Server::NtpAttemptEnded);
    return ntp;
}

} // namespace ks
