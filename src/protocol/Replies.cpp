#include "protocol/Replies.h"

#include "protocol/DateFormat.h"
#include "protocol/Requests.h"

#include <limits>

namespace ks {

namespace {
constexpr int MaxSerial = 9998;

QByteArray twoDigits(int value) { return QByteArray::number(value).rightJustified(2, '0'); }

// Years since 1900, less 100 from 2000 on: the last two digits for 1900..2099.
int shortYear(int year) {
    const int sinceNineteenHundred = year - 1900;
    return sinceNineteenHundred >= 100 ? sinceNineteenHundred - 100 : sinceNineteenHundred;
}

// A reader that walks a frame once and fails on the first thing out of place.
class Cursor {
public:
    Cursor(const QByteArray& text, QString* error) : text_(text), error_(error) {}

    bool atEnd() const { return pos_ == text_.size(); }

    bool fail(const QString& why) {
        if (error_ && ok_) *error_ = why;
        ok_ = false;
        return false;
    }

    bool literal(const QByteArray& expected) {
        if (!ok_) return false;
        if (!text_.mid(pos_).startsWith(expected)) {
            return fail(
                QStringLiteral("expected \"%1\" at offset %2").arg(QString::fromLatin1(expected)).arg(pos_));
        }
        pos_ += expected.size();
        return true;
    }

    // Exactly `count` digits.
    bool fixedDigits(int count, int* value) {
        if (!ok_) return false;
        int v = 0;
        for (int i = 0; i < count; ++i) {
            const qsizetype at = pos_ + i;
            if (at >= text_.size() || text_[at] < '0' || text_[at] > '9') {
                return fail(QStringLiteral("expected %1 digits at offset %2").arg(count).arg(pos_));
            }
            v = v * 10 + (text_[at] - '0');
        }
        pos_ += count;
        *value = v;
        return true;
    }

    // At least `minimum` digits, zero-padded; up to four.
    bool paddedDigits(int minimum, int* value) {
        if (!ok_) return false;
        qsizetype end = pos_;
        while (end < text_.size() && end - pos_ < 5 && text_[end] >= '0' && text_[end] <= '9') ++end;
        const int count = int(end - pos_);
        if (count < minimum || count > 4) {
            return fail(QStringLiteral("expected %1 to 4 digits at offset %2").arg(minimum).arg(pos_));
        }
        return fixedDigits(count, value);
    }

    // Signed decimal without leading zeros or plus sign, within [low, high].
    bool decimal(qint64 low, qint64 high, qint64* value) {
        if (!ok_) return false;
        qsizetype end = pos_;
        if (end < text_.size() && text_[end] == '-') ++end;
        const qsizetype digitsFrom = end;
        while (end < text_.size() && text_[end] >= '0' && text_[end] <= '9') ++end;
        const QByteArray number = text_.mid(pos_, end - pos_);
        const qsizetype digits = end - digitsFrom;
        const bool leadingZero = digits > 1 && text_[digitsFrom] == '0';
        const bool negativeZero = digits == 1 && text_[digitsFrom] == '0' && digitsFrom != pos_;
        bool converted = false;
        const qint64 v = number.toLongLong(&converted);
        if (digits == 0 || leadingZero || negativeZero || !converted || v < low || v > high) {
            return fail(
                QStringLiteral("bad number \"%1\" at offset %2").arg(QString::fromLatin1(number)).arg(pos_));
        }
        pos_ = end;
        *value = v;
        return true;
    }

    bool int16(qint16* value) {
        qint64 v = 0;
        if (!decimal(std::numeric_limits<qint16>::min(), std::numeric_limits<qint16>::max(), &v))
            return false;
        *value = qint16(v);
        return true;
    }

    bool serial(int* value) {
        if (!fixedDigits(4, value)) return false;
        if (*value > MaxSerial) return fail(QStringLiteral("serial %1 above 9998").arg(*value));
        return true;
    }

    bool finish() {
        if (!ok_) return false;
        if (!atEnd()) return fail(QStringLiteral("unexpected text at offset %1").arg(pos_));
        return true;
    }

private:
    const QByteArray& text_;
    QString* error_;
    qsizetype pos_ = 0;
    bool ok_ = true;
};

bool readStatus(Cursor& in, StatusTriple* status) {
    return in.int16(&status->source) && in.literal("_") && in.int16(&status->reserved) && in.literal("_") &&
           in.int16(&status->state);
}

bool readSerialAndSeconds(Cursor& in, ParsedReply* reply) {
    return in.serial(&reply->replySerial) &&
           in.decimal(std::numeric_limits<qint64>::min() / 1000, std::numeric_limits<qint64>::max() / 1000,
                      &reply->seconds);
}

// Day, month and year of a two-digit-year date, checked against the calendar of the
// century the digits most likely stand for.
bool validDate(const CivilTime& t) {
    CivilTime check = t;
    check.year += 2000;
    return isValidCivil(check);
}

bool readQuorix(Cursor& in, ParsedReply* reply) {
    CivilTime& c = reply->clock;
    CivilTime& d = reply->utcDate;
    if (!(in.serial(&reply->replySerial) && in.literal("_") && in.fixedDigits(2, &c.hour) &&
          in.literal(":") && in.fixedDigits(2, &c.minute) && in.literal(":") &&
          in.fixedDigits(2, &c.second) && in.literal("_") && in.fixedDigits(2, &c.day) && in.literal("/") &&
          in.fixedDigits(2, &c.month) && in.literal("/") && in.fixedDigits(2, &c.year) && in.literal("_") &&
          in.paddedDigits(2, &d.day) && in.literal("/") && in.paddedDigits(2, &d.month) && in.literal("/") &&
          in.paddedDigits(2, &d.year)))
        return false;
    if (!validDate(c)) return in.fail(QStringLiteral("clock text is not a valid date and time"));
    if (!validDate(d)) return in.fail(QStringLiteral("UTC date is not a valid date"));
    return true;
}
} // namespace

QByteArray statusMessage(const StatusTriple& status) {
    return QByteArray::number(status.source) + '_' + QByteArray::number(status.reserved) + '_' +
           QByteArray::number(status.state);
}

std::optional<StatusTriple> parseStatusMessage(const QByteArray& text) {
    Cursor in(text, nullptr);
    StatusTriple status;
    if (readStatus(in, &status) && in.finish()) return status;
    return std::nullopt;
}

QString sourceName(qint16 source) {
    switch (TimeSource(source)) {
    case TimeSource::PcClock: return QStringLiteral("PC clock");
    case TimeSource::Gps: return QStringLiteral("GPS");
    case TimeSource::Ntp: return QStringLiteral("NTP");
    default: return QStringLiteral("source %1").arg(source);
    }
}

QString statusMeaning(const StatusTriple& status) {
    if (status == ShutdownStatus) return QStringLiteral("server shutting down");
    const QString source = sourceName(status.source);
    QString state;
    switch (TimeState(status.state)) {
    case TimeState::NotSynchronised: state = QStringLiteral("not synchronised"); break;
    case TimeState::Synchronising: state = QStringLiteral("synchronising"); break;
    case TimeState::Synchronised: state = QStringLiteral("synchronised"); break;
    case TimeState::NoSerialInput: state = QStringLiteral("no serial input"); break;
    default: state = QStringLiteral("state %1").arg(status.state); break;
    }
    QString meaning = source + QStringLiteral(", ") + state;
    if (status.reserved != 0) meaning += QStringLiteral(", reserved %1").arg(status.reserved);
    return meaning;
}

QByteArray serialText(int replySerial) { return QByteArray::number(replySerial).rightJustified(4, '0'); }

QByteArray serveTime(int replySerial, qint64 utcMs) {
    return serialText(replySerial) + QByteArray::number(floorSeconds(utcMs));
}

CivilTime localToGmt(const CivilTime& local, const ReplyInstant& now) {
    return civilFromMs(msFromCivil(local) + (now.utcMs - msFromCivil(now.local)));
}

QByteArray serveQuorix(int replySerial, const ReplyInstant& now, DisplayMode mode) {
    const CivilTime clock = mode == DisplayMode::Loc ? now.local : localToGmt(now.local, now);
    const CivilTime utc = civilFromMs(floorSeconds(now.utcMs) * 1000);
    return serialText(replySerial) + '_' + formatDateTime("hh:nn:ss_dd/mm/yy", clock) + '_' +
           twoDigits(utc.day) + '/' + twoDigits(utc.month) + '/' + twoDigits(shortYear(utc.year));
}

QByteArray replyText(const QByteArray& token, const ReplyContext& context) {
    if (token == TokenKorvat) return "KORVAT" + serveTime(context.replySerial, context.now.utcMs);
    if (token == TokenKorvat1010) {
        return "KORVAT_" + statusMessage(context.status) + '_' +
               serveTime(context.replySerial, context.now.utcMs);
    }
    if (token == TokenQuorix) return "KORVAT_" + serveQuorix(context.replySerial, context.now, context.mode);
    return {};
}

QByteArray replyFrame(const QByteArray& text) { return '{' + text + '}'; }

qint64 nextSecondEdgeMs(qint64 nowMs) { return (floorSeconds(nowMs) + 1) * 1000; }

qint64 replyDueMs(ReplyTiming timing, qint64 readMs) {
    return timing == ReplyTiming::OnSecond ? nextSecondEdgeMs(readMs) : readMs;
}

std::optional<ParsedReply> parseReply(const QByteArray& frame, const QByteArray& token, QString* error) {
    Cursor in(frame, error);
    ParsedReply reply;
    if (!in.literal("{")) return std::nullopt;
    bool ok = false;
    if (token == TokenKorvat) {
        ok = in.literal("KORVAT") && readSerialAndSeconds(in, &reply);
    } else if (token == TokenKorvat1010) {
        ok = in.literal("KORVAT_") && readStatus(in, &reply.status) && in.literal("_") &&
             readSerialAndSeconds(in, &reply);
    } else if (token == TokenQuorix) {
        ok = in.literal("KORVAT_") && readQuorix(in, &reply);
    } else {
        in.fail(QStringLiteral("unknown reply token \"%1\"").arg(QString::fromLatin1(token)));
    }
    if (ok && in.literal("}") && in.finish()) return reply;
    return std::nullopt;
}

} // namespace ks
