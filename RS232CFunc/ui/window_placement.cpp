#include "RS232CFunc/ui/window_placement.h"

namespace vennick {

WindowPosition centredPosition(const WorkArea& area, int windowWidth, int windowHeight) {
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    return {width / 2 - windowWidth / 2, height / 2 - windowHeight / 2};
}

WindowPosition topRightPosition(const WorkArea& area, int windowWidth, int /*windowHeight*/) {
    return {area.right - windowWidth, area.top};
}

}  // namespace vennick
