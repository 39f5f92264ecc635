// A reply frame as korvat-probe reads it from a server.
#include "protocol/Replies.h"
#include "protocol/Requests.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray frame(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const QByteArray& token : {ks::TokenKorvat, ks::TokenKorvat1010, ks::TokenQuorix}) ks::parseReply(frame, token);
    ks::parseStatusMessage(frame);
    return 0;
}
