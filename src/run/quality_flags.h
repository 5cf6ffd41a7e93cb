// Quality flags: the conditions under which a reader must not take an image's figures at face
// value. Each flag is a fixed word; docs/quality-flags.md gives every rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ImageResult;
struct MetrologyEdge;
struct MetrologyResult;

// Thresholds of the rules.
constexpr double kFlagMissingFraction = 0.02;     // edge rows not found
constexpr double kFlagSpikeFraction = 0.03;       // samples replaced as spikes
constexpr double kFlagCorrelationLengths = 10.0;  // rows needed per correlation length
// The edges' own correlation over a tenth of their rows (see short_for_correlation): the share
// of its level that the squared HHCF must reach at that lag (1 - 1/e, an exponential
// correlation at one correlation length), the lags the level is averaged over, and the fewest
// rows judged this way.
constexpr double kFlagHhcfShare = 0.6321205588285577;
constexpr int32_t kFlagHhcfLevelLags = 8;
constexpr size_t kFlagHhcfMinRows = 40;
constexpr double kFlagBorderPx = 3.0;  // an edge this close to the border touches it
// Edge rows found only on the mean of the row and its neighbours (MetrologyResult::
// pooledEdgeRows): beyond this share the edge detector is at its limit.
constexpr double kFlagPooledFraction = 0.06;
// The lines' drift over the analysed rows (tan of MetrologyResult::tiltDegrees times the rows),
// as a share of the narrowest gap between neighbouring sub-pixel edges (their mean columns),
// beyond which the whole-pixel analysis, whose edges come from column sums over all rows, is
// flagged: each edge's smear in the sums then reaches half way to its neighbour.
constexpr double kFlagTiltGapShare = 0.5;
// lines_disagree: the larger of the whole-pixel and sub-pixel mean CDs over the smaller beyond
// which the two measure different features.
constexpr double kFlagCdRatio = 1.5;
// lines_move_together: the share of the lines' placement variance that every line shares row by
// row, beyond which it is flagged: kFlagCommonShare or twice the 1 / n that n independent lines
// share by chance, whichever is more, over at least kFlagCommonMinLines lines.
constexpr double kFlagCommonShare = 0.25;
constexpr int32_t kFlagCommonMinLines = 4;
// ... and q / n, with q the point of the chance share's scatter over the picture's few
// independent rows that independent lines pass with a probability of 0.1 % (linesMoveTogether),
// taken at this point of the standard normal distribution.
constexpr double kFlagCommonNormalPoint = 3.090;
// grey_levels_clipped: the share of the analysed picture from which it counts as clipped, and
// the rows of the cells (one column wide) whose median is judged (ImageSetup::darkClippedShare).
constexpr double kFlagClippedShare = 0.01;
constexpr int32_t kFlagClipCellRows = 16;

// The image's flags, in this order, each present when its rule holds:
//  edge_rows_missing      more than 2 % of the sub-pixel edge rows (of all edges) were not
//                         found, or more than MetrologySettings::maxMissingFraction (10 %) of
//                         one edge's rows, which leaves it out of the spectra (the roughest
//                         lines lose rows first)
//  bridge_or_break        both edges of a space (a bridge, or a particle across it) or of a line
//                         (a break) are missing together over 3 or more consecutive rows inside
//                         the lines (MetrologyResult::gaps)
//  spikes_replaced        more than 3 % of the whole-pixel trace samples (of all edges) were
//                         replaced as spikes
//  noise_above_roughness  the fitted noise share (floor x bandwidth) of the LWR or LER variance
//                         exceeds the unbiased roughness variance: the unbiased figure is not
//                         trustworthy
//  edges_at_detection_limit  more than 6 % of the sub-pixel edge rows (of all edges) were found
//                         only on the mean of the row and its neighbours: the noise hides the
//                         edges so often that the unbiased figures may run high and xi and
//                         alpha are not trustworthy
//  short_for_correlation  fewer rows than 10 correlation lengths (xi of the edge spectrum, or
//                         ksi of the HHCF fit), or edges still correlated over a tenth of
//                         their rows: the squared HHCF of the detrended sub-pixel edges in the
//                         spectra at lag rows / 10 is below 1 - 1/e of its mean over lags
//                         rows / 4 .. rows / 2 (edges of 40 rows or more): xi, alpha, a and ksi
//                         are not trustworthy
//  line_touches_border    an edge comes within 3 px of the left or right border of the
//                         analysed picture in some row
//  lines_tilted           the whole-pixel analysis ran (bright edges) and the lines drift over
//                         the analysed rows by more than half the narrowest gap between
//                         neighbouring edges: its column sums smear the edges into each other,
//                         and its lines may pair the wrong ones
//  lines_disagree         the whole-pixel analysis ran and most sub-pixel lines have their centre
//                         outside every whole-pixel line (between the coarse edges it pairs):
//                         the two measure different features (the sub-pixel path takes each
//                         band's darker side as the space, the whole-pixel one its pairing);
//                         or their mean CDs differ by more than kFlagCdRatio times (a band at
//                         one edge of each line only: the whole-pixel path pairs band to band)
//  lines_move_together    more than max(a quarter, 2 / n) of the n lines' placement variance
//                         (centres about their least-squares lines, over the rows where every
//                         line has a centre) is the row-by-row mean over the lines (n
//                         independent lines share 1 / n by chance): the lines move together
//                         (the picture drifted or jittered during the scan, or the scan is
//                         distorted), which is in LER and LPR but not in LWR; 4 lines or more
//  contrast_guessed       the contrast was detected (auto) as a plain step and which phase is
//                         the line had to be guessed: the picture's left and right borders lie
//                         in different phases (a line cut by one of them), and the narrower
//                         phase was taken as the line (ImageSetup::contrastGuessed)
//  grey_levels_clipped    the signal lies at the bottom (0) or at the top (255) of the grey
//                         scale in at least 1 % of the analysed picture (ImageSetup::
//                         darkClippedShare, brightClippedShare: cells of a column and 16 rows
//                         whose median is there): clipped line tops or bands widen the lines
//  pixel_size_missing     no pixel size from the user or the file: figures are in px
//  setting_contradicted   a given orientation, contrast or pixel size that the picture or its
//                         metadata contradicts, a region of interest running past the picture,
//                         or a whole-pixel edge search half-window that reaches within 2 px of
//                         the edge across the spaces of a band picture whose lines do not drift
//                         into each other (ImageSetup::settingNotes says which)
//  databar_found          an information bar was found and left out
// Images that were not decoded have no flags. Images decoded but not measured (no line) have
// none of the flags about figures they do not report (spikes_replaced, noise_above_roughness,
// edges_at_detection_limit, short_for_correlation, lines_disagree, lines_move_together); those
// about the picture and its lines stay, as they may tell why no line was measured.
std::vector<std::string> qualityFlags(const ImageResult& result);

// Whether the lines' drift over `rows` rows (the tangent of MetrologyResult::tiltDegrees times
// the rows times the row spacing) exceeds kFlagTiltGapShare of the narrowest gap between
// neighbouring edges (MetrologyEdge::meanNm), or the lines are turned too far to follow: the
// rule of lines_tilted. False without a tilt or with fewer than two edges.
bool linesDriftIntoEachOther(const MetrologyResult& m, int32_t rows);

// The flags of one sub-pixel edge: edge_rows_missing, line_touches_border (same rules, the
// shares taken of this edge's rows), and spikes_replaced from `spikesReplaced` whole-pixel
// samples out of `rows` (-1: not traced). An edge can carry a flag that its image, whose shares
// are taken over all its edges, does not.
std::vector<std::string> edgeFlags(const MetrologyEdge& edge,
                                   int32_t gridWidth,
                                   int32_t spikesReplaced,
                                   int32_t rows);

// One sentence that states a flag's rule and what it means, for readers of a report that has no
// documentation beside it; empty text for a word that is not a flag.
std::string flagRule(const std::string& flag);

// The flags joined by ';' (empty text for none).
std::string joinFlags(const std::vector<std::string>& flags);
