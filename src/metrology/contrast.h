// The contrast of a line/space image: bright bands at the line edges, or a plain step between
// line and space (bright line on a dark space, or dark line on a bright space).
#pragma once

#include <string>

#include "image/grey_image.h"

struct EdgeGrid;

enum class Contrast { kBrightEdge, kBrightLine, kDarkLine };

// "bright-edge", "bright-line" or "dark-line".
const char* contrastName(Contrast c);

// Sets `c` from one of the three names of contrastName (exact, lower case). False, with `c`
// unchanged, for any other text (including "auto", which the caller resolves with
// detectContrast).
bool parseContrast(const std::string& text, Contrast& c);

// Picks the contrast of `grid` (grey levels, lines along the rows). The grid is cut into blocks
// of a sixth of its height (at least 32 rows: long enough for a quiet profile), each row moved by
// the lines' drift (EdgeGrid::driftPx) so that lines tilted by up to 10 degrees do not smear
// over the block; the mean profile of each block, smoothed along the row, is split at half way
// between its 2nd and 98th percentiles into bright and dark runs. A block votes
// bright-edge when the dark runs on the two sides of its bright runs differ, alternately left and
// right, by at least 0.2 of the block's range (bands between a space and a line body, or a
// trench and a ridge), or when the ends of its wide bright runs stand above their middle by at
// least 0.08 of the range (a band on each ridge edge), or when its bright runs are narrow (median
// width at most 0.35 of the median distance between their centres) and those distances
// alternate short and long by at least 0.1 of it, with the dark runs alternating in level by at
// least 0.008 of the range (bands on a body about as dark as the space; thin lines whose pitch
// alternates have dark runs of one level),
// or when the levels just beside its bright runs differ by at least 0.2 of the range with the
// darker side on the same side for at least three quarters of them (a band at one edge of each
// line only); otherwise it votes for a step, whose line is the phase that does not lie at the
// grid's left and right borders (there lies the space); when the two borders lie in different
// phases (a line cut by one of them), the narrower phase (median width of the runs touching no
// border) is taken as the line, bright on a tie, and the vote is a guess. A block with no bright
// run between dark ones votes only when a dark run lies between bright ones (one dark line on a
// bright field). Blocks with less than half the typical range (beyond the line ends) do not
// vote; the majority wins, bright edge on a tie. A grid smaller than 16 x 4 gives kBrightEdge.
Contrast detectContrast(const GreyImage& grid);

// The same with the drift of `lined`, prepared from `grid` (prepareEdgeGrid; empty: no drift).
// `lineGuessed`, when given, is set to whether a step contrast won on votes of which at least
// half guessed the line phase.
Contrast detectContrast(const GreyImage& grid, const EdgeGrid& lined, bool* lineGuessed = nullptr);
