// ISA-L's coders: the streaming inflater of every entry, and the deflaters of the fast levels,
// streaming and of blocks.
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstdint>

#include "marrowzip/common/error.hpp"
#include "marrowzip/common/types.hpp"
#include "marrowzip/processing/coder_choice.hpp"

namespace marrowzip {
namespace {

// Hands the next part of the buffers to an ISA-L stream (inflate_state and isal_zstream name
// these fields alike).
template <typename IsalStream>
void giveBuffers(IsalStream& stream, const DeflateCoder::Buffers& buffers) {
    // ISA-L's fields are not const-correct; it never writes through next_in.
    stream.next_in = const_cast<std::uint8_t*>(buffers.input);
    stream.avail_in = clampedLength(buffers.inputLeft);
    stream.next_out = buffers.output;
    stream.avail_out = clampedLength(buffers.outputLeft);
}

class IsalInflater final : public DeflateCoder::Implementation {
public:
    IsalInflater() : state_(std::make_unique<inflate_state>()) { reset(); }

    void reset() override {
        isal_inflate_init(state_.get());
        state_->crc_flag = ISAL_DEFLATE;  // raw DEFLATE; the caller computes CRC-32
    }

    DeflateCoder::Status process(DeflateCoder::Buffers& buffers, bool finalize) override {
        inflate_state& state = *state_;
        giveBuffers(state, buffers);
        const std::uint32_t inputGiven = state.avail_in;
        const std::uint32_t outputGiven = state.avail_out;

        const int result = isal_inflate(&state);

        std::size_t consumed = inputGiven - state.avail_in;
        const std::size_t produced = outputGiven - state.avail_out;
        const bool ended = state.block_state == ISAL_BLOCK_FINISH;
        if (ended) {
            // The inflater reads whole words ahead; the bytes it did not need after the stream's
            // end go back, as far as this step took them, so that the caller sees where it ended.
            const auto unused = static_cast<std::size_t>(std::max(state.read_in_length, 0) / 8);
            consumed -= std::min(consumed, unused);
            state.read_in_length = 0;
        }
        buffers.advance(consumed, produced);

        if (result < 0 || result == ISAL_NEED_DICT) return DeflateCoder::Status::error;
        if (ended) return DeflateCoder::Status::end;
        // No progress with the last input given: the stream is cut short, and asking for more
        // would ask for empty chunks for ever.
        if (finalize && consumed == 0 && produced == 0 && buffers.outputLeft > 0) {
            return DeflateCoder::Status::error;
        }
        return DeflateCoder::Status::ok;
    }

private:
    // About 90 KiB (tables and a window of output): on the heap, not the stack.
    std::unique_ptr<inflate_state> state_;
};

// The buffer ISA-L needs for each of its levels 1–3.
std::size_t levelBufferSize(int level) {
    return level == 1   ? ISAL_DEF_LVL1_DEFAULT
           : level == 2 ? ISAL_DEF_LVL2_DEFAULT
                        : ISAL_DEF_LVL3_DEFAULT;
}

// An ISA-L deflate stream of a level, its level buffer and no wrapper, kept for many streams.
class IsalDeflateStream {
public:
    explicit IsalDeflateStream(int level)
        : stream_(std::make_unique<isal_zstream>()), levelBuffer_(levelBufferSize(level)) {
        if (level < 1 || level > ISAL_DEF_MAX_LEVEL) throw Error(CompressionError::invalidStream);
        isal_deflate_init(stream_.get());
        stream_->level = static_cast<std::uint32_t>(level);
        stream_->level_buf = levelBuffer_.data();
        stream_->level_buf_size = static_cast<std::uint32_t>(levelBuffer_.size());
        stream_->gzip_flag = IGZIP_DEFLATE;
        stream_->flush = NO_FLUSH;
    }

    isal_zstream& get() noexcept { return *stream_; }

    // Keeps the level, its buffer and the wrapper. ISA-L's reset keeps the end-of-stream flag
    // too, being the caller's: left set, the next stream would end with its first chunk.
    void reset() {
        isal_deflate_reset(stream_.get());
        stream_->end_of_stream = 0;
        stream_->flush = NO_FLUSH;
    }

private:
    std::unique_ptr<isal_zstream> stream_;
    Bytes levelBuffer_;
};

class IsalDeflater final : public DeflateCoder::Implementation {
public:
    explicit IsalDeflater(int level) : stream_(level) {}

    void reset() override { stream_.reset(); }

    DeflateCoder::Status process(DeflateCoder::Buffers& buffers, bool finalize) override {
        isal_zstream& stream = stream_.get();
        giveBuffers(stream, buffers);
        const std::uint32_t inputGiven = stream.avail_in;
        const std::uint32_t outputGiven = stream.avail_out;
        // Once told that no input follows, the encoder must keep being told so; a part of a
        // larger buffer is not the end.
        stream.end_of_stream =
            stream.end_of_stream != 0 || (finalize && inputGiven == buffers.inputLeft) ? 1 : 0;

        const int result = isal_deflate(&stream);

        buffers.advance(inputGiven - stream.avail_in, outputGiven - stream.avail_out);
        if (result != COMP_OK) return DeflateCoder::Status::error;
        return stream.internal_state.state == ZSTATE_END ? DeflateCoder::Status::end
                                                         : DeflateCoder::Status::ok;
    }

private:
    IsalDeflateStream stream_;
};

// Each block a stream of its own: the last one ended as any stream, every other one by a sync
// flush, which ends it on a byte boundary after an empty stored block, without a final block.
// No history is carried over, so a block needs nothing of the one before it.
class IsalBlockDeflater final : public BlockDeflater::Implementation {
public:
    explicit IsalBlockDeflater(int level) : stream_(level) {}

    Bytes compress(ByteView block, bool last) override {
        stream_.reset();
        isal_zstream& stream = stream_.get();
        // Room for incompressible data and its block headers, grown if that is not enough.
        growRoom(block.size() + block.size() / 64 + 1024);
        std::size_t inputUsed = 0;
        std::size_t produced = 0;
        for (;;) {
            const std::size_t inputLeft = block.size() - inputUsed;
            // ISA-L's fields are not const-correct; it never writes through next_in.
            stream.next_in = const_cast<std::uint8_t*>(block.data() + inputUsed);
            stream.avail_in = clampedLength(inputLeft);
            stream.next_out = room_.data() + produced;
            stream.avail_out = clampedLength(room_.size() - produced);
            // The end, or the flush, only with the block's last part: ISA-L flushes (and ends)
            // once all the input it was given is compressed.
            const bool lastPart = stream.avail_in == inputLeft;
            stream.end_of_stream = last && lastPart ? 1 : 0;
            stream.flush = !last && lastPart ? SYNC_FLUSH : NO_FLUSH;
            const std::uint32_t inputGiven = stream.avail_in;
            const std::uint32_t outputGiven = stream.avail_out;

            const int result = isal_deflate(&stream);

            inputUsed += inputGiven - stream.avail_in;
            produced += outputGiven - stream.avail_out;
            if (result != COMP_OK) throw Error(CompressionError::invalidStream);
            const int state = stream.internal_state.state;
            const bool done =
                inputUsed == block.size() && (last ? state == ZSTATE_END : state == ZSTATE_NEW_HDR);
            if (done) break;
            if (produced == room_.size()) growRoom(room_.size() * 2);
        }
        return {room_.data(), room_.data() + produced};
    }

private:
    // The output room is kept for the next block, as libdeflate's is (block_deflate.cpp): a
    // fresh one would be zeroed and faulted in whole for every block.
    void growRoom(std::size_t size) {
        if (room_.size() < size) room_.resize(size);
    }

    IsalDeflateStream stream_;
    Bytes room_;
};

}  // namespace

std::unique_ptr<DeflateCoder::Implementation> makeIsalInflater() {
    return std::make_unique<IsalInflater>();
}

std::unique_ptr<DeflateCoder::Implementation> makeIsalDeflater(int level) {
    return std::make_unique<IsalDeflater>(level);
}

std::unique_ptr<BlockDeflater::Implementation> makeIsalBlockDeflater(int level) {
    return std::make_unique<IsalBlockDeflater>(level);
}

}  // namespace marrowzip
