#include "synthetic/synthetic_sem.h"

#include <cmath>
#include <cstdio>
#include <random>

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

// A stripe of every row: `level` is added from the left edge's position plus `leftOffset` to
// the right edge's position plus `rightOffset`.
struct Stripe {
    size_t leftEdge;   // index into the edge list for the left end
    size_t rightEdge;  // index for the right end, or kNone: beyond the right border
    double leftOffset;
    double rightOffset;
    double level;
};
constexpr size_t kNone = static_cast<size_t>(-1);

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

bool validSettings(const SyntheticSemSettings& s) {
    if (s.width < 1 || s.height < 1 || s.width > kMaxSide || s.height > kMaxSide) return false;
    if (!(std::isfinite(s.pitch) && std::isfinite(s.cd) && std::isfinite(s.bandWidth)))
        return false;
    if (!(s.bandWidth > 0.0) || !(s.cd > 2.0 * s.bandWidth) || !(s.pitch > s.cd)) return false;
    if (!std::isfinite(s.firstEdge) || s.lineCount < 0) return false;
    return finiteNonNegative(s.roughnessSigma) && finiteNonNegative(s.correlationLength) &&
           finiteNonNegative(s.backgroundLevel) && finiteNonNegative(s.bodyLevel) &&
           finiteNonNegative(s.bandLevel) && finiteNonNegative(s.blurSigma) &&
           finiteNonNegative(s.noiseSigma);
}

}  // namespace

bool makeSyntheticSem(const SyntheticSemSettings& s, SyntheticSem& out) {
    out = SyntheticSem();
    if (!validSettings(s)) return false;
    const int32_t w = s.width;
    const int32_t h = s.height;

    int32_t lines = s.lineCount;
    if (lines == 0) {
        while (s.firstEdge + lines * s.pitch >= kDefaultMargin &&
               s.firstEdge + lines * s.pitch + s.cd <= w - kDefaultMargin && lines < kMaxSide)
            ++lines;
        // Keep the band of a cut last line or of a trailing lone band inside the markable
        // columns too.
        auto extraBandEnd = [&](int32_t n) {
            const double next = s.firstEdge + n * s.pitch;
            if (s.cutLastLine) return next + s.bandWidth;
            return next - 0.5 * (s.pitch - s.cd) + 0.5 * s.bandWidth;
        };
        if (s.cutLastLine || s.trailingLoneBand)
            while (lines > 0 && extraBandEnd(lines) > w - kDefaultMargin) --lines;
    }
    const double space = s.pitch - s.cd;
    const double bandLift = s.bandLevel - s.bodyLevel;
    const double loneLift = s.bandLevel - s.backgroundLevel;
    const double bodyLift = s.bodyLevel - s.backgroundLevel;

    NormalSource normal(s.seed);
    std::vector<SyntheticEdge> edges;
    std::vector<Stripe> stripes;
    auto addEdge = [&](SyntheticEdgeKind kind, double nominal) {
        SyntheticEdge e;
        e.kind = kind;
        e.nominal = nominal;
        e.positions = roughPath(normal, h, s.roughnessSigma, s.correlationLength);
        for (double& v : e.positions) v += nominal;
        edges.push_back(std::move(e));
        return edges.size() - 1;
    };
    auto addLone = [&](double left) {
        const size_t e = addEdge(SyntheticEdgeKind::kLone, left);
        stripes.push_back({e, e, 0.0, s.bandWidth, loneLift});
    };

    if (s.leadingLoneBand) addLone(s.firstEdge - 0.5 * space - 0.5 * s.bandWidth);
    for (int32_t j = 0; j < lines; ++j) {
        const double left = s.firstEdge + j * s.pitch;
        const size_t l = addEdge(SyntheticEdgeKind::kLineLeft, left);
        const size_t r = addEdge(SyntheticEdgeKind::kLineRight, left + s.cd);
        stripes.push_back({l, r, 0.0, 0.0, bodyLift});
        stripes.push_back({l, l, 0.0, s.bandWidth, bandLift});
        stripes.push_back({r, r, -s.bandWidth, 0.0, bandLift});
    }
    const double next = s.firstEdge + lines * s.pitch;
    if (s.cutLastLine) {
        // The body runs on past the right border, where its right band would be.
        const size_t l = addEdge(SyntheticEdgeKind::kLineLeft, next);
        stripes.push_back({l, kNone, 0.0, 0.0, bodyLift});
        stripes.push_back({l, l, 0.0, s.bandWidth, bandLift});
    } else if (s.trailingLoneBand) {
        addLone(next - 0.5 * space - 0.5 * s.bandWidth);
    }

    std::vector<double> grid(static_cast<size_t>(w) * static_cast<size_t>(h));
    std::vector<double> row(static_cast<size_t>(w));
    for (int32_t y = 0; y < h; ++y) {
        for (double& v : row) v = s.backgroundLevel;
        for (const Stripe& stripe : stripes) {
            const double a = edges[stripe.leftEdge].positions[static_cast<size_t>(y)];
            // A stripe without a right edge runs on past the right border.
            const double b = stripe.rightEdge == kNone
                                 ? w + 1.0
                                 : edges[stripe.rightEdge].positions[static_cast<size_t>(y)];
            addInterval(row, a + stripe.leftOffset, b + stripe.rightOffset, stripe.level);
        }
        for (int32_t x = 0; x < w; ++x) grid[static_cast<size_t>(y) * w + x] = row[x];
    }
    blur(grid, w, h, s.blurSigma);

    out.width = w;
    out.height = h;
    out.pixels.resize(grid.size());
    for (size_t i = 0; i < grid.size(); ++i) {
        double v = grid[i];
        if (s.noiseSigma > 0.0) v += s.noiseSigma * normal.next();
        v = std::floor(v + 0.5);
        out.pixels[i] = static_cast<unsigned char>(v < 0.0 ? 0.0 : (v > 255.0 ? 255.0 : v));
    }
    // Edges whose band lies wholly outside the image are not part of it.
    for (SyntheticEdge& e : edges) {
        const bool outside = e.nominal + s.bandWidth < 0.5 || e.nominal - s.bandWidth > w + 0.5;
        if (!outside) out.edges.push_back(std::move(e));
    }
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
        const char* name = kind == SyntheticEdgeKind::kLineLeft
                               ? "left"
                               : (kind == SyntheticEdgeKind::kLineRight ? "right" : "lone");
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
