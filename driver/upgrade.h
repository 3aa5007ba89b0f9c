// The upgrade sequence proper: image check, version prompt, calibration
// preservation, erase, download with verification, marker words and restart.
#pragma once

#include <cstdint>

namespace vtrl {

// Runs the whole upgrade for the image beside `program_path` (the first
// command-line argument as received).  True when the upgrade ran to its end
// (the instrument restarted); only then is *image_version written.
bool UpgradeProgram(const char* program_path, uint32_t current_version, uint32_t* image_version);

}  // namespace vtrl
