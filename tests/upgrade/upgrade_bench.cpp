#include "tests/upgrade/upgrade_bench.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "console/dconsole.h"
#include "driver/entry.h"
#include "driver/file_io.h"
#include "driver/image_file.h"
#include "driver/program_state.h"
#include "link/hid_port.h"
#include "link/serial_link.h"
#include "link/serial_port.h"
#include "link/usb_link.h"
#include "protocol/operations.h"
#include "protocol/protocol.h"
#include "sim/image.h"
#include "tests/upgrade/upgrade_files.h"

namespace vtrl::test {

namespace {
bool EnvironmentSays(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '1';
}
// The upgrade tests run once more against an instrument that moves its flash
// address on by itself, and against one whose flash holds words high byte
// first (ctest sets these for the further registrations).
sim::InstrumentConfig WithAddressRule(sim::InstrumentConfig config) {
    config.advance_flash_address =
        config.advance_flash_address || EnvironmentSays("VTRL_BENCH_ADVANCING_ADDRESS");
    config.words_high_byte_first =
        config.words_high_byte_first || EnvironmentSays("VTRL_BENCH_HIGH_BYTE_FIRST");
    return config;
}
}  // namespace

UpgradeBench::UpgradeBench(BenchLink which, sim::InstrumentConfig config)
    : instrument(WithAddressRule(config)), dir(MakeTempDir("bench")), link(which) {
    Connect();
    open_files_at_start = OpenFileCount();
}

UpgradeBench::~UpgradeBench() {
    SetHidPort(nullptr);
    SetSerialPort(nullptr);
    ResetProgramState();
    SetConsolePort(nullptr);
    console_.reset();
    SetConsolePort(nullptr);
    RemoveTree(dir);
}

void UpgradeBench::Connect() {
    SetHidPort(nullptr);
    SetSerialPort(nullptr);
    ResetProgramState();
    console_.reset();
    // Only pauses of a second or more are kept: the found windows and the final message.
    console_ = std::make_unique<ScreenRecorder>(clock, 1000);
    console_->Install();
    if (retry_answer_ != 0) {
        AnswerPrompts(retry_answer_);
    }

    hid = std::make_unique<sim::SimHidPort>(clock);
    serial = std::make_unique<sim::SimSerialPort>(clock);
    if (link == BenchLink::kUsb) {
        hid_device = hid->AddInstrument(instrument);
    } else {
        serial->ConnectInstrument(1, instrument, true);
    }
    SetHidPort(hid.get());
    SetSerialPort(serial.get());
}

void UpgradeBench::Restart() {
    Connect();
}

std::string UpgradeBench::ProgramPath() const {
    return FileBeside("vtrlupg");
}

std::string UpgradeBench::FileBeside(const char* name) const {
    return dir + PathSeparator() + name;
}

std::vector<uint8_t> UpgradeBench::WriteImage(uint32_t size, uint32_t version, uint32_t seed) {
    std::vector<uint8_t> image = sim::MakeImage(size, version, seed);
    WriteImageBytes(image);
    return image;
}

void UpgradeBench::WriteImageBytes(const std::vector<uint8_t>& bytes) {
    WriteBytes(FileBeside("vtrlprog.bin"), bytes);
}

void UpgradeBench::AnswerPrompts(char retry_answer) {
    retry_answer_ = retry_answer;
    console_->SetAnswer([retry_answer](const std::string& screen) {
        if (screen.find("Proceed with download? y/n :") != std::string::npos) {
            return 'y';
        }
        if (screen.find("Retry failed download?") != std::string::npos) {
            return retry_answer;
        }
        return 'k';
    });
}

void UpgradeBench::OnKeyWait(std::function<void(const std::string& screen)> hook) {
    console_->SetKeyReadHook([this, hook](const FakeConsole&) { hook(console_->ScreenText()); });
}

int UpgradeBench::Run(const std::string& keys) {
    return RunAs(ProgramPath(), keys);
}

int UpgradeBench::RunAs(const std::string& program_path, const std::string& keys) {
    console_->PushKeys(keys);
    // The program lies at `program_path`, whatever it was started as.
    std::string program = started_as.empty() ? program_path : started_as;
    std::string option = "-C";
    std::vector<char*> argv = {program.data()};
    if (link == BenchLink::kSerial) {
        argv.push_back(option.data());
    }
    argv.push_back(nullptr);
    try {
        return RunUpgradeProgram(static_cast<int>(argv.size() - 1), argv.data(), program_path);
    } catch (const FakeConsoleScriptExhausted&) {
        return -1;  // the fake has recorded the failure
    }
}

namespace {
bool AnyContains(const std::vector<std::string>& screens, const std::string& text) {
    return std::any_of(screens.begin(), screens.end(),
                       [&](const std::string& s) { return s.find(text) != std::string::npos; });
}
bool AnyShows(const std::vector<ScreenRecorder::Pause>& pauses, const std::string& text) {
    return std::any_of(pauses.begin(), pauses.end(),
                       [&](const ScreenRecorder::Pause& p) { return p.Shows(text); });
}
}  // namespace

bool UpgradeBench::ShownAtKey(const std::string& text) const {
    return AnyContains(console_->KeyScreens(), text);
}
bool UpgradeBench::ShownAtPause(const std::string& text) const {
    return AnyShows(console_->Pauses(), text);
}
bool UpgradeBench::ShownAnywhere(const std::string& text) const {
    return ShownAtKey(text) || ShownAtPause(text) ||
           console_->Printed().find(text) != std::string::npos;
}

uint32_t UpgradeBench::ExchangeOf(const std::vector<uint8_t>& prefix, int nth) const {
    const std::vector<sim::LoggedRequest>& log = instrument.Log();
    int seen = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        const std::vector<uint8_t>& b = log[i].bytes;
        if (b.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), b.begin()) &&
            ++seen == nth) {
            return static_cast<uint32_t>(i + 1);
        }
    }
    return 0;
}

int OpenFileCount() {
#ifdef _WIN32
    // Under Wine /proc/self/fd lists the Wine process's own descriptors, which
    // come and go with the Wine server's traffic: no count of the program's files.
    return -1;
#else
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::exists("/proc/self/fd", ec)) {
        return -1;
    }
    int count = 0;
    for (fs::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) {
        ++count;
    }
    return count;
#endif
}

}  // namespace vtrl::test
