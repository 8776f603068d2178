// Transforms of the stochastic spectra.
//
// Contract of the transform wrapper:
// - In place, on one contiguous row of 32-bit complex numbers (real part
//   first), unnormalised in both directions: `inverse(forward(x))` gives n x
//   up to rounding. The forward transform uses exp(-2 pi i jk/n), the inverse
//   exp(+2 pi i jk/n).
// - Even lengths only; the engine's lengths all come from `good_length`
//   (2^k x m, k >= 1, m in {1, 3, 5, 7}). Any even length works.
// - Each thread plans once per (length, direction) and keeps the plan for as
//   long as it lives; plans are made the same way on every thread, so identical
//   input gives identical bits on every thread and every call.
// - A row starting 64-byte aligned (see `AlignedVector`, `padded_row_length`)
//   is transformed where it lies; any other row is copied through an aligned
//   per-thread scratch row and back, which gives the same bits.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <vector>

namespace kelvane::fft {

// Alignment of transform rows in bytes: a whole cache line, more than any
// vector width the transform library uses.
inline constexpr std::size_t ROW_ALIGNMENT_BYTES = 64;

// Allocator of 64-byte aligned storage, for rows handed to `transform`.
template <class T>
struct AlignedAllocator {
    using value_type = T;

    AlignedAllocator() noexcept = default;
    template <class U>
    AlignedAllocator(const AlignedAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(
            ::operator new(count * sizeof(T), std::align_val_t{ROW_ALIGNMENT_BYTES}));
    }
    void deallocate(T* pointer, std::size_t) noexcept {
        ::operator delete(pointer, std::align_val_t{ROW_ALIGNMENT_BYTES});
    }

    template <class U>
    bool operator==(const AlignedAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using AlignedVector = std::vector<T, AlignedAllocator<T>>;

// Complex elements per row of a row-major 2-D buffer of rows of `n` values,
// rounded up so that every row of a 64-byte aligned buffer starts 64-byte
// aligned (a multiple of 8 complex values of 8 bytes).
std::size_t padded_row_length(std::size_t n);

// The transform length for a request of `at_least` samples: the smallest
// 2^k x m >= max(at_least, 2) with k >= 1 and m in {1, 3, 5, 7}; always even.
// Never smaller for a larger `at_least` (each of the four candidates grows
// with it, and so does the smallest): the spectrum plans cut a request to
// what the record can use before rounding it and rely on the cut giving the
// length a cut after the rounding would. Faults with "a transform length that
// overflows usize is not a real request" when `at_least` exceeds 2^63.
std::size_t good_length(std::size_t at_least);

// Transforms `data` in place: forward (exp(-2 pi i jk/n)) when `forward` is
// true, inverse (exp(+2 pi i jk/n)) otherwise; no scaling. Faults with "the
// transform requires an even length, got {}" for an odd length; an empty row
// is left as it is.
void transform(std::span<std::complex<float>> data, bool forward);

inline void forward(std::span<std::complex<float>> data) { transform(data, true); }
inline void inverse(std::span<std::complex<float>> data) { transform(data, false); }

// Adds to samples 2 and later (in place) the linear correction c1 + c2 t,
// t = k dt the time of sample k in s, that brings the final integral and double
// integral of the sequence over its duration (n - 1) dt to zero. `dt` is the
// sample interval in s; all arithmetic in 32-bit floats in a fixed order.
// Fewer than 2 samples are left as they are.
void remove_quadratic_trend(float dt, std::span<float> acceleration);

// The same correction of three sequences of one length at once (each row gets
// exactly the operations and the result of `remove_quadratic_trend` on it
// alone). The integration is one long chain of dependent additions per row;
// stepping the three independent chains together lets them overlap. Faults
// unless the rows have one length.
void remove_quadratic_trend(float dt, const std::array<std::span<float>, 3>& rows);

// Number of (length, direction) plans this thread has made and holds: a test
// hook for the per-thread plan cache.
std::size_t plan_count_on_this_thread();

}  // namespace kelvane::fft
