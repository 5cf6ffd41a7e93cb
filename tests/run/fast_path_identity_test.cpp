// The fast analysis path must give the reference path's results bit for bit: the same console
// text, the same picture and the same numbers in every figure, on generated SEM images that
// exercise the incremental smoothing (marks near borders and inside later windows, even and
// odd kernels), the partner search and the lazy fit (long correlation lengths).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "image/coarse_edges.h"
#include "run/image_analysis.h"
#include "synthetic/synthetic_sem.h"

namespace {

struct IdentityCase {
    const char* label;
    SyntheticSemSettings image;
    RunParameters params;
    int32_t pairing = 1;
};

RunParameters baseParameters() {
    RunParameters p;
    p.detectionFloor = 0.3;
    p.edgeHalfWindow = 10;
    p.kernelRows = 5;
    p.kernelColumns = 5;
    p.kernelSigma = 1.0;
    p.edgeThreshold = 0.5;
    p.pixelSize = 1.7;
    return p;
}

SyntheticSemSettings baseImage(int32_t width, int32_t height, uint64_t seed) {
    SyntheticSemSettings s;
    s.width = width;
    s.height = height;
    s.seed = seed;
    return s;
}

std::vector<IdentityCase> identityCases() {
    std::vector<IdentityCase> cases;
    {
        IdentityCase c{"five lines", baseImage(352, 340, 11), baseParameters()};
        cases.push_back(std::move(c));
    }
    {
        // Long correlation: about 70 lags below the threshold, so the fit works on some 140
        // points and searches many windows.
        IdentityCase c{"long correlation", baseImage(200, 760, 12), baseParameters()};
        c.image.correlationLength = 90.0;
        c.image.roughnessSigma = 2.0;
        cases.push_back(std::move(c));
    }
    {
        // Odd edge count with a lone band first (pairing 0), an even kernel, threshold 1 and a
        // narrow window.
        IdentityCase c{"pairing 0, even kernel", baseImage(330, 320, 13), baseParameters()};
        c.image.leadingLoneBand = true;
        c.image.cutLastLine = true;
        c.params.kernelRows = 4;
        c.params.kernelColumns = 6;
        c.params.edgeThreshold = 1.0;
        c.params.edgeHalfWindow = 3;
        c.pairing = 0;
        cases.push_back(std::move(c));
    }
    {
        // Windows wider than the spaces between edges, so that every window reaches the marks
        // of the edges traced before it; strong noise and no blur; a tall, narrow kernel.
        IdentityCase c{"wide windows", baseImage(300, 330, 14), baseParameters()};
        c.image.pitch = 48.0;
        c.image.cd = 22.0;
        c.image.firstEdge = 13.0;
        c.image.noiseSigma = 20.0;
        c.image.blurSigma = 0.0;
        c.image.roughnessSigma = 2.5;
        c.params.edgeHalfWindow = 30;
        c.params.kernelRows = 7;
        c.params.kernelColumns = 3;
        c.params.kernelSigma = 2.0;
        cases.push_back(std::move(c));
    }
    {
        // A large kernel on a short image: the smoothing footprint of a mark spans many rows and
        // columns, and marks lie within it of the top and bottom borders.
        IdentityCase c{"large kernel", baseImage(260, 310, 15), baseParameters()};
        c.image.cutLastLine = true;
        c.params.kernelRows = 9;
        c.params.kernelColumns = 9;
        c.params.kernelSigma = 2.5;
        cases.push_back(std::move(c));
    }
    return cases;
}

bool sameBits(const Series& a, const Series& b) {
    if (a.count != b.count) return false;
    return a.count == 0 ||
           std::memcmp(a.data, b.data, sizeof(double) * static_cast<size_t>(a.count)) == 0;
}

bool sameBits(const GreyImage& a, const GreyImage& b) {
    if (a.width != b.width || a.height != b.height) return false;
    return a.size() == 0 || std::memcmp(a.data, b.data, sizeof(double) * a.size()) == 0;
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string consoleText(const ImageAnalysis& a, double pixelSize) {
    std::string text;
    for (const EdgeFigures& e : a.processed) text += formatEdgeLine(a, e.edgeNumber);
    return text + formatReport("generated.pgm", a, pixelSize);
}

void analyse(const GreyImage& source,
             const IdentityCase& c,
             AnalysisPath path,
             ImageAnalysis& result) {
    GreyImage grid = source;
    const CoarseEdges coarse = locateCoarseEdges(grid, c.params.detectionFloor);
    analyseGrid(grid, coarse, c.pairing, c.params, path, result);
}

TEST(FastPathIdentity, GeneratedImagesGiveTheReferenceResultsBitForBit) {
    for (const IdentityCase& c : identityCases()) {
        SCOPED_TRACE(c.label);
        SyntheticSem image;
        ASSERT_TRUE(makeSyntheticSem(c.image, image));
        GreyImage source;
        toGreyImage(image, source);
        ImageAnalysis fast;
        ImageAnalysis reference;
        analyse(source, c, AnalysisPath::kFast, fast);
        analyse(source, c, AnalysisPath::kReference, reference);
        ASSERT_EQ(fast.status, AnalysisStatus::kMeasured);
        ASSERT_EQ(reference.status, AnalysisStatus::kMeasured);
        ASSERT_GE(fast.lineCount, 2);

        EXPECT_EQ(consoleText(fast, c.params.pixelSize),
                  consoleText(reference, c.params.pixelSize));
        ASSERT_EQ(fast.picture.width, reference.picture.width);
        ASSERT_EQ(fast.picture.height, reference.picture.height);
        EXPECT_EQ(std::memcmp(fast.picture.bytes, reference.picture.bytes,
                              3 * static_cast<size_t>(fast.picture.width) *
                                  static_cast<size_t>(fast.picture.height)),
                  0);

        // Every figure, not only the printed digits.
        EXPECT_TRUE(sameBits(fast.edgeMeans, reference.edgeMeans));
        EXPECT_TRUE(sameBits(fast.edgeSpreads, reference.edgeSpreads));
        EXPECT_TRUE(sameBits(fast.edgeSigmas, reference.edgeSigmas));
        EXPECT_TRUE(sameBits(fast.averageHhcf, reference.averageHhcf));
        EXPECT_TRUE(sameBits(fast.widths.widthGrid, reference.widths.widthGrid));
        EXPECT_TRUE(sameBits(fast.widths.lineSigmas, reference.widths.lineSigmas));
        EXPECT_TRUE(sameBits(fast.length.meanSigmas, reference.length.meanSigmas));
        EXPECT_TRUE(sameBits(fast.length.sigmaOfMeans, reference.length.sigmaOfMeans));
        EXPECT_TRUE(sameBits(fast.fit.alpha, reference.fit.alpha));
        EXPECT_TRUE(sameBits(fast.fit.ksi, reference.fit.ksi));
        EXPECT_TRUE(sameBits(fast.fit.curveLogHhcf, reference.fit.curveLogHhcf));
    }
}

TEST(FastPathIdentity, TheLongCorrelationCaseReallyExercisesTheFit) {
    // Guards the case list above: the fit must succeed there with many points, or the lazy
    // window search would not be compared at all.
    const std::vector<IdentityCase> cases = identityCases();
    const IdentityCase& c = cases[1];
    SyntheticSem image;
    ASSERT_TRUE(makeSyntheticSem(c.image, image));
    GreyImage source;
    toGreyImage(image, source);
    ImageAnalysis fast;
    analyse(source, c, AnalysisPath::kFast, fast);
    ASSERT_EQ(fast.status, AnalysisStatus::kMeasured);
    EXPECT_GE(fast.fit.ksi, 40.0);
    EXPECT_GT(fast.fit.alpha, 0.0);
}

}  // namespace
