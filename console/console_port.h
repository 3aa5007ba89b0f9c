// The console seam: exactly the console, message-box, keyboard and exit calls
// the dconsole logic makes, shaped after the Windows calls it was
// written against.  One native implementation per platform (Windows
// passthrough, ncurses over an 80 by 40 cell model on Linux) and an in-memory
// fake for the tests; the current instance is process-wide.
//
// Coordinates here are 0-based absolute buffer cells, as the platform takes
// them.  Calls that return bool report the platform's success; after a false
// result LastError() holds the platform's error code.
#pragma once

#include <cstdint>
#include <string>

namespace vtrl {

using ConsoleHandle = void*;
// The platform's invalid handle value (INVALID_HANDLE_VALUE); a null handle is
// a different thing and does not count as invalid.
inline ConsoleHandle InvalidConsoleHandle() noexcept {
    return reinterpret_cast<ConsoleHandle>(-1);
}

enum class StdHandle { kInput, kOutput };

struct CellCoord {
    int16_t x;
    int16_t y;
};

// Inclusive rectangle.
struct CellRect {
    int16_t left;
    int16_t top;
    int16_t right;
    int16_t bottom;
};

// One screen cell: an 8-bit (OEM code page 437, console/cp437.h) character and its attribute
// (low four bits foreground, next four background; 0x1F is bright white on blue).
struct ConsoleCell {
    char ch;
    uint16_t attribute;
};

struct ScreenBufferInfo {
    CellCoord size;        // buffer size in cells
    CellCoord cursor;      // cursor position
    uint16_t attribute;    // current text attribute
    CellRect window;       // visible window, absolute buffer cells
    CellCoord max_window;  // largest window for this buffer and display
};

// Input mode bits (as the Windows console defines them).
constexpr uint32_t kInputProcessed = 0x0001;
constexpr uint32_t kInputLine = 0x0002;
constexpr uint32_t kInputEcho = 0x0004;
constexpr uint32_t kInputWindow = 0x0008;
constexpr uint32_t kInputMouse = 0x0010;
constexpr uint32_t kInputQuickEdit = 0x0040;
constexpr uint32_t kInputExtendedFlags = 0x0080;  // QuickEdit and insert bits are meant

// Message box flags and answers used by the program.
constexpr uint32_t kMessageBoxOk = 0x0;
constexpr uint32_t kMessageBoxYesNo = 0x4;
constexpr uint32_t kMessageBoxIconExclamation = 0x30;
constexpr uint32_t kMessageBoxSetForeground = 0x10000;
constexpr int kAnswerOk = 1;
constexpr int kAnswerYes = 6;
constexpr int kAnswerNo = 7;

// What became of starting the program again in a console window of the
// system's own (ConsolePort::RunInSystemConsole).
enum class RunElsewhere {
    kNotStarted,     // nothing ran there: the program goes on here
    kEnded,          // the program ran there and ended with the status given
    kStatusUnknown,  // the program ran there, but its exit status could not be had
};

// FormatMessage flag bits: the low byte is the maximum line width.
constexpr uint32_t kFormatAllocateBuffer = 0x0100;
constexpr uint32_t kFormatFromSystem = 0x1000;
constexpr uint32_t kFormatMaxWidthMask = 0x00FF;

class ConsolePort {
  public:
    virtual ~ConsolePort() = default;

    // Version word: bit 31 set on a non-NT host, major version in the low byte.
    virtual uint32_t GetVersion() = 0;
    // InvalidConsoleHandle() on failure.
    virtual ConsoleHandle GetStdHandle(StdHandle which) = 0;
    virtual bool GetScreenBufferInfo(ConsoleHandle out, ScreenBufferInfo* info) = 0;
    virtual bool FreeConsole() = 0;
    virtual bool AllocConsole() = 0;
    virtual bool SetTitle(const char* title) = 0;
    virtual bool GetInputMode(ConsoleHandle in, uint32_t* mode) = 0;
    virtual bool SetInputMode(ConsoleHandle in, uint32_t mode) = 0;
    // size: percent of the cell filled by the cursor, 1..100.
    virtual bool SetCursorInfo(ConsoleHandle out, uint32_t size, bool visible) = 0;
    // (0, 0) on failure.
    virtual CellCoord GetLargestWindowSize(ConsoleHandle out) = 0;
    virtual bool SetScreenBufferSize(ConsoleHandle out, CellCoord size) = 0;
    virtual bool SetWindowInfo(ConsoleHandle out, bool absolute, const CellRect& window) = 0;
    virtual bool SetTextAttribute(ConsoleHandle out, uint16_t attribute) = 0;
    // Fill `length` cells from `start`, row after row, stopping at the buffer's end.
    virtual bool FillCharacter(ConsoleHandle out, char ch, uint32_t length, CellCoord start,
                               uint32_t* written) = 0;
    virtual bool FillAttribute(ConsoleHandle out, uint16_t attribute, uint32_t length,
                               CellCoord start, uint32_t* written) = 0;
    virtual bool SetCursorPosition(ConsoleHandle out, CellCoord position) = 0;
    // Rectangle transfers between `cells` (buffer_size.x by buffer_size.y, row
    // by row, used from its top-left) and the screen rectangle *region, which
    // comes back clipped to the screen buffer.
    virtual bool ReadCells(ConsoleHandle out, ConsoleCell* cells, CellCoord buffer_size,
                           CellRect* region) = 0;
    virtual bool WriteCells(ConsoleHandle out, const ConsoleCell* cells, CellCoord buffer_size,
                            CellRect* region) = 0;
    // Writes characters at the cursor in the current attribute and advances it;
    // writing the last column of a row moves the cursor to the next row.
    virtual bool WriteChars(ConsoleHandle out, const char* text, uint32_t length,
                            uint32_t* written) = 0;
    // The runtime's one-character console write: at the cursor, current attribute.
    virtual void PutChar(char ch) = 0;
    // Moves `scroll` so that its top-left lands on `destination`, changing only
    // cells inside `clip` (null: no clip); uncovered cells get `fill`.
    virtual bool ScrollCells(ConsoleHandle out, const CellRect& scroll, const CellRect* clip,
                             CellCoord destination, ConsoleCell fill) = 0;
    // One key from the console keyboard without echo; blocks until a key comes.
    virtual int ReadKey() = 0;
    // Returns kAnswerOk, kAnswerYes or kAnswerNo.
    virtual int ShowMessageBox(const char* text, const char* caption, uint32_t flags) = 0;
    virtual bool MessageBeep(uint32_t type) = 0;
    virtual uint32_t LastError() = 0;
    // The platform's text for an error code (FormatMessage with an allocated
    // buffer).  Returns its length and stores the text in *text, to be given
    // back with FreeSystemMessage; 0 and *text null when there is none.
    virtual uint32_t FormatSystemMessage(uint32_t flags, uint32_t code, uint32_t language,
                                         uint32_t min_size, char** text) = 0;
    virtual void FreeSystemMessage(char* text) = 0;
    // Ends the process through the normal exit path.  A test fake may instead
    // throw; callers do nothing after it that they would not do anyway.
    virtual void Exit(int status) = 0;

    // The pop-up windows' word to a console that may show less than the whole
    // screen (a small terminal): a window now covers `window` (outer
    // rectangle, 0-based absolute cells) and must be seen whole; and, before
    // its cells are given back, that the newest window closes.  A console
    // that always shows the whole screen has nothing to do.
    virtual void WindowOpened(const CellRect& window) { (void)window; }
    virtual void WindowClosing(const CellRect& window) { (void)window; }

    // A console whose size belongs to the terminal that shows it, which the
    // program's size calls cannot change (a pseudo console, as Windows
    // Terminal gives): what the console reports of its size then need not be
    // what the operator sees.
    virtual bool SizeOwnedByTerminal() { return false; }
    // Starts the program again, with the arguments it was given, in a console
    // window of the system's own that takes the size the program asks (the
    // classic console host), waits for it to end and gives its exit status.
    // kNotStarted when that cannot be done here (the program already runs
    // that way, no window could be seen, the start failed); nothing has run then.
    virtual RunElsewhere RunInSystemConsole(int* exit_status) {
        (void)exit_status;
        return RunElsewhere::kNotStarted;
    }
    // The console shows only `shown` cells of the screen, from the top-left of
    // its window: from now on each window the program opens is kept whole in
    // view, as on a small terminal.
    virtual void KeepWindowsInView(CellCoord shown) { (void)shown; }
    // From now until the process ends, the keys that would stop or suspend the
    // program (Ctrl+C, Ctrl+Break; Ctrl+\, Ctrl+Z) do nothing, and a terminal
    // that goes away does not end it: the run goes on to its end unseen.
    virtual void IgnoreInterruptions() {}
};

// A machine without a console: nothing is shown, no key ever comes (ReadKey
// gives -1) and every call fails.  It answers while no port has been set;
// consoles that model only part of one start from it and answer only the calls
// they model.
class InertConsolePort : public ConsolePort {
  public:
    uint32_t GetVersion() override { return 0; }
    ConsoleHandle GetStdHandle(StdHandle) override { return InvalidConsoleHandle(); }
    bool GetScreenBufferInfo(ConsoleHandle, ScreenBufferInfo*) override { return false; }
    bool FreeConsole() override { return false; }
    bool AllocConsole() override { return false; }
    bool SetTitle(const char*) override { return false; }
    bool GetInputMode(ConsoleHandle, uint32_t*) override { return false; }
    bool SetInputMode(ConsoleHandle, uint32_t) override { return false; }
    bool SetCursorInfo(ConsoleHandle, uint32_t, bool) override { return false; }
    CellCoord GetLargestWindowSize(ConsoleHandle) override { return CellCoord{0, 0}; }
    bool SetScreenBufferSize(ConsoleHandle, CellCoord) override { return false; }
    bool SetWindowInfo(ConsoleHandle, bool, const CellRect&) override { return false; }
    bool SetTextAttribute(ConsoleHandle, uint16_t) override { return false; }
    bool FillCharacter(ConsoleHandle, char, uint32_t, CellCoord, uint32_t* written) override {
        *written = 0;
        return false;
    }
    bool FillAttribute(ConsoleHandle, uint16_t, uint32_t, CellCoord, uint32_t* written) override {
        *written = 0;
        return false;
    }
    bool SetCursorPosition(ConsoleHandle, CellCoord) override { return false; }
    bool ReadCells(ConsoleHandle, ConsoleCell*, CellCoord, CellRect*) override { return false; }
    bool WriteCells(ConsoleHandle, const ConsoleCell*, CellCoord, CellRect*) override {
        return false;
    }
    bool WriteChars(ConsoleHandle, const char*, uint32_t, uint32_t* written) override {
        *written = 0;
        return false;
    }
    void PutChar(char) override {}
    bool ScrollCells(ConsoleHandle, const CellRect&, const CellRect*, CellCoord,
                     ConsoleCell) override {
        return false;
    }
    int ReadKey() override { return -1; }
    int ShowMessageBox(const char*, const char*, uint32_t) override { return kAnswerNo; }
    bool MessageBeep(uint32_t) override { return false; }
    uint32_t LastError() override { return 6; }  // the invalid-handle code
    uint32_t FormatSystemMessage(uint32_t, uint32_t, uint32_t, uint32_t, char** text) override {
        *text = nullptr;
        return 0;
    }
    void FreeSystemMessage(char*) override {}
    void Exit(int) override {}
};

// The process-wide current port; an InertConsolePort until one is set.
void SetConsolePort(ConsolePort* port);
ConsolePort& CurrentConsolePort();

// The platform's own port (defined by the native library of the build).
ConsolePort* NativeConsolePort();

// Readies the platform's own console before the program does anything else.
// On a terminal: takes it over, asks it to become 80 by 40 cells, and checks
// that it can show a window of `min_columns` by `min_rows` whole.  False, with
// a one-line reason and nothing shown, when the program cannot be shown there
// (no terminal, an unknown or unusable terminal type, a terminal too small).
// A console that is always usable answers true.
bool PrepareNativeConsole(int min_columns, int min_rows, std::string* reason);

}  // namespace vtrl
