// The test console, keeping what the operator saw: the screen at every key
// read and at every pause (what a found window showed during its 1.5 seconds,
// say), and every character written.  It sees the pauses as the program's
// clock, in front of a virtual one.  Used by the entry tests and the upgrade
// bench alike.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "console/console_port.h"
#include "platform/clock.h"
#include "sim/clock.h"
#include "tests/console/fake_console.h"

namespace vtrl::test {

class ScreenRecorder final : public FakeConsole, public Clock {
  public:
    // Pauses shorter than `shortest_pause_ms` pass without a copy of the
    // screen (the retry pauses of a whole download would be thousands).
    explicit ScreenRecorder(sim::VirtualClock& clock, uint32_t shortest_pause_ms = 0)
        : shortest_pause_ms_(shortest_pause_ms), time_(clock) {}
    ~ScreenRecorder() override {
        if (&CurrentClock() == this) {
            SetClock(nullptr);
        }
    }

    // Makes this the console and the program's clock.
    void Install() {
        FakeConsole::Install();
        SetClock(this);
    }

    struct Pause {
        uint32_t milliseconds;
        std::string screen;  // 40 rows of 80 characters, each ended by '\n'
        bool Shows(const std::string& text) const { return screen.find(text) != std::string::npos; }
    };
    const std::vector<Pause>& Pauses() const { return pauses_; }
    // The screen at each key read, oldest first, and when it was read.
    const std::vector<std::string>& KeyScreens() const { return key_screens_; }
    const std::vector<uint64_t>& KeyTimesMs() const { return key_times_ms_; }
    // Every character written, in order.
    const std::string& Printed() const { return printed_; }

    std::string ScreenText() const {
        std::string text;
        for (int row = 1; row <= 40; ++row) {
            text += Row(row);
            text += '\n';
        }
        return text;
    }

    uint64_t NowUs() const override { return time_.NowUs(); }
    void SleepUs(uint64_t us) override {
        if (us >= uint64_t{shortest_pause_ms_} * 1000) {
            pauses_.push_back(Pause{static_cast<uint32_t>(us / 1000), ScreenText()});
        }
        time_.SleepUs(us);
    }
    int ReadKey() override {
        key_screens_.push_back(ScreenText());
        key_times_ms_.push_back(time_.NowMs());
        if (answer_) {
            PushKeys(std::string(1, answer_(key_screens_.back())));
        }
        return FakeConsole::ReadKey();
    }
    // Answers every key wait from the screen shown instead of a script.
    void SetAnswer(std::function<char(const std::string& screen)> answer) {
        answer_ = std::move(answer);
    }
    bool WriteChars(ConsoleHandle out, const char* text, uint32_t length,
                    uint32_t* written) override {
        printed_.append(text, length);
        return FakeConsole::WriteChars(out, text, length, written);
    }
    void PutChar(char ch) override {
        printed_.push_back(ch);
        FakeConsole::PutChar(ch);
    }

  private:
    const uint32_t shortest_pause_ms_;
    sim::VirtualClock& time_;
    std::function<char(const std::string& screen)> answer_;
    std::vector<Pause> pauses_;
    std::vector<std::string> key_screens_;
    std::vector<uint64_t> key_times_ms_;
    std::string printed_;
};

}  // namespace vtrl::test
