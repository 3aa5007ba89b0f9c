#include "console/screen_view.h"

#include <algorithm>

namespace vtrl {

namespace {

// One axis: the origin that shows cells lo..hi of a screen `model` cells long
// in a view `shown` cells long, staying at `origin` when they are in view
// already and centring them otherwise.
int16_t AxisOrigin(int origin, int lo, int hi, int shown, int model) {
    if (shown >= model) {
        return 0;
    }
    const int last = model - shown;
    origin = std::clamp(origin, 0, last);
    if (lo >= origin && hi < origin + shown) {
        return static_cast<int16_t>(origin);
    }
    const int length = hi - lo + 1;
    const int centred = length >= shown ? lo : lo - (shown - length) / 2;
    return static_cast<int16_t>(std::clamp(centred, 0, last));
}

}  // namespace

CellCoord ScreenView::Fit(const CellRect& window, CellCoord origin) const {
    return CellCoord{AxisOrigin(origin.x, window.left, window.right, shown_.x, model_.x),
                     AxisOrigin(origin.y, window.top, window.bottom, shown_.y, model_.y)};
}

bool ScreenView::MoveTo(CellCoord origin) {
    if (origin.x == origin_.x && origin.y == origin_.y) {
        return false;
    }
    origin_ = origin;
    return true;
}

bool ScreenView::SetShown(CellCoord shown) {
    shown_ = shown;
    const CellRect here{origin_.x, origin_.y, origin_.x, origin_.y};
    return MoveTo(Fit(windows_.empty() ? here : windows_.back().rect, origin_));
}

bool ScreenView::Opened(const CellRect& window) {
    windows_.push_back(Entry{window, origin_});
    return MoveTo(Fit(window, origin_));
}

bool ScreenView::Closing() {
    if (windows_.empty()) {
        return false;
    }
    const CellCoord before = windows_.back().origin_before;
    windows_.pop_back();
    const CellRect there{before.x, before.y, before.x, before.y};
    return MoveTo(Fit(windows_.empty() ? there : windows_.back().rect, before));
}

}  // namespace vtrl
