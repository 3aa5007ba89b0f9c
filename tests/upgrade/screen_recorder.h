// A console port that passes every call on to the test console and keeps what
// the operator saw: the screen at every key read and at every pause (what a
// found window showed during its 1.5 seconds, say), and every character
// written.  Used by the entry tests and the upgrade bench alike.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "console/console_port.h"
#include "tests/console/fake_console.h"

namespace vtrl::test {

class ScreenRecorder final : public ConsolePort {
  public:
    // Pauses shorter than `shortest_pause_ms` pass without a copy of the
    // screen (the retry pauses of a whole download would be thousands).
    explicit ScreenRecorder(FakeConsole& console, uint32_t shortest_pause_ms = 0)
        : c_(console), shortest_pause_ms_(shortest_pause_ms) {}
    ~ScreenRecorder() override { SetConsolePort(&c_); }
    ScreenRecorder(const ScreenRecorder&) = delete;
    ScreenRecorder& operator=(const ScreenRecorder&) = delete;
    void Install() { SetConsolePort(this); }

    struct Pause {
        uint32_t milliseconds;
        std::string screen;  // 40 rows of 80 characters, each ended by '\n'
        bool Shows(const std::string& text) const { return screen.find(text) != std::string::npos; }
    };
    const std::vector<Pause>& Pauses() const { return pauses_; }
    // The screen at each key read, oldest first.
    const std::vector<std::string>& KeyScreens() const { return key_screens_; }
    // Every character written, in order.
    const std::string& Printed() const { return printed_; }

    std::string ScreenText() const {
        std::string text;
        for (int row = 1; row <= 40; ++row) {
            text += c_.Row(row);
            text += '\n';
        }
        return text;
    }

    void Sleep(uint32_t milliseconds) override {
        if (milliseconds >= shortest_pause_ms_) {
            pauses_.push_back(Pause{milliseconds, ScreenText()});
        }
        c_.Sleep(milliseconds);
    }
    int ReadKey() override {
        key_screens_.push_back(ScreenText());
        if (answer_) {
            c_.PushKeys(std::string(1, answer_(key_screens_.back())));
        }
        return c_.ReadKey();
    }
    // Answers every key wait from the screen shown instead of a script.
    void SetAnswer(std::function<char(const std::string& screen)> answer) {
        answer_ = std::move(answer);
    }
    bool WriteChars(ConsoleHandle out, const char* text, uint32_t length,
                    uint32_t* written) override {
        printed_.append(text, length);
        return c_.WriteChars(out, text, length, written);
    }
    void PutChar(char ch) override {
        printed_.push_back(ch);
        c_.PutChar(ch);
    }

    uint32_t GetVersion() override { return c_.GetVersion(); }
    ConsoleHandle GetStdHandle(StdHandle which) override { return c_.GetStdHandle(which); }
    bool GetScreenBufferInfo(ConsoleHandle out, ScreenBufferInfo* info) override {
        return c_.GetScreenBufferInfo(out, info);
    }
    bool FreeConsole() override { return c_.FreeConsole(); }
    bool AllocConsole() override { return c_.AllocConsole(); }
    bool SetTitle(const char* title) override { return c_.SetTitle(title); }
    bool GetInputMode(ConsoleHandle in, uint32_t* mode) override {
        return c_.GetInputMode(in, mode);
    }
    bool SetInputMode(ConsoleHandle in, uint32_t mode) override {
        return c_.SetInputMode(in, mode);
    }
    bool SetCursorInfo(ConsoleHandle out, uint32_t size, bool visible) override {
        return c_.SetCursorInfo(out, size, visible);
    }
    CellCoord GetLargestWindowSize(ConsoleHandle out) override {
        return c_.GetLargestWindowSize(out);
    }
    bool SetScreenBufferSize(ConsoleHandle out, CellCoord size) override {
        return c_.SetScreenBufferSize(out, size);
    }
    bool SetWindowInfo(ConsoleHandle out, bool absolute, const CellRect& window) override {
        return c_.SetWindowInfo(out, absolute, window);
    }
    bool SetTextAttribute(ConsoleHandle out, uint16_t attribute) override {
        return c_.SetTextAttribute(out, attribute);
    }
    bool FillCharacter(ConsoleHandle out, char ch, uint32_t length, CellCoord start,
                       uint32_t* written) override {
        return c_.FillCharacter(out, ch, length, start, written);
    }
    bool FillAttribute(ConsoleHandle out, uint16_t attribute, uint32_t length, CellCoord start,
                       uint32_t* written) override {
        return c_.FillAttribute(out, attribute, length, start, written);
    }
    bool SetCursorPosition(ConsoleHandle out, CellCoord position) override {
        return c_.SetCursorPosition(out, position);
    }
    bool ReadCells(ConsoleHandle out, ConsoleCell* cells, CellCoord buffer_size,
                   CellRect* region) override {
        return c_.ReadCells(out, cells, buffer_size, region);
    }
    bool WriteCells(ConsoleHandle out, const ConsoleCell* cells, CellCoord buffer_size,
                    CellRect* region) override {
        return c_.WriteCells(out, cells, buffer_size, region);
    }
    bool ScrollCells(ConsoleHandle out, const CellRect& scroll, const CellRect* clip,
                     CellCoord destination, ConsoleCell fill) override {
        return c_.ScrollCells(out, scroll, clip, destination, fill);
    }
    int ShowMessageBox(const char* text, const char* caption, uint32_t flags) override {
        return c_.ShowMessageBox(text, caption, flags);
    }
    bool MessageBeep(uint32_t type) override { return c_.MessageBeep(type); }
    uint32_t LastError() override { return c_.LastError(); }
    uint32_t FormatSystemMessage(uint32_t flags, uint32_t code, uint32_t language,
                                 uint32_t min_size, char** text) override {
        return c_.FormatSystemMessage(flags, code, language, min_size, text);
    }
    void FreeSystemMessage(char* text) override { c_.FreeSystemMessage(text); }
    void Exit(int status) override { c_.Exit(status); }

  private:
    FakeConsole& c_;
    const uint32_t shortest_pause_ms_;
    std::function<char(const std::string& screen)> answer_;
    std::vector<Pause> pauses_;
    std::vector<std::string> key_screens_;
    std::string printed_;
};

}  // namespace vtrl::test
