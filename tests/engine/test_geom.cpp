// Subfault-to-station geometry on WGS84: centre placement, the inverse
// geodesic problem and its azimuth wrap, grid order and the grid fault.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <latch>
#include <limits>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "kelvane/fault.hpp"
#include "kelvane/geom.hpp"
#include "tests/engine/pinned.hpp"
#include "tests/engine/support.hpp"

namespace kelvane::geom {
namespace {

using kelvane::testing_support::fault_message;
namespace pins = kelvane::testing_support;

constexpr float pi_f = 3.1415927f;  // pi rounded to 32 bits
constexpr double pi = 3.14159265358979323846;

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

bool same_bits(const SubfaultRay& a, const SubfaultRay& b) {
    return bits(a.slant_km) == bits(b.slant_km) && bits(a.azimuth_rad) == bits(b.azimuth_rad) &&
           bits(a.takeoff_rad) == bits(b.takeoff_rad) && bits(a.horiz_km) == bits(b.horiz_km) &&
           bits(a.depth_km) == bits(b.depth_km);
}

// Half a unit in the last place of a 32-bit value near `x`: the most that
// narrowing a 64-bit result to 32 bits can move it.
double half_ulp(double x) {
    const float f = static_cast<float>(x);
    return 0.5 * static_cast<double>(std::nextafter(f, std::numeric_limits<float>::infinity()) - f);
}

// A segment of 4 x 3 subfaults, 3.1 km by 2.3 km, striking 35.7 and dipping
// 61.3, top edge at 1.7 km: sizes and angles whose products are not exact, so
// a changed operation order shows. The same values as DIPPING in
// geodesic_reference.py.
FaultPlane dipping_plane() {
    FaultPlane p{};
    p.origin = {34.05f, -118.25f};
    p.strike_deg = 35.7f;
    p.dip_deg = 61.3f;
    p.top_depth_km = 1.7f;
    p.along_strike_count = 4;
    p.down_dip_count = 3;
    p.subfault_length_km = 3.1f;
    p.subfault_width_km = 2.3f;
    p.along_strike_offset_km = (4.0f * 0.5f) * 3.1f;
    return p;
}

// A flat segment of 3 x 2 subfaults striking north (FLAT_NORTH in
// geodesic_reference.py).
FaultPlane flat_north_plane() {
    FaultPlane p{};
    p.origin = {-12.5f, 170.25f};
    p.strike_deg = 0.0f;
    p.dip_deg = 0.0f;
    p.top_depth_km = 3.0f;
    p.along_strike_count = 3;
    p.down_dip_count = 2;
    p.subfault_length_km = 2.1f;
    p.subfault_width_km = 1.7f;
    p.along_strike_offset_km = (3.0f * 0.5f) * 2.1f;
    return p;
}

struct ReferenceRay {
    std::size_t i, j;
    float depth_km;
    double horiz_km, azimuth_rad, slant_km, takeoff_rad;
};

// From geodesic_reference.py: centres placed with the same 32-bit operations,
// distances and azimuths from Python's geographiclib, in 64 bits.
constexpr GeoPoint reference_station{34.29999923706055f, -117.94999694824219f};
const ReferenceRay reference_rays[] = {
    {1, 1, 2.7087182998657227f, 43.688854874354, 0.753008147009, 43.772744888348, 1.632717278854},
    {2, 1, 2.7087182998657227f, 40.616798261761, 0.763081947073, 40.707019736953, 1.637387329025},
    {3, 1, 2.7087182998657227f, 37.549777109678, 0.774796730182, 37.647349386305, 1.642808324288},
    {4, 1, 2.7087182998657227f, 34.489061574812, 0.788586319754, 34.595267351752, 1.649173914056},
    {1, 2, 4.726154327392578f, 43.559271051371, 0.727956165809, 43.814913320160, 1.678872942867},
    {2, 2, 4.726154327392578f, 40.477358806164, 0.736156143459, 40.752338713862, 1.687030469304},
    {3, 2, 4.726154327392578f, 37.398862833171, 0.745700955430, 37.696305865969, 1.696501596119},
    {4, 2, 4.726154327392578f, 34.324628738048, 0.756950222430, 34.648472877331, 1.707625850220},
    {1, 3, 6.743590354919434f, 43.457242597264, 0.702769329251, 43.977357185629, 1.724746049810},
    {2, 3, 6.743590354919434f, 40.367519843711, 0.709062605406, 40.926918638072, 1.736322681529},
    {3, 3, 6.743590354919434f, 37.279913508915, 0.716392946596, 37.884930541142, 1.749751896145},
    {4, 3, 6.743590354919434f, 34.194923012554, 0.725040191066, 34.853533116593, 1.765508030528},
};

TEST(GeomReference, DippingSegmentMatchesIndependentGeodesics) {
    const SubfaultGeometry g = subfault_geometry(dipping_plane(), reference_station);
    ASSERT_EQ(g.along_strike_count, 4u);
    ASSERT_EQ(g.down_dip_count, 3u);
    ASSERT_EQ(g.rays.size(), 12u);
    for (const ReferenceRay& r : reference_rays) {
        SCOPED_TRACE(testing::Message() << "subfault (" << r.i << "," << r.j << ")");
        const SubfaultRay ray = g.at(r.i, r.j);
        // The depth is pure 32-bit arithmetic: exact.
        EXPECT_EQ(bits(ray.depth_km), bits(r.depth_km));
        // Within 1 mm of the 64-bit geodesic, besides narrowing to 32 bits. A
        // centre one unit off in its last place would move the distance by
        // tens of centimetres.
        EXPECT_NEAR(static_cast<double>(ray.horiz_km), r.horiz_km, 1e-6 + half_ulp(r.horiz_km));
        // The slant distance is formed from the narrowed distance in 32 bits
        // (two squares, a sum, a square root): allow two units in the last place.
        EXPECT_NEAR(static_cast<double>(ray.slant_km), r.slant_km,
                    1e-6 + 4.0 * half_ulp(r.slant_km));
        EXPECT_NEAR(static_cast<double>(ray.azimuth_rad), r.azimuth_rad, 1e-6);
        EXPECT_NEAR(static_cast<double>(ray.takeoff_rad), r.takeoff_rad, 1e-6);
    }
}

// From geodesic_reference.py: the same rays as the engine stores them, in grid
// order, each value formed with the engine's 32-bit operations from the
// independent geodesic. Records reproduce only if these match bit for bit.
const SubfaultRay exact_rays[] = {
    {43.772743225097656f, 0.7530081272125244f, 1.6327173709869385f, 43.6888542175293f, 2.7087182998657227f},
    {40.7070198059082f, 0.7630819082260132f, 1.6373873949050903f, 40.616798400878906f, 2.7087182998657227f},
    {37.6473503112793f, 0.774796724319458f, 1.642808437347412f, 37.54977798461914f, 2.7087182998657227f},
    {34.59526824951172f, 0.7885863184928894f, 1.6491739749908447f, 34.48906326293945f, 2.7087182998657227f},
    {43.81491470336914f, 0.7279561758041382f, 1.678873062133789f, 43.55927276611328f, 4.726154327392578f},
    {40.75233840942383f, 0.7361561059951782f, 1.687030553817749f, 40.477359771728516f, 4.726154327392578f},
    {37.69630432128906f, 0.7457009553909302f, 1.6965017318725586f, 37.398860931396484f, 4.726154327392578f},
    {34.64847183227539f, 0.7569501996040344f, 1.7076259851455688f, 34.32462692260742f, 4.726154327392578f},
    {43.97735595703125f, 0.7027693390846252f, 1.7247461080551147f, 43.45724105834961f, 6.743590354919434f},
    {40.926918029785156f, 0.7090625762939453f, 1.7363227605819702f, 40.36751937866211f, 6.743590354919434f},
    {37.88492965698242f, 0.7163929343223572f, 1.7497519254684448f, 37.27991485595703f, 6.743590354919434f},
    {34.85353469848633f, 0.7250401973724365f, 1.7655080556869507f, 34.194923400878906f, 6.743590354919434f},
};

// The five fields of each ray, in declaration order, ray after ray.
std::vector<float> fields_of(std::span<const SubfaultRay> rays) {
    std::vector<float> fields;
    for (const SubfaultRay& ray : rays) {
        fields.insert(fields.end(),
                      {ray.slant_km, ray.azimuth_rad, ray.takeoff_rad, ray.horiz_km, ray.depth_km});
    }
    return fields;
}

const char* const field_names[] = {"slant_km", "azimuth_rad", "takeoff_rad", "horiz_km",
                                   "depth_km"};

// Off the pinned platform every ray field must lie within this many units in
// the last place of the pinned one. The geodesic solver's 64-bit distance and
// azimuth move by far less than a 32-bit unit, so narrowing moves them by one
// at most; atan2f, sqrtf of a sum of squares and the radian conversion add one
// each. A centre placed one unit off in a coordinate moves the distances to it
// by tens of centimetres, some hundred units at 40 km: far outside.
constexpr std::int64_t ray_ulp_bound = 4;

// On the pinned platform `got` equals `want` bit for bit; elsewhere each field
// lies within `ray_ulp_bound` of it, and the largest distance is printed as `label`.
void expect_pinned_rays(std::span<const SubfaultRay> got, std::span<const float> want,
                        const std::string& label) {
    pins::UlpCheck check(pins::announce_platform(), ray_ulp_bound);
    const std::vector<float> fields = fields_of(got);
    ASSERT_EQ(fields.size(), want.size());
    for (std::size_t n = 0; n < fields.size(); ++n) {
        check.expect(fields[n], want[n],
                     "ray " + std::to_string(n / 5) + " " + field_names[n % 5]);
    }
    check.report(label);
}

TEST(GeomReference, DippingSegmentRaysAreBitForBit) {
    const SubfaultGeometry g = subfault_geometry(dipping_plane(), reference_station);
    ASSERT_EQ(g.rays.size(), std::size(exact_rays));
    expect_pinned_rays(g.rays, fields_of(exact_rays), "dipping_segment_rays");
}

// The hash of the bit patterns of every ray field, in order.
std::uint64_t fnv1a(std::span<const SubfaultRay> rays) {
    return pins::bit_hash(fields_of(rays));
}

// A 16 x 8 gently dipping grid striking south-west, in the southern and
// western hemispheres (LARGE in geodesic_reference.py): with 128 centres a
// changed operation order almost surely moves one across a rounding boundary.
// The hash comes from the script; `--dump` there lists the rays themselves,
// and large_segment_rays.f32 stores them (the five fields of each ray in
// declaration order, ray after ray, written by this test in the generator
// mode of pinned.hpp or by the script's --write), for the other platforms.
TEST(GeomReference, LargeSegmentRaysAreBitForBit) {
    constexpr std::uint64_t pinned_hash = 0xc0695419708bef99u;
    FaultPlane p{};
    p.origin = {-33.45f, -70.66f};
    p.strike_deg = 247.3f;
    p.dip_deg = 23.8f;
    p.top_depth_km = 0.9f;
    p.along_strike_count = 16;
    p.down_dip_count = 8;
    p.subfault_length_km = 1.37f;
    p.subfault_width_km = 1.13f;
    p.along_strike_offset_km = (16.0f * 0.5f) * 1.37f;
    const SubfaultGeometry g = subfault_geometry(p, {-33.61f, -70.43f});
    ASSERT_EQ(g.rays.size(), 128u);
    const bool pinned = pins::on_pinned_platform();
    if (pinned) {
        EXPECT_EQ(fnv1a(g.rays), pinned_hash);
    }
    if (pins::writing_pinned_values()) {
        if (!pinned || fnv1a(g.rays) != pinned_hash) {
            ADD_FAILURE() << "the large segment's rays are stored on the pinned platform, "
                             "from rays that give the pinned hash, only";
        } else {
            pins::write_stored("large_segment_rays.f32", fields_of(g.rays));
        }
    }

    const std::vector<float> stored = pins::read_stored("large_segment_rays.f32");
    ASSERT_EQ(stored.size(), 5u * 128u);
    EXPECT_EQ(pins::bit_hash(stored), pinned_hash) << "stored rays";
    expect_pinned_rays(g.rays, stored, "large_segment_rays");
}

struct Centre {
    std::size_t i, j;
    GeoPoint at;
    float depth_km;
};

// From geodesic_reference.py: the centres of both segments, bit for bit.
const Centre dipping_centres[] = {
    {1, 1, {34.01305389404297f, -118.27452850341797f}, 2.7087182998657227f},
    {2, 1, {34.03574752807617f, -118.25493621826172f}, 2.7087182998657227f},
    {3, 1, {34.058441162109375f, -118.23534393310547f}, 2.7087182998657227f},
    {4, 1, {34.08113479614258f, -118.21575164794922f}, 2.7087182998657227f},
    {1, 2, {34.00724411010742f, -118.26481628417969f}, 4.726154327392578f},
    {2, 2, {34.029937744140625f, -118.24522399902344f}, 4.726154327392578f},
    {3, 2, {34.05263137817383f, -118.22563171386719f}, 4.726154327392578f},
    {4, 2, {34.07532501220703f, -118.20603942871094f}, 4.726154327392578f},
    {1, 3, {34.001434326171875f, -118.2551040649414f}, 6.743590354919434f},
    {2, 3, {34.02412796020508f, -118.23551177978516f}, 6.743590354919434f},
    {3, 3, {34.04682159423828f, -118.2159194946289f}, 6.743590354919434f},
    {4, 3, {34.069515228271484f, -118.19632720947266f}, 6.743590354919434f},
};
const Centre flat_north_centres[] = {
    {1, 1, {-12.518983840942383f, 170.2578125f}, 3.0f},
    {2, 1, {-12.5f, 170.2578125f}, 3.0f},
    {3, 1, {-12.481016159057617f, 170.2578125f}, 3.0f},
    {1, 2, {-12.518983840942383f, 170.27345275878906f}, 3.0f},
    {2, 2, {-12.5f, 170.27345275878906f}, 3.0f},
    {3, 2, {-12.481016159057617f, 170.27345275878906f}, 3.0f},
};

// A station exactly above a centre sees it at distance 0, straight down: this
// holds only if the centre is placed bit for bit.
void expect_station_above_each(const FaultPlane& plane, std::span<const Centre> centres) {
    for (const Centre& c : centres) {
        SCOPED_TRACE(testing::Message() << "subfault (" << c.i << "," << c.j << ")");
        const SubfaultRay ray = subfault_geometry(plane, c.at).at(c.i, c.j);
        EXPECT_EQ(ray.horiz_km, 0.0f);
        EXPECT_EQ(bits(ray.depth_km), bits(c.depth_km));
        EXPECT_EQ(ray.slant_km, ray.depth_km);
        EXPECT_EQ(ray.takeoff_rad, pi_f);
    }
}

TEST(GeomCentres, StationStraightAboveACentre) {
    expect_station_above_each(dipping_plane(), dipping_centres);
}

TEST(GeomCentres, FlatNorthStrikingSegmentPlacesCentresNorthAndEast) {
    const FaultPlane plane = flat_north_plane();
    expect_station_above_each(plane, flat_north_centres);

    // From the station above (1,1): the next centre along strike is L = 2.1 km
    // north (seen from it, the station is due south), the next down dip is
    // W = 1.7 km east (the station is due west); every centre is at the top.
    const SubfaultGeometry g = subfault_geometry(plane, flat_north_centres[0].at);
    for (const SubfaultRay& ray : g.rays) EXPECT_EQ(ray.depth_km, 3.0f);
    EXPECT_NEAR(g.at(2, 1).horiz_km, 2.1f, 2e-3f);
    EXPECT_NEAR(g.at(2, 1).azimuth_rad, pi_f, 1e-4f);
    EXPECT_NEAR(g.at(1, 2).horiz_km, 1.7f, 2e-3f);
    EXPECT_NEAR(g.at(1, 2).azimuth_rad, 1.5f * pi_f, 1e-4f);
}

struct SingleCase {
    float strike_deg, dip_deg;
};

// A 1 x 1 segment's only centre lies on the origin along strike (x = 0) and
// W / 2 down dip: from it the origin is (W / 2) cos(dip) away horizontally,
// back up dip (azimuth strike - 90), and the centre is (W / 2) sin(dip) below
// the top edge.
TEST(GeomCentres, SingleSubfaultSitsHalfAWidthDownDipOfTheOrigin) {
    const SingleCase cases[] = {{0.0f, 0.0f}, {90.0f, 30.0f}, {200.0f, 45.0f},
                                {335.0f, 80.0f}, {35.0f, 90.0f}};
    for (const SingleCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "strike " << c.strike_deg << " dip " << c.dip_deg);
        FaultPlane p{};
        p.origin = {47.25f, 8.5f};
        p.strike_deg = c.strike_deg;
        p.dip_deg = c.dip_deg;
        p.top_depth_km = 2.0f;
        p.along_strike_count = 1;
        p.down_dip_count = 1;
        p.subfault_length_km = 5.0f;
        p.subfault_width_km = 4.0f;
        p.along_strike_offset_km = 2.5f;
        const SubfaultGeometry g = subfault_geometry(p, p.origin);
        ASSERT_EQ(g.rays.size(), 1u);
        const SubfaultRay ray = g.at(1, 1);

        const double dip = static_cast<double>(c.dip_deg) * pi / 180.0;
        const double horiz = 2.0 * std::cos(dip);
        EXPECT_NEAR(static_cast<double>(ray.horiz_km), std::abs(horiz), 1e-3 * 2.0 + 1e-6);
        EXPECT_NEAR(static_cast<double>(ray.depth_km), 2.0 + 2.0 * std::sin(dip), 1e-6);
        if (horiz > 1e-3) {
            const double back_up_dip =
                std::fmod(static_cast<double>(c.strike_deg) + 270.0, 360.0) * pi / 180.0;
            EXPECT_NEAR(static_cast<double>(ray.azimuth_rad), back_up_dip, 1e-3);
        }
    }
}

TEST(GeomCentres, GridOrderIsShallowRowFirstAlongStrikeWithin) {
    // 3 along strike, 2 down dip, striking north and dipping 60: the rows
    // differ in depth, the columns step north, so a station far to the south
    // sees each row's distances increase with i.
    FaultPlane p = flat_north_plane();
    p.dip_deg = 60.0f;
    const SubfaultGeometry g = subfault_geometry(p, {-13.5f, 170.25f});
    ASSERT_EQ(g.rays.size(), 6u);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(g.rays[k].depth_km, g.rays[0].depth_km) << k;
        EXPECT_EQ(g.rays[k + 3].depth_km, g.rays[3].depth_km) << k;
    }
    EXPECT_GT(g.rays[3].depth_km, g.rays[0].depth_km);
    EXPECT_LT(g.rays[0].horiz_km, g.rays[1].horiz_km);
    EXPECT_LT(g.rays[1].horiz_km, g.rays[2].horiz_km);
    EXPECT_LT(g.rays[3].horiz_km, g.rays[4].horiz_km);
    EXPECT_LT(g.rays[4].horiz_km, g.rays[5].horiz_km);
    // at(2, 2) is position 4 (from 0), and at reads every position once.
    EXPECT_TRUE(same_bits(g.at(2, 2), g.rays[4]));
    EXPECT_TRUE(same_bits(g.at(3, 1), g.rays[2]));
    EXPECT_TRUE(same_bits(g.at(1, 2), g.rays[3]));
}

struct OutsideCase {
    std::size_t along_strike, down_dip;
    const char* message;
};

TEST(GeomGrid, AtOutsideTheGridFaultsWithTheGridMessage) {
    const SubfaultGeometry g = subfault_geometry(flat_north_plane(), {-12.0f, 170.0f});
    const OutsideCase cases[] = {
        {0, 1, "subfault (0,1) is outside the 3x2 grid"},
        {4, 1, "subfault (4,1) is outside the 3x2 grid"},
        {1, 3, "subfault (1,3) is outside the 3x2 grid"},
        {1, 0, "subfault (1,0) is outside the 3x2 grid"},
        {0, 0, "subfault (0,0) is outside the 3x2 grid"},
        {std::numeric_limits<std::size_t>::max(), 1,
         "subfault (18446744073709551615,1) is outside the 3x2 grid"},
    };
    for (const OutsideCase& c : cases) {
        EXPECT_EQ(fault_message([&] { (void)g.at(c.along_strike, c.down_dip); }), c.message);
    }
}

struct BadGridCase {
    std::size_t along_strike_count, down_dip_count;
    const char* message;
};

TEST(GeomGrid, EmptyOrOverflowingGridIsABrokenInvariant) {
    constexpr std::size_t big = (std::numeric_limits<std::size_t>::max() / 2) + 1;
    const BadGridCase cases[] = {
        {0, 2, "fault plane grid 0x2 holds no subfaults"},
        {3, 0, "fault plane grid 3x0 holds no subfaults"},
        {big, 2, "fault plane grid 9223372036854775808x2 overflows the subfault count"},
    };
    for (const BadGridCase& c : cases) {
        FaultPlane p = flat_north_plane();
        p.along_strike_count = c.along_strike_count;
        p.down_dip_count = c.down_dip_count;
        EXPECT_EQ(fault_message([&] { (void)subfault_geometry(p, {-12.0f, 170.0f}); }), c.message);
    }
}

struct WrapCase {
    double azimuth_deg;
    float azesdg;
};

TEST(GeomAzimuth, SolverAzimuthFoldsIntoZeroTo360) {
    constexpr float largest_below_360 = 359.99997f;  // 360 - 2^-15
    const WrapCase cases[] = {
        {-1e-9, 0.0f},                     // rounds to 360: due north
        {-0x1p-16, 0.0f},                  // the tie rounds to 360 as well
        {-0x1p-16 - 0x1p-40, largest_below_360},
        {-180.0, 180.0f},
        {180.0, 180.0f},
        {0.0, 0.0f},
        {90.0, 90.0f},
        {-90.0, 270.0f},
    };
    for (const WrapCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "azi1 " << c.azimuth_deg);
        const DistanceAzimuth d = detail::from_inverse(1234.5, c.azimuth_deg);
        EXPECT_EQ(bits(d.azesdg), bits(c.azesdg));
        EXPECT_EQ(bits(d.azes), bits(c.azesdg * 0.017453292f));
        EXPECT_GE(d.azes, 0.0f);
        EXPECT_LT(d.azes, 2.0f * pi_f);
        EXPECT_EQ(d.deltkm, static_cast<float>(1.2345));
    }
}

TEST(GeomAzimuth, TinyWestwardOffsetFromNorthGivesZeroNot360) {
    // The solver's azimuth here is about -5.7e-8 degrees.
    const DistanceAzimuth d = distance_azimuth({10.0f, 0.0f}, {11.0f, -1e-9f});
    EXPECT_EQ(d.azesdg, 0.0f);
    EXPECT_EQ(d.azes, 0.0f);
    EXPECT_NEAR(d.deltkm, 110.611187f, 1e-4f);
}

TEST(GeomAzimuth, DistanceAndAzimuthOfKnownDirections) {
    // One degree due east along the equator is an arc of the equator.
    const DistanceAzimuth east = distance_azimuth({0.0f, 0.0f}, {0.0f, 1.0f});
    EXPECT_NEAR(static_cast<double>(east.deltkm), 6378.137 * pi / 180.0, 1e-4);
    EXPECT_EQ(east.azesdg, 90.0f);
    // From the north point the way is due south.
    const DistanceAzimuth south = distance_azimuth({11.0f, 20.0f}, {10.0f, 20.0f});
    EXPECT_EQ(south.azesdg, 180.0f);
    EXPECT_EQ(south.azes, 180.0f * 0.017453292f);
}

TEST(GeomAzimuth, DistantStationLeavesJustAboveHorizontal) {
    const SubfaultGeometry g = subfault_geometry(dipping_plane(), {-40.0f, 60.0f});
    for (const SubfaultRay& ray : g.rays) {
        EXPECT_GT(ray.horiz_km, 10000.0f);
        EXPECT_GT(ray.takeoff_rad, 0.5f * pi_f);
        EXPECT_LT(ray.takeoff_rad, 0.5f * pi_f + 1e-3f);
    }
}

TEST(GeomAzimuth, NaNInputsFlowIntoTheRaysWithoutFaulting) {
    const SubfaultGeometry at_nan =
        subfault_geometry(dipping_plane(), {std::numeric_limits<float>::quiet_NaN(), 10.0f});
    for (const SubfaultRay& ray : at_nan.rays) {
        EXPECT_TRUE(std::isnan(ray.horiz_km));
        EXPECT_TRUE(std::isnan(ray.azimuth_rad));
        EXPECT_TRUE(std::isnan(ray.slant_km));
        EXPECT_FALSE(std::isnan(ray.depth_km));
    }
    FaultPlane p = dipping_plane();
    p.dip_deg = std::numeric_limits<float>::quiet_NaN();
    for (const SubfaultRay& ray : subfault_geometry(p, reference_station).rays) {
        EXPECT_TRUE(std::isnan(ray.depth_km));
        EXPECT_TRUE(std::isnan(ray.takeoff_rad));
    }
}

// A north-striking segment of `count` 2 km subfaults along strike and one
// 2 km row down dip, its top edge at 3 km, its origin at `lat_deg`, 0. Dipping
// 90° its centres lie on the origin's meridian; flat, 1 km east of it.
FaultPlane north_row(float lat_deg, std::size_t count, float dip_deg) {
    FaultPlane p{};
    p.origin = {lat_deg, 0.0f};
    p.strike_deg = 0.0f;
    p.dip_deg = dip_deg;
    p.top_depth_km = 3.0f;
    p.along_strike_count = count;
    p.down_dip_count = 1;
    p.subfault_length_km = 2.0f;
    p.subfault_width_km = 2.0f;
    p.along_strike_offset_km = (static_cast<float>(count) * 0.5f) * 2.0f;
    return p;
}

// North of 89° the degree of latitude one degree north of the origin would
// end past the pole; it is measured towards the equator instead, and the
// centres of a segment lie along it as they do further south: seen from the
// origin, 4 and 2 km south, at the origin, 2 and 4 km north, to a few metres.
TEST(GeomPoles, FaultsNorthOf89DegreesPlaceTheirCentresLikeFaultsFurtherSouth) {
    for (const float lat_deg : {88.9f, 89.0f, 89.1f, 89.5f, 89.9f, 89.99f}) {
        SCOPED_TRACE(testing::Message() << "origin at " << lat_deg << " N");
        const FaultPlane plane = north_row(lat_deg, 5, 90.0f);
        const SubfaultGeometry g = subfault_geometry(plane, plane.origin);
        for (std::size_t i = 0; i < g.rays.size(); ++i) {
            const double x = 2.0 * static_cast<double>(i) - 4.0;
            const SubfaultRay& ray = g.rays[i];
            EXPECT_NEAR(static_cast<double>(ray.horiz_km), std::abs(x), 0.005) << "centre " << i;
            EXPECT_EQ(ray.depth_km, 4.0f);
            EXPECT_TRUE(std::isfinite(ray.azimuth_rad) && std::isfinite(ray.slant_km) &&
                        std::isfinite(ray.takeoff_rad));
        }
    }
    // A flat segment's centres 1 km east of the origin are finite too.
    for (const SubfaultRay& ray : subfault_geometry(north_row(89.9f, 5, 0.0f), {89.9f, 0.0f}).rays) {
        EXPECT_TRUE(std::isfinite(ray.horiz_km) && std::isfinite(ray.azimuth_rad));
    }
}

// A segment that reaches past the pole continues over it, down the opposite
// meridian: every centre's distance from a station on the pole is its
// distance along the segment from the pole.
TEST(GeomPoles, ASegmentReachingPastThePoleContinuesOverIt) {
    // Origin 0.05° (5.58 km) south of the pole; ten 2 km subfaults along
    // strike, their centres from 9 km south to 9 km north of the origin.
    const FaultPlane plane = north_row(89.95f, 10, 90.0f);
    const GeoPoint pole{90.0f, 0.0f};
    const double origin_to_pole_km =
        static_cast<double>(distance_azimuth(plane.origin, pole).deltkm);
    const SubfaultGeometry g = subfault_geometry(plane, pole);
    for (std::size_t i = 0; i < g.rays.size(); ++i) {
        SCOPED_TRACE(i);
        const double x = 2.0 * static_cast<double>(i) - 9.0;
        EXPECT_NEAR(static_cast<double>(g.rays[i].horiz_km), std::abs(origin_to_pole_km - x),
                    0.01);
        EXPECT_TRUE(std::isfinite(g.rays[i].azimuth_rad));
    }
}

// At a pole itself a degree of longitude has no length: the east offsets of
// the centres cannot be turned into longitudes, and the rays are NaN.
TEST(GeomPoles, ASegmentWhoseOriginIsOnAPoleHasNaNRays) {
    for (const float lat_deg : {90.0f, -90.0f}) {
        const FaultPlane plane = north_row(lat_deg, 3, 0.0f);
        for (const SubfaultRay& ray : subfault_geometry(plane, {lat_deg - 0.5f, 10.0f}).rays) {
            EXPECT_TRUE(std::isnan(ray.horiz_km));
        }
    }
}

TEST(GeomThreads, ConcurrentCallsGiveIdenticalRays) {
    // A ring of stations around the dipping segment, computed once here and
    // then by several threads at the same time.
    std::vector<GeoPoint> stations;
    for (int k = 0; k < 24; ++k) {
        const float angle = static_cast<float>(k) * (pi_f / 12.0f);
        stations.push_back({34.05f + 0.4f * ::cosf(angle), -118.25f + 0.5f * ::sinf(angle)});
    }
    const FaultPlane plane = dipping_plane();
    std::vector<SubfaultGeometry> expected;
    for (const GeoPoint& s : stations) expected.push_back(subfault_geometry(plane, s));

    constexpr int thread_count = 8;
    std::vector<std::vector<SubfaultGeometry>> results(thread_count);
    std::latch start(thread_count);
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int pass = 0; pass < 5; ++pass) {
                results[static_cast<std::size_t>(t)].clear();
                for (const GeoPoint& s : stations)
                    results[static_cast<std::size_t>(t)].push_back(subfault_geometry(plane, s));
            }
        });
    }
    for (std::thread& th : threads) th.join();

    for (int t = 0; t < thread_count; ++t) {
        const auto& got = results[static_cast<std::size_t>(t)];
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t s = 0; s < expected.size(); ++s) {
            ASSERT_EQ(got[s].rays.size(), expected[s].rays.size());
            for (std::size_t k = 0; k < expected[s].rays.size(); ++k)
                EXPECT_TRUE(same_bits(got[s].rays[k], expected[s].rays[k]))
                    << "thread " << t << " station " << s << " ray " << k;
        }
    }
}

}  // namespace
}  // namespace kelvane::geom
