// The batch report's page, index.html: one self-contained HTML file with the run's settings, a
// sortable summary table of every image, the batch statistics and plots, the groups, the
// images that failed and one section per image with its pictures and figures.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "metrology/metrology.h"
#include "report/report_files.h"
#include "run/image_result.h"

// One group of images as the page shows it. Lengths in nm; a figure that could not be
// measured is NaN and shows as an empty cell.
struct GroupRow {
    std::string name;
    int32_t images = 0;  // measured images of the group
    int32_t lines = 0;   // measured lines of those images
    double cdMeanNm = NAN;
    double cdCi95Nm = NAN;  // half-width of the 95 % interval of cdMeanNm
    double cduNm = NAN;     // 3 sigma of the line CDs over all lines of the group
    double lwrUnbiasedNm = NAN;
    double lwrCi95Nm = NAN;
    double lerUnbiasedNm = NAN;
    double lerCi95Nm = NAN;
    std::string lengthUnit = "nm";  // of the figures: nm, px, or empty when the group mixes both
    int32_t spectrumImages = 0;     // images whose spectra were pooled (one frequency grid)
    int32_t spectrumLines = 0;      // lines of those images with both edges in the spectra
    int32_t spectrumRows = 0;       // rows of each pooled spectrum (0 without spectra)
    // What the figures leave out or cut, one sentence each: images not measured, images left
    // out of the spectra or cut to spectrumRows (PooledRoughness::spectrumNotes).
    std::vector<std::string> notes;
    // Why a figure is empty, keyed by its groups.csv column; only empty figures have one.
    std::vector<std::pair<std::string, std::string>> reasons;
};

// The row of a group from the pooled lines of its images.
GroupRow groupRowOf(const std::string& name, const PooledRoughness& pooled);

// `text` made safe in HTML element content and in double- or single-quoted attribute values:
// & < > " ' become character references, control characters other than tab, line feed and
// carriage return and every byte that is not part of valid UTF-8 become U+FFFD.
std::string htmlEscape(const std::string& text);

// A relative file name made safe as a URL in an attribute: every byte other than ASCII letters,
// digits, '-', '.', '_', '~' and '/' is percent-encoded, so that no name can carry a scheme
// (":" is encoded), a query or a fragment.
std::string relativeUrl(const std::string& fileName);

// The whole page for `results` (in list order; each result's picture file names relative to
// the page's folder). `groups` may be null or empty: the page then has no groups section.
// The page loads nothing from elsewhere: its style and its sorting script are inline, the
// batch plots are inline SVG, and the per-image pictures are referenced by their relative
// names. Every text that comes from a file name, a file's metadata or a reason is escaped.
// Nothing on the page depends on the number of workers, so that runs with any number of them
// write the same file.
std::string formatHtmlReport(const RunDescription& run,
                             const std::vector<ImageResult>& results,
                             const std::vector<GroupRow>* groups = nullptr);
