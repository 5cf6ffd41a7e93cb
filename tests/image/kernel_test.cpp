#include "image/kernel.h"

#include <gtest/gtest.h>

#include <cmath>

#include "image/grey_image.h"

namespace {

TEST(GaussianKernel, ThreeByThreeSigmaOneHasTheClosedFormWeights) {
    const Kernel k = gaussianKernel(3, 3, 1.0);
    ASSERT_EQ(k.rows, 3);
    ASSERT_EQ(k.columns, 3);
    const double centre = 1.0 / (1.0 + 4.0 * std::exp(-0.5) + 4.0 * std::exp(-1.0));
    EXPECT_NEAR(k.weight(1, 1), centre, 1e-15);
    EXPECT_NEAR(k.weight(1, 1), 0.2042, 1e-4);
    EXPECT_NEAR(k.weight(0, 1), std::exp(-0.5) * centre, 1e-15);
    EXPECT_NEAR(k.weight(1, 2), 0.1238, 1e-4);
    EXPECT_NEAR(k.weight(2, 2), std::exp(-1.0) * centre, 1e-15);
    EXPECT_NEAR(k.weight(0, 0), 0.0751, 1e-4);
    EXPECT_EQ(k.weight(0, 0), k.weight(2, 2));
    EXPECT_EQ(k.weight(0, 1), k.weight(1, 0));
}

TEST(GaussianKernel, SingleWeightIsOneAndLeavesTheGridUnchanged) {
    const Kernel k = gaussianKernel(1, 1, 2.5);
    ASSERT_EQ(k.weights.size(), 1u);
    EXPECT_EQ(k.weights[0], 1.0);
    GreyImage g;
    g.allocate(3, 2);
    for (size_t i = 0; i < g.size(); ++i) g.data[i] = 10.0 * static_cast<double>(i) + 3.0;
    GreyImage out;
    g.convolve(out, k, k.rows, k.columns);
    for (size_t i = 0; i < g.size(); ++i) EXPECT_EQ(out.data[i], g.data[i]);
}

TEST(GaussianKernel, OneRowKernelIsSymmetricAboutItsMiddle) {
    const Kernel k = gaussianKernel(1, 5, 1.3);
    ASSERT_EQ(k.weights.size(), 5u);
    EXPECT_EQ(k.weights[0], k.weights[4]);
    EXPECT_EQ(k.weights[1], k.weights[3]);
    EXPECT_GT(k.weights[2], k.weights[1]);
    EXPECT_GT(k.weights[1], k.weights[0]);
}

TEST(GaussianKernel, VeryWideKernelIsNearlyFlatAndSumsToOne) {
    const Kernel k = gaussianKernel(5, 7, 1e6);
    double s = 0.0;
    for (double w : k.weights) {
        EXPECT_NEAR(w, 1.0 / 35.0, 1e-12);
        s += w;
    }
    EXPECT_NEAR(s, 1.0, 1e-14);
}

TEST(GaussianKernel, EvenSizesArePeakedWhereConvolveCentresThem) {
    // Offsets are counted from row A / 2 and column B / 2, the element convolve lays on the
    // output position, so an impulse is smoothed around itself.
    const Kernel k = gaussianKernel(2, 4, 1.0);
    ASSERT_EQ(k.weights.size(), 8u);
    for (double w : k.weights) EXPECT_LE(w, k.weight(1, 2));
    EXPECT_EQ(k.weight(1, 1), k.weight(1, 3));
    EXPECT_EQ(k.weight(0, 2), k.weight(1, 1));
    GreyImage g;
    g.allocate(7, 5);
    for (size_t i = 0; i < g.size(); ++i) g.data[i] = 0.0;
    g.at(3, 2) = 200.0;
    GreyImage out;
    g.convolve(out, k, k.rows, k.columns);
    for (size_t i = 0; i < out.size(); ++i) EXPECT_LE(out.data[i], out.at(3, 2));
}

TEST(GaussianKernel, UnusableSizesGiveAnEmptyKernelThatSmoothsToZeros) {
    for (const auto& size : {std::pair<int32_t, int32_t>{0, 3},
                             {3, 0},
                             {-1, 5},
                             {5, -7},
                             {70000, 70000},
                             {1, 65537}}) {
        const Kernel k = gaussianKernel(size.first, size.second, 1.0);
        EXPECT_EQ(k.rows, 0);
        EXPECT_EQ(k.columns, 0);
        EXPECT_TRUE(k.weights.empty());
    }
    GreyImage g;
    g.allocate(3, 3);
    for (size_t i = 0; i < g.size(); ++i) g.data[i] = 100.0;
    GreyImage out;
    const Kernel empty = gaussianKernel(0, 0, 1.0);
    g.convolve(out, empty, empty.rows, empty.columns);
    for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out.data[i], 0.0);
}

TEST(GaussianKernel, ZeroSigmaGivesNotANumberWeightsThatSmoothToZeros) {
    const Kernel k = gaussianKernel(3, 3, 0.0);
    EXPECT_TRUE(std::isnan(k.weight(1, 1)));
    GreyImage g;
    g.allocate(3, 3);
    for (size_t i = 0; i < g.size(); ++i) g.data[i] = 100.0;
    GreyImage out;
    g.convolve(out, k, k.rows, k.columns);
    for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out.data[i], 0.0);
}

}  // namespace
