// Linux only: the console port draws the model's cells through curses; nothing else lives here.
#include "console/linux/console_port.h"

#include <algorithm>

#include "console/cp437.h"

namespace vtrl {

namespace {

// Windows colour bits (1 blue, 2 green, 4 red) to the curses colour numbers.
short CursesColour(int windows_colour) {
    return static_cast<short>(((windows_colour & 1) ? COLOR_BLUE : 0) |
                              ((windows_colour & 2) ? COLOR_GREEN : 0) |
                              ((windows_colour & 4) ? COLOR_RED : 0));
}

const cchar_t* DoubleOrSingle(const cchar_t* double_line, const cchar_t* single_line) {
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
    if ((attrs & A_ALTCHARSET) != 0 && pairs != nullptr && pairs != reinterpret_cast<char*>(-1)) {
        for (size_t i = 0; pairs[i] != '\0' && pairs[i + 1] != '\0'; i += 2) {
            if (static_cast<wchar_t>(pairs[i]) == wide[0]) {
                return double_line;
            }
        }
    }
    return single_line;
}

// The line-drawing subset, for terminals without UTF-8.  Few terminals
// have double lines in their alternate set, and where one lacks them
// curses gives plain '+', '-' and '|': the single lines are drawn then.
const cchar_t* AcsFor(unsigned char byte) {
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

}  // namespace

// The terminal shows the model from the view's origin, as much of it as
// fits; cells of a larger terminal beyond the model stay blank.
void LinuxConsolePort::Render() {
    if (!curses_) {
        return;
    }
    FollowTerminalSize();
    const std::vector<bool> dirty = screen_.TakeDirtyRows();
    const CellCoord origin = view_.Origin();
    const int rows = std::min(screen_.Size().y - origin.y, LINES);
    const int visible_columns = std::min(screen_.Size().x - origin.x, COLS);
    for (int y = 0; y < rows; ++y) {
        const int row = origin.y + y;
        if (row < static_cast<int>(dirty.size()) && !dirty[row]) {
            continue;
        }
        for (int x = 0; x < visible_columns; ++x) {
            DrawCell(y, x, screen_.At(origin.x + x, row));
        }
    }
    ShowCursor(rows, visible_columns);
}

short LinuxConsolePort::PairFor(uint8_t attribute) {
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

void LinuxConsolePort::DrawCell(int y, int x, const ConsoleCell& cell) {
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

}  // namespace vtrl
