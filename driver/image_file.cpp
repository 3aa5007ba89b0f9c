#include "driver/image_file.h"

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "driver/crc16.h"
#include "driver/file_io.h"
#include "protocol/instrument_memory.h"

namespace vtrl {
namespace {

constexpr size_t kTrailerSize = 6;

char g_program_directory[kFilePathLimit + 1] = "";
char g_calibration_path[kFilePathLimit + 1] = "";
char g_image_path[kFilePathLimit + 1] = "";
bool g_paths_usable = false;

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

int CheckProgramFile(const char* path, CheckedImage* image) {
    *image = CheckedImage();
    image->path_ = path != nullptr ? path : "";
    UniqueFile file = OpenFile(path, "rb");
    if (!file) {
        return kProgramFileCannotOpen;
    }
    Crc16 crc;

    // A byte is folded only once two more have been read behind it, so that at
    // the end the CRC covers bytes 0..N-3 and the last six bytes read hold the
    // trailer: the version, then the stored CRC.
    std::vector<uint8_t> held;
    uint8_t last[kTrailerSize] = {};
    uint64_t count = 0;
    uint8_t chunk[4096];
    for (size_t got; (got = ReadFile(file.Get(), chunk, sizeof chunk)) > 0;) {
        for (size_t i = 0; i < got; ++i) {
            if (count >= 2) {
                crc.Update(&last[kTrailerSize - 2], 1);
            }
            std::memmove(last, last + 1, kTrailerSize - 1);
            last[kTrailerSize - 1] = chunk[i];
            ++count;
        }
        const size_t room = kLargestImage - held.size();
        held.insert(held.end(), chunk, chunk + (got < room ? got : room));
    }
    image->size_ = count < UINT32_MAX ? static_cast<uint32_t>(count) : UINT32_MAX;
    if (CurrentFileSystem().Failed(file.Get())) {
        return kProgramFileCorrupted;
    }

    const uint16_t stored_crc = static_cast<uint16_t>(last[5] << 8 | last[4]);
    if (count < kTrailerSize || stored_crc != crc.Value()) {
        return kProgramFileCorrupted;
    }
    image->version_ = static_cast<uint32_t>(last[0]) | static_cast<uint32_t>(last[1]) << 8 |
                      static_cast<uint32_t>(last[2]) << 16 | static_cast<uint32_t>(last[3]) << 24;
    image->bytes_ = std::move(held);
    image->sound_ = true;
    return kProgramFileSound;
}

uint32_t GetProgramFileSize(const CheckedImage& image) {
    return image.Size();
}

void ResetImageFileState() {
    g_program_directory[0] = '\0';
    g_calibration_path[0] = '\0';
    g_image_path[0] = '\0';
    g_paths_usable = false;
}

}  // namespace vtrl
