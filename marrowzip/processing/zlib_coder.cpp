// zlib's streaming coder: raw DEFLATE through negative window bits.
#include <zlib.h>

#include "marrowzip/common/error.hpp"
#include "marrowzip/processing/coder_choice.hpp"

namespace marrowzip {
namespace {

constexpr int rawWindowBits = -15;
constexpr int defaultMemoryLevel = 8;

class ZlibCoder final : public DeflateCoder::Implementation {
public:
    ZlibCoder(CoderDirection direction, int level)
        : encoding_(direction == CoderDirection::encode) {
        const int result = encoding_ ? deflateInit2(&stream_, level, Z_DEFLATED, rawWindowBits,
                                                    defaultMemoryLevel, Z_DEFAULT_STRATEGY)
                                     : inflateInit2(&stream_, rawWindowBits);
        if (result != Z_OK) throw Error(CompressionError::invalidStream);
    }
    ~ZlibCoder() override { encoding_ ? deflateEnd(&stream_) : inflateEnd(&stream_); }
    ZlibCoder(const ZlibCoder&) = delete;
    ZlibCoder& operator=(const ZlibCoder&) = delete;

    void reset() override {
        const int result = encoding_ ? deflateReset(&stream_) : inflateReset(&stream_);
        if (result != Z_OK) throw Error(CompressionError::invalidStream);
        finishing_ = false;
    }

    DeflateCoder::Status process(DeflateCoder::Buffers& buffers, bool finalize) override {
        // zlib's fields are not const-correct; it never writes through next_in.
        stream_.next_in = const_cast<Bytef*>(buffers.input);
        stream_.avail_in = clampedLength(buffers.inputLeft);
        stream_.next_out = buffers.output;
        stream_.avail_out = clampedLength(buffers.outputLeft);
        const uInt inputGiven = stream_.avail_in;
        const uInt outputGiven = stream_.avail_out;

        int result = Z_OK;
        if (encoding_) {
            finishing_ = finishing_ || finalize;
            result = deflate(&stream_, finishing_ ? Z_FINISH : Z_NO_FLUSH);
        } else {
            result = inflate(&stream_, Z_NO_FLUSH);
        }

        buffers.advance(inputGiven - stream_.avail_in, outputGiven - stream_.avail_out);

        switch (result) {
            case Z_STREAM_END:
                return DeflateCoder::Status::end;
            case Z_OK:
                return DeflateCoder::Status::ok;
            case Z_BUF_ERROR:
                // No progress was possible. The loop always offers output space, and input
                // unless it has run dry: a decoder that still wants input after the last chunk
                // faces a truncated stream, which must not make the loop ask for empty chunks
                // for ever. Without finalize, the next step brings fresh input.
                if (!encoding_ && !finalize) return DeflateCoder::Status::ok;
                return DeflateCoder::Status::error;
            default:
                return DeflateCoder::Status::error;
        }
    }

private:
    z_stream stream_{};
    bool encoding_;
    // Once told that no input follows, zlib's encoder must keep being told so.
    bool finishing_ = false;
};

}  // namespace

std::unique_ptr<DeflateCoder::Implementation> makeZlibCoder(CoderDirection direction, int level) {
    return std::make_unique<ZlibCoder>(direction, level);
}

}  // namespace marrowzip
