#include "console/popup_window.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "console/console_setup.h"
#include "console/internal.h"
#include "console/text_output.h"

namespace vtrl {

const WindowTemplate kProgressWindowTemplate{0x1F, 0x020F, 15, 10, 65, 20};

namespace console_internal {
WindowStackEntry* g_top = nullptr;
WindowStackEntry* g_bottom = nullptr;
}  // namespace console_internal

namespace {

using console_internal::g_bottom;
using console_internal::g_top;

// The template ShowMessageWindow fills in before each use.
WindowTemplate g_message_window_template{0x1F, 0x020F, 0, 0, 0, 0};

constexpr int kScreenColumns = 80;
constexpr int kUsableRows = 39;
constexpr size_t kAbortMessageSize = 256;
constexpr char kAbortSuffix[] = "\r\n Download aborted.\r\n Please press a key...";

// Code page 437 line-drawing bytes.
struct FrameSet {
    char top_left, top_right, bottom_left, bottom_right, horizontal, vertical;
};
constexpr FrameSet kDoubleFrame{'\xC9', '\xBB', '\xC8', '\xBC', '\xCD', '\xBA'};
constexpr FrameSet kSingleFrame{'\xDA', '\xBF', '\xC0', '\xD9', '\xC4', '\xB3'};

void* (*g_allocate)(size_t) = std::malloc;
void (*g_release)(void*) = std::free;

CellRect Rect0(int left, int top, int right, int bottom) {
    return CellRect{static_cast<int16_t>(left - 1), static_cast<int16_t>(top - 1),
                    static_cast<int16_t>(right - 1), static_cast<int16_t>(bottom - 1)};
}

// One frame edge of `length` cells: corner, horizontals, corner.
void BuildEdge(char* line, int length, char left_corner, char horizontal, char right_corner) {
    int n = 0;
    if (length >= 1) {
        line[n++] = left_corner;
    }
    while (n < length - 1) {
        line[n++] = horizontal;
    }
    if (length >= 2) {
        line[n++] = right_corner;
    }
    line[n] = '\0';
}

}  // namespace

bool LinkWindowEntry(WindowStackEntry* entry) {
    if (entry == nullptr) {
        return false;
    }
    entry->next = nullptr;
    entry->prev = nullptr;
    const bool was_empty = g_top == nullptr;
    if (!was_empty) {
        entry->prev = g_top->prev;
        if (g_top->prev != nullptr) {
            g_top->prev->next = entry;
        }
        entry->next = g_top;
        g_top->prev = entry;
    } else if (entry->next != nullptr || entry->prev != nullptr) {
        return false;
    }
    g_top = entry;
    if (was_empty) {
        g_bottom = entry;
    }
    return true;
}

namespace {

// Taking off refuses (and changes nothing) when the top entry's neighbours do
// not point back at it.
bool UnlinkTopWindowEntry() {
    WindowStackEntry* entry = g_top;
    if (entry == nullptr) {
        return false;
    }
    if (entry->prev != nullptr && entry->prev->next != entry) {
        return false;
    }
    if (entry->next != nullptr && entry->next->prev != entry) {
        return false;
    }
    if (entry->next != nullptr) {
        entry->next->prev = entry->prev;
    }
    if (entry->prev != nullptr) {
        entry->prev->next = entry->next;
    }
    if (entry == g_bottom || entry->next == nullptr) {
        g_top = nullptr;
        g_bottom = nullptr;
    } else {
        g_top = entry->next;
    }
    return true;
}

}  // namespace

void SetWindowMemory(void* (*allocate)(size_t), void (*release)(void*)) {
    g_allocate = allocate != nullptr ? allocate : std::malloc;
    g_release = release != nullptr ? release : std::free;
}

int OpenWindowCount() {
    int count = 0;
    for (const WindowStackEntry* e = g_top; e != nullptr; e = e->next) {
        ++count;
    }
    return count;
}

void ResetPopupWindows() {
    while (g_top != nullptr) {
        WindowStackEntry* entry = g_top;
        g_top = entry->next;
        g_release(entry);
    }
    g_bottom = nullptr;
    g_message_window_template = WindowTemplate{0x1F, 0x020F, 0, 0, 0, 0};
}

namespace {

// A rectangle's cells as one block for the port's cell calls.
struct CellBlock {
    CellCoord size;
    CellRect rect;
    size_t area;
};
// False for a rectangle no window can have.
bool CellBlockOf(int left, int top, int right, int bottom, CellBlock* block) {
    const int width = right - left + 1;
    const int height = bottom - top + 1;
    if (width < 1 || height < 1 || width > kScreenColumns || height > kUsableRows) {
        return false;
    }
    block->size = CellCoord{static_cast<int16_t>(width), static_cast<int16_t>(height)};
    block->rect = Rect0(left, top, right, bottom);
    block->area = static_cast<size_t>(width) * static_cast<size_t>(height);
    return true;
}

// The cells under the rectangle (absolute, 1-based) as 2 x width x height
// bytes (character, attribute), and back; one platform call each.
void SaveCells(int left, int top, int right, int bottom, uint8_t* buffer) {
    static ConsoleCell cells[kScreenColumns * kUsableRows];
    CellBlock block{};
    if (!CellBlockOf(left, top, right, bottom, &block)) {
        return;
    }
    std::fill_n(cells, block.area, ConsoleCell{' ', 0});
    CurrentConsolePort().ReadCells(ConsoleOutputHandle(), cells, block.size, &block.rect);
    for (size_t i = 0; i < block.area; ++i) {
        buffer[2 * i] = static_cast<uint8_t>(cells[i].ch);
        buffer[2 * i + 1] = static_cast<uint8_t>(cells[i].attribute & 0xFF);
    }
}

void RestoreCells(int left, int top, int right, int bottom, const uint8_t* buffer) {
    static ConsoleCell cells[kScreenColumns * kUsableRows];
    CellBlock block{};
    if (!CellBlockOf(left, top, right, bottom, &block)) {
        return;
    }
    for (size_t i = 0; i < block.area; ++i) {
        cells[i] = ConsoleCell{static_cast<char>(buffer[2 * i]), buffer[2 * i + 1]};
    }
    CurrentConsolePort().WriteCells(ConsoleOutputHandle(), cells, block.size, &block.rect);
}

// Saves the state and the cells under the rectangle (absolute, 1-based) and
// makes the whole rectangle the region.  False, with nothing changed, for a
// rectangle outside columns 1..80 and rows 1..39 or with crossed edges, when
// memory is exhausted or when linking is refused.
bool PushWindow(int left, int top, int right, int bottom) {
    if (right < left || bottom < top || left < 1 || right > kScreenColumns || top < 1 ||
        bottom > kUsableRows) {
        return false;
    }
    const size_t cell_bytes =
        2 * static_cast<size_t>(right - left + 1) * static_cast<size_t>(bottom - top + 1);
    void* block = g_allocate(sizeof(WindowStackEntry) + cell_bytes);
    if (block == nullptr) {
        return false;
    }
    // cppcheck 2.10 takes the object a placement new makes for uninitialised.
    // cppcheck-suppress [legacyUninitvar, unreadVariable]
    auto* entry = new (block) WindowStackEntry{};
    entry->cells = reinterpret_cast<uint8_t*>(entry + 1);
    if (!LinkWindowEntry(entry)) {
        g_release(block);
        return false;
    }
    entry->left = left;
    entry->right = right;
    entry->top = top;
    entry->bottom = bottom;
    SaveConsoleState(&entry->saved);
    SaveCells(left, top, right, bottom, entry->cells);
    SetWindowRegion(static_cast<uint8_t>(left), static_cast<uint8_t>(top),
                    static_cast<uint8_t>(right), static_cast<uint8_t>(bottom));
    CurrentConsolePort().WindowOpened(Rect0(left, top, right, bottom));
    return true;
}

// Frame on the rectangle (relative to the region): frame word low byte the
// frame attribute, high byte the style (2 double line, else single line).
void DrawFrame(int left, int top, int right, int bottom, int frame_word) {
    ConsoleState remembered;
    SaveConsoleState(&remembered);
    SetTextAttribute(static_cast<uint8_t>(frame_word & 0xFF));
    const FrameSet& set = ((frame_word >> 8) & 0xFF) == 2 ? kDoubleFrame : kSingleFrame;

    char line[kScreenColumns + 1];
    const int length = std::min(right - left + 1, kScreenColumns);
    // Bottom edge first: its write ends past the region's last row, and with
    // scrolling held back the cursor waits on the pending row instead.
    BuildEdge(line, length, set.bottom_left, set.horizontal, set.bottom_right);
    MoveCursor(left, bottom);
    SetScrollSuppression(true);
    WriteText(line);
    SetScrollSuppression(false);

    BuildEdge(line, length, set.top_left, set.horizontal, set.top_right);
    MoveCursor(left, top);
    WriteText(line);

    ConsolePort& port = CurrentConsolePort();
    for (int row = top + 1; row < bottom; ++row) {
        MoveCursor(left, row);
        port.PutChar(set.vertical);
        MoveCursor(right, row);
        port.PutChar(set.vertical);
    }
    SetTextAttribute(remembered.attribute);
}

}  // namespace

bool OpenPopupWindow(const WindowTemplate& window) {
    if (!PushWindow(window.left, window.top, window.right, window.bottom)) {
        return false;
    }
    SetTextAttribute(static_cast<uint8_t>(window.attribute & 0xFF));
    ClearWindow();
    if (((window.frame_word >> 8) & 0xFF) != 0) {
        const int width = window.right - window.left + 1;
        const int height = window.bottom - window.top + 1;
        DrawFrame(1, 1, width, height, window.frame_word);
        SetWindowRegion(static_cast<uint8_t>(window.left + 1), static_cast<uint8_t>(window.top + 1),
                        static_cast<uint8_t>(window.right - 1),
                        static_cast<uint8_t>(window.bottom - 1));
    }
    MoveCursor(1, 1);
    return true;
}

bool ClosePopupWindow() {
    WindowStackEntry* entry = g_top;
    if (!UnlinkTopWindowEntry()) {
        return false;
    }
    const ConsoleState& saved = entry->saved;
    SetTextAttribute(saved.attribute);
    SetWindowRegion(saved.left, saved.top, saved.right, saved.bottom);
    MoveCursor(saved.cursor_column, saved.cursor_row);
    // A cursor that had no position yet cannot be moved to; the state takes
    // its saved value all the same, so that closing gives back exactly what
    // opening found.
    RestoreCursorFields(saved.cursor_column, saved.cursor_row);
    CurrentConsolePort().WindowClosing(Rect0(entry->left, entry->top, entry->right, entry->bottom));
    RestoreCells(entry->left, entry->top, entry->right, entry->bottom, entry->cells);
    g_release(entry);
    return true;
}

bool CloseMessageWindow() {
    return ClosePopupWindow();
}

void ShowMessageWindow(const char* text, uint16_t width, uint16_t height) {
    if (text == nullptr) {
        text = "";
    }
    if (width > kScreenColumns) {
        width = kScreenColumns;
    }
    if (height > kUsableRows) {
        height = kUsableRows;
    } else if (height == 0) {
        height = 1;
    }
    if (width == 0) {
        width = 1;
    }
    g_message_window_template.left = 41 - width / 2;
    g_message_window_template.right = (width + 1) / 2 + 40;
    g_message_window_template.top = 20 - height / 2;
    g_message_window_template.bottom = (height + 1) / 2 + 19;
    OpenPopupWindow(g_message_window_template);
    ConsolePrint("%s", text);
}

void ShowAbortMessage(const char* text) {
    if (text == nullptr) {
        text = "";
    }
    // A text too long for the message is cut so that the operator still
    // reads that the download was aborted and what to do.
    char message[kAbortMessageSize];
    const int room = static_cast<int>(sizeof(message) - sizeof(kAbortSuffix));
    (void)std::snprintf(message, sizeof(message), "%.*s%s", room, text, kAbortSuffix);
    ShowMessageAndReadKey(message);
}

int ShowMessageAndReadKey(const char* text) {
    ShowMessageWindow(text, kMessageWindowWidth, kMessageWindowHeight);
    const int key = ReadKey();
    CloseMessageWindow();
    return key;
}

}  // namespace vtrl
