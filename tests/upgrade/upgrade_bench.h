// A bench for whole upgrades in-process: the program's modules in their
// initial state, an in-memory console with scripted keys, and the instrument
// stand-in reached over the simulated USB or serial link, all on one virtual
// clock.  The program directory is a scratch directory holding vtrlprog.bin
// (and caldata.bin when a test puts one there).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "console/console_port.h"
#include "sim/clock.h"
#include "sim/instrument.h"
#include "sim/sim_hid_port.h"
#include "sim/sim_serial_port.h"
#include "tests/console/fake_console.h"

namespace vtrl::test {

enum class BenchLink { kUsb, kSerial };

// Forwards every console call to the fake and keeps what the operator saw:
// the screen at every key read and every long pause, and all text written.
class WatchedConsole final : public ConsolePort {
  public:
    explicit WatchedConsole(FakeConsole& fake) : fake_(fake) {}
    // Screens (rows joined by '\n', trailing blanks kept) at each key read /
    // each pause of a second or more, in order.
    std::vector<std::string> key_screens;
    std::vector<std::string> pause_screens;
    std::string printed;  // every character written, in order

    uint32_t GetVersion() override { return fake_.GetVersion(); }
    ConsoleHandle GetStdHandle(StdHandle which) override { return fake_.GetStdHandle(which); }
    bool GetScreenBufferInfo(ConsoleHandle out, ScreenBufferInfo* info) override {
        return fake_.GetScreenBufferInfo(out, info);
    }
    bool FreeConsole() override { return fake_.FreeConsole(); }
    bool AllocConsole() override { return fake_.AllocConsole(); }
    bool SetTitle(const char* title) override { return fake_.SetTitle(title); }
    bool GetInputMode(ConsoleHandle in, uint32_t* mode) override {
        return fake_.GetInputMode(in, mode);
    }
    bool SetInputMode(ConsoleHandle in, uint32_t mode) override {
        return fake_.SetInputMode(in, mode);
    }
    bool SetCursorInfo(ConsoleHandle out, uint32_t size, bool visible) override {
        return fake_.SetCursorInfo(out, size, visible);
    }
    CellCoord GetLargestWindowSize(ConsoleHandle out) override {
        return fake_.GetLargestWindowSize(out);
    }
    bool SetScreenBufferSize(ConsoleHandle out, CellCoord size) override {
        return fake_.SetScreenBufferSize(out, size);
    }
    bool SetWindowInfo(ConsoleHandle out, bool absolute, const CellRect& window) override {
        return fake_.SetWindowInfo(out, absolute, window);
    }
    bool SetTextAttribute(ConsoleHandle out, uint16_t attribute) override {
        return fake_.SetTextAttribute(out, attribute);
    }
    bool FillCharacter(ConsoleHandle out, char ch, uint32_t length, CellCoord start,
                       uint32_t* written) override {
        return fake_.FillCharacter(out, ch, length, start, written);
    }
    bool FillAttribute(ConsoleHandle out, uint16_t attribute, uint32_t length, CellCoord start,
                       uint32_t* written) override {
        return fake_.FillAttribute(out, attribute, length, start, written);
    }
    bool SetCursorPosition(ConsoleHandle out, CellCoord position) override {
        return fake_.SetCursorPosition(out, position);
    }
    bool ReadCells(ConsoleHandle out, ConsoleCell* cells, CellCoord buffer_size,
                   CellRect* region) override {
        return fake_.ReadCells(out, cells, buffer_size, region);
    }
    bool WriteCells(ConsoleHandle out, const ConsoleCell* cells, CellCoord buffer_size,
                    CellRect* region) override {
        return fake_.WriteCells(out, cells, buffer_size, region);
    }
    bool WriteChars(ConsoleHandle out, const char* text, uint32_t length,
                    uint32_t* written) override {
        printed.append(text, length);
        return fake_.WriteChars(out, text, length, written);
    }
    void PutChar(char ch) override {
        printed.push_back(ch);
        fake_.PutChar(ch);
    }
    bool ScrollCells(ConsoleHandle out, const CellRect& scroll, const CellRect* clip,
                     CellCoord destination, ConsoleCell fill) override {
        return fake_.ScrollCells(out, scroll, clip, destination, fill);
    }
    int ReadKey() override {
        key_screens.push_back(ScreenText());
        return fake_.ReadKey();
    }
    int ShowMessageBox(const char* text, const char* caption, uint32_t flags) override {
        return fake_.ShowMessageBox(text, caption, flags);
    }
    bool MessageBeep(uint32_t type) override { return fake_.MessageBeep(type); }
    uint32_t LastError() override { return fake_.LastError(); }
    uint32_t FormatSystemMessage(uint32_t flags, uint32_t code, uint32_t language,
                                 uint32_t min_size, char** text) override {
        return fake_.FormatSystemMessage(flags, code, language, min_size, text);
    }
    void FreeSystemMessage(char* text) override { fake_.FreeSystemMessage(text); }
    void Sleep(uint32_t milliseconds) override {
        if (milliseconds >= 1000) {
            pause_screens.push_back(ScreenText());
        }
        fake_.Sleep(milliseconds);
    }
    void Exit(int status) override { fake_.Exit(status); }

    std::string ScreenText() const;

  private:
    FakeConsole& fake_;
};

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
    const std::vector<std::string>& KeyScreens() const { return watched_->key_screens; }
    bool ShownAtKey(const std::string& text) const;
    bool ShownAtPause(const std::string& text) const;
    bool ShownAnywhere(const std::string& text) const;  // key screens, pauses or printed
    const std::string& Printed() const { return watched_->printed; }
    size_t PendingKeys() const { return console_->PendingKeys(); }
    void PushKeys(const std::string& keys) { console_->PushKeys(keys); }

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

  private:
    void Connect();
    static void ResetModules();

    std::unique_ptr<FakeConsole> console_;
    std::unique_ptr<WatchedConsole> watched_;
};

// Open file descriptors of this process (-1 where it cannot be counted).
int OpenFileCount();

}  // namespace vtrl::test
