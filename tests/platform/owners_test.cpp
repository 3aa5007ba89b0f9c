// The owner of a descriptor: what it holds is closed once, on every way out
// of its scope, and no failure value is ever taken for a descriptor.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include <gtest/gtest.h>

#include "platform/linux/scoped_fd.h"

namespace vtrl {
namespace {

bool IsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

int OpenNull() {
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

TEST(ScopedFdTest, EveryNegativeValueHoldsNothingAndADescriptorClosesOnce) {
    EXPECT_FALSE(ScopedFd(-1));
    EXPECT_FALSE(ScopedFd(-2));
    int kept = -1;
    {
        ScopedFd first(OpenNull());
        ASSERT_TRUE(first);
        kept = first.Get();
        ScopedFd second(std::move(first));
        EXPECT_FALSE(first);
        EXPECT_TRUE(IsOpen(kept));
    }
    EXPECT_FALSE(IsOpen(kept));
}

}  // namespace
}  // namespace vtrl
