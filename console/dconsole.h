// dconsole: the console the operator sees.  An 80 by 40 cell console titled by
// the program, text written at a cursor inside a window region (rows 1..39
// only), and pop-up windows that give back exactly the cells they covered.
// Coordinates are 1-based; a cursor is relative to the current region.
#pragma once

#include <cstdint>

#include "console/console_port.h"

namespace vtrl {

// Name of this module in console error reports.
constexpr const char kConsoleModuleName[] = "dconsole";

// --- set-up --------------------------------------------------------------
// Takes a console of the program's own, sets its title, single keys without
// echo, a hidden cursor, 80 by 40 cells without scroll-back, bright white on
// blue, and blanks it.  A failing console call is put to the operator by
// ReportConsoleError.  False only after the refusal on a Windows 3.1 host
// (the program then ends).
bool InitConsole(const char* title);
// Window and buffer of columns by rows, or the largest window the display allows.
void ResizeConsole(ConsoleHandle output, int16_t columns, int16_t rows);
// After InitConsole, before anything else: whether the console shows what
// set-up asked of it (80 by 40, or the largest window the display allows).
// Where it does not (a terminal tab that keeps its own size), the program is
// started again in a console window of the system's own and waited for:
// kEnded with its exit status in *exit_status, or kStatusUnknown.  Where that
// cannot be done, and where the console shows what was asked, kNotStarted:
// the program goes on here, every window it opens kept within what the
// console shows.
RunElsewhere CheckScreenShown(int* exit_status);
// Blanks the whole buffer in its current attribute, cursor to the top-left cell.
void ClearConsole(ConsoleHandle output);
// Shows "<module>: Error <code> from <call> on line <line>:", the platform's
// text for the code and "Continue execution?" with Yes and No.  Returns on
// Yes; on No the process ends with status 1 (through the port's Exit).
void ReportConsoleError(const char* module, int line, const char* call_name, uint32_t code);

// --- text output ---------------------------------------------------------
// The console state: region edges (absolute, 1-based, inclusive; rows 1..39),
// the text attribute and the cursor (1-based, relative to the region; 0 until
// the first MoveCursor).  Each pop-up window keeps a copy of it.
struct ConsoleState {
    uint8_t left;
    uint8_t top;
    uint8_t right;
    uint8_t bottom;
    uint8_t attribute;
    uint8_t cursor_column;
    uint8_t cursor_row;
};
void SaveConsoleState(ConsoleState* destination);
// Underline cursor shown while the cursor is inside the region, hidden on the
// row just below it.
void UpdateCursorShape();
void MoveCursor(int column, int row);  // out-of-range requests are ignored
bool SetTextAttribute(uint8_t attribute);
void SetWindowRegion(uint8_t left, uint8_t top, uint8_t right, uint8_t bottom);
void ClearWindow();
void ClearToEndOfLine();
void WriteText(const char* text);
bool ScrollWindowUp();
// printf-style; the formatted text is cut to 999 characters.  Returns its length.
int ConsolePrint(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Delay(milliseconds), the fixed pauses, lives with the program's clock (platform/clock.h).
// One key from the console keyboard, without echo (blocks).
int ReadKey();

// --- pop-up windows ------------------------------------------------------
struct WindowTemplate {
    int32_t attribute;   // body attribute (low byte)
    int32_t frame_word;  // low byte frame attribute, high byte style: 0 none, 2 double, else single
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};
extern const WindowTemplate kProgressWindowTemplate;  // 15,10 .. 65,20, 0x1F, 0x020F

bool OpenPopupWindow(const WindowTemplate& window);
bool ClosePopupWindow();  // false (and nothing changes) when no window is open
// Nearly every message window is 51 columns by 11 rows, frame included.
constexpr uint16_t kMessageWindowWidth = 51;
constexpr uint16_t kMessageWindowHeight = 11;

void ShowMessageWindow(const char* text, uint16_t width, uint16_t height);
bool CloseMessageWindow();
// Shows `text` in a 51 by 11 message window, reads one key without echo and
// closes the window; returns the key.
int ShowMessageAndReadKey(const char* text);
// Shows "<text>\r\n Download aborted.\r\n Please press a key...", waits for a key, closes.
// The message is cut to 255 characters.
void ShowAbortMessage(const char* text);
// Number of windows open now.
int OpenWindowCount();

// --- tests ---------------------------------------------------------------
// Back to the initial state: region 1..80 x 1..39, attribute 0x1F, cursor
// (0, 0), flags clear, every open window freed without touching the screen,
// no console handles.  The console port is left as set.
void ResetConsoleState();

}  // namespace vtrl
