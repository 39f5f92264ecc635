#include "protocol/Nmea.h"

#include "protocol/CivilTime.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace ks {

namespace {

QByteArray hex2(uint value) { return QByteArray::number(value, 16).toUpper().rightJustified(2, '0'); }

// A non-empty run of decimal digits, after a "+" or "-" only where allowed, in the range of
// a 32-bit int; no blanks. Date and time parts are never anything else, so whatever else
// arrives there is line noise.
std::optional<int> digitsValue(const QByteArray& text, bool signAllowed = false) {
    qsizetype at = 0;
    const bool negative = signAllowed && text.startsWith('-');
    if (negative || (signAllowed && text.startsWith('+'))) at = 1;
    if (at == text.size()) return std::nullopt;
    const qint64 limit = qint64(std::numeric_limits<int>::max()) + (negative ? 1 : 0);
    qint64 value = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > limit) return std::nullopt;
    }
    return int(negative ? -value : value);
}

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

// A line without "*" has no checksum and is taken as it is. With one, the two characters
// after the first "*" must be the checksum of the characters between "$" and "*".
bool checksumMatches(const QByteArray& line) {
    const qsizetype star = line.indexOf('*');
    if (star < 0) return true;
    const QByteArray given = line.mid(star + 1, 2);
    if (given.size() != 2 || !isHexDigit(given[0]) || !isHexDigit(given[1])) return false;
    return given.toUpper() == NmeaChecksum(line.left(star));
}

// The UTC instant of an RMC time text (hhmmss, optionally followed by "." and up to three
// fraction digits) and date text (ddmmyy, years 2000-2099).
std::optional<qint64> rmcInstant(const QByteArray& timeText, const QByteArray& dateText) {
    if (dateText.size() != 6 || timeText.size() < 6) return std::nullopt;
    const auto day = digitsValue(dateText.mid(0, 2));
    const auto month = digitsValue(dateText.mid(2, 2));
    const auto year = digitsValue(dateText.mid(4, 2));
    const auto hour = digitsValue(timeText.mid(0, 2));
    const auto minute = digitsValue(timeText.mid(2, 2));
    const auto second = digitsValue(timeText.mid(4, 2));
    if (!day || !month || !year || !hour || !minute || !second) return std::nullopt;

    // The fraction is a decimal fraction of the second: ".5" is 500 ms, ".05" is 50 ms. A
    // whole second (no fraction) is 0 ms.
    int msec = 0;
    if (timeText.size() > 6) {
        if (timeText[6] != '.') return std::nullopt;
        const QByteArray fraction = timeText.mid(7, 3);
        if (!fraction.isEmpty()) {
            const auto value = digitsValue(fraction);
            if (!value) return std::nullopt;
            static constexpr int scale[] = {0, 100, 10, 1};
            msec = *value * scale[fraction.size()];
        }
    }

    const CivilTime t{2000 + *year, *month, *day, *hour, *minute, *second, msec};
    if (!isValidCivil(t)) return std::nullopt;
    return msFromCivil(t);
}

} // namespace

QByteArray GetNmeaField(const QByteArray& sentence, int n) {
    const qsizetype length = sentence.size();
    qsizetype mark = 0; // the field start mark; the field's text begins after it
    int count = 0;
    for (qsizetype pos = 0; pos < length; ++pos) {
        const bool last = pos == length - 1;
        if (sentence[pos] != ',' && !last) continue;
        if (++count == n) {
            const qsizetype end = last ? length : pos; // the last field keeps its last character
            return sentence.mid(mark + 1, qMax<qsizetype>(0, end - mark - 1));
        }
        mark = pos;
    }
    return sentence;
}

QByteArray NmeaChecksum(const QByteArray& text) {
    uint sum = 0;
    for (qsizetype i = text.startsWith('$') ? 1 : 0; i < text.size(); ++i) sum ^= uchar(text[i]);
    return hex2(sum);
}

QByteArray BuildRateControlSentence(int message, int mode, int rate, int checksumFlag) {
    QByteArray s = QByteArrayLiteral("$PSRF103,");
    s += hex2(uint(message)) + ',' + hex2(uint(mode)) + ',' + hex2(uint(rate)) + ',' +
         hex2(uint(checksumFlag));
    return s + '*' + NmeaChecksum(s) + "\r\n";
}

QList<QByteArray> GpsSetupSentences() {
    // Message numbers: 0 GGA, 4 RMC every 5 s; 1 GLL, 2 GSA, 3 GSV, 5 VTG off. Mode 0 sets the
    // rate; checksum flag 1 asks for checksums.
    static constexpr int messages[] = {0, 4, 1, 2, 3, 5};
    static constexpr int rates[] = {5, 5, 0, 0, 0, 0};
    QList<QByteArray> sentences;
    for (int i = 0; i < 6; ++i) sentences.append(BuildRateControlSentence(messages[i], 0, rates[i], 1));
    return sentences;
}

QList<QByteArray> NmeaLineAssembler::feed(const char* data, qsizetype size) {
    QList<QByteArray> lines;
    for (qsizetype i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\0') break;
        if (c == '\r') {
            lines.append(std::exchange(line_, QByteArray()));
            continue;
        }
        if (line_.size() >= MaxLine) line_.remove(0, line_.size() - TailKept);
        line_.append(c);
    }
    return lines;
}

namespace {
// "$ttGGA" or "$ttRMC" from a talker of two letters; "$P..." is proprietary.
QByteArray sentenceType(const QByteArray& line, QByteArray* talker) {
    if (line.size() < 6 || line[0] != '$' || line[1] == 'P') return {};
    for (int i = 1; i <= 5; ++i)
        if (line[i] < 'A' || line[i] > 'Z') return {};
    *talker = line.mid(1, 2);
    return line.mid(3, 3);
}
} // namespace

GpsSentenceResult interpretGpsSentence(const QByteArray& line) {
    GpsSentenceResult result;
    const qsizetype dollar = line.indexOf('$');
    if (dollar >= 0) result.line = line.mid(dollar);

    if (!checksumMatches(result.line)) {
        result.checksumOk = false;
        return result;
    }

    result.wellFormed = result.line.size() >= 6 &&
                        std::all_of(result.line.begin() + 1, result.line.begin() + 6,
                                    [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
    QByteArray talker;
    const QByteArray type = sentenceType(result.line, &talker);
    if (type == "GGA") {
        // The satellite count is read from the first 70 characters; fix quality 0 is no fix
        // whatever the count.
        const QByteArray sentence = result.line.left(70);
        GpsSentenceResult::Gga gga;
        gga.timeText = GetNmeaField(sentence, 2);
        gga.satellites =
            GetNmeaField(sentence, 7) == "0" ? 0 : digitsValue(GetNmeaField(sentence, 8), true).value_or(0);
        gga.state = gga.satellites == 0   ? TimeState::NotSynchronised
                    : gga.satellites == 1 ? TimeState::Synchronising
                                          : TimeState::Synchronised;
        result.talker = talker;
        result.gga = gga;
    } else if (type == "RMC") {
        GpsSentenceResult::Rmc rmc;
        rmc.timeText = GetNmeaField(result.line, 2).left(10);
        rmc.dateText = GetNmeaField(result.line, 10);
        rmc.valid = GetNmeaField(result.line, 3) != "V";
        rmc.utcMs = rmcInstant(rmc.timeText, rmc.dateText);
        result.talker = talker;
        result.rmc = rmc;
    }
    return result;
}

GpsFixTracker::Step GpsFixTracker::take(const GpsSentenceResult& sentence) {
    Step step;
    const TimeState before = state();
    if (const auto& gga = sentence.gga) {
        TimeState ggaState = gga->state;
        int satellites = gga->satellites;
        if (!gga->timeText.isEmpty() && gga->timeText == epoch_) {
            ggaState = qMax(ggaState, state_);
            satellites = qMax(satellites, satellites_);
        }
        epoch_ = gga->timeText;
        state_ = ggaState;
        satellites_ = satellites;
        fix_ = state() == TimeState::Synchronised;
        step.syncState = state();
    } else if (const auto& rmc = sentence.rmc) {
        rmcVoid_ = !rmc->valid;
        fix_ = state() == TimeState::Synchronised;
        if (state() != before) step.syncState = state();
        if (!fix_) return step;
        step.rmcTaken = true;
        const QByteArray epoch = rmc->dateText + ' ' + rmc->timeText;
        if (rmc->utcMs && epoch != setEpoch_) {
            setEpoch_ = epoch;
            step.setUtcMs = rmc->utcMs;
        }
    }
    return step;
}

} // namespace ks
