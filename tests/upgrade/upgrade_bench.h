// A bench for whole upgrades in-process: the program's modules in their
// initial state, an in-memory console with scripted keys, and the instrument
// stand-in reached over the simulated USB or serial link, all on one virtual
// clock.  The program directory is a scratch directory holding vtrlprog.bin
// (and caldata.bin when a test puts one there).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/clock.h"
#include "sim/image.h"
#include "sim/instrument.h"
#include "sim/sim_hid_port.h"
#include "sim/sim_serial_port.h"
#include "tests/console/fake_console.h"
#include "tests/upgrade/screen_recorder.h"

namespace vtrl::test {

// Where the instrument keeps the program and the calibration record, and the
// operator's last line of an upgrade that completed.
constexpr uint32_t kProgramStart = sim::kProgramStart;
constexpr uint32_t kCalibrationAt = sim::kCalibrationAddress;
constexpr char kComplete[] = " Upgrade complete -- Restarting instrument!";

enum class BenchLink { kUsb, kSerial };

class UpgradeBench {
  public:
    explicit UpgradeBench(BenchLink link, sim::InstrumentConfig config = {});
    ~UpgradeBench();
    UpgradeBench(const UpgradeBench&) = delete;
    UpgradeBench& operator=(const UpgradeBench&) = delete;

    // The image beside the program: a sound one of `size` bytes, or given bytes.
    std::vector<uint8_t> WriteImage(uint32_t size, uint32_t version = 1007, uint32_t seed = 7);
    void WriteImageBytes(const std::vector<uint8_t>& bytes);

    // One run of the program (with -C on the serial bench); returns its exit status.
    int Run(const std::string& keys);
    // The same with another path for the program itself.
    int RunAs(const std::string& program_path, const std::string& keys);
    // As the next run after the operator restarts the program: modules, link
    // and console back to their initial state, the instrument and the files kept.
    void Restart();

    // The program's path, a file beside it, the calibration file.
    std::string ProgramPath() const;
    std::string FileBeside(const char* name) const;
    std::string CalibrationFile() const { return FileBeside("caldata.bin"); }

    // Every text the operator was shown while the program waited for a key (or
    // paused), oldest first; a message's lines as they stood on the screen.
    const std::vector<std::string>& KeyScreens() const { return console_->KeyScreens(); }
    // When each of them was shown, on the clock.
    const std::vector<uint64_t>& KeyTimesMs() const { return console_->KeyTimesMs(); }
    bool ShownAtKey(const std::string& text) const;
    bool ShownAtPause(const std::string& text) const;
    bool ShownAnywhere(const std::string& text) const;  // key screens, pauses or printed
    const std::string& Printed() const { return console_->Printed(); }
    // The text of every framed window, as the program wrote it, oldest first.
    const std::vector<std::string>& MessageTexts() const { return console_->MessageTexts(); }
    size_t PendingKeys() const { return console_->PendingKeys(); }
    // Every key wait answered from the screen (kept across Restart): y at the
    // version prompt, `retry_answer` at the retry prompt, a key anywhere else.
    void AnswerPrompts(char retry_answer = 'y');
    void PushKeys(const std::string& keys) { console_->PushKeys(keys); }
    // Called with the screen at every key wait of the runs that follow, before
    // the key is taken (until Restart): the world may change while the
    // operator reads.
    void OnKeyWait(std::function<void(const std::string& screen)> hook);

    // The flash as the instrument now holds it.
    std::vector<uint8_t> Flash(uint32_t address, uint32_t length) const {
        return instrument.ReadFlash(address, length);
    }
    // The exchange number (1-based, counting from the start of the log) of
    // the `nth` request whose first bytes are `prefix`; 0 when there is none.
    uint32_t ExchangeOf(const std::vector<uint8_t>& prefix, int nth = 1) const;

    sim::VirtualClock clock;
    sim::Instrument instrument;
    const std::string dir;
    const BenchLink link;
    std::unique_ptr<sim::SimHidPort> hid;
    std::unique_ptr<sim::SimSerialPort> serial;
    int hid_device = -1;  // the instrument's index in the HID device list (USB bench)
    // The program's first argument when not its path (as started through PATH).
    std::string started_as;
    // Files this process had open once the bench stood (-1: not countable here).
    int open_files_at_start = -1;

  private:
    void Connect();

    std::unique_ptr<ScreenRecorder> console_;
    char retry_answer_ = 0;  // 0: keys come from the script
};

// Open file descriptors of this process (-1 where it cannot be counted).
int OpenFileCount();

}  // namespace vtrl::test
