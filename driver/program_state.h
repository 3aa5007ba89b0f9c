// The program's state as a whole: every module keeps plain module-level state
// for the run, and a run starts with all of it in its initial state.
#pragma once

namespace vtrl {

// Puts every module of the program back to its initial state, as at process
// start: the USB and serial links (a held device or port is closed), the
// protocol, the instrument operations, the console, the entry, the upgrade
// sequence, the file paths, the calibration record buffer and the CRC.  The
// installed console, serial and HID ports are left as they are.
void ResetProgramState();

}  // namespace vtrl
