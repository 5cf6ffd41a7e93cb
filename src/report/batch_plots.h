// The batch plots of the report page, drawn with Cairo as SVG text to embed in the page: the
// spread of one figure over the images of a run and the comparison of groups of images; and
// the statistics over images they show.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

// Width of every batch plot, in SVG user units (CSS pixels at 100 %).
constexpr int32_t kBatchPlotWidth = 760;

// Statistics of a sample of figures, one value per image; non-finite values are left out.
struct SampleSummary {
    int32_t count = 0;  // finite values used
    double mean = NAN;
    // Sample standard deviation (divisor count - 1); NaN below two values.
    double sd = NAN;
    // Half-width of the 95 % Student-t interval of the mean, t(0.975, count - 1) sd /
    // sqrt(count): it treats the images as independent draws. NaN below two values.
    double ci95 = NAN;
    // Order statistics; the quartiles interpolate linearly between the sorted values at
    // position (count - 1) p, 0-based. NaN when count is 0.
    double minimum = NAN;
    double q1 = NAN;
    double median = NAN;
    double q3 = NAN;
    double maximum = NAN;
};

SampleSummary summarizeSample(const std::vector<double>& values);

// One image's value in a distribution plot.
struct PlotSample {
    double value = NAN;
    bool flagged = false;  // drawn in the warning colour
};

// A strip plot of `samples` (one dot per image, flagged ones in orange) over a box from the
// first to the third quartile with the median and whiskers to the extremes, and below it the
// mean with its 95 % interval (as summarizeSample). `axisTitle` labels the value axis (with its
// unit). The SVG document is kBatchPlotWidth wide; its text is drawn as glyph outlines, so it
// needs no font and carries no text of the caller as markup. Empty when no sample is finite
// or the drawing fails.
std::string distributionSvg(const std::string& axisTitle, const std::vector<PlotSample>& samples);

// One quantity compared across groups: per group its estimate and the half-width of its 95 %
// interval (NaN when none), in the order of the group names.
struct GroupQuantity {
    std::string title;  // with its unit, e.g. "CD (nm)"
    std::vector<double> value;
    std::vector<double> ci95;
};

// Side-by-side panels, one per quantity, with one row per group: the estimate as a dot and its
// interval as a bar, so that groups whose bars do not overlap stand apart. Group names longer
// than the name column are cut with an ellipsis. The SVG document is kBatchPlotWidth wide.
// Empty when there is no group or no quantity, or the drawing fails.
std::string groupComparisonSvg(const std::vector<std::string>& groupNames,
                               const std::vector<GroupQuantity>& quantities);
