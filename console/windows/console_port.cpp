// Windows only: the console port (kernel32, user32 and conio passthrough); nothing else lives here.
//
// This file holds the console seam's calls and the keys and closed window
// that must not end the run; the class and the files of its other concerns
// are listed in console/windows/console_port.h.
#include "console/windows/console_port.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "console/cp437.h"

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
    ::GetConsoleOutputCP,
    ::SetConsoleCtrlHandler,
    ::GetConsoleWindow,
    ::GetClassNameW,
    ::GetProcessWindowStation,
    ::GetUserObjectInformationW,
    ::GetSystemWindowsDirectoryW,
    ::GetSystemDirectoryW,
    ::GetModuleFileNameW,
    ::GetCommandLineW,
    ::GetCurrentProcessId,
    ::CreateProcessW,
    ::CreateToolhelp32Snapshot,
    ::Process32FirstW,
    ::Process32NextW,
    ::OpenProcess,
    ::WaitForSingleObject,
    ::GetExitCodeProcess,
    ::CloseHandle,
};

const ConsoleApi* g_api = &kSystemConsoleApi;

// Closing the console window gives the process's handlers about 5 seconds
// before the system ends it, whatever they do; this one waits longer than
// that, so that the run goes on for all of it.
constexpr DWORD kClosedWindowWaitMs = 10000;

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
char FromWide(wchar_t ch) {
    return static_cast<char>(UnicodeToCp437(static_cast<char16_t>(ch)));
}

size_t CellCount(CellCoord size) {
    return size.x > 0 && size.y > 0 ? static_cast<size_t>(size.x) * size.y : 0;
}

// The system starts a thread of its own in the process for each event.
BOOL WINAPI KeepRunning(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        return TRUE;  // handled: nothing happens
    }
    // The window is being closed (or the session ends): the system ends the
    // process when this returns, or a few seconds from now whatever it does.
    // Nothing here can make that safe; the run goes on meanwhile, and a run
    // in its last seconds (the final message) still ends as it would have.
    g_api->sleep(kClosedWindowWaitMs);
    return TRUE;
}

}  // namespace

const ConsoleApi& SystemConsoleApi() {
    return kSystemConsoleApi;
}

const ConsoleApi& CurrentConsoleApi() {
    return *g_api;
}

void SetConsoleApi(const ConsoleApi* api) {
    g_api = api != nullptr ? api : &kSystemConsoleApi;
}

// Chinese, Japanese and Korean Windows draw the box-drawing characters, whose
// width Unicode leaves to the font (East Asian "ambiguous"), two cells wide in
// their consoles' default fonts, while the cursor moves one cell: a frame
// then overlaps its own text and pushes it aside.
bool FramesMustBeNarrow() {
    switch (g_api->get_console_output_cp()) {
        case 932:  // Japanese
        case 936:  // Chinese, simplified
        case 949:  // Korean
        case 950:  // Chinese, traditional
            return true;
        default:
            return false;
    }
}

wchar_t ShownCharacter(char ch, bool narrow_frames) {
    const uint8_t byte = static_cast<uint8_t>(ch);
    const char stand_in = narrow_frames ? AsciiFrameCharacter(byte) : '\0';
    return static_cast<wchar_t>(stand_in != '\0' ? stand_in : Cp437ToUnicode(byte));
}

uint32_t WindowsConsolePort::GetVersion() {
    return g_api->get_version();
}

ConsoleHandle WindowsConsolePort::GetStdHandle(StdHandle which) {
    return g_api->get_std_handle(which == StdHandle::kOutput ? STD_OUTPUT_HANDLE
                                                             : STD_INPUT_HANDLE);
}

bool WindowsConsolePort::GetScreenBufferInfo(ConsoleHandle out, ScreenBufferInfo* info) {
    if (viewing_) {
        return ViewInfo(info);
    }
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

bool WindowsConsolePort::FreeConsole() {
    return g_api->free_console() != FALSE;
}
bool WindowsConsolePort::AllocConsole() {
    return g_api->alloc_console() != FALSE;
}
bool WindowsConsolePort::SetTitle(const char* title) {
    return g_api->set_console_title(title) != FALSE;
}

bool WindowsConsolePort::GetInputMode(ConsoleHandle in, uint32_t* mode) {
    DWORD raw = 0;
    if (!g_api->get_console_mode(in, &raw)) {
        return false;
    }
    *mode = raw;
    return true;
}

bool WindowsConsolePort::SetInputMode(ConsoleHandle in, uint32_t mode) {
    return g_api->set_console_mode(in, mode) != FALSE;
}

bool WindowsConsolePort::SetCursorInfo(ConsoleHandle out, uint32_t size, bool visible) {
    if (viewing_) {
        return ViewChanged(screen_.SetCursorInfo(size, visible));
    }
    const CONSOLE_CURSOR_INFO info{size, visible ? TRUE : FALSE};
    return g_api->set_console_cursor_info(out, &info) != FALSE;
}

CellCoord WindowsConsolePort::GetLargestWindowSize(ConsoleHandle out) {
    return FromCoord(g_api->get_largest_console_window_size(out));
}

bool WindowsConsolePort::SetScreenBufferSize(ConsoleHandle out, CellCoord size) {
    return g_api->set_console_screen_buffer_size(out, ToCoord(size)) != FALSE;
}

bool WindowsConsolePort::SetWindowInfo(ConsoleHandle out, bool absolute, const CellRect& window) {
    const SMALL_RECT rect = ToRect(window);
    return g_api->set_console_window_info(out, absolute ? TRUE : FALSE, &rect) != FALSE;
}

bool WindowsConsolePort::SetTextAttribute(ConsoleHandle out, uint16_t attribute) {
    if (viewing_) {
        screen_.SetAttribute(attribute);
        return true;
    }
    return g_api->set_console_text_attribute(out, attribute) != FALSE;
}

bool WindowsConsolePort::FillCharacter(ConsoleHandle out, char ch, uint32_t length, CellCoord start,
                                       uint32_t* written) {
    if (viewing_) {
        *written = screen_.FillCharacter(ch, length, start);
        return ViewChanged(true);
    }
    DWORD count = 0;
    const BOOL done = g_api->fill_console_output_character(
        out, ShownCharacter(ch, FramesMustBeNarrow()), length, ToCoord(start), &count);
    *written = count;
    return done != FALSE;
}

bool WindowsConsolePort::FillAttribute(ConsoleHandle out, uint16_t attribute, uint32_t length,
                                       CellCoord start, uint32_t* written) {
    if (viewing_) {
        *written = screen_.FillAttribute(attribute, length, start);
        return ViewChanged(true);
    }
    DWORD count = 0;
    const BOOL done =
        g_api->fill_console_output_attribute(out, attribute, length, ToCoord(start), &count);
    *written = count;
    return done != FALSE;
}

bool WindowsConsolePort::SetCursorPosition(ConsoleHandle out, CellCoord position) {
    if (viewing_) {
        return ViewChanged(screen_.SetCursor(position));
    }
    return g_api->set_console_cursor_position(out, ToCoord(position)) != FALSE;
}

bool WindowsConsolePort::ReadCells(ConsoleHandle out, ConsoleCell* cells, CellCoord buffer_size,
                                   CellRect* region) {
    if (viewing_) {
        return screen_.ReadCells(cells, buffer_size, region) || ViewRefused();
    }
    std::vector<CHAR_INFO> raw(CellCount(buffer_size));
    if (raw.empty()) {
        return false;
    }
    SMALL_RECT rect = ToRect(*region);
    if (!g_api->read_console_output(out, raw.data(), ToCoord(buffer_size), COORD{0, 0}, &rect)) {
        return false;
    }
    for (size_t i = 0; i < raw.size(); ++i) {
        cells[i] = ConsoleCell{FromWide(raw[i].Char.UnicodeChar), raw[i].Attributes};
    }
    *region = FromRect(rect);
    return true;
}

bool WindowsConsolePort::WriteCells(ConsoleHandle out, const ConsoleCell* cells,
                                    CellCoord buffer_size, CellRect* region) {
    if (viewing_) {
        return ViewChanged(screen_.WriteCells(cells, buffer_size, region));
    }
    std::vector<CHAR_INFO> raw(CellCount(buffer_size));
    if (raw.empty()) {
        return false;
    }
    const bool narrow = FramesMustBeNarrow();
    for (size_t i = 0; i < raw.size(); ++i) {
        raw[i].Char.UnicodeChar = ShownCharacter(cells[i].ch, narrow);
        raw[i].Attributes = cells[i].attribute;
    }
    SMALL_RECT rect = ToRect(*region);
    if (!g_api->write_console_output(out, raw.data(), ToCoord(buffer_size), COORD{0, 0}, &rect)) {
        return false;
    }
    *region = FromRect(rect);
    return true;
}

bool WindowsConsolePort::WriteChars(ConsoleHandle out, const char* text, uint32_t length,
                                    uint32_t* written) {
    if (viewing_) {
        *written = screen_.WriteChars(text, length);
        return ViewChanged(true);
    }
    const bool narrow = FramesMustBeNarrow();
    std::wstring wide(length, L' ');
    for (uint32_t i = 0; i < length; ++i) {
        wide[i] = ShownCharacter(text[i], narrow);
    }
    DWORD count = 0;
    const BOOL done = g_api->write_console(out, wide.data(), length, &count, nullptr);
    *written = count;
    return done != FALSE;
}

void WindowsConsolePort::PutChar(char ch) {
    if (viewing_) {
        screen_.WriteChars(&ch, 1);
        ViewChanged(true);
        return;
    }
    g_api->put_char(ShownCharacter(ch, FramesMustBeNarrow()));
}

bool WindowsConsolePort::ScrollCells(ConsoleHandle out, const CellRect& scroll,
                                     const CellRect* clip, CellCoord destination,
                                     ConsoleCell fill) {
    if (viewing_) {
        return ViewChanged(screen_.Scroll(scroll, clip, destination, fill));
    }
    const SMALL_RECT source = ToRect(scroll);
    SMALL_RECT clip_rect{};
    if (clip != nullptr) {
        clip_rect = ToRect(*clip);
    }
    CHAR_INFO fill_cell;
    fill_cell.Char.UnicodeChar = ShownCharacter(fill.ch, FramesMustBeNarrow());
    fill_cell.Attributes = fill.attribute;
    return g_api->scroll_console_screen_buffer(out, &source, clip != nullptr ? &clip_rect : nullptr,
                                               ToCoord(destination), &fill_cell) != FALSE;
}

int WindowsConsolePort::ReadKey() {
    return g_api->get_char();
}

int WindowsConsolePort::ShowMessageBox(const char* text, const char* caption, uint32_t flags) {
    return g_api->message_box(nullptr, text, caption, flags);
}

bool WindowsConsolePort::MessageBeep(uint32_t type) {
    return g_api->message_beep(type) != FALSE;
}

uint32_t WindowsConsolePort::LastError() {
    return g_api->get_last_error();
}

uint32_t WindowsConsolePort::FormatSystemMessage(uint32_t flags, uint32_t code, uint32_t language,
                                                 uint32_t min_size, char** text) {
    *text = nullptr;
    return g_api->format_message(flags, nullptr, code, language, reinterpret_cast<LPSTR>(text),
                                 min_size, nullptr);
}

void WindowsConsolePort::FreeSystemMessage(char* text) {
    g_api->local_free(text);
}

void WindowsConsolePort::Exit(int status) {
    std::exit(status);
}

// With processed input on (as set-up leaves it), Ctrl+C is "processed by the
// system" and, like Ctrl+Break, ends the process unless a handler takes it.
void WindowsConsolePort::IgnoreInterruptions() {
    (void)g_api->set_console_ctrl_handler(KeepRunning, TRUE);
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
