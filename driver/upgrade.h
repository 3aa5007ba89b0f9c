// The upgrade sequence proper: image check, version prompt, calibration
// preservation, erase, download with verification, marker words and restart.
//
// Every failure is reported to the operator once (through ShowAbortMessage)
// and answered by false up the chain; nothing is undone and nothing further is
// sent, and the entry then takes the instrument out of remote mode.
#pragma once

#include <cstdint>

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
// command-line argument as received): checks the image file (read once; what
// is programmed is the image as checked), asks, erases, downloads and
// verifies, restores the calibration record, writes the marker words and
// restarts the instrument.  True when the upgrade ran to its end (the
// instrument restarted); only then is *image_version written.  A caldata.bin
// that is not this instrument's own record (nor the only copy of a record its
// instrument lost) is never used, overwritten or deleted.
bool UpgradeProgram(const char* program_path, uint32_t current_version, uint32_t* image_version);

}  // namespace vtrl
