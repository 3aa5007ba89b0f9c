// Linux only: the console port (ncurses over an 80 by 40 cell model); nothing else lives here.
//
// This file holds the console seam's calls on the cell model; the class and
// the files of its other concerns are listed in console/linux/console_port.h.
#include "console/linux/console_port.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vtrl {

namespace {

constexpr uint32_t kErrorInvalidParameter = EINVAL;
constexpr uint32_t kErrorInvalidHandle = EBADF;

ConsoleHandle OutputToken() {
    return reinterpret_cast<ConsoleHandle>(0x1);
}
ConsoleHandle InputToken() {
    return reinterpret_cast<ConsoleHandle>(0x2);
}

LinuxConsolePort& ThePort() {
    static LinuxConsolePort port;
    return port;
}

}  // namespace

ConsoleHandle LinuxConsolePort::GetStdHandle(StdHandle which) {
    Start();
    return which == StdHandle::kOutput ? OutputToken() : InputToken();
}

bool LinuxConsolePort::GetScreenBufferInfo(ConsoleHandle out, ScreenBufferInfo* info) {
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

bool LinuxConsolePort::SetTitle(const char* title) {
    Start();
    title_ = title != nullptr ? title : "";
    ShowTitle();
    return true;
}

bool LinuxConsolePort::GetInputMode(ConsoleHandle in, uint32_t* mode) {
    if (in != InputToken()) {
        return Failed(kErrorInvalidHandle);
    }
    *mode = input_mode_;
    return true;
}

bool LinuxConsolePort::SetInputMode(ConsoleHandle in, uint32_t mode) {
    if (in != InputToken()) {
        return Failed(kErrorInvalidHandle);
    }
    input_mode_ = mode;
    ApplyInputMode();
    return true;
}

bool LinuxConsolePort::SetCursorInfo(ConsoleHandle out, uint32_t size, bool visible) {
    if (!Output(out)) {
        return false;
    }
    if (!screen_.SetCursorInfo(size, visible)) {
        return Failed(kErrorInvalidParameter);
    }
    Render();
    return true;
}

CellCoord LinuxConsolePort::GetLargestWindowSize(ConsoleHandle out) {
    if (!Output(out)) {
        return CellCoord{0, 0};
    }
    return Largest();
}

bool LinuxConsolePort::SetScreenBufferSize(ConsoleHandle out, CellCoord size) {
    if (!Output(out)) {
        return false;
    }
    if (!screen_.SetSize(size)) {
        return Failed(kErrorInvalidParameter);
    }
    Render();
    return true;
}

bool LinuxConsolePort::SetWindowInfo(ConsoleHandle out, bool absolute, const CellRect& window) {
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

bool LinuxConsolePort::SetTextAttribute(ConsoleHandle out, uint16_t attribute) {
    if (!Output(out)) {
        return false;
    }
    screen_.SetAttribute(attribute);
    return true;
}

bool LinuxConsolePort::FillCharacter(ConsoleHandle out, char ch, uint32_t length, CellCoord start,
                                     uint32_t* written) {
    *written = 0;
    if (!Output(out)) {
        return false;
    }
    *written = screen_.FillCharacter(ch, length, start);
    Render();
    return true;
}

bool LinuxConsolePort::FillAttribute(ConsoleHandle out, uint16_t attribute, uint32_t length,
                                     CellCoord start, uint32_t* written) {
    *written = 0;
    if (!Output(out)) {
        return false;
    }
    *written = screen_.FillAttribute(attribute, length, start);
    Render();
    return true;
}

bool LinuxConsolePort::SetCursorPosition(ConsoleHandle out, CellCoord position) {
    if (!Output(out)) {
        return false;
    }
    if (!screen_.SetCursor(position)) {
        return Failed(kErrorInvalidParameter);
    }
    Render();
    return true;
}

bool LinuxConsolePort::ReadCells(ConsoleHandle out, ConsoleCell* cells, CellCoord buffer_size,
                                 CellRect* region) {
    if (!Output(out)) {
        return false;
    }
    return screen_.ReadCells(cells, buffer_size, region) || Failed(kErrorInvalidParameter);
}

bool LinuxConsolePort::WriteCells(ConsoleHandle out, const ConsoleCell* cells,
                                  CellCoord buffer_size, CellRect* region) {
    if (!Output(out)) {
        return false;
    }
    const bool done = screen_.WriteCells(cells, buffer_size, region);
    Render();
    return done || Failed(kErrorInvalidParameter);
}

bool LinuxConsolePort::WriteChars(ConsoleHandle out, const char* text, uint32_t length,
                                  uint32_t* written) {
    *written = 0;
    if (!Output(out)) {
        return false;
    }
    *written = screen_.WriteChars(text, length);
    Render();
    return true;
}

void LinuxConsolePort::PutChar(char ch) {
    Start();
    screen_.WriteChars(&ch, 1);
    Render();
}

bool LinuxConsolePort::ScrollCells(ConsoleHandle out, const CellRect& scroll, const CellRect* clip,
                                   CellCoord destination, ConsoleCell fill) {
    if (!Output(out)) {
        return false;
    }
    const bool done = screen_.Scroll(scroll, clip, destination, fill);
    Render();
    return done || Failed(kErrorInvalidParameter);
}

uint32_t LinuxConsolePort::FormatSystemMessage(uint32_t flags, uint32_t code, uint32_t, uint32_t,
                                               char** text) {
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

bool LinuxConsolePort::Failed(uint32_t error) {
    last_error_ = error;
    return false;
}

// The handle keeps the seam's type (a pointer that is only compared).
// cppcheck-suppress constParameter
bool LinuxConsolePort::Output(ConsoleHandle out) {
    Start();
    return out == OutputToken() || Failed(kErrorInvalidHandle);
}

ConsolePort* NativeConsolePort() {
    return &ThePort();
}

bool PrepareNativeConsole(int min_columns, int min_rows, std::string* reason) {
    return ThePort().Prepare(min_columns, min_rows, reason);
}

}  // namespace vtrl
