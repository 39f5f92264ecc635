#pragma once

#include "protocol/Sntp.h"
#include "protocol/SyncStatus.h"

#include <QByteArray>
#include <QtGlobal>

#include <array>
#include <optional>
#include <vector>

namespace ks {

// What the NTP server tells its clients about the time it serves, read in one place.
struct NtpServedTime {
    TimeSource source = TimeSource::PcClock;
    bool synchronised = false; // state 2, a fix, and holdover not passed
    qint64 lastSampleMs = 0;   // the reference time; 0: none yet
    double errorEstimateS = 0; // how far the clock may be off now
    // The upstream server (NTP source).
    int upstreamStratum = 0;
    quint32 upstreamIPv4 = 0;
    double upstreamRootDelayS = 0;
    double roundTripS = 0;
};

// The header fields an answer carries for that state.
struct NtpHeader {
    int leap = 3;
    int stratum = 0; // 0 on the wire stands for 16, "unsynchronised"
    quint32 referenceId = 0;
    double rootDelayS = 0;
    double rootDispersionS = 0;
    qint64 referenceMs = 0;
    bool operator==(const NtpHeader&) const = default;
};
NtpHeader ntpServedHeader(const NtpServedTime& time);

// Why a datagram gets no answer. Modes 6 and 7 (control, private) are the known amplifiers.
enum class NtpRefusal { None, Short, Version, Mode };
NtpRefusal checkNtpRequest(const QByteArray& datagram);
// "short", "version", "mode": the status's names for them.
QByteArray ntpRefusalName(NtpRefusal refusal);

// log2 of the clock's resolution, rounded up, as the precision field says it.
int ntpPrecision(double resolutionS);

// The 48-byte answer to an accepted request: its version, mode 4, its poll within 4..10, its
// transmit timestamp as the originate. Extension fields and a MAC are not echoed: the answer
// is never longer than the request. The transmit timestamp is written just before sending.
QByteArray ntpAnswer(const QByteArray& request, const NtpHeader& header, int precision, NtpTimestamp receive);
void stampTransmit(QByteArray& answer, NtpTimestamp transmit);

// A per-address limit on answers: a client may send `burst` requests at once, then one per
// 2^interval s; of the requests beyond that, every 2^leak-th is still answered, so a flood
// spoofed with a client's address cannot silence it. A fixed table of buckets keeps it
// bounded: a new address takes the place of the least limited one in its bucket.
class NtpRateLimit {
public:
    static constexpr int Interval = 3;
    static constexpr int Burst = 8;
    static constexpr int Leak = 2;
    static constexpr int Slots = 4096;
    static constexpr int Ways = 8;
    // An address as 16 bytes (IPv4 mapped into IPv6).
    using Address = std::array<quint8, 16>;
    // Whether a request from the address arriving at nowMs is answered.
    bool allow(const Address& address, qint64 nowMs);
    // Addresses seen since sinceMs still in the table.
    int clientsSince(qint64 sinceMs) const;

private:
    struct Entry {
        Address address{};
        qint64 dueMs = 0; // the virtual time its requests have used up to
        qint64 lastMs = 0;
        int dropped = 0; // since its last answer
        bool used = false;
    };
    std::vector<Entry> table_ = std::vector<Entry>(Slots);
};

} // namespace ks
