// The program's entry: console, options, finding the instrument (USB first;
// the serial ports only with -C), its firmware version and status, remote mode
// and the hand-over to the upgrade proper.
#pragma once

#include <cstdint>
#include <string>

#include "driver/program_version.h"

namespace vtrl {

// Process exit statuses of RunUpgradeProgram.  A service script can tell from
// the status alone what the instrument holds: 4 leaves it as the run found it,
// 7 leaves it needing another run.
enum ExitStatus : int {
    kExitUpgraded = 0,         // the upgrade ran to its end; the instrument restarts
    kExitUnknownArgument = 1,  // an option other than -C was refused
    kExitNoInstrument = 2,     // nothing answered on USB (nor on COM1..COM3 with -C)
    kExitProtocolRunning = 3,  // the instrument is running a protocol; nothing was changed
    // Declined at the version prompt, or refused before the first marker clear
    // (the image, its size, caldata.bin, the calibration save): nothing on the
    // instrument was changed.
    kExitNothingChanged = 4,
    kExitConsoleRefused = 5,  // the console refused to start (a Windows 3.1 host)
    kExitNoTerminal = 6,      // no terminal to show the program on, or one too small (Linux)
    // The instrument's program was changed (from the first marker clear on)
    // and the upgrade did not complete: it needs another run.
    kExitNeedsAnotherRun = 7,
    // The console did not show the screen, so the program ran again in a
    // console window of the system's own, and the status of that run could not
    // be had: what became of the instrument is what that window showed.
    kExitStatusUnknown = 8,
};

// The largest window the program opens: the USB found window is 68 columns
// wide, the messages and the progress window 11 rows high.  A terminal that
// cannot show this much is refused at start (PrepareNativeConsole).
constexpr int kLargestWindowColumns = 68;
constexpr int kLargestWindowRows = 11;

constexpr uint32_t kProgramVersion =
    VTRL_VERSION_MAJOR * 1000 + VTRL_VERSION_THOUSANDTHS;  // shown in the title as 1.006
constexpr int kSerialPortCount = 3;                        // COM1..COM3
constexpr int kUsbAttempts = 2;
constexpr int kIdentFieldSize = 80;  // bytes per USB identification string
constexpr uint32_t kFoundPauseMs = 1500;
constexpr uint32_t kNoInstrumentPauseMs = 1000;

// The whole program: returns the process exit status.  `program_path` is the
// running program's own file as the system names it (RunningProgramPath, from
// main); the image file is looked for beside it, beside argv[0] only when it
// is empty (the system could not name it).
int RunUpgradeProgram(int argc, char** argv, const std::string& program_path);

// Looks for the instrument: two USB attempts, then, with the serial search on,
// COM1..COM<port_count>.  True when one answered its version query; the link it
// answered on stays selected and *firmware_version holds its version.  Shows
// the found or not-found windows; the not-found ones wait for a key.
bool FindInstrument(int port_count, uint32_t* firmware_version);

// Opens each port in turn (index 0 first) and asks for the version; the port
// that answers stays open and true is returned with its zero-based index.
// Ports that do not answer are closed again.  A count of 0 or less searches nothing.
bool SearchSerialPorts(uint32_t* firmware_version, int* port_index, int port_count);

// One version query (QueryValue 0, 0) on the selected link; true when it
// raised no link error.  *firmware_version receives the answer (0 on failure).
bool ReadFirmwareVersion(uint32_t* firmware_version);

// Initial state: serial search off.
void ResetEntryState();

}  // namespace vtrl
