#include "driver/keep_awake.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/common/test_hooks.h"

namespace vtrl {
namespace {

TEST(KeepAwake, HeldWhileAnyGuardLivesAndReleasedOnEveryWayOut) {
    ASSERT_EQ(KeepAwakeActiveCount(), 0);
    {
        KeepAwake outer;
        EXPECT_EQ(KeepAwakeActiveCount(), 1);
        {
            KeepAwake inner;
            EXPECT_EQ(KeepAwakeActiveCount(), 2);
        }
        EXPECT_EQ(KeepAwakeActiveCount(), 1);
    }
    EXPECT_EQ(KeepAwakeActiveCount(), 0);

    // Leaving by an exception releases the hold as well.
    EXPECT_THROW(
        {
            KeepAwake guard;
            throw std::runtime_error("host cut");
        },
        std::runtime_error);
    EXPECT_EQ(KeepAwakeActiveCount(), 0);

    // Early returns from a function holding a guard.
    auto step = [](bool fail) {
        KeepAwake guard;
        if (fail) {
            return KeepAwakeActiveCount();
        }
        return KeepAwakeActiveCount() + 10;
    };
    EXPECT_EQ(step(true), 1);
    EXPECT_EQ(step(false), 11);
    EXPECT_EQ(KeepAwakeActiveCount(), 0);
}

}  // namespace
}  // namespace vtrl
