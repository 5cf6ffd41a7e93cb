// The log-log plot of the average height-height correlation function with its fitted model.
#pragma once

#include "run/result_store.h"

// Draws, in viewport (256, 256, 256, 256), log10 HHCF against log10 lag as blue points of size
// 4 and the fitted model as a red line strip, with the white plot box, axes in whole decades of
// the lag, grid, tick labels and titles. Values that are not finite (an HHCF of 0) are left out;
// without a usable range only the frame is drawn. Leaves the point size at 1.
void drawHhcfPlot(const DisplayRecord& record);
