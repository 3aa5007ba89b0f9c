// Windows only: the console port's screen kept here and shown in part; nothing else lives here.
//
// A console that keeps its own size (a terminal tab) shows only part of the
// program's screen, and cells written beyond it are lost.  The port then
// keeps the whole 80 by 40 screen itself, answers the cell calls from it (so
// that a window gives back exactly what it covered), and shows the part of it
// around the newest window in the console's window, as the Linux port does on
// a small terminal.
#include <algorithm>
#include <vector>

#include "console/windows/console_port.h"

namespace vtrl {

namespace {

constexpr CellCoord kScreenSize{80, 40};

}  // namespace

void WindowsConsolePort::KeepWindowsInView(CellCoord shown) {
    const ConsoleApi& api = CurrentConsoleApi();
    const HANDLE out = api.get_std_handle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO raw;
    if (viewing_ || out == INVALID_HANDLE_VALUE || !api.get_console_screen_buffer_info(out, &raw) ||
        shown.x < 1 || shown.y < 1) {
        return;
    }
    view_output_ = out;
    window_corner_ = COORD{raw.srWindow.Left, raw.srWindow.Top};
    // Set-up has just blanked the console in the current attribute and
    // hidden the cursor.
    screen_ = CellScreen(kScreenSize, raw.wAttributes);
    screen_.SetCursorInfo(100, false);
    view_.SetShown(CellCoord{std::min(shown.x, kScreenSize.x), std::min(shown.y, kScreenSize.y)});
    viewing_ = true;
    screen_.MarkAllDirty();
    DrawChangedRows();
}

void WindowsConsolePort::WindowOpened(const CellRect& window) {
    if (viewing_ && view_.Opened(window)) {
        screen_.MarkAllDirty();
        DrawChangedRows();
    }
}

void WindowsConsolePort::WindowClosing(const CellRect&) {
    if (viewing_ && view_.Closing()) {
        screen_.MarkAllDirty();
        DrawChangedRows();
    }
}

// The program's screen as the console would report it.
bool WindowsConsolePort::ViewInfo(ScreenBufferInfo* info) const {
    info->size = screen_.Size();
    info->cursor = screen_.Cursor();
    info->attribute = screen_.Attribute();
    info->window = screen_.Window();
    info->max_window = kScreenSize;
    return true;
}

// A call the screen refuses, as the console would.
bool WindowsConsolePort::ViewRefused() {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
}

bool WindowsConsolePort::ViewChanged(bool done) {
    DrawChangedRows();
    return done || ViewRefused();
}

// The changed rows in view, each run of them in one call.
void WindowsConsolePort::DrawChangedRows() {
    const std::vector<bool> dirty = screen_.TakeDirtyRows();
    const CellCoord origin = view_.Origin();
    const int columns = std::min<int>(view_.Shown().x, kScreenSize.x - origin.x);
    const int rows = std::min<int>(view_.Shown().y, kScreenSize.y - origin.y);
    const bool narrow = FramesMustBeNarrow();
    std::vector<CHAR_INFO> block;
    int y = 0;
    while (y < rows) {
        if (!dirty[origin.y + y]) {
            ++y;
            continue;
        }
        int end = y;
        while (end < rows && dirty[origin.y + end]) {
            ++end;
        }
        block.resize(static_cast<size_t>(columns) * (end - y));
        for (int row = y; row < end; ++row) {
            for (int x = 0; x < columns; ++x) {
                const ConsoleCell cell = screen_.At(origin.x + x, origin.y + row);
                CHAR_INFO& shown = block[static_cast<size_t>(row - y) * columns + x];
                shown.Char.UnicodeChar = ShownCharacter(cell.ch, narrow);
                shown.Attributes = cell.attribute;
            }
        }
        SMALL_RECT rect{window_corner_.X, static_cast<SHORT>(window_corner_.Y + y),
                        static_cast<SHORT>(window_corner_.X + columns - 1),
                        static_cast<SHORT>(window_corner_.Y + end - 1)};
        CurrentConsoleApi().write_console_output(
            view_output_, block.data(),
            COORD{static_cast<SHORT>(columns), static_cast<SHORT>(end - y)}, COORD{0, 0}, &rect);
        y = end;
    }
    PlaceViewCursor();
}

// The console's cursor where the screen has it, shown only while that cell is in view.
void WindowsConsolePort::PlaceViewCursor() {
    const ConsoleApi& api = CurrentConsoleApi();
    const CellCoord cursor = screen_.Cursor();
    const CellCoord origin = view_.Origin();
    const int x = cursor.x - origin.x;
    const int y = cursor.y - origin.y;
    const bool in_view = x >= 0 && y >= 0 && x < view_.Shown().x && y < view_.Shown().y;
    if (in_view) {
        api.set_console_cursor_position(view_output_,
                                        COORD{static_cast<SHORT>(window_corner_.X + x),
                                              static_cast<SHORT>(window_corner_.Y + y)});
    }
    const CONSOLE_CURSOR_INFO info{screen_.CursorSize(),
                                   screen_.CursorVisible() && in_view ? TRUE : FALSE};
    api.set_console_cursor_info(view_output_, &info);
}

}  // namespace vtrl
