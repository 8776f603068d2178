// Tests of the spectrum plans, the ray's envelope and amplitude spectrum, the
// stochastic spectrum and its inversion.
//
// Exact comparisons (bit patterns, EXPECT_EQ on floats) are used where the
// value is a contract of the record (a bin formed by one multiplication, a zero
// bin, an exact conjugate); numerical references in 64 bits carry a relative
// tolerance sized for the handful of 32-bit roundings in each step.
#include <gtest/gtest.h>

#include "tests/engine/support.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <limits>
#include <numbers>
#include <span>
#include <string>
#include <vector>

#include "kelvane/fault.hpp"
#include "kelvane/fft.hpp"
#include "kelvane/rng.hpp"
#include "kelvane/stoc.hpp"

namespace {

using kelvane::stoc::PlanCache;
using kelvane::stoc::RayPath;
using kelvane::stoc::SourceModel;
using kelvane::stoc::SpectrumPlan;
using kelvane::stoc::SpectrumShape;
using cfloat = std::complex<float>;
using cdouble = std::complex<double>;

constexpr float kEps = 0.2f;   // window peak fraction of a run
constexpr float kEta = 0.05f;  // window end level of a run
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

using kelvane::testing_support::fault_message;

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

kelvane::rng::DrawSource stream(std::uint64_t seed) {
    return kelvane::rng::DrawSource::modern(kelvane::rng::Pcg::seed(seed));
}

// A draws source that counts what it is asked for, over a real stream.
struct CountingDraws {
    kelvane::rng::DrawSource source;
    std::size_t normals = 0;
    std::size_t uniforms = 0;

    CountingDraws respawn(std::uint64_t seed) const { return CountingDraws{source.respawn(seed)}; }
    float uniform() {
        ++uniforms;
        return source.uniform();
    }
    float normal() {
        ++normals;
        return source.normal();
    }
    void fill_normal(std::span<float> out) {
        normals += out.size();
        source.fill_normal(out);
    }
    void fill_uniform(std::span<float> out) {
        uniforms += out.size();
        source.fill_uniform(out);
    }
};
static_assert(kelvane::rng::Draws<CountingDraws>);

// A draws source that hands out a fixed, smooth sequence: lets a test build
// the expected spectrum from known deviates.
struct ScriptedDraws {
    std::size_t next = 0;

    static float value(std::size_t k) {
        return static_cast<float>(1.5 * std::sin(1.3 * static_cast<double>(k) + 0.4) +
                                  0.25 * std::cos(0.37 * static_cast<double>(k * k)));
    }
    ScriptedDraws respawn(std::uint64_t) const { return ScriptedDraws{}; }
    float uniform() { return 0.5f; }
    float normal() { return value(next++); }
    void fill_normal(std::span<float> out) {
        for (float& slot : out) slot = normal();
    }
    void fill_uniform(std::span<float> out) {
        for (float& slot : out) slot = uniform();
    }
};
static_assert(kelvane::rng::Draws<ScriptedDraws>);

// Direct O(n^2) discrete Fourier transform in 64 bits; `sign` -1 forward, +1 inverse.
std::vector<cdouble> naive_dft(const std::vector<cdouble>& in, int sign) {
    const std::size_t n = in.size();
    std::vector<cdouble> out(n);
    for (std::size_t k = 0; k < n; ++k) {
        cdouble sum = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            const double angle = static_cast<double>(sign) * 2.0 * std::numbers::pi *
                                 static_cast<double>((j * k) % n) / static_cast<double>(n);
            sum += in[j] * cdouble(std::cos(angle), std::sin(angle));
        }
        out[k] = sum;
    }
    return out;
}

// A typical ray: a subfault 30 km away at 10 km depth, in a crust of
// 3.5 km/s and 2.8 g/cm^3.
RayPath typical_path(float window_s) {
    return RayPath{
        30.0f,    // distance_km
        window_s, // window_s
        3.5f,     // shear_velocity_km_s
        2.8f,     // density_g_cm3
        1.2f,     // corner_frequency_hz
        1.0e23f,  // subevent_moment
        4.0f,     // moment_scale
        10.0f,    // fmax_hz
        0.02f,    // qbar
    };
}

// ------------------------------------------------------------ SpectrumPlan

TEST(StocPlan, TwoPointPlan) {
    const float dt = 0.01f;
    const SpectrumPlan plan = SpectrumPlan::create(2, dt, 0.6f, kEps, kEta);
    ASSERT_EQ(plan.np2, 2u);
    ASSERT_EQ(plan.fold_count, 2u);
    ASSERT_EQ(plan.frequency_hz.size(), 2u);
    ASSERT_EQ(plan.log_frequency_hz.size(), 2u);
    ASSERT_EQ(plan.path_exponent.size(), 2u);
    ASSERT_EQ(plan.envelope_power.size(), 2u);

    const float nyquist = 1.0f / (2.0f * dt);
    EXPECT_EQ(bits(plan.frequency_hz[0]), bits(0.0f));
    EXPECT_EQ(plan.frequency_hz[1], nyquist);
    EXPECT_EQ(plan.log_frequency_hz[0], -kInf);
    EXPECT_EQ(plan.log_frequency_hz[1], ::logf(nyquist));
    // Exponent 1 - 0.6 > 0: the unread 0 Hz entry is 0.
    EXPECT_EQ(plan.path_exponent[0], 0.0f);
    EXPECT_EQ(bits(plan.envelope_power[0]), bits(0.0f));
    // dt^b with b just above 1.25 for the run's window.
    const float b = plan.envelope_power[1] > 0.0f ? ::logf(plan.envelope_power[1]) / ::logf(dt) : 0.0f;
    EXPECT_GT(b, 1.25f);
    EXPECT_LT(b, 1.26f);
}

// The top bin is (np2/2) x df by one multiplication: neither 1/(2 dt) nor a
// running sum of df (both differ in the last bits for these lengths).
TEST(StocPlan, BinsAreFormedByMultiplication) {
    struct Case {
        std::size_t np2;
        float dt;
    };
    const Case cases[] = {{12, 0.01f}, {1536, 0.01f}, {1024, 0.005f}, {5120, 0.02f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.np2);
        const SpectrumPlan plan = SpectrumPlan::create(c.np2, c.dt, 0.5f, kEps, kEta);
        const float df = 1.0f / (static_cast<float>(c.np2) * c.dt);
        ASSERT_EQ(plan.fold_count, c.np2 / 2 + 1);
        for (std::size_t i = 0; i < plan.fold_count; ++i) {
            ASSERT_EQ(bits(plan.frequency_hz[i]), bits(static_cast<float>(i) * df)) << i;
        }
        EXPECT_EQ(plan.frequency_hz.back(), static_cast<float>(c.np2 / 2) * df);
    }
    // 1536 points at 100 samples/s: the multiplied Nyquist bin is not 50.
    const SpectrumPlan plan = SpectrumPlan::create(1536, 0.01f, 0.5f, kEps, kEta);
    EXPECT_NE(plan.frequency_hz.back(), 50.0f);
    EXPECT_NEAR(plan.frequency_hz.back(), 50.0f, 1e-5f);
}

TEST(StocPlan, PathExponentFollowsQExponent) {
    const SpectrumPlan flat = SpectrumPlan::create(64, 0.01f, 1.0f, kEps, kEta);
    for (std::size_t i = 0; i < flat.fold_count; ++i) {
        EXPECT_EQ(flat.path_exponent[i], 1.0f) << i;  // f^0, the 0 Hz entry included
    }
    const SpectrumPlan linear = SpectrumPlan::create(64, 0.01f, 0.0f, kEps, kEta);
    for (std::size_t i = 0; i < linear.fold_count; ++i) {
        EXPECT_EQ(linear.path_exponent[i], linear.frequency_hz[i]) << i;
    }
    // A negative exponent (q > 1) puts +inf in the unread 0 Hz entry.
    const SpectrumPlan steep = SpectrumPlan::create(64, 0.01f, 1.5f, kEps, kEta);
    EXPECT_EQ(steep.path_exponent[0], kInf);
    EXPECT_TRUE(std::isfinite(steep.path_exponent[1]));
}

TEST(StocPlan, RefusesOddOrShortLengths) {
    for (const std::size_t np2 : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{7},
                                  std::size_t{4097}}) {
        EXPECT_EQ(fault_message([&] { SpectrumPlan::create(np2, 0.01f, 0.5f, kEps, kEta); }),
                  "a spectrum plan needs an even length of at least 2, got " + std::to_string(np2));
    }
}

// ------------------------------------------------------------ choosing a length

TEST(StocLength, WholeWindow) {
    struct Case {
        float window_s;
        float dt;
        std::size_t expected;
    };
    const Case cases[] = {
        {0.0f, 0.01f, 2},       // no window
        {-0.0f, 0.01f, 2},
        {-3.0f, 0.01f, 2},      // negative: saturates to 0 samples
        {kNaN, 0.01f, 2},       // NaN: 0 samples
        {-kInf, 0.01f, 2},
        {0.0f, 0.0f, 2},        // 0/0 is NaN
        {0.5025f, 0.01f, 112},  // 100.5 samples truncate to 100
        {0.5f, 0.01f, 112},     // 100 samples
        {0.5605f, 0.01f, 112},  // 112.1 samples truncate to 112 (113 would need 128)
        {5.0f, 0.01f, 1024},
        {10.0f, 0.01f, 2048},
        {10.25f, 0.01f, 2560},  // 2050 samples
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SpectrumPlan::length_for(c.window_s, c.dt), c.expected)
            << "window " << c.window_s << " dt " << c.dt;
    }
    // 0.5605 s: 112.1 samples, so the case above really tests truncation.
    EXPECT_GT((0.5605f + 0.5605f) / 0.01f, 112.0f);
}

TEST(StocLength, UnboundedWindowFaults) {
    // An infinite window (zero corner frequency) or a zero dt asks for the
    // largest word; a finite window beyond 2^63 samples does the same.
    for (const auto& [window_s, dt] : {std::pair{kInf, 0.01f}, std::pair{1.0f, 0.0f},
                                       std::pair{1.0e18f, 0.01f}}) {
        EXPECT_EQ(fault_message([&] { SpectrumPlan::length_for(window_s, dt); }),
                  "a transform length that overflows usize is not a real request");
    }
}

TEST(StocLength, Arrival) {
    constexpr std::size_t kMaxSigned =
        static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
    struct Case {
        float window_s;
        std::int32_t start_sample;
        std::size_t ndata;
        std::size_t expected;
    };
    const float dt = 0.01f;
    const Case cases[] = {
        // A long window (length_for 4096) clipped to twice the samples left.
        {20.0f, 1, 100, 224},      // landing 100 -> good_length(200)
        {20.0f, 0, 100, 224},      // start before the record: first sample is 1
        {20.0f, -5000, 100, 224},
        {20.0f, std::numeric_limits<std::int32_t>::min(), 100, 224},
        {20.0f, 2, 100, 224},      // landing 99 -> good_length(198)
        {20.0f, 51, 100, 112},     // landing 50 -> good_length(100)
        {20.0f, 99, 100, 4},       // landing 2
        {20.0f, 100, 100, 2},      // landing 1
        {20.0f, 101, 100, 2},      // landing 0, raised to 1
        {20.0f, std::numeric_limits<std::int32_t>::max(), 100, 2},
        {20.0f, 1, 0, 2},          // empty record
        // A short window is not lengthened by a long record.
        {0.5f, 1, 100000, 112},
        {0.5f, 99990, 100000, 24},  // landing 11 -> good_length(22)
        // The largest landing that good_length accepts: 2 x 2^62 = 2^63.
        {0.5f, 1, std::size_t{1} << 62, 112},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SpectrumPlan::length_for_arrival(c.window_s, dt, c.start_sample, c.ndata),
                  c.expected)
            << "start " << c.start_sample << " ndata " << c.ndata;
    }

    // A record length beyond the signed 64-bit range is not a sample count.
    EXPECT_EQ(fault_message([&] {
                  SpectrumPlan::length_for_arrival(0.5f, dt, 1, kMaxSigned + 1);
              }),
              "a record of 9223372036854775808 samples overflows a signed 64-bit sample count");
    EXPECT_EQ(fault_message([&] {
                  SpectrumPlan::length_for_arrival(0.5f, dt, 1,
                                                   std::numeric_limits<std::size_t>::max());
              }),
              "a record of 18446744073709551615 samples overflows a signed 64-bit sample count");
    // The largest signed record from its first sample: 2 x (2^63 - 1) samples
    // are beyond any transform length.
    EXPECT_EQ(fault_message([&] { SpectrumPlan::length_for_arrival(0.5f, dt, 1, kMaxSigned); }),
              "a transform length that overflows usize is not a real request");
}

// A finite window of any length asks for no more than the record can use:
// its sample count is cut before it is rounded to a transform length. Once a
// window of more than 2^63 samples faulted on its way to the cut; an
// unbounded one (an infinite window, or a zero dt) still does.
TEST(StocLength, EnormousFiniteWindowsAreCutToTheRecord) {
    constexpr float kTiny = std::numeric_limits<float>::denorm_min();
    struct Case {
        float window_s;
        float dt;
        std::int32_t start_sample;
        std::size_t ndata;
        std::size_t arrival;  // length_for_arrival
        std::size_t longest;  // longest_for_record
    };
    const Case cases[] = {
        {1.0e18f, 0.01f, 1, 100, 224, 224},         // 2e20 samples, beyond 2^64
        {1.0e18f, 0.01f, 51, 100, 112, 224},        // landing 50
        {1.0e18f, 0.01f, 101, 100, 2, 224},         // after the record: landing 1
        {1.0e18f, 0.01f, 1, 0, 2, 2},               // an empty record
        {3.0e38f, 0.01f, 1, 100, 224, 224},         // 2 x window overflows 32 bits
        {1.0f, kTiny, 1, 100, 224, 224},            // a tiny, non-zero dt
        {-1.0e18f, -0.01f, 1, 2000, 4096, 4096},    // a negative dt counts a negative window
        {1.0e18f, -0.01f, 1, 2000, 2, 2},           // and a positive one as no samples
        {-kInf, 0.01f, 1, 100, 2, 2},               // a count of -inf is no samples
        {kNaN, 0.01f, 1, 100, 2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "window " << c.window_s << " dt " << c.dt << " start "
                                        << c.start_sample << " ndata " << c.ndata);
        EXPECT_EQ(SpectrumPlan::length_for_arrival(c.window_s, c.dt, c.start_sample, c.ndata),
                  c.arrival);
        EXPECT_EQ(SpectrumPlan::longest_for_record(c.window_s, c.dt, c.ndata), c.longest);
    }

    // Unbounded: an infinite window (a zero corner frequency), or a zero dt
    // of either sign under a window of the dt's sign.
    for (const auto& [window_s, dt] : {std::pair{kInf, 0.01f}, std::pair{-kInf, -0.01f},
                                       std::pair{1.0f, 0.0f}, std::pair{-1.0f, -0.0f}}) {
        SCOPED_TRACE(testing::Message() << "window " << window_s << " dt " << dt);
        EXPECT_EQ(fault_message([&] { SpectrumPlan::length_for_arrival(window_s, dt, 1, 100); }),
                  "a transform length that overflows usize is not a real request");
        EXPECT_EQ(fault_message([&] { SpectrumPlan::longest_for_record(window_s, dt, 100); }),
                  "a transform length that overflows usize is not a real request");
    }
}

// Cutting the sample count before the rounding gives every length that
// cutting the rounded length gave, wherever the whole window has a length:
// min(length_for(window), good_length(2 x landing)).
TEST(StocLength, CutBeforeRoundingKeepsEveryLength) {
    const float dts[] = {0.001f, 0.01f, 0.025f, 0.3f, -0.01f};
    const std::size_t records[] = {0, 1, 2, 7, 100, 1500, 4000, 65537};
    const std::int32_t starts[] = {std::numeric_limits<std::int32_t>::min(), -300, 0, 1, 2, 57,
                                   1499, 4001};
    for (const float dt : dts) {
        // Windows from 0 to some 3 hours, on a geometric grid that also
        // crosses the rounding steps, and their negatives.
        for (float w = 1e-4f; w < 1e4f; w *= 1.0137f) {
            for (const float window_s : {w, -w}) {
                const std::size_t whole = SpectrumPlan::length_for(window_s, dt);
                for (const std::size_t ndata : records) {
                    const std::size_t record =
                        kelvane::fft::good_length(std::max<std::size_t>(ndata, 1) * 2);
                    ASSERT_EQ(SpectrumPlan::longest_for_record(window_s, dt, ndata),
                              std::min(whole, record))
                        << "window " << window_s << " dt " << dt << " ndata " << ndata;
                    for (const std::int32_t start : starts) {
                        const std::int64_t first = std::max<std::int64_t>(start, 1);
                        const std::int64_t landing = std::max<std::int64_t>(
                            static_cast<std::int64_t>(ndata) - first + 1, 1);
                        const std::size_t clipped =
                            kelvane::fft::good_length(static_cast<std::size_t>(landing) * 2);
                        ASSERT_EQ(SpectrumPlan::length_for_arrival(window_s, dt, start, ndata),
                                  std::min(whole, clipped))
                            << "window " << window_s << " dt " << dt << " start " << start
                            << " ndata " << ndata;
                    }
                }
            }
        }
    }
}

// ------------------------------------------------------------ PlanCache

TEST(StocPlanCache, BuildsOnMissAndKeepsPlans) {
    PlanCache cache = PlanCache::create(0.01f, 0.7f, kEps, kEta);
    EXPECT_EQ(cache.plan_count(), 0u);

    const SpectrumPlan& first = cache.for_length(1024);
    const SpectrumPlan* first_address = &first;
    EXPECT_EQ(cache.plan_count(), 1u);
    EXPECT_EQ(&cache.for_length(1024), first_address);  // a hit, not a rebuild
    EXPECT_EQ(cache.plan_count(), 1u);

    // Other lengths add plans; the first one stays where it was, unchanged.
    for (const std::size_t np2 : {std::size_t{2}, std::size_t{4096}, std::size_t{112}}) {
        EXPECT_EQ(cache.for_length(np2).np2, np2);
    }
    EXPECT_EQ(cache.plan_count(), 4u);
    EXPECT_EQ(&cache.for_length(1024), first_address);
    EXPECT_EQ(cache.plan_count(), 4u);

    // A cached plan is the plan built from the cache's own fields.
    const SpectrumPlan direct = SpectrumPlan::create(1024, 0.01f, 0.7f, kEps, kEta);
    EXPECT_EQ(first_address->frequency_hz, direct.frequency_hz);
    EXPECT_EQ(first_address->path_exponent, direct.path_exponent);
    EXPECT_EQ(first_address->envelope_power, direct.envelope_power);
    for (std::size_t i = 1; i < direct.fold_count; ++i) {
        ASSERT_EQ(first_address->log_frequency_hz[i], direct.log_frequency_hz[i]);
    }

    // A refused length adds nothing.
    EXPECT_NE(fault_message([&] { cache.for_length(15); }), "<no fault>");
    EXPECT_EQ(cache.plan_count(), 4u);
}

// ------------------------------------------------------------ SpectrumShape

TEST(StocShape, CapacityAndFirstRefresh) {
    SpectrumShape shape = SpectrumShape::with_capacity(256);
    ASSERT_EQ(shape.envelope.size(), 256u);
    ASSERT_EQ(shape.amplitude.size(), 256u);
    ASSERT_EQ(shape.deviates.size(), 256u);
    EXPECT_EQ(shape.dt, 0.0f);
    for (std::size_t i = 0; i < 256; ++i) {
        ASSERT_EQ(shape.envelope[i], 0.0f);
        ASSERT_EQ(shape.amplitude[i], 0.0);
        ASSERT_EQ(shape.deviates[i], 0.0f);
    }

    const SpectrumPlan plan = SpectrumPlan::create(128, 0.01f, 0.6f, kEps, kEta);
    shape.refresh(plan, SourceModel{0.01f, kEps, kEta, 0.03f}, typical_path(0.6f));
    EXPECT_EQ(shape.dt, 0.01f);
    EXPECT_EQ(shape.amplitude[0], 0.0);
    EXPECT_EQ(shape.envelope[0], 0.0f);
    for (std::size_t i = 1; i < plan.fold_count; ++i) EXPECT_GT(shape.amplitude[i], 0.0) << i;
    // Beyond the plan the buffers keep their zeros.
    EXPECT_EQ(shape.envelope[128], 0.0f);
    EXPECT_EQ(shape.amplitude[plan.fold_count], 0.0);

    // Equal inputs give identical buffers.
    const std::vector<float> envelope = shape.envelope;
    const std::vector<double> amplitude = shape.amplitude;
    shape.refresh(plan, SourceModel{0.01f, kEps, kEta, 0.03f}, typical_path(0.6f));
    EXPECT_EQ(shape.envelope, envelope);
    EXPECT_EQ(shape.amplitude, amplitude);
}

TEST(StocShape, RefusesPlanBeyondCapacity) {
    SpectrumShape shape = SpectrumShape::with_capacity(8);
    const SpectrumPlan plan = SpectrumPlan::create(16, 0.01f, 0.6f, kEps, kEta);
    EXPECT_EQ(fault_message([&] {
                  shape.refresh(plan, SourceModel{0.01f, kEps, kEta, 0.0f}, typical_path(0.1f));
              }),
              "a spectrum plan of length 16 does not fit a shape of capacity 8");
    EXPECT_EQ(shape.dt, 0.0f);
}

// The envelope is the unit-energy window t^b e^(-c t) that peaks at eps T and
// falls to eta of its peak at T, sampled at j dt; its decay is carried in
// 64 bits, so even the last samples of a long window keep 32-bit accuracy.
TEST(StocShape, EnvelopeIsUnitEnergyWindow) {
    const float dt = 0.01f;
    const float window_s = 20.0f;
    const std::size_t np2 = SpectrumPlan::length_for(window_s, dt);
    ASSERT_EQ(np2, 4096u);
    const SpectrumPlan plan = SpectrumPlan::create(np2, dt, 0.6f, kEps, kEta);
    SpectrumShape shape = SpectrumShape::with_capacity(np2);
    shape.refresh(plan, SourceModel{dt, kEps, kEta, 0.0f}, typical_path(window_s));

    // Reference in 64 bits.
    const double eps = static_cast<double>(kEps);
    const double b = (-eps * std::log(static_cast<double>(kEta))) / ((std::log(eps) - 1.0) * eps + 1.0);
    const double c = b / eps / static_cast<double>(window_s);
    const double norm = std::sqrt(std::pow(2.0 * c, 2.0 * b + 1.0) / std::tgamma(2.0 * b + 1.0));
    double energy = 0.0;
    std::size_t peak = 0;
    for (std::size_t j = 0; j < np2; ++j) {
        const double t = static_cast<double>(j) * static_cast<double>(dt);
        const double expected = norm * std::pow(t, b) * std::exp(-c * t);
        const double got = static_cast<double>(shape.envelope[j]);
        if (j == 0) {
            ASSERT_EQ(got, 0.0);
        } else {
            ASSERT_NEAR(got / expected, 1.0, 1e-5) << "sample " << j;
        }
        energy += got * got * static_cast<double>(dt);
        if (shape.envelope[j] > shape.envelope[peak]) peak = j;
    }
    EXPECT_NEAR(energy, 1.0, 1e-3);
    EXPECT_EQ(peak, 400u);  // eps x T = 4 s
    const std::size_t end = 2000;  // T = 20 s
    EXPECT_NEAR(static_cast<double>(shape.envelope[end] / shape.envelope[peak]), 0.05, 1e-4);
}

// The amplitude spectrum against its closed form, for each high-frequency
// decay branch: kappa 0, -0 and negative use 1/(1 + f/f_max), a positive
// kappa the kappa filter (f_max ignored), NaN gives NaN everywhere.
TEST(StocShape, AmplitudeFollowsKappaBranch) {
    const float dt = 0.01f;
    const float q_exponent = 0.6f;
    const SpectrumPlan plan = SpectrumPlan::create(512, dt, q_exponent, kEps, kEta);
    struct Case {
        float kappa_s;
        bool uses_fmax;
    };
    const Case cases[] = {{0.0f, true}, {-0.0f, true}, {-0.02f, true}, {0.04f, false},
                          {1.0e-6f, false}, {kNaN, false}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.kappa_s);
        std::vector<double> by_fmax[2];
        const float fmaxes[2] = {10.0f, 35.0f};
        for (int which = 0; which < 2; ++which) {
            RayPath path = typical_path(2.0f);
            path.fmax_hz = fmaxes[which];
            SpectrumShape shape = SpectrumShape::with_capacity(512);
            shape.refresh(plan, SourceModel{dt, kEps, kEta, k.kappa_s}, path);
            EXPECT_EQ(shape.amplitude[0], 0.0);
            by_fmax[which] = shape.amplitude;

            if (std::isnan(k.kappa_s)) {
                for (std::size_t i = 1; i < plan.fold_count; ++i) {
                    ASSERT_TRUE(std::isnan(shape.amplitude[i])) << i;
                }
                continue;
            }
            // Closed form in 64 bits.
            const double beta = static_cast<double>(path.shear_velocity_km_s) * 1e5;
            const double cc =
                0.8946 / (static_cast<double>(path.density_g_cm3) * 4.0 * std::numbers::pi * beta * beta * beta);
            const double fc = static_cast<double>(path.corner_frequency_hz);
            const double scale = static_cast<double>(path.moment_scale);
            for (std::size_t i = 1; i < plan.fold_count; ++i) {
                const double f = static_cast<double>(plan.frequency_hz[i]);
                const double omg = 2.0 * std::numbers::pi * f;
                const double omgc = 2.0 * std::numbers::pi * fc;
                const double source = cc * static_cast<double>(path.subevent_moment) * omg * omg /
                                      (1.0 + (omg / omgc) * (omg / omgc));
                const double frank = (f * f + fc * fc) * scale / (f * f * scale + fc * fc);
                const double q_path = std::exp(-std::numbers::pi *
                                               std::pow(f, 1.0 - static_cast<double>(q_exponent)) *
                                               static_cast<double>(path.qbar));
                const double decay =
                    k.uses_fmax ? 1.0 / (1.0 + f / static_cast<double>(path.fmax_hz))
                                : std::exp(-std::numbers::pi * static_cast<double>(k.kappa_s) * f);
                const double expected = frank * source * q_path * decay /
                                        (static_cast<double>(path.distance_km) * 1e5);
                ASSERT_NEAR(shape.amplitude[i] / expected, 1.0, 2e-5) << "bin " << i;
            }
        }
        if (!k.uses_fmax && !std::isnan(k.kappa_s)) {
            EXPECT_EQ(by_fmax[0], by_fmax[1]);  // bit for bit: f_max plays no part
        } else if (k.uses_fmax) {
            EXPECT_NE(by_fmax[0], by_fmax[1]);
        }
    }
}

// Bit patterns of one ray's envelope and amplitude spectrum, worked out apart
// from the engine, step by step in the widths the records depend on, with this
// platform's maths library (logf, expf, powf, exp, tgamma). The tolerance tests
// above cannot see a step taken in the wrong width or order (a 32-bit envelope
// decay, an unnarrowed norm, a 64-bit source term, a regrouped product); these
// can. Kappa 0 takes the f_max branch, 0.035 s the kappa filter.
TEST(StocShape, RefreshReproducesReferenceBits) {
    const float dt = 0.01f;
    const SpectrumPlan plan = SpectrumPlan::create(64, dt, 0.6f, kEps, kEta);
    const std::size_t samples[] = {1, 2, 3, 7, 12, 20, 40, 63};
    const std::uint32_t envelope_bits[] = {0x3ea1e381, 0x3f2dceca, 0x3f821f8e, 0x3ff7c8ab,
                                           0x40106ad6, 0x3fed9802, 0x3f0c4b64, 0x3db391e9};
    const std::size_t bins[] = {1, 2, 3, 5, 9, 17, 25, 32};
    struct Case {
        float kappa_s;
        std::uint64_t amplitude_bits[8];
    };
    const Case cases[] = {
        {0.0f,
         {0x3fe924587935fec5, 0x3fe7ee17be07fd3b, 0x3fe57012fd975270, 0x3fe1652ea6f27a77,
          0x3fd8e5aaf5fcd4f7, 0x3fcf236caffe3086, 0x3fc65356910a8c32, 0x3fc1bfb8433ccf5a}},
        {0.035f,
         {0x3fe87b3f08e2c75c, 0x3fe6465ab9b33ab2, 0x3fe2ce352cdd12ad, 0x3fda3fc20cc4afde,
          0x3fc986c85dec613a, 0x3fa88b4dfefe1fec, 0x3f87e534f180a858, 0x3f6bea58871f40b2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kappa_s);
        SpectrumShape shape = SpectrumShape::with_capacity(64);
        shape.refresh(plan, SourceModel{dt, kEps, kEta, c.kappa_s}, typical_path(0.6f));
        for (std::size_t n = 0; n < 8; ++n) {
            EXPECT_EQ(bits(shape.envelope[samples[n]]), envelope_bits[n]) << "sample " << samples[n];
            EXPECT_EQ(std::bit_cast<std::uint64_t>(shape.amplitude[bins[n]]), c.amplitude_bits[n])
                << "bin " << bins[n];
        }
    }
}

// ------------------------------------------------------------ stochastic spectrum

// A refreshed plan and shape for `np2` points at `dt`, window half the series.
struct RayFixture {
    SpectrumPlan plan;
    SpectrumShape shape;

    RayFixture(std::size_t np2, float dt, float kappa_s = 0.03f)
        : plan(SpectrumPlan::create(np2, dt, 0.6f, kEps, kEta)),
          shape(SpectrumShape::with_capacity(np2)) {
        shape.refresh(plan, SourceModel{dt, kEps, kEta, kappa_s},
                      typical_path(static_cast<float>(np2) * dt * 0.5f));
    }
};

TEST(StocSpectrum, MatchesDirectTransformOfWindowedNoise) {
    for (const std::size_t np2 : {std::size_t{16}, std::size_t{30}, std::size_t{112}}) {
        SCOPED_TRACE(np2);
        const float dt = 0.01f;
        RayFixture ray(np2, dt);
        std::vector<cfloat> spectrum(np2, cfloat(kNaN, kNaN));  // overwritten whole
        ScriptedDraws draws;
        kelvane::stoc::stochastic_spectrum(draws, ray.plan, ray.shape, std::span<cfloat>(spectrum));
        EXPECT_EQ(draws.next, np2);

        // Expected: detrended, windowed deviates through a direct transform,
        // normalised over bins 0 .. np2/2, scaled, mirrored.
        std::vector<float> deviates(np2);
        for (std::size_t k = 0; k < np2; ++k) deviates[k] = ScriptedDraws::value(k);
        kelvane::fft::remove_quadratic_trend(dt, deviates);
        std::vector<cdouble> windowed(np2);
        for (std::size_t k = 0; k < np2; ++k) {
            windowed[k] = static_cast<double>(deviates[k] * ray.shape.envelope[k]);
        }
        const std::vector<cdouble> transformed = naive_dft(windowed, -1);
        const std::size_t fold = ray.plan.fold_count;
        double fsa = 0.0;
        for (std::size_t k = 0; k < fold; ++k) fsa += std::norm(transformed[k]);
        const double amp = 1.0 / (static_cast<double>(dt) * std::sqrt(fsa / static_cast<double>(fold)));
        std::vector<cdouble> expected(np2);
        for (std::size_t k = 0; k < fold; ++k) expected[k] = transformed[k] * ray.shape.amplitude[k] * amp;
        for (std::size_t k = 1; k < np2 / 2; ++k) expected[np2 - k] = std::conj(expected[k]);

        double largest = 0.0;
        for (const cdouble& v : expected) largest = std::max(largest, std::abs(v));
        for (std::size_t k = 0; k < np2; ++k) {
            const cdouble got(static_cast<double>(spectrum[k].real()),
                              static_cast<double>(spectrum[k].imag()));
            ASSERT_LT(std::abs(got - expected[k]), 1e-5 * largest) << "bin " << k;
        }
        // The Nyquist bin carries its own value, not a mirror or a zero.
        EXPECT_GT(std::abs(spectrum[np2 / 2].real()), 0.0f);
    }
}

TEST(StocSpectrum, ZeroBinAndExactMirror) {
    for (const std::size_t np2 : {std::size_t{4}, std::size_t{10}, std::size_t{1024}, std::size_t{3584}}) {
        SCOPED_TRACE(np2);
        RayFixture ray(np2, 0.01f);
        auto draws = stream(0x5eed0000u + np2);
        std::vector<cfloat> spectrum(np2);
        kelvane::stoc::stochastic_spectrum(draws, ray.plan, ray.shape, std::span<cfloat>(spectrum));
        EXPECT_EQ(spectrum[0].real(), 0.0f);  // +0 or -0, as the transform's sign gives
        EXPECT_EQ(spectrum[0].imag(), 0.0f);
        for (std::size_t k = 1; k < np2 / 2; ++k) {
            ASSERT_EQ(bits(spectrum[np2 - k].real()), bits(spectrum[k].real())) << k;
            ASSERT_EQ(bits(spectrum[np2 - k].imag()), bits(-spectrum[k].imag())) << k;
        }
    }
}

// Exactly np2 normals per call, and nothing else: the next call (the next
// component of the ray) continues the stream where a plain fill would.
TEST(StocSpectrum, TakesExactlyNp2NormalDraws) {
    for (const std::size_t np2 : {std::size_t{2}, std::size_t{10}, std::size_t{2048}}) {
        SCOPED_TRACE(np2);
        RayFixture ray(np2, 0.01f);
        CountingDraws draws{stream(77)};
        std::vector<cfloat> spectrum(np2);
        kelvane::stoc::stochastic_spectrum(draws, ray.plan, ray.shape, std::span<cfloat>(spectrum));
        EXPECT_EQ(draws.normals, np2);
        EXPECT_EQ(draws.uniforms, 0u);
        kelvane::stoc::stochastic_spectrum(draws, ray.plan, ray.shape, std::span<cfloat>(spectrum));
        EXPECT_EQ(draws.normals, 2 * np2);

        auto reference = stream(77);
        std::vector<float> skipped(2 * np2);
        reference.fill_normal(skipped);
        EXPECT_EQ(bits(draws.normal()), bits(reference.normal()));
    }
}

TEST(StocSpectrum, EqualStreamsGiveEqualRows) {
    RayFixture ray(2048, 0.01f);
    std::vector<cfloat> first(2048);
    std::vector<cfloat> second(2048);
    auto a = stream(9);
    auto b = stream(9);
    kelvane::stoc::stochastic_spectrum(a, ray.plan, ray.shape, std::span<cfloat>(first));
    kelvane::stoc::stochastic_spectrum(b, ray.plan, ray.shape, std::span<cfloat>(second));
    for (std::size_t k = 0; k < 2048; ++k) {
        ASSERT_EQ(bits(first[k].real()), bits(second[k].real())) << k;
        ASSERT_EQ(bits(first[k].imag()), bits(second[k].imag())) << k;
    }
}

// Two points: no mirrored bins, and the normalisation covers both bins, so
// the single non-zero bin has magnitude amplitude[1] / dt.
TEST(StocSpectrum, TwoPoints) {
    const float dt = 0.01f;
    RayFixture ray(2, dt);
    auto draws = stream(3);
    std::vector<cfloat> spectrum(2);
    kelvane::stoc::stochastic_spectrum(draws, ray.plan, ray.shape, std::span<cfloat>(spectrum));
    EXPECT_EQ(spectrum[0], cfloat(0.0f, 0.0f));
    EXPECT_NEAR(std::abs(static_cast<double>(spectrum[1].real())) * static_cast<double>(dt) /
                    ray.shape.amplitude[1],
                1.0, 1e-6);
    EXPECT_EQ(spectrum[1].imag(), 0.0f);
}

// Averaged over many streams, every band of positive-frequency bins has the
// power of the amplitude spectrum: (dt |bin| / amplitude)^2 is 1 on average.
TEST(StocSpectrum, MeanPowerFollowsAmplitude) {
    const std::size_t np2 = 1024;
    const float dt = 0.01f;
    RayFixture ray(np2, dt);
    const std::size_t fold = ray.plan.fold_count;
    constexpr std::size_t kStreams = 300;
    constexpr std::size_t kBands = 8;
    std::vector<double> band_power(kBands, 0.0);
    std::vector<std::size_t> band_count(kBands, 0);
    std::vector<cfloat> spectrum(np2);
    for (std::size_t s = 0; s < kStreams; ++s) {
        auto draws = stream(1000 + s);
        kelvane::stoc::stochastic_spectrum(draws, ray.plan, ray.shape, std::span<cfloat>(spectrum));
        // Bins 1 .. fold-1, skipping the lowest few that the baseline
        // correction takes power from.
        for (std::size_t k = 8; k < fold; ++k) {
            const double ratio = std::abs(cdouble(spectrum[k].real(), spectrum[k].imag())) *
                                 static_cast<double>(dt) / ray.shape.amplitude[k];
            const std::size_t band = (k - 8) * kBands / (fold - 8);
            band_power[band] += ratio * ratio;
            ++band_count[band];
        }
    }
    for (std::size_t band = 0; band < kBands; ++band) {
        EXPECT_NEAR(band_power[band] / static_cast<double>(band_count[band]), 1.0, 0.03) << band;
    }
}

TEST(StocSpectrum, RefusesMismatchedRows) {
    RayFixture ray(16, 0.01f);
    CountingDraws draws{stream(1)};
    std::vector<cfloat> short_row(14);
    std::vector<cfloat> long_row(18);
    EXPECT_EQ(fault_message([&] {
                  kelvane::stoc::stochastic_spectrum(draws, ray.plan, ray.shape,
                                                     std::span<cfloat>(short_row));
              }),
              "a spectrum row of 14 bins does not match the plan's length 16");
    EXPECT_EQ(fault_message([&] {
                  kelvane::stoc::stochastic_spectrum(draws, ray.plan, ray.shape,
                                                     std::span<cfloat>(long_row));
              }),
              "a spectrum row of 18 bins does not match the plan's length 16");
    SpectrumShape small = SpectrumShape::with_capacity(8);
    std::vector<cfloat> row(16);
    EXPECT_EQ(fault_message([&] {
                  kelvane::stoc::stochastic_spectrum(draws, ray.plan, small, std::span<cfloat>(row));
              }),
              "a spectrum shape of capacity 8 is shorter than the plan's length 16");
    // A refused call draws nothing from the stream.
    EXPECT_EQ(draws.normals, 0u);
}

// ------------------------------------------------------------ inversion

// Against a direct inverse transform with distinct gains: each bin above the
// Nyquist bin takes the gain of the frequency it mirrors.
TEST(StocInvert, MatchesDirectInverseWithMirroredGains) {
    for (const std::size_t np2 : {std::size_t{4}, std::size_t{16}, std::size_t{40}}) {
        SCOPED_TRACE(np2);
        const std::size_t fold = np2 / 2 + 1;
        std::vector<cfloat> spectrum(np2);
        for (std::size_t k = 0; k < np2; ++k) {
            spectrum[k] = cfloat(ScriptedDraws::value(k), ScriptedDraws::value(k + 100));
        }
        std::vector<float> gains(fold);
        for (std::size_t k = 0; k < fold; ++k) gains[k] = 0.5f + 0.1f * static_cast<float>(k);

        std::vector<cdouble> weighted(np2);
        for (std::size_t k = 0; k < np2; ++k) {
            const float g = k < fold ? gains[k] : gains[np2 - k];
            weighted[k] = cdouble(spectrum[k].real(), spectrum[k].imag()) * static_cast<double>(g);
        }
        const std::vector<cdouble> inverse = naive_dft(weighted, +1);

        std::vector<float> series(np2, kNaN);
        kelvane::stoc::radiate_and_invert(spectrum, gains, series);

        const double scale = 1.0 / (static_cast<double>(np2) * 0.4473);
        const std::size_t taper_len = np2 / 10;
        double largest = 0.0;
        for (const cdouble& v : inverse) largest = std::max(largest, std::abs(v));
        for (std::size_t k = 0; k < np2; ++k) {
            double taper = 1.0;
            if (k >= np2 - taper_len) {
                const std::size_t i = k - (np2 - taper_len);
                taper = (std::cos(static_cast<double>(i + 1) * std::numbers::pi /
                                  static_cast<double>(taper_len)) + 1.0) * 0.5;
            }
            ASSERT_NEAR(static_cast<double>(series[k]), inverse[k].real() * scale * taper,
                        1e-5 * largest * scale)
                << "sample " << k;
            // The row is left holding the inverse transform.
            ASSERT_LT(std::abs(cdouble(spectrum[k].real(), spectrum[k].imag()) - inverse[k]),
                      1e-5 * largest)
                << "bin " << k;
        }
    }
}

TEST(StocInvert, TwoPoints) {
    // No mirrored bins and no taper: [p, q] -> [p g0 + q g1, p g0 - q g1] x scale.
    std::vector<cfloat> spectrum = {cfloat(3.0f, 1.0f), cfloat(-1.5f, 2.0f)};
    const std::vector<float> gains = {0.5f, 2.0f};
    std::vector<float> series(2);
    kelvane::stoc::radiate_and_invert(spectrum, gains, series);
    const float scale = 1.0f / (2.0f * 0.4473f);
    EXPECT_EQ(series[0], (1.5f + -3.0f) * scale);
    EXPECT_EQ(series[1], (1.5f - -3.0f) * scale);
}

// A flat series shows the end taper alone: none below 10 points, only the
// last sample (to 0) at 10, the last two (to just under 0.5 and 0) at 20.
TEST(StocInvert, EndTaper) {
    struct Case {
        std::size_t np2;
        std::vector<float> tail;  // the last samples' factors, oldest first
    };
    const Case cases[] = {
        {2, {1.0f}}, {4, {1.0f}}, {8, {1.0f, 1.0f}},
        {10, {1.0f, 0.0f}},
        {20, {1.0f, 0.5f, 0.0f}},
        {40, {1.0f, 0.8535534f, 0.5f, 0.1464466f, 0.0f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.np2);
        const std::size_t fold = c.np2 / 2 + 1;
        // Only the 0 Hz bin: the inverse is flat, np2 x 0.4473 x (1/(np2 x 0.4473)) ~ 1.
        std::vector<cfloat> spectrum(c.np2, cfloat(0.0f, 0.0f));
        spectrum[0] = cfloat(static_cast<float>(c.np2) * 0.4473f, 0.0f);
        const std::vector<float> gains(fold, 1.0f);
        std::vector<float> series(c.np2);
        kelvane::stoc::radiate_and_invert(spectrum, gains, series);

        const std::size_t untapered = c.np2 - c.tail.size() + 1;
        for (std::size_t k = 0; k < untapered; ++k) ASSERT_NEAR(series[k], 1.0f, 1e-6f) << k;
        for (std::size_t i = 1; i < c.tail.size(); ++i) {
            const std::size_t k = untapered + i - 1;
            ASSERT_NEAR(series[k], c.tail[i], 1e-6f) << k;
        }
        if (c.np2 >= 10) {
            EXPECT_EQ(series.back(), 0.0f);
        }
        if (c.np2 == 20) {
            EXPECT_LT(series[18], 0.5f);  // cos of pi/2 in 32 bits leaves it just under
        }
    }
}

TEST(StocInvert, RefusesMismatchedRows) {
    struct Case {
        std::size_t spectrum;
        std::size_t radiation;
        std::size_t series;
        const char* message;
    };
    const Case cases[] = {
        {2, 1, 2, "a radiation row needs at least 2 gains, got 1"},
        {2, 0, 2, "a radiation row needs at least 2 gains, got 0"},
        {6, 5, 6, "a spectrum row of 6 bins is shorter than the 8 bins of 5 gains"},
        {8, 5, 7, "a time-series row of 7 samples does not match the spectrum's 8 bins"},
        {8, 5, 9, "a time-series row of 9 samples does not match the spectrum's 8 bins"},
    };
    for (const Case& c : cases) {
        std::vector<cfloat> spectrum(c.spectrum, cfloat(1.0f, 2.0f));
        const std::vector<float> gains(c.radiation, 3.0f);
        std::vector<float> series(c.series);
        EXPECT_EQ(fault_message([&] { kelvane::stoc::radiate_and_invert(spectrum, gains, series); }),
                  c.message);
        // Nothing was touched before the refusal.
        for (const cfloat& bin : spectrum) ASSERT_EQ(bin, cfloat(1.0f, 2.0f));
    }
}

}  // namespace
