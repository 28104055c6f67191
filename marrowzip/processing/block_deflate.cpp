#include "marrowzip/processing/block_deflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <climits>

#include "marrowzip/common/error.hpp"

namespace marrowzip {

struct BlockDeflater::State {
    z_stream stream{};
};

namespace {

constexpr int rawWindowBits = -15;
constexpr int memoryLevel = 8;
// A sync flush ends a block with up to 5 bytes of header and an empty stored block.
constexpr std::size_t flushOverhead = 16;

}  // namespace

BlockDeflater::BlockDeflater(int level) : state_(std::make_unique<State>()) {
    if (deflateInit2(&state_->stream, level, Z_DEFLATED, rawWindowBits, memoryLevel,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        throw Error(CompressionError::invalidStream);
    }
}

BlockDeflater::~BlockDeflater() {
    deflateEnd(&state_->stream);
}

Bytes BlockDeflater::compress(ByteView dictionary, ByteView block, bool last) {
    z_stream& stream = state_->stream;
    if (deflateReset(&stream) != Z_OK) throw Error(CompressionError::invalidStream);
    if (dictionary.size() > deflateWindowSize) {
        dictionary = dictionary.subspan(dictionary.size() - deflateWindowSize);
    }
    if (!dictionary.empty() && deflateSetDictionary(&stream, dictionary.data(),
                                                    static_cast<uInt>(dictionary.size())) != Z_OK) {
        throw Error(CompressionError::invalidStream);
    }
    Bytes output(deflateBound(&stream, static_cast<uLong>(block.size())) + flushOverhead);
    // zlib's fields are not const-correct; it never writes through next_in.
    stream.next_in = const_cast<Bytef*>(block.data());
    std::size_t inputLeft = block.size();
    std::size_t produced = 0;
    const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
        // zlib counts in 32 bits: larger blocks are handed over in parts.
        const auto inputStep = static_cast<uInt>(std::min<std::size_t>(inputLeft, UINT_MAX));
        stream.avail_in = inputStep;
        if (output.size() - produced < 64) output.resize(output.size() * 2);
        const auto outputStep =
            static_cast<uInt>(std::min<std::size_t>(output.size() - produced, UINT_MAX));
        stream.next_out = output.data() + produced;
        stream.avail_out = outputStep;
        const bool finalStep = inputStep == inputLeft;
        const int result = deflate(&stream, finalStep ? flush : Z_NO_FLUSH);
        if (result == Z_STREAM_ERROR) throw Error(CompressionError::invalidStream);
        inputLeft -= inputStep - stream.avail_in;
        produced += outputStep - stream.avail_out;
        if (result == Z_STREAM_END) break;
        // A flush is complete once zlib leaves output space unused with no input left.
        if (!last && finalStep && inputLeft == 0 && stream.avail_out != 0) break;
    }
    output.resize(produced);
    return output;
}

}  // namespace marrowzip
