// Linux only: the HID port over hidapi's hidraw backend, made with the sysfs
// folder it reads the report descriptors from (NativeHidPort's is /sys).
#pragma once

#include <memory>
#include <string>

#include "link/hid_port.h"

namespace vtrl {

// A hidraw port whose report descriptors come from `sys_root`/class/hidraw.
std::unique_ptr<HidPort> MakeHidrawPort(const std::string& sys_root);

}  // namespace vtrl
