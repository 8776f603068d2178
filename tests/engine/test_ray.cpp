// Layered rays: paths and counts, source placement, Cagniard timing, the
// stationary ray parameter, spreading, and an independent Snell's-law check
// of the travel time.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "kelvane/fault.hpp"
#include "kelvane/ray.hpp"
#include "kelvane/state.hpp"

namespace kelvane::ray {
namespace {

using state::Layer;
using D = Direction;

constexpr double gap = static_cast<double>(0.02f);

// A layer of the given thickness; speeds and Qs grow with depth so each layer
// is told apart in times and attenuation.
Layer layer(double thickness_km, double vs_km_s, float qs = 100.0f) {
    return Layer{0.0, thickness_km, vs_km_s * 1.75, vs_km_s, 2.7, 2.0f * qs, qs};
}

// Thicknesses 1, 2, 10 and 0 km (layer 3 the half-space); receiver at 1 km.
std::vector<Layer> example_model() {
    return {layer(1.0, 1.0, 20.0f), layer(2.0, 2.0, 50.0f), layer(10.0, 3.0, 200.0f),
            layer(0.0, 4.0, 400.0f)};
}

// An air layer of 0.0001 km over a crust of 4 and 10 km and a half-space.
std::vector<Layer> air_model() {
    return {layer(static_cast<double>(1e-4f), 0.0005, 100.0f), layer(4.0, 3.0, 150.0f),
            layer(10.0, 3.6, 300.0f), layer(0.0, 4.5, 600.0f)};
}

void expect_fault(const std::function<void()>& call, const std::string& message) {
    testing::internal::CaptureStderr();
    try {
        call();
        testing::internal::GetCapturedStderr();
        ADD_FAILURE() << "no fault; expected: " << message;
    } catch (const Fault& f) {
        const std::string report = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::string(f.what()), message);
        EXPECT_NE(report.find(message), std::string::npos) << report;
    }
}

// ---- Paths, directions and counts ------------------------------------------

struct PathCase {
    const char* name;
    std::int32_t code;
    float source_km;
    WaveMode mode;
    std::vector<std::size_t> path;
    std::vector<Direction> directions;
    std::vector<float> counts;  // of the traced mode; the other list stays 0
    std::size_t deepest;
};

TEST(RayPaths, CodesOneToFourThroughTheExampleModel) {
    const std::vector<Layer> model = example_model();
    const std::vector<PathCase> cases = {
        {"direct", 1, 8.0f, WaveMode::Sh, {2, 1}, {D::Up, D::Up}, {0, 1, 0.5f, 0}, 2},
        {"reflection", 2, 8.0f, WaveMode::Sh, {2, 2, 1}, {D::Down, D::Up, D::Up}, {0, 1, 1.5f, 0}, 2},
        {"direct+1", 3, 8.0f, WaveMode::Sh, {2, 1, 1, 2, 2, 1},
         {D::Up, D::Up, D::Down, D::Down, D::Up, D::Up}, {0, 3, 2.5f, 0}, 2},
        {"reflection+1", 4, 8.0f, WaveMode::Sh, {2, 2, 1, 1, 2, 2, 1},
         {D::Down, D::Up, D::Up, D::Down, D::Down, D::Up, D::Up}, {0, 3, 3.5f, 0}, 2},
        {"direct from layer 1", 1, 2.0f, WaveMode::Sh, {1}, {D::Up}, {0, 0.5f, 0, 0}, 1},
        {"reflection in P", 2, 8.0f, WaveMode::P, {2, 2, 1}, {D::Down, D::Up, D::Up}, {0, 1, 1.5f, 0}, 2},
        {"direct in Sv", 1, 8.0f, WaveMode::Sv, {2, 1}, {D::Up, D::Up}, {0, 1, 0.5f, 0}, 2},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.name);
        RayState st;
        green_function(st, model, c.source_km, 10.0f, c.code, c.mode);
        EXPECT_EQ(st.rays.layer_indices, c.path);
        EXPECT_EQ(st.rays.wave_modes, std::vector<WaveMode>(c.path.size(), c.mode));
        EXPECT_EQ(st.coefficients.directions, c.directions);
        const bool p = (c.mode == WaveMode::P);
        EXPECT_EQ(p ? st.travel.p_traversals : st.travel.s_traversals, c.counts);
        EXPECT_EQ(p ? st.travel.s_traversals : st.travel.p_traversals, std::vector<float>(4, 0.0f));
        EXPECT_EQ(st.travel.deepest_layer, c.deepest);
    }
}

TEST(RayPaths, InnerZeroThicknessLayerTurnsTheReflectionEarly) {
    // Thicknesses 1, 2, 0, 10, 0: the reflection off layer 2's top turns in layer 1.
    const std::vector<Layer> model = {layer(1.0, 1.0), layer(2.0, 2.0), layer(0.0, 2.5),
                                      layer(10.0, 3.0), layer(0.0, 4.0)};
    RayState st;
    green_function(st, model, 2.0f, 10.0f, 2, WaveMode::Sh);
    EXPECT_EQ(st.rays.layer_indices, (std::vector<std::size_t>{1, 1}));
    EXPECT_EQ(st.coefficients.directions, (std::vector<Direction>{D::Down, D::Up}));
    EXPECT_EQ(st.travel.deepest_layer, 1u);
}

TEST(RayPaths, SingleCrossingWithReceiverBelowSourceLeavesDownAndTrimsBothEnds) {
    // Both ends in layer 1 (top at 1 km, 2 km thick): source 1.5 km, receiver 1.8 km.
    const std::vector<Layer> model = example_model();
    RayState st;
    RayPath path = RayPath::create(st.rays, WaveMode::Sh);
    path.push(1);
    build_ray_path(st, model, 1.5, 1.8);
    EXPECT_EQ(st.coefficients.directions, (std::vector<Direction>{D::Down}));
    // 1 - 0.6 below the receiver - 0.25 above the source: 0.3 km of 2 km travelled.
    EXPECT_NEAR(st.travel.s_traversals[1], 0.15f, 1e-6f);
}

TEST(RayPaths, DescentWithoutALayerBelowAppendsNothing) {
    // A model of one layer: bottom_layer 0 must not wrap to the largest index.
    const std::vector<Layer> one = {layer(5.0, 3.0)};
    const std::vector<Layer> model = example_model();
    RayState st;
    RayPath path = RayPath::create(st.rays, WaveMode::Sh);
    EXPECT_EQ(path.descend_to_moho(one, 0, 0), 0u);
    EXPECT_EQ(path.descend_to_moho(model, 3, 3), 3u);
    EXPECT_TRUE(st.rays.layer_indices.empty());
    // Without a zero-thickness layer above the bottom the turn is the bottom, unpushed.
    const std::vector<Layer> thick = {layer(1.0, 1.0), layer(2.0, 2.0), layer(3.0, 3.0)};
    EXPECT_EQ(path.descend_to_moho(thick, 1, 2), 2u);
    EXPECT_EQ(st.rays.layer_indices, (std::vector<std::size_t>{1}));
    path.ascend_to(0, 1);  // from above the receiver: nothing
    EXPECT_EQ(st.rays.segment_count(), 1u);
}

TEST(RayPaths, ShapeAndTakeoffOfRayCodes) {
    struct Case {
        std::int32_t code;
        RayShape::Kind kind;
        std::int32_t multiples;
        Takeoff takeoff;
    };
    const Case cases[] = {
        {1, RayShape::Kind::Upgoing, 0, Takeoff::Up},
        {2, RayShape::Kind::DownToMoho, 0, Takeoff::Down},
        {7, RayShape::Kind::Upgoing, 3, Takeoff::Up},
        {8, RayShape::Kind::DownToMoho, 3, Takeoff::Down},
        {0, RayShape::Kind::DownToMoho, -1, Takeoff::Down},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        const RayShape shape = RayShape::from_ray_type(c.code);
        EXPECT_EQ(shape.kind, c.kind);
        EXPECT_EQ(shape.multiples, c.multiples);
        EXPECT_EQ(takeoff_from_ray_type(c.code), c.takeoff);
    }
    EXPECT_EQ(direction_from_parity(4), D::Up);
    EXPECT_EQ(direction_from_parity(3), D::Down);
    EXPECT_EQ(direction_from_parity(-3), D::Down);
    EXPECT_TRUE(is_shear(WaveMode::Sv) && is_shear(WaveMode::Sh) && !is_shear(WaveMode::P));
}

// ---- Source placement -------------------------------------------------------

TEST(RaySource, SourcesNearInterfacesMoveByTheGap) {
    const std::vector<Layer> model = example_model();
    struct Case {
        float depth_km;
        std::optional<std::size_t> layer;
        double moved_km;  // checked only when a layer is found
    };
    const Case cases[] = {
        {8.0f, 2, static_cast<double>(8.0f)},
        {3.0f, 2, 3.0 + gap},     // on the interface: the gap below it
        {2.99f, 1, 3.0 - gap},    // 0.01 above it: the gap above it
        {12.99f, 2, 13.0 - gap},  // 0.01 above the model's bottom
        {13.01f, std::nullopt, 0.0},
        {20.0f, std::nullopt, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.depth_km);
        const SourceLayer found = source_layer(model, static_cast<double>(c.depth_km));
        EXPECT_EQ(found.layer, c.layer);
        if (c.layer) {
            EXPECT_EQ(found.depth_km, c.moved_km);
        }
    }
    const DeepestLayer deepest = deepest_layer_with_thickness(model);
    EXPECT_EQ(deepest.layer, 2u);
    EXPECT_EQ(deepest.thickness_km, 13.0);
    const std::vector<Layer> flat = {layer(0.0, 1.0), layer(0.0, 2.0)};
    EXPECT_EQ(deepest_layer_with_thickness(flat).layer, 0u);
    EXPECT_EQ(deepest_layer_with_thickness(flat).thickness_km, 0.0);
}

TEST(RaySource, SourceBelowTheModelStartsTheGapAboveItsBottom) {
    const std::vector<Layer> model = example_model();
    RayState reference;
    RayState st;
    // 12.99 km is moved to 13 km - gap by the search itself: the same ray.
    const GreenFunction expected = green_function(reference, model, 12.99f, 30.0f, 1, WaveMode::Sh);
    for (const float depth : {13.01f, 20.0f}) {
        SCOPED_TRACE(depth);
        const GreenFunction g = green_function(st, model, depth, 30.0f, 1, WaveMode::Sh);
        EXPECT_EQ(st.rays.layer_indices, (std::vector<std::size_t>{2, 1}));
        EXPECT_NEAR(st.travel.s_traversals[2], 1.0 - gap / 10.0, 1e-6);
        EXPECT_EQ(g.stime, expected.stime);
        EXPECT_EQ(g.rpath, expected.rpath);
    }
}

TEST(RaySource, SourceAtOrAboveTheReceiverLevelStartsInLayerOne) {
    // Such a source is traced as one on the receiver-level interface: the gap
    // below it, in layer 1 (never an empty path or a path from layer 0).
    const std::vector<Layer> model = air_model();
    const float receiver = 1e-4f;
    for (const std::int32_t code : {1, 2, 3}) {
        SCOPED_TRACE(code);
        RayState on_interface;
        const GreenFunction expected =
            green_function(on_interface, model, receiver, 20.0f, code, WaveMode::Sh);
        EXPECT_EQ(on_interface.rays.layer_indices.front(), 1u);
        for (const float depth : {0.0f, 0.00005f, -1.0f}) {
            SCOPED_TRACE(depth);
            RayState st;
            const GreenFunction g = green_function(st, model, depth, 20.0f, code, WaveMode::Sh);
            EXPECT_EQ(st.rays.layer_indices, on_interface.rays.layer_indices);
            EXPECT_EQ(g.rp0, expected.rp0);
            EXPECT_EQ(g.stime, expected.stime);
            EXPECT_EQ(g.rpath, expected.rpath);
            EXPECT_EQ(g.qbar, expected.qbar);
            EXPECT_TRUE(std::isfinite(g.stime) && std::isfinite(g.rpath) && g.rpath > 0.0f);
        }
    }
    RayState st;
    green_function(st, model, 0.0f, 20.0f, 1, WaveMode::Sh);
    EXPECT_EQ(st.rays.layer_indices, (std::vector<std::size_t>{1}));
    // The ray covers the 4 km layer less the gap: a count of gap / 4.
    EXPECT_NEAR(st.travel.s_traversals[1], gap / 4.0, 1e-6);
}

TEST(RaySource, ModelsWithoutALayerBelowTheReceiverLayerFault) {
    const std::vector<Layer> one = {layer(5.0, 3.0)};
    const std::vector<Layer> halfspace = {layer(static_cast<double>(1e-4f), 0.0005), layer(0.0, 3.5)};
    const std::vector<Layer> none;
    const auto message = [](std::size_t n) {
        return "no layer below the receiver layer of this " + std::to_string(n) +
               "-layer velocity model has positive thickness, so no layered ray can be traced";
    };
    for (const float depth : {0.0f, 3.0f, 9.0f}) {
        RayState st;
        expect_fault([&] { green_function(st, one, depth, 10.0f, 1, WaveMode::Sh); }, message(1));
        expect_fault([&] { green_function(st, one, depth, 10.0f, 2, WaveMode::Sh); }, message(1));
        expect_fault([&] { green_function(st, halfspace, depth, 10.0f, 1, WaveMode::Sh); },
                     message(2));
        expect_fault([&] { green_function(st, none, depth, 10.0f, 1, WaveMode::Sh); }, message(0));
    }
}

// ---- Faults and reuse -------------------------------------------------------

TEST(RayFaults, NegativeCodeIsRefusedAfterThePathIsEmptied) {
    const std::vector<Layer> model = example_model();
    RayState st;
    green_function(st, model, 8.0f, 10.0f, 3, WaveMode::Sh);
    ASSERT_FALSE(st.rays.layer_indices.empty());
    expect_fault([&] { green_function(st, model, 8.0f, 10.0f, -1, WaveMode::Sh); },
                 "ray type -1 is negative; th1 would be undefined");
    EXPECT_TRUE(st.rays.layer_indices.empty());
    EXPECT_TRUE(st.rays.wave_modes.empty());
    expect_fault([] { takeoff_from_ray_type(-2147483647 - 1); },
                 "ray type -2147483648 is negative; th1 would be undefined");
    expect_fault([] { RayShape::from_ray_type(-4); },
                 "ray type -4 is negative; th1 would be undefined");
}

TEST(RayFaults, EmptyPathIsRefusedBeforeTheStateChanges) {
    const std::vector<Layer> model = example_model();
    RayState st;
    green_function(st, model, 8.0f, 10.0f, 2, WaveMode::Sh);
    const Travel before = st.travel;
    const std::vector<Direction> directions = st.coefficients.directions;
    RayPath::create(st.rays, WaveMode::Sh);
    expect_fault([&] { build_ray_path(st, model, 8.0, 1.0); },
                 "build_ray_path needs at least one ray segment");
    EXPECT_EQ(st.travel.s_traversals, before.s_traversals);
    EXPECT_EQ(st.travel.p_traversals, before.p_traversals);
    EXPECT_EQ(st.travel.deepest_layer, before.deepest_layer);
    EXPECT_EQ(st.coefficients.directions, directions);
    expect_fault([&] { geometric_spreading(st, model, 8.0, 0.0, Takeoff::Up); },
                 "geometric_spreading needs at least one ray segment");
}

TEST(RayFaults, CountsThatDoNotReachTheDeepestLayerAreRefused) {
    // A fresh state has deepest_layer 0 but no counts: reading them would run past the lists.
    const std::vector<Layer> model = example_model();
    const RayState fresh;
    expect_fault([&] { cagniard_time(fresh, model, {0.1, 0.0}, 5.0); },
                 "the ray reaches layer 0 but the model has 4 layers and the counts cover 0");
    RayState st;
    RayPath path = RayPath::create(st.rays, WaveMode::Sh);
    path.push(5);
    expect_fault([&] { build_ray_path(st, model, 8.0, 1.0); },
                 "ray path crosses layer 5 of a 4-layer velocity model");
}

TEST(RayState, RaysAreIndependentOfWhatTheStateTracedBefore) {
    const std::vector<Layer> model = air_model();
    RayState reused;
    for (const std::int32_t code : {4, 1, 6, 2, 3}) {
        SCOPED_TRACE(code);
        RayState fresh;
        const GreenFunction a = green_function(fresh, model, 9.5f, 35.0f, code, WaveMode::Sh);
        const GreenFunction b = green_function(reused, model, 9.5f, 35.0f, code, WaveMode::Sh);
        EXPECT_EQ(a.rp0, b.rp0);
        EXPECT_EQ(a.stime, b.stime);
        EXPECT_EQ(a.rpath, b.rpath);
        EXPECT_EQ(a.qbar, b.qbar);
        EXPECT_EQ(fresh.rays.layer_indices, reused.rays.layer_indices);
        EXPECT_EQ(fresh.travel.s_traversals, reused.travel.s_traversals);
        EXPECT_EQ(fresh.coefficients.directions, reused.coefficients.directions);
    }
}

TEST(RayState, ListsKeepTheirStorageOnceGrown) {
    const std::vector<Layer> model = air_model();
    RayState st;
    green_function(st, model, 9.5f, 35.0f, 6, WaveMode::Sh);  // the longest path below
    const void* storage[] = {st.rays.layer_indices.data(), st.rays.wave_modes.data(),
                             st.travel.p_traversals.data(), st.travel.s_traversals.data(),
                             st.coefficients.directions.data()};
    for (const std::int32_t code : {1, 2, 3, 4, 5, 6}) {
        SCOPED_TRACE(code);
        green_function(st, model, 9.5f, 35.0f, code, WaveMode::Sh);
        const void* now[] = {st.rays.layer_indices.data(), st.rays.wave_modes.data(),
                             st.travel.p_traversals.data(), st.travel.s_traversals.data(),
                             st.coefficients.directions.data()};
        for (int k = 0; k < 5; ++k) EXPECT_EQ(now[k], storage[k]) << "list " << k;
    }
}

// ---- Vertical slowness and the travel-time function --------------------------

TEST(RayTiming, VerticalSlownessOnBothSidesOfOneOverV) {
    const std::complex<double> below = vertical_slowness({0.1, 0.0}, 5.0);
    EXPECT_NEAR(below.real(), std::sqrt(0.03), 1e-15);
    EXPECT_EQ(below.imag(), 0.0);
    const std::complex<double> above = vertical_slowness({0.5, 0.0}, 5.0);
    EXPECT_NEAR(above.imag(), -std::sqrt(0.21), 1e-15);
    EXPECT_LT(above.real(), -1e-17);  // -cos(pi/2) times the magnitude, about -3e-17
    EXPECT_GT(above.real(), -5e-17);
    // Off the real axis: the root of 1/v^2 - p^2 with a negative imaginary part.
    const std::complex<double> p{0.1, 0.05};
    const std::complex<double> eta = vertical_slowness(p, 5.0);
    const std::complex<double> square = (1.0 / 25.0) - (p * p);
    EXPECT_NEAR((eta * eta).real(), square.real(), 1e-15);
    EXPECT_NEAR((eta * eta).imag(), square.imag(), 1e-15);
    EXPECT_LT(eta.imag(), 0.0);
}

TEST(RayTiming, TimeAtZeroRayParameterIsTheVerticalTime) {
    const std::vector<Layer> model = example_model();
    RayState st;
    green_function(st, model, 8.0f, 10.0f, 2, WaveMode::Sh);  // counts 0, 1, 1.5
    const std::complex<double> t = cagniard_time(st, model, {0.0, 0.0}, 10.0);
    EXPECT_NEAR(t.real(), (1.0 * 2.0 / 2.0) + (1.5 * 10.0 / 3.0), 1e-12);
    EXPECT_EQ(t.imag(), 0.0);
    // The same ray in P: the P speeds (1.75 times the shear speeds) take over.
    green_function(st, model, 8.0f, 10.0f, 2, WaveMode::P);
    EXPECT_NEAR(cagniard_time(st, model, {0.0, 0.0}, 10.0).real(),
                (2.0 / 3.5) + (1.5 * 10.0 / 5.25), 1e-12);
}

TEST(RayTiming, NegativeCountsEnterOnlyTheDerivative) {
    const std::vector<Layer> model = example_model();
    const double p = 0.1;
    const double r = 5.0;
    const double eta1 = std::sqrt(1.0 / 4.0 - p * p);
    const double eta2 = std::sqrt(1.0 / 9.0 - p * p);
    struct Case {
        const char* name;
        float layer2_count;
        double time;        // expected Re T(p)
        double derivative;  // expected Re dT/dp (NaN: expect NaN)
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {"positive", 0.5f, p * r + 2.0 * eta1 + 0.5 * 10.0 * eta2,
         r - p * (2.0 / eta1 + 0.5 * 10.0 / eta2)},
        {"negative", -0.5f, p * r + 2.0 * eta1, r - p * (2.0 / eta1 - 0.5 * 10.0 / eta2)},
        {"zero", 0.0f, p * r + 2.0 * eta1, r - p * (2.0 / eta1)},
        // A NaN count takes no slowness in T, but 0 times NaN still reaches the sum.
        {"NaN", std::numeric_limits<float>::quiet_NaN(), nan, nan},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RayState st;
        st.travel.p_traversals = {0.0f, 0.0f, 0.0f, 0.0f};
        st.travel.s_traversals = {0.0f, 1.0f, c.layer2_count, 0.0f};
        st.travel.deepest_layer = 2;
        const double t = cagniard_time(st, model, {p, 0.0}, r).real();
        if (std::isnan(c.time)) {
            EXPECT_TRUE(std::isnan(t));
        } else {
            EXPECT_NEAR(t, c.time, 1e-12);
        }
        const double d = cagniard_time_derivative(st, model, {p, 0.0}, r).real();
        if (std::isnan(c.derivative)) {
            EXPECT_TRUE(std::isnan(d));
        } else {
            EXPECT_NEAR(d, c.derivative, 1e-12);
        }
    }
}

// ---- Stationary ray parameter ------------------------------------------------

TEST(RayStationary, NonNegativeSlopeAtPMaxTakesPMax) {
    // At a range far beyond what the ray can reach below grazing incidence the
    // slope at p_max is still positive: p0 is p_max itself, no midpoint.
    const std::vector<Layer> model = example_model();
    RayState st;
    green_function(st, model, 8.0f, 10.0f, 1, WaveMode::Sh);
    const double p_max = (1.0 / 3.0) + (-1e-9);
    for (const double r : {1e6, 1e8}) {
        const Stationary s = stationary_ray_parameter(st, model, r);
        EXPECT_EQ(s.p0, p_max);
        EXPECT_EQ(s.t0, cagniard_time(st, model, {p_max, 0.0}, r).real());
    }
}

TEST(RayStationary, ZeroRangeEndsAtASmallPositiveParameter) {
    const std::vector<Layer> model = example_model();
    RayState st;
    green_function(st, model, 8.0f, 10.0f, 2, WaveMode::Sh);
    const Stationary s = stationary_ray_parameter(st, model, 0.0);
    EXPECT_GT(s.p0, 0.0);
    EXPECT_LT(s.p0, 1e-3);
    EXPECT_LE(std::fabs(cagniard_time_derivative(st, model, {s.p0, 0.0}, 0.0).real()), 0.01);
    EXPECT_NEAR(s.t0, 1.0 + 5.0, 1e-5);  // the vertical time
}

// A thin layer (its thickness rounded to 32 bits, as a caller's is) under the
// air layer and over the half-space.
std::vector<Layer> thin_layer_model(double thickness_km) {
    return {layer(static_cast<double>(1e-4f), 0.0005, 100.0f),
            layer(static_cast<double>(static_cast<float>(thickness_km)), 3.0, 100.0f),
            layer(0.0, 3.5, 200.0f)};
}

TEST(RaySource, PlacementSaysWhenTheSourceLiesBelowTheModel) {
    // Below the model the start does not depend on the source's depth: the
    // gap above the bottom of the deepest layer with thickness, which over a
    // layer thinner than the gap lies above that layer's top (here above the
    // receiver level, 0.0001 km).
    for (const double thickness_km : {0.002, 0.02, 0.3}) {
        SCOPED_TRACE(thickness_km);
        const std::vector<Layer> model = thin_layer_model(thickness_km);
        const double bottom_km = model[0].thickness_km + model[1].thickness_km;
        for (const double depth_km : {bottom_km + 0.001, 5.0, 50.0}) {
            const SourcePlacement placed = place_source(model, depth_km);
            EXPECT_TRUE(placed.below_model);
            EXPECT_EQ(placed.layer, 1u);
            EXPECT_EQ(placed.depth_km, bottom_km - gap);
        }
    }
    const SourcePlacement inside = place_source(thin_layer_model(0.3), 0.15);
    EXPECT_FALSE(inside.below_model);
    EXPECT_EQ(inside.layer, 1u);
    EXPECT_EQ(inside.depth_km, 0.15);
    // A source at or above the receiver level is searched again from it.
    const SourcePlacement above = place_source(air_model(), 0.0);
    EXPECT_FALSE(above.below_model);
    EXPECT_EQ(above.layer, 1u);
    EXPECT_EQ(above.depth_km, static_cast<double>(1e-4f) + gap);
}

// A 2 km layer, a layer of no thickness at 2 km (4.4 km/s, faster than any
// layer with thickness), 5 and 20 km over the half-space; and the same crust
// without the layer of no thickness.
std::vector<Layer> crust_with_inner_zero(bool with_zero) {
    std::vector<Layer> model = {layer(static_cast<double>(1e-4f), 0.0005, 100.0f),
                                layer(2.0, 2.0, 50.0f)};
    if (with_zero) model.push_back(layer(0.0, 4.4, 400.0f));
    for (const Layer& l : {layer(5.0, 3.0, 200.0f), layer(20.0, 3.5, 300.0f), layer(0.0, 4.5, 600.0f)}) {
        model.push_back(l);
    }
    return model;
}

TEST(RayStationary, ALayerOfNoThicknessBoundsNoRayParameter) {
    // It adds no path, so a ray crossing it is the ray of the crust without
    // it, bit for bit: it used to bound p at 1/4.4 s/km, and at 150 km the
    // direct ray from 10 km then arrived 6 s early over a path a tenth of its
    // range.
    const std::vector<Layer> with_zero = crust_with_inner_zero(true);
    const std::vector<Layer> without = crust_with_inner_zero(false);
    for (const std::int32_t code : {1, 2}) {
        for (const float range_km : {5.0f, 50.0f, 150.0f, 350.0f}) {
            SCOPED_TRACE(testing::Message() << "code " << code << " at " << range_km << " km");
            RayState a;
            RayState b;
            const GreenFunction g = green_function(a, with_zero, 10.0f, range_km, code, WaveMode::Sh);
            const GreenFunction h = green_function(b, without, 10.0f, range_km, code, WaveMode::Sh);
            EXPECT_EQ(std::bit_cast<std::uint32_t>(g.rp0), std::bit_cast<std::uint32_t>(h.rp0));
            EXPECT_EQ(std::bit_cast<std::uint32_t>(g.stime), std::bit_cast<std::uint32_t>(h.stime));
            EXPECT_EQ(std::bit_cast<std::uint32_t>(g.rpath), std::bit_cast<std::uint32_t>(h.rpath));
            EXPECT_EQ(std::bit_cast<std::uint32_t>(g.qbar), std::bit_cast<std::uint32_t>(h.qbar));
            EXPECT_GE(g.rpath, range_km);  // never shorter than its horizontal run
            EXPECT_EQ(ray_timing(a, with_zero, 10.0f, range_km, code, WaveMode::Sh).stime, g.stime);
        }
    }
    // Its reflector role stays: a multiple turns at it, and so does the
    // reflection of a source above it, both crossing layer 1 twice in a row.
    RayState st;
    const GreenFunction multiple = green_function(st, with_zero, 10.0f, 50.0f, 3, WaveMode::Sh);
    EXPECT_EQ(st.rays.layer_indices, (std::vector<std::size_t>{4, 3, 2, 1, 1, 1}));
    RayState deep;
    const GreenFunction moho_multiple = green_function(deep, without, 10.0f, 50.0f, 3, WaveMode::Sh);
    EXPECT_LT(multiple.stime, moho_multiple.stime);
    green_function(st, with_zero, 1.0f, 50.0f, 2, WaveMode::Sh);
    EXPECT_EQ(st.rays.layer_indices, (std::vector<std::size_t>{1, 1}));
}

TEST(RayCounts, ACrossingOfALayerOfNoThicknessTrimsNothing) {
    // A first layer 0.5 m thick (no air layer) over a layer of no thickness:
    // every path ends crossing it, and its count stays whole.
    const std::vector<Layer> model = {layer(0.0005, 1.0, 50.0f), layer(0.0, 2.0, 100.0f),
                                      layer(1.0, 3.0, 200.0f), layer(0.0, 4.0, 400.0f)};
    const LayerFractions f = layer_fractions(model, 1, 0.0005);
    EXPECT_EQ(f.above, 0.0);
    EXPECT_EQ(f.below, 0.0);
    for (const std::int32_t code : {1, 2, 3}) {
        RayState st;
        const GreenFunction g = green_function(st, model, 5.0f, 10.0f, code, WaveMode::Sh);
        EXPECT_FALSE(std::isnan(st.travel.s_traversals[1])) << code;
        EXPECT_TRUE(std::isfinite(g.stime)) << code;
        EXPECT_GT(g.stime, 10.0f / 3.0f * 0.9f) << code;
    }
}

// At zero range dT/dp = -p c is negative for every p > 0, so the lower bound
// stays 0 and every midpoint halves the upper bound exactly: p0 is p_max
// scaled by 2^-k, k the number of midpoints evaluated. With counts 1 and 1.5
// (c near 2 * 2 + 15 * 3 = 49) the tolerance p c <= 0.01 is first met at
// k = 11 (p c is about 0.016 at k = 10); a count of 1e12 keeps p c above 9 at
// every midpoint, so the search stops at the 40th.
TEST(RayStationary, ZeroRangeHalvesTheUpperBoundUpToFortyTimes) {
    const std::vector<Layer> model = example_model();
    const double p_max = (1.0 / 3.0) + (-1e-9);
    struct Case {
        const char* name;
        float layer2_count;
        int midpoints;
    };
    const Case cases[] = {
        {"tolerance met", 1.5f, 11},
        {"tolerance never met", 1e12f, 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RayState st;
        st.travel.p_traversals = {0.0f, 0.0f, 0.0f, 0.0f};
        st.travel.s_traversals = {0.0f, 1.0f, c.layer2_count, 0.0f};
        st.travel.deepest_layer = 2;
        const Stationary s = stationary_ray_parameter(st, model, 0.0);
        EXPECT_EQ(s.p0, std::ldexp(p_max, -c.midpoints));
        EXPECT_EQ(s.t0, cagniard_time(st, model, {s.p0, 0.0}, 0.0).real());
    }
}

// Snell's law by a root finder of its own: for vertical legs z_k in layers of
// shear speed v_k, the ray reaching range r has p with r = sum z_k p / eta_k(p),
// and arrives at t = p r + sum z_k eta_k(p), eta_k = sqrt(1/v_k^2 - p^2).
struct Leg {
    double z_km;
    double v_km_s;
};

double snell_time(const std::vector<Leg>& legs, double range_km, double* p_out) {
    double v_max = 0.0;
    for (const Leg& leg : legs) v_max = std::fmax(v_max, leg.v_km_s);
    double lo = 0.0;
    double hi = 1.0 / v_max;
    const auto reach = [&](double p) {
        double r = 0.0;
        for (const Leg& leg : legs) r += leg.z_km * p / std::sqrt(1.0 / (leg.v_km_s * leg.v_km_s) - p * p);
        return r;
    };
    for (int k = 0; k < 200; ++k) {
        const double mid = 0.5 * (lo + hi);
        (reach(mid) < range_km ? lo : hi) = mid;
    }
    const double p = 0.5 * (lo + hi);
    double t = p * range_km;
    for (const Leg& leg : legs) t += leg.z_km * std::sqrt(1.0 / (leg.v_km_s * leg.v_km_s) - p * p);
    *p_out = p;
    return t;
}

TEST(RayStationary, TravelTimeMatchesSnellsLawInATwoLayerCrust) {
    const std::vector<Layer> model = air_model();
    const double receiver = model[0].thickness_km;
    const double top2 = receiver + 4.0;  // top of layer 2
    const double bottom2 = top2 + 10.0;  // the Moho
    const float source = 11.5f;
    const double zs = static_cast<double>(source);
    struct Case {
        std::int32_t code;
        std::vector<Leg> legs;
    };
    const Case cases[] = {
        {1, {{4.0, 3.0}, {zs - top2, 3.6}}},
        {2, {{4.0, 3.0}, {(bottom2 - zs) + 10.0, 3.6}}},
    };
    for (const Case& c : cases) {
        for (const float range : {0.5f, 5.0f, 20.0f, 60.0f, 150.0f}) {
            SCOPED_TRACE(testing::Message() << "code " << c.code << " range " << range);
            RayState st;
            const GreenFunction g = green_function(st, model, source, range, c.code, WaveMode::Sh);
            double p = 0.0;
            const double t = snell_time(c.legs, static_cast<double>(range), &p);
            EXPECT_NEAR(static_cast<double>(g.stime), t, 1e-3);
            EXPECT_NEAR(static_cast<double>(g.rp0), p, 2e-3);
        }
    }
}

// ---- Geometric spreading ------------------------------------------------------

TEST(RaySpreading, FirstCrossingIsMeasuredWithoutLayerZero) {
    // Source at 8 km: th1 is 8 - 2 = 6 upward and (2 + 10) - 8 = 4 downward,
    // both 1 km (layer 0) off the distance to the edge of layer 2.
    const std::vector<Layer> model = example_model();
    struct Case {
        std::int32_t code;
        double length_km;
        double qbar_s;  // sum of (length / vs) / Qs
    };
    const Case cases[] = {
        {1, 6.0 + 2.0, (6.0 / 3.0) / 200.0 + (2.0 / 2.0) / 50.0},
        {2, 4.0 + 10.0 + 2.0, (4.0 / 3.0) / 200.0 + (10.0 / 3.0) / 200.0 + (2.0 / 2.0) / 50.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        RayState st;
        green_function(st, model, 8.0f, 10.0f, c.code, WaveMode::Sh);
        const Spreading s =
            geometric_spreading(st, model, 8.0, 0.0, takeoff_from_ray_type(c.code));
        EXPECT_EQ(s.length_km, c.length_km);
        EXPECT_FLOAT_EQ(s.qbar, static_cast<float>(c.qbar_s));
    }
}

TEST(RaySpreading, GrazingCrossingsAreCappedAndAZeroLengthIsReported) {
    const std::vector<Layer> model = example_model();
    RayState st;
    green_function(st, model, 8.0f, 10.0f, 1, WaveMode::Sh);
    // p * vs >= 1 in both layers: sine capped at 0.999999, about 702.46 per km.
    const Spreading grazing = geometric_spreading(st, model, 8.0, 1.0, Takeoff::Up);
    EXPECT_NEAR(grazing.length_km / 8.0, 702.46, 0.01);
    EXPECT_TRUE(std::isfinite(grazing.qbar));

    // One crossing from a source on the edge of its layer: length exactly 0.
    RayPath path = RayPath::create(st.rays, WaveMode::Sh);
    path.push(1);
    build_ray_path(st, model, 1.5, 1.0);
    const Spreading zero = geometric_spreading(st, model, 0.0, 0.0, Takeoff::Up);
    EXPECT_EQ(zero.length_km, static_cast<double>(0.001f));
    EXPECT_EQ(zero.qbar, 0.0f);
}

TEST(RaySpreading, SineOfOneOrMoreIsCappedInEveryCrossing) {
    // Path [2, 1] of the example model, shear speeds 3 and 2, th1 = 6 and a
    // full 2 km crossing: at p = 0.5 the sine in layer 1 is 1 exactly (the cap
    // applies at 1 itself, else the length is infinite), at p = 1 both exceed 1.
    const std::vector<Layer> model = example_model();
    RayState st;
    green_function(st, model, 8.0f, 10.0f, 1, WaveMode::Sh);
    const double cap = static_cast<double>(0.999999f);
    const double stretch = 1.0 / std::sqrt(1.0 - (cap * cap));  // about 702.46
    for (const double p : {0.5, 1.0}) {
        SCOPED_TRACE(p);
        const Spreading s = geometric_spreading(st, model, 8.0, p, Takeoff::Up);
        EXPECT_NEAR(s.length_km, 8.0 * stretch, 1e-9);
        EXPECT_NEAR(static_cast<double>(s.qbar),
                    ((6.0 * stretch / 3.0) / 200.0) + ((2.0 * stretch / 2.0) / 50.0), 1e-5);
    }
}

TEST(RaySpreading, AttenuationIsRoundedAfterEveryCrossing) {
    // Many crossings of layers with awkward Qs: a 32-bit running sum, not one
    // 64-bit sum narrowed at the end.
    const std::vector<Layer> model = {layer(1.0, 1.0, 17.0f), layer(2.3, 2.1, 33.3f),
                                      layer(7.7, 3.3, 123.4f), layer(0.0, 4.0, 400.0f)};
    RayState st;
    green_function(st, model, 6.1f, 10.0f, 40, WaveMode::Sh);
    const Spreading s = geometric_spreading(st, model, 6.1, 0.0, Takeoff::Down);
    const std::vector<std::size_t>& path = st.rays.layer_indices;
    const double th1 = (2.3 + 7.7) - 6.1;
    const double qs2 = static_cast<double>(123.4f);
    float running = static_cast<float>((th1 / 3.3) / qs2);
    double wide = (th1 / 3.3) / qs2;
    for (std::size_t k = 1; k < path.size(); ++k) {
        const Layer& l = model[path[k]];
        const double term = (l.thickness_km / l.vsh_km_s) / static_cast<double>(l.attenuation_s);
        running = static_cast<float>(static_cast<double>(running) + term);
        wide += term;
    }
    EXPECT_EQ(s.qbar, running);
    EXPECT_NE(s.qbar, static_cast<float>(wide));  // the two roundings differ for this path
}

// ---- Rays of many multiples ---------------------------------------------------

// The crust models the repeated counts are checked on: the example, the air
// model, an inner layer of zero thickness (the multiples turn above it), a
// single crustal layer over the half-space, and models whose last layer has
// thickness (the multiples turn at the bottom without a reflection there, so
// the direction flips an odd number of times per multiple).
std::vector<std::vector<Layer>> multiple_models() {
    return {example_model(),
            air_model(),
            {layer(1.0, 1.0), layer(2.0, 2.0), layer(0.0, 2.5), layer(10.0, 3.0), layer(0.0, 4.0)},
            {layer(static_cast<double>(1e-4f), 0.0005), layer(30.0, 3.5), layer(0.0, 4.6)},
            {layer(1.0, 1.0), layer(2.0, 2.0), layer(10.0, 3.0)},
            {layer(1.0, 1.0), layer(5.0, 3.0)}};
}

TEST(RayMultiples, RepeatedCountsAndTimingEqualTheListedPathBitForBit) {
    // Every code up to 80 (up to 39 multiples), from sources in every layer
    // and below the model, in both wave-mode lists: counts, trims, deepest
    // layer, ray parameter and travel time are the listed path's very bits.
    for (const std::vector<Layer>& model : multiple_models()) {
        for (const float source_km : {0.5f, 2.0f, 3.0f, 8.0f, 12.99f, 25.0f, 40.0f}) {
            for (const WaveMode mode : {WaveMode::Sh, WaveMode::P}) {
                for (std::int32_t code = 1; code <= 80; ++code) {
                    SCOPED_TRACE(testing::Message() << "model of " << model.size() << " layers, source "
                                                    << source_km << " km, code " << code);
                    RayState listed;
                    const GreenFunction green =
                        green_function(listed, model, source_km, 17.0f, code, mode);
                    RayState repeated;
                    const RayTiming timing =
                        ray_timing(repeated, model, source_km, 17.0f, code, mode);
                    EXPECT_EQ(timing.crossings, listed.rays.segment_count());
                    EXPECT_EQ(listed.travel.p_traversals, repeated.travel.p_traversals);
                    EXPECT_EQ(listed.travel.s_traversals, repeated.travel.s_traversals);
                    EXPECT_EQ(listed.travel.deepest_layer, repeated.travel.deepest_layer);
                    EXPECT_EQ(std::bit_cast<std::uint32_t>(green.rp0),
                              std::bit_cast<std::uint32_t>(timing.rp0));
                    EXPECT_EQ(std::bit_cast<std::uint32_t>(green.stime),
                              std::bit_cast<std::uint32_t>(timing.stime));
                }
            }
        }
    }
}

TEST(RayMultiples, CountsBeyondTwoToTheTwentyFourStayWhereOneByOneAdditionLeavesThem) {
    // Layer 2 of this model is crossed twice per multiple and never trimmed
    // (the source lies in layer 3, the receiver at the bottom of layer 0).
    const std::vector<Layer> model = {layer(1.0, 1.0), layer(2.0, 2.0), layer(3.0, 2.5),
                                      layer(10.0, 3.0), layer(0.0, 4.0)};
    const std::int32_t multiples = (1 << 24) + 7;
    RayState st;
    const RayTiming timing = ray_timing(st, model, 12.0f, 17.0f, (2 * multiples) + 1, WaveMode::Sh);
    float one_by_one = 0.0f;
    const std::uint64_t crossings_of_layer_2 = 1 + (2 * static_cast<std::uint64_t>(multiples));
    for (std::uint64_t k = 0; k < crossings_of_layer_2; ++k) one_by_one += 1.0f;
    EXPECT_EQ(one_by_one, 16777216.0f);
    EXPECT_EQ(st.travel.s_traversals[2], one_by_one);
    // Only the main path and one multiple are listed, however many there are.
    EXPECT_LT(st.rays.layer_indices.capacity(), 64u);
    EXPECT_EQ(timing.crossings, 3 + (6 * static_cast<std::uint64_t>(multiples)));
    EXPECT_TRUE(std::isfinite(timing.stime));
}

TEST(RayMultiples, APathLongerThanATracedRayMayBeIsRefusedBeforeItIsListed) {
    // Each multiple of the example model crosses layers 1, 2, 2, 1.
    const std::vector<Layer> model = example_model();
    RayState st;
    const std::int32_t multiples = 600000;
    expect_fault([&] { green_function(st, model, 8.0f, 10.0f, (2 * multiples) + 1, WaveMode::Sh); },
                 "ray type 1200001 makes 2400002 layer crossings, more than the 1048576 a traced "
                 "ray may make");
    EXPECT_LT(st.rays.layer_indices.capacity(), 64u);
    // The longest path still traced: 2 + 4 m crossings up to 2^20.
    const std::int32_t longest = (1 << 18) - 1;
    const GreenFunction traced = green_function(st, model, 8.0f, 10.0f, (2 * longest) + 1, WaveMode::Sh);
    EXPECT_EQ(st.rays.segment_count(), 2 + (4 * static_cast<std::size_t>(longest)));
    EXPECT_TRUE(std::isfinite(traced.stime));
    // Timing alone has no such limit, up to the largest code.
    const RayTiming timed =
        ray_timing(st, model, 8.0f, 10.0f, std::numeric_limits<std::int32_t>::max(), WaveMode::Sh);
    EXPECT_EQ(timed.crossings, 2 + (4 * std::uint64_t{1073741823}));
    EXPECT_GT(timed.stime, 1e7f);
}

TEST(RayMultiples, RepeatedTravelNeedsAPeriodAndARepeat) {
    const std::vector<Layer> model = example_model();
    RayState st;
    RayPath path = RayPath::create(st.rays, WaveMode::Sh);
    path.push(2);
    path.push(1);
    expect_fault([&] { build_repeated_travel(st, model, 8.0, 1.0, 2, 3); },
                 "a repeated path needs a period after its 2 head crossings and at least one "
                 "repeat; got 2 crossings and 3 repeats");
    expect_fault([&] { build_repeated_travel(st, model, 8.0, 1.0, 1, 0); },
                 "a repeated path needs a period after its 1 head crossings and at least one "
                 "repeat; got 2 crossings and 0 repeats");
}

}  // namespace
}  // namespace kelvane::ray
