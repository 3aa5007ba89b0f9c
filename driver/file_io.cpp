#include "driver/file_io.h"

#include <cerrno>
#include <string>

namespace vtrl {

UniqueFile OpenFile(const char* path, const char* mode) {
    if (path == nullptr || path[0] == '\0') {
        return UniqueFile();
    }
    return UniqueFile(std::fopen(path, mode));
}

bool WriteFileDurably(const char* path, const uint8_t* data, size_t size) {
    if (path == nullptr || path[0] == '\0' || (data == nullptr && size != 0)) {
        return false;
    }
    const std::string temp_path = std::string(path) + ".tmp";
    bool written = false;
    {
        UniqueFile file = OpenFile(temp_path.c_str(), "wb");
        if (!file) {
            return false;
        }
        written = std::fwrite(data, 1, size, file.get()) == size && std::fflush(file.get()) == 0 &&
                  SyncFileToDisk(file.get());
        // fclose can still report a failed write-back.
        written = (std::fclose(file.release()) == 0) && written;
    }
    if (written && ReplaceFileDurably(temp_path.c_str(), path)) {
        return true;
    }
    std::remove(temp_path.c_str());
    return false;
}

bool DeleteFileAt(const char* path) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    if (std::remove(path) == 0) {
        return true;
    }
    UniqueFile still_there = OpenFile(path, "rb");
    return !still_there;
}

}  // namespace vtrl
