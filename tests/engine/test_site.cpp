// Quarter-wavelength site factors, the gain curve and its application.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "kelvane/fault.hpp"
#include "kelvane/site.hpp"
#include "kelvane/state.hpp"

namespace kelvane::site {
namespace {

using state::Layer;

// The 20 site-table frequencies (Hz) and their natural logarithms.
const std::vector<float> table_hz = {0.01f, 0.02f, 0.03f, 0.05f, 0.07f, 0.1f, 0.2f,
                                     0.3f,  0.5f,  0.7f,  1.0f,  2.0f,  3.0f, 5.0f,
                                     7.0f,  10.0f, 20.0f, 30.0f, 50.0f, 70.0f};

std::vector<float> table_log() {
    std::vector<float> out;
    for (float f : table_hz) out.push_back(::logf(f));
    return out;
}

Layer layer(double thickness_km, double vsh_km_s, double density_g_cm3) {
    return Layer{0.0, thickness_km, vsh_km_s * 1.7, vsh_km_s, density_g_cm3, 100.0f, 50.0f};
}

// Air layer, three crustal layers (travel times 0.5 s, 0.8 s, 20/7 s) and a
// half-space of thickness 0.
std::vector<Layer> crust() {
    return {layer(1e-4, 0.0005, 0.001), layer(0.5, 1.0, 2.0), layer(2.0, 2.5, 2.4),
            layer(10.0, 3.5, 2.8), layer(0.0, 4.5, 3.3)};
}

float factor_at(const std::vector<Layer>& vmod, std::size_t source_layer, float frequency_hz) {
    const float log_f[] = {::logf(frequency_hz)};
    float factor[] = {std::numeric_limits<float>::quiet_NaN()};
    site_amplification_factors(vmod, source_layer, log_f, factor);
    return factor[0];
}

struct FactorCase {
    const char* what;
    std::size_t source_layer;
    float frequency_hz;
    double expected;  // ln amplification, worked by hand (1)
};

// Hand-worked walks over `crust()`; each expected value is
// 0.5 ln(vdsrc / (mean density x mean speed)).
TEST(SiteFactors, QuarterWavelengthWalks) {
    const FactorCase cases[] = {
        // 1 Hz: stt = 0.25 s < 0.5 s, inside layer 1: means are layer 1's.
        {"quarter period inside layer 1", 3, 1.0f, 0.5 * std::log(9.8 / (2.0 * 1.0))},
        // 0.2 Hz: stt = 1.25 s, stops in layer 2 after 0.5 s in layer 1:
        // bz = (0.5 + 0.75 x 2.5) / 1.25 = 1.9, pz = (1 + 0.75 x 2.4) / 1.25 = 2.24.
        {"stops in layer 2", 3, 0.2f, 0.5 * std::log(9.8 / (2.24 * 1.9))},
        // 0.01 Hz: stt = 25 s is never reached above the source layer 3, which
        // extends without limit: bz = (2.5 + 23.7 x 3.5) / 25, pz = (2.92 + 23.7 x 2.8) / 25.
        {"source layer extends downward", 3, 0.01f,
         0.5 * std::log(9.8 / (((2.92 + 23.7 * 2.8) / 25.0) * ((2.5 + 23.7 * 3.5) / 25.0)))},
        // Source in the half-space (thickness 0, adds no time): the walk stops
        // there; tt = 0.5 + 0.8 + 20/7 s.
        {"source in the half-space", 4, 0.01f,
         0.5 * std::log((4.5 * 3.3) /
                        (((2.92 + 2.8 * 10.0 / 3.5 + (25.0 - (1.3 + 10.0 / 3.5)) * 3.3) / 25.0) *
                         ((12.5 + (25.0 - (1.3 + 10.0 / 3.5)) * 4.5) / 25.0)))},
        // Source in layer 1: every walk stops at once; a ratio of 1 up to rounding.
        {"source in layer 1, low", 1, 0.01f, 0.0},
        {"source in layer 1, high", 1, 70.0f, 0.0},
    };
    const std::vector<Layer> vmod = crust();
    for (const FactorCase& c : cases) {
        EXPECT_NEAR(factor_at(vmod, c.source_layer, c.frequency_hz), c.expected, 2e-6) << c.what;
    }
}

// Bit patterns of the factors of a crust with inexact thicknesses, speeds and
// densities, worked out apart from the engine step by step (64-bit sums and
// means narrowed where they are stored, 32-bit quarter periods and ratios) with
// this platform's expf and logf. The hand-worked walks above carry a tolerance
// and cannot see a sum kept in the wrong width or a regrouped ratio; these can.
// Sources in layer 2, layer 4 and the half-space (layer 5).
TEST(SiteFactors, ReproduceReferenceBits) {
    const std::vector<Layer> vmod = {layer(1e-4, 0.0005, 0.001), layer(0.37, 0.83, 1.93),
                                     layer(1.71, 1.97, 2.21),    layer(4.3, 2.9, 2.47),
                                     layer(7.9, 3.6, 2.73),      layer(0.0, 4.4, 3.1)};
    struct Case {
        std::size_t source_layer;
        std::uint32_t factor_bits[10];  // table entries 0.01 .. 0.7 Hz; from 0.7 Hz on all equal
    };
    const Case cases[] = {
        {2,
         {0x3bcefed8, 0x3c4fedb6, 0x3c9ca79b, 0x3d03c073, 0x3d3a305d, 0x3d86eb91, 0x3e0e0467,
          0x3e61971f, 0x3ed86bad, 0x3efff53b}},
        {4,
         {0x3cf3a003, 0x3d780402, 0x3dbd7ccd, 0x3e2438b4, 0x3e6feb55, 0x3eaadf74, 0x3f0bb91d,
          0x3f209dcb, 0x3f546dd9, 0x3f6832a1}},
        {5,
         {0x3d6630c1, 0x3dedaf6a, 0x3e387307, 0x3ea5d2ba, 0x3ecbde7b, 0x3efec844, 0x3f35ad86,
          0x3f4a9233, 0x3f7e6242, 0x3f891384}},
    };
    const std::vector<float> log_f = table_log();
    std::vector<float> factors(log_f.size());
    for (const Case& c : cases) {
        site_amplification_factors(vmod, c.source_layer, log_f, factors);
        for (std::size_t k = 0; k < log_f.size(); ++k) {
            EXPECT_EQ(std::bit_cast<std::uint32_t>(factors[k]), c.factor_bits[std::min<std::size_t>(k, 9)])
                << "source layer " << c.source_layer << ", " << table_hz[k] << " Hz";
        }
    }
}

// A quarter period reached inside layer 1 sees nothing deeper than layer 1 but
// the source's impedance; its factor is formed from layer 1's values alone.
TEST(SiteFactors, InsideLayerOneIgnoresDeeperLayers) {
    std::vector<Layer> vmod = crust();
    std::vector<Layer> changed = vmod;
    changed[2] = layer(7.0, 1.2, 1.9);  // a different layer between layer 1 and the source
    for (float f : {0.7f, 1.0f, 5.0f, 70.0f}) {
        EXPECT_EQ(factor_at(vmod, 3, f), factor_at(changed, 3, f)) << f << " Hz";
    }
    EXPECT_NE(factor_at(vmod, 3, 0.2f), factor_at(changed, 3, 0.2f));

    // Source in layer 1: bz = (0 + stt x vsh) / stt and pz likewise, exactly as
    // formed in 64 bits and narrowed.
    for (float f : {0.01f, 1.0f, 70.0f}) {
        const float stt = 0.25f / ::expf(::logf(f));
        const double s = static_cast<double>(stt);
        const float bz = static_cast<float>((0.0 + s * 1.0) / s);
        const float pz = static_cast<float>((0.0 + s * 2.0) / s);
        EXPECT_EQ(factor_at(vmod, 1, f), 0.5f * ::logf(static_cast<float>(1.0 * 2.0) / (pz * bz)))
            << f << " Hz";
    }
}

// A source in layer 0 (at or above the receiver level) is taken as a source at
// the top of layer 1. Without that, the walk at 0.01 Hz would find no source
// layer to stop at and run past the half-space, and layer 0 (here the air
// layer) would give a source impedance four orders of magnitude too small.
TEST(SiteFactors, SourceInReceiverLayerIsTakenAsLayerOne) {
    const std::vector<float> log_f = table_log();
    std::vector<float> from_layer0(log_f.size());
    std::vector<float> from_layer1(log_f.size());
    // With and without the air layer in front.
    const std::vector<Layer> with_air = crust();
    const std::vector<Layer> without_air(with_air.begin() + 1, with_air.end());
    for (const std::vector<Layer>& vmod : {with_air, without_air}) {
        site_amplification_factors(vmod, 0, log_f, from_layer0);
        site_amplification_factors(vmod, 1, log_f, from_layer1);
        for (std::size_t k = 0; k < log_f.size(); ++k) {
            EXPECT_EQ(from_layer0[k], from_layer1[k]) << table_hz[k] << " Hz";
            EXPECT_NEAR(from_layer0[k], 0.0f, 1e-6f) << table_hz[k] << " Hz";
        }
    }
    // Two layers (receiver level and half-space) are enough.
    const std::vector<Layer> two = {layer(0.1, 1.0, 2.0), layer(0.0, 3.0, 2.6)};
    site_amplification_factors(two, 0, log_f, from_layer0);
    for (float factor : from_layer0) EXPECT_NEAR(factor, 0.0f, 1e-6f);
}

TEST(SiteFactors, BrokenLimitsFault) {
    const std::vector<float> log_f = table_log();
    std::vector<float> factors(log_f.size());
    std::vector<float> short_factors(log_f.size() - 1);
    const std::vector<Layer> vmod = crust();
    const std::vector<Layer> one = {layer(0.0, 3.0, 2.6)};
    testing::internal::CaptureStderr();
    EXPECT_THROW(site_amplification_factors(vmod, vmod.size(), log_f, factors), Fault);
    EXPECT_THROW(site_amplification_factors(one, 0, log_f, factors), Fault);
    EXPECT_THROW(site_amplification_factors(vmod, 2, log_f, short_factors), Fault);
    testing::internal::GetCapturedStderr();
}

// The walk itself, without the factor's interpolation: a bracket that finds
// each bin by searching the table afresh, with the same interpolation formula.
float searched_gain(float freq, const std::vector<float>& table, const std::vector<float>& factors) {
    if (!(freq > table.front())) return ::expf(factors.front());
    if (freq > table.back()) return ::expf(factors.back());
    std::size_t k = 1;
    while (!(table[k] >= freq)) ++k;
    return ::expf((((freq - table[k - 1]) * (factors[k] - factors[k - 1])) /
                   (table[k] - table[k - 1])) +
                  factors[k - 1]);
}

std::vector<float> distinct_factors() {
    std::vector<float> factors;
    for (std::size_t k = 0; k < table_hz.size(); ++k) {
        factors.push_back(0.05f + 0.1f * static_cast<float>(k) * (k % 2 == 0 ? 1.0f : -0.5f));
    }
    return factors;
}

TEST(SiteGain, EndsConstantOutsideTheTableAndBinsAtKnots) {
    const std::vector<float> log_t = table_log();
    std::vector<float> factors = distinct_factors();
    // A NaN factor at entry 6 (0.2 Hz) shows which bracket a bin used: the bin
    // exactly at entry 5 (0.1 Hz) must stay in the bracket [4, 5] below it.
    factors[6] = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> log_bins = {-std::numeric_limits<float>::infinity(),
                                         ::logf(0.004f),  // below the table
                                         ::logf(0.006f),
                                         log_t[5],        // exactly at 0.1 Hz
                                         ::logf(0.15f),   // in [0.1, 0.2]: uses the NaN
                                         ::logf(1.5f),    // the walk has moved on
                                         ::logf(100.0f),  // above the table
                                         ::logf(300.0f),
                                         ::logf(0.001f)};  // Nyquist: its frequency is not read
    std::vector<float> gain(log_bins.size());
    site_gain_curve(log_bins, log_t, factors, gain);

    EXPECT_EQ(gain[0], ::expf(factors[0]));
    EXPECT_EQ(gain[1], ::expf(factors[0]));
    EXPECT_EQ(gain[2], ::expf(factors[0]));
    EXPECT_FALSE(std::isnan(gain[3]));
    EXPECT_NEAR(gain[3], ::expf(factors[5]), 1e-6f);
    EXPECT_TRUE(std::isnan(gain[4]));
    EXPECT_NEAR(::logf(gain[5]),
                factors[10] + (factors[11] - factors[10]) * (::logf(1.5f) / ::logf(2.0f)), 1e-6f);
    EXPECT_EQ(gain[6], ::expf(factors[19]));
    EXPECT_EQ(gain[7], ::expf(factors[19]));
    EXPECT_EQ(gain[8], ::expf(factors[19]));
}

// The one forward walk against a fresh search per bin, over the bins of real
// transform lengths (bin i at i / (np2 dt) Hz).
TEST(SiteGain, ForwardWalkEqualsSearchOverPlanBins) {
    const std::vector<float> log_t = table_log();
    const std::vector<float> factors = distinct_factors();
    struct Plan {
        std::size_t np2;
        float dt_s;
    };
    for (const Plan plan : {Plan{2, 0.01f}, Plan{4, 0.01f}, Plan{6, 0.5f}, Plan{4096, 0.01f},
                            Plan{2240, 0.005f}, Plan{65536, 0.002f}}) {
        const std::size_t fold = plan.np2 / 2 + 1;
        const float df = 1.0f / (static_cast<float>(plan.np2) * plan.dt_s);
        std::vector<float> log_bins(fold);
        for (std::size_t i = 0; i < fold; ++i) log_bins[i] = ::logf(static_cast<float>(i) * df);
        std::vector<float> gain(fold);
        site_gain_curve(log_bins, log_t, factors, gain);
        EXPECT_EQ(gain[0], ::expf(factors.front())) << plan.np2;
        EXPECT_EQ(gain[fold - 1], ::expf(factors.back())) << plan.np2;
        for (std::size_t i = 1; i + 1 < fold; ++i) {
            ASSERT_EQ(gain[i], searched_gain(log_bins[i], log_t, factors))
                << "np2 " << plan.np2 << " bin " << i;
        }
    }
}

TEST(SiteGain, BrokenLimitsFault) {
    const std::vector<float> log_t = table_log();
    const std::vector<float> factors = distinct_factors();
    const std::vector<float> bins(5, 0.0f);
    std::vector<float> gain(5);
    std::vector<float> no_gain;
    testing::internal::CaptureStderr();
    EXPECT_THROW(site_gain_curve(bins, log_t, factors, no_gain), Fault);
    EXPECT_THROW(site_gain_curve(bins, log_t, std::span<const float>(), gain), Fault);
    EXPECT_THROW(site_gain_curve(std::span<const float>(bins).first(4), log_t, factors, gain),
                 Fault);
    EXPECT_THROW(site_gain_curve(bins, std::span<const float>(log_t).first(19), factors, gain),
                 Fault);
    testing::internal::GetCapturedStderr();
}

using Spectrum = std::vector<std::complex<float>>;

TEST(SiteApply, ScalesPositiveHalfAndConjugatesNegativeHalf) {
    // np2 = 2: DC and Nyquist only; nothing is conjugated.
    Spectrum two = {{1.0f, 2.0f}, {3.0f, -4.0f}};
    const std::vector<float> gain2 = {2.0f, 0.5f};
    apply_site_amplification(two, gain2);
    EXPECT_EQ(two[0], std::complex<float>(2.0f, 4.0f));
    EXPECT_EQ(two[1], std::complex<float>(1.5f, -2.0f));

    // np2 = 4: bin 3 becomes the conjugate of the scaled bin 1, whatever it held;
    // a +0 imaginary part becomes -0.
    Spectrum four = {{1.0f, 1.0f}, {2.0f, 0.0f}, {3.0f, -1.0f}, {9.0f, 9.0f}};
    const std::vector<float> gain4 = {2.0f, 3.0f, 4.0f};
    apply_site_amplification(four, gain4);
    EXPECT_EQ(four[0], std::complex<float>(2.0f, 2.0f));
    EXPECT_EQ(four[1], std::complex<float>(6.0f, 0.0f));
    EXPECT_EQ(four[2], std::complex<float>(12.0f, -4.0f));
    EXPECT_EQ(four[3].real(), 6.0f);
    EXPECT_EQ(four[3].imag(), 0.0f);
    EXPECT_TRUE(std::signbit(four[3].imag()));

    // np2 = 8: bins 5, 6, 7 mirror bins 3, 2, 1.
    Spectrum eight(8);
    for (std::size_t k = 0; k < 8; ++k) {
        eight[k] = {static_cast<float>(k + 1), -static_cast<float>(k + 1)};
    }
    const std::vector<float> gain8 = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f};
    apply_site_amplification(eight, gain8);
    for (std::size_t k = 0; k <= 4; ++k) {
        EXPECT_EQ(eight[k], std::complex<float>(static_cast<float>(k + 1) * gain8[k],
                                                -static_cast<float>(k + 1) * gain8[k]));
    }
    for (std::size_t k = 1; k < 4; ++k) EXPECT_EQ(eight[8 - k], std::conj(eight[k])) << k;
}

TEST(SiteApply, GainLengthMustBeHalfPlusOne) {
    Spectrum accepted(8, {1.0f, 1.0f});
    const std::vector<float> five(5, 1.0f);
    EXPECT_NO_THROW(apply_site_amplification(accepted, five));

    Spectrum spectrum(8, {1.0f, 1.0f});

    struct Case {
        std::size_t gain_length;
    };
    for (const Case c : {Case{4}, Case{6}, Case{0}}) {
        const std::vector<float> gain(c.gain_length, 1.0f);
        testing::internal::CaptureStderr();
        try {
            apply_site_amplification(spectrum, gain);
            ADD_FAILURE() << "a gain of " << c.gain_length << " entries was accepted";
        } catch (const Fault& f) {
            EXPECT_STREQ(f.what(),
                         "a gain curve covers the positive half plus Nyquist, 5 bins for a "
                         "8-point transform");
        }
        const std::string report = testing::internal::GetCapturedStderr();
        EXPECT_NE(report.find("left: " + std::to_string(c.gain_length)), std::string::npos)
            << report;
        EXPECT_NE(report.find("right: 5"), std::string::npos) << report;
    }
    // The spectrum is untouched by a refused call.
    for (const std::complex<float>& bin : spectrum) EXPECT_EQ(bin, std::complex<float>(1.0f, 1.0f));

    // An odd length is a broken invariant too.
    Spectrum odd(7, {1.0f, 1.0f});
    const std::vector<float> four(4, 1.0f);
    testing::internal::CaptureStderr();
    EXPECT_THROW(apply_site_amplification(odd, four), Fault);
    testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace kelvane::site
