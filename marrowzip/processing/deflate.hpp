// Raw DEFLATE (RFC 1951, no zlib or gzip wrapper) between a provider and a consumer, with the
// CRC-32 of the uncompressed bytes computed on the way.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "marrowzip/common/types.hpp"

namespace marrowzip {

enum class CoderDirection { encode, decode };

// The coders' libraries count in 32 bits; larger buffers are handed over in parts, step by step.
inline std::uint32_t clampedLength(std::size_t length) {
    return static_cast<std::uint32_t>(std::min<std::size_t>(length, UINT32_MAX));
}

// The coder behind the loop: set up, step, tear down. The implementation behind it (zlib's or
// ISA-L's) is chosen per direction and level in one place, coder_choice.cpp.
class DeflateCoder {
public:
    enum class Status { ok, end, error };

    // Throws CompressionError::invalidStream when the coder cannot be set up. `level` (1–9, on
    // zlib's scale) is the encoder's; a decoder ignores it.
    explicit DeflateCoder(CoderDirection direction, int level = defaultCompressionLevel);
    ~DeflateCoder();
    DeflateCoder(const DeflateCoder&) = delete;
    DeflateCoder& operator=(const DeflateCoder&) = delete;

    // One step: consumes input and produces output as far as the output space allows, advancing
    // the four fields. `finalize` says that no input follows this chunk. A decoder whose input
    // has run dry before the end of the DEFLATE stream reports an error rather than asking for
    // more for ever.
    struct Buffers {
        const std::uint8_t* input = nullptr;
        std::size_t inputLeft = 0;
        std::uint8_t* output = nullptr;
        std::size_t outputLeft = 0;

        // Moves past what a step consumed and produced, in the order of the fields above.
        // NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
        void advance(std::size_t consumed, std::size_t produced) noexcept {
            input += consumed;
            inputLeft -= consumed;
            output += produced;
            outputLeft -= produced;
        }
    };
    Status process(Buffers& buffers, bool finalize);

    CoderDirection direction() const noexcept { return direction_; }

    // Makes the coder ready for a new stream in the same direction, keeping its allocations.
    void reset();

    // One library's coder. A decoder that reads ahead of the stream's end gives the bytes it did
    // not need back through `Buffers`, so that the caller learns where the stream ended.
    class Implementation {
    public:
        Implementation() = default;
        virtual ~Implementation() = default;
        Implementation(const Implementation&) = delete;
        Implementation& operator=(const Implementation&) = delete;
        virtual Status process(Buffers& buffers, bool finalize) = 0;
        virtual void reset() = 0;
    };

private:
    std::unique_ptr<Implementation> implementation_;
    CoderDirection direction_;
};

// The one loop behind both directions. `size` is the number of bytes the provider offers.
std::uint32_t runDeflateStream(CoderDirection direction, std::int64_t size, std::int64_t bufferSize,
                               bool skipChecksum, const EntryDataProvider& provider,
                               const EntryDataConsumer& consumer);

// The same loop on a coder the caller keeps (freshly made or reset), so that many entries can
// share one: setting up a zlib stream and tearing it down costs about 300 µs an entry.
std::uint32_t runDeflateStream(DeflateCoder& coder, std::int64_t size, std::int64_t bufferSize,
                               bool skipChecksum, const EntryDataProvider& provider,
                               const EntryDataConsumer& consumer);

// The complete DEFLATE stream of `input`, from a coder freshly made or reset for encoding.
Bytes compressInOnePass(DeflateCoder& coder, ByteView input);

// Returns the CRC-32 of the bytes the provider delivered.
std::uint32_t compressDeflate(std::int64_t size, std::int64_t bufferSize,
                              const EntryDataProvider& provider, const EntryDataConsumer& consumer);

// Returns the CRC-32 of the bytes handed to the consumer, or 0 with skipChecksum. Stops at the
// end of the DEFLATE stream even when the provider had more bytes. Output beyond `outputLimit`
// bytes is CompressionError::corruptedData: an entry that lies about its size cannot fill a disk.
std::uint32_t decompressDeflate(std::int64_t size, std::int64_t bufferSize, bool skipChecksum,
                                const EntryDataProvider& provider,
                                const EntryDataConsumer& consumer,
                                std::uint64_t outputLimit = UINT64_MAX);

}  // namespace marrowzip
