// The program's screen through the Windows console port, the console calls
// answered by a double of the console of Windows 10 and 11: QuickEdit on, as
// those versions start every console, and a technician's click starting a
// selection that holds up every console write until it ends.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "console/console_api_windows.h"
#include "console/console_port.h"
#include "console/dconsole.h"

namespace vtrl {
namespace {

constexpr SHORT kWidth = 80;
constexpr SHORT kHeight = 40;
HANDLE const kOutput = reinterpret_cast<HANDLE>(0x71);
HANDLE const kInput = reinterpret_cast<HANDLE>(0x72);

struct StrictConsole {
    // GetConsoleMode of a new console on Windows 10 and 11: processed, line
    // and echo input, mouse, insert, QuickEdit, extended flags, auto position.
    DWORD mode = 0x01F7;
    bool selecting = false;
    std::vector<wchar_t> chars = std::vector<wchar_t>(kWidth * kHeight, L' ');
    std::vector<WORD> attributes = std::vector<WORD>(kWidth * kHeight, 0x07);
    COORD cursor{0, 0};
    WORD attribute = 0x07;

    // A click in the window: with QuickEdit on it starts a selection.
    void Click() { selecting = (mode & ENABLE_QUICK_EDIT_MODE) != 0; }

    // Windows holds a console write while a selection is open; the program
    // would stop there until the technician ends it.
    bool HeldUp(const char* call) {
        if (selecting) {
            ADD_FAILURE() << call << " held up by an open QuickEdit selection";
        }
        return selecting;
    }

    void Put(int index, wchar_t ch, WORD attr) {
        if (index >= 0 && index < kWidth * kHeight) {
            chars[index] = ch;
            attributes[index] = attr;
        }
    }

    void PutAtCursor(wchar_t ch) {
        Put(cursor.Y * kWidth + cursor.X, ch, attribute);
        if (++cursor.X == kWidth) {
            cursor.X = 0;
            cursor.Y = static_cast<SHORT>(cursor.Y + 1);
        }
    }

    std::wstring Row(int y, int x, int length) const {
        return std::wstring(chars.begin() + y * kWidth + x,
                            chars.begin() + y * kWidth + x + length);
    }
};

StrictConsole* g_console = nullptr;

BOOL Unexpected(const char* call) {
    ADD_FAILURE() << call << " is not expected on this console";
    ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

HANDLE WINAPI FakeGetStdHandle(DWORD which) {
    return which == STD_OUTPUT_HANDLE ? kOutput : kInput;
}

BOOL WINAPI FakeGetScreenBufferInfo(HANDLE, PCONSOLE_SCREEN_BUFFER_INFO info) {
    info->dwSize = COORD{kWidth, kHeight};
    info->dwCursorPosition = g_console->cursor;
    info->wAttributes = g_console->attribute;
    info->srWindow = SMALL_RECT{0, 0, kWidth - 1, kHeight - 1};
    info->dwMaximumWindowSize = COORD{kWidth, kHeight};
    return TRUE;
}

BOOL WINAPI FakeFreeConsole() {
    return Unexpected("FreeConsole");
}
BOOL WINAPI FakeAllocConsole() {
    return Unexpected("AllocConsole");
}
BOOL WINAPI FakeSetTitle(LPCSTR) {
    return TRUE;
}

BOOL WINAPI FakeGetMode(HANDLE, LPDWORD mode) {
    *mode = g_console->mode;
    return TRUE;
}

// SetConsoleMode (Microsoft): QuickEdit "To enable this mode, use
// ENABLE_QUICK_EDIT_MODE | ENABLE_EXTENDED_FLAGS. To disable this mode, use
// ENABLE_EXTENDED_FLAGS without this flag."  Without the extended flags the
// QuickEdit and insert bits stay as they were.
BOOL WINAPI FakeSetMode(HANDLE, DWORD mode) {
    constexpr DWORD kExtended = ENABLE_QUICK_EDIT_MODE | ENABLE_INSERT_MODE;
    if ((mode & ENABLE_EXTENDED_FLAGS) == 0) {
        mode = (mode & ~kExtended) | (g_console->mode & kExtended);
    }
    g_console->mode = mode;
    return TRUE;
}

BOOL WINAPI FakeSetCursorInfo(HANDLE, const CONSOLE_CURSOR_INFO*) {
    return TRUE;
}
COORD WINAPI FakeLargestWindow(HANDLE) {
    return COORD{kWidth, kHeight};
}
BOOL WINAPI FakeSetBufferSize(HANDLE, COORD size) {
    return size.X == kWidth && size.Y == kHeight ? TRUE : Unexpected("a buffer of another size");
}
BOOL WINAPI FakeSetWindowInfo(HANDLE, BOOL, const SMALL_RECT*) {
    return TRUE;
}
BOOL WINAPI FakeSetTextAttribute(HANDLE, WORD attribute) {
    g_console->attribute = attribute;
    return TRUE;
}

BOOL WINAPI FakeFillCharacter(HANDLE, WCHAR ch, DWORD length, COORD at, LPDWORD written) {
    *written = 0;
    if (g_console->HeldUp("FillConsoleOutputCharacter")) {
        return FALSE;
    }
    for (DWORD i = 0; i < length; ++i) {
        g_console->Put(at.Y * kWidth + at.X + static_cast<int>(i), ch,
                       g_console->attributes[at.Y * kWidth + at.X + i]);
    }
    *written = length;
    return TRUE;
}

BOOL WINAPI FakeFillAttribute(HANDLE, WORD attribute, DWORD length, COORD at, LPDWORD written) {
    *written = 0;
    if (g_console->HeldUp("FillConsoleOutputAttribute")) {
        return FALSE;
    }
    for (DWORD i = 0; i < length; ++i) {
        const int index = at.Y * kWidth + at.X + static_cast<int>(i);
        g_console->Put(index, g_console->chars[index], attribute);
    }
    *written = length;
    return TRUE;
}

BOOL WINAPI FakeSetCursorPosition(HANDLE, COORD at) {
    g_console->cursor = at;
    return TRUE;
}

BOOL WINAPI FakeReadOutput(HANDLE, PCHAR_INFO cells, COORD size, COORD, PSMALL_RECT rect) {
    for (int y = rect->Top; y <= rect->Bottom; ++y) {
        for (int x = rect->Left; x <= rect->Right; ++x) {
            CHAR_INFO& cell = cells[(y - rect->Top) * size.X + (x - rect->Left)];
            cell.Char.UnicodeChar = g_console->chars[y * kWidth + x];
            cell.Attributes = g_console->attributes[y * kWidth + x];
        }
    }
    return TRUE;
}

BOOL WINAPI FakeWriteOutput(HANDLE, const CHAR_INFO* cells, COORD size, COORD, PSMALL_RECT rect) {
    if (g_console->HeldUp("WriteConsoleOutput")) {
        return FALSE;
    }
    for (int y = rect->Top; y <= rect->Bottom; ++y) {
        for (int x = rect->Left; x <= rect->Right; ++x) {
            const CHAR_INFO& cell = cells[(y - rect->Top) * size.X + (x - rect->Left)];
            g_console->Put(y * kWidth + x, cell.Char.UnicodeChar, cell.Attributes);
        }
    }
    return TRUE;
}

BOOL WINAPI FakeWriteConsole(HANDLE, const VOID* text, DWORD length, LPDWORD written, LPVOID) {
    *written = 0;
    if (g_console->HeldUp("WriteConsole")) {
        return FALSE;
    }
    for (DWORD i = 0; i < length; ++i) {
        g_console->PutAtCursor(static_cast<const wchar_t*>(text)[i]);
    }
    *written = length;
    return TRUE;
}

wint_t __cdecl FakePutwch(wchar_t ch) {
    if (g_console->HeldUp("_putwch")) {
        return WEOF;
    }
    g_console->PutAtCursor(ch);
    return ch;
}

BOOL WINAPI FakeScroll(HANDLE, const SMALL_RECT*, const SMALL_RECT*, COORD, const CHAR_INFO*) {
    return Unexpected("ScrollConsoleScreenBuffer");
}
int __cdecl FakeGetch() {
    Unexpected("_getch");
    return 'n';
}
int WINAPI FakeMessageBox(HWND, LPCSTR text, LPCSTR, UINT) {
    ADD_FAILURE() << "message box: " << text;
    return IDYES;
}
BOOL WINAPI FakeMessageBeep(UINT) {
    return TRUE;
}
VOID WINAPI FakeSleep(DWORD) {}

// The system's calls, but for those this console answers itself.
ConsoleApi StrictConsoleApi() {
    ConsoleApi api = SystemConsoleApi();
    api.get_std_handle = FakeGetStdHandle;
    api.get_console_screen_buffer_info = FakeGetScreenBufferInfo;
    api.free_console = FakeFreeConsole;
    api.alloc_console = FakeAllocConsole;
    api.set_console_title = FakeSetTitle;
    api.get_console_mode = FakeGetMode;
    api.set_console_mode = FakeSetMode;
    api.set_console_cursor_info = FakeSetCursorInfo;
    api.get_largest_console_window_size = FakeLargestWindow;
    api.set_console_screen_buffer_size = FakeSetBufferSize;
    api.set_console_window_info = FakeSetWindowInfo;
    api.set_console_text_attribute = FakeSetTextAttribute;
    api.fill_console_output_character = FakeFillCharacter;
    api.fill_console_output_attribute = FakeFillAttribute;
    api.set_console_cursor_position = FakeSetCursorPosition;
    api.read_console_output = FakeReadOutput;
    api.write_console_output = FakeWriteOutput;
    api.write_console = FakeWriteConsole;
    api.put_char = FakePutwch;
    api.scroll_console_screen_buffer = FakeScroll;
    api.get_char = FakeGetch;
    api.message_box = FakeMessageBox;
    api.message_beep = FakeMessageBeep;
    api.sleep = FakeSleep;
    return api;
}

TEST(WindowsStrictConsoleTest, TheScreenStaysRightAndNeverStops) {
    // The cells go to the console in Unicode, which no output code page
    // changes: the frames show right in 932, 936, 949, 950 and 65001 too.
    for (bool click : {false, true}) {
        SCOPED_TRACE(click ? "a click in the window during the download" : "no click");
        StrictConsole console;
        g_console = &console;
        static const ConsoleApi api = StrictConsoleApi();
        SetConsoleApi(&api);
        SetConsolePort(NativeConsolePort());
        ResetConsoleState();

        ASSERT_TRUE(InitConsole("WIN32 Vantrel Program Upgrade Version 1.006"));
        ASSERT_TRUE(OpenPopupWindow(kProgressWindowTemplate));
        ConsolePrint(" Downloading: ");
        if (click) {
            console.Click();
        }
        const std::vector<wchar_t> chars_before = console.chars;
        const std::vector<WORD> attributes_before = console.attributes;

        // A 51 by 11 message over the progress window: columns 16 to 66, rows 15 to 25.
        ShowMessageWindow("Erasing flash", 51, 11);
        EXPECT_EQ(console.Row(14, 15, 51), L"\x2554" + std::wstring(49, L'\x2550') + L"\x2557");
        EXPECT_EQ(console.Row(24, 15, 51), L"\x255A" + std::wstring(49, L'\x2550') + L"\x255D");
        for (int row = 15; row < 24; ++row) {
            EXPECT_EQ(console.Row(row, 15, 1), L"\x2551") << row;
            EXPECT_EQ(console.Row(row, 65, 1), L"\x2551") << row;
        }
        EXPECT_EQ(console.Row(15, 16, 13), L"Erasing flash");
        // The progress window's own frame, left of the message.
        EXPECT_EQ(console.Row(9, 14, 1), L"\x2554");

        // Closing gives back every cell under the message exactly.
        EXPECT_TRUE(CloseMessageWindow());
        EXPECT_TRUE(console.chars == chars_before);
        EXPECT_TRUE(console.attributes == attributes_before);

        ResetConsoleState();
        SetConsolePort(nullptr);
        SetConsoleApi(nullptr);
        g_console = nullptr;
    }
}

}  // namespace
}  // namespace vtrl
