// The files of a batch report besides the per-image pictures: the tables, report.json and
// index.html, written from the result records of a run.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "run/analysis_settings.h"
#include "run/image_result.h"
#include "run/parameters.h"

// What the run was given: its parameter file (empty for a run on image files) with the values
// read from it, the settings of its images and the number of workers.
struct RunDescription {
    std::string parameterFile;
    const RunParameters* parameters = nullptr;  // the parameter file's values, when one was read
    AnalysisSettings settings;
    int32_t workers = 1;
};

// Names of the files writeReportFiles may write, inside the output folder.
std::vector<std::string> reportFileNames();

struct GroupRow;

// The groups of `results` (images with a non-empty group), sorted by name: the measured images'
// lines pooled (pooledRoughness with the run's bootstrap settings).
std::vector<GroupRow> groupRows(const RunDescription& run, const std::vector<ImageResult>& results);

// groups.csv: one row per group with its image and line counts, the unit of its lengths, mean
// CD with its interval, CDU (3 sigma of the line CDs) and unbiased LWR and LER with their
// intervals, and the images and lines whose spectra were pooled. A group that mixes images
// with and without a pixel size has the counts only.
std::string formatGroupsCsv(const std::vector<GroupRow>& groups);

// report.json's "groups": the rows of groups.csv as objects keyed by column (null for an empty
// figure), each with "reasons" for its empty figures.
nlohmann::ordered_json groupsJson(const std::vector<GroupRow>& groups);

// Writes the tables, report.json, groups.csv (when there are groups) and index.html of `results`
// (in list order) into `folder`, appending the name of each file written to `written` (when
// given). False with `failedPath` set to the first file that could not be written.
bool writeReportFiles(const std::string& folder,
                      const RunDescription& run,
                      const std::vector<ImageResult>& results,
                      std::string& failedPath,
                      std::vector<std::string>* written = nullptr);
