// The part of the program's 80 by 40 screen that a smaller console or
// terminal shows: a view that follows the newest open window so that it is
// seen whole, and goes back to where it was when that window closes.  Shared
// by the console ports of both platforms; it only computes where the view
// starts, the ports draw it.
#pragma once

#include <vector>

#include "console/console_port.h"

namespace vtrl {

class ScreenView {
  public:
    explicit ScreenView(CellCoord model) : model_(model) {}

    // The screen cell shown in the view's top-left corner, and how many cells
    // the view shows.
    CellCoord Origin() const { return origin_; }
    CellCoord Shown() const { return shown_; }
    // The newest open window (0-based cells), null while none is open.
    const CellRect* Newest() const { return windows_.empty() ? nullptr : &windows_.back().rect; }

    // Each returns true when the origin moved (everything in view must be
    // drawn again).
    // The view now shows `shown` cells: the newest window whole again.
    bool SetShown(CellCoord shown);
    // A window now covers `window`: the view moves only when it is not
    // already seen whole, and then centres it.
    bool Opened(const CellRect& window);
    // The newest window closes: the view goes back to where it was before
    // that window opened (kept in the screen, and the window now newest whole).
    bool Closing();

  private:
    struct Entry {
        CellRect rect;
        CellCoord origin_before;
    };
    CellCoord Fit(const CellRect& window, CellCoord origin) const;
    bool MoveTo(CellCoord origin);

    CellCoord model_;
    CellCoord shown_{0, 0};
    CellCoord origin_{0, 0};
    std::vector<Entry> windows_;  // the open windows, newest last
};

}  // namespace vtrl
