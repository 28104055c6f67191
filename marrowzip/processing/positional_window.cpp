#include "marrowzip/processing/positional_window.hpp"

#include <algorithm>

#include "marrowzip/processing/chunked_io.hpp"
#include "marrowzip/processing/file_position.hpp"

namespace marrowzip {

void PositionalWindow::use(std::FILE* stream) {
    if (stream == stream_) return;
    stream_ = stream;
    bytes_.clear();
    start_ = 0;
}

ByteView PositionalWindow::read(std::uint64_t offset, std::size_t length) {
    const bool inside = offset >= start_ && offset - start_ <= bytes_.size() &&
                        length <= bytes_.size() - (offset - start_);
    if (!inside) fill(offset, std::max(length, size_));
    const std::size_t from = offset >= start_ ? offset - start_ : bytes_.size();
    const std::size_t available = bytes_.size() - std::min(from, bytes_.size());
    return ByteView(bytes_).subspan(std::min(from, bytes_.size()), std::min(length, available));
}

void PositionalWindow::fill(std::uint64_t offset, std::size_t length) {
    start_ = offset;
    bytes_.resize(length);
    std::size_t done = 0;
    const int descriptor = stream_ != nullptr ? ::fileno(stream_) : -1;
    if (descriptor >= 0) {
        // A read error keeps nothing: what was asked for reads as cut short.
        const ssize_t got =
            fitsFilePosition(offset) ? readAllAt(descriptor, bytes_.data(), length, offset) : 0;
        done = got > 0 ? static_cast<std::size_t>(got) : 0;
    } else if (stream_ != nullptr && fitsFilePosition(offset) &&
               ::fseeko(stream_, static_cast<off_t>(offset), SEEK_SET) == 0) {
        done = std::fread(bytes_.data(), 1, length, stream_);
    }
    bytes_.resize(done);
}

}  // namespace marrowzip
