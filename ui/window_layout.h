#pragma once
// Placement of the updater window: the skin's size, centred on the desktop's work area. Pure
// arithmetic, shared by the window and its tests.

namespace tarn {

struct WindowPlacement {
    int left;
    int top;
    int width;
    int height;
};

// The work area is given as left, top, right, bottom (right and bottom exclusive, as in a RECT).
// The offsets use integer division truncating toward zero, so a window larger than the work area
// gets negative offsets and overhangs both sides equally, within one pixel.
constexpr WindowPlacement CentreInWorkArea(int workLeft, int workTop, int workRight, int workBottom, int width,
                                           int height) {
    return WindowPlacement{workLeft + (workRight - workLeft - width) / 2, workTop + (workBottom - workTop - height) / 2,
                           width, height};
}

}  // namespace tarn
