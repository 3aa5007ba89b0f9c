// The files beside the program: every file call the program makes goes
// through one seam, FileSystem, whose own implementation is C stdio with the
// platform's durability calls; tests install one that fails or stops at a
// chosen call.  Files have owners that close them, and caldata.bin is replaced
// durably, never seen half-written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/scoped_handle.h"

namespace vtrl {

// What became of a rename or a removal.  Busy: another program held the file
// for a moment (a virus scanner, the search indexer, a sync client opens a new
// file briefly), so the call may go through when tried again.
enum class FileOutcome { kDone, kBusy, kFailed };

class FileSystem {
  public:
    virtual ~FileSystem() = default;
    // fopen; null when the file cannot be opened.
    virtual std::FILE* Open(const char* path, const char* mode);
    // fread: the bytes read, fewer at the end of the file or on an error.
    virtual size_t Read(std::FILE* file, uint8_t* buffer, size_t count);
    // fwrite: the bytes written, fewer when the disk refused the rest.
    virtual size_t Write(std::FILE* file, const uint8_t* data, size_t count);
    // ferror: the stream met a read or write error (a short read without one
    // is the end of the file).
    virtual bool Failed(std::FILE* file);
    // Pushes what was written to stable storage (fflush, then the platform's
    // sync); true on success.
    virtual bool Flush(std::FILE* file);
    // fclose; false when the file system reported a failed write-back.
    virtual bool Close(std::FILE* file);
    // Renames `from` over `to`, replacing it, durably.
    virtual FileOutcome Replace(const char* from, const char* to);
    // Removes the file.
    virtual FileOutcome Remove(const char* path);
};

// The seam in use: the platform's own until a test installs another (null
// puts the platform's own back).
void SetFileSystem(FileSystem* file_system);
FileSystem& CurrentFileSystem();

struct FileTraits {
    using Handle = std::FILE*;
    static bool IsValid(const std::FILE* file) { return file != nullptr; }
    static std::FILE* Invalid() { return nullptr; }
    static void Close(std::FILE* file) { CurrentFileSystem().Close(file); }
};
// A stream that is closed on every way out of its scope.
using UniqueFile = ScopedHandle<FileTraits>;

// Opens with an owner; null when the open fails (or the path is empty).
UniqueFile OpenFile(const char* path, const char* mode);
// Reads up to `count` bytes; the number read.
size_t ReadFile(std::FILE* file, uint8_t* buffer, size_t count);

// A rename or removal that finds the file busy is tried again, 100 ms apart,
// for 2 s in all before it counts as failed.
constexpr uint32_t kBusyFilePauseMs = 100;
constexpr uint32_t kBusyFileWaitMs = 2000;

// Opens as OpenFile does, but an open refused with EACCES is tried again as a
// busy rename is: on Windows that is what the C runtime gives when another
// program (a virus scanner, the search indexer) holds the file without sharing
// it, for a moment.  (A file that is not readable at all is refused the same
// way; it costs the wait.)  On failure errno tells why the last open failed:
// ENOENT for no such file.
UniqueFile OpenFileWhenFree(const char* path, const char* mode);

// Replaces the file at `path` with `size` bytes so that it is never seen
// half-written: the bytes go to a temporary file in the same directory, which
// is flushed to the disk and then renamed over `path`.  True only when the new
// content is on stable storage under `path`.  On false the temporary file is
// gone and `path` holds either its old content or the complete new one.
bool WriteFileDurably(const char* path, const uint8_t* data, size_t size);

// The temporary file WriteFileDurably writes beside `path` before the rename;
// one is left behind only by a run that stopped half-way.
std::string TemporaryPathFor(const char* path);

// Removes the file; true when it is gone afterwards (a missing file included).
// A busy file is tried again as above.
bool DeleteFileAt(const char* path);

// --- platform part (linux/file_io.cpp, windows/file_io.cpp) ------------------
// The separator between a directory and a file name ('\\' on Windows, '/' on Linux).
char PathSeparator();
// The running program's own file (/proc/self/exe, GetModuleFileNameW): the
// folder that holds vtrlprog.bin and caldata.bin is the one it lies in,
// however the program was started (through PATH, or by a relative name from
// another folder).  Paths are UTF-8 text on every platform.  Empty when the
// system cannot say.
std::string RunningProgramPath();
// fopen of a UTF-8 path (on Windows through its wide name, so that no
// character outside the ANSI code page is lost).
std::FILE* OpenPlatformFile(const char* path, const char* mode);
// Pushes what the stream's file holds to stable storage; the stream has been
// flushed.  True on success.
bool SyncFileToDisk(std::FILE* file);
// Renames `from` over `to` (replacing it) and makes the rename itself durable.
FileOutcome ReplaceFileDurably(const char* from, const char* to);
// Removes the file.
FileOutcome RemovePlatformFile(const char* path);

}  // namespace vtrl
