// Fault and station geometry on the WGS84 ellipsoid.
//
// For one station and one planar fault segment this module places the centre
// of every subfault and computes the straight line from it to the station: the
// geodesic (horizontal) distance, the forward azimuth at the centre towards the
// station, the depth of the centre, the slant distance and the take-off angle.
// Distances and azimuths come from the inverse geodesic problem on WGS84, solved
// in 64 bits and narrowed to 32 bits where stored.
//
// Conventions: degrees and km at this interface, radians inside the rays; depth
// is positive down; azimuth and strike are clockwise from north; values are
// 32-bit floats unless said otherwise. The station run reads the rays of one
// segment through `SubfaultGeometry::at`, counted from 1 along strike and down
// dip.
#pragma once

#include <cstddef>
#include <vector>

namespace kelvane::geom {

// A geographic point on WGS84.
struct GeoPoint {
    float lat_deg;  // geodetic latitude, degrees, north positive
    float lon_deg;  // longitude, degrees, east positive
};

// One fault segment's geometry without its subfaults.
struct FaultPlane {
    GeoPoint origin;               // middle of the segment's top edge, degrees
    float strike_deg;              // strike, degrees clockwise from north
    float dip_deg;                 // dip, degrees below the horizontal
    float top_depth_km;            // depth of the top edge, km, positive down
    float along_strike_offset_km;  // half the segment's length, km
    float subfault_length_km;      // subfault size along strike, km
    float subfault_width_km;       // subfault size down dip, km
    std::size_t along_strike_count;  // subfaults along strike, at least 1
    std::size_t down_dip_count;      // subfaults down dip, at least 1
};

// The straight line from one subfault centre to the station.
struct SubfaultRay {
    float slant_km;     // straight-line distance, km
    float azimuth_rad;  // forward azimuth at the centre towards the station, radians in [0, 2 pi)
    float takeoff_rad;  // take-off angle from the downward vertical, radians (pi: straight up)
    float horiz_km;     // geodesic distance along the ellipsoid, km
    float depth_km;     // depth of the subfault centre, km, positive down
};

// The rays of every subfault of one segment towards one station, in grid order:
// down-dip rows of along-strike columns, subfault (i, j) counted from 1 at
// position (j - 1) * along_strike_count + (i - 1). Owned by the caller.
struct SubfaultGeometry {
    std::size_t along_strike_count;  // subfaults along strike
    std::size_t down_dip_count;      // subfaults down dip
    std::vector<SubfaultRay> rays;   // along_strike_count * down_dip_count rays

    // A copy of the ray of subfault (along_strike, down_dip), both counted from
    // 1. Outside the grid (0 included) the call faults with
    // "subfault (i,j) is outside the nxm grid".
    SubfaultRay at(std::size_t along_strike, std::size_t down_dip) const;
};

// Result of one inverse geodesic problem.
struct DistanceAzimuth {
    float deltkm;  // geodesic distance, km
    float azes;    // forward azimuth, radians in [0, 2 pi)
    float azesdg;  // forward azimuth, degrees in [0, 360)
};

// Distance and forward azimuth at `event` towards `station` on WGS84. NaN
// coordinates give NaN results; nothing faults. Safe to call from several
// threads at once.
DistanceAzimuth distance_azimuth(GeoPoint event, GeoPoint station);

// The rays from every subfault centre of `plane` to `station`, which the caller
// fills as { station latitude, station longitude }. Solves
// 2 + along_strike_count * down_dip_count inverse problems and allocates the ray
// list once. A grid count of 0, or counts whose product overflows, is a broken
// invariant (the call faults); NaN coordinates or angles flow into the rays.
SubfaultGeometry subfault_geometry(const FaultPlane& plane, GeoPoint station);

// The depth of the centres of down-dip row `row` (counted from 0) of `plane`,
// km: the `depth_km` that `subfault_geometry` gives every subfault of that row,
// bit for bit, whatever the station.
float row_centre_depth_km(const FaultPlane& plane, std::size_t row);

namespace detail {

// Steps 2-5 of `distance_azimuth`: turns the solver's 64-bit distance (metres)
// and forward azimuth (degrees, in [-180, 180]) into the stored 32-bit values.
// Exposed so the azimuth wrap can be checked with solver outputs that real
// points hit only by chance.
DistanceAzimuth from_inverse(double metres, double azimuth_deg);

}  // namespace detail

}  // namespace kelvane::geom
