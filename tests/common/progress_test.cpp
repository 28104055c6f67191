#include "marrowzip/common/progress.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace marrowzip {
namespace {

TEST(ProgressObjects, ChildrenCountTowardsTheParentsFraction) {
    Progress parent(1001);
    auto folder = parent.makeChild(1, 1);
    auto file = parent.makeChild(1000, 1000);
    folder->setCompletedUnitCount(1);
    file->setCompletedUnitCount(500);
    EXPECT_NEAR(parent.fractionCompleted(), 501.0 / 1001.0, 1e-9);
    file->addCompletedUnitCount(500);
    EXPECT_DOUBLE_EQ(parent.fractionCompleted(), 1.0);
}

TEST(ProgressObjects, CancellingTheParentCancelsEveryChildFromAnotherThread) {
    Progress parent(10);
    auto child = parent.makeChild(10, 10);
    std::thread canceller([&] { parent.cancel(); });
    canceller.join();
    EXPECT_TRUE(parent.isCancelled());
    EXPECT_TRUE(child->isCancelled());
    // A child made after the cancellation sees it too.
    EXPECT_TRUE(parent.makeChild(1, 1)->isCancelled());
}

}  // namespace
}  // namespace marrowzip
