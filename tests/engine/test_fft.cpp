// Transforms: lengths, the 2-point case, accuracy against a direct DFT in
// 64 bits, the per-thread plan cache, bit-identical results across threads and
// alignments, and the trend correction.
#include "kelvane/fft.hpp"

#include <gtest/gtest.h>

#include "tests/engine/support.hpp"

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kelvane/fault.hpp"

namespace {

using kelvane::fft::AlignedVector;
using Row = AlignedVector<std::complex<float>>;

using kelvane::testing_support::fault_message;

Row random_row(std::size_t n, std::uint32_t seed) {
    std::mt19937 engine(seed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    Row row(n);
    for (auto& z : row) z = {value(engine), value(engine)};
    return row;
}

// The direct DFT in 64 bits with the sign of the exponent given.
std::vector<std::complex<double>> direct_dft(const Row& input, double sign) {
    const std::size_t n = input.size();
    std::vector<std::complex<double>> twiddle(n);
    for (std::size_t m = 0; m < n; ++m) {
        const double angle = sign * 2.0 * std::numbers::pi * static_cast<double>(m) / static_cast<double>(n);
        twiddle[m] = {std::cos(angle), std::sin(angle)};
    }
    std::vector<std::complex<double>> out(n);
    for (std::size_t k = 0; k < n; ++k) {
        std::complex<double> sum = 0.0;
        std::size_t index = 0;  // j k mod n
        for (std::size_t j = 0; j < n; ++j) {
            sum += std::complex<double>(input[j]) * twiddle[index];
            index += k;
            if (index >= n) index -= n;
        }
        out[k] = sum;
    }
    return out;
}

// ||got - expected|| / ||expected|| in the 2-norm.
double relative_error(const Row& got, const std::vector<std::complex<double>>& expected) {
    double difference = 0.0;
    double norm = 0.0;
    for (std::size_t k = 0; k < got.size(); ++k) {
        difference += std::norm(std::complex<double>(got[k]) - expected[k]);
        norm += std::norm(expected[k]);
    }
    return std::sqrt(difference / norm);
}

bool same_bits(const Row& a, const Row& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0;
}

TEST(FftGoodLength, SmallestEvenPowerOfTwoTimesOneThreeFiveOrSeven) {
    struct Case {
        std::size_t at_least;
        std::size_t length;
    };
    constexpr std::size_t two_63 = std::size_t{1} << 63;
    const Case cases[] = {
        {0, 2},        {1, 2},       {2, 2},        {3, 4},         {5, 6},     {7, 8},
        {9, 10},       {11, 12},     {13, 14},      {15, 16},       {17, 20},   {100, 112},
        {1000, 1024},  {4097, 5120}, {5121, 6144},  {7000, 7168},   {two_63 - 1, two_63},
        {two_63, two_63},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.at_least);
        EXPECT_EQ(kelvane::fft::good_length(c.at_least), c.length);
    }
}

TEST(FftGoodLength, RequestsAbove2To63Fault) {
    for (const std::size_t at_least : {(std::size_t{1} << 63) + 1, std::numeric_limits<std::size_t>::max()}) {
        SCOPED_TRACE(at_least);
        EXPECT_EQ(fault_message([&] { kelvane::fft::good_length(at_least); }),
                  "a transform length that overflows usize is not a real request");
    }
}

// The spectrum plans cut a window's sample count to what the record can use
// before rounding it up, and rely on that giving the length a cut after the
// rounding gives: good_length must never fall as its request grows. Checked
// for every request up to 2^20, and across every step of the result up to
// 2^63 (the result changes only at 2^k x m + 1, m in {1, 3, 5, 7}, where it
// must rise).
TEST(FftGoodLength, NeverFallsAsTheRequestGrows) {
    using kelvane::fft::good_length;
    std::size_t previous = good_length(0);
    for (std::size_t at_least = 1; at_least <= (std::size_t{1} << 20); ++at_least) {
        const std::size_t length = good_length(at_least);
        ASSERT_GE(length, previous) << "at " << at_least;
        ASSERT_GE(length, at_least);
        previous = length;
    }
    for (std::size_t k = 1; k < 63; ++k) {
        for (const std::size_t m :
             {std::size_t{1}, std::size_t{3}, std::size_t{5}, std::size_t{7}}) {
            const std::size_t step = (std::size_t{1} << k) * m;
            if (step / m != (std::size_t{1} << k) || step >= (std::size_t{1} << 63)) continue;
            SCOPED_TRACE(step);
            EXPECT_EQ(good_length(step), step);  // every 2^k x m is a length itself
            EXPECT_LE(good_length(step - 1), good_length(step));
            EXPECT_LT(good_length(step), good_length(step + 1));
        }
    }
}

TEST(FftTransform, TwoPointsForwardAndBack) {
    Row row = {{1.5f, -2.0f}, {0.25f, 4.0f}};
    kelvane::fft::forward(row);
    EXPECT_EQ(row[0], std::complex<float>(1.75f, 2.0f));   // p + q
    EXPECT_EQ(row[1], std::complex<float>(1.25f, -6.0f));  // p - q
    kelvane::fft::inverse(row);
    EXPECT_EQ(row[0], std::complex<float>(3.0f, -4.0f));  // 2p: not normalised
    EXPECT_EQ(row[1], std::complex<float>(0.5f, 8.0f));   // 2q
}

TEST(FftTransform, OddLengthFaultsAndEmptyIsLeftAlone) {
    for (const std::size_t n : {std::size_t{1}, std::size_t{3}, std::size_t{1025}}) {
        Row row(n);
        EXPECT_EQ(fault_message([&] { kelvane::fft::forward(row); }),
                  kelvane::format("the transform requires an even length, got {}", n));
    }
    // No plan is made for length 0 (the library cannot plan it).
    std::thread([] {
        Row empty;
        kelvane::fft::forward(empty);
        kelvane::fft::inverse(empty);
        EXPECT_EQ(kelvane::fft::plan_count_on_this_thread(), 0u);
    }).join();
}

TEST(FftTransform, MatchesDirectTransformInBothDirections) {
    for (const std::size_t n : {2u, 6u, 10u, 14u, 112u, 1024u, 5120u, 7168u}) {
        SCOPED_TRACE(n);
        const Row input = random_row(n, static_cast<std::uint32_t>(n));
        Row row = input;
        kelvane::fft::forward(row);
        EXPECT_LT(relative_error(row, direct_dft(input, -1.0)), 1e-5);

        Row back = row;
        kelvane::fft::inverse(back);
        EXPECT_LT(relative_error(back, direct_dft(row, +1.0)), 1e-5);
        // inverse(forward(x)) = n x.
        std::vector<std::complex<double>> scaled(n);
        for (std::size_t k = 0; k < n; ++k) scaled[k] = std::complex<double>(input[k]) * static_cast<double>(n);
        EXPECT_LT(relative_error(back, scaled), 1e-5);
    }
}

TEST(FftPlans, OnePlanPerLengthAndDirectionPerThread) {
    const auto count_after = [](auto&& work) {
        std::size_t count = 0;
        std::thread([&] {
            work();
            count = kelvane::fft::plan_count_on_this_thread();
        }).join();
        return count;
    };
    Row row = random_row(96, 1);
    EXPECT_EQ(count_after([&] {
                  Row copy = row;
                  kelvane::fft::forward(copy);
                  kelvane::fft::forward(copy);
              }),
              1u);
    EXPECT_EQ(count_after([&] {
                  Row copy = row;
                  kelvane::fft::forward(copy);
                  kelvane::fft::inverse(copy);
              }),
              2u);
    // Another length, and a second use of the first: three plans in all.
    EXPECT_EQ(count_after([&] {
                  Row copy = row;
                  Row other = random_row(40, 2);
                  kelvane::fft::forward(copy);
                  kelvane::fft::forward(other);
                  kelvane::fft::inverse(copy);
                  kelvane::fft::forward(copy);
              }),
              3u);

    // This thread's cache grows on its own; a new thread starts empty.
    const std::size_t before = kelvane::fft::plan_count_on_this_thread();
    Row local = random_row(4094, 3);
    kelvane::fft::forward(local);
    kelvane::fft::forward(local);
    EXPECT_EQ(kelvane::fft::plan_count_on_this_thread(), before + 1);
    EXPECT_EQ(count_after([] {}), 0u);
}

TEST(FftTransform, EightThreadsGiveTheSameBits) {
    for (const std::size_t n : {1024u, 5120u}) {
        SCOPED_TRACE(n);
        const Row input = random_row(n, 77);
        Row expected = input;
        kelvane::fft::forward(expected);
        kelvane::fft::inverse(expected);

        // Each thread plans for itself (concurrently) and transforms.
        std::vector<Row> results(8, input);
        std::vector<std::thread> threads;
        for (Row& result : results) {
            threads.emplace_back([&result] {
                for (int repeat = 0; repeat < 3; ++repeat) {
                    Row row = result;
                    kelvane::fft::forward(row);
                    kelvane::fft::inverse(row);
                    if (repeat == 2) result = row;
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
        for (const Row& result : results) EXPECT_TRUE(same_bits(result, expected));
    }
}

TEST(FftTransform, UnalignedRowGivesTheBitsOfAnAlignedRow) {
    for (const std::size_t n : {6u, 1024u, 5120u}) {
        for (const std::size_t offset : {1u, 2u, 3u}) {  // in complex values of 8 bytes
            SCOPED_TRACE(testing::Message() << n << " offset " << offset);
            const Row input = random_row(n, 5);
            Row aligned = input;
            kelvane::fft::forward(aligned);

            Row buffer(n + offset);
            std::copy(input.begin(), input.end(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
            std::span<std::complex<float>> shifted(buffer.data() + offset, n);
            kelvane::fft::forward(shifted);
            Row result(shifted.begin(), shifted.end());
            EXPECT_TRUE(same_bits(result, aligned));
            // The values around the row are not touched.
            for (std::size_t k = 0; k < offset; ++k) EXPECT_EQ(buffer[k], std::complex<float>());
        }
    }
}

TEST(FftRows, AlignedStorageAndPaddedRows) {
    struct Case {
        std::size_t n;
        std::size_t padded;
    };
    const Case cases[] = {{0, 0}, {1, 8}, {8, 8}, {9, 16}, {5120, 5120}, {5121, 5128}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        EXPECT_EQ(kelvane::fft::padded_row_length(c.n), c.padded);
    }
    // Every row of a padded 2-D buffer starts 64-byte aligned.
    const std::size_t stride = kelvane::fft::padded_row_length(13);
    Row rows(3 * stride);
    for (std::size_t r = 0; r < 3; ++r) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(rows.data() + (r * stride)) % 64, 0u) << r;
    }
}

TEST(FftTrend, ShortSequencesAreLeftAsTheyAre) {
    for (const std::size_t n : {0u, 1u, 2u}) {
        SCOPED_TRACE(n);
        std::vector<float> samples = {3.5f, -1.25f};
        samples.resize(n);
        const std::vector<float> before = samples;
        kelvane::fft::remove_quadratic_trend(0.01f, samples);
        EXPECT_EQ(samples, before);
    }
}

TEST(FftTrend, ConstantAndLinearSequencesComeOutZeroFromSampleTwo) {
    struct Case {
        const char* what;
        float dt;
        std::size_t n;
        float start;  // value of sample 0
        float step;   // growth per sample
    };
    const Case cases[] = {
        {"constant", 0.01f, 1000, 2.5f, 0.0f},
        {"negative constant", 0.005f, 4096, -0.75f, 0.0f},
        {"linear", 0.01f, 1000, 0.0f, 0.003f},
        {"linear, coarse", 0.1f, 64, 0.0f, -1.5f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<float> samples(c.n);
        for (std::size_t k = 0; k < c.n; ++k) samples[k] = c.start + (c.step * static_cast<float>(k));
        const std::vector<float> before = samples;
        kelvane::fft::remove_quadratic_trend(c.dt, samples);
        EXPECT_EQ(samples[0], before[0]);
        EXPECT_EQ(samples[1], before[1]);
        // Zero up to the rounding accumulated over n 32-bit integration steps.
        const float scale = std::fabs(c.start) + std::fabs(c.step * static_cast<float>(c.n));
        for (std::size_t k = 2; k < c.n; ++k) {
            ASSERT_NEAR(samples[k], 0.0f, 1e-4f * scale) << k;
        }
    }
}

}  // namespace
