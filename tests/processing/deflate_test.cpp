#include "marrowzip/processing/deflate.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "marrowzip/common/error.hpp"
#include "marrowzip/processing/crc32.hpp"
#include "support/test_support.hpp"

namespace marrowzip {
namespace {

using namespace marrowzip::testing;
using Requests = std::vector<std::pair<std::int64_t, std::int64_t>>;

constexpr std::int64_t bufferSize = 1024;

struct Outcome {
    Bytes output;
    std::uint32_t checksum = 0;
    Requests requests;
};

Outcome runOver(const Bytes& input, bool encode, std::uint64_t limit = UINT64_MAX) {
    Outcome outcome;
    const auto provider = [&](std::int64_t position, std::int64_t size) {
        outcome.requests.emplace_back(position, size);
        if (outcome.requests.size() > 100'000) throw std::runtime_error("the loop never ends");
        const auto end = std::min<std::size_t>(input.size(), position + size);
        return Bytes(input.begin() + std::min<std::size_t>(position, end), input.begin() + end);
    };
    const auto consumer = [&](ByteView chunk) {
        outcome.output.insert(outcome.output.end(), chunk.begin(), chunk.end());
    };
    const auto size = static_cast<std::int64_t>(input.size());
    outcome.checksum = encode
                           ? compressDeflate(size, bufferSize, provider, consumer)
                           : decompressDeflate(size, bufferSize, false, provider, consumer, limit);
    return outcome;
}

// zlib's own raw inflate, independent of the loop under test.
Bytes zlibInflate(const Bytes& compressed, std::size_t expectedSize) {
    Bytes output(expectedSize + 1);
    z_stream stream{};
    inflateInit2(&stream, -15);
    stream.next_in = const_cast<Bytef*>(compressed.data());
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    const int result = inflate(&stream, Z_FINISH);
    output.resize(stream.total_out);
    inflateEnd(&stream);
    if (result != Z_STREAM_END) throw std::runtime_error("zlib could not inflate our output");
    return output;
}

void expectCorrupted(const Bytes& input, std::uint64_t limit = UINT64_MAX) {
    try {
        runOver(input, false, limit);
        ADD_FAILURE() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), CompressionError::corruptedData);
    }
}

// {name, input, the provider's first requests when compressing}
std::vector<std::tuple<std::string, Bytes, Requests>> roundTripCases() {
    return {
        {"empty", {}, {{0, 0}}},
        {"one buffer", textBytes(bufferSize), {{0, bufferSize}, {bufferSize, 0}}},
        {"one buffer + 1", textBytes(bufferSize + 1), {{0, bufferSize}, {bufferSize, 1}}},
        {"large text", textBytes(1'000'000), {{0, bufferSize}, {bufferSize, bufferSize}}},
        {"large random", randomBytes(300'000), {{0, bufferSize}, {bufferSize, bufferSize}}},
    };
}

TEST(DeflateStream, RoundTripsThroughUsAndZlib) {
    for (const auto& [name, input, firstRequests] : roundTripCases()) {
        SCOPED_TRACE(name);
        const Outcome packed = runOver(input, true);
        ASSERT_GE(packed.requests.size(), firstRequests.size());
        EXPECT_TRUE(
            std::equal(firstRequests.begin(), firstRequests.end(), packed.requests.begin()));
        EXPECT_EQ(packed.checksum, updateCRC32(input, 0));
        EXPECT_EQ(zlibInflate(packed.output, input.size()), input);

        // Bytes after the end of the DEFLATE stream are ignored.
        Bytes trailed = packed.output;
        trailed.insert(trailed.end(), 3000, 0xAB);
        const Outcome unpacked = runOver(trailed, false);
        EXPECT_EQ(unpacked.output, input);
        EXPECT_EQ(unpacked.checksum, packed.checksum);
    }
}

// Python inflates what we deflated, and we inflate what Python deflated (raw, wbits -15).
TEST(DeflateStream, InteroperatesWithPythonZlib) {
    if (!haveProgram("python3")) GTEST_SKIP() << "python3 is not installed";
    const auto cases = roundTripCases();
    TemporaryDirectory folder;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Bytes& input = std::get<1>(cases[i]);
        writeFileBytes(folder / (std::to_string(i) + ".ours"), runOver(input, true).output);
        writeFileBytes(folder / (std::to_string(i) + ".plain"), input);
    }
    const std::string script =
        "import glob,zlib,sys\n"
        "for f in glob.glob(sys.argv[1]+'/*.ours'):\n"
        "  open(f[:-5]+'.inflated','wb').write(zlib.decompress(open(f,'rb').read(),-15))\n"
        "for f in glob.glob(sys.argv[1]+'/*.plain'):\n"
        "  c=zlib.compressobj(9,zlib.DEFLATED,-15)\n"
        "  open(f[:-6]+'.theirs','wb').write(c.compress(open(f,'rb').read())+c.flush())\n";
    const auto result =
        runCommand("python3 -c " + shellQuote(script) + " " + shellQuote(folder.path()));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Bytes& input = std::get<1>(cases[i]);
        EXPECT_EQ(readFileBytes(folder / (std::to_string(i) + ".inflated")), input) << i;
        EXPECT_EQ(runOver(readFileBytes(folder / (std::to_string(i) + ".theirs")), false).output,
                  input)
            << i;
    }
}

TEST(DeflateStream, DamagedTruncatedOrOverlongInputIsCorruptedDataNotAHang) {
    const Bytes packed = runOver(randomBytes(20'000), true).output;
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, packed.size() / 2, packed.size() - 1}) {
        expectCorrupted(Bytes(packed.begin(), packed.begin() + cut));
    }
    expectCorrupted(Bytes(100, 0xFF));
    // The output limit: reached exactly is fine, one byte beyond is refused.
    EXPECT_EQ(runOver(packed, false, 20'000).output.size(), 20'000u);
    expectCorrupted(packed, 19'999);
}

TEST(DeflateStream, ProviderFailureOnTheSecondCallIsPassedOn) {
    int providerCalls = 0;
    int consumerCalls = 0;
    const auto failing = [&](std::int64_t, std::int64_t size) {
        if (++providerCalls == 2) throw Error(DataError::unreadableFile);
        return randomBytes(static_cast<std::size_t>(size));
    };
    try {
        compressDeflate(10 * bufferSize, bufferSize, failing, [&](ByteView) { ++consumerCalls; });
        ADD_FAILURE() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), DataError::unreadableFile);
    }
    EXPECT_EQ(consumerCalls, 1);
    EXPECT_THROW(compressDeflate(10, 0, failing, [](ByteView) {}), Error);
}

}  // namespace
}  // namespace marrowzip
