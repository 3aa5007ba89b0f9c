#include "driver/entry.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "console/dconsole.h"
#include "driver/internal.h"
#include "driver/upgrade.h"
#include "link/serial_link.h"
#include "link/usb_link.h"
#include "platform/clock.h"
#include "platform/scope_exit.h"
#include "protocol/protocol.h"

namespace vtrl {

namespace driver_internal {
bool g_serial_search = false;
}  // namespace driver_internal

namespace {

using driver_internal::g_serial_search;

constexpr uint16_t kUsbFoundWidth = 68;
constexpr uint16_t kUsbFoundHeight = 10;
static_assert(kUsbFoundWidth <= kLargestWindowColumns &&
                  kMessageWindowWidth <= kLargestWindowColumns &&
                  kUsbFoundHeight <= kLargestWindowRows &&
                  kMessageWindowHeight <= kLargestWindowRows,
              "a terminal checked at start must show every window whole");
// Identification strings shown in the USB found window: language,
// manufacturer, product and serial number (configuration and interface are not).
constexpr int kIdentFieldsShown = 4;
// Longest part of a refused argument repeated in its message; a longer one is
// cut so that the message keeps its "Please press a key..." line.
constexpr int kArgumentShownChars = 60;

void ShowMessage(const char* text) {
    ShowMessageWindow(text, kMessageWindowWidth, kMessageWindowHeight);
}

// Options: "-" or "/" and only the second character counts.  Returns false
// after refusing an argument (message shown and key read).
bool ReadOptions(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr || (arg[0] != '-' && arg[0] != '/')) {
            continue;
        }
        if (arg[1] == 'C' || arg[1] == 'c') {
            g_serial_search = true;
            continue;
        }
        char text[128];
        (void)std::snprintf(text, sizeof text, "Unknown argument -%.*s.\r\n Please press a key...",
                            kArgumentShownChars, arg + 1);
        ShowMessageAndReadKey(text);
        return false;
    }
    return true;
}

bool ProtocolRunning() {
    return (GetStatus() & kStatusProtocolRunning) != 0;
}

}  // namespace

void ResetEntryState() {
    g_serial_search = false;
}

bool ReadFirmwareVersion(uint32_t* firmware_version) {
    ClearLinkError();
    *firmware_version = QueryValue(kSelectorFirmwareVersion, 0);
    return GetLinkError() == kLinkErrorNone;
}

bool SearchSerialPorts(uint32_t* firmware_version, int* port_index, int port_count) {
    for (int index = 0; index < port_count; ++index) {
        SetCommPortIndex(index);
        if (InitCommLink(true) && ReadFirmwareVersion(firmware_version)) {
            *port_index = index;
            return true;
        }
        CloseCommPort();
    }
    return false;
}

bool FindInstrument(int port_count, uint32_t* firmware_version) {
    char fields[kUsbIdentFieldCount][kIdentFieldSize];
    char* field_pointers[kUsbIdentFieldCount];
    for (int i = 0; i < kUsbIdentFieldCount; ++i) {
        field_pointers[i] = fields[i];
    }

    for (int attempts_left = kUsbAttempts - 1; attempts_left >= 0; --attempts_left) {
        std::memset(fields, 0, sizeof fields);
        if (!FindUSBDevice(field_pointers, kIdentFieldSize)) {
            continue;
        }
        for (auto& field : fields) {
            field[kIdentFieldSize - 1] = '\0';
        }
        ShowMessageWindow("Found Vantrel on USB \r\n", kUsbFoundWidth, kUsbFoundHeight);
        if (ReadFirmwareVersion(firmware_version)) {
            ConsolePrint("Firmware Version %u.%03u\r\n", *firmware_version / 1000,
                         *firmware_version % 1000);
            for (int i = 0; i < kIdentFieldsShown; ++i) {
                ConsolePrint("%s\r\n", fields[i]);
            }
            Delay(kFoundPauseMs);
            CloseMessageWindow();
            return true;
        }
        // The window stays: the next attempt draws its own over it.
        ConsolePrint("Failed to get old version, retries left: %d\r\n", attempts_left);
    }

    if (!g_serial_search) {
        ShowMessageAndReadKey(" No Vantrel detected on USB.\r\n\r\n Press a key");
        return false;
    }

    // A device found on USB that did not answer would keep the USB link
    // selected, and the serial search would then ask it again instead of the
    // serial ports: let it go first.
    if (USBLinkSelected()) {
        ResetUsbLink();
    }

    ShowMessage(" Searching for Vantrel on serial port");
    int port_index = 0;
    const bool found = SearchSerialPorts(firmware_version, &port_index, port_count);
    CloseMessageWindow();

    char text[128];
    if (found) {
        (void)std::snprintf(text, sizeof text, " Found Vantrel Version %u.%03u on COM%d",
                            *firmware_version / 1000, *firmware_version % 1000, port_index + 1);
        ShowMessage(text);
        Delay(kFoundPauseMs);
        CloseMessageWindow();
        return true;
    }
    (void)std::snprintf(text, sizeof text,
                        " No Vantrel detected on COM 1 through %d\r\n\r\n Press a key", port_count);
    ShowMessageAndReadKey(text);
    return false;
}

int RunUpgradeProgram(int argc, char** argv, const std::string& program_path) {
    char title[64];
    (void)std::snprintf(title, sizeof title, "WIN32 Vantrel Program Upgrade Version %u.%03u",
                        kProgramVersion / 1000, kProgramVersion % 1000);
    if (!InitConsole(title)) {
        return kExitConsoleRefused;
    }
    // Before anything else: a console that does not show the screen has the
    // program run again where it does, and ends with that run's status.
    int elsewhere_status = 0;
    switch (CheckScreenShown(&elsewhere_status)) {
        case RunElsewhere::kEnded:
            return elsewhere_status;
        case RunElsewhere::kStatusUnknown:
            return kExitStatusUnknown;
        case RunElsewhere::kNotStarted:
            break;
    }
    if (!ReadOptions(argc, argv)) {
        return kExitUnknownArgument;
    }

    // The links the run holds: the port or device that answered is kept for
    // the whole run and given back only when the run ends.
    const ScopeExit release_links_at_end([] {
        ResetSerialLink();
        ResetUsbLink();
    });
    uint32_t firmware_version = 0;
    if (!FindInstrument(kSerialPortCount, &firmware_version)) {
        ShowMessage(" No instrument connected!\r\n Aborting -- ");
        Delay(kNoInstrumentPauseMs);
        CloseMessageWindow();
        return kExitNoInstrument;
    }

    // A failed status read answers 0 and lets the upgrade go on.
    if (ProtocolRunning()) {
        ShowMessageAndReadKey(
            " Update not allowed while protocol is running\r\n Aborting -- Please press a key "
            "...");
        if (ProtocolRunning()) {
            return kExitProtocolRunning;
        }
    }

    // From remote mode on, a run stopped midway may leave the instrument
    // without a valid program: no key and no closed terminal stop it now.
    CurrentConsolePort().IgnoreInterruptions();
    SetRemoteMode(kRemoteModeEnter, 0, 0);
    // The files lie beside the program itself: its first argument names it
    // only as it was started (a bare name found through PATH, or a name
    // relative to another folder), so it is the fallback alone.
    const char* files_beside = program_path.c_str();
    if (program_path.empty() && argc > 0 && argv[0] != nullptr) {
        files_beside = argv[0];
    }
    uint32_t image_version = 0;
    if (!UpgradeProgram(files_beside, firmware_version, &image_version)) {
        SetRemoteMode(kRemoteModeLeave, 0, 0);
        return ProgramFlashChanged() ? kExitNeedsAnotherRun : kExitNothingChanged;
    }
    return kExitUpgraded;
}

}  // namespace vtrl
