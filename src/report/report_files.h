// The files of a batch report besides the per-image pictures: the tables, report.json and
// index.html, written from the result records of a run.
#pragma once

#include <cstdint>
#include <functional>
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

// Makes the file `path` with `write`, which writes a whole file under the name it is given:
// first PATH.part in the same folder, then renamed to PATH, so that PATH is never left half
// written (a full disk, a signal): it is the whole new file or what it was before. False, with
// PATH.part removed and `why` set to the system's reason ("No space left on device"; "" when
// none is known), when writing or renaming fails.
bool writeByRename(const std::string& path,
                   const std::function<bool(const std::string&)>& write,
                   std::string& why);

// How a failed write of `path` is named in messages: the path quoted, and `why` after a colon
// when known.
std::string failedWriteText(const std::string& path, const std::string& why);

// writeByRename of `content` as the whole file.
bool writeFileByRename(const std::string& path, const std::string& content, std::string& why);

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

// Writes the tables, groups.csv (when there are groups), index.html and, last, report.json of
// `results` (in list order) into `folder`, each by writeByRename, appending the name of each file
// written to `written` (when given). False with `failed` set to the first file that could not be
// written, quoted, and the reason when known.
bool writeReportFiles(const std::string& folder,
                      const RunDescription& run,
                      const std::vector<ImageResult>& results,
                      std::string& failed,
                      std::vector<std::string>* written = nullptr);
