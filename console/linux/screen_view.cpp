// Linux only: the console port's view, which follows the newest window; nothing else lives here.
#include "console/linux/console_port.h"

#include <sys/ioctl.h>

namespace vtrl {

void LinuxConsolePort::WindowOpened(const CellRect& window) {
    if (view_.Opened(window)) {
        ViewMoved();
    }
}

void LinuxConsolePort::WindowClosing(const CellRect& window) {
    last_window_ = CellRows(window);
    if (view_.Closing()) {
        ViewMoved();
    }
}

// Drawn at the next Render, with whatever the cells hold by then.
void LinuxConsolePort::ViewMoved() {
    if (curses_) {
        clear();
    }
    screen_.MarkAllDirty();
}

// After the terminal changed size: the newest window whole again.
void LinuxConsolePort::Refit() {
    if (!curses_) {
        return;
    }
    view_.SetShown(CellCoord{static_cast<int16_t>(COLS), static_cast<int16_t>(LINES)});
    clear();
    screen_.MarkAllDirty();
}

// A size change the terminal reported since the last look (curses learns
// of it only at its next key read otherwise).
void LinuxConsolePort::FollowTerminalSize() {
    winsize ws{};
    if (ioctl(fileno(screen_file_), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0 &&
        (ws.ws_col != COLS || ws.ws_row != LINES)) {
        resizeterm(ws.ws_row, ws.ws_col);
    }
    if (COLS != view_.Shown().x || LINES != view_.Shown().y) {
        Refit();
    }
}

// The rows of a rectangle of the model, as bytes.
std::vector<std::string> LinuxConsolePort::CellRows(const CellRect& rect) const {
    std::vector<std::string> rows;
    for (int y = rect.top; y <= rect.bottom; ++y) {
        std::string row;
        for (int x = rect.left; x <= rect.right; ++x) {
            row += screen_.At(x, y).ch;
        }
        rows.push_back(row);
    }
    return rows;
}

}  // namespace vtrl
