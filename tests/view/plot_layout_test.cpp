#include "view/plot_layout.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

namespace {

Series seriesOf(std::initializer_list<double> values) {
    Series s;
    s.allocate(static_cast<int32_t>(values.size()));
    int32_t i = 0;
    for (double v : values) s[i++] = v;
    return s;
}

// log10 r for r = 1 .. n.
Series logLags(int n) {
    Series s;
    s.allocate(n);
    for (int i = 0; i < n; ++i) s[i] = std::log10(static_cast<double>(i + 1));
    return s;
}

std::vector<std::string> texts(const std::vector<PlotLabel>& labels) {
    std::vector<std::string> out;
    for (const PlotLabel& label : labels) out.push_back(label.text);
    return out;
}

std::vector<int> xs(const std::vector<PlotLabel>& labels) {
    std::vector<int> out;
    for (const PlotLabel& label : labels) out.push_back(label.x);
    return out;
}

std::vector<int> ys(const std::vector<PlotLabel>& labels) {
    std::vector<int> out;
    for (const PlotLabel& label : labels) out.push_back(label.y);
    return out;
}

// The tick step as the counting loop finds it, one multiple of 200 at a time.
int loopedStep(float xmax) {
    int step = 200;
    float ratio = xmax * 0.005f;
    while (ratio > 5.0f) {
        step = step + 200;
        ratio = xmax / static_cast<float>(step);
    }
    return step;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Line-length x axis

struct LengthCase {
    double largest;
    float xmax;
    int step;
    std::vector<std::string> labels;
    std::vector<int> positions;
};

TEST(LengthAxis, TicksAndLabelsFollowTheLargestLength) {
    const std::vector<LengthCase> cases = {
        {100, 150, 200, {"0"}, {90}},
        {640, 690, 200, {"0", "200", "400", "600"}, {90, 212, 334, 456}},
        {950, 1000, 200, {"0", "200", "400", "600", "800", "1000"}, {90, 174, 258, 343, 427, 512}},
        {1000, 1050, 400, {"0", "400", "800"}, {90, 250, 411}},
        {2000, 2050, 600, {"0", "600", "1200", "1800"}, {90, 213, 337, 460}},
    };
    for (const LengthCase& c : cases) {
        SCOPED_TRACE(c.largest);
        const LengthAxis axis = lengthAxis(seriesOf({c.largest * 0.5, c.largest, 10.0}));
        ASSERT_TRUE(axis.usable);
        EXPECT_EQ(axis.xmax, c.xmax);
        EXPECT_EQ(axis.step, c.step);
        EXPECT_EQ(axis.nTicks, static_cast<int>(c.labels.size()) - 1);
        EXPECT_EQ(texts(axis.labels), c.labels);
        EXPECT_EQ(xs(axis.labels), c.positions);
        EXPECT_EQ(ys(axis.labels), std::vector<int>(c.labels.size(), 30));
        EXPECT_EQ(axis.tickX.size(), c.labels.size());
    }
}

TEST(LengthAxis, LargestLengthIsRoundedHalfAwayFromZeroBeforeTheMargin) {
    EXPECT_EQ(lengthAxis(seriesOf({949.5})).xmax, 1000.0f);
    EXPECT_EQ(lengthAxis(seriesOf({949.49})).xmax, 999.0f);
}

TEST(LengthAxis, StepMatchesTheCountingLoopOverManyLengths) {
    for (double largest = 0.0; largest < 60000.0; largest += 3.7) {
        const LengthAxis axis = lengthAxis(seriesOf({largest}));
        ASSERT_TRUE(axis.usable) << largest;
        ASSERT_EQ(axis.step, loopedStep(axis.xmax)) << largest;
        ASSERT_LE(axis.nTicks, 5) << largest;
    }
    // Around the multiples of 1000, where the loop's last step changes.
    for (int k = 1; k < 3000; ++k) {
        for (double d = -51.0; d <= -49.0; d += 0.5) {
            const LengthAxis axis = lengthAxis(seriesOf({1000.0 * k + d}));
            ASSERT_EQ(axis.step, loopedStep(axis.xmax)) << 1000.0 * k + d;
        }
    }
}

TEST(LengthAxis, IsNotUsableWithoutAFinitePositiveRange) {
    EXPECT_FALSE(lengthAxis(Series()).usable);
    EXPECT_FALSE(lengthAxis(seriesOf({NAN, INFINITY})).usable);
    EXPECT_FALSE(lengthAxis(seriesOf({-50.0})).usable);   // xmax = 0 would divide by zero
    EXPECT_FALSE(lengthAxis(seriesOf({-400.0})).usable);  // xmax < 0
    EXPECT_FALSE(lengthAxis(seriesOf({1e30})).usable);    // returns at once, no endless loop
    EXPECT_TRUE(lengthAxis(seriesOf({1e30})).labels.empty());
}

TEST(LengthAxis, SkipsNonFiniteLengthsInTheRange) {
    const LengthAxis axis = lengthAxis(seriesOf({NAN, 640.0, INFINITY}));
    ASSERT_TRUE(axis.usable);
    EXPECT_EQ(axis.xmax, 690.0f);
}

TEST(LengthAxis, VeryLongLinesStillGiveAtMostSixLabelsThatFitInInt) {
    const LengthAxis axis = lengthAxis(seriesOf({9.9e8}));
    ASSERT_TRUE(axis.usable);
    EXPECT_EQ(axis.step, loopedStep(axis.xmax));
    EXPECT_LE(axis.labels.size(), 6u);
    EXPECT_EQ(axis.labels.back().text, std::to_string(axis.nTicks * axis.step));
}

// ---------------------------------------------------------------------------------------------
// Line-length y axes and points

TEST(ValueAxis, LabelsForAYmaxOfThreeAndAHalf) {
    const ValueAxis axis = roughnessAxis(seriesOf({2.2, 3.0}), seriesOf({1.0}), seriesOf({2.9}));
    ASSERT_TRUE(axis.usable);
    EXPECT_EQ(axis.ymax, 3.5f);
    EXPECT_EQ(texts(axis.labels),
              (std::vector<std::string>{"0.0", "0.7", "1.4", "2.1", "2.8", "3.5"}));
    EXPECT_EQ(ys(axis.labels), (std::vector<int>{60, 144, 228, 313, 397, 482}));
    EXPECT_EQ(xs(axis.labels), std::vector<int>(6, 45));
}

TEST(ValueAxis, RoughnessTopComesFromTheLargestOfTheThreeSeries) {
    EXPECT_EQ(roughnessAxis(seriesOf({1.0}), seriesOf({4.2}), seriesOf({2.0})).ymax, 5.5f);
    EXPECT_EQ(roughnessAxis(seriesOf({1.0}), seriesOf({0.5}), seriesOf({6.0})).ymax, 6.5f);
    // A whole number still gets the half-unit margin above it.
    EXPECT_EQ(roughnessAxis(seriesOf({3.0}), seriesOf({1.0}), seriesOf({1.0})).ymax, 3.5f);
}

TEST(ValueAxis, UncertaintyTopIsTheCeilingPlusOne) {
    EXPECT_EQ(uncertaintyAxis(seriesOf({2.3, 14.01, 7.0})).ymax, 16.0f);
    EXPECT_EQ(uncertaintyAxis(seriesOf({14.0})).ymax, 15.0f);
    EXPECT_EQ(texts(uncertaintyAxis(seriesOf({4.0})).labels),
              (std::vector<std::string>{"0.0", "1.0", "2.0", "3.0", "4.0", "5.0"}));
}

TEST(ValueAxis, IsNotUsableWithoutFiniteValuesOrAPositiveTop) {
    EXPECT_FALSE(uncertaintyAxis(Series()).usable);
    EXPECT_FALSE(uncertaintyAxis(seriesOf({NAN})).usable);
    EXPECT_FALSE(uncertaintyAxis(seriesOf({-1.0})).usable);  // ymax 0
    EXPECT_FALSE(uncertaintyAxis(seriesOf({-7.5})).usable);
    EXPECT_TRUE(uncertaintyAxis(seriesOf({-1.0})).labels.empty());
    EXPECT_FALSE(roughnessAxis(Series(), Series(), Series()).usable);
    // One empty series does not hide the others.
    EXPECT_EQ(roughnessAxis(Series(), seriesOf({1.2}), Series()).ymax, 2.5f);
    EXPECT_EQ(roughnessAxis(seriesOf({INFINITY, 1.2}), Series(), Series()).ymax, 2.5f);
}

TEST(LengthPlotPoints, MapLengthAndValueIntoTheBox) {
    const Series lengths = seriesOf({100.0, 50.0});
    const LengthAxis x = lengthAxis(lengths);
    const ValueAxis y = uncertaintyAxis(seriesOf({3.0}));  // ymax 4
    const std::vector<PlotVertex> points = lengthPlotPoints(x, y, lengths, seriesOf({2.0, 4.0}));
    ASSERT_EQ(points.size(), 2u);
    // xmax 150: the largest length lies at two thirds of the box width.
    EXPECT_FLOAT_EQ(points[0].x, 90.0f + 422.0f * 2.0f / 3.0f);
    EXPECT_EQ(points[0].y, 271.0f);
    EXPECT_EQ(points[1].y, 482.0f);
    EXPECT_TRUE(points[0].startsRun);
    EXPECT_FALSE(points[1].startsRun);
}

TEST(LengthPlotPoints, LeaveOutNonFinitePointsAndBreakTheStripThere) {
    const Series lengths = seriesOf({100.0, 200.0, 300.0, 400.0});
    const LengthAxis x = lengthAxis(lengths);
    const ValueAxis y = uncertaintyAxis(seriesOf({3.0}));
    const std::vector<PlotVertex> points =
        lengthPlotPoints(x, y, lengths, seriesOf({1.0, NAN, 2.0, 3.0}));
    ASSERT_EQ(points.size(), 3u);
    EXPECT_TRUE(points[0].startsRun);
    EXPECT_TRUE(points[1].startsRun);
    EXPECT_FALSE(points[2].startsRun);
}

TEST(LengthPlotPoints, ReadOnlyAsFarAsTheShorterSeries) {
    const Series lengths = seriesOf({100.0, 200.0, 300.0});
    const LengthAxis x = lengthAxis(lengths);
    const ValueAxis y = uncertaintyAxis(seriesOf({3.0}));
    EXPECT_EQ(lengthPlotPoints(x, y, lengths, seriesOf({1.0})).size(), 1u);
    EXPECT_EQ(lengthPlotPoints(x, y, seriesOf({100.0}), seriesOf({1.0, 2.0})).size(), 1u);
    EXPECT_TRUE(lengthPlotPoints(x, ValueAxis(), lengths, lengths).empty());
    EXPECT_TRUE(lengthPlotPoints(LengthAxis(), y, lengths, lengths).empty());
}

TEST(LengthPlotLevel, IsAHorizontalLineOverTheLengths) {
    const Series lengths = seriesOf({640.0, 320.0});
    const LengthAxis x = lengthAxis(lengths);
    const ValueAxis y = roughnessAxis(seriesOf({3.0}), seriesOf({1.0}), seriesOf({3.2}));
    const std::vector<PlotVertex> level = lengthPlotLevel(x, y, lengths, 3.2);
    ASSERT_EQ(level.size(), 2u);
    EXPECT_EQ(level[0].y, level[1].y);
    EXPECT_FLOAT_EQ(level[0].y, 60.0f + 422.0f * 3.2f / 4.5f);
    EXPECT_TRUE(lengthPlotLevel(x, y, lengths, NAN).empty());
}

TEST(InfiniteLabel, StandsSevenUnitsAboveTheLevelLine) {
    const ValueAxis y = roughnessAxis(seriesOf({3.0}), seriesOf({1.0}), seriesOf({3.2}));
    PlotLabel label;
    ASSERT_TRUE(infiniteLabel(y, seriesOf({3.2}), label));
    EXPECT_EQ(label.x, 100);
    EXPECT_EQ(label.y, 367);  // 422 * 3.2 / 4.5 + 67 = 367.09
    EXPECT_EQ(label.text, "3sigma infinite");
}

TEST(InfiniteLabel, IsLeftOutWithoutAValueOrARange) {
    const ValueAxis y = uncertaintyAxis(seriesOf({3.0}));
    PlotLabel label;
    EXPECT_FALSE(infiniteLabel(y, Series(), label));
    EXPECT_FALSE(infiniteLabel(y, seriesOf({NAN}), label));
    EXPECT_FALSE(infiniteLabel(ValueAxis(), seriesOf({3.0}), label));
}

TEST(LengthTickY, TruncatesToTheGridRows) {
    const int expected[] = {60, 144, 228, 313, 397, 482};
    for (int j = 0; j <= 5; ++j) EXPECT_EQ(static_cast<int>(lengthTickY(j)), expected[j]);
}

// ---------------------------------------------------------------------------------------------
// HHCF axes

TEST(HhcfAxes, RangeFromMinusOnePointThreeToZeroPointEight) {
    const HhcfAxes axes =
        hhcfAxes(logLags(50), seriesOf({-1.3, 0.2, 0.8}), logLags(10), seriesOf({-1.0, 0.5}));
    ASSERT_TRUE(axes.yUsable);
    EXPECT_FLOAT_EQ(axes.s, 0.6f);
    EXPECT_FLOAT_EQ(axes.yLow, -1.8f);
    EXPECT_FLOAT_EQ(axes.yHigh, 1.2f);
    EXPECT_EQ(texts(axes.yLabels),
              (std::vector<std::string>{"-1.8", "-1.2", "-0.6", "0.0", "0.6", "1.2"}));
    EXPECT_EQ(ys(axes.yLabels), (std::vector<int>{40, 132, 224, 317, 409, 502}));
    EXPECT_EQ(xs(axes.yLabels), std::vector<int>(6, 45));
}

TEST(HhcfAxes, RangeFromZeroPointThreeToTwoPointTwo) {
    const HhcfAxes axes =
        hhcfAxes(logLags(50), seriesOf({0.3, 1.0, 2.2}), logLags(2), seriesOf({0.5, 2.0}));
    ASSERT_TRUE(axes.yUsable);
    EXPECT_FLOAT_EQ(axes.s, 0.4f);
    EXPECT_EQ(axes.yLow, 0.0f);
    EXPECT_FLOAT_EQ(axes.yHigh, 2.4f);
    EXPECT_FLOAT_EQ(axes.tick, 0.48f);
    EXPECT_EQ(texts(axes.yLabels),
              (std::vector<std::string>{"0.0", "0.5", "1.0", "1.4", "1.9", "2.4"}));
}

TEST(HhcfAxes, BottomIsStrictlyBelowANegativeMinimumAndAtOrBelowAPositiveOne) {
    // s = 0.4 in both: a negative minimum of exactly -2s goes one step further down.
    HhcfAxes axes = hhcfAxes(logLags(5), seriesOf({-0.8f, 0.9}), logLags(5), seriesOf({0.0}));
    EXPECT_FLOAT_EQ(axes.yLow, -3.0f * 0.4f);
    // A positive minimum of exactly 2s is its own bottom.
    axes = hhcfAxes(logLags(5), seriesOf({0.8f, 2.5}), logLags(5), seriesOf({1.0}));
    EXPECT_FLOAT_EQ(axes.yLow, 2.0f * 0.4f);
    // A minimum below one step gives 0.
    axes = hhcfAxes(logLags(5), seriesOf({0.1, 1.5}), logLags(5), seriesOf({1.0}));
    EXPECT_EQ(axes.yLow, 0.0f);
}

TEST(HhcfAxes, AllNegativeValuesEndTheAxisAtZero) {
    const HhcfAxes axes =
        hhcfAxes(logLags(5), seriesOf({-2.5, -0.3}), logLags(5), seriesOf({-1.0}));
    ASSERT_TRUE(axes.yUsable);
    EXPECT_EQ(axes.yHigh, 0.0f);
    EXPECT_EQ(axes.yLabels.back().text, "0.0");
}

TEST(HhcfAxes, BoundsMatchTheCountingLoopsForSeededRanges) {
    std::mt19937 random(20240611u);
    std::uniform_real_distribution<float> value(-40.0f, 40.0f);
    for (int n = 0; n < 20000; ++n) {
        float a = value(random);
        float b = value(random);
        if (n % 3 == 0) b = a + 0.25f * static_cast<float>(n % 17);  // small and whole ranges
        const float lo = a < b ? a : b;
        const float hi = a < b ? b : a;
        const HhcfAxes axes = hhcfAxes(logLags(3), seriesOf({lo, hi}), logLags(3), seriesOf({hi}));
        ASSERT_TRUE(axes.yUsable);
        float whole = std::ceil(hi - lo);
        if (whole == 0.0f) whole = 1.0f;
        const float s = whole * 0.2f;
        float yLow = 0.0f;
        if (lo < 0.0f) {
            int k = 1;
            while (!(-static_cast<float>(k) * s < lo)) ++k;
            yLow = -static_cast<float>(k) * s;
        } else {
            int k = 0;
            while (static_cast<float>(k + 1) * s <= lo) ++k;
            yLow = static_cast<float>(k) * s;
        }
        float yHigh = 0.0f;
        if (hi >= 0.0f) {
            int k = 1;
            while (!(static_cast<float>(k) * s > hi)) ++k;
            yHigh = static_cast<float>(k) * s;
        }
        ASSERT_EQ(axes.s, s) << lo << " " << hi;
        ASSERT_EQ(axes.yLow, yLow) << lo << " " << hi;
        ASSERT_EQ(axes.yHigh, yHigh) << lo << " " << hi;
    }
}

TEST(HhcfAxes, LagsUpToFiftyGiveTwoDecades) {
    const HhcfAxes axes = hhcfAxes(logLags(50), seriesOf({0.1, 1.0}), logLags(50), seriesOf({1.0}));
    ASSERT_TRUE(axes.xUsable);
    EXPECT_EQ(axes.xDecades, 2.0f);
    EXPECT_EQ(texts(axes.xLabels), (std::vector<std::string>{"0", "1", "2"}));
    EXPECT_EQ(xs(axes.xLabels), (std::vector<int>{90, 301, 512}));
    EXPECT_EQ(ys(axes.xLabels), std::vector<int>(3, 20));
    EXPECT_EQ(axes.tickX, (std::vector<float>{90.0f, 301.0f, 512.0f}));
}

TEST(HhcfAxes, LagsUpToOneHundredFiftyGiveThreeDecades) {
    const Series lags = logLags(150);
    const Series values = logLags(150);
    const HhcfAxes axes = hhcfAxes(lags, values, logLags(2), seriesOf({0.0}));
    EXPECT_EQ(axes.xDecades, 3.0f);
    EXPECT_EQ(xs(axes.xLabels), (std::vector<int>{90, 230, 371, 512}));
    const std::vector<PlotVertex> points = hhcfPoints(axes, lags, values);
    ASSERT_EQ(points.size(), 150u);
    EXPECT_NEAR((points.back().x - 90.0f) / 422.0f, 0.726f, 0.001f);
}

TEST(HhcfAxes, TheFittedCurveCanWidenTheXRange) {
    const HhcfAxes axes =
        hhcfAxes(logLags(50), seriesOf({0.5}), seriesOf({0.0, 2.3}), seriesOf({0.1, 0.9}));
    EXPECT_EQ(axes.xDecades, 3.0f);
}

TEST(HhcfAxes, EqualValuesStillGiveAFiniteAxisAroundThem) {
    const HhcfAxes axes = hhcfAxes(logLags(4), seriesOf({0.5, 0.5}), logLags(2), seriesOf({0.5}));
    ASSERT_TRUE(axes.yUsable);
    EXPECT_FLOAT_EQ(axes.s, 0.2f);
    EXPECT_LE(axes.yLow, 0.5f);
    EXPECT_GT(axes.yHigh, 0.5f);
    EXPECT_EQ(axes.yLabels.size(), 6u);
    const std::vector<PlotVertex> points = hhcfPoints(axes, logLags(4), seriesOf({0.5, 0.5}));
    ASSERT_EQ(points.size(), 2u);
    EXPECT_GT(points[0].y, 40.0f);
    EXPECT_LT(points[0].y, 502.0f);
}

TEST(HhcfAxes, AnHhcfOfZeroIsLeftOutOfTheRangeAndThePoints) {
    // log10 of an HHCF of 0 is minus infinity.
    const Series values = seriesOf({-INFINITY, -1.3, 0.8, NAN});
    const HhcfAxes axes = hhcfAxes(logLags(4), values, logLags(4), seriesOf({-1.0, 0.5}));
    ASSERT_TRUE(axes.yUsable);
    EXPECT_FLOAT_EQ(axes.yLow, -1.8f);
    const std::vector<PlotVertex> points = hhcfPoints(axes, logLags(4), values);
    ASSERT_EQ(points.size(), 2u);
    EXPECT_TRUE(points[0].startsRun);
    for (const PlotVertex& p : points) {
        EXPECT_TRUE(std::isfinite(p.x));
        EXPECT_TRUE(std::isfinite(p.y));
    }
}

TEST(HhcfAxes, ASingleLagOfOnePixelIsDrawnOverOneDecade) {
    const HhcfAxes axes =
        hhcfAxes(seriesOf({0.0}), seriesOf({0.3}), seriesOf({0.0}), seriesOf({0.3}));
    ASSERT_TRUE(axes.xUsable);
    EXPECT_EQ(axes.xDecades, 1.0f);
    EXPECT_EQ(texts(axes.xLabels), (std::vector<std::string>{"0", "1"}));
    const std::vector<PlotVertex> points = hhcfPoints(axes, seriesOf({0.0}), seriesOf({0.3}));
    ASSERT_EQ(points.size(), 1u);
    EXPECT_EQ(points[0].x, 90.0f);
}

TEST(HhcfAxes, EmptyOrNonFiniteSeriesLeaveOnlyTheFrame) {
    HhcfAxes axes = hhcfAxes(Series(), Series(), Series(), Series());
    EXPECT_FALSE(axes.xUsable);
    EXPECT_FALSE(axes.yUsable);
    EXPECT_TRUE(axes.xLabels.empty());
    EXPECT_TRUE(axes.yLabels.empty());
    EXPECT_TRUE(hhcfPoints(axes, logLags(3), logLags(3)).empty());

    axes = hhcfAxes(logLags(3), seriesOf({NAN, -INFINITY}), Series(), Series());
    EXPECT_TRUE(axes.xUsable);
    EXPECT_FALSE(axes.yUsable);
}

TEST(HhcfAxes, ExtremeValuesReturnAtOnceWithoutAnAxis) {
    // Tiny range far from zero: billions of steps to count.
    HhcfAxes axes = hhcfAxes(logLags(3), seriesOf({1e30, 1e30}), logLags(3), seriesOf({1e30}));
    EXPECT_FALSE(axes.yUsable);
    axes = hhcfAxes(logLags(3), seriesOf({-1e9, -1e9}), logLags(3), seriesOf({-1e9}));
    EXPECT_FALSE(axes.yUsable);
    // Range beyond float: the step is infinite.
    axes = hhcfAxes(logLags(3), seriesOf({-3e38, 3e38}), logLags(3), seriesOf({0.0}));
    EXPECT_FALSE(axes.yUsable);
    axes = hhcfAxes(seriesOf({1e20}), seriesOf({1.0}), seriesOf({1.0}), seriesOf({1.0}));
    EXPECT_FALSE(axes.xUsable);
}

TEST(HhcfPoints, ReadOnlyAsFarAsTheShorterSeries) {
    const HhcfAxes axes = hhcfAxes(logLags(10), logLags(10), logLags(10), logLags(10));
    EXPECT_EQ(hhcfPoints(axes, logLags(3), logLags(10)).size(), 3u);
    EXPECT_EQ(hhcfPoints(axes, logLags(10), logLags(4)).size(), 4u);
}

TEST(HhcfTickY, TruncatesToTheGridRows) {
    const int expected[] = {40, 132, 224, 317, 409, 502};
    for (int j = 0; j <= 5; ++j) EXPECT_EQ(static_cast<int>(hhcfTickY(j)), expected[j]);
}

// ---------------------------------------------------------------------------------------------
// Image view

TEST(TextureSide, IsTheLargestPowerOfTwoStrictlyBelowTheSide) {
    EXPECT_EQ(textureSide(1024), 512);
    EXPECT_EQ(textureSide(512), 256);
    EXPECT_EQ(textureSide(1000), 512);
    EXPECT_EQ(textureSide(513), 512);
    EXPECT_EQ(textureSide(640), 512);
    EXPECT_EQ(textureSide(480), 256);
    EXPECT_EQ(textureSide(3), 2);
    EXPECT_EQ(textureSide(2), 1);
    EXPECT_EQ(textureSide(INT_MAX), 1 << 30);
}

TEST(TextureSide, ASideOfOneStaysOneAndNoSideGivesNone) {
    EXPECT_EQ(textureSide(1), 1);
    EXPECT_EQ(textureSide(0), 0);
    EXPECT_EQ(textureSide(-5), 0);
}

TEST(ImageCaption, AppendsTheViewNameToTheFileName) {
    EXPECT_EQ(imageCaption("lines/wafer 7.tif"), "lines/wafer 7.tif : SEM image");
}

TEST(ImageCaption, IsCutToTheBufferForLongNames) {
    const std::string fits(243, 'n');
    EXPECT_EQ(imageCaption(fits), fits + " : SEM image");
    EXPECT_EQ(imageCaption(fits).size(), 255u);
    const std::string longName(1000, 'n');
    const std::string caption = imageCaption(longName);
    EXPECT_EQ(caption.size(), 255u);
    EXPECT_EQ(caption, std::string(255, 'n'));
}

TEST(ImageQuad, BottomRowFirstPicturesKeepTextureRowZeroAtTheBottom) {
    const std::array<QuadCorner, 4> quad = imageQuad(false);
    const float expected[4][4] = {{0, 0, 0, 0}, {0, 1, 0, 502}, {1, 1, 512, 502}, {1, 0, 512, 0}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(quad[i].s, expected[i][0]);
        EXPECT_EQ(quad[i].t, expected[i][1]);
        EXPECT_EQ(quad[i].x, expected[i][2]);
        EXPECT_EQ(quad[i].y, expected[i][3]);
    }
}

TEST(ImageQuad, TopRowFirstPicturesAreFlippedInTOnly) {
    const std::array<QuadCorner, 4> upright = imageQuad(false);
    const std::array<QuadCorner, 4> flipped = imageQuad(true);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(flipped[i].s, upright[i].s);
        EXPECT_EQ(flipped[i].t, 1.0f - upright[i].t);
        EXPECT_EQ(flipped[i].x, upright[i].x);
        EXPECT_EQ(flipped[i].y, upright[i].y);
    }
    // Buffer row 0 (t = 0) lies along the top edge.
    EXPECT_EQ(flipped[1].t, 0.0f);
    EXPECT_EQ(flipped[1].y, 502.0f);
}

// ---------------------------------------------------------------------------------------------
// Position guard

TEST(TruncatePosition, TruncatesTowardZeroAndRefusesWhatIntCannotHold) {
    int v = 7;
    ASSERT_TRUE(truncatePosition(371.9f, v));
    EXPECT_EQ(v, 371);
    ASSERT_TRUE(truncatePosition(-0.5f, v));
    EXPECT_EQ(v, 0);
    ASSERT_TRUE(truncatePosition(-12.7f, v));
    EXPECT_EQ(v, -12);
    v = 7;
    EXPECT_FALSE(truncatePosition(NAN, v));
    EXPECT_FALSE(truncatePosition(INFINITY, v));
    EXPECT_FALSE(truncatePosition(-INFINITY, v));
    EXPECT_FALSE(truncatePosition(3e9f, v));
    EXPECT_EQ(v, 7);
}
