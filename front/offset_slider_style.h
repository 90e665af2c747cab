// SPDX-License-Identifier: GPL-3.0-or-later
// OffsetSliderStyle: the look and geometry of the builder's offset slider.
#pragma once

#include <QProxyStyle>

// Draws `freqtrack` as a classic track bar: a tick above every position, a
// sunken channel, and a thumb 32 pixels long (top to bottom) whose point
// sits under its tick. The thumb travels a fixed span of the slider's width
// so that the band strip above it serves as its scale: position v lies at
// x = 16 + v * 6.5 in the slider (rounded as QStyle::sliderPositionFromValue
// rounds), which puts every band's positions under its coloured block.
// Handle and groove rectangles come from here too, so mouse hits match what
// is drawn. Horizontal sliders only. UI thread only.
class OffsetSliderStyle : public QProxyStyle {
public:
    static constexpr int kThumbLength = 32;  // top to bottom
    static constexpr int kThumbWidth = 17;   // odd, so the point is one pixel
    static constexpr int kTravelLeft = 16;   // x of position 0's tick
    static constexpr int kTravelSpan = 650;  // pixels from position 0 to 100

    using QProxyStyle::QProxyStyle;

    int pixelMetric(PixelMetric metric, const QStyleOption* option = nullptr,
                    const QWidget* widget = nullptr) const override;
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                         const QWidget* widget = nullptr) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget = nullptr) const override;
};
