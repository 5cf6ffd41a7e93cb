#include "metrology/fftw_planner.h"

#include <fftw3.h>

#include <mutex>

void makeFftwPlannerThreadSafe() {
    // The lock must be in place before the first plan anywhere: FFTW tests for its hooks on
    // entering and on leaving the planner, so a plan begun before they were installed would
    // release a lock it never took.
    static std::once_flag once;
    std::call_once(once, [] { fftw_make_planner_thread_safe(); });
}
