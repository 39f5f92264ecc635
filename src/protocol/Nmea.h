#pragma once

#include "protocol/SyncStatus.h"

#include <QByteArray>
#include <QList>

#include <optional>

namespace ks {

// Field n of an NMEA sentence, counted from 1: field 1 is the address without "$" ("GPGGA"),
// field 2 the text between the first and second comma, and so on. An empty field gives the
// empty text; the last field keeps its checksum ("A*1C"); a sentence that ends before field n
// comes back whole.
QByteArray GetNmeaField(const QByteArray& sentence, int n);

// Exclusive-or of the characters after a leading "$" (the whole text when there is none),
// as two upper-case hexadecimal digits.
QByteArray NmeaChecksum(const QByteArray& text);

// One SiRF rate-control sentence "$PSRF103,mm,mm,rr,cc*hh\r\n", ready to send.
QByteArray BuildRateControlSentence(int message, int mode, int rate, int checksumFlag);

// The six set-up sentences in the order they are sent once per connection: GGA and RMC every
// 5 seconds, GLL, GSA, GSV and VTG off.
QList<QByteArray> GpsSetupSentences();

// Joins received blocks into lines. A carriage return ends a line; a zero byte ends the
// block (the rest of it is ignored); every other byte, line feed included, is appended. The
// partial line survives across blocks and reconnections.
class NmeaLineAssembler {
public:
    // A partial line reaching this size is cut to its newest TailKept bytes, so a device that
    // never sends a carriage return cannot grow it without end. No NMEA sentence is longer
    // than 82 characters.
    static constexpr qsizetype MaxLine = 4096;
    static constexpr qsizetype TailKept = 256;

    // The lines completed by this block, in order, without their carriage return.
    QList<QByteArray> feed(const char* data, qsizetype size);

private:
    QByteArray line_;
};

// What one received line means to the GPS input.
struct GpsSentenceResult {
    // The line from its first "$" to the end; empty when it has none. The "GPS Data" text.
    QByteArray line;
    // False when the line carries a checksum ("*hh") that does not match its characters; such
    // a line changes nothing, and the fields below stay empty.
    bool checksumOk = true;
    // From a $GPGGA sentence: the new SyncState (not synchronised, synchronising or
    // synchronised by its satellite count: none, one, more).
    std::optional<TimeState> syncState;

    // From a $GPRMC sentence taken while SyncState was 2.
    struct Rmc {
        QByteArray timeText; // first 10 characters of the time field: the new GpsTimeText
        QByteArray dateText; // the date field: the new GpsDateText
        // The UTC instant in milliseconds since 1970; empty when a part of the date or time is
        // not valid, and then the clock is not set.
        std::optional<qint64> utcMs;
    };
    std::optional<Rmc> rmc;
};

// Interprets one line received from the GPS receiver, given the SyncState in force.
//
// The caller (only while SyncSource is GPS; lines from other sources are discarded
// unseen) does, in this order:
//  1. with "Show Debug": AddLogEntry(2, "GPS Data", result.line), even when !checksumOk;
//  2. if syncState is set: SyncState = *syncState;
//  3. if rmc is set: GpsTimeText = rmc->timeText, GpsDateText = rmc->dateText; then, if
//     rmc->utcMs is set: set the system clock in UTC to it (result ignored) and, with
//     "Show Debug", AddLogEntry(4, "Change Date/Time", GpsDateText + " " + GpsTimeText).
GpsSentenceResult interpretGpsSentence(const QByteArray& line, TimeState syncState);

} // namespace ks
