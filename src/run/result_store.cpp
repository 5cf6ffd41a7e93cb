#include "run/result_store.h"

void allocateSummary(ResultStore& store, int32_t imageCount) {
    Series* columns[] = {&store.cdAverageByImage,   &store.correlationLengthByImage,
                         &store.lwrVarianceByImage, &store.roughnessExponentByImage,
                         &store.lwrInfiniteByImage, &store.lwrSigmaByImage};
    for (Series* column : columns) {
        column->allocate(imageCount);
        column->zero();
    }
}
