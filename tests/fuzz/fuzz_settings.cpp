// The settings file: whatever it holds, reading never crashes, and what it writes back
// reads again as the same content.
#include "protocol/RegFile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::optional<ks::RegFile> file = ks::RegFile::parse(text, nullptr);
    if (!file) return 0;
    for (const ks::RegFile::Key& key : file->keys())
        for (const ks::RegFile::Value& v : key.values) ks::RegFile::decode(v.data);
    const QByteArray saved = file->serialize();
    const std::optional<ks::RegFile> again = ks::RegFile::parse(saved, nullptr);
    if (!again || again->serialize() != saved) std::abort();
    return 0;
}
