#include "marrowzip/processing/block_deflate.hpp"

#include <zlib.h>

#include "marrowzip/common/error.hpp"
#include "marrowzip/processing/coder_choice.hpp"
#include "marrowzip/processing/whole_buffer.hpp"

namespace marrowzip {
namespace {

constexpr int rawWindowBits = -15;
// The inflation that finds the block boundaries writes its output here and throws it away.
constexpr std::size_t scanBufferSize = std::size_t{128} << 10;
// What a sync flush appends: an empty stored block's length and its complement.
constexpr std::uint8_t emptyStoredLength[] = {0x00, 0x00, 0xFF, 0xFF};

// Bit positions in a raw DEFLATE stream (bit 0 is the low bit of the first byte).
struct FinalBlock {
    std::uint64_t headerBit = 0;  // its BFINAL bit, the first of its header
    std::uint64_t endBit = 0;     // just past its end-of-block code
};

// Inflates `stream` into a small scratch buffer, stopping at every block boundary, and notes
// where the last block starts and ends. zlib reports each boundary as the bytes it took
// (total_in) less the bits of the last byte it left unused (the low bits of data_type).
class BlockBoundaryScanner {
public:
    BlockBoundaryScanner() {
        if (inflateInit2(&stream_, rawWindowBits) != Z_OK)
            throw Error(CompressionError::invalidStream);
    }
    ~BlockBoundaryScanner() { inflateEnd(&stream_); }
    BlockBoundaryScanner(const BlockBoundaryScanner&) = delete;
    BlockBoundaryScanner& operator=(const BlockBoundaryScanner&) = delete;

    FinalBlock scan(ByteView input) {
        if (inflateReset(&stream_) != Z_OK) throw Error(CompressionError::invalidStream);
        if (!scratch_) scratch_ = std::make_unique_for_overwrite<std::uint8_t[]>(scanBufferSize);
        // zlib's fields are not const-correct; it never writes through next_in.
        stream_.next_in = const_cast<Bytef*>(input.data());
        std::size_t inputLeft = input.size();
        FinalBlock found;
        for (;;) {
            const uInt inputStep = clampedLength(inputLeft);
            stream_.avail_in = inputStep;
            stream_.next_out = scratch_.get();
            stream_.avail_out = static_cast<uInt>(scanBufferSize);
            const int result = inflate(&stream_, Z_BLOCK);
            inputLeft -= inputStep - stream_.avail_in;
            // Z_STREAM_END cannot come first: inflate stops after the last block's end code. No
            // progress (Z_BUF_ERROR) means that the stream was cut short.
            if (result != Z_OK) throw Error(CompressionError::corruptedData);
            constexpr int atBoundary = 128;
            constexpr int inLastBlock = 64;
            constexpr int unusedBitsMask = 7;
            if ((stream_.data_type & atBoundary) == 0) continue;
            const std::uint64_t position =
                std::uint64_t{stream_.total_in} * 8 -
                static_cast<unsigned>(stream_.data_type & unusedBitsMask);
            if ((stream_.data_type & inLastBlock) != 0) {
                found.endBit = position;
                return found;
            }
            found.headerBit = position;  // the next block's header starts here
        }
    }

private:
    z_stream stream_{};
    std::unique_ptr<std::uint8_t[]> scratch_;
};

// Turns `stream`, one complete raw DEFLATE stream, into the open start of a longer one: the
// BFINAL bit of its last block is cleared and an empty stored block follows that block's end.
void openStream(Bytes& stream, BlockBoundaryScanner& scanner) {
    const FinalBlock last = scanner.scan(stream);
    stream[last.headerBit / 8] &= static_cast<std::uint8_t>(~(1U << (last.headerBit % 8)));
    const auto endBit = static_cast<unsigned>(last.endBit % 8);
    stream.resize(last.endBit / 8 + (endBit == 0 ? 0 : 1));
    // The bits after the end code in its last byte become the stored block's header (3 zero
    // bits, stream not final, type stored) and its padding, or begin them.
    if (endBit != 0) stream.back() &= static_cast<std::uint8_t>((1U << endBit) - 1);
    if (endBit == 0 || endBit > 5) stream.push_back(0);
    stream.insert(stream.end(), std::begin(emptyStoredLength), std::end(emptyStoredLength));
}

class LibdeflateBlockDeflater final : public BlockDeflater::Implementation {
public:
    explicit LibdeflateBlockDeflater(int level) : deflater_(libdeflateLevel(level)) {}

    Bytes compress(ByteView block, bool last) override {
        const std::size_t needed = deflater_.bound(block.size());
        if (roomSize_ < needed) {
            room_ = std::make_unique_for_overwrite<std::uint8_t[]>(needed);
            roomSize_ = needed;
        }
        const std::size_t produced =
            deflater_.compressInto(block, std::span(room_.get(), roomSize_));
        Bytes output;
        // Room for the empty stored block that opens the stream.
        output.reserve(produced + 6);
        output.assign(room_.get(), room_.get() + produced);
        if (!last) openStream(output, scanner_);
        return output;
    }

private:
    WholeBufferDeflater deflater_;
    BlockBoundaryScanner scanner_;
    // libdeflate's output room, kept for the next block: the block's own output is then only
    // as large as it is (a fresh buffer of the worst case would be zeroed and faulted in whole,
    // and kept in memory until the block is written).
    std::unique_ptr<std::uint8_t[]> room_;
    std::size_t roomSize_ = 0;
};

}  // namespace

std::unique_ptr<BlockDeflater::Implementation> makeLibdeflateBlockDeflater(int level) {
    return std::make_unique<LibdeflateBlockDeflater>(level);
}

BlockDeflater::BlockDeflater(int level) : implementation_(makeBlockDeflater(level)) {}

BlockDeflater::~BlockDeflater() = default;

Bytes BlockDeflater::compress(ByteView block, bool last) {
    return implementation_->compress(block, last);
}

}  // namespace marrowzip
