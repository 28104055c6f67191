#include "marrowzip/common/progress.hpp"

#include <algorithm>

namespace marrowzip {

Progress::Progress(std::int64_t totalUnitCount) : total_(totalUnitCount) {}

Progress::~Progress() = default;

void Progress::cancel() noexcept {
    cancelled_.store(true);
    std::lock_guard lock(childrenMutex_);
    for (auto& child : children_)
        child.progress->cancel();
}

bool Progress::isCancelled() const noexcept {
    return cancelled_.load() || (parent_ != nullptr && parent_->isCancelled());
}

// A child's own total and its share of this progress: two counts of the public interface,
// which callers rely on.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
std::shared_ptr<Progress> Progress::makeChild(std::int64_t totalUnitCount,
                                              std::int64_t pendingUnitCount) {
    auto child = std::make_shared<Progress>(totalUnitCount);
    child->parent_ = this;
    std::lock_guard lock(childrenMutex_);
    children_.push_back({child, pendingUnitCount});
    return child;
}

double Progress::fractionCompleted() const {
    const std::int64_t total = total_.load();
    if (total <= 0) return 0.0;
    auto done = static_cast<double>(completed_.load());
    {
        std::lock_guard lock(childrenMutex_);
        for (const auto& child : children_) {
            done +=
                child.progress->fractionCompleted() * static_cast<double>(child.pendingUnitCount);
        }
    }
    return std::clamp(done / static_cast<double>(total), 0.0, 1.0);
}

}  // namespace marrowzip
