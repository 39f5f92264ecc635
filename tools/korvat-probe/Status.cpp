#include "Status.h"

#include "Metrics.h"
#include "Probe.h"
#include "protocol/DateFormat.h"
#include "protocol/RuntimePaths.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QSaveFile>
#include <QStringList>
#include <QThread>

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace probe {

namespace {
constexpr int TimeoutMs = 3000;
// An NTP attempt: a name lookup and up to 3 s for the answer.
constexpr int SyncTimeoutMs = 30000;
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
    return QString::fromLatin1(ks::signedThreeDecimals(double(ms) / 1000.0) + " s");
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
    const QString upstream = str("ntp_server");
    if (str("source") == QLatin1String("NTP"))
        source +=
            upstream.isEmpty() ? QStringLiteral(", no server set") : QStringLiteral(" from %1").arg(upstream);
    lines << QStringLiteral("Source:            ") + source;
    lines << QStringLiteral("Settings file:     ") + str("settings_file");
    lines << QStringLiteral("State:             %1  %2").arg(str("status"), str("status_words"));
    QString right = str("clock_right");
    if (s.contains(QLatin1String("clock_right_grant")))
        right += QStringLiteral(" (grant with %1)").arg(str("clock_right_grant"));
    if (s.contains(QLatin1String("clock_log"))) right += QStringLiteral(" to %1").arg(str("clock_log"));
    lines << QStringLiteral("Clock right:       %1; %2 settings refused")
                 .arg(right, num("clock_settings_refused"));
    if (s.contains(QLatin1String("serial"))) lines << QStringLiteral("Serial input:      ") + str("serial");
    const QJsonObject gps = s.value(QLatin1String("gps")).toObject();
    if (!gps.isEmpty()) {
        const auto g = [&gps](const char* key) { return gps.value(QLatin1String(key)); };
        QString receiver =
            g("talker").toString().isEmpty()
                ? QStringLiteral("no sentence yet")
                : QStringLiteral("talker %1, %2, %3 satellites, last sentence %4 ms ago")
                      .arg(g("talker").toString(),
                           g("fix").toBool() ? QStringLiteral("fix") : QStringLiteral("no fix"))
                      .arg(g("satellites").toInteger())
                      .arg(g("last_sentence_age_ms").toInteger());
        if (gps.contains(QLatin1String("reason"))) receiver += QStringLiteral(": ") + g("reason").toString();
        lines << QStringLiteral("GPS receiver:      ") + receiver;
        const QJsonObject late = g("lateness_ms").toObject();
        const auto ms = [&late](const char* key) {
            return QString::number(late.value(QLatin1String(key)).toDouble(), 'f', 1);
        };
        const qint64 count = late.value(QLatin1String("count")).toInteger();
        lines << (count == 0
                      ? QStringLiteral("GPS lateness vs this PC's clock: no sentence yet")
                      : QStringLiteral("GPS lateness vs this PC's clock: median %1 ms, spread %2 ms "
                                       "(%3 %4)")
                            .arg(ms("median"), ms("spread"))
                            .arg(count)
                            .arg(count == 1 ? QStringLiteral("sentence") : QStringLiteral("sentences")));
        lines << QStringLiteral("GPS delay setting: %1 ms, clock discipline %2")
                     .arg(g("delay_ms").toInteger())
                     .arg(g("discipline").toString());
    }
    const QJsonObject clock = s.value(QLatin1String("last_clock_setting")).toObject();
    lines << QStringLiteral("Last clock set:    ") +
                 (clock.isEmpty()
                      ? QStringLiteral("none since start")
                      : QStringLiteral("%1 from %2, moved %3")
                            .arg(clock.value(QLatin1String("at")).toString(),
                                 clock.value(QLatin1String("source")).toString(),
                                 signedSeconds(clock.value(QLatin1String("step_ms")).toInteger())));
    const QJsonObject sample = s.value(QLatin1String("last_sample")).toObject();
    if (!sample.isEmpty())
        lines << QStringLiteral("Last sample:       %1 from %2, within %3 ms")
                     .arg(sample.value(QLatin1String("at")).toString(),
                          sample.value(QLatin1String("source")).toString(),
                          QString::number(sample.value(QLatin1String("uncertainty_ms")).toDouble(), 'f', 3));
    if (s.contains(QLatin1String("estimated_error_ms")))
        lines << QStringLiteral("Estimated error:   %1 ms")
                     .arg(QString::number(s.value(QLatin1String("estimated_error_ms")).toDouble(), 'f', 3));
    QString changes = QStringLiteral("Clock changes:     %1 steps, %2 slews since start")
                          .arg(num("clock_steps"), num("clock_slews"));
    if (s.contains(QLatin1String("frequency_ppm")))
        changes += QStringLiteral("; frequency corrected by %1 ppm")
                       .arg(QString::fromLatin1(
                           ks::signedThreeDecimals(s.value(QLatin1String("frequency_ppm")).toDouble())));
    lines << changes;
    const QJsonObject ntp = s.value(QLatin1String("last_ntp_attempt")).toObject();
    if (!ntp.isEmpty())
        lines << QStringLiteral("Last NTP attempt:  %1 to %2: %3")
                     .arg(ntp.value(QLatin1String("at")).toString(),
                          ntp.value(QLatin1String("server")).toString().isEmpty()
                              ? QStringLiteral("no server set")
                              : ntp.value(QLatin1String("server")).toString(),
                          ntp.value(QLatin1String("outcome")).toString());
    for (const QJsonValue& ignored : s.value(QLatin1String("settings_ignored")).toArray())
        lines << QStringLiteral("Setting ignored:   ") + ignored.toString();
    const QJsonObject answer = s.value(QLatin1String("last_ntp_answer")).toObject();
    if (!answer.isEmpty())
        lines << QStringLiteral("Last NTP answer:   %1 from %2, stratum %3, offset %4, round trip %5")
                     .arg(answer.value(QLatin1String("at")).toString(),
                          answer.value(QLatin1String("address")).toString())
                     .arg(answer.value(QLatin1String("stratum")).toInt())
                     .arg(signedSeconds(answer.value(QLatin1String("offset_ms")).toInteger()),
                          signedSeconds(answer.value(QLatin1String("round_trip_ms")).toInteger()).mid(1));
    const QJsonObject next = s.value(QLatin1String("next_ntp_attempt")).toObject();
    if (!next.isEmpty())
        lines << QStringLiteral("Next NTP attempt:  %1 (%2)")
                     .arg(next.value(QLatin1String("at")).toString(),
                          next.value(QLatin1String("why")).toString());
    lines << QStringLiteral("Replies:           %1 sent, %2 failed, %3 refused")
                 .arg(num("replies_sent"), num("replies_failed"), num("replies_refused"));
    if (s.value(QLatin1String("replies_on_second")).toBool())
        lines << QStringLiteral("Replies leave:     on the second's edge (onsecond)");
    lines << QStringLiteral("Requests waiting:  %1 in the queue, %2 connections holding unread ones")
                 .arg(num("requests_waiting"), num("connections_holding_requests"));
    lines << QStringLiteral("Connections open:  ") + num("connections_open");
    if (const QJsonValue served = s.value(QLatin1String("ntp_serve")); served.isObject()) {
        const QJsonObject n = served.toObject();
        QStringList where, dropped;
        for (const QJsonValue& a : n.value(QLatin1String("addresses")).toArray()) where << a.toString();
        const QJsonObject reasons = n.value(QLatin1String("dropped")).toObject();
        for (auto it = reasons.begin(); it != reasons.end(); ++it)
            dropped << QStringLiteral("%1 %2").arg(it.value().toInteger()).arg(it.key());
        lines << QStringLiteral(
                     "NTP server:        %1; %2 answered, %3 rate limited, dropped %4; %5 clients in the "
                     "last hour")
                     .arg(where.isEmpty() ? QStringLiteral("not listening")
                                          : where.join(QStringLiteral(", ")))
                     .arg(n.value(QLatin1String("answered")).toInteger())
                     .arg(n.value(QLatin1String("rate_limited")).toInteger())
                     .arg(dropped.isEmpty() ? QStringLiteral("none") : dropped.join(QStringLiteral(", ")))
                     .arg(n.value(QLatin1String("clients_last_hour")).toInteger());
        if (n.contains(QLatin1String("error")))
            lines << QStringLiteral("NTP server error:  ") + n.value(QLatin1String("error")).toString();
    }
    return lines.join(QLatin1Char('\n'));
}

QByteArray askServer(const QByteArray& request, int timeoutMs, bool* noServer) {
    QString unsafe;
    const QString path = ks::statusSocketPath(&unsafe);
    if (path.isEmpty()) {
        printError(QStringLiteral("korvat-probe: ") + unsafe);
        return {};
    }
    if (!QFileInfo::exists(path)) {
        if (noServer) *noServer = true;
        else printError(QStringLiteral("korvat-probe: no server is running for this user (no %1)").arg(path));
        return {};
    }
    QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(timeoutMs)) {
        // A socket left by a server that died: nobody listens.
        if (noServer && socket.error() == QLocalSocket::ConnectionRefusedError) {
            *noServer = true;
            return {};
        }
        printError(
            QStringLiteral("korvat-probe: no server answers on %1: %2").arg(path, socket.errorString()));
        return {};
    }
    socket.write(request + '\n');
    QByteArray answer;
    while (socket.state() == QLocalSocket::ConnectedState && !deadline.hasExpired() &&
           answer.size() <= MaxAnswerBytes) {
        socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        answer += socket.readAll();
    }
    answer += socket.readAll();
    if (answer.trimmed().isEmpty())
        printError(QStringLiteral("korvat-probe: no usable answer on %1").arg(path));
    return answer.trimmed();
}

namespace {
// The answer as an object; none, said on stderr, when it is not one.
std::optional<QJsonObject> statusObject(const QByteArray& answer) {
    if (answer.isEmpty()) return std::nullopt;
    const QJsonDocument doc = QJsonDocument::fromJson(answer);
    if (doc.isObject()) return doc.object();
    printError(QStringLiteral("korvat-probe: no usable answer from the server"));
    return std::nullopt;
}

int showStatus(bool json) {
    const QByteArray answer = askServer(ks::StatusRequest, TimeoutMs);
    const std::optional<QJsonObject> status = statusObject(answer);
    if (!status) return ExitNetwork;
    printLine(json ? QString::fromUtf8(answer) : statusText(*status));
    return ExitOk;
}
} // namespace

int statusCommand(bool json, int watchSeconds) {
    if (watchSeconds <= 0) return showStatus(json);
        // Like watch(1): the screen redrawn in place on a terminal, one block after another
        // otherwise, until interrupted.
#ifdef Q_OS_WIN
    const bool terminal = _isatty(_fileno(stdout));
#else
    const bool terminal = isatty(STDOUT_FILENO);
#endif
    for (;;) {
        if (terminal) std::fputs("\x1b[H\x1b[2J", stdout);
        showStatus(json);
        if (!terminal) printLine(QString());
        std::fflush(stdout);
        QThread::sleep(static_cast<unsigned long>(watchSeconds));
    }
}

std::optional<QJsonObject> fetchStatus() { return statusObject(askServer(ks::StatusRequest, TimeoutMs)); }

int checkCommand() {
    const std::optional<QJsonObject> status = fetchStatus();
    if (!status) return ExitNetwork;
    const QString why = unfitReason(*status);
    if (why.isEmpty()) return ExitOk;
    printLine(QStringLiteral("korvat-probe: ") + why);
    return ExitNoReply;
}

int metricsCommand(const QString& textfile) {
    const std::optional<QJsonObject> status = fetchStatus();
    const QByteArray text = metricsText(status, QDateTime::currentMSecsSinceEpoch());
    const int exit = status ? ExitOk : ExitNetwork;
    if (textfile.isEmpty()) {
        std::fputs(text.constData(), stdout);
        std::fflush(stdout);
        return exit;
    }
    // A collector reading the folder sees the old file or the new one, never half of one.
    QSaveFile file(textfile);
    if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit()) return exit;
    printError(QStringLiteral("korvat-probe: cannot write %1: %2").arg(textfile, file.errorString()));
    return ExitWrite;
}

int syncCommand() {
    const QByteArray answer = askServer(ks::SyncRequest, SyncTimeoutMs);
    if (answer.isEmpty()) return ExitNetwork;
    printLine(QStringLiteral("NTP attempt: ") + QString::fromLocal8Bit(answer));
    return answer.startsWith("succeeded") ? ExitOk : ExitNoReply;
}

} // namespace probe
