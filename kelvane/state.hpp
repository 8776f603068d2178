// The layer records of the one-dimensional velocity model and the error of
// its preparation.
//
// Depths are measured down from the top of the model (km, positive down);
// layer 0 is the top layer. Speeds and densities are 64-bit, quality factors
// 32-bit.
#pragma once

#include <cstdint>
#include <string>

namespace kelvane::state {

// One layer as supplied by a caller and as prepared by `build_velocity_model`.
struct InputLayer {
    float depth_km;        // depth of the layer's bottom, set by the preparation (the caller's
                           // value is ignored); for the half-space below a Moho cut, its top (km)
    float thickness_km;    // thickness; 0 for the last layer of a prepared model (km)
    double vp_km_s;        // P-wave speed (km/s)
    double vsh_km_s;       // shear-wave speed (km/s)
    double density_g_cm3;  // density (g/cm³)
    float attenuation_p;   // P-wave quality factor Qp (1)
    float attenuation_s;   // S-wave quality factor Qs (1)

    friend bool operator==(const InputLayer&, const InputLayer&) = default;
};

// The engine's working layer: the fields of `InputLayer`, depth and thickness
// widened to 64 bits.
struct Layer {
    double depth_km;       // depth of the layer's bottom (km)
    double thickness_km;   // thickness (km)
    double vp_km_s;        // P-wave speed (km/s)
    double vsh_km_s;       // shear-wave speed (km/s)
    double density_g_cm3;  // density (g/cm³)
    float attenuation_p;   // Qp (1)
    float attenuation_s;   // Qs (1)

    // Widens depth and thickness exactly; copies the other five fields.
    static Layer from(const InputLayer& layer);

    friend bool operator==(const Layer&, const Layer&) = default;
};

// Why a velocity model could not be prepared. `kind` names the variant;
// `vs_moho_km_s` belongs to `MohoAtFirstLayer` only (0 for `NoLayers`).
struct ModelError {
    enum class Kind : std::uint8_t {
        NoLayers,          // the caller gave no layers
        MohoAtFirstLayer,  // the first layer already reaches the Moho speed
    };

    Kind kind;
    double vs_moho_km_s;  // the Moho speed the first layer reaches (km/s)

    static ModelError no_layers() { return {Kind::NoLayers, 0.0}; }
    static ModelError moho_at_first_layer(double vs_moho_km_s) {
        return {Kind::MohoAtFirstLayer, vs_moho_km_s};
    }

    friend bool operator==(const ModelError&, const ModelError&) = default;
};

// The message of `error`, as the module raises it unchanged.
std::string display(const ModelError& error);

}  // namespace kelvane::state
