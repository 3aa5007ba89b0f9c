#include "tests/console/fake_console.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vtrl::test {

namespace {

constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorInvalidParameter = 87;

}  // namespace

FakeConsole::FakeConsole() : screen_({80, 40}, 0x07) {}

FakeConsole::~FakeConsole() {
    if (installed_ && &CurrentConsolePort() == this) {
        SetConsolePort(previous_);
    }
}

void FakeConsole::Install() {
    if (!installed_) {
        ConsolePort& current = CurrentConsolePort();
        previous_ = &current;
        installed_ = true;
    }
    SetConsolePort(this);
}

void FakeConsole::SetStartCursor(int x0, int y0) {
    screen_.SetCursorDirect(CellCoord{static_cast<int16_t>(x0), static_cast<int16_t>(y0)});
}

void FakeConsole::SetBufferSize(int columns, int rows) {
    // A buffer the window is shrunk to fit, as a console created with it would be.
    CellScreen fresh(CellCoord{static_cast<int16_t>(columns), static_cast<int16_t>(rows)}, 0x07);
    screen_ = fresh;
}

void FakeConsole::PushKeys(const std::string& keys) {
    for (char ch : keys) {
        keys_.push_back(static_cast<unsigned char>(ch));
    }
}

void FakeConsole::FailCall(ConsoleCall call, uint32_t error_code, int occurrence) {
    const int kind = static_cast<int>(call);
    failures_[{kind, counts_[kind] + occurrence}] = error_code;
}

bool FakeConsole::Enter(ConsoleCall call) {
    const int kind = static_cast<int>(call);
    const int number = ++counts_[kind];
    auto it = failures_.find({kind, number});
    if (it == failures_.end()) {
        return false;
    }
    last_error_ = it->second;
    failures_.erase(it);
    return true;
}

bool FakeConsole::CheckOutput(ConsoleHandle out) {
    if (out != OutputHandle()) {
        last_error_ = kErrorInvalidHandle;
        return false;
    }
    return true;
}

char FakeConsole::CharAt(int column, int row) const {
    return screen_.At(column - 1, row - 1).ch;
}

uint8_t FakeConsole::AttributeAt(int column, int row) const {
    return static_cast<uint8_t>(screen_.At(column - 1, row - 1).attribute);
}

std::string FakeConsole::Row(int row) const {
    return Text(row, 1, screen_.Size().x);
}

std::string FakeConsole::Text(int row, int first, int last) const {
    std::string text;
    for (int column = first; column <= last; ++column) {
        text += CharAt(column, row);
    }
    return text;
}

std::optional<ScreenPosition> FakeConsole::Find(const std::string& text) const {
    for (int row = 1; row <= screen_.Size().y; ++row) {
        const size_t at = Row(row).find(text);
        if (at != std::string::npos) {
            return ScreenPosition{static_cast<int>(at) + 1, row};
        }
    }
    return std::nullopt;
}

std::vector<ConsoleCell> FakeConsole::Snapshot() const {
    std::vector<ConsoleCell> cells;
    for (int y = 0; y < screen_.Size().y; ++y) {
        for (int x = 0; x < screen_.Size().x; ++x) {
            cells.push_back(screen_.At(x, y));
        }
    }
    return cells;
}

ScreenPosition FakeConsole::CursorPosition() const {
    return ScreenPosition{screen_.Cursor().x + 1, screen_.Cursor().y + 1};
}

uint32_t FakeConsole::GetVersion() {
    Enter(ConsoleCall::kGetVersion);
    return version_;
}

ConsoleHandle FakeConsole::GetStdHandle(StdHandle which) {
    if (Enter(ConsoleCall::kGetStdHandle)) {
        return InvalidConsoleHandle();
    }
    return which == StdHandle::kOutput ? OutputHandle() : InputHandle();
}

bool FakeConsole::GetScreenBufferInfo(ConsoleHandle out, ScreenBufferInfo* info) {
    if (Enter(ConsoleCall::kGetScreenBufferInfo) || !CheckOutput(out)) {
        return false;
    }
    info->size = screen_.Size();
    info->cursor = screen_.Cursor();
    info->attribute = screen_.Attribute();
    info->window = screen_.Window();
    info->max_window =
        CellCoord{std::min(screen_.Size().x, largest_.x), std::min(screen_.Size().y, largest_.y)};
    return true;
}

bool FakeConsole::FreeConsole() {
    return !Enter(ConsoleCall::kFreeConsole);
}

bool FakeConsole::AllocConsole() {
    if (Enter(ConsoleCall::kAllocConsole)) {
        return false;
    }
    // A new console: blank, cursor at the top-left, default input mode.
    screen_ = CellScreen({80, 25}, 0x07);
    input_mode_ = kDefaultInputMode;
    title_.clear();
    return true;
}

bool FakeConsole::SetTitle(const char* title) {
    if (Enter(ConsoleCall::kSetTitle)) {
        return false;
    }
    title_ = title != nullptr ? title : "";
    return true;
}

bool FakeConsole::GetInputMode(ConsoleHandle in, uint32_t* mode) {
    if (Enter(ConsoleCall::kGetInputMode)) {
        return false;
    }
    if (in != InputHandle()) {
        last_error_ = kErrorInvalidHandle;
        return false;
    }
    *mode = input_mode_;
    return true;
}

bool FakeConsole::SetInputMode(ConsoleHandle in, uint32_t mode) {
    if (Enter(ConsoleCall::kSetInputMode)) {
        return false;
    }
    if (in != InputHandle()) {
        last_error_ = kErrorInvalidHandle;
        return false;
    }
    input_mode_ = mode;
    return true;
}

bool FakeConsole::SetCursorInfo(ConsoleHandle out, uint32_t size, bool visible) {
    if (Enter(ConsoleCall::kSetCursorInfo) || !CheckOutput(out)) {
        return false;
    }
    if (!screen_.SetCursorInfo(size, visible)) {
        last_error_ = kErrorInvalidParameter;
        return false;
    }
    return true;
}

CellCoord FakeConsole::GetLargestWindowSize(ConsoleHandle out) {
    if (Enter(ConsoleCall::kGetLargestWindowSize) || !CheckOutput(out)) {
        return CellCoord{0, 0};
    }
    return largest_;
}

bool FakeConsole::SetScreenBufferSize(ConsoleHandle out, CellCoord size) {
    if (Enter(ConsoleCall::kSetScreenBufferSize) || !CheckOutput(out)) {
        return false;
    }
    if (keeps_its_size_) {
        return true;
    }
    if (!screen_.SetSize(size)) {
        last_error_ = kErrorInvalidParameter;
        return false;
    }
    return true;
}

bool FakeConsole::SetWindowInfo(ConsoleHandle out, bool absolute, const CellRect& window) {
    if (Enter(ConsoleCall::kSetWindowInfo) || !CheckOutput(out)) {
        return false;
    }
    if (keeps_its_size_) {
        return true;
    }
    if (!screen_.SetWindowInfo(absolute, window, largest_)) {
        last_error_ = kErrorInvalidParameter;
        return false;
    }
    return true;
}

bool FakeConsole::SetTextAttribute(ConsoleHandle out, uint16_t attribute) {
    if (Enter(ConsoleCall::kSetTextAttribute) || !CheckOutput(out)) {
        return false;
    }
    screen_.SetAttribute(attribute);
    return true;
}

bool FakeConsole::FillCharacter(ConsoleHandle out, char ch, uint32_t length, CellCoord start,
                                uint32_t* written) {
    *written = 0;
    if (Enter(ConsoleCall::kFillCharacter) || !CheckOutput(out)) {
        return false;
    }
    *written = screen_.FillCharacter(ch, length, start);
    return true;
}

bool FakeConsole::FillAttribute(ConsoleHandle out, uint16_t attribute, uint32_t length,
                                CellCoord start, uint32_t* written) {
    *written = 0;
    if (Enter(ConsoleCall::kFillAttribute) || !CheckOutput(out)) {
        return false;
    }
    *written = screen_.FillAttribute(attribute, length, start);
    return true;
}

bool FakeConsole::SetCursorPosition(ConsoleHandle out, CellCoord position) {
    if (Enter(ConsoleCall::kSetCursorPosition) || !CheckOutput(out)) {
        return false;
    }
    if (!screen_.SetCursor(position)) {
        last_error_ = kErrorInvalidParameter;
        return false;
    }
    window_texts_.CursorMoved(position);
    return true;
}

bool FakeConsole::ReadCells(ConsoleHandle out, ConsoleCell* cells, CellCoord buffer_size,
                            CellRect* region) {
    if (Enter(ConsoleCall::kReadCells) || !CheckOutput(out)) {
        return false;
    }
    window_texts_.CellsRead(*region);
    return screen_.ReadCells(cells, buffer_size, region);
}

bool FakeConsole::WriteCells(ConsoleHandle out, const ConsoleCell* cells, CellCoord buffer_size,
                             CellRect* region) {
    if (Enter(ConsoleCall::kWriteCells) || !CheckOutput(out)) {
        return false;
    }
    window_texts_.CellsWritten(*region);
    return screen_.WriteCells(cells, buffer_size, region);
}

bool FakeConsole::WriteChars(ConsoleHandle out, const char* text, uint32_t length,
                             uint32_t* written) {
    *written = 0;
    if (Enter(ConsoleCall::kWriteChars) || !CheckOutput(out)) {
        return false;
    }
    const CellCoord before = screen_.Cursor();
    *written = screen_.WriteChars(text, length);
    window_texts_.Written(text, *written, before, screen_.Cursor());
    return true;
}

void FakeConsole::PutChar(char ch) {
    if (Enter(ConsoleCall::kPutChar)) {
        return;
    }
    screen_.WriteChars(&ch, 1);
}

bool FakeConsole::ScrollCells(ConsoleHandle out, const CellRect& scroll, const CellRect* clip,
                              CellCoord destination, ConsoleCell fill) {
    if (Enter(ConsoleCall::kScrollCells) || !CheckOutput(out)) {
        return false;
    }
    window_texts_.Scrolled(scroll);
    return screen_.Scroll(scroll, clip, destination, fill);
}

int FakeConsole::ReadKey() {
    Enter(ConsoleCall::kReadKey);
    if (key_hook_) {
        key_hook_(*this);
    }
    if (keys_.empty()) {
        ADD_FAILURE() << "the program waits for a key and the test scripted none";
        throw FakeConsoleScriptExhausted("no scripted key left");
    }
    const int key = keys_.front();
    keys_.pop_front();
    return key;
}

int FakeConsole::ShowMessageBox(const char* text, const char* caption, uint32_t flags) {
    Enter(ConsoleCall::kMessageBox);
    boxes_.push_back(
        ShownMessageBox{text != nullptr ? text : "", caption != nullptr ? caption : "", flags});
    if ((flags & 0xF) == kMessageBoxOk) {
        return kAnswerOk;
    }
    if (answers_.empty()) {
        ADD_FAILURE() << "the program asks \"" << boxes_.back().text
                      << "\" and the test scripted no answer";
        throw FakeConsoleScriptExhausted("no scripted message box answer left");
    }
    const int answer = answers_.front();
    answers_.pop_front();
    return answer;
}

bool FakeConsole::MessageBeep(uint32_t type) {
    if (Enter(ConsoleCall::kMessageBeep)) {
        return false;
    }
    beeps_.push_back(type);
    return true;
}

uint32_t FakeConsole::FormatSystemMessage(uint32_t flags, uint32_t code, uint32_t /*language*/,
                                          uint32_t /*min_size*/, char** text) {
    *text = nullptr;
    if (Enter(ConsoleCall::kFormatSystemMessage)) {
        return 0;
    }
    auto it = system_texts_.find(code);
    if (it == system_texts_.end()) {
        last_error_ = no_text_error_;
        return 0;
    }
    const std::string flowed = FlowMessageText(it->second, flags & kFormatMaxWidthMask);
    *text = new char[flowed.size() + 1];
    std::memcpy(*text, flowed.c_str(), flowed.size() + 1);
    ++outstanding_texts_;
    return static_cast<uint32_t>(flowed.size());
}

void FakeConsole::FreeSystemMessage(char* text) {
    if (text != nullptr) {
        --outstanding_texts_;
        delete[] text;
    }
}

RunElsewhere FakeConsole::RunInSystemConsole(int* exit_status) {
    if (run_elsewhere_ == RunElsewhere::kEnded) {
        *exit_status = run_elsewhere_status_;
    }
    return run_elsewhere_;
}

void FakeConsole::Exit(int status) {
    Enter(ConsoleCall::kExit);
    exit_status_ = status;
    outstanding_at_exit_ = outstanding_texts_;
    throw FakeConsoleExit(status);
}

}  // namespace vtrl::test
