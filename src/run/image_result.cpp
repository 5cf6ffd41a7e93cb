#include "run/image_result.h"

const char* statusName(ImageStatus status) {
    switch (status) {
        case ImageStatus::kMeasured:
            return "measured";
        case ImageStatus::kMissing:
            return "missing";
        case ImageStatus::kUnreadable:
            return "unreadable";
        case ImageStatus::kNoLine:
            break;
    }
    return "no_line";
}
