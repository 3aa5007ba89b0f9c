// A console port that passes every call on to the test console and, at every
// pause (Sleep), keeps a copy of the screen's text: what the operator saw
// while a found window stood for its 1.5 seconds, say.
#pragma once

#include <string>
#include <vector>

#include "console/console_port.h"
#include "tests/console/fake_console.h"

namespace vtrl::test {

class ScreenRecorder final : public ConsolePort {
  public:
    explicit ScreenRecorder(FakeConsole& console) : c_(console) {}
    ~ScreenRecorder() override { SetConsolePort(&c_); }
    void Install() { SetConsolePort(this); }

    struct Pause {
        uint32_t milliseconds;
        std::vector<std::string> rows;  // 40 rows of 80 characters
        bool Shows(const std::string& text) const {
            for (const std::string& row : rows) {
                if (row.find(text) != std::string::npos) {
                    return true;
                }
            }
            return false;
        }
    };
    const std::vector<Pause>& Pauses() const { return pauses_; }

    void Sleep(uint32_t milliseconds) override {
        Pause pause{milliseconds, {}};
        for (int row = 1; row <= 40; ++row) {
            pause.rows.push_back(c_.Row(row));
        }
        pauses_.push_back(pause);
        c_.Sleep(milliseconds);
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
    bool WriteChars(ConsoleHandle out, const char* text, uint32_t length,
                    uint32_t* written) override {
        return c_.WriteChars(out, text, length, written);
    }
    void PutChar(char ch) override { c_.PutChar(ch); }
    bool ScrollCells(ConsoleHandle out, const CellRect& scroll, const CellRect* clip,
                     CellCoord destination, ConsoleCell fill) override {
        return c_.ScrollCells(out, scroll, clip, destination, fill);
    }
    int ReadKey() override { return c_.ReadKey(); }
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
    std::vector<Pause> pauses_;
};

}  // namespace vtrl::test
