// vtrlupg-demo: the upgrade program whose USB link reaches the instrument
// stand-in in-process, for training and demonstrations.  The stand-in's flash
// lives in vtrlsim-demo-flash.bin beside the program, so an interrupted run
// leaves the instrument as a real one would be left and can be retried; a
// missing file is a factory-fresh instrument.  The build puts a sample
// vtrlprog.bin beside the program; one is made here if it is missing.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "console/console_port.h"
#include "driver/entry.h"
#include "driver/file_io.h"
#include "link/hid_port.h"
#include "link/serial_port.h"
#include "platform/clock.h"
#include "sim/flash_file.h"
#include "sim/image.h"
#include "sim/instrument.h"
#include "sim/sim_hid_port.h"

namespace {

namespace fs = std::filesystem;

constexpr char kFlashFileName[] = "vtrlsim-demo-flash.bin";
constexpr char kImageFileName[] = "vtrlprog.bin";
constexpr size_t kSampleImageSize = 300000;  // reaches into the calibration sector
constexpr uint32_t kSampleImageVersion = 1007;
constexpr uint32_t kSampleImageSeed = 7;

// The folder the program looks in for vtrlprog.bin: its own (`running`, as
// the system names it, or argv[0] when it cannot).
fs::path ProgramDirectory(const std::string& running, const char* argv0) {
    const fs::path dir = running.empty() ? fs::path(argv0 != nullptr ? argv0 : "").parent_path()
                                         : fs::u8path(running).parent_path();
    return dir.empty() ? fs::path(".") : dir;
}

bool WriteWhole(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.flush();
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    std::string reason;
    if (!vtrl::PrepareNativeConsole(vtrl::kLargestWindowColumns, vtrl::kLargestWindowRows,
                                    &reason)) {
        std::fprintf(stderr, "vtrlupg-demo: %s\n", reason.c_str());
        return vtrl::kExitNoTerminal;
    }
    const std::string running = vtrl::RunningProgramPath();
    const fs::path dir = ProgramDirectory(running, argc > 0 ? argv[0] : nullptr);
    std::error_code ec;
    if (!fs::exists(dir / kImageFileName, ec)) {
        WriteWhole(dir / kImageFileName,
                   vtrl::sim::MakeImage(kSampleImageSize, kSampleImageVersion, kSampleImageSeed));
    }

    vtrl::Clock& clock = vtrl::NativeClock();
    vtrl::sim::InstrumentConfig config;
    // Enough time in erase and programming for the progress line to be watched.
    config.erase_time_ms = 150;
    config.program_word_time_us = 20;
    vtrl::sim::Instrument instrument(config);
    // A flash file that cannot be used leaves a factory-fresh instrument.
    vtrl::sim::FlashFile flash;
    std::string error;
    flash.Open(dir / kFlashFileName, instrument, true, &error);
    instrument.SetEventSink([&flash](const vtrl::sim::InstrumentEvent& e) { flash.Follow(e); });

    vtrl::sim::SimHidPort hid(clock);
    hid.AddInstrument(instrument);

    vtrl::SetConsolePort(vtrl::NativeConsolePort());
    vtrl::SetHidPort(&hid);
    vtrl::SetSerialPort(&vtrl::NoSerialPort());
    const int status = vtrl::RunUpgradeProgram(argc, argv, running);
    vtrl::SetHidPort(nullptr);
    instrument.SetEventSink(nullptr);
    flash.Close();
    return status;
}
