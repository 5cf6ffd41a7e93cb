#include "stats/edge_roughness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

Series alternating(int32_t n) {
    Series r;
    r.allocate(n);
    for (int32_t j = 0; j < n; ++j) r[j] = (j % 2 == 0) ? 1.0 : -1.0;
    return r;
}

Series randomResiduals(int32_t n, uint32_t seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(0.0, 1.5);
    Series r;
    r.allocate(n);
    for (int32_t j = 0; j < n; ++j) r[j] = normal(random);
    return r;
}

TEST(EdgeRoughness, GivesTheMomentsAndHhcfOfAlternatingResiduals) {
    const EdgeStatistics stats = edgeRoughness(alternating(400));
    EXPECT_EQ(stats.sigma, 1.0);
    EXPECT_EQ(stats.skewness, 0.0);
    EXPECT_EQ(stats.kurtosis, 1.0);
    ASSERT_EQ(stats.hhcf.count, 50);
    for (int32_t lag = 1; lag <= 50; ++lag)
        EXPECT_EQ(stats.hhcf[lag - 1], lag % 2 == 1 ? 2.0 : 0.0) << "lag " << lag;
}

TEST(EdgeRoughness, DividesLagSumsByTheirPairCountAndLeavesOutTheLastSample) {
    Series r;
    r.allocate(400);
    for (int32_t j = 1; j <= 400; ++j) r[j - 1] = j;
    const EdgeStatistics ramp = edgeRoughness(r);
    ASSERT_EQ(ramp.hhcf.count, 50);
    EXPECT_EQ(ramp.hhcf[0], 1.0);
    EXPECT_EQ(ramp.hhcf[9], 10.0);
    // r(400) never takes part, so a spike there changes no lag.
    r[399] = 1e6;
    const EdgeStatistics spiked = edgeRoughness(r);
    for (int32_t l = 0; l < 50; ++l) EXPECT_EQ(spiked.hhcf[l], ramp.hhcf[l]);
}

TEST(EdgeRoughness, KeepsAllButOneHundredFiftyOfHalfTheSamplesAsLags) {
    EXPECT_EQ(edgeRoughness(alternating(512)).hhcf.count, 106);
    EXPECT_EQ(edgeRoughness(alternating(1024)).hhcf.count, 362);
    EXPECT_EQ(edgeRoughness(alternating(302)).hhcf.count, 1);
    EXPECT_EQ(edgeRoughness(alternating(301)).hhcf.count, 0);
    EXPECT_EQ(edgeRoughness(Series()).hhcf.count, 0);
}

TEST(EdgeRoughness, GivesZeroSigmaAndUndefinedShapeForAConstantEdge) {
    Series r;
    r.allocate(320);
    for (int32_t j = 0; j < 320; ++j) r[j] = 4.25;
    const EdgeStatistics stats = edgeRoughness(r);
    EXPECT_EQ(stats.sigma, 0.0);
    EXPECT_TRUE(std::isnan(stats.skewness));
    EXPECT_TRUE(std::isnan(stats.kurtosis));
    ASSERT_EQ(stats.hhcf.count, 10);
    for (int32_t l = 0; l < 10; ++l) EXPECT_EQ(stats.hhcf[l], 0.0);
}

TEST(EdgeRoughness, IgnoresAnOffsetAndScalesWithTheResiduals) {
    const Series r = randomResiduals(700, 3);
    const EdgeStatistics base = edgeRoughness(r);
    EXPECT_NEAR(base.kurtosis, 3.0, 0.6);

    Series shifted(r);
    shifted.scaleShift(1.0, 37.5);
    const EdgeStatistics offset = edgeRoughness(shifted);
    EXPECT_NEAR(offset.sigma, base.sigma, 1e-12 * base.sigma);
    EXPECT_NEAR(offset.skewness, base.skewness, 1e-9);
    EXPECT_NEAR(offset.kurtosis, base.kurtosis, 1e-9);
    ASSERT_EQ(offset.hhcf.count, base.hhcf.count);
    for (int32_t l = 0; l < base.hhcf.count; ++l)
        EXPECT_NEAR(offset.hhcf[l], base.hhcf[l], 1e-12 * base.hhcf[l]);

    // Scaling by -2 is exact in binary: sigma and the HHCF double exactly, skewness flips.
    Series mirrored(r);
    mirrored.scale(-2.0);
    const EdgeStatistics doubled = edgeRoughness(mirrored);
    EXPECT_EQ(doubled.sigma, 2.0 * base.sigma);
    EXPECT_DOUBLE_EQ(doubled.skewness, -base.skewness);
    EXPECT_DOUBLE_EQ(doubled.kurtosis, base.kurtosis);
    for (int32_t l = 0; l < base.hhcf.count; ++l) EXPECT_EQ(doubled.hhcf[l], 2.0 * base.hhcf[l]);

    Series scaled(r);
    scaled.scale(0.3);
    EXPECT_NEAR(edgeRoughness(scaled).sigma, 0.3 * base.sigma, 1e-12);
    // The residuals themselves are left as they were.
    EXPECT_EQ(r[0], randomResiduals(700, 3)[0]);
}

TEST(EdgeRoughness, SumsEveryLagFirstToLastWhateverTheNumberOfLags) {
    // Lag counts 1, 2, 3, 4, 5 and 351: each lag's value must be exactly its own sum of
    // squared differences, formed first pair to last, over its pair count.
    for (int32_t n : {302, 304, 306, 308, 311, 1003}) {
        const Series r = randomResiduals(n, static_cast<uint32_t>(n));
        const EdgeStatistics stats = edgeRoughness(r);
        ASSERT_EQ(stats.hhcf.count, n / 2 - 150);
        for (int32_t lag = 1; lag <= stats.hhcf.count; ++lag) {
            const int32_t pairs = n - lag - 1;
            double sum = 0.0;
            for (int32_t j = 0; j < pairs; ++j) sum += (r[j] - r[j + lag]) * (r[j] - r[j + lag]);
            EXPECT_EQ(stats.hhcf[lag - 1], std::sqrt(sum / pairs)) << "n " << n << " lag " << lag;
        }
    }
}

}  // namespace
