// The texts the operator was given in framed windows, as the program wrote
// them, read back from the console calls alone: a window begins where its top
// frame edge is drawn, its text is every character run written inside it, and
// the line ends are read from the cursor moves between runs (one move to the
// next row's first column is "\r\n", down one row in the same column "\n",
// back to the first column "\r").  A line filled to the right edge wraps with
// no line end, as it does on the screen.  A window ends when its cells are
// given back.
#pragma once

#include <string>
#include <vector>

#include "console/console_port.h"

namespace vtrl::test {

class WindowTexts {
  public:
    // Texts of every framed window opened so far, oldest first.
    const std::vector<std::string>& Texts() const { return texts_; }

    // Called by the test console after each of its calls has taken effect;
    // `cursor` is the console's cursor afterwards (0-based).
    void Written(const char* text, uint32_t length, CellCoord cursor_before, CellCoord cursor);
    void CursorMoved(CellCoord to);
    void CellsRead(const CellRect& rect) {
        saving_ = rect;
        opening_ = true;
    }
    void CellsWritten(const CellRect& rect);
    void Scrolled(const CellRect& scroll);

  private:
    struct Window {
        CellRect box;  // outer rectangle, 0-based
        size_t text;   // index in texts_
        CellCoord at;  // where the text's cursor stands
        bool started;  // the cursor has been placed in the interior
    };
    static bool Same(const CellRect& a, const CellRect& b) {
        return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
    }
    static bool IsCorner(char ch, bool top_left);

    std::vector<std::string> texts_;
    std::vector<Window> open_;
    CellRect saving_{-1, -1, -1, -1};
    bool opening_ = false;       // cells saved, frame not drawn yet
    int16_t frame_bottom_ = -1;  // row of the bottom edge drawn last
};

inline bool WindowTexts::IsCorner(char ch, bool top_left) {
    const unsigned char c = static_cast<unsigned char>(ch);
    return top_left ? (c == 0xC9 || c == 0xDA) : (c == 0xC8 || c == 0xC0);
}

inline void WindowTexts::Written(const char* text, uint32_t length, CellCoord before,
                                 CellCoord cursor) {
    if (length == 0) {
        return;
    }
    if (IsCorner(text[0], false)) {
        frame_bottom_ = before.y;
        return;
    }
    if (IsCorner(text[0], true) && frame_bottom_ > before.y) {
        const CellRect box{before.x, before.y, static_cast<int16_t>(before.x + length - 1),
                           frame_bottom_};
        texts_.emplace_back();
        open_.push_back(Window{box, texts_.size() - 1, CellCoord{0, 0}, false});
        frame_bottom_ = -1;
        opening_ = false;
        return;
    }
    if (opening_ || open_.empty() || !open_.back().started) {
        return;
    }
    Window& w = open_.back();
    texts_[w.text].append(text, length);
    // A run that fills its row up to the right edge goes on at the start of the
    // next row without a line end (the wrap).
    const bool filled_row = before.x + static_cast<int>(length) >= w.box.right;
    w.at = filled_row
               ? CellCoord{static_cast<int16_t>(w.box.left + 1), static_cast<int16_t>(before.y + 1)}
               : cursor;
}

inline void WindowTexts::CursorMoved(CellCoord to) {
    if (opening_ || open_.empty()) {
        return;
    }
    Window& w = open_.back();
    const int16_t first_column = static_cast<int16_t>(w.box.left + 1);
    if (!w.started) {
        w.started = to.x == first_column && to.y == w.box.top + 1;
        w.at = to;
        return;
    }
    std::string& text = texts_[w.text];
    if (to.y == w.at.y + 1 && to.x == first_column) {
        text += "\r\n";
    } else if (to.y == w.at.y + 1 && to.x == w.at.x) {
        text += "\n";
    } else if (to.y == w.at.y && to.x == first_column && w.at.x != first_column) {
        text += "\r";
    }
    w.at = to;
}

inline void WindowTexts::CellsWritten(const CellRect& rect) {
    if (Same(rect, saving_)) {
        // The blank fill of a window being opened over the cells just saved.
        saving_ = CellRect{-1, -1, -1, -1};
        return;
    }
    if (!open_.empty() && Same(rect, open_.back().box)) {
        open_.pop_back();
    }
}

inline void WindowTexts::Scrolled(const CellRect& scroll) {
    // The text scrolled up one row inside the newest window.
    if (!open_.empty() && scroll.left == open_.back().box.left + 1) {
        --open_.back().at.y;
    }
}

}  // namespace vtrl::test
