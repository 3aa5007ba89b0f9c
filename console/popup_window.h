// Pop-up windows: the stack of open windows, each holding the console state
// and the screen cells it covered.  The public operations are declared in
// console/dconsole.h; these are the pieces beneath them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "console/dconsole.h"

namespace vtrl {

// One heap block per open window: these fields, then directly behind them
// the covered cells, two bytes each (character, attribute), row by row.
struct WindowStackEntry {
    uint8_t* cells;
    ConsoleState saved;
    int32_t left;
    int32_t right;
    int32_t top;
    int32_t bottom;
    WindowStackEntry* next;  // next older entry, null for the oldest
    WindowStackEntry* prev;  // next newer entry, null for the newest
};

// The template ShowMessageWindow fills in before each use.
extern WindowTemplate g_message_window_template;

// Saves the state and the cells under the rectangle (absolute, 1-based) and
// makes the whole rectangle the region.  False, with nothing changed, for a
// rectangle outside columns 1..80 and rows 1..39 or with crossed edges, when
// memory is exhausted or when linking is refused.
bool PushWindow(int left, int top, int right, int bottom);
// Frame on the rectangle (relative to the region): frame word low byte the
// frame attribute, high byte the style (2 double line, else single line).
void DrawFrame(int left, int top, int right, int bottom, int frame_word);
// 2 x width x height bytes; one platform call each.
void SaveCells(int left, int top, int right, int bottom, uint8_t* buffer);
void RestoreCells(int left, int top, int right, int bottom, const uint8_t* buffer);

// Stack links.  Linking refuses a null entry; taking off refuses (and changes
// nothing) when the top entry's neighbours do not point back at it.
bool LinkWindowEntry(WindowStackEntry* entry);
bool UnlinkTopWindowEntry();
WindowStackEntry* TopWindowEntry();
WindowStackEntry* BottomWindowEntry();

// Where window blocks come from (std::malloc / std::free unless replaced;
// null arguments put those back).
void SetWindowMemoryForTests(void* (*allocate)(size_t), void (*release)(void*));

// Frees every open window without touching the screen; empties the message log.
void ResetPopupWindows();

}  // namespace vtrl
