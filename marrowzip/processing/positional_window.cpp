#include "marrowzip/processing/positional_window.hpp"

#include <algorithm>

#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/processing/file_position.hpp"

namespace marrowzip {

void PositionalWindow::use(std::FILE* stream) {
    if (stream == stream_) return;
    stream_ = stream;
    length_ = 0;
    start_ = 0;
}

ByteView PositionalWindow::read(std::uint64_t offset, std::size_t length) {
    const bool inside =
        offset >= start_ && offset - start_ <= length_ && length <= length_ - (offset - start_);
    if (!inside) fill(offset, length);
    const std::size_t from =
        offset >= start_ ? std::min<std::uint64_t>(offset - start_, length_) : length_;
    return ByteView(bytes_.get() + from, std::min(length, length_ - from));
}

void PositionalWindow::fill(std::uint64_t offset, std::size_t length) {
    // Forwards: at most this window's length past its end, as the local headers of a run of
    // small entries lie. Records further apart (the folders among many files, the headers
    // around large data) are read with a small window each: what lies between is not needed.
    const bool forwards = length_ > 0 && offset >= start_ && offset - start_ <= 2 * length_;
    nextSize_ = forwards ? std::min(nextSize_ * 2, size_) : std::min(firstSize, size_);
    length = std::max(length, nextSize_);
    start_ = offset;
    length_ = 0;
    if (length > capacity_) {
        bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(length);
        capacity_ = length;
    }
    std::size_t done = 0;
    const int descriptor = stream_ != nullptr ? ::fileno(stream_) : -1;
    if (descriptor >= 0) {
        // A read error keeps nothing: what was asked for reads as cut short.
        const ssize_t got =
            fitsFilePosition(offset) ? readAllAt(descriptor, bytes_.get(), length, offset) : 0;
        done = got > 0 ? static_cast<std::size_t>(got) : 0;
    } else if (stream_ != nullptr && fitsFilePosition(offset) &&
               ::fseeko(stream_, static_cast<off_t>(offset), SEEK_SET) == 0) {
        done = std::fread(bytes_.get(), 1, length, stream_);
    }
    length_ = done;
}

}  // namespace marrowzip
