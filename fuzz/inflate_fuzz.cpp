// The DEFLATE coder on any bytes: decoding the input must end in a result or an engine error
// within the output limit, and encoding the input must decode back to the same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz_input.hpp"
#include "marrowzip/common/error.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "marrowzip/processing/deflate.hpp"

namespace {

using marrowzip::Bytes;
using marrowzip::ByteView;

constexpr std::uint64_t outputLimit = 1 << 24;

marrowzip::EntryDataProvider providerOf(ByteView bytes) {
    return [bytes](std::int64_t position, std::int64_t size) {
        const auto start = static_cast<std::size_t>(position);
        if (start >= bytes.size()) return Bytes();
        const auto end = start + std::min(static_cast<std::size_t>(size), bytes.size() - start);
        return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                     bytes.begin() + static_cast<std::ptrdiff_t>(end));
    };
}

void decode(ByteView input, std::int64_t bufferSize) {
    std::uint64_t produced = 0;
    try {
        marrowzip::decompressDeflate(
            static_cast<std::int64_t>(input.size()), bufferSize, false, providerOf(input),
            [&](ByteView chunk) { produced += chunk.size(); }, outputLimit);
    } catch (const marrowzip::Error&) {
        return;
    }
    if (produced > outputLimit) marrowzip::fuzzing::fail("the decoder passed its output limit");
}

void roundTrip(ByteView input, std::int64_t bufferSize) {
    Bytes compressed;
    const std::uint32_t crc = marrowzip::compressDeflate(
        static_cast<std::int64_t>(input.size()), bufferSize, providerOf(input),
        [&](ByteView chunk) { compressed.insert(compressed.end(), chunk.begin(), chunk.end()); });
    Bytes restored;
    const std::uint32_t restoredCRC = marrowzip::decompressDeflate(
        static_cast<std::int64_t>(compressed.size()), bufferSize, false, providerOf(compressed),
        [&](ByteView chunk) { restored.insert(restored.end(), chunk.begin(), chunk.end()); },
        input.size());
    if (restored.size() != input.size() ||
        !std::equal(restored.begin(), restored.end(), input.begin())) {
        marrowzip::fuzzing::fail("deflated bytes did not inflate to the original");
    }
    if (crc != restoredCRC || crc != marrowzip::updateCRC32(input, 0)) {
        marrowzip::fuzzing::fail("the coder's CRC-32 differs from the bytes' own");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the chunk size: one byte, a few, or the engine's default.
    constexpr std::int64_t bufferSizes[] = {1, 3, 64, 4096, marrowzip::defaultChunkSize};
    const std::int64_t bufferSize = bufferSizes[data[0] % std::size(bufferSizes)];
    const ByteView input(data + 1, size - 1);
    decode(input, bufferSize);
    roundTrip(input, bufferSize);
    return 0;
}
