// One planner lock for every FFTW user in the process, and plans made once per length and kind
// and shared by every transform of that length.
#pragma once

#include <fftw3.h>

#include <cstdint>
#include <memory>

// Installs FFTW's planner lock (libfftw3_threads: fftw_make_planner_thread_safe) the first time
// it is called in the process; later calls return at once. From then on FFTW itself serialises
// every plan creation and destruction, whichever module or thread makes them, while
// fftw_execute still runs unserialised. Call it before making or destroying any plan. Safe to
// call from any thread at any time; it cannot fail.
void makeFftwPlannerThreadSafe();

// A real transform of one length n: forward r2c from `real` (n values) to `spectrum` (n / 2 + 1
// bins) and backward c2r, unnormalised (n times the inverse); a direction not asked for cannot
// be executed. The buffers are the object's own (fftw_malloc, so SIMD-aligned) and freed on
// every path. The FFTW_ESTIMATE plans come from a process-wide cache (the last 24 lengths and
// kinds planned): planning costs more than a transform of these lengths, and a plan is the same
// whichever aligned arrays it was made on, so a cached plan executed on these buffers (FFTW's
// new-array execute, safe in any thread) gives the same digits as a fresh one. ok() is false
// when n < 1 or storage or an asked plan could not be had. The c2r transform overwrites
// `spectrum`; fill every input before each execution.
struct RealFft {
    explicit RealFft(int32_t n, bool makeForward = true, bool makeBackward = true);
    ~RealFft();
    RealFft(const RealFft&) = delete;
    RealFft& operator=(const RealFft&) = delete;
    bool ok() const {
        return length > 0 && (forward_ != nullptr || !wantForward) &&
               (backward_ != nullptr || !wantBackward);
    }
    // `real` to `spectrum`; only when ok() and the forward plan was asked for.
    void executeForward() { fftw_execute_dft_r2c(forward_.get(), real, spectrum); }
    // `spectrum` to `real` (unnormalised); only when ok() and the backward plan was asked for.
    void executeBackward() { fftw_execute_dft_c2r(backward_.get(), spectrum, real); }

    bool wantForward = true;
    bool wantBackward = true;

    int32_t length = 0;
    double* real = nullptr;
    fftw_complex* spectrum = nullptr;

private:
    std::shared_ptr<fftw_plan_s> forward_;
    std::shared_ptr<fftw_plan_s> backward_;
};
