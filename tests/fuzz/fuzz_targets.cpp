// Every parser that takes outside bytes; each fuzz target is this file with KS_FUZZ_TARGET
// naming its function.
#include "protocol/Nmea.h"
#include "protocol/NtpServe.h"
#include "protocol/RegFile.h"
#include "protocol/Replies.h"
#include "protocol/Requests.h"
#include "protocol/Sntp.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

using namespace ks;

// Named, not anonymous: each target calls only one of them.
namespace fuzz {
void check(bool holds) {
    if (!holds) std::abort();
}

// Bytes arriving on port 6645: frame cutting and recognition.
void requests(const QByteArray& text) {
    qsizetype consumed = 0;
    for (const QByteArray& body : parseRequests(text)) {
        // Every body is a piece of the read, at least three characters long.
        check(body.size() >= 3 && body.size() <= text.size());
        consumed += body.size() + 2;
        const ClientType type = recogniseRequest(body);
        check((type == ClientType::None) == replyToken(type).isEmpty());
    }
    check(consumed <= text.size());
}

// Bytes arriving from the GPS receiver: line assembly, field extraction, interpretation.
void nmea(const QByteArray& input) {
    if (input.isEmpty()) return;
    // The first byte splits the rest into two blocks, as two reads of the port would.
    const qsizetype cut = uchar(input[0]) % input.size();
    NmeaLineAssembler assembler;
    QList<QByteArray> lines = assembler.feed(input.constData() + 1, cut);
    lines += assembler.feed(input.constData() + 1 + cut, input.size() - 1 - cut);
    for (const QByteArray& line : lines) {
        check(!line.contains('\r') && line.size() <= NmeaLineAssembler::MaxLine);
        GpsFixTracker tracker(TimeState::Synchronised);
        const GpsSentenceResult r = interpretGpsSentence(line);
        check(r.checksumOk || (!r.gga && !r.rmc));
        check(!r.gga || r.gga->state != TimeState::NoSerialInput); // a GGA never says so
        const GpsFixTracker::Step step = tracker.take(r);
        check(!step.setUtcMs || (r.rmc && r.rmc->valid));
        for (int n = 0; n < 12; ++n) GetNmeaField(line, n);
        NmeaChecksum(line);
    }
}

// A datagram arriving from the NTP server.
void sntp(const QByteArray& datagram) {
    sntpAnswers(datagram, ntpFromMs(1'796'479'509'123));
    const std::optional<SntpAnswer> answer = parseSntpAnswer(datagram);
    check(answer.has_value() == (datagram.size() >= 48));
    if (!answer) return;
    sntpRefusal(*answer, true);
    const SntpTimes times{msFromNtp(answer->originate), msFromNtp(answer->receive),
                          msFromNtp(answer->transmit), 1'796'479'509'200};
    times.roundTrip();
    times.clockOffset();
    times.newTime();
}

// The settings file: whatever it holds, reading never crashes, and what it writes back reads
// again as the same content.
void settings(const QByteArray& text) {
    const std::optional<RegFile> file = RegFile::parse(text, nullptr);
    if (!file) return;
    for (const RegFile::Key& key : file->keys())
        for (const RegFile::Value& v : key.values) RegFile::decode(v.data);
    const QByteArray saved = file->serialize();
    const std::optional<RegFile> again = RegFile::parse(saved, nullptr);
    check(again && again->serialize() == saved);
}

// A reply frame as korvat-probe reads it from a server.
void replies(const QByteArray& frame) {
    for (const QByteArray& token : {TokenKorvat, TokenKorvat1010, TokenQuorix}) parseReply(frame, token);
    parseStatusMessage(frame);
}
// A datagram arriving on the NTP server's port: accepted or dropped, an answer is 48 bytes,
// never longer than its request, carries its version and its transmit stamp as the originate.
void ntpserve(const QByteArray& datagram) {
    if (checkNtpRequest(datagram) != NtpRefusal::None) return;
    NtpServedTime served;
    served.source = TimeSource::Gps;
    served.synchronised = true;
    const QByteArray answer = ntpAnswer(datagram, ntpServedHeader(served), -24, ntpFromMs(1'796'479'509'123));
    check(answer.size() == SntpPacketSize && answer.size() <= datagram.size());
    check((answer[0] & 0x38) == (datagram[0] & 0x38) && (answer[0] & 7) == 4);
    check(readTimestamp(answer, 24) == readTimestamp(datagram, 40));
    NtpRateLimit limit;
    NtpRateLimit::Address a{};
    std::copy(datagram.begin(), datagram.begin() + 16, a.begin());
    for (int i = 0; i < 12; ++i) check(limit.allow(a, 1'796'479'509'123) == (i < 8 || i % 4 == 3));
}
} // namespace fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::KS_FUZZ_TARGET(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    return 0;
}
