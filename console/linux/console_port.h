// Linux only: the console port's class, shared by its pieces; nothing else lives here.
//
// The port keeps an 80 by 40 cell model (CellScreen) and shows it on the
// terminal through the wide-character ncurses.  Its members are defined by
// concern:
//   console_port.cpp      the console seam's calls on the cell model
//   terminal_check.cpp    the start-up check that the terminal can show the program
//   terminal_session.cpp  taking the terminal over, its title, giving it back
//   screen_drawing.cpp    drawing the model's cells through curses
//   screen_view.cpp       the view of the model that follows the newest window
//   cursor_shape.cpp      where the cursor shows and its shape
//   key_input.cpp         keys, the input mode and the message box
#pragma once

// Every piece takes curses the same way: the wide-character calls, so that
// frame bytes are drawn as Unicode line drawing.
#define NCURSES_WIDECHAR 1
#include <curses.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "console/cell_screen.h"
#include "console/console_port.h"
#include "console/screen_view.h"

namespace vtrl {

// The screen model: the terminal is a view of it.
constexpr CellCoord kModelSize{80, 40};

// A string capability of the terminal set up last; null when it has none.
const char* TerminalCapability(const char* name);

class LinuxConsolePort final : public ConsolePort {
  public:
    // --- the console seam (console_port.cpp) ---------------------------------
    uint32_t GetVersion() override { return 0x0000000A; }  // an NT-like host, never 3.1
    ConsoleHandle GetStdHandle(StdHandle which) override;
    bool GetScreenBufferInfo(ConsoleHandle out, ScreenBufferInfo* info) override;
    // The program always has the terminal it was started on to itself.
    bool FreeConsole() override { return true; }
    bool AllocConsole() override { return true; }
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
    uint32_t LastError() override { return last_error_; }
    uint32_t FormatSystemMessage(uint32_t flags, uint32_t code, uint32_t, uint32_t,
                                 char** text) override;
    void FreeSystemMessage(char* text) override { std::free(text); }
    void Exit(int status) override { std::exit(status); }

    // --- keys and the message box (key_input.cpp) ----------------------------
    // The end of the input (keys from a pipe or a file that ran out, a
    // terminal gone) is a key that answers no, so that every wait ends.
    int ReadKey() override;
    int ShowMessageBox(const char* text, const char* caption, uint32_t flags) override;
    bool MessageBeep(uint32_t) override;

    // --- the view (screen_view.cpp) ------------------------------------------
    void WindowOpened(const CellRect& window) override;
    // The view goes back to where it was before the window opened, so that
    // what the operator saw then comes back as it was.
    void WindowClosing(const CellRect& window) override;

    // --- the terminal (terminal_check.cpp, terminal_session.cpp)
    // Whether the terminal can show the program's windows (at least
    // min_columns by min_rows); takes it over when it can, else false with
    // `reason` saying why.
    bool Prepare(int min_columns, int min_rows, std::string* reason);
    // Ctrl+C, Ctrl+\ and Ctrl+Z, and the hang-up of a terminal that goes
    // away, ignored from now on (the write that finds the terminal gone is
    // harmless then too).
    void IgnoreInterruptions() override;
    // At the end of the run: the terminal's cursor and modes back, and the
    // last window the operator saw written out, so that it stays on the
    // terminal once the screen is given back.
    void Finish();

  private:
    // console_port.cpp
    bool Failed(uint32_t error);
    bool Output(ConsoleHandle out);
    // The screen is 80 by 40 cells whatever the terminal shows of it.
    static CellCoord Largest() { return kModelSize; }

    // terminal_session.cpp
    FILE* ScreenFile();
    void Start();
    void ShowTitle();
    std::string Printable(const std::string& row) const;

    // key_input.cpp
    void ApplyInputMode();
    int AskOnScreen(const std::vector<std::string>& text_lines, bool yes_no);

    // screen_drawing.cpp
    void Render();
    short PairFor(uint8_t attribute);
    void DrawCell(int y, int x, const ConsoleCell& cell);

    // screen_view.cpp
    void ViewMoved();
    void Refit();
    void FollowTerminalSize();
    std::vector<std::string> CellRows(const CellRect& rect) const;

    // cursor_shape.cpp
    void ShowCursor(int rows, int visible_columns);
    void SetCursorStyle(int style);
    void ResetCursorStyle();

    CellScreen screen_{kModelSize, 0x07};
    bool started_ = false;
    bool curses_ = false;
    bool screen_looked_for_ = false;
    FILE* terminal_ = nullptr;  // the controlling terminal, held for the whole run
    FILE* screen_file_ = nullptr;
    ScreenView view_{kModelSize};           // shows the terminal's size as it was last fitted to it
    std::vector<std::string> last_window_;  // the last closed window's rows
    const char* cursor_style_sequence_ = nullptr;
    const char* cursor_reset_sequence_ = nullptr;
    int cursor_style_ = 0;  // 0: the terminal's own
    bool utf8_ = false;
    int colours_ = 0;
    int next_pair_ = 1;
    std::map<uint8_t, short> pairs_;
    uint32_t input_mode_ = kInputProcessed | kInputLine | kInputEcho;
    uint32_t last_error_ = 0;
    std::string title_;
};

}  // namespace vtrl
