#include "stats/series.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>

namespace {

Series make(std::initializer_list<double> values) {
    Series s;
    s.allocate(static_cast<int32_t>(values.size()));
    int32_t i = 0;
    for (double v : values) s[i++] = v;
    return s;
}

TEST(Series, StandardDeviationUsesPopulationOrSampleDivisor) {
    const Series s = make({1, 2, 3, 4});
    EXPECT_DOUBLE_EQ(s.standardDeviation(true), std::sqrt(1.25));
    EXPECT_DOUBLE_EQ(s.standardDeviation(false), std::sqrt(5.0 / 3.0));
    const Series one = make({5.0});
    EXPECT_EQ(one.standardDeviation(true), 0.0);
    EXPECT_EQ(one.standardDeviation(false), 0.0);
}

TEST(Series, ExtremesReportFirstOccurrenceOneBased) {
    int32_t position = -1;
    EXPECT_EQ(make({1, 7, 3, 7}).maximum(&position), 7.0);
    EXPECT_EQ(position, 2);
    EXPECT_EQ(make({4, 2, 2}).minimum(&position), 2.0);
    EXPECT_EQ(position, 2);
    EXPECT_EQ(make({-3}).maximum(&position), -3.0);
    EXPECT_EQ(position, 1);
    EXPECT_EQ(make({1, 9}).maximum(), 9.0);
}

TEST(Series, NotANumberNeverReplacesAnExtreme) {
    int32_t position = 0;
    EXPECT_EQ(make({2, NAN, 1}).maximum(&position), 2.0);
    EXPECT_EQ(position, 1);
    EXPECT_EQ(make({2, NAN, 1}).minimum(&position), 1.0);
    EXPECT_EQ(position, 3);
}

TEST(Series, EmptySeriesGivesNotANumberStatisticsAndNoPosition) {
    Series s;
    EXPECT_EQ(s.sum(), 0.0);
    EXPECT_TRUE(std::isnan(s.mean()));
    EXPECT_TRUE(std::isnan(s.standardDeviation(true)));
    int32_t position = 7;
    EXPECT_TRUE(std::isnan(s.maximum(&position)));
    EXPECT_EQ(position, 0);
    EXPECT_TRUE(s.allocate(0));
    EXPECT_EQ(s.count, 0);
    EXPECT_FALSE(s.allocate(-1));
    EXPECT_EQ(s.count, 0);
}

TEST(Series, MultiplyElementsWithUnequalCountsLeavesOutputUntouched) {
    const Series a = make({1, 2, 3, 4});
    const Series b = make({1, 2, 3});
    Series out = make({9, 9});
    a.multiplyElements(b, out);
    ASSERT_EQ(out.count, 2);
    EXPECT_EQ(out[0], 9.0);
    a.multiplyElements(a, out);
    ASSERT_EQ(out.count, 4);
    EXPECT_EQ(out[3], 16.0);
}

TEST(Series, ElementwiseOperationsInPlace) {
    Series s = make({-1.5, 0.0, 2.0});
    s.clampNegatives();
    EXPECT_EQ(s[0], 0.0);
    EXPECT_EQ(s[2], 2.0);
    s.scaleShift(2.0, 1.0);
    EXPECT_EQ(s[2], 5.0);
    s.subtract(1.0);
    s.power(2.0);
    EXPECT_EQ(s[2], 16.0);
    Series n = make({-2.0});
    n.power(3.0);
    EXPECT_EQ(n[0], -8.0);
    s.addElements(make({1, 1, 1}));
    EXPECT_EQ(s[2], 17.0);
}

TEST(Series, DivideMultipliesByTheReciprocalFormedOnce) {
    Series s = make({0.3, 7.0});
    s.divide(3.0);
    const double reciprocal = 1.0 / 3.0;
    EXPECT_EQ(s[0], reciprocal * 0.3);
    EXPECT_EQ(s[1], reciprocal * 7.0);
    // 7 * (1/3) differs from 7 / 3 in the last bit, which is the point of the rule.
    EXPECT_NE(reciprocal * 7.0, 7.0 / 3.0);
}

TEST(Series, SumRunsFirstToLast) {
    const Series s = make({1e16, 1.0, -1e16, 1.0});
    EXPECT_EQ(s.sum(), ((1e16 + 1.0) - 1e16) + 1.0);
}

TEST(Series, CopiesAreDeep) {
    Series a = make({1, 2});
    Series b = a;
    b[0] = 5;
    EXPECT_EQ(a[0], 1.0);
    Series c;
    c.assign(a);
    a[1] = 8;
    EXPECT_EQ(c[1], 2.0);
    c = c;
    EXPECT_EQ(c.count, 2);
}

TEST(RoundNearest, HalvesRoundAwayFromZero) {
    EXPECT_EQ(roundNearest(0.5), 1.0);
    EXPECT_EQ(roundNearest(-0.5), -1.0);
    EXPECT_EQ(roundNearest(1.4999), 1.0);
    EXPECT_EQ(roundNearest(-1.4999), -1.0);
    EXPECT_EQ(roundNearest(2.5), 3.0);
    EXPECT_EQ(roundNearest(-2.5), -3.0);
    EXPECT_EQ(roundNearest(0.49), 0.0);
    EXPECT_EQ(roundNearest(-0.51), -1.0);
    EXPECT_EQ(roundNearest(0.0), 0.0);
    EXPECT_TRUE(std::isnan(roundNearest(NAN)));
}

}  // namespace
