#include "report/report_files.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>

#include "report/html_report.h"
#include "report/report_tables.h"

namespace {

constexpr TableKind kTables[] = {TableKind::kSummary, TableKind::kEdges, TableKind::kLines,
                                 TableKind::kLength,  TableKind::kHhcf,  TableKind::kPsd};

bool writeWholeFile(const std::string& path, const std::string& content) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    const bool closed = std::fclose(file) == 0;
    return written && closed;
}

}  // namespace

std::vector<std::string> reportFileNames() {
    std::vector<std::string> names;
    for (TableKind kind : kTables) names.push_back(tableFileName(kind));
    names.push_back("groups.csv");
    names.push_back("report.json");
    names.push_back("index.html");
    return names;
}

std::vector<GroupRow> groupRows(const RunDescription& run,
                                const std::vector<ImageResult>& results) {
    std::map<std::string, std::vector<const MetrologyResult*>> members;
    for (const ImageResult& result : results) {
        if (result.group.empty()) continue;
        std::vector<const MetrologyResult*>& list = members[result.group];
        if (result.status == ImageStatus::kMeasured) list.push_back(&result.metrology);
    }
    MetrologySettings settings;
    settings.bootstrapResamples = run.settings.bootstrapResamples;
    settings.seed = run.settings.bootstrapSeed;
    std::vector<GroupRow> rows;
    for (const auto& member : members)
        rows.push_back(groupRowOf(member.first, pooledRoughness(member.second, settings)));
    return rows;
}

std::string formatGroupsCsv(const std::vector<GroupRow>& groups) {
    Table table;
    table.columns = {"group",
                     "images",
                     "lines",
                     "cd_mean_nm",
                     "cd_mean_ci95_nm",
                     "cdu_3sigma_nm",
                     "lwr_3sigma_unbiased_nm",
                     "lwr_3sigma_unbiased_ci95_nm",
                     "ler_3sigma_unbiased_nm",
                     "ler_3sigma_unbiased_ci95_nm"};
    auto figure = [](double v) { return std::isfinite(v) ? realCell(v) : emptyCell(); };
    for (const GroupRow& g : groups) {
        table.rows.push_back({textCell(g.name), integerCell(g.images), integerCell(g.lines),
                              figure(g.cdMeanNm), figure(g.cdCi95Nm), figure(g.cduNm),
                              figure(g.lwrUnbiasedNm), figure(g.lwrCi95Nm), figure(g.lerUnbiasedNm),
                              figure(g.lerCi95Nm)});
    }
    return formatCsv(table);
}

bool writeReportFiles(const std::string& folder,
                      const RunDescription& run,
                      const std::vector<ImageResult>& results,
                      std::string& failedPath) {
    auto write = [&](const std::string& name, const std::string& content) {
        const std::string path = (std::filesystem::path(folder) / name).string();
        if (writeWholeFile(path, content)) return true;
        failedPath = path;
        return false;
    };
    for (TableKind kind : kTables)
        if (!write(tableFileName(kind), formatCsv(makeTable(kind, results)))) return false;
    if (!write("report.json", formatJson(reportJson(run, results)))) return false;
    const std::vector<GroupRow> groups = groupRows(run, results);
    if (!groups.empty() && !write("groups.csv", formatGroupsCsv(groups))) return false;
    return write("index.html", formatHtmlReport(run, results, &groups));
}
