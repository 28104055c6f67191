#include "marrowzip/processing/deflate.hpp"

#include <gtest/gtest.h>

#include "coding.hpp"
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
        return providerOf(input)(position, size);
    };
    const auto size = static_cast<std::int64_t>(input.size());
    const auto consumer = appendingTo(outcome.output);
    outcome.checksum = encode
                           ? compressDeflate(size, bufferSize, provider, consumer)
                           : decompressDeflate(size, bufferSize, false, provider, consumer, limit);
    return outcome;
}

void expectCorrupted(const Bytes& input, std::uint64_t limit = UINT64_MAX) {
    try {
        runOver(input, false, limit);
        ADD_FAILURE() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), CompressionError::corruptedData);
    }
}

// zlib inflates what we deflated and we inflate what zlib deflated, ignoring bytes after the
// stream's end; the provider is asked for whole buffers, then for an empty one at the end.
TEST(DeflateStream, RoundTripsThroughUsAndZlib) {
    const std::tuple<std::string, Bytes, Requests> cases[] = {
        {"empty", {}, {{0, 0}}},
        {"one buffer", textBytes(bufferSize), {{0, bufferSize}, {bufferSize, 0}}},
        {"one buffer + 1", textBytes(bufferSize + 1), {{0, bufferSize}, {bufferSize, 1}}},
        {"large text", textBytes(1'000'000), {{0, bufferSize}, {bufferSize, bufferSize}}},
        {"large random", randomBytes(300'000), {{0, bufferSize}, {bufferSize, bufferSize}}},
    };
    for (const auto& [name, input, firstRequests] : cases) {
        SCOPED_TRACE(name);
        const Outcome packed = runOver(input, true);
        ASSERT_GE(packed.requests.size(), firstRequests.size());
        EXPECT_TRUE(
            std::equal(firstRequests.begin(), firstRequests.end(), packed.requests.begin()));
        EXPECT_EQ(packed.checksum, updateCRC32(input, 0));
        EXPECT_EQ(zlibInflate(packed.output, input.size()), input);

        Bytes trailed = zlibDeflate(input, 9);
        trailed.insert(trailed.end(), 3000, 0xAB);
        const Outcome unpacked = runOver(trailed, false);
        EXPECT_EQ(unpacked.output, input);
        EXPECT_EQ(unpacked.checksum, packed.checksum);
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
