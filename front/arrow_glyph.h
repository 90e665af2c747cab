// SPDX-License-Identifier: GPL-3.0-or-later
// ArrowGlyph: the builder's up and down arrows, a symbol-font character or a drawn triangle.
#pragma once

#include "click_label.h"

// Shows its text ("5" for up, "6" for down) in the symbol font the layout
// names. Where that face is not installed it draws a triangle of the same
// size instead, so the arrow still grows and shrinks with the font. To
// assistive technology it is a button.
// UI thread only.
class ArrowGlyph : public ClickLabel {
    Q_OBJECT

public:
    explicit ArrowGlyph(QWidget* parent = nullptr);

    // True when the layout's face is missing and the triangle is drawn.
    bool drawsTriangle() const;
    // The triangle drawn in the fallback, in widget coordinates.
    QPolygonF triangle() const;

protected:
    void paintEvent(QPaintEvent* event) override;
};
