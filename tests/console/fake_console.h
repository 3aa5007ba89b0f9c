// In-memory console for tests: an 80 by 40 cell screen with a cursor, a
// scripted keyboard, message boxes answered from a script, and per-call
// failure injection with a settable last-error code and system error texts.
//
//   vtrl::test::FakeConsole console;
//   console.Install();                 // current port until destroyed
//   vtrl::ResetConsoleState();
//   console.PushKeys("y");
//   ... run the code under test ...
//   EXPECT_TRUE(console.Contains("Press a key"));
//
// Screen positions in this API are 1-based absolute, as the program counts
// them: column 1..80, row 1..40.
//
// Running out of script is a test failure, never a hang: a ReadKey with no
// key left, or a Yes/No message box with no answer left, records a gtest
// failure (ADD_FAILURE) and throws FakeConsoleScriptExhausted.  The port's
// Exit records the status and throws FakeConsoleExit, so the program's "end
// with status 1" can be asserted without ending the test process.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "console/cell_screen.h"
#include "console/console_port.h"
#include "tests/console/window_texts.h"

namespace vtrl::test {

struct FakeConsoleExit : std::runtime_error {
    explicit FakeConsoleExit(int exit_status)
        : std::runtime_error("console port Exit(" + std::to_string(exit_status) + ")"),
          status(exit_status) {}
    int status;
};

struct FakeConsoleScriptExhausted : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The seam's calls, for failure injection and counting.
enum class ConsoleCall {
    kGetVersion,
    kGetStdHandle,
    kGetScreenBufferInfo,
    kFreeConsole,
    kAllocConsole,
    kSetTitle,
    kGetInputMode,
    kSetInputMode,
    kSetCursorInfo,
    kGetLargestWindowSize,
    kSetScreenBufferSize,
    kSetWindowInfo,
    kSetTextAttribute,
    kFillCharacter,
    kFillAttribute,
    kSetCursorPosition,
    kReadCells,
    kWriteCells,
    kWriteChars,
    kPutChar,
    kScrollCells,
    kReadKey,
    kMessageBox,
    kMessageBeep,
    kFormatSystemMessage,
    kExit,
    kCount
};

struct ShownMessageBox {
    std::string text;
    std::string caption;
    uint32_t flags;
};

struct ScreenPosition {
    int column;  // 1-based
    int row;     // 1-based
};

class FakeConsole : public InertConsolePort {
  public:
    static constexpr uint32_t kDefaultInputMode = 0x01F7;
    static constexpr uint32_t kNoMessageTextError = 317;  // "message not found"

    // A fresh console: 80 by 40 cells of spaces in attribute 0x07, window
    // showing all of it, display allowing at most 80 by 40, cursor at (0, 0),
    // an NT version word, input mode kDefaultInputMode.
    FakeConsole();
    ~FakeConsole() override;
    FakeConsole(const FakeConsole&) = delete;
    FakeConsole& operator=(const FakeConsole&) = delete;

    // Makes this the current console port; the destructor puts back the one before.
    void Install();

    // --- set-up of the simulated console --------------------------------
    void SetVersion(uint32_t version) { version_ = version; }
    // Where the console's cursor stands when the program starts (a command
    // prompt leaves it below its output).
    void SetStartCursor(int x0, int y0);
    void SetBufferSize(int columns, int rows);
    void SetLargestWindow(int columns, int rows) {
        largest_ = CellCoord{int16_t(columns), int16_t(rows)};
    }
    void SetInputModeValue(uint32_t mode) { input_mode_ = mode; }
    // A terminal tab that keeps its own size: the size calls succeed and
    // change nothing.
    void SetKeepsItsSize(bool keeps) { keeps_its_size_ = keeps; }
    // What starting the program again in a console window of the system's
    // own comes to (nothing runs there unless set).
    void SetRunElsewhere(RunElsewhere run, int exit_status) {
        run_elsewhere_ = run;
        run_elsewhere_status_ = exit_status;
    }

    // --- scripts -----------------------------------------------------------
    void PushKey(int key) { keys_.push_back(key); }
    void PushKeys(const std::string& keys);
    size_t PendingKeys() const { return keys_.size(); }
    void PushMessageBoxAnswer(int answer) { answers_.push_back(answer); }
    // Called at every key read, before the key is taken: a test looks at the
    // screen the operator sees while the program waits.  An empty function
    // removes the hook.
    void SetKeyReadHook(std::function<void(const FakeConsole&)> hook) {
        key_hook_ = std::move(hook);
    }

    // The `occurrence`-th call of that kind from now (1 = the next) fails and
    // leaves `error_code` as the last error.
    void FailCall(ConsoleCall call, uint32_t error_code, int occurrence = 1);
    // What FormatSystemMessage gives for a code (before re-flowing to the
    // requested line width); codes without a text make it fail, leaving
    // `error` (default kNoMessageTextError) as the last error.
    void SetSystemErrorText(uint32_t code, const std::string& text) { system_texts_[code] = text; }
    void SetNoMessageTextError(uint32_t error) { no_text_error_ = error; }

    // --- what the program did ----------------------------------------------
    int CallCount(ConsoleCall call) const { return counts_[static_cast<int>(call)]; }
    char CharAt(int column, int row) const;
    uint8_t AttributeAt(int column, int row) const;
    // A whole screen row, 80 characters (code page 437 bytes as they are).
    std::string Row(int row) const;
    // The characters of row `row` from column `first` to `last`, inclusive.
    std::string Text(int row, int first, int last) const;
    // First place where `text` appears on one row, top to bottom.
    std::optional<ScreenPosition> Find(const std::string& text) const;
    bool Contains(const std::string& text) const { return Find(text).has_value(); }
    // Every cell (character and attribute), for exact before/after comparisons.
    std::vector<ConsoleCell> Snapshot() const;
    // The console's cursor, 1-based absolute.
    ScreenPosition CursorPosition() const;
    bool CursorVisible() const { return screen_.CursorVisible(); }
    uint32_t CursorSize() const { return screen_.CursorSize(); }
    uint16_t CurrentAttribute() const { return screen_.Attribute(); }
    CellCoord BufferSize() const { return screen_.Size(); }
    const CellRect& Window() const { return screen_.Window(); }
    uint32_t InputMode() const { return input_mode_; }
    const std::string& Title() const { return title_; }
    const std::vector<ShownMessageBox>& MessageBoxes() const { return boxes_; }
    const std::vector<uint32_t>& Beeps() const { return beeps_; }
    std::optional<int> ExitStatus() const { return exit_status_; }
    // Whether the program has asked for Ctrl+C and the closed terminal to be
    // ignored, and the part of the screen it was told the console shows
    // ({0, 0}: the whole screen).
    bool InterruptionsIgnored() const { return interruptions_ignored_; }
    CellCoord KeptInView() const { return kept_in_view_; }
    const CellScreen& Screen() const { return screen_; }
    // The text written into each framed window, oldest window first, line
    // ends as written (see WindowTexts).
    const std::vector<std::string>& MessageTexts() const { return window_texts_.Texts(); }
    void ClearMessageTexts() { window_texts_ = WindowTexts(); }

    // --- ConsolePort ---------------------------------------------------------
    uint32_t GetVersion() override;
    ConsoleHandle GetStdHandle(StdHandle which) override;
    bool GetScreenBufferInfo(ConsoleHandle out, ScreenBufferInfo* info) override;
    bool FreeConsole() override;
    bool AllocConsole() override;
    bool SetTitle(const char* title) override;
    bool GetInputMode(ConsoleHandle in, uint32_t* mode) override;
    bool SetInputMode(ConsoleHandle in, uint32_t mode) override;
    bool SetCursorInfo(ConsoleHandle out, uint32_t size, bool visible) override;
    CellCoord GetLargestWindowSize(ConsoleHandle out) override;
    bool SetScreenBufferSize(ConsoleHandle out, CellCoord size) override;
    bool SetWindowInfo(ConsoleHandle out, bool absolute, const CellRect& window) override;
    bool SetTextAttribute(ConsoleHandle out, uint16_t attribute) override;
    bool FillCharacter(ConsoleHandle out, char ch, uint32_t length, CellCoord start,
                       uint32_t* written) override;
    bool FillAttribute(ConsoleHandle out, uint16_t attribute, uint32_t length, CellCoord start,
                       uint32_t* written) override;
    bool SetCursorPosition(ConsoleHandle out, CellCoord position) override;
    bool ReadCells(ConsoleHandle out, ConsoleCell* cells, CellCoord buffer_size,
                   CellRect* region) override;
    bool WriteCells(ConsoleHandle out, const ConsoleCell* cells, CellCoord buffer_size,
                    CellRect* region) override;
    bool WriteChars(ConsoleHandle out, const char* text, uint32_t length,
                    uint32_t* written) override;
    void PutChar(char ch) override;
    bool ScrollCells(ConsoleHandle out, const CellRect& scroll, const CellRect* clip,
                     CellCoord destination, ConsoleCell fill) override;
    int ReadKey() override;
    int ShowMessageBox(const char* text, const char* caption, uint32_t flags) override;
    bool MessageBeep(uint32_t type) override;
    uint32_t LastError() override { return last_error_; }
    uint32_t FormatSystemMessage(uint32_t flags, uint32_t code, uint32_t language,
                                 uint32_t min_size, char** text) override;
    void FreeSystemMessage(char* text) override;
    void Exit(int status) override;
    RunElsewhere RunInSystemConsole(int* exit_status) override;
    void KeepWindowsInView(CellCoord shown) override { kept_in_view_ = shown; }
    void IgnoreInterruptions() override { interruptions_ignored_ = true; }

    // Handles the fake gives out.
    static ConsoleHandle OutputHandle() { return reinterpret_cast<ConsoleHandle>(0x10); }
    static ConsoleHandle InputHandle() { return reinterpret_cast<ConsoleHandle>(0x20); }

    // Message texts handed out by FormatSystemMessage and not yet given back.
    int OutstandingSystemMessages() const { return outstanding_texts_; }
    // The same count when Exit was called (a real exit frees nothing after it).
    std::optional<int> OutstandingSystemMessagesAtExit() const { return outstanding_at_exit_; }

  private:
    // Counts the call; true when it is to fail (the last error is then set).
    bool Enter(ConsoleCall call);
    bool CheckOutput(ConsoleHandle out);

    ConsolePort* previous_ = nullptr;
    bool installed_ = false;
    CellScreen screen_;
    WindowTexts window_texts_;
    CellCoord largest_{80, 40};
    uint32_t version_ = 0x0A00;  // an NT host
    uint32_t input_mode_ = kDefaultInputMode;
    uint32_t last_error_ = 0;
    uint32_t no_text_error_ = kNoMessageTextError;
    std::string title_;
    std::deque<int> keys_;
    std::function<void(const FakeConsole&)> key_hook_;
    std::deque<int> answers_;
    std::vector<ShownMessageBox> boxes_;
    std::vector<uint32_t> beeps_;
    std::map<uint32_t, std::string> system_texts_;
    std::optional<int> exit_status_;
    int counts_[static_cast<int>(ConsoleCall::kCount)] = {};
    // Per call kind: the call counts at which it fails, with their error codes.
    std::map<std::pair<int, int>, uint32_t> failures_;
    int outstanding_texts_ = 0;
    std::optional<int> outstanding_at_exit_;
    bool keeps_its_size_ = false;
    RunElsewhere run_elsewhere_ = RunElsewhere::kNotStarted;
    int run_elsewhere_status_ = 0;
    CellCoord kept_in_view_{0, 0};
    bool interruptions_ignored_ = false;
};

}  // namespace vtrl::test
