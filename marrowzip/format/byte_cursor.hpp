// Little-endian reading and writing of record fields. The reader is bounds-checked with a sticky
// failure flag that a parser checks once per record.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>

#include "marrowzip/common/types.hpp"

namespace marrowzip {

class ByteReader {
public:
    explicit ByteReader(ByteView data) : data_(data) {}

    std::uint16_t u16() { return static_cast<std::uint16_t>(take(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(take(4)); }
    std::uint64_t u64() { return take(8); }
    template <std::unsigned_integral T>
    T value() {
        return static_cast<T>(take(sizeof(T)));
    }
    // The next `count` bytes where they lie, valid as long as the reader's data.
    ByteView view(std::size_t count) {
        if (!ok_ || data_.size() - position_ < count) {
            ok_ = false;
            return {};
        }
        const ByteView out = data_.subspan(position_, count);
        position_ += count;
        return out;
    }

    bool ok() const noexcept { return ok_; }

private:
    std::uint64_t take(std::size_t width) {
        if (!ok_ || data_.size() - position_ < width) {
            ok_ = false;
            return 0;
        }
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            value |= static_cast<std::uint64_t>(data_[position_ + i]) << (8 * i);
        }
        position_ += width;
        return value;
    }

    ByteView data_;
    std::size_t position_ = 0;
    bool ok_ = true;
};

class ByteWriter {
public:
    ByteWriter& u8(std::uint8_t value) { return put<1>(value); }
    ByteWriter& u16(std::uint16_t value) { return put<2>(value); }
    ByteWriter& u32(std::uint32_t value) { return put<4>(value); }
    ByteWriter& u64(std::uint64_t value) { return put<8>(value); }
    template <std::unsigned_integral T>
    ByteWriter& value(T value) {
        return put<sizeof(T)>(value);
    }
    ByteWriter& bytes(ByteView data) {
        out_.insert(out_.end(), data.begin(), data.end());
        return *this;
    }

    Bytes take() && { return std::move(out_); }
    const Bytes& bytes() const noexcept { return out_; }

private:
    template <std::size_t width>
    ByteWriter& put(std::uint64_t value) {
        for (std::size_t i = 0; i < width; ++i)
            out_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        return *this;
    }

    Bytes out_;
};

}  // namespace marrowzip
