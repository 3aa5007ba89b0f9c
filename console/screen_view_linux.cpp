// Linux only: the console port's view, which follows the newest window; nothing else lives here.
#include "console/console_port_linux.h"

#include <sys/ioctl.h>

#include <algorithm>

namespace vtrl {

namespace {

// One axis of the view: the origin that shows cells lo..hi of a model
// `model` cells long in a terminal `shown` cells long, staying at
// `origin` when they are in view already and centring them otherwise.
int16_t AxisOrigin(int origin, int lo, int hi, int shown, int model) {
    if (shown >= model) {
        return 0;
    }
    const int last = model - shown;
    origin = std::clamp(origin, 0, last);
    if (lo >= origin && hi < origin + shown) {
        return static_cast<int16_t>(origin);
    }
    const int length = hi - lo + 1;
    const int centred = length >= shown ? lo : lo - (shown - length) / 2;
    return static_cast<int16_t>(std::clamp(centred, 0, last));
}

}  // namespace

void LinuxConsolePort::WindowOpened(const CellRect& window) {
    shown_.push_back(ShownWindow{window, view_});
    MoveView(FitOrigin(window, view_));
}

void LinuxConsolePort::WindowClosing(const CellRect& window) {
    last_window_ = CellRows(window);
    if (shown_.empty()) {
        return;
    }
    const CellCoord before = shown_.back().view_before;
    shown_.pop_back();
    MoveView(shown_.empty() ? ClampOrigin(before) : FitOrigin(shown_.back().rect, before));
}

CellCoord LinuxConsolePort::FitOrigin(const CellRect& window, CellCoord origin) const {
    return CellCoord{AxisOrigin(origin.x, window.left, window.right, seen_size_.x, kModelSize.x),
                     AxisOrigin(origin.y, window.top, window.bottom, seen_size_.y, kModelSize.y)};
}

CellCoord LinuxConsolePort::ClampOrigin(CellCoord origin) const {
    return CellCoord{AxisOrigin(origin.x, origin.x, origin.x, seen_size_.x, kModelSize.x),
                     AxisOrigin(origin.y, origin.y, origin.y, seen_size_.y, kModelSize.y)};
}

// Drawn at the next Render, with whatever the cells hold by then.
void LinuxConsolePort::MoveView(CellCoord origin) {
    if (origin.x == view_.x && origin.y == view_.y) {
        return;
    }
    view_ = origin;
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
    seen_size_ = CellCoord{static_cast<int16_t>(COLS), static_cast<int16_t>(LINES)};
    MoveView(shown_.empty() ? ClampOrigin(view_) : FitOrigin(shown_.back().rect, view_));
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
    if (COLS != seen_size_.x || LINES != seen_size_.y) {
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
