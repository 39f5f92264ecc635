// Writes the hour chime: a short bell tone, 16-bit mono PCM at 22 050 Hz.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <vector>

namespace {
void put16(std::vector<unsigned char>& out, std::uint16_t v) {
    out.push_back(v & 0xff);
    out.push_back(v >> 8);
}
void put32(std::vector<unsigned char>& out, std::uint32_t v) {
    put16(out, v & 0xffff);
    put16(out, v >> 16);
}
void putTag(std::vector<unsigned char>& out, const char* tag) { out.insert(out.end(), tag, tag + 4); }
} // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-hour-wav OUTPUT.wav\n");
        return 2;
    }
    constexpr int Rate = 22050;
    constexpr double Seconds = 1.6;
    const int samples = int(Rate * Seconds);
    // A struck bell: a fundamental with inharmonic partials, each dying away at its own pace.
    const double partials[][3] = {
        {880.0, 1.0, 2.2}, {1760.0 * 1.19, 0.45, 3.5}, {880.0 * 2.76, 0.3, 5.0}, {880.0 * 5.4, 0.15, 8.0}};
    std::vector<unsigned char> data;
    for (int i = 0; i < samples; ++i) {
        const double t = double(i) / Rate;
        double v = 0;
        for (const auto& p : partials)
            v += p[1] * std::exp(-p[2] * t) * std::sin(2 * std::numbers::pi * p[0] * t);
        const double attack = std::min(1.0, t / 0.004);
        put16(data, std::uint16_t(std::int16_t(std::lround(v * attack * 0.45 * 32767))));
    }
    std::vector<unsigned char> out;
    putTag(out, "RIFF");
    put32(out, std::uint32_t(36 + data.size()));
    putTag(out, "WAVE");
    putTag(out, "fmt ");
    put32(out, 16);
    put16(out, 1); // PCM
    put16(out, 1); // mono
    put32(out, Rate);
    put32(out, Rate * 2);
    put16(out, 2);
    put16(out, 16);
    putTag(out, "data");
    put32(out, std::uint32_t(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
