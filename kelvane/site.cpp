// Quarter-wavelength site amplification.
//
// Notation of the layer walk (all times are one-way vertical shear-wave travel
// times measured from the top of layer 1, s; depths from the same level, km):
//   stt   the quarter period 1 / (4 f) of a table frequency f;
//   tt    travel time to the bottom of the current layer i;
//   ttp   travel time to its top;
//   zdep  depth of its top;
//   pz    sum of density x travel time over the layers passed (g/cm³ s), then
//         divided by stt: the travel-time-weighted mean density;
//   bz    depth reached in stt, divided by stt: the mean shear speed (km/s);
//   vdsrc impedance of the source layer, shear speed x density.
//
// The operation order, the brackets and the place of every narrowing from 64
// to 32 bits are deliberate: a station's record depends on them bit for bit.
#include "kelvane/site.hpp"

#include <algorithm>
#include <cmath>

#include "kelvane/fault.hpp"
#include "kelvane/format.hpp"

namespace kelvane::site {

namespace {

// The layer walk starts at the top of layer 1: layer 0 is the receiver level.
constexpr std::size_t first_walk_layer = 1;

// Upper log frequency of the bracket past the last table entry: 1e15 (as a
// 32-bit float, 999999986991104) lies beyond the ln of any bin frequency, so
// every later bin stays in that bracket.
constexpr float past_table_log_frequency = 1e15f;

}  // namespace

void site_amplification_factors(std::span<const state::Layer> vmod, std::size_t source_layer,
                                std::span<const float> table_log_frequency,
                                std::span<float> factors) {
    KELVANE_CHECK(vmod.size() >= 2,
                  format("site amplification needs at least 2 layers, got {}", vmod.size()));
    KELVANE_CHECK(source_layer < vmod.size(),
                  format("source layer {} is outside the {}-layer model", source_layer,
                         vmod.size()));
    KELVANE_CHECK(factors.size() == table_log_frequency.size(),
                  format("{} site factors for a {}-entry site table", factors.size(),
                         table_log_frequency.size()));

    // A source in layer 0 lies at or above the receiver level, so no layer
    // separates it from the receiver: it is treated as a source at the top of
    // layer 1. Layer 1 then both stops the walk and gives the source
    // impedance, and the amplification is that of a source in layer 1 (close
    // to 1). Taking layer 0 itself would compare the receiver layer's impedance
    // (the air layer's, when there is one) with the crust's, and the walk would
    // have no source layer to stop at and could run past the last layer.
    const std::size_t source = std::max(source_layer, first_walk_layer);

    // Step 1: the source impedance, multiplied in 64 bits and narrowed.
    const state::Layer& src = vmod[source];
    const float vdsrc = static_cast<float>(src.vsh_km_s * src.density_g_cm3);

    // Travel time through layer 1, the same start for every table entry.
    const state::Layer& top = vmod[first_walk_layer];
    const float tt_layer1 = static_cast<float>(top.thickness_km / top.vsh_km_s);

    for (std::size_t k = 0; k < table_log_frequency.size(); ++k) {
        // Quarter period of the table frequency (s).
        const float f = ::expf(table_log_frequency[k]);
        const float stt = 0.25f / f;

        // Walk down until the travel time reaches stt or the source layer is
        // reached; the source layer extends without limit (its tt is not
        // tested). The walk never passes `source`, which lies in the list.
        std::size_t i = first_walk_layer;
        float tt = tt_layer1;
        float ttp = 0.0f;
        float zdep = 0.0f;
        float pz = 0.0f;
        while (!(tt >= stt) && i != source) {
            const state::Layer& passed = vmod[i];
            ttp = tt;
            pz = static_cast<float>(static_cast<double>(pz) +
                                    ((passed.density_g_cm3 * passed.thickness_km) /
                                     passed.vsh_km_s));
            zdep = static_cast<float>(static_cast<double>(zdep) + passed.thickness_km);
            i = i + 1;
            const state::Layer& next = vmod[i];
            tt = static_cast<float>(static_cast<double>(ttp) +
                                    (next.thickness_km / next.vsh_km_s));
        }

        // Means down to the quarter-wavelength depth, the remaining time r
        // spent in the layer where the walk stopped; 64-bit, narrowed at the end.
        const state::Layer& stop = vmod[i];
        const double r = static_cast<double>(stt - ttp);
        const double stt64 = static_cast<double>(stt);
        const float bz =
            static_cast<float>((static_cast<double>(zdep) + (r * stop.vsh_km_s)) / stt64);
        const float pz_mean =
            static_cast<float>((static_cast<double>(pz) + (r * stop.density_g_cm3)) / stt64);

        // ln of the amplification sqrt(vdsrc / (mean density x mean speed)).
        factors[k] = 0.5f * ::logf(vdsrc / (pz_mean * bz));
    }
}

void site_gain_curve(std::span<const float> log_frequency_hz,
                     std::span<const float> table_log_frequency, std::span<const float> factors,
                     std::span<float> gain) {
    KELVANE_CHECK(!gain.empty(), "a site gain curve needs at least one bin");
    KELVANE_CHECK(!factors.empty(), "a site gain curve needs at least one table factor");
    KELVANE_CHECK(table_log_frequency.size() >= factors.size(),
                  format("{} site factors for a {}-entry site table", factors.size(),
                         table_log_frequency.size()));
    KELVANE_CHECK(log_frequency_hz.size() >= gain.size(),
                  format("{} bin frequencies for {} site gains", log_frequency_hz.size(),
                         gain.size()));

    const std::size_t np = gain.size() - 1;
    const std::size_t table_count = factors.size();

    // DC and Nyquist take the table's end values whatever their frequencies.
    gain[0] = ::expf(factors[0]);
    gain[np] = ::expf(factors[table_count - 1]);

    // The bracket [fm, fp] (ln Hz) with factors am, ap; kn is the table entry
    // at fp, table_count once past the table. Below the first table entry both
    // factors are factors[0], so the gain is constant there.
    float am = factors[0];
    float ap = factors[0];
    float fm = 0.0f;
    float fp = table_log_frequency[0];
    std::size_t kn = 0;

    for (std::size_t i = 1; i < np; ++i) {
        const float freq = log_frequency_hz[i];
        // Advance the bracket until it holds freq; a bin exactly at a table
        // frequency stays in the bracket below it. The bracket never moves back.
        if (freq > fp && kn < table_count) {
            for (;;) {
                if (kn == table_count - 1) {
                    // Past the table: both ends carry the last factor.
                    am = ap;
                    fm = fp;
                    ap = factors[table_count - 1];
                    fp = past_table_log_frequency;
                    kn = table_count;
                    break;
                }
                kn = kn + 1;
                am = ap;
                fm = fp;
                fp = table_log_frequency[kn];
                ap = factors[kn];
                if (!(freq > fp)) break;
            }
        }
        // Linear in ln f between the bracket's factors.
        gain[i] = ::expf((((freq - fm) * (ap - am)) / (fp - fm)) + am);
    }
}

void apply_site_amplification(std::span<std::complex<float>> spectrum,
                              std::span<const float> gain) {
    const std::size_t np2 = spectrum.size();
    const std::size_t np = np2 / 2;
    if (gain.size() != np + 1) [[unlikely]] {
        fault_unless_equal(gain.size(), np + 1,
                           format("a gain curve covers the positive half plus Nyquist, {} bins "
                                  "for a {}-point transform",
                                  np + 1, np2));
    }
    KELVANE_CHECK(np2 >= 2 && np2 % 2 == 0,
                  format("a spectrum needs an even length of at least 2, got {}", np2));

    // Scale the positive half, DC and Nyquist included.
    for (std::size_t k = 0; k <= np; ++k) {
        const float g = gain[k];
        spectrum[k] = std::complex<float>(spectrum[k].real() * g, spectrum[k].imag() * g);
    }
    // Rebuild the negative half as the conjugate of the scaled positive half
    // (a +0 imaginary part becomes -0).
    for (std::size_t k = 1; k < np; ++k) {
        spectrum[np2 - k] = std::complex<float>(spectrum[k].real(), -spectrum[k].imag());
    }
}

}  // namespace kelvane::site
