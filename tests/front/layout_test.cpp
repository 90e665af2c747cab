// SPDX-License-Identifier: GPL-3.0-or-later
// The front window as loaded from its layout: frame, geometry, texts, lists, z-order, pixels.
#include "front_fixture.h"

#include <QImage>
#include <QLabel>

#include <algorithm>

namespace fronttest {
namespace {

class Layout : public FrontWindow {
protected:
    void SetUp() override { start(); }
};

TEST_F(Layout, WindowFrameIsAFixedSizeWindowWithOnlyACloseBox)
{
    EXPECT_EQ(m_form.objectName(), QStringLiteral("Form1"));
    EXPECT_EQ(m_form.windowTitle(), QStringLiteral("Quavira - Free Binaural Beats Generator"));
    EXPECT_EQ(m_form.size(), QSize(737, 486));
    EXPECT_EQ(m_form.minimumSize(), m_form.maximumSize());
    const Qt::WindowFlags flags = m_form.windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(m_form.testAttribute(Qt::WA_QuitOnClose));
}

struct Placement {
    const char* name;
    const char* parent;
    QRect geometry;
};

TEST_F(Layout, ElementsSitWhereDesigned)
{
    const Placement placements[] = {
        {"Shape14", "Form1", {439, 354, 285, 121}}, {"Shape3", "Form1", {8, 355, 413, 121}},
        {"Shape13", "Form1", {8, 6, 716, 332}},     {"Image1", "Form1", {12, 361, 111, 111}},
        {"Label3", "Form1", {487, 368, 192, 27}},   {"Label19", "Form1", {130, 380, 274, 27}},
        {"Label13", "Form1", {1135, 393, 192, 23}}, {"Panel2", "Form1", {14, 11, 704, 323}},
        {"Panel3", "Form1", {792, 168, 705, 148}},  {"ListBox1", "Form1", {1024, 91, 177, 750}},
        {"LBiEdit", "Panel2", {248, 57, 49, 23}},   {"bstart", "Panel2", {394, 267, 75, 25}},
        {"fup", "Panel2", {552, 80, 30, 30}},       {"fdown", "Panel2", {552, 102, 30, 30}},
        {"Label22", "Panel2", {321, 64, 25, 16}},   {"Panel1", "Panel2", {8, 140, 695, 120}},
        {"freqtrack", "Panel1", {-8, 72, 698, 45}}, {"Shape10", "Panel1", {206, 38, 467, 33}},
        {"StartButton", "Panel3", {546, 84, 75, 25}}, {"ComboBox1", "Panel3", {25, 71, 305, 35}},
        {"LFreqEdit", "Panel3", {359, 72, 78, 35}}, {"RFreqEdit", "Panel3", {455, 72, 78, 35}},
    };
    for (const Placement& p : placements) {
        const QWidget* widget = control(p.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->geometry(), p.geometry) << p.name;
        EXPECT_EQ(widget->parentWidget()->objectName(), QString::fromLatin1(p.parent)) << p.name;
    }
    // The offset number keeps its designed right edge at 623 whatever it shows.
    EXPECT_EQ(control("offsetlabel")->geometry().right() + 1, 623);
}

TEST_F(Layout, LaterGraphicElementsLieAboveEarlierOnesAndPanelsAboveAll)
{
    const QObjectList& children = m_form.children();
    auto indexOf = [&](const char* name) { return children.indexOf(control(name)); };
    EXPECT_LT(indexOf("Shape3"), indexOf("Image1"));
    EXPECT_LT(indexOf("Shape13"), indexOf("Panel2"));
    EXPECT_LT(indexOf("Label20"), indexOf("ListBox1"));
    EXPECT_LT(indexOf("ListBox1"), indexOf("Panel2"));
    // Inside the strip a later block covers the shared border of an earlier one.
    const QObjectList& strip = control("Panel1")->children();
    EXPECT_LT(strip.indexOf(control("Shape7")), strip.indexOf(control("Shape9")));
    EXPECT_LT(strip.indexOf(control("Shape9")), strip.indexOf(control("Shape11")));
    EXPECT_EQ(m_form.childAt(QPoint(263, 78)), baseEdit());
}

TEST_F(Layout, TextsAndEditLimitsAreAsDesigned)
{
    EXPECT_EQ(control<QLabel>("Label5")->text(), QStringLiteral(" Stereo Frequency Generator"));
    EXPECT_EQ(control<QLabel>("Label25")->text(), QStringLiteral("Step 1: Choose left frequency  "));
    EXPECT_EQ(control<QLabel>("Label22")->text(), QStringLiteral("RND"));
    EXPECT_EQ(control<QLabel>("hz")->text(), QStringLiteral("Hz"));
    EXPECT_EQ(baseEdit()->maxLength(), 5);
    EXPECT_EQ(control<QLineEdit>("LFreqEdit")->maxLength(), 8);
    for (const char* name : {"LBiEdit", "LFreqEdit", "RFreqEdit"})
        EXPECT_EQ(control(name)->toolTip(), QStringLiteral("Frequency Value")) << name;
    for (const char* name : {"Label3", "Label19", "Label21", "Label27", "Label13", "Label8", "Label22"})
        EXPECT_EQ(control(name)->cursor().shape(), Qt::PointingHandCursor) << name;
    EXPECT_NE(control("Label20")->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_TRUE(control<QLabel>("Label13")->font().underline());
    EXPECT_TRUE(control<QLabel>("Label27")->font().italic());
    EXPECT_EQ(control<QLabel>("Label26")->font().pixelSize(), 19);
    EXPECT_TRUE(control<QLabel>("Label26")->font().bold());
    EXPECT_EQ(control<QLabel>("Label24")->font().pixelSize(), 16);
    EXPECT_EQ(control<QPushButton>("bstart")->font().pixelSize(), 19);
    EXPECT_EQ(control("Label3")->palette().color(QPalette::WindowText), QColor(0xCC6600));
}

TEST_F(Layout, BothPresetListsHoldTheSameFiftyFiveNames)
{
    const QComboBox* combo = control<QComboBox>("ComboBox1");
    const QListWidget* list = control<QListWidget>("ListBox1");
    ASSERT_EQ(combo->count(), 55);
    ASSERT_EQ(list->count(), 55);
    for (int row = 0; row < 55; ++row)
        EXPECT_EQ(combo->itemText(row), list->item(row)->text()) << row;
    EXPECT_EQ(combo->itemText(0), QStringLiteral("Spiritual Awakening"));
    EXPECT_EQ(combo->itemText(14), QStringLiteral("Root Chakra "));
    EXPECT_EQ(combo->itemText(17), QStringLiteral("Heart Chakra"));
    EXPECT_EQ(combo->itemText(39), QStringLiteral("Wind Chimes Meditation"));
    EXPECT_EQ(combo->itemText(44), QString());
    EXPECT_EQ(combo->itemText(54), QStringLiteral("963"));
    EXPECT_FALSE(combo->isEditable());
    EXPECT_TRUE(list->isHidden());
}

// Columns of the slider's tick marks: the first row from the top that holds
// a dark pixel in 101 separate columns.
QList<int> tickColumns(const QImage& slider)
{
    for (int y = 0; y < slider.height() / 2; ++y) {
        QList<int> columns;
        for (int x = 0; x < slider.width(); ++x)
            if (qGray(slider.pixel(x, y)) < 100)
                columns << x;
        if (columns.size() == 101)
            return columns;
    }
    return {};
}

TEST_F(Layout, OffsetSliderTicksLieUnderTheirBandBlocksAndTheThumbUnderItsTick)
{
    QSlider* slider = offsetSlider();
    slider->setValue(0);
    const QImage atZero = slider->grab().toImage();
    const QList<int> ticks = tickColumns(atZero);
    ASSERT_EQ(ticks.size(), 101);

    // In the strip's coordinates each band's positions lie within its block.
    struct Band {
        int firstHz, lastHz;
        const char* block;
    };
    for (const Band& band : {Band{1, 4, "Shape11"}, Band{5, 8, "Shape6"}, Band{9, 14, "Shape9"},
                             Band{15, 30, "Shape7"}, Band{31, 100, "Shape10"}}) {
        const QRect block = control(band.block)->geometry();
        for (int hz = band.firstHz; hz <= band.lastHz; ++hz) {
            const int x = slider->x() + ticks[hz];
            EXPECT_TRUE(x >= block.left() && x <= block.right()) << hz << " Hz at " << x << ", " << band.block;
        }
    }
    EXPECT_LT(slider->x() + ticks[0], control("Shape11")->x()) << "offset 0 has no band";

    // The thumb is what changes when the position moves: 32 pixels from top
    // to bottom, centred on the tick of its position.
    const QImage atHundred = [&] {
        slider->setValue(100);
        return slider->grab().toImage();
    }();
    for (int hz : {0, 4, 5, 30, 31, 99, 100}) {
        slider->setValue(hz);
        const QImage image = slider->grab().toImage();
        const QImage& other = hz < 50 ? atHundred : atZero;
        QRect thumb;
        for (int y = 0; y < image.height(); ++y)
            for (int x = std::max(0, ticks[hz] - 30); x < std::min(image.width(), ticks[hz] + 30); ++x)
                if (image.pixel(x, y) != other.pixel(x, y))
                    thumb |= QRect(x, y, 1, 1);
        EXPECT_EQ(thumb.height(), 32) << hz;
        EXPECT_EQ(thumb.left() + thumb.width() / 2, ticks[hz]) << hz;
    }
}

TEST_F(Layout, StartCaptionsUseTheWindowFontColour)
{
    for (const char* name : {"bstart", "StartButton"}) {
        const QImage image = control(name)->grab().toImage();
        int captionPixels = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                captionPixels += image.pixelColor(x, y) == QColor(0x4B1B5F);
        EXPECT_GT(captionPixels, 20) << name;
    }
}

TEST_F(Layout, RenderedWindowShowsMarginsFramesAndPicture)
{
    const QImage shot = m_form.grab().toImage();
    if (const QByteArray path = qgetenv("QUAVIRA_FRONT_SCREENSHOT"); !path.isEmpty())
        shot.save(QString::fromLocal8Bit(path));
    ASSERT_EQ(shot.size(), QSize(737, 486));

    const QColor band = windowColour();
    EXPECT_EQ(shot.pixelColor(3, 3), band);          // margin above the builder box
    EXPECT_EQ(shot.pixelColor(430, 420), band);      // between the credits boxes
    EXPECT_EQ(shot.pixelColor(730, 480), band);      // bottom right corner
    EXPECT_EQ(shot.pixelColor(9, 7), QColor(Qt::black));    // builder frame, 3 px
    EXPECT_EQ(shot.pixelColor(12, 12), QColor(Qt::white));  // just inside it
    EXPECT_EQ(shot.pixelColor(440, 400), QColor(Qt::black));
    EXPECT_EQ(shot.pixelColor(442, 400), QColor(Qt::white));
    // Block borders of the band strip: silver block, then the fuchsia one.
    EXPECT_EQ(shot.pixelColor(14 + 8 + 14 + 10, 11 + 140 + 38 + 15), QColor(0xC0C0C0));
    EXPECT_EQ(shot.pixelColor(14 + 8 + 32 + 12, 11 + 140 + 38 + 15), QColor(0xFF00FF));

    // The picture fills its 111 x 111 box with more than one colour.
    QSet<QRgb> colours;
    for (int y = 361; y < 472; y += 5)
        for (int x = 12; x < 123; x += 5)
            colours.insert(shot.pixel(x, y));
    EXPECT_GT(colours.size(), 3);
}

}  // namespace
}  // namespace fronttest
