// Raw DEFLATE of one block of a large entry, independently of the blocks around it, so that the
// blocks of one entry can be compressed on several threads at once. Each block is compressed on
// its own by libdeflate (about twice zlib's speed at a better ratio), whose output always ends in
// a final block; every block but the entry's last is then made joinable: its final block's
// BFINAL bit is cleared and an empty stored block (as a sync flush leaves it) brings the stream
// to a byte boundary. The blocks' outputs, put one after another, form one DEFLATE stream.
// Matches do not reach back across blocks: for blocks of a MiB or more that costs under 0.1 %.
#pragma once

#include <memory>

#include "marrowzip/common/types.hpp"

namespace marrowzip {

// A compressor kept for many blocks. Not for concurrent use; one per thread.
class BlockDeflater {
public:
    // `level` is on zlib's scale (1–9); coder_choice.hpp maps it to libdeflate's. Throws
    // CompressionError::invalidStream when a coder cannot be set up.
    explicit BlockDeflater(int level);
    ~BlockDeflater();
    BlockDeflater(const BlockDeflater&) = delete;
    BlockDeflater& operator=(const BlockDeflater&) = delete;

    // The compressed `block`. The output of the `last` block ends the stream; any other ends on
    // a byte boundary with the stream still open.
    Bytes compress(ByteView block, bool last);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace marrowzip
