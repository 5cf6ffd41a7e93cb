#include "fit/robust_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

TEST(KthSmallest, ReturnsEveryOrderStatisticOfAShuffledArray) {
    std::vector<double> sorted = {-3.5, -1.0, 0.0, 0.25, 2.0, 2.0, 7.0, 9.5, 11.0};
    std::mt19937 random(7);
    for (int32_t k = 0; k < static_cast<int32_t>(sorted.size()); ++k) {
        std::vector<double> values = sorted;
        std::shuffle(values.begin(), values.end(), random);
        EXPECT_EQ(kthSmallest(k, values.data(), static_cast<int32_t>(values.size())),
                  sorted[static_cast<size_t>(k)]);
    }
}

TEST(KthSmallest, RanksNotANumberAboveEveryValueAndRefusesAnIndexOutsideTheArray) {
    std::vector<double> values = {3.0, NAN, 1.0, NAN, 2.0};
    EXPECT_EQ(kthSmallest(0, values.data(), 5), 1.0);
    EXPECT_EQ(kthSmallest(2, values.data(), 5), 3.0);
    EXPECT_TRUE(std::isnan(kthSmallest(4, values.data(), 5)));
    EXPECT_TRUE(std::isnan(kthSmallest(5, values.data(), 5)));
    EXPECT_TRUE(std::isnan(kthSmallest(-1, values.data(), 5)));
    EXPECT_TRUE(std::isnan(kthSmallest(0, nullptr, 0)));
}

TEST(SignSum, TakesTheMeanOfTheTwoMiddleResidualsForAnEvenCount) {
    const double x[] = {3.0, 1.0, 4.0, 2.0};
    const double y[] = {3.0, 1.0, 4.0, 2.0};
    double scratch[4];
    RobustFitState state;
    state.n = 4;
    state.x = x;
    state.y = y;
    state.scratch = scratch;
    // At slope 0 the residuals are the y values themselves: median 2.5.
    const double s = signSum(state, 0.0);
    EXPECT_EQ(state.intercept, 2.5);
    EXPECT_EQ(state.absDeviation, 4.0);
    // Residuals +0.5, -1.5, +1.5, -0.5 carry the signs of x = 3, 1, 4, 2.
    EXPECT_EQ(s, 3.0 - 1.0 + 4.0 - 2.0);
}

TEST(SignSum, CountsOnlyResidualsAboveTheRelativeThreshold) {
    // Residuals of 1 on ordinates of 1e9 are 1e-9 relative: the points lie on the line.
    const double x[] = {1.0, 2.0, 3.0};
    const double y[] = {1e9 + 1.0, 1e9, 1e9 - 1.0};
    double scratch[3];
    RobustFitState state;
    state.n = 3;
    state.x = x;
    state.y = y;
    state.scratch = scratch;
    EXPECT_EQ(signSum(state, 0.0), 0.0);
    EXPECT_EQ(state.intercept, 1e9);
    EXPECT_EQ(state.absDeviation, 2.0);
    // Near zero ordinates the residual itself is compared: y = 0 is never divided by.
    const double small[] = {0.5, 0.0, -0.5};
    state.y = small;
    EXPECT_EQ(signSum(state, 0.0), 1.0 - 3.0);
    EXPECT_EQ(state.intercept, 0.0);
}

TEST(RobustLineFit, ReproducesPointsOnAnExactLine) {
    const double x[] = {1, 2, 3, 4, 5};
    const double y[] = {5, 8, 11, 14, 17};
    double intercept = -1.0;
    double slope = -1.0;
    double deviation = -1.0;
    robustLineFit(x, y, 5, intercept, slope, deviation);
    EXPECT_EQ(slope, 3.0);
    EXPECT_EQ(intercept, 2.0);
    EXPECT_EQ(deviation, 0.0);
}

TEST(RobustLineFit, IsNotPulledByASingleStrayPoint) {
    const double x[] = {1, 2, 3, 4, 5};
    const double y[] = {1, 2, 3, 4, 100};
    double intercept = 0.0;
    double slope = 0.0;
    double deviation = 0.0;
    robustLineFit(x, y, 5, intercept, slope, deviation);
    // The least-squares slope would be 20.
    EXPECT_NEAR(slope, 1.031, 5e-4);
    EXPECT_NEAR(intercept, -0.062, 5e-4);
    EXPECT_NEAR(deviation, 19.006, 5e-4);

    double scratch[5];
    double intercept2 = 0.0;
    double slope2 = 0.0;
    double deviation2 = 0.0;
    robustLineFitWithScratch(x, y, 5, scratch, intercept2, slope2, deviation2);
    EXPECT_EQ(slope2, slope);
    EXPECT_EQ(intercept2, intercept);
    EXPECT_EQ(deviation2, deviation);
}

TEST(RobustLineFit, EndsWithNotANumberOnAnInfiniteOrdinate) {
    // log10 of a zero HHCF value: the fit must end, with not-a-number results.
    const double x[] = {0.0, 0.30103, 0.47712, 0.60206, 0.69897};
    const double y[] = {-1.0, -HUGE_VAL, -0.7, -0.6, -0.5};
    double intercept = 0.0;
    double slope = 0.0;
    double deviation = 0.0;
    robustLineFit(x, y, 5, intercept, slope, deviation);
    EXPECT_TRUE(std::isnan(slope));
    EXPECT_TRUE(std::isnan(intercept));
}

TEST(RobustLineFit, ReportsNotANumberForNoPoints) {
    double intercept = 0.0;
    double slope = 0.0;
    double deviation = 0.0;
    robustLineFit(nullptr, nullptr, 0, intercept, slope, deviation);
    EXPECT_TRUE(std::isnan(intercept));
    EXPECT_TRUE(std::isnan(slope));
    EXPECT_TRUE(std::isnan(deviation));
}

TEST(EvaluateLine, FillsTheLineAtEveryAbscissaAndIsEmptyForNone) {
    const double x[] = {0.0, 1.0, -2.0};
    Series out;
    evaluateLine(2.0, 3.0, x, 3, out);
    ASSERT_EQ(out.count, 3);
    EXPECT_EQ(out[0], 2.0);
    EXPECT_EQ(out[1], 5.0);
    EXPECT_EQ(out[2], -4.0);
    evaluateLine(2.0, 3.0, x, 0, out);
    EXPECT_EQ(out.count, 0);
    EXPECT_EQ(out.data, nullptr);
}

}  // namespace
