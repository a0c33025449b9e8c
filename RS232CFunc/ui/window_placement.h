#pragma once

namespace vennick {

// The screen's work area (the desktop without task bars).
struct WorkArea {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

struct WindowPosition {
    int left = 0;
    int top = 0;
    friend bool operator==(const WindowPosition&, const WindowPosition&) = default;
};

// Idle: half the work area's size less half the window's outer size, each halved toward zero.
// The work area's own left and top are not added: the window has always sat there.
WindowPosition centredPosition(const WorkArea& area, int windowWidth, int windowHeight);

// Monitoring: flush with the work area's top-right corner.
WindowPosition topRightPosition(const WorkArea& area, int windowWidth, int windowHeight);

}  // namespace vennick
