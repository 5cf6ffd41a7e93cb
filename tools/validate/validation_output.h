// The recovery table as CSV and Markdown, the verdict as text, and the picture of biased and
// unbiased LWR against image noise.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "validate/validation.h"

// One line per row: the image (series, contrast, alpha, xi in px, Gaussian noise, frames, noise
// sigma on the band level, seed), found fraction and lines, then per figure (ler, lwr, lpr)
// true, biased, unbiased, ci95 in nm and the biased and unbiased error in %, xi of the model, of
// the drawn edges and measured (nm), alpha likewise, the noise floor (nm^3) and fit status, true
// and measured CD (nm), CD shift (px), the seconds to draw and to measure, and why the image
// was not measured. Empty cells for NaN. False when the file cannot be written.
bool writeRecoveryCsv(const std::vector<RecoveryRow>& rows, const std::string& path);

// Writes the rows as a Markdown table (figures in nm, errors in %) to `out`.
void printRecoveryMarkdown(const std::vector<RecoveryRow>& rows, FILE* out);

// Writes the summary by noise level as a Markdown table to `out`.
void printNoiseLevels(const std::vector<NoiseLevelSummary>& levels, FILE* out);

// Writes what the verdict says against `targets`, as Markdown, to `out`; `quick` for the verdict
// of judgeQuick (pooled xi and alpha, no noise limits).
void printVerdict(const RecoveryVerdict& verdict,
                  const RecoveryTargets& targets,
                  int32_t rowCount,
                  bool quick,
                  FILE* out);

// Draws the LWR against the Gaussian noise sigma as a PNG of 1200 x 500 pixels: on the left the
// true, biased and unbiased 3-sigma LWR (with its interval) of the series `featured`; on the
// right biased and unbiased LWR over truth for every Gaussian series, with the +-10 % band.
// Images whose edges were not found (rowFound false) are drawn hollow; ratios are clipped to the
// axis. False when the file cannot be written.
bool writeLwrPlot(const std::vector<RecoveryRow>& rows,
                  const RecoveryTargets& targets,
                  const std::string& featured,
                  const std::string& path);
