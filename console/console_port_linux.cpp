// Linux only: the console port (ncurses over an 80 by 40 cell model); nothing else lives here.
#define NCURSES_WIDECHAR 1
#include <curses.h>
#include <langinfo.h>
#include <term.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

namespace vtrl {

namespace {

// Code page 437, bytes 128..255, as Unicode.
constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

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

void EndTerminal() {
    if (!isendwin()) {
        endwin();
    }
}

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

    int ReadKey() override {
        Start();
        if (!curses_) {
            unsigned char byte = 0;
            ssize_t got;
            do {
                got = read(STDIN_FILENO, &byte, 1);
            } while (got < 0 && errno == EINTR);
            return got == 1 ? byte : -1;
        }
        for (;;) {
            const int key = wgetch(stdscr);
            if (key == KEY_RESIZE) {
                clear();
                screen_.MarkAllDirty();
                Render();
                continue;
            }
            if (key == ERR) {
                if (errno == EINTR) {
                    continue;
                }
                return -1;
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
                std::fprintf(stderr, "%s\n", l.c_str());
            }
            if (!yes_no) {
                return kAnswerOk;
            }
            for (;;) {
                const int key = ReadKey();
                if (key == 'y' || key == 'Y') {
                    return kAnswerYes;
                }
                if (key == 'n' || key == 'N' || key < 0) {
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

  private:
    bool Failed(uint32_t error) {
        last_error_ = error;
        return false;
    }

    bool Output(ConsoleHandle out) {
        Start();
        return out == OutputToken() || Failed(kErrorInvalidHandle);
    }

    CellCoord Largest() const {
        if (!curses_) {
            return CellCoord{80, 40};
        }
        return CellCoord{static_cast<int16_t>(std::clamp(COLS, 1, 1000)),
                         static_cast<int16_t>(std::clamp(LINES, 1, 1000))};
    }

    // Takes the terminal over on first use.  With standard output redirected
    // (to a log, through tee) the screen goes to the controlling terminal, so
    // that the operator still sees what the program asks; keys come from
    // standard input either way.  Without any terminal to draw on the model
    // runs unseen.
    void Start() {
        if (started_) {
            return;
        }
        started_ = true;
        FILE* screen = stdout;
        if (!isatty(STDOUT_FILENO)) {
            terminal_ = std::fopen("/dev/tty", "w");
            if (terminal_ == nullptr) {
                return;
            }
            screen = terminal_;
        }
        std::setlocale(LC_ALL, "");
        if (newterm(nullptr, screen, stdin) == nullptr) {
            return;
        }
        screen_file_ = screen;
        curses_ = true;
        std::atexit(EndTerminal);
        utf8_ = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
        nonl();
        intrflush(stdscr, FALSE);
        keypad(stdscr, FALSE);
        scrollok(stdscr, FALSE);
        if (has_colors()) {
            start_color();
            colours_ = COLORS >= 16 ? 16 : 8;
        }
        ApplyInputMode();
        clear();
        screen_.MarkAllDirty();
        Render();
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
        std::fputs(sequence.c_str(), screen_file_);
        std::fflush(screen_file_);
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
            text[0] = static_cast<wchar_t>(kCp437High[byte - 0x80]);
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

    void Render() {
        if (!curses_) {
            return;
        }
        const std::vector<bool> dirty = screen_.TakeDirtyRows();
        const CellRect& window = screen_.Window();
        // The terminal is the window: from the window's origin as much of the
        // buffer as the terminal shows now.  A terminal that was small at
        // set-up (window cut to its size) shows the whole screen once enlarged.
        const int rows = std::min(screen_.Size().y - window.top, LINES);
        const int visible_columns = std::min(screen_.Size().x - window.left, COLS);
        for (int y = 0; y < rows; ++y) {
            const int row = window.top + y;
            if (row < static_cast<int>(dirty.size()) && !dirty[row]) {
                continue;
            }
            for (int x = 0; x < visible_columns; ++x) {
                DrawCell(y, x, screen_.At(window.left + x, row));
            }
        }
        const CellCoord cursor = screen_.Cursor();
        const int y = cursor.y - window.top;
        const int x = cursor.x - window.left;
        const bool shown =
            screen_.CursorVisible() && y >= 0 && y < rows && x >= 0 && x < visible_columns;
        if (shown) {
            move(y, x);
        }
        curs_set(!shown ? 0 : screen_.CursorSize() >= 50 ? 2 : 1);
        refresh();
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

    CellScreen screen_{CellCoord{80, 40}, 0x07};
    bool started_ = false;
    bool curses_ = false;
    FILE* terminal_ = nullptr;  // the controlling terminal, held for the whole run
    FILE* screen_file_ = stdout;
    bool utf8_ = false;
    int colours_ = 0;
    int next_pair_ = 1;
    std::map<uint8_t, short> pairs_;
    uint32_t input_mode_ = kInputProcessed | kInputLine | kInputEcho;
    uint32_t last_error_ = 0;
    std::string title_;
};

}  // namespace

ConsolePort* NativeConsolePort() {
    static LinuxConsolePort port;
    return &port;
}

}  // namespace vtrl
