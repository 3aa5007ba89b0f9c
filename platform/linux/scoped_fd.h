// Linux and other POSIX systems only: the owner of a file descriptor.
#pragma once

#include <unistd.h>

#include "platform/scoped_handle.h"

namespace vtrl {

// Any negative value holds nothing (open(2) answers -1; a descriptor is never
// negative).
struct FdTraits {
    using Handle = int;
    static bool IsValid(int fd) { return fd >= 0; }
    static int Invalid() { return -1; }
    static void Close(int fd) { (void)::close(fd); }
};
// A descriptor closed on every way out of its scope.
using ScopedFd = ScopedHandle<FdTraits>;

}  // namespace vtrl
