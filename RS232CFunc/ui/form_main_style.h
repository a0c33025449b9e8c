#pragma once

#include <QProxyStyle>

namespace vennick {

// What the main window's small client area needs of the platform style, for the widgets it is
// set on: tool bars without margins around their buttons, and group boxes as Windows draws them,
// the caption in the frame's top line and the contents right under the caption, so that a row of
// radio items fits into little height.
class FormMainStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override;
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                         const QWidget* widget) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget) const override;
};

}  // namespace vennick
