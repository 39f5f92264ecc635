#include "Status.h"

#include "Probe.h"
#include "protocol/RuntimePaths.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QStringList>

namespace probe {

namespace {
constexpr int TimeoutMs = 3000;
// The answer is one JSON line of a few hundred bytes.
constexpr qsizetype MaxAnswerBytes = 64 * 1024;

QString duration(qint64 seconds) {
    const qint64 days = seconds / 86400;
    const QString clock = QStringLiteral("%1:%2:%3")
                              .arg(seconds / 3600 % 24, 2, 10, QLatin1Char('0'))
                              .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                              .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return days > 0 ? QStringLiteral("%1 d %2").arg(days).arg(clock) : clock;
}

QString signedSeconds(qint64 ms) {
    return QStringLiteral("%1%2 s").arg(ms < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(double(qAbs(ms)) / 1000.0, 0, 'f', 3);
}
} // namespace

QString statusText(const QJsonObject& s) {
    const auto str = [&s](const char* key) { return s.value(QLatin1String(key)).toString(); };
    const auto num = [&s](const char* key) {
        return QString::number(s.value(QLatin1String(key)).toInteger());
    };
    QStringList lines;
    lines << QStringLiteral("Korvat Server %1, up %2")
                 .arg(str("version"), duration(s.value(QLatin1String("uptime_s")).toInteger()));
    QString source = str("source");
    if (s.contains(QLatin1String("device")))
        source += QStringLiteral(" on %1 (%2)").arg(str("port"), str("device"));
    if (s.contains(QLatin1String("ntp_server")))
        source += QStringLiteral(" from %1").arg(str("ntp_server"));
    lines << QStringLiteral("Source:            ") + source;
    lines << QStringLiteral("State:             %1  %2").arg(str("status"), str("status_words"));
    if (s.contains(QLatin1String("serial")))
        lines << QStringLiteral("Serial input:      ") + str("serial");
    const QJsonObject clock = s.value(QLatin1String("last_clock_setting")).toObject();
    lines << QStringLiteral("Last clock set:    ") +
                 (clock.isEmpty() ? QStringLiteral("none since start")
                                  : QStringLiteral("%1 from %2, moved %3")
                                        .arg(clock.value(QLatin1String("at")).toString(),
                                             clock.value(QLatin1String("source")).toString(),
                                             signedSeconds(clock.value(QLatin1String("step_ms")).toInteger())));
    const QJsonObject ntp = s.value(QLatin1String("last_ntp_attempt")).toObject();
    if (!ntp.isEmpty())
        lines << QStringLiteral("Last NTP attempt:  %1 to %2: %3")
                     .arg(ntp.value(QLatin1String("at")).toString(),
                          ntp.value(QLatin1String("server")).toString(),
                          ntp.value(QLatin1String("outcome")).toString());
    lines << QStringLiteral("Replies:           %1 sent, %2 failed, %3 refused")
                 .arg(num("replies_sent"), num("replies_failed"), num("replies_refused"));
    if (s.value(QLatin1String("replies_on_second")).toBool())
        lines << QStringLiteral("Replies leave:     on the second's edge (onsecond)");
    lines << QStringLiteral("Requests waiting:  ") + num("requests_waiting");
    lines << QStringLiteral("Connections open:  ") + num("connections_open");
    return lines.join(QLatin1Char('\n'));
}

int statusCommand(bool json) {
    const QString path = ks::statusSocketPath();
    if (!QFileInfo::exists(path)) {
        printError(QStringLiteral("korvat-probe: no server is running for this user (no %1)").arg(path));
        return ExitNetwork;
    }
    QDeadlineTimer deadline(TimeoutMs);
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(TimeoutMs)) {
        printError(QStringLiteral("korvat-probe: no server answers on %1: %2")
                       .arg(path, socket.errorString()));
        return ExitNetwork;
    }
    socket.write(QByteArray(ks::StatusRequest) + '\n');
    QByteArray answer;
    while (socket.state() == QLocalSocket::ConnectedState && !deadline.hasExpired() &&
           answer.size() <= MaxAnswerBytes) {
        socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        answer += socket.readAll();
    }
    answer += socket.readAll();
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(answer.trimmed(), &error);
    if (!doc.isObject()) {
        printError(QStringLiteral("korvat-probe: no usable answer on %1").arg(path));
        return ExitNetwork;
    }
    printLine(json ? QString::fromUtf8(answer.trimmed()) : statusText(doc.object()));
    return ExitOk;
}

} // namespace probe
