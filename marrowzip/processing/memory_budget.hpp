// One figure of memory shared by the threads of an operation: an entry is coded as a whole only
// while its buffers fit in what the others leave free, else it is streamed in small chunks. So
// the memory of an extraction does not grow with the number of cores.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace marrowzip {

// The memory that all the threads of one extraction (or of one bulk append) may hold together
// in entries coded as a whole, whatever the number of cores: 256 MiB.
inline constexpr std::uint64_t defaultMemoryBudget = std::uint64_t{256} << 20;

class MemoryBudget {
public:
    explicit MemoryBudget(std::uint64_t total) noexcept : free_(total) {}
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    // Bytes taken from the budget, given back when it goes.
    class Share {
    public:
        Share() noexcept = default;
        Share(Share&& other) noexcept
            : budget_(std::exchange(other.budget_, nullptr)), bytes_(other.bytes_) {}
        Share& operator=(Share&&) = delete;
        Share(const Share&) = delete;
        Share& operator=(const Share&) = delete;
        ~Share() {
            if (budget_ != nullptr) budget_->free_.fetch_add(bytes_);
        }
        explicit operator bool() const noexcept { return budget_ != nullptr; }

    private:
        friend class MemoryBudget;
        Share(MemoryBudget* budget, std::uint64_t bytes) noexcept
            : budget_(budget), bytes_(bytes) {}
        MemoryBudget* budget_ = nullptr;
        std::uint64_t bytes_ = 0;
    };

    // `bytes` of the budget when that many are free; an empty share (nothing taken) otherwise.
    Share tryTake(std::uint64_t bytes) noexcept {
        std::uint64_t available = free_.load();
        do {
            if (available < bytes) return {};
        } while (!free_.compare_exchange_weak(available, available - bytes));
        return {this, bytes};
    }

private:
    std::atomic<std::uint64_t> free_;
};

}  // namespace marrowzip
