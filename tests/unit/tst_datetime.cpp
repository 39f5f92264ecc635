#include "FakeClock.h"
#include "platform/SystemClock.h"
#include "protocol/CivilTime.h"
#include "protocol/DateFormat.h"

#include <QTest>

#include <cstdlib>
#include <ctime>

using namespace ks;

namespace {
qint64 utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return msFromCivil({y, mo, d, h, mi, s, ms});
}

void setZone(const char* tz) {
    qputenv("TZ", tz);
    tzset();
}
} // namespace

class TestDateTime : public QObject {
    Q_OBJECT
private slots:
    void civilRoundTrip_data() {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QString>("text");
        QTest::newRow("epoch") << qint64(0) << "1970-01-01 00:00:00.000";
        QTest::newRow("before epoch") << qint64(-1) << "1969-12-31 23:59:59.999";
        QTest::newRow("reply example") << qint64(1796479509000) << "2026-12-05 14:05:09.000";
        QTest::newRow("leap day 2000") << utc(2000, 2, 29, 12) << "2000-02-29 12:00:00.000";
        QTest::newRow("2036 NTP era end") << qint64(2085978496000) << "2036-02-07 06:28:16.000";
        QTest::newRow("2099 last day") << utc(2099, 12, 31, 23, 59, 59, 999) << "2099-12-31 23:59:59.999";
    }
    void civilRoundTrip() {
        QFETCH(qint64, ms);
        QFETCH(QString, text);
        const CivilTime t = civilFromMs(ms);
        QCOMPARE(QString::fromLatin1(formatDateTime("yyyy-mm-dd hh:nn:ss.zzz", t)), text);
        QCOMPARE(msFromCivil(t), ms);
        QVERIFY(isValidCivil(t));
    }

    void patterns_data() {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QByteArray>("pattern");
        QTest::addColumn<QByteArray>("expected");
        const qint64 t = utc(2009, 3, 24, 10, 15, 7, 250);
        QTest::newRow("clock hh") << t << QByteArray("hh") << QByteArray("10");
        QTest::newRow("clock nn is minutes") << t << QByteArray("nn") << QByteArray("15");
        QTest::newRow("mm is the month") << t << QByteArray("mm") << QByteArray("03");
        QTest::newRow("date label") << t << QByteArray("ddd dd mmm yyyy") << QByteArray("Tue 24 Mar 2009");
        QTest::newRow("log time") << t << QByteArray("hh:nn:ss") << QByteArray("10:15:07");
        QTest::newRow("csv name") << t << QByteArray("dd-mm-yy-hh-nn-ss") << QByteArray("24-03-09-10-15-07");
        QTest::newRow("quorix clock") << t << QByteArray("hh:nn:ss_dd/mm/yy") << QByteArray("10:15:07_24/03/09");
        QTest::newRow("midnight") << utc(2026, 12, 6) << QByteArray("hh:nn:ss ddd") << QByteArray("00:00:00 Sun");
        QTest::newRow("year 2000 two digits") << utc(2000, 1, 1) << QByteArray("dd/mm/yy") << QByteArray("01/01/00");
        QTest::newRow("year 2099 two digits") << utc(2099, 12, 31) << QByteArray("dd/mm/yy ddd") << QByteArray("31/12/99 Thu");
        QTest::newRow("milliseconds padded") << utc(2009, 3, 24, 1, 2, 3, 7) << QByteArray("hh:nn:ss.zzz") << QByteArray("01:02:03.007");
        QTest::newRow("year padded to four") << utc(999, 5, 9) << QByteArray("yyyy-mm-dd") << QByteArray("0999-05-09");
        QTest::newRow("five-digit year whole") << utc(10000, 1, 1) << QByteArray("yyyy") << QByteArray("10000");
        QTest::newRow("literals kept") << t << QByteArray("x_-/:T") << QByteArray("x_-/:T");
    }
    void patterns() {
        QFETCH(qint64, ms);
        QFETCH(QByteArray, pattern);
        QFETCH(QByteArray, expected);
        QCOMPARE(formatDateTime(pattern.constData(), civilFromMs(ms)), expected);
    }

    void localTimeFollowsTz_data() {
        QTest::addColumn<QByteArray>("tz");
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QByteArray>("local");
        QTest::addColumn<int>("offset");
        QTest::newRow("UTC") << QByteArray("UTC") << utc(2026, 12, 5, 23, 30) << QByteArray("05/12/26 23:30:00") << 0;
        QTest::newRow("CET winter, across midnight") << QByteArray("Europe/Berlin") << utc(2026, 12, 5, 23, 30)
                                                     << QByteArray("06/12/26 00:30:00") << 3600;
        QTest::newRow("CEST summer") << QByteArray("Europe/Berlin") << utc(2026, 7, 1, 12) << QByteArray("01/07/26 14:00:00") << 7200;
        QTest::newRow("west of UTC") << QByteArray("America/New_York") << utc(2000, 1, 1, 3)
                                     << QByteArray("31/12/99 22:00:00") << -18000;
        QTest::newRow("fixed POSIX zone") << QByteArray("XST-5:30") << utc(2026, 1, 1) << QByteArray("01/01/26 05:30:00") << 19800;
    }
    void localTimeFollowsTz() {
        QFETCH(QByteArray, tz);
        QFETCH(qint64, ms);
        QFETCH(QByteArray, local);
        QFETCH(int, offset);
        setZone(tz.constData());
        const CivilTime l = toLocal(ms + 123);
        QCOMPARE(formatDateTime("dd/mm/yy hh:nn:ss", l), local);
        QCOMPARE(l.msec, 123);
        QCOMPARE(utcOffsetSeconds(ms), offset);
        QCOMPARE(fromLocal(l), ms + 123);
        setZone("UTC");
    }

    void injectedClockIsTheOneInForce() {
        const qint64 real = systemClock().nowMs();
        {
            test::FakeClock fake(utc(2026, 12, 6, 12, 59, 59, 900));
            QCOMPARE(systemClock().nowMs(), utc(2026, 12, 6, 12, 59, 59, 900));
            QCOMPARE(formatDateTime("hh:nn:ss", localNow()), QByteArray("12:59:59"));
        }
        QVERIFY(qAbs(systemClock().nowMs() - real) < 60'000);
    }

    void clockLogRecordsInsteadOfSetting() {
        QCOMPARE(clockLogLine(utc(2009, 3, 24, 10, 15, 0, 250), ClockSetKind::Utc),
                 QByteArray("2009-03-24T10:15:00.250Z utc"));
        QCOMPARE(clockLogLine(utc(2036, 2, 7, 6, 28, 16, 5), ClockSetKind::Local),
                 QByteArray("2036-02-07T06:28:16.005Z local"));
    }
};

QTEST_APPLESS_MAIN(TestDateTime)
#include "tst_datetime.moc"
