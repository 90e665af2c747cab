// SPDX-License-Identifier: GPL-3.0-or-later
// OffsetSliderStyle: the look and geometry of the builder's offset slider.
#include "offset_slider_style.h"

#include <QPainter>
#include <QPen>
#include <QPolygon>
#include <QStyleOptionSlider>

#include <algorithm>

namespace {

constexpr int kTickTop = 1;
constexpr int kTickLength = 4;
constexpr int kThumbTop = 7;
constexpr int kPointHeight = OffsetSliderStyle::kThumbWidth / 2;  // 45-degree sides
constexpr int kChannelHeight = 4;

// Centre of the thumb, and of the tick, of `value`.
int tickX(const QStyleOptionSlider& slider, int value)
{
    return OffsetSliderStyle::kTravelLeft + QStyle::sliderPositionFromValue(slider.minimum, slider.maximum, value,
                                                                            OffsetSliderStyle::kTravelSpan,
                                                                            slider.upsideDown);
}

}  // namespace

int OffsetSliderStyle::pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const
{
    switch (metric) {
    case PM_SliderLength:
        return kThumbWidth;
    case PM_SliderThickness:
    case PM_SliderControlThickness:
        return kThumbLength;
    default:
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
}

QRect OffsetSliderStyle::subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                                        const QWidget* widget) const
{
    const auto* slider = qstyleoption_cast<const QStyleOptionSlider*>(option);
    if (control != CC_Slider || !slider)
        return QProxyStyle::subControlRect(control, option, sub, widget);
    const int half = kThumbWidth / 2;
    switch (sub) {
    case SC_SliderGroove:
        // What QSlider maps mouse positions through: the thumb's whole travel.
        return {kTravelLeft - half, 0, kTravelSpan + kThumbWidth, slider->rect.height()};
    case SC_SliderHandle:
        return {tickX(*slider, slider->sliderPosition) - half, kThumbTop, kThumbWidth, kThumbLength};
    default:
        return slider->rect;
    }
}

void OffsetSliderStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                           QPainter* painter, const QWidget* widget) const
{
    const auto* slider = qstyleoption_cast<const QStyleOptionSlider*>(option);
    if (control != CC_Slider || !slider) {
        QProxyStyle::drawComplexControl(control, option, painter, widget);
        return;
    }
    const QPalette& palette = slider->palette;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, false);

    painter->setPen(palette.color(QPalette::ButtonText));
    for (int value = slider->minimum; value <= slider->maximum; value += std::max(1, slider->tickInterval)) {
        const int x = tickX(*slider, value);
        painter->drawLine(x, kTickTop, x, kTickTop + kTickLength - 1);
    }

    // A sunken channel along the travel, under the middle of the thumb.
    const QRect channel(kTravelLeft - 2, kThumbTop + kThumbLength / 2 - kChannelHeight / 2, kTravelSpan + 5,
                        kChannelHeight);
    painter->fillRect(channel, palette.color(QPalette::Base));
    painter->setPen(palette.color(QPalette::Dark));
    painter->drawLine(channel.topLeft(), channel.topRight());
    painter->drawLine(channel.topLeft(), channel.bottomLeft());
    painter->setPen(palette.color(QPalette::Light));
    painter->drawLine(channel.bottomLeft(), channel.bottomRight());
    painter->drawLine(channel.topRight(), channel.bottomRight());

    // The thumb: a body with a point up towards the ticks.
    const QRect thumb = subControlRect(CC_Slider, slider, SC_SliderHandle, widget);
    const int centre = thumb.left() + kThumbWidth / 2;
    const QPolygon outline{QPoint(thumb.left(), thumb.top() + kPointHeight), QPoint(centre, thumb.top()),
                           QPoint(thumb.right(), thumb.top() + kPointHeight), thumb.bottomRight(),
                           thumb.bottomLeft()};
    const bool pressed = slider->activeSubControls & SC_SliderHandle && slider->state & State_Sunken;
    painter->setPen(palette.color(QPalette::Dark));
    painter->setBrush(palette.color(pressed ? QPalette::Midlight : QPalette::Button));
    painter->drawPolygon(outline);
    painter->setPen(palette.color(QPalette::Light));
    painter->drawPolyline(QPolygon{outline[4] + QPoint(1, -1), outline[0] + QPoint(1, 0), outline[1] + QPoint(0, 1)});

    // A dotted rectangle round the whole slider while it has the keyboard.
    if ((slider->state & State_HasFocus) && (slider->state & State_Active)) {
        painter->setPen(QPen(palette.color(QPalette::ButtonText), 1, Qt::DotLine));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(slider->rect.adjusted(0, 0, -1, -1));
    }
    painter->restore();
}
