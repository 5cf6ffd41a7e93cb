// The two plots against line length in the lower half of the result window.
#pragma once

#include "run/result_store.h"

// Draws, in viewport (0, 0, 256, 256), the 3-sigma LWR (green), the 3-sigma CD variation (red)
// and the infinite-length 3-sigma LWR (blue) against the segment length, in nm, with the white
// plot box, axes, grid, tick labels, titles and the "3sigma infinite" label. Without a usable
// range (no lengths, no finite values) only the frame is drawn.
void drawRoughnessPlot(const DisplayRecord& record);

// Draws, in viewport (256, 0, 256, 256), the percentage uncertainty of sigma LWR against the
// segment length (black points and line) with its frame. Without a usable range only the frame
// is drawn.
void drawUncertaintyPlot(const DisplayRecord& record);
