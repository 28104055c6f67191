// The DEFLATE coders of an append operation, made on first use and kept for all its entries:
// setting a coder up costs more than compressing a small file (a zlib stream about 300 µs, as
// its memory goes back to the kernel on each teardown and is faulted in again on the next).
#pragma once

#include <optional>

#include "marrowzip/processing/block_deflate.hpp"
#include "marrowzip/processing/deflate.hpp"
#include "marrowzip/processing/whole_buffer.hpp"

namespace marrowzip {

class AppendCoders {
public:
    DeflateCoder& streaming() {
        if (!streaming_) streaming_.emplace(CoderDirection::encode);
        return *streaming_;
    }
    WholeBufferDeflater& whole() {
        if (!whole_) whole_.emplace();
        return *whole_;
    }
    BlockDeflater& block() {
        if (!block_) block_.emplace();
        return *block_;
    }

private:
    std::optional<DeflateCoder> streaming_;
    std::optional<WholeBufferDeflater> whole_;
    std::optional<BlockDeflater> block_;
};

}  // namespace marrowzip
