// A buffer of anonymous pages mapped for it alone and unmapped when it goes, for the large
// buffers of whole-entry coding: the memory returns to the system at once, whichever thread
// held it.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <utility>

#include "marrowzip/common/types.hpp"

namespace marrowzip {

class PageBuffer {
public:
    explicit PageBuffer(std::size_t size) : size_(size) {
        if (size == 0) return;
        void* pages =
            ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pages == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<std::uint8_t*>(pages);
    }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    ~PageBuffer() {
        if (data_ != nullptr) ::munmap(data_, size_);
    }

    std::uint8_t* data() noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::span<std::uint8_t> span() noexcept { return {data_, size_}; }
    ByteView view() const noexcept { return {data_, size_}; }

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace marrowzip
