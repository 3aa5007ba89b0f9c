// What the program's modules offer only to their tests: looks into module
// state and entry points the program itself never calls from outside its
// module.  The looks are defined by each layer's test support
// (console/test_support.cpp, link/test_support.cpp,
// driver/test_support.cpp: the libraries vtrl_<layer>_test_support, which no
// program links), the rest beside the code they run (named in each group);
// they are declared here so that the product's headers state just what the
// program uses.
#pragma once

#include <cstdint>

#include "console/popup_window.h"

namespace vtrl {

class CheckedImage;

// console/test_support.cpp: true while the cursor sits on the row just below
// the region.
bool CursorBelowRegion();

// console/test_support.cpp: the window stack's own links; and
// console/popup_window.cpp: linking an entry on top, for tests that damage the
// links on purpose.  Linking refuses a null entry.
WindowStackEntry* TopWindowEntry();
WindowStackEntry* BottomWindowEntry();
bool LinkWindowEntry(WindowStackEntry* entry);

// driver/test_support.cpp: the serial search switch (-C); off at start.
void SetSerialSearch(bool on);

// driver/test_support.cpp: the KeepAwake guards alive now (0 when the system
// is not held), to check that the hold is released on every way out.
int KeepAwakeActiveCount();

// driver/upgrade.cpp: the download on its own, which the upgrade calls with
// its fixed addresses.  Rounds start and end down to even and checks them
// against the flash region ("Start address is not in Flash region.", "Out of
// range end address."); an image that is not sound: "Cannot open program file
// %s.".  True when the instrument's CRC over the bytes written matches.
bool DownloadProgramFile(const CheckedImage& image, uint32_t start, uint32_t end);

// driver/test_support.cpp: caldata.bin found as before a full-size image is
// erased, short of reading the instrument, and deleted where the calibration
// table deletes it then (an invalid record).  True when it holds a valid
// record, which is then in the buffer.  A file shorter than a record is left
// alone; none is ever created.
bool LoadSavedCalibration();

// link/test_support.cpp: true while a port handle is held / while the held
// port is set up (open); the held port's index (0 is COM1).
bool CommPortHeld();
bool CommPortOpen();
int CommPortIndex();

// link/test_support.cpp: the release number of the held device (0 when none
// is held).
uint16_t UsbDeviceRelease();

}  // namespace vtrl
