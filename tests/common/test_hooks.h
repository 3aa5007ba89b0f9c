// What the program's modules offer only to their tests: looks into module
// state and overrides that the program itself never calls.  They are defined
// beside the state they reach (named in each group), and declared here so
// that the product's headers state just what the program uses.
#pragma once

#include <cstdint>
#include <string>

#include "console/popup_window.h"

namespace vtrl {

// console/text_output.cpp: true while the cursor sits on the row just below
// the region.
bool CursorBelowRegion();

// console/popup_window.cpp: the window stack's own links, for tests that
// damage them on purpose.  Linking refuses a null entry.
WindowStackEntry* TopWindowEntry();
WindowStackEntry* BottomWindowEntry();
bool LinkWindowEntry(WindowStackEntry* entry);

// driver/entry.cpp: the serial search switch (-C); off at start.
void SetSerialSearch(bool on);

// driver/keep_awake.cpp: the KeepAwake guards alive now (0 when the system is
// not held), to check that the hold is released on every way out.
int KeepAwakeActiveCount();

// driver/file_io.cpp: the program's file for the runs that follow, as if the
// program lay there (empty: the system's answer again).
void SetRunningProgramPath(const std::string& path);

// driver/calibration.cpp: caldata.bin found as before a full-size image is
// erased, short of reading the instrument, and deleted where the calibration
// table deletes it then (an invalid record).  True when it holds a valid
// record, which is then in the buffer.  A file shorter than a record is left
// alone; none is ever created.
bool LoadSavedCalibration();

// link/serial_link.cpp: true while a port handle is held / while the held
// port is set up (open); the held port's index (0 is COM1).
bool CommPortHeld();
bool CommPortOpen();
int CommPortIndex();

// protocol/protocol.cpp: the no-reply flag SetNoReplyFlag set.
bool NoReplyFlag();

// link/usb_link.cpp: the release number of the held device (0 when none is held).
uint16_t UsbDeviceRelease();

// link/hid_port_linux.cpp: where the HID port finds sysfs, whose hidraw nodes
// it reads report descriptors from (empty: /sys again).
void SetHidSysfsRoot(const std::string& root);

}  // namespace vtrl
