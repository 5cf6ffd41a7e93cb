#include "report/report_files.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>
#include <utility>

#include "report/html_report.h"
#include "report/report_tables.h"

namespace {

// The figure columns of groups.csv.
constexpr const char* kGroupFigures[] = {"cd_mean_nm",
                                         "cd_mean_ci95_nm",
                                         "cdu_3sigma_nm",
                                         "lwr_3sigma_unbiased_nm",
                                         "lwr_3sigma_unbiased_ci95_nm",
                                         "ler_3sigma_unbiased_nm",
                                         "ler_3sigma_unbiased_ci95_nm"};

bool writeWholeFile(const std::string& path, const std::string& content) {
    errno = 0;  // what a failure leaves is its own reason
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    const bool closed = std::fclose(file) == 0;
    return written && closed;
}

}  // namespace

bool writeByRename(const std::string& path,
                   const std::function<bool(const std::string&)>& write,
                   std::string& why) {
    const std::string part = path + ".part";
    errno = 0;
    bool ok = write(part);
    int error = errno;
    if (ok && std::rename(part.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (ok) return true;
    why = error != 0 ? std::generic_category().message(error) : std::string();
    unlink(part.c_str());  // not remove(): a folder of that name is not this run's
    return false;
}

std::string failedWriteText(const std::string& path, const std::string& why) {
    return "\"" + path + "\"" + (why.empty() ? "" : ": " + why);
}

bool writeFileByRename(const std::string& path, const std::string& content, std::string& why) {
    return writeByRename(
        path, [&content](const std::string& to) { return writeWholeFile(to, content); }, why);
}

std::vector<std::string> reportFileNames() {
    std::vector<std::string> names;
    for (TableKind kind : kTableKinds) names.push_back(tableFileName(kind));
    names.push_back("groups.csv");
    names.push_back("report.json");
    names.push_back("index.html");
    return names;
}

std::vector<GroupRow> groupRows(const RunDescription& run,
                                const std::vector<ImageResult>& results) {
    std::map<std::string, std::vector<const ImageResult*>> members;
    std::map<std::string, int32_t> unmeasured;
    for (const ImageResult& result : results) {
        if (result.group.empty()) continue;
        std::vector<const ImageResult*>& list = members[result.group];
        if (result.status == ImageStatus::kMeasured)
            list.push_back(&result);
        else
            ++unmeasured[result.group];
    }
    MetrologySettings settings;
    settings.bootstrapResamples = run.settings.bootstrapResamples;
    settings.seed = run.settings.bootstrapSeed;
    std::vector<GroupRow> rows;
    for (auto& [name, images] : members) {
        // In the order of their files (by full name, so that one file named two ways sorts
        // alike), not of the list: the bootstrap draws images by position and ties are settled
        // by it, and the same images give the same group however listed.
        std::vector<std::pair<std::string, const ImageResult*>> byFile;
        for (const ImageResult* image : images) {
            std::error_code ec;
            const std::filesystem::path full = std::filesystem::weakly_canonical(image->path, ec);
            byFile.emplace_back(ec ? image->path : full.string(), image);
        }
        std::stable_sort(byFile.begin(), byFile.end(),
                         [](const auto& x, const auto& y) { return x.first < y.first; });
        for (size_t k = 0; k < images.size(); ++k) images[k] = byFile[k].second;
        // Listed images that were not measured are in none of the group's figures.
        const int32_t failed = unmeasured.count(name) > 0 ? unmeasured.at(name) : 0;
        const std::string failedNote =
            failed == 0 ? std::string()
                        : std::to_string(failed) + " of its " +
                              std::to_string(failed + static_cast<int32_t>(images.size())) +
                              " images not measured (missing, unreadable or without a line): in "
                              "none of its figures";
        auto noteFailed = [&failedNote](GroupRow& row) {
            if (!failedNote.empty()) row.notes.insert(row.notes.begin(), failedNote);
        };
        std::vector<const MetrologyResult*> measured;
        int32_t inPixels = 0;
        for (const ImageResult* image : images) {
            measured.push_back(&image->metrology);
            inPixels += image->setup.figuresInPixels ? 1 : 0;
        }
        const int32_t count = static_cast<int32_t>(images.size());
        if (count == 0) {
            GroupRow row;
            row.name = name;
            row.lengthUnit.clear();
            for (const char* column : kGroupFigures)
                row.reasons.emplace_back(column, "no image of the group was measured");
            rows.push_back(std::move(row));
            continue;
        }
        if (inPixels == 0 || inPixels == count) {
            rows.push_back(groupRowOf(name, pooledRoughness(measured, settings)));
            rows.back().lengthUnit = inPixels > 0 ? "px" : "nm";
            noteFailed(rows.back());
            continue;
        }
        // Lengths in px and in nm do not pool: the counts only.
        GroupRow row;
        row.name = name;
        row.images = count;
        for (const ImageResult* image : images)
            for (const MetrologyLine& line : image->metrology.lines)
                row.lines += std::isnan(line.meanWidthNm) ? 0 : 1;
        row.lengthUnit.clear();
        const std::string why = std::to_string(inPixels) + " of its " + std::to_string(count) +
                                " images " + (inPixels == 1 ? "has" : "have") +
                                " no pixel size (lengths in px), " +
                                (count - inPixels == 1 ? "the other has" : "the others have") +
                                " lengths in nm: the group's lines cannot be pooled";
        for (const char* column : kGroupFigures) row.reasons.emplace_back(column, why);
        noteFailed(row);
        rows.push_back(std::move(row));
    }
    return rows;
}

namespace {

Table groupsTable(const std::vector<GroupRow>& groups) {
    Table table;
    table.columns = {"group",
                     "images",
                     "lines",
                     "length_unit",
                     "cd_mean_nm",
                     "cd_mean_ci95_nm",
                     "cdu_3sigma_nm",
                     "lwr_3sigma_unbiased_nm",
                     "lwr_3sigma_unbiased_ci95_nm",
                     "ler_3sigma_unbiased_nm",
                     "ler_3sigma_unbiased_ci95_nm",
                     "spectrum_images",
                     "spectrum_lines",
                     "spectrum_rows"};
    auto figure = [](double v) { return std::isfinite(v) ? realCell(v) : emptyCell(); };
    for (const GroupRow& g : groups) {
        table.rows.push_back({textCell(g.name), integerCell(g.images), integerCell(g.lines),
                              textCell(g.lengthUnit), figure(g.cdMeanNm), figure(g.cdCi95Nm),
                              figure(g.cduNm), figure(g.lwrUnbiasedNm), figure(g.lwrCi95Nm),
                              figure(g.lerUnbiasedNm), figure(g.lerCi95Nm),
                              integerCell(g.spectrumImages), integerCell(g.spectrumLines),
                              integerCell(g.spectrumRows)});
    }
    return table;
}

}  // namespace

std::string formatGroupsCsv(const std::vector<GroupRow>& groups) {
    return formatCsv(groupsTable(groups));
}

nlohmann::ordered_json groupsJson(const std::vector<GroupRow>& groups) {
    const Table table = groupsTable(groups);
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (size_t r = 0; r < table.rows.size(); ++r) {
        nlohmann::ordered_json group = nlohmann::ordered_json::object();
        for (size_t c = 0; c < table.columns.size(); ++c)
            group[table.columns[c]] = cellJson(table.rows[r][c]);
        nlohmann::ordered_json reasons = nlohmann::ordered_json::object();
        for (const auto& [column, reason] : groups[r].reasons) reasons[column] = reason;
        group["reasons"] = std::move(reasons);
        group["notes"] = groups[r].notes;
        out.push_back(std::move(group));
    }
    return out;
}

bool writeReportFiles(const std::string& folder,
                      const RunDescription& run,
                      const std::vector<ImageResult>& results,
                      std::string& failed,
                      std::vector<std::string>* written) {
    auto write = [&](const std::string& name, const std::string& content) {
        const std::string path = (std::filesystem::path(folder) / name).string();
        std::string why;
        if (writeFileByRename(path, content, why)) {
            if (written != nullptr) written->push_back(name);
            return true;
        }
        failed = failedWriteText(path, why);
        return false;
    };
    for (TableKind kind : kTableKinds)
        if (!write(tableFileName(kind), formatCsv(makeTable(kind, results)))) return false;
    const std::vector<GroupRow> groups = groupRows(run, results);
    nlohmann::ordered_json json = reportJson(run, results);
    if (!groups.empty()) json["groups"] = groupsJson(groups);
    if (!groups.empty() && !write("groups.csv", formatGroupsCsv(groups))) return false;
    if (!write("index.html", formatHtmlReport(run, results, &groups))) return false;
    // Last: it replaces the report.json that says the run has not ended.
    return write("report.json", formatJson(json));
}
