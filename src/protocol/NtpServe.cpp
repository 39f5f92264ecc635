#include "protocol/NtpServe.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>

namespace ks {

namespace {
constexpr int MinPoll = 4;
constexpr int MaxPoll = 10;
constexpr int OriginateOffset = 24;
constexpr int ReceiveOffset = 32;
constexpr int TransmitOffset = 40;
constexpr int ServerMode = 4;
constexpr int ClientMode = 3;
constexpr int LocalStratum = 10;

constexpr quint32 tag(const char (&text)[5]) {
    return quint32(quint8(text[0])) << 24 | quint32(quint8(text[1])) << 16 | quint32(quint8(text[2])) << 8 |
           quint32(quint8(text[3]));
}

// Seconds in the 16.16 format of root delay and dispersion, rounded up so that a bound stays
// a bound, and held at the largest value the field has.
quint32 shortFormat(double seconds) {
    const double units = std::ceil(std::max(0.0, seconds) * 65536.0);
    return units >= 4294967295.0 ? 0xFFFFFFFFu : quint32(units);
}
} // namespace

NtpHeader ntpServedHeader(const NtpServedTime& time) {
    NtpHeader h;
    if (!time.synchronised) return h;
    h.leap = 0;
    h.rootDispersionS = time.errorEstimateS;
    h.referenceMs = time.lastSampleMs;
    switch (time.source) {
    case TimeSource::Gps:
        h.stratum = 1;
        h.referenceId = tag("GPS\0");
        break;
    case TimeSource::Ntp:
        h.stratum = std::min(time.upstreamStratum + 1, 15);
        h.referenceId = time.upstreamIPv4;
        h.rootDelayS = time.upstreamRootDelayS + time.roundTripS;
        break;
    case TimeSource::PcClock:
    case TimeSource::OtherSerial:
        h.stratum = LocalStratum;
        h.referenceId = tag("LOCL");
        break;
    }
    return h;
}

NtpRefusal checkNtpRequest(const QByteArray& datagram) {
    if (datagram.size() < SntpPacketSize) return NtpRefusal::Short;
    const int version = (quint8(datagram[0]) >> 3) & 7;
    if (version < 1 || version > 4) return NtpRefusal::Version;
    if ((quint8(datagram[0]) & 7) != ClientMode) return NtpRefusal::Mode;
    return NtpRefusal::None;
}

QByteArray ntpRefusalName(NtpRefusal refusal) {
    switch (refusal) {
    case NtpRefusal::None: break;
    case NtpRefusal::Short: return "short";
    case NtpRefusal::Version: return "version";
    case NtpRefusal::Mode: return "mode";
    }
    return {};
}

int ntpPrecision(double resolutionS) { return int(std::ceil(std::log2(resolutionS))); }

QByteArray ntpAnswer(const QByteArray& request, const NtpHeader& header, int precision,
                     NtpTimestamp receive) {
    QByteArray a(SntpPacketSize, '\0');
    auto* p = reinterpret_cast<uchar*>(a.data());
    p[0] = uchar(header.leap << 6 | (quint8(request[0]) & 0x38) | ServerMode);
    p[1] = uchar(header.stratum);
    p[2] = uchar(std::clamp(int(qint8(request[2])), MinPoll, MaxPoll));
    p[3] = uchar(qint8(precision));
    qToBigEndian(shortFormat(header.rootDelayS), p + 4);
    qToBigEndian(shortFormat(header.rootDispersionS), p + 8);
    qToBigEndian(header.referenceId, p + 12);
    if (header.referenceMs) writeTimestamp(a, 16, ntpFromMs(header.referenceMs));
    writeTimestamp(a, OriginateOffset, readTimestamp(request, TransmitOffset));
    writeTimestamp(a, ReceiveOffset, receive);
    return a;
}

void stampTransmit(QByteArray& answer, NtpTimestamp transmit) {
    writeTimestamp(answer, TransmitOffset, transmit);
}

bool NtpRateLimit::allow(const Address& address, qint64 nowMs) {
    quint32 hash = 2166136261u; // FNV-1a
    for (const quint8 b : address) hash = (hash ^ b) * 16777619u;
    const auto first = table_.begin() + qsizetype(hash % (Slots / Ways)) * Ways;
    const auto last = first + Ways;
    auto e = std::find_if(first, last, [&](const Entry& x) { return x.used && x.address == address; });
    if (e == last) // the least limited, an unused one first
        e = std::min_element(first, last, [](const Entry& a, const Entry& b) {
            return std::pair(a.used, a.dueMs) < std::pair(b.used, b.dueMs);
        });
    if (!e->used || e->address != address) *e = Entry{address, nowMs, nowMs, 0, true};
    e->lastMs = nowMs;
    const qint64 periodMs = qint64(1000) << Interval;
    const qint64 due = std::max(e->dueMs, nowMs);
    if (due - nowMs <= qint64(Burst - 1) * periodMs) {
        e->dueMs = due + periodMs;
        e->dropped = 0;
        return true;
    }
    if (++e->dropped < (1 << Leak)) return false;
    e->dropped = 0;
    return true;
}

int NtpRateLimit::clientsSince(qint64 sinceMs) const {
    return int(std::count_if(table_.begin(), table_.end(),
                             [&](const Entry& e) { return e.used && e.lastMs >= sinceMs; }));
}

} // namespace ks
