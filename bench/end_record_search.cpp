// Opening a file means finding its end record, searched backwards from 22 bytes before the end
// with no bound on the comment. A file that is not a ZIP file is scanned back to its first byte:
// these benchmarks show what that costs for 20 MiB, read in blocks, and for comparison when each
// candidate offset costs a seek and a 4-byte read.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "marrowzip/archive/archive.hpp"

namespace {

using marrowzip::Archive;
using marrowzip::Bytes;

constexpr std::size_t twentyMiB = 20 * 1024 * 1024;

// A file in the temporary folder, removed with the fixture.
class SearchFile : public benchmark::Fixture {
public:
    void write(const Bytes& bytes) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "marrowzip-bench-XXXXXX").string();
        const int descriptor = ::mkstemp(pattern.data());
        if (descriptor >= 0) ::close(descriptor);
        path_ = pattern;
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    void TearDown(const benchmark::State&) override { std::filesystem::remove(path_); }
    marrowzip::FileURL url() const { return marrowzip::FileURL::fromPath(path_.string()); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Random bytes with every stray end-record signature broken up.
Bytes notAZipFile(std::size_t size) {
    Bytes bytes(size);
    std::mt19937 random(7);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(random());
    for (std::size_t i = 0; i + 4 <= size; ++i) {
        if (bytes[i] == 0x50 && bytes[i + 1] == 0x4b && bytes[i + 2] == 0x05 &&
            bytes[i + 3] == 0x06)
            bytes[i] = 0;
    }
    return bytes;
}

BENCHMARK_DEFINE_F(SearchFile, FailToOpenA20MiBFileThatIsNotAZip)(benchmark::State& state) {
    write(notAZipFile(twentyMiB));
    for (auto _ : state) {
        auto archive = Archive::tryOpenFile(url(), Archive::AccessMode::read);
        if (archive) state.SkipWithError("a file without an end record opened");
        benchmark::DoNotOptimize(archive);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * twentyMiB));
}
BENCHMARK_REGISTER_F(SearchFile, FailToOpenA20MiBFileThatIsNotAZip)->Unit(benchmark::kMillisecond);

BENCHMARK_DEFINE_F(SearchFile, OpenBehindA70000ByteComment)(benchmark::State& state) {
    Bytes bytes = marrowzip::EndOfCentralDirectoryRecord().serialize();
    bytes.resize(bytes.size() + 70000, 'x');
    write(bytes);
    for (auto _ : state) {
        auto archive = Archive::tryOpenFile(url(), Archive::AccessMode::read);
        if (!archive) state.SkipWithError("the archive did not open");
        benchmark::DoNotOptimize(archive);
    }
}
BENCHMARK_REGISTER_F(SearchFile, OpenBehindA70000ByteComment)->Unit(benchmark::kMicrosecond);

// For comparison, the last MiB of the same file scanned with one seek and one 4-byte read per
// candidate offset (the whole 20 MiB take about twenty times as long).
BENCHMARK_DEFINE_F(SearchFile, ByteByByteScanOfTheLastMiBForComparison)(benchmark::State& state) {
    write(notAZipFile(twentyMiB));
    for (auto _ : state) {
        std::FILE* stream = std::fopen(path().c_str(), "rb");
        if (stream == nullptr) {
            state.SkipWithError("cannot open the file");
            break;
        }
        std::setvbuf(stream, nullptr, _IOFBF, 16384);
        std::uint64_t matches = 0;
        constexpr auto end = static_cast<off_t>(twentyMiB);
        for (off_t offset = end - 22; offset >= end - 1024 * 1024; --offset) {
            std::uint8_t word[4] = {};
            ::fseeko(stream, offset, SEEK_SET);
            matches += std::fread(word, 1, 4, stream) == 4 && word[0] == 0x50 && word[1] == 0x4b &&
                       word[2] == 0x05 && word[3] == 0x06;
        }
        std::fclose(stream);
        benchmark::DoNotOptimize(matches);
    }
}
BENCHMARK_REGISTER_F(SearchFile, ByteByByteScanOfTheLastMiBForComparison)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
