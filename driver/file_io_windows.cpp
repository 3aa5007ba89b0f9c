// Windows only: the path separator, flushing a file to the disk and a durable rename; nothing else
// lives here.
#include <io.h>

#include <cstdio>

#include "driver/file_io.h"
#include "platform/win32.h"

namespace vtrl {

char PathSeparator() {
    return '\\';
}

bool SyncFileToDisk(std::FILE* file) {
    if (file == nullptr) {
        return false;
    }
    const intptr_t handle = _get_osfhandle(_fileno(file));
    if (handle == -1) {
        return false;
    }
    return FlushFileBuffers(reinterpret_cast<HANDLE>(handle)) != 0;
}

namespace {

// A file another program has open without sharing deletion (a virus scanner,
// the search indexer, a sync client looking at a new file) cannot be renamed
// or deleted for that moment: ERROR_SHARING_VIOLATION, or ERROR_ACCESS_DENIED
// for one whose deletion is pending.
FileOutcome Failure() {
    const DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ? FileOutcome::kBusy
                                                                            : FileOutcome::kFailed;
}

}  // namespace

FileOutcome ReplaceFileDurably(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0
               ? FileOutcome::kDone
               : Failure();
}

FileOutcome RemovePlatformFile(const char* path) {
    return DeleteFileA(path) != 0 ? FileOutcome::kDone : Failure();
}

}  // namespace vtrl
