// Pop-up windows: the stack of open windows, each holding the console state
// and the screen cells it covered.  The operations on windows are declared in
// console/dconsole.h; this is the stack's entry and where its memory comes from.
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

// Where window blocks come from: std::malloc / std::free unless another
// allocator is given (null arguments put those back).  A window that cannot
// have its block is not opened, and nothing changes.
void SetWindowMemory(void* (*allocate)(size_t), void (*release)(void*));

// Frees every open window without touching the screen; empties the message log.
void ResetPopupWindows();

}  // namespace vtrl
