// What only tests use of the calibration module (driver/calibration.cpp
// defines it beside the module's state).
#pragma once

namespace vtrl {

// caldata.bin found as before a full-size image is erased, short of reading
// the instrument, and deleted where the calibration table deletes it then (an
// invalid record).  True when it holds a valid record, which is then in the
// buffer.  A file shorter than a record is left alone; none is ever created.
bool LoadSavedCalibration();

}  // namespace vtrl
