#include "driver/image_file.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "driver/crc16.h"
#include "driver/file_io.h"

namespace vtrl {
namespace {

constexpr size_t kTrailerSize = 6;

char g_program_directory[kFilePathLimit + 1] = "";
char g_calibration_path[kFilePathLimit + 1] = "";
char g_image_path[kFilePathLimit + 1] = "";
bool g_paths_usable = false;

struct Checked {
    bool known = false;
    char path[kFilePathLimit + 1] = "";
    uint32_t size = 0;
    uint16_t stored_crc = 0;
};
Checked g_checked;

// Directory + separator + name, cut to the path limit; false when it was cut.
bool JoinPath(char (&out)[kFilePathLimit + 1], const char* directory, const char* name) {
    const char separator[2] = {PathSeparator(), '\0'};
    out[0] = '\0';
    size_t used = 0;
    bool complete = true;
    for (const char* part : {directory, static_cast<const char*>(separator), name}) {
        const size_t length = std::strlen(part);
        const size_t room = kFilePathLimit - used;
        const size_t take = length < room ? length : room;
        std::memcpy(out + used, part, take);
        used += take;
        complete = complete && take == length;
    }
    out[used] = '\0';
    return complete;
}

}  // namespace

void BuildFilePaths(const char* program_path) {
    if (program_path == nullptr) {
        program_path = "";
    }
    const size_t full_length = std::strlen(program_path);
    const size_t kept = full_length < kFilePathLimit ? full_length : kFilePathLimit;
    std::memcpy(g_program_directory, program_path, kept);
    g_program_directory[kept] = '\0';

    char* last = std::strrchr(g_program_directory, PathSeparator());
    if (last != nullptr) {
        *last = '\0';
    } else {
        std::strcpy(g_program_directory, ".");
    }

    // Cutting the program path at 256 characters can drop its real last
    // separator, and then the directory found is some parent of the real one.
    const char* real_last = std::strrchr(program_path, PathSeparator());
    const bool directory_complete =
        real_last == nullptr || static_cast<size_t>(real_last - program_path) < kFilePathLimit;

    const bool calibration_complete =
        JoinPath(g_calibration_path, g_program_directory, kCalibrationFileName);
    const bool image_complete = JoinPath(g_image_path, g_program_directory, kImageFileName);
    g_paths_usable = directory_complete && calibration_complete && image_complete;
}

const char* ProgramDirectory() {
    return g_program_directory;
}
const char* CalibrationFilePath() {
    return g_calibration_path;
}
const char* ImagePath() {
    return g_image_path;
}
bool FilePathsUsable() {
    return g_paths_usable;
}

int CheckProgramFile(const char* path, uint32_t* version) {
    g_checked = Checked{};
    UniqueFile file = OpenFile(path, "rb");
    if (!file) {
        return kProgramFileCannotOpen;
    }
    CRC16Reset();

    // A byte is folded only once two more have been read behind it, so that at
    // the end the CRC covers bytes 0..N-3 and the pair holds the stored CRC.
    uint8_t pair[2] = {0, 0};
    uint64_t count = 0;
    uint8_t chunk[4096];
    for (size_t got; (got = ReadFile(file.get(), chunk, sizeof chunk)) > 0;) {
        for (size_t i = 0; i < got; ++i) {
            if (count >= 2) {
                CRC16Update(&pair[0], 1);
            }
            pair[0] = pair[1];
            pair[1] = chunk[i];
            ++count;
        }
    }
    if (CurrentFileSystem().Failed(file.get())) {
        return kProgramFileCorrupted;
    }
    std::clearerr(file.get());

    const uint16_t stored_crc = static_cast<uint16_t>(pair[1] << 8 | pair[0]);
    if (count < kTrailerSize || stored_crc != CRC16Value()) {
        return kProgramFileCorrupted;
    }
    uint8_t bytes[4];
    if (std::fseek(file.get(), static_cast<long>(count - kTrailerSize), SEEK_SET) != 0 ||
        ReadFile(file.get(), bytes, sizeof bytes) != sizeof bytes) {
        return kProgramFileCorrupted;
    }
    if (version != nullptr) {
        *version = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                   static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    }
    if (std::strlen(path) <= kFilePathLimit && count <= UINT32_MAX) {
        g_checked.known = true;
        std::strcpy(g_checked.path, path);
        g_checked.size = static_cast<uint32_t>(count);
        g_checked.stored_crc = stored_crc;
    }
    return kProgramFileSound;
}

bool CheckedImage(const char* path, uint32_t* size, uint16_t* stored_crc) {
    if (!g_checked.known || path == nullptr || std::strcmp(path, g_checked.path) != 0) {
        return false;
    }
    *size = g_checked.size;
    *stored_crc = g_checked.stored_crc;
    return true;
}

uint32_t GetProgramFileSize(const char* path) {
    UniqueFile file = OpenFile(path, "rb");
    if (!file) {
        return 0;
    }
    // A file too large for the stream to measure is too large for the instrument.
    if (std::fseek(file.get(), 0, SEEK_END) != 0) {
        return UINT32_MAX;
    }
    const long size = std::ftell(file.get());
    if (size < 0 || static_cast<unsigned long>(size) > UINT32_MAX) {
        return UINT32_MAX;
    }
    return static_cast<uint32_t>(size);
}

void ResetImageFileState() {
    g_program_directory[0] = '\0';
    g_calibration_path[0] = '\0';
    g_image_path[0] = '\0';
    g_paths_usable = false;
    g_checked = Checked{};
}

}  // namespace vtrl
