// The DEFLATE coders of an append operation, made on first use and kept for all its entries:
// setting a coder up costs more than compressing a small file (a zlib stream about 300 µs, as
// its memory goes back to the kernel on each teardown and is faulted in again on the next).
#pragma once

#include <optional>

#include "marrowzip/processing/block_deflate.hpp"
#include "marrowzip/processing/coder_choice.hpp"
#include "marrowzip/processing/deflate.hpp"
#include "marrowzip/processing/whole_buffer.hpp"

namespace marrowzip {

// The coders of one compression level (1–9); coder_choice.hpp says which codes what.
class AppendCoders {
public:
    explicit AppendCoders(int level = defaultCompressionLevel) : level_(level) {}

    DeflateCoder& streaming() {
        if (!streaming_) streaming_.emplace(CoderDirection::encode, level_);
        return *streaming_;
    }
    // An entry held in memory as a whole: libdeflate's whole-buffer coder, or the streaming
    // coder at the levels where that is the faster and stronger one (coder_choice.hpp).
    Bytes compressWhole(ByteView data) {
        if (streamsAtLevel(level_)) {
            DeflateCoder& coder = streaming();
            coder.reset();
            return compressInOnePass(coder, data);
        }
        if (!whole_) whole_.emplace(libdeflateLevel(level_));
        return whole_->compress(data);
    }
    BlockDeflater& block() {
        if (!block_) block_.emplace(level_);
        return *block_;
    }

private:
    int level_;
    std::optional<DeflateCoder> streaming_;
    std::optional<WholeBufferDeflater> whole_;
    std::optional<BlockDeflater> block_;
};

}  // namespace marrowzip
