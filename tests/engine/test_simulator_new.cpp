// The simulator constructor and its station-independent tables: the dicing
// check, path durations, the rupture taper, the corner-frequency term, the
// record length, the slip normalisation and the layer chosen per row.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "kelvane/config.hpp"
#include "kelvane/fault.hpp"
#include "kelvane/format.hpp"
#include "kelvane/geom.hpp"
#include "kelvane/input.hpp"
#include "kelvane/ray.hpp"
#include "kelvane/sim.hpp"
#include "kelvane/site.hpp"
#include "kelvane/state.hpp"
#include "tests/engine/pinned.hpp"
#include "tests/engine/support.hpp"

namespace kelvane::sim {
namespace {

using config::PathDurationModel;
using input::Segment;
using input::SegmentBuilder;
using input::StochModel;
using input::Subfault;
using state::InputLayer;

constexpr float nan_f = std::numeric_limits<float>::quiet_NaN();

struct SegmentShape {
    std::size_t along_strike = 1;
    std::size_t down_dip = 1;
    float length_km = 2.0f;
    float width_km = 2.0f;
    float dip_deg = 45.0f;
    float rake_deg = 90.0f;
    float top_depth_km = 1.0f;
    std::vector<float> slips_cm = {};  // empty: slip 1 everywhere
    float stress_drop_bars = 50.0f;
};

Segment make_segment(const SegmentShape& shape) {
    std::vector<Subfault> subfaults;
    for (std::size_t k = 0; k < shape.along_strike * shape.down_dip; ++k) {
        const float slip = shape.slips_cm.empty() ? 1.0f : shape.slips_cm[k];
        subfaults.push_back({{slip}, 1.0f, 0.5f * static_cast<float>(k), shape.stress_drop_bars});
    }
    return SegmentBuilder{}
        .fault_lon_deg(-118.0f)
        .fault_lat_deg(34.0f)
        .along_strike_count(shape.along_strike)
        .down_dip_count(shape.down_dip)
        .subfault_length_km(shape.length_km)
        .subfault_width_km(shape.width_km)
        .strike_deg(10.0f)
        .dip_deg(shape.dip_deg)
        .rake_deg(shape.rake_deg)
        .top_depth_km(shape.top_depth_km)
        .hypocentre_along_strike_km(1.0f)
        .hypocentre_down_dip_km(1.0f)
        .subfaults(std::move(subfaults))
        .build();
}

StochModel model_of(const std::vector<SegmentShape>& shapes) {
    std::vector<Segment> segments;
    for (const SegmentShape& shape : shapes) segments.push_back(make_segment(shape));
    return StochModel::create(std::move(segments));
}

InputLayer layer(float depth_km, float thickness_km, double vsh_km_s, double density_g_cm3) {
    return {depth_km, thickness_km, vsh_km_s * 1.7, vsh_km_s, density_g_cm3, 200.0f, 100.0f};
}

// A prepared two-layer model: 2 km of vs 2 over a half-space of vs 3.5.
std::vector<InputLayer> two_layers() {
    return {layer(2.0f, 2.0f, 2.0, 2.4), layer(2.0f, 0.0f, 3.5, 2.7)};
}

config::HfConfig make_config(float duration_s = 20.0f, float dt_s = 0.01f) {
    return {{2.1f, 0.5f, {0.8f, 0.6f, 1.2f, 0.1f}},
            {{config::RayType{0}, config::RayType{3}, config::RayType{0}}, PathDurationModel::Wus},
            {25.0f},
            {duration_s, dt_s}};
}

// The simulator of a construction expected to succeed (a copy: the variant is
// a temporary). A refused one fails the test.
Simulator built(std::variant<Simulator, SimError> result) {
    if (const SimError* error = std::get_if<SimError>(&result)) {
        ADD_FAILURE() << "construction failed: " << display(*error);
    }
    return std::get<Simulator>(std::move(result));
}

// ---- dicing check -----------------------------------------------------------

struct DicingCase {
    const char* name;
    std::vector<std::pair<float, float>> sizes_km;  // (length, width) per segment
    bool refused;
    SimError expected;
};

TEST(SimulatorDicing, FirstMismatchAgainstSegmentZeroIsReported) {
    using K = SimError::Kind;
    const DicingCase cases[] = {
        {"third segment longer", {{2, 2}, {2, 2}, {2.5f, 2}}, true,
         {K::InconsistentSegments, 2, "subfault_length_km", 2.5f, 2.0f}},
        {"width differs", {{2, 2}, {2, 3}}, true,
         {K::InconsistentSegments, 1, "subfault_width_km", 3.0f, 2.0f}},
        {"length and width differ: length first", {{2, 2}, {3, 3}}, true,
         {K::InconsistentSegments, 1, "subfault_length_km", 3.0f, 2.0f}},
        {"earliest mismatch wins", {{2, 2}, {2, 4}, {5, 2}}, true,
         {K::InconsistentSegments, 1, "subfault_width_km", 4.0f, 2.0f}},
        {"NaN reference never matches", {{nan_f, 2}, {nan_f, 2}}, true,
         {K::InconsistentSegments, 1, "subfault_length_km", nan_f, nan_f}},
        {"lone NaN segment is never checked", {{nan_f, 2}}, false, {}},
        {"alike segments", {{2, 2}, {2, 2}, {2, 2}}, false, {}},
    };
    for (const DicingCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<SegmentShape> shapes;
        for (const auto& [length, width] : c.sizes_km) {
            shapes.push_back({.length_km = length, .width_km = width});
        }
        const auto result = Simulator::create(make_config(), model_of(shapes), two_layers());
        ASSERT_EQ(std::holds_alternative<SimError>(result), c.refused);
        if (!c.refused) continue;
        const SimError& error = std::get<SimError>(result);
        EXPECT_EQ(error.segment, c.expected.segment);
        EXPECT_EQ(error.dimension, c.expected.dimension);
        if (std::isnan(c.expected.found)) {
            EXPECT_TRUE(std::isnan(error.found));
            EXPECT_TRUE(std::isnan(error.expected));
        } else {
            EXPECT_EQ(error.found, c.expected.found);
            EXPECT_EQ(error.expected, c.expected.expected);
        }
    }
}

TEST(SimulatorDicing, MessageText) {
    const SimError error{SimError::Kind::InconsistentSegments, 2, "subfault_length_km", 2.5f, 2.0f};
    EXPECT_EQ(display(error),
              "segment 2 has subfault_length_km = 2.5 km, but segment 0 has 2 km; every segment "
              "must be diced the same way because the subfault size is one quantity for the "
              "whole run");
    const SimError nan_error{SimError::Kind::InconsistentSegments, 1, "subfault_width_km", nan_f,
                             nan_f};
    EXPECT_EQ(display(nan_error),
              "segment 1 has subfault_width_km = NaN km, but segment 0 has NaN km; every segment "
              "must be diced the same way because the subfault size is one quantity for the "
              "whole run");
}

// Unlike segments get the error value even where later steps would fault.
TEST(SimulatorDicing, CheckedBeforeAnythingThatFaults) {
    const auto result = Simulator::create(
        make_config(), model_of({{.length_km = 2.0f}, {.length_km = 3.0f}}), {});
    EXPECT_TRUE(std::holds_alternative<SimError>(result));
}

// ---- crust check ------------------------------------------------------------

// A caller's layer (its depth is filled in by the preparation).
InputLayer raw_layer(float thickness_km, double vp_km_s, double vsh_km_s) {
    return {0.0f, thickness_km, vp_km_s, vsh_km_s, 2.5, 200.0f, 100.0f};
}

config::HfConfig config_with(std::vector<std::int32_t> codes, float duration_s) {
    config::HfConfig config = make_config(duration_s);
    config.path.rayset.clear();
    for (const std::int32_t code : codes) config.path.rayset.push_back(config::RayType{code});
    return config;
}

struct CrustCase {
    const char* name;
    std::vector<InputLayer> raw;  // the caller's layers, prepared with vs_moho 3.5 km/s
    std::vector<std::int32_t> rays;
    float duration_s;  // 0: a record of no samples
    std::optional<SimError> expected;
};

SimError single_layer(float depth_km, double vp_km_s) {
    SimError error{SimError::Kind::SingleLayerModel, 0, {}, 0.0f, 0.0f};
    error.depth_km = depth_km;
    error.vp_km_s = vp_km_s;
    return error;
}

SimError no_layer_below_receiver(std::size_t layer_count, std::int32_t ray_code) {
    SimError error{SimError::Kind::NoLayerBelowReceiver, 0, {}, 0.0f, 0.0f};
    error.layer_count = layer_count;
    error.ray_code = ray_code;
    return error;
}

// The constructor refuses a ray set exactly when the working layers cannot
// carry it, which once surfaced as a fault in every batch: the site
// amplification of a single layer ("site amplification needs at least 2
// layers, got 1") or the tracer's source placement ("no layer below the
// receiver layer ... has positive thickness"). Each refusal is checked
// against the fault the run's own step raises on those layers, and each
// acceptance by a station run that completes.
TEST(SimulatorCrust, RefusesExactlyTheRaySetsTheLayersCannotCarry) {
    const CrustCase cases[] = {
        {"one layer 0 km thick, ray 0", {raw_layer(0.0f, 3.4, 2.0)}, {0}, 20.0f,
         single_layer(0.0f, 3.4)},
        {"one layer 0 km thick, rays 0 1 2", {raw_layer(0.0f, 3.4, 2.0)}, {0, 1, 2}, 20.0f,
         single_layer(0.0f, 3.4)},
        {"one layer 0 km thick, no rays", {raw_layer(0.0f, 3.4, 2.0)}, {}, 20.0f, std::nullopt},
        {"one layer 0 km thick, ray 0, record of no samples", {raw_layer(0.0f, 3.4, 2.0)}, {0},
         0.0f, std::nullopt},
        {"one layer 0 km thick, ray 2, record of no samples", {raw_layer(0.0f, 3.4, 2.0)}, {0, 2},
         0.0f, no_layer_below_receiver(1, 2)},
        {"one layer 5 km thick: a half-space under the air layer, ray 0",
         {raw_layer(5.0f, 3.4, 2.0)}, {0}, 20.0f, std::nullopt},
        {"one layer 5 km thick, rays 0 3 1", {raw_layer(5.0f, 3.4, 2.0)}, {0, 3, 1}, 20.0f,
         no_layer_below_receiver(2, 3)},
        {"one layer 5 km thick, ray -1", {raw_layer(5.0f, 3.4, 2.0)}, {-1}, 20.0f,
         no_layer_below_receiver(2, -1)},
        {"a 0.0005 km first layer (no air layer) over the half-space, ray 1",
         {raw_layer(0.0005f, 3.4, 2.0), raw_layer(1.0f, 7.0, 4.0)}, {1}, 20.0f,
         no_layer_below_receiver(2, 1)},
        {"a first layer of P speed 0.005 km/s (no air layer) over the half-space, ray 1",
         {raw_layer(3.0f, 0.005, 2.0), raw_layer(1.0f, 7.0, 4.0)}, {1}, 20.0f,
         no_layer_below_receiver(2, 1)},
        {"only negative and NaN thicknesses below a thin first layer, ray 1",
         {raw_layer(0.0005f, 3.4, 2.0), raw_layer(-2.0f, 5.0, 3.0), raw_layer(nan_f, 5.0, 3.0),
          raw_layer(1.0f, 7.0, 4.0)},
         {1}, 20.0f, no_layer_below_receiver(4, 1)},
        {"a thin first layer, a 0 km layer, then 3 km over the half-space, ray 1",
         {raw_layer(0.0005f, 3.4, 2.0), raw_layer(0.0f, 5.0, 3.0), raw_layer(3.0f, 5.0, 3.0),
          raw_layer(1.0f, 7.0, 4.0)},
         {1}, 20.0f, std::nullopt},
        {"2 km over the half-space, rays 0 1 2",
         {raw_layer(2.0f, 3.4, 2.0), raw_layer(1.0f, 7.0, 4.0)}, {0, 1, 2}, 20.0f, std::nullopt},
    };
    const StochModel slip = model_of({{}});
    const input::Station station{-118.05f, 34.03f, 0.04f, 0.6f};  // about 5 km from the fault
    for (const CrustCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto prepared = input::build_velocity_model(c.raw, 3.5);
        ASSERT_TRUE(std::holds_alternative<std::vector<InputLayer>>(prepared));
        const std::vector<InputLayer>& vmod_in = std::get<std::vector<InputLayer>>(prepared);
        const config::HfConfig config = config_with(c.rays, c.duration_s);
        const auto result = Simulator::create(config, slip, vmod_in);

        // The working layers the run would use.
        std::vector<state::Layer> working;
        for (const InputLayer& l : input::insert_air_layer(vmod_in)) {
            working.push_back(state::Layer::from(l));
        }
        if (!c.expected) {
            ASSERT_TRUE(std::holds_alternative<Simulator>(result))
                << display(std::get<SimError>(result));
            const Simulator& simulator = std::get<Simulator>(result);
            std::optional<Simulation> record;
            EXPECT_EQ(testing_support::fault_message(
                          [&] { record.emplace(simulator.run(station, 3)); }),
                      "<no fault>");
            // Every ray reached the record, so every step of a placed pair ran.
            if (record && !c.rays.empty() && simulator.ndata() > 0) {
                EXPECT_EQ(record->census.pairs_outside_record, 0u);
                EXPECT_EQ(record->census.pairs_attempted, c.rays.size());
            }
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<SimError>(result));
        const SimError& error = std::get<SimError>(result);
        EXPECT_EQ(error, *c.expected) << display(error);
        if (error.kind == SimError::Kind::SingleLayerModel) {
            std::vector<float> factors(fn_hz.size());
            const std::vector<float> log_freq(fn_hz.size(), 0.0f);
            EXPECT_EQ(testing_support::fault_message([&] {
                          site::site_amplification_factors(working, 0, log_freq, factors);
                      }),
                      "site amplification needs at least 2 layers, got 1");
        } else {
            // The tracer refuses the ray from any source depth.
            for (const float depth_km : {0.0f, 1.0f, 4.0f, 50.0f}) {
                ray::RayState state;
                EXPECT_EQ(testing_support::fault_message([&] {
                              ray::green_function(state, working, depth_km, 5.0f, error.ray_code,
                                                  ray::WaveMode::Sh);
                          }),
                          format("no layer below the receiver layer of this {}-layer velocity "
                                 "model has positive thickness, so no layered ray can be traced",
                                 working.size()));
            }
        }
    }

    // Unlike segments are reported first, whatever the crust.
    const auto unlike = Simulator::create(
        config_with({0, 1}, 20.0f), model_of({{.length_km = 2.0f}, {.length_km = 3.0f}}),
        std::vector<InputLayer>{layer(0.0f, 0.0f, 2.0, 2.4)});
    ASSERT_TRUE(std::holds_alternative<SimError>(unlike));
    EXPECT_EQ(std::get<SimError>(unlike).kind, SimError::Kind::InconsistentSegments);
}

TEST(SimulatorCrust, MessageTexts) {
    EXPECT_EQ(display(single_layer(0.0f, 3.4)),
              "the velocity model is a single layer 0 km deep with a P speed of 3.4 km/s and gets "
              "no air layer, so there is no layer below the receiver level for the site "
              "amplification of any ray; a model needs a second layer, or a first layer deeper "
              "than 0.001 km with a P speed above 0.01 km/s");
    EXPECT_EQ(display(no_layer_below_receiver(2, 3)),
              "no layer below the receiver layer of this 2-layer velocity model (air layer "
              "included) has positive thickness, so ray type 3 cannot be traced; every ray type "
              "but 0 is traced through the layers below the receiver layer and needs one of "
              "positive thickness");
}

// ---- sources the layered rays would trace from far above ---------------------

// A cover of `thickness_km` (shear speed `vs_cover_km_s`) over a half-space of
// `vs_half_km_s`, as a caller gives it.
std::vector<InputLayer> cover(float thickness_km, double vs_cover_km_s, double vs_half_km_s) {
    return {raw_layer(thickness_km, vs_cover_km_s * 1.73, vs_cover_km_s),
            raw_layer(1.0f, vs_half_km_s * 1.73, vs_half_km_s)};
}

// A vertical segment of `rows` rows of one 1 km subfault each, its top edge
// `top_km` deep; `slips_cm` per row (empty: 1 cm everywhere).
StochModel vertical_rows(float top_km, std::size_t rows = 1, std::vector<float> slips_cm = {}) {
    return model_of({{.along_strike = 1, .down_dip = rows, .length_km = 1.0f, .width_km = 1.0f,
                      .dip_deg = 90.0f, .top_depth_km = top_km, .slips_cm = std::move(slips_cm)}});
}

// The prepared model of a caller's layers: no cut at the Moho.
std::vector<InputLayer> prepared(const std::vector<InputLayer>& raw) {
    const auto result = input::build_velocity_model(raw, 9.0);
    return std::get<std::vector<InputLayer>>(result);
}

struct FarCase {
    const char* name;
    std::vector<InputLayer> raw;
    StochModel slip;
    std::vector<std::int32_t> rays;
    FarAboveTrace expected;  // None: accepted
    std::size_t row = 0;     // of the refused subfaults
};

// Below every interface a layered ray starts the gap above the bottom of the
// deepest layer with thickness, whatever its source's depth. Refused where
// that start is at or above the receivers' level, above the top of its own
// layer, or less than half as deep as the subfaults; every accepted case runs
// a station without a fault.
TEST(SimulatorFarAbove, RefusesSourcesTracedFromFarAboveThemselves) {
    using F = FarAboveTrace;
    const std::vector<InputLayer> thin_base = {raw_layer(3.0f, 5.2, 3.0), raw_layer(0.0001f, 5.7, 3.3),
                                               raw_layer(1.0f, 6.2, 3.6)};
    const std::vector<InputLayer> crust_26 = {raw_layer(1.0f, 3.0, 1.5), raw_layer(5.0f, 5.2, 3.0),
                                              raw_layer(20.0f, 6.0, 3.5), raw_layer(1.0f, 8.0, 4.6)};
    const FarCase cases[] = {
        {"5 m of soil, centre 3 km", cover(0.005f, 0.6, 4.0), vertical_rows(2.5f), {1}, F::AtReceiverLevel},
        {"5 m of soil, centre 0.03 km", cover(0.005f, 0.6, 4.0), vertical_rows(0.03f - 0.5f), {2},
         F::AtReceiverLevel},
        {"5 m of soil, rays 0 3", cover(0.005f, 0.6, 4.0), vertical_rows(2.5f), {0, 3},
         F::AtReceiverLevel},
        {"21 m of soil, centre 5 km", cover(0.021f, 0.6, 3.5), vertical_rows(4.5f), {1},
         F::ShallowerThanHalf},
        {"30 m of soil, centre 10 km", cover(0.03f, 0.6, 3.5), vertical_rows(9.5f), {1},
         F::ShallowerThanHalf},
        {"300 m of soil, centre 5 km", cover(0.3f, 0.6, 3.5), vertical_rows(4.5f), {4},
         F::ShallowerThanHalf},
        {"1 km of soil, centre 5 km", cover(1.0f, 0.6, 3.5), vertical_rows(4.5f), {1},
         F::ShallowerThanHalf},
        {"a 0.1 m layer at the base of 3 km, centre 4 km", thin_base, vertical_rows(3.5f), {1},
         F::AboveStartLayer},
        {"1 km of 3 km/s, the lower of two rows below it", cover(1.0f, 3.0, 3.5),
         vertical_rows(0.0f, 3), {2}, F::ShallowerThanHalf, 2},
        {"1 km of soil, the upper of two rows below it", cover(1.0f, 0.6, 3.5),
         vertical_rows(0.0f, 3), {2}, F::SlowerStartLayer, 1},
        {"7 km over a centre at 9.5 km", cover(7.0f, 3.0, 3.5), vertical_rows(9.0f), {1, 2},
         F::None},
        {"a fault reaching 2 km below a 26 km crust", crust_26, vertical_rows(20.0f, 8), {1, 2},
         F::None},
        {"100 m of soil over a centre at 0.15 km", cover(0.1f, 0.6, 3.5), vertical_rows(-0.35f), {1},
         F::SlowerStartLayer},
        {"100 m of 3 km/s over a centre at 0.15 km", cover(0.1f, 3.0, 3.5), vertical_rows(-0.35f),
         {1}, F::None},
        {"5 m of soil, ray 0 alone", cover(0.005f, 0.6, 4.0), vertical_rows(2.5f), {0}, F::None},
        {"1 km of soil, the rows below it without slip", cover(1.0f, 0.6, 3.5),
         vertical_rows(0.0f, 3, {1.0f, 0.0f, 0.0f}), {2}, F::None},
        {"1 km of soil, a NaN depth", cover(1.0f, 0.6, 3.5), vertical_rows(nan_f), {1}, F::None},
    };
    const input::Station station{-118.05f, 34.03f, 0.04f, 0.6f};
    for (const FarCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<InputLayer> vmod_in = prepared(c.raw);
        const auto result = Simulator::create(config_with(c.rays, 20.0f), c.slip, vmod_in);
        if (c.expected == F::None) {
            ASSERT_TRUE(std::holds_alternative<Simulator>(result)) << display(std::get<SimError>(result));
            EXPECT_EQ(testing_support::fault_message(
                          [&] { std::get<Simulator>(result).run(station, 3); }),
                      "<no fault>");
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<SimError>(result));
        const SimError& error = std::get<SimError>(result);
        ASSERT_EQ(error.kind, SimError::Kind::SourceFarAboveTrace) << display(error);
        EXPECT_EQ(error.far_above, c.expected);
        EXPECT_EQ(error.ray_code, c.rays.back());
        EXPECT_EQ(error.segment, 0u);
        EXPECT_EQ(error.row, c.row);
        EXPECT_EQ(error.source_depth_km,
                  geom::row_centre_depth_km(fault_plane_of(c.slip.segments[0]), c.row));
        // The start: the gap above the bottom of the deepest layer with
        // thickness, the air layer (0.1 mm) included.
        double bottom_km = static_cast<double>(1e-4f);
        for (const InputLayer& l : vmod_in) bottom_km = bottom_km + static_cast<double>(l.thickness_km);
        EXPECT_EQ(error.traced_depth_km, bottom_km - ray::source_gap_km);
    }
}

TEST(SimulatorFarAbove, MessageTexts) {
    SimError error{SimError::Kind::SourceFarAboveTrace, 1, {}, 0.0f, 0.0f};
    error.row = 2;
    error.source_depth_km = 5.0f;
    error.traced_depth_km = static_cast<double>(0.2801f);
    error.ray_code = 1;
    error.far_above = FarAboveTrace::ShallowerThanHalf;
    EXPECT_EQ(display(error),
              "ray type 1 would trace the subfaults of segment 1 whose centres lie 5 km deep "
              "(down-dip row 2, counted from 0) from 0.2801 km deep, less than half their depth: "
              "no interface of the velocity model lies below them, and a layered ray from below "
              "the model starts 0.02 km above the bottom of its deepest layer with thickness, "
              "whatever the source's depth, so this ray's length, attenuation and travel time "
              "would not be those of these subfaults; extend the velocity model below the fault, "
              "so that its last interface lies deeper than the fault, or use ray type 0 alone");
    // The other reasons, each with the values it names.
    struct Reason {
        FarAboveTrace why;
        double traced_km;
        double reference_km;
        double thickness_km;
        double start_vsh_km_s;
        double own_vsh_km_s;
        const char* text;
    };
    const Reason reasons[] = {
        {FarAboveTrace::AtReceiverLevel, -0.0149, static_cast<double>(1e-4f), 0.0, 0.0, 0.0,
         "from -0.0149 km deep, at or above the receivers' level (0.0001 km deep): no "
         "interface"},
        {FarAboveTrace::AboveStartLayer, 2.9802, 3.0001, 0.0001, 0.0, 0.0,
         "from 2.9802 km deep, above the top (3.0001 km deep) of the layer the ray would start "
         "in, which is 0.0001 km thick, thinner than 0.02 km: no interface"},
        {FarAboveTrace::SlowerStartLayer, 0.0801, 0.0, 0.0, 0.6, 3.5,
         "from 0.0801 km deep, in a layer of shear speed 0.6 km/s, less than half the 3.5 km/s of "
         "the layer that holds them: no interface"},
    };
    for (const Reason& r : reasons) {
        error.far_above = r.why;
        error.traced_depth_km = r.traced_km;
        error.reference_depth_km = r.reference_km;
        error.start_layer_thickness_km = r.thickness_km;
        error.start_vsh_km_s = r.start_vsh_km_s;
        error.own_vsh_km_s = r.own_vsh_km_s;
        EXPECT_NE(display(error).find(r.text), std::string::npos) << display(error);
    }
}

// Every layered ray the simulator accepts over thin covers is bounded and
// grows with its range. A source below a cover thinner than the gap once
// kept no layer with a positive count: its ray parameter was held at its
// largest at every range, with one length and attenuation for all of them
// (1.291 km at 5, 50 and 170 km under 20 m), or negative ones.
TEST(SimulatorFarAbove, AcceptedRaysUnderThinCoversFollowTheirRange) {
    std::size_t accepted = 0;
    std::size_t refused = 0;
    for (const auto& [cover_m, vs_km_s] : std::vector<std::pair<float, double>>{
             {2.0f, 3.0}, {5.0f, 3.0}, {19.0f, 3.0}, {20.0f, 3.0}, {21.0f, 3.0}, {30.0f, 3.0},
             {41.0f, 3.0}, {60.0f, 3.0}, {100.0f, 3.0}, {300.0f, 3.0}, {1000.0f, 3.0},
             {5.0f, 0.6}, {30.0f, 0.6}, {100.0f, 0.6}, {1000.0f, 0.6}}) {
        const std::vector<InputLayer> vmod_in = prepared(cover(cover_m / 1000.0f, vs_km_s, 3.5));
        const float bottom_km = cover_m / 1000.0f;
        for (const float centre_km : {bottom_km + 0.001f, bottom_km + 0.03f, bottom_km * 1.2f,
                                      bottom_km * 1.5f, bottom_km * 2.0f, bottom_km + 3.0f, 10.0f}) {
            SCOPED_TRACE(testing::Message() << cover_m << " m of cover at " << vs_km_s
                                            << " km/s, centre " << centre_km);
            const StochModel slip = vertical_rows(centre_km - 0.5f);
            const auto result = Simulator::create(config_with({1, 2, 3, 4}, 20.0f), slip, vmod_in);
            if (std::holds_alternative<SimError>(result)) {
                EXPECT_EQ(std::get<SimError>(result).kind, SimError::Kind::SourceFarAboveTrace);
                ++refused;
                continue;
            }
            ++accepted;
            const Simulator& simulator = std::get<Simulator>(result);
            const float depth_km = geom::row_centre_depth_km(fault_plane_of(slip.segments[0]), 0);
            for (const std::int32_t code : {1, 2, 3, 4}) {
                ray::RayState st;
                const ray::GreenFunction near =
                    ray::green_function(st, simulator.vmod, depth_km, 5.0f, code, ray::WaveMode::Sh);
                const ray::GreenFunction far =
                    ray::green_function(st, simulator.vmod, depth_km, 50.0f, code, ray::WaveMode::Sh);
                EXPECT_TRUE(std::isfinite(near.rp0) && std::isfinite(far.rp0)) << code;
                EXPECT_GT(near.rpath, 0.0f) << code;
                EXPECT_GT(near.qbar, 0.0f) << code;
                EXPECT_GT(far.rpath, near.rpath + 10.0f) << code;
                EXPECT_GT(far.qbar, near.qbar) << code;
                EXPECT_GT(far.stime, near.stime) << code;
            }
        }
    }
    EXPECT_GE(accepted, 10u);  // the grid reaches both sides of the rule
    EXPECT_GE(refused, 40u);
}

// A layer of negative thickness makes the tracer's interface depths and path
// lengths negative: layered rays are refused over it, code 0 alone runs.
TEST(SimulatorFarAbove, LayeredRaysOverANegativeThicknessAreRefused) {
    const std::vector<InputLayer> raw = {raw_layer(2.0f, 4.0, 2.3), raw_layer(-1.0f, 5.2, 3.0),
                                         raw_layer(10.0f, 6.0, 3.5), raw_layer(1.0f, 8.0, 4.6)};
    const auto refused = Simulator::create(config_with({0, 2}, 20.0f), model_of({{}}), prepared(raw));
    ASSERT_TRUE(std::holds_alternative<SimError>(refused));
    const SimError& error = std::get<SimError>(refused);
    EXPECT_EQ(error.kind, SimError::Kind::NegativeThickness);
    EXPECT_EQ(error.layer_index, 1u);
    EXPECT_EQ(error.depth_km, -1.0f);
    EXPECT_EQ(display(error),
              "layer 1 of the velocity model (counted from 0) is -1 km thick; ray type 2 and every "
              "other layered ray sum the layers' thicknesses into the depths of their interfaces "
              "and the lengths of their paths, which a negative thickness makes negative, so over "
              "this model only ray type 0 can be used; give every layer a thickness of 0 or more");
    EXPECT_TRUE(std::holds_alternative<Simulator>(
        Simulator::create(config_with({0}, 20.0f), model_of({{}}), prepared(raw))));
}

// A caller's own air layer (a first layer of P speed at most 0.01 km/s gets
// none from the simulator) holds the receivers at its bottom. Below the gap
// every layered ray's first leg keeps a length, and the records are those
// such a crust gave before layered rays over it were refused (pinned); from
// the gap on, a source the gap above an interface would have none, or a
// negative one.
TEST(SimulatorFarAbove, ACallersAirLayerThinnerThanTheGapServesLayeredRays) {
    const auto crust_under_air = [](float air_km) {
        return prepared({raw_layer(air_km, 0.005, 0.0005), raw_layer(1.0f, 2.5, 1.2),
                         raw_layer(4.0f, 5.0, 2.9), raw_layer(20.0f, 6.3, 3.6),
                         raw_layer(1.0f, 8.0, 4.6)});
    };
    const input::Station station{-118.05f, 34.03f, 0.04f, 0.6f};
    // FNV-1a 64 of the record of each crust, pinned on the reference platform.
    const std::pair<float, std::uint64_t> accepted[] = {
        {0.002f, 0x99ff819251780841ULL}, {0.005f, 0x7d582511bfa7ade7ULL}, {0.019f, 0x5488dc59157d4f46ULL}};
    const bool pinned = testing_support::on_pinned_platform();
    for (const auto& [air_km, hash] : accepted) {
        SCOPED_TRACE(air_km);
        const auto result = Simulator::create(config_with({1, 2}, 20.0f), model_of({{}}),
                                              crust_under_air(air_km));
        ASSERT_TRUE(std::holds_alternative<Simulator>(result)) << display(std::get<SimError>(result));
        const Simulation record = std::get<Simulator>(result).run(station, 3);
        if (pinned) {
            EXPECT_EQ(testing_support::bit_hash(record.acc), hash);
        }
    }
    // (A fault below the thickest of them, which would hold every centre of
    // the default one and leave it no moment.)
    const StochModel deeper = model_of({{.top_depth_km = 4.0f}});
    for (const float air_km : {0.02f, 0.03f, 3.0f}) {
        SCOPED_TRACE(air_km);
        const auto result =
            Simulator::create(config_with({0, 1}, 20.0f), deeper, crust_under_air(air_km));
        ASSERT_TRUE(std::holds_alternative<SimError>(result));
        EXPECT_EQ(std::get<SimError>(result).kind, SimError::Kind::BuriedReceiver);
        EXPECT_EQ(std::get<SimError>(result).depth_km, air_km);
        EXPECT_TRUE(std::holds_alternative<Simulator>(
            Simulator::create(config_with({0}, 20.0f), deeper, crust_under_air(air_km))));
    }
}

// ---- path durations ---------------------------------------------------------

struct DurationCase {
    PathDurationModel model;
    float r_km;
    float duration_s;
};

TEST(PathDuration, EveryModelAtItsBreakpointsAndBeyond) {
    using M = PathDurationModel;
    const DurationCase cases[] = {
        {M::Vorel2010, 100.0f, 6.3f},
        {M::Wus, 100.0f, 7.0f},
        {M::Ena, 100.0f, 10.0f},
        {M::Tarnel2014Wus, 0.0f, 0.0f},
        {M::Tarnel2014Wus, 45.0f, 8.4f},  // at a breakpoint: the interval 7 to 45
        {M::Tarnel2014Wus, 100.0f, 10.11875f},
        {M::Tarnel2014Wus, 300.0f, 39.505264f},  // beyond the last breakpoint
        {M::Tarnel2015Ena, 80.0f, 25.1f},
        {M::Tarnel2015Ena, 100.0f, 25.1f},  // zero slope from 50 to 125 km
        {M::Tarnel2015Ena, 700.0f, 80.205765f},
        // No entry starts below a distance of 0 or less.
        {M::Vorel2010, 0.0f, 0.0f},
        {M::Tarnel2015Ena, -10.0f, 0.0f},
        {M::Ena, -5.0f, 0.0f},
    };
    for (const DurationCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "model " << static_cast<int>(c.model) << " at "
                                        << c.r_km << " km");
        EXPECT_EQ(path_duration_at(path_duration_table(c.model), c.r_km), c.duration_s);
    }
}

TEST(PathDuration, NaNDistanceUsesTheZeroEntryAndGivesNaN) {
    // (NaN − 0) × 0 + 0 is NaN: the walk passes nothing, the formula still runs.
    EXPECT_TRUE(std::isnan(path_duration_at(path_duration_table(PathDurationModel::Wus), nan_f)));
    EXPECT_EQ(path_duration_at({}, 50.0f), 0.0f);
}

TEST(PathDuration, BreakpointTablesContinueTheLastSlope) {
    const std::vector<DurationSegment> table = path_duration_table.from_breakpoints(
        std::array{0.0f, 10.0f, 30.0f}, std::array{0.0f, 5.0f, 6.0f});
    const std::vector<DurationSegment> expected = {
        {0.0f, 0.0f, 0.5f}, {10.0f, 5.0f, 0.05f}, {30.0f, 6.0f, 0.05f}};
    EXPECT_EQ(table, expected);
    EXPECT_EQ(path_duration_table.constant_slope(0.063f),
              (std::vector<DurationSegment>{{0.0f, 0.0f, 0.063f}}));
}

// ---- rupture taper ----------------------------------------------------------

// A prepared model of 40 km of vs 3 over a half-space of vs 3.5: every fault
// of the taper tests lies inside it, where the layered rays start at its depth.
std::vector<InputLayer> deep_crust() {
    return {layer(40.0f, 40.0f, 3.0, 2.7), layer(40.0f, 0.0f, 3.5, 2.7)};
}

TEST(RuptureTaper, FactorAcrossBothTapers) {
    const StochModel slip = model_of({{.dip_deg = 0.0f, .top_depth_km = 10.0f}});
    ASSERT_EQ(slip.max_hypocentre_depth_km, 10.0f);
    const Simulator simulator = built(Simulator::create(make_config(), slip, deep_crust()));
    const config::RuptureVelocityTaper& taper = simulator.rupture;
    EXPECT_EQ(taper.shallow_top_km, 5.0f);
    EXPECT_EQ(taper.shallow_base_km, 8.0f);
    EXPECT_EQ(taper.deep_top_km, 15.0f);
    EXPECT_EQ(taper.deep_base_km, 20.0f);

    const std::pair<float, float> cases[] = {
        {3.0f, 0.48000002f},  {5.0f, 0.48000002f}, {6.5f, 0.64000005f},
        {8.0f, 0.8f},         {10.0f, 0.8f},       {15.0f, 0.8f},
        {17.5f, 0.88000005f}, {20.0f, 0.96000004f}, {25.0f, 0.96000004f},
        {nan_f, 0.48000002f},  // a NaN depth takes the shallow factor
    };
    for (const auto& [depth_km, fraction] : cases) {
        EXPECT_EQ(taper.factor(depth_km), fraction) << "at " << depth_km << " km";
    }
}

TEST(RuptureTaper, DeepTaperFollowsAHypocentreBelow15Km) {
    const StochModel slip = model_of({{.dip_deg = 0.0f, .top_depth_km = 30.0f}});
    const Simulator simulator = built(Simulator::create(make_config(), slip, deep_crust()));
    EXPECT_EQ(simulator.rupture.deep_top_km, 30.0f);
    EXPECT_EQ(simulator.rupture.deep_base_km, 35.0f);
    EXPECT_EQ(simulator.rupture.factor(20.0f), 0.8f);
    EXPECT_EQ(simulator.rupture.factor(35.0f), 0.96000004f);
}

// ---- corner-frequency term --------------------------------------------------

struct AlphaCase {
    float dip_deg;
    float rake_deg;
    float alpha;
};

TEST(AlphaT, DipAndRakeFactors) {
    const AlphaCase cases[] = {
        {30, 90, 0.5f},   {30, 450, 0.5f},  {30, -270, 0.5f},  // rake wrapped by 360
        {60, 90, 0.6f},                                       // dip factor 0.6666666
        {45, 90, 0.5f},                                       // 45 takes the falling branch
        {90, 90, 1.0f},   {-10, 90, 1.0f},  {100, 90, 1.0f},   // dip factor 0
        {30, -90, 1.0f},  {30, 0, 1.0f},    {30, 180, 1.0f},
        {30, 270, 1.0f},  {30, 181, 1.0f},                     // folded to −179
        {30, 45, 0.6666667f},                                  // rake factor 0.5
        {nan_f, 90, 1.0f}, {30, nan_f, 1.0f},
    };
    for (const AlphaCase& c : cases) {
        EXPECT_EQ(alpha_t(c.dip_deg, c.rake_deg, 1.0f), c.alpha)
            << "dip " << c.dip_deg << ", rake " << c.rake_deg;
    }
}

TEST(AlphaT, SegmentAnglesInRadiansAndCornerCoefficient) {
    const Segment segment = make_segment({.dip_deg = 30.0f, .rake_deg = 90.0f});
    const SegmentAngles angles = SegmentAngles::for_segment(segment, 2.1f, 1.0f);
    EXPECT_EQ(angles.strike_rad, 10.0f * 0.017453292f);
    EXPECT_EQ(angles.dip_rad, 30.0f * 0.017453292f);
    EXPECT_EQ(angles.rake_rad, 90.0f * 0.017453292f);
    EXPECT_EQ(angles.corner_coeff, 2.1f / 0.5f);
}

// ---- record length ----------------------------------------------------------

TEST(SimulatorNdata, QuotientTruncatedWithSaturation) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    const struct {
        float duration_s;
        float dt_s;
        std::size_t ndata;
    } cases[] = {
        {20.0f, 0.01f, 2000},
        {10.0f, 0.3f, 33},
        {-5.0f, 0.01f, 0},
        {0.0f, 0.0f, 0},  // 0 ÷ 0 is NaN
        {0.001f, 0.01f, 0},
        {20.0f, 0.0f, std::numeric_limits<std::size_t>::max()},  // inf saturates
        {inf, 1.0f, std::numeric_limits<std::size_t>::max()},
        {1e30f, 1.0f, std::numeric_limits<std::size_t>::max()},
        // Above 2^63 the quotient still converts exactly (no signed detour).
        {1e19f, 1.0f, 9999999980506447872u},
    };
    const StochModel slip = model_of({{}});
    for (const auto& c : cases) {
        const Simulator simulator =
            built(Simulator::create(make_config(c.duration_s, c.dt_s), slip, two_layers()));
        EXPECT_EQ(simulator.ndata(), c.ndata) << c.duration_s << " s / " << c.dt_s << " s";
        EXPECT_EQ(simulator.run_scalars.ndata, c.ndata);
    }
}

// ---- slip normalisation -----------------------------------------------------

TEST(NormaliseSource, TwoSubfaultsOverOneLayer) {
    const StochModel slip =
        model_of({{.along_strike = 2, .length_km = 2.0f, .width_km = 3.0f, .slips_cm = {1.0f, 3.0f}}});
    const std::vector<InputLayer> layers = {layer(100.0f, 0.0f, 3.5, 2.7)};
    const auto [scale, weights] = normalise_source(slip, layers);

    const float a = static_cast<float>((((3.5 * 3.5) * 2.7) * 2.0) * 3.0);
    const float sum = a + (3.0f * a);
    EXPECT_EQ(scale.avg_subfault_km, std::sqrt(6.0f));
    EXPECT_EQ(scale.total_moment_dyn_cm, sum * 1e20f);
    EXPECT_EQ(scale.subfault_count, 2u);
    ASSERT_EQ(weights.size(), 1u);
    ASSERT_EQ(weights[0].size(), 2u);
    EXPECT_EQ(weights[0][0].value, (2.0f / sum) * a);
    EXPECT_EQ(weights[0][1].value, (2.0f / sum) * (3.0f * a));
    EXPECT_NEAR(weights[0][0].value, 0.5f, 1e-6f);
    EXPECT_NEAR(weights[0][1].value, 1.5f, 1e-6f);
}

// The source strengths use the count of weights above the threshold, not the
// slip model's subfault count.
TEST(NormaliseSource, ThresholdCountFeedsTheStrengths) {
    const StochModel slip = model_of({{.along_strike = 3, .slips_cm = {2.0f, 0.0f, 1e-9f}}});
    ASSERT_EQ(slip.subfault_count, 3u);
    const Simulator simulator = built(Simulator::create(make_config(), slip, two_layers()));
    const auto [scale, weights] = normalise_source(simulator.slip, two_layers());
    EXPECT_EQ(scale.subfault_count, 1u);
    EXPECT_FLOAT_EQ(weights[0][0].value, 1.0f);
    // Below the threshold: scaled all the same, not dropped.
    EXPECT_EQ(simulator.weights[0][1].value, 0.0f);
    EXPECT_GT(simulator.weights[0][2].value, 0.0f);
    const SourceStrength expected =
        SourceStrength::create(50.0f, scale.avg_subfault_km, scale.total_moment_dyn_cm, 1);
    ASSERT_EQ(simulator.strengths[0].size(), 3u);
    for (const SourceStrength& strength : simulator.strengths[0]) {
        EXPECT_EQ(strength.subevent_moment, expected.subevent_moment);
        EXPECT_EQ(strength.moment_scale, expected.moment_scale);
    }
    const float a = std::sqrt(4.0f);
    EXPECT_EQ(expected.subevent_moment, (((50.0f * a) * a) * a) * 1e21f);
}

TEST(NormaliseSource, AllZeroSlipGivesNaNWeights) {
    const StochModel slip = model_of({{.along_strike = 2, .slips_cm = {0.0f, 0.0f}}});
    const auto [scale, weights] = normalise_source(slip, two_layers());
    EXPECT_EQ(scale.subfault_count, 0u);
    EXPECT_TRUE(std::isnan(weights[0][0].value));
    EXPECT_TRUE(std::isnan(weights[0][1].value));
    // A NaN weight is neither below nor above a threshold.
    EXPECT_FALSE(weights[0][0] < MomentWeight{0.001f});
    EXPECT_FALSE(weights[0][0] > MomentWeight{0.001f});
}

// The layer of a row is the first whose bottom is at or below the row centre.
TEST(NormaliseSource, LayerChosenForEachRowCentre) {
    const std::vector<InputLayer> layers = {layer(2.0f, 2.0f, 2.0, 2.0),
                                            layer(5.0f, 3.0f, 3.0, 2.5),
                                            layer(5.0f, 0.0f, 4.0, 3.0)};
    // The total moment of one 2 km × 2 km subfault of slip 1 over a layer.
    const auto moment_of = [](double vsh, double density) {
        return static_cast<float>((((vsh * vsh) * density) * 2.0) * 2.0) * 1e20f;
    };
    const struct {
        const char* name;
        float top_depth_km;
        float total_moment;
    } flat_cases[] = {
        {"centre at a bottom takes that layer", 2.0f, moment_of(2.0, 2.0)},
        {"just below it takes the next", 2.0001f, moment_of(3.0, 2.5)},
        {"at the half-space top takes the layer above", 5.0f, moment_of(3.0, 2.5)},
        {"deeper than every depth takes the last", 40.0f, moment_of(4.0, 3.0)},
        {"above the surface takes the first", -1.0f, moment_of(2.0, 2.0)},
    };
    for (const auto& c : flat_cases) {
        SCOPED_TRACE(c.name);
        // A flat segment puts every row centre at its top depth.
        const StochModel slip = model_of({{.dip_deg = 0.0f, .top_depth_km = c.top_depth_km}});
        EXPECT_EQ(normalise_source(slip, layers).first.total_moment_dyn_cm, c.total_moment);
    }

    // A vertical segment of three 2 km rows from 0 km: centres near 1, 3 and 5 km.
    const StochModel vertical = model_of(
        {{.down_dip = 3, .dip_deg = 90.0f, .top_depth_km = 0.0f, .slips_cm = {1.0f, 1.0f, 1.0f}}});
    const auto [scale, weights] = normalise_source(vertical, layers);
    const float step_km = std::sin(90.0f * 0.017453292f) * 2.0f;
    ASSERT_LE(2.5f * step_km, 5.0f);  // the last centre stays in layer 1
    const float w0 = static_cast<float>(((2.0 * 2.0) * 2.0) * 2.0 * 2.0);
    const float w1 = static_cast<float>(((3.0 * 3.0) * 2.5) * 2.0 * 2.0);
    EXPECT_EQ(scale.total_moment_dyn_cm, ((w0 + w1) + w1) * 1e20f);
    EXPECT_LT(weights[0][0].value, weights[0][1].value);
    EXPECT_EQ(weights[0][1].value, weights[0][2].value);
}

TEST(NormaliseSource, MeanSubfaultSizeOverSegments) {
    const StochModel slip = model_of({{.length_km = 4.0f, .width_km = 1.0f},
                                      {.length_km = 4.0f, .width_km = 1.0f}});
    EXPECT_EQ(normalise_source(slip, two_layers()).first.avg_subfault_km, 2.0f);
}

// Expected values from an independent 32-bit evaluation; a count of 4 or 9
// shows the square root of the count (250 instead of 500 without it).
TEST(SourceStrengthCreate, SubeventMomentAndScale) {
    const struct {
        float stress_drop_bars, avg_subfault_km, total_moment_dyn_cm;
        std::size_t subfault_count;
        float subevent_moment, moment_scale;
    } cases[] = {
        {50.0f, 2.0f, 4e26f, 4, 4e23f, 500.00003f},
        {30.0f, 1.5f, 7.5e25f, 9, 1.0125e23f, 246.91359f},
    };
    for (const auto& c : cases) {
        const SourceStrength s = SourceStrength::create(c.stress_drop_bars, c.avg_subfault_km,
                                                        c.total_moment_dyn_cm, c.subfault_count);
        EXPECT_EQ(s.subevent_moment, c.subevent_moment) << c.stress_drop_bars << " bars";
        EXPECT_EQ(s.moment_scale, c.moment_scale) << c.stress_drop_bars << " bars";
    }
}

// Weights and strengths follow list order (down-dip rows of along-strike
// columns), each row over its own layer and each subfault with its own stress drop.
TEST(SimulatorCreate, WeightsAndStrengthsInGridOrder) {
    // A vertical 2 × 2 segment from the surface: row centres near 1 km (layer
    // of vs 2) and 3 km (the half-space of vs 3.5).
    std::vector<Subfault> subfaults;
    const float stress_drops_bars[] = {10.0f, 20.0f, 30.0f, 40.0f};
    for (const float stress_drop : stress_drops_bars) {
        subfaults.push_back({{1.0f}, 1.0f, 0.0f, stress_drop});
    }
    std::vector<Segment> segments;
    segments.push_back(SegmentBuilder{}
                           .fault_lon_deg(0.0f)
                           .fault_lat_deg(0.0f)
                           .along_strike_count(2)
                           .down_dip_count(2)
                           .subfault_length_km(2.0f)
                           .subfault_width_km(2.0f)
                           .strike_deg(0.0f)
                           .dip_deg(90.0f)
                           .rake_deg(90.0f)
                           .top_depth_km(0.0f)
                           .hypocentre_along_strike_km(1.0f)
                           .hypocentre_down_dip_km(1.0f)
                           .subfaults(std::move(subfaults))
                           .build());
    const Simulator simulator = built(
        Simulator::create(make_config(), StochModel::create(std::move(segments)), two_layers()));
    const std::vector<MomentWeight>& w = simulator.weights[0];
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[0], w[1]);
    EXPECT_EQ(w[2], w[3]);
    // μ ∝ vs² × density: 2² × 2.4 above, 3.5² × 2.7 below.
    EXPECT_FLOAT_EQ(w[2].value / w[0].value, static_cast<float>((3.5 * 3.5 * 2.7) / (2.0 * 2.0 * 2.4)));
    ASSERT_EQ(simulator.strengths[0].size(), 4u);
    for (std::size_t k = 0; k < 4; ++k) {
        // a = 2 km: (((stress × 2) × 2) × 2) × 1e21.
        EXPECT_EQ(simulator.strengths[0][k].subevent_moment,
                  (stress_drops_bars[k] * 8.0f) * 1e21f)
            << "subfault " << k;
    }
}

// ---- the assembled simulator ------------------------------------------------

TEST(SimulatorCreate, AssemblesCopiesAndRunConstants) {
    const StochModel slip = model_of({{.along_strike = 2, .down_dip = 2}});
    const std::vector<InputLayer> vmod_in = two_layers();
    const config::HfConfig config = make_config();
    const Simulator simulator = built(Simulator::create(config, slip, vmod_in));

    // Air layer in front; the rest widened unchanged.
    ASSERT_EQ(simulator.vmod.size(), vmod_in.size() + 1);
    EXPECT_EQ(simulator.vmod[0].depth_km, static_cast<double>(1e-4f));
    EXPECT_EQ(simulator.vmod[1], state::Layer::from(vmod_in[0]));
    EXPECT_EQ(simulator.vmod[2], state::Layer::from(vmod_in[1]));

    const RunScalars& run = simulator.run_scalars;
    EXPECT_EQ(run.dt, 0.01f);
    EXPECT_EQ(run.fmax_hz, 25.0f);
    EXPECT_EQ(run.window_peak_fraction, 0.2f);
    EXPECT_EQ(run.window_end_fraction, 0.05f);
    EXPECT_EQ(run.corner_const, 2.1f);
    EXPECT_EQ(run.calpha, 0.5f);
    EXPECT_EQ(run.rupture_velocity_sigma, 0.1f);
    EXPECT_EQ(run.avg_subfault_km, 2.0f);
    EXPECT_EQ(run.conical_sample_count, 1000u);
    EXPECT_EQ(run.site_table_len, 20u);
    EXPECT_EQ(run.max_shear_velocity_km_s, 3.5f);

    EXPECT_EQ(simulator.rayset, config.path.rayset);
    EXPECT_EQ(simulator.path_duration, path_duration_table(PathDurationModel::Wus));
    ASSERT_EQ(simulator.angles.size(), 1u);
    EXPECT_EQ(simulator.angles[0].corner_coeff, 2.1f / alpha_t(45.0f, 90.0f, 0.5f));
    ASSERT_EQ(simulator.weights.size(), 1u);
    EXPECT_EQ(simulator.weights[0].size(), 4u);
    EXPECT_EQ(simulator.strengths[0].size(), 4u);
    EXPECT_EQ(simulator.slip.segments[0].subfaults, slip.segments[0].subfaults);

    for (std::size_t k = 0; k < fn_hz.size(); ++k) {
        EXPECT_EQ(simulator.siteamp_log_freq[k], std::log(fn_hz[k]));
    }
    EXPECT_EQ(fn_hz.front(), 0.01f);
    EXPECT_EQ(fn_hz.back(), 70.0f);
}

TEST(SimulatorCreate, MaxShearVelocityNarrowedAndNaNSkipped) {
    const std::vector<InputLayer> vmod_in = {layer(1.0f, 1.0f, std::nan(""), 2.0),
                                             layer(3.0f, 2.0f, 3.3000000000000003, 2.5),
                                             layer(3.0f, 0.0f, 1.0, 2.5)};
    const Simulator simulator = built(Simulator::create(make_config(), model_of({{}}), vmod_in));
    EXPECT_EQ(simulator.run_scalars.max_shear_velocity_km_s, 3.3f);
}

TEST(SimulatorCreate, NoAirLayerOverASurfaceLayerThinnerThan1m) {
    std::vector<InputLayer> vmod_in = two_layers();
    vmod_in[0].depth_km = 0.0005f;
    // Straight rays only: without an air layer the receiver sits in the
    // first layer, and below it lies only the half-space, which no layered
    // ray can be traced through.
    config::HfConfig straight = make_config();
    straight.path.rayset = {config::RayType{0}};
    const Simulator simulator = built(Simulator::create(straight, model_of({{}}), vmod_in));
    EXPECT_EQ(simulator.vmod.size(), vmod_in.size());
    EXPECT_TRUE(std::holds_alternative<SimError>(
        Simulator::create(make_config(), model_of({{}}), vmod_in)));
}

TEST(SimulatorCreate, NativeCallersWithoutLayersOrColumnsAreRefused) {
    testing::internal::CaptureStderr();
    EXPECT_THROW(Simulator::create(make_config(), model_of({{}}), {}), Fault);
    EXPECT_THROW(normalise_source(model_of({{}}), {}), Fault);
    const StochModel no_columns = model_of({{.along_strike = 0, .down_dip = 3}});
    try {
        Simulator::create(make_config(), no_columns, two_layers());
        ADD_FAILURE() << "no fault";
    } catch (const Fault& f) {
        EXPECT_STREQ(f.what(), "segment has no subfault columns along strike, so it has no depth rows");
    }
    testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace kelvane::sim
