// Which DEFLATE library codes what: the one place that chooses, per direction and level. With
// ISA-L (the build option MARROWZIP_ISAL), it inflates every entry, streaming with bounded memory
// and still about twice as fast as libdeflate's whole-buffer inflate, and compresses the entries
// held in memory at the fast levels; libdeflate compresses those at the default and higher
// levels, and the blocks of large entries at the default and higher levels (block_deflate.hpp),
// which ISA-L compresses at the fast levels; zlib streams what is neither. Without ISA-L, zlib
// streams in both directions and libdeflate inflates entries that fit the memory budget in one
// piece, and libdeflate compresses every block.
#pragma once

#include <cstdint>
#include <memory>

#include "marrowzip/processing/block_deflate.hpp"
#include "marrowzip/processing/deflate.hpp"

namespace marrowzip {

// The streaming coder for a direction and a level (1–9, zlib's scale; a decoder ignores it).
// Throws CompressionError::invalidStream when the coder cannot be set up.
std::unique_ptr<DeflateCoder::Implementation> makeStreamingCoder(CoderDirection direction,
                                                                 int level);

// Whether an entry of these sizes is better inflated in one piece than streamed: only without a
// streaming inflater as fast, and only within the budget (whole_buffer.hpp's inflatesWhole).
bool prefersWholeBufferInflate(std::uint64_t compressedSize, std::uint64_t uncompressedSize);

// Whether an entry held in memory as a whole is compressed at `level` through makeStreamingCoder
// instead of libdeflate's whole buffers, and a block of a large entry by ISA-L instead of
// libdeflate: ISA-L's fast levels compress better than zlib's -1 at libdeflate's speed or more
// (on blocks of text, at about a third of libdeflate's CPU at level 1).
bool streamsAtLevel(int level) noexcept;

// The block compressor for a level (1–9, zlib's scale). Throws CompressionError::invalidStream
// when it cannot be set up.
std::unique_ptr<BlockDeflater::Implementation> makeBlockDeflater(int level);

// libdeflate's level for a level of zlib's scale (1–9), for whole buffers and blocks alike. Up
// to 5 they compress alike; libdeflate's 6 falls short of zlib's on some text, so the default
// and above take one step more, and 9 takes libdeflate's strongest (slower, but what the smallest
// archive asks for).
int libdeflateLevel(int level) noexcept;

// The individual libraries' coders, for coder_choice.cpp and the tests that hold one library's
// output to another's.
std::unique_ptr<DeflateCoder::Implementation> makeZlibCoder(CoderDirection direction, int level);
std::unique_ptr<BlockDeflater::Implementation> makeLibdeflateBlockDeflater(int level);
#ifdef MARROWZIP_HAVE_ISAL
std::unique_ptr<DeflateCoder::Implementation> makeIsalInflater();
std::unique_ptr<DeflateCoder::Implementation> makeIsalDeflater(int level);
std::unique_ptr<BlockDeflater::Implementation> makeIsalBlockDeflater(int level);
#endif

}  // namespace marrowzip
