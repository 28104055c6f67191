#include "marrowzip/processing/deflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <climits>

#include "marrowzip/common/error.hpp"
#include "marrowzip/processing/crc32.hpp"

namespace marrowzip {

// zlib's stream record. Negative window bits select raw DEFLATE: no zlib or gzip wrapper.
struct DeflateCoder::State {
    z_stream stream{};
    // Once told that no input follows, zlib's encoder must keep being told so.
    bool finishing = false;
};

namespace {

constexpr int rawWindowBits = -15;
constexpr int defaultMemoryLevel = 8;

// zlib counts in 32 bits; larger buffers are handed over in parts, step by step.
uInt clampedLength(std::size_t length) {
    return static_cast<uInt>(std::min<std::size_t>(length, UINT_MAX));
}

}  // namespace

DeflateCoder::DeflateCoder(CoderDirection direction, int level)
    : state_(std::make_unique<State>()), direction_(direction) {
    const int result = direction == CoderDirection::encode
                           ? deflateInit2(&state_->stream, level, Z_DEFLATED, rawWindowBits,
                                          defaultMemoryLevel, Z_DEFAULT_STRATEGY)
                           : inflateInit2(&state_->stream, rawWindowBits);
    if (result != Z_OK) throw Error(CompressionError::invalidStream);
}

DeflateCoder::~DeflateCoder() {
    if (direction_ == CoderDirection::encode) {
        deflateEnd(&state_->stream);
    } else {
        inflateEnd(&state_->stream);
    }
}

void DeflateCoder::reset() {
    const int result = direction_ == CoderDirection::encode ? deflateReset(&state_->stream)
                                                            : inflateReset(&state_->stream);
    if (result != Z_OK) throw Error(CompressionError::invalidStream);
    state_->finishing = false;
}

DeflateCoder::Status DeflateCoder::process(Buffers& buffers, bool finalize) {
    z_stream& stream = state_->stream;
    // zlib's fields are not const-correct; it never writes through next_in.
    stream.next_in = const_cast<Bytef*>(buffers.input);
    stream.avail_in = clampedLength(buffers.inputLeft);
    stream.next_out = buffers.output;
    stream.avail_out = clampedLength(buffers.outputLeft);
    const uInt inputGiven = stream.avail_in;
    const uInt outputGiven = stream.avail_out;

    int result = Z_OK;
    if (direction_ == CoderDirection::encode) {
        state_->finishing = state_->finishing || finalize;
        result = deflate(&stream, state_->finishing ? Z_FINISH : Z_NO_FLUSH);
    } else {
        result = inflate(&stream, Z_NO_FLUSH);
    }

    buffers.input += inputGiven - stream.avail_in;
    buffers.inputLeft -= inputGiven - stream.avail_in;
    buffers.output += outputGiven - stream.avail_out;
    buffers.outputLeft -= outputGiven - stream.avail_out;

    switch (result) {
        case Z_STREAM_END:
            return Status::end;
        case Z_OK:
            return Status::ok;
        case Z_BUF_ERROR:
            // No progress was possible. The loop always offers output space, and input unless
            // it has run dry: a decoder that still wants input after the last chunk faces a
            // truncated stream, which must not make the loop ask for empty chunks for ever.
            // Without finalize, the next step brings fresh input.
            if (direction_ == CoderDirection::decode && !finalize) return Status::ok;
            return Status::error;
        default:
            return Status::error;
    }
}

std::uint32_t runDeflateStream(CoderDirection direction, std::int64_t size, std::int64_t bufferSize,
                               bool skipChecksum, const EntryDataProvider& provider,
                               const EntryDataConsumer& consumer) {
    if (bufferSize < 1) throw Error(ArchiveError::invalidBufferSize);
    DeflateCoder coder(direction);
    return runDeflateStream(coder, size, bufferSize, skipChecksum, provider, consumer);
}

std::uint32_t runDeflateStream(DeflateCoder& coder, std::int64_t size, std::int64_t bufferSize,
                               bool skipChecksum, const EntryDataProvider& provider,
                               const EntryDataConsumer& consumer) {
    if (bufferSize < 1) throw Error(ArchiveError::invalidBufferSize);
    const bool encoding = coder.direction() == CoderDirection::encode;
    Bytes destination(static_cast<std::size_t>(bufferSize));

    DeflateCoder::Buffers buffers;
    Bytes chunk;
    std::int64_t position = 0;  // bytes the provider has delivered so far
    std::uint32_t checksum = 0;
    while (true) {
        const bool fetched = buffers.inputLeft == 0;
        if (fetched) {
            const std::int64_t wanted = std::clamp<std::int64_t>(size - position, 0, bufferSize);
            chunk = provider(position, wanted);
            position += static_cast<std::int64_t>(chunk.size());
            buffers.input = chunk.data();
            buffers.inputLeft = chunk.size();
        }
        // A chunk shorter than a buffer is the last one, and so is every empty chunk after the
        // input is used up: that is how an input of a multiple of bufferSize gets finalized.
        const bool finalize = static_cast<std::int64_t>(chunk.size()) < bufferSize;
        buffers.output = destination.data();
        buffers.outputLeft = destination.size();
        const DeflateCoder::Status status = coder.process(buffers, finalize);

        if (encoding && fetched && !skipChecksum) checksum = updateCRC32(chunk, checksum);
        if (status == DeflateCoder::Status::error) throw Error(CompressionError::corruptedData);

        // A view onto the destination buffer, valid only during the call; it may be empty.
        const ByteView produced(destination.data(), destination.size() - buffers.outputLeft);
        consumer(produced);
        if (!encoding && !skipChecksum) checksum = updateCRC32(produced, checksum);

        // Decoding ends with the DEFLATE stream, even when the last chunk had bytes left over.
        if (status == DeflateCoder::Status::end) break;
    }
    return checksum;
}

std::uint32_t compressDeflate(std::int64_t size, std::int64_t bufferSize,
                              const EntryDataProvider& provider,
                              const EntryDataConsumer& consumer) {
    return runDeflateStream(CoderDirection::encode, size, bufferSize, false, provider, consumer);
}

std::uint32_t decompressDeflate(std::int64_t size, std::int64_t bufferSize, bool skipChecksum,
                                const EntryDataProvider& provider,
                                const EntryDataConsumer& consumer, std::uint64_t outputLimit) {
    // The entry's declared size cannot be trusted: a small stream can inflate to any length.
    // Output beyond the limit is refused before the consumer sees any of the excess.
    std::uint64_t delivered = 0;
    const EntryDataConsumer bounded = [&](ByteView output) {
        if (output.size() > outputLimit - delivered) throw Error(CompressionError::corruptedData);
        delivered += output.size();
        consumer(output);
    };
    return runDeflateStream(CoderDirection::decode, size, bufferSize, skipChecksum, provider,
                            bounded);
}

}  // namespace marrowzip
