#include "console/console_setup.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "console/dconsole.h"

namespace vtrl {

namespace {

ConsoleHandle g_output = InvalidConsoleHandle();
ConsoleHandle g_input = InvalidConsoleHandle();
// The window ResizeConsole asked for last: columns by rows from the top-left cell.
CellCoord g_asked{0, 0};
constexpr CellCoord kScreenSize{80, 40};

constexpr uint32_t kNonNtHost = 0x80000000u;
constexpr uint32_t kSystemMessageFlags = kFormatAllocateBuffer | kFormatFromSystem | 40;
constexpr uint32_t kUserDefaultLanguage = 0x400;
constexpr uint32_t kSystemMessageMinSize = 512;
constexpr uint32_t kErrorBoxFlags =
    kMessageBoxYesNo | kMessageBoxIconExclamation | kMessageBoxSetForeground;
constexpr size_t kReportSize = 1024;
constexpr char kReportQuestion[] = "\n\nContinue execution?";

// Where set-up reports a failing console call.  The line number and the call's
// name are what the operator reads in the error box ("... from SetConsoleTitle
// on line 213"), and what service staff look up: they stay as they are, however
// this file changes.
enum class Site {
    kClearScreenInfo,
    kClearFillCharacter,
    kClearScreenInfoAgain,
    kClearFillAttribute,
    kClearCursorPosition,
    kInitScreenInfo,
    kInitFreeConsole,
    kInitAllocConsole,
    kInitTitle,
    kInitOutputHandle,
    kInitInputHandle,
    kInitGetMode,
    kInitSetMode,
    kInitCursorInfo,
    kInitTextAttribute,
    kResizeScreenInfo,
    kResizeLargestWindow,
    kResizeGrowBuffer,
    kResizeWindow,
    kResizeCutBuffer,
    kCount
};
struct SiteRow {
    int line;
    const char* call;
};
// clang-format off
constexpr SiteRow kSites[static_cast<int>(Site::kCount)] = {
    {115, "GetConsoleScreenBufferInfo"},
    {120, "FillConsoleOutputCharacter"},
    {123, "ConsoleScreenBufferInfo"},
    {127, "FillConsoleOutputAttribute"},
    {130, "SetConsoleCursorPosition"},
    {199, "GetConsoleScreenBufferInfo"},
    {203, "FreeConsole"},
    {210, "AllocConsole"},
    {213, "SetConsoleTitle"},
    {217, "GetStdHandle"},
    {219, "GetStdHandle"},
    {223, "GetConsoleMode"},
    {228, "SetConsoleMode"},
    {233, "SetConsoleCursorInfo"},
    {239, "SetConsoleTextAttribute"},
    {269, "GetConsoleScreenBufferInfo"},
    {272, "GetLargestConsoleWindowSize"},
    {286, "SetConsoleScreenBufferSize"},
    {290, "SetConsoleWindowInfo"},
    {298, "SetConsoleScreenBufferSize"},
};
// The report of a failed request for the system's text, inside the box itself.
constexpr SiteRow kMessageTextSite = {78, "FormatMessage"};
// clang-format on

void Fail(Site site) {
    const SiteRow& row = kSites[static_cast<int>(site)];
    ReportConsoleError(kConsoleModuleName, row.line, row.call, CurrentConsolePort().LastError());
}

// Appends formatted text to a fixed buffer, cutting it at `limit` bytes
// (terminator included) whatever the arguments hold.
void AppendBounded(char* buffer, size_t limit, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
void AppendBounded(char* buffer, size_t limit, const char* format, ...) {
    const size_t used = std::strlen(buffer);
    if (used + 1 >= limit) {
        return;
    }
    va_list args;
    va_start(args, format);
    (void)std::vsnprintf(buffer + used, limit - used, format, args);  // cut to fit
    va_end(args);
    buffer[limit - 1] = '\0';
}

// Gives the platform's message text back whichever way ReportConsoleError leaves.
class SystemMessage {
  public:
    SystemMessage() = default;
    SystemMessage(const SystemMessage&) = delete;
    SystemMessage& operator=(const SystemMessage&) = delete;
    ~SystemMessage() { Release(); }
    char** Slot() { return &text_; }
    const char* Text() const { return text_; }
    void Release() {
        if (text_ != nullptr) {
            CurrentConsolePort().FreeSystemMessage(text_);
            text_ = nullptr;
        }
    }

  private:
    char* text_ = nullptr;
};

}  // namespace

ConsoleHandle ConsoleOutputHandle() {
    return g_output;
}
ConsoleHandle ConsoleInputHandle() {
    return g_input;
}

void ResetConsoleSetup() {
    g_output = InvalidConsoleHandle();
    g_input = InvalidConsoleHandle();
    g_asked = CellCoord{0, 0};
}

void ReportConsoleError(const char* module, int line, const char* call_name, uint32_t code) {
    ConsolePort& port = CurrentConsolePort();
    module = module != nullptr ? module : "";
    call_name = call_name != nullptr ? call_name : "";
    char report[kReportSize] = "";
    // The question always closes the text, however long the rest turned out.
    const size_t body_limit = kReportSize - (sizeof(kReportQuestion) - 1);
    AppendBounded(report, body_limit, "%s: Error %d from %s on line %d:\n", module,
                  static_cast<int>(code), call_name, line);
    SystemMessage system_text;
    const uint32_t length = port.FormatSystemMessage(
        kSystemMessageFlags, code, kUserDefaultLanguage, kSystemMessageMinSize, system_text.Slot());
    if (length != 0 && system_text.Text() != nullptr) {
        AppendBounded(report, body_limit, "%s", system_text.Text());
    } else {
        AppendBounded(report, body_limit,
                      "Unable to obtain error message text! \n%s: Error %d from %s on line %d",
                      kConsoleModuleName, static_cast<int>(port.LastError()), kMessageTextSite.call,
                      kMessageTextSite.line);
    }
    AppendBounded(report, kReportSize, "%s", kReportQuestion);
    port.MessageBeep(kMessageBoxIconExclamation);
    const int answer = port.ShowMessageBox(report, "Console API Error", kErrorBoxFlags);
    // Given back before a No ends the process: the exit runs no destructors.
    system_text.Release();
    if (answer == kAnswerNo) {
        port.Exit(1);
    }
}

bool InitConsole(const char* title) {
    ConsolePort& port = CurrentConsolePort();
    const uint32_t version = port.GetVersion();
    if ((version & kNonNtHost) != 0 && (version & 0xFF) == 3) {
        port.ShowMessageBox(
            "This application cannot run on Windows 3.1.\nThis application will now terminate.",
            "Error: Windows NT Required to Run", kMessageBoxOk);
        return false;
    }

    ScreenBufferInfo info{};
    if (!port.GetScreenBufferInfo(port.GetStdHandle(StdHandle::kOutput), &info)) {
        Fail(Site::kInitScreenInfo);
    }
    // A cursor away from the top-left cell means the console belongs to
    // whoever started us (a command prompt): take a fresh one of our own.
    if (info.cursor.x != 0 || info.cursor.y != 0) {
        if (!port.FreeConsole()) {
            Fail(Site::kInitFreeConsole);
        }
        if (!port.AllocConsole()) {
            Fail(Site::kInitAllocConsole);
        }
    }
    if (!port.SetTitle(title != nullptr ? title : "")) {
        Fail(Site::kInitTitle);
    }

    g_output = port.GetStdHandle(StdHandle::kOutput);
    if (g_output == InvalidConsoleHandle()) {
        Fail(Site::kInitOutputHandle);
    }
    g_input = port.GetStdHandle(StdHandle::kInput);
    if (g_input == InvalidConsoleHandle()) {
        Fail(Site::kInitInputHandle);
    }

    uint32_t mode = 0;
    if (!port.GetInputMode(g_input, &mode)) {
        Fail(Site::kInitGetMode);
    }
    // QuickEdit, on in every console of Windows 10 and 11, turns a click in
    // the window into a selection that holds up the program's next console
    // write until it ends: the progress line would stop mid-download.  The
    // console changes that bit only together with the extended-flags bit.
    mode = (mode & ~(kInputLine | kInputEcho | kInputQuickEdit)) | kInputWindow | kInputMouse |
           kInputExtendedFlags;
    if (!port.SetInputMode(g_input, mode)) {
        Fail(Site::kInitSetMode);
    }

    if (!port.SetCursorInfo(g_output, 100, false)) {
        Fail(Site::kInitCursorInfo);
    }
    ResizeConsole(g_output, 80, 40);
    if (!SetTextAttribute(0x1F)) {
        Fail(Site::kInitTextAttribute);
    }
    ClearConsole(g_output);
    return true;
}

void ResizeConsole(ConsoleHandle output, int16_t columns, int16_t rows) {
    ConsolePort& port = CurrentConsolePort();
    ScreenBufferInfo info{};
    if (!port.GetScreenBufferInfo(output, &info)) {
        Fail(Site::kResizeScreenInfo);
    }
    const CellCoord largest = port.GetLargestWindowSize(output);
    if (largest.x == 0 && largest.y == 0) {
        Fail(Site::kResizeLargestWindow);
    }
    columns = std::min(columns, largest.x);
    rows = std::min(rows, largest.y);
    const CellRect window{0, 0, static_cast<int16_t>(columns - 1), static_cast<int16_t>(rows - 1)};
    g_asked = CellCoord{columns, rows};

    CellCoord compare = largest;
    if (info.size.x < columns || info.size.y < rows) {
        const CellCoord grown{std::max(columns, info.size.x), std::max(rows, info.size.y)};
        if (!port.SetScreenBufferSize(output, grown)) {
            Fail(Site::kResizeGrowBuffer);
        }
        compare = grown;
    }
    if (!port.SetWindowInfo(output, true, window)) {
        Fail(Site::kResizeWindow);
    }
    if (compare.x > columns || compare.y > rows) {
        if (!port.SetScreenBufferSize(output, CellCoord{columns, rows})) {
            Fail(Site::kResizeCutBuffer);
        }
    }
}

RunElsewhere CheckScreenShown(int* exit_status) {
    ConsolePort& port = CurrentConsolePort();
    ScreenBufferInfo info{};
    if (!port.GetScreenBufferInfo(g_output, &info)) {
        // Nothing to go by: the console is taken as set-up left it.
        return RunElsewhere::kNotStarted;
    }
    const CellCoord shown{static_cast<int16_t>(info.window.right - info.window.left + 1),
                          static_cast<int16_t>(info.window.bottom - info.window.top + 1)};
    // Windows Terminal answers every size call with success and keeps its
    // tab's size; what it reports afterwards is its tab, or (some versions)
    // the size asked, which it does not show either.
    const bool as_asked = info.window.left == 0 && info.window.top == 0 && shown.x == g_asked.x &&
                          shown.y == g_asked.y && info.size.x >= g_asked.x &&
                          info.size.y >= g_asked.y;
    RunElsewhere run = RunElsewhere::kNotStarted;
    if (!as_asked || port.SizeOwnedByTerminal()) {
        run = port.RunInSystemConsole(exit_status);
    }
    if (run == RunElsewhere::kNotStarted && (shown.x < kScreenSize.x || shown.y < kScreenSize.y)) {
        // Going on here in what the console shows (a display too small for
        // the whole screen is one such console too).
        port.KeepWindowsInView(shown);
    }
    return run;
}

void ClearConsole(ConsoleHandle output) {
    ConsolePort& port = CurrentConsolePort();
    ScreenBufferInfo info{};
    if (!port.GetScreenBufferInfo(output, &info)) {
        Fail(Site::kClearScreenInfo);
    }
    const uint32_t cells = static_cast<uint32_t>(std::max<int>(info.size.x, 0)) *
                           static_cast<uint32_t>(std::max<int>(info.size.y, 0));
    uint32_t written = 0;
    if (!port.FillCharacter(output, ' ', cells, CellCoord{0, 0}, &written)) {
        Fail(Site::kClearFillCharacter);
    }
    if (!port.GetScreenBufferInfo(output, &info)) {
        Fail(Site::kClearScreenInfoAgain);
    }
    if (!port.FillAttribute(output, info.attribute, cells, CellCoord{0, 0}, &written)) {
        Fail(Site::kClearFillAttribute);
    }
    if (!port.SetCursorPosition(output, CellCoord{0, 0})) {
        Fail(Site::kClearCursorPosition);
    }
}

}  // namespace vtrl
