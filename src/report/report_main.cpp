// rugon-report: the headless batch report. Analyses every image of a parameter file as rugon
// does and writes every figure as CSV and JSON and every view as a picture.
#include <unistd.h>

#include <cstdio>

#include "report/report_run.h"
#include "run/version.h"

int main(int argc, char** argv) {
    const ReportOptions options = parseReportArguments(argc, argv);
    switch (options.action) {
        case ReportOptions::Action::kHelp:
            std::fputs(usageText().c_str(), stdout);
            return 0;
        case ReportOptions::Action::kVersion:
            std::printf("rugon-report %s\n", rugonVersion());
            return 0;
        case ReportOptions::Action::kUsageError:
            std::fprintf(stderr, "rugon-report: %s\nTry 'rugon-report --help'.\n",
                         options.error.c_str());
            return kExitCannotRun;
        case ReportOptions::Action::kRun:
            break;
    }
    return runReport(options, stderr, isatty(fileno(stderr)) != 0);
}
