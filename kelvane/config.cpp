// What the run configuration computes: the path-duration model a deck code
// names, the kind of a ray code, and the depth taper of the rupture speed.
//
// The taper is evaluated in 32-bit arithmetic in the written order; its
// brackets are part of the result (records reproduce bit for bit).
#include "kelvane/config.hpp"

namespace kelvane::config {

std::optional<PathDurationModel> from_deck(std::int32_t v) {
    if (v <= 0) return PathDurationModel::Vorel2010;
    switch (v) {
        case 1: return PathDurationModel::Wus;
        case 2: return PathDurationModel::Ena;
        case 11: return PathDurationModel::Tarnel2014Wus;
        case 12: return PathDurationModel::Tarnel2015Ena;
        default: return std::nullopt;
    }
}

RayKind RayType::kind() const {
    if (code == 0) return RayKind::StraightRay;
    // The remainder keeps the sign of the code, so negative odd codes give -1
    // and fall through to `Downgoing` with the even codes.
    if (code % 2 == 1) return RayKind::Upgoing;
    return RayKind::Downgoing;
}

float RuptureVelocityTaper::factor(float depth_km) const {
    // Shallow stage: `frac` × `shallow_factor` above the top (a NaN depth too),
    // linear between top and base, `frac` from the base down.
    float shallow;
    if (depth_km >= shallow_base_km) {
        shallow = frac;
    } else if (!(depth_km >= shallow_top_km)) {
        shallow = frac * shallow_factor;
    } else {
        shallow = ((((depth_km - shallow_top_km) * (1.0f - shallow_factor)) /
                    (shallow_base_km - shallow_top_km)) +
                   shallow_factor) *
                  frac;
    }
    // Deep stage: the shallow value above the deep top (a NaN depth too),
    // linear between top and base, `frac` × `deep_factor` from the base down.
    if (depth_km >= deep_base_km) return frac * deep_factor;
    if (!(depth_km >= deep_top_km)) return shallow;
    return ((((depth_km - deep_top_km) * (deep_factor - 1.0f)) / (deep_base_km - deep_top_km)) +
            1.0f) *
           frac;
}

}  // namespace kelvane::config
