// Windows only: the console port's way to the classic console host; nothing else lives here.
//
// Windows Terminal, the default terminal of Windows 11 since 22H2, shows a
// console program started from Explorer in a tab that keeps its own size:
// the size calls succeed and change nothing there (microsoft/terminal issues
// 5094 and 11033), and a console made anew (FreeConsole, AllocConsole) opens
// in Windows Terminal again.  The classic console host, started with a
// program's command line, hosts it in a window of its own that takes the
// sizes asked, whatever the default terminal (microsoft/terminal pull request
// 9802).  It does not end with its client's exit status (issue 17178), so the
// program started there is found by its parent, the host, and waited for.
#include <cwchar>
#include <string>
#include <vector>

#include "console/windows/console_port.h"
#include "platform/scoped_handle.h"

namespace vtrl {

namespace {

// How often the host's client is looked for until it shows.
constexpr DWORD kClientLookMs = 20;
constexpr wchar_t kConsoleHost[] = L"conhost.exe";

// A process, thread or snapshot handle, closed through the call table.  A
// snapshot that fails is INVALID_HANDLE_VALUE, a process or thread that
// fails is null: neither holds anything.
struct KernelHandleTraits {
    using Handle = HANDLE;
    static bool IsValid(HANDLE handle) {
        return handle != nullptr && handle != INVALID_HANDLE_VALUE;
    }
    static HANDLE Invalid() { return nullptr; }
    static void Close(HANDLE handle) { (void)CurrentConsoleApi().close_handle(handle); }
};
using KernelHandle = ScopedHandle<KernelHandleTraits>;

struct ProcessRow {
    DWORD id;
    DWORD parent;
    std::wstring name;
};

// The processes running now (none when the system cannot say).
std::vector<ProcessRow> Processes() {
    const ConsoleApi& api = CurrentConsoleApi();
    std::vector<ProcessRow> rows;
    const KernelHandle snapshot(api.create_toolhelp32_snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return rows;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = api.process32_first(snapshot.Get(), &entry); more;
         more = api.process32_next(snapshot.Get(), &entry)) {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        rows.push_back(ProcessRow{entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
    }
    return rows;
}

const ProcessRow* Find(const std::vector<ProcessRow>& rows, DWORD id) {
    for (const ProcessRow& row : rows) {
        if (row.id == id) {
            return &row;
        }
    }
    return nullptr;
}

// The process `host` started (its parent number stays the host's even once
// the host has ended; the host's own number cannot be taken by another
// process while its handle is held here).  0 when there is none.
DWORD ClientOf(const std::vector<ProcessRow>& rows, DWORD host) {
    for (const ProcessRow& row : rows) {
        if (row.parent == host && row.id != host) {
            return row.id;
        }
    }
    return 0;
}

// Started by the classic console host already: by this program, or by the
// operator as the guide says.
bool StartedByConsoleHost() {
    const std::vector<ProcessRow> rows = Processes();
    const ProcessRow* self = Find(rows, CurrentConsoleApi().get_current_process_id());
    const ProcessRow* parent = self != nullptr ? Find(rows, self->parent) : nullptr;
    return parent != nullptr && _wcsicmp(parent->name.c_str(), kConsoleHost) == 0;
}

// Whether a window opened by this process could be seen: not in a session
// without a desktop (a remote shell, a service), where the program would wait
// in a window nobody sees.
bool DesktopShown() {
    const ConsoleApi& api = CurrentConsoleApi();
    const HWINSTA station = api.get_process_window_station();
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    return station != nullptr &&
           api.get_user_object_information(station, UOI_FLAGS, &flags, sizeof flags, &needed) &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

// A folder the system names, or "" when it cannot.
std::wstring SystemFolder(UINT(WINAPI* get)(LPWSTR, UINT)) {
    std::wstring folder(MAX_PATH, L'\0');
    const UINT length = get(&folder[0], MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return std::wstring();
    }
    folder.resize(length);
    return folder;
}

// Where the classic console host may be, the first that starts taken.  A
// 32-bit program on 64-bit Windows sees the system folder redirected to the
// 32-bit one, which has none: the native one is reached as "Sysnative" there.
std::vector<std::wstring> ConsoleHostPaths() {
    const ConsoleApi& api = CurrentConsoleApi();
    std::vector<std::wstring> paths;
    const std::wstring windows = SystemFolder(api.get_system_windows_directory);
    if (!windows.empty()) {
        paths.push_back(windows + L"\\Sysnative\\" + kConsoleHost);
    }
    const std::wstring system = SystemFolder(api.get_system_directory);
    if (!system.empty()) {
        paths.push_back(system + L"\\" + kConsoleHost);
    }
    return paths;
}

// This program's file, or "" when the system cannot name it.
std::wstring ProgramFile() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = static_cast<DWORD>(path.size());
        const DWORD length = CurrentConsoleApi().get_module_file_name(nullptr, &path[0], size);
        if (length == 0) {
            return std::wstring();
        }
        if (length < size) {
            path.resize(length);
            return path;
        }
        if (size >= 32768) {
            return std::wstring();
        }
        path.resize(size * 2);
    }
}

// The arguments the program was given, as they were written: its command
// line after the program's name (read as the system reads it: up to the
// closing quote when it begins with one, else up to the first blank).
std::wstring Arguments() {
    const wchar_t* line = CurrentConsoleApi().get_command_line();
    if (line == nullptr) {
        return std::wstring();
    }
    size_t i = 0;
    if (line[0] == L'"') {
        for (i = 1; line[i] != L'\0' && line[i] != L'"'; ++i) {
        }
        if (line[i] == L'"') {
            ++i;
        }
    } else {
        while (line[i] != L'\0' && line[i] != L' ' && line[i] != L'\t') {
            ++i;
        }
    }
    const std::wstring rest(line + i);
    return rest.empty() || rest[0] == L' ' || rest[0] == L'\t' ? rest : L" " + rest;
}

}  // namespace

// GetConsoleWindow gives a pseudo console's stand-in window, of this class,
// where a terminal shows the console through ConPTY (microsoft/terminal
// issue 12570): the console's size is the terminal's, and what it reports
// may be the size asked while the tab shows its own (issue 13940).
bool WindowsConsolePort::SizeOwnedByTerminal() {
    const ConsoleApi& api = CurrentConsoleApi();
    const HWND window = api.get_console_window();
    wchar_t name[32] = {};
    return window != nullptr && api.get_class_name(window, name, 32) > 0 &&
           std::wcscmp(name, L"PseudoConsoleWindow") == 0;
}

RunElsewhere WindowsConsolePort::RunInSystemConsole(int* exit_status) {
    const ConsoleApi& api = CurrentConsoleApi();
    if (StartedByConsoleHost() || !DesktopShown()) {
        return RunElsewhere::kNotStarted;
    }
    const std::wstring program = ProgramFile();
    if (program.empty()) {
        return RunElsewhere::kNotStarted;
    }
    PROCESS_INFORMATION started{};
    bool running = false;
    for (const std::wstring& host : ConsoleHostPaths()) {
        std::wstring command = L"\"" + host + L"\" \"" + program + L"\"" + Arguments();
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (api.create_process(host.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &started)) {
            running = true;
            break;
        }
    }
    if (!running) {
        return RunElsewhere::kNotStarted;
    }
    const KernelHandle host(started.hProcess);
    const KernelHandle host_thread(started.hThread);

    DWORD client_id = 0;
    for (;;) {
        // Looked at before the processes are: a client started before the
        // host ended is then seen.
        const bool host_ended = api.wait_for_single_object(host.Get(), 0) == WAIT_OBJECT_0;
        client_id = ClientOf(Processes(), started.dwProcessId);
        if (client_id != 0) {
            break;
        }
        if (host_ended) {
            // The host ended without starting the program: nothing ran.
            return RunElsewhere::kNotStarted;
        }
        api.sleep(kClientLookMs);
    }
    const KernelHandle client(
        api.open_process(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, client_id));
    // Opened by its number: still the host's client (not a process that took
    // the number of one already gone)?
    if (!client || ClientOf(Processes(), started.dwProcessId) != client_id) {
        // The program runs or ran there, its status out of reach: the host
        // ends with it.
        api.wait_for_single_object(host.Get(), INFINITE);
        return RunElsewhere::kStatusUnknown;
    }
    DWORD code = 0;
    if (api.wait_for_single_object(client.Get(), INFINITE) != WAIT_OBJECT_0 ||
        !api.get_exit_code_process(client.Get(), &code)) {
        return RunElsewhere::kStatusUnknown;
    }
    *exit_status = static_cast<int>(code);
    return RunElsewhere::kEnded;
}

}  // namespace vtrl
