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

bool ReplaceFileDurably(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace vtrl
