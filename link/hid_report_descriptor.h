// The report lengths a HID report descriptor declares, worked out from its
// bytes as HidP_GetCaps gives them on Windows: for each kind of report, the
// longest one in bytes, its report ID byte included (also where the device
// numbers no reports).  For backends whose system does not parse the
// descriptor for them (hidraw hands over the raw bytes).  The bytes come from
// the device: anything may be in them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/hid_port.h"

namespace vtrl {

// The longest descriptor a device can have (the Linux kernel's
// HID_MAX_DESCRIPTOR_SIZE); a longer one is refused.
constexpr size_t kHidMaxDescriptorBytes = 4096;
// The longest report the descriptor may declare (the kernel's
// HID_MAX_BUFFER_SIZE), ID byte excluded; one beyond it makes the descriptor
// unusable.
constexpr uint32_t kHidMaxReportBytes = 16384;

// True with `caps` set when `descriptor` is a well-formed report descriptor:
// every item complete, no Push beyond four levels and no Pop without a Push,
// every collection ended, report IDs 1 to 255, report sizes up to 256 bits and no
// report longer than kHidMaxReportBytes.  A kind of report the descriptor
// does not declare has length 0.  False for anything else, `caps` untouched.
bool ReportLengthsFromDescriptor(const uint8_t* descriptor, size_t length, HidCaps* caps);

}  // namespace vtrl
