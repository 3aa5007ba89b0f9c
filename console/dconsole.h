// dconsole: the console the operator sees.  An 80 by 40 cell console titled by
// the program, text written at a cursor inside a window region (rows 1..39
// only), and pop-up windows that give back exactly the cells they covered.
// Coordinates are 1-based; a cursor is relative to the current region.
#pragma once

#include <cstdint>

namespace vtrl {

// --- set-up --------------------------------------------------------------
// False only after the refusal on a Windows 3.1 host (the program then ends).
bool InitConsole(const char* title);

// --- text output ---------------------------------------------------------
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
void Delay(uint32_t milliseconds);
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
void ShowMessageWindow(const char* text, uint16_t width, uint16_t height);
bool CloseMessageWindow();
// Shows "<text>\r\n Download aborted.\r\n Please press a key...", waits for a key, closes.
void ShowAbortMessage(const char* text);

}  // namespace vtrl
