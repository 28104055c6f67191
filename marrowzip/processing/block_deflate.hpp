// Raw DEFLATE of one block of a large entry, independently of the blocks around it, so that the
// blocks of one entry can be compressed on several threads at once. Each block is primed with
// the 32 KiB of data before it as a preset dictionary, so matches still reach back across the
// boundary, and every block but the last ends on a byte boundary (an empty stored block, as a
// sync flush leaves it): the blocks' outputs, put one after another, form one DEFLATE stream.
#pragma once

#include <memory>

#include "marrowzip/common/types.hpp"

namespace marrowzip {

// The window DEFLATE matches can reach back over: the most of a dictionary that helps.
inline constexpr std::size_t deflateWindowSize = 32768;

// The level of block compression: zlib's default, as strong as other tools' default.
inline constexpr int blockDeflateLevel = 6;

// A compressor kept for many blocks. Not for concurrent use; one per thread.
class BlockDeflater {
public:
    // Throws CompressionError::invalidStream when zlib cannot be set up.
    explicit BlockDeflater(int level = blockDeflateLevel);
    ~BlockDeflater();
    BlockDeflater(const BlockDeflater&) = delete;
    BlockDeflater& operator=(const BlockDeflater&) = delete;

    // The compressed `block`. `dictionary` is the data just before it (only its last 32 KiB
    // count; empty for the first block). The output of the `last` block ends the stream.
    Bytes compress(ByteView dictionary, ByteView block, bool last);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace marrowzip
