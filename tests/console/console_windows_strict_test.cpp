// The program's screen through the Windows console port, the console calls
// answered by a double of the consoles a technician meets, started as real
// ones start: Windows 7 conhost, Windows 10 and 11 conhost, and a Windows
// Terminal tab.  Each rule the double enforces cites Microsoft's page or the
// field report it comes from.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "console/console_port.h"
#include "console/dconsole.h"
#include "console/windows/console_api.h"
#include "console/windows/console_port.h"

namespace vtrl {
namespace {

HANDLE const kOutput = reinterpret_cast<HANDLE>(0x71);
HANDLE const kInput = reinterpret_cast<HANDLE>(0x72);
HANDLE const kSnapshot = reinterpret_cast<HANDLE>(0x73);
HANDLE const kHostProcess = reinterpret_cast<HANDLE>(0x74);
HANDLE const kHostThread = reinterpret_cast<HANDLE>(0x75);
HANDLE const kClientProcess = reinterpret_cast<HANDLE>(0x76);
HWND const kConsoleWindow = reinterpret_cast<HWND>(0x77);
constexpr DWORD kSelf = 100;
constexpr DWORD kHost = 500;
constexpr DWORD kClient = 600;

// How a console starts.
struct ConsoleStart {
    const char* name;
    COORD buffer;
    SHORT window_columns;
    SHORT window_rows;
    COORD largest;
    // Windows Terminal: "SetConsoleScreenBufferSize and SetConsoleWindowInfo
    // report success but the tab keeps its size" (microsoft/terminal issues
    // 5094, https://github.com/microsoft/terminal/issues/5094, and 11033).
    bool keeps_its_size;
    // And some versions then report the size asked, which they do not show
    // (https://github.com/microsoft/terminal/issues/13940,
    // https://github.com/PowerShell/PowerShell/issues/15432).
    bool reports_size_asked;
    // GetConsoleWindow "returns a dummy value in conpty mode"
    // (https://github.com/MicrosoftDocs/Console-Docs/issues/147), a hidden
    // window of this class (https://github.com/microsoft/terminal/issues/12570).
    const wchar_t* window_class;
};
// clang-format off
const ConsoleStart kWindows7{"Windows 7 conhost", {80, 300}, 80, 25, {160, 60}, false, false,
                             L"ConsoleWindowClass"};
const ConsoleStart kWindows10{"Windows 10 and 11 conhost", {120, 9001}, 120, 30, {240, 63}, false,
                              false, L"ConsoleWindowClass"};
const ConsoleStart kTerminal{"Windows Terminal", {120, 30}, 120, 30, {120, 30}, true, false,
                             L"PseudoConsoleWindow"};
const ConsoleStart kTerminalReportingAsked{"Windows Terminal, reporting the size asked",
                                           {120, 30}, 120, 30, {120, 30}, true, true,
                                           L"PseudoConsoleWindow"};
const ConsoleStart kSmallTab{"Windows Terminal, a tab of 100 by 20", {100, 20}, 100, 20, {100, 20},
                             true, false, L"PseudoConsoleWindow"};
// clang-format on

// The processes around the program, and the classic console host it may start.
struct ProcessWorld {
    const wchar_t* parent = L"explorer.exe";
    bool desktop_shown = true;
    // The one place the host starts from (64-bit Windows: the native system
    // folder, which a 32-bit program reaches as Sysnative); null: nowhere.
    const wchar_t* host_at = L"C:\\Windows\\Sysnative\\conhost.exe";
    int client_at_look = 2;  // the host's client shows at this look at the processes; 0: never
    bool client_opens = true;
    DWORD client_status = 4;
};

struct StrictConsole {
    StrictConsole(const ConsoleStart& start, UINT code_page, const ProcessWorld& world)
        : size(start.buffer),
          window{0, 0, static_cast<SHORT>(start.window_columns - 1),
                 static_cast<SHORT>(start.window_rows - 1)},
          largest(start.largest),
          reported_size(size),
          reported_window(window),
          keeps_its_size(start.keeps_its_size),
          reports_size_asked(start.reports_size_asked),
          window_class(start.window_class),
          output_code_page(code_page),
          world(world),
          chars(static_cast<size_t>(size.X) * size.Y, L' '),
          attributes(chars.size(), 0x07) {
        processes = {{kSelf, 90, L"vtrlupg.exe"}, {90, 4, world.parent}};
    }

    COORD size;
    SMALL_RECT window;
    COORD largest;
    COORD reported_size;
    SMALL_RECT reported_window;
    bool keeps_its_size;
    bool reports_size_asked;
    const wchar_t* window_class;
    UINT output_code_page;
    ProcessWorld world;
    std::vector<wchar_t> chars;
    std::vector<WORD> attributes;
    COORD cursor{0, 0};
    WORD attribute = 0x07;
    // GetConsoleMode of a new console on Windows 10 and 11: processed, line
    // and echo input, mouse, insert, QuickEdit, extended flags, auto position.
    DWORD mode = 0x01F7;
    bool selecting = false;

    std::vector<PHANDLER_ROUTINE> handlers;
    int ended_by = -1;  // the control event that ended the process
    DWORD slept_ms = 0;

    struct Process {
        DWORD id;
        DWORD parent;
        std::wstring name;
    };
    std::vector<Process> processes;
    size_t listed = 0;  // the snapshot's next row
    int looks = 0;
    std::vector<std::wstring> started;  // command lines of the host started
    bool client_ended = false;
    int open_handles = 0;

    int Index(int x, int y) const { return y * size.X + x; }
    bool Inside(int x, int y) const { return x >= 0 && y >= 0 && x < size.X && y < size.Y; }

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

    void PutAtCursor(wchar_t ch) {
        if (Inside(cursor.X, cursor.Y)) {
            chars[Index(cursor.X, cursor.Y)] = ch;
            attributes[Index(cursor.X, cursor.Y)] = attribute;
        }
        if (++cursor.X == size.X) {
            cursor.X = 0;
            cursor.Y = static_cast<SHORT>(cursor.Y + 1);
        }
    }

    // The box-drawing characters are East Asian "ambiguous" width; with the
    // default fonts of code pages 932, 936, 949 and 950 the console draws them
    // two cells wide while the cursor moves one, so frames overlap and push
    // the text aside (https://github.com/microsoft/terminal/issues/153,
    // https://github.com/fdehau/tui-rs/issues/372,
    // https://github.com/microsoft/edit/issues/115,
    // https://github.com/chrisant996/clink/issues/406).
    bool Wide(wchar_t ch) const {
        const bool east_asian = output_code_page == 932 || output_code_page == 936 ||
                                output_code_page == 949 || output_code_page == 950;
        return east_asian && ch >= 0x2500 && ch <= 0x259F;
    }
    // A row as the operator sees it: each wide character takes two columns.
    std::wstring Seen(int y) const {
        std::wstring row;
        for (int x = 0; x < size.X; ++x) {
            const wchar_t ch = chars[Index(x, y)];
            row += ch;
            if (Wide(ch)) {
                row += ch;
            }
        }
        return row;
    }
    // Every cell of the window the operator looks at: its row as seen, then
    // the cells' attributes.
    std::vector<std::wstring> Shown() const {
        std::vector<std::wstring> rows;
        for (int y = window.Top; y <= window.Bottom; ++y) {
            rows.push_back(Seen(y) + L"|");
            for (int x = window.Left; x <= window.Right; ++x) {
                rows.back() += static_cast<wchar_t>(attributes[Index(x, y)]);
            }
        }
        return rows;
    }

    // A control event, as the system delivers it: "the handler functions are
    // called on a last-registered, first-called basis until one of the
    // handlers returns TRUE. If none of the handlers returns TRUE, the default
    // handler is called" (which ends the process).  For a closed window,
    // "Return TRUE. In this case, no other handler functions are called and
    // the system terminates the process" (HandlerRoutine,
    // https://learn.microsoft.com/windows/console/handlerroutine).
    void Deliver(DWORD event) {
        for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
            if ((*it)(event)) {
                if (event == CTRL_CLOSE_EVENT) {
                    ended_by = static_cast<int>(event);
                }
                return;
            }
        }
        ended_by = static_cast<int>(event);
    }
};

StrictConsole* g_console = nullptr;

BOOL Fail(DWORD error) {
    ::SetLastError(error);
    return FALSE;
}

BOOL Unexpected(const char* call) {
    ADD_FAILURE() << call << " is not expected on this console";
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

HANDLE WINAPI FakeGetStdHandle(DWORD which) {
    return which == STD_OUTPUT_HANDLE ? kOutput : kInput;
}

BOOL WINAPI FakeGetScreenBufferInfo(HANDLE, PCONSOLE_SCREEN_BUFFER_INFO info) {
    const StrictConsole& c = *g_console;
    info->dwSize = c.reported_size;
    info->dwCursorPosition = c.cursor;
    info->wAttributes = c.attribute;
    info->srWindow = c.reported_window;
    info->dwMaximumWindowSize =
        COORD{std::min(c.size.X, c.largest.X), std::min(c.size.Y, c.largest.Y)};
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

// SetConsoleMode (https://learn.microsoft.com/windows/console/setconsolemode):
// QuickEdit "To enable this mode, use ENABLE_QUICK_EDIT_MODE |
// ENABLE_EXTENDED_FLAGS. To disable this mode, use ENABLE_EXTENDED_FLAGS
// without this flag."  Without the extended flags the QuickEdit and insert
// bits stay as they were.
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
    return g_console->largest;
}

// "The specified width and height cannot be less than the width and height
// of the console screen buffer's window" (SetConsoleScreenBufferSize,
// https://learn.microsoft.com/windows/console/setconsolescreenbuffersize).
BOOL WINAPI FakeSetBufferSize(HANDLE, COORD size) {
    StrictConsole& c = *g_console;
    if (c.keeps_its_size) {
        if (c.reports_size_asked) {
            c.reported_size = size;
        }
        return TRUE;
    }
    if (size.X < c.window.Right - c.window.Left + 1 ||
        size.Y < c.window.Bottom - c.window.Top + 1 || c.window.Right >= size.X ||
        c.window.Bottom >= size.Y) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // Set-up blanks the buffer next: what it held need not be kept here.
    c.chars.assign(static_cast<size_t>(size.X) * size.Y, L' ');
    c.attributes.assign(c.chars.size(), c.attribute);
    c.size = size;
    c.reported_size = size;
    return TRUE;
}

// "The function fails if the specified window rectangle extends beyond the
// boundaries of the console screen buffer" (SetConsoleWindowInfo,
// https://learn.microsoft.com/windows/console/setconsolewindowinfo), and a
// window larger than the largest the display allows is refused too.
BOOL WINAPI FakeSetWindowInfo(HANDLE, BOOL absolute, const SMALL_RECT* rect) {
    StrictConsole& c = *g_console;
    if (c.keeps_its_size) {
        if (c.reports_size_asked && absolute) {
            c.reported_window = *rect;
        }
        return TRUE;
    }
    SMALL_RECT r = *rect;
    if (!absolute) {
        r = SMALL_RECT{static_cast<SHORT>(c.window.Left + r.Left),
                       static_cast<SHORT>(c.window.Top + r.Top),
                       static_cast<SHORT>(c.window.Right + r.Right),
                       static_cast<SHORT>(c.window.Bottom + r.Bottom)};
    }
    if (r.Left < 0 || r.Top < 0 || r.Right < r.Left || r.Bottom < r.Top || r.Right >= c.size.X ||
        r.Bottom >= c.size.Y || r.Right - r.Left + 1 > c.largest.X ||
        r.Bottom - r.Top + 1 > c.largest.Y) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    c.window = r;
    c.reported_window = r;
    return TRUE;
}

BOOL WINAPI FakeSetTextAttribute(HANDLE, WORD attribute) {
    g_console->attribute = attribute;
    return TRUE;
}

BOOL WINAPI FakeFillCharacter(HANDLE, WCHAR ch, DWORD length, COORD at, LPDWORD written) {
    StrictConsole& c = *g_console;
    *written = 0;
    if (c.HeldUp("FillConsoleOutputCharacter")) {
        return FALSE;
    }
    for (int i = c.Index(at.X, at.Y); *written < length && i < c.size.X * c.size.Y; ++i) {
        c.chars[i] = ch;
        ++*written;
    }
    return TRUE;
}

BOOL WINAPI FakeFillAttribute(HANDLE, WORD attribute, DWORD length, COORD at, LPDWORD written) {
    StrictConsole& c = *g_console;
    *written = 0;
    if (c.HeldUp("FillConsoleOutputAttribute")) {
        return FALSE;
    }
    for (int i = c.Index(at.X, at.Y); *written < length && i < c.size.X * c.size.Y; ++i) {
        c.attributes[i] = attribute;
        ++*written;
    }
    return TRUE;
}

BOOL WINAPI FakeSetCursorPosition(HANDLE, COORD at) {
    if (!g_console->Inside(at.X, at.Y)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    g_console->cursor = at;
    return TRUE;
}

// The rectangle clipped to the buffer and to the block: "On output, the
// structure members specify the actual rectangle that was used"
// (WriteConsoleOutput, https://learn.microsoft.com/windows/console/writeconsoleoutput,
// and ReadConsoleOutput alike).
bool Clip(PSMALL_RECT rect, COORD block, COORD corner) {
    const StrictConsole& c = *g_console;
    rect->Right =
        std::min<SHORT>(rect->Right, static_cast<SHORT>(rect->Left + block.X - corner.X - 1));
    rect->Bottom =
        std::min<SHORT>(rect->Bottom, static_cast<SHORT>(rect->Top + block.Y - corner.Y - 1));
    rect->Left = std::max<SHORT>(rect->Left, 0);
    rect->Top = std::max<SHORT>(rect->Top, 0);
    rect->Right = std::min<SHORT>(rect->Right, static_cast<SHORT>(c.size.X - 1));
    rect->Bottom = std::min<SHORT>(rect->Bottom, static_cast<SHORT>(c.size.Y - 1));
    return rect->Left <= rect->Right && rect->Top <= rect->Bottom;
}

BOOL WINAPI FakeReadOutput(HANDLE, PCHAR_INFO cells, COORD size, COORD corner, PSMALL_RECT rect) {
    const SMALL_RECT asked = *rect;
    if (!Clip(rect, size, corner)) {
        return TRUE;
    }
    const StrictConsole& c = *g_console;
    for (int y = rect->Top; y <= rect->Bottom; ++y) {
        for (int x = rect->Left; x <= rect->Right; ++x) {
            CHAR_INFO& cell =
                cells[(y - asked.Top + corner.Y) * size.X + (x - asked.Left + corner.X)];
            cell.Char.UnicodeChar = c.chars[c.Index(x, y)];
            cell.Attributes = c.attributes[c.Index(x, y)];
        }
    }
    return TRUE;
}

BOOL WINAPI FakeWriteOutput(HANDLE, const CHAR_INFO* cells, COORD size, COORD corner,
                            PSMALL_RECT rect) {
    StrictConsole& c = *g_console;
    if (c.HeldUp("WriteConsoleOutput")) {
        return FALSE;
    }
    const SMALL_RECT asked = *rect;
    if (!Clip(rect, size, corner)) {
        return TRUE;
    }
    for (int y = rect->Top; y <= rect->Bottom; ++y) {
        for (int x = rect->Left; x <= rect->Right; ++x) {
            const CHAR_INFO& cell =
                cells[(y - asked.Top + corner.Y) * size.X + (x - asked.Left + corner.X)];
            c.chars[c.Index(x, y)] = cell.Char.UnicodeChar;
            c.attributes[c.Index(x, y)] = cell.Attributes;
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
VOID WINAPI FakeSleep(DWORD milliseconds) {
    g_console->slept_ms += milliseconds;
}
UINT WINAPI FakeOutputCodePage() {
    return g_console->output_code_page;
}

BOOL WINAPI FakeSetCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    if (handler == nullptr) {
        return Unexpected("SetConsoleCtrlHandler(NULL)");
    }
    if (add) {
        g_console->handlers.push_back(handler);
    }
    return TRUE;
}

HWND WINAPI FakeConsoleWindow() {
    return kConsoleWindow;
}
int WINAPI FakeClassName(HWND window, LPWSTR name, int size) {
    if (window != kConsoleWindow || size < 1) {
        return 0;
    }
    (void)std::wcsncpy(name, g_console->window_class, static_cast<size_t>(size) - 1);
    name[size - 1] = L'\0';
    return static_cast<int>(std::wcslen(name));
}
HWINSTA WINAPI FakeWindowStation() {
    return reinterpret_cast<HWINSTA>(0x78);
}
BOOL WINAPI FakeUserObjectInformation(HANDLE, int index, PVOID info, DWORD size, LPDWORD needed) {
    if (index != UOI_FLAGS || size < sizeof(USEROBJECTFLAGS)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *needed = sizeof(USEROBJECTFLAGS);
    static_cast<USEROBJECTFLAGS*>(info)->dwFlags = g_console->world.desktop_shown ? WSF_VISIBLE : 0;
    return TRUE;
}

UINT CopyOut(const wchar_t* text, LPWSTR buffer, UINT size) {
    const UINT length = static_cast<UINT>(std::wcslen(text));
    if (length >= size) {
        return length + 1;
    }
    std::wcscpy(buffer, text);
    return length;
}
UINT WINAPI FakeWindowsFolder(LPWSTR buffer, UINT size) {
    return CopyOut(L"C:\\Windows", buffer, size);
}
UINT WINAPI FakeSystemFolder(LPWSTR buffer, UINT size) {
    return CopyOut(L"C:\\Windows\\system32", buffer, size);
}
DWORD WINAPI FakeModuleFile(HMODULE, LPWSTR buffer, DWORD size) {
    return CopyOut(L"C:\\Vantrel Tools\\vtrlupg.exe", buffer, size);
}
LPWSTR WINAPI FakeCommandLine() {
    static wchar_t line[] = L"vtrlupg  -C";
    return line;
}
DWORD WINAPI FakeProcessId() {
    return kSelf;
}

BOOL WINAPI FakeCreateProcess(LPCWSTR application, LPWSTR command, LPSECURITY_ATTRIBUTES,
                              LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                              LPPROCESS_INFORMATION started) {
    StrictConsole& c = *g_console;
    if (c.world.host_at == nullptr || std::wcscmp(application, c.world.host_at) != 0) {
        return Fail(ERROR_PATH_NOT_FOUND);
    }
    c.started.push_back(command);
    c.processes.push_back({kHost, kSelf, L"conhost.exe"});
    *started = PROCESS_INFORMATION{kHostProcess, kHostThread, kHost, kHost + 4};
    c.open_handles += 2;
    return TRUE;
}

HANDLE WINAPI FakeSnapshot(DWORD what, DWORD) {
    StrictConsole& c = *g_console;
    if (what != TH32CS_SNAPPROCESS) {
        return INVALID_HANDLE_VALUE;
    }
    ++c.looks;
    if (!c.started.empty() && c.looks == c.world.client_at_look) {
        c.processes.push_back({kClient, kHost, L"vtrlupg.exe"});
    }
    c.listed = 0;
    ++c.open_handles;
    return kSnapshot;
}
BOOL WINAPI FakeNextProcess(HANDLE, LPPROCESSENTRY32W entry) {
    StrictConsole& c = *g_console;
    if (c.listed >= c.processes.size()) {
        return Fail(ERROR_NO_MORE_FILES);
    }
    const StrictConsole::Process& p = c.processes[c.listed++];
    entry->th32ProcessID = p.id;
    entry->th32ParentProcessID = p.parent;
    (void)std::wcsncpy(entry->szExeFile, p.name.c_str(), MAX_PATH - 1);
    return TRUE;
}
BOOL WINAPI FakeFirstProcess(HANDLE snapshot, LPPROCESSENTRY32W entry) {
    g_console->listed = 0;
    return FakeNextProcess(snapshot, entry);
}

HANDLE WINAPI FakeOpenProcess(DWORD, BOOL, DWORD id) {
    StrictConsole& c = *g_console;
    if (id != kClient || !c.world.client_opens) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    ++c.open_handles;
    return kClientProcess;
}

// The host ends with its client, or at once when it never starts one.
DWORD WINAPI FakeWait(HANDLE handle, DWORD milliseconds) {
    StrictConsole& c = *g_console;
    if (handle == kClientProcess || (handle == kHostProcess && milliseconds == INFINITE)) {
        c.client_ended = true;
        return WAIT_OBJECT_0;
    }
    if (handle == kHostProcess) {
        return c.client_ended || c.world.client_at_look == 0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    return WAIT_FAILED;
}

// "conhost.exe <command line>" does not end with its client's exit status
// (https://github.com/microsoft/terminal/issues/17178): its own is 0.
BOOL WINAPI FakeExitCode(HANDLE handle, LPDWORD code) {
    StrictConsole& c = *g_console;
    if (handle == kClientProcess && c.client_ended) {
        *code = c.world.client_status;
    } else if (handle == kHostProcess && c.client_ended) {
        *code = 0;
    } else {
        *code = STILL_ACTIVE;
    }
    return TRUE;
}

BOOL WINAPI FakeCloseHandle(HANDLE) {
    --g_console->open_handles;
    return TRUE;
}

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
    api.get_console_output_cp = FakeOutputCodePage;
    api.set_console_ctrl_handler = FakeSetCtrlHandler;
    api.get_console_window = FakeConsoleWindow;
    api.get_class_name = FakeClassName;
    api.get_process_window_station = FakeWindowStation;
    api.get_user_object_information = FakeUserObjectInformation;
    api.get_system_windows_directory = FakeWindowsFolder;
    api.get_system_directory = FakeSystemFolder;
    api.get_module_file_name = FakeModuleFile;
    api.get_command_line = FakeCommandLine;
    api.get_current_process_id = FakeProcessId;
    api.create_process = FakeCreateProcess;
    api.create_toolhelp32_snapshot = FakeSnapshot;
    api.process32_first = FakeFirstProcess;
    api.process32_next = FakeNextProcess;
    api.open_process = FakeOpenProcess;
    api.wait_for_single_object = FakeWait;
    api.get_exit_code_process = FakeExitCode;
    api.close_handle = FakeCloseHandle;
    return api;
}

// The program's console port on one console double, from a fresh state.
class StrictConsoleTest : public ::testing::Test {
  protected:
    // A port of its own for each console, as each run of the program has.
    void Use(StrictConsole* console) {
        g_console = console;
        SetConsoleApi(&api_);
        port_ = std::make_unique<WindowsConsolePort>();
        SetConsolePort(port_.get());
        ResetConsoleState();
    }
    void TearDown() override {
        ResetConsoleState();
        SetConsolePort(nullptr);
        SetConsoleApi(nullptr);
        g_console = nullptr;
    }

    // The progress window, then a 51 by 11 message over it (screen columns 16
    // to 66, rows 15 to 25); a click in the window during the download.
    // Checks that the operator sees the message whole, its text where it
    // belongs in every code page, and gets back exactly the screen under it.
    static void ShowMessageOverProgress(StrictConsole& console) {
        ASSERT_TRUE(OpenPopupWindow(kProgressWindowTemplate));
        ConsolePrint(" Downloading: ");
        console.Click();
        const std::vector<std::wstring> before = console.Shown();

        ShowMessageWindow("Erasing flash", 51, 11);
        std::vector<std::wstring> rows;
        for (int y = console.window.Top; y <= console.window.Bottom; ++y) {
            rows.push_back(console.Seen(y));
        }
        int top = -1;
        for (size_t y = 0; y < rows.size() && top < 0; ++y) {
            if (rows[y].find(L"Erasing flash") != std::wstring::npos) {
                top = static_cast<int>(y) - 1;
            }
        }
        ASSERT_GE(top, 0) << "the message's text is not in view";
        ASSERT_LE(top + 10, static_cast<int>(rows.size()) - 1) << "the message is cut";
        const bool narrow = console.Wide(L'\x2550');
        const std::wstring edge(49, narrow ? L'=' : L'\x2550');
        const std::wstring side(1, narrow ? L'|' : L'\x2551');
        EXPECT_EQ(rows[top].substr(15, 51),
                  (narrow ? L"+" : L"\x2554") + edge + (narrow ? L"+" : L"\x2557"));
        EXPECT_EQ(rows[top + 10].substr(15, 51),
                  (narrow ? L"+" : L"\x255A") + edge + (narrow ? L"+" : L"\x255D"));
        for (int y = top + 1; y < top + 10; ++y) {
            EXPECT_EQ(rows[y].substr(15, 1), side) << y;
            EXPECT_EQ(rows[y].substr(65, 1), side) << y;
        }
        EXPECT_EQ(rows[top + 1].find(L"Erasing flash"), 16u);

        EXPECT_TRUE(CloseMessageWindow());
        EXPECT_TRUE(console.Shown() == before) << "closing did not give back the screen";
    }

    const ConsoleApi api_ = StrictConsoleApi();
    std::unique_ptr<WindowsConsolePort> port_;
};

// Each console as it starts, in the code page of every Windows: the screen is
// 80 by 40 where the console takes that size, and where it keeps its own (a
// Windows Terminal tab) the program runs again in the classic console host
// and ends with that run's status; conhost's own (0) is never taken for it.
TEST_F(StrictConsoleTest, EveryConsoleShowsTheWholeScreen) {
    struct Case {
        const ConsoleStart* start;
        UINT code_page;
    };
    const Case cases[] = {{&kWindows7, 437},    {&kWindows10, 437},
                          {&kWindows10, 65001}, {&kWindows10, 932},
                          {&kWindows10, 936},   {&kWindows10, 949},
                          {&kWindows10, 950},   {&kTerminal, 437},
                          {&kTerminal, 936},    {&kTerminalReportingAsked, 437}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.start->name) + ", code page " + std::to_string(c.code_page));
        StrictConsole console(*c.start, c.code_page, ProcessWorld{});
        Use(&console);
        ASSERT_TRUE(InitConsole("WIN32 Vantrel Program Upgrade Version 1.006"));
        int status = -1;
        const RunElsewhere run = CheckScreenShown(&status);
        if (c.start->keeps_its_size) {
            EXPECT_EQ(run, RunElsewhere::kEnded);
            EXPECT_EQ(status, 4);
            ASSERT_EQ(console.started.size(), 1u);
            EXPECT_EQ(
                console.started[0],
                L"\"C:\\Windows\\Sysnative\\conhost.exe\" \"C:\\Vantrel Tools\\vtrlupg.exe\"  -C");
        } else {
            EXPECT_EQ(run, RunElsewhere::kNotStarted);
            EXPECT_TRUE(console.started.empty());
            EXPECT_EQ(console.window.Right, 79);
            EXPECT_EQ(console.window.Bottom, 39);
            EXPECT_EQ(console.size.X, 80);
            EXPECT_EQ(console.size.Y, 40);
            ShowMessageOverProgress(console);
        }
        EXPECT_EQ(console.open_handles, 0);
        TearDown();
    }
}

// A Windows Terminal tab where the program cannot run again in the classic
// console host: it goes on in the tab, every window it opens in view.
TEST_F(StrictConsoleTest, WhereItCannotRunElsewhereItKeepsItsWindowsInView) {
    struct Case {
        const char* name;
        ProcessWorld world;
        RunElsewhere run;
    };
    ProcessWorld by_host;
    by_host.parent = L"conhost.exe";
    ProcessWorld no_host;
    no_host.host_at = nullptr;
    ProcessWorld host_alone;
    host_alone.client_at_look = 0;
    ProcessWorld no_desktop;
    no_desktop.desktop_shown = false;
    ProcessWorld on_32_bit_windows;
    on_32_bit_windows.host_at = L"C:\\Windows\\system32\\conhost.exe";
    ProcessWorld client_out_of_reach;
    client_out_of_reach.client_opens = false;
    const Case cases[] = {
        {"started by the console host already", by_host, RunElsewhere::kNotStarted},
        {"no console host", no_host, RunElsewhere::kNotStarted},
        {"the host ends without the program", host_alone, RunElsewhere::kNotStarted},
        {"no desktop to show a window on", no_desktop, RunElsewhere::kNotStarted},
        {"32-bit Windows: the host in the system folder", on_32_bit_windows, RunElsewhere::kEnded},
        {"the program there out of reach", client_out_of_reach, RunElsewhere::kStatusUnknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StrictConsole console(kSmallTab, 437, c.world);
        Use(&console);
        ASSERT_TRUE(InitConsole("WIN32 Vantrel Program Upgrade Version 1.006"));
        int status = -1;
        EXPECT_EQ(CheckScreenShown(&status), c.run);
        if (c.run == RunElsewhere::kNotStarted) {
            ShowMessageOverProgress(console);
        } else if (c.run == RunElsewhere::kEnded) {
            EXPECT_EQ(status, 4);
        }
        EXPECT_EQ(console.open_handles, 0);
        TearDown();
    }
}

// Ctrl+C and Ctrl+Break end the program as before until the instrument is put
// into remote mode; from then on they do nothing.  A closed window ends it
// whatever it does, but not before the time the system gives has passed.
TEST_F(StrictConsoleTest, KeysDoNotEndTheRunOnceTheInstrumentIsInRemoteMode) {
    for (const DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT}) {
        StrictConsole before(kWindows10, 437, ProcessWorld{});
        Use(&before);
        ASSERT_TRUE(InitConsole("t"));
        before.Deliver(event);
        EXPECT_EQ(before.ended_by, static_cast<int>(event));
        TearDown();

        StrictConsole after(kWindows10, 437, ProcessWorld{});
        Use(&after);
        ASSERT_TRUE(InitConsole("t"));
        CurrentConsolePort().IgnoreInterruptions();
        after.Deliver(event);
        after.Deliver(event);
        EXPECT_EQ(after.ended_by, -1) << event;
        TearDown();
    }
    StrictConsole closed(kWindows10, 437, ProcessWorld{});
    Use(&closed);
    ASSERT_TRUE(InitConsole("t"));
    CurrentConsolePort().IgnoreInterruptions();
    closed.Deliver(CTRL_CLOSE_EVENT);
    EXPECT_EQ(closed.ended_by, static_cast<int>(CTRL_CLOSE_EVENT));
    // The system ends the process when the handler returns or its time-out
    // (about 5 s) has passed (HandlerRoutine,
    // https://learn.microsoft.com/windows/console/handlerroutine): the run
    // goes on for all of it.
    EXPECT_GE(closed.slept_ms, 5000u);
}

}  // namespace
}  // namespace vtrl
