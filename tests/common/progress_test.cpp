#include "marrowzip/common/progress.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace marrowzip {
namespace {

TEST(ProgressObjects, ChildrenCountTowardsTheParentAndShareItsCancellation) {
    Progress parent(1001);
    auto folder = parent.makeChild(1, 1);
    auto file = parent.makeChild(1000, 1000);
    folder->setCompletedUnitCount(1);
    file->setCompletedUnitCount(500);
    EXPECT_NEAR(parent.fractionCompleted(), 501.0 / 1001.0, 1e-9);
    file->addCompletedUnitCount(500);
    EXPECT_DOUBLE_EQ(parent.fractionCompleted(), 1.0);

    std::thread([&] { parent.cancel(); }).join();
    EXPECT_TRUE(parent.isCancelled() && folder->isCancelled() && file->isCancelled());
    // A child made after the cancellation sees it too.
    EXPECT_TRUE(parent.makeChild(1, 1)->isCancelled());
}

}  // namespace
}  // namespace marrowzip
