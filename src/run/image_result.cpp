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

double pixelHeight(const ImageSetup& setup) {
    return std::isfinite(setup.pixelHeightNm) ? setup.pixelHeightNm : setup.pixelSizeNm;
}

double acrossScale(const ImageSetup& setup) {
    if (setup.figuresInPixels) return 1.0;
    return setup.horizontal ? pixelHeight(setup) : setup.pixelSizeNm;
}

double alongScale(const ImageSetup& setup) {
    if (setup.figuresInPixels) return 1.0;
    return setup.horizontal ? setup.pixelSizeNm : pixelHeight(setup);
}
