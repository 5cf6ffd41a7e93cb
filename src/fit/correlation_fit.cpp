#include "fit/correlation_fit.h"

#include <cmath>
#include <cstdint>
#include <vector>

#include "fit/robust_line.h"
#include "image/grey_image.h"

namespace {

constexpr int32_t kRounds = 11;
constexpr int32_t kMinWindow = 5;  // points of the shortest window whose quality is judged

CorrelationFit failedFit() {
    CorrelationFit fit;
    if (fit.curveLogLag.allocate(1)) fit.curveLogLag[0] = 0.0;
    if (fit.curveLogHhcf.allocate(1)) fit.curveLogHhcf[0] = 0.0;
    return fit;
}

// ksi in lags, or 0 when it cannot be determined: the selected lags (G below 1.125 sigma)
// must be the leading ones, at least 5 of them before the first gap, and the HHCF must hold
// twice as many values. A NaN sigma selects nothing, since every comparison with it is false.
int32_t correlationLength(const Series& hhcf, const Series& lags, double sigma) {
    const int32_t m = hhcf.count < lags.count ? hhcf.count : lags.count;
    const double threshold = 1.125 * sigma;
    int32_t c = 0;
    for (int32_t k = 0; k < m; ++k)
        if (hhcf[k] < threshold) ++c;
    if (c == 0) return 0;
    Series selected;
    if (!selected.allocate(c)) return 0;
    int32_t j = 0;
    for (int32_t k = 0; k < m; ++k)
        if (hhcf[k] < threshold) selected[j++] = lags[k];
    const double largest = selected.maximum();
    // Also refuses a NaN or non-positive largest lag before it is made an integer.
    if (!(largest <= c) || !(largest >= 1.0)) return 0;
    const int32_t last = static_cast<int32_t>(largest);
    int32_t t = last;
    for (j = 1; j <= last - 1; ++j) {
        if (selected[j] - selected[j - 1] > 2.0) {
            t = j;
            break;
        }
    }
    if (t < kMinWindow) return 0;
    if (t > m / 2) return 0;
    return t;
}

// Mean and population standard deviation in the order Series uses: sum first to last, then
// the squared deviations from the rounded mean.
double meanOf(const double* v, int32_t n) {
    double s = 0.0;
    for (int32_t i = 0; i < n; ++i) s += v[i];
    return s / n;
}

double populationSigmaOf(const double* v, int32_t n) {
    const double m = meanOf(v, n);
    double s = 0.0;
    for (int32_t i = 0; i < n; ++i) {
        const double d = v[i] - m;
        s += d * d;
    }
    return std::sqrt(s / n);
}

// Abscissae log10 i and ordinates log10 G(i), i = 1..n, at storage index i - 1.
struct LogPoints {
    int32_t n = 0;
    Series x;
    Series y;
};

bool makePoints(const Series& hhcf, int32_t t, LogPoints& points) {
    points.n = 2 * t;
    if (!points.x.allocate(points.n) || !points.y.allocate(points.n)) return false;
    for (int32_t i = 1; i <= points.n; ++i) {
        points.x[i - 1] = std::log10(static_cast<double>(i));
        points.y[i - 1] = std::log10(hhcf[i - 1]);
    }
    return true;
}

// Span of start s whose first failing end is e: the decades from s to the last good end
// e - 1, or from s to s + 3 when already the 5-point window fails.
double spanOf(const LogPoints& points, int32_t s, int32_t e) {
    if (e == s + kMinWindow - 1) return std::log10(static_cast<double>(s + 3) / s);
    return points.x[e - 2] - points.x[s - 1];
}

// An upper bound of every span start s can have: X[n] - X[s] for an end beyond n, and the
// span of a failing 5-point window, which is computed differently.
double largestSpanOf(const LogPoints& points, int32_t s) {
    const double full = points.x[points.n - 1] - points.x[s - 1];
    const double shortest = std::log10(static_cast<double>(s + 3) / s);
    return full > shortest ? full : shortest;
}

// Last good end of the best window: e* = round(10^(best + X[s*])). It is computed through
// pow and log10, so it is checked against the window the search found (s* + 3 .. n) before
// it is used as an index; outside that range the search's own last good end is taken.
int32_t bestEnd(const LogPoints& points, double best, int32_t sStar, int32_t lastGoodEnd) {
    const double e = roundNearest(std::pow(10.0, best + points.x[sStar - 1]));
    if (e >= sStar + 3 && e <= points.n) return static_cast<int32_t>(e);
    return lastGoodEnd;
}

// Final fit over the points s*..e* - 1, and the fitted line over all abscissae.
CorrelationFit finalFit(const LogPoints& points, int32_t t, int32_t sStar, int32_t eStar) {
    double a = 0.0;
    double b = 0.0;
    double deviation = 0.0;
    robustLineFit(points.x.data + (sStar - 1), points.y.data + (sStar - 1), eStar - sStar, a, b,
                  deviation);
    CorrelationFit fit;
    fit.alpha = b;
    fit.ksi = t;
    fit.curveLogLag.assign(points.x);
    evaluateLine(a, b, points.x.data, points.n, fit.curveLogHhcf);
    return fit;
}

// Working buffers of the quality evaluation, allocated once per fit.
struct QualityWork {
    Series scratch;
    Series fitted;
    Series distances;
};

// Q(s, e) = 1 - sD / sF of the robust line through points s..e (1-based, e >= s + 4): sD the
// population sigma of the signed perpendicular distances, sF that of the fitted values about
// their mean.
double windowQuality(const LogPoints& points, int32_t s, int32_t e, QualityWork& work) {
    const int32_t count = e - s + 1;
    const double* x = points.x.data + (s - 1);
    const double* y = points.y.data + (s - 1);
    double a = 0.0;
    double b = 0.0;
    double deviation = 0.0;
    robustLineFitWithScratch(x, y, count, work.scratch.data, a, b, deviation);
    double* f = work.fitted.data;
    double* d = work.distances.data;
    for (int32_t i = 0; i < count; ++i) f[i] = a + b * x[i];
    const double meanFitted = meanOf(f, count);
    const double normal = std::pow(1.0 + b * b, -0.5);
    for (int32_t i = 0; i < count; ++i) d[i] = (y[i] - f[i]) * normal;
    const double sD = populationSigmaOf(d, count);
    for (int32_t i = 0; i < count; ++i) f[i] = f[i] - meanFitted;
    const double sF = populationSigmaOf(f, count);
    return 1.0 - sD / sF;
}

}  // namespace

CorrelationFit fitCorrelationModel(const Series& hhcf, const Series& lags, double sigma) {
    const int32_t t = correlationLength(hhcf, lags, sigma);
    if (t == 0) return failedFit();
    LogPoints points;
    if (!makePoints(hhcf, t, points)) return failedFit();
    const int32_t n = points.n;
    const int32_t starts = n - (kMinWindow - 1);
    QualityWork work;
    if (!work.scratch.allocate(n) || !work.fitted.allocate(n) || !work.distances.allocate(n))
        return failedFit();
    // The threshold falls from round to round, so an end that passed once passes again: each
    // start keeps the first end that failed so far (its frontier) with that window's quality,
    // and a later round resumes from there. Every window is fitted at most once.
    std::vector<int32_t> frontier(static_cast<size_t>(starts) + 1);
    std::vector<double> frontierQuality(static_cast<size_t>(starts) + 1);
    std::vector<char> frontierKnown(static_cast<size_t>(starts) + 1, 0);
    for (int32_t s = 1; s <= starts; ++s) frontier[s] = s + kMinWindow - 1;

    int32_t sStar = 1;
    int32_t eStar = 1;
    for (int32_t round = 1; round <= kRounds; ++round) {
        const double q = 0.99 - 0.1 * (round - 1);
        // The best span and its first start, as the maximum of all spans gives them: a later
        // start replaces the best only with a strictly larger span. A start whose span cannot
        // exceed the best so far (its end is at most n + 1, and the abscissae rise) is passed
        // over without fitting its windows; its frontier stays for a later round.
        double best = 0.0;
        for (int32_t s = 1; s <= starts; ++s) {
            if (s > 1 && !(largestSpanOf(points, s) > best)) continue;
            int32_t e = frontier[s];
            while (e <= n) {
                if (!frontierKnown[s]) {
                    frontierQuality[s] = windowQuality(points, s, e, work);
                    frontierKnown[s] = 1;
                }
                if (frontierQuality[s] <= q) break;  // NaN does not stop the search
                ++e;
                frontier[s] = e;
                frontierKnown[s] = 0;
            }
            const double span = spanOf(points, s, e);
            if (s == 1 || span > best) {
                best = span;
                sStar = s;
            }
        }
        eStar = bestEnd(points, best, sStar, frontier[sStar] - 1);
        if (points.x[eStar - 2] - points.x[sStar - 1] >= 0.5) break;
    }
    return finalFit(points, t, sStar, eStar);
}

CorrelationFit fitCorrelationModelReference(const Series& hhcf, const Series& lags, double sigma) {
    const int32_t t = correlationLength(hhcf, lags, sigma);
    if (t == 0) return failedFit();
    LogPoints points;
    if (!makePoints(hhcf, t, points)) return failedFit();
    const int32_t n = points.n;
    const int32_t starts = n - (kMinWindow - 1);

    // Quality table: window s..e at column s - 1, row e - 1.
    GreyImage distanceSpread;
    GreyImage fittedSpread;
    GreyImage quality;
    if (!distanceSpread.allocate(starts, n) || !fittedSpread.allocate(starts, n) ||
        !quality.allocate(starts, n))
        return failedFit();
    for (int32_t s = 1; s <= starts; ++s) {
        for (int32_t e = s + kMinWindow - 1; e <= n; ++e) {
            const int32_t count = e - s + 1;
            const double* x = points.x.data + (s - 1);
            const double* y = points.y.data + (s - 1);
            double a = 0.0;
            double b = 0.0;
            double deviation = 0.0;
            robustLineFit(x, y, count, a, b, deviation);
            Series fitted;
            evaluateLine(a, b, x, count, fitted);
            const double meanFitted = fitted.mean();
            Series distances;
            if (!distances.allocate(count)) return failedFit();
            for (int32_t i = 0; i < count; ++i)
                distances[i] = (y[i] - fitted[i]) * std::pow(1.0 + b * b, -0.5);
            const double sD = distances.standardDeviation(true);
            fitted.subtract(meanFitted);
            const double sF = fitted.standardDeviation(true);
            distanceSpread.at(s - 1, e - 1) = sD;
            fittedSpread.at(s - 1, e - 1) = sF;
            quality.at(s - 1, e - 1) = 1.0 - sD / sF;
        }
    }

    Series spans;
    Series lastGoodEnds;
    if (!spans.allocate(starts) || !lastGoodEnds.allocate(starts)) return failedFit();
    int32_t sStar = 1;
    int32_t eStar = 1;
    for (int32_t round = 1; round <= kRounds; ++round) {
        const double q = 0.99 - 0.1 * (round - 1);
        for (int32_t s = 1; s <= starts; ++s) {
            int32_t e = s + kMinWindow - 1;
            while (e <= n && !(quality.at(s - 1, e - 1) <= q)) ++e;
            spans[s - 1] = spanOf(points, s, e);
            lastGoodEnds[s - 1] = e - 1;
        }
        const double best = spans.maximum(&sStar);
        eStar = bestEnd(points, best, sStar, static_cast<int32_t>(lastGoodEnds[sStar - 1]));
        if (points.x[eStar - 2] - points.x[sStar - 1] >= 0.5) break;
    }
    return finalFit(points, t, sStar, eStar);
}
