// Velocity-model preparation: depths, the Moho cut, the half-space, the
// error values and their texts, the air layer and the widened working layer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "kelvane/fault.hpp"
#include "kelvane/input.hpp"
#include "kelvane/state.hpp"
#include "tests/engine/support.hpp"

namespace kelvane::input {
namespace {

using state::InputLayer;
using state::ModelError;

constexpr double nan_d = std::numeric_limits<double>::quiet_NaN();

// A caller's layer; its depth is deliberately wrong, the preparation ignores it.
InputLayer given(float thickness_km, double vsh_km_s) {
    return {-99.0f, thickness_km, vsh_km_s * 1.75, vsh_km_s, 2.0 + vsh_km_s / 10.0,
            100.0f * static_cast<float>(vsh_km_s), 50.0f * static_cast<float>(vsh_km_s)};
}

// Thickness 2, 3, 4 km with shear speeds 2, 3, 4 km/s.
std::vector<InputLayer> three_layers() { return {given(2, 2.0), given(3, 3.0), given(4, 4.0)}; }

struct Shape {
    float depth_km;
    float thickness_km;
};

std::vector<Shape> shape_of(const std::vector<InputLayer>& layers) {
    std::vector<Shape> out;
    for (const InputLayer& l : layers) out.push_back({l.depth_km, l.thickness_km});
    return out;
}

bool operator==(const Shape& a, const Shape& b) {
    return a.depth_km == b.depth_km && a.thickness_km == b.thickness_km;
}
std::ostream& operator<<(std::ostream& os, const Shape& s) {
    return os << "{" << s.depth_km << " km, " << s.thickness_km << " km}";
}

std::vector<InputLayer> prepared(const std::vector<InputLayer>& layers, double vs_moho_km_s) {
    auto result = build_velocity_model(layers, vs_moho_km_s);
    if (const ModelError* error = std::get_if<ModelError>(&result)) {
        ADD_FAILURE() << "refused: " << display(*error);
        return {};
    }
    return std::get<std::vector<InputLayer>>(std::move(result));
}

TEST(VelocityModelBuild, DepthsCutAndHalfSpace) {
    std::vector<InputLayer> four = three_layers();
    four.push_back(given(5, 2.5));  // slower than the Moho, below the cut
    const struct {
        const char* name;
        std::vector<InputLayer> layers;
        double vs_moho_km_s;
        std::vector<Shape> expected;
    } cases[] = {
        {"single layer", {given(2.5f, 2.0)}, 3.5, {{2.5f, 0}}},
        {"cut at the third layer", three_layers(), 3.5, {{2, 2}, {5, 3}, {5, 0}}},
        {"cut at the second layer drops the rest", three_layers(), 3.0, {{2, 2}, {2, 0}}},
        {"a slower layer after the cut is dropped too", four, 3.0, {{2, 2}, {2, 0}}},
        {"never reached: last layer keeps its bottom", three_layers(), 5.0,
         {{2, 2}, {5, 3}, {9, 0}}},
        {"NaN Moho speed never cuts", three_layers(), nan_d, {{2, 2}, {5, 3}, {9, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(shape_of(prepared(c.layers, c.vs_moho_km_s)), c.expected);
    }
}

TEST(VelocityModelBuild, NaNSpeedNeverReachesTheMoho) {
    const std::vector<InputLayer> layers = {given(2, 2.0), given(3, nan_d), given(4, 4.0)};
    EXPECT_EQ(shape_of(prepared(layers, 3.5)), (std::vector<Shape>{{2, 2}, {5, 3}, {5, 0}}));
}

TEST(VelocityModelBuild, DepthsAreRunning32BitSums) {
    const std::vector<InputLayer> layers = {given(0.1f, 1.0), given(0.2f, 1.5), given(0.3f, 2.0)};
    const std::vector<InputLayer> out = prepared(layers, 9.0);
    EXPECT_EQ(out[1].depth_km, 0.1f + 0.2f);
    EXPECT_EQ(out[2].depth_km, (0.1f + 0.2f) + 0.3f);
}

TEST(VelocityModelBuild, OtherFieldsCopiedAndCallerUnchanged) {
    const std::vector<InputLayer> layers = three_layers();
    const std::vector<InputLayer> before = layers;
    const std::vector<InputLayer> out = prepared(layers, 3.5);
    EXPECT_EQ(layers, before);
    ASSERT_EQ(out.size(), 3u);
    for (std::size_t k = 0; k < out.size(); ++k) {
        EXPECT_EQ(out[k].vp_km_s, layers[k].vp_km_s);
        EXPECT_EQ(out[k].vsh_km_s, layers[k].vsh_km_s);
        EXPECT_EQ(out[k].density_g_cm3, layers[k].density_g_cm3);
        EXPECT_EQ(out[k].attenuation_p, layers[k].attenuation_p);
        EXPECT_EQ(out[k].attenuation_s, layers[k].attenuation_s);
    }
}

TEST(VelocityModelBuild, ErrorsAndTheirTexts) {
    const struct {
        const char* name;
        std::vector<InputLayer> layers;
        double vs_moho_km_s;
        ModelError error;
        const char* text;
    } cases[] = {
        {"no layers", {}, 3.5, ModelError::no_layers(), "velocity model has no layers"},
        {"first layer at the Moho speed", three_layers(), 2.0, ModelError::moho_at_first_layer(2.0),
         "the first layer already reaches vs_moho = 2 km/s, so there is no model above the Moho "
         "to simulate"},
        {"first layer faster", {given(1, 3.0)}, 2.5, ModelError::moho_at_first_layer(2.5),
         "the first layer already reaches vs_moho = 2.5 km/s, so there is no model above the "
         "Moho to simulate"},
        {"tiny Moho speed in positional form", {given(1, 3.0)}, 1e-7,
         ModelError::moho_at_first_layer(1e-7),
         "the first layer already reaches vs_moho = 0.0000001 km/s, so there is no model above "
         "the Moho to simulate"},
        {"infinite first layer", {given(1, std::numeric_limits<double>::infinity())},
         std::numeric_limits<double>::infinity(),
         ModelError::moho_at_first_layer(std::numeric_limits<double>::infinity()),
         "the first layer already reaches vs_moho = inf km/s, so there is no model above the "
         "Moho to simulate"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = build_velocity_model(c.layers, c.vs_moho_km_s);
        ASSERT_TRUE(std::holds_alternative<ModelError>(result));
        EXPECT_EQ(std::get<ModelError>(result), c.error);
        EXPECT_EQ(display(std::get<ModelError>(result)), c.text);
    }
}

// ---- the air layer ----------------------------------------------------------

InputLayer first_layer(float depth_km, double vp_km_s) {
    return {depth_km, depth_km, vp_km_s, 1.0, 2.2, 80.0f, 40.0f};
}

TEST(AirLayer, InsertedOnlyUnderAFirstLayerDeeperThan1mAndFasterThan10mPerS) {
    const struct {
        float depth_km;
        double vp_km_s;
        bool inserted;
    } cases[] = {
        {0.001f, 2.0, false},   // exactly 0.001 in 32 bits
        {0.0005f, 2.0, false},
        {0.002f, 0.01, false},  // exactly 0.01 km/s
        {0.002f, 0.02, true},
        {2.0f, 5.0, true},
        {std::nanf(""), 5.0, false},
        {2.0f, nan_d, false},
        {-1.0f, 5.0, false},
    };
    for (const auto& c : cases) {
        const std::vector<InputLayer> model = {first_layer(c.depth_km, c.vp_km_s),
                                               {6.0f, 0.0f, 6.0, 3.5, 2.8, 500.0f, 250.0f}};
        const std::vector<InputLayer> out = insert_air_layer(model);
        SCOPED_TRACE(testing::Message() << "depth " << c.depth_km << " km, vp " << c.vp_km_s);
        ASSERT_EQ(out.size(), model.size() + (c.inserted ? 1u : 0u));
        // The model's own layers follow unchanged, depths included (compared
        // bit for bit, so a NaN field matches itself).
        EXPECT_EQ(std::memcmp(out.data() + (out.size() - 2), model.data(), 2 * sizeof(InputLayer)), 0);
    }
}

TEST(AirLayer, ValuesOfTheAirLayer) {
    const std::vector<InputLayer> out = insert_air_layer({first_layer(2.0f, 5.0)});
    ASSERT_EQ(out.size(), 2u);
    const InputLayer& air = out[0];
    EXPECT_EQ(air.depth_km, 1e-4f);
    EXPECT_EQ(air.thickness_km, 1e-4f);
    EXPECT_EQ(air.vp_km_s, 0.0010000000474974513);
    EXPECT_EQ(air.vsh_km_s, 0.0005000000237487257);
    EXPECT_EQ(air.density_g_cm3, 0.0010000000474974513);
    EXPECT_EQ(air.attenuation_p, 80.0f);
    EXPECT_EQ(air.attenuation_s, 40.0f);
    EXPECT_EQ(out[1].depth_km, 2.0f);
}

TEST(AirLayer, EmptyModelIsRefused) {
    EXPECT_EQ(testing_support::fault_message([] { insert_air_layer({}); }),
              "cannot insert an air layer into a velocity model with no layers");
}

TEST(WorkingLayer, FromWidensDepthAndThicknessExactly) {
    const InputLayer in{0.1f, 0.3f, 5.5, 3.2, 2.6, 300.0f, 150.0f};
    const state::Layer layer = state::Layer::from(in);
    EXPECT_EQ(layer.depth_km, static_cast<double>(0.1f));
    EXPECT_NE(layer.depth_km, 0.1);
    EXPECT_EQ(layer.thickness_km, static_cast<double>(0.3f));
    EXPECT_EQ(layer.vp_km_s, 5.5);
    EXPECT_EQ(layer.vsh_km_s, 3.2);
    EXPECT_EQ(layer.density_g_cm3, 2.6);
    EXPECT_EQ(layer.attenuation_p, 300.0f);
    EXPECT_EQ(layer.attenuation_s, 150.0f);
}

}  // namespace
}  // namespace kelvane::input
