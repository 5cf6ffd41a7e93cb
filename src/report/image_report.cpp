#include "report/image_report.h"

const char* statusName(ReportStatus status) {
    switch (status) {
        case ReportStatus::kMeasured:
            return "measured";
        case ReportStatus::kMissing:
            return "missing";
        case ReportStatus::kUnreadable:
            return "unreadable";
        case ReportStatus::kNoLine:
            break;
    }
    return "no_line";
}
