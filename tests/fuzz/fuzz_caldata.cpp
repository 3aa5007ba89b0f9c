// caldata.bin: LoadSavedCalibration (the file as found, and the calibration
// table's answer before erasing) on any contents.  A valid record is taken
// into the buffer, an invalid one of full length is deleted, a short one is
// left as it was, a missing one is never created.
//
// Input: a mode byte, then the file.  Mode bit 0: no file; bit 1: the magic and
// the CRC are made right (to reach the valid path with any contents).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "driver/calibration.h"
#include "driver/image_file.h"
#include "driver/program_state.h"
#include "sim/image.h"
#include "tests/common/test_hooks.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/upgrade/upgrade_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vtrl;
    ResetProgramState();
    fuzz::FuzzInput in(data, size);
    const uint8_t mode = in.Byte();
    size_t length = 0;
    const uint8_t* bytes = in.Rest(&length);
    std::vector<uint8_t> file(bytes, bytes + length);
    if ((mode & 2) != 0 && file.size() >= sim::kCalibrationRecordSize) {
        sim::SealCalibrationRecord(file.data());
    }

    const std::string program = fuzz::ScratchDir() + "/vtrlupg";
    BuildFilePaths(program.c_str());
    const std::string path = CalibrationFilePath();
    VTRL_FUZZ_CHECK(path == fuzz::ScratchDir() + "/caldata.bin");
    const bool present = (mode & 1) == 0;
    fuzz::PlaceFile(path, present, file);

    const bool loaded = LoadSavedCalibration();

    const bool full = present && file.size() >= sim::kCalibrationRecordSize;
    const bool valid =
        full && sim::CalibrationRecordValid(file.data(), sim::kCalibrationRecordSize);
    VTRL_FUZZ_CHECK(loaded == valid);
    if (valid) {
        VTRL_FUZZ_CHECK(
            std::memcmp(CalibrationRecordBuffer(), file.data(), sim::kCalibrationRecordSize) == 0);
    }
    // Kept when valid or too short to judge; an invalid record is deleted.
    VTRL_FUZZ_CHECK(test::FileExists(path) == (present && (valid || !full)));
    if (present && (valid || !full)) {
        VTRL_FUZZ_CHECK(test::ReadBytes(path) == file);
    }
    return 0;
}
