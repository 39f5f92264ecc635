#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

namespace ks {

// SNTP packets (RFC 2030 layout, version 3, client mode) and NTP timestamps.
//
// All times here are instants in milliseconds since 1970-01-01 00:00 UTC. The clock is
// finally set as local time, but local time and UTC name the same instant: converting
// through the zone bias and back would cancel out, and near a daylight-time change the
// local reading can be ambiguous, so no zone arithmetic takes place at all.

// An NTP timestamp: seconds since 1900-01-01 00:00 UTC and a fraction in units of 2^-32 s.
// The 32-bit seconds field wraps on 2036-02-07 06:28:16 UTC. A value with the top bit set
// is read in the era that began in 1900, one with the top bit clear in the era that began
// in 2036, so the range served is 1968-01-20 03:14:08 UTC to 2104-02-26 09:42:23 UTC.
struct NtpTimestamp {
    quint32 seconds = 0;
    quint32 fraction = 0;

    bool isZero() const { return seconds == 0 && fraction == 0; }
    bool operator==(const NtpTimestamp&) const = default;
};

constexpr int SntpPacketSize = 48;
constexpr quint16 SntpDefaultPort = 123;

// The fraction is truncated to whole units of 2^-32 s. Read back by msFromNtp, a
// millisecond that is not a multiple of 125 ms comes out one lower.
NtpTimestamp ntpFromMs(qint64 utcMs);
NtpTimestamp ntpFromNs(qint64 utcNs);
// A timestamp at a byte offset of a packet, big-endian; the packet holds offset + 8 bytes.
NtpTimestamp readTimestamp(const QByteArray& data, int offset);
void writeTimestamp(QByteArray& data, int offset, NtpTimestamp ts);
// The fraction is truncated to whole milliseconds (0.9999 s gives 999 ms).
qint64 msFromNtp(NtpTimestamp ts);

// The 48-byte client request: 0x1B (LI 0, version 3, mode 3), zeros, and the transmit
// timestamp in bytes 40-47, big-endian.
QByteArray sntpRequest(NtpTimestamp transmit);

// True when the datagram's originate timestamp (bytes 24-31) is the transmit timestamp of
// our request: only such a datagram answers it. A datagram too short to hold the field
// answers nothing.
bool sntpAnswers(const QByteArray& datagram, NtpTimestamp requestTransmit);

// The fields of an answer that are used.
struct SntpAnswer {
    int leap = 0; // LI, the top two bits of byte 0; 3 = server clock not synchronised
    int stratum = 0;
    // The server's own distance from its reference (bytes 4-7 and 8-11), in ms.
    double rootDelayMs = 0;
    double rootDispersionMs = 0;
    QByteArray referenceId; // bytes 12-15: a stratum-0 answer's four-letter kiss code
    NtpTimestamp originate;
    NtpTimestamp receive;
    NtpTimestamp transmit;
};

// Empty when fewer than 48 bytes arrived; longer datagrams are read in their first 48 bytes.
std::optional<SntpAnswer> parseSntpAnswer(const QByteArray& datagram);

// Why an answer must be disregarded, in the operator's words; empty for a usable one. With
// stratumCheck a stratum-0 answer is a kiss-o'-death ("kiss-o'-death RATE") and one above 15
// is refused ("stratum 16"); whatever the check, LI 3 ("server not synchronised (leap
// indicator 3)") and a zero transmit timestamp.
QByteArray sntpRefusal(const SntpAnswer& answer, bool stratumCheck);

// Words for a datagram that is no answer at all.
constexpr char SntpTooShort[] = "answer too short";
constexpr char SntpNotMatching[] = "answer not matching the request";

// One exchange: T1 request sent, T2 server receive,
// T3 server transmit, T4 answer arrived. All in ms since 1970 UTC.
struct SntpTimes {
    qint64 t1 = 0;
    qint64 t2 = 0;
    qint64 t3 = 0;
    qint64 t4 = 0;

    // (T4 - T1) - (T2 - T3): note T2 - T3, so the server's processing time counts twice.
    qint64 roundTrip() const { return (t4 - t1) - (t2 - t3); }
    // ((T2 - T1) + (T3 - T4)) / 2. An exact half lies between two milliseconds and goes to
    // the later one: T2 and T3 are truncated and so read early, and dropping the half as well
    // would add to that bias.
    qint64 clockOffset() const {
        const qint64 twice = (t2 - t1) + (t3 - t4);
        return (twice + 1) >> 1; // floor((twice + 1) / 2); >> is arithmetic in C++20
    }
    // The time the clock is set to: T1 + ClockOffset + RoundTrip. With symmetric one-way
    // delays this is the server's clock at T4 plus the server's processing time (T3 - T2).
    qint64 newTime() const { return t1 + clockOffset() + roundTrip(); }
};

// The times of an answer to the request sent at sentMs, T4 being the arrival time. Only an
// answer echoing our transmit timestamp is taken (sntpAnswers), so T1 is the millisecond we
// stamped; reading it back from the truncated echo would put it up to 1 ms early.
SntpTimes sntpTimes(const SntpAnswer& answer, qint64 sentMs, qint64 arrivalMs);

} // namespace ks
