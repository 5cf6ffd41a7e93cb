// One planner lock for every FFTW user in the process: FFTW's own, installed once, so that plans
// made and destroyed in different threads and by different modules never overlap.
#pragma once

// Installs FFTW's planner lock (libfftw3_threads: fftw_make_planner_thread_safe) the first time
// it is called in the process; later calls return at once. From then on FFTW itself serialises
// every plan creation and destruction, whichever module or thread makes them, while
// fftw_execute still runs unserialised. Call it before making or destroying any plan. Safe to
// call from any thread at any time; it cannot fail.
void makeFftwPlannerThreadSafe();

#include <fftw3.h>

#include <cstdint>

// A real transform of one length n with FFTW_ESTIMATE plans, made and destroyed under the
// planner lock above: forward r2c from `real` (n values) to `spectrum` (n / 2 + 1 bins) and
// backward c2r, unnormalised (n times the inverse); a plan not asked for stays null. Its
// buffers and plans are freed on every path; ok() is false when n < 1 or storage or an asked
// plan could not be had.
struct RealFft {
    explicit RealFft(int32_t n, bool makeForward = true, bool makeBackward = true);
    ~RealFft();
    RealFft(const RealFft&) = delete;
    RealFft& operator=(const RealFft&) = delete;
    bool ok() const {
        return length > 0 && (forward != nullptr || !wantForward) &&
               (backward != nullptr || !wantBackward);
    }

    bool wantForward = true;
    bool wantBackward = true;

    int32_t length = 0;
    double* real = nullptr;
    fftw_complex* spectrum = nullptr;
    fftw_plan forward = nullptr;
    fftw_plan backward = nullptr;
};
