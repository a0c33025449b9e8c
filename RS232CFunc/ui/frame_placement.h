#pragma once

#include <QObject>

#include "RS232CFunc/ui/window_placement.h"

class QWidget;

namespace vennick {

// Puts a top-level window where a placement rule wants its outer frame. A window manager
// reports the frame only after the window is mapped, so the placement is repeated once, a
// moment later, if the frame turns out other than assumed; the latest placement wins.
class FramePlacer : public QObject {
public:
    using Rule = WindowPosition (*)(const WorkArea& area, int width, int height);
    enum class Within { WorkArea, Screen };  // the work area leaves out the task bars

    explicit FramePlacer(QWidget& window);

    void place(Rule rule, Within within = Within::WorkArea);

private:
    QWidget& window_;
    Rule rule_ = nullptr;
    Within within_ = Within::WorkArea;
};

}  // namespace vennick
