// The player's spectrum and oscilloscope, read back from their pixels: a picture painted from
// known blocks.
#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>

#include "player/visualisation.h"
#include "tests/pixels.h"

using vis::Visualisation;

namespace {

// Topmost lit pixel of a band's column, or -1.
int TopLit(const Picture& picture, const RECT& area, int band)
{
    RECT bar = Visualisation::BandBar(area, band);
    for (int y = bar.top; y < bar.bottom; ++y)
        if (picture.Bright((bar.left + bar.right) / 2, y))
            return y;
    return -1;
}

// Blocks of two sines, each at `amplitude` of full scale, on both channels.
void Feed(Visualisation& shown, int blocks, double hz1, double hz2, double amplitude, long& frame)
{
    for (int b = 0; b < blocks; ++b) {
        short block[vis::kBlockFrames * 2];
        for (int i = 0; i < vis::kBlockFrames; ++i, ++frame) {
            double t = (double)frame / vis::kSampleRate;
            double v = amplitude * (std::sin(2 * M_PI * hz1 * t) + std::sin(2 * M_PI * hz2 * t));
            block[2 * i] = block[2 * i + 1] = (short)std::lround(v * 32767);
        }
        shown.Intake(block);
    }
}

} // namespace

TEST(Visualisation, TwoTonesStandAsTwoBarsWhosePeaksFallBackSlowly)
{
    Visualisation shown;
    Picture picture(480, 170);
    const RECT& area = picture.area;
    const int low = 20, high = 27; // where a tone lights one band alone
    const double low_hz = vis::BandCentreHz(low), high_hz = vis::BandCentreHz(high);
    ASSERT_EQ(vis::BandOf(low_hz), low);
    ASSERT_EQ(vis::BandOf(high_hz), high);
    long frame = 0;
    DWORD now = 5000;

    shown.SetState(vis::State::kPlaying, now);
    Feed(shown, vis::kRingBlocks, low_hz, high_hz, 0.25, frame);
    shown.Update(now += 40);
    shown.Paint(picture.dc, area);
    std::vector<int> heights = BarHeights(picture);
    // Each tone at a quarter of full scale is 12 dB down.
    RECT plot = Visualisation::SpectrumPlot(area);
    int expected = (int)std::lround((plot.bottom - plot.top) * (1 + 12 / vis::kFloorDb));
    EXPECT_NEAR(heights[low], expected, 3);
    EXPECT_NEAR(heights[high], expected, 3);
    for (int band = 0; band < vis::kBands; ++band) {
        if (band != low && band != high)
            EXPECT_LT(heights[band], expected - 10) << "band " << band;
        if (std::abs(band - low) > 1 && std::abs(band - high) > 1)
            EXPECT_LT(heights[band], expected / 2) << "band " << band;
    }
    // The oscilloscope draws something in both lanes.
    RECT scope = {area.left + 10, area.top + 10, plot.left - 10, area.bottom - 10};
    int lit_upper = 0, lit_lower = 0, middle = (scope.top + scope.bottom) / 2;
    for (int y = scope.top; y < scope.bottom; ++y)
        for (int x = scope.left; x < scope.right; x += 4)
            (y < middle ? lit_upper : lit_lower) += picture.Bright(x, y);
    EXPECT_GT(lit_upper, 100);
    EXPECT_GT(lit_lower, 100);

    // Silence: the bars sink, the peak marks hold at the tones' level, then fall.
    int peak_y = TopLit(picture, area, high);
    for (int i = 0; i < 2; ++i) {
        Feed(shown, vis::kRingBlocks, 0, 0, 0, frame);
        shown.Update(now += 200);
    }
    shown.Paint(picture.dc, area);
    heights = BarHeights(picture);
    EXPECT_LT(heights[high], expected - 20);
    EXPECT_NEAR(TopLit(picture, area, high), peak_y, 1) << "the peak holds";
    for (int i = 0; i < 30; ++i) {
        Feed(shown, 1, 0, 0, 0, frame);
        shown.Update(now += 200);
    }
    shown.Paint(picture.dc, area);
    EXPECT_EQ(TopLit(picture, area, high), -1) << "the peak has fallen";

    // Playing with no block arriving (capture off), paused, stopped: no bars.
    Feed(shown, vis::kRingBlocks, low_hz, high_hz, 0.25, frame);
    shown.Update(now += 40);
    shown.Update(now += vis::kStaleMs);
    shown.Paint(picture.dc, area);
    EXPECT_EQ(TopLit(picture, area, low), -1) << "capture off";
    for (vis::State state : {vis::State::kPaused, vis::State::kStopped}) {
        shown.SetState(state, now);
        Feed(shown, 1, low_hz, high_hz, 0.25, frame);
        shown.Update(now += 40);
        shown.Paint(picture.dc, area);
        EXPECT_EQ(TopLit(picture, area, low), -1) << (int)state;
    }
}
