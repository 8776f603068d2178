// Transform lengths, the per-thread plan cache, and the trend correction.
//
// Plans are made with FFTW (single precision) under one fixed set of flags,
// FFTW_ESTIMATE: its choice depends only on the problem, never on timing, so
// every thread builds the same plan for a (length, direction) and identical
// input gives identical bits everywhere. FFTW's planner is not thread-safe, so
// planning and plan destruction hold one process-wide mutex; executing a plan
// on new arrays (fftwf_execute_dft) is thread-safe and runs unlocked.
//
// A plan is made on a 64-byte aligned scratch row and then applied in place to
// the caller's row. FFTW requires the row to have the planning row's alignment
// (as fftwf_alignment_of reports it); a row without it is copied through an
// aligned per-thread scratch row, which gives the same bits as an aligned row.
#include "kelvane/fft.hpp"

#include <algorithm>
#include <cstring>
#include <fftw3.h>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "kelvane/cpu.hpp"
#include "kelvane/fault.hpp"

namespace kelvane::fft {

namespace {

// The one set of planner flags of the engine (see the file comment).
constexpr unsigned PLANNER_FLAGS = FFTW_ESTIMATE;

// std::complex<float> is laid out as fftwf_complex (real part first).
static_assert(sizeof(std::complex<float>) == sizeof(fftwf_complex));

// Serialises FFTW's planner across the process.
std::mutex& planner_mutex() {
    static std::mutex mutex;
    return mutex;
}

fftwf_complex* as_fftw(std::complex<float>* data) {
    return reinterpret_cast<fftwf_complex*>(data);
}

// Owns one FFTW plan; destroys it under the planner mutex.
class PlanOwner {
public:
    explicit PlanOwner(fftwf_plan plan) noexcept : plan_(plan) {}
    PlanOwner(const PlanOwner&) = delete;
    PlanOwner& operator=(const PlanOwner&) = delete;
    ~PlanOwner() {
        const std::lock_guard<std::mutex> lock(planner_mutex());
        fftwf_destroy_plan(plan_);
    }
    fftwf_plan get() const noexcept { return plan_; }

private:
    fftwf_plan plan_;
};

// Key: (transform length in complex values, forward?).
using PlanKey = std::pair<std::size_t, bool>;
using PlanMap = std::map<PlanKey, std::shared_ptr<const PlanOwner>>;

// This thread's plans: created empty on first use, destroyed with the thread,
// never evicted before.
PlanMap& thread_plans() {
    thread_local PlanMap plans;
    return plans;
}

// Aligned row for unaligned input, reused by the thread.
AlignedVector<std::complex<float>>& thread_scratch() {
    thread_local AlignedVector<std::complex<float>> scratch;
    return scratch;
}

// Plans an in-place transform of `n` values on an aligned scratch row.
std::shared_ptr<const PlanOwner> make_plan(std::size_t n, bool forward) {
    AlignedVector<std::complex<float>> row(n);
    fftwf_iodim64 dim{};
    dim.n = static_cast<std::ptrdiff_t>(n);
    dim.is = 1;
    dim.os = 1;
    fftwf_plan plan = nullptr;
    {
        const std::lock_guard<std::mutex> lock(planner_mutex());
        plan = fftwf_plan_guru64_dft(1, &dim, 0, nullptr, as_fftw(row.data()),
                                     as_fftw(row.data()), forward ? FFTW_FORWARD : FFTW_BACKWARD,
                                     PLANNER_FLAGS);
    }
    KELVANE_CHECK(plan != nullptr,
                  kelvane::format("the transform library could not plan a transform of length {}", n));
    return std::make_shared<const PlanOwner>(plan);
}

// The alignment class FFTW reports for a 64-byte aligned row (the planning row).
int planned_alignment() {
    static const int alignment = [] {
        AlignedVector<std::complex<float>> row(8);
        return fftwf_alignment_of(reinterpret_cast<float*>(row.data()));
    }();
    return alignment;
}

}  // namespace

std::size_t padded_row_length(std::size_t n) {
    // 8 complex values of 8 bytes make one 64-byte line.
    constexpr std::size_t per_line = ROW_ALIGNMENT_BYTES / sizeof(std::complex<float>);
    KELVANE_CHECK(n <= std::numeric_limits<std::size_t>::max() - (per_line - 1),
                  kelvane::format("a row of {} values cannot be padded", n));
    return ((n + (per_line - 1)) / per_line) * per_line;
}

std::size_t good_length(std::size_t at_least) {
    constexpr std::size_t max_word = std::numeric_limits<std::size_t>::max();
    const std::size_t a = std::max<std::size_t>(at_least, 2);
    std::size_t best = max_word;
    for (const std::size_t multiplier : {std::size_t{1}, std::size_t{3}, std::size_t{5}, std::size_t{7}}) {
        std::size_t candidate = 2 * multiplier;
        while (candidate < a) {
            KELVANE_CHECK(candidate <= max_word / 2,
                          "a transform length that overflows usize is not a real request");
            candidate *= 2;
        }
        best = std::min(best, candidate);
    }
    return best;
}

void transform(std::span<std::complex<float>> data, bool forward) {
    const std::size_t n = data.size();
    KELVANE_CHECK(n % 2 == 0, kelvane::format("the transform requires an even length, got {}", n));
    // Nothing to transform (FFTW cannot plan length 0).
    if (n == 0) return;

    // Find or make this thread's plan, and hold a reference while it runs.
    std::shared_ptr<const PlanOwner> plan;
    {
        PlanMap& plans = thread_plans();
        const PlanKey key{n, forward};
        auto found = plans.find(key);
        if (found == plans.end()) found = plans.emplace(key, make_plan(n, forward)).first;
        plan = found->second;
    }

    if (fftwf_alignment_of(reinterpret_cast<float*>(data.data())) == planned_alignment()) {
        fftwf_execute_dft(plan->get(), as_fftw(data.data()), as_fftw(data.data()));
        return;
    }
    // A row FFTW may not run the plan on: transform an aligned copy.
    AlignedVector<std::complex<float>>& scratch = thread_scratch();
    if (scratch.size() < n) scratch.resize(n);
    std::copy(data.begin(), data.end(), scratch.begin());
    fftwf_execute_dft(plan->get(), as_fftw(scratch.data()), as_fftw(scratch.data()));
    std::copy(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(n), data.begin());
}

namespace {

// The running integrals of one sequence: de is the displacement, ve the
// velocity at the end of the samples seen so far, previous the last sample.
struct TrendIntegral {
    float de;
    float ve;
    float previous;
};

// Every operation of the trend correction is 32-bit and in the written order:
// records depend on its rounding. The double integral uses the trapezoid of
// the velocity plus the exact area of a linear segment, so it is exact for a
// piecewise-linear signal; a1 = dt / 2 (velocity trapezoid), a2 = dt^2 / 6
// (displacement term).
inline void integrate_sample(TrendIntegral& t, float s, float dt, float a1, float a2) {
    t.de = (t.de + (dt * t.ve)) + (((t.previous + t.previous) + s) * a2);
    t.ve = ((t.previous + s) * a1) + t.ve;
    t.previous = s;
}

// Samples [first, end) of `apply_correction` `F` lanes at a time (`I` holds
// as many 32-bit sample indices), for the largest end <= vector_end that
// leaves whole steps; returns that end. Each lane performs the operations of
// the one-sample loop there, in the same order (a float operand is taken into
// every lane). Always inlined, so the wide form runs in the instructions of
// the function using it.
template <class F, class I>
[[gnu::always_inline]] inline std::size_t correct_samples(float c1, float c2, float dt, float* a,
                                                          std::size_t first,
                                                          std::size_t vector_end) {
    constexpr std::size_t lanes = sizeof(F) / sizeof(float);
    std::size_t k = first;
    if (vector_end < k + lanes) return k;
    I index;
    for (std::size_t lane = 0; lane < lanes; ++lane) index[lane] = static_cast<std::int32_t>(k + lane);
    for (; k + lanes <= vector_end; k += lanes) {
        F x;
        std::memcpy(&x, a + k, sizeof x);
        x = (x + c1) + ((__builtin_convertvector(index, F) * c2) * dt);
        std::memcpy(a + k, &x, sizeof x);
        index += static_cast<std::int32_t>(lanes);
    }
    return k;
}

// `correct_samples` from sample 2 in 256-bit lanes.
__attribute__((target("avx2"))) std::size_t correct_samples_avx2(float c1, float c2, float dt,
                                                                 float* a,
                                                                 std::size_t vector_end) {
    using f32x8 = float __attribute__((vector_size(32)));
    using i32x8 = std::int32_t __attribute__((vector_size(32)));
    return correct_samples<f32x8, i32x8>(c1, c2, dt, a, 2, vector_end);
}

// The linear correction c1 + c2 tau that zeroes both integrals over
// t = (n - 1) dt, added to samples 2 and later (samples 0 and 1 are left as
// they are).
void apply_correction(const TrendIntegral& t_end, float dt, float* a, std::size_t n) {
    const float t = static_cast<float>(n - 1) * dt;
    const float c1 = (((-3.0f / t) * t_end.de) + t_end.ve) * (2.0f / t);
    const float c2 = ((((2.0f / t) * t_end.de) - t_end.ve) * (6.0f / t)) / t;
    std::size_t k = 2;
    // Four samples at a time with the same operations: element-wise vector
    // arithmetic rounds each lane as the scalar expression does, and the
    // sample index converts to float exactly the same way from a 32-bit lane
    // as from a machine word (both round to nearest; only lanes below 2^31).
    using i32x4 = std::int32_t __attribute__((vector_size(16)));
    constexpr std::size_t lane_index_limit = std::size_t{1} << 31;
    const std::size_t vector_end = std::min(n, lane_index_limit);
    // 256-bit lanes first where the processor has them.
    if (cpu::has_avx2()) k = correct_samples_avx2(c1, c2, dt, a, vector_end);
    k = correct_samples<cpu::f32x4, i32x4>(c1, c2, dt, a, k, vector_end);
    for (; k < n; ++k) {
        a[k] = (a[k] + c1) + ((static_cast<float>(k) * c2) * dt);
    }
}

}  // namespace

void remove_quadratic_trend(float dt, std::span<float> acceleration) {
    const std::size_t n = acceleration.size();
    // One sample has no duration to correct over.
    if (n < 2) return;
    const float a1 = dt * 0.5f;
    const float a2 = (dt * a1) / 3.0f;
    float* const a = acceleration.data();
    TrendIntegral t{0.0f, 0.0f, a[0]};
    for (std::size_t k = 1; k < n; ++k) integrate_sample(t, a[k], dt, a1, a2);
    apply_correction(t, dt, a, n);
}

void remove_quadratic_trend(float dt, const std::array<std::span<float>, 3>& rows) {
    const std::size_t n = rows[0].size();
    KELVANE_CHECK(rows[1].size() == n && rows[2].size() == n,
                  kelvane::format("three rows of {}, {} and {} samples have no common length",
                                  rows[0].size(), rows[1].size(), rows[2].size()));
    if (n < 2) return;
    const float a1 = dt * 0.5f;
    const float a2 = (dt * a1) / 3.0f;
    float* const x = rows[0].data();
    float* const y = rows[1].data();
    float* const z = rows[2].data();
    // Each row's integration is one chain of dependent additions; stepping
    // the three chains in one loop lets them overlap. Each row still sees
    // only its own samples, in order.
    TrendIntegral tx{0.0f, 0.0f, x[0]};
    TrendIntegral ty{0.0f, 0.0f, y[0]};
    TrendIntegral tz{0.0f, 0.0f, z[0]};
    for (std::size_t k = 1; k < n; ++k) {
        integrate_sample(tx, x[k], dt, a1, a2);
        integrate_sample(ty, y[k], dt, a1, a2);
        integrate_sample(tz, z[k], dt, a1, a2);
    }
    apply_correction(tx, dt, x, n);
    apply_correction(ty, dt, y, n);
    apply_correction(tz, dt, z, n);
}

std::size_t plan_count_on_this_thread() { return thread_plans().size(); }

}  // namespace kelvane::fft
