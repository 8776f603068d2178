// The station run takes a pair's three rows through its steps together and
// fuses some steps into one pass; these tests hold each combined step to the
// bits of the separate steps it stands for, so a change to one form that is
// not made to the other shows up here rather than as a changed record.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <complex>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kelvane/fault.hpp"
#include "kelvane/fft.hpp"
#include "kelvane/radiation.hpp"
#include "kelvane/rng.hpp"
#include "kelvane/site.hpp"
#include "kelvane/stoc.hpp"
#include "tests/engine/support.hpp"

namespace {

using namespace kelvane;
using cfloat = std::complex<float>;

std::vector<std::uint32_t> bits_of(std::span<const float> values) {
    std::vector<std::uint32_t> out;
    for (const float v : values) out.push_back(std::bit_cast<std::uint32_t>(v));
    return out;
}

std::vector<std::uint32_t> bits_of(std::span<const cfloat> values) {
    std::vector<std::uint32_t> out;
    for (const cfloat v : values) {
        out.push_back(std::bit_cast<std::uint32_t>(v.real()));
        out.push_back(std::bit_cast<std::uint32_t>(v.imag()));
    }
    return out;
}

std::vector<float> normals(std::uint64_t seed, std::size_t n) {
    rng::Pcg source = rng::Pcg::seed(seed);
    std::vector<float> out(n);
    source.fill_normal(out);
    return out;
}

// Each of three rows stepped together gets the bits it gets alone, for
// lengths around the four-sample steps of the correction (and below 2, where
// nothing changes); rows of different lengths are refused.
TEST(PairSteps, TrendOfThreeRowsIsEachRowsOwn) {
    for (const std::size_t n : {0u, 1u, 2u, 3u, 5u, 6u, 7u, 64u, 1001u}) {
        SCOPED_TRACE(n);
        std::array<std::vector<float>, 3> together = {normals(1, n), normals(2, n), normals(3, n)};
        std::array<std::vector<float>, 3> alone = together;
        fft::remove_quadratic_trend(0.01f, {together[0], together[1], together[2]});
        for (std::size_t r = 0; r < 3; ++r) {
            fft::remove_quadratic_trend(0.01f, std::span<float>(alone[r]));
            EXPECT_EQ(bits_of(together[r]), bits_of(alone[r])) << "row " << r;
        }
    }
    std::vector<float> a(8), b(8), c(7);
    EXPECT_EQ(testing_support::fault_message([&] { fft::remove_quadratic_trend(0.01f, {a, b, c}); }),
              "three rows of 8, 8 and 7 samples have no common length");
}

// The three windowed, transformed rows of one pair normalised together get
// the spectra that `stochastic_spectrum` gives each alone.
TEST(PairSteps, SpectraOfThreeRowsAreEachRowsOwn) {
    const float dt = 0.01f;
    stoc::PlanCache plans = stoc::PlanCache::create(dt, 0.6f, 0.2f, 0.05f);
    for (const std::size_t np2 : {2u, 10u, 96u, 1000u}) {
        SCOPED_TRACE(np2);
        const stoc::SpectrumPlan& plan = plans.for_length(np2);
        stoc::SpectrumShape shape = stoc::SpectrumShape::with_capacity(np2);
        shape.refresh(plan, stoc::SourceModel{dt, 0.2f, 0.05f, 0.04f},
                      stoc::RayPath{30.0f, 0.4f * static_cast<float>(np2) * dt, 3.5f, 2.8f, 1.2f,
                                    1.0e23f, 4.0f, 10.0f, 0.02f});

        // Alone: one call per row from one stream, in row order.
        rng::DrawSource alone_stream = rng::DrawSource::modern(rng::Pcg::seed(7));
        std::array<std::vector<cfloat>, 3> alone;
        for (auto& row : alone) {
            row.assign(np2, cfloat{});
            stoc::stochastic_spectrum(alone_stream, plan, shape, std::span<cfloat>(row));
        }

        // Together: the draws of the three rows, the trend of all three, the
        // window and transform of each, the three normalisations at once.
        rng::DrawSource together_stream = rng::DrawSource::modern(rng::Pcg::seed(7));
        std::array<std::vector<float>, 3> deviates;
        for (auto& d : deviates) {
            d.assign(np2, 0.0f);
            together_stream.fill_normal(d);
        }
        fft::remove_quadratic_trend(shape.dt, {deviates[0], deviates[1], deviates[2]});
        std::array<fft::AlignedVector<cfloat>, 3> together;
        for (std::size_t r = 0; r < 3; ++r) {
            together[r].assign(np2, cfloat{});
            stoc::detail::window_and_transform(plan, shape, deviates[r], together[r]);
        }
        const std::array<float, 3> scales = stoc::detail::unit_power_scales(
            plan, shape.dt, {together[0], together[1], together[2]});
        for (std::size_t r = 0; r < 3; ++r) {
            stoc::detail::scale_and_mirror(plan, shape, scales[r], together[r]);
            EXPECT_EQ(bits_of(std::span<const cfloat>(together[r])),
                      bits_of(std::span<const cfloat>(alone[r])))
                << "row " << r;
        }
    }
}

// One pass of amplitude, site gain and radiation gain, then the inversion,
// gives the bits of `scale_and_mirror`, `apply_site_amplification` and
// `radiate_and_invert` in turn: every bin, the mirrored ones included (their
// sign of zero too: one radiation gain is negative, one is zero); the
// inversion with the plan's stored end taper gives the same series.
TEST(PairSteps, FusedWeightingIsTheThreeStepsInTurn) {
    const float dt = 0.01f;
    stoc::PlanCache plans = stoc::PlanCache::create(dt, 0.6f, 0.2f, 0.05f);
    for (const std::size_t np2 : {2u, 4u, 10u, 96u, 1000u}) {
        SCOPED_TRACE(np2);
        const stoc::SpectrumPlan& plan = plans.for_length(np2);
        const std::size_t fold = plan.fold_count;
        stoc::SpectrumShape shape = stoc::SpectrumShape::with_capacity(np2);
        shape.refresh(plan, stoc::SourceModel{dt, 0.2f, 0.05f, 0.0f},
                      stoc::RayPath{30.0f, 0.4f * static_cast<float>(np2) * dt, 3.5f, 2.8f, 1.2f,
                                    1.0e23f, 4.0f, 10.0f, 0.02f});
        // A transformed row (its upper half is whatever the transform left).
        const std::vector<float> noise = normals(11, 2 * np2);
        fft::AlignedVector<cfloat> transformed(np2);
        for (std::size_t k = 0; k < np2; ++k) transformed[k] = {noise[2 * k], noise[(2 * k) + 1]};
        transformed[0] = {0.0f, 0.0f};
        const std::vector<float> site_noise = normals(12, fold);
        const std::vector<float> gain_noise = normals(13, fold);
        std::vector<float> site_gain(fold);
        std::vector<float> radiation(fold);
        for (std::size_t k = 0; k < fold; ++k) {
            site_gain[k] = 1.0f + (0.25f * site_noise[k]) * site_noise[k];
            radiation[k] = gain_noise[k];
        }
        radiation[fold / 2] = 0.0f;
        radiation[fold - 1] = -0.75f;
        const float amp = 3.0f;

        fft::AlignedVector<cfloat> steps = transformed;
        std::vector<float> steps_series(np2);
        stoc::detail::scale_and_mirror(plan, shape, amp, steps);
        site::apply_site_amplification(steps, site_gain);
        stoc::radiate_and_invert(steps, radiation, steps_series);

        fft::AlignedVector<cfloat> fused = transformed;
        std::vector<float> fused_series(np2);
        stoc::detail::scale_weight_and_mirror(plan, shape, amp, site_gain, radiation, fused);
        // The inversion with the plan's end taper, as the run inverts.
        fft::AlignedVector<cfloat> planned = fused;
        std::vector<float> planned_series(np2);
        stoc::detail::invert_to_series(plan, planned, planned_series);
        stoc::detail::invert_to_series(fused, fused_series);

        EXPECT_EQ(bits_of(std::span<const cfloat>(fused)), bits_of(std::span<const cfloat>(steps)));
        EXPECT_EQ(bits_of(fused_series), bits_of(steps_series));
        EXPECT_EQ(bits_of(planned_series), bits_of(steps_series));
    }
}

// The run rebuilds a ray's envelope only when its window changes or it needs
// more samples than were built: a shorter plan of the same run must find
// exactly the values a refresh for it would make.
TEST(PairSteps, EnvelopeOfALongerPlanServesAShorterOne) {
    const float dt = 0.01f;
    stoc::PlanCache plans = stoc::PlanCache::create(dt, 0.6f, 0.2f, 0.05f);
    const stoc::SourceModel model{dt, 0.2f, 0.05f, 0.04f};
    const stoc::RayPath path{30.0f, 7.5f, 3.5f, 2.8f, 1.2f, 1.0e23f, 4.0f, 10.0f, 0.02f};
    stoc::SpectrumShape long_shape = stoc::SpectrumShape::with_capacity(4096);
    long_shape.refresh_envelope(plans.for_length(4096), model, path);
    for (const std::size_t np2 : {2u, 1536u, 2048u, 4096u}) {
        SCOPED_TRACE(np2);
        stoc::SpectrumShape fresh = stoc::SpectrumShape::with_capacity(np2);
        fresh.refresh(plans.for_length(np2), model, path);
        EXPECT_EQ(bits_of(std::span<const float>(fresh.envelope).first(np2)),
                  bits_of(std::span<const float>(long_shape.envelope).first(np2)));
    }
}

// The vertical gains with the azimuth terms formed once beforehand are the
// gains formed from the azimuth uniforms themselves: for a full and a short
// average, and for an azimuth list shorter than the average, whose missing
// pairs add nothing.
TEST(PairSteps, VerticalGainsFromAzimuthTermsFormedOnce) {
    const std::vector<float> frequency_hz = {0.0f, 0.0005f, 0.0055f, 0.02f, 3.0f};
    rng::Pcg source = rng::Pcg::seed(21);
    std::vector<float> ua(1000);
    std::vector<float> ub(1000);
    source.fill_uniform(ua);
    source.fill_uniform(ub);
    const radiation::RadiationAngles ray{0.5235988f, 1.2217305f, 1.5707964f, -1.0471976f, 2.2f};
    struct Case {
        std::size_t samples;
        std::size_t azimuths;
    };
    for (const Case c : {Case{1000, 1000}, Case{3, 1000}, Case{1000, 700}}) {
        SCOPED_TRACE(testing::Message() << c.samples << " samples, " << c.azimuths << " azimuths");
        const std::span<const float> azimuth_uniforms = std::span<const float>(ub).first(c.azimuths);
        std::vector<float> direct(frequency_hz.size());
        radiation::vertical_radiation_spectrum(ray, frequency_hz, ua, azimuth_uniforms, c.samples,
                                               direct);
        std::vector<float> sin_az(c.azimuths);
        std::vector<float> cos_az(c.azimuths);
        radiation::vertical_azimuth_terms(azimuth_uniforms, ray.strike_rad, sin_az, cos_az);
        std::vector<float> formed_once(frequency_hz.size());
        radiation::vertical_radiation_spectrum(ray, frequency_hz, ua, sin_az, cos_az, c.samples,
                                               formed_once);
        EXPECT_EQ(bits_of(formed_once), bits_of(direct));
    }
}

}  // namespace
