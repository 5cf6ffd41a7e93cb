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

RealFft::RealFft(int32_t n, bool makeForward, bool makeBackward)
    : wantForward(makeForward), wantBackward(makeBackward) {
    if (n < 1) return;
    real = fftw_alloc_real(static_cast<size_t>(n));
    spectrum = fftw_alloc_complex(static_cast<size_t>(n / 2 + 1));
    if (real == nullptr || spectrum == nullptr) return;
    length = n;
    makeFftwPlannerThreadSafe();
    if (makeForward) forward = fftw_plan_dft_r2c_1d(n, real, spectrum, FFTW_ESTIMATE);
    if (makeBackward) backward = fftw_plan_dft_c2r_1d(n, spectrum, real, FFTW_ESTIMATE);
}

RealFft::~RealFft() {
    if (forward != nullptr) fftw_destroy_plan(forward);
    if (backward != nullptr) fftw_destroy_plan(backward);
    fftw_free(real);
    fftw_free(spectrum);
}
