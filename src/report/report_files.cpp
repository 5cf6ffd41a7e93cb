#include "report/report_files.h"

#include <cstdio>
#include <filesystem>

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
    return write("index.html", formatHtmlReport(run, results, nullptr));
}
