// Text output: the console state (region, attribute, cursor) and its flags.
// The public operations are declared in console/dconsole.h.
#pragma once

#include <cstdint>

namespace vtrl {

// While set, WriteText parks the cursor on the row below the region instead
// of scrolling the region (used around a frame's bottom edge).
void SetScrollSuppression(bool suppressed);

// Sets the cursor fields of the state without touching the console.
void RestoreCursorFields(uint8_t column, uint8_t row);

// Region 1..80 x 1..39, attribute 0x1F, cursor (0, 0), flags clear.
void ResetTextOutput();

}  // namespace vtrl
