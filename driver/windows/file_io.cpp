// Windows only: the path separator, the program's own path, wide file names, flushing a file to the
// disk and a durable rename; nothing else lives here.
#include <io.h>

#include <cstdio>
#include <string>

#include "driver/file_io.h"
#include "platform/windows/win32.h"

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

// UTF-8 to the wide text the file calls take; empty for text that is not UTF-8.
std::wstring Wide(const char* text) {
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (length <= 0) {
        return std::wstring();
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(), length);
    wide.resize(static_cast<size_t>(length - 1));
    return wide;
}

std::string Utf8(const std::wstring& wide) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        return std::string();
    }
    std::string text(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), text.data(),
                        length, nullptr, nullptr);
    return text;
}

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

std::string RunningProgramPath() {
    // The path can be longer than MAX_PATH; a buffer filled to its end may
    // hold a cut one, so it grows until the path fits.
    for (DWORD size = MAX_PATH;; size *= 2) {
        std::wstring path(size, L'\0');
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), size);
        if (length == 0) {
            return std::string();
        }
        if (length < size) {
            path.resize(length);
            return Utf8(path);
        }
        if (size >= 32768) {
            return std::string();
        }
    }
}

std::FILE* OpenPlatformFile(const char* path, const char* mode) {
    const std::wstring wide_path = Wide(path);
    const std::wstring wide_mode = Wide(mode);
    if (wide_path.empty() || wide_mode.empty()) {
        return nullptr;
    }
    return _wfopen(wide_path.c_str(), wide_mode.c_str());
}

FileOutcome ReplaceFileDurably(const char* from, const char* to) {
    return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0
               ? FileOutcome::kDone
               : Failure();
}

FileOutcome RemovePlatformFile(const char* path) {
    return DeleteFileW(Wide(path).c_str()) != 0 ? FileOutcome::kDone : Failure();
}

}  // namespace vtrl
