// A datagram arriving from the NTP server.
#include "protocol/Sntp.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray datagram(reinterpret_cast<const char*>(data), qsizetype(size));
    const ks::NtpTimestamp sent = ks::ntpFromMs(1'796'479'509'123);
    ks::sntpAnswers(datagram, sent);
    const std::optional<ks::SntpAnswer> answer = ks::parseSntpAnswer(datagram);
    if (answer.has_value() != (size >= 48)) std::abort();
    if (!answer) return 0;
    ks::sntpUsable(*answer, true);
    const ks::SntpTimes times{ks::msFromNtp(answer->originate), ks::msFromNtp(answer->receive),
                              ks::msFromNtp(answer->transmit), 1'796'479'509'200};
    times.roundTrip();
    times.clockOffset();
    times.newTime();
    return 0;
}
