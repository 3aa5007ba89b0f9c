// Linux only: the path separator, the program's own path, flushing a file to the disk and a durable
// rename; nothing else lives here.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "driver/file_io.h"
#include "platform/linux/scoped_fd.h"

namespace vtrl {
namespace {

std::string DirectoryOf(const char* path) {
    const std::string p(path);
    const size_t slash = p.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : p.substr(0, slash);
}

// Linux does not refuse to rename or remove a file that is open elsewhere;
// only a file in use by the system itself is busy.
FileOutcome Failure() {
    return errno == EBUSY || errno == ETXTBSY ? FileOutcome::kBusy : FileOutcome::kFailed;
}

}  // namespace

char PathSeparator() {
    return '/';
}

std::string RunningProgramPath() {
    std::string path(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0 || static_cast<size_t>(length) >= path.size()) {
        return std::string();
    }
    path.resize(static_cast<size_t>(length));
    return path;
}

std::FILE* OpenPlatformFile(const char* path, const char* mode) {
    return std::fopen(path, mode);
}

bool SyncFileToDisk(std::FILE* file) {
    return file != nullptr && ::fsync(::fileno(file)) == 0;
}

FileOutcome ReplaceFileDurably(const char* from, const char* to) {
    if (std::rename(from, to) != 0) {
        return Failure();
    }
    // The new name is only durable once the directory entry itself is on disk.
    ScopedFd dir(::open(DirectoryOf(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir && ::fsync(dir.Get()) == 0 ? FileOutcome::kDone : FileOutcome::kFailed;
}

FileOutcome RemovePlatformFile(const char* path) {
    return std::remove(path) == 0 ? FileOutcome::kDone : Failure();
}

}  // namespace vtrl
