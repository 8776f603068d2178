// The configuration and slip-model records: deck codes, ray kinds, the
// segment builder and grid, and the slip model's totals.
#include <gtest/gtest.h>

#include "tests/engine/support.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "kelvane/config.hpp"
#include "kelvane/fault.hpp"
#include "kelvane/input.hpp"

namespace kelvane::input {
namespace {

using config::PathDurationModel;
using config::RayKind;
using config::RayType;

constexpr float nan_f = std::numeric_limits<float>::quiet_NaN();
constexpr std::int32_t int_min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t int_max = std::numeric_limits<std::int32_t>::max();

using kelvane::testing_support::fault_message;

// Subfault k of a grid carries slip k + 1, so positions can be read back.
std::vector<Subfault> numbered_subfaults(std::size_t n) {
    std::vector<Subfault> subfaults;
    for (std::size_t k = 0; k < n; ++k) {
        subfaults.push_back({{static_cast<float>(k + 1)}, 1.0f, 2.0f, 30.0f});
    }
    return subfaults;
}

struct Placement {
    std::size_t along_strike = 3;
    std::size_t down_dip = 2;
    float length_km = 2.0f;
    float dip_deg = 30.0f;
    float top_depth_km = 1.0f;
    float hypocentre_down_dip_km = 4.0f;
};

Segment make_segment(const Placement& p, std::vector<Subfault> subfaults) {
    return SegmentBuilder{}
        .fault_lon_deg(-118.5f)
        .fault_lat_deg(34.25f)
        .along_strike_count(p.along_strike)
        .down_dip_count(p.down_dip)
        .subfault_length_km(p.length_km)
        .subfault_width_km(1.5f)
        .strike_deg(120.0f)
        .dip_deg(p.dip_deg)
        .rake_deg(-90.0f)
        .top_depth_km(p.top_depth_km)
        .hypocentre_along_strike_km(7.0f)
        .hypocentre_down_dip_km(p.hypocentre_down_dip_km)
        .subfaults(std::move(subfaults))
        .build();
}

Segment make_segment(const Placement& p) {
    return make_segment(p, numbered_subfaults(p.along_strike * p.down_dip));
}

// ---- deck codes and ray kinds -----------------------------------------------

TEST(ConfigCodes, PathDurationModelFromDeck) {
    using M = PathDurationModel;
    const std::pair<std::int32_t, std::optional<M>> cases[] = {
        {0, M::Vorel2010},      {-1, M::Vorel2010},     {int_min, M::Vorel2010},
        {1, M::Wus},            {2, M::Ena},            {11, M::Tarnel2014Wus},
        {12, M::Tarnel2015Ena}, {3, std::nullopt},      {4, std::nullopt},
        {10, std::nullopt},     {13, std::nullopt},     {int_max, std::nullopt},
    };
    for (const auto& [code, model] : cases) {
        EXPECT_EQ(config::from_deck(code), model) << "deck code " << code;
    }
}

TEST(ConfigCodes, RayKindOfEveryCodeClass) {
    const std::pair<std::int32_t, RayKind> cases[] = {
        {0, RayKind::StraightRay}, {1, RayKind::Upgoing},   {3, RayKind::Upgoing},
        {int_max, RayKind::Upgoing}, {2, RayKind::Downgoing}, {4, RayKind::Downgoing},
        {-1, RayKind::Downgoing},  {-2, RayKind::Downgoing}, {int_min, RayKind::Downgoing},
    };
    for (const auto& [code, kind] : cases) {
        EXPECT_EQ(RayType{code}.kind(), kind) << "ray code " << code;
    }
}

// ---- the segment builder ----------------------------------------------------

template <class B>
constexpr bool can_build = requires(B builder) { std::move(builder).build(); };

template <class B>
constexpr bool can_set_dip = requires(B builder) { std::move(builder).dip_deg(1.0f); };

using AllButSubfaults = decltype(SegmentBuilder{}
                                     .fault_lon_deg(0.0f)
                                     .fault_lat_deg(0.0f)
                                     .along_strike_count(1)
                                     .down_dip_count(1)
                                     .subfault_length_km(1.0f)
                                     .subfault_width_km(1.0f)
                                     .strike_deg(0.0f)
                                     .dip_deg(0.0f)
                                     .rake_deg(0.0f)
                                     .top_depth_km(0.0f)
                                     .hypocentre_along_strike_km(0.0f)
                                     .hypocentre_down_dip_km(0.0f));
using Complete = decltype(std::declval<AllButSubfaults>().subfaults({}));

// An incomplete builder has no `build`, and no setter can be called twice:
// both are refused when the code is compiled.
static_assert(!can_build<SegmentBuilder>);
static_assert(!can_build<decltype(SegmentBuilder{}.fault_lon_deg(0.0f))>);
static_assert(!can_build<AllButSubfaults>);
static_assert(can_build<Complete>);
static_assert(can_set_dip<SegmentBuilder>);
static_assert(!can_set_dip<AllButSubfaults>);
static_assert(!can_set_dip<Complete>);
// Nothing but the builder makes a segment.
static_assert(!std::is_default_constructible_v<Segment>);
static_assert(!std::is_aggregate_v<Segment>);

TEST(SegmentBuild, StoresEveryFieldAndDerivesTheOffset) {
    const Segment s = make_segment({.length_km = 2.5f});
    EXPECT_EQ(s.fault_lon_deg, -118.5f);
    EXPECT_EQ(s.fault_lat_deg, 34.25f);
    EXPECT_EQ(s.along_strike_count, 3u);
    EXPECT_EQ(s.down_dip_count, 2u);
    EXPECT_EQ(s.subfault_length_km, 2.5f);
    EXPECT_EQ(s.subfault_width_km, 1.5f);
    EXPECT_EQ(s.strike_deg, 120.0f);
    EXPECT_EQ(s.dip_deg, 30.0f);
    EXPECT_EQ(s.rake_deg, -90.0f);
    EXPECT_EQ(s.top_depth_km, 1.0f);
    EXPECT_EQ(s.hypocentre_along_strike_km, 7.0f);
    EXPECT_EQ(s.hypocentre_down_dip_km, 4.0f);
    EXPECT_EQ(s.along_strike_offset_km, 1.5f * 2.5f);
    EXPECT_EQ(s.subfaults, numbered_subfaults(6));
    EXPECT_EQ(s.subfault_total(), 6u);
}

TEST(SegmentBuild, OffsetKeepsNaNAndZeroColumns) {
    EXPECT_TRUE(std::isnan(make_segment({.length_km = nan_f}).along_strike_offset_km));
    EXPECT_EQ(make_segment({.along_strike = 0, .down_dip = 4}).along_strike_offset_km, 0.0f);
}

TEST(SegmentBuild, GridOfTheWrongSizeIsRefused) {
    const struct {
        std::size_t along_strike, down_dip, entries;
        const char* message;
    } cases[] = {
        {3, 2, 5, "subfault grid holds 5 entries, expected 3x2"},
        {3, 2, 7, "subfault grid holds 7 entries, expected 3x2"},
        {0, 2, 1, "subfault grid holds 1 entries, expected 0x2"},
        {3, 2, 6, "<no fault>"},
        {0, 0, 0, "<no fault>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fault_message([&] {
                      make_segment({.along_strike = c.along_strike, .down_dip = c.down_dip},
                                   numbered_subfaults(c.entries));
                  }),
                  c.message);
    }
}

TEST(SegmentBuild, OverflowingGridSizeIsRefused) {
    const std::size_t big = std::numeric_limits<std::size_t>::max() / 2 + 1;
    EXPECT_EQ(fault_message([&] { make_segment({.along_strike = big, .down_dip = 2}, {}); }),
              "subfault grid of " + std::to_string(big) + "x2 entries overflows the machine word");
}

// ---- grid positions and walking orders --------------------------------------

TEST(SegmentGrid, IndexOfEachCellAndItsSubfault) {
    const Segment s = make_segment({});
    const struct {
        std::size_t i, j, index;
    } cases[] = {{1, 1, 0}, {3, 1, 2}, {1, 2, 3}, {2, 2, 4}, {3, 2, 5}};
    for (const auto& c : cases) {
        EXPECT_EQ(s.grid_index(c.i, c.j), c.index) << "(" << c.i << "," << c.j << ")";
        EXPECT_EQ(s.at(c.i, c.j).slip.cm, static_cast<float>(c.index + 1));
    }
}

TEST(SegmentGrid, OutsideTheGridIsRefused) {
    const Segment s = make_segment({});
    const struct {
        std::size_t i, j;
        const char* message;
    } cases[] = {
        {4, 1, "subfault (4,1) is outside the 3x2 grid"},
        {0, 1, "subfault (0,1) is outside the 3x2 grid"},
        {1, 0, "subfault (1,0) is outside the 3x2 grid"},
        {1, 3, "subfault (1,3) is outside the 3x2 grid"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fault_message([&] { (void)s.grid_index(c.i, c.j); }), c.message);
        EXPECT_EQ(fault_message([&] { (void)s.at(c.i, c.j); }), c.message);
    }
    const std::size_t huge = std::numeric_limits<std::size_t>::max();
    EXPECT_EQ(fault_message([&] { (void)s.grid_index(huge, 1); }),
              "subfault (" + std::to_string(huge) + ",1) is outside the 3x2 grid");
}

using Pairs = std::vector<std::pair<std::size_t, std::size_t>>;

TEST(SegmentGrid, WalkingOrdersOfA3x2Grid) {
    const Segment s = make_segment({});
    const GridOrder depth = s.depth_major();
    const GridOrder strike = s.strike_major();
    EXPECT_EQ(Pairs(depth.begin(), depth.end()),
              (Pairs{{1, 1}, {2, 1}, {3, 1}, {1, 2}, {2, 2}, {3, 2}}));
    EXPECT_EQ(Pairs(strike.begin(), strike.end()),
              (Pairs{{1, 1}, {1, 2}, {2, 1}, {2, 2}, {3, 1}, {3, 2}}));
    // depth_major is list order.
    std::size_t k = 0;
    for (const auto [i, j] : s.depth_major()) EXPECT_EQ(s.grid_index(i, j), k++);
}

TEST(SegmentGrid, WalkingOrdersOfAnEmptyGridAreEmpty) {
    const Segment s = make_segment({.along_strike = 0, .down_dip = 3});
    EXPECT_EQ(s.depth_major().begin(), s.depth_major().end());
    EXPECT_EQ(s.strike_major().begin(), s.strike_major().end());
}

TEST(SegmentGrid, DepthRowsTopRowFirst) {
    const Segment s = make_segment({});
    std::vector<std::vector<float>> rows;
    for (const std::span<const Subfault> row : s.depth_rows()) {
        std::vector<float> slips;
        for (const Subfault& f : row) slips.push_back(f.slip.cm);
        rows.push_back(slips);
    }
    EXPECT_EQ(rows, (std::vector<std::vector<float>>{{1, 2, 3}, {4, 5, 6}}));
    EXPECT_EQ(s.depth_rows().size(), 2u);
    EXPECT_EQ(s.depth_rows()[1][0].slip.cm, 4.0f);

    const Segment one_column = make_segment({.along_strike = 1, .down_dip = 3});
    EXPECT_EQ(one_column.depth_rows().size(), 3u);
}

TEST(SegmentGrid, DepthRowsWithoutColumnsIsRefused) {
    const Segment s = make_segment({.along_strike = 0, .down_dip = 2});
    EXPECT_EQ(fault_message([&] { (void)s.depth_rows(); }),
              "segment has no subfault columns along strike, so it has no depth rows");
}

// An owner that shrinks a segment's list cannot make the engine read past it.
TEST(SegmentGrid, ShrunkListIsNeverReadPast) {
    Segment s = make_segment({});
    s.subfaults.pop_back();
    EXPECT_EQ(s.depth_rows().size(), 1u);
    EXPECT_EQ(fault_message([&] { (void)s.at(3, 2); }),
              "subfault list of 5 entries is shorter than its 3x2 grid");
}

// ---- the slip model ---------------------------------------------------------

TEST(StochModelCreate, CountsSubfaultsOverSegments) {
    std::vector<Segment> segments;
    segments.push_back(make_segment({.along_strike = 4, .down_dip = 5}));
    segments.push_back(make_segment({.along_strike = 2, .down_dip = 3}));
    const StochModel model = StochModel::create(segments);
    EXPECT_EQ(model.subfault_count, 26u);
    ASSERT_EQ(model.segments.size(), 2u);
    EXPECT_EQ(model.segments[0].subfaults, segments[0].subfaults);
    EXPECT_EQ(model.segments[1].along_strike_count, 2u);
    EXPECT_EQ(StochModel::create({}).subfault_count, 0u);
}

TEST(StochModelCreate, DeepestHypocentre) {
    const float deg = 0.017453292f;
    const struct {
        const char* name;
        std::vector<Placement> placements;
        float expected_km;
    } cases[] = {
        {"one segment", {{.dip_deg = 30.0f, .top_depth_km = 1.0f, .hypocentre_down_dip_km = 4.0f}},
         (std::sin(30.0f * deg) * 4.0f) + 1.0f},
        {"deepest of two",
         {{.dip_deg = 90.0f, .top_depth_km = 2.0f, .hypocentre_down_dip_km = 3.0f},
          {.dip_deg = 90.0f, .top_depth_km = 6.0f, .hypocentre_down_dip_km = 3.0f}},
         (std::sin(90.0f * deg) * 3.0f) + 6.0f},
        {"all above the surface", {{.dip_deg = 0.0f, .top_depth_km = -3.0f}}, 0.0f},
        {"NaN dip", {{.dip_deg = nan_f, .top_depth_km = 5.0f}}, 0.0f},
        {"NaN does not replace a depth",
         {{.dip_deg = 0.0f, .top_depth_km = 4.0f}, {.dip_deg = nan_f, .top_depth_km = 9.0f}},
         4.0f},
        {"no segments", {}, 0.0f},
    };
    for (const auto& c : cases) {
        std::vector<Segment> segments;
        for (const Placement& p : c.placements) segments.push_back(make_segment(p));
        EXPECT_EQ(StochModel::create(std::move(segments)).max_hypocentre_depth_km, c.expected_km)
            << c.name;
    }
}

TEST(StochModelCreate, OverflowingSubfaultCountIsRefused) {
    // Only an owner that rewrote a built segment's counts can reach this.
    Segment huge = make_segment({.along_strike = 1, .down_dip = 1});
    huge.along_strike_count = std::numeric_limits<std::size_t>::max();
    std::vector<Segment> segments = {make_segment({}), huge};
    EXPECT_EQ(fault_message([&] { StochModel::create(segments); }),
              "subfault count of the slip model overflows the machine word");
}

}  // namespace
}  // namespace kelvane::input
