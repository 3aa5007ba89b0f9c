// vtrlupg-demo: the upgrade program whose USB link reaches the instrument
// stand-in in-process, for training and demonstrations.  The stand-in's flash
// lives in vtrlsim-demo-flash.bin beside the program, so an interrupted run
// leaves the instrument as a real one would be left and can be retried; a
// missing file is a factory-fresh instrument.  The build puts a sample
// vtrlprog.bin beside the program; one is made here if it is missing.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "console/console_port.h"
#include "driver/entry.h"
#include "link/hid_port.h"
#include "link/serial_port.h"
#include "sim/clock.h"
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

fs::path ProgramDirectory(const char* argv0) {
    const fs::path dir = fs::path(argv0 != nullptr ? argv0 : "").parent_path();
    return dir.empty() ? fs::path(".") : dir;
}

bool WriteWhole(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.flush();
    return static_cast<bool>(out);
}

// The instrument's flash, kept in a file that follows every erase and
// programming command as it happens.
class FlashFile {
  public:
    FlashFile(const fs::path& path, vtrl::sim::Instrument& instrument) : instrument_(instrument) {
        std::vector<uint8_t> image;
        {
            std::ifstream in(path, std::ios::binary);
            image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        if (image.size() != vtrl::sim::kFlashSize || !instrument.LoadFlashImage(image)) {
            WriteWhole(path, instrument.FlashImage());
        }
        file_.open(path, std::ios::binary | std::ios::in | std::ios::out);
        instrument.SetEventSink([this](const vtrl::sim::InstrumentEvent& e) { Follow(e); });
    }
    ~FlashFile() { instrument_.SetEventSink(nullptr); }
    FlashFile(const FlashFile&) = delete;
    FlashFile& operator=(const FlashFile&) = delete;

  private:
    void Follow(const vtrl::sim::InstrumentEvent& e) {
        const bool changes_flash = e.kind == vtrl::sim::InstrumentEvent::kErase ||
                                   e.kind == vtrl::sim::InstrumentEvent::kProgram;
        if (!changes_flash || e.length == 0 || !file_ || e.address < vtrl::sim::kFlashBase ||
            e.address - vtrl::sim::kFlashBase + uint64_t{e.length} > vtrl::sim::kFlashSize) {
            return;
        }
        const uint32_t offset = e.address - vtrl::sim::kFlashBase;
        file_.seekp(offset);
        file_.write(reinterpret_cast<const char*>(instrument_.FlashImage().data() + offset),
                    e.length);
        file_.flush();
    }

    vtrl::sim::Instrument& instrument_;
    std::fstream file_;
};

}  // namespace

int main(int argc, char** argv) {
    const fs::path dir = ProgramDirectory(argc > 0 ? argv[0] : nullptr);
    std::error_code ec;
    if (!fs::exists(dir / kImageFileName, ec)) {
        WriteWhole(dir / kImageFileName,
                   vtrl::sim::MakeImage(kSampleImageSize, kSampleImageVersion, kSampleImageSeed));
    }

    vtrl::sim::RealClock clock;
    vtrl::sim::InstrumentConfig config;
    // Enough time in erase and programming for the progress line to be watched.
    config.erase_time_ms = 150;
    config.program_word_time_us = 20;
    vtrl::sim::Instrument instrument(config);
    FlashFile flash(dir / kFlashFileName, instrument);

    vtrl::sim::SimHidPort hid(clock);
    hid.AddInstrument(instrument);

    vtrl::SetConsolePort(vtrl::NativeConsolePort());
    vtrl::SetHidPort(&hid);
    vtrl::SetSerialPort(&vtrl::NoSerialPort());
    const int status = vtrl::RunUpgradeProgram(argc, argv);
    vtrl::SetHidPort(nullptr);
    return status;
}
