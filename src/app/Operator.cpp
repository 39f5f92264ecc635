// What an operator sees besides the window: the lines at start and end, the status socket's
// answers, the notification icon's colour and text, the serial port's trouble.
#include "app/GpsInput.h"
#include "app/NtpServer.h"
#include "app/ReplyConnection.h"
#include "app/ReplySender.h"
#include "app/RequestService.h"
#include "app/Smiley.h"
#include "app/TimeNow.h"
#include "log/LogModel.h"
#include "platform/StatusServer.h"
#include "platform/SystemClock.h"
#include "platform/Ui.h"
#include "protocol/DateFormat.h"
#include "protocol/Replies.h"
#include "protocol/RuntimePaths.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QSystemTrayIcon>
#include <QTimer>

namespace ks {

namespace {

QString utcText(qint64 ms) { return QString::fromLatin1(utcStatusText(ms)); }
} // namespace

void TForm1::EndProgram(const QByteArray& reason) {
    if (endReason_.isEmpty()) endReason_ = reason;
    Exit1Click();
}

QByteArray TForm1::SourceDescription() const {
    const StoredSettings& c = Config;
    switch (c.SyncSource) {
    case TimeSource::Gps:
        return "GPS on COM" + QByteArray::number(c.PortNumber) + " (" +
               Gps->DeviceOfPort(c.PortNumber).toLocal8Bit() + ')';
    case TimeSource::Ntp:
        return c.NtpServer.isEmpty() ? QByteArray("NTP, no server set") : "NTP from " + c.NtpServer;
    default: return sourceName(qint16(c.SyncSource)).toLatin1();
    }
}

QByteArray TForm1::StartLine() const {
    return "korvat-server " KS_VERSION " starting: source " + SourceDescription() +
           "; requests on TCP port " + QByteArray::number(RequestService::RequestPort) +
           ", replies to TCP port " + QByteArray::number(ReplyConnection::ReplyPort) +
           ", announcements to 224.0.0.1:6649; " +
           (settings_.isOpen()
                ? "settings " + settings_.path().toLocal8Bit()
                : "settings: none at " + settings_.path().toLocal8Bit() + ", defaults in use") +
           "; clock: " + clockRightWords(clockRight());
}

QString TForm1::TrayToolTip() const {
    return QStringLiteral("Korvat Server Active\n") + statusMeaning(CurrentStatus());
}

void TForm1::ShowTrayState() {
    if (!TrayIcon || trayShown_ == CurrentStatus()) return;
    trayShown_ = CurrentStatus();
    TrayIcon->setIcon(QIcon(QPixmap::fromImage(drawSmiley(16, StateColour(ShownState())))));
    TrayIcon->setToolTip(TrayToolTip());
}

QByteArray TForm1::StatusJson() const {
    const qint64 now = systemClock().nowMs();
    QJsonObject o;
    o[QLatin1String("version")] = QStringLiteral(KS_VERSION);
    o[QLatin1String("settings_file")] = settings_.path();
    o[QLatin1String("uptime_s")] = (now - startedMs_) / 1000;
    o[QLatin1String("source")] = sourceName(qint16(Config.SyncSource));
    Gps->AddStatus(o);
    if (Config.SyncSource == TimeSource::Ntp)
        o[QLatin1String("ntp_server")] = QString::fromLocal8Bit(Config.NtpServer);
    const StatusTriple status = CurrentStatus();
    o[QLatin1String("status")] = QString::fromLatin1(statusMessage(status));
    o[QLatin1String("status_words")] = statusMeaning(status);
    Core.AddStatus(o);
    if (LastNtpAnswer.atMs != 0) {
        QJsonObject a;
        a[QLatin1String("at")] = utcText(LastNtpAnswer.atMs);
        a[QLatin1String("address")] = QString::fromLatin1(LastNtpAnswer.address);
        a[QLatin1String("stratum")] = LastNtpAnswer.stratum;
        a[QLatin1String("offset_ms")] = LastNtpAnswer.offsetMs;
        a[QLatin1String("round_trip_ms")] = LastNtpAnswer.roundTripMs;
        a[QLatin1String("root_delay_ms")] = LastNtpAnswer.rootDelayMs;
        a[QLatin1String("root_dispersion_ms")] = LastNtpAnswer.rootDispersionMs;
        if (!LastNtpAnswer.refused.isEmpty())
            a[QLatin1String("refused")] = QString::fromLatin1(LastNtpAnswer.refused);
        o[QLatin1String("last_ntp_answer")] = a;
    }
    if (Config.SyncSource == TimeSource::Ntp) {
        // The hourly attempt, or a retry when one is due sooner.
        const bool retry =
            NtpRetryTimer->isActive() && NtpRetryTimer->remainingTime() < Timer2->remainingTime();
        const qint64 inMs = retry ? NtpRetryTimer->remainingTime() : Timer2->remainingTime();
        if (inMs >= 0) {
            QJsonObject next;
            next[QLatin1String("at")] = utcText(now + inMs);
            next[QLatin1String("why")] = retry ? QStringLiteral("retry") : QStringLiteral("hourly");
            o[QLatin1String("next_ntp_attempt")] = next;
        }
    }
    if (LastNtpAttempt.atMs != 0) {
        QJsonObject n;
        n[QLatin1String("at")] = utcText(LastNtpAttempt.atMs);
        n[QLatin1String("server")] = QString::fromLocal8Bit(LastNtpAttempt.server);
        n[QLatin1String("outcome")] = QString::fromLocal8Bit(LastNtpAttempt.outcome);
        o[QLatin1String("last_ntp_attempt")] = n;
    }
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
    o[QLatin1String("connections_holding_requests")] = Requests->ConnectionsHoldingRequests();
    o[QLatin1String("connections_open")] = Requests->OpenClientConnections();
    if (NtpServe) o[QLatin1String("ntp_serve")] = NtpServe->status();
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

void TForm1::SyncForOperator(const std::function<void(const QByteArray&)>& answer) {
    if (Config.SyncSource != TimeSource::Ntp) return answer("failed: the source is not NTP");
    // An attempt under way answers this asker too, as the hourly one would have.
    if (!NtpAttemptRunning()) SyncToNtp();
    if (NtpAttemptRunning()) ntpWaiters_.append(answer);
    else answer(SyncOutcomeWords());
}

QByteArray TForm1::SyncOutcomeWords() const {
    if (LastNtpAttempt.outcome != "succeeded") return LastNtpAttempt.outcome;
    const NtpAnswer& a = LastNtpAnswer;
    return "succeeded: " + a.address + ", offset " + signedThreeDecimals(double(a.offsetMs) / 1000.0) +
           " s, round trip " + QByteArray::number(double(a.roundTripMs) / 1000.0, 'f', 3) + " s, stratum " +
           QByteArray::number(a.stratum);
}

QByteArray TForm1::SetForOperator(const QByteArray& change) {
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

void TForm1::StartStatusService() {
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
                return SyncForOperator([answer](const QByteArray& outcome) { answer(outcome + '\n'); });
            if (request == ShowRequest) {
                // A copy without a window (the user service) has nothing to show: the asker
                // says so rather than leave its user waiting for a window.
                if (isHeadless()) return answer("headless\n");
                Properties1Click();
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
