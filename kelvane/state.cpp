// The layer records and the message of a velocity-model error.
#include "kelvane/state.hpp"

#include "kelvane/format.hpp"

namespace kelvane::state {

Layer Layer::from(const InputLayer& layer) {
    // Widening float to double is exact.
    return {static_cast<double>(layer.depth_km), static_cast<double>(layer.thickness_km),
            layer.vp_km_s, layer.vsh_km_s, layer.density_g_cm3, layer.attenuation_p,
            layer.attenuation_s};
}

std::string display(const ModelError& error) {
    switch (error.kind) {
        case ModelError::Kind::NoLayers:
            return "velocity model has no layers";
        case ModelError::Kind::MohoAtFirstLayer:
            return format(
                "the first layer already reaches vs_moho = {} km/s, so there is no model above "
                "the Moho to simulate",
                error.vs_moho_km_s);
    }
    return "velocity model error";
}

}  // namespace kelvane::state
