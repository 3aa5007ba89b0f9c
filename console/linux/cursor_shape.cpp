// Linux only: where the console port's cursor shows, and its shape; nothing else lives here.
#include "console/linux/console_port.h"

namespace vtrl {

namespace {

// DECSCUSR cursor styles: the Windows console's cursor blinks.
constexpr int kBlinkingBlock = 1;
constexpr int kBlinkingUnderline = 3;

}  // namespace

// The cursor shows where the model has it when that cell is in view (`rows`
// by `visible_columns` of the terminal show the model).  Its style is sent
// after curses' refresh, behind what curses wrote (curs_set's sequences among it).
void LinuxConsolePort::ShowCursor(int rows, int visible_columns) {
    const CellCoord cursor = screen_.Cursor();
    const int y = cursor.y - view_.Origin().y;
    const int x = cursor.x - view_.Origin().x;
    const bool shown =
        screen_.CursorVisible() && y >= 0 && y < rows && x >= 0 && x < visible_columns;
    const bool block = screen_.CursorSize() >= 50;
    if (shown) {
        move(y, x);
    }
    curs_set(!shown ? 0 : (block && cursor_style_sequence_ == nullptr) ? 2 : 1);
    refresh();
    if (shown) {
        SetCursorStyle(block ? kBlinkingBlock : kBlinkingUnderline);
    }
}

// DECSCUSR through the terminal's own description; a terminal without it
// keeps its normal cursor.
void LinuxConsolePort::SetCursorStyle(int style) {
    if (cursor_style_sequence_ == nullptr || style == cursor_style_) {
        return;
    }
    (void)std::fputs(tiparm(cursor_style_sequence_, style), screen_file_);
    (void)std::fflush(screen_file_);
    cursor_style_ = style;
}

// The terminal's own cursor back, at the end of the run.
void LinuxConsolePort::ResetCursorStyle() {
    if (cursor_style_ == 0) {
        return;
    }
    const char* reset = cursor_reset_sequence_ != nullptr ? cursor_reset_sequence_
                                                          : tiparm(cursor_style_sequence_, 0);
    (void)std::fputs(reset, screen_file_);
    (void)std::fflush(screen_file_);
    cursor_style_ = 0;
}

}  // namespace vtrl
