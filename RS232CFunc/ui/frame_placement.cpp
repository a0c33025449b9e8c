#include "RS232CFunc/ui/frame_placement.h"

#include <QScreen>
#include <QTimer>
#include <QWidget>

namespace vennick {
namespace {

constexpr int kFrameSettleMs = 150;

}  // namespace

FramePlacer::FramePlacer(QWidget& window) : QObject(&window), window_(window) {}

void FramePlacer::place(Rule rule, Within within) {
    rule_ = rule;
    within_ = within;
    const QScreen* screen = window_.screen();
    const QRect area =
        within == Within::WorkArea ? screen->availableGeometry() : screen->geometry();
    const QSize outer = window_.frameGeometry().size();
    const WindowPosition at =
        rule({area.left(), area.top(), area.left() + area.width(), area.top() + area.height()},
             outer.width(), outer.height());
    window_.move(at.left, at.top);
    QTimer::singleShot(kFrameSettleMs, this, [this, outer] {
        if (window_.frameGeometry().size() != outer) place(rule_, within_);
    });
}

}  // namespace vennick
