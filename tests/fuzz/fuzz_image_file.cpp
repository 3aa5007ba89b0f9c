// The image file: CheckProgramFile and GetProgramFileSize on any contents of
// any size up to a few hundred KiB.  Every result is judged against the image
// layout independently of the program (the stand-in's own CRC-16).
//
// Input: a mode byte, then
//   mode bit 0 set: no file at all;
//   mode bit 1 set: three bytes of size (cut to 400 KiB), the rest repeated to
//                   fill it (large files from small inputs);
//   otherwise:      the rest is the file;
//   mode bit 2 set: the trailer's CRC is made right (so the sound path is
//                   reached with any contents).
#include <cstdint>
#include <string>
#include <vector>

#include "driver/image_file.h"
#include "driver/program_state.h"
#include "sim/image.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/upgrade/upgrade_files.h"

namespace {

constexpr size_t kLargestFile = 400 * 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vtrl;
    ResetProgramState();
    fuzz::FuzzInput in(data, size);
    const uint8_t mode = in.Byte();
    const std::string path = fuzz::ScratchDir() + "/vtrlprog.bin";

    std::vector<uint8_t> file;
    if ((mode & 2) != 0) {
        const size_t length =
            (size_t{in.Byte()} << 16 | size_t{in.Byte()} << 8 | in.Byte()) % (kLargestFile + 1);
        size_t pattern_length = 0;
        const uint8_t* pattern = in.Rest(&pattern_length);
        file.resize(length, 0);
        for (size_t i = 0; pattern_length > 0 && i < length; ++i) {
            file[i] = pattern[i % pattern_length];
        }
    } else {
        size_t length = 0;
        const uint8_t* bytes = in.Rest(&length);
        file.assign(bytes, bytes + length);
    }
    if ((mode & 4) != 0) {
        sim::SealImage(file);
    }
    const bool present = (mode & 1) == 0;
    fuzz::PlaceFile(path, present, file);

    CheckedImage image;
    const int check = CheckProgramFile(path.c_str(), &image);
    const uint32_t measured = GetProgramFileSize(image);

    if (!present) {
        VTRL_FUZZ_CHECK(check == kProgramFileCannotOpen);
        VTRL_FUZZ_CHECK(measured == 0);
        VTRL_FUZZ_CHECK(!test::FileExists(path));  // never created
        VTRL_FUZZ_CHECK(!image.Sound());
        return 0;
    }
    VTRL_FUZZ_CHECK(measured == file.size());
    uint32_t expected_version = 0;
    const bool sound = sim::ImageVersion(file, &expected_version);
    VTRL_FUZZ_CHECK(check == (sound ? kProgramFileSound : kProgramFileCorrupted));
    VTRL_FUZZ_CHECK(image.Sound() == sound);
    VTRL_FUZZ_CHECK(image.Version() == (sound ? expected_version : 0));
    return 0;
}
