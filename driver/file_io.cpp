#include "driver/file_io.h"

#include <cerrno>

#include "platform/clock.h"

namespace vtrl {

namespace {

FileSystem g_native_file_system;
FileSystem* g_file_system = nullptr;

// Tries `call` again while it finds the file busy, on the program's clock.
template <typename Call>
bool WhileBusy(Call call) {
    for (uint32_t waited = 0;; waited += kBusyFilePauseMs) {
        const FileOutcome outcome = call();
        if (outcome == FileOutcome::kDone) {
            return true;
        }
        if (outcome != FileOutcome::kBusy || waited >= kBusyFileWaitMs) {
            return false;
        }
        Delay(kBusyFilePauseMs);
    }
}

}  // namespace

std::FILE* FileSystem::Open(const char* path, const char* mode) {
    return OpenPlatformFile(path, mode);
}

size_t FileSystem::Read(std::FILE* file, uint8_t* buffer, size_t count) {
    return std::fread(buffer, 1, count, file);
}

size_t FileSystem::Write(std::FILE* file, const uint8_t* data, size_t count) {
    return std::fwrite(data, 1, count, file);
}

bool FileSystem::Failed(std::FILE* file) {
    return std::ferror(file) != 0;
}

bool FileSystem::Flush(std::FILE* file) {
    return std::fflush(file) == 0 && SyncFileToDisk(file);
}

bool FileSystem::Close(std::FILE* file) {
    return std::fclose(file) == 0;
}

FileOutcome FileSystem::Replace(const char* from, const char* to) {
    return ReplaceFileDurably(from, to);
}

FileOutcome FileSystem::Remove(const char* path) {
    return RemovePlatformFile(path);
}

void SetFileSystem(FileSystem* file_system) {
    g_file_system = file_system;
}

FileSystem& CurrentFileSystem() {
    return g_file_system != nullptr ? *g_file_system : g_native_file_system;
}

UniqueFile OpenFile(const char* path, const char* mode) {
    if (path == nullptr || path[0] == '\0') {
        return UniqueFile();
    }
    return UniqueFile(CurrentFileSystem().Open(path, mode));
}

UniqueFile OpenFileWhenFree(const char* path, const char* mode) {
    UniqueFile file;
    int open_error = 0;
    WhileBusy([&] {
        errno = 0;
        file = OpenFile(path, mode);
        open_error = errno;
        if (file) {
            return FileOutcome::kDone;
        }
        return open_error == EACCES ? FileOutcome::kBusy : FileOutcome::kFailed;
    });
    errno = open_error;
    return file;
}

size_t ReadFile(std::FILE* file, uint8_t* buffer, size_t count) {
    return count == 0 ? 0 : CurrentFileSystem().Read(file, buffer, count);
}

bool WriteFileDurably(const char* path, const uint8_t* data, size_t size) {
    if (path == nullptr || path[0] == '\0' || (data == nullptr && size != 0)) {
        return false;
    }
    FileSystem& fs = CurrentFileSystem();
    const std::string temp_path = TemporaryPathFor(path);
    bool written = false;
    {
        UniqueFile file = OpenFile(temp_path.c_str(), "wb");
        if (!file) {
            return false;
        }
        // Each Write goes to the file at once: nothing waits in a buffer for
        // the close, which a killed program never reaches.  (Should the stream
        // keep its buffer, the flush below still takes the bytes to the disk.)
        (void)std::setvbuf(file.Get(), nullptr, _IONBF, 0);
        written = fs.Write(file.Get(), data, size) == size && fs.Flush(file.Get());
        // Closing can still report a failed write-back.
        written = fs.Close(file.Release()) && written;
    }
    if (written && WhileBusy([&] { return fs.Replace(temp_path.c_str(), path); })) {
        return true;
    }
    WhileBusy([&] { return fs.Remove(temp_path.c_str()); });
    return false;
}

std::string TemporaryPathFor(const char* path) {
    return std::string(path != nullptr ? path : "") + ".tmp";
}

bool DeleteFileAt(const char* path) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    if (WhileBusy([&] { return CurrentFileSystem().Remove(path); })) {
        return true;
    }
    UniqueFile still_there = OpenFile(path, "rb");
    return !still_there;
}

}  // namespace vtrl
