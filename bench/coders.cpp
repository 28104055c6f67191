// The coders and the checksum on the chunk sizes the engine uses: CRC-32 (libdeflate, with zlib
// for comparison), DEFLATE streamed through zlib in 16 KiB chunks against libdeflate on the
// whole buffer, both directions, a large entry's joinable block, and what setting up a
// whole-buffer compressor per entry costs.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>

#include "marrowzip/processing/block_deflate.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "marrowzip/processing/deflate.hpp"
#include "marrowzip/processing/whole_buffer.hpp"

namespace {

using marrowzip::Bytes;
using marrowzip::ByteView;

// Text with a skewed vocabulary, as in the benchmark corpus: neither trivial nor random.
Bytes sampleText(std::size_t size) {
    static constexpr const char* words[] = {"the ",     "archive ", "entry ", "of ",   "a ",
                                            "folder ",  "data ",    "to ",    "and ",  "record\n",
                                            "qorvels ", "central ", "is ",    "size ", "offset "};
    std::mt19937 random(3);
    std::geometric_distribution<std::size_t> pick(0.2);
    Bytes bytes;
    while (bytes.size() < size) {
        const std::size_t index = pick(random) % std::size(words);
        if (index == 0) bytes.push_back(static_cast<std::uint8_t>('0' + random() % 10));
        for (const char* c = words[index]; *c != '\0'; ++c)
            bytes.push_back(*c);
    }
    bytes.resize(size);
    return bytes;
}

void CRC32(benchmark::State& state) {
    const Bytes data = sampleText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(marrowzip::updateCRC32(data, 0));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(CRC32)->Arg(16384)->Arg(1 << 20);

void CRC32ZlibForComparison(benchmark::State& state) {
    const Bytes data = sampleText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32(0, data.data(), static_cast<uInt>(data.size())));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(CRC32ZlibForComparison)->Arg(16384)->Arg(1 << 20);

// The streaming loop as the engine runs it: 16 KiB chunks in, 16 KiB chunks out.
void DeflateStreamingZlib(benchmark::State& state) {
    const Bytes data = sampleText(static_cast<std::size_t>(state.range(0)));
    std::size_t compressed = 0;
    for (auto _ : state) {
        compressed = 0;
        marrowzip::compressDeflate(
            std::ssize(data), marrowzip::defaultChunkSize,
            [&](std::int64_t position, std::int64_t size) {
                return Bytes(data.begin() + position, data.begin() + position + size);
            },
            [&](ByteView chunk) { compressed += chunk.size(); });
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
    state.counters["ratio"] = static_cast<double>(data.size()) / static_cast<double>(compressed);
}
BENCHMARK(DeflateStreamingZlib)->Arg(8192)->Arg(1 << 20);

void DeflateWholeLibdeflate(benchmark::State& state) {
    const Bytes data = sampleText(static_cast<std::size_t>(state.range(0)));
    marrowzip::WholeBufferDeflater deflater;
    std::size_t compressed = 0;
    for (auto _ : state)
        compressed = deflater.compress(data).size();
    state.SetBytesProcessed(state.iterations() * state.range(0));
    state.counters["ratio"] = static_cast<double>(data.size()) / static_cast<double>(compressed);
}
BENCHMARK(DeflateWholeLibdeflate)->Arg(8192)->Arg(1 << 20)->Arg(8 << 20);

// One block of a large entry (8 MiB, as the parallel append cuts them at the default budget),
// made joinable: against DeflateWholeLibdeflate on the same size, what finding the block's end
// costs; against zlib -6 on the same size, the net speed and ratio.
void DeflateBlockJoinable(benchmark::State& state) {
    const Bytes data = sampleText(static_cast<std::size_t>(state.range(0)));
    marrowzip::BlockDeflater deflater(marrowzip::defaultCompressionLevel);
    std::size_t compressed = 0;
    for (auto _ : state)
        compressed = deflater.compress(data, false).size();
    state.SetBytesProcessed(state.iterations() * state.range(0));
    state.counters["ratio"] = static_cast<double>(data.size()) / static_cast<double>(compressed);
}
BENCHMARK(DeflateBlockJoinable)->Arg(8 << 20)->Unit(benchmark::kMillisecond);

void DeflateWholeZlibForComparison(benchmark::State& state) {
    const Bytes data = sampleText(static_cast<std::size_t>(state.range(0)));
    Bytes output(compressBound(static_cast<uLong>(data.size())));
    uLongf compressed = 0;
    for (auto _ : state) {
        compressed = static_cast<uLongf>(output.size());
        compress2(output.data(), &compressed, data.data(), static_cast<uLong>(data.size()), 6);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
    state.counters["ratio"] = static_cast<double>(data.size()) / static_cast<double>(compressed);
}
BENCHMARK(DeflateWholeZlibForComparison)->Arg(8 << 20)->Unit(benchmark::kMillisecond);

// A new compressor for every entry, as an append outside a bulk operation does.
void DeflateWholeFreshCompressorPerEntry(benchmark::State& state) {
    const Bytes data = sampleText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(marrowzip::compressDeflateWhole(data));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(DeflateWholeFreshCompressorPerEntry)->Arg(8192);

void InflateStreamingZlib(benchmark::State& state) {
    const Bytes data = sampleText(static_cast<std::size_t>(state.range(0)));
    const Bytes compressed = marrowzip::compressDeflateWhole(data);
    for (auto _ : state) {
        std::size_t position = 0;
        marrowzip::decompressDeflate(
            std::ssize(compressed), marrowzip::defaultChunkSize, false,
            [&](std::int64_t, std::int64_t size) {
                const std::size_t end = std::min(compressed.size(), position + size);
                Bytes chunk(compressed.begin() + position, compressed.begin() + end);
                position = end;
                return chunk;
            },
            [](ByteView chunk) { benchmark::DoNotOptimize(chunk.data()); });
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(InflateStreamingZlib)->Arg(8192)->Arg(1 << 20);

void InflateWholeLibdeflate(benchmark::State& state) {
    const Bytes data = sampleText(static_cast<std::size_t>(state.range(0)));
    const Bytes compressed = marrowzip::compressDeflateWhole(data);
    Bytes output(data.size());
    for (auto _ : state) {
        marrowzip::WholeBufferInflater().inflate(compressed, output);
        benchmark::DoNotOptimize(marrowzip::updateCRC32(output, 0));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(InflateWholeLibdeflate)->Arg(8192)->Arg(1 << 20);

}  // namespace
