// Linux only: the console port (ncurses over an 80 by 40 cell model); nothing else lives here.
#define NCURSES_WIDECHAR 1
#include <curses.h>
#include <fcntl.h>
#include <langinfo.h>
#include <sys/ioctl.h>
#include <term.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "console/cell_screen.h"
#include "console/console_port.h"
#include "console/cp437.h"

namespace vtrl {

namespace {

constexpr uint32_t kErrorInvalidParameter = EINVAL;
constexpr uint32_t kErrorInvalidHandle = EBADF;

ConsoleHandle OutputToken() {
    return reinterpret_cast<ConsoleHandle>(0x1);
}
ConsoleHandle InputToken() {
    return reinterpret_cast<ConsoleHandle>(0x2);
}

// Windows colour bits (1 blue, 2 green, 4 red) to the curses colour numbers.
short CursesColour(int windows_colour) {
    return static_cast<short>(((windows_colour & 1) ? COLOR_BLUE : 0) |
                              ((windows_colour & 2) ? COLOR_GREEN : 0) |
                              ((windows_colour & 4) ? COLOR_RED : 0));
}

// The screen model: the terminal is a view of it.
constexpr CellCoord kModelSize{80, 40};
// DECSCUSR cursor styles: the Windows console's cursor blinks.
constexpr int kBlinkingBlock = 1;
constexpr int kBlinkingUnderline = 3;
// How long a terminal asked to become 80 by 40 is given to do so.
constexpr int kResizeWaitMs = 400;
constexpr int kResizePollMs = 20;
// What a key read gives at the end of the input: a key that answers no.
constexpr int kEndOfInputKey = 'n';

const char* Capability(const char* name) {
    const char* value = tigetstr(const_cast<char*>(name));
    return value != nullptr && value != reinterpret_cast<char*>(-1) ? value : nullptr;
}

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

// A line-drawing byte as plain ASCII, for a terminal without UTF-8.
char AsciiFor(unsigned char byte) {
    switch (byte) {
        case 0xC9:
        case 0xBB:
        case 0xC8:
        case 0xBC:
        case 0xDA:
        case 0xBF:
        case 0xC0:
        case 0xD9:
            return '+';
        case 0xCD:
            return '=';
        case 0xC4:
            return '-';
        case 0xBA:
        case 0xB3:
            return '|';
        default:
            return '?';
    }
}

class LinuxConsolePort;
LinuxConsolePort* g_started_port = nullptr;
void EndTerminal();

class LinuxConsolePort final : public ConsolePort {
  public:
    uint32_t GetVersion() override { return 0x0000000A; }  // an NT-like host, never 3.1

    ConsoleHandle GetStdHandle(StdHandle which) override {
        Start();
        return which == StdHandle::kOutput ? OutputToken() : InputToken();
    }

    bool GetScreenBufferInfo(ConsoleHandle out, ScreenBufferInfo* info) override {
        if (!Output(out)) {
            return false;
        }
        info->size = screen_.Size();
        info->cursor = screen_.Cursor();
        info->attribute = screen_.Attribute();
        info->window = screen_.Window();
        const CellCoord largest = Largest();
        info->max_window =
            CellCoord{std::min(screen_.Size().x, largest.x), std::min(screen_.Size().y, largest.y)};
        return true;
    }

    // The program always has the terminal it was started on to itself.
    bool FreeConsole() override { return true; }
    bool AllocConsole() override { return true; }

    bool SetTitle(const char* title) override {
        Start();
        title_ = title != nullptr ? title : "";
        ShowTitle();
        return true;
    }

    bool GetInputMode(ConsoleHandle in, uint32_t* mode) override {
        if (in != InputToken()) {
            return Failed(kErrorInvalidHandle);
        }
        *mode = input_mode_;
        return true;
    }

    bool SetInputMode(ConsoleHandle in, uint32_t mode) override {
        if (in != InputToken()) {
            return Failed(kErrorInvalidHandle);
        }
        input_mode_ = mode;
        ApplyInputMode();
        return true;
    }

    bool SetCursorInfo(ConsoleHandle out, uint32_t size, bool visible) override {
        if (!Output(out)) {
            return false;
        }
        if (!screen_.SetCursorInfo(size, visible)) {
            return Failed(kErrorInvalidParameter);
        }
        Render();
        return true;
    }

    CellCoord GetLargestWindowSize(ConsoleHandle out) override {
        if (!Output(out)) {
            return CellCoord{0, 0};
        }
        return Largest();
    }

    bool SetScreenBufferSize(ConsoleHandle out, CellCoord size) override {
        if (!Output(out)) {
            return false;
        }
        if (!screen_.SetSize(size)) {
            return Failed(kErrorInvalidParameter);
        }
        Render();
        return true;
    }

    bool SetWindowInfo(ConsoleHandle out, bool absolute, const CellRect& window) override {
        if (!Output(out)) {
            return false;
        }
        if (!screen_.SetWindowInfo(absolute, window, Largest())) {
            return Failed(kErrorInvalidParameter);
        }
        if (curses_) {
            clear();
        }
        Render();
        return true;
    }

    bool SetTextAttribute(ConsoleHandle out, uint16_t attribute) override {
        if (!Output(out)) {
            return false;
        }
        screen_.SetAttribute(attribute);
        return true;
    }

    bool FillCharacter(ConsoleHandle out, char ch, uint32_t length, CellCoord start,
                       uint32_t* written) override {
        *written = 0;
        if (!Output(out)) {
            return false;
        }
        *written = screen_.FillCharacter(ch, length, start);
        Render();
        return true;
    }

    bool FillAttribute(ConsoleHandle out, uint16_t attribute, uint32_t length, CellCoord start,
                       uint32_t* written) override {
        *written = 0;
        if (!Output(out)) {
            return false;
        }
        *written = screen_.FillAttribute(attribute, length, start);
        Render();
        return true;
    }

    bool SetCursorPosition(ConsoleHandle out, CellCoord position) override {
        if (!Output(out)) {
            return false;
        }
        if (!screen_.SetCursor(position)) {
            return Failed(kErrorInvalidParameter);
        }
        Render();
        return true;
    }

    bool ReadCells(ConsoleHandle out, ConsoleCell* cells, CellCoord buffer_size,
                   CellRect* region) override {
        if (!Output(out)) {
            return false;
        }
        return screen_.ReadCells(cells, buffer_size, region) || Failed(kErrorInvalidParameter);
    }

    bool WriteCells(ConsoleHandle out, const ConsoleCell* cells, CellCoord buffer_size,
                    CellRect* region) override {
        if (!Output(out)) {
            return false;
        }
        const bool done = screen_.WriteCells(cells, buffer_size, region);
        Render();
        return done || Failed(kErrorInvalidParameter);
    }

    bool WriteChars(ConsoleHandle out, const char* text, uint32_t length,
                    uint32_t* written) override {
        *written = 0;
        if (!Output(out)) {
            return false;
        }
        *written = screen_.WriteChars(text, length);
        Render();
        return true;
    }

    void PutChar(char ch) override {
        Start();
        screen_.WriteChars(&ch, 1);
        Render();
    }

    bool ScrollCells(ConsoleHandle out, const CellRect& scroll, const CellRect* clip,
                     CellCoord destination, ConsoleCell fill) override {
        if (!Output(out)) {
            return false;
        }
        const bool done = screen_.Scroll(scroll, clip, destination, fill);
        Render();
        return done || Failed(kErrorInvalidParameter);
    }

    // The end of the input (keys from a pipe or a file that ran out, a
    // terminal gone) is a key that answers no, so that every wait ends.
    int ReadKey() override {
        Start();
        if (!curses_) {
            unsigned char byte = 0;
            ssize_t got;
            do {
                got = read(STDIN_FILENO, &byte, 1);
            } while (got < 0 && errno == EINTR);
            return got == 1 ? byte : kEndOfInputKey;
        }
        for (;;) {
            // wgetch reports the end of input with ERR and leaves errno alone:
            // an EINTR left over from an interrupted sleep must not read as
            // an interrupted wait.
            errno = 0;
            const int key = wgetch(stdscr);
            if (key == KEY_RESIZE) {
                Refit();
                Render();
                continue;
            }
            if (key == ERR) {
                if (errno == EINTR) {
                    continue;
                }
                return kEndOfInputKey;
            }
            return key;
        }
    }

    int ShowMessageBox(const char* text, const char* caption, uint32_t flags) override {
        Start();
        const bool yes_no = (flags & 0xF) == kMessageBoxYesNo;
        std::vector<std::string> text_lines;
        text_lines.push_back(caption != nullptr ? caption : "");
        text_lines.emplace_back();
        std::string line;
        for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
            if (*p == '\n') {
                text_lines.push_back(line);
                line.clear();
            } else if (*p != '\r') {
                line += *p;
            }
        }
        text_lines.push_back(line);
        text_lines.emplace_back();
        text_lines.push_back(yes_no ? "Yes (y) / No (n)" : "Press a key");
        if (!curses_) {
            for (const std::string& l : text_lines) {
                (void)std::fprintf(stderr, "%s\n", l.c_str());
            }
            if (!yes_no) {
                return kAnswerOk;
            }
            for (;;) {
                const int key = ReadKey();
                if (key == 'y' || key == 'Y') {
                    return kAnswerYes;
                }
                if (key == 'n' || key == 'N') {
                    return kAnswerNo;
                }
            }
        }
        return AskOnScreen(text_lines, yes_no);
    }

    bool MessageBeep(uint32_t) override {
        Start();
        if (curses_) {
            beep();
        }
        return true;
    }

    uint32_t LastError() override { return last_error_; }

    uint32_t FormatSystemMessage(uint32_t flags, uint32_t code, uint32_t, uint32_t,
                                 char** text) override {
        *text = nullptr;
        const std::string flowed =
            FlowMessageText(std::strerror(static_cast<int>(code)), flags & kFormatMaxWidthMask);
        *text = static_cast<char*>(std::malloc(flowed.size() + 1));
        if (*text == nullptr) {
            last_error_ = ENOMEM;
            return 0;
        }
        std::memcpy(*text, flowed.c_str(), flowed.size() + 1);
        return static_cast<uint32_t>(flowed.size());
    }

    void FreeSystemMessage(char* text) override { std::free(text); }

    void Sleep(uint32_t milliseconds) override {
        timespec wait{static_cast<time_t>(milliseconds / 1000),
                      static_cast<long>(milliseconds % 1000) * 1000000L};
        while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
        }
    }

    void Exit(int status) override { std::exit(status); }

    void WindowOpened(const CellRect& window) override {
        shown_.push_back(ShownWindow{window, view_});
        MoveView(FitOrigin(window, view_));
    }

    // The view goes back to where it was before the window opened, so that
    // what the operator saw then comes back as it was.
    void WindowClosing(const CellRect& window) override {
        last_window_ = CellRows(window);
        if (shown_.empty()) {
            return;
        }
        const CellCoord before = shown_.back().view_before;
        shown_.pop_back();
        MoveView(shown_.empty() ? ClampOrigin(before) : FitOrigin(shown_.back().rect, before));
    }

  private:
    bool Failed(uint32_t error) {
        last_error_ = error;
        return false;
    }

    bool Output(ConsoleHandle out) {
        Start();
        return out == OutputToken() || Failed(kErrorInvalidHandle);
    }

    // The screen is 80 by 40 cells whatever the terminal shows of it.
    static CellCoord Largest() { return kModelSize; }

    // The terminal the screen is drawn on: standard output, or with standard
    // output redirected (to a log, through tee) the controlling terminal, so
    // that the operator still sees what the program asks; keys come from
    // standard input either way.  Null when there is none.
    FILE* ScreenFile() {
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
    void Start() {
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
        cursor_style_sequence_ = Capability("Ss");
        cursor_reset_sequence_ = Capability("Se");
        nonl();
        intrflush(stdscr, FALSE);
        keypad(stdscr, FALSE);
        scrollok(stdscr, FALSE);
        if (has_colors()) {
            start_color();
            colours_ = COLORS >= 16 ? 16 : 8;
        }
        ApplyInputMode();
        seen_size_ = CellCoord{static_cast<int16_t>(COLS), static_cast<int16_t>(LINES)};
        clear();
        screen_.MarkAllDirty();
        Render();
    }

  public:
    bool Prepare(int min_columns, int min_rows, std::string* reason) {
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
        const bool addressable = Capability("cup") != nullptr;
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
                                      std::to_string(min_columns) + " by " +
                                      std::to_string(min_rows) + " (80 by 40 shows all)");
        }
        Start();
        return curses_ || Refuse(reason, "the terminal TERM=" + name + " could not be set up");
    }

    // At the end of the run: the terminal's cursor and modes back, and the
    // last window the operator saw written out, so that it stays on the
    // terminal once the screen is given back.
    void Finish() {
        if (!curses_) {
            return;
        }
        if (!isendwin()) {
            if (cursor_style_ != 0) {
                const char* reset = cursor_reset_sequence_ != nullptr
                                        ? cursor_reset_sequence_
                                        : tiparm(cursor_style_sequence_, 0);
                (void)std::fputs(reset, screen_file_);
                (void)std::fflush(screen_file_);
                cursor_style_ = 0;
            }
            endwin();
        }
        const std::vector<std::string> rows =
            !shown_.empty() ? CellRows(shown_.back().rect) : last_window_;
        for (const std::string& row : rows) {
            (void)std::fprintf(screen_file_, "%s\n", Printable(row).c_str());
        }
        (void)std::fflush(screen_file_);
    }

  private:
    static bool Refuse(std::string* reason, const std::string& why) {
        if (reason != nullptr) {
            *reason = why;
        }
        return false;
    }

    void ApplyInputMode() {
        if (!curses_) {
            return;
        }
        if ((input_mode_ & kInputLine) != 0) {
            nocbreak();
        } else {
            cbreak();
        }
        if ((input_mode_ & kInputEcho) != 0) {
            echo();
        } else {
            noecho();
        }
    }

    void ShowTitle() {
        if (!curses_) {
            return;
        }
        const char* to_status = tigetstr(const_cast<char*>("tsl"));
        const char* from_status = tigetstr(const_cast<char*>("fsl"));
        const bool has_status = to_status != nullptr && to_status != reinterpret_cast<char*>(-1) &&
                                from_status != nullptr &&
                                from_status != reinterpret_cast<char*>(-1);
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

    short PairFor(uint8_t attribute) {
        auto it = pairs_.find(attribute);
        if (it != pairs_.end()) {
            return it->second;
        }
        short pair = 0;
        if (colours_ > 0 && next_pair_ < COLOR_PAIRS) {
            short foreground = CursesColour(attribute & 0x7);
            short background = CursesColour((attribute >> 4) & 0x7);
            if (colours_ >= 16) {
                foreground = static_cast<short>(foreground + ((attribute & 0x08) ? 8 : 0));
                background = static_cast<short>(background + ((attribute & 0x80) ? 8 : 0));
            }
            pair = static_cast<short>(next_pair_++);
            init_pair(pair, foreground, background);
        }
        pairs_[attribute] = pair;
        return pair;
    }

    void DrawCell(int y, int x, const ConsoleCell& cell) {
        const uint8_t attribute = static_cast<uint8_t>(cell.attribute & 0xFF);
        const unsigned char byte = static_cast<unsigned char>(cell.ch);
        attr_t attrs = A_NORMAL;
        if (colours_ == 8 && (attribute & 0x08) != 0) {
            attrs |= A_BOLD;  // bright foreground on an 8-colour terminal
        }
        if (colours_ == 0 && (attribute & 0x70) != 0) {
            attrs |= A_REVERSE;
        }
        const short pair = PairFor(attribute);
        wchar_t text[2] = {L' ', L'\0'};
        if (byte >= 0x20 && byte < 0x7F) {
            text[0] = static_cast<wchar_t>(byte);
        } else if (byte >= 0x80 && utf8_) {
            text[0] = static_cast<wchar_t>(Cp437ToUnicode(byte));
        } else if (byte >= 0x80) {
            const cchar_t* line = AcsFor(byte);
            if (line != nullptr) {
                cchar_t drawn = *line;
                wchar_t wide[CCHARW_MAX];
                attr_t line_attrs;
                short unused_pair;
                getcchar(&drawn, wide, &line_attrs, &unused_pair, nullptr);
                setcchar(&drawn, wide, attrs | (line_attrs & A_ALTCHARSET), pair, nullptr);
                mvadd_wch(y, x, &drawn);
                return;
            }
            text[0] = L'?';
        }
        cchar_t drawn;
        setcchar(&drawn, text, attrs, pair, nullptr);
        mvadd_wch(y, x, &drawn);
    }

    // The line-drawing subset, for terminals without UTF-8.  Few terminals
    // have double lines in their alternate set, and where one lacks them
    // curses gives plain '+', '-' and '|': the single lines are drawn then.
    static const cchar_t* AcsFor(unsigned char byte) {
        switch (byte) {
            case 0xC9:
                return DoubleOrSingle(WACS_D_ULCORNER, WACS_ULCORNER);
            case 0xBB:
                return DoubleOrSingle(WACS_D_URCORNER, WACS_URCORNER);
            case 0xC8:
                return DoubleOrSingle(WACS_D_LLCORNER, WACS_LLCORNER);
            case 0xBC:
                return DoubleOrSingle(WACS_D_LRCORNER, WACS_LRCORNER);
            case 0xCD:
                return DoubleOrSingle(WACS_D_HLINE, WACS_HLINE);
            case 0xBA:
                return DoubleOrSingle(WACS_D_VLINE, WACS_VLINE);
            case 0xDA:
                return WACS_ULCORNER;
            case 0xBF:
                return WACS_URCORNER;
            case 0xC0:
                return WACS_LLCORNER;
            case 0xD9:
                return WACS_LRCORNER;
            case 0xC4:
                return WACS_HLINE;
            case 0xB3:
                return WACS_VLINE;
            default:
                return nullptr;
        }
    }

    static const cchar_t* DoubleOrSingle(const cchar_t* double_line, const cchar_t* single_line) {
        cchar_t cell = *double_line;
        wchar_t wide[CCHARW_MAX];
        attr_t attrs;
        short pair;
        getcchar(&cell, wide, &attrs, &pair, nullptr);
        if (wide[0] >= 0x80) {
            return double_line;  // a Unicode line character
        }
        // An alternate-set character counts only when the terminal's acsc
        // pairs name it; curses falls back to plain ASCII for the others.
        const char* pairs = tigetstr(const_cast<char*>("acsc"));
        if ((attrs & A_ALTCHARSET) != 0 && pairs != nullptr &&
            pairs != reinterpret_cast<char*>(-1)) {
            for (size_t i = 0; pairs[i] != '\0' && pairs[i + 1] != '\0'; i += 2) {
                if (static_cast<wchar_t>(pairs[i]) == wide[0]) {
                    return double_line;
                }
            }
        }
        return single_line;
    }

    // One axis of the view: the origin that shows cells lo..hi of a model
    // `model` cells long in a terminal `shown` cells long, staying at
    // `origin` when they are in view already and centring them otherwise.
    static int16_t AxisOrigin(int origin, int lo, int hi, int shown, int model) {
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

    CellCoord FitOrigin(const CellRect& window, CellCoord origin) const {
        return CellCoord{
            AxisOrigin(origin.x, window.left, window.right, seen_size_.x, kModelSize.x),
            AxisOrigin(origin.y, window.top, window.bottom, seen_size_.y, kModelSize.y)};
    }

    CellCoord ClampOrigin(CellCoord origin) const {
        return CellCoord{AxisOrigin(origin.x, origin.x, origin.x, seen_size_.x, kModelSize.x),
                         AxisOrigin(origin.y, origin.y, origin.y, seen_size_.y, kModelSize.y)};
    }

    // Drawn at the next Render, with whatever the cells hold by then.
    void MoveView(CellCoord origin) {
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
    void Refit() {
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
    void FollowTerminalSize() {
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
    std::vector<std::string> CellRows(const CellRect& rect) const {
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

    // A row of cell bytes as text for the terminal, trailing blanks dropped.
    std::string Printable(const std::string& row) const {
        std::string text;
        for (char ch : row) {
            const unsigned char byte = static_cast<unsigned char>(ch);
            if (byte >= 0x20 && byte < 0x7F) {
                text += ch;
            } else if (byte >= 0x80) {
                if (utf8_) {
                    AppendUtf8(&text, Cp437ToUnicode(byte));
                } else {
                    text += AsciiFor(byte);
                }
            } else {
                text += ' ';
            }
        }
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }

    // DECSCUSR through the terminal's own description; a terminal without it
    // keeps its normal cursor.
    void SetCursorStyle(int style) {
        if (cursor_style_sequence_ == nullptr || style == cursor_style_) {
            return;
        }
        (void)std::fputs(tiparm(cursor_style_sequence_, style), screen_file_);
        (void)std::fflush(screen_file_);
        cursor_style_ = style;
    }

    // The terminal shows the model from the view's origin, as much of it as
    // fits; cells of a larger terminal beyond the model stay blank.
    void Render() {
        if (!curses_) {
            return;
        }
        FollowTerminalSize();
        const std::vector<bool> dirty = screen_.TakeDirtyRows();
        const int rows = std::min(screen_.Size().y - view_.y, LINES);
        const int visible_columns = std::min(screen_.Size().x - view_.x, COLS);
        for (int y = 0; y < rows; ++y) {
            const int row = view_.y + y;
            if (row < static_cast<int>(dirty.size()) && !dirty[row]) {
                continue;
            }
            for (int x = 0; x < visible_columns; ++x) {
                DrawCell(y, x, screen_.At(view_.x + x, row));
            }
        }
        const CellCoord cursor = screen_.Cursor();
        const int y = cursor.y - view_.y;
        const int x = cursor.x - view_.x;
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

    int AskOnScreen(const std::vector<std::string>& text_lines, bool yes_no) {
        int width = 0;
        for (const std::string& l : text_lines) {
            width = std::max(width, static_cast<int>(l.size()));
        }
        const int box_width = std::min(width + 4, COLS);
        const int box_height = std::min(static_cast<int>(text_lines.size()) + 2, LINES);
        WINDOW* box = newwin(box_height, box_width, std::max(0, (LINES - box_height) / 2),
                             std::max(0, (COLS - box_width) / 2));
        if (box != nullptr) {
            wbkgd(box, COLOR_PAIR(PairFor(0x4F)));
            werase(box);
            box_set(box, 0, 0);
            for (int i = 0; i < static_cast<int>(text_lines.size()) && i + 1 < box_height - 1;
                 ++i) {
                mvwaddnstr(box, i + 1, 2, text_lines[i].c_str(), box_width - 4);
            }
            curs_set(0);
            wrefresh(box);
        }
        cbreak();
        noecho();
        int answer = kAnswerOk;
        for (;;) {
            errno = 0;
            const int key = wgetch(box != nullptr ? box : stdscr);
            if (key == KEY_RESIZE || (key == ERR && errno == EINTR)) {
                continue;
            }
            if (!yes_no) {
                break;
            }
            if (key == 'y' || key == 'Y') {
                answer = kAnswerYes;
                break;
            }
            if (key == 'n' || key == 'N' || key == ERR) {
                answer = kAnswerNo;
                break;
            }
        }
        if (box != nullptr) {
            delwin(box);
        }
        ApplyInputMode();
        touchwin(stdscr);
        screen_.MarkAllDirty();
        Render();
        return answer;
    }

    // cppcheck 2.10 does not see the members used through shown_.
    struct ShownWindow {
        CellRect rect;          // cppcheck-suppress unusedStructMember
        CellCoord view_before;  // cppcheck-suppress unusedStructMember
    };

    CellScreen screen_{kModelSize, 0x07};
    bool started_ = false;
    bool curses_ = false;
    bool screen_looked_for_ = false;
    FILE* terminal_ = nullptr;  // the controlling terminal, held for the whole run
    FILE* screen_file_ = nullptr;
    CellCoord view_{0, 0};                  // the model cell in the terminal's top-left corner
    CellCoord seen_size_{0, 0};             // the terminal's size as the view was last fitted to it
    std::vector<ShownWindow> shown_;        // the open windows, newest last
    std::vector<std::string> last_window_;  // the last closed window's rows
    const char* cursor_style_sequence_ = nullptr;
    const char* cursor_reset_sequence_ = nullptr;
    int cursor_style_ = 0;  // 0: the terminal's own
    bool utf8_ = false;
    int colours_ = 0;
    int next_pair_ = 1;
    std::map<uint8_t, short> pairs_;
    uint32_t input_mode_ = kInputProcessed | kInputLine | kInputEcho;
    uint32_t last_error_ = 0;
    std::string title_;
};

LinuxConsolePort& ThePort() {
    static LinuxConsolePort port;
    return port;
}

void EndTerminal() {
    if (g_started_port != nullptr) {
        g_started_port->Finish();
    }
}

}  // namespace

ConsolePort* NativeConsolePort() {
    return &ThePort();
}

bool PrepareNativeConsole(int min_columns, int min_rows, std::string* reason) {
    return ThePort().Prepare(min_columns, min_rows, reason);
}

}  // namespace vtrl
