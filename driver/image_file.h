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

// Validates the image at `path` (never creates it), reading the file once,
// and holds its bytes in memory: the upgrade programs exactly what was checked
// here, whatever becomes of the file later (a USB stick pulled out, a network
// share dropped, the file replaced).  On kProgramFileSound the image's
// firmware version is written to *version; otherwise it is untouched.
int CheckProgramFile(const char* path, uint32_t* version);

// The image CheckProgramFile last found sound: true when that was the image
// at `path`.  *size is the file's whole size (UINT32_MAX when larger than
// that); *bytes its first min(*size, kLargestImage) bytes: a larger image is
// held only in part, as the upgrade refuses it.
bool CheckedImage(const char* path, const uint8_t** bytes, uint32_t* size);

// Initial state: no paths built, no image checked.
void ResetImageFileState();

}  // namespace vtrl
