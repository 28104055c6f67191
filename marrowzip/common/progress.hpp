// Progress of a long operation: unit counts that the operation advances, children for its
// parts, and a cancelled flag that any thread may set while the operation polls it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace marrowzip {

class Progress {
public:
    explicit Progress(std::int64_t totalUnitCount = 0);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress();

    std::int64_t totalUnitCount() const noexcept { return total_.load(); }
    void setTotalUnitCount(std::int64_t units) noexcept { total_.store(units); }

    // Units completed by this object's own work, not counting children.
    std::int64_t completedUnitCount() const noexcept { return completed_.load(); }
    void setCompletedUnitCount(std::int64_t units) noexcept { completed_.store(units); }
    void addCompletedUnitCount(std::int64_t units) noexcept { completed_.fetch_add(units); }

    // Cancelling a progress cancels its children; a child is cancelled when its parent is.
    void cancel() noexcept;
    bool isCancelled() const noexcept;

    // A new child whose completion stands for `pendingUnitCount` units of this progress.
    std::shared_ptr<Progress> makeChild(std::int64_t totalUnitCount,
                                        std::int64_t pendingUnitCount);

    // Between 0 and 1: own completed units plus each child's share of its pending units.
    double fractionCompleted() const;

private:
    struct Child {
        std::shared_ptr<Progress> progress;
        std::int64_t pendingUnitCount;
    };

    std::atomic<std::int64_t> total_;
    std::atomic<std::int64_t> completed_{0};
    std::atomic<bool> cancelled_{false};
    const Progress* parent_ = nullptr;  // the parent keeps its children alive
    mutable std::mutex childrenMutex_;
    std::vector<Child> children_;
};

}  // namespace marrowzip
