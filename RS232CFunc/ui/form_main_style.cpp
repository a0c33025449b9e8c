#include "RS232CFunc/ui/form_main_style.h"

#include <qdrawutil.h>
#include <QPainter>
#include <QRegion>
#include <QStyleOptionGroupBox>

namespace vennick {
namespace {

constexpr int kCaptionIndent = 6;
constexpr int kCaptionPadding = 2;
constexpr int kFrameWidth = 2;  // an etched line: dark, then light

}  // namespace

int FormMainStyle::pixelMetric(PixelMetric metric, const QStyleOption* option,
                               const QWidget* widget) const {
    switch (metric) {
        case PM_ToolBarFrameWidth:
        case PM_ToolBarItemMargin:
        case PM_ToolBarItemSpacing:
            return 0;
        default:
            return QProxyStyle::pixelMetric(metric, option, widget);
    }
}

QRect FormMainStyle::subControlRect(ComplexControl control, const QStyleOptionComplex* option,
                                    SubControl part, const QWidget* widget) const {
    const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
    if (control != CC_GroupBox || !box) {
        return QProxyStyle::subControlRect(control, option, part, widget);
    }
    const QFontMetrics& metrics = box->fontMetrics;
    switch (part) {
        case SC_GroupBoxLabel:
            return {box->rect.left() + kCaptionIndent, box->rect.top(),
                    metrics.horizontalAdvance(box->text) + 2 * kCaptionPadding, metrics.height()};
        case SC_GroupBoxFrame:
            return box->rect.adjusted(0, metrics.height() / 2, 0, 0);
        case SC_GroupBoxContents:
            // The caption's descent may reach into the contents: a Japanese caption has no ink
            // there.
            return box->rect.adjusted(kFrameWidth, metrics.ascent(), -kFrameWidth, -kFrameWidth);
        default:
            return QProxyStyle::subControlRect(control, option, part, widget);
    }
}

// An etched frame with the caption in its top line, as on Windows.
void FormMainStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                       QPainter* painter, const QWidget* widget) const {
    const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
    if (control != CC_GroupBox || !box) {
        QProxyStyle::drawComplexControl(control, option, painter, widget);
        return;
    }
    const QRect caption = subControlRect(control, box, SC_GroupBoxLabel, widget);
    painter->save();
    QRegion outside(box->rect);
    if (!box->text.isEmpty()) outside -= caption;
    painter->setClipRegion(outside);
    qDrawShadeRect(painter, subControlRect(control, box, SC_GroupBoxFrame, widget), box->palette,
                   true, 1, 0);
    painter->restore();
    drawItemText(painter, caption, Qt::AlignCenter | Qt::TextShowMnemonic, box->palette,
                 box->state & State_Enabled, box->text, QPalette::WindowText);
}

}  // namespace vennick
