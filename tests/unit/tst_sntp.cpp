#include "ZoneScope.h"
#include "platform/SystemClock.h"
#include "protocol/CivilTime.h"
#include "protocol/Sntp.h"

#include <QTest>

using namespace ks;

Q_DECLARE_METATYPE(ks::NtpTimestamp)
Q_DECLARE_METATYPE(ks::CivilTime)

namespace {

// The one instant where the 32-bit seconds field wraps: 2036-02-07 06:28:16 UTC.
constexpr qint64 WrapMs = 2085978496000;

QByteArray timestampBytes(quint32 seconds, quint32 fraction) {
    QByteArray b;
    for (quint32 v : {seconds, fraction})
        for (int shift = 24; shift >= 0; shift -= 8)
            b.append(char((v >> shift) & 0xFF));
    return b;
}

// A 48-byte answer written field by field, independently of the code under test.
QByteArray answerBytes(quint8 first, quint8 stratum, NtpTimestamp originate, NtpTimestamp receive,
                       NtpTimestamp transmit) {
    QByteArray b(24, '\0');
    b[0] = char(first);
    b[1] = char(stratum);
    b += timestampBytes(originate.seconds, originate.fraction);
    b += timestampBytes(receive.seconds, receive.fraction);
    b += timestampBytes(transmit.seconds, transmit.fraction);
    return b;
}

} // namespace

class TestSntp : public QObject {
    Q_OBJECT
private slots:
    // Both directions at chosen instants, including both ends of both eras. The fraction is
    // truncated on the way out and again on the way back, so only multiples of 125 ms come
    // back unchanged.
    void conversions_data() {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<NtpTimestamp>("ntp");
        QTest::addColumn<qint64>("back");
        QTest::newRow("1970 epoch") << qint64(0) << NtpTimestamp{0x83AA7E80u, 0} << qint64(0);
        QTest::newRow("2000") << qint64(946684800000) << NtpTimestamp{0xBC17C200u, 0} << qint64(946684800000);
        QTest::newRow("quarter second")
            << qint64(1796479509250) << NtpTimestamp{0xEEBE9895u, 0x40000000u} << qint64(1796479509250);
        QTest::newRow("half second")
            << qint64(1796479509500) << NtpTimestamp{0xEEBE9895u, 0x80000000u} << qint64(1796479509500);
        QTest::newRow("123 ms, truncated")
            << qint64(1796479509123) << NtpTimestamp{0xEEBE9895u, 528280977u} << qint64(1796479509122);
        QTest::newRow("last ms of era 0")
            << WrapMs - 1 << NtpTimestamp{0xFFFFFFFFu, 4290672328u} << WrapMs - 2;
        QTest::newRow("2036 wrap") << WrapMs << NtpTimestamp{0, 0} << WrapMs;
        QTest::newRow("wrap + 1.5 s") << WrapMs + 1500 << NtpTimestamp{1, 0x80000000u} << WrapMs + 1500;
        QTest::newRow("2050") << qint64(2538907200000) << NtpTimestamp{0x1AFF24C0u, 0} << qint64(2538907200000);
        QTest::newRow("earliest of era 0, 1968")
            << qint64(-61505152000) << NtpTimestamp{0x80000000u, 0} << qint64(-61505152000);
        QTest::newRow("latest of era 1, 2104")
            << qint64(4233462143000) << NtpTimestamp{0x7FFFFFFFu, 0} << qint64(4233462143000);
    }
    void conversions() {
        QFETCH(qint64, ms);
        QFETCH(NtpTimestamp, ntp);
        QFETCH(qint64, back);
        const NtpTimestamp got = ntpFromMs(ms);
        QCOMPARE(got.seconds, ntp.seconds);
        QCOMPARE(got.fraction, ntp.fraction);
        QCOMPARE(msFromNtp(ntp), back);
    }

    // Fractions are truncated, never rounded, to whole milliseconds.
    void fractionTruncated_data() {
        QTest::addColumn<NtpTimestamp>("ntp");
        QTest::addColumn<qint64>("ms");
        const quint32 epoch = 0x83AA7E80u;
        const qint64 era1At5s = (4294967296LL + 5 - 2208988800LL) * 1000;
        QTest::newRow("just under 1 ms") << NtpTimestamp{epoch, 4294967u} << qint64(0);
        QTest::newRow("just over 1 ms") << NtpTimestamp{epoch, 4294968u} << qint64(1);
        QTest::newRow("0.9999 s") << NtpTimestamp{epoch, 4294537799u} << qint64(999);
        QTest::newRow("largest fraction") << NtpTimestamp{epoch, 0xFFFFFFFFu} << qint64(999);
        QTest::newRow("0.9999 s after 2036") << NtpTimestamp{5, 4294537799u} << era1At5s + 999;
    }
    void fractionTruncated() {
        QFETCH(NtpTimestamp, ntp);
        QFETCH(qint64, ms);
        QCOMPARE(msFromNtp(ntp), ms);
    }

    // Every millisecond of a second goes out as the exact fraction truncated, on both sides
    // of the wrap, and reads back as itself or one lower, never higher.
    void everyMillisecondTruncated_data() {
        QTest::addColumn<qint64>("base");
        QTest::newRow("2026") << qint64(1796479509000);
        QTest::newRow("last second of era 0") << WrapMs - 1000;
        QTest::newRow("first second of era 1") << WrapMs;
        QTest::newRow("before 1970") << qint64(-1000);
    }
    void everyMillisecondTruncated() {
        QFETCH(qint64, base);
        for (qint64 ms = base; ms < base + 1000; ++ms) {
            const NtpTimestamp ts = ntpFromMs(ms);
            // k * 2^32 / 1000 is an integer or at least 1/125 from one: the double is exact enough.
            const double exact = double(ms - base) * 4294967296.0 / 1000.0;
            if (!(double(ts.fraction) <= exact && exact < double(ts.fraction) + 1.0))
                QFAIL(qPrintable(QStringLiteral("fraction of %1 not truncated").arg(ms)));
            const qint64 back = (ms - base) % 125 == 0 ? ms : ms - 1;
            if (msFromNtp(ts) != back) QFAIL(qPrintable(QStringLiteral("read back wrong at %1").arg(ms)));
        }
    }

    // Local time -> NTP goes through the UTC instant, whatever the zone and its daylight time.
    void localZones_data() {
        QTest::addColumn<QByteArray>("tz");
        QTest::addColumn<CivilTime>("local");
        QTest::addColumn<NtpTimestamp>("ntp");
        QTest::newRow("UTC") << QByteArray("UTC0") << CivilTime{2026, 7, 1, 12, 0, 0, 0}
                             << NtpTimestamp{0xEDEF7FC0u, 0};
        QTest::newRow("Berlin summer time")
            << QByteArray("CET-1CEST,M3.5.0,M10.5.0/3") << CivilTime{2026, 7, 1, 12, 0, 0, 250}
            << NtpTimestamp{0xEDEF63A0u, 0x40000000u};
        QTest::newRow("Berlin standard time")
            << QByteArray("CET-1CEST,M3.5.0,M10.5.0/3") << CivilTime{2026, 1, 15, 12, 0, 0, 0}
            << NtpTimestamp{0xED134730u, 0};
        QTest::newRow("New York summer time")
            << QByteArray("EST5EDT,M3.2.0,M11.1.0") << CivilTime{2026, 7, 1, 8, 0, 0, 0}
            << NtpTimestamp{0xEDEF7FC0u, 0};
        QTest::newRow("India, half hour, no daylight time")
            << QByteArray("IST-5:30") << CivilTime{2026, 7, 1, 17, 30, 0, 0}
            << NtpTimestamp{0xEDEF7FC0u, 0};
    }
    void localZones() {
#ifdef Q_OS_WIN
        QSKIP("Windows takes the zone from the system, not from TZ");
#endif
        QFETCH(QByteArray, tz);
        QFETCH(CivilTime, local);
        QFETCH(NtpTimestamp, ntp);
        test::ZoneScope zone(tz);
        const NtpTimestamp got = ntpFromMs(fromLocal(local));
        QCOMPARE(got.seconds, ntp.seconds);
        QCOMPARE(got.fraction, ntp.fraction);
        QCOMPARE(toLocal(msFromNtp(ntp)), local);
    }

    void requestBytes_data() {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QByteArray>("hex");
        const QByteArray zeros39(78, '0');
        QTest::newRow("2026, quarter second")
            << qint64(1796479509250) << QByteArray("1b" + zeros39 + "eebe989540000000");
        QTest::newRow("2026, 123 ms: fraction truncated")
            << qint64(1796479509123) << QByteArray("1b" + zeros39 + "eebe98951f7ced91");
        QTest::newRow("after 2036")
            << WrapMs + 1500 << QByteArray("1b" + zeros39 + "0000000180000000");
    }
    void requestBytes() {
        QFETCH(qint64, ms);
        QFETCH(QByteArray, hex);
        const QByteArray packet = sntpRequest(ntpFromMs(ms));
        QCOMPARE(packet.size(), 48);
        QCOMPARE(packet.toHex(), hex);
    }

    // Only a datagram whose originate timestamp is our transmit timestamp answers us.
    void answersRequest_data() {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<bool>("answers");
        const NtpTimestamp sent{0xEEBE9895u, 0x40000000u};
        const NtpTimestamp server{0xEEBE9896u, 0x12345678u};
        QTest::newRow("matching") << answerBytes(0x1C, 1, sent, server, server) << true;
        QTest::newRow("fraction differs in last bit")
            << answerBytes(0x1C, 1, {sent.seconds, sent.fraction + 1}, server, server) << false;
        QTest::newRow("seconds differ")
            << answerBytes(0x1C, 1, {sent.seconds - 1, sent.fraction}, server, server) << false;
        QTest::newRow("zero originate") << answerBytes(0x1C, 1, {}, server, server) << false;
        QTest::newRow("47 bytes, matching")
            << answerBytes(0x1C, 1, sent, server, server).left(47) << true;
        QTest::newRow("32 bytes, matching")
            << answerBytes(0x1C, 1, sent, server, server).left(32) << true;
        QTest::newRow("31 bytes") << answerBytes(0x1C, 1, sent, server, server).left(31) << false;
        QTest::newRow("empty") << QByteArray() << false;
    }
    void answersRequest() {
        QFETCH(QByteArray, datagram);
        QFETCH(bool, answers);
        QCOMPARE(sntpAnswers(datagram, {0xEEBE9895u, 0x40000000u}), answers);
    }

    void parseAnswer_data() {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<bool>("parsed");
        const QByteArray full =
            answerBytes(0xE4, 2, {1, 2}, {0xEEBE9896u, 0x80000000u}, {0xEEBE9897u, 0xFFFFFFFFu});
        QTest::newRow("48 bytes") << full << true;
        QTest::newRow("with extension, 68 bytes") << full + QByteArray(20, '\x55') << true;
        QTest::newRow("47 bytes") << full.left(47) << false;
        QTest::newRow("empty") << QByteArray() << false;
    }
    void parseAnswer() {
        QFETCH(QByteArray, datagram);
        QFETCH(bool, parsed);
        const std::optional<SntpAnswer> a = parseSntpAnswer(datagram);
        QCOMPARE(a.has_value(), parsed);
        if (!parsed) return;
        QCOMPARE(a->leap, 3);
        QCOMPARE(a->stratum, 2);
        QVERIFY((a->originate == NtpTimestamp{1, 2}));
        QVERIFY((a->receive == NtpTimestamp{0xEEBE9896u, 0x80000000u}));
        QVERIFY((a->transmit == NtpTimestamp{0xEEBE9897u, 0xFFFFFFFFu}));
    }

    void disregard_data() {
        QTest::addColumn<int>("leap");
        QTest::addColumn<int>("stratum");
        QTest::addColumn<bool>("zeroTransmit");
        QTest::addColumn<bool>("stratumCheck");
        QTest::addColumn<bool>("usable");
        QTest::newRow("stratum 1") << 0 << 1 << false << true << true;
        QTest::newRow("stratum 15") << 0 << 15 << false << true << true;
        QTest::newRow("stratum 0") << 0 << 0 << false << true << false;
        QTest::newRow("stratum 16") << 0 << 16 << false << true << false;
        QTest::newRow("stratum 255") << 0 << 255 << false << true << false;
        QTest::newRow("stratum 0, check off") << 0 << 0 << false << false << true;
        QTest::newRow("stratum 16, check off") << 0 << 16 << false << false << true;
        QTest::newRow("leap second ahead, LI 1") << 1 << 1 << false << true << true;
        QTest::newRow("LI 2") << 2 << 1 << false << true << true;
        QTest::newRow("LI 3, valid otherwise") << 3 << 1 << false << true << false;
        QTest::newRow("LI 3, check off") << 3 << 1 << false << false << false;
        QTest::newRow("zero transmit") << 0 << 1 << true << true << false;
        QTest::newRow("zero transmit, check off") << 0 << 1 << true << false << false;
    }
    void disregard() {
        QFETCH(int, leap);
        QFETCH(int, stratum);
        QFETCH(bool, zeroTransmit);
        QFETCH(bool, stratumCheck);
        QFETCH(bool, usable);
        const NtpTimestamp t = zeroTransmit ? NtpTimestamp{} : NtpTimestamp{0xEEBE9897u, 0};
        const std::optional<SntpAnswer> a = parseSntpAnswer(
            answerBytes(quint8((leap << 6) | 0x1C), quint8(stratum), {1, 0}, {0xEEBE9897u, 0}, t));
        QVERIFY(a);
        QCOMPARE(sntpUsable(*a, stratumCheck), usable);
    }

    // A transmit timestamp with only the fraction set is not zero.
    void fractionOnlyTransmitIsUsable() {
        const std::optional<SntpAnswer> a =
            parseSntpAnswer(answerBytes(0x1C, 1, {1, 0}, {1, 0}, {0, 1}));
        QVERIFY(a);
        QVERIFY(sntpUsable(*a, true));
    }

    // T1..T4 as (local) ms; results as the exchange computes them.
    void arithmetic_data() {
        for (const char* column : {"t1", "t2", "t3", "t4", "roundTrip", "offset", "newTime"})
            QTest::addColumn<qint64>(column);
        const auto row = [](const char* name, std::initializer_list<qint64> values) {
            QTestData& data = QTest::newRow(name);
            for (const qint64 v : values)
                data << v;
        };
        // Each row: T1, T2, T3, T4, round trip, offset, new time.
        // Server 5 s ahead, 10 ms each way, answers at once: the new time is its clock at T4.
        row("server ahead, no processing", {1000, 6010, 6010, 1020, 20, 5000, 6020});
        // Server 100 ms ahead, 10 ms each way, 20 ms processing: T2 - T3 makes the round
        // trip 60 (not 20), and the new time is 20 ms past the server's clock at T4 (140).
        row("processing counts twice", {0, 110, 130, 40, 60, 100, 160});
        row("server behind", {100000, 40005, 40005, 100010, 10, -60000, 40010});
        // Halves go to the later millisecond: -501.5 -> -501, 500.5 -> 501, -0.5 -> 0.
        row("odd negative sum", {1000, 500, 500, 1003, 3, -501, 502});
        row("odd positive sum", {1000, 1502, 1502, 1003, 3, 501, 1504});
        row("minus half", {1000, 1000, 1000, 1001, 1, 0, 1001});
        row("minus one and a half", {1000, 999, 999, 1001, 1, -1, 1000});
    }
    void arithmetic() {
        QFETCH(qint64, t1);
        QFETCH(qint64, t2);
        QFETCH(qint64, t3);
        QFETCH(qint64, t4);
        const SntpTimes times{t1, t2, t3, t4};
        QTEST(times.roundTrip(), "roundTrip");
        QTEST(times.clockOffset(), "offset");
        QTEST(times.newTime(), "newTime");
    }

    // An exchange across the wrap: we are still in 2036's era 0, the server already past it.
    // T1 is the millisecond stamped, not the truncated echo one lower.
    void exchangeAcrossWrap() {
        const qint64 t1 = WrapMs - 1501;
        const qint64 serverAhead = 2494;
        const qint64 oneWay = 7;
        const NtpTimestamp receive = ntpFromMs(t1 + oneWay + serverAhead);
        QCOMPARE(receive.seconds, 1u); // past the wrap
        const std::optional<SntpAnswer> a =
            parseSntpAnswer(answerBytes(0x1C, 1, ntpFromMs(t1), receive, receive));
        QVERIFY(a);
        const SntpTimes times = sntpTimes(*a, t1, t1 + 2 * oneWay);
        QCOMPARE(times.t1, t1);
        QCOMPARE(times.t2, t1 + oneWay + serverAhead);
        QCOMPARE(times.clockOffset(), serverAhead);
        QCOMPARE(times.roundTrip(), 2 * oneWay);
        QCOMPARE(times.newTime(), t1 + 2 * oneWay + serverAhead);
    }
};

QTEST_APPLESS_MAIN(TestSntp)
#include "tst_sntp.moc"
