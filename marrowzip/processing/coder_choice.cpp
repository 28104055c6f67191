#include "marrowzip/processing/coder_choice.hpp"

#include "marrowzip/common/types.hpp"
#include "marrowzip/processing/whole_buffer.hpp"

namespace marrowzip {

std::unique_ptr<DeflateCoder::Implementation> makeStreamingCoder(CoderDirection direction,
                                                                 int level) {
#ifdef MARROWZIP_HAVE_ISAL
    if (direction == CoderDirection::decode) return makeIsalInflater();
    if (streamsAtLevel(level)) return makeIsalDeflater(level);
#endif
    return makeZlibCoder(direction, level);
}

std::unique_ptr<BlockDeflater::Implementation> makeBlockDeflater(int level) {
#ifdef MARROWZIP_HAVE_ISAL
    if (streamsAtLevel(level)) return makeIsalBlockDeflater(level);
#endif
    return makeLibdeflateBlockDeflater(level);
}

// The entry's two sizes in the order of every size pair of the format (and of inflatesWhole).
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
bool prefersWholeBufferInflate([[maybe_unused]] std::uint64_t compressedSize,
                               [[maybe_unused]] std::uint64_t uncompressedSize) {
#ifdef MARROWZIP_HAVE_ISAL
    // ISA-L's streaming inflate outruns a whole-buffer one, and its memory stays bounded.
    return false;
#else
    return inflatesWhole(compressedSize, uncompressedSize);
#endif
}

bool streamsAtLevel([[maybe_unused]] int level) noexcept {
#ifdef MARROWZIP_HAVE_ISAL
    // ISA-L's strongest level is 3; its levels 1–3 are the tool's -1 to -3.
    return level >= 1 && level <= 3;
#else
    return false;
#endif
}

int libdeflateLevel(int level) noexcept {
    if (level <= 5) return level;
    if (level == smallestCompressionLevel) return 12;
    return level == defaultCompressionLevel ? defaultDeflateLevel : level + 2;
}

}  // namespace marrowzip
