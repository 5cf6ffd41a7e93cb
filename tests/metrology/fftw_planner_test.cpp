// FFTW plans: shared by length and kind, and made at once by the image generator and by the
// spectra in two threads.
#include "metrology/fftw_planner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "metrology/psd.h"
#include "synthetic/synthetic_sem.h"

namespace {

constexpr int32_t kRounds = 240;

// A small generated image whose edges are drawn through FFTW; its height, and so the length of
// the generator's plans, changes with `round`.
std::vector<double> generatedEdges(int32_t round) {
    SyntheticSemSettings s;
    s.width = 40;
    s.height = 24 + 5 * (round % 80);
    s.lineCount = 1;
    s.firstEdge = 12.0;
    s.cd = 16.0;
    s.roughnessModel = SyntheticRoughness::kSpectral;
    s.roughnessExponent = 0.8;
    s.correlationLength = 5.0;
    s.blurSigma = 0.0;
    s.noiseSigma = 0.0;
    s.seed = 40 + static_cast<uint64_t>(round);
    SyntheticSem image;
    if (!makeSyntheticSem(s, image)) return {};
    std::vector<double> positions;
    for (const SyntheticEdge& e : image.edges)
        positions.insert(positions.end(), e.positions.begin(), e.positions.end());
    return positions;
}

// The periodogram of a fixed series whose length, and so the plan's, changes with `round`.
std::vector<double> periodogramOf(int32_t round) {
    const int32_t n = 16 + 3 * (round % 150);
    std::vector<double> x(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) x[static_cast<size_t>(i)] = std::sin(0.37 * i * i + round);
    PsdWorkspace workspace;
    if (!workspace.prepare(n)) return {};
    std::vector<double> psd(static_cast<size_t>(workspace.binCount()));
    workspace.periodogram(x.data(), 1.0, psd.data());
    return psd;
}

}  // namespace

TEST(FftwPlanner, GeneratingAndMeasuringInTwoThreadsGiveWhatEachGivesAlone) {
    std::vector<std::vector<double>> edgesAlone(kRounds);
    std::vector<std::vector<double>> spectraAlone(kRounds);
    for (int32_t r = 0; r < kRounds; ++r) {
        edgesAlone[static_cast<size_t>(r)] = generatedEdges(r);
        spectraAlone[static_cast<size_t>(r)] = periodogramOf(r);
        ASSERT_FALSE(edgesAlone[static_cast<size_t>(r)].empty()) << "round " << r;
        ASSERT_FALSE(spectraAlone[static_cast<size_t>(r)].empty()) << "round " << r;
    }
    // Every round makes and destroys plans of a new length in both threads, so the two planners'
    // calls overlap many times; without one lock shared by both they corrupt FFTW's tables.
    std::vector<std::vector<double>> edges(kRounds);
    std::vector<std::vector<double>> spectra(kRounds);
    std::thread generator([&edges] {
        for (int32_t r = 0; r < kRounds; ++r) edges[static_cast<size_t>(r)] = generatedEdges(r);
    });
    std::thread measurer([&spectra] {
        for (int32_t r = 0; r < kRounds; ++r) spectra[static_cast<size_t>(r)] = periodogramOf(r);
    });
    generator.join();
    measurer.join();
    for (int32_t r = 0; r < kRounds; ++r) {
        const size_t i = static_cast<size_t>(r);
        ASSERT_EQ(edges[i].size(), edgesAlone[i].size()) << "round " << r;
        ASSERT_EQ(spectra[i].size(), spectraAlone[i].size()) << "round " << r;
        // The same plans on the same aligned arrays: the same digits.
        for (size_t k = 0; k < edges[i].size(); ++k)
            ASSERT_EQ(edges[i][k], edgesAlone[i][k]) << "round " << r << " value " << k;
        for (size_t k = 0; k < spectra[i].size(); ++k)
            ASSERT_EQ(spectra[i][k], spectraAlone[i][k]) << "round " << r << " bin " << k;
    }
}

TEST(FftwPlanner, PlansSharedByLengthGiveTheSameDigitsAndOutliveTheirCacheEntry) {
    // A series whose transform is known: x(i) = cos(2 pi 3 i / n) has n / 2 at bin 3, 0 elsewhere.
    constexpr int32_t n = 1000;
    auto fill = [](RealFft& fft) {
        for (int32_t i = 0; i < n; ++i) fft.real[i] = std::cos(2.0 * M_PI * 3.0 * i / n);
    };
    RealFft held(n);
    ASSERT_TRUE(held.ok());
    fill(held);
    held.executeForward();
    EXPECT_NEAR(held.spectrum[3][0], 0.5 * n, 1e-9);
    EXPECT_NEAR(held.spectrum[4][0], 0.0, 1e-9);
    const std::vector<double> before(&held.spectrum[0][0], &held.spectrum[0][0] + 2 * (n / 2 + 1));
    // Enough other lengths, in both directions, to push this length's plans out of the cache
    // while `held` still runs them; a new transform of the length then plans afresh.
    for (int32_t other = 200; other < 260; ++other) {
        RealFft pushed(other);
        ASSERT_TRUE(pushed.ok());
    }
    fill(held);
    held.executeForward();
    RealFft fresh(n);
    ASSERT_TRUE(fresh.ok());
    fill(fresh);
    fresh.executeForward();
    for (int32_t k = 0; k <= n / 2; ++k)
        for (int32_t part = 0; part < 2; ++part) {
            ASSERT_EQ(held.spectrum[k][part], before[static_cast<size_t>(2 * k + part)]) << k;
            ASSERT_EQ(fresh.spectrum[k][part], before[static_cast<size_t>(2 * k + part)]) << k;
        }
    // And back: the inverse of the spectrum is n times the series.
    held.executeBackward();
    for (int32_t i = 0; i < n; ++i)
        ASSERT_NEAR(held.real[i] / n, std::cos(2.0 * M_PI * 3.0 * i / n), 1e-12) << i;
}
