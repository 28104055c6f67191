// Raw DEFLATE of one block of a large entry, independently of the blocks around it, so that the
// blocks of one entry can be compressed on several threads at once. Every block but the entry's
// last ends on a byte boundary with the stream still open (no final block), as a sync flush
// leaves it, so the blocks' outputs, put one after another, form one DEFLATE stream. Matches do
// not reach back across blocks: for blocks of a MiB or more that costs under 0.1 %.
//
// Which library compresses the blocks of a level is chosen in coder_choice.cpp: ISA-L at the
// fast levels (a fresh stream per block, ended by a sync flush), libdeflate otherwise (about
// twice zlib's speed at a better ratio). libdeflate always ends its output in a final block, so
// each block but the last is made joinable afterwards: that block's BFINAL bit is cleared and an
// empty stored block brings the stream to a byte boundary.
#pragma once

#include <memory>

#include "marrowzip/common/types.hpp"

namespace marrowzip {

// A compressor kept for many blocks. Not for concurrent use; one per thread.
class BlockDeflater {
public:
    // `level` is on zlib's scale (1–9). Throws CompressionError::invalidStream when a coder
    // cannot be set up.
    explicit BlockDeflater(int level);
    ~BlockDeflater();
    BlockDeflater(const BlockDeflater&) = delete;
    BlockDeflater& operator=(const BlockDeflater&) = delete;

    // The compressed `block`. The output of the `last` block ends the stream; any other ends on
    // a byte boundary with the stream still open.
    Bytes compress(ByteView block, bool last);

    // One library's block compressor (coder_choice.hpp makes them).
    class Implementation {
    public:
        Implementation() = default;
        virtual ~Implementation() = default;
        Implementation(const Implementation&) = delete;
        Implementation& operator=(const Implementation&) = delete;
        virtual Bytes compress(ByteView block, bool last) = 0;
    };

private:
    std::unique_ptr<Implementation> implementation_;
};

}  // namespace marrowzip
