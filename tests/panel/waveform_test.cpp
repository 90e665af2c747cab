// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the waveform view: graticule, overlay and the two traces.
#include "canvas.h"
#include "panel_fixture.h"

#include <QPixmap>

#include <set>
#include <utility>

using quavira::Channel;

// Q_INIT_RESOURCE must stand outside any namespace.
static void loadPanelResources()
{
    Q_INIT_RESOURCE(panel);
}

namespace {

const QRgb kRed = qRgb(255, 0, 0);
const QRgb kBlue = qRgb(0, 0, 255);
const QRgb kBlack = qRgb(0, 0, 0);
const QRgb kWhite = qRgb(255, 255, 255);

// The graticule's dots, from the description of the view.
std::set<std::pair<int, int>> graticuleDots()
{
    std::set<std::pair<int, int>> dots;
    const int ticks[] = {25, 69, 113, 157, 201, 245, 289, 333, 377};
    int from = 0;
    for (int tick = 0; tick <= 9; ++tick) {
        const int to = tick < 9 ? ticks[tick] : 402;
        for (int x = from; x < to; x += 3)
            dots.insert({x, 63});
        from = to + 1;
    }
    for (const int x : ticks)
        for (const int y : {59, 62, 64, 67})
            dots.insert({x, y});
    for (int y = 2; y <= 62; y += 3)
        dots.insert({201, y});
    for (int y = 64; y <= 127; y += 3)
        dots.insert({201, y});
    for (const int y : {2, 17, 32, 47, 79, 94, 109, 124})
        for (const int x : {198, 204})
            dots.insert({x, y});
    return dots;
}

TEST(GraticuleTest, PictureHasTheDotsAndTicksAndNothingElse)
{
    loadPanelResources();
    const QImage picture(QStringLiteral(":/graticule.xbm"));
    ASSERT_EQ(picture.size(), QSize(402, 128));
    const auto dots = graticuleDots();
    EXPECT_TRUE(dots.count({24, 63}) && dots.count({26, 63}) && dots.count({399, 63}) && !dots.count({25, 63}));
    int black = 0;
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 402; ++x) {
            const QRgb pixel = picture.pixel(x, y) | 0xFF000000;
            const bool dot = dots.count({x, y}) > 0;
            ASSERT_EQ(pixel, dot ? kBlack : kWhite) << x << "," << y;
            black += dot;
        }
    EXPECT_EQ(black, static_cast<int>(dots.size()));
}

TEST(CanvasTest, LinesLeaveOutTheirEndPointAndClip)
{
    Canvas canvas;
    canvas.resize(10, 10);
    canvas.fill();
    canvas.setPenColor(QColor(kRed));
    canvas.moveTo(2, 2);
    canvas.lineTo(2, 2);
    EXPECT_EQ(qAlpha(canvas.picture().pixel(2, 2)), 0) << "a zero-length line paints nothing";
    canvas.lineTo(5, 2);
    EXPECT_EQ(canvas.picture().pixel(2, 2), kRed);
    EXPECT_EQ(canvas.picture().pixel(4, 2), kRed);
    EXPECT_EQ(qAlpha(canvas.picture().pixel(5, 2)), 0);
    EXPECT_EQ(canvas.penPosition(), QPoint(5, 2));
    canvas.lineTo(5, 6);
    EXPECT_EQ(canvas.picture().pixel(5, 2), kRed);
    EXPECT_EQ(canvas.picture().pixel(5, 5), kRed);
    EXPECT_EQ(qAlpha(canvas.picture().pixel(5, 6)), 0);
    canvas.moveTo(8, 8);
    canvas.lineTo(14, 8);  // runs off the surface without harm
    EXPECT_EQ(canvas.picture().pixel(9, 8), kRed);
    EXPECT_EQ(canvas.clipRect(), QRect(0, 0, 10, 10));
    canvas.fill();
    EXPECT_EQ(qAlpha(canvas.picture().pixel(2, 2)), 0);
}

class WaveformTest : public PanelTest {
protected:
    const QImage& trace() { return ui().FImage->picture(); }
    int sample(int frame, Channel channel)
    {
        return m_engine->samples()[static_cast<std::size_t>(2 * frame) + static_cast<std::size_t>(channel)].load();
    }
    // The view as the user sees it: the graticule with the overlay on top.
    QImage composed()
    {
        ui().Panel2->ensurePolished();
        return ui().Panel2->grab().toImage().copy(4, 4, 402, 128);
    }
};

TEST_F(WaveformTest, InitialLeftTraceStartsAtNinetyFive)
{
    EXPECT_EQ(sample(0, Channel::Left), 191);
    EXPECT_EQ(trace().pixel(0, 95), kRed);
}

TEST_F(WaveformTest, EachFrameIsOnePixelAtHalfItsSample)
{
    m_panel->setFrequencyPosition(Channel::Left, 2000);
    m_panel->setFrequencyPosition(Channel::Right, 1234);
    ui().RAmplitudeTrackBar->setValue(30);
    for (int frame = 0; frame < 402; ++frame) {
        ASSERT_EQ(trace().pixel(frame, sample(frame, Channel::Left) / 2), kRed) << frame;
        const QRgb right = trace().pixel(frame, sample(frame, Channel::Right) / 2);
        ASSERT_TRUE(right == kBlue || right == kRed) << frame;
    }
    // Every painted pixel belongs to one of the two traces' colours.
    int blue = 0;
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 402; ++x) {
            const QRgb pixel = trace().pixel(x, y);
            if (qAlpha(pixel) == 0)
                continue;
            ASSERT_TRUE(pixel == kRed || pixel == kBlue) << x << "," << y;
            blue += pixel == kBlue;
        }
    EXPECT_GT(blue, 0);
}

TEST_F(WaveformTest, AmplitudeOneStaysOnRowsSixtyThreeAndSixtyFour)
{
    ui().LAmplitudeTrackBar->setValue(126);
    ui().RAmplitudeTrackBar->setValue(126);
    int painted = 0;
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 402; ++x)
            if (qAlpha(trace().pixel(x, y)) != 0) {
                ASSERT_TRUE(y == 63 || y == 64) << x << "," << y;
                ++painted;
            }
    EXPECT_GE(painted, 402);
}

TEST_F(WaveformTest, LoudestTraceNeverReachesTheBottomRow)
{
    ui().LAmplitudeTrackBar->setValue(1);
    ui().RAmplitudeTrackBar->setValue(1);
    bool top = false;
    for (int x = 0; x < 402; ++x) {
        ASSERT_EQ(qAlpha(trace().pixel(x, 127)), 0) << x;
        top = top || qAlpha(trace().pixel(x, 0)) != 0;
    }
    EXPECT_TRUE(top) << "sample 1 is drawn on row 0";
}

TEST_F(WaveformTest, RedCoversBlueWhereTheTracesMeet)
{
    m_panel->setFrequencyPosition(Channel::Right, 700);
    m_panel->setFrequencyPosition(Channel::Left, 700);
    int sharedRed = 0;
    for (int frame = 0; frame < 402; ++frame)
        if (sample(frame, Channel::Left) / 2 == sample(frame, Channel::Right) / 2) {
            ASSERT_EQ(trace().pixel(frame, sample(frame, Channel::Left) / 2), kRed) << frame;
            ++sharedRed;
        }
    EXPECT_GT(sharedRed, 50);
}

TEST_F(WaveformTest, RedrawClearsThePreviousTraces)
{
    ASSERT_EQ(trace().pixel(0, 95), kRed);
    ui().LPhaseTrackBar->setValue(500);  // left now starts at the trough
    EXPECT_EQ(trace().pixel(0, sample(0, Channel::Left) / 2), kRed);
    EXPECT_NE(trace().pixel(0, 95), kRed);
}

TEST_F(WaveformTest, GraticuleShowsThroughWhereNoTraceIs)
{
    const QImage view = composed();
    ASSERT_EQ(view.size(), QSize(402, 128));
    // Traces at amplitude 64 lie on rows 31..95: the top of the vertical
    // axis and its ticks are clear of them.
    EXPECT_EQ(view.pixel(201, 2) | 0xFF000000, kBlack);
    EXPECT_EQ(view.pixel(198, 17) | 0xFF000000, kBlack);
    EXPECT_EQ(view.pixel(201, 124) | 0xFF000000, kBlack);
    EXPECT_EQ(view.pixel(100, 120) | 0xFF000000, kWhite);
    EXPECT_EQ(view.pixel(200, 2) | 0xFF000000, kWhite);
    EXPECT_EQ(view.pixel(0, 95) | 0xFF000000, kRed);
    for (int frame = 0; frame < 402; ++frame)
        ASSERT_EQ(view.pixel(frame, sample(frame, Channel::Left) / 2) | 0xFF000000, kRed) << frame;
}

TEST_F(WaveformTest, DrawsFourHundredThreePointsWithTheLastClipped)
{
    EXPECT_EQ(m_panel->waveformPoints(), 403);
    EXPECT_EQ(ui().FImage->clipRect(), QRect(0, 0, 402, 128));
    // The last segment, from frame 401 to 402, paints frame 401.
    EXPECT_EQ(trace().pixel(401, sample(401, Channel::Left) / 2), kRed);
}

}  // namespace
