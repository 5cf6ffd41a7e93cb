#include "synthetic/synthetic_sem.h"

#include <fftw3.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>

#include "metrology/fftw_planner.h"

namespace {

constexpr int32_t kMaxSide = 65536;
constexpr double kPi = 3.14159265358979323846;
// Bands drawn by default stay inside the columns that the coarse edge location can mark.
constexpr double kDefaultMargin = 12.0;

// Standard normal deviates from a 64-bit Mersenne twister by the Box-Muller transform, so the
// same seed gives the same image with every standard library.
struct NormalSource {
    std::mt19937_64 engine;
    bool hasSpare = false;
    double spare = 0.0;

    explicit NormalSource(uint64_t seed) : engine(seed) {}

    // Uniform on (0, 1]: 53 random bits, never 0 so that the logarithm below stays finite.
    double uniform() { return (static_cast<double>(engine() >> 11) + 1.0) * 0x1.0p-53; }

    double next() {
        if (hasSpare) {
            hasSpare = false;
            return spare;
        }
        const double radius = std::sqrt(-2.0 * std::log(uniform()));
        const double angle = 2.0 * kPi * uniform();
        spare = radius * std::sin(angle);
        hasSpare = true;
        return radius * std::cos(angle);
    }
};

// An exponentially correlated Gaussian path of `n` rows: stationary AR(1) with
// rho = exp(-1 / length), so that the correlation at lag k is exp(-k / length).
std::vector<double> roughPath(NormalSource& normal, int32_t n, double sigma, double length) {
    std::vector<double> path(static_cast<size_t>(n));
    const double rho = length > 0.0 ? std::exp(-1.0 / length) : 0.0;
    const double innovation = sigma * std::sqrt(1.0 - rho * rho);
    double d = sigma * normal.next();
    for (int32_t y = 0; y < n; ++y) {
        if (y > 0) d = rho * d + innovation * normal.next();
        path[static_cast<size_t>(y)] = d;
    }
    return path;
}

// Smallest length >= n whose only prime factors are 2, 3 and 5, where FFTW is fastest.
int32_t smoothLength(int32_t n) {
    for (int32_t m = n;; ++m) {
        int32_t r = m;
        for (int32_t p : {2, 3, 5})
            while (r % p == 0) r /= p;
        if (r == 1) return m;
    }
}

// Draws paths of the spectral model by filtering white Gaussian noise in the frequency domain.
// The noise is drawn on a longer, periodic grid of `length` rows (at least twice the rows and 20
// correlation lengths beyond them, at most 8 times the rows) and the first rows are kept, so
// that the kept stretch does not wrap around onto itself.
class SpectralPaths {
public:
    SpectralPaths(int32_t rows, double sigma, double xi, double alpha) : rows_(rows) {
        const double wanted = std::fmin(std::fmax(2.0 * rows, rows + 20.0 * xi), 8.0 * rows);
        length_ = smoothLength(static_cast<int32_t>(std::ceil(wanted)));
        const size_t n = static_cast<size_t>(length_);
        const size_t bins = n / 2 + 1;
        // Filter gain: |H(k)|^2 = length * sigma^2 * S(k) / sum of S over all `length` bins,
        // with S(k) = (1 + (2 pi f xi)^2)^-(alpha + 1/2), f = k / length. The path is
        // x = inverse DFT(H * DFT(w)) / length, so its variance sum |h|^2 = (1 / length)
        // sum |H|^2 is sigma^2 exactly: the model spectrum summed over the frequencies that a
        // row spacing carries.
        gain_.resize(bins);
        double total = 0.0;
        for (size_t k = 0; k < n; ++k) {
            const size_t folded = k <= n / 2 ? k : n - k;
            const double f = static_cast<double>(folded) / static_cast<double>(n);
            const double x = 2.0 * kPi * f * xi;
            const double spectrum = std::pow(1.0 + x * x, -(alpha + 0.5));
            if (k < bins) gain_[k] = spectrum;
            total += spectrum;
        }
        for (double& g : gain_) g = std::sqrt(static_cast<double>(n) * sigma * sigma * g / total);
        // FFTW's planner keeps global state: RealFft makes its plans under FFTW's own lock, the
        // one the measurement's spectra use too.
        fft_ = std::make_unique<RealFft>(length_);
    }

    bool ready() const { return fft_->ok(); }

    // One path of `rows_` values; draws `length_` deviates from `normal`.
    std::vector<double> draw(NormalSource& normal) {
        double* real = fft_->real;
        fftw_complex* spectrum = fft_->spectrum;
        for (int32_t i = 0; i < length_; ++i) real[i] = normal.next();
        fft_->executeForward();
        for (size_t k = 0; k < gain_.size(); ++k) {
            spectrum[k][0] *= gain_[k];
            spectrum[k][1] *= gain_[k];
        }
        fft_->executeBackward();  // unnormalised: every value is `length_` times too large
        std::vector<double> path(static_cast<size_t>(rows_));
        const double scale = 1.0 / length_;
        for (int32_t y = 0; y < rows_; ++y) path[static_cast<size_t>(y)] = real[y] * scale;
        return path;
    }

private:
    int32_t rows_ = 0;
    int32_t length_ = 0;
    std::vector<double> gain_;
    std::unique_ptr<RealFft> fft_;
};

constexpr size_t kNone = static_cast<size_t>(-1);

// A stripe of every row: `level` is added from the left edge's position plus `leftOffset` to
// the right edge's position plus `rightOffset`, cut at the middle of its line when it is one
// of the line's edge bands (`lineLeft`, `lineRight`): bands of a line narrower than two band
// widths meet there rather than add up, and neither reaches past the line's other edge.
struct Stripe {
    size_t leftEdge;   // index into the edge list for the left end
    size_t rightEdge;  // index for the right end, or kNone: beyond the right border
    double leftOffset;
    double rightOffset;
    double level;
    size_t lineLeft = kNone;  // the band's line, whose middle bounds it
    size_t lineRight = kNone;
};

// Adds `level` times the covered part of each pixel of one row (1-based column X covering
// X - 0.5 .. X + 0.5) for the interval a .. b.
void addInterval(std::vector<double>& row, double a, double b, double level) {
    const int32_t w = static_cast<int32_t>(row.size());
    if (!(b > a)) return;
    double firstX = std::floor(a + 0.5);
    double lastX = std::ceil(b - 0.5);
    if (firstX < 1.0) firstX = 1.0;
    if (lastX > w) lastX = w;
    for (int32_t x = static_cast<int32_t>(firstX); x <= static_cast<int32_t>(lastX); ++x) {
        const double lo = std::fmax(a, x - 0.5);
        const double hi = std::fmin(b, x + 0.5);
        if (hi > lo) row[static_cast<size_t>(x - 1)] += level * (hi - lo);
    }
}

// Separable Gaussian blur with the border pixels repeated outwards.
void blur(std::vector<double>& grid, int32_t w, int32_t h, double sigma) {
    if (!(sigma > 0.0)) return;
    const int32_t radius = static_cast<int32_t>(std::ceil(3.0 * sigma));
    std::vector<double> weights(static_cast<size_t>(2 * radius + 1));
    double total = 0.0;
    for (int32_t k = -radius; k <= radius; ++k) {
        const double v = std::exp(-0.5 * k * k / (sigma * sigma));
        weights[static_cast<size_t>(k + radius)] = v;
        total += v;
    }
    for (double& v : weights) v /= total;
    auto clampIndex = [](int32_t i, int32_t n) { return i < 0 ? 0 : (i >= n ? n - 1 : i); };
    std::vector<double> tmp(grid.size());
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            double s = 0.0;
            for (int32_t k = -radius; k <= radius; ++k)
                s += weights[static_cast<size_t>(k + radius)] *
                     grid[static_cast<size_t>(y) * w + clampIndex(x + k, w)];
            tmp[static_cast<size_t>(y) * w + x] = s;
        }
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            double s = 0.0;
            for (int32_t k = -radius; k <= radius; ++k)
                s += weights[static_cast<size_t>(k + radius)] *
                     tmp[static_cast<size_t>(clampIndex(y + k, h)) * w + x];
            grid[static_cast<size_t>(y) * w + x] = s;
        }
}

bool finiteNonNegative(double v) { return std::isfinite(v) && v >= 0.0; }

// Expected counts stay below this, where the terms of the acceptance test (about mu ln mu)
// still resolve differences far below 1.
constexpr double kMaxExpectedCount = 1e9;
constexpr double kMaxExponent = 4.0;
// A wider blur smooths more than any image is wide; pictures beyond this many pixels would take
// several GB to draw.
constexpr double kMaxBlur = 1000.0;
constexpr int64_t kMaxPixels = int64_t{1} << 28;

}  // namespace

std::string syntheticSettingsProblem(const SyntheticSemSettings& s) {
    if (s.width < 1 || s.height < 1 || s.width > kMaxSide || s.height > kMaxSide)
        return "width and height must be 1 to " + std::to_string(kMaxSide) + " px";
    if (static_cast<int64_t>(s.width) * s.height > kMaxPixels)
        return "width x height must be at most " + std::to_string(kMaxPixels) + " pixels";
    if (!(std::isfinite(s.pitch) && std::isfinite(s.cd)) || !(s.cd > 0.0) || !(s.pitch > s.cd))
        return "the cd must be above 0 and the pitch above the cd";
    if (s.contrast == SyntheticContrast::kBrightEdges) {
        if (!std::isfinite(s.bandWidth) || !(s.bandWidth > 0.0) || !(s.cd > 2.0 * s.bandWidth))
            return "the band width must be above 0 and the cd above twice the band width";
    } else if (s.leadingLoneBand || s.trailingLoneBand) {
        return "lone bands are drawn only with edge bands";
    }
    if (!std::isfinite(s.firstEdge)) return "the first edge must be a number";
    if (s.lineCount < 0) return "the number of lines must not be negative";
    if (!finiteNonNegative(s.roughnessExponent) || s.roughnessExponent > kMaxExponent)
        return "alpha must lie in 0 .. 4";
    if (!std::isfinite(s.edgeCorrelation) || std::fabs(s.edgeCorrelation) > 1.0)
        return "the edge correlation must lie in -1 .. 1";
    if (s.shotNoiseFrames < 0) return "the number of frames must not be negative";
    if (s.shotNoiseFrames > 0) {
        if (!std::isfinite(s.electronsPerLevel) || !(s.electronsPerLevel > 0.0))
            return "the electrons per grey level must be above 0";
        const double top = std::fmax(s.backgroundLevel, std::fmax(s.bodyLevel, s.bandLevel));
        if (!(s.shotNoiseFrames * s.electronsPerLevel * top <= kMaxExpectedCount))
            return "frames x electrons per level x the brightest level must be at most 1e9";
    }
    if (!finiteNonNegative(s.roughnessSigma)) return "the roughness sigma must be 0 or more";
    if (!finiteNonNegative(s.correlationLength)) return "the correlation length must be 0 or more";
    if (!finiteNonNegative(s.backgroundLevel) || !finiteNonNegative(s.bodyLevel) ||
        !finiteNonNegative(s.bandLevel))
        return "the grey levels must be 0 or more";
    if (!finiteNonNegative(s.blurSigma) || s.blurSigma > kMaxBlur)
        return "the blur must be 0 to " + std::to_string(static_cast<int>(kMaxBlur)) + " px";
    if (!finiteNonNegative(s.noiseSigma)) return "the noise must be 0 or more";
    return std::string();
}

namespace {

bool validSettings(const SyntheticSemSettings& s) { return syntheticSettingsProblem(s).empty(); }

// Residuals of `v` about its least-squares line over the row numbers 1 .. n.
std::vector<double> residualsAboutLine(const std::vector<double>& v) {
    const size_t n = v.size();
    std::vector<double> r(n);
    if (n == 0) return r;
    const double meanRow = 0.5 * (static_cast<double>(n) + 1.0);
    double mean = 0.0;
    for (double x : v) mean += x;
    mean /= static_cast<double>(n);
    double sxy = 0.0;
    double sxx = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double d = static_cast<double>(i + 1) - meanRow;
        sxy += d * (v[i] - mean);
        sxx += d * d;
    }
    const double slope = sxx > 0.0 ? sxy / sxx : 0.0;
    for (size_t i = 0; i < n; ++i)
        r[i] = v[i] - mean - slope * (static_cast<double>(i + 1) - meanRow);
    return r;
}

double sumOfSquares(const std::vector<double>& v) {
    double sum = 0.0;
    for (double x : v) sum += x * x;
    return sum;
}

SyntheticTruth computeTruth(const SyntheticSemSettings& s,
                            const std::vector<SyntheticEdge>& edges,
                            int32_t rows) {
    SyntheticTruth t;
    const double rho = s.edgeCorrelation;
    t.modelCd = s.cd;
    t.modelEdgeSigma = s.roughnessSigma;
    t.modelWidthSigma = s.roughnessSigma * std::sqrt(2.0 * (1.0 - rho));
    t.modelCentreSigma = s.roughnessSigma * std::sqrt(0.5 * (1.0 + rho));
    t.modelEdgeCorrelation = rho;
    t.correlationLength = s.correlationLength;
    t.roughnessExponent =
        s.roughnessModel == SyntheticRoughness::kSpectral ? s.roughnessExponent : 0.5;
    const double shotVariancePerLevel =
        s.shotNoiseFrames > 0 ? 1.0 / (s.shotNoiseFrames * s.electronsPerLevel) : 0.0;
    const double gaussianVariance = s.noiseSigma * s.noiseSigma;
    t.noiseSigmaAtBackground =
        std::sqrt(gaussianVariance + s.backgroundLevel * shotVariancePerLevel);
    t.noiseSigmaAtBand = std::sqrt(gaussianVariance + s.bandLevel * shotVariancePerLevel);

    const size_t n = static_cast<size_t>(rows);
    double cdSum = 0.0;
    double leftSquares = 0.0;
    double rightSquares = 0.0;
    double crossSum = 0.0;
    double widthSquares = 0.0;
    double centreSquares = 0.0;
    for (size_t i = 0; i + 1 < edges.size(); ++i) {
        if (edges[i].kind != SyntheticEdgeKind::kLineLeft ||
            edges[i + 1].kind != SyntheticEdgeKind::kLineRight)
            continue;
        const std::vector<double>& left = edges[i].positions;
        const std::vector<double>& right = edges[i + 1].positions;
        std::vector<double> width(n);
        std::vector<double> centre(n);
        for (size_t y = 0; y < n; ++y) {
            width[y] = right[y] - left[y];
            centre[y] = 0.5 * (left[y] + right[y]);
            cdSum += width[y];
        }
        const std::vector<double> l = residualsAboutLine(left);
        const std::vector<double> r = residualsAboutLine(right);
        leftSquares += sumOfSquares(l);
        rightSquares += sumOfSquares(r);
        for (size_t y = 0; y < n; ++y) crossSum += l[y] * r[y];
        widthSquares += sumOfSquares(residualsAboutLine(width));
        centreSquares += sumOfSquares(residualsAboutLine(centre));
        ++t.lineCount;
        ++i;
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (t.lineCount == 0) {
        t.meanCd = t.edgeSigma = t.widthSigma = t.centreSigma = t.edgeCorrelation = nan;
        return t;
    }
    const double seriesRows = static_cast<double>(t.lineCount) * static_cast<double>(n);
    t.meanCd = cdSum / seriesRows;
    t.edgeSigma = std::sqrt((leftSquares + rightSquares) / (2.0 * seriesRows));
    t.widthSigma = std::sqrt(widthSquares / seriesRows);
    t.centreSigma = std::sqrt(centreSquares / seriesRows);
    const double norm = std::sqrt(leftSquares * rightSquares);
    t.edgeCorrelation = norm > 0.0 ? crossSum / norm : nan;
    return t;
}

// Poisson counts from a 64-bit Mersenne twister, the same on every platform: multiplication
// of uniforms for small means, above them the transformed rejection with squeeze (PTRS) of
// W. Hoermann, "The transformed rejection method for generating Poisson random variables",
// Insurance: Mathematics and Economics 12 (1993) 39-45. GSL's sampler was 4 times slower,
// too slow for a megapixel image.
struct PoissonSource {
    std::mt19937_64 engine;

    explicit PoissonSource(uint64_t seed) : engine(seed) {}

    // Uniform on (0, 1].
    double uniform() { return (static_cast<double>(engine() >> 11) + 1.0) * 0x1.0p-53; }

    double next(double mu) {
        if (!(mu > 0.0)) return 0.0;
        if (mu < 10.0) {
            const double limit = std::exp(-mu);
            double count = 0.0;
            for (double product = uniform(); product > limit; product *= uniform()) count += 1.0;
            return count;
        }
        const double root = std::sqrt(mu);
        const double logMu = std::log(mu);
        const double b = 0.931 + 2.53 * root;
        const double a = -0.059 + 0.02483 * b;
        const double inverseAlpha = 1.1239 + 1.1328 / (b - 3.4);
        const double vr = 0.9277 - 3.6224 / (b - 2.0);
        for (;;) {
            const double u = uniform() - 0.5;
            const double v = uniform();
            const double us = 0.5 - std::fabs(u);
            const double k = std::floor((2.0 * a / us + b) * u + mu + 0.43);
            if (us >= 0.07 && v <= vr) return k;
            if (k < 0.0 || (us < 0.013 && v > us)) continue;
            if (std::log(v) + std::log(inverseAlpha) - std::log(a / (us * us) + b) <=
                -mu + k * logMu - std::lgamma(k + 1.0))
                return k;
        }
    }
};

// Mixed into the seed for the shot noise, so that its draws are independent of the edges and
// of the Gaussian noise, and switching shot noise on leaves both as they were.
constexpr uint64_t kShotSeedMix = 0x9e3779b97f4a7c15ULL;

}  // namespace

bool makeSyntheticSem(const SyntheticSemSettings& s, SyntheticSem& out) {
    out = SyntheticSem();
    if (!validSettings(s)) return false;
    const int32_t w = s.width;
    const int32_t h = s.height;
    const bool bands = s.contrast == SyntheticContrast::kBrightEdges;
    // How far the drawn feature of an edge reaches into the line: its band, or nothing.
    const double reach = bands ? s.bandWidth : 0.0;

    int32_t lines = s.lineCount;
    if (lines == 0) {
        while (s.firstEdge + lines * s.pitch >= kDefaultMargin &&
               s.firstEdge + lines * s.pitch + s.cd <= w - kDefaultMargin && lines < kMaxSide)
            ++lines;
        // Keep the band of a cut last line or of a trailing lone band inside the markable
        // columns too.
        auto extraBandEnd = [&](int32_t n) {
            const double next = s.firstEdge + n * s.pitch;
            if (s.cutLastLine) return next + reach;
            return next - 0.5 * (s.pitch - s.cd) + 0.5 * s.bandWidth;
        };
        if (s.cutLastLine || s.trailingLoneBand)
            while (lines > 0 && extraBandEnd(lines) > w - kDefaultMargin) --lines;
    }
    const double space = s.pitch - s.cd;
    const double bandLift = s.bandLevel - s.bodyLevel;
    const double loneLift = s.bandLevel - s.backgroundLevel;
    // Band images: spaces at the background level, lines lifted to the body level. Step images:
    // spaces at one level, lines lifted (or lowered) to the other.
    double spaceLevel = s.backgroundLevel;
    double lineLift = s.bodyLevel - s.backgroundLevel;
    if (s.contrast == SyntheticContrast::kBrightLine) lineLift = s.bandLevel - s.backgroundLevel;
    if (s.contrast == SyntheticContrast::kDarkLine) {
        spaceLevel = s.bandLevel;
        lineLift = s.backgroundLevel - s.bandLevel;
    }

    NormalSource normal(s.seed);
    std::unique_ptr<SpectralPaths> spectral;
    if (s.roughnessModel == SyntheticRoughness::kSpectral) {
        spectral = std::make_unique<SpectralPaths>(h, s.roughnessSigma, s.correlationLength,
                                                   s.roughnessExponent);
        if (!spectral->ready()) return false;
    }
    auto deviation = [&]() {
        return spectral ? spectral->draw(normal)
                        : roughPath(normal, h, s.roughnessSigma, s.correlationLength);
    };
    std::vector<SyntheticEdge> edges;
    std::vector<Stripe> stripes;
    auto addEdge = [&](SyntheticEdgeKind kind, double nominal, std::vector<double> path) {
        SyntheticEdge e;
        e.kind = kind;
        e.nominal = nominal;
        e.positions = std::move(path);
        for (double& v : e.positions) v += nominal;
        edges.push_back(std::move(e));
        return edges.size() - 1;
    };
    auto addLone = [&](double left) {
        const size_t e = addEdge(SyntheticEdgeKind::kLone, left, deviation());
        stripes.push_back({e, e, 0.0, s.bandWidth, loneLift});
    };

    const double rho = s.edgeCorrelation;
    const double ownShare = std::sqrt(1.0 - rho * rho);
    if (s.leadingLoneBand) addLone(s.firstEdge - 0.5 * space - 0.5 * s.bandWidth);
    for (int32_t j = 0; j < lines; ++j) {
        const double left = s.firstEdge + j * s.pitch;
        std::vector<double> leftPath = deviation();
        std::vector<double> rightPath = deviation();
        if (rho != 0.0)
            for (size_t y = 0; y < rightPath.size(); ++y)
                rightPath[y] = rho * leftPath[y] + ownShare * rightPath[y];
        const size_t l = addEdge(SyntheticEdgeKind::kLineLeft, left, std::move(leftPath));
        const size_t r = addEdge(SyntheticEdgeKind::kLineRight, left + s.cd, std::move(rightPath));
        stripes.push_back({l, r, 0.0, 0.0, lineLift});
        if (bands) {
            stripes.push_back({l, l, 0.0, s.bandWidth, bandLift, l, r});
            stripes.push_back({r, r, -s.bandWidth, 0.0, bandLift, l, r});
        }
    }
    const double next = s.firstEdge + lines * s.pitch;
    if (s.cutLastLine) {
        // The body runs on past the right border, where its right band would be.
        const size_t l = addEdge(SyntheticEdgeKind::kLineLeft, next, deviation());
        stripes.push_back({l, kNone, 0.0, 0.0, lineLift});
        if (bands) stripes.push_back({l, l, 0.0, s.bandWidth, bandLift});
    } else if (s.trailingLoneBand) {
        addLone(next - 0.5 * space - 0.5 * s.bandWidth);
    }

    std::vector<double> grid(static_cast<size_t>(w) * static_cast<size_t>(h));
    std::vector<double> row(static_cast<size_t>(w));
    for (int32_t y = 0; y < h; ++y) {
        for (double& v : row) v = spaceLevel;
        for (const Stripe& stripe : stripes) {
            const double a = edges[stripe.leftEdge].positions[static_cast<size_t>(y)];
            // A stripe without a right edge runs on past the right border.
            const double b = stripe.rightEdge == kNone
                                 ? w + 1.0
                                 : edges[stripe.rightEdge].positions[static_cast<size_t>(y)];
            double from = a + stripe.leftOffset;
            double to = b + stripe.rightOffset;
            if (stripe.lineLeft != kNone) {
                const double middle =
                    0.5 * (edges[stripe.lineLeft].positions[static_cast<size_t>(y)] +
                           edges[stripe.lineRight].positions[static_cast<size_t>(y)]);
                if (stripe.leftOffset == 0.0)
                    to = std::fmin(to, middle);
                else
                    from = std::fmax(from, middle);
            }
            addInterval(row, from, to, stripe.level);
        }
        for (int32_t x = 0; x < w; ++x) grid[static_cast<size_t>(y) * w + x] = row[x];
    }
    blur(grid, w, h, s.blurSigma);

    const bool shot = s.shotNoiseFrames > 0;
    const double electrons = s.shotNoiseFrames * s.electronsPerLevel;
    PoissonSource counts(s.seed ^ kShotSeedMix);
    out.width = w;
    out.height = h;
    out.pixels.resize(grid.size());
    for (size_t i = 0; i < grid.size(); ++i) {
        double v = grid[i];
        // The sum of the frames' Poisson counts is one Poisson count of the summed mean.
        if (shot) v = counts.next(electrons * v) / electrons;
        if (s.noiseSigma > 0.0) v += s.noiseSigma * normal.next();
        v = std::floor(v + 0.5);
        out.pixels[i] = static_cast<unsigned char>(v < 0.0 ? 0.0 : (v > 255.0 ? 255.0 : v));
    }
    // Edges whose band lies wholly outside the image are not part of it.
    for (SyntheticEdge& e : edges) {
        const bool outside = e.nominal + reach < 0.5 || e.nominal - reach > w + 0.5;
        if (!outside) out.edges.push_back(std::move(e));
    }
    out.settings = s;
    out.truth = computeTruth(s, out.edges, h);
    return true;
}

void toGreyImage(const SyntheticSem& image, GreyImage& grid) {
    if (!grid.allocate(image.width, image.height)) return;
    for (size_t i = 0; i < grid.size(); ++i) grid.data[i] = image.pixels[i];
}

bool writePgm(const SyntheticSem& image, const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = std::fprintf(f, "P5\n%d %d\n255\n", image.width, image.height) > 0;
    ok = ok && std::fwrite(image.pixels.data(), 1, image.pixels.size(), f) == image.pixels.size();
    ok = (std::fclose(f) == 0) && ok;
    return ok;
}

bool writeEdgeCsv(const SyntheticSem& image, const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    bool ok = std::fprintf(f, "row") > 0;
    for (size_t e = 0; e < image.edges.size(); ++e) {
        const SyntheticEdgeKind kind = image.edges[e].kind;
        const char* name = syntheticEdgeKindName(kind);
        ok = ok && std::fprintf(f, ",edge%zu_%s", e + 1, name) > 0;
    }
    ok = ok && std::fprintf(f, "\n") > 0;
    for (int32_t y = 0; y < image.height && ok; ++y) {
        ok = std::fprintf(f, "%d", y + 1) > 0;
        for (const SyntheticEdge& e : image.edges)
            ok = ok && std::fprintf(f, ",%.6f", e.positions[static_cast<size_t>(y)]) > 0;
        ok = ok && std::fprintf(f, "\n") > 0;
    }
    ok = (std::fclose(f) == 0) && ok;
    return ok;
}

const char* syntheticContrastName(SyntheticContrast contrast) {
    switch (contrast) {
        case SyntheticContrast::kBrightLine:
            return "bright-line";
        case SyntheticContrast::kDarkLine:
            return "dark-line";
        case SyntheticContrast::kBrightEdges:
            break;
    }
    return "bright-edges";
}

bool parseSyntheticContrast(const std::string& name, SyntheticContrast& contrast) {
    if (name == "bright-edges")
        contrast = SyntheticContrast::kBrightEdges;
    else if (name == "bright-line")
        contrast = SyntheticContrast::kBrightLine;
    else if (name == "dark-line")
        contrast = SyntheticContrast::kDarkLine;
    else
        return false;
    return true;
}

const char* syntheticEdgeKindName(SyntheticEdgeKind kind) {
    switch (kind) {
        case SyntheticEdgeKind::kLineLeft:
            return "left";
        case SyntheticEdgeKind::kLineRight:
            return "right";
        case SyntheticEdgeKind::kLone:
            break;
    }
    return "lone";
}

bool writeTruthJson(const SyntheticSem& image, const std::string& path) {
    const SyntheticSemSettings& s = image.settings;
    const SyntheticTruth& t = image.truth;
    const bool spectral = s.roughnessModel == SyntheticRoughness::kSpectral;
    nlohmann::ordered_json j;
    j["image"] = {{"width", image.width},
                  {"height", image.height},
                  {"contrast", syntheticContrastName(s.contrast)},
                  {"pitch_px", s.pitch},
                  {"background_level", s.backgroundLevel},
                  {"body_level", s.bodyLevel},
                  {"band_level", s.bandLevel},
                  {"band_width_px", s.bandWidth},
                  {"blur_sigma_px", s.blurSigma}};
    j["roughness"] = {{"model", spectral ? "spectral" : "autoregressive"},
                      {"sigma_px", s.roughnessSigma},
                      {"xi_px", t.correlationLength},
                      {"alpha", t.roughnessExponent},
                      {"edge_correlation", s.edgeCorrelation},
                      {"seed", s.seed}};
    j["noise"] = {{"gaussian_sigma", s.noiseSigma},
                  {"shot_noise_frames", s.shotNoiseFrames},
                  {"electrons_per_level", s.electronsPerLevel},
                  {"sigma_at_background", t.noiseSigmaAtBackground},
                  {"sigma_at_band", t.noiseSigmaAtBand}};
    j["line_count"] = t.lineCount;
    j["model"] = {{"cd_px", t.modelCd},
                  {"edge_sigma_px", t.modelEdgeSigma},
                  {"width_sigma_px", t.modelWidthSigma},
                  {"centre_sigma_px", t.modelCentreSigma},
                  {"edge_correlation", t.modelEdgeCorrelation},
                  {"xi_px", t.correlationLength},
                  {"alpha", t.roughnessExponent}};
    j["realised"] = {{"cd_px", t.meanCd},
                     {"edge_sigma_px", t.edgeSigma},
                     {"width_sigma_px", t.widthSigma},
                     {"centre_sigma_px", t.centreSigma},
                     {"edge_correlation", t.edgeCorrelation}};
    const std::string text = j.dump(2) + "\n";
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (std::fclose(f) == 0) && ok;
    return ok;
}
