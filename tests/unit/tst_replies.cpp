#include "FakeClock.h"
#include "protocol/Replies.h"
#include "protocol/Requests.h"

#include <QTest>

using namespace ks;

Q_DECLARE_METATYPE(ks::DisplayMode)
Q_DECLARE_METATYPE(ks::StatusTriple)

namespace {
constexpr qint64 ExampleMs = 1796479509000; // 2026-12-05 14:05:09 UTC

qint64 utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return msFromCivil({y, mo, d, h, mi, s, ms});
}

// The instant as the clock would give it in a zone `offsetHours` east of UTC.
ReplyInstant at(qint64 utcMs, int offsetHours) {
    return {utcMs, civilFromMs(utcMs + qint64(offsetHours) * 3'600'000)};
}
} // namespace

class TestReplies : public QObject {
    Q_OBJECT
private slots:
    void replyFrames_data() {
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<int>("serial");
        QTest::addColumn<StatusTriple>("status");
        QTest::addColumn<DisplayMode>("mode");
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<int>("offsetHours");
        QTest::addColumn<QByteArray>("frame");
        const StatusTriple gpsSynced{1, 0, 2};
        const DisplayMode gmt = DisplayMode::Gmt;
        const DisplayMode loc = DisplayMode::Loc;
        const auto row = [](const char* name, const QByteArray& token, int serial,
                            StatusTriple status, DisplayMode mode, qint64 ms, int offsetHours,
                            const char* frame) {
            QTest::newRow(name) << token << serial << status << mode << ms << offsetHours
                                << QByteArray(frame);
        };
        // The three reference replies; the zone is an hour east so GMT mode must convert.
        row("KORVAT example", TokenKorvat, 42, gpsSynced, gmt, ExampleMs, 1,
            "{KORVAT00421796479509}");
        row("KORVAT1010 example", TokenKorvat1010, 42, gpsSynced, gmt, ExampleMs, 1,
            "{KORVAT_1_0_2_00421796479509}");
        row("QUORIX example", TokenQuorix, 42, gpsSynced, gmt, ExampleMs, 1,
            "{KORVAT_0042_14:05:09_05/12/26_05/12/26}");

        row("Korvat ignores the display mode", TokenKorvat, 42, gpsSynced, loc, ExampleMs, 1,
            "{KORVAT00421796479509}");
        row("whole seconds, not rounded", TokenKorvat, 42, gpsSynced, gmt, ExampleMs + 999, 0,
            "{KORVAT00421796479509}");
        row("serial 0", TokenKorvat, 0, gpsSynced, gmt, ExampleMs, 0, "{KORVAT00001796479509}");
        row("serial 7", TokenKorvat, 7, gpsSynced, gmt, ExampleMs, 0, "{KORVAT00071796479509}");
        row("serial 99", TokenKorvat, 99, gpsSynced, gmt, ExampleMs, 0, "{KORVAT00991796479509}");
        row("serial 999", TokenKorvat1010, 999, gpsSynced, gmt, ExampleMs, 0,
            "{KORVAT_1_0_2_09991796479509}");
        row("serial 9998", TokenQuorix, 9998, gpsSynced, gmt, ExampleMs, 0,
            "{KORVAT_9998_14:05:09_05/12/26_05/12/26}");
        row("KORVAT1010 PC clock, no serial input", TokenKorvat1010, 7, StatusTriple{0, 0, 3}, gmt,
            ExampleMs, 0, "{KORVAT_0_0_3_00071796479509}");
        row("KORVAT1010 NTP not synchronised", TokenKorvat1010, 7, StatusTriple{3, 0, 0}, gmt,
            ExampleMs, 0, "{KORVAT_3_0_0_00071796479509}");
        row("KORVAT1010 signed values", TokenKorvat1010, 7, StatusTriple{-1, 0, 12}, gmt, ExampleMs,
            0, "{KORVAT_-1_0_12_00071796479509}");
        row("epoch", TokenKorvat, 5, gpsSynced, gmt, qint64(0), 0, "{KORVAT00050}");

        row("LOC across midnight: local 6 Dec, UTC still 5 Dec", TokenQuorix, 42, gpsSynced, loc,
            utc(2026, 12, 5, 23, 30), 1, "{KORVAT_0042_00:30:00_06/12/26_05/12/26}");
        row("GMT across midnight shows UTC", TokenQuorix, 42, gpsSynced, gmt,
            utc(2026, 12, 5, 23, 30), 1, "{KORVAT_0042_23:30:00_05/12/26_05/12/26}");
        row("LOC west of UTC, back into 1999", TokenQuorix, 1, gpsSynced, loc, utc(2000, 1, 1, 3),
            -5, "{KORVAT_0001_22:00:00_31/12/99_01/01/00}");
        row("year 1999", TokenQuorix, 1, gpsSynced, gmt, utc(1999, 12, 31, 23, 59, 59), 2,
            "{KORVAT_0001_23:59:59_31/12/99_31/12/99}");
        row("year 2000", TokenQuorix, 1, gpsSynced, gmt, utc(2000, 1, 1), 0,
            "{KORVAT_0001_00:00:00_01/01/00_01/01/00}");
        row("year 2099", TokenQuorix, 1, gpsSynced, loc, utc(2099, 12, 31, 12, 0, 1), 0,
            "{KORVAT_0001_12:00:01_31/12/99_31/12/99}");
        row("one instant: the last millisecond of a second stays in it", TokenQuorix, 1, gpsSynced,
            gmt, utc(2026, 12, 5, 23, 59, 59, 999), 1, "{KORVAT_0001_23:59:59_05/12/26_05/12/26}");
    }
    void replyFrames() {
        QFETCH(QByteArray, token);
        QFETCH(int, serial);
        QFETCH(StatusTriple, status);
        QFETCH(DisplayMode, mode);
        QFETCH(qint64, ms);
        QFETCH(int, offsetHours);
        QFETCH(QByteArray, frame);
        // The text comes from the instant handed in, never from the clock.
        test::FakeClock clock(utc(2031, 3, 3, 3, 3, 3));
        QCOMPARE(
            replyFrame(replyText(token, ReplyContext{serial, status, mode, at(ms, offsetHours)})),
            frame);

        QString error;
        const std::optional<ParsedReply> parsed = parseReply(frame, token, &error);
        QVERIFY2(parsed, qPrintable(error));
        QCOMPARE(parsed->replySerial, serial);
        if (token == TokenQuorix) {
            const CivilTime expected =
                civilFromMs(mode == DisplayMode::Loc ? ms + offsetHours * 3'600'000 : ms);
            const CivilTime utcDay = civilFromMs(ms);
            const auto& c = parsed->clock;
            const auto& d = parsed->utcDate;
            QCOMPARE((QList<int>{c.hour, c.minute, c.second, c.day, c.month, c.year}),
                     (QList<int>{expected.hour, expected.minute, expected.second, expected.day,
                                 expected.month, expected.year % 100}));
            QCOMPARE((QList<int>{d.day, d.month, d.year}),
                     (QList<int>{utcDay.day, utcDay.month, utcDay.year % 100}));
        } else {
            QCOMPARE(parsed->seconds, ms / 1000);
            if (token == TokenKorvat1010) QCOMPARE(parsed->status, status);
        }
    }

    void unknownTokenGivesNoText() {
        QCOMPARE(replyText("KORVAT1012", ReplyContext{1, {}, DisplayMode::Gmt, at(ExampleMs, 0)}),
                 QByteArray());
    }

    void localToGmt_data() {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<int>("offsetHours");
        QTest::newRow("east, across midnight") << utc(2026, 12, 5, 23, 30) << 1;
        QTest::newRow("west, across the new year") << utc(2000, 1, 1, 3) << -5;
        QTest::newRow("last millisecond of a second") << utc(2026, 12, 5, 14, 5, 9, 999) << 13;
    }
    void localToGmt() {
        QFETCH(qint64, ms);
        QFETCH(int, offsetHours);
        const ReplyInstant now = at(ms, offsetHours);
        QCOMPARE(ks::localToGmt(now.local, now), civilFromMs(ms));
        // Another local date-time moves by the same offset.
        CivilTime noon = now.local;
        noon.hour = 12;
        noon.minute = noon.second = noon.msec = 0;
        QCOMPARE(msFromCivil(ks::localToGmt(noon, now)),
                 msFromCivil(noon) - qint64(offsetHours) * 3'600'000);
    }

    void malformedReplies_data() {
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<QByteArray>("frame");
        const QByteArray k = TokenKorvat, k1010 = TokenKorvat1010, q = TokenQuorix;
        QTest::newRow("empty") << k << QByteArray();
        QTest::newRow("no braces") << k << QByteArray("KORVAT00421796479509");
        QTest::newRow("no closing brace") << k << QByteArray("{KORVAT00421796479509");
        QTest::newRow("text after the frame") << k << QByteArray("{KORVAT00421796479509}\r\n");
        QTest::newRow("two frames")
            << k << QByteArray("{KORVAT00421796479509}{KORVAT00421796479509}");
        QTest::newRow("lower case") << k << QByteArray("{korvat00421796479509}");
        QTest::newRow("serial short") << k << QByteArray("{KORVAT042}");
        QTest::newRow("serial 9999") << k << QByteArray("{KORVAT99991796479509}");
        QTest::newRow("no seconds") << k << QByteArray("{KORVAT0042}");
        QTest::newRow("seconds with leading zero") << k << QByteArray("{KORVAT004201796479509}");
        QTest::newRow("seconds with plus sign") << k << QByteArray("{KORVAT0042+1796479509}");
        QTest::newRow("seconds with a space") << k << QByteArray("{KORVAT0042 1796479509}");
        QTest::newRow("1010 reply to a 1001 request")
            << k << QByteArray("{KORVAT_1_0_2_00421796479509}");
        QTest::newRow("1001 reply to a 1010 request")
            << k1010 << QByteArray("{KORVAT00421796479509}");
        QTest::newRow("1010 missing state") << k1010 << QByteArray("{KORVAT_1_0_00421796479509}");
        QTest::newRow("1010 state with leading zero")
            << k1010 << QByteArray("{KORVAT_1_0_02_00421796479509}");
        QTest::newRow("1010 minus zero") << k1010 << QByteArray("{KORVAT_-0_0_2_00421796479509}");
        QTest::newRow("1010 value beyond 16 bits")
            << k1010 << QByteArray("{KORVAT_1_0_40000_00421796479509}");
        QTest::newRow("quorix with a Korvat reply") << q << QByteArray("{KORVAT00421796479509}");
        QTest::newRow("quorix hour 24")
            << q << QByteArray("{KORVAT_0042_24:05:09_05/12/26_05/12/26}");
        QTest::newRow("quorix 31 November")
            << q << QByteArray("{KORVAT_0042_14:05:09_31/11/26_05/12/26}");
        QTest::newRow("quorix one-digit day")
            << q << QByteArray("{KORVAT_0042_14:05:09_5/12/26_05/12/26}");
        QTest::newRow("quorix utc month 13")
            << q << QByteArray("{KORVAT_0042_14:05:09_05/12/26_05/13/26}");
        QTest::newRow("quorix dash in utc date")
            << q << QByteArray("{KORVAT_0042_14:05:09_05/12/26_05-12-26}");
        QTest::newRow("quorix missing utc date")
            << q << QByteArray("{KORVAT_0042_14:05:09_05/12/26}");
        QTest::newRow("unknown token")
            << QByteArray("KORVAT1012") << QByteArray("{KORVAT00421796479509}");
    }
    void malformedReplies() {
        QFETCH(QByteArray, token);
        QFETCH(QByteArray, frame);
        QString error;
        QVERIFY(!parseReply(frame, token, &error));
        QVERIFY(!error.isEmpty());
    }

    void quorixYearOfThreeDigitsIsRead() {
        // From 2100 on the UTC date's year is the years since 2000, three digits.
        const QByteArray frame = "{KORVAT_0001_00:00:00_01/01/00_01/01/100}";
        QCOMPARE(replyFrame(replyText(
                     TokenQuorix, ReplyContext{1, {}, DisplayMode::Gmt, at(utc(2100, 1, 1), 0)})),
                 frame);
        const std::optional<ParsedReply> parsed = parseReply(frame, TokenQuorix);
        QVERIFY(parsed);
        QCOMPARE(parsed->utcDate.year, 100);
    }

    void statusMessages_data() {
        QTest::addColumn<StatusTriple>("status");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("meaning");
        QTest::newRow("GPS synchronised")
            << StatusTriple{1, 0, 2} << QByteArray("1_0_2") << QStringLiteral("GPS, synchronised");
        QTest::newRow("PC clock") << StatusTriple{0, 0, 0} << QByteArray("0_0_0")
                                  << QStringLiteral("PC clock, not synchronised");
        QTest::newRow("NTP synchronising")
            << StatusTriple{3, 0, 1} << QByteArray("3_0_1") << QStringLiteral("NTP, synchronising");
        QTest::newRow("GPS without input") << StatusTriple{1, 0, 3} << QByteArray("1_0_3")
                                           << QStringLiteral("GPS, no serial input");
        QTest::newRow("shutdown") << ShutdownStatus << QByteArray("0_0_9")
                                  << QStringLiteral("server shutting down");
        QTest::newRow("unknown values") << StatusTriple{2, 5, -4} << QByteArray("2_5_-4")
                                        << QStringLiteral("source 2, state -4, reserved 5");
    }
    void statusMessages() {
        QFETCH(StatusTriple, status);
        QFETCH(QByteArray, text);
        QFETCH(QString, meaning);
        QCOMPARE(statusMessage(status), text);
        QCOMPARE(parseStatusMessage(text), std::optional<StatusTriple>(status));
        QCOMPARE(statusMeaning(status), meaning);
    }

    void badStatusMessages_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("two values") << QByteArray("1_0");
        QTest::newRow("four values") << QByteArray("1_0_2_3");
        QTest::newRow("line end") << QByteArray("1_0_2\n");
        QTest::newRow("terminator") << QByteArray("1_0_2\0", 6);
        QTest::newRow("leading zero") << QByteArray("01_0_2");
        QTest::newRow("letters") << QByteArray("a_b_c");
    }
    void badStatusMessages() {
        QFETCH(QByteArray, text);
        QVERIFY(!parseStatusMessage(text));
    }
};

QTEST_APPLESS_MAIN(TestReplies)
#include "tst_replies.moc"
