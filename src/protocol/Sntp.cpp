#include "protocol/Sntp.h"

#include <QtEndian>

namespace ks {

namespace {

constexpr qint64 SecondsFrom1900To1970 = 2208988800LL;
constexpr qint64 EraSeconds = 1LL << 32;
constexpr int OriginateOffset = 24;
constexpr int ReceiveOffset = 32;
constexpr int TransmitOffset = 40;

} // namespace

NtpTimestamp readTimestamp(const QByteArray& data, int offset) {
    const auto* p = reinterpret_cast<const uchar*>(data.constData()) + offset;
    return {qFromBigEndian<quint32>(p), qFromBigEndian<quint32>(p + 4)};
}

void writeTimestamp(QByteArray& data, int offset, NtpTimestamp ts) {
    auto* p = reinterpret_cast<uchar*>(data.data()) + offset;
    qToBigEndian(ts.seconds, p);
    qToBigEndian(ts.fraction, p + 4);
}

NtpTimestamp ntpFromNs(qint64 utcNs) {
    constexpr qint64 Billion = 1'000'000'000;
    qint64 secs = utcNs / Billion;
    qint64 nsec = utcNs % Billion;
    if (nsec < 0) {
        secs -= 1;
        nsec += Billion;
    }
    // Wrapping modulo 2^32 is the era rule read backwards: 2036 onwards starts again at 0.
    const auto seconds = quint32(quint64(secs + SecondsFrom1900To1970) & 0xFFFFFFFFu);
    // nsec < 2^30, so the product fits in 62 bits.
    const auto fraction = quint32((quint64(nsec) << 32) / quint64(Billion));
    return {seconds, fraction};
}

// A whole number of ms times 10^6 truncates to the same fraction as ms * 2^32 / 1000.
NtpTimestamp ntpFromMs(qint64 utcMs) { return ntpFromNs(utcMs * 1'000'000); }

qint64 msFromNtp(NtpTimestamp ts) {
    qint64 secs = qint64(ts.seconds);
    if (!(ts.seconds & 0x80000000u)) secs += EraSeconds;
    return (secs - SecondsFrom1900To1970) * 1000 + ((qint64(ts.fraction) * 1000) >> 32);
}

QByteArray sntpRequest(NtpTimestamp transmit) {
    QByteArray packet(SntpPacketSize, '\0');
    packet[0] = char(0x1B);
    writeTimestamp(packet, TransmitOffset, transmit);
    return packet;
}

bool sntpAnswers(const QByteArray& datagram, NtpTimestamp requestTransmit) {
    return datagram.size() >= OriginateOffset + 8 &&
           readTimestamp(datagram, OriginateOffset) == requestTransmit;
}

std::optional<SntpAnswer> parseSntpAnswer(const QByteArray& datagram) {
    if (datagram.size() < SntpPacketSize) return std::nullopt;
    SntpAnswer a;
    a.leap = uchar(datagram[0]) >> 6;
    a.stratum = uchar(datagram[1]);
    // NTP short format: seconds and a 16-bit fraction.
    const auto* p = reinterpret_cast<const uchar*>(datagram.constData());
    a.rootDelayMs = double(qFromBigEndian<quint32>(p + 4)) * 1000.0 / 65536.0;
    a.rootDispersionMs = double(qFromBigEndian<quint32>(p + 8)) * 1000.0 / 65536.0;
    a.referenceId = datagram.mid(12, 4);
    a.originate = readTimestamp(datagram, OriginateOffset);
    a.receive = readTimestamp(datagram, ReceiveOffset);
    a.transmit = readTimestamp(datagram, TransmitOffset);
    return a;
}

QByteArray sntpRefusal(const SntpAnswer& answer, bool stratumCheck) {
    // A kiss code first: such answers come with LI 3 as well, and the code says more.
    if (stratumCheck && answer.stratum == 0) {
        if (answer.referenceId.count('\0') == answer.referenceId.size()) return "stratum 0 (no kiss code)";
        QByteArray code = answer.referenceId;
        for (char& c : code)
            if (c < 0x20 || c > 0x7E) c = '?';
        return "kiss-o'-death " + code;
    }
    if (answer.leap == 3) return "server not synchronised (leap indicator 3)";
    if (answer.transmit.isZero()) return "no time in the answer (transmit timestamp zero)";
    if (stratumCheck && answer.stratum > 15) return "stratum " + QByteArray::number(answer.stratum);
    return {};
}

SntpTimes sntpTimes(const SntpAnswer& answer, qint64 sentMs, qint64 arrivalMs) {
    return {sentMs, msFromNtp(answer.receive), msFromNtp(answer.transmit), arrivalMs};
}

} // namespace ks
