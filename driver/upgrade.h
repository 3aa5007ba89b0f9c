// The upgrade sequence proper: image check, version prompt, calibration
// preservation, erase, download with verification, marker words and restart.
//
// Every failure is reported to the operator once (through ShowAbortMessage)
// and answered by false up the chain; nothing is undone and nothing further is
// sent, and the entry then takes the instrument out of remote mode.
#pragma once

#include <cstdint>

#include "driver/image_file.h"

namespace vtrl {

// True from the moment this run sends the first request that changes the
// instrument's program flash (the first marker clear of EraseProgramFlash):
// from then on, until an upgrade completes, the instrument may hold no valid
// program.  While false, a failed or declined upgrade has left the instrument
// as it found it.
bool ProgramFlashChanged();

// Initial state: nothing changed.
void ResetUpgradeState();

// Runs the whole upgrade for the image beside `program_path` (the first
// command-line argument as received).  True when the upgrade ran to its end
// (the instrument restarted); only then is *image_version written.
bool UpgradeProgram(const char* program_path, uint32_t current_version, uint32_t* image_version);

// Everything after the image check: confirmation, size class, calibration
// preservation, erase, download, restore, marker words, caldata.bin removal,
// restart and the final message.  True when the instrument was restarted with
// the new program; false after its own message, or silently when the operator
// declined.  What is programmed is `image` as CheckProgramFile read it (not
// sound: "Cannot open program file %s.").  A caldata.bin that is not this
// instrument's own record (nor the only copy of a record its instrument lost)
// is never used, overwritten or deleted.
bool PerformUpgrade(const CheckedImage& image, uint32_t current_version);

// Shows both versions and asks; true for y or Y.
bool ConfirmVersions(uint32_t current_version, uint32_t image_version);

// Invalidates the marker words and erases the program sectors (no message).
bool EraseProgramFlash();

// True when start and end lie in the flash region with end >= start; reports
// the failure itself otherwise.
bool CheckFlashAddresses(uint32_t start, uint32_t end);

// Copies the checked image (at most end - start + 2 bytes, an odd tail padded
// with 0xFF) into flash from `start` in blocks, with a progress window, and
// compares the instrument's CRC over exactly the bytes written with the
// host's.  An image that is not sound: "Cannot open program file %s.".
// Reports its own failures.
bool DownloadProgramFile(const CheckedImage& checked, uint32_t start, uint32_t end);

}  // namespace vtrl
