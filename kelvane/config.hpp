// The run configuration: everything needed to simulate, with nothing about
// where the inputs came from.
//
// Plain values with one owner each; copying a record copies every list it
// holds. Nothing here checks values: NaN, zero and negative numbers are kept
// as given (the Python module does its own checks before building these).
// Every number is a 32-bit float unless said otherwise.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kelvane::config {

// Rupture speed and its depth taper, as configured.
struct RuptureVelocity {
    float frac;     // rupture speed as a fraction of the local shear-wave speed (1)
    float shallow;  // factor on `frac` near the surface (1)
    float deep;     // factor on `frac` below the deepest hypocentre, at least 15 km down (1)
    float rv_sig1;  // spread of the random factor on a subfault's rupture fraction; none unless > 0 (1)
};

struct SourceParameters {
    float czero;   // corner-frequency constant
    float calpha;  // weight of the dip-and-rake term of a segment's corner-frequency coefficient (1)
    RuptureVelocity rupture_velocity;
};

// What a ray code means to the ray tracer.
enum class RayKind : std::uint8_t {
    StraightRay = 0,
    Upgoing = 1,
    Downgoing = 2,
};

// One signed 32-bit ray code: 0 the straight ray, 2m+1 the upgoing ray with m
// Moho multiples, 2m+2 the Moho reflection with m multiples.
struct RayType {
    std::int32_t code;

    // 0 is `StraightRay`; every positive odd code is `Upgoing`; every other code
    // (positive even and all negative codes) is `Downgoing`.
    RayKind kind() const;

    friend bool operator==(const RayType&, const RayType&) = default;
};

// Selects one path-duration table.
enum class PathDurationModel : std::uint8_t {
    Vorel2010 = 0,
    Wus = 1,
    Ena = 2,
    Tarnel2014Wus = 3,
    Tarnel2015Ena = 4,
};

// Maps the module's deck code to a model: every code of 0 or below gives
// `Vorel2010`, 1 `Wus`, 2 `Ena`, 11 `Tarnel2014Wus`, 12 `Tarnel2015Ena`; any
// other code (3 to 10, 13 and above) gives no model.
std::optional<PathDurationModel> from_deck(std::int32_t v);

struct PathParameters {
    std::vector<RayType> rayset;          // ray codes in the caller's order; may be empty or repeat
    PathDurationModel path_duration;
};

struct SiteParameters {
    float f_max_hz;  // the site's maximum frequency (Hz)
};

struct RecordParameters {
    float duration_s;  // record length (s)
    float dt_s;        // sample interval (s)
};

struct HfConfig {
    SourceParameters source;
    PathParameters path;
    SiteParameters site;
    RecordParameters record;
};

// The depth taper of the rupture fraction, built by the simulator from
// `RuptureVelocity` and the deepest hypocentre. Depths in km, positive down.
struct RuptureVelocityTaper {
    float frac;             // rupture fraction between the two tapers (1)
    float shallow_factor;   // factor on `frac` above `shallow_top_km` (1)
    float deep_factor;      // factor on `frac` below `deep_base_km` (1)
    float shallow_top_km;   // the shallow taper starts here
    float shallow_base_km;  // and reaches `frac` here
    float deep_top_km;      // the deep taper starts here
    float deep_base_km;     // and reaches `frac` × `deep_factor` here

    // The rupture fraction at `depth_km` (km): `frac` × `shallow_factor` above
    // 5 km rising linearly to `frac` at 8 km, `frac` down to `deep_top_km`,
    // then linearly to `frac` × `deep_factor` at `deep_base_km` and below. A
    // NaN depth gives `frac` × `shallow_factor`.
    float factor(float depth_km) const;
};

}  // namespace kelvane::config
