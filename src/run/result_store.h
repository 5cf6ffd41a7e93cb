// The result store through which the analysis hands its figures to the result window.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "stats/series.h"

// Everything one image's window contents are drawn from. Every Series is an independent copy.
struct DisplayRecord {
    std::string name;             // file name as written in the parameter file
    unsigned int texture = 0;     // GL texture name of the marked picture
    bool pictureTopDown = false;  // true when the picture's row 0 is the top of the image
    Series logLag;                // log10 r, r = 1 .. L pixels
    Series logHhcf;               // log10 of the average HHCF at those lags
    Series fitLogLag;             // log10 r along the fitted model line
    Series fitLogHhcf;            // the fitted model line
    Series lengthNm;              // segment lengths, nm
    Series sigmaUncertaintyPct;   // 100 * sigmaOfSigmas / meanSigmas, percent
    Series lwr3Sigma;             // 3 * meanSigmas, nm
    Series cdVariation3Sigma;     // 3 * sigmaOfMeans, nm
    Series lwr3SigmaInfinite;     // one value, nm
};

// Per-image summary columns (element p - 1 for the image at list position p) and the display
// records of the completed images, in order of analysis.
struct ResultStore {
    int32_t shownImageIndex = 0;
    std::vector<std::unique_ptr<DisplayRecord>> displayRecords;
    Series cdAverageByImage;          // nm
    Series correlationLengthByImage;  // nm
    Series lwrVarianceByImage;        // nm^2
    Series roughnessExponentByImage;  // a
    Series lwrInfiniteByImage;        // nm, 1 sigma
    Series lwrSigmaByImage;           // nm, 1 sigma
};

// Allocates the six summary columns to `imageCount` elements and sets them to 0 (a row of an
// image that is never completed then reads 0 rather than garbage).
void allocateSummary(ResultStore& store, int32_t imageCount);
