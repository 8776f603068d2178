// Which wider vector instructions the running processor offers, asked once.
//
// A few lane-wise loops have a second body in 256-bit lanes (AVX2), chosen at
// run time; the build itself targets the baseline x86-64 instruction set.
// Both bodies perform the same IEEE additions, multiplications, divisions and
// conversions in the same order in every lane, and AVX2 adds no fused
// multiply-add (FMA is a separate instruction set that no body enables, and
// -ffp-contract=off forbids contraction anyway), so either body gives the
// same bits.
#pragma once

#include <atomic>
#include <cstring>

namespace kelvane::cpu {

namespace detail {

// Set by `use_baseline_lanes`: the wide bodies are passed over.
// Atomic so that setting it while other threads run is not a data race (those
// runs may then mix bodies, which still gives the same bits).
inline std::atomic<bool>& baseline_lanes_only() {
    static std::atomic<bool> only{false};
    return only;
}

}  // namespace detail

// True when the processor and the operating system support AVX2 (and the
// baseline bodies are not forced).
inline bool has_avx2() {
    static const bool supported = __builtin_cpu_supports("avx2") != 0;
    return supported && !detail::baseline_lanes_only().load(std::memory_order_relaxed);
}

// Four floats in vector lanes of the baseline instruction set; element-wise
// arithmetic on them rounds each lane exactly as the same float expression
// does.
using f32x4 = float __attribute__((vector_size(16)));

// Four floats from `p` (any alignment).
inline f32x4 load4(const float* p) noexcept {
    f32x4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Four floats to `p` (any alignment).
inline void store4(float* p, f32x4 v) noexcept { std::memcpy(p, &v, sizeof v); }

// Test hook: `true` makes every loop take its baseline body, so tests can
// check on a processor with AVX2 that both bodies give the same records.
inline void use_baseline_lanes(bool only) {
    detail::baseline_lanes_only().store(only, std::memory_order_relaxed);
}

}  // namespace kelvane::cpu
