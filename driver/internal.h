// The driver modules' own state and the calibration table's lookup, reached
// from outside them only by their test support (driver/test_support.cpp,
// which the tests link and no program does).  Each item is defined in the
// module named beside it.
#pragma once

#include <functional>

#include "driver/calibration.h"

namespace vtrl::driver_internal {

// entry.cpp: the serial search switch (-C); off at start.
extern bool g_serial_search;

// keep_awake.cpp: the KeepAwake guards alive now (0: the system is not held).
extern int g_active_guards;

// calibration.cpp: caldata.bin as it is, changing nothing; only a valid
// record reaches the calibration record buffer.
SavedFile FindSavedCalibration();

// calibration.cpp: the first row of the calibration table for `moment` and
// `size` that fits, asking `file(wanted)` and `record()` only for a row that
// does not leave its column open; null when none fits.
const CalibrationRule* FindCalibrationRule(CalibrationMoment moment, ImageSize size,
                                           const std::function<SavedFile(SavedFile)>& file,
                                           const std::function<InstrumentRecord()>& record);

}  // namespace vtrl::driver_internal
