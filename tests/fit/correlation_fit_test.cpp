#include "fit/correlation_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "image/grey_image.h"

namespace {

// An HHCF of `count` lags: G(r) = low for r in `below`, high otherwise.
Series stepHhcf(int32_t count, int32_t belowFrom, int32_t belowTo, int32_t alsoBelow = 0) {
    Series g;
    g.allocate(count);
    for (int32_t r = 1; r <= count; ++r) {
        const bool below = (r >= belowFrom && r <= belowTo) || r == alsoBelow;
        g[r - 1] = below ? 0.5 + 0.01 * r : 2.0 + 0.01 * r;
    }
    return g;
}

Series lagsUpTo(int32_t count) {
    Series lags;
    fillRange(lags, 1, count, 1);
    return lags;
}

void expectFailed(const CorrelationFit& fit) {
    EXPECT_EQ(fit.alpha, 0.0);
    EXPECT_EQ(fit.ksi, 0.0);
    ASSERT_EQ(fit.curveLogLag.count, 1);
    ASSERT_EQ(fit.curveLogHhcf.count, 1);
    EXPECT_EQ(fit.curveLogLag[0], 0.0);
    EXPECT_EQ(fit.curveLogHhcf[0], 0.0);
}

// Bitwise equality, so that NaN results compare equal to themselves.
bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expectIdentical(const CorrelationFit& a, const CorrelationFit& b) {
    EXPECT_TRUE(sameBits(a.alpha, b.alpha)) << a.alpha << " vs " << b.alpha;
    EXPECT_TRUE(sameBits(a.ksi, b.ksi));
    ASSERT_EQ(a.curveLogLag.count, b.curveLogLag.count);
    ASSERT_EQ(a.curveLogHhcf.count, b.curveLogHhcf.count);
    for (int32_t i = 0; i < a.curveLogLag.count; ++i) {
        EXPECT_TRUE(sameBits(a.curveLogLag[i], b.curveLogLag[i]));
        EXPECT_TRUE(sameBits(a.curveLogHhcf[i], b.curveLogHhcf[i]));
    }
}

// Threshold 1.125 sigma = 1 with this sigma.
constexpr double kSigma = 1.0 / 1.125;

TEST(CorrelationFit, FailsWithZerosWhenFewerThanFiveLeadingLagsAreBelowTheThreshold) {
    expectFailed(fitCorrelationModel(stepHhcf(100, 1, 4), lagsUpTo(100), kSigma));
    expectFailed(fitCorrelationModel(stepHhcf(100, 0, -1), lagsUpTo(100), kSigma));
}

TEST(CorrelationFit, FailsWhenABelowThresholdLagFollowsOneAboveIt) {
    // Lags 1..12 below, 13 above, 14 below: lag 14 exceeds the 13 selected.
    expectFailed(fitCorrelationModel(stepHhcf(100, 1, 12, 14), lagsUpTo(100), kSigma));
    // Nothing below at the start at all.
    expectFailed(fitCorrelationModel(stepHhcf(100, 3, 20), lagsUpTo(100), kSigma));
}

TEST(CorrelationFit, TakesKsiAsTheLeadingLagsBelowTheThresholdAndDrawsTwiceAsFar) {
    const Series hhcf = stepHhcf(100, 1, 12);
    const CorrelationFit fit = fitCorrelationModel(hhcf, lagsUpTo(100), kSigma);
    EXPECT_EQ(fit.ksi, 12.0);
    ASSERT_EQ(fit.curveLogLag.count, 24);
    ASSERT_EQ(fit.curveLogHhcf.count, 24);
    for (int32_t i = 0; i < 24; ++i)
        EXPECT_EQ(fit.curveLogLag[i], std::log10(static_cast<double>(i + 1)));
    // The curve is one straight line over all abscissae, with the fitted slope.
    const double intercept = fit.curveLogHhcf[0];
    for (int32_t i = 0; i < 24; ++i)
        EXPECT_NEAR(fit.curveLogHhcf[i], intercept + fit.alpha * fit.curveLogLag[i], 1e-12);
}

TEST(CorrelationFit, RecoversTheExponentOfAPurePowerLaw) {
    // G = 0.1 r^0.7, threshold between G(30) and G(31): ksi 30, 60 points on one line.
    const int32_t count = 150;
    Series hhcf;
    hhcf.allocate(count);
    for (int32_t r = 1; r <= count; ++r) hhcf[r - 1] = 0.1 * std::pow(r, 0.7);
    const double threshold = 0.5 * (hhcf[29] + hhcf[30]);
    const CorrelationFit fit = fitCorrelationModel(hhcf, lagsUpTo(count), threshold / 1.125);
    EXPECT_EQ(fit.ksi, 30.0);
    EXPECT_NEAR(fit.alpha, 0.7, 1e-9);
    ASSERT_EQ(fit.curveLogHhcf.count, 60);
    for (int32_t i = 0; i < 60; ++i) EXPECT_NEAR(fit.curveLogHhcf[i], std::log10(hhcf[i]), 1e-9);
}

TEST(CorrelationFit, FailsCleanlyOnAnEmptyOrTooShortCurve) {
    // Images under 302 rows give no lags at all.
    expectFailed(fitCorrelationModel(Series(), lagsUpTo(150), kSigma));
    expectFailed(fitCorrelationModel(Series(), Series(), kSigma));
    // All 20 lags below the threshold: 2 ksi = 40 would read past the 20 values.
    expectFailed(fitCorrelationModel(stepHhcf(20, 1, 20), lagsUpTo(20), kSigma));
    // 11 of 20 below: still more than half.
    expectFailed(fitCorrelationModel(stepHhcf(20, 1, 11), lagsUpTo(20), kSigma));
    // Exactly half is enough.
    EXPECT_EQ(fitCorrelationModel(stepHhcf(20, 1, 10), lagsUpTo(20), kSigma).ksi, 10.0);
    // Fewer lags than HHCF values: only the lags given take part.
    expectFailed(fitCorrelationModel(stepHhcf(100, 1, 12), lagsUpTo(20), kSigma));
}

TEST(CorrelationFit, FailsCleanlyForASigmaThatIsNotANumber) {
    // A pixel size of 0 makes the edge sigma in pixels NaN: no lag is below it.
    expectFailed(fitCorrelationModel(stepHhcf(100, 1, 12), lagsUpTo(100), NAN));
}

// A saturating HHCF G(r) = sqrt(2) sqrt(1 - exp(-(r / xi)^(2 a))) for an edge sigma of 1.
Series modelHhcf(int32_t count, double xi, double a) {
    Series g;
    g.allocate(count);
    for (int32_t r = 1; r <= count; ++r)
        g[r - 1] = std::sqrt(2.0) * std::sqrt(1.0 - std::exp(-std::pow(r / xi, 2.0 * a)));
    return g;
}

// A power law with log-normal noise whose first t values lie below 1 and the rest above, so
// that ksi = t however strong the noise; stronger noise takes the search through more rounds.
Series noisyPowerLaw(int32_t count, int32_t t, double a, double noise, uint32_t seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(0.0, noise);
    Series g;
    g.allocate(count);
    for (int32_t r = 1; r <= count; ++r) {
        const double v = std::pow(r / (t + 0.5), a) * std::exp(normal(random));
        g[r - 1] = r <= t ? std::fmin(v, 0.999) : std::fmax(v, 1.001);
    }
    return g;
}

TEST(CorrelationFit, LazyQualitySearchMatchesTheFullTableBitForBit) {
    const Series lags = lagsUpTo(362);
    struct Case {
        Series hhcf;
        double sigma;
        double ksi;
    };
    // A kink in log-log: slope 1 up to lag 8, then 0.2; windows across it fit poorly.
    Series kinked;
    kinked.allocate(120);
    for (int32_t r = 1; r <= 120; ++r)
        kinked[r - 1] = r <= 8 ? 0.01 * r : 0.08 * std::pow(r / 8.0, 0.2);
    // A flat stretch (zero-slope windows: quality 0 / 0) and a zero value (log10 = -inf).
    Series flat = stepHhcf(100, 1, 20);
    for (int32_t r = 1; r <= 12; ++r) flat[r - 1] = 0.5;
    flat[15] = 0.0;
    const Case cases[] = {
        {modelHhcf(362, 20.0, 0.5), 1.0, 20.0},
        {modelHhcf(362, 30.0, 0.8), 1.0, 30.0},
        {noisyPowerLaw(300, 60, 0.6, 0.03, 12), kSigma, 60.0},
        {noisyPowerLaw(300, 60, 0.6, 0.1, 13), kSigma, 60.0},
        {noisyPowerLaw(300, 60, 0.6, 0.3, 14), kSigma, 60.0},
        {kinked, 0.1 / 1.125, 24.0},
        {flat, kSigma, 20.0},
    };
    for (const Case& c : cases) {
        const CorrelationFit lazy = fitCorrelationModel(c.hhcf, lags, c.sigma);
        const CorrelationFit full = fitCorrelationModelReference(c.hhcf, lags, c.sigma);
        EXPECT_EQ(lazy.ksi, c.ksi);
        expectIdentical(lazy, full);
    }
}

TEST(CorrelationFit, PrefersTheStraightStretchOfAKinkedCurve) {
    // log10 G has slope 1.0 up to lag 40 and 0.3 beyond; with ksi 50 the best window lies
    // in the longer, first stretch, so a is near 1.
    Series hhcf;
    hhcf.allocate(200);
    for (int32_t r = 1; r <= 200; ++r)
        hhcf[r - 1] = r <= 40 ? 0.001 * r : 0.04 * std::pow(r / 40.0, 0.3);
    const double threshold = 0.5 * (hhcf[49] + hhcf[50]);
    const CorrelationFit fit = fitCorrelationModel(hhcf, lagsUpTo(200), threshold / 1.125);
    EXPECT_EQ(fit.ksi, 50.0);
    EXPECT_NEAR(fit.alpha, 1.0, 1e-6);
}

TEST(CorrelationFit, LazySearchMatchesTheFullTableOnManyKinkedNoisyCurves) {
    // Power laws that change slope at up to three random lags, with noise from very weak to
    // strong and a few stray points: the best window starts at many different lags and
    // sometimes only just beats the others, which is where passing over starts that cannot
    // win must still find the full table's choice.
    std::mt19937 random(3);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const Series lags = lagsUpTo(160);
    for (int32_t trial = 0; trial < 60; ++trial) {
        const int32_t t = 8 + static_cast<int32_t>(unit(random) * 40);
        const int32_t kinks = 1 + static_cast<int32_t>(unit(random) * 3);
        double slopes[4];
        int32_t kinkLags[4];
        for (int32_t k = 0; k < 4; ++k) {
            slopes[k] = 0.1 + 1.1 * unit(random);
            kinkLags[k] = 2 + static_cast<int32_t>(unit(random) * 2 * t);
        }
        std::normal_distribution<double> jitter(0.0, 0.001 * std::pow(300.0, unit(random)));
        Series g;
        g.allocate(160);
        double logG = 0.0;
        for (int32_t r = 1; r <= 160; ++r) {
            double a = slopes[0];
            for (int32_t k = 0; k < kinks; ++k)
                if (r > kinkLags[k]) a = slopes[k + 1];
            if (r > 1) logG += a * (std::log(r) - std::log(r - 1));
            double v = logG + jitter(random);
            if (unit(random) < 0.03) v += unit(random) < 0.5 ? -0.7 : 0.7;
            g[r - 1] = std::exp(v);
        }
        // A sigma that puts exactly the first t lags below the threshold.
        const double level = std::fmax(g[t - 1], g[t]);
        for (int32_t r = 1; r <= 160; ++r)
            g[r - 1] =
                r <= t ? std::fmin(g[r - 1], 0.999 * level) : std::fmax(g[r - 1], 1.001 * level);
        const double sigma = level / 1.125;
        SCOPED_TRACE(trial);
        const CorrelationFit lazy = fitCorrelationModel(g, lags, sigma);
        EXPECT_EQ(lazy.ksi, t);
        expectIdentical(lazy, fitCorrelationModelReference(g, lags, sigma));
    }
}

}  // namespace
