// The per-image analysis pipeline of the program: analysis, console text, summary row and the
// image's display record with its texture.
#pragma once

#include <cstdint>

#include "run/parameters.h"
#include "run/result_store.h"

// Analyses the image `name` (list position `position`, 1-based) with `pairing`: prints one
// line per processed edge and the results report on standard output, writes summary row
// position - 1 and appends a DisplayRecord (its texture made in the current GL context).
// An image without a measured line prints the edge lines and a "no line measured" report
// and stores nothing. Returns false, printing nothing, when the image cannot be loaded.
bool analyseImage(const char* name,
                  int32_t pairing,
                  int32_t position,
                  const RunParameters& params,
                  ResultStore& store);
