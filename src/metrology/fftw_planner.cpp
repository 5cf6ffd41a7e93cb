#include "metrology/fftw_planner.h"

#include <fftw3.h>

#include <deque>
#include <map>
#include <mutex>
#include <utility>

void makeFftwPlannerThreadSafe() {
    // The lock must be in place before the first plan anywhere: FFTW tests for its hooks on
    // entering and on leaving the planner, so a plan begun before they were installed would
    // release a lock it never took.
    static std::once_flag once;
    std::call_once(once, [] { fftw_make_planner_thread_safe(); });
}

namespace {

constexpr size_t kMaxCachedPlans = 24;

// Plans by (length, forward); the oldest leaves the cache when it is full, and is destroyed
// when its last RealFft goes.
struct PlanCache {
    std::mutex mutex;
    std::map<std::pair<int32_t, bool>, std::shared_ptr<fftw_plan_s>> plans;
    std::deque<std::pair<int32_t, bool>> order;  // oldest first
};

// Never destroyed, so that no RealFft outlives it at exit.
PlanCache& planCache() {
    static PlanCache* cache = new PlanCache;
    return *cache;
}

std::shared_ptr<fftw_plan_s> sharedPlan(int32_t n,
                                        bool forward,
                                        double* real,
                                        fftw_complex* spectrum) {
    PlanCache& cache = planCache();
    const std::pair<int32_t, bool> key(n, forward);
    std::lock_guard<std::mutex> lock(cache.mutex);
    const auto found = cache.plans.find(key);
    if (found != cache.plans.end()) return found->second;
    makeFftwPlannerThreadSafe();
    fftw_plan plan = forward ? fftw_plan_dft_r2c_1d(n, real, spectrum, FFTW_ESTIMATE)
                             : fftw_plan_dft_c2r_1d(n, spectrum, real, FFTW_ESTIMATE);
    if (plan == nullptr) return nullptr;
    std::shared_ptr<fftw_plan_s> shared(plan, fftw_destroy_plan);
    if (cache.order.size() >= kMaxCachedPlans) {
        cache.plans.erase(cache.order.front());
        cache.order.pop_front();
    }
    cache.plans.emplace(key, shared);
    cache.order.push_back(key);
    return shared;
}

}  // namespace

RealFft::RealFft(int32_t n, bool makeForward, bool makeBackward)
    : wantForward(makeForward), wantBackward(makeBackward) {
    if (n < 1) return;
    real = fftw_alloc_real(static_cast<size_t>(n));
    spectrum = fftw_alloc_complex(static_cast<size_t>(n / 2 + 1));
    if (real == nullptr || spectrum == nullptr) return;
    length = n;
    if (makeForward) forward_ = sharedPlan(n, true, real, spectrum);
    if (makeBackward) backward_ = sharedPlan(n, false, real, spectrum);
}

RealFft::~RealFft() {
    // The plans go back to the cache (or are destroyed under FFTW's planner lock by the last
    // holder) before the buffers are freed.
    forward_.reset();
    backward_.reset();
    fftw_free(real);
    fftw_free(spectrum);
}
