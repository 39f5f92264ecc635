// What an operator sees besides the window: the line at start, the status socket's answers.
#include "app/GpsInput.h"
#include "app/NtpServer.h"
#include "app/NtpSync.h"
#include "app/ReplyConnection.h"
#include "app/ReplySender.h"
#include "app/RequestService.h"
#include "app/Server.h"
#include "log/LogModel.h"
#include "platform/StatusServer.h"
#include "platform/SystemClock.h"
#include "platform/Ui.h"
#include "protocol/Replies.h"
#include "protocol/RuntimePaths.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

namespace ks {

QByteArray Server::SourceDescription() const {
    const StoredSettings& c = Config;
    switch (c.SyncSource) {
    case TimeSource::Gps:
        return "GPS on COM" + QByteArray::number(c.PortNumber) + " (" +
               Gps_->DeviceOfPort(c.PortNumber).toLocal8Bit() + ')';
    case TimeSource::Ntp:
        return c.NtpServer.isEmpty() ? QByteArray("NTP, no server set") : "NTP from " + c.NtpServer;
    default: return sourceName(qint16(c.SyncSource)).toLatin1();
    }
}

QByteArray Server::StartLine() const {
    return "korvat-server " KS_VERSION " starting: source " + SourceDescription() +
           "; requests on TCP port " + QByteArray::number(RequestService::RequestPort) +
           ", replies to TCP port " + QByteArray::number(ReplyConnection::ReplyPort) +
           ", announcements to 224.0.0.1:6649; " +
           (settings_.isOpen()
                ? "settings " + settings_.path().toLocal8Bit()
                : "settings: none at " + settings_.path().toLocal8Bit() + ", defaults in use") +
           "; clock: " + clockRightWords(clockRight());
}

QByteArray Server::StatusJson() const {
    const qint64 now = systemClock().nowMs();
    QJsonObject o;
    o[QLatin1String("version")] = QStringLiteral(KS_VERSION);
    o[QLatin1String("settings_file")] = settings_.path();
    o[QLatin1String("uptime_s")] = (now - startedMs_) / 1000;
    o[QLatin1String("source")] = sourceName(qint16(Config.SyncSource));
    Gps_->AddStatus(o);
    if (Config.SyncSource == TimeSource::Ntp)
        o[QLatin1String("ntp_server")] = QString::fromLocal8Bit(Config.NtpServer);
    const StatusTriple status = CurrentStatus();
    o[QLatin1String("status")] = QString::fromLatin1(statusMessage(status));
    o[QLatin1String("status_words")] = statusMeaning(status);
    Core.AddStatus(o);
    Ntp_->AddStatus(o, now, Timer2->remainingTime());
    if (!IgnoredSettings.isEmpty()) {
        QJsonArray ignored;
        for (const IgnoredSetting& i : IgnoredSettings) ignored.append(QString::fromLocal8Bit(i.notice));
        o[QLatin1String("settings_ignored")] = ignored;
    }
    // Whether a setting can take effect at all: the state alone does not tell.
    const ClockRightState right = clockRight();
    o[QLatin1String("clock_right")] = QString::fromLatin1(clockRightName(right.right));
    if (!right.detail.isEmpty())
        o[QLatin1String(right.right == ClockRight::DryRun ? "clock_log" : "clock_right_grant")] =
            QString::fromLocal8Bit(right.detail);
    o[QLatin1String("clock_settings_refused")] = clockSettingsRefused();
    AddTrustStatus(o);
    Replies->AddStatus(o);
    // Only while on: absent, replies leave as soon as their connection is up.
    if (Config.OnSecond) o[QLatin1String("replies_on_second")] = true;
    o[QLatin1String("requests_waiting")] = Replies->RequestsWaiting();
    o[QLatin1String("connections_holding_requests")] = Requests_->ConnectionsHoldingRequests();
    o[QLatin1String("connections_open")] = Requests_->OpenClientConnections();
    if (NtpServe) o[QLatin1String("ntp_serve")] = NtpServe->status();
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray Server::SetForOperator(const QByteArray& change) {
    QByteArray refusal;
    const std::optional<SettingChange> asked = parseSettingChange(change, &refusal);
    if (!asked) return "refused: " + refusal + '\n';
    StoredSettings next = Config;
    applySettingValue(*asked->setting, asked->value, next);
    const bool saved =
        QByteArray(asked->setting->name) == "source" ? ChooseSource(next) : ChangeSettings(next);
    const QByteArray now = *settingsListing(Config, asked->setting->name, nullptr);
    return saved ? "ok: " + now : "not saved (in force until the server ends): " + now;
}

void Server::StartStatusService() {
    startedMs_ = systemClock().nowMs();
    Status = new StatusServer(
        [this](const QByteArray& request, const StatusServer::Answer& answer) {
            if (request == StatusRequest) return answer(StatusJson() + '\n');
            if (request.startsWith(QByteArray(SetRequest) + ' '))
                return answer(SetForOperator(request.mid(qsizetype(sizeof SetRequest))));
            if (request == GetRequest || request.startsWith(QByteArray(GetRequest) + ' ')) {
                QByteArray refusal;
                const std::optional<QByteArray> listing =
                    settingsListing(Config, request.mid(qsizetype(sizeof GetRequest)), &refusal);
                return answer(listing ? *listing : "refused: " + refusal + '\n');
            }
            if (request == SyncRequest)
                return Ntp_->SyncForOperator([answer](const QByteArray& outcome) { answer(outcome + '\n'); });
            if (request == ShowRequest) {
                // A copy without a window (the user service) has nothing to show: the asker
                // says so rather than leave its user waiting for a window.
                if (isHeadless()) return answer("headless\n");
                emit showAsked();
                return answer("ok\n");
            }
            answer({});
        },
        this);
    // Without it the program still serves its clients: say so, and go on.
    QString error;
    if (!Status->listen(statusSocketPath(), &error))
        AddLogEntry(LogAlert, "Status", "No status socket: " + error.toLocal8Bit());
}

} // namespace ks
