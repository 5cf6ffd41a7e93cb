// The bound on xi and alpha, against the scatter of the measurement's fit on the same series:
// a fit that wastes the data (with a full-length Hann window xi scattered 1.9 times the bound
// here) or a wrong bound both show as a ratio far from 1.
#include "validate/bound.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(Bound, TheFitScattersAsLittleAsTheBoundAllows) {
    BoundCase c;
    c.rows = 256;
    c.series = 16;
    c.xiRows = 10.0;
    c.alpha = 0.5;
    c.noiseSigma = 0.3;
    CramerRaoBound bound;
    ASSERT_TRUE(cramerRaoBound(c, bound));
    // Knowing the roll-off can only help.
    EXPECT_LT(bound.rollOffKnown.xiRelative, bound.rollOffFitted.xiRelative);
    EXPECT_LT(bound.rollOffKnown.alpha, bound.rollOffFitted.alpha);

    const FitScatter fit = fitScatter(c, 200, 11, 0.2, 0.15);
    EXPECT_GE(fit.fits, 195);
    // Measured: 1.01 and 1.04 times the bound; mean xi 0.99 of the truth, alpha +0.06.
    EXPECT_GT(fit.spread.xiRelative, 0.8 * bound.rollOffFitted.xiRelative);
    EXPECT_LT(fit.spread.xiRelative, 1.25 * bound.rollOffFitted.xiRelative);
    EXPECT_GT(fit.spread.alpha, 0.8 * bound.rollOffFitted.alpha);
    EXPECT_LT(fit.spread.alpha, 1.25 * bound.rollOffFitted.alpha);
    EXPECT_NEAR(fit.xiMeanRatio, 1.0, 0.05);
    EXPECT_NEAR(fit.alphaMeanError, 0.0, 0.08);
    // The two agree on how xi and alpha trade against each other.
    EXPECT_NEAR(fit.spread.correlation, bound.rollOffFitted.correlation, 0.15);
}

TEST(Bound, ChanceWithinIsTheGaussianMassOfTheBox) {
    // Uncorrelated: the product of the two one-dimensional masses, 1 and 2 sigma.
    ParameterSpread s;
    s.xiRelative = 0.1;
    s.alpha = 0.05;
    s.correlation = 0.0;
    EXPECT_NEAR(chanceWithin(s, 0.1, 0.1), 0.682689 * 0.954500, 1e-5);
    // Correlation cannot raise the chance of the box above its smaller margin's mass, nor
    // below the product.
    s.correlation = -0.9;
    const double correlated = chanceWithin(s, 0.1, 0.1);
    EXPECT_GT(correlated, 0.682689 * 0.954500);
    EXPECT_LT(correlated, 0.682689);
    s.correlation = 1.0;
    EXPECT_TRUE(std::isnan(chanceWithin(s, 0.1, 0.1)));
}
