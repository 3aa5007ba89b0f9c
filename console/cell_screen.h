// A character-cell console screen buffer in memory, behaving as the Windows
// console does for the calls the console seam makes: a resizable buffer with
// a visible window, a cursor, a current attribute, fills, rectangle reads and
// writes, character writes that wrap at the row's end (and scroll the whole
// buffer at its bottom) and clipped scrolling.  The Linux port renders one of
// these with ncurses and the test fake inspects one directly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "console/console_port.h"

namespace vtrl {

class CellScreen {
  public:
    static constexpr int16_t kMaxDimension = 1000;

    // A fresh screen: size.x by size.y cells of spaces in `attribute`, the
    // window showing all of it, the cursor at (0, 0), visible, size 25.
    explicit CellScreen(CellCoord size = {80, 40}, uint16_t attribute = 0x07);

    CellCoord Size() const { return size_; }
    const CellRect& Window() const { return window_; }
    CellCoord Cursor() const { return cursor_; }
    uint16_t Attribute() const { return attribute_; }
    uint32_t CursorSize() const { return cursor_size_; }
    bool CursorVisible() const { return cursor_visible_; }
    // The cell at a 0-based position; a blank cell outside the buffer.
    ConsoleCell At(int x, int y) const;

    // Each returns false (and changes nothing) where the Windows console
    // refuses: a buffer smaller than the window or beyond kMaxDimension, a
    // window outside the buffer or larger than `largest`, a cursor outside the
    // buffer, a cursor size outside 1..100.
    bool SetSize(CellCoord size);
    bool SetWindow(const CellRect& window, CellCoord largest);
    // As the console's window call: `window` is absolute, or (absolute false)
    // added edge by edge to the current window.
    bool SetWindowInfo(bool absolute, const CellRect& window, CellCoord largest);
    bool SetCursor(CellCoord position);
    bool SetCursorInfo(uint32_t size, bool visible);
    void SetAttribute(uint16_t attribute) { attribute_ = attribute; }
    void SetCursorDirect(CellCoord position) { cursor_ = position; }

    uint32_t FillCharacter(char ch, uint32_t length, CellCoord start);
    uint32_t FillAttribute(uint16_t attribute, uint32_t length, CellCoord start);
    bool ReadCells(ConsoleCell* cells, CellCoord buffer_size, CellRect* region) const;
    bool WriteCells(const ConsoleCell* cells, CellCoord buffer_size, CellRect* region);
    uint32_t WriteChars(const char* text, uint32_t length);
    bool Scroll(const CellRect& scroll, const CellRect* clip, CellCoord destination,
                ConsoleCell fill);

    // Rows changed since the last TakeDirtyRows (for incremental rendering).
    std::vector<bool> TakeDirtyRows();
    void MarkAllDirty();

  private:
    ConsoleCell& Cell(int x, int y) { return cells_[static_cast<size_t>(y) * size_.x + x]; }
    void Touch(int y);
    void ScrollWholeBufferUp();
    // Changes up to `length` cells from `start` on, row after row, to the
    // buffer's end; the number changed (0 for a start outside the buffer).
    template <typename Change>
    uint32_t FillRun(uint32_t length, CellCoord start, Change change);

    CellCoord size_;
    CellRect window_;
    CellCoord cursor_{0, 0};
    uint16_t attribute_;
    uint32_t cursor_size_ = 25;
    bool cursor_visible_ = true;
    std::vector<ConsoleCell> cells_;
    std::vector<bool> dirty_;
};

// Re-flows a system message text the way FormatMessage does for a maximum
// line width: the text's own line breaks become spaces, lines are broken at
// white space to at most `width` characters (a longer word stands alone on
// its line) and are separated by "\r\n".  A width of 0 leaves the text as it is.
std::string FlowMessageText(const std::string& text, unsigned width);

}  // namespace vtrl
