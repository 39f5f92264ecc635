#include "protocol/CivilTime.h"
#include "protocol/DateFormat.h"
#include "protocol/Nmea.h"

#include <QTest>

using namespace ks;

namespace {
// Checksums of these two are the ones published with the sentences, not computed here.
const QByteArray Gga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47";
const QByteArray Rmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A";

QByteArray ggaWithSatellites(const QByteArray& satellites) {
    return "$GPGGA,101500.000,4807.038,N,01131.000,E,1," + satellites + ",0.9,545.4,M,46.9,M,,";
}

QByteArray rmcAt(const QByteArray& time, const QByteArray& date) {
    return "$GPRMC," + time + ",A,4807.038,N,01131.000,E,022.4,084.4," + date + ",003.1,W";
}

QByteArray isoText(qint64 utcMs) {
    return formatDateTime("yyyy-mm-dd hh:nn:ss.zzz", civilFromMs(utcMs));
}

using Lines = QList<QByteArray>;
} // namespace

class TestNmea : public QObject {
    Q_OBJECT
private slots:
    void field_data() {
        QTest::addColumn<QByteArray>("sentence");
        QTest::addColumn<int>("n");
        QTest::addColumn<QByteArray>("field");
        QTest::newRow("address without $") << Gga << 1 << QByteArray("GPGGA");
        QTest::newRow("GGA satellites") << Gga << 8 << QByteArray("08");
        QTest::newRow("empty field between commas") << Gga << 14 << QByteArray("");
        QTest::newRow("last field keeps checksum") << Gga << 15 << QByteArray("*47");
        QTest::newRow("past the end: whole sentence") << Gga << 16 << Gga;
        QTest::newRow("field 0: whole sentence") << Gga << 0 << Gga;
        QTest::newRow("RMC date") << Rmc << 10 << QByteArray("230394");
        QTest::newRow("short GGA has no field 8")
            << QByteArray("$GPGGA,123519,4807.038") << 8 << QByteArray("$GPGGA,123519,4807.038");
        QTest::newRow("trailing comma stays in the last field")
            << QByteArray("$A,B,") << 2 << QByteArray("B,");
        QTest::newRow("lone $") << QByteArray("$") << 1 << QByteArray("");
        QTest::newRow("empty sentence") << QByteArray() << 1 << QByteArray();
        QTest::newRow("leading comma") << QByteArray(",A") << 1 << QByteArray("");
    }
    void field() {
        QFETCH(QByteArray, sentence);
        QFETCH(int, n);
        QFETCH(QByteArray, field);
        QCOMPARE(GetNmeaField(sentence, n), field);
    }

    void checksum_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("checksum");
        QTest::newRow("set-up sentence") << QByteArray("$PSRF103,00,00,05,01") << QByteArray("21");
        QTest::newRow("without $") << QByteArray("PSRF103,04,00,05,01") << QByteArray("25");
        QTest::newRow("published GGA") << Gga.left(Gga.indexOf('*')) << QByteArray("47");
        QTest::newRow("published RMC") << Rmc.left(Rmc.indexOf('*')) << QByteArray("6A");
        QTest::newRow("empty") << QByteArray() << QByteArray("00");
        QTest::newRow("one digit is padded") << QByteArray("$A") << QByteArray("41");
        QTest::newRow("high bit") << QByteArray("\xb5") << QByteArray("B5");
    }
    void checksum() {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, checksum);
        QCOMPARE(NmeaChecksum(text), checksum);
    }

    void setupSentences() {
        const Lines expected = {
            "$PSRF103,00,00,05,01*21\r\n", "$PSRF103,04,00,05,01*25\r\n",
            "$PSRF103,01,00,00,01*25\r\n", "$PSRF103,02,00,00,01*26\r\n",
            "$PSRF103,03,00,00,01*27\r\n", "$PSRF103,05,00,00,01*21\r\n",
        };
        QCOMPARE(GpsSetupSentences(), expected);
        // Upper-case hexadecimal, at least two digits.
        QCOMPARE(BuildRateControlSentence(26, 255, 256, 0),
                 QByteArray("$PSRF103,1A,FF,100,00*64\r\n"));
    }

    void satellites_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("state");
        QTest::newRow("00") << ggaWithSatellites("00") << 0;
        QTest::newRow("01") << ggaWithSatellites("01") << 1;
        QTest::newRow("07") << ggaWithSatellites("07") << 2;
        QTest::newRow("12") << ggaWithSatellites("12") << 2;
        QTest::newRow("empty") << ggaWithSatellites("") << 0;
        QTest::newRow("garbage") << ggaWithSatellites("0x") << 0;
        QTest::newRow("+7") << ggaWithSatellites("+7") << 2;
        QTest::newRow("+1") << ggaWithSatellites("+1") << 1;
        QTest::newRow("-1") << ggaWithSatellites("-1") << 2;
        QTest::newRow("-0") << ggaWithSatellites("-0") << 0;
        QTest::newRow("sign alone") << ggaWithSatellites("+") << 0;
        QTest::newRow("two signs") << ggaWithSatellites("+-1") << 0;
        QTest::newRow("blank inside") << ggaWithSatellites("- 1") << 0;
        QTest::newRow("largest int") << ggaWithSatellites("2147483647") << 2;
        QTest::newRow("smallest int") << ggaWithSatellites("-2147483648") << 2;
        QTest::newRow("beyond int") << ggaWithSatellites("2147483648") << 0;
        QTest::newRow("long zeros, 1") << ggaWithSatellites("0000000000001") << 1;
        QTest::newRow("fewer than 8 fields") << QByteArray("$GPGGA,123519,4807.038") << 0;
        QTest::newRow("published, checksum good") << Gga << 2;
        QTest::newRow("checksum with 07") << ggaWithSatellites("07") + "*5E" << 2;
        QTest::newRow("lower-case checksum") << ggaWithSatellites("07") + "*5e" << 2;
        QTest::newRow("text before $") << "\n\x7f junk" + ggaWithSatellites("07") << 2;
        QTest::newRow("field 8 beyond 70 characters is cut")
            << "$GPGGA,1,2,3,4,5," + QByteArray(60, 'x') + ",07" << 0;
    }
    void satellites() {
        QFETCH(QByteArray, line);
        QFETCH(int, state);
        for (const TimeState before : {TimeState::NotSynchronised, TimeState::Synchronised, TimeState::NoSerialInput}) {
            const GpsSentenceResult r = interpretGpsSentence(line, before);
            QVERIFY(r.checksumOk);
            QCOMPARE(r.syncState, std::optional<TimeState>(TimeState(state)));
            QVERIFY(!r.rmc);
        }
    }

    void rmcInstant_data() {
        QTest::addColumn<QByteArray>("time");
        QTest::addColumn<QByteArray>("date");
        QTest::addColumn<QByteArray>("instant"); // empty: the clock is not set
        const auto row = [](const char* name, const char* time, const char* date,
                            const char* instant) {
            QTest::newRow(name) << QByteArray(time) << QByteArray(date) << QByteArray(instant);
        };
        row("three fraction digits", "101500.250", "240309", "2009-03-24 10:15:00.250");
        row("one digit is tenths", "101500.5", "240309", "2009-03-24 10:15:00.500");
        row("two digits are hundredths", "101500.05", "240309", "2009-03-24 10:15:00.050");
        row("thousandths", "101500.005", "240309", "2009-03-24 10:15:00.005");
        row("whole second sets the clock", "101500", "240309", "2009-03-24 10:15:00.000");
        row("point without digits", "101500.", "240309", "2009-03-24 10:15:00.000");
        row("fourth digit cut off", "101500.2509", "240309", "2009-03-24 10:15:00.250");
        row("last instant of 2099", "235959.999", "311299", "2099-12-31 23:59:59.999");
        row("first instant of 2000", "000000.000", "010100", "2000-01-01 00:00:00.000");
        row("year end", "235959.500", "311208", "2008-12-31 23:59:59.500");
        row("new year", "000000.000", "010109", "2009-01-01 00:00:00.000");
        row("leap day 2000", "120000", "290200", "2000-02-29 12:00:00.000");
        row("end of February", "235959.9", "280209", "2009-02-28 23:59:59.900");
        row("first of March", "000000.1", "010309", "2009-03-01 00:00:00.100");
        row("end of April", "120000", "300426", "2026-04-30 12:00:00.000");
        row("no leap day 2009", "120000", "290209", "");
        row("31 April", "120000", "310409", "");
        row("month 13", "120000", "011309", "");
        row("day 0", "120000", "000109", "");
        row("hour 24", "240000", "240309", "");
        row("minute 60", "106000", "240309", "");
        row("second 60", "101560", "240309", "");
        row("short time", "10150", "240309", "");
        row("letter in time", "1015a0", "240309", "");
        row("no point before fraction", "1015002", "240309", "");
        row("letter in fraction", "101500.2x", "240309", "");
        row("signed part", "10-500", "240309", "");
        row("empty time", "", "240309", "");
        row("empty date", "101500", "", "");
        row("short date", "101500", "24039", "");
        row("long date", "101500", "2403091", "");
    }
    void rmcInstant() {
        QFETCH(QByteArray, time);
        QFETCH(QByteArray, date);
        QFETCH(QByteArray, instant);
        const GpsSentenceResult r = interpretGpsSentence(rmcAt(time, date), TimeState::Synchronised);
        QVERIFY(r.checksumOk);
        QVERIFY(!r.syncState);
        QVERIFY(r.rmc);
        QCOMPARE(r.rmc->timeText, time.left(10));
        QCOMPARE(r.rmc->dateText, date);
        if (instant.isEmpty()) {
            QVERIFY(!r.rmc->utcMs);
        } else {
            QVERIFY(r.rmc->utcMs);
            QCOMPARE(isoText(*r.rmc->utcMs), instant);
        }
    }

    void lineCutAtFirstDollar_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("cut");
        QTest::addColumn<bool>("used");
        QTest::newRow("line feed of the CR LF pair") << "\n" + Rmc << Rmc << true;
        QTest::newRow("noise before $") << "\xff\x01noise" + Rmc << Rmc << true;
        QTest::newRow("no $ at all") << QByteArray("GPRMC,123519,A") << QByteArray() << false;
        QTest::newRow("empty line") << QByteArray() << QByteArray() << false;
        QTest::newRow("RMC not at the start of the cut line")
            << QByteArray("$GPXXX,1,") + Rmc.left(Rmc.indexOf('*'))
            << QByteArray("$GPXXX,1,") + Rmc.left(Rmc.indexOf('*')) << false;
        QTest::newRow("other sentence")
            << QByteArray("$GPGSV,3,1,11") << QByteArray("$GPGSV,3,1,11") << false;
    }
    void lineCutAtFirstDollar() {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, cut);
        QFETCH(bool, used);
        const GpsSentenceResult r = interpretGpsSentence(line, TimeState::Synchronised);
        QCOMPARE(r.line, cut);
        QCOMPARE(bool(r.rmc), used);
        QVERIFY(!r.syncState);
    }

    void wrongChecksumIsDropped_data() {
        QTest::addColumn<QByteArray>("line");
        QByteArray flipped = Gga;
        flipped[Gga.indexOf(",08,") + 2] = '7'; // 07 satellites under the checksum of 08
        QTest::newRow("GGA field changed") << flipped;
        QTest::newRow("GGA checksum changed") << QByteArray(Gga).replace("*47", "*48");
        QTest::newRow("RMC date changed") << QByteArray(Rmc).replace("230394", "230395");
        QTest::newRow("one checksum digit") << QByteArray(Gga).replace("*47", "*4");
        QTest::newRow("no checksum digits") << QByteArray(Gga).replace("*47", "*");
        QTest::newRow("checksum not hexadecimal") << QByteArray(Gga).replace("*47", "*G7");
    }
    void wrongChecksumIsDropped() {
        QFETCH(QByteArray, line);
        const GpsSentenceResult r = interpretGpsSentence("\n" + line, TimeState::Synchronised);
        QVERIFY(!r.checksumOk);
        QCOMPARE(r.line, line); // still shown as "GPS Data"
        QVERIFY(!r.syncState);
        QVERIFY(!r.rmc);
    }

    void assembleLines_data() {
        QTest::addColumn<Lines>("chunks");
        QTest::addColumn<Lines>("lines");
        QTest::newRow("split over chunks")
            << Lines{"$GPG", "GA,1*", "00\r"} << Lines{"$GPGGA,1*00"};
        QTest::newRow("two in one chunk") << Lines{"$A,1\r$B,2\r"} << Lines{"$A,1", "$B,2"};
        QTest::newRow("CR LF pairs")
            << Lines{"$A\r\n$B\r\n", "$C\r"} << Lines{"$A", "\n$B", "\n$C"};
        QTest::newRow("zero byte ends the chunk")
            << Lines{QByteArray("$A\0junk\r", 8), "BC\r"} << Lines{"$ABC"};
        QTest::newRow("zero byte first") << Lines{QByteArray("\0\r", 2)} << Lines{};
        QTest::newRow("line feed alone ends nothing") << Lines{"$A\n$B\n"} << Lines{};
        QTest::newRow("bare carriage return") << Lines{"\r"} << Lines{""};
        QTest::newRow("empty chunk keeps the line") << Lines{"$A", "", "B\r"} << Lines{"$AB"};
        QTest::newRow("byte by byte")
            << Lines{"$", "G", "\r", "\n", "$", "\r"} << Lines{"$G", "\n$"};
    }
    void assembleLines() {
        QFETCH(Lines, chunks);
        QFETCH(Lines, lines);
        NmeaLineAssembler assembler;
        Lines got;
        for (const QByteArray& chunk : chunks)
            got += assembler.feed(chunk.constData(), chunk.size());
        QCOMPARE(got, lines);
    }

    void chunkSizeIsRespected() {
        NmeaLineAssembler assembler;
        const QByteArray data = "$A\r$B\r";
        QCOMPARE(assembler.feed(data.constData(), 3), Lines{"$A"});
        QCOMPARE(assembler.feed(data.constData() + 3, 2), Lines{});
        QCOMPARE(assembler.feed("\r", 1), Lines{"$B"});
    }

    void endlessLineStaysBounded() {
        // A device that never sends a carriage return must not grow the pending line for ever;
        // a sentence that follows the noise is still read.
        NmeaLineAssembler assembler;
        const QByteArray noise(1000, 'x');
        for (int i = 0; i < 1000; ++i)
            QVERIFY(assembler.feed(noise.constData(), noise.size()).isEmpty());
        const QByteArray tail = "\n" + Gga + "\r";
        const Lines lines = assembler.feed(tail.constData(), tail.size());
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines[0].size() <= NmeaLineAssembler::MaxLine);
        QVERIFY(lines[0].endsWith("\n" + Gga));
        const GpsSentenceResult r = interpretGpsSentence(lines[0], TimeState::NotSynchronised);
        QCOMPARE(r.line, Gga);
        QCOMPARE(r.syncState, std::optional<TimeState>(TimeState::Synchronised));
    }
};

QTEST_APPLESS_MAIN(TestNmea)
#include "tst_nmea.moc"
