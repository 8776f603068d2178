// Quarter-wavelength site amplification of a ray's spectra.
//
// The amplification at a frequency is the square root of the ratio between the
// impedance (shear speed x density) of the layer holding the source and the
// mean impedance of the layers above the depth a vertical shear wave reaches
// in a quarter period; the latter is the travel-time-weighted mean density
// times the mean shear speed down to that depth. It is tabulated at the site
// table's frequencies as a natural logarithm ("factor"), interpolated linearly
// in ln f onto the spectrum's bins, and applied to the positive half of a
// spectrum, whose negative half is then rebuilt as its conjugate.
//
// Layer 0 of the layer list is the receiver level (the air layer when the
// simulator inserted one): it takes no part in the layer walk, which starts at
// the top of layer 1.
//
// Every buffer belongs to the caller and is reused from ray to ray; nothing
// here allocates or keeps state. The operation order and the 32/64-bit widths
// of each step are part of the result (records reproduce bit for bit).
#pragma once

#include <complex>
#include <cstddef>
#include <span>

#include "kelvane/state.hpp"

namespace kelvane::site {

// Fills `factors` (ln of the amplification, one per table entry) for a source
// in layer `source_layer` of `vmod`.
//   vmod                 working layers, layer 0 the receiver level; at least 2.
//   source_layer         index of the layer holding the subfault centre, within
//                        `vmod`. A source in layer 0 (at or above the receiver
//                        level) is treated as a source in layer 1: see site.cpp.
//   table_log_frequency  ln of the site-table frequencies (ln Hz), increasing.
//   factors              output, as long as `table_log_frequency` (ln of a ratio).
// Faults (broken invariant) on a shorter layer list, a source layer past the
// list or unequal table lengths. NaN layer values propagate.
void site_amplification_factors(std::span<const state::Layer> vmod, std::size_t source_layer,
                                std::span<const float> table_log_frequency,
                                std::span<float> factors);

// Fills every entry of `gain` (linear amplification, bin 0 = DC to the last
// entry = Nyquist) by interpolating `factors` linearly in ln f and taking exp.
//   log_frequency_hz     ln of each bin's frequency (ln Hz), at least as many as
//                        `gain`; increasing from bin 1 on (bin 0 is -inf, unused).
//   table_log_frequency  ln of the site-table frequencies, at least as many as
//                        `factors`, increasing.
//   factors              ln amplification per table entry, not empty.
//   gain                 output; DC takes exp(factors[0]) and Nyquist
//                        exp(factors[last]) whatever their frequencies, and the
//                        gain is constant below and above the table.
// One forward walk over bins and table together (the bracket never moves back).
void site_gain_curve(std::span<const float> log_frequency_hz,
                     std::span<const float> table_log_frequency, std::span<const float> factors,
                     std::span<float> gain);

// Multiplies bins 0 .. np2/2 of `spectrum` (np2 = its length: even, at least 2)
// by `gain` (np2/2 + 1 entries, real and imaginary parts alike) and rebuilds
// bins np2/2 + 1 .. np2 - 1 as the conjugates of bins np2/2 - 1 .. 1.
// Faults with an equality assertion when the gain's length is not np2/2 + 1.
void apply_site_amplification(std::span<std::complex<float>> spectrum,
                              std::span<const float> gain);

}  // namespace kelvane::site
