// What the driver modules offer only to their tests (tests/common/test_hooks.h),
// built into vtrl_driver_test_support, which no program links.
#include "driver/file_io.h"
#include "driver/image_file.h"
#include "driver/internal.h"
#include "tests/common/test_hooks.h"

namespace vtrl {

void SetSerialSearch(bool on) {
    driver_internal::g_serial_search = on;
}

int KeepAwakeActiveCount() {
    return driver_internal::g_active_guards;
}

bool LoadSavedCalibration() {
    const SavedFile file = driver_internal::FindSavedCalibration();
    // The rows that need the instrument's record do not fit here.
    const CalibrationRule* rule = driver_internal::FindCalibrationRule(
        CalibrationMoment::kBeforeErase, ImageSize::kFull, [file](SavedFile) { return file; },
        [] { return InstrumentRecord::kAny; });
    if (rule != nullptr && rule->action == CalibrationAction::kDeleteAndSave) {
        DeleteFileAt(CalibrationFilePath());
    }
    return file == SavedFile::kValid;
}

}  // namespace vtrl
