#include "marrowzip/processing/whole_buffer.hpp"

#include <libdeflate.h>

#include "marrowzip/common/error.hpp"

namespace marrowzip {
namespace {

// An empty span may hold null; libdeflate reads nothing for zero bytes but wants a pointer.
constexpr std::uint8_t nothing[1] = {0};

}  // namespace

bool compressesWhole(std::uint64_t size, std::uint64_t budget) {
    // libdeflate's bound for any compressor it could allocate; sizes near SIZE_MAX never come.
    return size <= budget && libdeflate_deflate_compress_bound(
                                 nullptr, static_cast<std::size_t>(size)) <= budget - size;
}

bool inflatesWhole(std::uint64_t compressedSize, std::uint64_t uncompressedSize,
                   std::uint64_t budget) {
    return compressedSize <= budget && uncompressedSize <= budget - compressedSize;
}

void WholeBufferDeflater::Release::operator()(libdeflate_compressor* compressor) const {
    libdeflate_free_compressor(compressor);
}

WholeBufferDeflater::WholeBufferDeflater(int level)
    : compressor_(libdeflate_alloc_compressor(level)) {
    if (!compressor_) throw Error(CompressionError::invalidStream);
}

Bytes WholeBufferDeflater::compress(ByteView input) {
    Bytes output(bound(input.size()));
    output.resize(compressInto(input, output));
    return output;
}

std::size_t WholeBufferDeflater::bound(std::size_t size) const {
    return libdeflate_deflate_compress_bound(compressor_.get(), size);
}

std::size_t WholeBufferDeflater::compressInto(ByteView input, std::span<std::uint8_t> output) {
    const std::uint8_t* start = input.empty() ? nothing : input.data();
    const std::size_t produced = libdeflate_deflate_compress(compressor_.get(), start, input.size(),
                                                             output.data(), output.size());
    // The output holds the worst case, so 0 means that libdeflate broke its own bound.
    if (produced == 0) throw Error(CompressionError::invalidStream);
    return produced;
}

Bytes compressDeflateWhole(ByteView input, int level) {
    return WholeBufferDeflater(level).compress(input);
}

void WholeBufferInflater::Release::operator()(libdeflate_decompressor* decompressor) const {
    libdeflate_free_decompressor(decompressor);
}

WholeBufferInflater::WholeBufferInflater() : decompressor_(libdeflate_alloc_decompressor()) {
    if (!decompressor_) throw Error(CompressionError::invalidStream);
}

void WholeBufferInflater::inflate(ByteView input, std::span<std::uint8_t> output) {
    std::uint8_t spare[1] = {0};
    const std::uint8_t* in = input.empty() ? nothing : input.data();
    std::uint8_t* out = output.empty() ? spare : output.data();
    std::size_t consumed = 0;
    std::size_t produced = 0;
    const libdeflate_result result = libdeflate_deflate_decompress_ex(
        decompressor_.get(), in, input.size(), out, output.size(), &consumed, &produced);
    switch (result) {
        case LIBDEFLATE_SUCCESS:
            if (produced == output.size()) return;
            throw Error(CompressionError::corruptedData, {}, {},
                        "the data ends before the entry's declared size");
        case LIBDEFLATE_INSUFFICIENT_SPACE:
            throw Error(CompressionError::corruptedData, {}, {},
                        "the data is longer than the entry's declared size");
        default:
            throw Error(CompressionError::corruptedData);
    }
}

}  // namespace marrowzip
