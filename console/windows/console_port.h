// Windows only: the console port's class, shared by its pieces; nothing else lives here.
//
// The port passes the console seam's calls to the system through the call
// table (console/windows/console_api.h).  Its members are defined by concern:
//   console_port.cpp    the console seam's calls, and the keys and
//                       closed window that must not end the run
//   screen_view.cpp     an 80 by 40 screen kept here and shown in part,
//                       for a console that shows less of it
//   system_console.cpp  a console behind a terminal, and the program
//                       started again in the classic console host
#pragma once

#include "console/cell_screen.h"
#include "console/console_port.h"
#include "console/screen_view.h"
#include "console/windows/console_api.h"

namespace vtrl {

// The character a screen cell's code page 437 byte is shown as.  Where the
// console draws the line-drawing characters two cells wide (`narrow_frames`:
// the code pages of Chinese, Japanese and Korean Windows), the frames' bytes
// are shown as plain ASCII instead.
wchar_t ShownCharacter(char ch, bool narrow_frames);
// Whether the console's output code page is one of those.
bool FramesMustBeNarrow();

class WindowsConsolePort final : public ConsolePort {
  public:
    // --- the console seam (console_port.cpp) ---------------------------------
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
    uint32_t LastError() override;
    uint32_t FormatSystemMessage(uint32_t flags, uint32_t code, uint32_t language,
                                 uint32_t min_size, char** text) override;
    void FreeSystemMessage(char* text) override;
    void Exit(int status) override;
    void IgnoreInterruptions() override;

    // --- the screen shown in part (screen_view.cpp) --------------------------
    void KeepWindowsInView(CellCoord shown) override;
    void WindowOpened(const CellRect& window) override;
    void WindowClosing(const CellRect& window) override;

    // --- the classic console host (system_console.cpp) -----------------------
    bool SizeOwnedByTerminal() override;
    RunElsewhere RunInSystemConsole(int* exit_status) override;

  private:
    // screen_view.cpp: the calls on the screen kept here, while the
    // console shows only part of it.
    bool ViewInfo(ScreenBufferInfo* info) const;
    bool ViewRefused();
    bool ViewChanged(bool done);
    void DrawChangedRows();
    void PlaceViewCursor();

    bool viewing_ = false;
    HANDLE view_output_ = INVALID_HANDLE_VALUE;
    CellScreen screen_{CellCoord{80, 40}, 0x07};
    ScreenView view_{CellCoord{80, 40}};
    COORD window_corner_{0, 0};  // the console window's top-left cell
};

}  // namespace vtrl
