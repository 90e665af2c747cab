// SPDX-License-Identifier: GPL-3.0-or-later
// The front window's small widgets on their own: shape, clickable label, arrow, JPEG picture.
#include "arrow_glyph.h"
#include "click_label.h"
#include "jpeg_picture.h"
#include "shape.h"

#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <turbojpeg.h>

namespace {

QImage render(QWidget& widget)
{
    return widget.grab().toImage();
}

TEST(ShapeWidget, RectangleBorderLiesInsideItsBounds)
{
    Shape shape;
    shape.resize(20, 10);
    shape.setPenWidth(3);
    shape.setBrushColor(QColor(0x00FF00));
    const QImage image = render(shape);
    for (const QPoint p : {QPoint(0, 0), QPoint(2, 5), QPoint(19, 9), QPoint(17, 5), QPoint(10, 7)})
        EXPECT_EQ(image.pixelColor(p), QColor(Qt::black)) << p.x() << "," << p.y();
    for (const QPoint p : {QPoint(3, 3), QPoint(16, 6), QPoint(10, 5)})
        EXPECT_EQ(image.pixelColor(p), QColor(0x00FF00)) << p.x() << "," << p.y();
}

TEST(ShapeWidget, ClearBrushLetsTheParentShowThrough)
{
    QWidget parent;
    parent.resize(40, 40);
    QPalette palette = parent.palette();
    palette.setColor(QPalette::Window, QColor(0x123456));
    parent.setPalette(palette);
    parent.setAutoFillBackground(true);
    Shape* shape = new Shape(&parent);
    shape->setGeometry(5, 5, 30, 30);
    shape->setPenWidth(2);
    shape->setBrushClear(true);
    const QImage image = render(parent);
    EXPECT_EQ(image.pixelColor(20, 20), QColor(0x123456));
    EXPECT_EQ(image.pixelColor(6, 20), QColor(Qt::black));
    EXPECT_EQ(image.pixelColor(7, 20), QColor(0x123456));
}

TEST(ShapeWidget, RoundedCornersLeaveTheCornerPixelUnpainted)
{
    QWidget parent;
    parent.resize(80, 40);
    parent.setAutoFillBackground(true);
    QPalette palette = parent.palette();
    palette.setColor(QPalette::Window, QColor(0x123456));
    parent.setPalette(palette);
    Shape* shape = new Shape(&parent);
    shape->setGeometry(0, 0, 80, 40);
    shape->setShapeKind(Shape::RoundRect);
    const QImage image = render(parent);
    EXPECT_EQ(image.pixelColor(0, 0), QColor(0x123456));
    EXPECT_EQ(image.pixelColor(40, 20), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(40, 0), QColor(Qt::black));
}

TEST(ClickLabelWidget, LeftClickInsideClicksAnyButtonPressesAndReleases)
{
    ClickLabel label;
    label.resize(40, 20);
    QSignalSpy clicks(&label, &ClickLabel::clicked);
    QSignalSpy presses(&label, &ClickLabel::pressed);
    QSignalSpy releases(&label, &ClickLabel::released);

    QTest::mouseClick(&label, Qt::LeftButton);
    EXPECT_EQ(clicks.count(), 1);
    QTest::mouseClick(&label, Qt::RightButton);
    QTest::mouseClick(&label, Qt::MiddleButton);
    EXPECT_EQ(clicks.count(), 1);
    ASSERT_EQ(presses.count(), 3);
    EXPECT_EQ(presses.at(1).at(0).value<Qt::MouseButton>(), Qt::RightButton);
    EXPECT_EQ(releases.count(), 3);

    // Released outside the label: no click.
    QTest::mousePress(&label, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseRelease(&label, Qt::LeftButton, {}, QPoint(60, 5));
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_EQ(releases.count(), 4);
}

TEST(ArrowGlyphWidget, MissingSymbolFaceDrawsATriangleThatGrowsWithTheFont)
{
    ArrowGlyph arrow;
    arrow.resize(30, 34);
    arrow.setText(QStringLiteral("5"));
    QFont font(QStringLiteral("No Such Symbol Face Quavira"));
    font.setPointSize(22);
    arrow.setFont(font);
    QPalette palette = arrow.palette();
    palette.setColor(QPalette::WindowText, QColor(0xFF0000));
    arrow.setPalette(palette);
    ASSERT_TRUE(arrow.drawsTriangle());

    const QPolygonF small = arrow.triangle();
    const QImage image = render(arrow);
    const QPointF centre = small.boundingRect().center();
    EXPECT_EQ(image.pixelColor(centre.toPoint() + QPoint(0, 3)), QColor(0xFF0000));
    // Upward: the apex is the top-most point, in the middle.
    EXPECT_LT(small.at(1).y(), small.at(0).y());

    font.setPointSize(24);
    arrow.setFont(font);
    EXPECT_GT(arrow.triangle().boundingRect().width(), small.boundingRect().width());

    arrow.setText(QStringLiteral("6"));
    const QPolygonF down = arrow.triangle();
    EXPECT_GT(down.at(2).y(), down.at(0).y());
}

QByteArray encodeJpeg(const QImage& source)
{
    const QImage rgb = source.convertToFormat(QImage::Format_RGB888);
    tjhandle handle = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    const int result = tjCompress2(handle, rgb.constBits(), rgb.width(), static_cast<int>(rgb.bytesPerLine()),
                                   rgb.height(), TJPF_RGB, &jpeg, &size, TJSAMP_444, 95, 0);
    QByteArray bytes;
    if (result == 0)
        bytes = QByteArray(reinterpret_cast<const char*>(jpeg), static_cast<qsizetype>(size));
    tjFree(jpeg);
    tjDestroy(handle);
    return bytes;
}

TEST(JpegDecoding, DecodesColoursAndSize)
{
    QImage source(16, 8, QImage::Format_RGB888);
    source.fill(QColor(200, 30, 40));
    for (int y = 0; y < 8; ++y)
        for (int x = 8; x < 16; ++x)
            source.setPixelColor(x, y, QColor(20, 40, 220));
    const QImage decoded = decodeJpeg(encodeJpeg(source));
    ASSERT_EQ(decoded.size(), QSize(16, 8));
    const QColor left = decoded.pixelColor(2, 4);
    const QColor right = decoded.pixelColor(13, 4);
    EXPECT_NEAR(left.red(), 200, 8);
    EXPECT_NEAR(left.blue(), 40, 8);
    EXPECT_NEAR(right.blue(), 220, 8);
    EXPECT_NEAR(right.red(), 20, 8);
}

TEST(JpegDecoding, RejectsBytesThatAreNoJpeg)
{
    EXPECT_TRUE(decodeJpeg(QByteArray()).isNull());
    EXPECT_TRUE(decodeJpeg(QByteArray("not a picture at all")).isNull());
    QByteArray header = encodeJpeg(QImage(8, 8, QImage::Format_RGB888));
    header.truncate(20);
    EXPECT_TRUE(decodeJpeg(header).isNull());
}

TEST(JpegPictureWidget, CreditsPictureIsDrawnStretchedOverTheBox)
{
    JpegPicture picture;
    picture.resize(111, 111);
    picture.setSource(QStringLiteral(":/credits.jpg"));
    ASSERT_FALSE(picture.image().isNull());
    EXPECT_GE(picture.image().width(), 111);
    const QImage shown = render(picture);
    const QImage expected = picture.image().scaled(111, 111, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    for (const QPoint p : {QPoint(55, 55), QPoint(20, 90), QPoint(100, 30)}) {
        const QColor a = shown.pixelColor(p);
        const QColor b = expected.pixelColor(p);
        EXPECT_NEAR(a.red(), b.red(), 40) << p.x() << "," << p.y();
        EXPECT_NEAR(a.green(), b.green(), 40) << p.x() << "," << p.y();
    }
}

TEST(JpegPictureWidget, MissingFileShowsNothing)
{
    JpegPicture picture;
    picture.setSource(QStringLiteral(":/no-such-picture.jpg"));
    EXPECT_TRUE(picture.image().isNull());
}

}  // namespace
