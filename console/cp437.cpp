#include "console/cp437.h"

namespace vtrl {

namespace {

// Code page 437, bytes 128..255, as Unicode.
constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

}  // namespace

char16_t Cp437ToUnicode(uint8_t byte) {
    return byte < 0x80 ? char16_t{byte} : kCp437High[byte - 0x80];
}

uint8_t UnicodeToCp437(char16_t ch) {
    if (ch < 0x80) {
        return static_cast<uint8_t>(ch);
    }
    for (unsigned i = 0; i < 128; ++i) {
        if (kCp437High[i] == ch) {
            return static_cast<uint8_t>(0x80 + i);
        }
    }
    return '?';
}

std::string Utf8ToCp437(const std::string& text) {
    std::string shown;
    size_t i = 0;
    while (i < text.size()) {
        const uint8_t lead = static_cast<uint8_t>(text[i]);
        const size_t length = lead < 0x80             ? 1
                              : (lead & 0xE0) == 0xC0 ? 2
                              : (lead & 0xF0) == 0xE0 ? 3
                              : (lead & 0xF8) == 0xF0 ? 4
                                                      : 0;
        uint32_t code = length == 1   ? lead
                        : length == 2 ? lead & 0x1F
                        : length == 3 ? lead & 0x0F
                                      : lead & 0x07;
        bool well_formed = length != 0 && i + length <= text.size();
        for (size_t k = 1; well_formed && k < length; ++k) {
            const uint8_t next = static_cast<uint8_t>(text[i + k]);
            well_formed = (next & 0xC0) == 0x80;
            code = code << 6 | (next & 0x3F);
        }
        // Overlong forms and surrogates are not characters either.
        static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        well_formed = well_formed && code >= kLeast[length] && (code < 0xD800 || code > 0xDFFF);
        if (!well_formed) {
            shown += '?';
            ++i;
            continue;
        }
        shown +=
            static_cast<char>(code <= 0xFFFF ? UnicodeToCp437(static_cast<char16_t>(code)) : '?');
        i += length;
    }
    return shown;
}

char AsciiFrameCharacter(uint8_t byte) {
    switch (byte) {
        case 0xC9:
        case 0xBB:
        case 0xC8:
        case 0xBC:
        case 0xDA:
        case 0xBF:
        case 0xC0:
        case 0xD9:
            return '+';
        case 0xCD:
            return '=';
        case 0xC4:
            return '-';
        case 0xBA:
        case 0xB3:
            return '|';
        default:
            return '\0';
    }
}

}  // namespace vtrl
