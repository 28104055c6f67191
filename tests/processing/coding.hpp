// Providers and consumers over byte buffers, and zlib's own raw DEFLATE: the reference that the
// engine's coders are checked against.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

#include "marrowzip/common/types.hpp"

namespace marrowzip::testing {

// Hands out `bytes` from any position, cut at their end.
inline EntryDataProvider providerOf(const Bytes& bytes) {
    return [&bytes](std::int64_t position, std::int64_t wanted) {
        const auto from = std::min<std::size_t>(position, bytes.size());
        const auto to = std::min<std::size_t>(from + wanted, bytes.size());
        return Bytes(bytes.begin() + from, bytes.begin() + to);
    };
}

inline EntryDataConsumer appendingTo(Bytes& output) {
    return [&output](ByteView chunk) { output.insert(output.end(), chunk.begin(), chunk.end()); };
}

inline Bytes zlibDeflate(const Bytes& input, int level = Z_DEFAULT_COMPRESSION) {
    z_stream stream{};
    deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes output(deflateBound(&stream, input.size()));
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    deflate(&stream, Z_FINISH);
    output.resize(stream.total_out);
    deflateEnd(&stream);
    return output;
}

// Throws unless `compressed` is one complete stream of at most `size` bytes.
inline Bytes zlibInflate(const Bytes& compressed, std::size_t size) {
    Bytes output(size + 1);
    z_stream stream{};
    inflateInit2(&stream, -15);
    stream.next_in = const_cast<Bytef*>(compressed.data());
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    const int result = inflate(&stream, Z_FINISH);
    output.resize(stream.total_out);
    inflateEnd(&stream);
    if (result != Z_STREAM_END) throw std::runtime_error("zlib could not inflate the stream");
    return output;
}

}  // namespace marrowzip::testing
