// Windows only: the kernel32, user32 and runtime calls the console port
// makes, one table of exactly those calls.  The port calls through the table
// in force, which is the system's own until a test installs a double (a
// console as strict as Windows 10 and 11).  Cells go through the W calls: the A
// calls translate every byte by the console's output code page, which shows
// the frames right only in some of them.
#pragma once

#include <conio.h>

#include <cstdlib>

#include "platform/win32.h"

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
};

// The system's calls.
const ConsoleApi& SystemConsoleApi();
// Makes `api` the table the port calls (not owned; it must outlive its use);
// nullptr puts the system's back.
void SetConsoleApi(const ConsoleApi* api);

}  // namespace vtrl
