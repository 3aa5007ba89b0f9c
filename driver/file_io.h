// File ownership and durable replacement for the files beside the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace vtrl {

struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file != nullptr) {
            std::fclose(file);
        }
    }
};
// A C stream that is closed on every way out of its scope.
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// fopen with an owner; null when the open fails.
UniqueFile OpenFile(const char* path, const char* mode);

// Replaces the file at `path` with `size` bytes so that it is never seen
// half-written: the bytes go to a temporary file in the same directory, which
// is flushed to the disk and then renamed over `path`.  True only when the new
// content is on stable storage under `path`.  On false the temporary file is
// gone and `path` holds either its old content or the complete new one.
bool WriteFileDurably(const char* path, const uint8_t* data, size_t size);

// Removes the file; true when it is gone afterwards (a missing file included).
bool DeleteFileAt(const char* path);

// --- platform part (file_io_linux.cpp / file_io_windows.cpp) ----------------
// The separator between a directory and a file name ('\\' on Windows, '/' on Linux).
char PathSeparator();
// Pushes what the stream's file holds to stable storage; the stream has been
// flushed.  True on success.
bool SyncFileToDisk(std::FILE* file);
// Renames `from` over `to` (replacing it) and makes the rename itself durable.
bool ReplaceFileDurably(const char* from, const char* to);

}  // namespace vtrl
