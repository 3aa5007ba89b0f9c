// The files beside the program: the firmware image vtrlprog.bin and the
// calibration backup caldata.bin, and the check of the image's trailer.
//
// Image layout (N bytes, N >= 6, little-endian fields): program bytes, then a
// 6-byte trailer of the image's firmware version (4 bytes, thousandths) and
// the CRC-16 of bytes 0..N-3 (low byte at N-2).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vtrl {

constexpr size_t kFilePathLimit = 256;  // characters, terminator not counted
constexpr char kImageFileName[] = "vtrlprog.bin";
constexpr char kCalibrationFileName[] = "caldata.bin";

// Sets the program directory (the program path cut before its last separator,
// "." when it has none) and the two file paths beside it, each cut to 256
// characters.
void BuildFilePaths(const char* program_path);

const char* ProgramDirectory();
const char* CalibrationFilePath();
const char* ImagePath();

// False when a path had to be cut to fit 256 characters (or BuildFilePaths has
// not run): a cut path may name some other file, so nothing may be opened,
// written or deleted through it.
bool FilePathsUsable();

enum ProgramFileCheck : int {
    kProgramFileSound = 0,
    kProgramFileCannotOpen = 1,
    kProgramFileCorrupted = 2,
};

// Validates the image at `path` (never creates it).  On kProgramFileSound the
// image's firmware version is written to *version; otherwise it is untouched.
int CheckProgramFile(const char* path, uint32_t* version);

// The image CheckProgramFile last found sound: true when that was the image
// at `path`, with its size and the CRC its trailer stores.  Whatever is
// programmed later must be that same image, not one changed since.
bool CheckedImage(const char* path, uint32_t* size, uint16_t* stored_crc);

// The file's size in bytes; 0 when it cannot be opened, UINT32_MAX when it is
// too large to be measured.
uint32_t GetProgramFileSize(const char* path);

// Initial state: no paths built, no image checked.
void ResetImageFileState();

}  // namespace vtrl
