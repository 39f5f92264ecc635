// What an operator sees besides the window: the lines at start and end, the status socket's
// answers, the notification icon's colour and text, the serial port's trouble.
#include "app/Smiley.h"
#include "app/TimeNow.h"
#include "components/CPDrv.h"
#include "log/LogModel.h"
#include "platform/StatusServer.h"
#include "platform/SystemClock.h"
#include "platform/Ui.h"
#include "protocol/DateFormat.h"
#include "protocol/Replies.h"
#include "protocol/RuntimePaths.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QSystemTrayIcon>

namespace ks {

namespace {
QString utcText(qint64 ms) {
    return QString::fromLatin1(formatDateTime("yyyy-mm-ddThh:nn:ssZ", civilFromMs(ms)));
}
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
               ComPort1->DeviceOfPort(c.PortNumber).toLocal8Bit() + ')';
    case TimeSource::Ntp:
        return "NTP from " + (c.NtpServer.isEmpty() ? QByteArray("(no server set)") : c.NtpServer);
    default: return sourceName(qint16(c.SyncSource)).toLatin1();
    }
}

QByteArray TForm1::StartLine() const {
    return "korvat-server " KS_VERSION " starting: source " + SourceDescription() +
           "; requests on TCP port " + QByteArray::number(RequestPort) +
           ", replies to TCP port " + QByteArray::number(ReplyPort) +
           ", announcements to 224.0.0.1:6649; settings " +
           settings_.path().toLocal8Bit();
}

void TForm1::NoteClockSetting(TimeSource source, qint64 stepMs) {
    LastClockSetting = {systemClock().nowMs(), source, stepMs};
}

void TForm1::NoteSerialReason(const QString& reason) {
    if (reason == SerialReason) return;
    SerialReason = reason;
    SerialPanel->setToolTip(reason);
    // Once per new reason: AUTO tries again every tick, the same failure each time.
    if (!reason.isEmpty() && isHeadless())
        writeStderrLine("Serial input: " + reason.toLocal8Bit(), 4);
}

QString TForm1::TrayToolTip() const {
    return QStringLiteral("Korvat Server Active\n") + statusMeaning(CurrentStatus());
}

void TForm1::ShowTrayState() {
    if (!TrayIcon || trayShown_ == CurrentStatus()) return;
    trayShown_ = CurrentStatus();
    TrayIcon->setIcon(QIcon(QPixmap::fromImage(drawSmiley(16, StateColour(SyncState)))));
    TrayIcon->setToolTip(TrayToolTip());
}

QByteArray TForm1::StatusJson() const {
    const qint64 now = systemClock().nowMs();
    QJsonObject o;
    o[QLatin1String("version")] = QStringLiteral(KS_VERSION);
    o[QLatin1String("uptime_s")] = (now - startedMs_) / 1000;
    o[QLatin1String("source")] = sourceName(qint16(Config.SyncSource));
    if (Config.SyncSource == TimeSource::Gps) {
        o[QLatin1String("port")] = QStringLiteral("COM%1").arg(Config.PortNumber);
        o[QLatin1String("device")] = ComPort1->DeviceOfPort(Config.PortNumber);
        o[QLatin1String("serial")] = SerialConnected() ? QStringLiteral("connected")
                                     : SerialReason.isEmpty() ? QStringLiteral("not connected")
                                                              : SerialReason;
    }
    if (Config.SyncSource == TimeSource::Ntp)
        o[QLatin1String("ntp_server")] = QString::fromLocal8Bit(Config.NtpServer);
    const StatusTriple status = CurrentStatus();
    o[QLatin1String("status")] = QString::fromLatin1(statusMessage(status));
    o[QLatin1String("status_words")] = statusMeaning(status);
    if (LastClockSetting.atMs != 0) {
        QJsonObject c;
        c[QLatin1String("at")] = utcText(LastClockSetting.atMs);
        c[QLatin1String("source")] = sourceName(qint16(LastClockSetting.source));
        c[QLatin1String("step_ms")] = LastClockSetting.stepMs;
        o[QLatin1String("last_clock_setting")] = c;
    }
    if (LastNtpAttempt.atMs != 0) {
        QJsonObject n;
        n[QLatin1String("at")] = utcText(LastNtpAttempt.atMs);
        n[QLatin1String("server")] = QString::fromLocal8Bit(LastNtpAttempt.server);
        n[QLatin1String("outcome")] = QString::fromLocal8Bit(LastNtpAttempt.outcome);
        o[QLatin1String("last_ntp_attempt")] = n;
    }
    o[QLatin1String("replies_sent")] = qint64(RepliesSent);
    o[QLatin1String("replies_failed")] = qint64(RepliesFailed);
    o[QLatin1String("replies_refused")] = qint64(RepliesRefused);
    // Only while on: absent, replies leave as soon as their connection is up.
    if (Config.OnSecond) o[QLatin1String("replies_on_second")] = true;
    o[QLatin1String("requests_waiting")] = RequestsWaiting();
    o[QLatin1String("connections_open")] = OpenClientConnections();
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

void TForm1::StartStatusService() {
    startedMs_ = systemClock().nowMs();
    Status = new StatusServer(
        [this](const QByteArray& request) -> QByteArray {
            if (request == StatusRequest) return StatusJson() + '\n';
            if (request == ShowRequest) {
                if (!isHeadless()) Properties1Click();
                return "ok\n";
            }
            return {};
        },
        this);
    // Without it the program still serves its clients: say so, and go on.
    QString error;
    if (!Status->listen(statusSocketPath(), &error))
        AddLogEntry(LogAlert, "Status", "No status socket: " + error.toLocal8Bit());
}

} // namespace ks
