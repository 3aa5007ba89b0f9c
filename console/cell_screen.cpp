#include "console/cell_screen.h"

#include <algorithm>

namespace vtrl {

namespace {

bool Intersect(const CellRect& a, const CellRect& b, CellRect* out) {
    CellRect r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
               std::min(a.bottom, b.bottom)};
    *out = r;
    return r.left <= r.right && r.top <= r.bottom;
}

// The part of `region` that both lies in a screen of `screen` cells and fits a
// cell block of `buffer_size`, as the console's cell-rectangle calls clip it.
bool ClipTransfer(CellCoord screen, CellCoord buffer_size, const CellRect& region, CellRect* out) {
    if (buffer_size.x <= 0 || buffer_size.y <= 0) {
        return false;
    }
    const CellRect limit{0, 0, static_cast<int16_t>(screen.x - 1),
                         static_cast<int16_t>(screen.y - 1)};
    const CellRect fits{region.left, region.top,
                        static_cast<int16_t>(region.left + buffer_size.x - 1),
                        static_cast<int16_t>(region.top + buffer_size.y - 1)};
    return Intersect(region, limit, out) && Intersect(*out, fits, out);
}

bool Inside(const CellRect& r, int x, int y) {
    return x >= r.left && x <= r.right && y >= r.top && y <= r.bottom;
}

}  // namespace

CellScreen::CellScreen(CellCoord size, uint16_t attribute)
    : size_{std::clamp<int16_t>(size.x, 1, kMaxDimension),
            std::clamp<int16_t>(size.y, 1, kMaxDimension)},
      window_{0, 0, static_cast<int16_t>(size_.x - 1), static_cast<int16_t>(size_.y - 1)},
      attribute_(attribute),
      cells_(static_cast<size_t>(size_.x) * size_.y, ConsoleCell{' ', attribute}),
      dirty_(size_.y, true) {}

ConsoleCell CellScreen::At(int x, int y) const {
    if (x < 0 || y < 0 || x >= size_.x || y >= size_.y) {
        return ConsoleCell{' ', 0};
    }
    return cells_[static_cast<size_t>(y) * size_.x + x];
}

void CellScreen::Touch(int y) {
    if (y >= 0 && y < static_cast<int>(dirty_.size())) {
        dirty_[y] = true;
    }
}

std::vector<bool> CellScreen::TakeDirtyRows() {
    std::vector<bool> rows(size_.y, false);
    rows.swap(dirty_);
    return rows;
}

void CellScreen::MarkAllDirty() {
    dirty_.assign(size_.y, true);
}

bool CellScreen::SetSize(CellCoord size) {
    const int window_width = window_.right - window_.left + 1;
    const int window_height = window_.bottom - window_.top + 1;
    if (size.x < window_width || size.y < window_height || size.x > kMaxDimension ||
        size.y > kMaxDimension) {
        return false;
    }
    std::vector<ConsoleCell> cells(static_cast<size_t>(size.x) * size.y,
                                   ConsoleCell{' ', attribute_});
    for (int y = 0; y < std::min(size.y, size_.y); ++y) {
        for (int x = 0; x < std::min(size.x, size_.x); ++x) {
            cells[static_cast<size_t>(y) * size.x + x] = Cell(x, y);
        }
    }
    cells_.swap(cells);
    size_ = size;
    // The window keeps its size and moves back inside a buffer that shrank.
    if (window_.right >= size_.x) {
        const int16_t shift = static_cast<int16_t>(window_.right - (size_.x - 1));
        window_.left = static_cast<int16_t>(window_.left - shift);
        window_.right = static_cast<int16_t>(window_.right - shift);
    }
    if (window_.bottom >= size_.y) {
        const int16_t shift = static_cast<int16_t>(window_.bottom - (size_.y - 1));
        window_.top = static_cast<int16_t>(window_.top - shift);
        window_.bottom = static_cast<int16_t>(window_.bottom - shift);
    }
    cursor_.x = std::min<int16_t>(cursor_.x, static_cast<int16_t>(size_.x - 1));
    cursor_.y = std::min<int16_t>(cursor_.y, static_cast<int16_t>(size_.y - 1));
    MarkAllDirty();
    return true;
}

bool CellScreen::SetWindowInfo(bool absolute, const CellRect& window, CellCoord largest) {
    if (absolute) {
        return SetWindow(window, largest);
    }
    return SetWindow(CellRect{static_cast<int16_t>(window_.left + window.left),
                              static_cast<int16_t>(window_.top + window.top),
                              static_cast<int16_t>(window_.right + window.right),
                              static_cast<int16_t>(window_.bottom + window.bottom)},
                     largest);
}

bool CellScreen::SetWindow(const CellRect& window, CellCoord largest) {
    if (window.left < 0 || window.top < 0 || window.right < window.left ||
        window.bottom < window.top || window.right >= size_.x || window.bottom >= size_.y ||
        window.right - window.left + 1 > largest.x || window.bottom - window.top + 1 > largest.y) {
        return false;
    }
    window_ = window;
    MarkAllDirty();
    return true;
}

bool CellScreen::SetCursor(CellCoord position) {
    if (position.x < 0 || position.y < 0 || position.x >= size_.x || position.y >= size_.y) {
        return false;
    }
    cursor_ = position;
    return true;
}

bool CellScreen::SetCursorInfo(uint32_t size, bool visible) {
    if (size < 1 || size > 100) {
        return false;
    }
    cursor_size_ = size;
    cursor_visible_ = visible;
    return true;
}

template <typename Change>
uint32_t CellScreen::FillRun(uint32_t length, CellCoord start, Change change) {
    if (start.x < 0 || start.y < 0 || start.x >= size_.x || start.y >= size_.y) {
        return 0;
    }
    const size_t first = static_cast<size_t>(start.y) * size_.x + start.x;
    const size_t count = std::min<size_t>(length, cells_.size() - first);
    for (size_t i = 0; i < count; ++i) {
        change(cells_[first + i]);
        Touch(static_cast<int>((first + i) / size_.x));
    }
    return static_cast<uint32_t>(count);
}

uint32_t CellScreen::FillCharacter(char ch, uint32_t length, CellCoord start) {
    return FillRun(length, start, [ch](ConsoleCell& cell) { cell.ch = ch; });
}

uint32_t CellScreen::FillAttribute(uint16_t attribute, uint32_t length, CellCoord start) {
    return FillRun(length, start, [attribute](ConsoleCell& cell) { cell.attribute = attribute; });
}

bool CellScreen::ReadCells(ConsoleCell* cells, CellCoord buffer_size, CellRect* region) const {
    CellRect r;
    if (!ClipTransfer(size_, buffer_size, *region, &r)) {
        return false;
    }
    for (int y = r.top; y <= r.bottom; ++y) {
        for (int x = r.left; x <= r.right; ++x) {
            cells[(y - region->top) * buffer_size.x + (x - region->left)] =
                cells_[static_cast<size_t>(y) * size_.x + x];
        }
    }
    *region = r;
    return true;
}

bool CellScreen::WriteCells(const ConsoleCell* cells, CellCoord buffer_size, CellRect* region) {
    CellRect r;
    if (!ClipTransfer(size_, buffer_size, *region, &r)) {
        return false;
    }
    for (int y = r.top; y <= r.bottom; ++y) {
        for (int x = r.left; x <= r.right; ++x) {
            Cell(x, y) = cells[(y - region->top) * buffer_size.x + (x - region->left)];
        }
        Touch(y);
    }
    *region = r;
    return true;
}

void CellScreen::ScrollWholeBufferUp() {
    std::copy(cells_.begin() + size_.x, cells_.end(), cells_.begin());
    std::fill(cells_.end() - size_.x, cells_.end(), ConsoleCell{' ', attribute_});
    MarkAllDirty();
}

uint32_t CellScreen::WriteChars(const char* text, uint32_t length) {
    // Processed output with wrap at the end of a row, as a console has by default.
    for (uint32_t i = 0; i < length; ++i) {
        const char ch = text[i];
        switch (ch) {
            case '\r':
                cursor_.x = 0;
                continue;
            case '\n':
                cursor_.x = 0;
                ++cursor_.y;
                break;
            case '\b':
                if (cursor_.x > 0) {
                    --cursor_.x;
                }
                continue;
            case '\a':
                continue;
            case '\t': {
                const int16_t stop = static_cast<int16_t>((cursor_.x / 8 + 1) * 8);
                while (cursor_.x < stop && cursor_.x < size_.x) {
                    Cell(cursor_.x, cursor_.y) = ConsoleCell{' ', attribute_};
                    ++cursor_.x;
                }
                Touch(cursor_.y);
                break;
            }
            default:
                Cell(cursor_.x, cursor_.y) = ConsoleCell{ch, attribute_};
                Touch(cursor_.y);
                ++cursor_.x;
                break;
        }
        if (cursor_.x >= size_.x) {
            cursor_.x = 0;
            ++cursor_.y;
        }
        if (cursor_.y >= size_.y) {
            ScrollWholeBufferUp();
            cursor_.y = static_cast<int16_t>(size_.y - 1);
        }
    }
    return length;
}

bool CellScreen::Scroll(const CellRect& scroll, const CellRect* clip, CellCoord destination,
                        ConsoleCell fill) {
    const CellRect limit{0, 0, static_cast<int16_t>(size_.x - 1),
                         static_cast<int16_t>(size_.y - 1)};
    CellRect source;
    if (!Intersect(scroll, limit, &source)) {
        return false;
    }
    CellRect bounds = limit;
    if (clip != nullptr && !Intersect(*clip, limit, &bounds)) {
        return false;
    }
    const int width = source.right - source.left + 1;
    const int height = source.bottom - source.top + 1;
    std::vector<ConsoleCell> moved;
    moved.reserve(static_cast<size_t>(width) * height);
    for (int y = source.top; y <= source.bottom; ++y) {
        for (int x = source.left; x <= source.right; ++x) {
            moved.push_back(Cell(x, y));
        }
    }
    for (int y = source.top; y <= source.bottom; ++y) {
        for (int x = source.left; x <= source.right; ++x) {
            if (Inside(bounds, x, y)) {
                Cell(x, y) = fill;
                Touch(y);
            }
        }
    }
    // The destination origin stands for the scroll rectangle's own top-left,
    // before that rectangle was cut to the buffer.
    const int dx = destination.x - scroll.left;
    const int dy = destination.y - scroll.top;
    for (int y = source.top; y <= source.bottom; ++y) {
        for (int x = source.left; x <= source.right; ++x) {
            const int tx = x + dx;
            const int ty = y + dy;
            if (Inside(bounds, tx, ty)) {
                Cell(tx, ty) =
                    moved[static_cast<size_t>(y - source.top) * width + (x - source.left)];
                Touch(ty);
            }
        }
    }
    return true;
}

std::string FlowMessageText(const std::string& text, unsigned width) {
    if (width == 0) {
        return text;
    }
    std::vector<std::string> words;
    std::string word;
    for (char ch : text) {
        if (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n') {
            if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
        } else {
            word += ch;
        }
    }
    if (!word.empty()) {
        words.push_back(word);
    }
    std::string flowed;
    size_t line_length = 0;
    for (const std::string& w : words) {
        if (line_length > 0 && line_length + 1 + w.size() > width) {
            flowed += "\r\n";
            line_length = 0;
        } else if (line_length > 0) {
            flowed += ' ';
            ++line_length;
        }
        flowed += w;
        line_length += w.size();
    }
    return flowed;
}

}  // namespace vtrl
