#include "console/text_output.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "console/console_setup.h"
#include "console/dconsole.h"
#include "console/internal.h"

namespace vtrl {

namespace console_internal {
bool g_cursor_below = false;
}  // namespace console_internal

namespace {

using console_internal::g_cursor_below;

constexpr ConsoleState kInitialState{1, 1, 80, 39, 0x1F, 0, 0};
constexpr int kMaxSegment = 80;
constexpr int kMaxRegionWidth = 80;
constexpr int kMaxRegionHeight = 39;
constexpr size_t kPrintBufferSize = 1000;
// 0 hidden, 1 full block, anything else underline; fixed for the whole run.
constexpr int kCursorStyle = 2;

ConsoleState g_state = kInitialState;
bool g_scroll_suppressed = false;

int RegionWidth() {
    return g_state.right - g_state.left + 1;
}
int RegionHeight() {
    return g_state.bottom - g_state.top + 1;
}

CellCoord Cell0(int x1, int y1) {
    return CellCoord{static_cast<int16_t>(x1 - 1), static_cast<int16_t>(y1 - 1)};
}

}  // namespace

void SetScrollSuppression(bool suppressed) {
    g_scroll_suppressed = suppressed;
}
void ResetTextOutput() {
    g_state = kInitialState;
    g_cursor_below = false;
    g_scroll_suppressed = false;
}

void RestoreCursorFields(uint8_t column, uint8_t row) {
    g_state.cursor_column = column;
    g_state.cursor_row = row;
}

void SaveConsoleState(ConsoleState* destination) {
    *destination = g_state;
}

void UpdateCursorShape() {
    const bool visible = kCursorStyle != 0 && !g_cursor_below;
    const uint32_t size = kCursorStyle == 1 ? 100 : 10;
    CurrentConsolePort().SetCursorInfo(ConsoleOutputHandle(), size, visible);
}

void MoveCursor(int column, int row) {
    if (column < 1 || row < 1) {
        return;
    }
    // 64-bit so that no request, however large, wraps into the region.
    const int64_t x = int64_t{g_state.left} + column - 1;
    const int64_t y = int64_t{g_state.top} + row - 1;
    if (y > int64_t{g_state.bottom} + 1 || x > g_state.right) {
        return;
    }
    g_state.cursor_column = static_cast<uint8_t>(column);
    g_state.cursor_row = static_cast<uint8_t>(row);
    if (y == int64_t{g_state.bottom} + 1) {
        g_cursor_below = true;
    } else {
        CurrentConsolePort().SetCursorPosition(ConsoleOutputHandle(),
                                               Cell0(static_cast<int>(x), static_cast<int>(y)));
        g_cursor_below = false;
    }
    UpdateCursorShape();
}

bool SetTextAttribute(uint8_t attribute) {
    g_state.attribute = attribute;
    return CurrentConsolePort().SetTextAttribute(ConsoleOutputHandle(), attribute);
}

void SetWindowRegion(uint8_t left, uint8_t top, uint8_t right, uint8_t bottom) {
    g_state.left = left;
    g_state.top = top;
    g_state.right = right;
    g_state.bottom = bottom;
}

void ClearWindow() {
    static ConsoleCell blanks[kMaxRegionWidth * kMaxRegionHeight];
    const int width = std::min(RegionWidth(), kMaxRegionWidth);
    const int height = std::min(RegionHeight(), kMaxRegionHeight);
    if (width > 0 && height > 0) {
        std::fill_n(blanks, static_cast<size_t>(width) * static_cast<size_t>(height),
                    ConsoleCell{' ', g_state.attribute});
        CellRect rect{static_cast<int16_t>(g_state.left - 1), static_cast<int16_t>(g_state.top - 1),
                      static_cast<int16_t>(g_state.right - 1),
                      static_cast<int16_t>(g_state.bottom - 1)};
        CurrentConsolePort().WriteCells(
            ConsoleOutputHandle(), blanks,
            CellCoord{static_cast<int16_t>(width), static_cast<int16_t>(height)}, &rect);
    }
    MoveCursor(1, 1);
}

void ClearToEndOfLine() {
    const int count = std::min(RegionWidth() - g_state.cursor_column + 1, kMaxSegment);
    if (count > 0) {
        char spaces[kMaxSegment];
        std::memset(spaces, ' ', sizeof(spaces));
        uint32_t written = 0;
        CurrentConsolePort().WriteChars(ConsoleOutputHandle(), spaces, static_cast<uint32_t>(count),
                                        &written);
    }
    MoveCursor(g_state.cursor_column, g_state.cursor_row);
}

void WriteText(const char* text) {
    if (text == nullptr || *text == '\0') {
        return;
    }
    ConsolePort& port = CurrentConsolePort();
    const int width = RegionWidth();
    const int height = RegionHeight();
    // A region with crossed edges (a box too small to have an interior) has
    // no cell to write into; wrapping there would never make progress.
    if (width < 1 || height < 1) {
        return;
    }
    const char* p = text;
    while (*p != '\0') {
        const int room = std::min(width - g_state.cursor_column + 1, kMaxSegment);
        char segment[kMaxSegment];
        int length = 0;
        while (length < room && p[length] != '\0' && p[length] != '\r' && p[length] != '\n') {
            segment[length] = p[length];
            ++length;
        }
        if (length > 0) {
            uint32_t written = 0;
            port.WriteChars(ConsoleOutputHandle(), segment, static_cast<uint32_t>(length),
                            &written);
            p += length;
            g_state.cursor_column = static_cast<uint8_t>(g_state.cursor_column + length);
        }
        if (*p == '\r') {
            ++p;
            g_state.cursor_column = 1;
        }
        if (*p == '\n') {
            ++p;
            ++g_state.cursor_row;
        }
        if (g_state.cursor_column > width) {
            g_state.cursor_column = 1;
            ++g_state.cursor_row;
        }
        // A full last row followed by a line feed goes two rows past the
        // region (the wrap and the line feed): one scroll alone would leave
        // the cursor on the pending row, and the next text would land where
        // the console's cursor stopped, right of the region.
        while (g_state.cursor_row > height && !g_scroll_suppressed) {
            ScrollWindowUp();
            --g_state.cursor_row;
        }
        MoveCursor(g_state.cursor_column, g_state.cursor_row);
    }
}

bool ScrollWindowUp() {
    const CellRect region{
        static_cast<int16_t>(g_state.left - 1), static_cast<int16_t>(g_state.top - 1),
        static_cast<int16_t>(g_state.right - 1), static_cast<int16_t>(g_state.bottom - 1)};
    const CellRect below_top{region.left, static_cast<int16_t>(region.top + 1), region.right,
                             region.bottom};
    return CurrentConsolePort().ScrollCells(ConsoleOutputHandle(), below_top, &region,
                                            CellCoord{region.left, region.top},
                                            ConsoleCell{' ', g_state.attribute});
}

int ConsolePrint(const char* format, ...) {
    char buffer[kPrintBufferSize];
    buffer[0] = '\0';
    if (format == nullptr) {
        return 0;
    }
    va_list args;
    va_start(args, format);
    (void)std::vsnprintf(buffer, sizeof(buffer), format, args);  // cut to fit
    va_end(args);
    // Some runtimes leave a cut text unterminated and report -1 for it.
    buffer[sizeof(buffer) - 1] = '\0';
    WriteText(buffer);
    return static_cast<int>(std::strlen(buffer));
}

int ReadKey() {
    return CurrentConsolePort().ReadKey();
}

}  // namespace vtrl
