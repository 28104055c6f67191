// Reads a fuzzer's input as a script of small decisions: bytes, sizes and strings taken from
// the front, zeros once it runs out, so that every input is a valid script.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "marrowzip/common/types.hpp"

namespace marrowzip::fuzzing {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const noexcept { return offset_ >= size_; }

    std::uint8_t byte() { return empty() ? 0 : data_[offset_++]; }

    // A length below `bound`, small ones most likely.
    std::size_t length(std::size_t bound) { return bound == 0 ? 0 : byte() % bound; }

    Bytes bytes(std::size_t count) {
        const std::size_t taken = std::min(count, size_ - std::min(offset_, size_));
        Bytes result(data_ + offset_, data_ + offset_ + taken);
        offset_ += taken;
        return result;
    }

    std::string text(std::size_t count) {
        const Bytes raw = bytes(count);
        return {raw.begin(), raw.end()};
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

// Ends the run the way libFuzzer records as a crash, with a message naming the broken promise.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

}  // namespace marrowzip::fuzzing
