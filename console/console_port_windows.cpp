// Windows only: the console port (kernel32, user32 and conio passthrough); nothing else lives here.
#include <cstdlib>
#include <string>
#include <vector>

#include "console/console_api_windows.h"
#include "console/console_port.h"
#include "console/cp437.h"
#include "platform/win32.h"

namespace vtrl {

namespace {

const ConsoleApi kSystemConsoleApi = {
    ::GetVersion,
    ::GetStdHandle,
    ::GetConsoleScreenBufferInfo,
    ::FreeConsole,
    ::AllocConsole,
    ::SetConsoleTitleA,
    ::GetConsoleMode,
    ::SetConsoleMode,
    ::SetConsoleCursorInfo,
    ::GetLargestConsoleWindowSize,
    ::SetConsoleScreenBufferSize,
    ::SetConsoleWindowInfo,
    ::SetConsoleTextAttribute,
    ::FillConsoleOutputCharacterW,
    ::FillConsoleOutputAttribute,
    ::SetConsoleCursorPosition,
    ::ReadConsoleOutputW,
    ::WriteConsoleOutputW,
    ::WriteConsoleW,
    ::_putwch,
    ::ScrollConsoleScreenBufferW,
    ::_getch,
    ::MessageBoxA,
    ::MessageBeep,
    ::GetLastError,
    ::FormatMessageA,
    ::LocalFree,
    ::Sleep,
};

const ConsoleApi* g_api = &kSystemConsoleApi;

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

// The cells hold code page 437 bytes; the console is given and gives back
// Unicode, which it shows the same in every output code page (932, 936, 949,
// 950 and 65001 show the line-drawing bytes of the A calls as other letters).
wchar_t ToWide(char ch) {
    return static_cast<wchar_t>(Cp437ToUnicode(static_cast<uint8_t>(ch)));
}
char FromWide(wchar_t ch) {
    return static_cast<char>(UnicodeToCp437(static_cast<char16_t>(ch)));
}

size_t CellCount(CellCoord size) {
    return size.x > 0 && size.y > 0 ? static_cast<size_t>(size.x) * size.y : 0;
}

class WindowsConsolePort final : public ConsolePort {
  public:
    uint32_t GetVersion() override { return g_api->get_version(); }

    ConsoleHandle GetStdHandle(StdHandle which) override {
        return g_api->get_std_handle(which == StdHandle::kOutput ? STD_OUTPUT_HANDLE
                                                                 : STD_INPUT_HANDLE);
    }

    bool GetScreenBufferInfo(ConsoleHandle out, ScreenBufferInfo* info) override {
        CONSOLE_SCREEN_BUFFER_INFO raw;
        if (!g_api->get_console_screen_buffer_info(out, &raw)) {
            return false;
        }
        info->size = FromCoord(raw.dwSize);
        info->cursor = FromCoord(raw.dwCursorPosition);
        info->attribute = raw.wAttributes;
        info->window = FromRect(raw.srWindow);
        info->max_window = FromCoord(raw.dwMaximumWindowSize);
        return true;
    }

    bool FreeConsole() override { return g_api->free_console() != FALSE; }
    bool AllocConsole() override { return g_api->alloc_console() != FALSE; }
    bool SetTitle(const char* title) override { return g_api->set_console_title(title) != FALSE; }

    bool GetInputMode(ConsoleHandle in, uint32_t* mode) override {
        DWORD raw = 0;
        if (!g_api->get_console_mode(in, &raw)) {
            return false;
        }
        *mode = raw;
        return true;
    }

    bool SetInputMode(ConsoleHandle in, uint32_t mode) override {
        return g_api->set_console_mode(in, mode) != FALSE;
    }

    bool SetCursorInfo(ConsoleHandle out, uint32_t size, bool visible) override {
        const CONSOLE_CURSOR_INFO info{size, visible ? TRUE : FALSE};
        return g_api->set_console_cursor_info(out, &info) != FALSE;
    }

    CellCoord GetLargestWindowSize(ConsoleHandle out) override {
        return FromCoord(g_api->get_largest_console_window_size(out));
    }

    bool SetScreenBufferSize(ConsoleHandle out, CellCoord size) override {
        return g_api->set_console_screen_buffer_size(out, ToCoord(size)) != FALSE;
    }

    bool SetWindowInfo(ConsoleHandle out, bool absolute, const CellRect& window) override {
        const SMALL_RECT rect = ToRect(window);
        return g_api->set_console_window_info(out, absolute ? TRUE : FALSE, &rect) != FALSE;
    }

    bool SetTextAttribute(ConsoleHandle out, uint16_t attribute) override {
        return g_api->set_console_text_attribute(out, attribute) != FALSE;
    }

    bool FillCharacter(ConsoleHandle out, char ch, uint32_t length, CellCoord start,
                       uint32_t* written) override {
        DWORD count = 0;
        const BOOL done =
            g_api->fill_console_output_character(out, ToWide(ch), length, ToCoord(start), &count);
        *written = count;
        return done != FALSE;
    }

    bool FillAttribute(ConsoleHandle out, uint16_t attribute, uint32_t length, CellCoord start,
                       uint32_t* written) override {
        DWORD count = 0;
        const BOOL done =
            g_api->fill_console_output_attribute(out, attribute, length, ToCoord(start), &count);
        *written = count;
        return done != FALSE;
    }

    bool SetCursorPosition(ConsoleHandle out, CellCoord position) override {
        return g_api->set_console_cursor_position(out, ToCoord(position)) != FALSE;
    }

    bool ReadCells(ConsoleHandle out, ConsoleCell* cells, CellCoord buffer_size,
                   CellRect* region) override {
        std::vector<CHAR_INFO> raw(CellCount(buffer_size));
        if (raw.empty()) {
            return false;
        }
        SMALL_RECT rect = ToRect(*region);
        if (!g_api->read_console_output(out, raw.data(), ToCoord(buffer_size), COORD{0, 0},
                                        &rect)) {
            return false;
        }
        for (size_t i = 0; i < raw.size(); ++i) {
            cells[i] = ConsoleCell{FromWide(raw[i].Char.UnicodeChar), raw[i].Attributes};
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
            raw[i].Char.UnicodeChar = ToWide(cells[i].ch);
            raw[i].Attributes = cells[i].attribute;
        }
        SMALL_RECT rect = ToRect(*region);
        if (!g_api->write_console_output(out, raw.data(), ToCoord(buffer_size), COORD{0, 0},
                                         &rect)) {
            return false;
        }
        *region = FromRect(rect);
        return true;
    }

    bool WriteChars(ConsoleHandle out, const char* text, uint32_t length,
                    uint32_t* written) override {
        std::wstring wide(length, L' ');
        for (uint32_t i = 0; i < length; ++i) {
            wide[i] = ToWide(text[i]);
        }
        DWORD count = 0;
        const BOOL done = g_api->write_console(out, wide.data(), length, &count, nullptr);
        *written = count;
        return done != FALSE;
    }

    void PutChar(char ch) override { g_api->put_char(ToWide(ch)); }

    bool ScrollCells(ConsoleHandle out, const CellRect& scroll, const CellRect* clip,
                     CellCoord destination, ConsoleCell fill) override {
        const SMALL_RECT source = ToRect(scroll);
        SMALL_RECT clip_rect{};
        if (clip != nullptr) {
            clip_rect = ToRect(*clip);
        }
        CHAR_INFO fill_cell;
        fill_cell.Char.UnicodeChar = ToWide(fill.ch);
        fill_cell.Attributes = fill.attribute;
        return g_api->scroll_console_screen_buffer(out, &source,
                                                   clip != nullptr ? &clip_rect : nullptr,
                                                   ToCoord(destination), &fill_cell) != FALSE;
    }

    int ReadKey() override { return g_api->get_char(); }

    int ShowMessageBox(const char* text, const char* caption, uint32_t flags) override {
        return g_api->message_box(nullptr, text, caption, flags);
    }

    bool MessageBeep(uint32_t type) override { return g_api->message_beep(type) != FALSE; }

    uint32_t LastError() override { return g_api->get_last_error(); }

    uint32_t FormatSystemMessage(uint32_t flags, uint32_t code, uint32_t language,
                                 uint32_t min_size, char** text) override {
        *text = nullptr;
        return g_api->format_message(flags, nullptr, code, language, reinterpret_cast<LPSTR>(text),
                                     min_size, nullptr);
    }

    void FreeSystemMessage(char* text) override { g_api->local_free(text); }

    void Sleep(uint32_t milliseconds) override { g_api->sleep(milliseconds); }

    void Exit(int status) override { std::exit(status); }
};

}  // namespace

const ConsoleApi& SystemConsoleApi() {
    return kSystemConsoleApi;
}

void SetConsoleApi(const ConsoleApi* api) {
    g_api = api != nullptr ? api : &kSystemConsoleApi;
}

ConsolePort* NativeConsolePort() {
    static WindowsConsolePort port;
    return &port;
}

// The program's own console is sized by InitConsole itself.
bool PrepareNativeConsole(int, int, std::string*) {
    return true;
}

}  // namespace vtrl
