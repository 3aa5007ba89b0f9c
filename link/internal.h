// The link modules' own state, reached from outside them only by their test
// support (link/test_support.cpp, which the tests link and no program does).
// Each item is defined in the module named beside it.
#pragma once

#include <cstdint>

#include "link/hid_port.h"
#include "link/serial_port.h"

namespace vtrl::link_internal {

// serial_link.cpp: the port the serial link holds.
struct SerialLinkState {
    SerialHandle port = kInvalidSerialHandle;  // held handle, possibly not set up
    bool open = false;                         // set up completely
    int index = 0;                             // zero-based: 0 is COM1
};
extern SerialLinkState g_serial_link;

// usb_link.cpp: the instrument interface the USB link holds (kNoHidHandle:
// none), and its release number.
extern HidHandle g_usb_device;
extern uint16_t g_usb_release;

}  // namespace vtrl::link_internal
