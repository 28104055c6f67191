#include "marrowzip/processing/deflate.hpp"

#include <algorithm>

#include "marrowzip/common/error.hpp"
#include "marrowzip/processing/coder_choice.hpp"
#include "marrowzip/processing/crc32.hpp"

namespace marrowzip {

DeflateCoder::DeflateCoder(CoderDirection direction, int level)
    : implementation_(makeStreamingCoder(direction, level)), direction_(direction) {}

DeflateCoder::~DeflateCoder() = default;

void DeflateCoder::reset() {
    implementation_->reset();
}

DeflateCoder::Status DeflateCoder::process(Buffers& buffers, bool finalize) {
    return implementation_->process(buffers, finalize);
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

Bytes compressInOnePass(DeflateCoder& coder, ByteView input) {
    // Room for incompressible data and its block headers; grown if that is not enough.
    Bytes output(input.size() + input.size() / 64 + 1024);
    DeflateCoder::Buffers buffers{input.data(), input.size(), output.data(), output.size()};
    while (true) {
        const DeflateCoder::Status status = coder.process(buffers, true);
        if (status == DeflateCoder::Status::error) throw Error(CompressionError::invalidStream);
        if (status == DeflateCoder::Status::end) break;
        if (buffers.outputLeft == 0) {
            const std::size_t used = output.size();
            output.resize(used * 2);
            buffers.output = output.data() + used;
            buffers.outputLeft = output.size() - used;
        }
    }
    output.resize(output.size() - buffers.outputLeft);
    return output;
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
