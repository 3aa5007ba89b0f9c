// What the link modules offer only to their tests (tests/common/test_hooks.h):
// looks into their state, built into vtrl_link_test_support, which no program
// links.
#include "link/internal.h"
#include "tests/common/test_hooks.h"

namespace vtrl {

bool CommPortHeld() {
    return link_internal::g_serial_link.port != kInvalidSerialHandle;
}

bool CommPortOpen() {
    return link_internal::g_serial_link.open;
}

int CommPortIndex() {
    return link_internal::g_serial_link.index;
}

uint16_t UsbDeviceRelease() {
    return link_internal::g_usb_device != kNoHidHandle ? link_internal::g_usb_release : 0;
}

}  // namespace vtrl
