// The files beside the program: the firmware image vtrlprog.bin and the
// calibration backup caldata.bin, and the check of the image's trailer.
//
// Image layout (N bytes, N >= 6, little-endian fields): program bytes, then a
// 6-byte trailer of the image's firmware version (4 bytes, thousandths) and
// the CRC-16 of bytes 0..N-3 (low byte at N-2).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

class CheckedImage;

// Validates the image at `path` (never creates it), reading the file once,
// into *image, which the caller owns: the upgrade programs exactly what was
// checked here, whatever becomes of the file later (a USB stick pulled out, a
// network share dropped, the file replaced).  *image names `path` and how
// many bytes were read whatever the result; it is sound, with its version and
// bytes, on kProgramFileSound only.
int CheckProgramFile(const char* path, CheckedImage* image);

// An image file as CheckProgramFile read it.
class CheckedImage {
  public:
    CheckedImage() = default;

    // The path it was read from, as the messages name it.
    const std::string& Path() const { return path_; }
    // True when its trailer checked; only then are the version and the bytes set.
    bool Sound() const { return sound_; }
    // The image's firmware version, in thousandths.
    uint32_t Version() const { return version_; }
    // The file's size in bytes as read (UINT32_MAX when larger); 0 when it
    // could not be opened.
    uint32_t Size() const { return size_; }
    // The file's first min(Size(), kLargestImage) bytes: a larger image is
    // held only in part, as the upgrade refuses it.
    const uint8_t* Bytes() const { return bytes_.data(); }

  private:
    friend int CheckProgramFile(const char* path, CheckedImage* image);

    std::string path_;
    bool sound_ = false;
    uint32_t version_ = 0;
    uint32_t size_ = 0;
    std::vector<uint8_t> bytes_;
};

// The size of the checked image, which decides how the upgrade runs.
uint32_t GetProgramFileSize(const CheckedImage& image);

// Initial state: no paths built.
void ResetImageFileState();

}  // namespace vtrl
