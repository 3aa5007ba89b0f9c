// Windows only: the console port (kernel32, user32 and conio passthrough); nothing else lives here.
#include <conio.h>

#include <cstdlib>
#include <vector>

#include "console/console_port.h"
#include "platform/win32.h"

namespace vtrl {

namespace {

COORD ToCoord(CellCoord c) {
    return COORD{c.x, c.y};
}
CellCoord FromCoord(COORD c) {
    return CellCoord{c.X, c.Y};
}
SMALL_RECT ToRect(const CellRect& r) {
    return SMALL_RECT{r.left, r.top, r.right, r.bottom};
}
CellRect FromRect(const SMALL_RECT& r) {
    return CellRect{r.Left, r.Top, r.Right, r.Bottom};
}

size_t CellCount(CellCoord size) {
    return size.x > 0 && size.y > 0 ? static_cast<size_t>(size.x) * size.y : 0;
}

class WindowsConsolePort final : public ConsolePort {
  public:
    uint32_t GetVersion() override { return ::GetVersion(); }

    ConsoleHandle GetStdHandle(StdHandle which) override {
        return ::GetStdHandle(which == StdHandle::kOutput ? STD_OUTPUT_HANDLE : STD_INPUT_HANDLE);
    }

    bool GetScreenBufferInfo(ConsoleHandle out, ScreenBufferInfo* info) override {
        CONSOLE_SCREEN_BUFFER_INFO raw;
        if (!::GetConsoleScreenBufferInfo(out, &raw)) {
            return false;
        }
        info->size = FromCoord(raw.dwSize);
        info->cursor = FromCoord(raw.dwCursorPosition);
        info->attribute = raw.wAttributes;
        info->window = FromRect(raw.srWindow);
        info->max_window = FromCoord(raw.dwMaximumWindowSize);
        return true;
    }

    bool FreeConsole() override { return ::FreeConsole() != FALSE; }
    bool AllocConsole() override { return ::AllocConsole() != FALSE; }
    bool SetTitle(const char* title) override { return ::SetConsoleTitleA(title) != FALSE; }

    bool GetInputMode(ConsoleHandle in, uint32_t* mode) override {
        DWORD raw = 0;
        if (!::GetConsoleMode(in, &raw)) {
            return false;
        }
        *mode = raw;
        return true;
    }

    bool SetInputMode(ConsoleHandle in, uint32_t mode) override {
        return ::SetConsoleMode(in, mode) != FALSE;
    }

    bool SetCursorInfo(ConsoleHandle out, uint32_t size, bool visible) override {
        const CONSOLE_CURSOR_INFO info{size, visible ? TRUE : FALSE};
        return ::SetConsoleCursorInfo(out, &info) != FALSE;
    }

    CellCoord GetLargestWindowSize(ConsoleHandle out) override {
        return FromCoord(::GetLargestConsoleWindowSize(out));
    }

    bool SetScreenBufferSize(ConsoleHandle out, CellCoord size) override {
        return ::SetConsoleScreenBufferSize(out, ToCoord(size)) != FALSE;
    }

    bool SetWindowInfo(ConsoleHandle out, bool absolute, const CellRect& window) override {
        const SMALL_RECT rect = ToRect(window);
        return ::SetConsoleWindowInfo(out, absolute ? TRUE : FALSE, &rect) != FALSE;
    }

    bool SetTextAttribute(ConsoleHandle out, uint16_t attribute) override {
        return ::SetConsoleTextAttribute(out, attribute) != FALSE;
    }

    bool FillCharacter(ConsoleHandle out, char ch, uint32_t length, CellCoord start,
                       uint32_t* written) override {
        DWORD count = 0;
        const BOOL done = ::FillConsoleOutputCharacterA(out, ch, length, ToCoord(start), &count);
        *written = count;
        return done != FALSE;
    }

    bool FillAttribute(ConsoleHandle out, uint16_t attribute, uint32_t length, CellCoord start,
                       uint32_t* written) override {
        DWORD count = 0;
        const BOOL done =
            ::FillConsoleOutputAttribute(out, attribute, length, ToCoord(start), &count);
        *written = count;
        return done != FALSE;
    }

    bool SetCursorPosition(ConsoleHandle out, CellCoord position) override {
        return ::SetConsoleCursorPosition(out, ToCoord(position)) != FALSE;
    }

    bool ReadCells(ConsoleHandle out, ConsoleCell* cells, CellCoord buffer_size,
                   CellRect* region) override {
        std::vector<CHAR_INFO> raw(CellCount(buffer_size));
        if (raw.empty()) {
            return false;
        }
        SMALL_RECT rect = ToRect(*region);
        if (!::ReadConsoleOutputA(out, raw.data(), ToCoord(buffer_size), COORD{0, 0}, &rect)) {
            return false;
        }
        for (size_t i = 0; i < raw.size(); ++i) {
            cells[i] = ConsoleCell{raw[i].Char.AsciiChar, raw[i].Attributes};
        }
        *region = FromRect(rect);
        return true;
    }

    bool WriteCells(ConsoleHandle out, const ConsoleCell* cells, CellCoord buffer_size,
                    CellRect* region) override {
        std::vector<CHAR_INFO> raw(CellCount(buffer_size));
        if (raw.empty()) {
            return false;
        }
        for (size_t i = 0; i < raw.size(); ++i) {
            raw[i].Char.AsciiChar = cells[i].ch;
            raw[i].Attributes = cells[i].attribute;
        }
        SMALL_RECT rect = ToRect(*region);
        if (!::WriteConsoleOutputA(out, raw.data(), ToCoord(buffer_size), COORD{0, 0}, &rect)) {
            return false;
        }
        *region = FromRect(rect);
        return true;
    }

    bool WriteChars(ConsoleHandle out, const char* text, uint32_t length,
                    uint32_t* written) override {
        DWORD count = 0;
        const BOOL done = ::WriteConsoleA(out, text, length, &count, nullptr);
        *written = count;
        return done != FALSE;
    }

    void PutChar(char ch) override { _putch(static_cast<unsigned char>(ch)); }

    bool ScrollCells(ConsoleHandle out, const CellRect& scroll, const CellRect* clip,
                     CellCoord destination, ConsoleCell fill) override {
        const SMALL_RECT source = ToRect(scroll);
        SMALL_RECT clip_rect{};
        if (clip != nullptr) {
            clip_rect = ToRect(*clip);
        }
        CHAR_INFO fill_cell;
        fill_cell.Char.AsciiChar = fill.ch;
        fill_cell.Attributes = fill.attribute;
        return ::ScrollConsoleScreenBufferA(out, &source, clip != nullptr ? &clip_rect : nullptr,
                                            ToCoord(destination), &fill_cell) != FALSE;
    }

    int ReadKey() override { return _getch(); }

    int ShowMessageBox(const char* text, const char* caption, uint32_t flags) override {
        return ::MessageBoxA(nullptr, text, caption, flags);
    }

    bool MessageBeep(uint32_t type) override { return ::MessageBeep(type) != FALSE; }

    uint32_t LastError() override { return ::GetLastError(); }

    uint32_t FormatSystemMessage(uint32_t flags, uint32_t code, uint32_t language,
                                 uint32_t min_size, char** text) override {
        *text = nullptr;
        return ::FormatMessageA(flags, nullptr, code, language, reinterpret_cast<LPSTR>(text),
                                min_size, nullptr);
    }

    void FreeSystemMessage(char* text) override { ::LocalFree(text); }

    void Sleep(uint32_t milliseconds) override { ::Sleep(milliseconds); }

    void Exit(int status) override { std::exit(status); }
};

}  // namespace

ConsolePort* NativeConsolePort() {
    static WindowsConsolePort port;
    return &port;
}

// The program's own console is sized by InitConsole itself.
bool PrepareNativeConsole(int, int, std::string*) {
    return true;
}

}  // namespace vtrl
