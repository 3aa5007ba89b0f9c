// Linux only: the console port's start-up check of the terminal; nothing else lives here.
#include "console/linux/console_port.h"

#include <sys/ioctl.h>
#include <term.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>

namespace vtrl {

namespace {

// How long a terminal asked to become 80 by 40 is given to do so.
constexpr int kResizeWaitMs = 400;
constexpr int kResizePollMs = 20;

// A size from the environment: a whole positive number that fits an int, else 0
// (atoi would overflow on a long one).
int PositiveNumber(const char* text) {
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value <= 0 || value > INT_MAX) {
        return 0;
    }
    return static_cast<int>(value);
}

// The terminal's size as curses will take it: the kernel's window size, then
// LINES and COLUMNS from the environment, then the terminal description.
CellCoord TerminalSize(int fd) {
    winsize ws{};
    int width = 0;
    int height = 0;
    if (ioctl(fd, TIOCGWINSZ, &ws) == 0) {
        width = ws.ws_col;
        height = ws.ws_row;
    }
    const int env_width = PositiveNumber(std::getenv("COLUMNS"));
    const int env_height = PositiveNumber(std::getenv("LINES"));
    if (env_width > 0) {
        width = env_width;
    }
    if (env_height > 0) {
        height = env_height;
    }
    if (width <= 0) {
        width = tigetnum(const_cast<char*>("cols"));
    }
    if (height <= 0) {
        height = tigetnum(const_cast<char*>("lines"));
    }
    return CellCoord{static_cast<int16_t>(std::clamp(width, 0, 1000)),
                     static_cast<int16_t>(std::clamp(height, 0, 1000))};
}

void PauseMs(int milliseconds) {
    timespec wait{0, static_cast<long>(milliseconds) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

bool Refuse(std::string* reason, const std::string& why) {
    if (reason != nullptr) {
        *reason = why;
    }
    return false;
}

}  // namespace

const char* TerminalCapability(const char* name) {
    const char* value = tigetstr(const_cast<char*>(name));
    return value != nullptr && value != reinterpret_cast<char*>(-1) ? value : nullptr;
}

bool LinuxConsolePort::Prepare(int min_columns, int min_rows, std::string* reason) {
    if (started_) {
        return curses_ || Refuse(reason, "the terminal could not be set up");
    }
    FILE* screen = ScreenFile();
    if (screen == nullptr) {
        return Refuse(reason,
                      "no terminal to show the program on (standard output is not a "
                      "terminal and there is no controlling terminal)");
    }
    const char* term = std::getenv("TERM");
    if (term == nullptr || *term == '\0') {
        return Refuse(reason, "TERM is not set, so the terminal type is unknown");
    }
    const std::string name = term;
    int found = 0;
    if (setupterm(term, fileno(screen), &found) != OK) {
        return Refuse(reason, found == 0 ? "the terminal type TERM=" + name + " is unknown"
                                         : "no terminal descriptions (terminfo) were found");
    }
    const bool addressable = TerminalCapability("cup") != nullptr;
    CellCoord size = TerminalSize(fileno(screen));
    if (addressable && (size.x < kModelSize.x || size.y < kModelSize.y)) {
        // The xterm window-size request; terminals that do not honour it ignore it.
        (void)std::fprintf(screen, "\033[8;%d;%dt", kModelSize.y, kModelSize.x);
        (void)std::fflush(screen);
        for (int waited = 0; waited < kResizeWaitMs; waited += kResizePollMs) {
            PauseMs(kResizePollMs);
            size = TerminalSize(fileno(screen));
            if (size.x >= kModelSize.x && size.y >= kModelSize.y) {
                break;
            }
        }
    }
    del_curterm(cur_term);
    if (!addressable) {
        return Refuse(reason, "the terminal type TERM=" + name +
                                  " cannot place the cursor, so no window can be drawn");
    }
    if (size.x < min_columns || size.y < min_rows) {
        return Refuse(reason, "the terminal is " + std::to_string(size.x) + " columns by " +
                                  std::to_string(size.y) +
                                  " rows, too small for the program's windows: they need " +
                                  std::to_string(min_columns) + " by " + std::to_string(min_rows) +
                                  " (80 by 40 shows all)");
    }
    Start();
    return curses_ || Refuse(reason, "the terminal TERM=" + name + " could not be set up");
}

}  // namespace vtrl
