#include "run/measure_image.h"

#include <IL/il.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

#include "files/databar.h"
#include "files/decode.h"
#include "files/image_region.h"
#include "files/metadata.h"
#include "files/orientation.h"
#include "files/sixteen_bit.h"
#include "image/coarse_edges.h"
#include "image/image_load.h"
#include "metrology/contrast.h"
#include "run/quality_flags.h"

namespace {

namespace fs = std::filesystem;

// "1 edge", "3 edges".
std::string counted(int64_t n, const char* noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// The grid turned upside down (row 0 becomes the last row).
void flipRows(GreyImage& grid) {
    const size_t w = static_cast<size_t>(grid.width);
    for (int32_t top = 0, bottom = grid.height - 1; top < bottom; ++top, --bottom)
        std::swap_ranges(grid.data + static_cast<size_t>(top) * w,
                         grid.data + static_cast<size_t>(top + 1) * w,
                         grid.data + static_cast<size_t>(bottom) * w);
}

// Columns x .. x + w - 1 and rows y .. y + h - 1 (0-based) of `grid` into `out`.
bool cropRect(const GreyImage& grid, const PixelRect& r, GreyImage& out) {
    if (!out.allocate(r.width, r.height)) return false;
    for (int32_t j = 0; j < r.height; ++j)
        std::copy_n(grid.data + static_cast<size_t>(r.y + j) * static_cast<size_t>(grid.width) +
                        static_cast<size_t>(r.x),
                    static_cast<size_t>(r.width),
                    out.data + static_cast<size_t>(j) * static_cast<size_t>(r.width));
    return true;
}

// The grey picture of a grid of levels 0..255.
bool greyPicture(const GreyImage& grid, Picture& picture) {
    if (!picture.allocate(grid.width, grid.height)) return false;
    const size_t n = grid.size();
    for (size_t i = 0; i < n; ++i) {
        const double v = grid.data[i];
        const unsigned char level =
            (v >= 0.0 && v <= 255.0) ? static_cast<unsigned char>(static_cast<int>(v)) : 0;
        picture.bytes[3 * i] = picture.bytes[3 * i + 1] = picture.bytes[3 * i + 2] = level;
    }
    return true;
}

// The shares of `grid` whose signal is clipped at the bottom (0) and at the top (255) of the
// grey scale: per column and block of kFlagClipCellRows rows (fewer in the last), the cells in
// which more than half of the levels lie there, so that the local median does. Noise clipped
// about a level inside the scale (the dark spaces of a noisy picture) leaves the median inside.
void clippedShares(const GreyImage& grid, double& dark, double& bright) {
    dark = 0.0;
    bright = 0.0;
    const int32_t w = grid.width;
    if (w < 1 || grid.height < 1) return;
    std::vector<int32_t> low(static_cast<size_t>(w));
    std::vector<int32_t> high(static_cast<size_t>(w));
    int64_t cells = 0;
    int64_t darkCells = 0;
    int64_t brightCells = 0;
    for (int32_t first = 0; first < grid.height; first += kFlagClipCellRows) {
        const int32_t last = std::min(grid.height, first + kFlagClipCellRows);
        std::fill(low.begin(), low.end(), 0);
        std::fill(high.begin(), high.end(), 0);
        for (int32_t y = first; y < last; ++y) {
            const double* row = grid.data + grid.index(0, y);
            for (int32_t x = 0; x < w; ++x) {
                low[static_cast<size_t>(x)] += row[x] <= 0.0 ? 1 : 0;
                high[static_cast<size_t>(x)] += row[x] >= 255.0 ? 1 : 0;
            }
        }
        for (int32_t x = 0; x < w; ++x) {
            darkCells += 2 * low[static_cast<size_t>(x)] > last - first ? 1 : 0;
            brightCells += 2 * high[static_cast<size_t>(x)] > last - first ? 1 : 0;
        }
        cells += w;
    }
    dark = static_cast<double>(darkCells) / static_cast<double>(cells);
    bright = static_cast<double>(brightCells) / static_cast<double>(cells);
}

// Where the analysed grid lies in the (top-row-first) picture of the file.
struct GridPlacement {
    PixelRect area;           // the part of the file taken, before turning
    bool transposed = false;  // grid column x, row y is area column y, row x
    int32_t rowOffset = 0;    // analysed row 1 is row rowOffset + 1 of the (turned) area
};

void paint(unsigned char* pixel, const MarkColour& colour) {
    pixel[0] = colour.r;
    pixel[1] = colour.g;
    pixel[2] = colour.b;
}

// Paints pixel (x, y) of the analysed grid (0-based) in the file's picture, red by default.
void markInFile(const GridPlacement& p,
                int32_t x,
                int32_t y,
                Picture& picture,
                const MarkColour& colour = kEdgeMark) {
    const int32_t ay = y + p.rowOffset;
    const int32_t fx = p.area.x + (p.transposed ? ay : x);
    const int32_t fy = p.area.y + (p.transposed ? x : ay);
    if (fx < 0 || fy < 0 || fx >= picture.width || fy >= picture.height) return;
    paint(picture.pixel(fx, fy), colour);
}

// The pixel size in use and its source: the user's, else the file's, else none (figures in px).
// A given size is taken for both directions; the file's own pixel height comes with its width.
// No pixel size: the figures in px.
void setNoPixelSize(ImageSetup& setup) {
    setup.pixelSizeNm = setup.pixelHeightNm = NAN;
    setup.pixelSizeSource = "none";
    setup.figuresInPixels = true;
}

void choosePixelSize(const AnalysisSettings& settings,
                     const FileMetadata* metadata,
                     ImageSetup& setup) {
    if (std::isfinite(settings.pixelSizeNm)) {
        setup.pixelSizeNm = setup.pixelHeightNm = settings.pixelSizeNm;
        setup.pixelSizeSource = settings.pixelSizeFromFile ? "parameter file" : "option";
        // Given, it wins; a file that says otherwise is worth a word (a slip of a digit moves
        // every length in nm).
        if (metadata == nullptr || !std::isfinite(metadata->pixelSizeNm)) return;
        const double width = metadata->pixelSizeNm;
        const double height =
            std::isfinite(metadata->pixelHeightNm) ? metadata->pixelHeightNm : width;
        const bool square = std::fabs(height - width) <= 0.01 * width;
        char text[240];
        if (!square) {
            std::snprintf(text, sizeof text,
                          "the pixel size was set to %.6g nm (%s) in both directions, but the "
                          "file's metadata gives %.6g nm along a row and %.6g nm down a column "
                          "(%s)",
                          settings.pixelSizeNm, setup.pixelSizeSource.c_str(), width, height,
                          pixelSizeSourceName(metadata->source));
            setup.settingNotes.push_back(text);
        } else if (std::fabs(settings.pixelSizeNm - width) > 0.01 * width) {
            std::snprintf(text, sizeof text,
                          "the pixel size was set to %.6g nm (%s), but the file's metadata gives "
                          "%.6g nm (%s)",
                          settings.pixelSizeNm, setup.pixelSizeSource.c_str(), width,
                          pixelSizeSourceName(metadata->source));
            setup.settingNotes.push_back(text);
        }
    } else if (metadata != nullptr && std::isfinite(metadata->pixelSizeNm)) {
        setup.pixelSizeNm = metadata->pixelSizeNm;
        setup.pixelHeightNm = metadata->pixelHeightNm;  // NaN: square (pixelHeight)
        setup.pixelSizeSource = pixelSizeSourceName(metadata->source);
    } else {
        setNoPixelSize(setup);
    }
}

// Everything after decoding. `grid` holds the file's grey levels in the decoder's row order
// (`topRowFirst` tells which); it is consumed.
// The note for a whole-pixel edge search that reaches across the spaces. Each edge is scanned
// from its window's end on the space side (as `pairing` pairs the coarse edges) for the first
// column at the threshold; a half-window that reaches within 2 px of the edge across the space
// starts that scan on the next line's band. Generated bands at a 16-24 px pitch then read CDs up
// to a pitch too wide, or LWRs from a third to several times too high. Empty when the
// half-window clears the median space between the coarse edges of neighbouring lines by more,
// or there is none.
std::string windowAcrossSpacesNote(const CoarseEdges& coarse, int32_t pairing, int32_t halfWindow) {
    int32_t first = 0;
    int32_t last = 0;
    processedEdgeRange(pairing, coarse.count, first, last);
    std::vector<int32_t> spaces;  // between edges e + 1 and e + 2 of the lines (e, e + 1)
    for (int32_t e = first; e + 2 <= last && e + 2 <= coarse.count; e += 2)
        spaces.push_back(coarse.columns[static_cast<size_t>(e + 1)] -
                         coarse.columns[static_cast<size_t>(e)]);
    if (spaces.empty()) return std::string();
    std::nth_element(spaces.begin(),
                     spaces.begin() + static_cast<std::ptrdiff_t>(spaces.size() / 2), spaces.end());
    const int32_t space = spaces[spaces.size() / 2];
    if (halfWindow < space - 2) return std::string();
    const int32_t clear = std::max(1, std::min(space - 3, space / 2 + 1));
    char text[300];
    std::snprintf(text, sizeof text,
                  "the edge search half-window of %d px reaches across the spaces between the "
                  "lines (their edges lie %d px apart): the whole-pixel edges may be found on "
                  "the next line's band; give --window %d or less",
                  halfWindow, space, clear);
    return text;
}

// Whether the bottom rows of the upright picture `grid` look like a bar, though no bar was found
// there: at least 80 % of the pixels of its last 4 rows at one end of the grey scale (40 or
// less, or 215 or more). A bar scaled down turns its text grey and is no longer found; lines
// and spaces share their rows between the two ends.
bool bottomLooksLikeABar(const GreyImage& grid) {
    const int32_t rows = std::min(4, grid.height);
    int64_t dark = 0;
    int64_t bright = 0;
    for (int32_t y = grid.height - rows; y < grid.height; ++y)
        for (int32_t x = 0; x < grid.width; ++x) {
            const double v = grid.at(x, y);
            dark += v <= 40.0 ? 1 : 0;
            bright += v >= 215.0 ? 1 : 0;
        }
    const double pixels = static_cast<double>(rows) * grid.width;
    return pixels > 0.0 && static_cast<double>(std::max(dark, bright)) >= 0.8 * pixels;
}

// Whether the upright picture `grid`, whose bottom shows a bar of `seen` rows (0: none), is the
// one whose XML gives a bar of `given` rows: the bars agree within 2 rows, or the picture shows
// none and its bottom does not look like one (it was cut since: the scale holds). Otherwise the
// picture was scaled (or cut within its bar) since, and the pixel size of the file's own forms,
// written for the picture the microscope took, is not used: the figures are in px, with a note.
// False then.
bool xmlBarFits(const GreyImage& grid, int32_t seen, int32_t given, ImageSetup& setup) {
    if (std::abs(seen - given) <= 2) return true;
    const std::string metadataBar =
        "the XML gives a data bar of " + std::to_string(given) + " rows, ";
    if (seen <= 0 && !bottomLooksLikeABar(grid)) {
        setup.notes.push_back(metadataBar +
                              "but the picture shows none at its bottom (cut away since, or "
                              "turned): none is left out there");
        return true;
    }
    std::string note = metadataBar +
                       (seen > 0 ? "the picture one of " + std::to_string(seen) + " rows"
                                 : std::string("the picture one it cannot measure")) +
                       ": it was scaled or cut since";
    // A size the file's own forms gave (an option, parameter file or side-car stands).
    const std::string& source = setup.pixelSizeSource;
    bool fromTheFile = false;
    for (PixelSizeSource form :
         {PixelSizeSource::kXml, PixelSizeSource::kTiffIni, PixelSizeSource::kTiffText})
        fromTheFile = fromTheFile || source == pixelSizeSourceName(form);
    if (!setup.figuresInPixels && fromTheFile) {
        char size[64];
        std::snprintf(size, sizeof size, "%.6g", setup.pixelSizeNm);
        note += std::string("; the file's pixel size (") + size +
                " nm) is not this picture's, so lengths are in px (give --pixel-size)";
        setNoPixelSize(setup);
    }
    setup.notes.push_back(note);
    return false;
}

// Takes the part of the decoded picture `grid` that is analysed into `work`, upright with its
// lines along the rows, and says in `placement` and in result.setup where it lies in the file:
// the whole picture in the file's row order when keepsFileOrder(settings); otherwise the picture
// top row first (also kept as result.picture), cut to the region of interest or above the data
// bar, turned when its lines run across, and cut to the rows where every line runs. `grid` is
// released. False, with result's status and reason set, when the region of interest lies outside
// the picture or storage fails.
bool takeAnalysedPart(GreyImage& grid,
                      bool topRowFirst,
                      const FileMetadata* metadata,
                      const AnalysisSettings& settings,
                      ImageResult& result,
                      GreyImage& work,
                      GridPlacement& placement) {
    ImageSetup& setup = result.setup;
    const bool fileOrder = keepsFileOrder(settings);
    setup.fileOrder = fileOrder;
    setup.gridTopRowFirst = !fileOrder || topRowFirst;
    if (fileOrder) {
        // The picture as the file delivers it: the console program's figures exactly.
        placement.area = PixelRect{0, 0, grid.width, grid.height};
        setup.databarSource = "off";
        work = std::move(grid);
    } else {
        if (!topRowFirst) flipRows(grid);
        // The picture shows the whole file upright; the analysed edges are painted into it.
        if (!greyPicture(grid, result.picture)) {
            result.status = ImageStatus::kUnreadable;
            result.reason = "the picture cannot be stored";
            return false;
        }
        result.pictureTopDown = true;
        PixelRect area{0, 0, grid.width, grid.height};
        // The bars the picture shows, and whether it is still the one its XML describes (checked
        // whatever part of it is analysed).
        const bool metadataBar =
            metadata != nullptr && metadata->databarRows > 0 && metadata->databarRows < grid.height;
        const bool xmlBar = metadataBar && metadata->databarSource == PixelSizeSource::kXml;
        const DatabarRows seen = xmlBar || (settings.findDatabar && !settings.roiSet)
                                     ? detectDatabar(grid)
                                     : DatabarRows();
        const bool barFits = !xmlBar || xmlBarFits(grid, seen.bottom, metadata->databarRows, setup);
        if (settings.roiSet) {
            const PixelRect& roi = settings.roi;
            if (roi.x >= grid.width || roi.y >= grid.height) {
                result.status = ImageStatus::kNoLine;
                result.reason = "the region of interest lies outside the picture";
                return false;
            }
            area = PixelRect{roi.x, roi.y, std::min(roi.width, grid.width - roi.x),
                             std::min(roi.height, grid.height - roi.y)};
            setup.databarSource = "off";
            if (area.width < roi.width || area.height < roi.height) {
                char text[240];
                std::snprintf(text, sizeof text,
                              "the region of interest %d,%d,%d,%d runs past the %d x %d px "
                              "picture: %d x %d px of it were analysed",
                              roi.x, roi.y, roi.width, roi.height, grid.width, grid.height,
                              area.width, area.height);
                setup.settingNotes.push_back(text);
            }
        } else if (settings.findDatabar) {
            int32_t bar = -1;
            const int32_t topBar = seen.top;  // a bar at the top, found in the picture only
            if (metadataBar && (!xmlBar || (barFits && seen.bottom > 0))) {
                bar = metadata->databarRows;
                setup.databarSource = "metadata";
            } else if (metadataBar && !barFits) {
                // Scaled: the picture's bar, or the XML's where the picture's is seen only in
                // part or not at all (a scaled bar's thin lines turn grey), at most half the
                // picture.
                bar = std::min(std::max(seen.bottom, metadata->databarRows), grid.height / 2);
                setup.databarSource = "image";
            } else {
                bar = seen.bottom;  // the XML's bar cut away, or no bar given
                setup.databarSource = bar > 0 || topBar > 0 ? "image" : "none";
            }
            if (bar > 0 && bar < grid.height) {
                setup.databarRows = bar;
                area.height = grid.height - bar;
            }
            if (topBar > 0 && topBar < area.height) {
                setup.databarRows = std::max(0, setup.databarRows) + topBar;
                area.y = topBar;
                area.height -= topBar;
            }
        } else {
            setup.databarSource = "off";
        }
        placement.area = area;
        GreyImage part;
        const bool whole = area.width == grid.width && area.height == grid.height;
        if (!whole && !cropRect(grid, area, part)) {
            result.status = ImageStatus::kUnreadable;
            result.reason = "the picture cannot be stored";
            return false;
        }
        GreyImage& taken = whole ? grid : part;
        bool horizontal = settings.orientation == OrientationChoice::kHorizontal;
        if (settings.orientation == OrientationChoice::kAuto)
            horizontal = linesAreHorizontal(taken);
        setup.horizontal = horizontal;
        placement.transposed = horizontal;
        GreyImage turned;
        if (horizontal) taken.transpose(turned);
        // A given orientation that the picture clearly contradicts (its lines run the other
        // way by the test auto uses, on the picture as turned) is worth a word.
        if (settings.orientation != OrientationChoice::kAuto &&
            linesAreHorizontal(horizontal ? turned : taken))
            setup.settingNotes.push_back(
                std::string("the orientation was set to ") +
                (horizontal ? "horizontal" : "vertical") + ", but the picture's lines run " +
                (horizontal ? "vertically" : "horizontally") + " (as auto would take them)");
        GreyImage& oriented = horizontal ? turned : taken;
        RowRange rows{1, oriented.height};
        if (settings.findRegion && !settings.roiSet) rows = detectLineRows(oriented);
        if (rows.first < 1 || rows.last > oriented.height || rows.last < rows.first)
            rows = RowRange{1, oriented.height};
        placement.rowOffset = rows.first - 1;
        if (rows.first == 1 && rows.last == oriented.height) {
            work = std::move(oriented);
        } else {
            cropRect(oriented,
                     PixelRect{0, rows.first - 1, oriented.width, rows.last - rows.first + 1},
                     work);
        }
        grid.release();
    }
    return true;
}

void measureDecoded(GreyImage& grid,
                    bool topRowFirst,
                    const FileMetadata* metadata,
                    const AnalysisSettings& settings,
                    ImageResult& result) {
    ImageSetup& setup = result.setup;
    setup.fileWidth = grid.width;
    setup.fileHeight = grid.height;
    choosePixelSize(settings, metadata, setup);
    if (metadata != nullptr) setup.notes = metadata->notes;

    GreyImage work;
    GridPlacement placement;
    if (!takeAnalysedPart(grid, topRowFirst, metadata, settings, result, work, placement)) return;
    const bool fileOrder = setup.fileOrder;
    if (fileOrder) {
        setup.firstRow = 1;
        setup.lastRow = work.height;
    } else {
        setup.firstRow =
            (placement.transposed ? placement.area.x : placement.area.y) + placement.rowOffset + 1;
        setup.lastRow = setup.firstRow + work.height - 1;
    }
    PixelRect analysed = placement.area;
    if (placement.transposed) {
        analysed.x += placement.rowOffset;
        analysed.width = work.height;
    } else {
        analysed.y += placement.rowOffset;
        analysed.height = work.height;
    }
    setup.area = analysed;
    clippedShares(work, setup.darkClippedShare, setup.brightClippedShare);

    // Contrast, then both analyses on the same grid: the metrology first, since the whole-pixel
    // tracing marks the grid it works on.
    // The row profiles the sub-pixel edges are found on, prepared once: the contrast detection
    // lines its blocks up by their drift.
    MetrologySettings ms;
    EdgeGrid lined;
    prepareEdgeGrid(work, ms.edges, lined);
    Contrast contrast = Contrast::kBrightEdge;
    switch (settings.contrast) {
        case ContrastChoice::kAuto:
            contrast = detectContrast(work, lined, &setup.contrastGuessed);
            break;
        case ContrastChoice::kBrightEdge:
            contrast = Contrast::kBrightEdge;
            break;
        case ContrastChoice::kBrightLine:
            contrast = Contrast::kBrightLine;
            break;
        case ContrastChoice::kDarkLine:
            contrast = Contrast::kDarkLine;
            break;
    }
    setup.contrast = contrastName(contrast);
    bool contrastContradicted = false;
    if (settings.contrast != ContrastChoice::kAuto && !fileOrder) {
        const Contrast seen = detectContrast(work, lined);
        contrastContradicted = seen != contrast;
        if (contrastContradicted)
            setup.settingNotes.push_back(std::string("the contrast was set to ") +
                                         contrastName(contrast) + ", but the picture looks " +
                                         contrastName(seen) + " (as auto would take it)");
    }
    const CoarseEdges coarse = locateCoarseEdges(work, settings.detectionFloor);

    // Positions are scaled across the lines, rows along them (they differ for pixels that are
    // not square).
    const double scale = acrossScale(setup);
    const double rowSpacing = alongScale(setup);
    ms.contrast = contrast;
    ms.pixelSizeNm = scale;
    ms.rowSpacingNm = rowSpacing;
    ms.pairing = settings.pairing;
    ms.bootstrapResamples = settings.bootstrapResamples;
    ms.seed = settings.bootstrapSeed;
    if (!setup.figuresInPixels)
        ms.resolutionNm = settings.resolutionNm;
    else if (settings.resolutionNm >= 0.0)
        setup.settingNotes.push_back(
            "the resolution was set in nm, but the picture has no pixel "
            "size: the spectra's roll-off was fitted");
    measureMetrology(lined, work, coarse, ms, result.metrology);
    // The spaces between the coarse edges of lines that drift into each other, or of bands read
    // on a picture that shows none, say nothing of the search window.
    if (contrast == Contrast::kBrightEdge && !contrastContradicted &&
        !linesDriftIntoEachOther(result.metrology, setup.lastRow - setup.firstRow + 1)) {
        const std::string note =
            windowAcrossSpacesNote(coarse, settings.pairing, settings.edgeHalfWindow);
        if (!note.empty()) setup.settingNotes.push_back(note);
    }

    // The sub-pixel edges on the picture: in red where the whole-pixel analysis drew none, in
    // blue beside its red ones where they were started from the edge bands.
    auto markSubpixelEdges = [&](const MarkColour& colour) {
        for (const MetrologyEdge& edge : result.metrology.edges) {
            for (size_t i = 0; i < edge.positions.size(); ++i) {
                const double p = edge.positions[i];
                if (!std::isfinite(p)) continue;
                const int32_t x = static_cast<int32_t>(std::lround(p)) - 1;
                if (x < 0 || x >= work.width) continue;
                if (fileOrder) {
                    paint(result.picture.pixel(x, static_cast<int32_t>(i)), colour);
                } else {
                    markInFile(placement, x, static_cast<int32_t>(i), result.picture, colour);
                }
            }
        }
    };

    // Sub-pixel lines located on the middle rows but with no width in any row (every other row
    // shifted sideways, say, so that each row's position jumps from its neighbours') measure
    // nothing.
    const std::vector<MetrologyLine>& subpixelLines = result.metrology.lines;
    const bool widthFound =
        std::any_of(subpixelLines.begin(), subpixelLines.end(),
                    [](const MetrologyLine& l) { return std::isfinite(l.meanWidthNm); });
    const RunParameters params = parametersFromSettings(settings, scale);
    if (contrast == Contrast::kBrightEdge) {
        analyseGrid(work, coarse, settings.pairing, params, AnalysisPath::kFast, result.analysis);
        result.analysis.topRowFirst = setup.gridTopRowFirst;
        if (result.analysis.status == AnalysisStatus::kMeasured) {
            result.status = ImageStatus::kMeasured;
            fillDisplaySeries(result.analysis, rowSpacing, result.display);
        } else if (result.analysis.status == AnalysisStatus::kNoLine) {
            const std::string found = counted(result.analysis.coarse.count, "edge") + " found, " +
                                      std::to_string(result.analysis.processed.size()) +
                                      " processed";
            if (settings.measureWithoutWholePixelLines && widthFound) {
                result.status = ImageStatus::kMeasured;
                result.wholePixelApplicable = false;
                result.wholePixelReason =
                    "the whole-pixel analysis found no line (" + found +
                    "); the sub-pixel edges found " +
                    counted(static_cast<int32_t>(result.metrology.lines.size()), "line");
            } else {
                result.status = ImageStatus::kNoLine;
                result.reason = result.metrology.turnedTooFar ? result.metrology.reason
                                                              : "no line found (" + found + ")";
            }
        } else {
            result.status = ImageStatus::kUnreadable;
            result.reason = "the picture cannot be stored";
        }
        if (fileOrder) {
            result.picture = std::move(result.analysis.picture);
            result.pictureTopDown = result.analysis.topRowFirst;
        } else {
            const Picture& marked = result.analysis.picture;
            for (int32_t y = 0; y < marked.height; ++y)
                for (int32_t x = 0; x < marked.width; ++x) {
                    const unsigned char* q =
                        marked.bytes + 3 * (static_cast<size_t>(y) * marked.width + x);
                    if (q[0] == 255 && q[1] == 0 && q[2] == 0)
                        markInFile(placement, x, y, result.picture);
                }
            result.analysis.picture.release();
        }
        if (!result.wholePixelApplicable) {
            if (fileOrder && result.picture.bytes == nullptr) {
                greyPicture(work, result.picture);
                result.pictureTopDown = topRowFirst;
            }
            if (result.picture.bytes != nullptr) markSubpixelEdges(kEdgeMark);
        } else if (!result.metrology.edgeOrigin.empty() && result.picture.bytes != nullptr) {
            markSubpixelEdges(kBandEdgeMark);
        }
    } else {
        result.wholePixelApplicable = false;
        result.wholePixelReason =
            std::string(
                "the whole-pixel method looks for a bright band at each edge; this "
                "image shows a plain step (") +
            contrastName(contrast) + ")";
        if (fileOrder) {
            greyPicture(work, result.picture);
            result.pictureTopDown = topRowFirst;
        }
        markSubpixelEdges(kEdgeMark);
        if (subpixelLines.empty()) {
            result.status = ImageStatus::kNoLine;
            result.reason = result.metrology.turnedTooFar
                                ? result.metrology.reason
                                : "no line found: " + result.metrology.reason;
        } else if (!widthFound) {
            result.status = ImageStatus::kNoLine;
            result.reason = "no line found: no row gives a width to the " +
                            counted(static_cast<int64_t>(subpixelLines.size()), "line") +
                            " located on the middle rows";
        } else {
            result.status = ImageStatus::kMeasured;
        }
    }
    result.flags = qualityFlags(result);
}

void resetResult(ImageResult& result) {
    ImageResult fresh;
    fresh.position = result.position;
    fresh.name = result.name;
    fresh.path = result.path;
    fresh.group = result.group;
    fresh.pairing = result.pairing;
    result = std::move(fresh);
}

// What the reduction of a 16-bit picture to 8 bits did beyond the shift of its largest value:
// taking the levels from an offset up, or letting a few bright outliers be 255 (both
// sixteenBitReduction). "" otherwise.
std::string sixteenBitNote(const LoadedImageInfo& info) {
    if (info.sixteenBitLowest < 0 || info.sixteenBitHighest < info.sixteenBitLowest) return "";
    const SixteenBitReduction& r = info.sixteenBit;
    const int plainShift = sixteenBitShift(static_cast<uint32_t>(info.sixteenBitHighest));
    // The levels that the bulk of the values would keep under the largest value's shift.
    const int plainLevels = static_cast<int>((r.high >> plainShift) - (r.low >> plainShift)) + 1;
    const std::string range = "the 16-bit values run from " +
                              std::to_string(info.sixteenBitLowest) + " to " +
                              std::to_string(info.sixteenBitHighest);
    if (r.base > 0)
        return range + ", which leaves " + std::to_string(plainLevels) +
               " grey levels in the 8 bits from the highest bit in use: an offset takes the "
               "rest. The grey levels were taken from " +
               std::to_string(r.base) + " up instead (value - " + std::to_string(r.base) +
               ", shifted right by " + std::to_string(r.shift) +
               " bits), so that the lines keep their contrast";
    if (r.shift == plainShift) return "";
    return range + ", but all except the brightest 1 in " + std::to_string(kSixteenBitOutliers) +
           " pixels lie at or under " + std::to_string(r.high) +
           ": the grey levels are the 8 bits from its highest bit, and the brighter pixels "
           "are 255 (from the largest value's highest bit the picture would keep " +
           std::to_string(plainLevels) + " grey levels)";
}

}  // namespace

bool keepsFileOrder(const AnalysisSettings& settings) {
    return settings.orientation == OrientationChoice::kVertical && !settings.findDatabar &&
           !settings.findRegion && !settings.roiSet;
}

void measureImageFile(const AnalysisSettings& settings, ImageResult& result) {
    resetResult(result);
    std::error_code ec;
    const fs::file_status status = fs::status(result.path, ec);
    if (status.type() == fs::file_type::not_found) {
        result.status = ImageStatus::kMissing;
        result.reason = "file not found";
        return;
    }
    if (ec) {
        result.status = ImageStatus::kUnreadable;
        result.reason = "cannot be accessed: " + ec.message();
        return;
    }
    if (!fs::is_regular_file(status)) {
        result.status = ImageStatus::kUnreadable;
        result.reason = "not a regular file";
        return;
    }
    GreyImage grid;
    LoadedImageInfo info;
    DecodeLimits limits;
    limits.maxPixels = settings.maxPixels;
    std::string reason;
    if (!decodeImageFile(result.path, limits, grid, info, reason)) {
        result.status = ImageStatus::kUnreadable;
        result.reason = "cannot be read as an image";
        if (!reason.empty()) result.reason += ": " + reason;
        return;
    }
    result.setup.format = info.format;
    FileMetadata metadata = readFileMetadata(result.path, grid.width, grid.height);
    if (info.pictures > 1)
        metadata.notes.push_back("the file holds " + std::to_string(info.pictures) +
                                 " pictures (pages or frames): only the first is measured");
    const std::string reduced = sixteenBitNote(info);
    if (!reduced.empty()) metadata.notes.push_back(reduced);
    measureDecoded(grid, info.topRowFirst, &metadata, settings, result);
}

void measureGreyImage(const GreyImage& grid,
                      const AnalysisSettings& settings,
                      ImageResult& result) {
    resetResult(result);
    if (grid.width < 1 || grid.height < 1) {
        result.status = ImageStatus::kUnreadable;
        result.reason = "the picture is empty";
        return;
    }
    GreyImage copy(grid);
    if (copy.width != grid.width) {
        result.status = ImageStatus::kUnreadable;
        result.reason = "the picture cannot be stored";
        return;
    }
    result.setup.format = "array";
    measureDecoded(copy, true, nullptr, settings, result);
}
