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

// What one received line means to the GPS input. GGA and RMC are read from any talker (the
// two letters after "$": GP, GN, GL, GA, GB, BD, GQ, IN...); proprietary "$P..." sentences
// and every other type only show as "GPS Data".
struct GpsSentenceResult {
    // The line from its first "$" to the end; empty when it has none. The "GPS Data" text.
    QByteArray line;
    // False when the line carries a checksum ("*hh") that does not match its characters; such
    // a line changes nothing, and the fields below stay empty.
    bool checksumOk = true;
    // "$", an address of five capitals or digits and a good checksum: the receiver talks at
    // the port's speed, whatever the sentence says.
    bool wellFormed = false;
    // The talker of a GGA or RMC sentence ("GN"); empty for any other line.
    QByteArray talker;

    // From a GGA sentence: satellites in use (0 when the fix quality is 0 or the count is not
    // a number) and the state they give (none, one, more); its time field names the epoch.
    struct Gga {
        int satellites = 0;
        TimeState state = TimeState::NotSynchronised;
        QByteArray timeText;
    };
    std::optional<Gga> gga;

    // From an RMC sentence, read whole.
    struct Rmc {
        QByteArray timeText; // first 10 characters of the time field: the new GpsTimeText
        QByteArray dateText; // the date field: the new GpsDateText
        bool valid = true;   // status not "V": a receiver without a fix never sets the clock
        // The UTC instant in milliseconds since 1970; empty when a part of the date or time is
        // not valid, and then the clock is not set.
        std::optional<qint64> utcMs;
    };
    std::optional<Rmc> rmc;
};

// Interprets one line received from the GPS receiver, whatever the source; what it allows is
// for GpsFixTracker to say.
GpsSentenceResult interpretGpsSentence(const QByteArray& line);

// Whether the receiver's sentences of this connection allow setting the clock: only after a
// GGA of this connection gave state 2 ("no fix, no time"), only from RMCs whose status is not
// "V", once per epoch. GGAs with the same time field (one per constellation) count together:
// the best of them gives the state. While the last RMC says "V" the receiver has no fix
// whatever the GGA says, and the state says so too: the state and the fix change together,
// once per change, not once per sentence.
class GpsFixTracker {
public:
    // `start` stands for the state a GGA of this connection has already given.
    explicit GpsFixTracker(TimeState start = TimeState::NotSynchronised) : state_(start) {}

    // A new connection, or GPS chosen again: no fix until a GGA gives one.
    void restart() { *this = GpsFixTracker(); }

    struct Step {
        std::optional<TimeState> syncState; // from a GGA, or an RMC that changed it: the new SyncState
        bool rmcTaken = false;              // an RMC with a fix: GpsTimeText and GpsDateText follow it
        std::optional<qint64> setUtcMs;     // the instant to set the clock to (before any delay)
    };
    Step take(const GpsSentenceResult& sentence);

    // The last GGA says the receiver has a fix, and the last RMC does not deny it.
    bool fix() const { return fix_; }
    int satellites() const { return satellites_; }

private:
    TimeState state() const { return rmcVoid_ ? TimeState::NotSynchronised : state_; }
    TimeState state_; // as the GGAs give it
    bool rmcVoid_ = false;
    bool fix_ = false;
    int satellites_ = 0;
    QByteArray epoch_;    // time field of the last GGA
    QByteArray setEpoch_; // date and time of the RMC that last set the clock
};

} // namespace ks
