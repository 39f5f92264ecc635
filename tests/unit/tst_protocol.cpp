// The pure functions, case by case: tests/golden/TOPIC/NAME.cases holds "name|field|field" a line,
// NAME.expected each one's "name: result". The adapter of each file turns fields into result.
#include "FakeClock.h"
#include "Golden.h"
#include "ZoneScope.h"
#include "log/LogModel.h"
#include "platform/SerialPortMap.h"
#include "protocol/ClockDiscipline.h"
#include "protocol/Csv.h"
#include "protocol/DateFormat.h"
#include "protocol/Nmea.h"
#include "protocol/NtpServe.h"
#include "protocol/Replies.h"
#include "protocol/ReplyRing.h"
#include "protocol/Requests.h"
#include "protocol/SettingsTable.h"
#include "protocol/Sntp.h"
#include "protocol/SourceTrust.h"
#include "protocol/TickAdjust.h"

#include <QBrush>
#include <QDir>
#include <QFile>
#include <QTest>

#include <cmath>
#include <functional>
#include <map>

using namespace ks;
using namespace ks::test;
using Fields = QList<QByteArray>;
using F = const Fields&;

namespace {
QByteArray num(qint64 v) { return QByteArray::number(v); }
qint64 ll(const QByteArray& text) { return text.toLongLong(); }
QByteArray yesNo(bool v) { return v ? "yes" : "no"; }
QByteArray signedNum(double v) { return (v < 0 ? " -" : " +") + QByteArray::number(std::abs(v), 'f', 1); }
QByteArray text(const CivilTime& t) { return formatDateTime("yyyy-mm-dd hh:nn:ss.zzz", t); }
qint64 utc(const QByteArray& text) { // "yyyy-mm-dd hh:nn:ss.zzz", the time optional
    CivilTime t{0, 0, 0, 0, 0, 0, 0};
    sscanf(text.constData(), "%d-%d-%d %d:%d:%d.%d", &t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second,
           &t.msec);
    return msFromCivil(t);
}
QByteArray ntpHex(NtpTimestamp t) { return QString::asprintf("%08X.%08X", t.seconds, t.fraction).toLatin1(); }
QByteArray ntpHex(qint64 ms) { return ntpHex(ntpFromMs(ms)); }
NtpTimestamp ntp(const QByteArray& s) { // "seconds.fraction" in hexadecimal
    return {s.left(8).toUInt(nullptr, 16), s.mid(9).toUInt(nullptr, 16)};
}
// Numbers as ascending runs: "1-3 7 9-10"; "none" for none.
QByteArray runs(const QList<int>& numbers) {
    QByteArray out;
    for (qsizetype i = 0; i < numbers.size();) {
        qsizetype end = i;
        while (end + 1 < numbers.size() && numbers[end + 1] == numbers[end] + 1) ++end;
        out += (out.isEmpty() ? "" : " ") + num(numbers[i]) + (end > i ? "-" + num(numbers[end]) : "");
        i = end + 1;
    }
    return out.isEmpty() ? "none" : out;
}
QByteArray quoted(F items) {
    QByteArray out = items.isEmpty() ? "-" : "";
    for (const QByteArray& item : items) out += (out.isEmpty() ? "\"" : " \"") + caseText(item) + '"';
    return out;
}

// An SNTP answer written field by field, independently of the code under test:
// first byte|stratum|originate|receive|transmit[|length, cut or padded with 0x55].
QByteArray answerBytes(F f) {
    QByteArray b(24, '\0');
    b[0] = char(f[0].toUInt(nullptr, 16));
    b[1] = char(f[1].toUInt());
    for (int i = 2; i <= 4; ++i)
        for (const quint32 v : {ntp(f[i]).seconds, ntp(f[i]).fraction})
            for (int shift = 24; shift >= 0; shift -= 8) b.append(char((v >> shift) & 0xFF));
    return f.size() > 5 ? b.left(f[5].toInt()).leftJustified(f[5].toInt(), '\x55') : b;
}

// A request written field by field: first byte|poll|transmit|length, cut or padded with 0x55.
QByteArray ntpRequest(F f) {
    QByteArray b(40, '\0');
    b[0] = char(f[0].toUInt(nullptr, 16));
    b[2] = char(f[1].toInt());
    for (const quint32 v : {ntp(f[2]).seconds, ntp(f[2]).fraction})
        for (int shift = 24; shift >= 0; shift -= 8) b.append(char((v >> shift) & 0xFF));
    return b.left(f[3].toInt()).leftJustified(f[3].toInt(), '\x55');
}

// An answer's header as fields: byte 0, stratum, poll, precision, root delay and dispersion,
// reference ID, reference, originate and receive timestamps, its length (bytes 40-47 are the
// transmit stamp, written when it leaves).
QByteArray answerFields(const QByteArray& a) {
    const QByteArray h = a.toHex();
    return "li " + num(quint8(a[0]) >> 6) + " vn " + num((quint8(a[0]) >> 3) & 7) + " mode " +
           num(quint8(a[0]) & 7) + " stratum " + num(quint8(a[1])) + " poll " + num(qint8(a[2])) +
           " precision " + num(qint8(a[3])) + " delay " + h.mid(8, 8) + " dispersion " + h.mid(16, 8) +
           " refid " + h.mid(24, 8) + " ref " + h.mid(32, 16) + " org " + h.mid(48, 16) + " rec " +
           h.mid(64, 16) + ", " + num(a.size()) + " bytes";
}

// source|synchronised|upstream stratum|upstream address|upstream root delay s|round trip s|
// error estimate s|last sample "yyyy-mm-dd hh:nn:ss.zzz" or empty: the header served.
NtpServedTime servedTime(F f) {
    NtpServedTime t;
    t.source = TimeSource(f[0] == "GPS" ? 1 : f[0] == "NTP" ? 3 : 0);
    t.synchronised = f[1] == "synchronised";
    t.upstreamStratum = f[2].toInt();
    for (const QByteArray& octet : f[3].split('.')) t.upstreamIPv4 = t.upstreamIPv4 << 8 | octet.toUInt();
    t.upstreamRootDelayS = f[4].toDouble();
    t.roundTripS = f[5].toDouble();
    t.errorEstimateS = f[6].toDouble();
    t.lastSampleMs = f[7].isEmpty() ? 0 : utc(f[7]);
    return t;
}

QByteArray parsedReply(const QByteArray& frame, const QByteArray& token) {
    QString error;
    const std::optional<ParsedReply> p = parseReply(frame, token, &error);
    if (!p) return "refused: " + error.toUtf8();
    const CivilTime &c = p->clock, &d = p->utcDate;
    if (token == TokenQuorix)
        return QString::asprintf("serial %d clock %02d:%02d:%02d %02d/%02d/%02d utc date %02d/%02d/%02d",
                                 p->replySerial, c.hour, c.minute, c.second, c.day, c.month, c.year, d.day,
                                 d.month, d.year)
            .toUtf8();
    return "serial " + num(p->replySerial) + " seconds " + num(p->seconds) +
           (token == TokenKorvat1010 ? " status " + statusMessage(p->status) : "");
}

// A typed value: its code and how it shows, or why it is refused.
QByteArray typedSetting(F f) {
    const SettingDef* setting = findSetting(f[0]);
    if (!setting) return "no such setting";
    QByteArray refusal;
    const std::optional<SettingValue> value = parseSettingValue(*setting, f[1], &refusal);
    if (!value) return "refused: " + refusal;
    StoredSettings s;
    applySettingValue(*setting, *value, s);
    QByteArray out =
        setting->type == SettingType::String ? "text \"" + value->text + '"' : "code " + num(value->code);
    out += " shows " + settingValueText(*setting, s);
    if (s.Loc == s.Gmt) out += " (LOC and GMT both " + num(s.Loc) + ')';
    return out;
}

// A value as the file holds it: what runs, or the failure.
QByteArray storedSetting(F f) {
    const QByteArray text = "REGEDIT4\r\n\r\n[K]\r\n\"" + f[0] + "\"=" + f[1] + "\r\n";
    RegFile::ParseError parseError;
    const std::optional<RegFile> file = RegFile::parse(text, &parseError);
    if (!file) return "unreadable: " + parseError.reason;
    QList<IgnoredSetting> ignored;
    SettingTypeError wrong;
    const std::optional<StoredSettings> s = readSettings(*file, "K", "FILE", &ignored, &wrong);
    if (!s)
        return "wrong type: " + wrong.name + " line " + num(wrong.line) + " expected " +
               typeWords(wrong.expected);
    const SettingDef& setting = *findSetting(f[0]);
    QByteArray out = "runs " + settingValueText(setting, *s);
    for (const IgnoredSetting& i : ignored) out += "; " + i.notice;
    return out;
}

QByteArray settingRow(F f) {
    const SettingDef* s = findSetting(f[0]);
    if (!s) return "no such setting";
    QByteArray out = QByteArray(typeWords(s->type));
    if (s->type == SettingType::Dword)
        out += ", default " + num(s->fallback) + ", allowed " + allowedText(*s);
    if (s->write == SettingWrite::OnceChanged) out += ", written once changed";
    if (!s->words.isEmpty()) out += ", words";
    for (const SettingWord& w : s->words) out += ' ' + w.word + '=' + num(w.code);
    if (!s->panel.isEmpty()) {
        out += ", labels";
        for (const qint32 code : s->panel) out += ' ' + num(code);
    }
    return out;
}

// A PC clock under the discipline: it takes a step at once, a slew at 500 ppm, the frequency
// correction from then on; ahead: how far it is ahead of true time, in ms.
struct DisciplinedClock {
    double ownPpm = 0, ahead = 0, pending = 0, correction = 0;
    void run(qint64 ms) {
        const double taken = std::clamp(pending, -0.0005 * double(ms), 0.0005 * double(ms));
        pending -= taken;
        ahead += taken + (ownPpm + correction) * 1e-6 * double(ms);
    }
    qint64 local(qint64 trueMs) const { return qRound64(double(trueMs) + ahead); }
    void take(const ClockDiscipline::Decision& c, qint64 local) {
        if (c.kind == ClockDiscipline::Decision::Kind::Step) ahead += double(c.stepToMs - local), pending = 0;
        if (c.kind == ClockDiscipline::Decision::Kind::Slew) pending = c.slewMs;
        if (c.frequencyPpm) correction = *c.frequencyPpm;
    }
};

QByteArray colour(const LogModel& model, int column, Qt::ItemDataRole role) {
    const QVariant v = model.data(model.index(0, column), role);
    return v.isValid() ? v.value<QBrush>().color().name().toLatin1() : "none";
}

const std::map<QByteArray, std::function<QByteArray(F)>> adapters = {
    {"nmea/field", [](F f) { return caseText(GetNmeaField(f[0], f[1].toInt())); }},
    {"nmea/checksum", [](F f) { return NmeaChecksum(f[0]); }},
    {"nmea/sentences",
     [](F f) { // message|mode|rate|checksum flag; no fields: the set-up sentences
         return caseText(
             f.isEmpty() ? GpsSetupSentences().join()
                         : BuildRateControlSentence(f[0].toInt(), f[1].toInt(), f[2].toInt(), f[3].toInt()));
     }},
    {"nmea/gps",
     [](F f) { // line|SyncState a GGA of this connection gave before
         const GpsSentenceResult r = interpretGpsSentence(f[0]);
         const GpsFixTracker::Step step = GpsFixTracker(TimeState(f[1].toInt())).take(r);
         QByteArray out = '"' + caseText(r.line) + '"' + (r.checksumOk ? "" : " bad checksum");
         if (step.syncState) out += " state " + num(int(*step.syncState));
         if (step.rmcTaken)
             out += " rmc " + r.rmc->timeText + ' ' + r.rmc->dateText + ' ' +
                    (r.rmc->utcMs ? text(civilFromMs(*r.rmc->utcMs)) : QByteArray("no instant"));
         return out;
     }},
    // The sentences of one connection in order ("@reconnect": a new one); for each what it
    // gave: the state, the clock set, an RMC's status V, or "-"; then the fix, satellites and talker at the end.
    {"nmea/receiver",
     [](F f) {
         GpsFixTracker tracker;
         QByteArray out, talker;
         for (const QByteArray& line : f) {
             if (line == "@reconnect") {
                 tracker.restart();
                 out += "reconnect; ";
                 continue;
             }
             const GpsSentenceResult r = interpretGpsSentence(line);
             const GpsFixTracker::Step step = tracker.take(r);
             if (!r.talker.isEmpty()) talker = r.talker;
             Fields gave;
             if (step.syncState) gave += "state " + num(int(*step.syncState));
             if (step.setUtcMs) gave += "set " + text(civilFromMs(*step.setUtcMs));
             if (r.rmc && !r.rmc->valid) gave += "status V";
             out += (gave.isEmpty() ? QByteArray("-") : gave.join(", ")) + "; ";
         }
         return out + "fix " + yesNo(tracker.fix()) + ", " + num(tracker.satellites()) +
                " satellites, talker " + (talker.isEmpty() ? QByteArray("none") : talker);
     }},
    // mode|offset of each sample in ms ("restart": a new source): what the discipline did
    {"discipline/decisions",
     [](F f) {
         ClockDiscipline d(f[0] == "slew" ? ClockDiscipline::Mode::Slew : ClockDiscipline::Mode::Step);
         QByteArray out;
         qint64 local = utc("2026-12-07 10:00:00");
         for (const QByteArray& field : f.mid(1)) {
             if (field == "restart") {
                 d.restart(), out += "restart ";
                 continue;
             }
             local += 1000;
             const ClockDiscipline::Decision c = d.sample(local + ll(field), local);
             switch (c.kind) {
             case ClockDiscipline::Decision::Kind::None: out += "hold "; break;
             case ClockDiscipline::Decision::Kind::Step:
                 out += "step" + signedNum(double(c.stepToMs - local)) + ' ';
                 break;
             case ClockDiscipline::Decision::Kind::Slew: out += "slew" + signedNum(c.slewMs) + ' '; break;
             }
         }
         return out.trimmed();
     }},
    // mode|seconds between samples|the clock's own rate error (ppm, fast positive)|its first
    // offset (ms, ahead positive)|samples|a correction kept from before (ppm, "-" none)|the
    // noise of each sample in ms, cycled. The clock takes what is decided: a step at once, a
    // slew at 500 ppm, the frequency correction from then on. Gives each step and frequency
    // decision with its second, then the clock's error and the bound just before the next.
    {"discipline/frequency",
     [](F f) {
         ClockDiscipline d(f[0] == "slew" ? ClockDiscipline::Mode::Slew : ClockDiscipline::Mode::Step);
         const qint64 interval = ll(f[1]) * 1000;
         if (f[5] != "-") d.setFrequency(f[5].toDouble());
         DisciplinedClock clock{f[2].toDouble(), f[3].toDouble(), 0, d.frequencyPpm().value_or(0)};
         const qint64 start = utc("2026-12-07 10:00:00");
         QByteArray out;
         const qsizetype samples = ll(f[4]);
         for (qsizetype k = 0; k < samples; ++k) {
             if (k > 0) clock.run(interval);
             const qint64 at = start + k * interval;
             const qint64 local = clock.local(at);
             const ClockDiscipline::Decision c = d.sample(at + ll(f[6 + k % (f.size() - 6)]), local);
             const QByteArray when = " at " + num(k * interval / 1000) + "s, ";
             if (c.kind == ClockDiscipline::Decision::Kind::Step)
                 out += "step" + signedNum(double(c.stepToMs - local)) + when;
             if (c.frequencyPpm) out += "freq " + signedThreeDecimals(*c.frequencyPpm) + when;
             clock.take(c, local);
         }
         clock.run(interval);
         const std::optional<double> bound = d.errorBoundMs(clock.local(start + samples * interval));
         return out + "then ahead" + signedNum(clock.ahead) + " ms, bound " +
                (bound ? QByteArray::number(*bound, 'f', 1) : QByteArray("none")) + " ms";
     }},
    // seconds between samples|samples|what each sample says the clock lacks, in ms, as it was
    // before the first (which steps); the rest cycled. Each sample is known within 10 ms; the
    // clock takes what is decided. Gives what each sample after the first found missing (equal
    // ones in a row as "xN"), how far the slews moved the clock in all, and the error bound at
    // the last sample.
    {"discipline/follow",
     [](F f) {
         ClockDiscipline d(ClockDiscipline::Mode::Slew);
         DisciplinedClock clock;
         const qint64 interval = ll(f[0]) * 1000, start = utc("2026-12-07 10:00:00");
         Fields found;
         double stepped = 0;
         std::optional<double> bound;
         for (qsizetype k = 0; k < ll(f[1]); ++k) {
             if (k > 0) clock.run(interval);
             const qint64 at = start + k * interval, local = clock.local(at);
             const qint64 says = at + ll(k == 0 ? f[2] : f[3 + (k - 1) % (f.size() - 3)]);
             if (k > 0) found += signedNum(double(says - local)).mid(1);
             const ClockDiscipline::Decision c = d.sample(says, local, 10);
             if (c.kind == ClockDiscipline::Decision::Kind::Step) stepped += double(c.stepToMs - local);
             clock.take(c, local);
             bound = d.errorBoundMs(local);
         }
         QByteArray out;
         for (qsizetype i = 0; i < found.size();) {
             qsizetype same = 1;
             while (i + same < found.size() && found[i + same] == found[i]) ++same;
             out += found[i] + (same > 1 ? " x" + num(same) : QByteArray()) + ' ';
             i += same;
         }
         return out + "| slewed" + signedNum(clock.ahead - stepped) + " ms, bound " +
                QByteArray::number(bound.value_or(-1), 'f', 1) + " ms";
     }},
    // nominal increment|correction in ppm|slew in ms ("-" none): the increments set, the rates
    // they make and what the slew takes up in its run (at most an hour)
    {"discipline/ticks",
     [](F f) {
         const quint64 nominal = f[0].toULongLong(), base = correctedTickIncrement(nominal, f[1].toDouble());
         const auto ppm = [nominal](double units) {
             return signedThreeDecimals(units / double(nominal) * 1e6);
         };
         QByteArray out =
             "increment " + num(qint64(base)) + " (" + ppm(double(base) - double(nominal)) + " ppm)";
         if (f[2] == "-") return out;
         const TickSlew slew = tickSlew(nominal, f[1].toDouble(), f[2].toDouble(), 3'600'000);
         if (slew.runMs == 0) return out + ", no slew";
         const double rate = double(slew.increment) - double(base);
         return out + ", slew " + num(qint64(slew.increment)) + " (" + ppm(rate) + " ppm more) for " +
                num(slew.runMs) + " ms: takes up " +
                signedThreeDecimals(rate / double(nominal) * double(slew.runMs)) + " ms";
     }},
    // lateness of each sentence in ms: the figures the status shows
    {"discipline/lateness",
     [](F f) {
         LatenessWindow w;
         for (const QByteArray& field : f)
             if (!field.isEmpty()) w.add(field.toDouble());
         return "median " + QByteArray::number(w.median(), 'f', 1) + " spread " +
                QByteArray::number(w.spread(), 'f', 1) + " count " + num(w.count());
     }},
    // Each field a read ("@N read": N times), taken only in its size from a longer buffer
    {"nmea/lines",
     [](F f) {
         NmeaLineAssembler assembler;
         Fields lines;
         for (const QByteArray& field : f) {
             const bool repeated = field.startsWith('@');
             const QByteArray read = repeated ? field.mid(field.indexOf(' ') + 1) : field;
             for (int i = repeated ? field.mid(1, field.indexOf(' ') - 1).toInt() : 1; i > 0; --i)
                 lines += assembler.feed((read + "\r$NOT\r").constData(), read.size());
         }
         return quoted(lines);
     }},
    // receiver's time|date|PC clock|release day: the instant and date used, and what was said
    {"nmea/rollover",
     [](F f) {
         GpsSentenceResult r =
             interpretGpsSentence("$GPRMC," + f[0] + ",A,4807.038,N,01131.000,E,,," + f[1] + ",,");
         const std::optional<GpsRollover> c = correctGpsRollover(*r.rmc, utc(f[2]), utc(f[3]));
         QByteArray out = (r.rmc->utcMs ? text(civilFromMs(*r.rmc->utcMs)) : QByteArray("no instant")) + ' ' +
                          r.rmc->dateText;
         return c ? out + " | " + gpsRolloverLine(*c) : out + " as received";
     }},
    // Events of one open port: "+MS" time passes (the tick looks), "bytes N", "sentence",
    // "restart" (the port opened again); each line written, and the reason at the end.
    {"nmea/silence",
     [](F f) {
         qint64 now = utc("2026-12-07 10:00:00");
         ReceiverSilence silence(now);
         QByteArray out;
         for (const QByteArray& e : f) {
             std::optional<QByteArray> line;
             if (e.startsWith('+')) now += e.mid(1).toLongLong(), line = silence.check(now);
             else if (e.startsWith("bytes ")) silence.bytes(e.mid(6).toInt());
             else if (e == "sentence") line = silence.sentence(now);
             else if (e == "restart") silence.restart(now);
             else return "unknown event " + e;
             if (line) out += "[" + *line + "] ";
         }
         return out + (silence.silent()
                           ? silence.reason(now).toUtf8() + ", " + num(silence.bytesReceived()) + " bytes"
                           : QByteArray("not silent"));
     }},
    // state|seconds since the last good sample ("none")|holdover|source: the state shown; a warning
    {"discipline/holdover",
     [](F f) {
         const qint64 now = utc("2026-12-07 10:00:00");
         const qint64 last = f[1] == "none" ? 0 : now - ll(f[1]) * 1000;
         const TimeState shown = holdoverState(TimeState(f[0].toInt()), last, now, f[2].toInt());
         const QByteArray warning = holdoverWarning(f[2].toInt(), TimeSource(f[3].toInt()));
         return "state " + num(int(shown)) + (warning.isEmpty() ? "" : " | " + warning);
     }},
    {"sntp/ntp", [](F f) { return ntpHex(ll(f[0])) + " back " + num(msFromNtp(ntpFromMs(ll(f[0])))); }},
    {"sntp/ms", [](F f) { return num(msFromNtp(ntp(f[0]))); }},
    {"sntp/request", [](F f) { return sntpRequest(ntpFromMs(ll(f[0]))).toHex(); }},
    // Each ms of the second from f[0] as the exact fraction truncated, read back as itself or one lower
    {"sntp/second",
     [](F f) {
         QByteArray wrong;
         for (qint64 ms = ll(f[0]); ms < ll(f[0]) + 1000; ++ms) {
             const NtpTimestamp ts = ntpFromMs(ms);
             // k * 2^32 / 1000 is an integer or at least 1/125 from one: a double is exact enough.
             const double exact = double(ms - ll(f[0])) * 4294967296.0 / 1000.0;
             if (!(ts.fraction <= exact && exact < ts.fraction + 1.0)) wrong += " fraction " + num(ms);
             if (msFromNtp(ts) != ((ms - ll(f[0])) % 125 == 0 ? ms : ms - 1)) wrong += " back " + num(ms);
         }
         return wrong.isEmpty() ? QByteArray("all truncated") : "wrong:" + wrong;
     }},
    {"sntp/answer",
     [](F f) {
         const QByteArray datagram = answerBytes(f);
         const QByteArray answers = "answers " + yesNo(sntpAnswers(datagram, {0xEEBE9895u, 0x40000000u}));
         const std::optional<SntpAnswer> a = parseSntpAnswer(datagram);
         if (!a) return answers + ", not parsed";
         return answers + ", li " + num(a->leap) + " stratum " + num(a->stratum) + " originate " +
                ntpHex(a->originate) + " receive " + ntpHex(a->receive) + " transmit " + ntpHex(a->transmit) +
                ", usable " + yesNo(sntpRefusal(*a, true).isEmpty()) + ", unchecked " +
                yesNo(sntpRefusal(*a, false).isEmpty());
     }},
    // first byte|stratum|reference ID|transmit: why the answer is refused, with and without the
    // stratum check
    {"sntp/refused",
     [](F f) {
         QByteArray b = answerBytes({f[0], f[1], "00000000.00000000", "00000000.00000000", f[3]});
         b.replace(12, 4, f[2].leftJustified(4, '\0', true));
         const SntpAnswer a = *parseSntpAnswer(b);
         const QByteArray checked = sntpRefusal(a, true), unchecked = sntpRefusal(a, false);
         return (checked.isEmpty() ? "usable" : checked) + " | unchecked " +
                (unchecked.isEmpty() ? "usable" : unchecked);
     }},
    // T1|T2|T3|T4; or sent|arrived|server receive|server transmit|"exchanged": through the packets
    {"sntp/times",
     [](F f) {
         SntpTimes t{ll(f[0]), ll(f[1]), ll(f[2]), ll(f[3])};
         if (f.value(4) == "exchanged")
             t = sntpTimes(
                 *parseSntpAnswer(answerBytes({"1C", "1", ntpHex(t.t1), ntpHex(t.t3), ntpHex(t.t4)})), t.t1,
                 t.t2);
         return "t " + num(t.t1) + ' ' + num(t.t2) + ' ' + num(t.t3) + ' ' + num(t.t4) + " round trip " +
                num(t.roundTrip()) + " offset " + num(t.clockOffset()) + " new time " + num(t.newTime());
     }},
    {"ntpserve/header",
     [](F f) {
         return answerFields(ntpAnswer(ntpRequest({"23", "6", "EEBE9895.40000000", "48"}),
                                       ntpServedHeader(servedTime(f)), -24, ntp("EEBE9896.00000001")));
     }},
    // first byte|poll|transmit|length: dropped and why, or the answer to it from a GPS server
    {"ntpserve/request",
     [](F f) {
         const QByteArray request = ntpRequest(f);
         const NtpRefusal refusal = checkNtpRequest(request);
         if (refusal != NtpRefusal::None) return "dropped: " + ntpRefusalName(refusal);
         NtpServedTime gps;
         gps.source = TimeSource::Gps;
         gps.synchronised = true;
         QByteArray a = ntpAnswer(request, ntpServedHeader(gps), -24, ntp("EEBE9896.00000001"));
         stampTransmit(a, ntp("EEBE9896.00001000"));
         return a.toHex();
     }},
    {"ntpserve/precision", [](F f) { return num(ntpPrecision(f[0].toDouble())); }},
    // Steps on a fake clock from 2026-12-07 10:00: "A N every MS" N requests from A, one every
    // MS; "pass MS"; "spoof N" N requests from as many addresses at the same instant. For each
    // step, which of its requests were answered; then the clients seen in the last hour.
    {"ntpserve/ratelimit",
     [](F f) {
         NtpRateLimit limit;
         qint64 now = utc("2026-12-07 10:00:00");
         QByteArray out;
         const auto address = [](quint32 n) {
             NtpRateLimit::Address a{};
             for (int i = 0; i < 4; ++i) a[size_t(12 + i)] = quint8(n >> (24 - 8 * i));
             return a;
         };
         for (const QByteArray& step : f) {
             const QList<QByteArray> w = step.split(' ');
             if (w[0] == "pass") {
                 now += ll(w[1]);
                 continue;
             }
             QList<int> answered;
             const bool spoof = w[0] == "spoof";
             const int n = w[1].toInt();
             for (int i = 0; i < n; ++i) {
                 if (limit.allow(address(spoof ? 0x0A000000u + quint32(i) : quint32(w[0][0])), now))
                     answered.append(i + 1);
                 if (!spoof) now += ll(w[3]);
             }
             out += step + ": " + (spoof ? num(answered.size()) + " answered" : runs(answered)) + "; ";
         }
         return out + "clients last hour " + num(limit.clientsSince(now - 3'600'000));
     }},
    {"datetime/civil",
     [](F f) {
         const CivilTime t = civilFromMs(ll(f[0]));
         return text(t) + " back " + num(msFromCivil(t)) + (isValidCivil(t) ? "" : " invalid");
     }},
    {"datetime/format", [](F f) { return formatDateTime(f[1].constData(), civilFromMs(utc(f[0]))); }},
    {"datetime/clocklog",
     [](F f) { // instant|utc, local, slew|ms slewed, or freq|ppm
         if (f[1] == "slew") return slewLogLine(utc(f[0]), f[2].toDouble());
         if (f[1] == "freq") return frequencyLogLine(utc(f[0]), f[2].toDouble());
         return clockLogLine(utc(f[0]), f[1] == "utc" ? ClockSetKind::Utc : ClockSetKind::Local);
     }},
    {"datetime/zones",
     [](F f) { // zone|UTC instant
         ZoneScope zone(f[0]);
         const CivilTime local = toLocal(utc(f[1]));
         return text(local) + " offset " + num(utcOffsetSeconds(utc(f[1]))) + " back " +
                text(civilFromMs(fromLocal(local)));
     }},
    {"replies/frame",
     [](F f) { // token|serial|status|GMT or LOC|UTC instant|zone offset in hours
         FakeClock clock(utc("2031-03-03 03:03:03")); // the text comes from the instant handed in
         const qint64 ms = utc(f[4]);
         const QByteArray frame =
             replyFrame(replyText(f[0], {f[1].toInt(),
                                         parseStatusMessage(f[2]).value_or(StatusTriple{}),
                                         f[3] == "LOC" ? DisplayMode::Loc : DisplayMode::Gmt,
                                         {ms, civilFromMs(ms + ll(f[5]) * 3'600'000)}}));
         return frame + ' ' + parsedReply(frame, f[0]);
     }},
    {"replies/parse", [](F f) { return parsedReply(f[1], f[0]); }},
    {"replies/gmt",
     [](F f) { // UTC instant|zone offset in hours
         const ReplyInstant now{utc(f[0]), civilFromMs(utc(f[0]) + ll(f[1]) * 3'600'000)};
         const CivilTime noon{now.local.year, now.local.month, now.local.day, 12, 0, 0, 0};
         return text(localToGmt(now.local, now)) + " noon " + text(localToGmt(noon, now));
     }},
    {"replies/due",
     [](F f) { // at once or on the second|UTC instant the request was read
         const qint64 read = utc(f[1]);
         const qint64 due =
             replyDueMs(f[0] == "on the second" ? ReplyTiming::OnSecond : ReplyTiming::AtOnce, read);
         FakeClock clock(due);
         return "built at " + text(civilFromMs(due)) + ", " + num(due - read) + " ms later, carries " +
                serveTime(0, due).mid(4);
     }},
    {"replies/ring",
     [](F f) { // +N queues N numbered requests, -N serves N
         ReplyRing<int, 50> ring;
         int next = 1;
         QByteArray out;
         for (const QByteArray& op : f) {
             QList<int> done, refused;
             for (int i = 0; i < op.mid(1).toInt(); ++i) {
                 if (op[0] == '+') {
                     (ring.put(next) ? done : refused).append(next);
                     ++next;
                 } else if (!ring.empty()) {
                     done.append(ring.front());
                     ring.pop();
                 }
             }
             out += op + ' ' + (op[0] == '+' ? "stored " : "served ") + runs(done);
             if (!refused.isEmpty()) out += " refused " + runs(refused);
             out += ", ";
         }
         return out + "write " + num(ring.WriteIndex()) + " read " + num(ring.ReadIndex()) + " waiting " +
                num(ring.size()) + " full " + yesNo(ring.full());
     }},
    {"replies/status",
     [](F f) {
         const std::optional<StatusTriple> s = parseStatusMessage(f[0]);
         return s ? statusMessage(*s) + ' ' + statusMeaning(*s).toUtf8() : QByteArray("not a status");
     }},
    {"requests/frames", [](F f) { return quoted(parseRequests(f[0])); }},
    {"requests/recognise",
     [](F f) {
         const ClientType t = recogniseRequest(f[0]);
         const bool back =
             t == ClientType::None || recogniseRequest(parseRequests(requestFrame(t)).value(0)) == t;
         return quoted({replyToken(t), requestFrame(t)}) + (back ? "" : " (read back otherwise)");
     }},
    {"serial/devices",
     [](F f) { // port|KSERVER_COM<port>, "-" unset|Ports key's value, "-" no lookup
         const QByteArray name = "KSERVER_COM" + f[0];
         f[1] == "-" ? qunsetenv(name.constData()) : qputenv(name.constData(), f[1]);
         const std::function<QString(const QString&)> lookup = [&](const QString& com) {
             return com.toUtf8() == "COM" + f[0] ? QString::fromUtf8(f[2]) : QString();
         };
         const QByteArray device = serialDevicePath(f[0].toInt(), f[2] == "-" ? nullptr : lookup).toUtf8();
         qunsetenv(name.constData());
         return device;
     }},
    {"serial/com", [](F f) { return num(comPortNumber(QString::fromUtf8(f[0]))); }},
    {"settings/table", settingRow},
    {"settings/typed", typedSetting},
    {"settings/stored", storedSetting},
    {"settings/baud", [](F f) { return num(baudRateOf(f[0].toInt())); }},
    {"settings/order",
     [](F) {
         QByteArray out;
         for (const SettingDef& s : settingsTable()) out += (out.isEmpty() ? "" : " ") + QByteArray(s.name);
         return out;
     }},
    {"log/csv", [](F f) { return caseText(csvLine(f)); }},
    {"log/rows",
     [](F f) { // entries before one more is added
         LogModel model;
         for (int i = 0; i < f[0].toInt(); ++i) model.add({"00:00:00", "e" + num(i), "d", "4"});
         model.add({"00:00:01", "new", "d", "2"});
         return "rows " + num(model.rowCount()) + " first " + model.entries().first().event;
     }},
    {"log/types",
     [](F f) { // its stderr line for the journal | a terminal, its colours in the window
         const LogEntry entry{"23:59:59", "Event", "a\tb\\c\r\nd", f[0]};
         const CivilTime now{2026, 12, 7, 1, 2, 3, 0};
         LogModel model;
         model.add(entry);
         QByteArray out = caseText(mirrorLine(entry, now, true)) + " | " +
                          caseText(mirrorLine(entry, now, false)) + " | background " +
                          colour(model, LogModel::DetailsColumn, Qt::BackgroundRole) + " text " +
                          colour(model, LogModel::DetailsColumn, Qt::ForegroundRole);
         for (const int c : {LogModel::TimeColumn, LogModel::EventColumn})
             for (const Qt::ItemDataRole role : {Qt::BackgroundRole, Qt::ForegroundRole})
                 if (colour(model, c, role) != "none") out += " (column " + num(c) + " coloured)";
         return out;
     }},
};
} // namespace

class TestProtocol : public QObject {
    Q_OBJECT
private slots:
    // Every case file is read: one no adapter takes would pass unread. (sntp/client belongs to the
    // SNTP client's exchanges.)
    void every_file_read() {
        QDir golden(QStringLiteral(KS_SOURCE_DIR "/tests/golden"));
        for (const QString& topic : golden.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            for (const QString& file : QDir(golden.filePath(topic)).entryList({QStringLiteral("*.cases")})) {
                const QByteArray name = (topic + u'/' + file.chopped(6)).toUtf8();
                QVERIFY2(adapters.count(name) || name == "sntp/client",
                         test::unknownCommand(name).constData());
            }
    }
    void cases_data() {
        QTest::addColumn<QByteArray>("name");
        for (const auto& [name, adapter] : adapters) QTest::newRow(name.constData()) << name;
    }
    void cases() {
        QFETCH(QByteArray, name);
#ifdef Q_OS_WIN
        if (name == "datetime/zones" || name == "serial/devices")
            QSKIP("Windows takes neither the zone from TZ nor the ports from device files");
#endif
        const QString path = QStringLiteral(KS_SOURCE_DIR "/tests/golden/") + QLatin1String(name + ".cases");
        QVERIFY2(QFile::exists(path), qPrintable(path)); // under Wine too: no file, nothing tested
        QByteArray out;
        for (const QByteArray& line : scriptLines(path)) {
            Fields fields = line.split('|');
            const QByteArray caseName = fields.takeFirst();
            for (QByteArray& field : fields) field = caseBytes(field);
            out += caseName + ": " + adapters.at(name)(fields) + '\n';
        }
        KS_COMPARE_GOLDEN(out, expectedPath(path));
    }
};

QTEST_APPLESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
