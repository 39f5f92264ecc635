// Bytes arriving on port 6645: frame cutting and recognition.
#include "protocol/Requests.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));
    qsizetype consumed = 0;
    for (const QByteArray& body : ks::parseRequests(text)) {
        // Every body is a piece of the read, at least three characters long.
        if (body.size() < 3 || body.size() > text.size()) std::abort();
        consumed += body.size() + 2;
        const ks::ClientType type = ks::recogniseRequest(body);
        if ((type == ks::ClientType::None) != ks::replyToken(type).isEmpty()) std::abort();
    }
    if (consumed > text.size()) std::abort();
    return 0;
}
