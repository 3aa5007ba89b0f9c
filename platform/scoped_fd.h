// Linux and other POSIX systems only: the owner of a file descriptor.
#pragma once

#include <unistd.h>

#include "platform/scoped_handle.h"

namespace vtrl {

struct FdTraits {
    using Handle = int;
    static int Invalid() { return -1; }
    static void Close(int fd) { (void)::close(fd); }
};
// A descriptor closed on every way out of its scope (any negative value holds
// nothing, as open(2) answers -1).
using ScopedFd = ScopedHandle<FdTraits>;

}  // namespace vtrl
