// Code page 437, the character set of the program's screen cells (frames are
// its line-drawing bytes), and Unicode: one table for every console port that
// shows the cells in Unicode.
#pragma once

#include <cstdint>
#include <string>

namespace vtrl {

// The Unicode character a code page 437 byte shows; bytes below 0x80 are ASCII
// and map to themselves.
char16_t Cp437ToUnicode(uint8_t byte);
// The code page 437 byte that shows `ch`; '?' for a character the code page
// lacks.  Cp437ToUnicode and back gives every byte from 0x20 up unchanged.
uint8_t UnicodeToCp437(char16_t ch);
// UTF-8 text (a file path, as the platform names it) as code page 437 bytes
// for the screen: '?' for a character the code page lacks and for each byte
// that is not part of a well-formed sequence, so that no stray byte shows as
// a frame or line-drawing character.
std::string Utf8ToCp437(const std::string& text);
// The plain ASCII character that stands in for one of the line-drawing bytes
// the program draws its frames with ('+' for a corner, '=' or '-' for a double
// or single horizontal edge, '|' for a vertical one), where a console or
// terminal cannot show them one cell wide; '\0' for any other byte.
char AsciiFrameCharacter(uint8_t byte);

}  // namespace vtrl
