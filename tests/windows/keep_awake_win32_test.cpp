// The execution state the Windows keep-awake layer leaves behind, read back
// from the system (SetThreadExecutionState returns the state it replaces).
#include "driver/keep_awake.h"
#include "platform/windows/win32.h"

#include <gtest/gtest.h>

namespace vtrl {
namespace {

// Sets `state` and returns the state that was in force before.
EXECUTION_STATE Exchange(EXECUTION_STATE state) {
    return SetThreadExecutionState(state);
}

TEST(KeepAwakeWin32, SystemRequiredContinuouslyWhileHeldAndDroppedAfter) {
    Exchange(ES_CONTINUOUS);
    {
        KeepAwake outer;
        { KeepAwake inner; }
        // The inner guard going away must not release the outer one's hold.
        const EXECUTION_STATE held = Exchange(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
        EXPECT_EQ(held & (ES_CONTINUOUS | ES_SYSTEM_REQUIRED),
                  EXECUTION_STATE{ES_CONTINUOUS | ES_SYSTEM_REQUIRED});
    }
    const EXECUTION_STATE released = Exchange(ES_CONTINUOUS);
    EXPECT_EQ(released & ES_CONTINUOUS, EXECUTION_STATE{ES_CONTINUOUS});
    EXPECT_EQ(released & ES_SYSTEM_REQUIRED, EXECUTION_STATE{0});
}

}  // namespace
}  // namespace vtrl
