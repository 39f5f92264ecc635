// Bytes arriving from the GPS receiver: line assembly, field extraction, interpretation.
#include "protocol/Nmea.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte splits the input into two blocks, as two reads of the port would.
    const std::size_t cut = data[0] % size;
    const char* bytes = reinterpret_cast<const char*>(data) + 1;
    ks::NmeaLineAssembler assembler;
    QList<QByteArray> lines = assembler.feed(bytes, qsizetype(cut));
    lines += assembler.feed(bytes + cut, qsizetype(size - 1 - cut));
    for (const QByteArray& line : lines) {
        if (line.contains('\r') || line.size() > ks::NmeaLineAssembler::MaxLine) std::abort();
        for (const ks::TimeState state :
             {ks::TimeState::NotSynchronised, ks::TimeState::Synchronising, ks::TimeState::Synchronised,
              ks::TimeState::NoSerialInput}) {
            const ks::GpsSentenceResult r = ks::interpretGpsSentence(line, state);
            if (!r.checksumOk && (r.syncState || r.rmc)) std::abort();
            if (r.syncState == ks::TimeState::NoSerialInput) std::abort(); // a GGA never says so
            if (r.rmc && state != ks::TimeState::Synchronised) std::abort();
        }
        for (int n = 0; n < 12; ++n) ks::GetNmeaField(line, n);
        ks::NmeaChecksum(line);
    }
    return 0;
}
