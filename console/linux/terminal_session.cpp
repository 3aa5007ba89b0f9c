// Linux only: the console port takes the terminal over and gives it back; nothing else lives here.
#include "console/linux/console_port.h"

#include <langinfo.h>
#include <signal.h>
#include <unistd.h>

#include <clocale>
#include <cstring>

#include "console/cp437.h"

namespace vtrl {

namespace {

// The port that took the terminal over, for the exit handler to give it back.
LinuxConsolePort* g_started_port = nullptr;

void EndTerminal() {
    if (g_started_port != nullptr) {
        g_started_port->Finish();
    }
}

void AppendUtf8(std::string* out, char32_t c) {
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | (c >> 6));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out += static_cast<char>(0xE0 | (c >> 12));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

// The terminal the screen is drawn on: standard output, or with standard
// output redirected (to a log, through tee) the controlling terminal, so
// that the operator still sees what the program asks; keys come from
// standard input either way.  Null when there is none.
FILE* LinuxConsolePort::ScreenFile() {
    if (screen_file_ == nullptr && !screen_looked_for_) {
        screen_looked_for_ = true;
        if (isatty(STDOUT_FILENO)) {
            screen_file_ = stdout;
        } else {
            terminal_ = std::fopen("/dev/tty", "w");
            screen_file_ = terminal_;
        }
    }
    return screen_file_;
}

// Takes the terminal over on first use.  Without any terminal to draw on
// the model runs unseen (PrepareNativeConsole has refused such a start).
void LinuxConsolePort::Start() {
    if (started_) {
        return;
    }
    started_ = true;
    FILE* screen = ScreenFile();
    if (screen == nullptr) {
        return;
    }
    (void)std::setlocale(LC_ALL, "");  // without it the C locale serves
    if (newterm(nullptr, screen, stdin) == nullptr) {
        return;
    }
    curses_ = true;
    g_started_port = this;
    (void)std::atexit(EndTerminal);
    utf8_ = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    cursor_style_sequence_ = TerminalCapability("Ss");
    cursor_reset_sequence_ = TerminalCapability("Se");
    nonl();
    intrflush(stdscr, FALSE);
    keypad(stdscr, FALSE);
    scrollok(stdscr, FALSE);
    if (has_colors()) {
        start_color();
        colours_ = COLORS >= 16 ? 16 : 8;
    }
    ApplyInputMode();
    view_.SetShown(CellCoord{static_cast<int16_t>(COLS), static_cast<int16_t>(LINES)});
    clear();
    screen_.MarkAllDirty();
    Render();
}

void LinuxConsolePort::Finish() {
    if (!curses_) {
        return;
    }
    if (!isendwin()) {
        ResetCursorStyle();
        endwin();
    }
    const std::vector<std::string> rows =
        view_.Newest() != nullptr ? CellRows(*view_.Newest()) : last_window_;
    for (const std::string& row : rows) {
        (void)std::fprintf(screen_file_, "%s\n", Printable(row).c_str());
    }
    (void)std::fflush(screen_file_);
}

// Ignored, not caught: an ignored signal interrupts no system call, so the
// serial and HID waits under way go on as if nothing had come.  (Curses'
// own handlers for Ctrl+C and Ctrl+Z, which end or stop the program, go.)
// Once the terminal is gone, reads of keys find its end (the answer no) and
// writes to it fail unseen, so the run goes on to its end with no screen.
void LinuxConsolePort::IgnoreInterruptions() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (const int signal_number : {SIGINT, SIGQUIT, SIGTSTP, SIGHUP, SIGPIPE}) {
        (void)sigaction(signal_number, &ignore, nullptr);
    }
}

void LinuxConsolePort::ShowTitle() {
    if (!curses_) {
        return;
    }
    const char* to_status = tigetstr(const_cast<char*>("tsl"));
    const char* from_status = tigetstr(const_cast<char*>("fsl"));
    const bool has_status = to_status != nullptr && to_status != reinterpret_cast<char*>(-1) &&
                            from_status != nullptr && from_status != reinterpret_cast<char*>(-1);
    const char* term = std::getenv("TERM");
    const std::string name = term != nullptr ? term : "";
    const bool xterm_like = name.rfind("xterm", 0) == 0 || name.rfind("tmux", 0) == 0 ||
                            name.rfind("screen", 0) == 0 || name.rfind("rxvt", 0) == 0 ||
                            name.rfind("alacritty", 0) == 0 || name.rfind("kitty", 0) == 0 ||
                            name.rfind("foot", 0) == 0 || name.rfind("vte", 0) == 0;
    if (!has_status && !xterm_like) {
        return;
    }
    refresh();
    std::string sequence;
    if (has_status) {
        sequence = std::string(tiparm(to_status, 0)) + title_ + from_status;
    } else {
        sequence = "\033]0;" + title_ + "\007";
    }
    // A terminal that refuses output has nowhere to be told so.
    (void)std::fputs(sequence.c_str(), screen_file_);
    (void)std::fflush(screen_file_);
}

// A row of cell bytes as text for the terminal, trailing blanks dropped.
std::string LinuxConsolePort::Printable(const std::string& row) const {
    std::string text;
    for (char ch : row) {
        const unsigned char byte = static_cast<unsigned char>(ch);
        if (byte >= 0x20 && byte < 0x7F) {
            text += ch;
        } else if (byte >= 0x80) {
            if (utf8_) {
                AppendUtf8(&text, Cp437ToUnicode(byte));
            } else {
                const char stand_in = AsciiFrameCharacter(byte);
                text += stand_in != '\0' ? stand_in : '?';
            }
        } else {
            text += ' ';
        }
    }
    return text.substr(0, text.find_last_not_of(' ') + 1);
}

}  // namespace vtrl
