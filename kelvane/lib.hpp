// The engine's root header: everything a native caller needs to build a
// simulator and run stations against it.
//
//   config     run configuration records (source, path, site, record)
//   input      slip model, station, velocity-model preparation
//   state      layer records and the velocity-model error
//   sim        the simulator, its construction and the station run
//   geom       fault and station geometry on the WGS84 ellipsoid
//   ray        straight and layered rays, ray timing
//   stoc       spectrum plans, stochastic spectra and their inversion
//   site       quarter-wavelength site amplification
//   radiation  radiation-pattern gains
//   fft        transforms and their per-thread plan cache
//   rng        seeded random streams (PCG and the fixture generator)
//   fault      the fault report for broken invariants
//   cpu        which wider vector bodies the processor can run
#pragma once

#include "kelvane/config.hpp"
#include "kelvane/cpu.hpp"
#include "kelvane/fault.hpp"
#include "kelvane/fft.hpp"
#include "kelvane/format.hpp"
#include "kelvane/geom.hpp"
#include "kelvane/input.hpp"
#include "kelvane/radiation.hpp"
#include "kelvane/ray.hpp"
#include "kelvane/rng.hpp"
#include "kelvane/rng/fixture.hpp"
#include "kelvane/rng/pcg.hpp"
#include "kelvane/sim.hpp"
#include "kelvane/site.hpp"
#include "kelvane/state.hpp"
#include "kelvane/stoc.hpp"
