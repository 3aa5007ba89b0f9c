// Windows only: the kernel32, user32 and runtime calls the console port
// makes, one table of exactly those calls.  The port calls through the table
// in force, which is the system's own until a test installs a double (a
// console as strict as Windows and the field show them).  Cells go through
// the W calls: the A calls translate every byte by the console's output code
// page, which shows the frames right only in some of them.
#pragma once

// The process snapshot's calls come in with <tlhelp32.h>, after <windows.h>.
// clang-format off
#include "platform/windows/win32.h"
#include <tlhelp32.h>
// clang-format on

#include <conio.h>

#include <cstdlib>

namespace vtrl {

struct ConsoleApi {
    decltype(&::GetVersion) get_version;
    decltype(&::GetStdHandle) get_std_handle;
    decltype(&::GetConsoleScreenBufferInfo) get_console_screen_buffer_info;
    decltype(&::FreeConsole) free_console;
    decltype(&::AllocConsole) alloc_console;
    decltype(&::SetConsoleTitleA) set_console_title;
    decltype(&::GetConsoleMode) get_console_mode;
    decltype(&::SetConsoleMode) set_console_mode;
    decltype(&::SetConsoleCursorInfo) set_console_cursor_info;
    decltype(&::GetLargestConsoleWindowSize) get_largest_console_window_size;
    decltype(&::SetConsoleScreenBufferSize) set_console_screen_buffer_size;
    decltype(&::SetConsoleWindowInfo) set_console_window_info;
    decltype(&::SetConsoleTextAttribute) set_console_text_attribute;
    decltype(&::FillConsoleOutputCharacterW) fill_console_output_character;
    decltype(&::FillConsoleOutputAttribute) fill_console_output_attribute;
    decltype(&::SetConsoleCursorPosition) set_console_cursor_position;
    decltype(&::ReadConsoleOutputW) read_console_output;
    decltype(&::WriteConsoleOutputW) write_console_output;
    decltype(&::WriteConsoleW) write_console;
    decltype(&::_putwch) put_char;
    decltype(&::ScrollConsoleScreenBufferW) scroll_console_screen_buffer;
    decltype(&::_getch) get_char;
    decltype(&::MessageBoxA) message_box;
    decltype(&::MessageBeep) message_beep;
    decltype(&::GetLastError) get_last_error;
    decltype(&::FormatMessageA) format_message;
    decltype(&::LocalFree) local_free;
    decltype(&::Sleep) sleep;
    // The frames' width (by the output code page), Ctrl+C and the closed window.
    decltype(&::GetConsoleOutputCP) get_console_output_cp;
    decltype(&::SetConsoleCtrlHandler) set_console_ctrl_handler;
    // A console behind a terminal, and starting the program again in the
    // classic console host and waiting for it there.
    decltype(&::GetConsoleWindow) get_console_window;
    decltype(&::GetClassNameW) get_class_name;
    decltype(&::GetProcessWindowStation) get_process_window_station;
    decltype(&::GetUserObjectInformationW) get_user_object_information;
    decltype(&::GetSystemWindowsDirectoryW) get_system_windows_directory;
    decltype(&::GetSystemDirectoryW) get_system_directory;
    decltype(&::GetModuleFileNameW) get_module_file_name;
    decltype(&::GetCommandLineW) get_command_line;
    decltype(&::GetCurrentProcessId) get_current_process_id;
    decltype(&::CreateProcessW) create_process;
    decltype(&::CreateToolhelp32Snapshot) create_toolhelp32_snapshot;
    decltype(&::Process32FirstW) process32_first;
    decltype(&::Process32NextW) process32_next;
    decltype(&::OpenProcess) open_process;
    decltype(&::WaitForSingleObject) wait_for_single_object;
    decltype(&::GetExitCodeProcess) get_exit_code_process;
    decltype(&::CloseHandle) close_handle;
};

// The system's calls.
const ConsoleApi& SystemConsoleApi();
// The table the port calls now.
const ConsoleApi& CurrentConsoleApi();
// Makes `api` the table the port calls (not owned; it must outlive its use);
// nullptr puts the system's back.
void SetConsoleApi(const ConsoleApi* api);

}  // namespace vtrl
