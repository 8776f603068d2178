// Fault and station geometry on the WGS84 ellipsoid.
//
// Notation: lat0, lon0 the segment origin (middle of the top edge); L, W the
// subfault length along strike and width down dip; x the along-strike position
// of a centre from the origin; dd its down-dip distance from the top edge; h the
// horizontal projection of dd, perpendicular to the strike; ddx, ddy km per
// degree of longitude and of latitude at lat0; s_ and c_ prefixes mean sin and
// cos.
//
// Operation order is deliberate: every 32-bit sum and product is written in the
// order, and with the brackets, that records are reproduced from bit for bit.
// Do not reassociate, fuse or hoist differently.
#include "kelvane/geom.hpp"

#include <GeographicLib/Geodesic.hpp>

#include <cmath>
#include <limits>

#include "kelvane/fault.hpp"
#include "kelvane/format.hpp"

namespace kelvane::geom {
namespace {

// pi rounded to 32 bits.
constexpr float pi_f = 3.1415927f;
// pi/180 rounded to 32 bits: degrees to radians for the stored azimuth.
constexpr float deg_to_rad_f = 0.017453292f;

// The process-wide WGS84 ellipsoid (a = 6378137 m, f = 1/298.257223563).
// GeographicLib keeps it in a function-local static: created once, by whichever
// thread asks first (C++ guarantees the initialisation runs exactly once), and
// only read afterwards, without locking.
const GeographicLib::Geodesic& wgs84() { return GeographicLib::Geodesic::WGS84(); }

// Degrees to radians as (x * pi) / 180 in 32 bits, the form the centre
// placement is reproduced with.
float radians(float degrees) { return (degrees * pi_f) / 180.0f; }

// The length of one degree of latitude at lat0, as the inverse problem from
// (lat0, 0) one degree north. North of 89° that point would lie past the pole,
// where latitudes end (the solver gives NaN), so the degree is measured
// towards the equator instead, from one degree south of lat0 up to lat0: the
// same northward azimuth, and a length within 0.7 m of the northward degree's
// 111.69 km there (the meridian's curvature barely changes near the pole).
DistanceAzimuth degree_of_latitude(float lat0) {
    if (lat0 + 1.0f > 90.0f) return distance_azimuth({lat0 - 1.0f, 0.0f}, {lat0, 0.0f});
    return distance_azimuth({lat0, 0.0f}, {lat0 + 1.0f, 0.0f});
}

// A centre placed past a pole (latitude beyond ±90°, where the solver gives
// NaN) continues over the pole: down the opposite meridian, as far from the
// pole as it was placed beyond it. Every other point is returned unchanged.
GeoPoint over_the_pole(GeoPoint point) {
    if (point.lat_deg > 90.0f) return {180.0f - point.lat_deg, point.lon_deg + 180.0f};
    if (point.lat_deg < -90.0f) return {-180.0f - point.lat_deg, point.lon_deg + 180.0f};
    return point;
}

// Down-dip distance of the centres of row j (from 0) from the top edge, km.
float row_down_dip_km(float width_km, std::size_t j) {
    const float half_width_km = 0.5f * width_km;
    return (static_cast<float>(j) * width_km) + half_width_km;
}

// Depth of a centre dd km down dip from the top edge of a plane dipping with
// sine s_dip, km.
float centre_depth_km(float s_dip, float dd, float top_depth_km) {
    return (s_dip * dd) + top_depth_km;
}

}  // namespace

namespace detail {

DistanceAzimuth from_inverse(double metres, double azimuth_deg) {
    // Fold the solver's [-180, 180] into [0, 360) in 64 bits, then narrow.
    const float shifted =
        static_cast<float>(azimuth_deg < 0.0 ? (azimuth_deg + 360.0) : azimuth_deg);
    // Narrowing rounds everything from 360 - 2^-16 up to 360 itself: a tiny
    // negative azimuth is due north, 0, never 360.
    const float azesdg = shifted >= 360.0f ? 0.0f : shifted;
    // The largest azesdg below 360 gives 6.2831845, still below 2 pi in 32 bits.
    const float azes = azesdg * deg_to_rad_f;
    const float deltkm = static_cast<float>(metres / 1000.0);
    return DistanceAzimuth{deltkm, azes, azesdg};
}

}  // namespace detail

DistanceAzimuth distance_azimuth(GeoPoint event, GeoPoint station) {
    double metres = 0.0;       // s12, m
    double azimuth_deg = 0.0;  // azi1, degrees in [-180, 180]
    double back_azimuth_deg = 0.0;  // azi2, not used
    wgs84().Inverse(static_cast<double>(event.lat_deg), static_cast<double>(event.lon_deg),
                    static_cast<double>(station.lat_deg), static_cast<double>(station.lon_deg),
                    metres, azimuth_deg, back_azimuth_deg);
    return detail::from_inverse(metres, azimuth_deg);
}

SubfaultGeometry subfault_geometry(const FaultPlane& plane, GeoPoint station) {
    const std::size_t n_strike = plane.along_strike_count;
    const std::size_t n_dip = plane.down_dip_count;

    // Grid size: an empty or overflowing grid never reaches the engine.
    KELVANE_CHECK(n_strike >= 1 && n_dip >= 1,
                  format("fault plane grid {}x{} holds no subfaults", n_strike, n_dip));
    KELVANE_CHECK(n_dip <= std::numeric_limits<std::size_t>::max() / n_strike,
                  format("fault plane grid {}x{} overflows the subfault count", n_strike, n_dip));
    const std::size_t n = n_strike * n_dip;
    SubfaultGeometry geometry{n_strike, n_dip, std::vector<SubfaultRay>(n)};

    const float lat0 = plane.origin.lat_deg;
    const float lon0 = plane.origin.lon_deg;
    const float length_km = plane.subfault_length_km;  // L
    const float width_km = plane.subfault_width_km;    // W

    // Degree lengths at lat0, from two inverse problems that ignore lon0.
    const DistanceAzimuth east = distance_azimuth({lat0, 0.0f}, {lat0, 1.0f});
    const DistanceAzimuth north = degree_of_latitude(lat0);

    const float a1 = radians(east.azesdg);
    const float b1 = radians(north.azesdg);
    const float strike = radians(plane.strike_deg);
    const float dip = radians(plane.dip_deg);

    const float ddx = ::sinf(a1) * east.deltkm;   // km per degree of longitude
    const float ddy = ::cosf(b1) * north.deltkm;  // km per degree of latitude

    const float s_dip = ::sinf(dip);
    const float c_dip = ::cosf(dip);
    const float s_strike = ::sinf(strike);
    const float c_strike = ::cosf(strike);

    SubfaultRay* ray = geometry.rays.data();
    for (std::size_t j = 0; j < n_dip; ++j) {
        // Down-dip distance, depth and horizontal offset of this row's centres.
        const float dd = row_down_dip_km(width_km, j);
        const float zm1 = centre_depth_km(s_dip, dd, plane.top_depth_km);
        const float h = dd * c_dip;
        const float h_c_strike = h * c_strike;
        const float h_s_strike = h * s_strike;

        for (std::size_t i = 1; i <= n_strike; ++i, ++ray) {
            // Along-strike position of the centre, from the origin.
            const float x =
                ((static_cast<float>(i) - 0.5f) * length_km) - plane.along_strike_offset_km;
            // Along strike is (east, north) = (sin, cos) of the strike; down dip
            // horizontally is (cos, -sin).
            const float east_km = (x * s_strike) + h_c_strike;
            const float north_km = (x * c_strike) - h_s_strike;
            const GeoPoint centre =
                over_the_pole({(north_km / ddy) + lat0, lon0 + (east_km / ddx)});

            const DistanceAzimuth g = distance_azimuth(centre, station);
            const float dis = g.deltkm;
            ray->slant_km = ::sqrtf((dis * dis) + (zm1 * zm1));
            ray->azimuth_rad = g.azes;
            ray->takeoff_rad = pi_f - ::atan2f(dis, zm1);
            ray->horiz_km = dis;
            ray->depth_km = zm1;
        }
    }
    return geometry;
}

float row_centre_depth_km(const FaultPlane& plane, std::size_t row) {
    const float s_dip = ::sinf(radians(plane.dip_deg));
    return centre_depth_km(s_dip, row_down_dip_km(plane.subfault_width_km, row),
                           plane.top_depth_km);
}

SubfaultRay SubfaultGeometry::at(std::size_t along_strike, std::size_t down_dip) const {
    // Unsigned: a 0 index wraps to the largest value and fails the same test.
    KELVANE_CHECK(along_strike - 1 < along_strike_count && down_dip - 1 < down_dip_count,
                  format("subfault ({},{}) is outside the {}x{} grid", along_strike, down_dip,
                         along_strike_count, down_dip_count));
    return rays[((down_dip - 1) * along_strike_count) + (along_strike - 1)];
}

}  // namespace kelvane::geom
