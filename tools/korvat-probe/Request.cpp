#include "Request.h"

#include "protocol/DateFormat.h"
#include "protocol/Replies.h"

#include <QCoreApplication>

namespace probe {

namespace {
// The year of two digits nearest to the reference year.
int nearestYear(int twoDigits, int referenceYear) {
    int year = referenceYear - referenceYear % 100 + twoDigits;
    if (year > referenceYear + 50) year -= 100;
    if (year <= referenceYear - 50) year += 100;
    return year;
}

// A reply's time is truncated to whole seconds: its middle is the best estimate.
QString offsetText(qint64 replySecondStartMs, qint64 localMs) {
    const double offset = double(replySecondStartMs + 500 - localMs) / 1000.0;
    return QStringLiteral("%1%2 s").arg(offset >= 0 ? QStringLiteral("+") : QString()).arg(offset, 0, 'f', 1);
}

QString civilText(const ks::CivilTime& t) {
    return QString::fromLatin1(ks::formatDateTime("yyyy-mm-dd hh:nn:ss", t));
}

// The time carried (UTC ms) against this clock when the reply's last byte came.
void printClientError(qint64 carriedUtcMs, qint64 lastByteNs) {
    if (lastByteNs < 0) return;
    printLine(QStringLiteral("error    %1 ms: the time carried less this clock at the last byte")
                  .arg(clientErrorMs(carriedUtcMs, utcMsAt(lastByteNs)), 0, 'f', 1));
}
} // namespace

RequestCommand::RequestCommand(const Options& options, QObject* parent) : QObject(parent), options_(options) {
    deadline_.setSingleShot(true);
    deadline_.setTimerType(Qt::PreciseTimer); // a coarse timer may end early
    connect(&deadline_, &QTimer::timeout, this, &RequestCommand::timedOut);
    connect(&listener_, &ReplyListener::received, this, &RequestCommand::replied);
}

void RequestCommand::start() {
    const QHostAddress listenAddress =
        options_.bind.isNull() ? QHostAddress(QHostAddress::AnyIPv4) : options_.bind;
    QString error;
    if (!listener_.listen(listenAddress, &error)) {
        printError(error);
        finish(ExitNetwork);
        return;
    }
    const QByteArray frame = ks::requestFrame(options_.kind);
    printLine(QStringLiteral("request  %1 to %2:%3").arg(printable(frame), options_.host).arg(RequestPort));
    deadline_.start(options_.timeoutMs);
    sendRequest(
        this, options_.host, options_.bind, frame, [this] { sentNs_ = monoNs(); },
        [this](const QString& why) {
            printError(QStringLiteral("cannot send the request to %1:%2: %3")
                           .arg(options_.host)
                           .arg(RequestPort)
                           .arg(why));
            finish(ExitNetwork);
        },
        [] {});
}

void RequestCommand::timedOut() {
    // A reply connection still open gets judged on what it has sent.
    listener_.closeOpen();
    if (finished_) return;
    if (sentNs_ < 0) {
        printError(QStringLiteral("no connection to %1:%2 within %3 ms")
                       .arg(options_.host)
                       .arg(RequestPort)
                       .arg(options_.timeoutMs));
        finish(ExitNetwork);
        return;
    }
    printError(QStringLiteral("no reply within %1 ms").arg(options_.timeoutMs));
    finish(ExitNoReply);
}

void RequestCommand::replied(int, const QByteArray& bytes, qint64 lastByteNs, const QHostAddress& peer) {
    if (finished_) return;
    const ks::ReplyInstant now = clockNow();
    const QString after =
        lastByteNs >= 0 && sentNs_ >= 0
            ? QStringLiteral(" after %1 ms").arg(double(lastByteNs - sentNs_) / 1e6, 0, 'f', 1)
            : QString();
    printLine(QStringLiteral("reply    %1 from %2%3").arg(printable(bytes), peer.toString(), after));

    const QByteArray token = ks::replyToken(options_.kind);
    QString error;
    const std::optional<ks::ParsedReply> reply = ks::parseReply(bytes, token, &error);
    if (!reply) {
        printError(
            QStringLiteral("malformed reply for a %1 request: %2").arg(kindName(options_.kind), error));
        finish(ExitMalformed);
        return;
    }
    // A kind whose reply has another kind's format says what was asked.
    const QString asked = kindName(options_.kind);
    printLine(QStringLiteral("format   %1").arg(QString::fromLatin1(token)) +
              (asked.toLatin1().toUpper() == token
                   ? QString()
                   : QStringLiteral(" (the reply to a %1 request)").arg(asked)));
    if (token == ks::TokenKorvat1010) {
        const ks::StatusTriple& s = reply->status;
        printLine(QStringLiteral("status   %1 (%2)")
                      .arg(QString::fromLatin1(ks::statusMessage(s)), ks::statusMeaning(s)));
    }
    printLine(QStringLiteral("serial   %1").arg(QString::fromLatin1(ks::serialText(reply->replySerial))));
    if (token == ks::TokenQuorix) {
        ks::CivilTime clock = reply->clock;
        clock.year = nearestYear(clock.year, now.local.year);
        const qint64 clockMs = ks::msFromCivil(clock);
        const qint64 localMs = ks::msFromCivil(now.local); // the local clock's fields as if UTC
        const bool gmt = qAbs(clockMs - now.utcMs) <= qAbs(clockMs - localMs);
        const QString which = localMs == now.utcMs
                                  ? QStringLiteral("from the local clock (the local zone is UTC)")
                              : gmt ? QStringLiteral("from UTC (GMT mode)")
                                    : QStringLiteral("from the local clock (LOC mode)");
        printLine(QStringLiteral("clock    %1, %2 %3")
                      .arg(civilText(clock), offsetText(clockMs, gmt ? now.utcMs : localMs), which));
        printClientError(clockMs - (gmt ? 0 : localMs - now.utcMs), lastByteNs);

        // The UTC date's year counts from 2000 past 2099, so it may have three digits.
        ks::CivilTime date = reply->utcDate;
        date.year = date.year >= 100 ? 2000 + date.year : nearestYear(date.year, now.local.year);
        const ks::CivilTime today = ks::civilFromMs(now.utcMs);
        const bool isToday = date.year == today.year && date.month == today.month && date.day == today.day;
        const QByteArray dateText = ks::formatDateTime("yyyy-mm-dd", date);
        const QByteArray todayText = ks::formatDateTime("yyyy-mm-dd", today);
        printLine(
            QStringLiteral("utc date %1, %2")
                .arg(QString::fromLatin1(dateText),
                     isToday
                         ? QStringLiteral("today in UTC")
                         : QStringLiteral("not today's UTC date %1").arg(QString::fromLatin1(todayText))));
    } else {
        const qint64 replyMs = reply->seconds * 1000;
        printLine(QStringLiteral("seconds  %1 = %2 UTC")
                      .arg(reply->seconds)
                      .arg(civilText(ks::civilFromMs(replyMs))));
        printLine(QStringLiteral("offset   %1 from the local clock (the reply carries whole seconds)")
                      .arg(offsetText(replyMs, now.utcMs)));
        printClientError(replyMs, lastByteNs);
    }
    finish(ExitOk);
}

void RequestCommand::finish(int code) {
    if (finished_) return;
    finished_ = true;
    deadline_.stop();
    QCoreApplication::exit(code);
}

} // namespace probe
