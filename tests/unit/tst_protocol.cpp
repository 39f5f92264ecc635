// The pure functions, case by case: tests/golden/<topic>/NAME.cases holds a case a line
// ("name|field|field"), NAME.expected the result of each as "name: result". Below, one
// adapter per file turns the fields into the result.
#include "FakeClock.h"
#include "Golden.h"
#include "ZoneScope.h"
#include "log/LogModel.h"
#include "platform/SerialPortMap.h"
#include "protocol/Csv.h"
#include "protocol/DateFormat.h"
#include "protocol/Nmea.h"
#include "protocol/Replies.h"
#include "protocol/Requests.h"
#include "protocol/Sntp.h"

#include <QBrush>
#include <QFile>
#include <QTest>

#include <functional>
#include <map>

using namespace ks;
using namespace ks::test;
using Fields = QList<QByteArray>;

namespace {
QByteArray num(qint64 v) { return QByteArray::number(v); }
QByteArray yesNo(bool v) { return v ? "yes" : "no"; }
QByteArray iso(qint64 ms) { return formatDateTime("yyyy-mm-dd hh:nn:ss.zzz", civilFromMs(ms)); }
CivilTime civil(const QByteArray& text) { // "yyyy-mm-dd hh:nn:ss.zzz", the time optional
    CivilTime t{0, 0, 0, 0, 0, 0, 0};
    sscanf(text.constData(), "%d-%d-%d %d:%d:%d.%d", &t.year, &t.month, &t.day, &t.hour, &t.minute,
           &t.second, &t.msec);
    return t;
}
qint64 utc(const QByteArray& text) { return msFromCivil(civil(text)); }
QByteArray hex8(quint32 v) { return QByteArray::number(v, 16).toUpper().rightJustified(8, '0'); }
QByteArray ntpText(NtpTimestamp t) { return hex8(t.seconds) + '.' + hex8(t.fraction); }
NtpTimestamp ntp(const QByteArray& text) {
    const Fields p = text.split('.');
    return {p[0].toUInt(nullptr, 16), p.value(1).toUInt(nullptr, 16)};
}
QByteArray quoted(const Fields& items) {
    QByteArray out = items.isEmpty() ? "-" : "";
    for (const QByteArray& item : items) out += (out.isEmpty() ? "\"" : " \"") + goldenEscape(item) + '"';
    return out;
}

// An SNTP answer written field by field, independently of the code under test:
// first byte|stratum|originate|receive|transmit[|length, cut or padded with 0x55].
QByteArray answerBytes(const Fields& f) {
    QByteArray b(24, '\0');
    b[0] = char(f[0].toUInt(nullptr, 16));
    b[1] = char(f[1].toUInt());
    for (int i = 2; i <= 4; ++i)
        for (const quint32 v : {ntp(f[i]).seconds, ntp(f[i]).fraction})
            for (int shift = 24; shift >= 0; shift -= 8) b.append(char((v >> shift) & 0xFF));
    if (f.size() > 5) b = b.left(f[5].toInt()).leftJustified(f[5].toInt(), '\x55');
    return b;
}

QByteArray parsedReply(const QByteArray& frame, const QByteArray& token) {
    QString error;
    const std::optional<ParsedReply> p = parseReply(frame, token, &error);
    if (!p) return "refused: " + error.toUtf8();
    QByteArray out = "serial " + num(p->replySerial);
    if (token != TokenQuorix) out += " seconds " + num(p->seconds);
    if (token == TokenKorvat1010) out += " status " + statusMessage(p->status);
    const CivilTime& c = p->clock;
    const CivilTime& d = p->utcDate;
    if (token == TokenQuorix)
        out += QString::asprintf(" clock %02d:%02d:%02d %02d/%02d/%02d utc date %02d/%02d/%02d", c.hour,
                                    c.minute, c.second, c.day, c.month, c.year, d.day, d.month, d.year).toUtf8();
    return out;
}

QByteArray logColour(const LogModel& model, int column, int role) {
    const QVariant v = model.data(model.index(0, column), role);
    return v.isValid() ? v.value<QBrush>().color().name().toLatin1() : "none";
}

using Adapter = std::function<QByteArray(const Fields&)>;
const std::map<QByteArray, Adapter> adapters = {
    {"nmea/field", [](const Fields& f) { return goldenEscape(GetNmeaField(f[0], f[1].toInt())); }},
    {"nmea/checksum", [](const Fields& f) { return NmeaChecksum(f[0]); }},
    {"nmea/setup", [](const Fields&) { return goldenEscape(GpsSetupSentences().join()); }},
    {"nmea/rate",
     [](const Fields& f) {
         return goldenEscape(BuildRateControlSentence(f[0].toInt(), f[1].toInt(), f[2].toInt(), f[3].toInt()));
     }},
    // line|SyncState before
    {"nmea/gps",
     [](const Fields& f) {
         const GpsSentenceResult r = interpretGpsSentence(f[0], TimeState(f[1].toInt()));
         QByteArray out = '"' + goldenEscape(r.line) + '"';
         if (!r.checksumOk) out += " bad checksum";
         if (r.syncState) out += " state " + num(int(*r.syncState));
         if (r.rmc)
             out += " rmc " + r.rmc->timeText + ' ' + r.rmc->dateText + ' ' +
                    (r.rmc->utcMs ? iso(*r.rmc->utcMs) : QByteArray("no instant"));
         return out;
     }},
    // Each field a read; the assembler must take only the read's size from a longer buffer.
    {"nmea/lines",
     [](const Fields& f) {
         NmeaLineAssembler assembler;
         Fields lines;
         for (const QByteArray& read : f) lines += assembler.feed((read + "\r$NOT\r").constData(), read.size());
         return quoted(lines);
     }},
    {"sntp/ntp", [](const Fields& f) {
         const NtpTimestamp t = ntpFromMs(f[0].toLongLong());
         return ntpText(t) + " back " + num(msFromNtp(t));
     }},
    {"sntp/ms", [](const Fields& f) { return num(msFromNtp(ntp(f[0]))); }},
    {"sntp/request", [](const Fields& f) { return sntpRequest(ntpFromMs(f[0].toLongLong())).toHex(); }},
    {"sntp/answer",
     [](const Fields& f) {
         const QByteArray datagram = answerBytes(f);
         const QByteArray answers = "answers " + yesNo(sntpAnswers(datagram, {0xEEBE9895u, 0x40000000u}));
         const std::optional<SntpAnswer> a = parseSntpAnswer(datagram);
         if (!a) return answers + ", not parsed";
         return answers + ", li " + num(a->leap) + " stratum " + num(a->stratum) + " originate " +
                ntpText(a->originate) + " receive " + ntpText(a->receive) + " transmit " +
                ntpText(a->transmit) + ", usable " + yesNo(sntpUsable(*a, true)) + ", unchecked " +
                yesNo(sntpUsable(*a, false));
     }},
    {"sntp/times",
     [](const Fields& f) {
         const SntpTimes t{f[0].toLongLong(), f[1].toLongLong(), f[2].toLongLong(), f[3].toLongLong()};
         return "round trip " + num(t.roundTrip()) + " offset " + num(t.clockOffset()) + " new time " +
                num(t.newTime());
     }},
    // sent|arrived|server receive|server transmit, all ms; the answer echoes the request.
    {"sntp/exchange",
     [](const Fields& f) {
         const qint64 sent = f[0].toLongLong();
         const Fields fields{"1C", "1", ntpText(ntpFromMs(sent)), ntpText(ntpFromMs(f[2].toLongLong())),
                             ntpText(ntpFromMs(f[3].toLongLong()))};
         const SntpTimes t = sntpTimes(*parseSntpAnswer(answerBytes(fields)), sent, f[1].toLongLong());
         return "t1 " + num(t.t1) + " t2 " + num(t.t2) + " t3 " + num(t.t3) + " t4 " + num(t.t4) +
                " round trip " + num(t.roundTrip()) + " offset " + num(t.clockOffset()) + " new time " +
                num(t.newTime());
     }},
    {"datetime/civil",
     [](const Fields& f) {
         const CivilTime t = civilFromMs(f[0].toLongLong());
         return formatDateTime("yyyy-mm-dd hh:nn:ss.zzz", t) + " back " + num(msFromCivil(t)) +
                (isValidCivil(t) ? "" : " invalid");
     }},
    {"datetime/format", [](const Fields& f) { return formatDateTime(f[1].constData(), civil(f[0])); }},
    {"datetime/clocklog",
     [](const Fields& f) { return clockLogLine(utc(f[0]), f[1] == "utc" ? ClockSetKind::Utc : ClockSetKind::Local); }},
    // zone|UTC instant
    {"datetime/zones",
     [](const Fields& f) {
         ZoneScope zone(f[0]);
         const CivilTime local = toLocal(utc(f[1]));
         return formatDateTime("yyyy-mm-dd hh:nn:ss.zzz", local) + " offset " + num(utcOffsetSeconds(utc(f[1]))) +
                " back " + iso(fromLocal(local));
     }},
    // token|serial|status|GMT or LOC|UTC instant|zone offset in hours
    {"replies/frame",
     [](const Fields& f) {
         FakeClock clock(utc("2031-03-03 03:03:03")); // the text comes from the instant handed in
         const qint64 ms = utc(f[4]);
         const ReplyContext context{f[1].toInt(), parseStatusMessage(f[2]).value_or(StatusTriple{}),
                                    f[3] == "LOC" ? DisplayMode::Loc : DisplayMode::Gmt,
                                    {ms, civilFromMs(ms + f[5].toLongLong() * 3'600'000)}};
         const QByteArray frame = replyFrame(replyText(f[0], context));
         return frame + ' ' + parsedReply(frame, f[0]);
     }},
    {"replies/parse", [](const Fields& f) { return parsedReply(f[1], f[0]); }},
    // UTC instant|zone offset in hours: that instant's local time and local noon, in GMT
    {"replies/gmt",
     [](const Fields& f) {
         const ReplyInstant now{utc(f[0]), civilFromMs(utc(f[0]) + f[1].toLongLong() * 3'600'000)};
         const CivilTime noon{now.local.year, now.local.month, now.local.day, 12, 0, 0, 0};
         return iso(msFromCivil(localToGmt(now.local, now))) + " noon " + iso(msFromCivil(localToGmt(noon, now)));
     }},
    {"replies/status",
     [](const Fields& f) {
         const std::optional<StatusTriple> s = parseStatusMessage(f[0]);
         return s ? statusMessage(*s) + ' ' + statusMeaning(*s).toUtf8() : QByteArray("not a status");
     }},
    {"requests/frames", [](const Fields& f) { return quoted(parseRequests(f[0])); }},
    {"requests/recognise",
     [](const Fields& f) {
         const ClientType t = recogniseRequest(f[0]);
         const bool back = t == ClientType::None || recogniseRequest(parseRequests(requestFrame(t)).value(0)) == t;
         return quoted({replyToken(t), requestFrame(t)}) + (back ? "" : " (its frame reads back otherwise)");
     }},
    // port|KSERVER_COM<port> ("-" unset)|the Ports key's value for COM<port> ("-" no lookup)
    {"serial/devices",
     [](const Fields& f) {
         const QByteArray name = "KSERVER_COM" + f[0];
         f[1] == "-" ? qunsetenv(name.constData()) : qputenv(name.constData(), f[1]);
         std::function<QString(const QString&)> lookup;
         if (f[2] != "-")
             lookup = [&](const QString& com) { return com.toUtf8() == "COM" + f[0] ? QString::fromUtf8(f[2]) : QString(); };
         const QByteArray device = serialDevicePath(f[0].toInt(), lookup).toUtf8();
         qunsetenv(name.constData());
         return device;
     }},
    {"serial/com", [](const Fields& f) { return num(comPortNumber(QString::fromUtf8(f[0]))); }},
    {"log/csv", [](const Fields& f) { return goldenEscape(csvLine(f)); }},
    // entries before one more is added
    {"log/rows",
     [](const Fields& f) {
         LogModel model;
         for (int i = 0; i < f[0].toInt(); ++i) model.add({"00:00:00", "e" + num(i), "d", "4"});
         model.add({"00:00:01", "new", "d", "2"});
         return "rows " + num(model.rowCount()) + " first " + model.entries().first().event;
     }},
    // A type: its stderr line for the journal and for a terminal, and its colours in the window.
    {"log/types",
     [](const Fields& f) {
         const LogEntry entry{"23:59:59", "Event", "a\tb\\c\r\nd", f[0]};
         const CivilTime now{2026, 12, 7, 1, 2, 3, 0};
         LogModel model;
         model.add(entry);
         QByteArray out = goldenEscape(mirrorLine(entry, now, true)) + " | " +
                          goldenEscape(mirrorLine(entry, now, false)) + " | background " +
                          logColour(model, LogModel::DetailsColumn, Qt::BackgroundRole) + " text " +
                          logColour(model, LogModel::DetailsColumn, Qt::ForegroundRole);
         for (const int c : {LogModel::TimeColumn, LogModel::EventColumn})
             for (const int role : {Qt::BackgroundRole, Qt::ForegroundRole})
                 if (logColour(model, c, role) != "none") out += " (column " + num(c) + " coloured)";
         return out;
     }},
};
} // namespace

class TestProtocol : public QObject {
    Q_OBJECT
    void run() {
        QFETCH(QString, path);
        const QByteArray name = path.section(QLatin1Char('/'), -2).toUtf8().chopped(int(strlen(".cases")));
#ifdef Q_OS_WIN
        if (name == "datetime/zones" || name == "serial/devices")
            QSKIP("Windows takes neither the zone from TZ nor the ports from device files");
#endif
        const auto adapter = adapters.find(name);
        QVERIFY2(adapter != adapters.end(), ("no adapter for " + name).constData());
        QByteArray out;
        for (const QByteArray& line : scriptLines(path)) {
            Fields fields = line.split('|');
            const QByteArray caseName = fields.takeFirst();
            for (QByteArray& field : fields) field = goldenUnescape(field);
            out += caseName + ": " + adapter->second(fields) + '\n';
        }
        KS_COMPARE_GOLDEN(out, expectedPath(path));
    }

private slots:
    // Also shows the cases were found (under Wine too): no folder, no rows, nothing tested.
    void everyAdapterHasItsCases() {
        for (const auto& [name, adapter] : adapters)
            QVERIFY2(QFile::exists(QStringLiteral(KS_SOURCE_DIR "/tests/golden/") + QString::fromUtf8(name + ".cases")),
                     name.constData());
    }
    void nmea_data() { goldenRows("nmea", ".cases"); }
    void nmea() { run(); }
    void sntp_data() { goldenRows("sntp", ".cases"); }
    void sntp() { run(); }
    void datetime_data() { goldenRows("datetime", ".cases"); }
    void datetime() { run(); }
    void replies_data() { goldenRows("replies", ".cases"); }
    void replies() { run(); }
    void requests_data() { goldenRows("requests", ".cases"); }
    void requests() { run(); }
    void serial_data() { goldenRows("serial", ".cases"); }
    void serial() { run(); }
    void log_data() { goldenRows("log", ".cases"); }
    void log() { run(); }

    // A device that never sends a carriage return cannot grow the pending line for ever; a
    // sentence after the noise is still read.
    void endlessNmeaLineStaysBounded() {
        NmeaLineAssembler assembler;
        const QByteArray noise(1000, 'x');
        for (int i = 0; i < 1000; ++i) QVERIFY(assembler.feed(noise.constData(), noise.size()).isEmpty());
        const QByteArray gga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47";
        const QByteArray tail = "\n" + gga + "\r";
        const Fields lines = assembler.feed(tail.constData(), tail.size());
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines[0].size() <= NmeaLineAssembler::MaxLine);
        QCOMPARE(interpretGpsSentence(lines[0], TimeState::NotSynchronised).line, gga);
    }

    // Every millisecond of a second goes out as the exact fraction truncated, on both sides of
    // the 2036 wrap, and reads back as itself or one lower, never higher.
    void everyMillisecondTruncated() {
        for (const qint64 base : {qint64(1796479509000), qint64(2085978495000), qint64(2085978496000), qint64(-1000)})
            for (qint64 ms = base; ms < base + 1000; ++ms) {
                const NtpTimestamp ts = ntpFromMs(ms);
                // k * 2^32 / 1000 is an integer or at least 1/125 from one: a double is exact enough.
                const double exact = double(ms - base) * 4294967296.0 / 1000.0;
                QVERIFY2(double(ts.fraction) <= exact && exact < double(ts.fraction) + 1.0, num(ms).constData());
                QCOMPARE(msFromNtp(ts), (ms - base) % 125 == 0 ? ms : ms - 1);
            }
    }
};

QTEST_APPLESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
